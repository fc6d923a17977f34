// Device stop and the power transitions (device start is built on its own).
#include "driver/core/device.h"
#include "driver/hardware/lifecycle.h"

namespace {

constexpr ULONG kBoardStateTag = MakePoolTag("Wdm ");

}  // namespace

// Until the full start is built: the run-time members the hardware lifecycle relies on,
// and the hardware initialisation (which fails without PCI resources and only opens the
// monitor thread's bracket).
NTSTATUS CDevice::Start(PKSDEVICE pKsDevice, PIRP pIrp, PCM_RESOURCE_LIST pTranslatedResourceList,
                        PCM_RESOURCE_LIST pUntranslatedResourceList) {
  CDevice* pDevice = DeviceOf(pKsDevice);
  if (!pDevice) return STATUS_SUCCESS;
  pDevice->m_nDigitalCaptureStreamReference = 0;
  pDevice->m_nWatchdogControl = 0;
  pDevice->m_pMonitorThread = nullptr;
  pDevice->m_bMonitorThreadStop = 1;
  for (int i = 0; i < 2; ++i) {
    pDevice->m_pFrameClockThread[i] = nullptr;
    pDevice->m_bFrameClockStop[i] = 1;
  }
  pDevice->m_nBoardIndex = 0;
  ExInitializeFastMutex(&pDevice->m_PinMutex);
  KeInitializeSemaphore(&pDevice->m_ThreadControlSemaphore, 0, 0x7FFFFFFF);
  KeInitializeSpinLock(&pDevice->m_VendorCommandLock);
  VORLIX_HwInitialize(pDevice);
  return STATUS_SUCCESS;
}

VOID CDevice::Stop(PKSDEVICE pKsDevice, PIRP pIrp) {
  CDevice* pDevice = DeviceOf(pKsDevice);
  if (!pDevice) return;
  pDevice->SaveSettings();
  VORLIX_HwUninitialize(pDevice);
  // The frame clocks read the state block for as long as they run; they normally end
  // with the last stream's power-down, but nothing may read the block once it is freed.
  VORLIX_StopFrameClocks(pDevice);
  if (pDevice->m_pBoardState) {
    ExFreePoolWithTag(pDevice->m_pBoardState, kBoardStateTag);
    pDevice->m_pBoardState = nullptr;
  }
  pDevice->Uninitialize(pKsDevice, pIrp);
}

VOID CDevice::SetPower(PKSDEVICE pKsDevice, PIRP pIrp, DEVICE_POWER_STATE To, DEVICE_POWER_STATE From) {
  CDevice* pDevice = DeviceOf(pKsDevice);
  if (!pDevice) return;
  const bool sleeping = From == PowerDeviceD2 || From == PowerDeviceD3;
  if (To == PowerDeviceD0 && (From == PowerDeviceD1 || sleeping)) {
    // Back to full power: after D2 or D3 the hardware starts from scratch; the counted
    // streams are restarted without being counted again.
    if (sleeping) VORLIX_HwInitialize(pDevice);
    if (pDevice->m_nDigitalCaptureStreamReference.load() != 0) VORLIX_StreamPowerUp(pDevice, TRUE);
    pDevice->m_nDevicePowerState = PowerDeviceD0;
  } else if (From == PowerDeviceD0 && (To == PowerDeviceD2 || To == PowerDeviceD3)) {
    pDevice->m_nDevicePowerState = To;
    VORLIX_HwUninitialize(pDevice);
  } else if (From == PowerDeviceD0 && To == PowerDeviceD1) {
    pDevice->m_nDevicePowerState = PowerDeviceD1;
  }
  // Every other transition is ignored, the recorded state included.
}
