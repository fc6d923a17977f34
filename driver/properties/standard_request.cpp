#include "driver/properties/standard_request.h"

CDevice* DeviceOfRequest(PIRP pIrp) {
  PKSFILTER pKsFilter = KsGetFilterFromIrp(pIrp);
  if (!pKsFilter) return nullptr;
  PKSDEVICE pKsDevice = KsGetDevice(pKsFilter);
  return pKsDevice ? DeviceOf(pKsDevice) : nullptr;
}

FilterContext* FilterContextOfRequest(PIRP pIrp) {
  PKSFILTER pKsFilter = KsGetFilterFromIrp(pIrp);
  if (!pKsFilter || !pKsFilter->Context) return nullptr;
  // A filter whose Create set no context of its own still carries its device's.
  PKSDEVICE pKsDevice = KsGetDevice(pKsFilter);
  if (pKsDevice && pKsFilter->Context == pKsDevice->Context) return nullptr;
  return static_cast<FilterContext*>(pKsFilter->Context);
}

ULONG RequestDataLength(PIRP pIrp) {
  PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
  return pStack ? pStack->Parameters.DeviceIoControl.OutputBufferLength : 0;
}
