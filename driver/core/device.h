// The per-board device object: the KS device's context, created when KS adds a device
// and destroyed when KS removes it. Its PCI half (CPCIBaseDevice) comes first, then the
// registry-backed settings; the rest is grouped by the part of the driver that owns it.
#pragma once

#include <atomic>

#include "driver/core/channel_param_set.h"
#include "driver/core/device_settings.h"
#include "driver/core/pci_base.h"
#include "platform/kernel/kernel.h"
#include "platform/ks/ks.h"

// One picture remembered by the software deinterlacer (and one output plane record).
struct FieldSlot {
  PUCHAR pBuffer;
  ULONG nRowStep;
  ULONG bValid;
  ULONG nReserved;
};

struct ImgDeinterlaceBlendState;

// The pool block behind one channel's deinterlace ring slots and output planes, and the
// frame it was laid out for (format 0: none yet).
struct DeinterlaceBuffers {
  PUCHAR pBlock;
  ULONG nFormat;
  ULONG nWidth;
  ULONG nHeight;
};

// Virtual-camera media: index 0 video, 1 audio.
enum { VCAM_VIDEO = 0, VCAM_AUDIO = 1, VCAM_MEDIA = 2 };

// The timing of the picture in the bounce frame buffers, as frame finishing reads it. The
// two path flags together (the first non-zero, the second 1) ask for the planar-source
// path whatever the size.
struct SourceTiming {
  ULONG nWidth;
  ULONG nHeight;
  ULONG nRefresh;
  ULONG bFractional;
  ULONG bInterlaced;
  ULONG nExtraLines;
  ULONG nPathFlag[2];
};

class CDevice : public CPCIBaseDevice, public CDeviceSettings {
 public:
  // ---- KS device dispatch ------------------------------------------------------------
  static NTSTATUS Add(PKSDEVICE pKsDevice);
  static NTSTATUS Start(PKSDEVICE pKsDevice, PIRP pIrp, PCM_RESOURCE_LIST pTranslatedResourceList,
                        PCM_RESOURCE_LIST pUntranslatedResourceList);
  static VOID Stop(PKSDEVICE pKsDevice, PIRP pIrp);
  static VOID Remove(PKSDEVICE pKsDevice, PIRP pIrp);
  static NTSTATUS QueryCapabilities(PKSDEVICE pKsDevice, PIRP pIrp, PDEVICE_CAPABILITIES pCapabilities);
  static VOID SetPower(PKSDEVICE pKsDevice, PIRP pIrp, DEVICE_POWER_STATE To, DEVICE_POWER_STATE From);

  // Runs on the zero-filled pool block; the object is never copied or deleted with
  // delete (Remove destroys the members that need it and returns the block).
  CDevice();
  CDevice(const CDevice&) = delete;
  CDevice& operator=(const CDevice&) = delete;

  // ---- registry access and settings load / save ----------------------------------------
  ULONG ReadRegistryDword(PCWSTR name, ULONG defaultValue);
  NTSTATUS ReadRegistryBinary(PCWSTR name, PVOID buffer, ULONG length);
  NTSTATUS WriteRegistryDword(PCWSTR name, ULONG value);
  BOOLEAN PresetSettings();
  void LoadSettings();
  NTSTATUS SaveSettings();

  // Gives back one medium's virtual-camera attachment, whatever part of it is there:
  // the locked pages, the view (unmapped inside the producer's process unless that has
  // ended), the section handle, the process reference.
  void ReleaseVirtualCamera(int medium);

  // Members by group. PCI resources, the interrupt, DPCs, channel table and power state
  // are in CPCIBaseDevice; the registry-backed settings in CDeviceSettings.

  // ---- KS device -------------------------------------------------------------------------
  PKSDEVICE m_pKsDevice;

  // ---- card numbering, medium identifier, run-time fields cleared at start, pin mutex ----
  ULONG m_nDeviceInstanceNumber;
  // Taken by pin create and close and by stream acquire and stop.
  FAST_MUTEX m_PinMutex;

