// The templates' contents.
#include "driver/streaming/templates.h"

#include "driver/core/device.h"
#include "driver/properties/audio_encoder_api.h"
#include "driver/properties/custom_device.h"
#include "driver/properties/front_end.h"
#include "driver/properties/standard_video.h"
#include "driver/streaming/audio_pin.h"
#include "driver/streaming/aux_pins.h"
#include "driver/streaming/capture_filter.h"
#include "driver/streaming/capture_pin.h"
#include "driver/streaming/encoder_pin.h"
#include "driver/streaming/video_pin.h"

KSALLOCATOR_FRAMING_EX VideoCaptureFraming;
KSALLOCATOR_FRAMING_EX AudioMonoFraming;
KSALLOCATOR_FRAMING_EX AudioStereoFraming;
KSALLOCATOR_FRAMING_EX EncoderOutputFraming;

KSPIN_DESCRIPTOR_EX VideoFilterPins[2];
KSPIN_DESCRIPTOR_EX& VideoCapturePinDescriptor = VideoFilterPins[0];
KSPIN_DESCRIPTOR_EX VideoCapturePinDescriptorTwin;
KSPIN_DESCRIPTOR_EX AudioMonoPins[2];
KSPIN_DESCRIPTOR_EX& AudioCapturePinDescriptorMono = AudioMonoPins[0];
KSPIN_DESCRIPTOR_EX& AnalogAudioBridgePinDescriptor = AudioMonoPins[1];
KSPIN_DESCRIPTOR_EX AudioStereoPins[2];
KSPIN_DESCRIPTOR_EX& AudioCapturePinDescriptorStereo = AudioStereoPins[0];
KSPIN_DESCRIPTOR_EX EncoderPins[2];
KSPIN_DESCRIPTOR_EX& EncoderOutputPinDescriptor = EncoderPins[0];
KSPIN_DESCRIPTOR_EX& EncoderInputPinDescriptor = EncoderPins[1];

KSPIN_DISPATCH CVideoCapturePinDispatch;
KSPIN_DISPATCH CAudioCapturePinDispatch;
KSPIN_DISPATCH CEncoderPinDispatch;
KSPIN_DISPATCH CVbiCapturePinDispatch[3];
KSPIN_DISPATCH CAuxVideoPinDispatch;
KSPIN_DISPATCH CAuxStreamPinDispatch;
KSFILTER_DISPATCH CaptureFilterDispatch;
KSFILTER_DISPATCH PinlessFilterDispatch;

KSFILTER_DESCRIPTOR VideoCaptureFilterDescriptor;
KSFILTER_DESCRIPTOR AudioCaptureFilterDescriptorMono;
KSFILTER_DESCRIPTOR AudioCaptureFilterDescriptorStereo;
KSFILTER_DESCRIPTOR EncoderFilterDescriptor;
KSFILTER_DESCRIPTOR CrossbarFilterDescriptor;
KSFILTER_DESCRIPTOR TvTunerFilterDescriptor;
KSFILTER_DESCRIPTOR TvAudioFilterDescriptor;

const GUID VideoTemplateGuid = TemplateReferenceGuid(FILTER_TYPE_VIDEO);
const GUID AudioTemplateGuid = TemplateReferenceGuid(FILTER_TYPE_AUDIO);
const GUID CrossbarTemplateGuid = TemplateReferenceGuid(FILTER_TYPE_CROSSBAR);
const GUID TvTunerTemplateGuid = TemplateReferenceGuid(FILTER_TYPE_TVTUNER);
const GUID TvAudioTemplateGuid = TemplateReferenceGuid(FILTER_TYPE_TVAUDIO);
const GUID EncoderTemplateGuid = TemplateReferenceGuid(FILTER_TYPE_ENCODER);

