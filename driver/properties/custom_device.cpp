// The custom property set: its table, the KS items generated from it, the request context
// every handler starts from, the generic store/return rules, and the device properties.
#include "driver/properties/custom_device.h"

#include <array>
#include <type_traits>
#include <cstddef>

#include "driver/hardware/board_state.h"
#include "driver/hardware/lifecycle.h"
#include "driver/streaming/guids.h"
#include "driver/streaming/virtual_camera.h"

namespace {

using S = CustomScope;
using G = CustomGet;
using W = CustomSet;
using L = CustomLog;

constexpr USHORT Off(size_t offset) { return (USHORT)offset; }
#define M(member) Off(offsetof(CDeviceSettings, member))

// Row builders, so the table reads as the property lists do.
constexpr CustomPropertyRow Row(ULONG id, const char* name, USHORT size, S scope, USHORT member, G get, W set,
                                L log = L::None, ULONG arg = 0, CustomHandler sg = nullptr,
                                CustomHandler ss = nullptr) {
  return CustomPropertyRow{id, name, size, size, scope, member, get, set, log, arg, sg, ss};
}
// A device scalar stored and returned as given.
constexpr CustomPropertyRow Dev(ULONG id, const char* name, USHORT member, L log = L::None) {
  return Row(id, name, 4, S::Device, member, G::Raw, W::Raw, log);
}
constexpr CustomPropertyRow DevGet(ULONG id, const char* name, USHORT member) {
  return Row(id, name, 4, S::Device, member, G::Raw, W::None);
}
// A per-channel word with the set-by-application flag.
constexpr CustomPropertyRow Flagged(ULONG id, const char* name, S scope, USHORT member, L log = L::None) {
  return Row(id, name, 4, scope, member, G::Mask, W::Flag, log);
}
// A handler given as nullptr means the direction is absent; the direction is told from
// the argument's type, since a handler's address cannot be compared in a constant
// expression under every build's instrumentation.
template <typename GetHandler, typename SetHandler>
constexpr CustomPropertyRow Special(ULONG id, const char* name, USHORT size, GetHandler get, SetHandler set,
                                    ULONG arg = 0, S scope = S::None, USHORT member = 0) {
  constexpr bool hasGet = !std::is_null_pointer_v<GetHandler>;
  constexpr bool hasSet = !std::is_null_pointer_v<SetHandler>;
  return Row(id, name, size, scope, member, hasGet ? G::Special : G::None, hasSet ? W::Special : W::None, L::None, arg,
             hasGet ? CustomHandler(get) : nullptr, hasSet ? CustomHandler(set) : nullptr);
}
constexpr CustomPropertyRow Reserved(ULONG id, const char* name, USHORT size, bool get, bool set) {
  return Row(id, name, size, S::None, 0, get ? G::Special : G::None, set ? W::Special : W::None, L::None, 0,
             get ? OnReservedProperty : nullptr, set ? OnReservedProperty : nullptr);
}
constexpr CustomPropertyRow Ignored(ULONG id, const char* name) {
  return Row(id, name, 4, S::None, 0, G::None, W::Ignore);
}
// Get returns a constant; the set side (if any) is the reserved handler.
constexpr CustomPropertyRow Constant(ULONG id, const char* name, ULONG value, bool reservedSet) {
  return Row(id, name, 4, S::None, 0, G::Const, reservedSet ? W::Special : W::None, L::None, value, nullptr,
             reservedSet ? OnReservedProperty : nullptr);
}
template <typename GetHandler, typename SetHandler>
constexpr CustomPropertyRow Mailbox(ULONG id, const char* name, USHORT minData, GetHandler get, SetHandler set) {
  CustomPropertyRow r = Special(id, name, minData, get, set);
  r.minProperty = sizeof(KSPROPERTY);
  return r;
}

constexpr CustomPropertyRow kRows[] = {
    // ---- device ------------------------------------------------------------------------
    Special(0, "CustomDeviceIdentityProperty", 4, OnGetCustomDeviceIdentityProperty, nullptr),
    Special(1, "CustomProcessorTechnologyProperty", 4, OnGetCustomProcessorTechnologyProperty,
            OnSetCustomProcessorTechnologyProperty),
    Special(2, "CustomDeviceIndexProperty", 4, OnGetCustomDeviceIndexProperty, nullptr),
    Constant(4, "CustomDeviceConstantProperty", 255, false),
    Special(5, "CustomDeviceTopologyProperty", 4, OnGetCustomDeviceTopologyProperty, nullptr),
    DevGet(6, "CustomSiliconTunerTypeProperty", M(m_nSiliconTunerType)),
    Special(8, "CustomDeviceVideoInputConfigProperty", 4, OnGetCustomDeviceVideoInputConfigProperty, nullptr),
    Special(9, "CustomDeviceAudioInputConfigProperty", 4, OnGetCustomDeviceAudioInputConfigProperty, nullptr),
    Dev(10, "CustomMunaulUsbPipeSelectProperty", M(m_nMunaulUsbPipeSelect)),
    Reserved(11, "CustomReserved11Property", 8, true, false),
    // ---- analog video and audio ---------------------------------------------------------
    Flagged(200, "CustomAnalogVideoDeinterlaceTypeProperty", S::Ch16, M(m_nAnalogVideoDeinterlaceType)),
    Row(201, "AnalogCrossbarVideoInputProperty", 4, S::Device, M(m_nAnalogCrossbarVideoInput), G::ClearFlag, W::Special,
        L::None, 0, nullptr, OnSetAnalogCrossbarVideoInputProperty),
    Row(203, "CustomAnalogVideoSplitProperty", 4, S::Device, M(m_nAnalogVideoSplit), G::Raw, W::Special, L::None, 0,
        nullptr, OnSetCustomAnalogVideoSplitProperty),
    Row(204, "AnalogVideoProcAmpGainProperty", 4, S::Entry0, M(m_nAnalogVideoProcAmpGain), G::ClearFlag, W::Flag),
    Dev(205, "CustomAnalogVideoSwitchSpeedProperty", M(m_nAnalogVideoSwitchSpeed)),
    Special(206, "CustomAnalogVideoSwitchChannelTableProperty", 12, OnGetCustomAnalogVideoSwitchTableProperty,
            OnSetCustomAnalogVideoSwitchChannelTableProperty, 0, S::Device, M(m_nAnalogVideoSwitchChannelTable)),
    Special(207, "CustomAnalogVideoSwitchResolutionTableProperty", 12, OnGetCustomAnalogVideoSwitchTableProperty,
            OnSetCustomAnalogVideoSwitchResolutionTableProperty, 0, S::Device, M(m_nAnalogVideoSwitchResolutionTable)),
    Dev(208, "CustomAnalogVideoFrameRateProperty", M(m_nAnalogVideoFrameRate)),
    Dev(209, "CustomAnalogVideoScaleOutputProperty", M(m_nAnalogVideoScaleOutput), L::Empty),
    Dev(210, "CustomAnalogVideoResolutionProperty", M(m_nAnalogVideoResolution)),
    Reserved(211, "CustomReserved211Property", 4, true, false),
    Flagged(212, "CustomAnalogVideoDemiseTypeProperty", S::Ch16, M(m_nAnalogVideoDemiseType)),
    Dev(214, "CustomAnalogVideo720OutputProperty", M(m_nAnalogVideo720Output)),
    Dev(215, "CustomAnalogVideoUStreamPatchProperty", M(m_nAnalogVideoUStreamPatch)),
    Dev(216, "CustomAnalogVideoQueueBufferSizeProperty", M(m_nAnalogVideoQueueBufferSize)),
    Flagged(217, "CustomAnalogVideoDenoiseTypeProperty", S::Ch16, M(m_nAnalogVideoDenoiseType)),
    Dev(218, "CustomAnalogVideoFlexibleFpsPatchProperty", M(m_nAnalogVideoFlexibleFpsPatch)),
    Row(219, "CustomAnalogVideoAutoPhaseTypeProperty", 4, S::Entry0, M(m_nAnalogVideoAutoPhaseType), G::ClearFlag,
        W::Raw),
    Dev(220, "CustomAnalogVideoFlexibleResolutionPatchProperty", M(m_nAnalogVideoFlexibleResolutionPatch)),
    Reserved(221, "CustomAnalogVideoVgaOffsetXProperty", 4, true, true),
    Reserved(222, "CustomAnalogVideoVgaOffsetYProperty", 4, true, true),
    DevGet(223, "CustomAnalogVideoInterleavedProperty", M(m_nAnalogVideoInterleaved)),
    Dev(224, "CustomAnalogVideoVgaAspectRatioProperty", M(m_nAnalogVideoVgaAspectRatio)),
    Dev(225, "CustomAnalogVideoVgaHActiveProperty", M(m_nAnalogVideoVgaHActive)),
    Dev(226, "CustomAnalogVideoPinTopologyProperty", M(m_nAnalogVideoPinTopology)),
    Special(230, "AnalogVideoDecoderStatusProperty", 4, OnGetAnalogVideoDecoderStatusProperty, nullptr),
    Dev(231, "CustomAnalogVideoColorRangeProperty", M(m_nAnalogVideoColorRange), L::SetHex),
    Dev(232, "AnalogCrossbarVideoInputAutoScanProperty", M(m_nAnalogCrossbarVideoInputAutoScan)),
    Row(233, "CustomAnalogVideoCustomizedResolutionProperty", 4, S::Device, M(m_nAnalogVideoCustomizedResolution),
        G::Raw, W::Special, L::None, 0, nullptr, OnSetCustomAnalogVideoResolutionLimitProperty),
    Dev(234, "CustomAnalogVideoSogProperty", M(m_nAnalogVideoSog)),
    Dev(235, "CustomAnalogVideoDviYCbCrProperty", M(m_nAnalogVideoDviYCbCr)),
    Dev(236, "CustomAnalogVideoVbiLinesEnableProperty", M(m_nAnalogVideoVbiLinesEnable)),
    Dev(237, "CustomAnalogVideoVbiLinesProperty", M(m_nAnalogVideoVbiLines)),
    Dev(238, "CustomAnalogVideoSkypePatchProperty", M(m_nAnalogVideoSkypePatch)),
    DevGet(239, "CustomAnalogVideoConnectionsProperty", M(m_nAnalogVideoConnections)),
    Dev(240, "CustomAnalogVideoInputEqProperty", M(m_nAnalogVideoInputEq)),
    Special(241, "CustomAnalogVideoFractionalFrameRateProperty", 4, OnGetCustomAnalogVideoSignalWordProperty, nullptr,
            0),
    Row(242, "CustomAnalogVideoMaximalResolutionProperty", 4, S::Device, M(m_nAnalogVideoMaximalResolution), G::Raw,
        W::Special, L::None, 0, nullptr, OnSetCustomAnalogVideoResolutionLimitProperty),
    Row(244, "CustomAnalogVideoVerticalMirrorProperty", 4, S::Ch16, M(m_nAnalogVideoVerticalMirror), G::Mask, W::Raw),
    Row(245, "CustomAnalogVideoHorizontalMirrorProperty", 4, S::Ch16, M(m_nAnalogVideoHorizontalMirror), G::Mask,
        W::Raw),
    Flagged(246, "CustomAnalogVideoSkipFrameRateProperty", S::Ch16, M(m_nAnalogVideoSkipFrameRate)),
    Flagged(247, "CustomAnalogVideoAvgFrameRateProperty", S::Ch16, M(m_nAnalogVideoAvgFrameRate)),
    Dev(248, "CustomAnalogVideoInputBandwidthProperty", M(m_nAnalogVideoInputBandwidth)),
    Flagged(249, "CustomAnalogVideoRotateProperty", S::Ch16, M(m_nAnalogVideoRotate)),
    Dev(250, "CustomAnalogAudioStereoSystemProperty", M(m_nAnalogAudioStereoSystem)),
    Dev(251, "CustomAnalogAudioVolumeProperty", M(m_nAnalogAudioVolume), L::SetDec),
    Dev(252, "CustomAnalogAudioPinTopologyProperty", M(m_nAnalogAudioPinTopology)),
    Dev(253, "CustomAnalogAudioSampleFrequencyProperty", M(m_nAnalogAudioSampleFrequency)),
    Dev(254, "CustomAnalogAudioPassThroughProperty", M(m_nAnalogAudioPassThrough)),
    Row(255, "AnalogCrossbarAudioInputProperty", 4, S::Device, M(m_nAnalogCrossbarAudioInput), G::ClearFlag, W::Special,
        L::None, 0, nullptr, OnSetAnalogCrossbarAudioInputProperty),
    Special(270, "CustomSpecialCameraInputProperty", 4, OnGetCustomSpecialCameraInputProperty,
            OnSetCustomSpecialCameraInputProperty, 0, S::Device, M(m_nSpecialCameraInput)),
    DevGet(271, "CustomAnalogVideoSdiSingalStatusProperty", M(m_nAnalogVideoSdiSingalStatus)),
    Dev(272, "CustomAnalogVideoDirectDMAProperty", M(m_nAnalogVideoDirectDMA)),
    Dev(273, "CustomAnalogVideoSubEncoderEnableProperty", M(m_nAnalogVideoSubEncoderEnable)),
    Special(274, "CustomAnalogVideoEffectiveFrameRateProperty", 4, OnGetCustomAnalogVideoEffectiveFrameRateProperty,
            nullptr),
    Row(275, "CustomAnalogVideoScaleTypeProperty", 4, S::Ch16, M(m_nAnalogVideoScaleType), G::Mask, W::Raw),
    Dev(276, "CustomCompanyQuorinProperty", M(m_nCompanyQuorin)),
    Dev(277, "CustomAnalogVideoHotPlugEnableProperty", M(m_nAnalogVideoHotPlugEnable)),
    Dev(278, "CustomAnalogVideoRGBColorConvertColorRangeProperty", M(m_nAnalogVideoRGBColorConvertColorRange), L::Dec),
    Dev(279, "CustomAnalogVideoHVSyncDelayProperty", M(m_nAnalogVideoHVSyncDelay), L::Dec),
    Dev(290, "CustomAnalogActiveSubChannelNumberProperty", M(m_nAnalogActiveSubChannelNumber)),
    // ---- digital tuner -------------------------------------------------------------------
    Special(300, "DigitalTunerBandwidthProperty", 4, OnGetDigitalTunerProperty, nullptr, 300),
    Special(301, "DigitalTunerCurrentFrequencyProperty", 4, OnGetDigitalTunerProperty, nullptr, 301),
    Special(302, "DigitalTunerSignalSnrProperty", 4, OnGetDigitalTunerProperty, nullptr, 302),
    Special(303, "DigitalTunerSignalBerProperty", 4, OnGetDigitalTunerProperty, nullptr, 303),
    Special(304, "DigitalTunerSignalPerProperty", 4, OnGetDigitalTunerProperty, nullptr, 304),
    Special(310, "DigitalTunerEncryptKeyProperty", 16, OnGetDigitalTunerProperty, OnSetDigitalTunerEncryptKeyProperty,
            310),
    // ---- preview and encoder -------------------------------------------------------------
    Flagged(350, "CustomPreviewVideoResolutionProperty", S::Ch32, M(m_nPreviewVideoResolution), L::ChanValue),
    Row(351, "CustomPreviewVideoFrameCountsProperty", 4, S::Ch32, M(m_nPreviewVideoFrameCounts), G::Raw, W::None),
    Row(360, "CustomPreviewAudioSampleFrequencyProperty", 4, S::Ch32, M(m_nPreviewAudioSampleFrequency), G::Raw, W::Raw,
        L::ChanValue),
    Row(361, "CustomPreviewAudioFrameCountsProperty", 4, S::Ch32, M(m_nPreviewAudioFrameCounts), G::Raw, W::None),
    Special(370, "CustomAnalogVideoColorimetryProperty", 4, OnGetCustomAnalogVideoSignalWordProperty, nullptr, 1),
    Special(371, "CustomAnalogVideoSignalColorRangeProperty", 4, OnGetCustomAnalogVideoSignalWordProperty, nullptr, 2),
    Flagged(400, "CustomEncoderVideoFormatProperty", S::Ch32, M(m_nEncoderVideoFormat), L::ChanValue),
    Flagged(401, "CustomEncoderVideoResolutionProperty", S::Ch32, M(m_nEncoderVideoResolution), L::ChanValue),
    Flagged(402, "CustomEncoderVideoSkipFrameRateProperty", S::Ch32, M(m_nEncoderVideoSkipFrameRate), L::ChanValue),
    Flagged(403, "CustomEncoderVideoBitRateProperty", S::Ch32, M(m_nEncoderVideoBitRate), L::ChanValue),
    Row(404, "CustomEncoderVideoQualityProperty", 4, S::Ch32, M(m_nEncoderVideoQuality), G::Mask, W::Special,
        L::ChanValue, M(m_nAnalogVideoCompressionQuality), nullptr, OnSetCustomEncoderVideoCompressionProperty),
    Row(405, "CustomEncoderVideoGopProperty", 4, S::Ch32, M(m_nEncoderVideoGop), G::Mask, W::Special, L::ChanValue,
        M(m_nAnalogVideoCompressionKeyframeRate), nullptr, OnSetCustomEncoderVideoCompressionProperty),
    Row(406, "CustomEncoderVideoKeyFrameProperty", 4, S::Ch32, M(m_nEncoderVideoKeyFrame), G::None, W::Special,
        L::ChanValue, M(m_nAnalogVideoCompressionOverrideKeyframe), nullptr,
        OnSetCustomEncoderVideoCompressionProperty),
    Flagged(407, "CustomEncoderVideoBitRateModeProperty", S::Ch32, M(m_nEncoderVideoBitRateMode), L::ChanValue),
    Flagged(408, "CustomEncoderVideoQPStepProperty", S::Ch32, M(m_nEncoderVideoQPStep)),
    Flagged(409, "CustomEncoderVideoPeakBitRateProperty", S::Ch32, M(m_nEncoderVideoPeakBitRate)),
    Flagged(410, "CustomEncoderVideoTroughQualityProperty", S::Ch32, M(m_nEncoderVideoTroughQuality)),
    Flagged(411, "CustomEncoderVideoBframesPerKeyframeProperty", S::Ch32, M(m_nEncoderVideoBframesPerKeyframe)),
    Flagged(412, "CustomEncoderVideoProfileProperty", S::Ch32, M(m_nEncoderVideoProfile), L::ChanValue),
    Flagged(413, "CustomEncoderVideoAspectRatioProperty", S::Ch32, M(m_nEncoderVideoAspectRatio), L::ChanValue),
    Flagged(414, "CustomEncoderVideoLevelProperty", S::Ch32, M(m_nEncoderVideoLevel), L::ChanValue),
    Flagged(415, "CustomEncoderVideoEntropyProperty", S::Ch32, M(m_nEncoderVideoEntropy), L::ChanValue),
    Flagged(422, "CustomEncoderVideoAvgFrameRateProperty", S::Ch32, M(m_nEncoderVideoAvgFrameRate), L::ChanValue),
    Special(423, "CustomEncoderVideoCropProperty", 16, OnGetCustomEncoderVideoCropProperty,
            OnSetCustomEncoderVideoCropProperty, 0, S::Ch32),
    Dev(424, "CustomEncoderVideoQueueBufferSizeProperty", M(m_nEncoderVideoQueueBufferSize)),
    Row(430, "CustomEncoderVideoFrameCountsProperty", 4, S::Ch32, M(m_nEncoderVideoFrameCounts), G::Raw, W::None),
    Row(431, "CustomEncoderVideoFrameCountsProperty", 4, S::Ch32, M(m_nEncoderVideoFrameCounts), G::Raw, W::None),
    Flagged(450, "CustomEncoderAudioFormatProperty", S::Ch32, M(m_nEncoderAudioFormat)),
    Flagged(451, "CustomEncoderAudioFrequencyProperty", S::Ch32, M(m_nEncoderAudioFrequency)),
    Flagged(452, "CustomEncoderAudioBitRateProperty", S::Ch32, M(m_nEncoderAudioBitRate)),
    // ---- instance, virtual device, multi-sync ---------------------------------------------
    Dev(500, "CustomCloneFiltersProperty", M(m_nCloneFilters)),
    Dev(600, "CustomVirtualCaptureDeviceProperty", M(m_nVirtualCaptureDevice)),
    Special(601, "CustomVirtualCaptureVideoProperty", 4, nullptr, OnSetCustomVirtualCaptureVideoProperty, VCAM_VIDEO),
    Special(602, "CustomVirtualCaptureAudioProperty", 4, nullptr, OnSetCustomVirtualCaptureAudioProperty, VCAM_AUDIO),
    Dev(610, "CustomAnalogVideoMultiSyncChannels", M(m_nAnalogVideoMultiSyncChannels)),
    Dev(611, "CustomAnalogVideoMultiSyncPositionX", M(m_nAnalogVideoMultiSyncPositionX)),
    Dev(612, "CustomAnalogVideoMultiSyncPositionY", M(m_nAnalogVideoMultiSyncPositionY)),
    // ---- reserved ---------------------------------------------------------------------------
    Reserved(700, "CustomReserved700Property", 4, false, true),
    Reserved(701, "CustomReserved701Property", 4, true, false),
    Reserved(702, "CustomReserved702Property", 16, true, false),
    Reserved(703, "CustomReserved703Property", 4, true, false),
    Reserved(704, "CustomReserved704Property", 16, true, false),
    Reserved(705, "CustomReserved705Property", 4, true, false),
    Reserved(706, "CustomReserved706Property", 16, true, false),
    Reserved(707, "CustomReserved707Property", 4, true, false),
    Reserved(708, "CustomReserved708Property", 16, true, false),
    Reserved(709, "CustomReserved709Property", 4, true, false),
    Reserved(710, "CustomReserved710Property", 16, true, false),
    // ---- region, status, motion, OSD, watchdog, GPIO, debug -------------------------------
    Special(890, "CustomChannelRecordProperty", 16, OnGetCustomChannelRecordProperty, OnSetCustomChannelRecordProperty,
            0, S::FilterCh32),
    Special(900, "CustomChannelStatus0Property", 4, OnGetCustomChannelStatusProperty, nullptr, 0, S::FilterCh32),
    Special(901, "CustomChannelStatus1Property", 4, OnGetCustomChannelStatusProperty, nullptr, 1, S::FilterCh32),
    Special(902, "CustomChannelStatus2Property", 4, OnGetCustomChannelStatusProperty, nullptr, 2, S::FilterCh32),
    Special(903, "CustomChannelStatus3Property", 4, OnGetCustomChannelStatusProperty, nullptr, 3, S::FilterCh32),
    Special(904, "CustomChannelStatus4Property", 4, OnGetCustomChannelStatusProperty, nullptr, 4, S::FilterCh32),
    Special(905, "CustomChannelStatus5Property", 4, OnGetCustomChannelStatusProperty, nullptr, 5, S::FilterCh32),
    Special(906, "CustomChannelStatus6Property", 4, OnGetCustomChannelStatusProperty, nullptr, 6, S::FilterCh32),
    Special(907, "CustomChannelStatus7Property", 4, OnGetCustomChannelStatusProperty, nullptr, 7, S::FilterCh32),
    Flagged(910, "CustomMotionTemporalSensitivityProperty", S::FilterCh32, M(m_nMotionTemporalSensitivity)),
    Flagged(911, "CustomMotionSpatialSensitivityProperty", S::FilterCh32, M(m_nMotionSpatialSensitivity)),
    Flagged(912, "CustomMotionLevelSensitivityProperty", S::FilterCh32, M(m_nMotionLevelSensitivity)),
    Flagged(913, "CustomMotionSpeedProperty", S::FilterCh32, M(m_nMotionSpeed)),
    Special(915, "CustomOsdTextParamCProperty", 4, nullptr, OnSetCustomOsdTextParamProperty, 2, S::FilterCh32),
    Special(916, "CustomOsdTextParamDProperty", 4, nullptr, OnSetCustomOsdTextParamProperty, 3, S::FilterCh32),
    Special(917, "CustomOsdTextParamBProperty", 4, nullptr, OnSetCustomOsdTextParamProperty, 1, S::FilterCh32),
    Special(920, "CustomOsdTextSelectProperty", 4, nullptr, OnSetCustomOsdTextSelectProperty, 0, S::FilterCh32),
    Special(921, "CustomOsdTextData0Property", 16, nullptr, OnSetCustomOsdTextDataProperty, 0, S::FilterCh32),
    Special(922, "CustomOsdTextData1Property", 16, nullptr, OnSetCustomOsdTextDataProperty, 1, S::FilterCh32),
    Special(923, "CustomOsdTextData2Property", 16, nullptr, OnSetCustomOsdTextDataProperty, 2, S::FilterCh32),
    Special(924, "CustomOsdTextData3Property", 16, nullptr, OnSetCustomOsdTextDataProperty, 3, S::FilterCh32),
    Special(929, "CustomOsdTextParamAProperty", 4, nullptr, OnSetCustomOsdTextParamProperty, 0, S::FilterCh32),
    Special(930, "CustomSoftwareWatchdogControlProperty", 4, nullptr, OnSetCustomSoftwareWatchdogControlProperty),
    Special(931, "CustomSoftwareWatchdogDurationProperty", 4, nullptr, OnSetCustomSoftwareWatchdogDurationProperty),
    Row(940, "CustomGpioDirectionProperty", 4, S::Device, M(m_nGpioDirection), G::Raw, W::Special, L::None, 0, nullptr,
        OnSetCustomGpioDirectionProperty),
    Special(941, "CustomGpioDataProperty", 4, OnGetCustomGpioDataProperty, OnSetCustomGpioDataProperty),
    Special(942, "CustomGpioSupportProperty", 4, OnGetCustomGpioSupportProperty, nullptr),
    Ignored(950, "CustomDebugRegisterAddressProperty"),
    Ignored(951, "CustomDebugRegisterValueProperty"),
    Constant(952, "CustomDebugRegisterAccessProperty", 0, true),
    Ignored(953, "CustomDebugBusAddressProperty"),
    Ignored(954, "CustomDebugBusSubAddressProperty"),
    Ignored(955, "CustomDebugBusValueProperty"),
    Constant(956, "CustomDebugBusAccessProperty", 0, true),
    Special(957, "CustomDebugEepromProperty", 4, OnGetCustomDebugEepromProperty, OnSetCustomDebugEepromProperty),
    Special(958, "CustomDebugBoardMemroyProperty0", 16, OnGetCustomDebugBoardMemroyProperty,
            OnSetCustomDebugBoardMemroyProperty, 0),
    Ignored(959, "CustomDebugParamAProperty"),
    Special(960, "CustomDebugBoardMemroyProperty1", 16, OnGetCustomDebugBoardMemroyProperty,
            OnSetCustomDebugBoardMemroyProperty, 1),
    Special(961, "CustomDebugBoardMemroyProperty2", 16, OnGetCustomDebugBoardMemroyProperty,
            OnSetCustomDebugBoardMemroyProperty, 2),
    Special(962, "CustomDebugBoardMemroyProperty3", 16, OnGetCustomDebugBoardMemroyProperty,
            OnSetCustomDebugBoardMemroyProperty, 3),
    Special(963, "CustomDebugBoardMemroyProperty4", 16, OnGetCustomDebugBoardMemroyProperty,
            OnSetCustomDebugBoardMemroyProperty, 4),
    Constant(964, "CustomDebugReserved964Property", 0, true),
    Special(965, "CustomDebugEdidAccessEnableProperty", 4, nullptr, OnSetCustomDebugEdidAccessEnableProperty),
    Ignored(966, "CustomDebugParamBProperty"),
    Constant(967, "CustomDebugReserved967Property", 0, true),
    Special(970, "CustomOsdPictureProperty", 16, OnGetCustomOsdPictureProperty, OnSetCustomOsdPictureProperty, 0,
            S::FilterCh32),
    Special(971, "CustomOsdPictureData0Property", 16, nullptr, OnSetCustomOsdPictureDataProperty, 0, S::FilterCh32),
    Special(972, "CustomOsdPictureData1Property", 16, nullptr, OnSetCustomOsdPictureDataProperty, 1, S::FilterCh32),
    Special(973, "CustomOsdPictureData2Property", 16, nullptr, OnSetCustomOsdPictureDataProperty, 2, S::FilterCh32),
    Special(974, "CustomOsdPictureData3Property", 16, nullptr, OnSetCustomOsdPictureDataProperty, 3, S::FilterCh32),
    Special(980, "CustomDebugEepromPidVidProperty", 4, OnGetCustomDebugEepromPidVidProperty,
            OnSetCustomDebugEepromPidVidProperty),
    Special(981, "CustomDebugStatusProperty", 16, OnGetCustomDebugStatusProperty, nullptr),
    Dev(982, "CustomDebugPrintsProperty", M(m_nDebugPrints)),
    Special(990, "CustomDebugOptionsProperty", 4, OnGetCustomDebugStatusProperty, OnSetCustomDebugOptionsProperty, 990),
    Special(991, "CustomDebugAddress0Property", 16, nullptr, OnSetCustomDebugAddressProperty, 0),
    Special(992, "CustomDebugAddress1Property", 16, nullptr, OnSetCustomDebugAddressProperty, 1),
    Special(993, "CustomDebugAddress2Property", 16, nullptr, OnSetCustomDebugAddressProperty, 2),
    Special(994, "CustomDebugAddress3Property", 16, nullptr, OnSetCustomDebugAddressProperty, 3),
    // ---- sibling-model mailbox ---------------------------------------------------------------
    Mailbox(995, "CustomVQ377Interface", 74, nullptr, OnSetCustomVQ377Interface),
    Mailbox(996, "CustomVQ377Data", 8, OnGetCustomVQ377Data, nullptr),
};
#undef M

static_assert(std::size(kRows) == kCustomPropertyCount, "the custom set has 185 properties");
constexpr bool IdsIncrease() {
  for (size_t i = 1; i < std::size(kRows); i++)
    if (kRows[i].id <= kRows[i - 1].id) return false;
  return true;
}
static_assert(IdsIncrease(), "ids sorted and unique");

// Id -> row, for ids below 1000 (every id of the set).
constexpr ULONG kIndexSize = 1000;
constexpr std::array<SHORT, kIndexSize> MakeIndex() {
  std::array<SHORT, kIndexSize> index{};
  for (auto& i : index) i = -1;
  for (size_t i = 0; i < std::size(kRows); i++) index[kRows[i].id] = (SHORT)i;
  return index;
}
constexpr std::array<SHORT, kIndexSize> kIndex = MakeIndex();

// ---- the generic rules -----------------------------------------------------------------------

ULONG* WordOf(CustomRequest& r) {
  auto* base = reinterpret_cast<PUCHAR>(static_cast<CDeviceSettings*>(r.device)) + r.row->member;
  auto* words = reinterpret_cast<ULONG*>(base);
  switch (r.row->scope) {
    case S::Ch16:
    case S::Ch32:
      return words + r.channelIndex;
    case S::FilterCh32:
      return words + r.filterChannel;
    default:
      return words;
  }
}

void LogGeneric(const CustomRequest& r, ULONG value) {
  const char* dir = r.get ? "Get" : "Set";
  switch (r.row->log) {
    case L::Empty:
      DbgPrint("CDevice::On%s%s()\n", dir, r.row->name);
      break;
    case L::Dec:
      DbgPrint("CDevice::On%s%s( %d )\n", dir, r.row->name, value);
      break;
    case L::SetDec:
      if (!r.get) DbgPrint("CDevice::OnSet%s( %d )\n", r.row->name, value);
      break;
    case L::SetHex:
      if (!r.get) DbgPrint("CDevice::OnSet%s( %08X )\n", r.row->name, value);
      break;
    case L::ChanValue:
      DbgPrint(
          "CDevice::On%s%s( %d "
          "\xA1"
          "\xD1"
          " %d )\n",
          dir, r.row->name, r.channelIndex, value);
      break;
    case L::None:
      break;
  }
}

NTSTATUS GenericGet(CustomRequest& r) {
  ULONG value = 0;
  switch (r.row->get) {
    case G::Const:
      value = r.row->arg;
      break;
    case G::Raw:
      value = LoadWord(*WordOf(r));
      break;
    case G::Mask:
      value = LoadWord(*WordOf(r)) & CUSTOM_GET_MASK;
      break;
    case G::ClearFlag:
      value = LoadWord(*WordOf(r)) & ~CUSTOM_FLAG;
      break;
    default:
      return STATUS_NOT_FOUND;
  }
  r.PutWord(value);
  LogGeneric(r, value);
  return STATUS_SUCCESS;
}

NTSTATUS GenericSet(CustomRequest& r) {
  ULONG value = r.Word();
  switch (r.row->set) {
    case W::Ignore:
      return STATUS_SUCCESS;
    case W::Raw:
      StoreWord(*WordOf(r), value);
      break;
    case W::Flag:
      StoreWord(*WordOf(r), value | CUSTOM_FLAG);
      break;
    default:
      return STATUS_NOT_FOUND;
  }
  LogGeneric(r, value);
  return STATUS_SUCCESS;
}

bool IsDigitalTunerFilter(PKSFILTER f) {
  const GUID* ref = f->Descriptor ? f->Descriptor->ReferenceGuid : nullptr;
  if (!ref) return false;
  for (const GUID& g : DigitalTunerGuids)
    if (*ref == g) return true;
  return false;
}

// Builds the request context and runs the row's rule. A request whose filter has no
// device (removed) is refused; an index outside the array its row addresses is refused
// before anything is read or written.
NTSTATUS Dispatch(PIRP irp, PKSIDENTIFIER request, PVOID data, bool get) {
  const CustomPropertyRow* row = FindCustomPropertyRow(request->Id);
  if (!row) return STATUS_NOT_FOUND;
  CustomRequest r{};
  r.irp = irp;
  r.property = request;
  r.data = static_cast<PUCHAR>(data);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  r.dataLength = stack ? stack->Parameters.DeviceIoControl.OutputBufferLength : row->minData;
  r.row = row;
  r.get = get;
  r.filter = KsGetFilterFromIrp(irp);
  if (!r.filter) return STATUS_DEVICE_NOT_CONNECTED;
  PKSDEVICE ksDevice = KsGetDevice(r.filter);
  r.device = ksDevice ? DeviceOf(ksDevice) : nullptr;
  if (!r.device) return STATUS_DEVICE_NOT_CONNECTED;
  // A capture filter's context is its FilterContext; a filter that kept the device's
  // context or carries a digital-tuner context has none.
  PVOID context = r.filter->Context;
  if (context && context != static_cast<PVOID>(r.device) && !IsDigitalTunerFilter(r.filter)) {
    auto* fc = static_cast<FilterContext*>(context);
    if (fc->pKsDevice == ksDevice) r.context = fc;
  }
  if (r.context) {
    r.filterChannel = r.context->nChannel;
    r.channelIndex = r.context->nChannel + (r.context->nStreamIndex > 7 ? 4 : 0);
  }
  return RunCustomRequest(r);
}

NTSTATUS CustomGetTrampoline(PIRP irp, PKSIDENTIFIER request, PVOID data) { return Dispatch(irp, request, data, true); }
NTSTATUS CustomSetTrampoline(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  return Dispatch(irp, request, data, false);
}

constexpr KSPROPERTY_ITEM ItemOf(const CustomPropertyRow& row) {
  KSPROPERTY_ITEM item{};
  item.PropertyId = row.id;
  item.GetPropertyHandler = row.get != G::None ? CustomGetTrampoline : nullptr;
  item.MinProperty = row.minProperty;
  item.MinData = row.minData;
  item.SetPropertyHandler = row.set != W::None ? CustomSetTrampoline : nullptr;
  return item;
}
constexpr std::array<KSPROPERTY_ITEM, kCustomPropertyCount> MakeItems() {
  std::array<KSPROPERTY_ITEM, kCustomPropertyCount> items{};
  for (size_t i = 0; i < std::size(kRows); i++) items[i] = ItemOf(kRows[i]);
  return items;
}
constexpr std::array<KSPROPERTY_ITEM, kCustomPropertyCount> kItems = MakeItems();
constexpr KSPROPERTY_SET kSet = {&KSPROPSETID_CustomDevice, kCustomPropertyCount, kItems.data(), 0, nullptr};

}  // namespace