  // ---- encoder board run-time state, threads, mailbox lock, board state block -----------
  // Referenced thread object of the monitor thread, and its stop request.
  PVOID m_pMonitorThread;
  std::atomic<ULONG> m_bMonitorThreadStop;
  // Taken by whoever stops the monitor thread and given back when it starts again, so
  // every stop-start bracket owns the serial buses, the GPIO lines and the receiver.
  KSEMAPHORE m_ThreadControlSemaphore;
  // The frame clocks: entry 0 video, entry 1 audio.
  PVOID m_pFrameClockThread[2];
  std::atomic<ULONG> m_bFrameClockStop[2];
  // Powered capture streams; written under the pin mutex or by the power handler, read
  // by the threads without a lock.
  std::atomic<ULONG> m_nDigitalCaptureStreamReference;
  ULONG m_nBoardIndex;
  // Hardware stop ran and no initialisation since: the monitor bracket is taken.
  BOOLEAN m_bHardwareStopped;
  // Bit 0: kick the watchdog only on request; bit 31: a request is pending.
  std::atomic<ULONG> m_nWatchdogControl;
  // The transfer path's 1 ms continuation.
  KTIMER m_ContinueTimer;
  KDPC m_ContinueDpc;
  // Guards the mailbox's busy poll and its nine register writes.
  KSPIN_LOCK m_VendorCommandLock;

  // ---- device start: identity of the card's filters and pins -------------------------
  // The medium identifier of the card's pinless filters (low half of the FDO's address).
  ULONG m_nMediumId;
  ULONG m_nDeviceInstance;
  // The channel numbers the card's filters took (valid while started).
  ULONG m_nFirstVideoChannel;
  ULONG m_nVideoChannelCount;
  ULONG m_nFirstAudioChannel;
  ULONG m_nAudioChannelCount;
  // The mailbox's count of powered streams.
  ULONG m_nDigitalCaptureStreamPowerReference;

  // Device start's own steps, in the order it runs them.
  void EditTemplatesBeforeLoad();
  void EditTemplatesAfterLoad();
  // Gives a per-channel copy of the video (or audio) template its customer categories.
  void ApplyCategoryRule(KSFILTER_DESCRIPTOR* pCopy, BOOLEAN bAudio);
  void ResetRunTimeMembers();
  // The descriptor index of channel number n of the card.
  ULONG MapChannel(ULONG n, BOOLEAN bAudio);
  NTSTATUS CreateFilters(NTSTATUS hwStatus);

  // ---- pin slot tables ---------------------------------------------------------------------
  PKSPIN m_pVideoPin[48];
  PKSPIN m_pAudioPin[16];
  PKSPIN m_pVbiPin[16];
  PKSPIN m_pRenderPin[16];
  PKSPIN m_pEncoderPin[16];

  // ---- stream-pointer lock -----------------------------------------------------------------
  KSPIN_LOCK m_StreamPointerLock;

  // ---- virtual-camera sections (index VCAM_VIDEO / VCAM_AUDIO) ---------------------------
  HANDLE m_hVcamSection[VCAM_MEDIA];
  PVOID m_pVcamView[VCAM_MEDIA];  // view base in the producer's process
  PMDL m_pVcamMdl[VCAM_MEDIA];
  PVOID m_pVcamInfo[VCAM_MEDIA];  // system-space address of the locked view
  // Referenced process that mapped the view: the view can only be unmapped there.
  PEPROCESS m_pVcamProcess[VCAM_MEDIA];
  // Bytes of the view (page-rounded): what a push may read of the section.
  SIZE_T m_nVcamViewSize[VCAM_MEDIA];
  // Serialises attach, push and detach on one medium.
  FAST_MUTEX m_VcamMutex[VCAM_MEDIA];
  // The audio payload bytes an audio push carried over to the next push's first buffer
  // (the count is the pin's carry word; the bytes live here, as the section is rewritten).
  PUCHAR m_pVcamCarry;
  ULONG m_nVcamCarryCapacity;
  ULONG m_nVcamCarryStored;

