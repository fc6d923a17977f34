// Register routines and the hardware I2C controller of window 1.
#include "driver/hardware/registers.h"

namespace {

// A register access must lie wholly inside a mapped window: a board kind whose window is
// shorter than the encoder board's (or missing) would otherwise be accessed past its end.
bool Fits(CPCIBaseDevice* Device, ULONG Window, ULONG Offset, ULONG Width) {
  return Device && Window < 4 && Device->m_pBar[Window] &&
         (ULONGLONG)Offset + Width <= (ULONGLONG)Device->m_nBarLength[Window];
}

ULONG ReadBar(CPCIBaseDevice* Device, ULONG Window, ULONG Offset, ULONG Width) {
  if ((Width != 4 && Width != 1) || !Fits(Device, Window, Offset, Width)) return 0;
  PUCHAR address = Device->m_pBar[Window] + Offset;
  if (Width == 4) return READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(address));
  return READ_REGISTER_UCHAR(address);
}

BOOLEAN WriteBar(CPCIBaseDevice* Device, ULONG Window, ULONG Offset, ULONG Value, ULONG Width) {
  if (Width != 4 && Width != 1) return TRUE;
  if (!Fits(Device, Window, Offset, Width)) return FALSE;
  PUCHAR address = Device->m_pBar[Window] + Offset;
  if (Width == 4)
    WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(address), Value);
  else
    WRITE_REGISTER_UCHAR(address, (UCHAR)Value);
  KeMemoryBarrier();
  return TRUE;
}

// Word indexes beyond 2^30 would wrap the byte offset; they are past any window anyway.
ULONG IndexToOffset(ULONG Index) { return Index > 0x3FFFFFFFu ? 0xFFFFFFFFu : Index * 4; }

// Polls I2C controller 0's status for `bit`: up to 100 reads, sleeping the shortest
// interval between them.
bool PollI2cStatus(CPCIBaseDevice* Device, ULONG Bit) {
  for (int reads = 1;; ++reads) {
    if (ReadBar(Device, 1, REG_I2C0_STATUS, 4) & Bit) return true;
    if (reads == 100) return false;
    LARGE_INTEGER shortest;
    shortest.QuadPart = -1;
    KeDelayExecutionThread(KernelMode, FALSE, &shortest);
  }
}

}  // namespace

ULONG VORLIX_ReadRegister(CPCIBaseDevice* Device, ULONG Index, ULONG Width) {
  return ReadBar(Device, 0, IndexToOffset(Index), Width);
}

BOOLEAN VORLIX_WriteRegister(CPCIBaseDevice* Device, ULONG Index, ULONG Value, ULONG Width) {
  return WriteBar(Device, 0, IndexToOffset(Index), Value, Width);
}

BOOLEAN VORLIX_WriteBarRegister(CPCIBaseDevice* Device, ULONG Window, ULONG Offset, ULONG Value, ULONG Width) {
  return WriteBar(Device, Window, Offset, Value, Width);
}

ULONG VORLIX_ReadI2cDword(CPCIBaseDevice* Device, UCHAR Address, UCHAR Register) {
  if (!Fits(Device, 1, REG_I2C_MODE, 4)) return 0;
  ULONG mode = ReadBar(Device, 1, REG_I2C_MODE, 4);
  WriteBar(Device, 1, REG_I2C_MODE, mode & ~0x600u, 4);
  ULONG word = 0;
  bool ok = true;
  struct Send {
    ULONG data;
    ULONG command;
  } const sends[] = {{(ULONG)(Address & 0xFE), 0x96}, {Register, 0xA6}, {(ULONG)(Address | 1), 0x96}};
  for (const Send& s : sends) {
    WriteBar(Device, 1, REG_I2C0_DATA, s.data, 4);
    WriteBar(Device, 1, REG_I2C0_COMMAND, s.command, 4);
    if (!(ok = PollI2cStatus(Device, 0x10))) break;
  }
  for (int k = 0; ok && k < 4; ++k) {
    WriteBar(Device, 1, REG_I2C0_COMMAND, k < 3 ? 0x86 : 0xE6, 4);
    if (!(ok = PollI2cStatus(Device, 0x20))) break;
    word |= (ReadBar(Device, 1, REG_I2C0_DATA, 4) & 0xFF) << (24 - 8 * k);
  }
  WriteBar(Device, 1, REG_I2C_MODE, mode, 4);
  return ok ? word : 0;
}
