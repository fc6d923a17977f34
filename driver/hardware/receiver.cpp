// The SDI receiver port. Every line change starts from the bank B output shadow,
// writes the register, then the shadow.
#include "driver/hardware/receiver.h"

#include "driver/core/device.h"
#include "driver/hardware/board_state.h"
#include "driver/hardware/registers.h"

namespace {

void SetLines(CDevice* d, ULONG mask, ULONG value) {
  BoardState* state = d->m_pBoardState;
  ULONG out = (state->nGpioBOutput & ~mask) | (value & mask);
  VORLIX_WriteRegister(d, REG_GPIO_B_OUTPUT / 4, out, 4);
  state->nGpioBOutput = out;
}

void Sleep100ns(LONGLONG units) {
  LARGE_INTEGER interval;
  interval.QuadPart = -units;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void Begin(CDevice* d, ULONG h) {
  SetLines(d, GPIO_B_RCV_CLK, 0);
  VORLIX_HalfPeriodWait(h);
  SetLines(d, GPIO_B_RCV_CS, GPIO_B_RCV_CS);
  VORLIX_HalfPeriodWait(h);
  SetLines(d, GPIO_B_RCV_CS, 0);
  VORLIX_HalfPeriodWait(h);
}

void End(CDevice* d, ULONG h) {
  SetLines(d, GPIO_B_RCV_CLK, 0);
  VORLIX_HalfPeriodWait(h);
  SetLines(d, GPIO_B_RCV_CS, GPIO_B_RCV_CS);
  VORLIX_HalfPeriodWait(h);
}

void SendWord(CDevice* d, ULONG word, ULONG h) {
  for (int bit = 15; bit >= 0; --bit) {
    SetLines(d, GPIO_B_RCV_DOUT, ((word >> bit) & 1) ? GPIO_B_RCV_DOUT : 0);
    VORLIX_HalfPeriodWait(h);
    SetLines(d, GPIO_B_RCV_CLK, GPIO_B_RCV_CLK);
    VORLIX_HalfPeriodWait(h);
    SetLines(d, GPIO_B_RCV_CLK, 0);
    VORLIX_HalfPeriodWait(h);
  }
}

}  // namespace

ULONG VORLIX_WriteReceiverRegister(CDevice* Device, ULONG Address, ULONG Value, ULONG HalfPeriod) {
  if (!Device || !Device->m_pBoardState) return 1;
  Begin(Device, HalfPeriod);
  SendWord(Device, Address & 0xFFF, HalfPeriod);
  Sleep100ns(1);
  SendWord(Device, Value & 0xFFFF, HalfPeriod);
  End(Device, HalfPeriod);
  return 1;
}

ULONG VORLIX_ReadReceiverRegister(CDevice* Device, ULONG Address, ULONG HalfPeriod) {
  if (!Device || !Device->m_pBoardState) return 0;
  Begin(Device, HalfPeriod);
  SendWord(Device, (Address & 0xFFF) | 0x8000, HalfPeriod);
  Sleep100ns(2);
  ULONG value = 0;
  for (int bit = 0; bit < 16; ++bit) {
    SetLines(Device, GPIO_B_RCV_CLK, GPIO_B_RCV_CLK);
    VORLIX_HalfPeriodWait(HalfPeriod);
    value = value << 1 | ((VORLIX_ReadRegister(Device, REG_GPIO_B_INPUT / 4, 4) & GPIO_B_RCV_DIN) ? 1 : 0);
    VORLIX_HalfPeriodWait(HalfPeriod);
    SetLines(Device, GPIO_B_RCV_CLK, 0);
    VORLIX_HalfPeriodWait(HalfPeriod);
  }
  End(Device, HalfPeriod);
  return value;
}

VOID VORLIX_SetUpReceiver(CDevice* Device) {
  struct Change {
    ULONG reg;
    ULONG keep;
    ULONG set;
  };
  const Change changes[] = {{57, 0xFFFC, 0x1}, {512, 0xFAFF, 0xA00}, {1032, 0x00FF, 0xAA00}};
  for (const Change& c : changes) {
    ULONG v = VORLIX_ReadReceiverRegister(Device, c.reg, RECEIVER_HALF_PERIOD);
    VORLIX_WriteReceiverRegister(Device, c.reg, (v & c.keep) | c.set, RECEIVER_HALF_PERIOD);
  }
}

VOID VORLIX_TranslateSdiMode(ULONG Reg6, ULONG Reg31, ULONG Reg33, ULONG Reg34, ULONG CompanyGorlund,
                             PSDI_FORMAT Format) {
  struct Mode {
    UCHAR code;
    USHORT width;
    USHORT height;
    UCHAR rate;
  };
  static const Mode kModes[] = {
      {0x16, 720, 480, 30},   {0x17, 720, 480, 30},   {0x19, 720, 480, 30},   {0x1B, 720, 480, 30},
      {0x18, 720, 576, 25},   {0x1A, 720, 576, 25},   {0x00, 1280, 720, 60},  {0x20, 1280, 720, 60},
      {0x04, 1280, 720, 50},  {0x24, 1280, 720, 50},  {0x02, 1280, 720, 30},  {0x22, 1280, 720, 30},
      {0x06, 1280, 720, 25},  {0x26, 1280, 720, 25},  {0x08, 1280, 720, 24},  {0x28, 1280, 720, 24},
      {0x0A, 1920, 540, 60},  {0x2A, 1920, 540, 60},  {0x0C, 1920, 540, 50},  {0x2C, 1920, 540, 50},
      {0x11, 1920, 540, 48},  {0x0B, 1920, 1080, 30}, {0x2B, 1920, 1080, 30}, {0x0D, 1920, 1080, 25},
      {0x2D, 1920, 1080, 25}, {0x10, 1920, 1080, 24}, {0x30, 1920, 1080, 24},
  };
  ULONG code = (Reg6 >> 8) & 0x3F;
  ULONG lines = Reg31 & 0x3FFF;
  Format->nWidth = Format->nHeight = Format->nFrameRate = 0;
  Format->bFractional = (Reg34 >> 13) & 1;
  if (code == 0x1E) {
    bool is576 = (Reg33 & 0x7FF) > 600;
    Format->nWidth = 720;
    Format->nHeight = is576 ? 576 : 480;
    Format->nFrameRate = is576 ? 25 : 30;
  } else {
    for (const Mode& m : kModes) {
      if (m.code != code) continue;
      Format->nWidth = m.width;
      Format->nHeight = m.height;
      Format->nFrameRate = m.rate;
    }
    // Only these two codes cover both the 25/30 and the 50/60 progressive formats.
    if (code == 0x2B && lines == 1920) Format->nFrameRate = 60;
    if (code == 0x2D && lines == 1920) Format->nFrameRate = 50;
  }
  if (CompanyGorlund == 1 && Format->nHeight == 480) {
    Format->nWidth = 720;
    Format->nHeight = 576;
    Format->nFrameRate = 25;
  }
}

BOOLEAN VORLIX_DetectSdiMode(CDevice* Device, PSDI_FORMAT Format) {
  ULONG reg6 = VORLIX_ReadReceiverRegister(Device, RECEIVER_REG_MODE, RECEIVER_HALF_PERIOD);
  ULONG reg31 = VORLIX_ReadReceiverRegister(Device, RECEIVER_REG_LINES, RECEIVER_HALF_PERIOD);
  ULONG reg34 = VORLIX_ReadReceiverRegister(Device, RECEIVER_REG_RATE, RECEIVER_HALF_PERIOD);
  ULONG reg33 = 0;
  if (((reg6 >> 8) & 0x3F) == 0x1E)
    reg33 = VORLIX_ReadReceiverRegister(Device, RECEIVER_REG_SD_LINES, RECEIVER_HALF_PERIOD);
  VORLIX_TranslateSdiMode(reg6, reg31, reg33, reg34, Device->m_nCompanyGorlund, Format);
  return Format->nWidth != 0 && Format->nHeight != 0;
}
