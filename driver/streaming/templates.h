// The filter and pin templates every filter of the driver is made from, with their
// automation tables, framings, topology, categories and mediums, and the writable
// per-channel copies that device start fills. All of it is driver-wide and edited in
// place by device start; nothing restores it but a new load of the driver.
//
// The dispatch routines of the capture filters and pins, and the property handlers, are
// filled into these tables as those parts of the driver are built; until then the slots
// are empty (a null handler is an unsupported direction).
#pragma once

#include "driver/streaming/guids.h"
#include "driver/streaming/ranges.h"
#include "platform/ks/ks.h"

// ---- Allocator framings -----------------------------------------------------------------
extern KSALLOCATOR_FRAMING_EX VideoCaptureFraming;   // 10 x 829,440
extern KSALLOCATOR_FRAMING_EX AudioMonoFraming;      // 25 x 80..960
extern KSALLOCATOR_FRAMING_EX AudioStereoFraming;    // 25 x 1,920
extern KSALLOCATOR_FRAMING_EX EncoderOutputFraming;  // 8 x 32,768

// ---- Pin templates ---------------------------------------------------------------------
// The video filter's pin array: the capture pin, then a second pin that only the
// BOARD_KIND_K edit makes the filter list.
extern KSPIN_DESCRIPTOR_EX VideoFilterPins[2];
extern KSPIN_DESCRIPTOR_EX& VideoCapturePinDescriptor;
// A twin of the capture pin that no filter lists; start keeps its ranges with the real one.
extern KSPIN_DESCRIPTOR_EX VideoCapturePinDescriptorTwin;
extern KSPIN_DESCRIPTOR_EX AudioMonoPins[2];  // capture pin, analog-audio bridge pin
extern KSPIN_DESCRIPTOR_EX& AudioCapturePinDescriptorMono;
extern KSPIN_DESCRIPTOR_EX& AnalogAudioBridgePinDescriptor;
extern KSPIN_DESCRIPTOR_EX AudioStereoPins[2];  // capture pin, stereo bridge pin
extern KSPIN_DESCRIPTOR_EX& AudioCapturePinDescriptorStereo;
extern KSPIN_DESCRIPTOR_EX EncoderPins[2];  // output pin, input pin
extern KSPIN_DESCRIPTOR_EX& EncoderOutputPinDescriptor;
extern KSPIN_DESCRIPTOR_EX& EncoderInputPinDescriptor;

// Pin dispatch tables (Create, Close, Process, Reset, SetDataFormat, SetDeviceState).
extern KSPIN_DISPATCH CVideoCapturePinDispatch;
extern KSPIN_DISPATCH CAudioCapturePinDispatch;
extern KSPIN_DISPATCH CEncoderPinDispatch;
extern KSPIN_DISPATCH CVbiCapturePinDispatch[3];
extern KSPIN_DISPATCH CAuxVideoPinDispatch;
extern KSPIN_DISPATCH CAuxStreamPinDispatch;
// Filter dispatch tables: capture and encoder filters; pinless filters.
extern KSFILTER_DISPATCH CaptureFilterDispatch;
extern KSFILTER_DISPATCH PinlessFilterDispatch;

// ---- Filter templates --------------------------------------------------------------------
extern KSFILTER_DESCRIPTOR VideoCaptureFilterDescriptor;
extern KSFILTER_DESCRIPTOR AudioCaptureFilterDescriptorMono;
extern KSFILTER_DESCRIPTOR AudioCaptureFilterDescriptorStereo;
extern KSFILTER_DESCRIPTOR EncoderFilterDescriptor;
extern KSFILTER_DESCRIPTOR CrossbarFilterDescriptor;
extern KSFILTER_DESCRIPTOR TvTunerFilterDescriptor;
extern KSFILTER_DESCRIPTOR TvAudioFilterDescriptor;

// The template reference GUIDs (type codes 0x02..0x07).
extern const GUID VideoTemplateGuid, AudioTemplateGuid, CrossbarTemplateGuid, TvTunerTemplateGuid, TvAudioTemplateGuid,
    EncoderTemplateGuid;

// ---- Categories --------------------------------------------------------------------------
extern const GUID VideoCategories[2];  // capture, video
extern const GUID AudioCategories[3];  // capture, audio input device, audio
extern const GUID VideoCategoriesCaptureOnly[2][1];
extern const GUID AudioCategoriesCaptureOnly[2][1];
extern const GUID AudioCategoriesThree[2][3];  // capture, audio, audio input device

// ---- Topology of the stereo audio filter -----------------------------------------------------
extern KSNODE_DESCRIPTOR AudioNodes[2];  // ADC, volume
extern KSTOPOLOGY_CONNECTION AudioConnections[3];

// ---- Automation tables -----------------------------------------------------------------------
extern KSAUTOMATION_TABLE VideoFilterAutomation;
extern KSAUTOMATION_TABLE AudioFilterAutomation;
extern KSAUTOMATION_TABLE EncoderFilterAutomation;
extern KSAUTOMATION_TABLE CrossbarFilterAutomation;
extern KSAUTOMATION_TABLE TvTunerFilterAutomation;
extern KSAUTOMATION_TABLE TvAudioFilterAutomation;
extern KSAUTOMATION_TABLE CapturePinAutomation;
extern KSAUTOMATION_TABLE AudioNodeAutomation;

// ---- Mediums and the pinless filters' pins ----------------------------------------------------
// A pinless filter's pin: its direction and its medium code (-1: a GUID_NULL medium set).
struct PinlessPinTemplate {
  BOOL bOutput;
  int nMediumCode;
};
extern const PinlessPinTemplate CrossbarPins5[5];
extern const PinlessPinTemplate CrossbarPins7[7];
extern const PinlessPinTemplate TvTunerPins[2];
extern const PinlessPinTemplate TvAudioPins[2];
// The medium of a code (-1: GUID_NULL), Flags 0.
KSPIN_MEDIUM MediumOf(int code, ULONG id);

// ---- Per-channel copies (zero until device start fills them) ----------------------------------
extern KSFILTER_DESCRIPTOR VideoFilterCopies[MAX_CHANNELS];
extern KSFILTER_DESCRIPTOR AudioFilterCopies[MAX_CHANNELS];
extern KSPIN_DESCRIPTOR_EX AudioPinCopies[MAX_CHANNELS][2];
extern KSFILTER_DESCRIPTOR VirtualCaptureFilterCopies[MAX_CHANNELS][2];  // video, audio

// Builds the templates, tables and ranges afresh, copies emptied: the driver image's data
// as a load gives it.
void InitializeStreamingTemplates();
