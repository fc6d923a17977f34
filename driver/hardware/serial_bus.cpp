// The two bit-banged serial buses on the encoder board's GPIO lines. Every line change
// starts from the shadow of the output register, writes the register, then the shadow;
// releasing a data line to read it changes the direction register only, and the shadow's
// direction is written back afterwards.
#include "driver/hardware/board_state.h"
#include "driver/hardware/registers.h"

namespace {

struct Bank {
  ULONG outputIndex;
  ULONG directionIndex;
  ULONG inputIndex;
  ULONG scl;
  ULONG sda;
  ULONG BoardState::*output;
  ULONG BoardState::*direction;
};

const Bank kBankA = {
    REG_GPIO_A_OUTPUT / 4,     REG_GPIO_A_DIRECTION / 4,    REG_GPIO_A_INPUT / 4, GPIO_A_SCL, GPIO_A_SDA,
    &BoardState::nGpioAOutput, &BoardState::nGpioADirection};
const Bank kBankB = {
    REG_GPIO_B_OUTPUT / 4,     REG_GPIO_B_DIRECTION / 4,    REG_GPIO_B_INPUT / 4, GPIO_B_SCL, GPIO_B_SDA,
    &BoardState::nGpioBOutput, &BoardState::nGpioBDirection};

// Sets the lines in `mask` to `value`: register first, then the shadow.
void SetLines(CPCIBaseDevice* Device, const Bank& bank, ULONG mask, ULONG value) {
  BoardState* state = Device->m_pBoardState;
  ULONG out = (state->*bank.output & ~mask) | (value & mask);
  VORLIX_WriteRegister(Device, bank.outputIndex, out, 4);
  state->*bank.output = out;
}

void ReleaseData(CPCIBaseDevice* Device, const Bank& bank) {
  VORLIX_WriteRegister(Device, bank.directionIndex, Device->m_pBoardState->*bank.direction & ~bank.sda, 4);
}

void RestoreDirection(CPCIBaseDevice* Device, const Bank& bank) {
  VORLIX_WriteRegister(Device, bank.directionIndex, Device->m_pBoardState->*bank.direction, 4);
}

ULONG SampleData(CPCIBaseDevice* Device, const Bank& bank) {
  return (VORLIX_ReadRegister(Device, bank.inputIndex, 4) & bank.sda) ? 1 : 0;
}

// The buses need the shadows; without a state block nothing is driven.
bool Ready(CPCIBaseDevice* Device) { return Device && Device->m_pBoardState; }

ULONG BusStart(CPCIBaseDevice* Device, const Bank& b, ULONG h) {
  if (!Ready(Device)) return 1;
  ULONG both = b.sda | b.scl;
  SetLines(Device, b, b.sda, b.sda);
  VORLIX_HalfPeriodWait(h);
  SetLines(Device, b, both, both);
  VORLIX_HalfPeriodWait(h);
  SetLines(Device, b, both, b.scl);
  VORLIX_HalfPeriodWait(h);
  SetLines(Device, b, both, 0);
  VORLIX_HalfPeriodWait(h);
  return 1;
}

ULONG BusStop(CPCIBaseDevice* Device, const Bank& b, ULONG h) {
  if (!Ready(Device)) return 1;
  ULONG both = b.sda | b.scl;
  SetLines(Device, b, b.scl, 0);
  VORLIX_HalfPeriodWait(h);
  SetLines(Device, b, both, 0);
  VORLIX_HalfPeriodWait(h);
  SetLines(Device, b, both, b.scl);
  VORLIX_HalfPeriodWait(h);
  SetLines(Device, b, both, both);
  VORLIX_HalfPeriodWait(h);
  return 1;
}

ULONG BusSendBit(CPCIBaseDevice* Device, const Bank& b, ULONG bit, ULONG h) {
  if (!Ready(Device)) return 1;
  ULONG both = b.sda | b.scl;
  ULONG data = bit ? b.sda : 0;
  SetLines(Device, b, both, data);
  VORLIX_HalfPeriodWait(h);
  SetLines(Device, b, both, data | b.scl);
  VORLIX_HalfPeriodWait(h);
  SetLines(Device, b, both, data);
  VORLIX_HalfPeriodWait(h);
  return 1;
}

// One bit in from the watchdog microcontroller on bus B: the lines are driven to `lines`
// (the acknowledge is read with the data line high, a data bit with it low), the data
// line is let go and sampled, then both lines go low.
ULONG McuReadBit(CPCIBaseDevice* Device, ULONG lines, ULONG h) {
  const Bank& b = kBankB;
  ULONG both = b.sda | b.scl;
  SetLines(Device, b, both, lines);
  VORLIX_HalfPeriodWait(h);
  ReleaseData(Device, b);
  ULONG bit = SampleData(Device, b);
  RestoreDirection(Device, b);
  VORLIX_HalfPeriodWait(h);
  SetLines(Device, b, both, 0);
  VORLIX_HalfPeriodWait(h);
  return bit;
}

}  // namespace

