// A virtual-camera producer on any bytes: the section's size, its header and payload, and
// the byte counts it claims at each push, against the encoder board's virtual video and
// audio pins with client buffers of odd sizes. Nothing may be read past the section or
// written past a buffer (each buffer has a guard area after its FrameExtent), every buffer
// comes back, and detach leaves no pool, view or locked page behind.
//
// Input: byte 0: bit 0 the medium (video, audio), bits 1-2 the number of pushes (1-4),
// bit 3 attach twice; bytes 1-3 the section size (little-endian, 16 bytes to 256 KB);
// bytes 4-9 three buffer sizes (16-bit, 1 to 65,535); bytes 10-25 four byte counts, one per
// push; the rest is the section, from its first byte (header included), repeated.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/core/driver_entry.h"
#include "driver/hardware/lifecycle.h"
#include "driver/streaming/audio_pin.h"
#include "driver/streaming/guids.h"
#include "driver/streaming/virtual_camera.h"
#include "platform/board/board.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/client.h"
#include "platform/ks/harness.h"
#include "platform/pci/host.h"

namespace ks = platform::ks;
namespace pk = platform::kernel;
namespace pci = platform::pci;

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "vcam sections: %s\n", what);
  std::abort();
}

constexpr size_t kGuard = 32;
constexpr uint8_t kGuardByte = 0xEE;

struct Machine {
  std::unique_ptr<platform::board::GenericBoard> board;
  pci::Slot* slot = nullptr;
  pci::ResourceList resources;
  ks::PnpHarness* harness = nullptr;
  ks::KsClient client;
  HANDLE filters[2] = {};
  HANDLE pins[2] = {};
  PEPROCESS producer = nullptr;

  Machine() {
    const std::string ns = "vorlix.vcamfuzz." + std::to_string(::getpid()) + ".";
    ::setenv("VORLIX_SECTION_NAMESPACE", ns.c_str(), 1);
    pk::ResetMachine();
    pk::RegistryReset();
    pci::Reset();
    PCI_IDENTITY id{};
    BoardKindIdentity(BOARD_KIND_ENCODER, &id);
    board = std::make_unique<platform::board::GenericBoard>(platform::board::IdentityFrom(id), 0x10000, 0x400000);
    slot = pci::PlugIn(*board);
    resources = pci::TranslatedResources(*slot);
    harness = new ks::PnpHarness(DriverEntry);
    size_t index = 0;
    if (harness->Load() != STATUS_SUCCESS || harness->AddDevice(pci::BusData, slot, &index) != STATUS_SUCCESS)
      Fail("the board is not added");
    const std::u16string key = pk::RegistryDriverKeyPath(harness->Device(index)->PhysicalDeviceObject->HostInstance);
    pk::RegistryCreateKey(key);
    pk::RegistrySetDword(key, u"CustomVirtualCaptureDeviceProperty", 1);
    if (harness->StartDevice(index, resources.get(), resources.get()) != STATUS_SUCCESS)
      Fail("the board does not start");
    VORLIX_StopMonitorThread(DeviceOf(harness->Device(index)));
    producer = pk::CreateUserProcess("producer");
    OpenVideo();
    OpenAudio();
    Check();
  }

  void OpenVideo() {
    auto list = client.ListFilters(KSCATEGORY_VIDEO);
    if (list.size() < 2 || client.OpenFilter(list[1], &filters[0]) != STATUS_SUCCESS) Fail("no virtual video filter");
    const KSPIN_DESCRIPTOR& pd = list[1].Descriptor->PinDescriptors[0].PinDescriptor;
    for (ULONG i = 0; i < pd.DataRangesCount; i++) {
      auto* r = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pd.DataRanges[i]);
      if (r->VideoInfoHeader.bmiHeader.biCompression != MakeFourCC("YV12")) continue;
      KS_DATAFORMAT_VIDEOINFOHEADER f{};
      std::memcpy(&f.DataFormat, &r->DataRange, sizeof(KSDATAFORMAT));
      f.DataFormat.FormatSize = sizeof(f);
      f.VideoInfoHeader = r->VideoInfoHeader;
      if (client.CreatePin(filters[0], 0, &f.DataFormat, &pins[0]) == STATUS_SUCCESS) break;
    }
    if (!pins[0]) Fail("no virtual video pin");
  }

  void OpenAudio() {
    auto list = client.ListFilters(KSCATEGORY_AUDIO);
    if (list.size() < 2 || client.OpenFilter(list[1], &filters[1]) != STATUS_SUCCESS) Fail("no virtual audio filter");
    const KSDATARANGE* range = list[1].Descriptor->PinDescriptors[0].PinDescriptor.DataRanges[0];
    uint8_t bytes[AUDIO_FORMAT_BYTES] = {};
    KSDATAFORMAT head;
    std::memcpy(&head, range, sizeof(head));
    head.FormatSize = AUDIO_FORMAT_BYTES;
    std::memcpy(bytes, &head, sizeof(head));
    WAVEFORMATEX wave{};
    wave.wFormatTag = WAVE_FORMAT_PCM;
    wave.nChannels = 2;
    wave.nSamplesPerSec = 48000;
    wave.wBitsPerSample = 16;
    wave.nBlockAlign = 4;
    wave.nAvgBytesPerSec = 192000;
    std::memcpy(bytes + sizeof(KSDATAFORMAT), &wave, sizeof(wave));
    if (client.CreatePin(filters[1], 0, reinterpret_cast<const KSDATAFORMAT*>(bytes), &pins[1]) != STATUS_SUCCESS)
      Fail("no virtual audio pin");
  }

  void Command(int medium, ULONG word) {
    pk::ScopedProcess in(producer);
    if (client.SetProperty({filters[medium]}, KSPROPSETID_CustomDevice, medium ? 602 : 601, &word, 4) != STATUS_SUCCESS)
      Fail("a command failed");
  }

  void Check() {
    for (const auto& f : pk::TakeVerifierFailures()) {
      std::fprintf(stderr, "%s\n", pk::FormatVerifierFailure(f).c_str());
      Fail("verifier");
    }
    pk::ClearDebugLog();
  }
};

