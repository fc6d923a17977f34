// The command mailbox.
#include "driver/hardware/mailbox.h"

#include "driver/core/device.h"
#include "driver/hardware/board_state.h"
#include "driver/hardware/registers.h"

namespace {

const ULONG kArgRegisters[8] = {REG_MBOX_ARG1, REG_MBOX_ARG2, REG_MBOX_ARG3, REG_MBOX_ARG4,
                                REG_MBOX_ARG5, REG_MBOX_ARG6, REG_MBOX_ARG7, REG_MBOX_CHECKSUM};

void Write(CDevice* d, ULONG offset, ULONG value) { VORLIX_WriteRegister(d, offset / 4, value, 4); }
ULONG Read(CDevice* d, ULONG offset) { return VORLIX_ReadRegister(d, offset / 4, 4); }

}  // namespace

VOID VORLIX_ResetCommandSemaphore(CDevice* Device) {
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  while (KeWaitForSingleObject(&Device->m_CommandSemaphore, Executive, KernelMode, FALSE, &poll) == STATUS_SUCCESS) {
  }
}

BOOLEAN VORLIX_SendVendorCommand(CDevice* Device, PVENDOR_COMMAND Command) {
  KIRQL irql;
  KeAcquireSpinLock(&Device->m_VendorCommandLock, &irql);
  if (Command->Command == VENDOR_CMD_CONFIGURE)
    VORLIX_ResetCommandSemaphore(Device);
  else
    Command->Arg7 = 0;
  ULONG* words = &Command->Command;
  ULONG sum = 0;
  for (int i = 0; i < 8; ++i) sum += words[i];
  Command->Checksum = 0u - sum;

  bool free = false;
  for (int reads = 0; reads < MAILBOX_BUSY_READS && !free; ++reads)
    free = (Read(Device, REG_MBOX_STATUS) & 0x10000u) == 0;
  if (!free) {
    DbgPrint(
        "VORLIX_SendVendorCommand( %08X \xA1\xD1 %08X \xA1\xD1 %08X \xA1\xD1 %08X \xA1\xD1 %08X \xA1\xD1 %08X \xA1\xD1 "
        "%08X \xA1\xD1 %08X \xA1\xD1 %08X ) ERROR!!\n",
        words[0], words[1], words[2], words[3], words[4], words[5], words[6], words[7], words[8]);
    KeReleaseSpinLock(&Device->m_VendorCommandLock, irql);
    return FALSE;
  }
  for (int i = 0; i < 8; ++i) Write(Device, kArgRegisters[i], words[i + 1]);
  Write(Device, REG_MBOX_COMMAND, Command->Command);
  KeReleaseSpinLock(&Device->m_VendorCommandLock, irql);

  // The response comes through a deferred procedure call that may need the lock, so
  // the wait happens after it is released; the outcome changes nothing.
  if (Command->Command == VENDOR_CMD_CONFIGURE) VORLIX_WaitCommandDone(Device);
  return TRUE;
}

BOOLEAN VORLIX_WaitCommandDone(CDevice* Device) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -COMMAND_DONE_TIMEOUT;
  return KeWaitForSingleObject(&Device->m_CommandSemaphore, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

ULONG VORLIX_SetEncoderQp(CDevice* Device, BOOLEAN MainStream, ULONG Quantiser) {
  VENDOR_COMMAND c = {};
  c.Command = VENDOR_CMD_RATE_CONTROL;
  c.Arg1 = MainStream ? 0 : VENDOR_STREAM_SUB;
  c.Arg2 = Quantiser << 16;
  VORLIX_SendVendorCommand(Device, &c);
  return 1;
}
