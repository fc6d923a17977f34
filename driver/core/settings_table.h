// The settings table: every registry value of the board's device driver key, the
// CDeviceSettings member that holds it, its load default, its channel scope and how
// the save writes it back. Names are the external interface of installed systems.
#pragma once

#include <cstddef>

#include "driver/core/device_settings.h"
#include "platform/kernel/ntdef.h"

enum SettingScope : UCHAR {
  SETTING_SCOPE_SINGLE,      // one fixed value
  SETTING_SCOPE_TUNER,       // one fixed value that fills a field of m_aDigitalTuner
  SETTING_SCOPE_CHANNELS16,  // base name + 'A'..'P', plus the bare name for channel 0
  SETTING_SCOPE_CHANNELS32,  // base name + 'A'..'`', plus the bare name for channel 0
  SETTING_SCOPE_DIRECTORY,   // the raw device-info directory value
};

enum SettingKind : UCHAR {
  SETTING_KIND_DWORD,      // a 32-bit member
  SETTING_KIND_COUNTER64,  // a 64-bit member loaded zero-extended from a 32-bit value
  SETTING_KIND_MERGE_LOW,  // the value replaces the member's low half, its default is the member
  SETTING_KIND_RAW,        // up to 512 raw bytes into a UTF-16 string member
};

enum SettingDefaultSource : UCHAR {
  SETTING_DEFAULT_CONSTANT,  // DefaultValue is the default
  SETTING_DEFAULT_MEMBER,    // the member's current content is the default
  SETTING_DEFAULT_TABLE,     // DefaultValue indexes the static default table
};

enum SettingSave : UCHAR {
  SETTING_SAVE_NO,
  SETTING_SAVE_YES,           // the member's 32-bit word unchanged
  SETTING_SAVE_FLAG_CLEARED,  // bit 27 cleared
  SETTING_SAVE_LOW16,         // low 16 bits, zero-extended
  SETTING_SAVE_LOW8,          // low 8 bits, zero-extended
};

struct SettingsTableEntry {
  PCWSTR Name;     // UTF-16 name; the base name for a per-channel family
  PCSTR AnsiName;  // the same name as 8-bit text, for forming per-channel names
  ULONG Offset;    // of the member (for a family, of element 0) in CDeviceSettings
  SettingScope Scope;
  SettingKind Kind;
  SettingDefaultSource DefaultSource;
  SettingSave Save;
  ULONG DefaultValue;
};

// Indices of the static default table of the video property sets.
enum SettingsDefaultIndex : ULONG {
  SETTINGS_DEFAULT_CAMERA_PAN,
  SETTINGS_DEFAULT_CAMERA_TILT,
  SETTINGS_DEFAULT_CAMERA_ROLL,
  SETTINGS_DEFAULT_CAMERA_ZOOM,
  SETTINGS_DEFAULT_CAMERA_EXPOSURE,
  SETTINGS_DEFAULT_CAMERA_IRIS,
  SETTINGS_DEFAULT_CAMERA_FOCUS,
  SETTINGS_DEFAULT_PROCAMP_BACKLIGHT_COMPENSATION,
  SETTINGS_DEFAULT_PROCAMP_BRIGHTNESS,
  SETTINGS_DEFAULT_PROCAMP_COLOR_ENABLE,
  SETTINGS_DEFAULT_PROCAMP_CONTRAST,
  SETTINGS_DEFAULT_PROCAMP_GAMMA,
  SETTINGS_DEFAULT_PROCAMP_HUE,
  SETTINGS_DEFAULT_PROCAMP_SATURATION,
  SETTINGS_DEFAULT_PROCAMP_SHARPNESS,
  SETTINGS_DEFAULT_PROCAMP_WHITE_BALANCE,
  SETTINGS_DEFAULT_PROCAMP_GAIN,
  SETTINGS_DEFAULT_COMPRESSION_KEYFRAME_RATE,
  SETTINGS_DEFAULT_COMPRESSION_PFRAMES_PER_KEYFRAME,
  SETTINGS_DEFAULT_COMPRESSION_QUALITY,
  SETTINGS_DEFAULT_COMPRESSION_OVERRIDE_KEYFRAME,
  SETTINGS_DEFAULT_ENCODER_VIDEO_BIT_RATE,
  SETTINGS_DEFAULT_COUNT
};

inline constexpr ULONG SettingsDefaultTable[SETTINGS_DEFAULT_COUNT] = {
    128,     128, 128,  128, 128, 128, 128,                 // camera control
    128,     128, 128,  128, 128, 128, 128, 128, 128, 128,  // ProcAmp
    30,      3,   6000, 0,                                  // video compression
    4000000,                                                // encoder bit rate
};

// The board-family ProcAmp sets 1 to 3: brightness, contrast, hue, saturation, sharpness.
enum { SETTINGS_PROCAMP_SET_COUNT = 3, SETTINGS_PROCAMP_SET_VALUES = 5 };
inline constexpr ULONG SettingsProcAmpBoardSets[SETTINGS_PROCAMP_SET_COUNT][SETTINGS_PROCAMP_SET_VALUES] = {
    {128, 105, 128, 128, 16},
    {116, 167, 128, 206, 128},
    {120, 113, 128, 206, 128},
};

#define SETTINGS_DEVICE_INFO_DIRECTORY_DEFAULT u"\\??\\C:\\WINDOWS\\VORLIX\\"
#define SETTINGS_DEVICE_INFO_DIRECTORY_BYTES 512u