const GUID VideoCategories[2] = {KSCATEGORY_CAPTURE, KSCATEGORY_VIDEO};
const GUID AudioCategories[3] = {KSCATEGORY_CAPTURE, CLSID_AudioInputDeviceCategory, KSCATEGORY_AUDIO};
const GUID VideoCategoriesCaptureOnly[2][1] = {{KSCATEGORY_CAPTURE}, {KSCATEGORY_CAPTURE}};
const GUID AudioCategoriesCaptureOnly[2][1] = {{KSCATEGORY_CAPTURE}, {KSCATEGORY_CAPTURE}};
const GUID AudioCategoriesThree[2][3] = {{KSCATEGORY_CAPTURE, KSCATEGORY_AUDIO, CLSID_AudioInputDeviceCategory},
                                         {KSCATEGORY_CAPTURE, KSCATEGORY_AUDIO, CLSID_AudioInputDeviceCategory}};

KSNODE_DESCRIPTOR AudioNodes[2];
KSTOPOLOGY_CONNECTION AudioConnections[3];

KSAUTOMATION_TABLE VideoFilterAutomation;
KSAUTOMATION_TABLE AudioFilterAutomation;
KSAUTOMATION_TABLE EncoderFilterAutomation;
KSAUTOMATION_TABLE CrossbarFilterAutomation;
KSAUTOMATION_TABLE TvTunerFilterAutomation;
KSAUTOMATION_TABLE TvAudioFilterAutomation;
KSAUTOMATION_TABLE CapturePinAutomation;
KSAUTOMATION_TABLE AudioNodeAutomation;

const PinlessPinTemplate CrossbarPins5[5] = {
    {FALSE, -1}, {FALSE, -1}, {FALSE, -1}, {TRUE, MEDIUM_CROSSBAR_VIDEO_OUT}, {TRUE, MEDIUM_CROSSBAR_AUDIO_OUT}};
const PinlessPinTemplate CrossbarPins7[7] = {{FALSE, -1},
                                             {FALSE, -1},
                                             {FALSE, MEDIUM_TUNER_VIDEO_OUT},
                                             {FALSE, -1},
                                             {FALSE, MEDIUM_TVAUDIO_OUT},
                                             {TRUE, MEDIUM_CROSSBAR_VIDEO_OUT},
                                             {TRUE, MEDIUM_CROSSBAR_AUDIO_OUT}};
const PinlessPinTemplate TvTunerPins[2] = {{TRUE, MEDIUM_TUNER_VIDEO_OUT}, {TRUE, MEDIUM_TUNER_AUDIO_OUT}};
const PinlessPinTemplate TvAudioPins[2] = {{FALSE, MEDIUM_TUNER_AUDIO_OUT}, {TRUE, MEDIUM_TVAUDIO_OUT}};

KSPIN_MEDIUM MediumOf(int code, ULONG id) {
  KSPIN_MEDIUM m;
  m.Set = code < 0 ? GUID_NULL : MediumSetGuid((UCHAR)code);
  m.Id = id;
  m.Flags = 0;
  return m;
}

KSFILTER_DESCRIPTOR VideoFilterCopies[MAX_CHANNELS];
KSFILTER_DESCRIPTOR AudioFilterCopies[MAX_CHANNELS];
KSPIN_DESCRIPTOR_EX AudioPinCopies[MAX_CHANNELS][2];
KSFILTER_DESCRIPTOR VirtualCaptureFilterCopies[MAX_CHANNELS][2];

