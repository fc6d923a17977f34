// Property requests as KS makes them: lookup by set and id on filters, pins and nodes,
// the refusals that come before any handler, the value bytes in and out, basic support,
// the built-in sets, and the application's view through the synchronous device control.
#include <gtest/gtest.h>

#include "tests/platform/ks/test_filter.h"

namespace ks_test {
namespace {

constexpr GUID kSet = {0xC0C0C0C0, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kOther = {0xC0C0C0C1, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

struct Seen {
  int calls = 0;
  std::string target;  // "filter", "pin" or "node"
  ULONG in = 0;        // the first value word the handler saw
} g_seen;

NTSTATUS Record(PIRP irp, PKSIDENTIFIER request, PVOID data, const char* kind) {
  g_seen.calls++;
  g_seen.target = KsGetPinFromIrp(irp) ? "pin" : (request->Flags & KSPROPERTY_TYPE_TOPOLOGY ? "node" : "filter");
  EXPECT_NE(KsGetFilterFromIrp(irp), nullptr);
  if (data) std::memcpy(&g_seen.in, data, sizeof(ULONG));
  return STATUS_SUCCESS;
}
NTSTATUS GetWord(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  Record(irp, request, data, "get");
  ULONG v = 0xA0000000u | request->Id;
  std::memcpy(data, &v, sizeof(v));
  return STATUS_SUCCESS;
}
NTSTATUS SetWord(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  Record(irp, request, data, "set");
  std::memset(data, 0xEE, sizeof(ULONG));  // must never reach the caller
  return STATUS_SUCCESS;
}
// Answers fewer bytes than its MinData.
NTSTATUS GetShort(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  Record(irp, request, data, "get");
  std::memset(data, 0x11, 8);
  irp->IoStatus.Information = 2;
  return STATUS_SUCCESS;
}

const KSPROPERTY_STEPPING_LONG kStepping = {1, 0, {{-10, 10}}};
const LONG kDefault = 3;
const KSPROPERTY_MEMBERSLIST kMembers[] = {
    {{KSPROPERTY_MEMBER_RANGES, sizeof(kStepping), 1, 0}, &kStepping},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(kDefault), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &kDefault},
};
const KSPROPERTY_VALUES kValues = {{KSPROPTYPESETID_General, 3 /* VT_I4 */, 0}, 2, kMembers};

KSPROPERTY_ITEM Item(ULONG id, PFNKSHANDLER get, PFNKSHANDLER set, ULONG minProperty, ULONG minData,
                     const KSPROPERTY_VALUES* values = nullptr) {
  KSPROPERTY_ITEM i{};
  i.PropertyId = id;
  i.GetPropertyHandler = get;
  i.SetPropertyHandler = set;
  i.MinProperty = minProperty;
  i.MinData = minData;
  i.Values = values;
  return i;
}
const KSPROPERTY_ITEM kItems[] = {
    Item(1, GetWord, SetWord, sizeof(KSPROPERTY), sizeof(ULONG)),
    Item(2, GetWord, nullptr, sizeof(KSPROPERTY), 8),
    Item(3, nullptr, SetWord, sizeof(KSPROPERTY) + 8, sizeof(ULONG)),
    Item(4, GetWord, SetWord, sizeof(KSPROPERTY), sizeof(ULONG), &kValues),
    Item(5, GetShort, nullptr, sizeof(KSPROPERTY), 8),
};
const KSPROPERTY_SET kSets[] = {{&kSet, 5, kItems, 0, nullptr}};
const KSAUTOMATION_TABLE kTable = {1, sizeof(KSPROPERTY_ITEM), kSets, 0, 0, nullptr, 0, 0, nullptr, nullptr};
const KSPROPERTY_ITEM kNodeItems[] = {Item(9, GetWord, nullptr, sizeof(KSP_NODE), sizeof(ULONG))};
const KSPROPERTY_SET kNodeSets[] = {{&kSet, 1, kNodeItems, 0, nullptr}};
const KSAUTOMATION_TABLE kNodeTable = {1, sizeof(KSPROPERTY_ITEM), kNodeSets, 0, 0, nullptr, 0, 0, nullptr, nullptr};
const KSNODE_DESCRIPTOR kNodes[] = {{&kNodeTable, &KSNODETYPE_ADC, nullptr}, {nullptr, &KSNODETYPE_VOLUME, nullptr}};
const KSTOPOLOGY_CONNECTION kConnections[] = {{KSFILTER_NODE, 1, 0, 0}, {0, 1, 1, 0}, {1, 1, KSFILTER_NODE, 0}};

class PropertyTest : public KsFilterTest {
 protected:
  void SetUp() override {
    KsFilterTest::SetUp();
    g_filter.AutomationTable = &kTable;
    g_filter.NodeDescriptorsCount = 2;
    g_filter.NodeDescriptorSize = sizeof(KSNODE_DESCRIPTOR);
    g_filter.NodeDescriptors = kNodes;
    g_filter.ConnectionsCount = 3;
    g_filter.Connections = kConnections;
    g_pins[0].AutomationTable = &kTable;
    g_seen = Seen{};
    filter = OpenFilter();
    pin = OpenPin(filter);
    TakeTrace();
  }
  // A raw request: the identifier, then `extra` bytes of zero.
  NTSTATUS Raw(HANDLE object, const GUID& set, ULONG id, ULONG flags, ULONG inputLength, void* data, ULONG dataLength,
               ULONG* returned) {
    std::vector<uint8_t> in(std::max<ULONG>(inputLength, sizeof(KSPROPERTY)), 0);
    KSPROPERTY p{set, id, flags};
    std::memcpy(in.data(), &p, sizeof(p));
    return client->DeviceIoControl(object, IOCTL_KS_PROPERTY, in.data(), inputLength, data, dataLength, returned);
  }
  HANDLE filter = nullptr;
  HANDLE pin = nullptr;
};

TEST_F(PropertyTest, RefusalsComeBeforeAnyHandler) {
  struct Case {
    const char* name;
    GUID set;
    ULONG id;
    ULONG flags;
    ULONG inputLength;
    ULONG dataLength;
    NTSTATUS expected;
    ULONG returned;
  };
  const Case cases[] = {
      {"request shorter than an identifier", kSet, 1, KSPROPERTY_TYPE_GET, 23, 4, STATUS_INVALID_BUFFER_SIZE, 0},
      {"unknown set", kOther, 1, KSPROPERTY_TYPE_GET, 24, 4, STATUS_PROPSET_NOT_FOUND, 0},
      {"unknown id", kSet, 77, KSPROPERTY_TYPE_GET, 24, 4, STATUS_NOT_FOUND, 0},
      {"get of a set-only item", kSet, 3, KSPROPERTY_TYPE_GET, 32, 4, STATUS_NOT_FOUND, 0},
      {"set of a get-only item", kSet, 2, KSPROPERTY_TYPE_SET, 24, 8, STATUS_NOT_FOUND, 0},
      {"request below MinProperty", kSet, 3, KSPROPERTY_TYPE_SET, 31, 4, STATUS_INVALID_BUFFER_SIZE, 0},
      {"get with no buffer: the size", kSet, 2, KSPROPERTY_TYPE_GET, 24, 0, STATUS_BUFFER_OVERFLOW, 8},
      {"get below MinData", kSet, 2, KSPROPERTY_TYPE_GET, 24, 7, STATUS_BUFFER_TOO_SMALL, 0},
      {"set below MinData", kSet, 1, KSPROPERTY_TYPE_SET, 24, 3, STATUS_BUFFER_TOO_SMALL, 0},
      {"set with no buffer", kSet, 1, KSPROPERTY_TYPE_SET, 24, 0, STATUS_BUFFER_TOO_SMALL, 0},
      {"get and set at once", kSet, 1, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, 24, 4, STATUS_INVALID_PARAMETER, 0},
      {"no type", kSet, 1, 0, 24, 4, STATUS_INVALID_PARAMETER, 0},
      {"unknown flag", kSet, 1, KSPROPERTY_TYPE_GET | 0x40, 24, 4, STATUS_INVALID_PARAMETER, 0},
      {"node request without its node id", kSet, 9, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY, 24, 4,
       STATUS_INVALID_BUFFER_SIZE, 0},
  };
  for (HANDLE target : {filter, pin}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      uint8_t buffer[16];
      std::memset(buffer, 0x5A, sizeof(buffer));
      ULONG returned = 99;
      EXPECT_EQ(Raw(target, c.set, c.id, c.flags, c.inputLength, buffer, c.dataLength, &returned), c.expected);
      EXPECT_EQ(returned, c.returned);
      EXPECT_EQ(buffer[0], 0x5A);
    }
  }
  EXPECT_EQ(g_seen.calls, 0);
  // A set is supported, whatever its items.
  EXPECT_EQ(Raw(filter, kSet, 77, KSPROPERTY_TYPE_SETSUPPORT, 24, nullptr, 0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Raw(filter, kOther, 0, KSPROPERTY_TYPE_SETSUPPORT, 24, nullptr, 0, nullptr), STATUS_PROPSET_NOT_FOUND);
}

TEST_F(PropertyTest, ValueBytesGoInForBothDirectionsAndComeBackForAGetOnly) {
  ULONG value = 0x12345678;
  ULONG returned = 0;
  ASSERT_EQ(client->SetProperty({filter}, kSet, 1, &value, sizeof(value)), STATUS_SUCCESS);
  EXPECT_EQ(g_seen.in, 0x12345678u);
  EXPECT_EQ(value, 0x12345678u);  // the handler's scribble stayed in the driver's copy
  value = 0xCAFEF00D;
  ASSERT_EQ(client->GetProperty({filter}, kSet, 1, &value, sizeof(value), &returned), STATUS_SUCCESS);
  EXPECT_EQ(g_seen.in, 0xCAFEF00Du);  // a get sees the caller's bytes too
  EXPECT_EQ(value, 0xA0000001u);
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(g_seen.target, "filter");
  // Information defaults to MinData and the handler may lower it: only that much returns.
  uint8_t eight[8];
  std::memset(eight, 0x77, sizeof(eight));
  ASSERT_EQ(client->GetProperty({pin}, kSet, 5, eight, sizeof(eight), &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 2u);
  EXPECT_EQ(eight[1], 0x11);
  EXPECT_EQ(eight[2], 0x77);
  EXPECT_EQ(g_seen.target, "pin");
  // A bigger buffer than MinData: MinData bytes come back.
  uint8_t big[12] = {};
  ASSERT_EQ(client->GetProperty({pin}, kSet, 2, big, sizeof(big), &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 8u);
}

TEST_F(PropertyTest, NodeRequestsGoToTheNodesTable) {
  ULONG value = 0, returned = 0;
  ASSERT_EQ(client->GetProperty({filter, 0}, kSet, 9, &value, sizeof(value), &returned), STATUS_SUCCESS);
  EXPECT_EQ(value, 0xA0000009u);
  EXPECT_EQ(g_seen.target, "node");
  // The filter's items are not the node's, and node 1 has no table; node 2 does not exist.
  EXPECT_EQ(client->GetProperty({filter, 0}, kSet, 1, &value, sizeof(value)), STATUS_NOT_FOUND);
  EXPECT_EQ(client->GetProperty({filter, 1}, kSet, 9, &value, sizeof(value)), STATUS_PROPSET_NOT_FOUND);
  EXPECT_EQ(client->GetProperty({filter, 2}, kSet, 9, &value, sizeof(value)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(client->GetProperty({filter}, kSet, 9, &value, sizeof(value)), STATUS_NOT_FOUND);
}

TEST_F(PropertyTest, BasicSupportAnswersWithAccessDescriptionAndMemberLists) {
  ULONG returned = 0;
  const ULONG full = 40 + 16 + 16 + 16 + 4;
  ASSERT_EQ(client->Property({filter}, kSet, 4, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, 0, nullptr, 0, &returned),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, full);
  ULONG access = 0;
  ASSERT_EQ(client->Property({filter}, kSet, 2, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, 0, &access, 4, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(access, (ULONG)(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET));
  KSPROPERTY_DESCRIPTION d{};
  ASSERT_EQ(client->Property({filter}, kSet, 4, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, 0, &d, sizeof(d), &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, 40u);
  EXPECT_EQ(d.AccessFlags, (ULONG)(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));
  EXPECT_EQ(d.DescriptionSize, full);
  EXPECT_EQ(d.MembersListCount, 2u);
  EXPECT_EQ(d.PropTypeSet.Id, 3u);
  std::vector<uint8_t> all(full);
  ASSERT_EQ(client->Property({filter}, kSet, 4, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, 0, all.data(), full, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, full);
  KSPROPERTY_MEMBERSHEADER h;
  KSPROPERTY_STEPPING_LONG s;
  std::memcpy(&h, all.data() + 40, sizeof(h));
  std::memcpy(&s, all.data() + 56, sizeof(s));
  EXPECT_EQ(h.MembersFlags, (ULONG)KSPROPERTY_MEMBER_RANGES);
  EXPECT_EQ(s.Bounds.SignedMinimum, -10);
  EXPECT_EQ(s.Bounds.SignedMaximum, 10);
  std::memcpy(&h, all.data() + 72, sizeof(h));
  EXPECT_EQ(h.Flags, (ULONG)KSPROPERTY_MEMBER_FLAG_DEFAULT);
  LONG def;
  std::memcpy(&def, all.data() + 88, sizeof(def));
  EXPECT_EQ(def, 3);
  // An item without values: the general type, no lists.
  ASSERT_EQ(client->Property({filter}, kSet, 1, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, 0, &d, sizeof(d), &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(d.DescriptionSize, 40u);
  EXPECT_EQ(d.PropTypeSet.Set, KSPROPTYPESETID_General);
  EXPECT_EQ(d.PropTypeSet.Id, (ULONG)VT_ILLEGAL);
  EXPECT_EQ(g_seen.calls, 0);
}

TEST_F(PropertyTest, BuiltInPinAndTopologySetsDescribeTheFilter) {
  ULONG n = 0, returned = 0;
  ASSERT_EQ(client->GetProperty({filter}, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &n, sizeof(n)), STATUS_SUCCESS);
  EXPECT_EQ(n, 2u);
  auto pinGet = [&](ULONG id, ULONG pinId, void* data, ULONG length) {
    ULONG extra[2] = {pinId, 0};
    return client->Property({filter}, KSPROPSETID_Pin, id, KSPROPERTY_TYPE_GET, extra, sizeof(extra), data, length,
                            &returned);
  };
  ASSERT_EQ(pinGet(KSPROPERTY_PIN_DATAFLOW, 1, &n, 4), STATUS_SUCCESS);
  EXPECT_EQ(n, (ULONG)KSPIN_DATAFLOW_IN);
  ASSERT_EQ(pinGet(KSPROPERTY_PIN_COMMUNICATION, 0, &n, 4), STATUS_SUCCESS);
  EXPECT_EQ(n, (ULONG)KSPIN_COMMUNICATION_BOTH);
  GUID category{};
  ASSERT_EQ(pinGet(KSPROPERTY_PIN_CATEGORY, 0, &category, sizeof(category)), STATUS_SUCCESS);
  EXPECT_EQ(category, PIN_CATEGORY_CAPTURE);
  EXPECT_EQ(pinGet(KSPROPERTY_PIN_DATAFLOW, 2, &n, 4), STATUS_INVALID_PARAMETER);
  // Ranges: the size first, then the list, each range at an 8-byte boundary.
  ASSERT_EQ(pinGet(KSPROPERTY_PIN_DATARANGES, 0, nullptr, 0), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 8u + 3 * 64);
  std::vector<uint8_t> list(returned);
  EXPECT_EQ(pinGet(KSPROPERTY_PIN_DATARANGES, 0, list.data(), returned - 1), STATUS_BUFFER_TOO_SMALL);
  ASSERT_EQ(pinGet(KSPROPERTY_PIN_DATARANGES, 0, list.data(), (ULONG)list.size()), STATUS_SUCCESS);
  KSMULTIPLE_ITEM head;
  std::memcpy(&head, list.data(), sizeof(head));
  EXPECT_EQ(head.Count, 3u);
  EXPECT_EQ(head.Size, 8u + 3 * 64);
  EXPECT_EQ(std::memcmp(list.data() + 8 + 64, &g_range1, 64), 0);
  // Topology: the node types and the connections.
  std::vector<uint8_t> nodes(8 + 2 * 16);
  ASSERT_EQ(client->GetProperty({filter}, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, nodes.data(),
                                (ULONG)nodes.size(), &returned),
            STATUS_SUCCESS);
  GUID second;
  std::memcpy(&second, nodes.data() + 8 + 16, sizeof(second));
  EXPECT_EQ(second, KSNODETYPE_VOLUME);
  std::vector<uint8_t> connections(8 + 3 * 16);
  ASSERT_EQ(client->GetProperty({filter}, KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS, connections.data(),
                                (ULONG)connections.size(), &returned),
            STATUS_SUCCESS);
  KSTOPOLOGY_CONNECTION last;
  std::memcpy(&last, connections.data() + 8 + 32, sizeof(last));
  EXPECT_EQ(last.ToNode, KSFILTER_NODE);
  // The pin's sets are not the filter's, and the other way round.
  EXPECT_EQ(client->GetProperty({filter}, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &n, 4),
            STATUS_PROPSET_NOT_FOUND);
  EXPECT_EQ(client->GetProperty({pin}, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &n, 4), STATUS_PROPSET_NOT_FOUND);
  // The pin's framing, as the descriptor holds it now.
  KSALLOCATOR_FRAMING_EX framing{};
  ASSERT_EQ(client->AllocatorFraming(pin, &framing), STATUS_SUCCESS);
  EXPECT_EQ(framing.FramingItem[0].Frames, 4u);
  EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MaxFrameSize, 4096u);
}

// An intersection handler that answers a 100-byte format, or no match for ranges with
// SampleSize 9.
NTSTATUS Intersect(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE caller, PKSDATARANGE mine, ULONG size,
                   PVOID data, PULONG dataSize) {
  Trace("intersect caller " + std::to_string(caller->SampleSize) + " pin " + std::to_string(mine->SampleSize) +
        " buffer " + std::to_string(size));
  EXPECT_EQ(KsGetFilterFromIrp(irp), context);
  EXPECT_EQ(pin->PinId, 0u);
  if (caller->SampleSize == 9) return STATUS_NO_MATCH;
  *dataSize = 100;
  if (size == 0) return STATUS_BUFFER_OVERFLOW;
  if (size < 100) return STATUS_BUFFER_TOO_SMALL;
  std::memset(data, (int)mine->SampleSize, 100);
  return STATUS_SUCCESS;
}

TEST_F(PropertyTest, IntersectionAsksTheSizeThenTheFormatOfTheFirstMatch) {
  g_pins[0].IntersectHandler = Intersect;
  KSDATARANGE noMatch = MakeRange(kSubA, 9);
  KSDATARANGE other = MakeRange(KSDATAFORMAT_SUBTYPE_PCM, 5);
  KSDATARANGE wanted = MakeRange(kSubA, 7);
  std::vector<uint8_t> format;
  ASSERT_EQ(client->Intersect(filter, 0, {&noMatch, &other, &wanted}, &format), STATUS_SUCCESS);
  ASSERT_EQ(format.size(), 100u);
  EXPECT_EQ(format[99], 1);  // the pin's first range of that sub-format
  EXPECT_EQ(TakeTrace(),
            (std::vector<std::string>{"intersect caller 9 pin 1 buffer 0", "intersect caller 9 pin 2 buffer 0",
                                      "intersect caller 7 pin 1 buffer 0",  // the size
                                      "intersect caller 9 pin 1 buffer 100", "intersect caller 9 pin 2 buffer 100",
                                      "intersect caller 7 pin 1 buffer 100"}));
  EXPECT_EQ(client->Intersect(filter, 0, {&noMatch, &other}, &format), STATUS_NO_MATCH);

  // A caller list whose ranges do not lie inside it is refused before any handler.
  TakeTrace();
  struct Bad {
    const char* name;
    ULONG listSize, count, rangeSize;
  };
  for (const Bad& b :
       {Bad{"list longer than the request", 8 + 64 + 1, 1, 64}, Bad{"range longer than the list", 8 + 64, 1, 65},
        Bad{"range shorter than a head", 8 + 64, 1, 63}, Bad{"more ranges than fit", 8 + 64, 2, 64},
        Bad{"list shorter than its head", 7, 0, 64}}) {
    SCOPED_TRACE(b.name);
    std::vector<uint8_t> request(32 + 8 + 64);
    KSP_PIN p{{KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET}, 0, 0};
    KSMULTIPLE_ITEM head{b.listSize, b.count};
    KSDATARANGE r = MakeRange(kSubA, 7);
    r.FormatSize = b.rangeSize;
    std::memcpy(request.data(), &p, sizeof(p));
    std::memcpy(request.data() + 32, &head, sizeof(head));
    std::memcpy(request.data() + 40, &r, sizeof(r));
    uint8_t out[128];
    ULONG returned = 0;
    EXPECT_EQ(client->DeviceIoControl(filter, IOCTL_KS_PROPERTY, request.data(), (ULONG)request.size(), out,
                                      sizeof(out), &returned),
              STATUS_INVALID_PARAMETER);
  }
  EXPECT_TRUE(TakeTrace().empty());
}

TEST_F(PropertyTest, TheApplicationSeesHResultsBytesReturnedAndAnUntouchedBufferOnFailure) {
  struct Case {
    const char* name;
    GUID set;
    ULONG id;
    ULONG flags;
    ULONG dataLength;
    LONG hresult;
    ULONG bytes;
  };
  const Case cases[] = {
      {"success", kSet, 1, KSPROPERTY_TYPE_GET, 4, 0, 4},
      {"size query", kSet, 2, KSPROPERTY_TYPE_GET, 0, (LONG)0x800700EA, 8},
      {"short buffer", kSet, 2, KSPROPERTY_TYPE_GET, 4, (LONG)0x8007007A, 0},
      {"unknown id", kSet, 50, KSPROPERTY_TYPE_GET, 4, (LONG)0x80070490, 0},
      {"unknown set", kOther, 1, KSPROPERTY_TYPE_GET, 4, (LONG)0x80070492, 0},
      {"bad flags", kSet, 1, 3, 4, (LONG)0x80070057, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KSPROPERTY p{c.set, c.id, c.flags};
    uint8_t buffer[8];
    std::memset(buffer, 0x5A, sizeof(buffer));
    ULONG bytes = 77;
    EXPECT_EQ(client->SynchronousDeviceControl(filter, IOCTL_KS_PROPERTY, &p, sizeof(p), buffer, c.dataLength, &bytes),
              c.hresult);
    EXPECT_EQ(bytes, c.bytes);
    if (c.hresult != 0) {
      EXPECT_EQ(buffer[0], 0x5A);
    }
  }
  KSPROPERTY p{kSet, 1, KSPROPERTY_TYPE_GET};
  ULONG bytes;
  EXPECT_EQ(client->SynchronousDeviceControl(reinterpret_cast<HANDLE>(0x42), IOCTL_KS_PROPERTY, &p, sizeof(p), &bytes,
                                             4, &bytes),
            (LONG)0x80070006);
}

TEST_F(PropertyTest, AFormatChangeOnARunningPinKeepsTheOldFormatWhenRefused) {
  g_behaviour.setDataFormat = [](PKSPIN p, const KSDATARANGE* r) {
    return p->DeviceState == KSSTATE_RUN && r->SampleSize == 0 ? STATUS_INVALID_DEVICE_STATE : STATUS_SUCCESS;
  };
  ASSERT_EQ(client->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  TakeTrace();
  KSDATAFORMAT b = FormatOf(kSubB);
  EXPECT_EQ(client->SetDataFormat(pin, &b), STATUS_INVALID_DEVICE_STATE);
  KSDATAFORMAT now{};
  ULONG returned = 0;
  ASSERT_EQ(client->GetProperty({pin}, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, &now, sizeof(now),
                                &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(now.SubFormat, kSubA);
  KSDATAFORMAT a = FormatOf(kSubA);
  a.SampleSize = 42;
  EXPECT_EQ(client->SetDataFormat(pin, &a), STATUS_SUCCESS);
  ASSERT_EQ(client->GetProperty({pin}, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, &now, sizeof(now),
                                &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(now.SampleSize, 42u);
  EXPECT_EQ(TakeTrace(),
            (std::vector<std::string>{"pin SetDataFormat range 0 (running)", "pin SetDataFormat range 1 (running)"}));
}

}  // namespace
}  // namespace ks_test
