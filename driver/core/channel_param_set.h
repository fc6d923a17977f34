// Per-channel and per-group parameter sets held inside the device object.
#pragma once

#include <cstddef>

#include "platform/kernel/ntdef.h"

// One block of parameters; both blocks of a set start from the same values.
struct ParamBlock {
  ULONG nMode;           // 0x8800
  USHORT nSize;          // 544
  USHORT aReserved[11];  // 0
  USHORT aLevel[10];     // 0, 0, then 32 for the rest
  UCHAR bEnabled;        // 0
};
static_assert(offsetof(ParamBlock, nSize) == 4);
static_assert(offsetof(ParamBlock, aReserved) == 6);
static_assert(offsetof(ParamBlock, aLevel) == 28);
static_assert(offsetof(ParamBlock, bEnabled) == 48);
static_assert(sizeof(ParamBlock) == 52);

class CChannelParamSet {
 public:
  CChannelParamSet();
  // The only virtual operation. The sets embedded in the device object are only ever
  // destroyed in place; a deleting call returns the memory to the pool, never to the
  // C++ run-time.
  virtual ~CChannelParamSet();
  static void operator delete(void* p);

  ParamBlock m_aBlock[2];
};
