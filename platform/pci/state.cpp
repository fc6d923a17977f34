// The PCI side's state: its lock, fault injection and reporting, accounting, the records
// of what the driver asked for, and the reset to the start state.
#include <sys/mman.h>

#include <cstdarg>
#include <cstdio>

#include "platform/pci/internal.h"

using namespace platform::pci;
using namespace platform::pci::detail;

namespace platform::pci::detail {

State& S() {
  static State* s = new State;
  return *s;
}

Injection& Inj(Operation op) { return S().injections[(int)op]; }

bool ShouldFail(Operation op, NTSTATUS* status) {
  Injection& i = Inj(op);
  ++i.total;
  if (i.failAt == 0) return false;
  ++i.calls;
  bool fail = i.persistent ? i.calls >= i.failAt : i.calls == i.failAt;
  if (fail && status) *status = i.status;
  if (!i.persistent && i.calls >= i.failAt) i.failAt = 0;
  return fail;
}

void FaultLocked(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  S().faults.emplace_back(buf);
  machine_link::ReportFault(buf);
}

}  // namespace platform::pci::detail

namespace platform::pci {
namespace {

const char* KindName(Allocation::Kind k) { return k == Allocation::kContiguous ? "contiguous" : "common buffer"; }

}  // namespace

Accounting CurrentAccounting() {
  State& s = S();
  Accounting a;
  {
    std::shared_lock<std::shared_mutex> ml(s.mapMu);
    a.mappings = s.mappings.size();
  }
  std::lock_guard<std::mutex> l(s.mu);
  for (auto& [p, b] : s.blocks) {
    if (b.kind == Allocation::kContiguous) {
      a.contiguousBlocks++;
      a.contiguousBytes += b.size;
    } else {
      a.commonBuffers++;
      a.commonBufferBytes += b.size;
    }
  }
  a.adapters = s.adapters.size();
  for (auto& si : SlotInterrupts())
    if (si.live) a.interrupts++;
  return a;
}

std::vector<std::string> Outstanding() {
  State& s = S();
  std::vector<std::string> out;
  char buf[160];
  {
    std::shared_lock<std::shared_mutex> ml(s.mapMu);
    for (auto& m : s.mappings) {
      snprintf(buf, sizeof buf, "mapping of window %u (%zu bytes)", m.window, m.length);
      out.emplace_back(buf);
    }
  }
  std::lock_guard<std::mutex> l(s.mu);
  for (auto& [p, b] : s.blocks) {
    snprintf(buf, sizeof buf, "%s of %zu bytes at physical 0x%llx", KindName(b.kind), b.size,
             (unsigned long long)b.physical);
    out.emplace_back(buf);
  }
  for (size_t k = 0; k < s.adapters.size(); ++k) out.emplace_back("DMA adapter");
  for (auto& si : SlotInterrupts())
    if (si.live) out.emplace_back("connected interrupt");
  return out;
}

// ---------------------------------------------------------------------------------------
// Fault injection and records.

void InjectFailure(Operation op, unsigned nth, bool persistent, NTSTATUS status) {
  std::lock_guard<std::mutex> l(S().mu);
  Injection& i = Inj(op);
  i.calls = 0;
  i.failAt = nth;
  i.persistent = persistent;
  i.status = status;
}

void ClearInjectedFailures() {
  std::lock_guard<std::mutex> l(S().mu);
  for (auto& i : S().injections) {
    i.failAt = 0;
    i.calls = 0;
  }
}

unsigned CallCount(Operation op) {
  std::lock_guard<std::mutex> l(S().mu);
  return Inj(op).total;
}

std::vector<AdapterRecord> AdapterRequests() {
  std::lock_guard<std::mutex> l(S().mu);
  return S().adapterRequests;
}

std::vector<std::string> Faults() {
  std::lock_guard<std::mutex> l(S().mu);
  return S().faults;
}

void ClearFaults() {
  std::lock_guard<std::mutex> l(S().mu);
  S().faults.clear();
}

void Reset() {
  State& s = S();
  std::vector<KINTERRUPT*> live;
  {
    std::lock_guard<std::mutex> l(s.mu);
    for (auto& si : SlotInterrupts())
      if (si.live) live.push_back(si.live);
  }
  for (KINTERRUPT* i : live) IoDisconnectInterrupt(i);
  {
    std::unique_lock<std::shared_mutex> ml(s.mapMu);
    for (auto& m : s.mappings) munmap(reinterpret_cast<void*>(m.va), m.reserved);
    s.mappings.clear();
  }
  std::lock_guard<std::mutex> l(s.mu);
  for (auto& [p, b] : s.blocks) munmap(b.va, b.rounded);
  s.blocks.clear();
  s.adapters.clear();
  s.adapterRequests.clear();
  for (auto& i : s.injections) i = Injection{};
  s.ranges = {kDefaultRange};
  s.highMemory = false;
  s.faults.clear();
  SlotInterrupts().clear();
  for (Slot* slot : s.slots) {
    slot->device_->slot_ = nullptr;
    delete slot;
  }
  s.slots.clear();
  s.nextMmio = kMmioBase;
  s.nextVector = 0x80;
}

}  // namespace platform::pci