NTSTATUS RunCustomRequest(CustomRequest& r) {
  const CustomPropertyRow* row = r.row;
  switch (row->scope) {
    case S::Ch16:
      if (r.channelIndex >= 16) return STATUS_INVALID_PARAMETER;
      break;
    case S::Ch32:
      if (r.channelIndex >= 32) return STATUS_INVALID_PARAMETER;
      break;
    case S::FilterCh32:
      if (r.filterChannel >= 32) return STATUS_INVALID_PARAMETER;
      break;
    default:
      break;
  }
  if (r.get) return row->get == G::Special ? row->specialGet(r) : GenericGet(r);
  return row->set == W::Special ? row->specialSet(r) : GenericSet(r);
}

const KSPROPERTY_SET& CustomDevicePropertySet() { return kSet; }
const CustomPropertyRow* CustomPropertyRows() { return kRows; }
const CustomPropertyRow* FindCustomPropertyRow(ULONG id) {
  if (id >= kIndexSize || kIndex[id] < 0) return nullptr;
  return &kRows[kIndex[id]];
}

ULONG CustomRequest::Word(ULONG k) const {
  ULONG v;
  RtlCopyMemory(&v, data + 4 * k, sizeof(v));
  return v;
}
void CustomRequest::PutWord(ULONG value, ULONG k) const { RtlCopyMemory(data + 4 * k, &value, sizeof(value)); }

