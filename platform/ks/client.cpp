// The application's view of the devices: their interfaces by category.
#include "platform/ks/client.h"

#include "platform/ks/ks_internal.h"

namespace platform::ks {
namespace {

// "\\?\ks#device<n>#{category}\<reference>", n the board's host instance.
std::u16string LinkOf(PKSDEVICE device, const GUID& category, const std::u16string& reference) {
  std::string head = "\\\\?\\ks#device" + std::to_string(device->FunctionalDeviceObject->HostInstance) + "#";
  std::u16string link(head.begin(), head.end());
  link += GuidText16(category);
  if (!reference.empty()) link += u"\\" + reference;
  return link;
}

GUID ParseGuid(const std::u16string& text) {
  GUID g = GUID_NULL;
  if (text.size() != 38 || text[0] != u'{') return g;
  std::string s(text.begin(), text.end());
  unsigned d1, d2, d3, b[8];
  if (std::sscanf(s.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                  &b[4], &b[5], &b[6], &b[7]) != 11)
    return g;
  g.Data1 = d1;
  g.Data2 = (USHORT)d2;
  g.Data3 = (USHORT)d3;
  for (int i = 0; i < 8; i++) g.Data4[i] = (UCHAR)b[i];
  return g;
}

}  // namespace

std::vector<FilterListing> KsClient::ListFilters(const GUID& Category) const {
  detail::Registry& r = detail::TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  std::vector<FilterListing> list;
  for (auto& [device, host] : detail::DevicesInOrder(r)) {
    for (const auto& f : host->Factories) {
      for (const GUID& c : f->Categories) {
        if (c != Category) continue;
        list.push_back(FilterListing{LinkOf(device, c, f->ReferenceString), c, ParseGuid(f->ReferenceString),
                                     f->ReferenceString, device, f->Public.FilterDescriptor});
      }
    }
  }
  return list;
}

std::vector<PinlessListing> KsClient::ListPinlessFilters(const GUID& Category) const {
  detail::Registry& r = detail::TheRegistry();
  std::lock_guard<std::mutex> hold(r.lock);
  std::vector<PinlessListing> list;
  for (auto& [device, host] : detail::DevicesInOrder(r)) {
    for (const PinlessRecord& p : host->Pinless) {
      if (p.Category != Category) continue;
      PinlessListing l{LinkOf(device, Category, u""), Category, device, {}, {}};
      for (const PinlessPin& pin : p.Pins) {
        l.PinDirections.push_back(pin.Output ? TRUE : FALSE);
        l.Mediums.push_back(pin.Medium);
      }
      list.push_back(l);
    }
  }
  return list;
}

}  // namespace platform::ks
