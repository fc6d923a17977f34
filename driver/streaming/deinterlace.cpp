// Software deinterlace of finished frames through the per-channel field rings.
#include "driver/core/device.h"

// Interim: frames pass unchanged.
ULONG CDevice::DeinterlaceYuy2(ULONG, ULONG, ULONG, PUCHAR, ULONG) { return 1; }
ULONG CDevice::DeinterlaceNv12(ULONG, ULONG, ULONG, PUCHAR, ULONG) { return 1; }
ULONG CDevice::DeinterlaceYv12(ULONG, ULONG, ULONG, PUCHAR, ULONG) { return 1; }
ULONG CDevice::DeinterlaceRgb24(ULONG, ULONG, ULONG, PUCHAR, ULONG) { return 1; }
ULONG CDevice::DeinterlaceRgb32(ULONG, ULONG, ULONG, PUCHAR, ULONG) { return 1; }
