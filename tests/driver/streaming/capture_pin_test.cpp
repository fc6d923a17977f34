// The streaming core on KS pins: a started device offers a filter of the test's own whose
// pin runs CCapturePin's Process and state core, with a context filled as the pin kinds'
// Create fills it. Buffers are completed through the device's deferred procedure call
// with a frame-done callback of the test's (the board's data path plays no part here);
// the worker thread finishes them through the delivery routines.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/core/device_start.h"
#include "driver/hardware/board_state.h"
#include "driver/hardware/firmware.h"
#include "driver/hardware/registers.h"
#include "driver/streaming/capture_pin.h"
#include "driver/streaming/templates.h"
#include "platform/board/board.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/ks/client.h"
#include "platform/ks/harness.h"
#include "platform/ks/host.h"
#include "platform/pci/host.h"

namespace {

namespace pk = platform::kernel;
namespace pci = platform::pci;
namespace ks = platform::ks;

constexpr ULONG kVideoHeader = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);

// ---- The test's filter ------------------------------------------------------------------

// What the next pin's Create sets up, and the filter's kind.
struct PinSetup {
  ULONG streamIndex = 0;
  ULONG width = 640;
  ULONG height = 480;
  ULONG filterKind = 0;
};
PinSetup g_setup;
std::atomic<PKSPIN> g_lastPin{nullptr};
FilterContext g_filterContext[4];
std::atomic<int> g_filtersOpen{0};

NTSTATUS FilterCreate(PKSFILTER filter, PIRP) {
  int i = g_filtersOpen++;
  g_filterContext[i] = FilterContext{};
  g_filterContext[i].nKind = g_setup.filterKind;
  g_filterContext[i].pKsDevice = KsGetDevice(filter);
  g_filterContext[i].pKsFilter = filter;
  filter->Context = &g_filterContext[i];
  return STATUS_SUCCESS;
}
NTSTATUS FilterClose(PKSFILTER, PIRP) {
  g_filtersOpen--;
  return STATUS_SUCCESS;
}

NTSTATUS PinCreate(PKSPIN pin, PIRP) {
  const ULONG index = g_setup.streamIndex;
  const bool audio = IsAudioStreamIndex(index) || index == 20;
  const size_t size = audio ? sizeof(AudioPinContext) : sizeof(VideoPinContext);
  auto* c = static_cast<PinContext*>(ExAllocatePoolWithTag(NonPagedPool, size, kPinContextTag));
  if (!c) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(c, size);
  c->pKsDevice = KsGetDevice(pin);
  c->pKsFilter = KsPinGetParentFilter(pin);
  c->pKsPin = pin;
  c->nStreamIndex = index;
  c->bResync = 1;
  if (!audio) {
    auto* v = static_cast<VideoPinContext*>(c);
    v->nWidth = v->nStride = g_setup.width;
    v->nHeight = g_setup.height;
    v->nMaxFrameBytes = g_setup.width * g_setup.height * 2;
    c->nParam = v->nMaxFrameBytes + 32;
    pin->StreamHeaderSize = kVideoHeader;
  }
  pin->Context = c;
  g_lastPin = pin;
  return STATUS_SUCCESS;
}
NTSTATUS PinClose(PKSPIN pin, PIRP) {
  ExFreePoolWithTag(pin->Context, kPinContextTag);
  pin->Context = nullptr;
  return STATUS_SUCCESS;
}
// As the pin kinds do it: the core first, then the kind's resets.
NTSTATUS PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
  NTSTATUS status = CCapturePin::SetDeviceState(pin, to, from);
  auto* c = static_cast<PinContext*>(pin->Context);
  if (to != KSSTATE_RUN) {
    c->nLastPresentationTime = 0;
    c->nLastClockTime = 0;
    c->bResync = 1;
  }
  return status;
}

const KSPIN_DISPATCH kPinDispatch = {
    PinCreate, PinClose, CCapturePin::Process, nullptr, nullptr, PinSetDeviceState, nullptr, nullptr, nullptr, nullptr};
const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};

