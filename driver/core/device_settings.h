// The registry-backed settings of the device object: one member per value of the
// settings table. Placeholder until the settings table is built.
#pragma once

#include "platform/kernel/ntdef.h"

struct CDeviceSettings {
  WCHAR m_szDeviceInfoDirectory[256];
};
