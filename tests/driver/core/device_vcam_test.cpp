// Removing a device while a producer's virtual-camera section is still attached: the
// locked pages, the view (in the producer's own process) and the section handle all go.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "driver/core/device.h"
#include "driver/core/driver_entry.h"
#include "platform/kernel/machine.h"
#include "platform/ks/harness.h"

namespace {

namespace pk = platform::kernel;
using platform::ks::PnpHarness;

constexpr size_t kSectionBytes = 2 * PAGE_SIZE;

// A producer's named shared-memory section, as an application creates it.
class ProducerSection {
 public:
  explicit ProducerSection(const std::string& name) : name_(name) {
    int fd = shm_open(("/" + name_).c_str(), O_CREAT | O_RDWR, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, kSectionBytes), 0);
    close(fd);
  }
  ~ProducerSection() { shm_unlink(("/" + name_).c_str()); }
  std::u16string KernelName() const {
    std::u16string n = u"\\BaseNamedObjects\\";
    for (char c : name_) n.push_back((char16_t)c);
    return n;
  }

 private:
  std::string name_;
};

// Attaches one medium of the device from inside `process`, the way the virtual-camera
// property does it: open, map a view into the caller's process, lock it, map it to
// system space, and keep a reference on the process.
void Attach(CDevice* device, int medium, PEPROCESS process, const std::u16string& kernelName) {
  pk::ScopedProcess inProducer(process);
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(kernelName.c_str());
  name.Length = (USHORT)(kernelName.size() * 2);
  name.MaximumLength = name.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  ASSERT_EQ(ZwOpenSection(&device->m_hVcamSection[medium], SECTION_MAP_READ, &attributes), STATUS_SUCCESS);
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  SIZE_T viewSize = 0;
  ASSERT_EQ(ZwMapViewOfSection(device->m_hVcamSection[medium], ZwCurrentProcess(), &device->m_pVcamView[medium], 0, 80,
                               &offset, &viewSize, ViewShare, 0, PAGE_READWRITE | PAGE_NOCACHE),
            STATUS_SUCCESS);
  PMDL mdl = IoAllocateMdl(device->m_pVcamView[medium], (ULONG)viewSize, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  MmProbeAndLockPages(mdl, UserMode, IoModifyAccess);
  device->m_pVcamMdl[medium] = mdl;
  device->m_pVcamInfo[medium] = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
  ASSERT_NE(device->m_pVcamInfo[medium], nullptr);
  device->m_pVcamProcess[medium] = PsGetCurrentProcess();
  ObReferenceObject(device->m_pVcamProcess[medium]);
}

struct VcamCase {
  const char* name;
  bool video;
  bool audio;
  bool producerEndsFirst;
};

void PrintTo(const VcamCase& c, std::ostream* os) { *os << c.name; }

class DeviceVcamRemove : public ::testing::TestWithParam<VcamCase> {
 protected:
  void SetUp() override { pk::ResetMachine(); }
};

TEST_P(DeviceVcamRemove, ReleasesEverythingOnTheSystemPath) {
  const VcamCase& c = GetParam();
  ProducerSection video("vorlix_test_vcam_v_" + std::to_string(getpid()));
  ProducerSection audio("vorlix_test_vcam_a_" + std::to_string(getpid()));
  size_t viewsBefore = pk::MappedViewCount();
  size_t mdlsBefore = pk::LockedMdlCount();

  PnpHarness harness(DriverEntry);
  ASSERT_EQ(harness.Load(), STATUS_SUCCESS);
  size_t index;
  ASSERT_EQ(harness.AddDevice(nullptr, nullptr, &index), STATUS_SUCCESS);
  CDevice* device = DeviceOf(harness.Device(index));

  PEPROCESS producer = pk::CreateUserProcess("producer");
  if (c.video) Attach(device, VCAM_VIDEO, producer, video.KernelName());
  if (c.audio) Attach(device, VCAM_AUDIO, producer, audio.KernelName());
  if (c.producerEndsFirst) pk::EndUserProcess(producer);

  ASSERT_EQ(harness.RemoveDevice(index), STATUS_SUCCESS);
  EXPECT_EQ(pk::MappedViewCount(), viewsBefore);
  EXPECT_EQ(pk::LockedMdlCount(), mdlsBefore);
  for (const auto& f : pk::TakeVerifierFailures()) ADD_FAILURE() << pk::FormatVerifierFailure(f);
  if (!c.producerEndsFirst) pk::EndUserProcess(producer);
  EXPECT_EQ(harness.Unload(), STATUS_SUCCESS);
  for (const auto& f : pk::TakeVerifierFailures()) ADD_FAILURE() << pk::FormatVerifierFailure(f);
}

INSTANTIATE_TEST_SUITE_P(Cases, DeviceVcamRemove,
                         ::testing::Values(VcamCase{"VideoOnly", true, false, false},
                                           VcamCase{"BothMedia", true, true, false},
                                           VcamCase{"AudioAfterTheProducerEnded", false, true, true}),
                         [](const ::testing::TestParamInfo<VcamCase>& info) { return std::string(info.param.name); });

}  // namespace
