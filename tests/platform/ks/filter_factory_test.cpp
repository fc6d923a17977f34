// Filter factories, device interfaces by category, pinless declarations, object bags and
// copy-on-write edits, against a minidriver that creates what each test asks for.
#include "platform/ks/client.h"
#include "platform/ks/harness.h"
#include "platform/ks/host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "platform/kernel/machine.h"

namespace {

namespace pk = platform::kernel;
namespace ks = platform::ks;
using platform::ks::KsClient;
using platform::ks::PnpHarness;

const GUID kRefA = {0x11111111, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB}};
const GUID kRefB = {0x11111111, 0x2222, 0x3333, {0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBC}};
const GUID kVideoCats[] = {KSCATEGORY_CAPTURE, KSCATEGORY_VIDEO};
KSFILTER_DESCRIPTOR g_descA;
KSFILTER_DESCRIPTOR g_descB;

// What the test's driver does at Start.
std::function<NTSTATUS(PKSDEVICE)> g_onStart;

NTSTATUS OnStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  return g_onStart ? g_onStart(device) : STATUS_SUCCESS;
}
KSDEVICE_DISPATCH MakeDispatch() {
  KSDEVICE_DISPATCH d{};
  d.Start = OnStart;
  return d;
}
const KSDEVICE_DISPATCH kDispatch = MakeDispatch();
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr};
NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) { return KsInitializeDriver(driver, path, &kDescriptor); }

NTSTATUS Create(PKSDEVICE device, const KSFILTER_DESCRIPTOR* d) {
  return KsCreateFilterFactory(device->FunctionalDeviceObject, d, nullptr, nullptr, 0, nullptr, nullptr, nullptr);
}

class FilterFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pk::ResetMachine();
    ks::ClearKsFaults();
    g_descA = KSFILTER_DESCRIPTOR{};
    g_descA.Version = KSFILTER_DESCRIPTOR_VERSION;
    g_descA.ReferenceGuid = &kRefA;
    g_descA.CategoriesCount = 2;
    g_descA.Categories = kVideoCats;
    g_descB = g_descA;
    g_descB.ReferenceGuid = &kRefB;
    g_descB.CategoriesCount = 1;
    g_onStart = nullptr;
    ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  }
  void TearDown() override {
    ks::ClearKsFaults();
    g_onStart = nullptr;
    for (const auto& f : pk::TakeVerifierFailures()) ADD_FAILURE() << pk::FormatVerifierFailure(f);
  }
  size_t Board() {
    size_t index = 0;
    EXPECT_EQ(harness.AddDevice(nullptr, nullptr, &index), STATUS_SUCCESS);
    return index;
  }
  PnpHarness harness{Entry};
  KsClient client;
};

