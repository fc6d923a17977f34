// Helpers of the live delivery routines (CCapturePin::DeliverVideoFrame,
// ::DeliverH264Frame, ::DeliverAudioFrame): the no-signal picture and the H.264
// quantiser adaptation.
#pragma once

#include "platform/kernel/kernel.h"

class CDevice;
struct BoardState;

// Bytes an audio buffer completed without input reports as used (324 stereo samples).
#define NO_SIGNAL_AUDIO_BYTES 648

// Draws the no-signal picture into a planar 4:2:0 frame (Y, Cr, Cb) of nWidth x nHeight
// pixels with a luma row stride of nStride bytes: the planes filled with the picture's
// top-left colour and, when the frame is at least 320 x 240, the picture centred. Only
// the nBytes at pData are written: a frame whose planes do not fit gets a uniform fill.
VOID DrawNoSignalYv12(PUCHAR pData, ULONG nBytes, ULONG nWidth, ULONG nHeight, ULONG nStride);

// One H.264 frame of nBytes through rate-control slot `slot` (0 main stream, 1 the
// others), in the average-bit-rate mode only: the ring of frame sizes is updated, and
// for a frame whose type marker is 0 (bMarkerZero) the quantiser moves one step toward
// the target. Returns TRUE with *pQp set when the quantiser is to be sent.
BOOLEAN AdaptQuantiser(BoardState* pState, ULONG slot, ULONG nBytes, BOOLEAN bMarkerZero, ULONG* pQp);
