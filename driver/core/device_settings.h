// The registry-backed settings of the device object: one member per value of the
// settings table (driver/core/settings_table.h). The struct is standard layout so the
// table can address every member by its offset; CDevice inherits it.
#pragma once

#include "platform/kernel/ntdef.h"

// Set by a property handler when an application wrote the value; the save drops it.
#define SETTINGS_FLAG_SET_BY_APPLICATION 0x08000000u

// One digital tuner: sixteen 32-bit words in this order.
struct DigitalTunerSettings {
  ULONG DemodulationType;
  ULONG CurrentFrequency;
  ULONG FrequencyMultiplier;
  ULONG Bandwidth;
  ULONG SignalPresent;
  ULONG SignalLocked;
  ULONG SignalStrength;
  ULONG SignalQuality;
  ULONG SignalSnr;
  ULONG SignalBer;
  ULONG SignalPer;
  ULONG SignalUpdating;
  ULONG EncryptKey[4];
};
static_assert(sizeof(DigitalTunerSettings) == 64);

struct CDeviceSettings {
  // Digital tuners: [0] from the bare and "A" names, [1] from the "B" names.
  DigitalTunerSettings m_aDigitalTuner[2];

  // Camera control, video decoder, crossbar, TV audio, analog tuner.
  ULONG m_nAnalogCameraControlPan;
  ULONG m_nAnalogCameraControlTilt;
  ULONG m_nAnalogCameraControlRoll;
  ULONG m_nAnalogCameraControlZoom;
  ULONG m_nAnalogCameraControlExposure;
  ULONG m_nAnalogCameraControlIris;
  ULONG m_nAnalogCameraControlFocus;
  ULONG m_nAnalogVideoDecoderStandard;
  ULONG m_nAnalogVideoDecoderStatus;
  ULONG m_nAnalogVideoDecoderOutputEnable;
  ULONG m_nAnalogVideoDecoderVCRTiming;
  ULONG m_nAnalogVideoDecoderStandardNtscOnly;
  ULONG m_nAnalogVideoDecoderStandardPalOnly;
  ULONG m_nAnalogVideoDecoderStandardAuto;
  ULONG m_nAnalogCrossbarVideoInput;
  ULONG m_nAnalogCrossbarVideoInputAutoScan;
  ULONG m_nAnalogCrossbarVideoInputAutoScanTimeOut;
  ULONG m_nAnalogCrossbarVideoOutput;
  ULONG m_nAnalogCrossbarAudioInput;
  ULONG m_nAnalogCrossbarAudioOutput;
  ULONG m_nAnalogTVAudioMode;
  LONG m_nAnalogAudioVolumeLevel[2];
  ULONG m_nAnalogTunerMode;
  ULONG m_nAnalogTunerInput;
  ULONG m_nAnalogTunerStandard;
  ULONG m_nAnalogTunerCountry;
  ULONG m_nAnalogTunerCurrentFrequency;

  // Device options and analog video.
  ULONG m_nProcessorTechnology;
  ULONG m_nMunaulUsbPipeSelect;
  ULONG m_nUsbSelectiveSuspendEnable;
  ULONG m_nSiliconTunerStandard;
  ULONG m_nSiliconTunerType;
  ULONG m_nAnalogVideoSplit;
  ULONG m_nAnalogVideoSwitchSpeed;
  ULONG m_nAnalogVideoSwitchLockMask;
  ULONG m_nAnalogVideoSwitchChannelTable[3];
  ULONG m_nAnalogVideoSwitchResolutionTable[3];
  ULONG m_nAnalogVideoResolution;
  ULONG m_nAnalogVideoFrameRate;
  ULONG m_nAnalogVideoInterleaved;
  ULONG m_nAnalogVideoScaleOutput;
  ULONG m_nAnalogVideoInput;
  ULONG m_nAnalogVideoDropCount;
  ULONG m_nAnalogVideoLockCount;
  ULONGLONG m_nAnalogVideoTotalOutputFrames;
  ULONG m_nAnalogVideo720Output;
  ULONG m_nAnalogVideoUStreamPatch;
  ULONG m_nAnalogVideoQueueBufferSize;
  ULONG m_nAnalogVideoFlexibleFpsPatch;
  ULONG m_nAnalogVideoFlexibleResolutionPatch;
  ULONG m_nAnalogVideoVgaAspectRatio;
  ULONG m_nAnalogVideoVgaHActive;
  ULONG m_nAnalogVideoPinTopology;
  ULONG m_nAnalogVideoColorRange;
  ULONG m_nAnalogVideoSog;
  ULONG m_nAnalogVideoDviYCbCr;
  ULONG m_nAnalogVideoCustomizedResolution;
  ULONG m_nAnalogVideoVbiLinesEnable;
  ULONG m_nAnalogVideoVbiLines;
  ULONG m_nAnalogVideoConnections;
  ULONG m_nAnalogVideoSkypePatch;
  ULONG m_nAnalogVideoMaximalResolution;
  ULONG m_nAnalogVideoInputEq;
  ULONG m_nAnalogVideoInputBandwidth;
  ULONG m_nAnalogVideoMultiSyncChannels;
  ULONG m_nAnalogVideoMultiSyncPositionX;
  ULONG m_nAnalogVideoMultiSyncPositionY;
  ULONG m_nAnalogVideoSdiSingalStatus;
  ULONG m_nAnalogVideoDirectDMA;
  ULONG m_nAnalogVideoSubEncoderEnable;
  ULONG m_nAnalogVideoHotPlugEnable;
  ULONG m_nAnalogVideoRGBColorConvertColorRange;
  ULONG m_nAnalogVideoHVSyncDelay;

