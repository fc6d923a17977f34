// What the I/O manager answers about device objects.
#include "platform/kernel/internal.h"

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength) {
  platform::kernel::detail::CheckIrqlAtMost("IoGetDeviceProperty", PASSIVE_LEVEL);
  if (!DeviceObject || DeviceProperty != DevicePropertyBusNumber) return STATUS_INVALID_PARAMETER;
  if (ResultLength) *ResultLength = sizeof(ULONG);
  if (BufferLength < sizeof(ULONG) || !PropertyBuffer) return STATUS_BUFFER_TOO_SMALL;
  *static_cast<PULONG>(PropertyBuffer) = DeviceObject->HostBusNumber;
  return STATUS_SUCCESS;
}
