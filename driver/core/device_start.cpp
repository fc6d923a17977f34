// Device start, stop and power: the hardware bring-up behind them is not built yet, so
// these only keep the device object's state consistent for the Plug and Play path.
#include "driver/core/device.h"

NTSTATUS CDevice::Start(PKSDEVICE pKsDevice, PIRP pIrp, PCM_RESOURCE_LIST pTranslatedResourceList,
                        PCM_RESOURCE_LIST pUntranslatedResourceList) {
  return STATUS_SUCCESS;
}

VOID CDevice::Stop(PKSDEVICE pKsDevice, PIRP pIrp) {}

VOID CDevice::SetPower(PKSDEVICE pKsDevice, PIRP pIrp, DEVICE_POWER_STATE To, DEVICE_POWER_STATE From) {
  CDevice* pDevice = DeviceOf(pKsDevice);
  if (pDevice) pDevice->m_nDevicePowerState = To;
}
