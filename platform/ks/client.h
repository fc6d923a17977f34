// The application's side of Kernel Streaming: what a program sees of the devices the
// class driver serves. Device interfaces are listed by category, each with its symbolic
// link and its reference string (the text of the filter's reference GUID).
#pragma once

#include <string>
#include <vector>

#include "platform/ks/ks.h"

namespace platform::ks {

struct FilterListing {
  std::u16string SymbolicLink;
  GUID Category;
  GUID ReferenceGuid;  // GUID_NULL when the descriptor has none
  std::u16string ReferenceString;
  PKSDEVICE Device;
  const KSFILTER_DESCRIPTOR* Descriptor;
};

struct PinlessListing {
  std::u16string SymbolicLink;
  GUID Category;
  PKSDEVICE Device;
  std::vector<BOOL> PinDirections;  // TRUE: output
  std::vector<KSPIN_MEDIUM> Mediums;
};

class KsClient {
 public:
  // Every enabled device interface of the category, device by device in the order the
  // devices were added, factories in creation order.
  std::vector<FilterListing> ListFilters(const GUID& Category) const;
  // The filters declared without KS pins under the category, with their mediums.
  std::vector<PinlessListing> ListPinlessFilters(const GUID& Category) const;
};

}  // namespace platform::ks