// ---- board data ------------------------------------------------------------------------------

// The board models: exact identities first, then the family rows matched under a mask.
static constexpr BoardModel ExactModel(ULONG i) {
  // Subsystem ids 0x7300 + i of our subsystem vendor; inputs by model generation.
  ULONG video = 0x01u | (i % 4 == 0 ? 0x10u : 0) | (i % 3 == 0 ? 0x06u : 0) | (i % 5 == 0 ? 0x08u : 0);
  ULONG audio = 0x01u | (i % 2 == 0 ? 0x02u : 0) | (i % 7 == 0 ? 0x1Cu : 0);
  return BoardModel{(0x7300u + i) << 16 | 0x1D8Au, 0xFFFFFFFFu, video, audio};
}
static constexpr std::array<BoardModel, kBoardModelCount> MakeBoardModels() {
  std::array<BoardModel, kBoardModelCount> t{};
  ULONG n = 0;
  // The encoder board as its identity EEPROM leaves it, and its family value.
  t[n++] = {0x71600000u, 0xFFFF0000u, 0x00000011u, 0x0000001Fu};
  t[n++] = {BOARD_FAMILY_VALUE_PRIMARY << 16, 0xFFFF0000u, 0x00000013u, 0x00000003u};
  t[n++] = {BOARD_FAMILY_VALUE_SECONDARY << 16, 0xFFFF0000u, 0x00000001u, 0x00000001u};
  while (n < kBoardModelCount - 3) {
    t[n] = ExactModel(n);
    n++;
  }
  // Wider rows last: a subsystem id range, then anything of our subsystem vendor.
  t[n++] = {0x72000000u, 0xFF000000u, 0x00000001u, 0x00000001u};
  t[n++] = {0x56780000u, 0xFFFF0000u, 0x00000017u, 0x00000003u};
  t[n++] = {0x00001D8Au, 0x0000FFFFu, 0x00000001u, 0x00000000u};
  return t;
}
const std::array<BoardModel, kBoardModelCount> BoardModelTable = MakeBoardModels();