TEST_F(FilterFactoryTest, InterfacesPerCategoryCarryTheReferenceGuidTextAndFollowTheDescriptor) {
  g_onStart = [](PKSDEVICE d) {
    EXPECT_EQ(Create(d, &g_descA), STATUS_SUCCESS);
    return Create(d, &g_descB);
  };
  size_t b0 = Board(), b1 = Board();
  ASSERT_EQ(harness.StartDevice(b0, nullptr, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(harness.StartDevice(b1, nullptr, nullptr), STATUS_SUCCESS);

  auto capture = client.ListFilters(KSCATEGORY_CAPTURE);
  ASSERT_EQ(capture.size(), 4u);
  EXPECT_EQ(capture[0].Device, harness.Device(b0));
  EXPECT_EQ(capture[2].Device, harness.Device(b1));
  EXPECT_EQ(capture[0].ReferenceGuid, kRefA);
  EXPECT_EQ(capture[1].ReferenceGuid, kRefB);
  EXPECT_EQ(capture[0].ReferenceString, u"{11111111-2222-3333-4455-66778899AABB}");
  EXPECT_EQ(capture[1].SymbolicLink,
            u"\\\\?\\ks#device0#{65E8773D-8F56-11D0-A3B9-00A0C9223196}\\{11111111-2222-3333-4455-66778899AABC}");
  EXPECT_EQ(capture[3].SymbolicLink.substr(0, 14), u"\\\\?\\ks#device1");
  auto video = client.ListFilters(KSCATEGORY_VIDEO);
  ASSERT_EQ(video.size(), 2u);  // only A lists the video category
  EXPECT_EQ(video[0].ReferenceGuid, kRefA);

  // The factory holds the descriptor's address: an edit after creation is what it shows;
  // the interfaces stay those registered at creation.
  EXPECT_EQ(capture[0].Descriptor, &g_descA);
  g_descA.PinDescriptorsCount = 7;
  g_descA.CategoriesCount = 1;
  EXPECT_EQ(client.ListFilters(KSCATEGORY_CAPTURE)[0].Descriptor->PinDescriptorsCount, 7u);
  EXPECT_EQ(client.ListFilters(KSCATEGORY_VIDEO).size(), 2u);
  EXPECT_EQ(ks::FactoriesOf(harness.Device(b0)).size(), 2u);

  // Stop takes the device's factories away; a new Start brings its own.
  ASSERT_EQ(harness.StopDevice(b0), STATUS_SUCCESS);
  EXPECT_TRUE(ks::FactoriesOf(harness.Device(b0)).empty());
  EXPECT_EQ(client.ListFilters(KSCATEGORY_CAPTURE).size(), 2u);
  ASSERT_EQ(harness.StartDevice(b0, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(client.ListFilters(KSCATEGORY_CAPTURE).size(), 4u);
  EXPECT_EQ(client.ListFilters(KSCATEGORY_VIDEO).size(), 1u);  // board 0's A now registers capture alone
  ASSERT_EQ(harness.RemoveDevice(b1), STATUS_SUCCESS);
  EXPECT_EQ(client.ListFilters(KSCATEGORY_CAPTURE).size(), 2u);
}

TEST_F(FilterFactoryTest, RefusalsAndInjectedFailuresCreateNothing) {
  g_onStart = [](PKSDEVICE d) {
    EXPECT_EQ(Create(d, &g_descA), STATUS_SUCCESS);
    // The same reference GUID twice on one device would shadow the first interface.
    KSFILTER_DESCRIPTOR twin = g_descB;
    twin.ReferenceGuid = &kRefA;
    EXPECT_EQ(Create(d, &twin), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(KsCreateFilterFactory(d->PhysicalDeviceObject, &g_descB, nullptr, nullptr, 0, nullptr, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Create(d, nullptr), STATUS_INVALID_PARAMETER);
    ks::FailNthFilterFactory(2, STATUS_INSUFFICIENT_RESOURCES);
    PKSFILTERFACTORY factory = nullptr;
    EXPECT_EQ(
        KsCreateFilterFactory(d->FunctionalDeviceObject, &g_descB, nullptr, nullptr, 0, nullptr, nullptr, &factory),
        STATUS_SUCCESS);
    EXPECT_NE(factory, nullptr);
    EXPECT_EQ(factory->FilterDescriptor, &g_descB);
    KSFILTER_DESCRIPTOR third = g_descB;
    return Create(d, &third);  // the second call from the arming: refused
  };
  size_t b = Board();
  EXPECT_EQ(harness.StartDevice(b, nullptr, nullptr), STATUS_INSUFFICIENT_RESOURCES);
  auto factories = ks::FactoriesOf(harness.Device(b));
  ASSERT_EQ(factories.size(), 2u);  // a failed Start keeps what it created until Remove
  EXPECT_EQ(factories[1].Descriptor, &g_descB);
  ASSERT_EQ(harness.RemoveDevice(b), STATUS_SUCCESS);
  EXPECT_TRUE(client.ListFilters(KSCATEGORY_CAPTURE).empty());
}

TEST_F(FilterFactoryTest, PinlessDeclarationsKeepDirectionsAndMediumsUntilStop) {
  g_onStart = [](PKSDEVICE d) {
    BOOL dirs[2] = {FALSE, TRUE};
    KSPIN_MEDIUM mediums[2] = {{kRefA, 7, 0}, {GUID_NULL, 0, 0}};
    EXPECT_EQ(KsRegisterFilterWithNoKSPins(d->PhysicalDeviceObject, &KSCATEGORY_TVAUDIO, 2, dirs, mediums, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KsRegisterFilterWithNoKSPins(d->PhysicalDeviceObject, &KSCATEGORY_TVAUDIO, 2, nullptr, mediums, nullptr),
              STATUS_INVALID_PARAMETER);
    return STATUS_SUCCESS;
  };
  size_t b = Board();
  ASSERT_EQ(harness.StartDevice(b, nullptr, nullptr), STATUS_SUCCESS);
  auto list = client.ListPinlessFilters(KSCATEGORY_TVAUDIO);
  ASSERT_EQ(list.size(), 1u);
  ASSERT_EQ(list[0].Mediums.size(), 2u);
  EXPECT_EQ(list[0].PinDirections, (std::vector<BOOL>{FALSE, TRUE}));
  EXPECT_EQ(list[0].Mediums[0].Set, kRefA);
  EXPECT_EQ(list[0].Mediums[0].Id, 7u);
  EXPECT_TRUE(client.ListPinlessFilters(KSCATEGORY_TVTUNER).empty());
  ASSERT_EQ(harness.StopDevice(b), STATUS_SUCCESS);
  EXPECT_TRUE(client.ListPinlessFilters(KSCATEGORY_TVAUDIO).empty());
}

TEST(ObjectBagTest, EditsCopyOnceGrowKeepBytesAndGoWithTheBag) {
  pk::ResetMachine();
  ks::ClearKsFaults();
  const ULONG tag = MakePoolTag("Vamp");
  struct Record {
    ULONG a[6];
  };
  static const Record shared = {{1, 2, 3, 4, 5, 6}};
  KSOBJECT_BAG bag = ks::CreateObjectBag();
  struct {
    KSOBJECT_BAG Bag;
  } object{bag};

  const Record* p = &shared;
  ASSERT_EQ(KsEdit(&object, &p, tag), STATUS_SUCCESS);
  ASSERT_NE(p, &shared);
  EXPECT_EQ(std::memcmp(p, &shared, sizeof(shared)), 0);
  EXPECT_TRUE(ks::ObjectBagContains(bag, p));
  EXPECT_EQ(pk::PoolStats(tag).liveBlocks, 1);
  // Already a private copy: kept as it is.
  const Record* first = p;
  ASSERT_EQ(KsEdit(&object, &p, tag), STATUS_SUCCESS);
  EXPECT_EQ(p, first);
  EXPECT_EQ(pk::PoolStats(tag).liveBlocks, 1);
  // Grown: a bigger copy keeps the bytes, zero-fills the rest, replaces the old item.
  const_cast<Record*>(p)->a[0] = 99;
  ASSERT_EQ(KsEditSized(&object, &p, 2 * sizeof(Record), sizeof(Record), tag), STATUS_SUCCESS);
  EXPECT_NE(p, first);
  EXPECT_EQ(p[0].a[0], 99u);
  EXPECT_EQ(p[0].a[5], 6u);
  EXPECT_EQ(p[1].a[0], 0u);
  EXPECT_EQ(ks::ObjectBagItemCount(bag), 1u);
  EXPECT_EQ(pk::PoolStats(tag).liveBlocks, 1);

  // A refused edit leaves the pointer where it was: by count, by tag, by the pool.
  const Record* q = &shared;
  ks::FailNthKsEdit(1);
  EXPECT_EQ(KsEdit(&object, &q, tag), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(q, &shared);
  ks::FailNthKsEdit(1, MakePoolTag("Aamp"));
  ASSERT_EQ(KsEdit(&object, &q, tag), STATUS_SUCCESS);  // other tags pass
  const Record* r = &shared;
  EXPECT_EQ(KsEdit(&object, &r, MakePoolTag("Aamp")), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(r, &shared);
  pk::FailNthAllocation(1, tag);
  EXPECT_EQ(KsEdit(&object, &r, tag), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(r, &shared);

  ks::FreeObjectBag(bag);
  EXPECT_EQ(pk::PoolStats(tag).liveBlocks, 0);
  pk::ClearPoolFaults();
}

}  // namespace