namespace {

// Pin names and categories, topology node names, the two mediums pins carry.
const GUID kVideoPinGuid = PinGuid(PIN_CODE_VIDEO_CAPTURE);
const GUID kAudioPinGuid = PinGuid(PIN_CODE_AUDIO_CAPTURE);
const GUID kBridgePinGuid = PinGuid(PIN_CODE_ANALOG_AUDIO_BRIDGE);
const GUID kEncoderOutputPinGuid = PinGuid(PIN_CODE_ENCODER_OUTPUT);
const GUID kEncoderInputPinGuid = PinGuid(PIN_CODE_ENCODER_INPUT);
const GUID kNodeNameGuid = NodeNameGuid();
KSPIN_MEDIUM g_bridgeMedium;
KSPIN_MEDIUM g_encoderInputMedium;

// ---- Property items: id, directions, MinProperty, MinData -----------------------------------
enum { GET = 1, SET = 2, GET_SET = 3 };
struct ItemShape {
  ULONG id;
  UCHAR directions;
  ULONG minProperty;
  ULONG minData;
};
// The directions stay with the item list until the handlers exist: a filled-in table
// names a handler for each direction marked here.
const ItemShape kProcAmpItems[] = {
    {0, GET_SET, 40, 40}, {1, GET_SET, 40, 40}, {2, GET_SET, 40, 40}, {3, GET_SET, 40, 40}, {4, GET_SET, 40, 40}};
const ItemShape kVideoControlItems[] = {{0, GET, 32, 32}, {1, GET, 56, 56}, {2, GET, 40, 0}, {3, GET_SET, 32, 32}};
const ItemShape kVideoDecoderItems[] = {
    {0, GET, 40, 40}, {2, GET, 32, 32}, {1, GET_SET, 32, 32}, {3, GET_SET, 32, 32}, {4, GET_SET, 32, 32}};
const ItemShape kVideoCompressionItems[] = {{0, GET, 48, 48},     {1, GET_SET, 32, 32}, {2, GET_SET, 32, 32},
                                            {3, GET_SET, 32, 32}, {4, GET_SET, 32, 32}, {5, GET_SET, 32, 32}};
const ItemShape kDroppedFramesItems[] = {{0, GET, 48, 48}};
const ItemShape kEncoderApiItems[] = {{0, GET_SET, 24, 4}};
const ItemShape kCrossbarItems[] = {{0, GET, 32, 32}, {1, GET, 64, 64}, {2, GET, 40, 40}, {3, GET_SET, 40, 40}};
const ItemShape kTunerItems[] = {{0, GET, 104, 104}, {4, SET, 56, 56},     {5, GET_SET, 32, 32}, {2, GET_SET, 32, 32},
                                 {1, GET, 56, 56},   {3, GET_SET, 32, 32}, {6, GET, 40, 40},     {7, GET, 48, 48}};
const ItemShape kTvAudioItems[] = {{0, GET, 80, 80}, {2, GET, 32, 32}, {1, GET_SET, 32, 32}};
const ItemShape kAudioNodeItems[] = {{4, GET_SET, 40, 4}, {33, GET_SET, 32, 4}};

KSPROPERTY_ITEM g_procAmp[5], g_videoControl[4], g_videoDecoder[5], g_videoCompression[6], g_droppedFrames[1],
    g_peakBitRate[1], g_bitRateMode[1], g_bitRate[1], g_crossbar[4], g_tuner[8], g_tvAudio[3], g_audioNode[2];

template <size_t N>
void BuildItems(KSPROPERTY_ITEM (&items)[N], const ItemShape (&rows)[N]) {
  for (size_t i = 0; i < N; i++) {
    items[i] = KSPROPERTY_ITEM{};
    items[i].PropertyId = rows[i].id;
    items[i].MinProperty = rows[i].minProperty;
    items[i].MinData = rows[i].minData;
  }
}

// The same, with the set's handlers in the directions each item has.
template <size_t N>
void BuildItems(KSPROPERTY_ITEM (&items)[N], const ItemShape (&rows)[N], PFNKSHANDLER get, PFNKSHANDLER set) {
  BuildItems(items, rows);
  for (size_t i = 0; i < N; i++) {
    if (rows[i].directions & GET) items[i].GetPropertyHandler = get;
    if (rows[i].directions & SET) items[i].SetPropertyHandler = set;
  }
}

template <size_t N>
KSPROPERTY_SET Set(const GUID* set, KSPROPERTY_ITEM (&items)[N]) {
  return KSPROPERTY_SET{set, (ULONG)N, items, 0, nullptr};
}

// The audio volume item's values: a stepped range {step 1, 0..0} and a default of 0,
// both as 32-bit signed values.
const GUID KSPROPTYPESETID_General = {0x97E99BA0, 0xBDEA, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr ULONG VT_I4 = 3;
KSPROPERTY_STEPPING_LONG g_volumeStepping;
LONG g_volumeDefault;
KSPROPERTY_MEMBERSLIST g_volumeMembers[2];
KSPROPERTY_VALUES g_volumeValues;

KSPROPERTY_SET g_videoFilterSets[5], g_audioFilterSets[1], g_encoderFilterSets[3], g_crossbarSets[1], g_tunerSets[1],
    g_tvAudioSets[1], g_capturePinSets[2], g_audioNodeSets[1];

template <size_t N>
KSAUTOMATION_TABLE Automation(KSPROPERTY_SET (&sets)[N]) {
  KSAUTOMATION_TABLE t{};
  t.PropertySetsCount = (ULONG)N;
  t.PropertyItemSize = sizeof(KSPROPERTY_ITEM);
  t.PropertySets = sets;
  return t;
}

void BuildAutomation() {
  BuildItems(g_procAmp, kProcAmpItems, CDevice::OnGetVideoProcAmpProperty, CDevice::OnSetVideoProcAmpProperty);
  InitializeVideoProcAmpValues();
  for (size_t i = 0; i < 5; i++) g_procAmp[i].Values = &VideoProcAmpValues[i];
  BuildItems(g_videoControl, kVideoControlItems, CDevice::OnGetVideoControlProperty,
             CDevice::OnSetVideoControlProperty);
  BuildItems(g_videoDecoder, kVideoDecoderItems, CDevice::OnGetVideoDecoderProperty,
             CDevice::OnSetVideoDecoderProperty);
  BuildItems(g_videoCompression, kVideoCompressionItems, CDevice::OnGetVideoCompressionProperty,
             CDevice::OnSetVideoCompressionProperty);
  BuildItems(g_droppedFrames, kDroppedFramesItems, CDevice::OnGetDroppedFramesProperty, nullptr);
  BuildItems(g_peakBitRate, kEncoderApiItems, CDevice::OnGetEncoderPeakBitRateProperty,
             CDevice::OnSetEncoderPeakBitRateProperty);
  BuildItems(g_bitRateMode, kEncoderApiItems, CDevice::OnGetEncoderBitRateModeProperty,
             CDevice::OnSetEncoderBitRateModeProperty);
  BuildItems(g_bitRate, kEncoderApiItems, CDevice::OnGetEncoderBitRateProperty, CDevice::OnSetEncoderBitRateProperty);
  for (KSPROPERTY_ITEM* item : {&g_peakBitRate[0], &g_bitRateMode[0], &g_bitRate[0]}) item->SerializedSize = 4;
  g_peakBitRate[0].Values = &EncoderPeakBitRateValues;
  g_bitRateMode[0].Values = &EncoderBitRateModeValues;
  g_bitRate[0].Values = &EncoderBitRateValues;
  BuildItems(g_crossbar, kCrossbarItems, CDevice::OnGetCrossbarProperty, CDevice::OnSetCrossbarProperty);
  BuildItems(g_tuner, kTunerItems, CDevice::OnGetTunerProperty, CDevice::OnSetTunerProperty);
  BuildItems(g_tvAudio, kTvAudioItems, CDevice::OnGetTVAudioProperty, CDevice::OnSetTVAudioProperty);
  BuildItems(g_audioNode, kAudioNodeItems, CAnalogWaveInFilter::OnGetWaveInProperty,
             CAnalogWaveInFilter::OnSetWaveInProperty);

  g_volumeStepping = KSPROPERTY_STEPPING_LONG{};
  g_volumeStepping.SteppingDelta = 1;
  g_volumeDefault = 0;
  g_volumeMembers[0] = {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &g_volumeStepping};
  g_volumeMembers[1] = {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &g_volumeDefault};
  g_volumeValues = {{KSPROPTYPESETID_General, VT_I4, 0}, 2, g_volumeMembers};
  g_audioNode[0].Values = &g_volumeValues;

  const KSPROPERTY_SET custom = CustomDevicePropertySet();
  g_videoFilterSets[0] = Set(&PROPSETID_VIDCAP_VIDEOPROCAMP, g_procAmp);
  g_videoFilterSets[1] = Set(&PROPSETID_VIDCAP_VIDEOCONTROL, g_videoControl);
  g_videoFilterSets[2] = Set(&PROPSETID_VIDCAP_VIDEODECODER, g_videoDecoder);
  g_videoFilterSets[3] = Set(&PROPSETID_VIDCAP_VIDEOCOMPRESSION, g_videoCompression);
  g_videoFilterSets[4] = custom;
  g_audioFilterSets[0] = custom;
  g_encoderFilterSets[0] = Set(&ENCAPIPARAM_PEAK_BITRATE, g_peakBitRate);
  g_encoderFilterSets[1] = Set(&ENCAPIPARAM_BITRATE_MODE, g_bitRateMode);
  g_encoderFilterSets[2] = Set(&ENCAPIPARAM_BITRATE, g_bitRate);
  g_crossbarSets[0] = Set(&PROPSETID_VIDCAP_CROSSBAR, g_crossbar);
  g_tunerSets[0] = Set(&PROPSETID_TUNER, g_tuner);
  g_tvAudioSets[0] = Set(&PROPSETID_VIDCAP_TVAUDIO, g_tvAudio);
  g_capturePinSets[0] = Set(&PROPSETID_VIDCAP_DROPPEDFRAMES, g_droppedFrames);
  g_capturePinSets[1] = Set(&PROPSETID_VIDCAP_VIDEOCOMPRESSION, g_videoCompression);
  g_audioNodeSets[0] = Set(&KSPROPSETID_Audio, g_audioNode);

  VideoFilterAutomation = Automation(g_videoFilterSets);
  AudioFilterAutomation = Automation(g_audioFilterSets);
  EncoderFilterAutomation = Automation(g_encoderFilterSets);
  CrossbarFilterAutomation = Automation(g_crossbarSets);
  TvTunerFilterAutomation = Automation(g_tunerSets);
  TvAudioFilterAutomation = Automation(g_tvAudioSets);
  CapturePinAutomation = Automation(g_capturePinSets);
  AudioNodeAutomation = Automation(g_audioNodeSets);
}

// A one-item framing in the shape of the platform's simple framing.
void BuildFraming(KSALLOCATOR_FRAMING_EX* f, ULONG frames, ULONG minSize, ULONG maxSize) {
  *f = KSALLOCATOR_FRAMING_EX{};
  f->CountItems = 1;
  f->OutputCompression = {1, 1, 0};
  KS_FRAMING_ITEM& item = f->FramingItem[0];
  item.MemoryType = KSMEMORY_TYPE_KERNEL_NONPAGED;
  item.BusType = GUID_NULL;
  item.Flags = KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER | KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY |
               KSALLOCATOR_REQUIREMENTF_FRAME_INTEGRITY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY;
  item.Frames = frames;
  item.PhysicalRange = {0, 0xFFFFFFFF, 1};
  item.FramingRange.Range = {minSize, maxSize, 1};
}

KSPIN_DESCRIPTOR_EX Pin(const KSPIN_DISPATCH* dispatch, const KSAUTOMATION_TABLE* automation, ULONG rangeCount,
                        const PKSDATARANGE* ranges, KSPIN_DATAFLOW flow, KSPIN_COMMUNICATION communication,
                        const GUID* category, const GUID* name, ULONG flags, ULONG possible, ULONG necessary,
                        const KSALLOCATOR_FRAMING_EX* framing) {
  KSPIN_DESCRIPTOR_EX p{};
  p.Dispatch = dispatch;
  p.AutomationTable = automation;
  p.PinDescriptor.DataRangesCount = rangeCount;
  p.PinDescriptor.DataRanges = ranges;
  p.PinDescriptor.DataFlow = flow;
  p.PinDescriptor.Communication = communication;
  p.PinDescriptor.Category = category;
  p.PinDescriptor.Name = name;
  p.Flags = flags;
  p.InstancesPossible = possible;
  p.InstancesNecessary = necessary;
  p.AllocatorFraming = framing;
  return p;
}

constexpr ULONG kStreamingFlags = KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING | KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;

void BuildPins() {
  PKSDATARANGE* capture = RangeBlocks[RANGE_BLOCK_CAPTURE];
  PKSDATARANGE* audio = RangeBlocks[RANGE_BLOCK_AUDIO];
  PKSDATARANGE* encoder = RangeBlocks[RANGE_BLOCK_ENCODER];
  static PKSDATARANGE analogAudio[1];
  analogAudio[0] = &AnalogAudioRange;
  g_bridgeMedium = MediumOf(MEDIUM_CROSSBAR_AUDIO_OUT, 0);
  g_encoderInputMedium = MediumOf(MEDIUM_ENCODER_INPUT, 0);

  VideoCapturePinDescriptor =
      Pin(&CVideoCapturePinDispatch, &CapturePinAutomation, 58, capture, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH,
          &PIN_CATEGORY_CAPTURE, &kVideoPinGuid, kStreamingFlags, 1, 0, &VideoCaptureFraming);
  VideoCapturePinDescriptorTwin = VideoCapturePinDescriptor;
  // The second pin of the video filter: an audio capture pin whose ranges the kind edit
  // points at AltAudioRangeList.
  VideoFilterPins[1] =
      Pin(&CAudioCapturePinDispatch, nullptr, 1, AltAudioRangeList, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH,
          &PIN_CATEGORY_CAPTURE, &kAudioPinGuid, kStreamingFlags, 1, 0, &AudioMonoFraming);
  AudioCapturePinDescriptorMono =
      Pin(&CAudioCapturePinDispatch, nullptr, 1, &audio[RANGE_PCM_MONO], KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH,
          &PIN_CATEGORY_CAPTURE, &kAudioPinGuid, kStreamingFlags, 1, 0, &AudioMonoFraming);
  AudioCapturePinDescriptorStereo =
      Pin(&CAudioCapturePinDispatch, nullptr, 1, &audio[RANGE_PCM_STEREO], KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH,
          &PIN_CATEGORY_CAPTURE, &kAudioPinGuid, kStreamingFlags, 1, 0, &AudioStereoFraming);
  AnalogAudioBridgePinDescriptor = Pin(nullptr, nullptr, 1, analogAudio, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE,
                                       &kBridgePinGuid, &kBridgePinGuid, 0, 1, 0, nullptr);
  AnalogAudioBridgePinDescriptor.PinDescriptor.MediumsCount = 1;
  AnalogAudioBridgePinDescriptor.PinDescriptor.Mediums = &g_bridgeMedium;
  AudioStereoPins[1] = AnalogAudioBridgePinDescriptor;
  AudioStereoPins[1].PinDescriptor.Category = &StereoBridgePinCategory;
  EncoderOutputPinDescriptor = Pin(&CEncoderPinDispatch, nullptr, 2, &encoder[RANGE_ENCODER_OUTPUT_1],
                                   KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, &PIN_CATEGORY_CAPTURE,
                                   &kEncoderOutputPinGuid, kStreamingFlags, 1, 0, &EncoderOutputFraming);
  EncoderInputPinDescriptor =
      Pin(nullptr, nullptr, 4, &encoder[206], KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BOTH, &kEncoderInputPinGuid,
          &kEncoderInputPinGuid,
          KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING | KSPIN_FLAG_DO_NOT_USE_STANDARD_TRANSPORT, 1, 1, nullptr);
  EncoderInputPinDescriptor.PinDescriptor.MediumsCount = 1;
  EncoderInputPinDescriptor.PinDescriptor.Mediums = &g_encoderInputMedium;
}

KSFILTER_DESCRIPTOR Filter(const KSFILTER_DISPATCH* dispatch, const KSAUTOMATION_TABLE* automation,
                           const GUID* reference, ULONG pinCount, const KSPIN_DESCRIPTOR_EX* pins, ULONG categoryCount,
                           const GUID* categories) {
  KSFILTER_DESCRIPTOR d{};
  d.Dispatch = dispatch;
  d.AutomationTable = automation;
  d.Version = KSFILTER_DESCRIPTOR_VERSION;
  d.Flags = 0;
  d.ReferenceGuid = reference;
  d.PinDescriptorsCount = pinCount;
  d.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  d.PinDescriptors = pins;
  d.CategoriesCount = categoryCount;
  d.Categories = categories;
  d.NodeDescriptorSize = sizeof(KSNODE_DESCRIPTOR);
  return d;
}

void BuildFilters() {
  static const GUID crossbarCategory[1] = {KSCATEGORY_CROSSBAR};
  static const GUID tunerCategory[1] = {KSCATEGORY_TVTUNER};
  static const GUID tvAudioCategory[1] = {KSCATEGORY_TVAUDIO};
  static const GUID encoderCategories[2] = {KSCATEGORY_ENCODER, KSCATEGORY_MULTIPLEXER};

  AudioNodes[0] = {&AudioNodeAutomation, &KSNODETYPE_ADC, &kNodeNameGuid};
  AudioNodes[1] = {&AudioNodeAutomation, &KSNODETYPE_VOLUME, &kNodeNameGuid};
  // Bridge input -> ADC -> volume -> capture output.
  AudioConnections[0] = {KSFILTER_NODE, 1, 0, 0};
  AudioConnections[1] = {0, 1, 1, 0};
  AudioConnections[2] = {1, 1, KSFILTER_NODE, 0};

  VideoCaptureFilterDescriptor = Filter(&CaptureFilterDispatch, &VideoFilterAutomation, &VideoTemplateGuid, 1,
                                        VideoFilterPins, 2, VideoCategories);
  AudioCaptureFilterDescriptorMono =
      Filter(&CaptureFilterDispatch, &AudioFilterAutomation, &AudioTemplateGuid, 2, AudioMonoPins, 3, AudioCategories);
  AudioCaptureFilterDescriptorStereo = Filter(&CaptureFilterDispatch, &AudioFilterAutomation, &AudioTemplateGuid, 2,
                                              AudioStereoPins, 3, AudioCategories);
  AudioCaptureFilterDescriptorStereo.NodeDescriptorsCount = 2;
  AudioCaptureFilterDescriptorStereo.NodeDescriptors = AudioNodes;
  AudioCaptureFilterDescriptorStereo.ConnectionsCount = 3;
  AudioCaptureFilterDescriptorStereo.Connections = AudioConnections;
  EncoderFilterDescriptor = Filter(&CaptureFilterDispatch, &EncoderFilterAutomation, &EncoderTemplateGuid, 2,
                                   EncoderPins, 2, encoderCategories);
  CrossbarFilterDescriptor =
      Filter(&PinlessFilterDispatch, &CrossbarFilterAutomation, &CrossbarTemplateGuid, 0, nullptr, 1, crossbarCategory);
  TvTunerFilterDescriptor =
      Filter(&PinlessFilterDispatch, &TvTunerFilterAutomation, &TvTunerTemplateGuid, 0, nullptr, 1, tunerCategory);
  TvAudioFilterDescriptor =
      Filter(&PinlessFilterDispatch, &TvAudioFilterAutomation, &TvAudioTemplateGuid, 0, nullptr, 1, tvAudioCategory);
}

}  // namespace

namespace {

// A pin dispatch table on the standard transport: no Reset, Connect, Disconnect, clock or
// allocator.
KSPIN_DISPATCH PinDispatch(PFNKSPINIRP create, PFNKSPINIRP close, PFNKSPIN process, PFNKSPINSETDATAFORMAT setDataFormat,
                           PFNKSPINSETDEVICESTATE setDeviceState) {
  KSPIN_DISPATCH d{};
  d.Create = create;
  d.Close = close;
  d.Process = process;
  d.SetDataFormat = setDataFormat;
  d.SetDeviceState = setDeviceState;
  return d;
}

}  // namespace

void InitializeStreamingTemplates() {
  InitializeDataRanges();
  BuildFraming(&VideoCaptureFraming, 10, 829440, 829440);
  BuildFraming(&AudioMonoFraming, 25, 80, 960);
  BuildFraming(&AudioStereoFraming, 25, 1920, 1920);
  BuildFraming(&EncoderOutputFraming, 8, 32768, 32768);

  CVideoCapturePinDispatch = PinDispatch(CVideoCapturePin::Create, CVideoCapturePin::Close, CCapturePin::Process,
                                         CVideoCapturePin::SetDataFormat, CVideoCapturePin::SetDeviceState);
  CAudioCapturePinDispatch = PinDispatch(CAudioCapturePin::Create, CAudioCapturePin::Close, CCapturePin::Process,
                                         CAudioCapturePin::SetDataFormat, CAudioCapturePin::SetDeviceState);
  CEncoderPinDispatch =
      PinDispatch(CEncoderPin::Create, CEncoderPin::Close, CCapturePin::Process, nullptr, CEncoderPin::SetDeviceState);
  for (KSPIN_DISPATCH& d : CVbiCapturePinDispatch)
    d = PinDispatch(CVbiCapturePin::Create, CVbiCapturePin::Close, CCapturePin::Process, CVbiCapturePin::SetDataFormat,
                    CVbiCapturePin::SetDeviceState);
  CAuxVideoPinDispatch =
      PinDispatch(CAuxVideoPin::Create, CAuxVideoPin::Close, nullptr, CAuxVideoPin::SetDataFormat, nullptr);
  CAuxStreamPinDispatch =
      PinDispatch(CAuxStreamPin::Create, CAuxStreamPin::Close, CAuxStreamPin::Process, nullptr, nullptr);
  CaptureFilterDispatch = KSFILTER_DISPATCH{};
  CaptureFilterDispatch.Create = CCaptureFilter::Create;
  CaptureFilterDispatch.Close = CCaptureFilter::Close;
  PinlessFilterDispatch =
      KSFILTER_DISPATCH{CAnalogFrontEndFilter::Create, CAnalogFrontEndFilter::Close, nullptr, nullptr};

  BuildAutomation();
  BuildPins();
  VideoCapturePinDescriptor.IntersectHandler = CVideoCapturePin::IntersectHandler;
  VideoCapturePinDescriptorTwin.IntersectHandler = CVideoCapturePin::IntersectHandler;
  for (KSPIN_DESCRIPTOR_EX* audio :
       {&VideoFilterPins[1], &AudioCapturePinDescriptorMono, &AudioCapturePinDescriptorStereo})
    audio->IntersectHandler = CAudioCapturePin::IntersectHandler;
  EncoderOutputPinDescriptor.IntersectHandler = CEncoderPin::IntersectHandler;
  BuildFilters();

  RtlZeroMemory(VideoFilterCopies, sizeof(VideoFilterCopies));
  RtlZeroMemory(AudioFilterCopies, sizeof(AudioFilterCopies));
  RtlZeroMemory(AudioPinCopies, sizeof(AudioPinCopies));
  RtlZeroMemory(VirtualCaptureFilterCopies, sizeof(VirtualCaptureFilterCopies));
}
