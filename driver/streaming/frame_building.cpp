// Frames of pins other than the virtual camera's, built from the bounce frame buffers.
#include "driver/streaming/frame_finishing.h"

BOOLEAN IsPlanarSourceTiming(const SourceTiming&) { return FALSE; }

VOID BuildFrame(CDevice*, VideoPinContext*, ULONG, PUCHAR, ULONG) {}
