#include "platform/ks/harness.h"

#include <cstring>

#include "platform/kernel/machine.h"
#include "platform/ks/ks_internal.h"

namespace platform::ks {

struct PnpHarness::Board {
  size_t index = 0;
  DEVICE_OBJECT pdo{};
  DEVICE_OBJECT fdo{};
  KSDEVICE ks{};
  DeviceState state = DeviceState::Added;
  detail::DeviceHost host;
};

namespace {

// A fresh request for each call; the driver may look at it but owns nothing in it.
struct Request {
  IRP irp{};
  Request() {
    irp.Type = 6;
    irp.Size = sizeof(IRP);
    irp.StackCount = 1;
    irp.CurrentLocation = 1;
  }
};

const KSDEVICE_DISPATCH* DispatchOf(const KSDEVICE_DESCRIPTOR* descriptor) {
  return descriptor ? descriptor->Dispatch : nullptr;
}

}  // namespace

PnpHarness::PnpHarness(PDRIVER_INITIALIZE DriverEntry, const char16_t* RegistryPath)
    : driver_entry_(DriverEntry), registry_path_(RegistryPath ? RegistryPath : u"") {
  size_t slash = registry_path_.find_last_of(u'\\');
  for (size_t i = slash == std::u16string::npos ? 0 : slash + 1; i < registry_path_.size(); i++)
    driver_name_.push_back(registry_path_[i] < 0x80 ? (char)registry_path_[i] : '?');
  if (driver_name_.empty()) driver_name_ = "driver";
}

PnpHarness::~PnpHarness() {
  if (Loaded()) Unload();
}

bool PnpHarness::Loaded() const {
  std::lock_guard<std::mutex> hold(lock_);
  return loaded_;
}

NTSTATUS PnpHarness::Load() {
  std::lock_guard<std::mutex> hold(lock_);
  if (loaded_ || !driver_entry_) return STATUS_INVALID_DEVICE_STATE;
  driver_ = DRIVER_OBJECT{};
  driver_extension_ = DRIVER_EXTENSION{};
  driver_.Type = 4;
  driver_.Size = sizeof(DRIVER_OBJECT);
  driver_.DriverExtension = &driver_extension_;
  driver_.DriverInit = driver_entry_;
  driver_extension_.DriverObject = &driver_;
  registry_path_string_.Buffer = registry_path_.data();
  registry_path_string_.Length = (USHORT)(registry_path_.size() * sizeof(char16_t));
  registry_path_string_.MaximumLength = registry_path_string_.Length;
  // Blocks live before the load are not the driver's.
  pool_at_load_ = std::make_unique<platform::kernel::PoolSnapshot>();
  NTSTATUS status = driver_entry_(&driver_, &registry_path_string_);
  if (!NT_SUCCESS(status)) {
    detail::ForgetDriver(&driver_);
    return status;
  }
  descriptor_ = RegisteredDescriptor(&driver_);
  loaded_ = true;
  return status;
}

NTSTATUS PnpHarness::Unload() {
  std::lock_guard<std::mutex> hold(lock_);
  if (!loaded_) return STATUS_INVALID_DEVICE_STATE;
  for (auto& board : boards_) {
    if (board->state != DeviceState::Removed) CallRemove(*board);
  }
  if (driver_.DriverUnload) driver_.DriverUnload(&driver_);
  detail::ForgetDriver(&driver_);
  descriptor_ = nullptr;
  loaded_ = false;
  bool clean = platform::kernel::CheckPoolLeaksAtUnload(driver_name_.c_str(), pool_at_load_.get());
  pool_at_load_.reset();
  return clean ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS PnpHarness::AddDevice(KSHARNESS_BUS_DATA BusData, PVOID BusContext, size_t* Index, ULONG BusNumber) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!loaded_) return STATUS_INVALID_DEVICE_STATE;
  auto board = std::make_unique<Board>();
  board->index = boards_.size();
  board->host.BusData = BusData;
  board->host.BusContext = BusContext;

  DEVICE_OBJECT& pdo = board->pdo;
  pdo.Type = 3;
  pdo.Size = sizeof(DEVICE_OBJECT);
  pdo.ReferenceCount = 1;
  pdo.DeviceType = FILE_DEVICE_UNKNOWN;
  pdo.StackSize = 1;
  pdo.HostInstance = (ULONG)board->index;
  pdo.HostBusNumber = BusNumber;

  DEVICE_OBJECT& fdo = board->fdo;
  fdo.Type = 3;
  fdo.Size = sizeof(DEVICE_OBJECT);
  fdo.ReferenceCount = 1;
  fdo.DriverObject = &driver_;
  fdo.DeviceType = FILE_DEVICE_KS;
  fdo.Flags = DO_DEVICE_INITIALIZING | DO_POWER_PAGABLE;
  fdo.StackSize = 2;
  fdo.DeviceExtension = &board->ks;
  fdo.HostInstance = (ULONG)board->index;
  pdo.AttachedDevice = &fdo;

  KSDEVICE& ks = board->ks;
  ks.Descriptor = descriptor_;
  ks.FunctionalDeviceObject = &fdo;
  ks.PhysicalDeviceObject = &pdo;
  ks.NextDeviceObject = &pdo;
  ks.Started = FALSE;
  ks.SystemPowerState = PowerSystemWorking;
  ks.DevicePowerState = PowerDeviceD0;

  detail::RegisterDevice(&ks, &board->host);
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(descriptor_);
  NTSTATUS status = STATUS_SUCCESS;
  if (dispatch && dispatch->Add) status = dispatch->Add(&ks);
  if (!NT_SUCCESS(status)) {
    // KS deletes a device whose Add failed; the driver is not called again for it.
    detail::UnregisterDevice(&ks);
    board->state = DeviceState::Removed;
    pdo.AttachedDevice = nullptr;
  } else {
    fdo.Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
    driver_.DeviceObject = &fdo;
  }
  if (Index) *Index = board->index;
  boards_.push_back(std::move(board));
  return status;
}

