// Hardware initialisation and stop, stream power, the audio input switch and the
// monitor thread's bracket.
#include "driver/hardware/lifecycle.h"

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/hardware/board_state.h"
#include "driver/hardware/encoder.h"
#include "driver/hardware/firmware.h"
#include "driver/hardware/mailbox.h"
#include "driver/hardware/monitor.h"
#include "driver/hardware/registers.h"
#include "driver/hardware/transfer.h"

namespace {

constexpr LONGLONG kMs = 10000;

void Sleep100ns(LONGLONG units) {
  LARGE_INTEGER interval;
  interval.QuadPart = -units;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void Send(CDevice* d, ULONG command, ULONG a1 = 0, ULONG a2 = 0, ULONG a3 = 0, ULONG a4 = 0) {
  VENDOR_COMMAND c = {command, a1, a2, a3, a4, 0, 0, 0, 0};
  VORLIX_SendVendorCommand(d, &c);
}

// Creates a system thread on the device and returns its referenced object (null when
// the thread could not be created).
PVOID CreateThread(CDevice* d, PKSTART_ROUTINE routine) {
  HANDLE handle = nullptr;
  if (!NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, d)))
    return nullptr;
  PVOID object = nullptr;
  if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr)))
    object = nullptr;
  ZwClose(handle);
  return object;
}

// Asks the thread to end, waits for it and lets go of its object.
void EndThread(PVOID& thread, std::atomic<ULONG>& stop) {
  stop = 1;
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
  thread = nullptr;
}

// Entries 0-3 and 8-11 of the run state: the audio packet count, the tick flags and the
// encoder-running flag among them.
void ClearRunState(CDevice* d) {
  for (int i = 0; i < 4; ++i) __atomic_store_n(&d->m_nStreamRunState[i], 0u, __ATOMIC_RELAXED);
  for (int i = 8; i < 12; ++i) __atomic_store_n(&d->m_nStreamRunState[i], 0u, __ATOMIC_RELAXED);
}

void StartFrameClocks(CDevice* d) {
  const PKSTART_ROUTINE routines[2] = {VORLIX_VideoClockThread, VORLIX_AudioClockThread};
  for (int i = 0; i < 2; ++i) {
    if (d->m_pFrameClockThread[i]) continue;
    d->m_bFrameClockStop[i] = 0;
    d->m_pFrameClockThread[i] = CreateThread(d, routines[i]);
  }
}

void StopEncoderStreams(CDevice* d) {
  Send(d, VENDOR_CMD_STOP, VENDOR_PATH_PREVIEW);
  VENDOR_COMMAND off = VENDOR_PREVIEW_OFF;
  VORLIX_SendVendorCommand(d, &off);
  Send(d, VENDOR_CMD_STOP, 0);
  Send(d, VENDOR_CMD_STOP, VENDOR_STREAM_SUB);
}

// The encoder's registers and buses need the encoder board and its state block.
bool DrivesEncoder(CDevice* d) { return VORLIX_IsEncoderBoard(d) && d->m_pBoardState; }

}  // namespace

BOOLEAN VORLIX_IsEncoderBoard(CDevice* Device) {
  return Device->m_pPciIdentity && IsBoardKind(Device->m_pPciIdentity, BOARD_KIND_ENCODER);
}

ULONG VORLIX_StopMonitorThread(CDevice* Device) {
  KeWaitForSingleObject(&Device->m_ThreadControlSemaphore, Executive, KernelMode, FALSE, nullptr);
  if (Device->m_pMonitorThread) EndThread(Device->m_pMonitorThread, Device->m_bMonitorThreadStop);
  return 0;
}

ULONG VORLIX_StartMonitorThread(CDevice* Device) {
  if (Device->m_pMonitorThread) return 0;
  Device->m_bMonitorThreadStop = 0;
  Device->m_pMonitorThread = CreateThread(Device, VORLIX_MonitorThread);
  // The bracket opens even when no thread could be created: holding it back would block
  // every later user of the buses for good.
  KeReleaseSemaphore(&Device->m_ThreadControlSemaphore, IO_NO_INCREMENT, 1, FALSE);
  return 0;
}

