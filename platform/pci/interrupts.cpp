// Interrupt connections: the service routine under the interrupt lock, delivery on the
// machine's threads or by the test's hand, and the records of each slot's connection.
#include <chrono>

#include "platform/pci/internal.h"

using namespace platform::pci;
using namespace platform::pci::detail;

namespace platform::pci::detail {

std::vector<SlotInterrupt>& SlotInterrupts() {
  static auto* v = new std::vector<SlotInterrupt>;
  return *v;
}
SlotInterrupt* FindSlotInterrupt(const Slot* slot) {
  for (auto& s : SlotInterrupts())
    if (s.slot == slot) return &s;
  return nullptr;
}

}  // namespace platform::pci::detail

namespace platform::pci {
namespace {

bool Pending(KINTERRUPT* i) {
  if (i->record.mode == Latched) return i->edgePending;
  return i->slot->device().InterruptLine();
}

std::atomic<int> g_inService{0};

// Runs the service routine under the interrupt lock at the connection's level. The
// caller has counted it in service (g_inService); it ends the count.
bool CallServiceRoutine(KINTERRUPT* i) {
  struct Done {
    ~Done() {
      g_inService.fetch_sub(1);
      // Its work is done (or refused): the jumping clock, held while it ran, may move on.
      platform::kernel::NoteMachineProgress();
    }
  } done;
  std::lock_guard<std::mutex> l(i->lock);
  // Counted before the routine runs: it acknowledges the device, and whoever sees the
  // line go low must find the delivery counted.
  i->deliveries++;
  KIRQL old;
  KeRaiseIrql(i->record.irql, &old);
  BOOLEAN handled = i->routine(i, i->context);
  KeLowerIrql(old);
  if (!handled) i->refusals++;
  return handled != FALSE;
}

void DeliveryThread(KINTERRUPT* i) {
  machine_link::NameThread("interrupt");
  for (;;) {
    {
      std::unique_lock<std::mutex> l(i->wakeMu);
      i->wake.wait(l, [&] { return i->stop || Pending(i); });
      if (i->stop) return;
      // In service before the latched edge is taken, so the jumping test clock never
      // sees an interrupt that is neither pending nor in service.
      g_inService.fetch_add(1);
      if (i->record.mode == Latched) i->edgePending = false;
    }
    bool handled = CallServiceRoutine(i);
    if (!handled && i->record.mode == LevelSensitive) {
      // Refused while still asserted (the driver's gate is closed until its deferred
      // call ends): a level line fires again, so try again shortly.
      std::unique_lock<std::mutex> l(i->wakeMu);
      i->wake.wait_for(l, std::chrono::microseconds(50), [&] { return i->stop; });
    }
  }
}

}  // namespace
}  // namespace platform::pci

namespace platform::pci::detail {

// For the jumping test clock: an interrupt on its way to, or inside, its service
// routine is work in flight (answers 0, a time already come), else nothing is due (-1).
LONGLONG InterruptWorkDue() {
  // Pending first: an interrupt counts as in service before it stops being pending, so
  // one that moves on between the two looks is still seen.
  {
    std::lock_guard<std::mutex> l(S().mu);
    for (auto& si : SlotInterrupts()) {
      KINTERRUPT* i = si.live;
      if (!i || !i->thread.joinable()) continue;  // no delivery without its thread
      std::lock_guard<std::mutex> w(i->wakeMu);
      if (Pending(i)) return 0;
    }
  }
  return g_inService.load() ? 0 : -1;
}

void Wake(KINTERRUPT* i, bool risingEdge) {
  {
    std::lock_guard<std::mutex> l(i->wakeMu);
    if (risingEdge) i->edgePending = true;
  }
  i->wake.notify_all();
}

}  // namespace platform::pci::detail

