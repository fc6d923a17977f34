// The encoder's status handler, called by the deferred procedure call for the status
// bits it does not deliver itself, and the routine of the transfer path's 1 ms
// continuation timer.
#pragma once

#include "driver/core/pci_base.h"
#include "platform/kernel/kernel.h"

class CDevice;

// Acts on a status the deferred procedure call hands on (bits 16, 18 without a
// frame-done callback, 19, 20, 21); frame-clock ticks are ignored. Returns 1.
ULONG VORLIX_ProcessInterruptStatus(CDevice* Device, ULONG Status, ULONG Value);

// Sends the pending acknowledgement when the transfer is over, else programs the next
// board-to-host chunk. Context is the device.
VOID VORLIX_OnTransferTimer(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
