// What the plug-in uses of the driver's custom property set: its identifier (which also
// names the ICustomProperty interface and the class of its handler), the page's class,
// the interface itself and the property ids the page and its panels exchange. Every value
// named here is one 32-bit word.
#pragma once

#include "platform/com/com.h"

// {D1E5209F-68FD-4529-BEE0-5E7A1F47921E}
inline constexpr GUID KSPROPSETID_CustomDevice = {
    0xD1E5209F, 0x68FD, 0x4529, {0xBE, 0xE0, 0x5E, 0x7A, 0x1F, 0x47, 0x92, 0x1E}};
inline constexpr IID IID_ICustomProperty = KSPROPSETID_CustomDevice;
inline constexpr CLSID CLSID_CustomPropertyInterfaceHandler = KSPROPSETID_CustomDevice;
// {15E3F6CE-F3DD-454A-8DEA-E4A380FCCB1E}
inline constexpr CLSID CLSID_CustomPropertyPage = {
    0x15E3F6CE, 0xF3DD, 0x454A, {0x8D, 0xEA, 0xE4, 0xA3, 0x80, 0xFC, 0xCB, 0x1E}};

// Reads (set FALSE) or writes (set TRUE) one property of the set on the filter.
struct ICustomProperty : public IUnknown {
  STDMETHOD(GetSetProperty)(ULONG id, ULONG* value, BOOL set) PURE;
  STDMETHOD(GetSetPropertyEx)(ULONG id, void* data, ULONG size, BOOL set) PURE;
};

enum CustomPropertyId : ULONG {
  CustomDeviceIdentityProperty = 0,
  CustomDeviceIndexProperty = 2,
  CustomSiliconTunerTypeProperty = 6,
  CustomDeviceAudioInputConfigProperty = 9,
  AnalogCrossbarVideoInputProperty = 201,
  AnalogVideoProcAmpGainProperty = 204,
  CustomAnalogVideoFrameRateProperty = 208,
  CustomAnalogVideoScaleOutputProperty = 209,
  CustomAnalogVideoResolutionProperty = 210,
  CustomAnalogVideo720OutputProperty = 214,
  CustomAnalogVideoUStreamPatchProperty = 215,
  CustomAnalogVideoFlexibleFpsPatchProperty = 218,
  CustomAnalogVideoAutoPhaseTypeProperty = 219,
  CustomAnalogVideoFlexibleResolutionPatchProperty = 220,
  CustomAnalogVideoVgaOffsetXProperty = 221,
  CustomAnalogVideoVgaOffsetYProperty = 222,
  CustomAnalogVideoInterleavedProperty = 223,
  CustomAnalogVideoVgaAspectRatioProperty = 224,
  CustomAnalogVideoVgaHActiveProperty = 225,
  AnalogVideoDecoderStatusProperty = 230,
  CustomAnalogVideoColorRangeProperty = 231,
  AnalogCrossbarVideoInputAutoScanProperty = 232,
  CustomAnalogVideoCustomizedResolutionProperty = 233,
  CustomAnalogVideoSogProperty = 234,
  CustomAnalogVideoSkypePatchProperty = 238,
  CustomAnalogVideoInputEqProperty = 240,
  CustomAnalogVideoFractionalFrameRateProperty = 241,
  CustomAnalogVideoMaximalResolutionProperty = 242,
  CustomAnalogVideoVerticalMirrorProperty = 244,
  CustomAnalogVideoHorizontalMirrorProperty = 245,
  CustomAnalogVideoInputBandwidthProperty = 248,
  CustomAnalogAudioVolumeProperty = 251,
  CustomAnalogAudioSampleFrequencyProperty = 253,
  AnalogCrossbarAudioInputProperty = 255,
  CustomSpecialCameraInputProperty = 270,
  CustomAnalogVideoSdiSingalStatusProperty = 271,
  CustomAnalogVideoDirectDMAProperty = 272,
  CustomAnalogVideoSubEncoderEnableProperty = 273,
  CustomAnalogVideoEffectiveFrameRateProperty = 274,
  CustomAnalogVideoScaleTypeProperty = 275,
  CustomCompanyQuorinProperty = 276,
  CustomAnalogVideoHotPlugEnableProperty = 277,
  CustomAnalogVideoRGBColorConvertColorRangeProperty = 278,
  CustomAnalogVideoHVSyncDelayProperty = 279,
  CustomPreviewVideoFrameCountsProperty = 351,
  CustomPreviewAudioFrameCountsProperty = 361,
  CustomAnalogVideoColorimetryProperty = 370,
  CustomAnalogVideoSignalColorRangeProperty = 371,
  CustomEncoderVideoResolutionProperty = 401,
  CustomEncoderVideoSkipFrameRateProperty = 402,
  CustomEncoderVideoBitRateProperty = 403,
  CustomEncoderVideoQualityProperty = 404,
  CustomEncoderVideoGopProperty = 405,
  CustomEncoderVideoKeyFrameRequestProperty = 406,
  CustomEncoderVideoBitRateModeProperty = 407,
  CustomEncoderVideoPeakBitRateProperty = 409,
  CustomEncoderVideoTroughQualityProperty = 410,
  CustomEncoderVideoBFramesProperty = 411,
  CustomEncoderVideoProfileProperty = 412,
  CustomEncoderVideoAspectRatioProperty = 413,
  CustomEncoderVideoLevelProperty = 414,
  CustomEncoderVideoEntropyProperty = 415,
  CustomEncoderVideoAvgFrameRateProperty = 422,
  CustomEncoderVideoFrameCountsProperty = 430,
  // Register debug: a register address and value, and a serial device address, address
  // within the device and value, each with its access request.
  CustomDebugRegisterAddressProperty = 950,
  CustomDebugRegisterValueProperty = 951,
  CustomDebugRegisterAccessProperty = 952,
  CustomDebugSerialDeviceProperty = 953,
  CustomDebugSerialAddressProperty = 954,
  CustomDebugSerialValueProperty = 955,
  CustomDebugSerialAccessProperty = 956,
};
