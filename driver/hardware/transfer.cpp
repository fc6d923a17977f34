// The encoder status handler and the transfer path's continuation timer. So far the
// handler serves what commands and the firmware download need; preview and stream
// transfers extend it here.
#include "driver/hardware/transfer.h"

#include "driver/core/device.h"
#include "driver/hardware/board_state.h"
#include "driver/hardware/mailbox.h"
#include "driver/hardware/registers.h"

namespace {

void Write(CDevice* d, ULONG offset, ULONG value) { VORLIX_WriteRegister(d, offset / 4, value, 4); }
ULONG Read(CDevice* d, ULONG offset) { return VORLIX_ReadRegister(d, offset / 4, 4); }
void WriteFlushed(CDevice* d, ULONG offset, ULONG value) {
  Write(d, offset, value);
  Read(d, offset);
}

}  // namespace

// The encoder status handler as far as commands and the firmware download need it:
// configure-done responses and transfer-done interrupts without a board-to-host transfer
// release the command semaphore once each. Preview and stream responses and bus errors
// belong to the transfer path.
ULONG VORLIX_ProcessInterruptStatus(CDevice* Device, ULONG Status, ULONG Value) {
  BoardState* state = Device ? Device->m_pBoardState : nullptr;
  if (!state) return 1;
  if ((Status == TICK_VIDEO && Value == TICK_VIDEO) || (Status == TICK_AUDIO && Value == TICK_AUDIO)) return 1;
  if (Status & INT_MAILBOX_RESPONSE) {
    Write(Device, REG_RESP_ACK, 0);
    Read(Device, REG_RESP_WORD);
    if (Value == RESP_CONFIGURE_DONE) KeReleaseSemaphore(&Device->m_CommandSemaphore, 0, 1, FALSE);
    return 1;
  }
  if (Status & INT_DMA_DONE) {
    if (state->nRemainingWords == 0 || state->nCurrentChunkWords == 0)
      KeReleaseSemaphore(&Device->m_CommandSemaphore, 0, 1, FALSE);
    return 1;
  }
  if (Status & INT_DMA_DONE_ALT) KeReleaseSemaphore(&Device->m_CommandSemaphore, 0, 1, FALSE);
  return 1;
}

VOID VORLIX_DeliverBitstream(struct _KSPIN** pins, struct _KSSTREAM_POINTER** clones, PVOID reserved3, PVOID reserved4,
                             PUCHAR* data, ULONG* lengths, ULONGLONG* values, UCHAR* done, UCHAR* flags,
                             CDevice* device, ULONG status, ULONG value) {
  // Preview, stream and audio transfers are not wired to the board yet: a transfer-done
  // interrupt without a board-to-host transfer is a firmware chunk.
  BoardState* state = device ? device->m_pBoardState : nullptr;
  if (!state || !(status & INT_DMA_DONE)) return;
  if ((status == TICK_VIDEO && value == TICK_VIDEO) || (status == TICK_AUDIO && value == TICK_AUDIO)) return;
  if (state->nRemainingWords == 0 || state->nCurrentChunkWords == 0)
    KeReleaseSemaphore(&device->m_CommandSemaphore, 0, 1, FALSE);
}

VOID VORLIX_OnTransferTimer(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  CDevice* d = static_cast<CDevice*>(Context);
  BoardState* s = d ? d->m_pBoardState : nullptr;
  if (!s) return;
  if (s->nRemainingWords == 0 && s->nCurrentChunkWords == 0) {
    VENDOR_COMMAND ack = s->PendingAck;
    VORLIX_SendVendorCommand(d, &ack);
    return;
  }
  for (int i = 0; i < 16; ++i) WriteFlushed(d, REG_UDMA_HOST_ADDRESS, d->m_liDmaBufferPhysical.LowPart);
  for (int i = 0; i < 16; ++i) WriteFlushed(d, REG_UDMA_LENGTH, s->nCurrentChunkWords);
  Write(d, REG_UDMA_CONTROL, 0x80000001u);
  Read(d, REG_UDMA_LENGTH);
}
