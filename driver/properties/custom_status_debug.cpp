// Region records, channel status, OSD text and pictures, the software watchdog, the GPIO
// lines and the debug properties. GPIO sets and the EEPROM reach the encoder board at
// once, with the monitor thread stopped around the access; the watchdog and the first
// OSD text slots are sent later by the monitor thread and the settings pass.
#include "driver/hardware/board_state.h"
#include "driver/hardware/lifecycle.h"
#include "driver/hardware/registers.h"
#include "driver/properties/custom_device.h"

namespace {

void Wait10ms() {
  LARGE_INTEGER d;
  d.QuadPart = -10 * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &d);
}

// The board's GPIO bank A user lines are bits 16 to 19.
ULONG UserLines(ULONG shadow, ULONG value) { return (shadow & ~GPIO_A_USER) | ((value & 0xF) << 16); }

// Drives one bank A register with the monitor thread stopped. Off the encoder board, or
// while it is stopped or powered down, only the setting is kept: bring-up applies it.
void DriveGpio(CDevice* d, ULONG BoardState::*shadow, ULONG reg, ULONG value) {
  if (!CustomBoardReachable(d)) return;
  VORLIX_StopMonitorThread(d);
  BoardState* s = d->m_pBoardState;
  s->*shadow = UserLines(s->*shadow, value);
  VORLIX_WriteRegister(d, reg / 4, s->*shadow, 4);
  VORLIX_StartMonitorThread(d);
}

}  // namespace

// ---- region records and status ----------------------------------------------------------------

NTSTATUS OnSetCustomChannelRecordProperty(CustomRequest& r) {
  ULONG* rec = r.device->m_aChannelAuxRecord[r.filterChannel][r.Word(0) & 1];
  StoreWord(rec[0], r.Word(0) | 0x80000000u);
  for (ULONG k = 1; k < 4; k++) StoreWord(rec[k], r.Word(k));
  return STATUS_SUCCESS;
}
NTSTATUS OnGetCustomChannelRecordProperty(CustomRequest& r) {
  const ULONG* rec = r.device->m_aChannelAuxRecord[r.filterChannel][r.Word(0) & 1];
  r.PutWord(LoadWord(rec[0]) & 0x7FFFFFFFu, 0);
  for (ULONG k = 1; k < 4; k++) r.PutWord(LoadWord(rec[k]), k);
  return STATUS_SUCCESS;
}

NTSTATUS OnGetCustomChannelStatusProperty(CustomRequest& r) {
  r.PutWord(LoadWord(r.device->m_aChannelStatus[r.filterChannel][r.row->arg]));
  return STATUS_SUCCESS;
}

// ---- OSD ---------------------------------------------------------------------------------------

NTSTATUS OnSetCustomOsdTextSelectProperty(CustomRequest& r) {
  StoreWord(r.device->m_nOsdTextSlot[r.filterChannel], r.Word() & 0xF);
  return STATUS_SUCCESS;
}

// Ids 921 to 924: sixteen text bytes each; only the last part marks the slot changed, so
// a text is written in order and sent once complete.
NTSTATUS OnSetCustomOsdTextDataProperty(CustomRequest& r) {
  CDevice* d = r.device;
  ULONG c = r.filterChannel, t = LoadWord(d->m_nOsdTextSlot[c]) & 0xF, k = r.row->arg;
  RtlCopyMemory(&d->m_szOsdText[c][t][16 * k], r.data, 16);
  if (k == 3) StoreWord(d->m_bOsdTextChanged[c][t], 1);
  return STATUS_SUCCESS;
}

NTSTATUS OnSetCustomOsdTextParamProperty(CustomRequest& r) {
  CDevice* d = r.device;
  ULONG c = r.filterChannel, t = LoadWord(d->m_nOsdTextSlot[c]) & 0xF;
  StoreWord(d->m_nOsdTextParam[r.row->arg][c][t], r.Word());
  StoreWord(d->m_bOsdTextChanged[c][t], 1);
  return STATUS_SUCCESS;
}

