#include "driver/core/channel_param_set.h"

#include "platform/kernel/pool.h"

namespace {

void InitParamBlock(ParamBlock* block) {
  block->nMode = 0x8800;
  block->nSize = 544;
  for (USHORT& w : block->aReserved) w = 0;
  static const USHORT kLevels[10] = {0, 0, 32, 32, 32, 32, 32, 32, 32, 32};
  for (int i = 0; i < 10; i++) block->aLevel[i] = kLevels[i];
  block->bEnabled = 0;
}

}  // namespace

CChannelParamSet::CChannelParamSet() {
  InitParamBlock(&m_aBlock[0]);
  InitParamBlock(&m_aBlock[1]);
}

CChannelParamSet::~CChannelParamSet() {}

void CChannelParamSet::operator delete(void* p) { ExFreePool(p); }