constexpr GUID kTestCategory = {0x7E57CA70, 0x0001, 0x4C11, {0x90, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};
constexpr GUID kTestSubFormat = {0x7E57CA71, 0, 0x10, {0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}};

KSDATARANGE MakeRange() {
  KSDATARANGE r{};
  r.FormatSize = sizeof(KSDATARANGE);
  r.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  r.SubFormat = kTestSubFormat;
  r.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  return r;
}
KSDATARANGE g_range = MakeRange();
PKSDATARANGE g_ranges[] = {&g_range};

KSPIN_DESCRIPTOR_EX MakePin() {
  KSPIN_DESCRIPTOR_EX p{};
  p.Dispatch = &kPinDispatch;
  p.PinDescriptor.DataRangesCount = 1;
  p.PinDescriptor.DataRanges = g_ranges;
  p.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
  p.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
  p.PinDescriptor.Category = &PIN_CATEGORY_CAPTURE;
  p.Flags = KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING | KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;
  p.InstancesPossible = 1;
  return p;
}
KSPIN_DESCRIPTOR_EX g_pins[1] = {MakePin()};
const GUID kCategories[] = {kTestCategory};
KSFILTER_DESCRIPTOR MakeFilter() {
  KSFILTER_DESCRIPTOR f{};
  f.Dispatch = &kFilterDispatch;
  f.Version = 0xFFFFFFFF;
  f.PinDescriptorsCount = 1;
  f.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  f.PinDescriptors = g_pins;
  f.CategoriesCount = 1;
  f.Categories = kCategories;
  return f;
}
KSFILTER_DESCRIPTOR g_filter = MakeFilter();

// The device's own start, then the test's filter.
NTSTATUS TestStart(PKSDEVICE d, PIRP irp, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST raw) {
  NTSTATUS status = CDevice::Start(d, irp, translated, raw);
  if (!NT_SUCCESS(status)) return status;
  return KsCreateFilterFactory(d->FunctionalDeviceObject, &g_filter, nullptr, nullptr, 0, nullptr, nullptr, nullptr);
}
const KSDEVICE_DISPATCH kDeviceDispatch = {CDevice::Add,  TestStart, nullptr,           nullptr,         nullptr,
                                           CDevice::Stop, nullptr,   nullptr,           CDevice::Remove, nullptr,
                                           nullptr,       nullptr,   CDevice::SetPower, nullptr};
const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {&kDeviceDispatch, 0, nullptr};
NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  InitializeStreamingTemplates();
  ResetDeviceStartCounters();
  return KsInitializeDriver(driver, path, &kDeviceDescriptor);
}

// ---- Completing buffers -------------------------------------------------------------------

// What the test's frame-done callback does on the next transfer-done call: rows in the
// mask get their oldest entry completed with this length and consecutive values.
struct Completion {
  std::atomic<ULONG> rows{0};
  std::atomic<ULONG> length{0};
  std::atomic<ULONGLONG> nextValue{1};
  std::vector<UCHAR> payload;  // copied into the buffer (the test sizes it)
};
Completion g_completion;

VOID TestFrameDone(struct _KSPIN** pins, struct _KSSTREAM_POINTER** clones, PVOID, PVOID, PUCHAR* data, ULONG* lengths,
                   ULONGLONG* values, UCHAR* done, UCHAR* flags, CDevice*, ULONG, ULONG) {
  const ULONG mask = g_completion.rows.load();
  for (ULONG row = 0; row < CHANNEL_ROWS; row++) {
    if (!(mask & (1u << row)) || !pins[row] || !clones[row]) continue;
    const ULONG extent = clones[row]->StreamHeader->FrameExtent;
    if (data[row] && !g_completion.payload.empty())
      std::memcpy(data[row], g_completion.payload.data(), std::min<size_t>(extent, g_completion.payload.size()));
    lengths[row] = g_completion.length.load();
    values[row] = g_completion.nextValue++;
    done[row] = 1;
    flags[row] = 0;
  }
}

class CapturePinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pk::ResetMachine();
    pk::RegistryReset();
    pci::Reset();
    ks::ClearKsFaults();
    g_setup = PinSetup{};
    g_completion.rows = 0;
    g_completion.payload.clear();
    g_completion.nextValue = 1;
    PCI_IDENTITY id{};
    BoardKindIdentity(BOARD_KIND_B, &id);
    board_ = std::make_unique<platform::board::GenericBoard>(platform::board::IdentityFrom(id), 0x10000, 0x400000);
    slot_ = pci::PlugIn(*board_);
    resources_ = pci::TranslatedResources(*slot_);
    harness_ = std::make_unique<ks::PnpHarness>(TestDriverEntry);
    ASSERT_EQ(harness_->Load(), STATUS_SUCCESS);
    size_t index = 0;
    ASSERT_EQ(harness_->AddDevice(pci::BusData, slot_, &index), STATUS_SUCCESS);
    index_ = index;
    ASSERT_EQ(harness_->StartDevice(index, resources_.get(), resources_.get()), STATUS_SUCCESS);
    // A 30 fps 640 x 480 progressive signal.
    Dev()->m_nAnalogVideoFrameRate = 30;
    Dev()->m_pBoardState->nSignalWidth = 640;
    Dev()->m_pBoardState->nSignalHeight = 480;
    Dev()->m_pBoardState->nSignalFrameRate = 30;
  }
  void TearDown() override {
    client_.reset();
    pk::SetMode(pk::Mode::Manual);
    if (index_) harness_->RemoveDevice(*index_);
    EXPECT_EQ(harness_->Unload(), STATUS_SUCCESS);  // no pool left behind
    harness_.reset();
    EXPECT_TRUE(pk::WaitForSystemThreads(5000));
    if (slot_) pci::Unplug(slot_);
    ks::ClearKsFaults();
    for (const auto& f : pk::TakeVerifierFailures()) ADD_FAILURE() << pk::FormatVerifierFailure(f);
    pci::Reset();
    pk::ResetMachine();
  }

  CDevice* Dev() { return DeviceOf(harness_->Device(*index_)); }
  // The live system threads once they settle at `n` (a thread that has signalled its end
  // leaves the count a moment later); the count seen otherwise.
  static size_t Threads(size_t n) {
    for (int i = 0; i < 5000 && pk::LiveSystemThreadCount() != n; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pk::LiveSystemThreadCount();
  }
  ChannelTable* Table() { return Dev()->m_pChannelTable; }

  // Opens the test filter and creates a pin as `setup` says.
  HANDLE OpenPin(const PinSetup& setup) {
    g_setup = setup;
    auto listings = client_->ListFilters(kTestCategory);
    EXPECT_EQ(listings.size(), 1u);
    HANDLE filter = nullptr;
    EXPECT_EQ(client_->OpenFilter(listings[0], &filter), STATUS_SUCCESS);
    KSDATAFORMAT format{};
    format.FormatSize = sizeof(KSDATAFORMAT);
    format.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    format.SubFormat = kTestSubFormat;
    format.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    HANDLE pin = nullptr;
    EXPECT_EQ(client_->CreatePin(filter, 0, &format, &pin), STATUS_SUCCESS);
    pin_ = g_lastPin.load();
    return pin;
  }
  PinContext* Context() { return static_cast<PinContext*>(pin_->Context); }

  // One transfer-done deferred procedure call completing the oldest entry of `rows`.
  void Complete(ULONG rows, ULONG length) {
    g_completion.rows = rows;
    g_completion.length = length;
    __atomic_store_n(&Table()->pfnFrameDone, (FrameDoneCallback)TestFrameDone, __ATOMIC_RELEASE);
    KeInsertQueueDpc(&Dev()->m_aDpc[0], reinterpret_cast<PVOID>((ULONG_PTR)INT_DMA_DONE), nullptr);
    if (pk::GetMode() == pk::Mode::Manual)
      pk::RunPendingDpcs();
    else
      pk::WaitForDpcsIdle();
  }

  // Buffers owned by the test, one per submission.
  PVOID Buffer(ULONG bytes, UCHAR fill = 0xEE) {
    buffers_.emplace_back(bytes + 64, fill);
    return buffers_.back().data();
  }
  ks::CompletedFrame Collect(HANDLE pin) {
    ks::CompletedFrame f;
    EXPECT_TRUE(client_->Collect(pin, &f, 5000));
    return f;
  }
  void WaitForClones(size_t n) {
    for (int i = 0; i < 5000 && CloneCount() != n; i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(CloneCount(), n);
  }
  size_t CloneCount() {
    size_t n = 0;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Dev()->m_StreamPointerLock);
    for (PKSSTREAM_POINTER c = KsPinGetFirstCloneStreamPointer(pin_); c; c = KsStreamPointerGetNextClone(c)) n++;
    KeReleaseSpinLock(&Dev()->m_StreamPointerLock, irql);
    return n;
  }

  std::unique_ptr<platform::board::GenericBoard> board_;
  pci::Slot* slot_ = nullptr;
  pci::ResourceList resources_;
  std::unique_ptr<ks::PnpHarness> harness_;
  std::optional<size_t> index_;
  std::optional<ks::KsClient> client_{std::in_place};
  PKSPIN pin_ = nullptr;
  std::vector<std::vector<UCHAR>> buffers_;
};