NTSTATUS OnSetCustomOsdPictureProperty(CustomRequest& r) {
  CDevice* d = r.device;
  ULONG c = r.filterChannel, p = r.Word(0) & 3;
  for (ULONG k = 0; k < 4; k++) StoreWord(d->m_aOsdPicture[c][p][k], r.Word(k));
  StoreWord(d->m_nOsdPictureSlot[c], p);
  StoreWord(d->m_bOsdPictureChanged[c][p], 1);
  return STATUS_SUCCESS;
}
NTSTATUS OnGetCustomOsdPictureProperty(CustomRequest& r) {
  CDevice* d = r.device;
  ULONG c = r.filterChannel, p = r.Word(0) & 3;
  for (ULONG k = 0; k < 4; k++) r.PutWord(LoadWord(d->m_aOsdPicture[c][p][k]), k);
  return STATUS_SUCCESS;
}

NTSTATUS OnSetCustomOsdPictureDataProperty(CustomRequest& r) {
  CDevice* d = r.device;
  ULONG c = r.filterChannel, p = LoadWord(d->m_nOsdPictureSlot[c]) & 3, k = r.row->arg;
  RtlCopyMemory(&d->m_szOsdPicture[c][p][16 * k], r.data, 16);
  if (k == 3) StoreWord(d->m_bOsdPictureChanged[c][p], 1);
  return STATUS_SUCCESS;
}

// ---- watchdog: bit 31 marks a value the monitor thread has yet to send ------------------------

NTSTATUS OnSetCustomSoftwareWatchdogControlProperty(CustomRequest& r) {
  ULONG v = r.Word();
  r.device->m_nWatchdogControl = v ? v | 0x80000000u : 0;
  return STATUS_SUCCESS;
}
NTSTATUS OnSetCustomSoftwareWatchdogDurationProperty(CustomRequest& r) {
  StoreWord(r.device->m_nSoftwareWatchdogDuration, r.Word() | 0x80000000u);
  return STATUS_SUCCESS;
}

// ---- GPIO ------------------------------------------------------------------------------------

NTSTATUS OnSetCustomGpioDirectionProperty(CustomRequest& r) {
  ULONG v = r.Word();
  DriveGpio(r.device, &BoardState::nGpioADirection, REG_GPIO_A_DIRECTION, v);
  StoreWord(r.device->m_nGpioDirection, v);
  return STATUS_SUCCESS;
}

NTSTATUS OnSetCustomGpioDataProperty(CustomRequest& r) {
  ULONG v = r.Word();
  DriveGpio(r.device, &BoardState::nGpioAOutput, REG_GPIO_A_OUTPUT, v);
  StoreWord(r.device->m_nGpioData, v);
  return STATUS_SUCCESS;
}

// The input lines, read without stopping the monitor thread. The value read becomes the
// saved output setting too, as bring-up drives it. Without a reachable board the stored
// setting is returned.
NTSTATUS OnGetCustomGpioDataProperty(CustomRequest& r) {
  CDevice* d = r.device;
  if (CustomBoardReachable(d)) {
    ULONG v = (VORLIX_ReadRegister(d, REG_GPIO_A_INPUT / 4, 4) >> 16) & 0xF;
    StoreWord(d->m_nGpioData, v);
  }
  r.PutWord(LoadWord(d->m_nGpioData));
  return STATUS_SUCCESS;
}

NTSTATUS OnGetCustomGpioSupportProperty(CustomRequest& r) {
  r.PutWord(r.channelIndex == 0 ? LoadWord(r.device->m_nGpioSupport) : 0);
  return STATUS_SUCCESS;
}

// ---- EEPROM ------------------------------------------------------------------------------------
// The first four bytes, the board identity record, over serial bus A. A transfer the
// EEPROM did not acknowledge is an error, and a read leaves the caller's buffer alone.
// Without a reachable board the bus cannot be owned: the device is not ready.

