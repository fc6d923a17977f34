// A stand-in for the streaming core's entry points, linked while the core itself
// (driver/streaming/capture_pin.cpp) is not in the tree: state changes succeed and
// Process takes nothing, so pins can be created, stepped through their states and closed.
#include "driver/streaming/capture_pin.h"

NTSTATUS CCapturePin::Process(PKSPIN pKsPin) { return STATUS_UNSUCCESSFUL; }

NTSTATUS CCapturePin::SetDeviceState(PKSPIN pKsPin, KSSTATE ToState, KSSTATE FromState) { return STATUS_SUCCESS; }
