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
    : m_pDriverEntry(DriverEntry), m_RegistryPath(RegistryPath ? RegistryPath : u"") {
  size_t slash = m_RegistryPath.find_last_of(u'\\');
  for (size_t i = slash == std::u16string::npos ? 0 : slash + 1; i < m_RegistryPath.size(); i++)
    m_DriverName.push_back(m_RegistryPath[i] < 0x80 ? (char)m_RegistryPath[i] : '?');
  if (m_DriverName.empty()) m_DriverName = "driver";
}

PnpHarness::~PnpHarness() {
  if (Loaded()) Unload();
}

bool PnpHarness::Loaded() const {
  std::lock_guard<std::mutex> hold(m_Lock);
  return m_bLoaded;
}

NTSTATUS PnpHarness::Load() {
  std::lock_guard<std::mutex> hold(m_Lock);
  if (m_bLoaded || !m_pDriverEntry) return STATUS_INVALID_DEVICE_STATE;
  m_Driver = DRIVER_OBJECT{};
  m_DriverExtension = DRIVER_EXTENSION{};
  m_Driver.Type = 4;
  m_Driver.Size = sizeof(DRIVER_OBJECT);
  m_Driver.DriverExtension = &m_DriverExtension;
  m_Driver.DriverInit = m_pDriverEntry;
  m_DriverExtension.DriverObject = &m_Driver;
  m_RegistryPathString.Buffer = m_RegistryPath.data();
  m_RegistryPathString.Length = (USHORT)(m_RegistryPath.size() * sizeof(char16_t));
  m_RegistryPathString.MaximumLength = m_RegistryPathString.Length;
  // Blocks live before the load are not the driver's.
  m_pPoolAtLoad = std::make_unique<platform::kernel::PoolSnapshot>();
  NTSTATUS status = m_pDriverEntry(&m_Driver, &m_RegistryPathString);
  if (!NT_SUCCESS(status)) {
    detail::ForgetDriver(&m_Driver);
    return status;
  }
  m_pDescriptor = RegisteredDescriptor(&m_Driver);
  m_bLoaded = true;
  return status;
}