NTSTATUS OnGetCustomDebugEepromProperty(CustomRequest& r) {
  CDevice* d = r.device;
  if (!CustomBoardReachable(d)) return STATUS_DEVICE_NOT_READY;
  VORLIX_StopMonitorThread(d);
  BOARD_ID_RECORD record = {};
  BOOLEAN ok = VORLIX_ReadBoardIdentity(d, &record);
  VORLIX_StartMonitorThread(d);
  Wait10ms();
  if (!ok) return STATUS_IO_DEVICE_ERROR;
  ULONG v = (ULONG)record.nSubsystemVendorIdLow | (ULONG)record.nSubsystemVendorIdHigh << 8 |
            (ULONG)record.nSubsystemIdLow << 16 | (ULONG)record.nSubsystemIdHigh << 24;
  r.PutWord(v);
  DbgPrint("CDevice::OnGetCustomDebugEepromProperty( %08X )\n", v);
  return STATUS_SUCCESS;
}

NTSTATUS OnSetCustomDebugEepromProperty(CustomRequest& r) {
  CDevice* d = r.device;
  ULONG v = r.Word();
  if (!CustomBoardReachable(d)) return STATUS_DEVICE_NOT_READY;
  DbgPrint("CDevice::OnSetCustomDebugEepromProperty( %d, %08X )\n", d->m_nDeviceInstanceNumber, v);
  VORLIX_StopMonitorThread(d);
  BOARD_ID_RECORD record = {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)};
  BOOLEAN ok = VORLIX_WriteBoardIdentity(d, &record);
  VORLIX_StartMonitorThread(d);
  Wait10ms();
  return ok ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
}

// ---- debug words -------------------------------------------------------------------------------

NTSTATUS OnGetCustomDebugBoardMemroyProperty(CustomRequest& r) {
  DbgPrint("CDevice::OnGetCustomDebugBoardMemroyProperty( %d )\n", r.row->arg);
  return STATUS_SUCCESS;
}
NTSTATUS OnSetCustomDebugBoardMemroyProperty(CustomRequest&) {
  DbgPrint("CDevice::OnSetCustomDebugBoardMemroyProperty()\n");
  return STATUS_SUCCESS;
}

NTSTATUS OnSetCustomDebugEdidAccessEnableProperty(CustomRequest& r) {
  DbgPrint("CDevice::OnSetCustomDebugEdidAccessEnableProperty( %08X )\n", r.Word());
  return STATUS_SUCCESS;
}

NTSTATUS OnGetCustomDebugEepromPidVidProperty(CustomRequest&) {
  DbgPrint("CDevice::OnGetCustomDebugEepromPidVidProperty()\n");
  return STATUS_SUCCESS;
}
NTSTATUS OnSetCustomDebugEepromPidVidProperty(CustomRequest&) {
  DbgPrint("CDevice::OnSetCustomDebugEepromPidVidProperty()\n");
  return STATUS_SUCCESS;
}

// Id 981: the three status words (the record's last word stays the caller's); id 990:
// the debug options.
NTSTATUS OnGetCustomDebugStatusProperty(CustomRequest& r) {
  CDevice* d = r.device;
  if (r.row->arg == 990) {
    r.PutWord(LoadWord(d->m_nDebugOptions));
  } else {
    for (ULONG k = 0; k < 3; k++) r.PutWord(LoadWord(d->m_nDebugStatus[k]), k);
  }
  return STATUS_SUCCESS;
}

NTSTATUS OnSetCustomDebugOptionsProperty(CustomRequest& r) {
  StoreWord(r.device->m_nDebugOptions, r.Word() & 0xFFF00CFFu);
  return STATUS_SUCCESS;
}

NTSTATUS OnSetCustomDebugAddressProperty(CustomRequest& r) {
  ULONGLONG v[2];
  RtlCopyMemory(v, r.data, sizeof(v));
  for (ULONG k = 0; k < 2; k++) __atomic_store_n(&r.device->m_aDebugAddress[r.row->arg][k], v[k], __ATOMIC_RELAXED);
  return STATUS_SUCCESS;
}