Machine& M() {
  static Machine* m = new Machine;  // lives for the whole run, as the machine would
  return *m;
}

uint32_t Le(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; i--) v = v << 8 | p[i];
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHead = 26;
  if (size < kHead) return 0;
  Machine& m = M();
  const int medium = data[0] & 1;
  const int pushes = 1 + ((data[0] >> 1) & 3);
  const bool twice = (data[0] & 8) != 0;
  size_t sectionBytes = Le(data + 1, 3) % (256 * 1024);
  if (sectionBytes < 16) sectionBytes = 16;

  // The producer's section.
  WCHAR name[80];
  VcamSectionName(medium, 0, name, 80);
  std::string host;
  if (!pk::SectionHostName(std::u16string(name).substr(18), &host)) Fail("section name");
  int fd = ::shm_open(host.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
  if (fd < 0 || ::ftruncate(fd, (off_t)sectionBytes) != 0) Fail("cannot create the section");
  auto* section = static_cast<uint8_t*>(::mmap(nullptr, sectionBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  ::close(fd);
  if (section == MAP_FAILED) Fail("cannot map the section");
  const uint8_t* content = data + kHead;
  const size_t contentBytes = size - kHead;
  for (size_t i = 0; i < sectionBytes; i++) section[i] = contentBytes ? content[i % contentBytes] : 0;

  const int64_t before = pk::PoolLiveBlocks();
  // Buffers of the input's sizes, each with a guard area.
  const HANDLE pin = m.pins[medium];
  if (m.client.SetState(pin, KSSTATE_RUN) != STATUS_SUCCESS) Fail("the pin does not run");
  std::vector<std::vector<uint8_t>> buffers;
  for (int i = 0; i < 3; i++) {
    ULONG extent = Le(data + 4 + 2 * i, 2);
    if (!extent) extent = 1;
    buffers.emplace_back(extent + kGuard, kGuardByte);
    if (m.client.Submit(pin, buffers.back().data(), extent, (uint64_t)i) != STATUS_SUCCESS) Fail("submit");
  }
  m.client.WaitProcessingIdle(pin);

  m.Command(medium, VCAM_COMMAND_ATTACH);
  if (twice) m.Command(medium, VCAM_COMMAND_ATTACH);
  for (int i = 0; i < pushes; i++) {
    if (sectionBytes >= 0x4C) std::memcpy(section + 0x48, data + 10 + 4 * i, 4);
    m.Command(medium, VCAM_COMMAND_PUSH);
  }
  m.Command(medium, VCAM_COMMAND_DETACH);
  if (pk::MappedViewCount() != 0 || pk::LockedMdlCount() != 0) Fail("detach left a view or locked pages");

  // Stopping gives back what the pushes did not complete; every buffer comes back once.
  if (m.client.SetState(pin, KSSTATE_STOP) != STATUS_SUCCESS) Fail("the pin does not stop");
  size_t back = 0;
  ks::CompletedFrame f;
  while (m.client.Collect(pin, &f, 0)) {
    back++;
    const auto* guard = static_cast<const uint8_t*>(f.Data) + f.FrameExtent;
    for (size_t i = 0; i < kGuard; i++)
      if (guard[i] != kGuardByte) Fail("written past a buffer");
    if (f.Status == STATUS_SUCCESS && f.Header.DataUsed > f.FrameExtent) Fail("more used than the buffer holds");
  }
  if (back != buffers.size()) Fail("a buffer was lost");
  if (pk::PoolLiveBlocks() != before) Fail("pool left allocated");
  ::munmap(section, sectionBytes);
  ::shm_unlink(host.c_str());
  m.Check();
  return 0;
}