// ---- State core -----------------------------------------------------------------------------

// KS walks one state at a time; what each step does shows in the row, the stream count
// and the worker thread.
TEST_F(CapturePinTest, StateWalkRegistersRunsAndFreesTheRow) {
  HANDLE pin = OpenPin({});
  const size_t threads = pk::LiveSystemThreadCount();
  struct Step {
    KSSTATE state;
    ULONG rowState;
    ULONG streams;
    size_t workers;
  } steps[] = {
      {KSSTATE_ACQUIRE, CHANNEL_REGISTERED, 1, 0}, {KSSTATE_PAUSE, CHANNEL_REGISTERED, 1, 0},
      {KSSTATE_RUN, CHANNEL_RUNNING, 1, 1},        {KSSTATE_PAUSE, CHANNEL_FREE, 1, 0},
      {KSSTATE_RUN, CHANNEL_RUNNING, 1, 1},        {KSSTATE_STOP, CHANNEL_FREE, 0, 0},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.state);
    ASSERT_EQ(client_->SetState(pin, s.state), STATUS_SUCCESS);
    EXPECT_EQ(Table()->nState[0], s.rowState);
    EXPECT_EQ(Table()->pPin[0], s.state == KSSTATE_STOP ? nullptr : pin_);
    EXPECT_EQ(Dev()->m_nDigitalCaptureStreamReference.load(), s.streams);
    EXPECT_EQ(Threads(threads + s.workers), threads + s.workers);
    EXPECT_EQ(Context()->pWorkerThread != nullptr, s.workers == 1);
  }
  EXPECT_EQ(Table()->pfnFrameDone, nullptr);
}

