// The Plug and Play side of the KS class driver, driven from the host: loads a
// minidriver, adds one device per plugged-in board and starts, stops, powers and
// removes it in the order KS guarantees:
//   - calls are serialised, one at a time;
//   - after a failed Start the only call the device gets is Remove;
//   - Stop then Start again on the same device is allowed;
//   - Remove of a started device is preceded by Stop, as KS does it;
//   - Stop (and Remove) take the device's filter factories away.
// A call that breaks the order never reaches the driver and returns
// STATUS_INVALID_DEVICE_STATE.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ks/ks.h"

// Reads or writes a device's bus data (for a PCI board, its configuration space);
// returns the number of bytes transferred. Supplied per device by whoever plugs it in.
typedef ULONG (*KSHARNESS_BUS_DATA)(PVOID Context, ULONG DataType, PVOID Buffer, ULONG Offset, ULONG Length,
                                    BOOLEAN Write);

namespace platform::kernel {
class PoolSnapshot;
}

namespace platform::ks {

enum class DeviceState {
  Added,  // Add succeeded; never started, or stopped
  Started,
  StartFailed,  // only Remove is allowed
  Removed,      // Remove ran, or Add failed
};

struct AdapterRegistration {
  PADAPTER_OBJECT Adapter = nullptr;
  ULONG MaxMappingsByteCount = 0;
  ULONG MappingTableStride = 0;
};

// The descriptor the driver object registered with KsInitializeDriver, or null.
const KSDEVICE_DESCRIPTOR* RegisteredDescriptor(PDRIVER_OBJECT DriverObject);
// Makes the next KsInitializeDriver call fail with Status (STATUS_SUCCESS clears it).
void FailNextInitializeDriver(NTSTATUS Status);

class PnpHarness {
 public:
  static constexpr const char16_t* kDefaultRegistryPath =
      u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORLIX";

  explicit PnpHarness(PDRIVER_INITIALIZE DriverEntry, const char16_t* RegistryPath = kDefaultRegistryPath);
  // Removes what is still there and unloads, as the machine does at shut-down.
  ~PnpHarness();
  PnpHarness(const PnpHarness&) = delete;
  PnpHarness& operator=(const PnpHarness&) = delete;

  // Runs the driver's entry; its status is returned. Loading twice is refused.
  NTSTATUS Load();
  // Removes every device still present, then lets the driver go and checks that it
  // left no pool behind (a leak is reported to the verifier and gives
  // STATUS_UNSUCCESSFUL). STATUS_INVALID_DEVICE_STATE when not loaded.
  NTSTATUS Unload();
  bool Loaded() const;

  // Adds the next board (HostInstance 0, 1, 2, ... on its PDO and FDO); *Index receives
  // its index for the other calls. Fails with Add's status when the driver refuses it.
  // BusNumber is what the PDO's bus reports as the device's bus number.
  NTSTATUS AddDevice(KSHARNESS_BUS_DATA BusData, PVOID BusContext, size_t* Index, ULONG BusNumber = 0);
  NTSTATUS StartDevice(size_t Index, PCM_RESOURCE_LIST Translated, PCM_RESOURCE_LIST Raw);
  NTSTATUS StopDevice(size_t Index);
  NTSTATUS RemoveDevice(size_t Index);
  // Sends a device power change From the current state To the given one; only while
  // started.
  NTSTATUS SetDevicePower(size_t Index, DEVICE_POWER_STATE To);
  // Fills *Capabilities with the bus's answer, then lets the driver adjust it.
  NTSTATUS QueryCapabilities(size_t Index, PDEVICE_CAPABILITIES Capabilities);
  // The bus's answer alone, as the driver receives it.
  void BusCapabilities(size_t Index, PDEVICE_CAPABILITIES Capabilities) const;

  size_t DeviceCount() const;
  DeviceState State(size_t Index) const;
  // Null once removed.
  PKSDEVICE Device(size_t Index) const;
  AdapterRegistration Adapter(size_t Index) const;
  PDRIVER_OBJECT DriverObject() { return &driver_; }
  const KSDEVICE_DESCRIPTOR* Descriptor() const { return descriptor_; }

  struct Board;  // one plugged-in board: its PDO, FDO and KS device

 private:
  NTSTATUS CallStop(Board& board);
  NTSTATUS CallRemove(Board& board);
  Board* Find(size_t Index) const;

  PDRIVER_INITIALIZE driver_entry_;
  std::u16string registry_path_;
  std::string driver_name_;  // the service name, for the verifier's reports
  std::unique_ptr<platform::kernel::PoolSnapshot> pool_at_load_;
  UNICODE_STRING registry_path_string_{};
  DRIVER_OBJECT driver_{};
  DRIVER_EXTENSION driver_extension_{};
  const KSDEVICE_DESCRIPTOR* descriptor_ = nullptr;
  bool loaded_ = false;
  mutable std::mutex lock_;
  std::vector<std::unique_ptr<Board>> boards_;
};

}  // namespace platform::ks