namespace platform::pci {

ConnectionRecord ConnectionOf(const Slot* slot) {
  std::lock_guard<std::mutex> l(S().mu);
  SlotInterrupt* si = FindSlotInterrupt(slot);
  return si ? si->last : ConnectionRecord{};
}

bool Connected(const Slot* slot) {
  std::lock_guard<std::mutex> l(S().mu);
  SlotInterrupt* si = FindSlotInterrupt(slot);
  return si && si->live;
}

unsigned SynchronizeCount(const Slot* slot) {
  std::lock_guard<std::mutex> l(S().mu);
  SlotInterrupt* si = FindSlotInterrupt(slot);
  if (!si) return 0;
  return si->live ? si->live->synchronizations.load() : si->synchronizations;
}

unsigned Deliveries(const Slot* slot) {
  std::lock_guard<std::mutex> l(S().mu);
  SlotInterrupt* si = FindSlotInterrupt(slot);
  if (!si) return 0;
  return si->live ? si->live->deliveries.load() : si->deliveries;
}

unsigned Refusals(const Slot* slot) {
  std::lock_guard<std::mutex> l(S().mu);
  SlotInterrupt* si = FindSlotInterrupt(slot);
  if (!si) return 0;
  return si->live ? si->live->refusals.load() : si->refusals;
}

bool Service(Slot* slot) {
  KINTERRUPT* live = nullptr;
  {
    std::lock_guard<std::mutex> l(S().mu);
    if (SlotInterrupt* si = FindSlotInterrupt(slot)) live = si->live;
  }
  if (!live) return false;
  {
    std::lock_guard<std::mutex> l(live->wakeMu);
    if (!Pending(live)) return false;
    g_inService.fetch_add(1);
    if (live->record.mode == Latched) live->edgePending = false;
  }
  return CallServiceRoutine(live);
}

}  // namespace platform::pci

NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine, PVOID ServiceContext,
                            PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql, KIRQL SynchronizeIrql,
                            KINTERRUPT_MODE InterruptMode, BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                            BOOLEAN FloatingSave) {
  State& s = S();
  KINTERRUPT* i = nullptr;
  {
    std::lock_guard<std::mutex> l(s.mu);
    NTSTATUS failure = STATUS_SUCCESS;
    if (ShouldFail(Operation::kConnectInterrupt, &failure)) return failure;
    if (!InterruptObject || !ServiceRoutine) return STATUS_INVALID_PARAMETER;
    Slot* slot = nullptr;
    for (Slot* x : s.slots)
      if (x->vector() == Vector) slot = x;
    if (!slot) return STATUS_INVALID_PARAMETER;
    SlotInterrupt* si = FindSlotInterrupt(slot);
    if (si && si->live) return STATUS_INVALID_PARAMETER;
    if (!si) {
      SlotInterrupts().push_back(SlotInterrupt{slot, nullptr, {}, 0, 0, 0});
      si = &SlotInterrupts().back();
    }
    i = new KINTERRUPT;
    i->routine = ServiceRoutine;
    i->context = ServiceContext;
    i->slot = slot;
    i->record = ConnectionRecord{slot,
                                 Vector,
                                 Irql,
                                 SynchronizeIrql,
                                 InterruptMode,
                                 ShareVector != FALSE,
                                 ProcessorEnableMask,
                                 FloatingSave != FALSE,
                                 SpinLock != nullptr};
    // A latched line that is already up counts as one edge.
    i->edgePending = slot->device().InterruptLine();
    si->live = i;
    si->last = i->record;
  }
  if (machine_link::Threaded()) i->thread = std::thread(DeliveryThread, i);
  *InterruptObject = i;
  return STATUS_SUCCESS;
}

VOID IoDisconnectInterrupt(PKINTERRUPT InterruptObject) {
  State& s = S();
  if (!InterruptObject) return;
  {
    std::lock_guard<std::mutex> l(s.mu);
    SlotInterrupt* si = nullptr;
    for (auto& x : SlotInterrupts())
      if (x.live == InterruptObject) si = &x;
    if (!si) {
      FaultLocked("IoDisconnectInterrupt(%p): not connected", (void*)InterruptObject);
      return;
    }
    si->live = nullptr;
    si->deliveries = InterruptObject->deliveries;
    si->refusals = InterruptObject->refusals;
    si->synchronizations = InterruptObject->synchronizations;
  }
  {
    std::lock_guard<std::mutex> l(InterruptObject->wakeMu);
    InterruptObject->stop = true;
  }
  InterruptObject->wake.notify_all();
  if (InterruptObject->thread.joinable()) InterruptObject->thread.join();
  // Wait out a service routine another thread may be running by hand.
  { std::lock_guard<std::mutex> l(InterruptObject->lock); }
  delete InterruptObject;
}

BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                               PVOID SynchronizeContext) {
  std::lock_guard<std::mutex> l(Interrupt->lock);
  Interrupt->synchronizations++;
  KIRQL old;
  KeRaiseIrql(Interrupt->record.synchronizeIrql, &old);
  BOOLEAN r = SynchronizeRoutine(SynchronizeContext);
  KeLowerIrql(old);
  return r;
}