const BoardModel* FindBoardModel(ULONG identity) {
  for (const BoardModel& m : BoardModelTable)
    if ((identity & m.mask) == m.pattern) return &m;
  return nullptr;
}

ULONG CustomBoardIdentity(const CDevice* d) {
  const PCI_IDENTITY* id = d->m_pPciIdentity;
  if (!id) return 0;
  ULONG low = (ULONG)id->nSubsystemVendorIdHigh << 8 | id->nSubsystemVendorIdLow;
  ULONG high = id->nSubsystemId;
  if (high - BOARD_FAMILY_SUBSYSTEM_FIRST < BOARD_FAMILY_SUBSYSTEM_COUNT)
    high = id->nSubsystemVendorIdHigh == BOARD_FAMILY_VENDOR_HIGH ? BOARD_FAMILY_VALUE_PRIMARY
                                                                  : BOARD_FAMILY_VALUE_SECONDARY;
  return high << 16 | low;
}

bool CustomBoardReachable(const CDevice* d) {
  CDevice* device = const_cast<CDevice*>(d);
  return d->m_pKsDevice && d->m_pKsDevice->Started && VORLIX_IsEncoderBoard(device) && d->m_pBoardState &&
         d->m_pBar[0] && d->m_nDevicePowerState == PowerDeviceD0 && !d->m_bHardwareStopped;
}