NTSTATUS PnpHarness::StartDevice(size_t Index, PCM_RESOURCE_LIST Translated, PCM_RESOURCE_LIST Raw) {
  std::lock_guard<std::mutex> hold(lock_);
  Board* board = Find(Index);
  if (!board || board->state != DeviceState::Added) return STATUS_INVALID_DEVICE_STATE;
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(descriptor_);
  Request request;
  NTSTATUS status = STATUS_SUCCESS;
  if (dispatch && dispatch->Start) status = dispatch->Start(&board->ks, &request.irp, Translated, Raw);
  if (NT_SUCCESS(status) && dispatch && dispatch->PostStart) status = dispatch->PostStart(&board->ks);
  if (!NT_SUCCESS(status)) {
    board->state = DeviceState::StartFailed;
    return status;
  }
  board->state = DeviceState::Started;
  board->ks.Started = TRUE;
  board->ks.DevicePowerState = PowerDeviceD0;
  return status;
}

NTSTATUS PnpHarness::CallStop(Board& board) {
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(descriptor_);
  Request request;
  if (dispatch && dispatch->Stop) dispatch->Stop(&board.ks, &request.irp);
  // A stopped device offers nothing: its factories and pinless declarations go, and a
  // new Start creates its own.
  detail::ForgetFactories(&board.ks);
  board.ks.Started = FALSE;
  board.state = DeviceState::Added;
  return STATUS_SUCCESS;
}

NTSTATUS PnpHarness::StopDevice(size_t Index) {
  std::lock_guard<std::mutex> hold(lock_);
  Board* board = Find(Index);
  if (!board || board->state != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
  return CallStop(*board);
}

NTSTATUS PnpHarness::CallRemove(Board& board) {
  if (board.state == DeviceState::Started) CallStop(board);
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(descriptor_);
  Request request;
  if (dispatch && dispatch->Remove) dispatch->Remove(&board.ks, &request.irp);
  detail::UnregisterDevice(&board.ks);
  board.state = DeviceState::Removed;
  board.pdo.AttachedDevice = nullptr;
  if (driver_.DeviceObject == &board.fdo) {
    driver_.DeviceObject = nullptr;
    for (auto& other : boards_) {
      if (other->state != DeviceState::Removed) driver_.DeviceObject = &other->fdo;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS PnpHarness::RemoveDevice(size_t Index) {
  std::lock_guard<std::mutex> hold(lock_);
  Board* board = Find(Index);
  if (!board || board->state == DeviceState::Removed) return STATUS_INVALID_DEVICE_STATE;
  return CallRemove(*board);
}

NTSTATUS PnpHarness::SetDevicePower(size_t Index, DEVICE_POWER_STATE To) {
  std::lock_guard<std::mutex> hold(lock_);
  Board* board = Find(Index);
  if (!board || board->state != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
  if (To <= PowerDeviceUnspecified || To >= PowerDeviceMaximum) return STATUS_INVALID_PARAMETER;
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(descriptor_);
  DEVICE_POWER_STATE from = board->ks.DevicePowerState;
  Request request;
  if (dispatch && dispatch->SetPower) dispatch->SetPower(&board->ks, &request.irp, To, from);
  board->ks.DevicePowerState = To;
  return STATUS_SUCCESS;
}

NTSTATUS PnpHarness::QueryCapabilities(size_t Index, PDEVICE_CAPABILITIES Capabilities) {
  std::lock_guard<std::mutex> hold(lock_);
  Board* board = Find(Index);
  if (!board || board->state == DeviceState::Removed || !Capabilities) return STATUS_INVALID_DEVICE_STATE;
  BusCapabilities(Index, Capabilities);
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(descriptor_);
  Request request;
  if (dispatch && dispatch->QueryCapabilities)
    return dispatch->QueryCapabilities(&board->ks, &request.irp, Capabilities);
  return STATUS_SUCCESS;
}

// The bus driver's answer for a plain PCI function: working in D0, off in every sleep
// state, no wake.
void PnpHarness::BusCapabilities(size_t Index, PDEVICE_CAPABILITIES Capabilities) const {
  std::memset(Capabilities, 0, sizeof(*Capabilities));
  Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
  Capabilities->Version = 1;
  Capabilities->Address = (ULONG)Index;
  Capabilities->UINumber = 0xFFFFFFFF;
  Capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s < POWER_SYSTEM_MAXIMUM; s++) Capabilities->DeviceState[s] = PowerDeviceD3;
  Capabilities->SystemWake = PowerSystemUnspecified;
  Capabilities->DeviceWake = PowerDeviceUnspecified;
}

size_t PnpHarness::DeviceCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return boards_.size();
}

PnpHarness::Board* PnpHarness::Find(size_t Index) const {
  return Index < boards_.size() ? boards_[Index].get() : nullptr;
}

DeviceState PnpHarness::State(size_t Index) const {
  std::lock_guard<std::mutex> hold(lock_);
  Board* board = Find(Index);
  return board ? board->state : DeviceState::Removed;
}

PKSDEVICE PnpHarness::Device(size_t Index) const {
  std::lock_guard<std::mutex> hold(lock_);
  Board* board = Find(Index);
  return board && board->state != DeviceState::Removed ? &board->ks : nullptr;
}

AdapterRegistration PnpHarness::Adapter(size_t Index) const {
  std::lock_guard<std::mutex> hold(lock_);
  Board* board = Find(Index);
  return board ? board->host.Adapter : AdapterRegistration{};
}

}  // namespace platform::ks
