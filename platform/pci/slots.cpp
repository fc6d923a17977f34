// Simulated devices and the slots they plug into: configuration space, window
// placement, the bus-data routine.
#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "platform/pci/internal.h"

using namespace platform::pci;
using namespace platform::pci::detail;

namespace platform::pci {

Device::Device() = default;

Device::~Device() {
  if (slot_) {
    {
      std::lock_guard<std::mutex> l(S().mu);
      FaultLocked("device destroyed while still plugged in");
    }
    // Take the slot away with everything that points at this device, so nothing is left
    // dangling behind the fault.
    ForceUnplug(slot_);
  }
}

void Device::ReadConfig(ULONG offset, void* buffer, ULONG length) {
  auto* out = static_cast<uint8_t*>(buffer);
  for (ULONG k = 0; k < length; ++k) out[k] = offset + k < 256 ? config_[offset + k] : 0xFF;
}

void Device::WriteConfig(ULONG offset, const void* buffer, ULONG length) {
  auto* in = static_cast<const uint8_t*>(buffer);
  for (ULONG k = 0; k < length && offset + k < 256; ++k)
    if (configWritable_[offset + k]) config_[offset + k] = in[k];
}

void Device::SetConfigDword(ULONG offset, ULONG value) { memcpy(&config_[offset & 0xFC], &value, 4); }
ULONG Device::ConfigDword(ULONG offset) const {
  ULONG v;
  memcpy(&v, &config_[offset & 0xFC], 4);
  return v;
}
void Device::SetConfigWritable(ULONG offset, ULONG length, bool writable) {
  for (ULONG k = 0; k < length && offset + k < 256; ++k) configWritable_[offset + k] = writable;
}

void Device::SetWindowLength(unsigned window, ULONG length) {
  if (window < kMaxWindows) windowLength_[window] = length;
}
ULONG Device::WindowLength(unsigned window) const { return window < kMaxWindows ? windowLength_[window] : 0; }

void Device::SetInterruptLine(bool asserted) {
  bool was = line_.exchange(asserted);
  if (asserted) {
    // The device's own thread may raise the line while the driver disconnects (a transfer
    // it started completes late): the interrupt object is woken under the lock under which
    // disconnecting takes it away, so it is never woken once it is being deleted.
    std::lock_guard<std::mutex> l(S().mu);
    SlotInterrupt* si = slot_ ? FindSlotInterrupt(slot_) : nullptr;
    if (si && si->live) Wake(si->live, !was);
  }
  if (asserted) platform::kernel::NoteMachineProgress();
}

bool Device::InterruptLine() const { return line_.load(); }

Slot* PlugIn(Device& device, const SlotOptions& options) {
  // Registered outside the bus lock: the clock calls it holding its own locks.
  static const int clockSource = platform::kernel::AddClockDeadlineSource(InterruptWorkDue);
  (void)clockSource;
  State& s = S();
  std::lock_guard<std::mutex> l(s.mu);
  auto* slot = new Slot;
  slot->device_ = &device;
  slot->options_ = options;
  if (slot->options_.vector == 0) slot->options_.vector = s.nextVector++;
  if (slot->options_.level == 0) slot->options_.level = 8;
  for (unsigned w = 0; w < Device::kMaxWindows; ++w) {
    ULONG len = device.WindowLength(w);
    if (!len) continue;
    uint64_t span = kPage;
    while (span < len) span <<= 1;
    uint64_t base = AlignUp(s.nextMmio, span);
    slot->windowBase_[w] = base;
    s.nextMmio = base + span;
  }
  device.slot_ = slot;
  s.slots.push_back(slot);
  return slot;
}

void Unplug(Slot* slot) {
  if (!slot) return;
  State& s = S();
  {
    std::shared_lock<std::shared_mutex> ml(s.mapMu);
    std::lock_guard<std::mutex> l(s.mu);
    for (auto& m : s.mappings)
      if (m.slot == slot) FaultLocked("slot unplugged with window %u still mapped", m.window);
    if (SlotInterrupt* si = FindSlotInterrupt(slot); si && si->live)
      FaultLocked("slot unplugged with its interrupt still connected");
  }
  std::lock_guard<std::mutex> l(s.mu);
  auto& v = SlotInterrupts();
  v.erase(std::remove_if(v.begin(), v.end(), [&](const SlotInterrupt& x) { return x.slot == slot; }), v.end());
  s.slots.erase(std::remove(s.slots.begin(), s.slots.end(), slot), s.slots.end());
  slot->device_->slot_ = nullptr;
  delete slot;
}

void ForceUnplug(Slot* slot) {
  State& s = S();
  KINTERRUPT* live = nullptr;
  {
    std::lock_guard<std::mutex> l(s.mu);
    if (SlotInterrupt* si = FindSlotInterrupt(slot)) live = si->live;
  }
  if (live) IoDisconnectInterrupt(live);
  {
    std::unique_lock<std::shared_mutex> ml(s.mapMu);
    for (auto it = s.mappings.begin(); it != s.mappings.end();) {
      if (it->slot == slot) {
        munmap(reinterpret_cast<void*>(it->va), it->reserved);
        it = s.mappings.erase(it);
      } else {
        ++it;
      }
    }
  }
  std::lock_guard<std::mutex> l(s.mu);
  auto& v = SlotInterrupts();
  v.erase(std::remove_if(v.begin(), v.end(), [&](const SlotInterrupt& x) { return x.slot == slot; }), v.end());
  s.slots.erase(std::remove(s.slots.begin(), s.slots.end(), slot), s.slots.end());
  slot->device_->slot_ = nullptr;
  delete slot;
}

ULONG BusData(PVOID context, ULONG dataType, PVOID buffer, ULONG offset, ULONG length, BOOLEAN write) {
  auto* slot = static_cast<Slot*>(context);
  if (!slot || dataType != 0 /* PCI_WHICHSPACE_CONFIG */ || offset >= 256) return 0;
  ULONG n = std::min<ULONG>(length, 256 - offset);
  if (write)
    slot->device().WriteConfig(offset, buffer, n);
  else
    slot->device().ReadConfig(offset, buffer, n);
  return n;
}

}  // namespace platform::pci