NTSTATUS PnpHarness::Unload() {
  std::lock_guard<std::mutex> hold(m_Lock);
  if (!m_bLoaded) return STATUS_INVALID_DEVICE_STATE;
  for (auto& board : m_Boards) {
    if (board->state != DeviceState::Removed) CallRemove(*board);
  }
  if (m_Driver.DriverUnload) m_Driver.DriverUnload(&m_Driver);
  detail::ForgetDriver(&m_Driver);
  m_pDescriptor = nullptr;
  m_bLoaded = false;
  bool clean = platform::kernel::CheckPoolLeaksAtUnload(m_DriverName.c_str(), m_pPoolAtLoad.get());
  m_pPoolAtLoad.reset();
  return clean ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS PnpHarness::AddDevice(KSHARNESS_BUS_DATA BusData, PVOID BusContext, size_t* Index, ULONG BusNumber) {
  std::lock_guard<std::mutex> hold(m_Lock);
  if (!m_bLoaded) return STATUS_INVALID_DEVICE_STATE;
  auto board = std::make_unique<Board>();
  board->index = m_Boards.size();
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
  fdo.DriverObject = &m_Driver;
  fdo.DeviceType = FILE_DEVICE_KS;
  fdo.Flags = DO_DEVICE_INITIALIZING | DO_POWER_PAGABLE;
  fdo.StackSize = 2;
  fdo.DeviceExtension = &board->ks;
  fdo.HostInstance = (ULONG)board->index;
  pdo.AttachedDevice = &fdo;

  KSDEVICE& ks = board->ks;
  ks.Descriptor = m_pDescriptor;
  ks.FunctionalDeviceObject = &fdo;
  ks.PhysicalDeviceObject = &pdo;
  ks.NextDeviceObject = &pdo;
  ks.Started = FALSE;
  ks.SystemPowerState = PowerSystemWorking;
  ks.DevicePowerState = PowerDeviceD0;

  detail::RegisterDevice(&ks, &board->host);
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(m_pDescriptor);
  NTSTATUS status = STATUS_SUCCESS;
  if (dispatch && dispatch->Add) status = dispatch->Add(&ks);
  if (!NT_SUCCESS(status)) {
    // KS deletes a device whose Add failed; the driver is not called again for it.
    detail::UnregisterDevice(&ks);
    board->state = DeviceState::Removed;
    pdo.AttachedDevice = nullptr;
  } else {
    fdo.Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
    m_Driver.DeviceObject = &fdo;
  }
  if (Index) *Index = board->index;
  m_Boards.push_back(std::move(board));
  return status;
}

NTSTATUS PnpHarness::StartDevice(size_t Index, PCM_RESOURCE_LIST Translated, PCM_RESOURCE_LIST Raw) {
  std::lock_guard<std::mutex> hold(m_Lock);
  Board* board = Find(Index);
  if (!board || board->state != DeviceState::Added) return STATUS_INVALID_DEVICE_STATE;
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(m_pDescriptor);
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
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(m_pDescriptor);
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
  std::lock_guard<std::mutex> hold(m_Lock);
  Board* board = Find(Index);
  if (!board || board->state != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
  return CallStop(*board);
}

NTSTATUS PnpHarness::CallRemove(Board& board) {
  if (board.state == DeviceState::Started) CallStop(board);
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(m_pDescriptor);
  Request request;
  if (dispatch && dispatch->Remove) dispatch->Remove(&board.ks, &request.irp);
  detail::UnregisterDevice(&board.ks);
  board.state = DeviceState::Removed;
  board.pdo.AttachedDevice = nullptr;
  if (m_Driver.DeviceObject == &board.fdo) {
    m_Driver.DeviceObject = nullptr;
    for (auto& other : m_Boards) {
      if (other->state != DeviceState::Removed) m_Driver.DeviceObject = &other->fdo;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS PnpHarness::RemoveDevice(size_t Index) {
  std::lock_guard<std::mutex> hold(m_Lock);
  Board* board = Find(Index);
  if (!board || board->state == DeviceState::Removed) return STATUS_INVALID_DEVICE_STATE;
  return CallRemove(*board);
}

NTSTATUS PnpHarness::SetDevicePower(size_t Index, DEVICE_POWER_STATE To) {
  std::lock_guard<std::mutex> hold(m_Lock);
  Board* board = Find(Index);
  if (!board || board->state != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
  if (To <= PowerDeviceUnspecified || To >= PowerDeviceMaximum) return STATUS_INVALID_PARAMETER;
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(m_pDescriptor);
  DEVICE_POWER_STATE from = board->ks.DevicePowerState;
  Request request;
  if (dispatch && dispatch->SetPower) dispatch->SetPower(&board->ks, &request.irp, To, from);
  board->ks.DevicePowerState = To;
  return STATUS_SUCCESS;
}

NTSTATUS PnpHarness::QueryCapabilities(size_t Index, PDEVICE_CAPABILITIES Capabilities) {
  std::lock_guard<std::mutex> hold(m_Lock);
  Board* board = Find(Index);
  if (!board || board->state == DeviceState::Removed || !Capabilities) return STATUS_INVALID_DEVICE_STATE;
  BusCapabilities(Index, Capabilities);
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(m_pDescriptor);
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
  std::lock_guard<std::mutex> hold(m_Lock);
  return m_Boards.size();
}

PnpHarness::Board* PnpHarness::Find(size_t Index) const {
  return Index < m_Boards.size() ? m_Boards[Index].get() : nullptr;
}

DeviceState PnpHarness::State(size_t Index) const {
  std::lock_guard<std::mutex> hold(m_Lock);
  Board* board = Find(Index);
  return board ? board->state : DeviceState::Removed;
}

PKSDEVICE PnpHarness::Device(size_t Index) const {
  std::lock_guard<std::mutex> hold(m_Lock);
  Board* board = Find(Index);
  return board && board->state != DeviceState::Removed ? &board->ks : nullptr;
}

AdapterRegistration PnpHarness::Adapter(size_t Index) const {
  std::lock_guard<std::mutex> hold(m_Lock);
  Board* board = Find(Index);
  return board ? board->host.Adapter : AdapterRegistration{};
}

}  // namespace platform::ks
