// The encoder board's per-device state block (non-paged pool, pointed to by
// m_pBoardState). Only the members the register and bus routines use are here so far;
// the hardware lifecycle completes the block.
#pragma once

#include "platform/kernel/ntdef.h"

struct BoardState {
  // Shadows of the GPIO output and direction registers, which are never read back.
  ULONG nGpioBDirection;
  ULONG nGpioBOutput;
  ULONG nGpioADirection;
  ULONG nGpioAOutput;
};
