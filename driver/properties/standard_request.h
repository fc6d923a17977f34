// What the handlers of the standard property sets know about a request: the device
// behind the request's filter, the filter's capture context, the caller's buffer size,
// and the channel arrays with their bounds.
#pragma once

#include "driver/core/device.h"
#include "driver/streaming/pin_context.h"

// Set by an application through a property; the save drops it, gets mask it off.
#define PROPERTY_FLAG_SET_BY_APPLICATION SETTINGS_FLAG_SET_BY_APPLICATION
#define PROPERTY_GET_MASK 0x77FFFFFFu

// Entries of the per-channel settings families.
#define CHANNELS_16 16
#define CHANNELS_32 32

// The device of the KS device of the request's filter (a pin request: the pin's
// filter); null when the request has no filter or the device is gone.
CDevice* DeviceOfRequest(PIRP pIrp);
// The capture-filter context of the request's filter, or null.
FilterContext* FilterContextOfRequest(PIRP pIrp);
// The size of the caller's value buffer (0 when the request tells none).
ULONG RequestDataLength(PIRP pIrp);
// The per-channel index of the preview and encoder settings: the filter's channel, plus
// 4 on a sub-stream filter (stream index above 7).
inline ULONG EncoderChannelIndex(const FilterContext* pContext) {
  return pContext->nChannel + (pContext->nStreamIndex > 7 ? 4 : 0);
}
