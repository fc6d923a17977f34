// The PCI half of the device object: resources, register windows, DMA buffers, the
// interrupt, the deferred procedure calls and the channel table.
#pragma once

#include "platform/kernel/ntdef.h"

class CPCIBaseDevice {
 public:
  // Placeholder until PCI start is built: the device objects KS hands over.
  PVOID m_pPhysicalDeviceObject;
  PVOID m_pFunctionalDeviceObject;
  PVOID m_pNextDeviceObject;
  ULONG m_nDevicePowerState;
};
