// Streaming on a pin: the stream header a frame travels with (and the video frame
// information that may follow it), stream pointers into the pin's frame queue, clones,
// processing requests and the pin's reference clock.
#pragma once

#include "platform/ks/media.h"
#include "platform/ks/types.h"

typedef struct _KSPIN KSPIN, *PKSPIN;

#ifndef STATUS_DEVICE_NOT_READY
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#endif

typedef struct {
  LONGLONG Time;
  ULONG Numerator;
  ULONG Denominator;
} KSTIME, *PKSTIME;
static_assert(sizeof(KSTIME) == 16);

// The header of one frame as the application submitted it; the driver fills in what it
// delivered. Size covers this header and any extended header after it.
typedef struct {
  ULONG Size;
  ULONG TypeSpecificFlags;
  KSTIME PresentationTime;
  LONGLONG Duration;
  ULONG FrameExtent;
  ULONG DataUsed;
  PVOID Data;
  ULONG OptionsFlags;
  ULONG Reserved;
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;
static_assert(sizeof(KSSTREAM_HEADER) == 56);
static_assert(offsetof(KSSTREAM_HEADER, PresentationTime) == 8);
static_assert(offsetof(KSSTREAM_HEADER, Duration) == 24);
static_assert(offsetof(KSSTREAM_HEADER, FrameExtent) == 32);
static_assert(offsetof(KSSTREAM_HEADER, DataUsed) == 36);
static_assert(offsetof(KSSTREAM_HEADER, Data) == 40);
static_assert(offsetof(KSSTREAM_HEADER, OptionsFlags) == 48);

#define KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT 0x00000001
#define KSSTREAM_HEADER_OPTIONSF_PREROLL 0x00000002
#define KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY 0x00000004
#define KSSTREAM_HEADER_OPTIONSF_TYPECHANGED 0x00000008
#define KSSTREAM_HEADER_OPTIONSF_TIMEVALID 0x00000010
#define KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY 0x00000040
#define KSSTREAM_HEADER_OPTIONSF_FLUSHONPAUSE 0x00000080
#define KSSTREAM_HEADER_OPTIONSF_DURATIONVALID 0x00000100
#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM 0x00000200

// The extended header of a video frame, right after its KSSTREAM_HEADER.
typedef struct {
  ULONG ExtendedHeaderSize;
  ULONG dwFrameFlags;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  HANDLE hDirectDraw;
  HANDLE hSurfaceHandle;
  KS_RECT DirectDrawRect;
  union {
    LONG lSurfacePitch;
    ULONGLONG Reserved1;
  };
  ULONG Reserved2;
  ULONG Reserved3;
} KS_FRAME_INFO, *PKS_FRAME_INFO;
static_assert(sizeof(KS_FRAME_INFO) == 72);
static_assert(offsetof(KS_FRAME_INFO, dwFrameFlags) == 4);
static_assert(offsetof(KS_FRAME_INFO, PictureNumber) == 8);
static_assert(offsetof(KS_FRAME_INFO, DropCount) == 16);

#define KS_VIDEO_FLAG_FRAME 0x0000
#define KS_VIDEO_FLAG_FIELD1 0x0001
#define KS_VIDEO_FLAG_FIELD2 0x0002
#define KS_VIDEO_FLAG_I_FRAME 0x0000
#define KS_VIDEO_FLAG_P_FRAME 0x0010
#define KS_VIDEO_FLAG_B_FRAME 0x0020

// ---- Stream pointers -------------------------------------------------------------------

typedef struct {
  PUCHAR Data;
  ULONG Count;
  ULONG Remaining;
} KSSTREAM_POINTER_OFFSET, *PKSSTREAM_POINTER_OFFSET;

// A pointer to one frame of a pin's queue. The leading edge is the pin's own; clones are
// the driver's, each holding its frame until deleted.
typedef struct _KSSTREAM_POINTER {
  PVOID Context;
  PKSPIN Pin;
  PKSSTREAM_HEADER StreamHeader;
  PKSSTREAM_POINTER_OFFSET Offset;
  KSSTREAM_POINTER_OFFSET OffsetIn;
  KSSTREAM_POINTER_OFFSET OffsetOut;
} KSSTREAM_POINTER, *PKSSTREAM_POINTER;

typedef enum { KSSTREAM_POINTER_STATE_UNLOCKED = 0, KSSTREAM_POINTER_STATE_LOCKED } KSSTREAM_POINTER_STATE;

typedef void (*PFNKSSTREAMPOINTER)(PKSSTREAM_POINTER StreamPointer);

// The leading edge, in the given lock state, or null when no frame is at the edge.
PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State);
// A new pointer to the same frame with a zeroed context area of ContextSize bytes at
// CloneStreamPointer->Context, locked as the source is. The frame is not completed while
// the clone lives.
NTSTATUS KsStreamPointerClone(PKSSTREAM_POINTER StreamPointer, PFNKSSTREAMPOINTER CancelCallback, ULONG ContextSize,
                              PKSSTREAM_POINTER* CloneStreamPointer);
NTSTATUS KsStreamPointerLock(PKSSTREAM_POINTER StreamPointer);
// Eject on the leading edge moves it past its frame.
void KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject);
// Moves to the next frame of the queue: STATUS_SUCCESS, or STATUS_DEVICE_NOT_READY when
// the pointer went past the last frame (it then points at nothing until deleted, or, for
// the leading edge, until the next frame arrives).
NTSTATUS KsStreamPointerAdvance(PKSSTREAM_POINTER StreamPointer);
// Drops a clone; its frame completes once nothing else holds it and every older frame has
// completed.
void KsStreamPointerDelete(PKSSTREAM_POINTER StreamPointer);
// The pin's clones, oldest first, or null.
PKSSTREAM_POINTER KsPinGetFirstCloneStreamPointer(PKSPIN Pin);
PKSSTREAM_POINTER KsStreamPointerGetNextClone(PKSSTREAM_POINTER StreamPointer);

// Asks for a later call of the pin's Process routine; never calls it on the caller's
// thread. Ignored while the pin's state does not allow processing.
void KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous);

// ---- Reference clocks ------------------------------------------------------------------

// The clock a pin was given as its master clock. Times in 100 ns units.
struct IKsReferenceClock {
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
  virtual LONGLONG GetTime() = 0;
  virtual LONGLONG GetPhysicalTime() = 0;

 protected:
  ~IKsReferenceClock() = default;
};
typedef IKsReferenceClock* PIKSREFERENCECLOCK;

// STATUS_SUCCESS with a referenced interface when the pin has a master clock; otherwise
// STATUS_UNSUCCESSFUL and null.
NTSTATUS KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface);
