// Frame finishing's pieces shared between the routines (frame_finishing.cpp) and the
// frame-building path from the bounce frame buffers (frame_building.cpp).
#pragma once

#include "driver/core/device.h"
#include "driver/streaming/pin_context.h"
#include "platform/kernel/kernel.h"
#include "platform/ks/ks.h"

// The stream index of the virtual camera's video pin: its frames keep the pushed bytes.
#define VIRTUAL_VIDEO_STREAM_INDEX 8

// Frames blanked after the signal comes back, on boards that ask for it.
#define BLANK_COUNTDOWN_FRAMES 15

// Cards the multi-sync tiles are taken from, by card number. Nothing in this system
// registers a card here (every entry is null, and a tile without its card is skipped).
#define CARD_DEVICE_SLOTS 64
extern CDevice* g_pCardDevice[CARD_DEVICE_SLOTS];

// One multi-sync tile's interleave: rows of plane A and plane B bytes, in turn, into the
// frame at the tile's place.
struct StripeJob {
  CDevice* pDevice;
  ULONG nTile;
  ULONG nSourceStep;   // bytes between source rows of each plane
  ULONG nLines;        // source lines of the tile
  ULONG nRowBytes;     // bytes of each plane per row (the output row has twice as many)
  ULONG nOutputWidth;  // output row width in pixels (2 bytes each)
  ULONG nRows;         // rows written
  const UCHAR* pPlaneA;
  const UCHAR* pPlaneB;
  PUCHAR pFrame;        // the frame's start (nothing is done without one)
  PUCHAR pDestination;  // the tile's first output byte
  PUCHAR pFrameEnd;     // one past the frame's last byte: no row is written beyond it
};

// Interleaves a job's rows: byte k of plane A and of plane B become output bytes 2k and
// 2k + 1; rows whose pointers and length are 16-byte multiples go 16 bytes at a time.
VOID InterleaveStripe(const StripeJob* pJob);

// Blanks a frame by its bit count: 16-bit gets the blank 4:2:2 fill and, where it fits and
// the board wants it, the no-signal picture in the centre; 12-bit zero luma and 0x80
// chroma; anything else zeros. Never beyond nFrameExtent.
VOID BlankFrame(CDevice* pDevice, const VideoPinContext* pVideo, PUCHAR pData, ULONG nFrameExtent);

// Builds a frame of a pin other than the virtual camera's from the bounce frame buffers
// (packed or planar source), then runs the channel's deinterlacer on it.
VOID BuildFrame(CDevice* pDevice, VideoPinContext* pVideo, ULONG nLength, PUCHAR pData, ULONG nFrameExtent);

// True when the source timing is one the planar-source path serves on the boards that
// have it.
BOOLEAN IsPlanarSourceTiming(const SourceTiming& timing);
