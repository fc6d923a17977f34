// The KS class driver's controls for the host: fault injection, object bags for the
// objects KS creates, and a look at what a device registered. Never included by the
// system's code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ks/ks.h"

namespace platform::ks {

// Makes the nth KsCreateFilterFactory call from now fail with Status (1 = the next one).
void FailNthFilterFactory(uint64_t n, NTSTATUS Status = STATUS_INSUFFICIENT_RESOURCES);
// Makes the nth _KsEdit call from now fail (1 = the next one); with Tag, counts only
// edits with that tag.
void FailNthKsEdit(uint64_t n, ULONG Tag = 0);
// Makes the nth KsStreamPointerClone call from now fail (1 = the next one).
void FailNthStreamPointerClone(uint64_t n);
void ClearKsFaults();
// Holds every pin's processing thread before it takes its next request (true), as on a
// machine too busy to run it, and lets them go again (false).
void HoldProcessingThreads(bool Hold);

// Bags for the objects KS creates (filters, pins). Freeing a bag frees its items.
KSOBJECT_BAG CreateObjectBag();
void FreeObjectBag(KSOBJECT_BAG Bag);
size_t ObjectBagItemCount(KSOBJECT_BAG Bag);
bool ObjectBagContains(KSOBJECT_BAG Bag, const void* Item);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case, as the reference strings carry it.
std::string GuidText(const GUID& Guid);
std::u16string GuidText16(const GUID& Guid);

// A factory as its device holds it, in creation order.
struct FactoryRecord {
  const KSFILTER_DESCRIPTOR* Descriptor;  // by address: the current content
  std::u16string ReferenceString;
  std::vector<GUID> Categories;  // the interfaces registered at creation
};
std::vector<FactoryRecord> FactoriesOf(PKSDEVICE Device);

// A filter declared without KS pins.
struct PinlessPin {
  bool Output;
  KSPIN_MEDIUM Medium;
};
struct PinlessRecord {
  GUID Category;
  std::vector<PinlessPin> Pins;
};
std::vector<PinlessRecord> PinlessFiltersOf(PKSDEVICE Device);

}  // namespace platform::ks