#define SETTING_NAME_(s) u"" s, s
#define SETTING_OFFSET_(m) static_cast<ULONG>(offsetof(CDeviceSettings, m))
#define SETTING_(name, m, def, save)                                                                                   \
  {                                                                                                                    \
    SETTING_NAME_(name), SETTING_OFFSET_(m), SETTING_SCOPE_SINGLE, SETTING_KIND_DWORD, SETTING_DEFAULT_CONSTANT, save, \
        static_cast<ULONG>(def)                                                                                        \
  }
#define SETTING_TABLE_(name, m, index, save)                                                                        \
  {                                                                                                                 \
    SETTING_NAME_(name), SETTING_OFFSET_(m), SETTING_SCOPE_SINGLE, SETTING_KIND_DWORD, SETTING_DEFAULT_TABLE, save, \
        index                                                                                                       \
  }
#define SETTING_COUNTER64_(name, m)                                                                                  \
  {                                                                                                                  \
    SETTING_NAME_(name), SETTING_OFFSET_(m), SETTING_SCOPE_SINGLE, SETTING_KIND_COUNTER64, SETTING_DEFAULT_CONSTANT, \
        SETTING_SAVE_NO, 0                                                                                           \
  }
#define SETTING_TUNER_(bare, a, b, field, def, save)                                                      \
  {SETTING_NAME_(bare),      SETTING_OFFSET_(m_aDigitalTuner[0].field),                                   \
   SETTING_SCOPE_TUNER,      SETTING_KIND_DWORD,                                                          \
   SETTING_DEFAULT_CONSTANT, save,                                                                        \
   static_cast<ULONG>(def)},                                                                              \
      {SETTING_NAME_(a),         SETTING_OFFSET_(m_aDigitalTuner[0].field),                               \
       SETTING_SCOPE_TUNER,      SETTING_KIND_DWORD,                                                      \
       SETTING_DEFAULT_CONSTANT, save,                                                                    \
       static_cast<ULONG>(def)},                                                                          \
  {                                                                                                       \
    SETTING_NAME_(b), SETTING_OFFSET_(m_aDigitalTuner[1].field), SETTING_SCOPE_TUNER, SETTING_KIND_DWORD, \
        SETTING_DEFAULT_CONSTANT, save, static_cast<ULONG>(def)                                           \
  }
#define SETTING_SWITCH_(name, m) SETTING_(name, m, 0, SETTING_SAVE_NO)
#define SETTING_FAMILY_(scope, name, m, def, save)                                                      \
  {                                                                                                     \
    SETTING_NAME_(name), SETTING_OFFSET_(m), scope, SETTING_KIND_DWORD, SETTING_DEFAULT_CONSTANT, save, \
        static_cast<ULONG>(def)                                                                         \
  }
#define SETTING_FAMILY_TABLE_(scope, name, m, index, save) \
  { SETTING_NAME_(name), SETTING_OFFSET_(m), scope, SETTING_KIND_DWORD, SETTING_DEFAULT_TABLE, save, index }