bool CustomIsBoardKind(const CDevice* d, BoardKind kind) {
  return d->m_pPciIdentity && IsBoardKind(d->m_pPciIdentity, kind);
}

// ---- device properties -------------------------------------------------------------------------

NTSTATUS OnGetCustomDeviceIdentityProperty(CustomRequest& r) {
  r.PutWord(CustomBoardIdentity(r.device));
  return STATUS_SUCCESS;
}

NTSTATUS OnGetCustomProcessorTechnologyProperty(CustomRequest& r) {
  r.PutWord(LoadWord(r.device->m_nProcessorTechnology));
  return STATUS_SUCCESS;
}
NTSTATUS OnSetCustomProcessorTechnologyProperty(CustomRequest& r) {
  ULONG& w = r.device->m_nProcessorTechnology;
  StoreWord(w, (LoadWord(w) & 0xFFFF0000u) | (r.Word() & 0xFFFFu));
  return STATUS_SUCCESS;
}

NTSTATUS OnGetCustomDeviceIndexProperty(CustomRequest& r) {
  r.PutWord(r.device->m_nBoardIndex);
  return STATUS_SUCCESS;
}

NTSTATUS OnGetCustomDeviceTopologyProperty(CustomRequest& r) {
  ULONG v = LoadWord(r.device->m_nSiliconTunerType);
  r.PutWord(v);
  DbgPrint("CDevice::OnGetCustomDeviceTopologyProperty( %08X )\n", v);
  return STATUS_SUCCESS;
}

