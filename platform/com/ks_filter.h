// A capture filter of the running driver as the streaming proxy meets it: the filter is
// opened through the KS layer's client, as an application's graph opens it, and every
// property request on the proxy's handle goes through the client's device control into
// the KS property dispatch of the driver. Host code only.
#pragma once

#include <vector>

#include "platform/com/com_host.h"
#include "platform/ks/client.h"

namespace platform::com {

// What stands behind the proxy's handle: one filter handle of a KS client.
class KsFilterEndpoint final : public PropertyEndpoint {
 public:
  // `client` opened `filter` from `listing`; both outlive the endpoint.
  KsFilterEndpoint(platform::ks::KsClient* client, HANDLE filter, const platform::ks::FilterListing& listing)
      : client_(client), filter_(filter) {
    const KSAUTOMATION_TABLE* table = listing.Descriptor ? listing.Descriptor->AutomationTable : nullptr;
    if (table)
      for (ULONG i = 0; i < table->PropertySetsCount; ++i)
        if (table->PropertySets[i].Set) sets_.push_back(*table->PropertySets[i].Set);
  }

  std::vector<GUID> PropertySets() override { return sets_; }

  // The request as the I/O manager hands it to KS: the KSPROPERTY as the input buffer,
  // the value buffer as the output buffer, and the kernel's status back.
  NTSTATUS Property(const KSPROPERTY& property, void* data, ULONG length, ULONG* returned) override {
    ++requests_;
    if (!client_) return STATUS_INVALID_HANDLE;
    KSPROPERTY request = property;
    return client_->DeviceIoControl(filter_, IOCTL_KS_PROPERTY, &request, sizeof request, data, length, returned);
  }

  HANDLE filter() const { return filter_; }
  // The handle was closed: later requests fail as on a closed handle.
  void Detach() { client_ = nullptr; }
  // Requests carried so far.
  size_t requests() const { return requests_; }

 private:
  platform::ks::KsClient* client_;
  HANDLE filter_;
  std::vector<GUID> sets_;
  size_t requests_ = 0;
};

// A filter opened by an application and its proxy object (with the interface handlers
// installed for its property sets aggregated). Close releases the proxy, then closes
// the filter handle.
class KsFilterProxy {
 public:
  KsFilterProxy() = default;
  ~KsFilterProxy() { Close(); }
  KsFilterProxy(const KsFilterProxy&) = delete;
  KsFilterProxy& operator=(const KsFilterProxy&) = delete;

  NTSTATUS Open(platform::ks::KsClient* client, const platform::ks::FilterListing& listing) {
    Close();
    HANDLE filter = nullptr;
    NTSTATUS status = client->OpenFilter(listing, &filter);
    if (!NT_SUCCESS(status)) return status;
    client_ = client;
    endpoint_ = new KsFilterEndpoint(client, filter, listing);
    proxy_ = CreateFilterProxy(endpoint_);
    return STATUS_SUCCESS;
  }
  // Returns the references to the proxy still held elsewhere (0 when all let go). The
  // handle closes either way; a proxy someone still holds keeps its endpoint, which
  // then fails every request.
  ULONG Close() {
    ULONG left = proxy_ ? proxy_->Release() : 0;
    proxy_ = nullptr;
    if (endpoint_) {
      client_->Close(endpoint_->filter());
      if (left == 0)
        delete endpoint_;
      else
        endpoint_->Detach();
    }
    endpoint_ = nullptr;
    client_ = nullptr;
    return left;
  }

  // The proxy object (the caller takes no reference by asking).
  IUnknown* object() const { return proxy_; }
  HANDLE filter() const { return endpoint_ ? endpoint_->filter() : nullptr; }
  const KsFilterEndpoint* endpoint() const { return endpoint_; }

 private:
  platform::ks::KsClient* client_ = nullptr;
  KsFilterEndpoint* endpoint_ = nullptr;
  IUnknown* proxy_ = nullptr;
};

}  // namespace platform::com