// In load order: the fixed values, the 16-channel families, the 32-channel families,
// then the directory.
inline constexpr SettingsTableEntry SettingsTable[] = {
    // Digital tuner: per field the bare name, then "A" (both tuner 0), then "B" (tuner 1).
    SETTING_TUNER_("DigitalTunerDemodulationTypeProperty", "DigitalTunerDemodulationTypePropertyA",
                   "DigitalTunerDemodulationTypePropertyB", DemodulationType, 23, SETTING_SAVE_NO),
    SETTING_TUNER_("DigitalTunerCurrentFrequencyProperty", "DigitalTunerCurrentFrequencyPropertyA",
                   "DigitalTunerCurrentFrequencyPropertyB", CurrentFrequency, 545000, SETTING_SAVE_YES),
    SETTING_TUNER_("DigitalTunerFrequencyMultiplierProperty", "DigitalTunerFrequencyMultiplierPropertyA",
                   "DigitalTunerFrequencyMultiplierPropertyB", FrequencyMultiplier, 1000, SETTING_SAVE_YES),
    SETTING_TUNER_("DigitalTunerBandwidthProperty", "DigitalTunerBandwidthPropertyA", "DigitalTunerBandwidthPropertyB",
                   Bandwidth, 6, SETTING_SAVE_YES),
    SETTING_TUNER_("DigitalTunerSignalPresentProperty", "DigitalTunerSignalPresentPropertyA",
                   "DigitalTunerSignalPresentPropertyB", SignalPresent, 0, SETTING_SAVE_NO),
    SETTING_TUNER_("DigitalTunerSignalLockedProperty", "DigitalTunerSignalLockedPropertyA",
                   "DigitalTunerSignalLockedPropertyB", SignalLocked, 0, SETTING_SAVE_NO),
    SETTING_TUNER_("DigitalTunerSignalStrengthProperty", "DigitalTunerSignalStrengthPropertyA",
                   "DigitalTunerSignalStrengthPropertyB", SignalStrength, 0, SETTING_SAVE_NO),
    SETTING_TUNER_("DigitalTunerSignalQualityProperty", "DigitalTunerSignalQualityPropertyA",
                   "DigitalTunerSignalQualityPropertyB", SignalQuality, 0, SETTING_SAVE_NO),
    SETTING_TUNER_("DigitalTunerSignalSnrProperty", "DigitalTunerSignalSnrPropertyA", "DigitalTunerSignalSnrPropertyB",
                   SignalSnr, 0, SETTING_SAVE_NO),
    SETTING_TUNER_("DigitalTunerSignalBerProperty", "DigitalTunerSignalBerPropertyA", "DigitalTunerSignalBerPropertyB",
                   SignalBer, 0, SETTING_SAVE_NO),
    SETTING_TUNER_("DigitalTunerSignalPerProperty", "DigitalTunerSignalPerPropertyA", "DigitalTunerSignalPerPropertyB",
                   SignalPer, 0, SETTING_SAVE_NO),
    SETTING_TUNER_("DigitalTunerSignalUpdatingProperty", "DigitalTunerSignalUpdatingPropertyA",
                   "DigitalTunerSignalUpdatingPropertyB", SignalUpdating, 0, SETTING_SAVE_NO),
    SETTING_TUNER_("DigitalTunerEncryptKey0", "DigitalTunerEncryptKeyA0", "DigitalTunerEncryptKeyB0", EncryptKey[0],
                   0x5E3A91C7, SETTING_SAVE_YES),
    SETTING_TUNER_("DigitalTunerEncryptKey1", "DigitalTunerEncryptKeyA1", "DigitalTunerEncryptKeyB1", EncryptKey[1],
                   0x2B7D04F6, SETTING_SAVE_YES),
    SETTING_TUNER_("DigitalTunerEncryptKey2", "DigitalTunerEncryptKeyA2", "DigitalTunerEncryptKeyB2", EncryptKey[2],
                   0xA4C8163E, SETTING_SAVE_YES),
    SETTING_TUNER_("DigitalTunerEncryptKey3", "DigitalTunerEncryptKeyA3", "DigitalTunerEncryptKeyB3", EncryptKey[3],
                   0x7F0259DB, SETTING_SAVE_YES),

    // Camera control, video decoder, crossbar, TV audio, analog tuner.
    SETTING_TABLE_("AnalogCameraControlPanProperty", m_nAnalogCameraControlPan, SETTINGS_DEFAULT_CAMERA_PAN,
                   SETTING_SAVE_YES),
    SETTING_TABLE_("AnalogCameraControlTiltProperty", m_nAnalogCameraControlTilt, SETTINGS_DEFAULT_CAMERA_TILT,
                   SETTING_SAVE_YES),
    SETTING_TABLE_("AnalogCameraControlRollProperty", m_nAnalogCameraControlRoll, SETTINGS_DEFAULT_CAMERA_ROLL,
                   SETTING_SAVE_YES),
    SETTING_TABLE_("AnalogCameraControlZoomProperty", m_nAnalogCameraControlZoom, SETTINGS_DEFAULT_CAMERA_ZOOM,
                   SETTING_SAVE_YES),
    SETTING_TABLE_("AnalogCameraControlExposureProperty", m_nAnalogCameraControlExposure,
                   SETTINGS_DEFAULT_CAMERA_EXPOSURE, SETTING_SAVE_YES),
    SETTING_TABLE_("AnalogCameraControlIrisProperty", m_nAnalogCameraControlIris, SETTINGS_DEFAULT_CAMERA_IRIS,
                   SETTING_SAVE_YES),
    SETTING_TABLE_("AnalogCameraControlFocusProperty", m_nAnalogCameraControlFocus, SETTINGS_DEFAULT_CAMERA_FOCUS,
                   SETTING_SAVE_YES),
    SETTING_("AnalogVideoDecoderStandardProperty", m_nAnalogVideoDecoderStandard, 1, SETTING_SAVE_YES),
    SETTING_("AnalogVideoDecoderStatusProperty", m_nAnalogVideoDecoderStatus, 0, SETTING_SAVE_NO),
    SETTING_("AnalogVideoDecoderOutputEnableProperty", m_nAnalogVideoDecoderOutputEnable, 1, SETTING_SAVE_YES),
    SETTING_("AnalogVideoDecoderVCRTimingProperty", m_nAnalogVideoDecoderVCRTiming, 1, SETTING_SAVE_YES),
    SETTING_("AnalogVideoDecoderStandardNtscOnlyProperty", m_nAnalogVideoDecoderStandardNtscOnly, 0, SETTING_SAVE_NO),
    SETTING_("AnalogVideoDecoderStandardPalOnlyProperty", m_nAnalogVideoDecoderStandardPalOnly, 0, SETTING_SAVE_NO),
    SETTING_("AnalogVideoDecoderStandardAutoProperty", m_nAnalogVideoDecoderStandardAuto, 0, SETTING_SAVE_NO),
    SETTING_("AnalogCrossbarVideoInputProperty", m_nAnalogCrossbarVideoInput, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING_("AnalogCrossbarVideoInputAutoScanProperty", m_nAnalogCrossbarVideoInputAutoScan, 0,
             SETTING_SAVE_FLAG_CLEARED),
    SETTING_("AnalogCrossbarVideoInputAutoScanTimeOutProperty", m_nAnalogCrossbarVideoInputAutoScanTimeOut, 3000,
             SETTING_SAVE_YES),
    SETTING_("AnalogCrossbarVideoOutputProperty", m_nAnalogCrossbarVideoOutput, 0, SETTING_SAVE_YES),
    SETTING_("AnalogCrossbarAudioInputProperty", m_nAnalogCrossbarAudioInput, 3, SETTING_SAVE_YES),
    SETTING_("AnalogCrossbarAudioOutputProperty", m_nAnalogCrossbarAudioOutput, 1, SETTING_SAVE_YES),
    SETTING_("AnalogTVAudioModeProperty", m_nAnalogTVAudioMode, 66, SETTING_SAVE_YES),
    SETTING_("AnalogAudioVolumeLevelProperty0", m_nAnalogAudioVolumeLevel[0], -500000, SETTING_SAVE_YES),
    SETTING_("AnalogAudioVolumeLevelProperty1", m_nAnalogAudioVolumeLevel[1], -500000, SETTING_SAVE_YES),
    SETTING_("AnalogTunerModeProperty", m_nAnalogTunerMode, 1, SETTING_SAVE_YES),
    SETTING_("AnalogTunerInputProperty", m_nAnalogTunerInput, 0, SETTING_SAVE_YES),
    SETTING_("AnalogTunerStandardProperty", m_nAnalogTunerStandard, 1, SETTING_SAVE_YES),
    SETTING_("AnalogTunerCountryProperty", m_nAnalogTunerCountry, 886, SETTING_SAVE_YES),
    SETTING_("AnalogTunerCurrentFrequencyProperty", m_nAnalogTunerCurrentFrequency, 55250000, SETTING_SAVE_YES),

    // Device options and analog video.
    {SETTING_NAME_("CustomProcessorTechnologyProperty"), SETTING_OFFSET_(m_nProcessorTechnology), SETTING_SCOPE_SINGLE,
     SETTING_KIND_MERGE_LOW, SETTING_DEFAULT_MEMBER, SETTING_SAVE_LOW16, 0},
    SETTING_("CustomMunaulUsbPipeSelectProperty", m_nMunaulUsbPipeSelect, 0, SETTING_SAVE_YES),
    SETTING_("CustomUsbSelectiveSuspendEnableProperty", m_nUsbSelectiveSuspendEnable, 0, SETTING_SAVE_YES),
    SETTING_("CustomSiliconTunerStandardProperty", m_nSiliconTunerStandard, 0, SETTING_SAVE_YES),
    SETTING_("CustomSiliconTunerTypeProperty", m_nSiliconTunerType, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoSplitProperty", m_nAnalogVideoSplit, 1, SETTING_SAVE_NO),
    SETTING_("CustomAnalogVideoSwitchSpeedProperty", m_nAnalogVideoSwitchSpeed, 1, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoSwitchLockMaskProperty", m_nAnalogVideoSwitchLockMask, 1, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoSwitchChannelTablePropertyA", m_nAnalogVideoSwitchChannelTable[0], 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoSwitchChannelTablePropertyB", m_nAnalogVideoSwitchChannelTable[1], 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoSwitchChannelTablePropertyC", m_nAnalogVideoSwitchChannelTable[2], 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoSwitchResolutionTablePropertyA", m_nAnalogVideoSwitchResolutionTable[0], 0,
             SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoSwitchResolutionTablePropertyB", m_nAnalogVideoSwitchResolutionTable[1], 0,
             SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoSwitchResolutionTablePropertyC", m_nAnalogVideoSwitchResolutionTable[2], 0,
             SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoResolutionProperty", m_nAnalogVideoResolution, 0, SETTING_SAVE_NO),
    SETTING_("CustomAnalogVideoFrameRateProperty", m_nAnalogVideoFrameRate, 0, SETTING_SAVE_NO),
    SETTING_("CustomAnalogVideoInterleavedProperty", m_nAnalogVideoInterleaved, 0, SETTING_SAVE_NO),
    SETTING_("CustomAnalogVideoScaleOutputProperty", m_nAnalogVideoScaleOutput, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoInputProperty", m_nAnalogVideoInput, 0, SETTING_SAVE_NO),
    SETTING_("CustomAnalogVideoDropCountProperty", m_nAnalogVideoDropCount, 0, SETTING_SAVE_NO),
    SETTING_("CustomAnalogVideoLockCountProperty", m_nAnalogVideoLockCount, 0, SETTING_SAVE_NO),
    SETTING_COUNTER64_("CustomAnalogVideoTotalOutputFrames", m_nAnalogVideoTotalOutputFrames),
    SETTING_("CustomAnalogVideo720OutputProperty", m_nAnalogVideo720Output, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoUStreamPatchProperty", m_nAnalogVideoUStreamPatch, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoQueueBufferSizeProperty", m_nAnalogVideoQueueBufferSize, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoFlexibleFpsPatchProperty", m_nAnalogVideoFlexibleFpsPatch, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoFlexibleResolutionPatchProperty", m_nAnalogVideoFlexibleResolutionPatch, 0,
             SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoVgaAspectRatioProperty", m_nAnalogVideoVgaAspectRatio, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoVgaHActiveProperty", m_nAnalogVideoVgaHActive, 640, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoPinTopologyProperty", m_nAnalogVideoPinTopology, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoColorRangeProperty", m_nAnalogVideoColorRange, 0x10000, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoSogProperty", m_nAnalogVideoSog, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoDviYCbCrProperty", m_nAnalogVideoDviYCbCr, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoCustomizedResolutionProperty", m_nAnalogVideoCustomizedResolution, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoVbiLinesEnableProperty", m_nAnalogVideoVbiLinesEnable, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoVbiLinesProperty", m_nAnalogVideoVbiLines, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoConnectionsProperty", m_nAnalogVideoConnections, 0, SETTING_SAVE_NO),
    SETTING_("CustomAnalogVideoSkypePatchProperty", m_nAnalogVideoSkypePatch, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoMaximalResolutionProperty", m_nAnalogVideoMaximalResolution, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoInputEqProperty", m_nAnalogVideoInputEq, 1, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoInputBandwidthProperty", m_nAnalogVideoInputBandwidth, 1, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoMultiSyncChannels", m_nAnalogVideoMultiSyncChannels, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoMultiSyncPositionX", m_nAnalogVideoMultiSyncPositionX, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoMultiSyncPositionY", m_nAnalogVideoMultiSyncPositionY, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoSdiSingalStatusProperty", m_nAnalogVideoSdiSingalStatus, 0, SETTING_SAVE_NO),
    SETTING_("CustomAnalogVideoDirectDMAProperty", m_nAnalogVideoDirectDMA, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoSubEncoderEnableProperty", m_nAnalogVideoSubEncoderEnable, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoHotPlugEnableProperty", m_nAnalogVideoHotPlugEnable, 1, SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoRGBColorConvertColorRangeProperty", m_nAnalogVideoRGBColorConvertColorRange, 0,
             SETTING_SAVE_YES),
    SETTING_("CustomAnalogVideoHVSyncDelayProperty", m_nAnalogVideoHVSyncDelay, 0, SETTING_SAVE_YES),

    // Analog audio, encoder and driver options.
    SETTING_("CustomAnalogAudioDirectSoundPatchProperty", m_nAnalogAudioDirectSoundPatch, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogAudioStereoSystemProperty", m_nAnalogAudioStereoSystem, 2, SETTING_SAVE_YES),
    SETTING_("CustomAnalogAudioVolumeProperty", m_nAnalogAudioVolume, 128, SETTING_SAVE_YES),
    SETTING_("CustomAnalogAudioPinTopologyProperty", m_nAnalogAudioPinTopology, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogAudioSampleFrequencyProperty", m_nAnalogAudioSampleFrequency, 48000, SETTING_SAVE_YES),
    SETTING_("CustomAnalogAudioPassThroughProperty", m_nAnalogAudioPassThrough, 0, SETTING_SAVE_YES),
    SETTING_COUNTER64_("CustomAnalogAudioTotalOutputFrames", m_nAnalogAudioTotalOutputFrames),
    SETTING_COUNTER64_("CustomAnalogAudioTotalOutputBytes", m_nAnalogAudioTotalOutputBytes),
    SETTING_("CustomAnalogActiveSubChannelNumberProperty", m_nAnalogActiveSubChannelNumber, 0, SETTING_SAVE_YES),
    SETTING_("CustomAnalogAudioDmaDisable", m_nAnalogAudioDmaDisable, 0, SETTING_SAVE_NO),
    SETTING_("CustomEncoderVideoQueueBufferSizeProperty", m_nEncoderVideoQueueBufferSize, 0, SETTING_SAVE_YES),
    SETTING_("CustomOsdTextEnableProperty", m_nOsdTextEnable, 1, SETTING_SAVE_YES),
    SETTING_("CustomSoftwareWatchdogDurationProperty", m_nSoftwareWatchdogDuration, 180, SETTING_SAVE_LOW8),
    SETTING_("CustomVirtualCaptureDeviceProperty", m_nVirtualCaptureDevice, 0, SETTING_SAVE_NO),
    SETTING_("CustomGpioDirectionProperty", m_nGpioDirection, 0, SETTING_SAVE_YES),
    SETTING_("CustomGpioDataProperty", m_nGpioData, 0, SETTING_SAVE_YES),
    SETTING_("CustomGpioSupportProperty", m_nGpioSupport, 0, SETTING_SAVE_YES),
    SETTING_("CustomDriverTechnologyProperty", m_nDriverTechnology, 0, SETTING_SAVE_NO),
    SETTING_("CustomCloneFiltersProperty", m_nCloneFilters, 0, SETTING_SAVE_YES),
    SETTING_("CustomInstancesPossibleProperty", m_nInstancesPossible, 0, SETTING_SAVE_NO),
    SETTING_("CustomSpecialCameraInputProperty", m_nSpecialCameraInput, 0, SETTING_SAVE_YES),
    SETTING_("CustomCrossbarEnableProperty", m_nCrossbarEnable, 0, SETTING_SAVE_YES),
    SETTING_("CustomDebugPrintsProperty", m_nDebugPrints, 0, SETTING_SAVE_YES),

    // Customer switches; only the first is saved.
    SETTING_("CustomCompanyQuorinProperty", m_nCompanyQuorin, 0, SETTING_SAVE_YES),
    SETTING_SWITCH_("CustomCompanyLarkmoorProperty", m_nCompanyLarkmoor),
    SETTING_SWITCH_("CustomCompanyDovrickProperty", m_nCompanyDovrick),
    SETTING_SWITCH_("CustomCompanyPendrakeProperty", m_nCompanyPendrake),
    SETTING_SWITCH_("CustomCompanyRovvProperty", m_nCompanyRovv),
    SETTING_SWITCH_("CustomCompanyCastwellProperty", m_nCompanyCastwell),
    SETTING_SWITCH_("CustomCompanyUlterraProperty", m_nCompanyUlterra),
    SETTING_SWITCH_("CustomCompanyBrimleyProperty", m_nCompanyBrimley),
    SETTING_SWITCH_("CustomCompanyZq4Property", m_nCompanyZq4),
    SETTING_SWITCH_("CustomCompanyZq4AnalyzerProperty", m_nCompanyZq4Analyzer),
    SETTING_SWITCH_("CustomCompanyHolvaneProperty", m_nCompanyHolvane),
    SETTING_SWITCH_("CustomCompanyFenmarkProperty", m_nCompanyFenmark),
    SETTING_SWITCH_("CustomCompanyGrisdaleProperty", m_nCompanyGrisdale),
    SETTING_SWITCH_("CustomCompanyTirroweProperty", m_nCompanyTirrowe),
    SETTING_SWITCH_("CustomCompanyYuy2Property", m_nCompanyYuy2),
    SETTING_SWITCH_("CustomCompanyCestrumProperty", m_nCompanyCestrum),
    SETTING_SWITCH_("CustomCompanyWoppleProperty", m_nCompanyWopple),
    SETTING_SWITCH_("CustomCompanyArdexProperty", m_nCompanyArdex),
    SETTING_SWITCH_("CustomCompanyPellucineProperty", m_nCompanyPellucine),
    SETTING_SWITCH_("CustomCompanyJorvaleProperty", m_nCompanyJorvale),
    SETTING_SWITCH_("CustomCompanyVekProperty", m_nCompanyVek),
    SETTING_SWITCH_("CustomCompanyTrinselProperty", m_nCompanyTrinsel),
    SETTING_SWITCH_("CustomCompanySulvaneProperty", m_nCompanySulvane),
    SETTING_SWITCH_("CustomCompanyHembrookProperty", m_nCompanyHembrook),
    SETTING_SWITCH_("CustomCompanyOstravelProperty", m_nCompanyOstravel),
    SETTING_SWITCH_("CustomCompanyMarplinProperty", m_nCompanyMarplin),
    SETTING_SWITCH_("CustomCompanyNimbrelProperty", m_nCompanyNimbrel),
    SETTING_SWITCH_("CustomCompanyBantrelProperty", m_nCompanyBantrel),
    SETTING_SWITCH_("CustomCompanyQuorinSystemProperty", m_nCompanyQuorinSystem),
    SETTING_SWITCH_("CustomCompanyArventoProperty", m_nCompanyArvento),
    SETTING_SWITCH_("CustomCompanyZonthelProperty", m_nCompanyZonthel),
    SETTING_SWITCH_("CustomCompanyPelgraneProperty", m_nCompanyPelgrane),
    SETTING_SWITCH_("CustomCompanyDrabwickProperty", m_nCompanyDrabwick),
    SETTING_SWITCH_("CustomCompanyKettifordProperty", m_nCompanyKettiford),
    SETTING_SWITCH_("CustomCompanyMavreneProperty", m_nCompanyMavrene),
    SETTING_SWITCH_("CustomCompanyGorlundProperty", m_nCompanyGorlund),
    SETTING_SWITCH_("CustomCompanyTessaryProperty", m_nCompanyTessary),
    SETTING_SWITCH_("CustomCompanyObelinProperty", m_nCompanyObelin),
    SETTING_SWITCH_("CustomCompanyRanbeckProperty", m_nCompanyRanbeck),
    SETTING_SWITCH_("CustomCompanyFolcrestProperty", m_nCompanyFolcrest),
    SETTING_SWITCH_("CustomCompanyWembricProperty", m_nCompanyWembric),
    SETTING_SWITCH_("CustomCompanyDuskelProperty", m_nCompanyDuskel),
    SETTING_SWITCH_("CustomCompanyHalveryProperty", m_nCompanyHalvery),
    SETTING_SWITCH_("CustomCompanyPextonProperty", m_nCompanyPexton),
    SETTING_SWITCH_("CustomCompanyLurdaneProperty", m_nCompanyLurdane),
    SETTING_SWITCH_("CustomCompanySamrellProperty", m_nCompanySamrell),
    SETTING_SWITCH_("CustomCompanyTorvikProperty", m_nCompanyTorvik),
    SETTING_SWITCH_("CustomCompanyVapletProperty", m_nCompanyVaplet),

// Per-channel families of 16 channels, all saved with the flag cleared.
#define SETTING16_TABLE_(name, m, index) \
  SETTING_FAMILY_TABLE_(SETTING_SCOPE_CHANNELS16, name, m, index, SETTING_SAVE_FLAG_CLEARED)
#define SETTING16_(name, m, def) SETTING_FAMILY_(SETTING_SCOPE_CHANNELS16, name, m, def, SETTING_SAVE_FLAG_CLEARED)
    SETTING16_TABLE_("AnalogVideoProcAmpBacklightCompensationProperty", m_nAnalogVideoProcAmpBacklightCompensation,
                     SETTINGS_DEFAULT_PROCAMP_BACKLIGHT_COMPENSATION),
    SETTING16_TABLE_("AnalogVideoProcAmpBrightnessProperty", m_nAnalogVideoProcAmpBrightness,
                     SETTINGS_DEFAULT_PROCAMP_BRIGHTNESS),
    SETTING16_TABLE_("AnalogVideoProcAmpColorEnableProperty", m_nAnalogVideoProcAmpColorEnable,
                     SETTINGS_DEFAULT_PROCAMP_COLOR_ENABLE),
    SETTING16_TABLE_("AnalogVideoProcAmpContrastProperty", m_nAnalogVideoProcAmpContrast,
                     SETTINGS_DEFAULT_PROCAMP_CONTRAST),
    SETTING16_TABLE_("AnalogVideoProcAmpGammaProperty", m_nAnalogVideoProcAmpGamma, SETTINGS_DEFAULT_PROCAMP_GAMMA),
    SETTING16_TABLE_("AnalogVideoProcAmpHueProperty", m_nAnalogVideoProcAmpHue, SETTINGS_DEFAULT_PROCAMP_HUE),
    SETTING16_TABLE_("AnalogVideoProcAmpSaturationProperty", m_nAnalogVideoProcAmpSaturation,
                     SETTINGS_DEFAULT_PROCAMP_SATURATION),
    SETTING16_TABLE_("AnalogVideoProcAmpSharpnessProperty", m_nAnalogVideoProcAmpSharpness,
                     SETTINGS_DEFAULT_PROCAMP_SHARPNESS),
    SETTING16_TABLE_("AnalogVideoProcAmpWhiteBalanceProperty", m_nAnalogVideoProcAmpWhiteBalance,
                     SETTINGS_DEFAULT_PROCAMP_WHITE_BALANCE),
    SETTING16_TABLE_("AnalogVideoProcAmpGainProperty", m_nAnalogVideoProcAmpGain, SETTINGS_DEFAULT_PROCAMP_GAIN),
    SETTING16_("CustomAnalogVideoDeinterlaceTypeProperty", m_nAnalogVideoDeinterlaceType, 1),
    SETTING16_("CustomAnalogVideoDemiseTypeProperty", m_nAnalogVideoDemiseType, 1),
    SETTING16_("CustomAnalogVideoDenoiseTypeProperty", m_nAnalogVideoDenoiseType, 0),
    SETTING16_("CustomAnalogVideoScaleTypeProperty", m_nAnalogVideoScaleType, 0),
    SETTING16_("CustomAnalogVideoAutoPhaseTypeProperty", m_nAnalogVideoAutoPhaseType, 0),
    SETTING16_("CustomAnalogVideoVerticalMirrorProperty", m_nAnalogVideoVerticalMirror, 0),
    SETTING16_("CustomAnalogVideoHorizontalMirrorProperty", m_nAnalogVideoHorizontalMirror, 0),
    SETTING16_("CustomAnalogVideoSkipFrameRateProperty", m_nAnalogVideoSkipFrameRate, 0),
    SETTING16_("CustomAnalogVideoAvgFrameRateProperty", m_nAnalogVideoAvgFrameRate, 0),
    SETTING16_("CustomAnalogVideoRotateProperty", m_nAnalogVideoRotate, 0),
#undef SETTING16_
#undef SETTING16_TABLE_

// Per-channel families of 32 channels.
#define SETTING32_TABLE_(name, m, index, save) SETTING_FAMILY_TABLE_(SETTING_SCOPE_CHANNELS32, name, m, index, save)
#define SETTING32_(name, m, def, save) SETTING_FAMILY_(SETTING_SCOPE_CHANNELS32, name, m, def, save)
    SETTING32_TABLE_("AnalogVideoCompressionKeyframeRateProperty", m_nAnalogVideoCompressionKeyframeRate,
                     SETTINGS_DEFAULT_COMPRESSION_KEYFRAME_RATE, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_TABLE_("AnalogVideoCompressionPfrmesPerKeyframeProperty", m_nAnalogVideoCompressionPfrmesPerKeyframe,
                     SETTINGS_DEFAULT_COMPRESSION_PFRAMES_PER_KEYFRAME, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_TABLE_("AnalogVideoCompressionQualityProperty", m_nAnalogVideoCompressionQuality,
                     SETTINGS_DEFAULT_COMPRESSION_QUALITY, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_TABLE_("AnalogVideoCompressionOverrideKeyframeProperty", m_nAnalogVideoCompressionOverrideKeyframe,
                     SETTINGS_DEFAULT_COMPRESSION_OVERRIDE_KEYFRAME, SETTING_SAVE_NO),
    SETTING32_("CustomPreviewVideoResolutionProperty", m_nPreviewVideoResolution, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomPreviewVideoFrameCountsProperty", m_nPreviewVideoFrameCounts, 0, SETTING_SAVE_NO),
    SETTING32_("CustomPreviewAudioSampleFrequencyProperty", m_nPreviewAudioSampleFrequency, 0,
               SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomPreviewAudioFrameCountsProperty", m_nPreviewAudioFrameCounts, 0, SETTING_SAVE_NO),
    SETTING32_("CustomEncoderVideoFormatProperty", m_nEncoderVideoFormat, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderVideoResolutionProperty", m_nEncoderVideoResolution, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderVideoSkipFrameRateProperty", m_nEncoderVideoSkipFrameRate, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderVideoAvgFrameRateProperty", m_nEncoderVideoAvgFrameRate, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderVideoBitRateModeProperty", m_nEncoderVideoBitRateMode, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderVideoPeakBitRateProperty", m_nEncoderVideoPeakBitRate, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_TABLE_("CustomEncoderVideoBitRateProperty", m_nEncoderVideoBitRate,
                     SETTINGS_DEFAULT_ENCODER_VIDEO_BIT_RATE, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderVideoTroughQualityProperty", m_nEncoderVideoTroughQuality, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderVideoQualityProperty", m_nEncoderVideoQuality, 6000, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderVideoGopProperty", m_nEncoderVideoGop, 30, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderVideoQPStepProperty", m_nEncoderVideoQPStep, 1, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderVideoKeyFrameProperty", m_nEncoderVideoKeyFrame, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderVideoBframesPerKeyframeProperty", m_nEncoderVideoBframesPerKeyframe, 0,
               SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderVideoProfileProperty", m_nEncoderVideoProfile, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderVideoLevelProperty", m_nEncoderVideoLevel, 41, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderVideoEntropyProperty", m_nEncoderVideoEntropy, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderVideoAspectRatioProperty", m_nEncoderVideoAspectRatio, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderVideoFrameCountsProperty", m_nEncoderVideoFrameCounts, 0, SETTING_SAVE_NO),
    SETTING32_("CustomEncoderVideoCropXProperty", m_nEncoderVideoCropX, 0, SETTING_SAVE_NO),
    SETTING32_("CustomEncoderVideoCropYProperty", m_nEncoderVideoCropY, 0, SETTING_SAVE_NO),
    SETTING32_("CustomEncoderVideoCropWProperty", m_nEncoderVideoCropW, 0, SETTING_SAVE_NO),
    SETTING32_("CustomEncoderVideoCropHProperty", m_nEncoderVideoCropH, 0, SETTING_SAVE_NO),
    SETTING32_("CustomEncoderAudioFormatProperty", m_nEncoderAudioFormat, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderAudioFrequencyProperty", m_nEncoderAudioFrequency, 8000, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomEncoderAudioBitRateProperty", m_nEncoderAudioBitRate, 32000, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomMotionTemporalSensitivityProperty", m_nMotionTemporalSensitivity, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomMotionSpatialSensitivityProperty", m_nMotionSpatialSensitivity, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomMotionLevelSensitivityProperty", m_nMotionLevelSensitivity, 0, SETTING_SAVE_FLAG_CLEARED),
    SETTING32_("CustomMotionSpeedProperty", m_nMotionSpeed, 0, SETTING_SAVE_FLAG_CLEARED),
#undef SETTING32_
#undef SETTING32_TABLE_

    // The device-info directory, read last.
    {SETTING_NAME_("CustomDeviceInfoDirectoryProperty"), SETTING_OFFSET_(m_szDeviceInfoDirectory),
     SETTING_SCOPE_DIRECTORY, SETTING_KIND_RAW, SETTING_DEFAULT_CONSTANT, SETTING_SAVE_NO, 0},
};

#undef SETTING_FAMILY_TABLE_
#undef SETTING_FAMILY_
#undef SETTING_SWITCH_
#undef SETTING_TUNER_
#undef SETTING_COUNTER64_
#undef SETTING_TABLE_
#undef SETTING_
#undef SETTING_OFFSET_
#undef SETTING_NAME_

inline constexpr ULONG SettingsTableCount = sizeof(SettingsTable) / sizeof(SettingsTable[0]);

constexpr ULONG SettingsCount(SettingScope scope, bool savedOnly) {
  ULONG n = 0;
  for (const SettingsTableEntry& e : SettingsTable) {
    bool single = e.Scope == SETTING_SCOPE_SINGLE || e.Scope == SETTING_SCOPE_TUNER;
    bool match = scope == SETTING_SCOPE_SINGLE ? single : e.Scope == scope;
    if (match && (!savedOnly || e.Save != SETTING_SAVE_NO)) ++n;
  }
  return n;
}

// The counts are part of the interface with installed systems.
static_assert(SettingsCount(SETTING_SCOPE_SINGLE, false) == 197);
static_assert(SettingsCount(SETTING_SCOPE_SINGLE, true) == 103);
static_assert(SettingsCount(SETTING_SCOPE_CHANNELS16, false) == 20);
static_assert(SettingsCount(SETTING_SCOPE_CHANNELS16, true) == 20);
static_assert(SettingsCount(SETTING_SCOPE_CHANNELS32, false) == 37);
static_assert(SettingsCount(SETTING_SCOPE_CHANNELS32, true) == 29);
static_assert(SettingsCount(SETTING_SCOPE_DIRECTORY, false) == 1);

// The channel count of a per-channel family (0 for a fixed value).
constexpr ULONG SettingsChannelCount(const SettingsTableEntry& e) {
  return e.Scope == SETTING_SCOPE_CHANNELS16 ? 16 : e.Scope == SETTING_SCOPE_CHANNELS32 ? 32 : 0;
}

// The character appended to a family's base name for a channel: 'A' for channel 0,
// continuing past 'Z' in the character set ('[', '\', ']', '^', '_', '`').
constexpr CHAR SettingsChannelLetter(ULONG channel) { return static_cast<CHAR>('A' + channel); }

// The load default of a row for this device: its constant, or the static default
// table with this board family's ProcAmp set applied. A member-defaulted row has none
// here; its caller uses the member.
ULONG SettingsTableDefault(const CDeviceSettings* settings, const SettingsTableEntry& entry);
