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

// The frame-done callback every streaming pin registers: copies the chunk that just
// arrived into the queued entries of its rows, continues the transfer and completes the
// entries when it is over; frame-clock ticks complete entries without input.
VOID VORLIX_DeliverBitstream(struct _KSPIN** pins, struct _KSSTREAM_POINTER** clones, PVOID reserved3, PVOID reserved4,
                             PUCHAR* data, ULONG* lengths, ULONGLONG* values, UCHAR* done, UCHAR* flags,
                             CDevice* device, ULONG status, ULONG value);

// Sends the pending acknowledgement when the transfer is over, else programs the next
// board-to-host chunk. Context is the device.
VOID VORLIX_OnTransferTimer(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