NTSTATUS OnGetCustomDeviceVideoInputConfigProperty(CustomRequest& r) {
  const BoardModel* m = FindBoardModel(CustomBoardIdentity(r.device));
  ULONG v = m ? m->videoMask : 0;
  r.PutWord(v);
  DbgPrint("CDevice::OnGetCustomDeviceVideoInputConfigProperty( %08X )\n", v);
  return STATUS_SUCCESS;
}

NTSTATUS OnGetCustomDeviceAudioInputConfigProperty(CustomRequest& r) {
  const BoardModel* m = FindBoardModel(CustomBoardIdentity(r.device));
  ULONG v = m ? m->audioMask : 0;
  r.PutWord(v);
  DbgPrint("CDevice::OnGetCustomDeviceAudioInputConfigProperty( %08X )\n", v);
  return STATUS_SUCCESS;
}

NTSTATUS OnReservedProperty(CustomRequest&) { return STATUS_SUCCESS; }

// The virtual capture commands (1 attach, 0 push, 2 detach) act only while the virtual
// capture device is enabled; the request succeeds either way, and the producer reads
// what happened in the debugger log.
NTSTATUS OnSetCustomVirtualCaptureVideoProperty(CustomRequest& r) {
  VcamRunCommand(r.device, VCAM_VIDEO, r.Word(), r.channelIndex);
  return STATUS_SUCCESS;
}
NTSTATUS OnSetCustomVirtualCaptureAudioProperty(CustomRequest& r) {
  VcamRunCommand(r.device, VCAM_AUDIO, r.Word(), r.channelIndex);
  return STATUS_SUCCESS;
}