  // ---- software deinterlace ----------------------------------------------------------------
  LONG m_nDeinterlaceRingIndex[16];
  FieldSlot m_DeinterlaceRing[4][64];
  FieldSlot m_DeinterlaceOutput[4][16];
  // The blend method's weights per channel and plane (channel, + 16, + 32 for planes 0-2),
  // owned by whoever sets them; without all three the blend leaves the frame as it is.
  ImgDeinterlaceBlendState* m_pDeinterlaceBlendState[48];
  // Per channel: the block the ring slots and output planes point into, allocated on the
  // channel's first frame (again when its format or size changes), freed at stop and
  // remove.
  DeinterlaceBuffers m_DeinterlaceBuffers[16];
  VOID ReleaseDeinterlaceBuffers();
  // Software deinterlace of a finished frame (channel 0..15), in place: each returns 1.
  ULONG DeinterlaceYuy2(ULONG nChannel, ULONG nWidth, ULONG nHeight, PUCHAR pData, ULONG nFrameExtent);
  ULONG DeinterlaceNv12(ULONG nChannel, ULONG nWidth, ULONG nHeight, PUCHAR pData, ULONG nFrameExtent);
  ULONG DeinterlaceYv12(ULONG nChannel, ULONG nWidth, ULONG nHeight, PUCHAR pData, ULONG nFrameExtent);
  ULONG DeinterlaceRgb24(ULONG nChannel, ULONG nWidth, ULONG nHeight, PUCHAR pData, ULONG nFrameExtent);
  ULONG DeinterlaceRgb32(ULONG nChannel, ULONG nWidth, ULONG nHeight, PUCHAR pData, ULONG nFrameExtent);

  // ---- frame finishing ----------------------------------------------------------------------
  // The timing of the bounce frame buffers' picture (nothing in this system writes it; it
  // reads as zero), and the frames still to blank after the signal came back.
  SourceTiming m_SourceTiming;
  ULONG m_nBlankCountdown;

  // Frame finishing's byte helpers: an overlap-safe move, and a blank packed 4:2:2 fill
  // (length / 2 words of bytes 0x80, 0x00).
  VOID CopyFrameBytes(PVOID pDestination, const VOID* pSource, SIZE_T nLength);
  VOID FillBlankYuy2(PVOID pDestination, SIZE_T nLength);

  // ---- custom-property records (OSD, channel status, debug words, mailbox) -------------
  // On-screen display text: 16 slots per channel, 64 text bytes and a terminator each,
  // with the changed marks the encoder's settings pass clears when it sends a slot.
  CHAR m_szOsdText[32][16][65];
  ULONG m_bOsdTextChanged[32][16];
  ULONG m_nOsdTextSlot[32];
  ULONG m_nOsdTextParam[4][32][16];  // parameters A, B, C, D of each text slot
  // Four picture slots per channel: a record of four words and a 64-byte string each.
  ULONG m_nOsdPictureSlot[32];
  ULONG m_aOsdPicture[32][4][4];
  CHAR m_szOsdPicture[32][4][65];
  ULONG m_bOsdPictureChanged[32][4];
  // Two region records of four words per channel, and an eight-word status row.
  ULONG m_aChannelAuxRecord[32][2][4];
  ULONG m_aChannelStatus[32][8];
  // Debug words.
  ULONG m_nDebugStatus[3];
  ULONG m_nDebugOptions;
  ULONGLONG m_aDebugAddress[4][2];
  // The sibling-model mailbox: the last payload and the reply built in place, and the
  // size of the pending reply (0: none).
  UCHAR m_abMailbox[256];
  ULONG m_nMailboxReplySize;

  // ---- standard property sets (driver/properties: standard_video, front_end,
  // audio_encoder_api). KS property handlers: each finds its device from the request.
  static NTSTATUS OnGetVideoProcAmpProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnSetVideoProcAmpProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnGetVideoControlProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnSetVideoControlProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnGetVideoDecoderProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnSetVideoDecoderProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnGetVideoCompressionProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnSetVideoCompressionProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnGetDroppedFramesProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnGetCrossbarProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnSetCrossbarProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnGetTunerProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnSetTunerProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnGetTVAudioProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnSetTVAudioProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnGetEncoderPeakBitRateProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnSetEncoderPeakBitRateProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnGetEncoderBitRateModeProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnSetEncoderBitRateModeProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnGetEncoderBitRateProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnSetEncoderBitRateProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  // The frame-interval list of the video control set (see standard_video.cpp); the
  // decoder standard's rewrite of pin 0's data ranges for a filter; the peak bit-rate
  // rule of the encoder parameters (channel 0).
  ULONG BuildFrameRateList(LONGLONG* pEntries, ULONG nRoom);
  NTSTATUS RewriteDataRanges(PKSFILTER pKsFilter);
  void ApplyPeakRule();

  // ---- parameter sets ----------------------------------------------------------------------
  CChannelParamSet m_aChannelParamSet[16];
  CChannelParamSet m_aGroupParamSet[4];
};

// The device object behind a KS device.
inline CDevice* DeviceOf(PKSDEVICE pKsDevice) { return static_cast<CDevice*>(pKsDevice->Context); }