VOID VORLIX_HalfPeriodWait(ULONG HalfPeriod) {
  auto now = []() -> ULONGLONG {
    LARGE_INTEGER frequency;
    LARGE_INTEGER count = KeQueryPerformanceCounter(&frequency);
    ULONGLONG c = (ULONGLONG)count.QuadPart;
    ULONGLONG f = (ULONGLONG)frequency.QuadPart;
    if (f == 0) return c;
    // Split so count x 10^7 cannot overflow.
    return c / f * 10000000ull + c % f * 10000000ull / f;
  };
  ULONGLONG start = now();
  while (now() - start <= HalfPeriod) {
  }
}

// ---- Bus A -----------------------------------------------------------------------------

ULONG VORLIX_I2cStart(CPCIBaseDevice* Device, ULONG HalfPeriod) { return BusStart(Device, kBankA, HalfPeriod); }
ULONG VORLIX_I2cStop(CPCIBaseDevice* Device, ULONG HalfPeriod) { return BusStop(Device, kBankA, HalfPeriod); }

ULONG VORLIX_I2cSendAck(CPCIBaseDevice* Device, ULONG Bit, ULONG HalfPeriod) {
  return BusSendBit(Device, kBankA, Bit, HalfPeriod);
}

ULONG VORLIX_I2cReadBit(CPCIBaseDevice* Device, ULONG HalfPeriod) {
  if (!Ready(Device)) return 1;
  const Bank& b = kBankA;
  SetLines(Device, b, b.sda, b.sda);
  VORLIX_HalfPeriodWait(HalfPeriod);
  ReleaseData(Device, b);
  VORLIX_HalfPeriodWait(HalfPeriod);
  ULONG bit = SampleData(Device, b);  // before the clock rises
  SetLines(Device, b, b.scl, b.scl);
  VORLIX_HalfPeriodWait(HalfPeriod);
  SetLines(Device, b, b.scl, 0);
  VORLIX_HalfPeriodWait(HalfPeriod);
  RestoreDirection(Device, b);
  VORLIX_HalfPeriodWait(HalfPeriod);
  return bit;
}

BOOLEAN VORLIX_I2cWriteByte(CPCIBaseDevice* Device, UCHAR Byte, ULONG HalfPeriod) {
  for (int k = 7; k >= 0; --k) BusSendBit(Device, kBankA, (Byte >> k) & 1, HalfPeriod);
  return VORLIX_I2cReadBit(Device, HalfPeriod) == 0;
}

UCHAR VORLIX_I2cReadByte(CPCIBaseDevice* Device, ULONG AckBit, ULONG HalfPeriod) {
  UCHAR byte = 0;
  for (int k = 0; k < 8; ++k) byte = (UCHAR)(byte << 1 | VORLIX_I2cReadBit(Device, HalfPeriod));
  VORLIX_I2cSendAck(Device, AckBit, HalfPeriod);
  return byte;
}

// ---- Bus B -----------------------------------------------------------------------------

ULONG VORLIX_McuStart(CPCIBaseDevice* Device, ULONG HalfPeriod) { return BusStart(Device, kBankB, HalfPeriod); }
ULONG VORLIX_McuStop(CPCIBaseDevice* Device, ULONG HalfPeriod) { return BusStop(Device, kBankB, HalfPeriod); }