// The core's two-step entries (KS itself steps one at a time): STOP -> RUN acquires and
// runs; RUN -> STOP pauses, so the worker has ended before the row goes.
TEST_F(CapturePinTest, CoreTableRunsBothStepsOfAJump) {
  OpenPin({});
  const size_t threads = pk::LiveSystemThreadCount();
  ASSERT_EQ(CCapturePin::SetDeviceState(pin_, KSSTATE_RUN, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(Table()->nState[0], CHANNEL_RUNNING);
  EXPECT_EQ(Threads(threads + 1), threads + 1);
  // ACQUIRE <-> PAUSE does nothing in the core.
  ASSERT_EQ(CCapturePin::SetDeviceState(pin_, KSSTATE_STOP, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(Table()->pPin[0], nullptr);
  EXPECT_EQ(Dev()->m_nDigitalCaptureStreamReference.load(), 0u);
  EXPECT_EQ(Threads(threads), threads);
  EXPECT_EQ(Context()->pWorkerThread, nullptr);
  EXPECT_EQ(CCapturePin::SetDeviceState(pin_, KSSTATE_PAUSE, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(Table()->pPin[0], nullptr);
}

// Pins of the virtual camera's filters and pins beyond the rows take no row and no
// stream power; their worker runs until pause.
TEST_F(CapturePinTest, VirtualCameraPinsTakeNoRow) {
  const size_t threads = pk::LiveSystemThreadCount();
  // (stream index, filter kind): a virtual video pin in channel 0's sub-stream row, a
  // virtual audio pin in its audio row, and a stream index beyond the rows.
  const std::pair<ULONG, ULONG> pins[] = {{8, 10}, {12, 11}, {20, 0}};
  for (const auto& [index, kind] : pins) {
    SCOPED_TRACE(index);
    HANDLE pin = OpenPin({index, 640, 480, kind});
    ASSERT_EQ(client_->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Table()->nRegistered, 0u);
    EXPECT_EQ(Dev()->m_nDigitalCaptureStreamReference.load(), 0u);
    EXPECT_EQ(Threads(threads + 1), threads + 1);
    ASSERT_EQ(client_->SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Threads(threads), threads);
    client_.reset();
    client_.emplace();
  }
}

// ---- Buffers through Process, the deferred procedure call and the worker --------------------

// With one buffer outstanding at a time every buffer is the last in the queue: each must
// still be filled, not handed back empty.
TEST_F(CapturePinTest, TheLastQueuedBufferIsKept) {
  HANDLE pin = OpenPin({});
  const ULONG bytes = 640 * 480 * 3 / 2;
  ASSERT_EQ(client_->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(client_->Submit(pin, Buffer(bytes), bytes), STATUS_SUCCESS);
    client_->WaitProcessingIdle(pin);
    WaitForClones(1);
    Complete(1u << 0, 0xFFFFFFFFu);
    ks::CompletedFrame f = Collect(pin);
    EXPECT_EQ(f.Status, STATUS_SUCCESS);
    EXPECT_EQ(f.Header.DataUsed, bytes);
    EXPECT_EQ(f.FrameInfo.PictureNumber, i + 1);
  }
  ASSERT_EQ(client_->SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
}

// No-signal frames at 30 fps: the picture drawn, numbers, flags and times as delivered.
TEST_F(CapturePinTest, NoSignalFramesAreStampedAndDrawn) {
  HANDLE pin = OpenPin({});
  ks::ReferenceClock clock;
  clock.Set(10000001);
  ASSERT_EQ(client_->SetMasterClock(pin, &clock), STATUS_SUCCESS);
  const ULONG bytes = 640 * 480 * 3 / 2;
  ASSERT_EQ(client_->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (int i = 0; i < 4; i++) ASSERT_EQ(client_->Submit(pin, Buffer(bytes), bytes), STATUS_SUCCESS);
  client_->WaitProcessingIdle(pin);
  WaitForClones(4);
  std::vector<ks::CompletedFrame> got;
  for (int i = 0; i < 4; i++) {
    Complete(1u << 0, 0xFFFFFFFFu);
    got.push_back(Collect(pin));
    pk::AdvanceClock(333333);
  }
  const UCHAR* pic = VORLIX_NoSignalPicture();
  for (int i = 0; i < 4; i++) {
    SCOPED_TRACE(i);
    const ks::CompletedFrame& f = got[i];
    EXPECT_EQ(f.Header.OptionsFlags, i == 0 ? 0x115u : 0x111u);
    EXPECT_EQ(f.Header.PresentationTime.Time, (10000001 + 333333LL * i) & ~3LL);
    EXPECT_EQ(f.Header.PresentationTime.Numerator, 1u);
    EXPECT_EQ(f.Header.Duration, 333333);
    EXPECT_EQ(f.Header.DataUsed, bytes);
    EXPECT_EQ(f.FrameInfo.ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
    EXPECT_EQ(f.FrameInfo.PictureNumber, i + 1);
    const UCHAR* y = static_cast<const UCHAR*>(f.Data);
    EXPECT_EQ(y[0], pic[0]);
    EXPECT_EQ(y[120 * 640 + 160], pic[0 * NO_SIGNAL_PICTURE_STEP]);
    EXPECT_EQ(y[200 * 640 + 300], pic[80 * NO_SIGNAL_PICTURE_STEP + 140 * 2]);
    EXPECT_EQ(y[640 * 480], pic[3]);
    EXPECT_EQ(y[640 * 480 * 5 / 4], pic[1]);
    EXPECT_EQ(y[bytes], 0xEE);  // nothing past the buffer
  }
  ASSERT_EQ(client_->SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(CapturePinTest, WithoutAClockNoTimes) {
  HANDLE pin = OpenPin({});
  ASSERT_EQ(client_->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (int i = 0; i < 2; i++) ASSERT_EQ(client_->Submit(pin, Buffer(4096), 4096), STATUS_SUCCESS);
  client_->WaitProcessingIdle(pin);
  WaitForClones(2);
  for (ULONG want : {5u, 1u}) {
    Complete(1u << 0, 4096);
    ks::CompletedFrame f = Collect(pin);
    EXPECT_EQ(f.Header.OptionsFlags, want);
    EXPECT_EQ(f.Header.PresentationTime.Time, 0);
    EXPECT_EQ(f.Header.Duration, 0);
    EXPECT_EQ(f.Header.DataUsed, 4096u);
  }
  ASSERT_EQ(client_->SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
}

// Five completions in a row finish the five oldest buffers in order; stop flushes the rest
// empty and nothing is lost; the first buffer after a restart is marked again.
TEST_F(CapturePinTest, StopFlushesWhatIsQueued) {
  HANDLE pin = OpenPin({});
  ASSERT_EQ(client_->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (uint64_t i = 0; i < 8; i++) ASSERT_EQ(client_->Submit(pin, Buffer(2048), 2048, i), STATUS_SUCCESS);
  client_->WaitProcessingIdle(pin);
  WaitForClones(8);
  for (int i = 0; i < 5; i++) Complete(1u << 0, 2048);
  for (uint64_t i = 0; i < 5; i++) {
    ks::CompletedFrame f = Collect(pin);
    EXPECT_EQ(f.Tag, i);
    EXPECT_EQ(f.Header.DataUsed, 2048u);
  }
  WaitForClones(3);
  ASSERT_EQ(client_->SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(CloneCount(), 0u);
  for (uint64_t i = 5; i < 8; i++) {
    ks::CompletedFrame f = Collect(pin);
    EXPECT_EQ(f.Tag, i);
    EXPECT_EQ(f.Status, STATUS_SUCCESS);
    EXPECT_EQ(f.Header.DataUsed, 0u);
    EXPECT_EQ(f.Header.Duration, 0);
  }
  ks::CompletedFrame extra;
  EXPECT_FALSE(client_->Collect(pin, &extra, 0));

  ASSERT_EQ(client_->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(client_->Submit(pin, Buffer(2048), 2048), STATUS_SUCCESS);
  client_->WaitProcessingIdle(pin);
  WaitForClones(1);
  Complete(1u << 0, 2048);
  EXPECT_EQ(Collect(pin).Header.OptionsFlags, 5u);
  ASSERT_EQ(client_->SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
}

// With the direct-sound switch a pause completes every queued buffer empty.
TEST_F(CapturePinTest, PauseFlushesWithTheDirectSoundSwitch) {
  Dev()->m_nAnalogAudioDirectSoundPatch = 1;
  HANDLE pin = OpenPin({});
  ASSERT_EQ(client_->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (int i = 0; i < 3; i++) ASSERT_EQ(client_->Submit(pin, Buffer(2048), 2048), STATUS_SUCCESS);
  client_->WaitProcessingIdle(pin);
  WaitForClones(3);
  ASSERT_EQ(client_->SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(CloneCount(), 0u);
  for (int i = 0; i < 3; i++) EXPECT_EQ(Collect(pin).Header.DataUsed, 0u);
  // Without a worker, Process refuses.
  EXPECT_EQ(CCapturePin::Process(pin_), STATUS_UNSUCCESSFUL);
  ASSERT_EQ(client_->SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(CapturePinTest, AFailedCloneLeavesNothingBehind) {
  HANDLE pin = OpenPin({});
  ASSERT_EQ(client_->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  ks::FailNthStreamPointerClone(1);
  ASSERT_EQ(client_->Submit(pin, Buffer(2048), 2048), STATUS_SUCCESS);
  client_->WaitProcessingIdle(pin);
  EXPECT_EQ(CloneCount(), 0u);
  // The next request for processing takes the buffer.
  KsPinAttemptProcessing(pin_, TRUE);
  client_->WaitProcessingIdle(pin);
  WaitForClones(1);
  Complete(1u << 0, 2048);
  EXPECT_EQ(Collect(pin).Header.DataUsed, 2048u);
  EXPECT_EQ(CCapturePin::Process(pin_), STATUS_UNSUCCESSFUL);  // no buffer at the edge
  ASSERT_EQ(client_->SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
}

// ---- H.264 and audio --------------------------------------------------------------------

// A packet longer than the buffer reports the buffer's size; a tick without input none.
TEST_F(CapturePinTest, H264BytesAreBoundedByTheBuffer) {
  HANDLE pin = OpenPin({5});
  BoardState* s = Dev()->m_pBoardState;
  s->nEncRateControlMode[1] = 2;
  s->nEncGopLength[1] = 30;
  s->nEncQp[1] = s->nEncBaseQp[1] = 26;
  s->nEncTargetFrameBits[1] = 1000000;
  ASSERT_EQ(client_->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  struct Case {
    ULONG length;
    ULONG used;
  } cases[] = {{1000, 1000}, {5000, 4096}, {4094, 4094}, {0xFFFFFFFFu, 0}};
  for (size_t i = 0; i < std::size(cases); i++) ASSERT_EQ(client_->Submit(pin, Buffer(4096, 0), 4096), STATUS_SUCCESS);
  client_->WaitProcessingIdle(pin);
  WaitForClones(4);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.length);
    Complete(1u << 5, k.length);
    ks::CompletedFrame f = Collect(pin);
    EXPECT_EQ(f.Header.DataUsed, k.used);
    EXPECT_EQ(f.Header.OptionsFlags & ~KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY, 0u);
  }
  // Three frames with data joined the sub stream's ring; only the first had a marker
  // inside its buffer, so only it moved the quantiser.
  EXPECT_EQ(s->nEncRingIndex[1], 3u);
  EXPECT_EQ(s->nEncRingSum[1], 1000u + 4096u + 4094u);
  EXPECT_EQ(s->nEncQp[1], 25u);
  ASSERT_EQ(client_->SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(CapturePinTest, AudioWithoutInputIsSilence) {
  HANDLE pin = OpenPin({12});
  ks::ReferenceClock clock;
  clock.Set(7000000);
  ASSERT_EQ(client_->SetMasterClock(pin, &clock), STATUS_SUCCESS);
  ASSERT_EQ(client_->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(client_->Submit(pin, Buffer(4096), 4096), STATUS_SUCCESS);
  ASSERT_EQ(client_->Submit(pin, Buffer(1920), 1920), STATUS_SUCCESS);
  client_->WaitProcessingIdle(pin);
  WaitForClones(2);
  Complete(1u << 12, 0xFFFFFFFFu);
  ks::CompletedFrame f = Collect(pin);
  EXPECT_EQ(f.Header.DataUsed, 648u);
  EXPECT_EQ(f.Header.OptionsFlags, 0x114u);
  EXPECT_EQ(f.Header.PresentationTime.Time, 8200000);
  EXPECT_EQ(f.Header.Duration, 67500);
  const UCHAR* d = static_cast<const UCHAR*>(f.Data);
  EXPECT_TRUE(std::all_of(d, d + 4096, [](UCHAR b) { return b == 0; }));
  EXPECT_EQ(d[4096], 0xEE);
  Complete(1u << 12, 2000);
  EXPECT_EQ(Collect(pin).Header.DataUsed, 1920u);
  ASSERT_EQ(client_->SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
}

// ---- Threads -------------------------------------------------------------------------------

// Runs and stops a pin over and over while another thread keeps completing buffers
// through the deferred procedure call: every buffer comes back, no clone outlives a stop.
TEST_F(CapturePinTest, StartAndStopWhileFramesComplete) {
  pk::SetMode(pk::Mode::Threaded);
  HANDLE pin = OpenPin({});
  std::atomic<bool> stop{false};
  std::thread completer([&] {
    while (!stop) {
      g_completion.rows = 1u << 0;
      g_completion.length = 4096;
      __atomic_store_n(&Table()->pfnFrameDone, (FrameDoneCallback)TestFrameDone, __ATOMIC_RELEASE);
      KeInsertQueueDpc(&Dev()->m_aDpc[0], reinterpret_cast<PVOID>((ULONG_PTR)INT_DMA_DONE), nullptr);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  size_t submitted = 0, returned = 0, filled = 0;
  for (int round = 0; round < 25; round++) {
    ASSERT_EQ(client_->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    for (int i = 0; i < 6; i++, submitted++) ASSERT_EQ(client_->Submit(pin, Buffer(4096), 4096), STATUS_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(client_->SetState(pin, round % 2 ? KSSTATE_STOP : KSSTATE_PAUSE), STATUS_SUCCESS);
    if (round % 2 == 0) {
      ASSERT_EQ(client_->SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    }
    EXPECT_EQ(CloneCount(), 0u);
    ks::CompletedFrame f;
    while (client_->Collect(pin, &f, 0)) {
      returned++;
      if (f.Header.DataUsed == 4096u) filled++;
      EXPECT_TRUE(f.Header.DataUsed == 0 || f.Header.DataUsed == 4096u);
      EXPECT_TRUE(f.Status == STATUS_SUCCESS || f.Status == STATUS_CANCELLED);
    }
  }
  stop = true;
  completer.join();
  pk::WaitForDpcsIdle();
  EXPECT_EQ(returned, submitted);
  EXPECT_GT(filled, 0u);
  client_->Close(pin);
}

}  // namespace