  // Analog audio, encoder and driver options.
  ULONG m_nAnalogAudioDirectSoundPatch;
  ULONG m_nAnalogAudioStereoSystem;
  ULONG m_nAnalogAudioVolume;
  ULONG m_nAnalogAudioPinTopology;
  ULONG m_nAnalogAudioSampleFrequency;
  ULONG m_nAnalogAudioPassThrough;
  ULONGLONG m_nAnalogAudioTotalOutputFrames;
  ULONGLONG m_nAnalogAudioTotalOutputBytes;
  ULONG m_nAnalogActiveSubChannelNumber;
  ULONG m_nAnalogAudioDmaDisable;
  ULONG m_nEncoderVideoQueueBufferSize;
  ULONG m_nOsdTextEnable;
  ULONG m_nSoftwareWatchdogDuration;
  ULONG m_nVirtualCaptureDevice;
  ULONG m_nGpioDirection;
  ULONG m_nGpioData;
  ULONG m_nGpioSupport;
  ULONG m_nDriverTechnology;
  ULONG m_nCloneFilters;
  ULONG m_nInstancesPossible;
  ULONG m_nSpecialCameraInput;
  ULONG m_nCrossbarEnable;
  ULONG m_nDebugPrints;

  // Customer switches.
  ULONG m_nCompanyQuorin;
  ULONG m_nCompanyLarkmoor;
  ULONG m_nCompanyDovrick;
  ULONG m_nCompanyPendrake;
  ULONG m_nCompanyRovv;
  ULONG m_nCompanyCastwell;
  ULONG m_nCompanyUlterra;
  ULONG m_nCompanyBrimley;
  ULONG m_nCompanyZq4;
  ULONG m_nCompanyZq4Analyzer;
  ULONG m_nCompanyHolvane;
  ULONG m_nCompanyFenmark;
  ULONG m_nCompanyGrisdale;
  ULONG m_nCompanyTirrowe;
  ULONG m_nCompanyYuy2;
  ULONG m_nCompanyCestrum;
  ULONG m_nCompanyWopple;
  ULONG m_nCompanyArdex;
  ULONG m_nCompanyPellucine;
  ULONG m_nCompanyJorvale;
  ULONG m_nCompanyVek;
  ULONG m_nCompanyTrinsel;
  ULONG m_nCompanySulvane;
  ULONG m_nCompanyHembrook;
  ULONG m_nCompanyOstravel;
  ULONG m_nCompanyMarplin;
  ULONG m_nCompanyNimbrel;
  ULONG m_nCompanyBantrel;
  ULONG m_nCompanyQuorinSystem;
  ULONG m_nCompanyArvento;
  ULONG m_nCompanyZonthel;
  ULONG m_nCompanyPelgrane;
  ULONG m_nCompanyDrabwick;
  ULONG m_nCompanyKettiford;
  ULONG m_nCompanyMavrene;
  ULONG m_nCompanyGorlund;
  ULONG m_nCompanyTessary;
  ULONG m_nCompanyObelin;
  ULONG m_nCompanyRanbeck;
  ULONG m_nCompanyFolcrest;
  ULONG m_nCompanyWembric;
  ULONG m_nCompanyDuskel;
  ULONG m_nCompanyHalvery;
  ULONG m_nCompanyPexton;
  ULONG m_nCompanyLurdane;
  ULONG m_nCompanySamrell;
  ULONG m_nCompanyTorvik;
  ULONG m_nCompanyVaplet;