NTSTATUS VORLIX_HwInitialize(CDevice* Device) {
  Device->m_bHardwareStopped = FALSE;
  if (!VORLIX_IsEncoderBoard(Device)) {
    VORLIX_StartMonitorThread(Device);
    return STATUS_UNSUCCESSFUL;
  }
  ULONG bus = 0, length = 0;
  if (!NT_SUCCESS(
          IoGetDeviceProperty(Device->m_pPhysicalDeviceObject, DevicePropertyBusNumber, sizeof bus, &bus, &length)))
    bus = 0;
  Device->m_nBoardIndex = bus & 0xF;
  KeInitializeTimer(&Device->m_ContinueTimer);
  KeInitializeDpc(&Device->m_ContinueDpc, VORLIX_OnTransferTimer, Device);

  if (!VORLIX_EncoderBringUp(Device, FALSE, FALSE)) {
    VORLIX_StartMonitorThread(Device);
    return STATUS_UNSUCCESSFUL;
  }
  DbgPrint("VORLIX_HwInitialize( %d, %d )\n", Device->m_nBoardIndex, Device->m_nDeviceInstanceNumber);

  BOARD_ID_RECORD record = {};
  VORLIX_ReadBoardIdentity(Device, &record);
  Sleep100ns(100 * kMs);
  PPCI_IDENTITY id = Device->m_pPciIdentity;
  id->nSubsystemId = (USHORT)(record.nSubsystemIdHigh << 8 | record.nSubsystemIdLow);
  id->nSubsystemVendorIdLow = record.nSubsystemVendorIdLow;
  id->nSubsystemVendorIdHigh = record.nSubsystemVendorIdHigh;

  VORLIX_DownloadLogoPictures(Device, NO_SIGNAL_PICTURE_FILE);
  DbgPrint("VORLIX_HwInitialize( %d, %04X%02X%02X )\n", Device->m_nBoardIndex, id->nSubsystemId,
           id->nSubsystemVendorIdHigh, id->nSubsystemVendorIdLow);

  VORLIX_WriteMcuRegister(Device, MCU_REG_WDT_DURATION, (UCHAR)(Device->m_nSoftwareWatchdogDuration & 0xFF));
  VORLIX_WriteMcuRegister(Device, MCU_REG_WDT_KICK, MCU_WDT_MAGIC);
  VORLIX_WriteMcuRegister(Device, MCU_REG_WDT_ARM, MCU_WDT_MAGIC);

  VORLIX_StartMonitorThread(Device);
  return STATUS_SUCCESS;
}

ULONG VORLIX_HwUninitialize(CDevice* Device) {
  // A second stop in a row (a device stopped while in D2 or D3) would wait for good for
  // the bracket the first one kept: the hardware is stopped already.
  if (Device->m_bHardwareStopped) return 0;
  VORLIX_StopMonitorThread(Device);
  Device->m_bHardwareStopped = TRUE;
  if (VORLIX_IsEncoderBoard(Device)) VORLIX_CoreResetSequence(Device);
  return 0;
}

ULONG VORLIX_StreamPowerUp(CDevice* Device, BOOLEAN Forced) {
  ULONG count = Forced ? Device->m_nDigitalCaptureStreamReference.load()
                       : Device->m_nDigitalCaptureStreamReference.fetch_add(1) + 1;
  if (!VORLIX_IsEncoderBoard(Device)) return 0;

  if (count == 1 || Forced) {
    ClearRunState(Device);
    VORLIX_StopMonitorThread(Device);
    BOOLEAN holdsPinMutex = !Forced && Device->m_nCompanyZq4 == 0;
    if (VORLIX_EncoderBringUp(Device, holdsPinMutex, TRUE)) {
      Sleep100ns(100 * kMs);
      Device->m_pBoardState->bFormatChanged = 0;
      VORLIX_AudioSelectPulse(Device);
      Send(Device, VENDOR_CMD_AUDIO_INPUT);
      __atomic_store_n(&Device->m_nStreamRunState[8], 1u, __ATOMIC_RELEASE);
    }
    StartFrameClocks(Device);
    VORLIX_StartMonitorThread(Device);
  }
  if (count > 1) {
    VORLIX_StopMonitorThread(Device);
    VORLIX_ApplySettings(Device);
    VORLIX_StartMonitorThread(Device);
  }
  return 0;
}

VOID VORLIX_StopFrameClocks(CDevice* Device) {
  for (int i = 0; i < 2; ++i)
    if (Device->m_pFrameClockThread[i]) EndThread(Device->m_pFrameClockThread[i], Device->m_bFrameClockStop[i]);
}

ULONG VORLIX_StreamPowerDown(CDevice* Device) {
  ULONG count = Device->m_nDigitalCaptureStreamReference.load();
  if (count == 0) return 0;
  if (count > 1) {
    Device->m_nDigitalCaptureStreamReference = count - 1;
    return 0;
  }
  Device->m_nDigitalCaptureStreamReference = 0;
  VORLIX_StopMonitorThread(Device);
  VORLIX_StopFrameClocks(Device);
  ClearRunState(Device);
  if (DrivesEncoder(Device)) StopEncoderStreams(Device);
  VORLIX_StartMonitorThread(Device);
  return 0;
}

ULONG VORLIX_SetAudioInput(CDevice* Device, ULONG Reserved1, ULONG Reserved2) {
  VORLIX_StopMonitorThread(Device);
  ULONG input = Device->m_nAnalogCrossbarAudioInput;
  if (DrivesEncoder(Device) && input <= 1) {
    BoardState* s = Device->m_pBoardState;
    ULONG output = input == 0 ? (s->nGpioBOutput & ~GPIO_B_AUDIO_SELECT) : (s->nGpioBOutput | GPIO_B_AUDIO_SELECT);
    VORLIX_WriteRegister(Device, REG_GPIO_B_OUTPUT / 4, output, 4);
    s->nGpioBOutput = output;
    Send(Device, VENDOR_CMD_AUDIO_INPUT);
  }
  VORLIX_StartMonitorThread(Device);
  return 0;
}
