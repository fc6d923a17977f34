// Object bags and copy-on-write edits. Items come from the kernel's pool under the
// caller's tag, so the pool's counters see every edited copy until its object goes.
#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/ks/ks_internal.h"

namespace platform::ks {
namespace {

struct Bag {
  std::mutex lock;
  std::vector<std::pair<PVOID, ULONG>> items;  // block, tag
};

struct EditFaults {
  std::mutex lock;
  uint64_t countdown = 0;
  ULONG tag = 0;
};
EditFaults g_editFaults;

bool EditFaultFires(ULONG tag) {
  std::lock_guard<std::mutex> hold(g_editFaults.lock);
  if (g_editFaults.countdown == 0) return false;
  if (g_editFaults.tag && g_editFaults.tag != tag) return false;
  return --g_editFaults.countdown == 0;
}

}  // namespace

namespace detail {
void ClearFactoryFaults();
}

void FailNthKsEdit(uint64_t n, ULONG Tag) {
  std::lock_guard<std::mutex> hold(g_editFaults.lock);
  g_editFaults.countdown = n;
  g_editFaults.tag = Tag;
}

void ClearKsFaults() {
  {
    std::lock_guard<std::mutex> hold(g_editFaults.lock);
    g_editFaults.countdown = 0;
    g_editFaults.tag = 0;
  }
  detail::ClearFactoryFaults();
  FailNthStreamPointerClone(0);
  HoldProcessingThreads(false);
}

KSOBJECT_BAG CreateObjectBag() { return new Bag(); }

void FreeObjectBag(KSOBJECT_BAG ObjectBag) {
  Bag* bag = static_cast<Bag*>(ObjectBag);
  if (!bag) return;
  for (auto& [block, tag] : bag->items) ExFreePoolWithTag(block, tag);
  delete bag;
}

size_t ObjectBagItemCount(KSOBJECT_BAG ObjectBag) {
  Bag* bag = static_cast<Bag*>(ObjectBag);
  if (!bag) return 0;
  std::lock_guard<std::mutex> hold(bag->lock);
  return bag->items.size();
}

bool ObjectBagContains(KSOBJECT_BAG ObjectBag, const void* Item) {
  Bag* bag = static_cast<Bag*>(ObjectBag);
  if (!bag) return false;
  std::lock_guard<std::mutex> hold(bag->lock);
  return std::any_of(bag->items.begin(), bag->items.end(), [&](const auto& i) { return i.first == Item; });
}

}  // namespace platform::ks

using namespace platform::ks;

NTSTATUS _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointer, ULONG NewSize, ULONG OldSize, ULONG Tag) {
  Bag* bag = static_cast<Bag*>(ObjectBag);
  if (!bag || !PointerToPointer || NewSize == 0) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(bag->lock);
  PVOID old = *PointerToPointer;
  auto owned = std::find_if(bag->items.begin(), bag->items.end(), [&](const auto& i) { return i.first == old; });
  if (owned != bag->items.end() && NewSize <= OldSize) return STATUS_SUCCESS;
  if (EditFaultFires(Tag)) return STATUS_INSUFFICIENT_RESOURCES;
  PVOID copy = ExAllocatePoolWithTag(NonPagedPool, NewSize, Tag);
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(copy, NewSize);
  if (old) RtlCopyMemory(copy, old, std::min(NewSize, OldSize));
  if (owned != bag->items.end()) {
    // Grown: the old private copy goes, the new one takes its place.
    ExFreePoolWithTag(owned->first, owned->second);
    *owned = {copy, Tag};
  } else {
    bag->items.push_back({copy, Tag});
  }
  *PointerToPointer = copy;
  return STATUS_SUCCESS;
}
