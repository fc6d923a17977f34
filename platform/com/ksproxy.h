// The streaming proxy's side of Kernel Streaming as a user-mode client sees it: the
// property request record, the object that hands out a filter's kernel handle, and the
// synchronous device control that carries a request to the driver.
#pragma once

#include "platform/com/com.h"
// The property request record is Kernel Streaming's own, shared with applications.
#include "platform/ks/types.h"

// Spelled as the KS layer spells it, so both definitions may meet in one program.
#define IOCTL_KS_PROPERTY 0x002F0003UL

// {423C13A2-2070-11D0-9EF7-00AA00A216A1}
inline constexpr IID IID_IKsObject = {0x423C13A2, 0x2070, 0x11D0, {0x9E, 0xF7, 0x00, 0xAA, 0x00, 0xA2, 0x16, 0xA1}};

struct IKsObject : public IUnknown {
  STDMETHOD_(HANDLE, KsGetObjectHandle)() PURE;
};

// Sends one request on a kernel handle and waits for it. For IOCTL_KS_PROPERTY the input
// is the KSPROPERTY and the output buffer carries the value both ways. The driver's
// status comes back as an HRESULT; a failed request leaves the output buffer untouched.
HRESULT KsSynchronousDeviceControl(HANDLE handle, ULONG ioControl, PVOID in, ULONG inLength, PVOID out, ULONG outLength,
                                   PULONG returned);