ULONG VORLIX_McuSendAck(CPCIBaseDevice* Device, ULONG Bit, ULONG HalfPeriod) {
  return BusSendBit(Device, kBankB, Bit, HalfPeriod);
}

BOOLEAN VORLIX_McuReadAck(CPCIBaseDevice* Device, ULONG HalfPeriod) {
  if (!Ready(Device)) return FALSE;
  return McuReadBit(Device, kBankB.sda | kBankB.scl, HalfPeriod) == 0;
}

BOOLEAN VORLIX_McuWriteByte(CPCIBaseDevice* Device, UCHAR Byte, ULONG HalfPeriod) {
  for (int k = 7; k >= 0; --k) BusSendBit(Device, kBankB, (Byte >> k) & 1, HalfPeriod);
  return VORLIX_McuReadAck(Device, HalfPeriod);
}

UCHAR VORLIX_McuReadByte(CPCIBaseDevice* Device, ULONG AckBit, ULONG HalfPeriod) {
  if (!Ready(Device)) return 0xFF;
  UCHAR byte = 0;
  for (int k = 0; k < 8; ++k) byte = (UCHAR)(byte << 1 | McuReadBit(Device, kBankB.scl, HalfPeriod));
  VORLIX_McuSendAck(Device, AckBit, HalfPeriod);
  return byte;
}

// ---- Transactions ------------------------------------------------------------------------

BOOLEAN VORLIX_ReadBoardIdentity(CPCIBaseDevice* Device, PBOARD_ID_RECORD Record) {
  const ULONG h = HALF_PERIOD_STANDARD;
  VORLIX_I2cStart(Device, h);
  BOOLEAN acked = VORLIX_I2cWriteByte(Device, EEPROM_ADDRESS_WRITE, h);
  VORLIX_I2cWriteByte(Device, 0x00, h);
  VORLIX_I2cStop(Device, h);
  VORLIX_I2cStart(Device, h);
  acked &= VORLIX_I2cWriteByte(Device, EEPROM_ADDRESS_READ, h);
  UCHAR bytes[4];
  for (int k = 0; k < 4; ++k) bytes[k] = VORLIX_I2cReadByte(Device, k < 3 ? 0 : 1, h);
  VORLIX_I2cStop(Device, h);
  Record->nSubsystemVendorIdLow = bytes[0];
  Record->nSubsystemVendorIdHigh = bytes[1];
  Record->nSubsystemIdLow = bytes[2];
  Record->nSubsystemIdHigh = bytes[3];
  return acked && Ready(Device);
}

BOOLEAN VORLIX_WriteBoardIdentity(CPCIBaseDevice* Device, const BOARD_ID_RECORD* Record) {
  const ULONG h = HALF_PERIOD_FAST;
  const UCHAR bytes[4] = {Record->nSubsystemVendorIdLow, Record->nSubsystemVendorIdHigh, Record->nSubsystemIdLow,
                          Record->nSubsystemIdHigh};
  VORLIX_I2cStart(Device, h);
  BOOLEAN acked = VORLIX_I2cWriteByte(Device, EEPROM_ADDRESS_WRITE, h);
  acked &= VORLIX_I2cWriteByte(Device, 0x00, h);
  for (UCHAR b : bytes) acked &= VORLIX_I2cWriteByte(Device, b, h);
  VORLIX_I2cStop(Device, h);
  return acked && Ready(Device);
}

BOOLEAN VORLIX_WriteMcuRegister(CPCIBaseDevice* Device, UCHAR Register, UCHAR Value) {
  const ULONG h = HALF_PERIOD_STANDARD;
  VORLIX_McuStart(Device, h);
  BOOLEAN acked = VORLIX_McuWriteByte(Device, MCU_ADDRESS_WRITE, h);
  acked &= VORLIX_McuWriteByte(Device, Register, h);
  acked &= VORLIX_McuWriteByte(Device, Value, h);
  VORLIX_McuStop(Device, h);
  return acked && Ready(Device);
}
