// The context of every streaming pin: one leading part that the state core, the worker
// thread, the transfer path and the delivery routines share, and one tail per pin kind.
// Pin Create allocates it zeroed from non-paged pool (tag "QZVK"), hangs it on the KS
// pin's Context and pin Close frees it.
#pragma once

#include "driver/core/pci_base.h"
#include "platform/kernel/kernel.h"
#include "platform/ks/ks.h"

// Pool tags of the pin contexts and their work buffers.
constexpr ULONG kPinContextTag = MakePoolTag("QZVK");
constexpr ULONG kPinWorkBufferTag = MakePoolTag("Wdm ");

// Bytes of the per-pin work buffers.
#define VIDEO_WORK_BUFFER_BYTES 3072
#define AUDIO_WORK_BUFFER_BYTES 16384
#define ENCODER_WORK_BUFFER_BYTES 3072

// Stream-index classes: which ChannelTable row, stream power and delivery routine a pin
// has.
#define STREAM_INDEX_FIRST_H264 4
#define STREAM_INDEX_FIRST_AUDIO 12
#define STREAM_INDEX_LAST 15
inline bool IsVideoStreamIndex(ULONG n) { return n < STREAM_INDEX_FIRST_H264; }
inline bool IsH264StreamIndex(ULONG n) { return n >= STREAM_INDEX_FIRST_H264 && n < STREAM_INDEX_FIRST_AUDIO; }
inline bool IsAudioStreamIndex(ULONG n) { return n >= STREAM_INDEX_FIRST_AUDIO && n <= STREAM_INDEX_LAST; }

// The leading part. The video pin's transfer state has five words, the others four; every
// kind keeps five here, so the tails sit at one offset and the transfer path reads the
// words it uses without knowing the kind.
struct PinContext {
  KSEMAPHORE Semaphore;  // one count per completed buffer; must stay first (ChannelTable.pOwner)
  KSPIN_LOCK Lock;       // guards PendingList and DoneList
  LIST_ENTRY PendingList;  // CloneNode entries waiting to be filled, oldest first
  LIST_ENTRY DoneList;     // entries held by the BOARD_KIND_D completion rule
  UCHAR bStopWorker;
  PKTHREAD pWorkerThread;  // referenced, or null
  ULONG nStreamIndex;
  ULONG nParam;  // handed to the delivery routines with every buffer
  UCHAR nTransferFlag;
  IKsReferenceClock* pClock;  // from acquire to stop, or null

  // Timestamp state (see the delivery routines).
  LONGLONG nLastClockTime;
  LONGLONG nLastPresentationTime;
  LONG nTimeRemainder;
  LONGLONG nSnappedRate;
  LONGLONG nSnapHoldCount;
  LONGLONG nDriftCount;
  UCHAR bResync;

  PKSDEVICE pKsDevice;
  PKSFILTER pKsFilter;
  PKSPIN pKsPin;
  ULONG aTransferState[5];
};
static_assert(offsetof(PinContext, Semaphore) == 0, "the channel table releases the owner as a semaphore");

struct VideoPinContext : PinContext {
  PUCHAR pWorkBuffer;  // VIDEO_WORK_BUFFER_BYTES, cache aligned
  LONGLONG nPictureNumber;
  LONGLONG nDropCount;
  LONGLONG nAvgTimePerFrame;
  ULONG nCompression;
  ULONG nTransferWidth;
  ULONG nTransferHeight;
  ULONG nTransferBitCount;  // 16
  ULONG nMaxFrameBytes;     // width x height x 16 / 8
  ULONG nWidth;
  ULONG nHeight;
  ULONG nStride;  // luma row stride in pixels
  ULONG nBitCount;
  ULONG nFrameBytes;  // width x height x biBitCount / 8
  UCHAR bTopDown;     // the renderer's format has a negative biHeight
  PKSDEVICE pKsDeviceCopy;
  PKSFILTER pKsFilterCopy;
  PKSPIN pKsPinCopy;
};

struct AudioPinContext : PinContext {
  PUCHAR pWorkBuffer;  // AUDIO_WORK_BUFFER_BYTES, cache aligned
  LONGLONG nPacketNumber;
  LONGLONG nAudioDropCount;
  ULONG nChannels;
  ULONG nBitsPerSample;
  ULONG nSamplesPerSec;
  ULONG nResamplePhase;
  PKSDEVICE pKsDeviceCopy;
  PKSFILTER pKsFilterCopy;
  PKSPIN pKsPinCopy;
};

struct EncoderPinContext : PinContext {
  PUCHAR pWorkBuffer;  // ENCODER_WORK_BUFFER_BYTES
  PKSDEVICE pKsDeviceCopy;
  PKSFILTER pKsFilterCopy;
  PKSPIN pKsPinCopy;
};

struct VbiPinContext : PinContext {
  ULONG aVbiTransferState;  // the sixth transfer-state word of this kind
  PUCHAR pVbiBuffer[2];     // VIDEO_WORK_BUFFER_BYTES each
  ULONG nSampleBytes;
  PUCHAR pSampleBuffer;
  LONGLONG nVbiFrameCount;
  LONGLONG nVbiDropCount;
  UCHAR bVbiResync;
  PKSDEVICE pKsDeviceCopy;
  PKSFILTER pKsFilterCopy;
  PKSPIN pKsPinCopy;
};

// Contexts of the two auxiliary pins, which do not stream through the core.
struct AuxVideoContext {
  ULONG nFourCC;
  ULONG nWidth;
  ULONG nHeight;
  ULONG nBitCount;
  ULONG nFrameBytes;  // height x bit count x width / 8
  PKSDEVICE pKsDevice;
  PKSFILTER pKsFilter;
  PKSPIN pKsPin;
};

struct AuxStreamContext {
  PKSDEVICE pKsDevice;
  PKSFILTER pKsFilter;
  PKSPIN pKsPin;
};

// The context of a capture filter (see CCaptureFilter::Create).
struct FilterContext {
  ULONG nStreamIndex;
  ULONG nKind;
  ULONG nChannel;
  PKSDEVICE pKsDevice;
  PKSFILTER pKsFilter;
};