  // Per-channel families of 16 channels.
  ULONG m_nAnalogVideoProcAmpBacklightCompensation[16];
  ULONG m_nAnalogVideoProcAmpBrightness[16];
  ULONG m_nAnalogVideoProcAmpColorEnable[16];
  ULONG m_nAnalogVideoProcAmpContrast[16];
  ULONG m_nAnalogVideoProcAmpGamma[16];
  ULONG m_nAnalogVideoProcAmpHue[16];
  ULONG m_nAnalogVideoProcAmpSaturation[16];
  ULONG m_nAnalogVideoProcAmpSharpness[16];
  ULONG m_nAnalogVideoProcAmpWhiteBalance[16];
  ULONG m_nAnalogVideoProcAmpGain[16];
  ULONG m_nAnalogVideoDeinterlaceType[16];
  ULONG m_nAnalogVideoDemiseType[16];
  ULONG m_nAnalogVideoDenoiseType[16];
  ULONG m_nAnalogVideoScaleType[16];
  ULONG m_nAnalogVideoAutoPhaseType[16];
  ULONG m_nAnalogVideoVerticalMirror[16];
  ULONG m_nAnalogVideoHorizontalMirror[16];
  ULONG m_nAnalogVideoSkipFrameRate[16];
  ULONG m_nAnalogVideoAvgFrameRate[16];
  ULONG m_nAnalogVideoRotate[16];

  // Per-channel families of 32 channels.
  ULONG m_nAnalogVideoCompressionKeyframeRate[32];
  ULONG m_nAnalogVideoCompressionPfrmesPerKeyframe[32];
  ULONG m_nAnalogVideoCompressionQuality[32];
  ULONG m_nAnalogVideoCompressionOverrideKeyframe[32];
  ULONG m_nPreviewVideoResolution[32];
  ULONG m_nPreviewVideoFrameCounts[32];
  ULONG m_nPreviewAudioSampleFrequency[32];
  ULONG m_nPreviewAudioFrameCounts[32];
  ULONG m_nEncoderVideoFormat[32];
  ULONG m_nEncoderVideoResolution[32];
  ULONG m_nEncoderVideoSkipFrameRate[32];
  ULONG m_nEncoderVideoAvgFrameRate[32];
  ULONG m_nEncoderVideoBitRateMode[32];
  ULONG m_nEncoderVideoPeakBitRate[32];
  ULONG m_nEncoderVideoBitRate[32];
  ULONG m_nEncoderVideoTroughQuality[32];
  ULONG m_nEncoderVideoQuality[32];
  ULONG m_nEncoderVideoGop[32];
  ULONG m_nEncoderVideoQPStep[32];
  ULONG m_nEncoderVideoKeyFrame[32];
  ULONG m_nEncoderVideoBframesPerKeyframe[32];
  ULONG m_nEncoderVideoProfile[32];
  ULONG m_nEncoderVideoLevel[32];
  ULONG m_nEncoderVideoEntropy[32];
  ULONG m_nEncoderVideoAspectRatio[32];
  ULONG m_nEncoderVideoFrameCounts[32];
  ULONG m_nEncoderVideoCropX[32];
  ULONG m_nEncoderVideoCropY[32];
  ULONG m_nEncoderVideoCropW[32];
  ULONG m_nEncoderVideoCropH[32];
  ULONG m_nEncoderAudioFormat[32];
  ULONG m_nEncoderAudioFrequency[32];
  ULONG m_nEncoderAudioBitRate[32];
  ULONG m_nMotionTemporalSensitivity[32];
  ULONG m_nMotionSpatialSensitivity[32];
  ULONG m_nMotionLevelSensitivity[32];
  ULONG m_nMotionSpeed[32];

  // The directory of the firmware and picture files (UTF-16, always terminated).
  WCHAR m_szDeviceInfoDirectory[256];

  // The board family's ProcAmp load-default set (1 to 3), chosen by Start before the
  // load; 0 keeps the plain defaults. Kept per device so one card's set never leaks
  // into the load of another card.
  ULONG m_nProcAmpDefaultSet;
};
