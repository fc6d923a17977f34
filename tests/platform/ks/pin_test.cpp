// Filters and pins against a small test filter: the order of the dispatch calls, pin
// creation's checks, state steps, the frame queue with its leading edge and clones,
// completion in queue order, processing and reference clocks.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/platform/ks/test_filter.h"

namespace ks_test {
namespace {

using ::testing::ElementsAre;

TEST_F(KsFilterTest, FilterAndPinRoutinesRunInKsOrder) {
  // Range 1 refuses the format, range 2 takes it; range 0 has another sub-format and is
  // never offered.
  g_behaviour.setDataFormat = [](PKSPIN, const KSDATARANGE* r) {
    return r->SampleSize == 1 ? STATUS_NO_MATCH : STATUS_SUCCESS;
  };
  HANDLE filter = OpenFilter();
  HANDLE pin = OpenPin(filter);
  ASSERT_EQ(client->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(client->SetState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(client->SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  // The filter's handle goes first; its Close waits for the pin's.
  ASSERT_EQ(client->Close(filter), STATUS_SUCCESS);
  Trace("filter handle closed");
  ASSERT_EQ(client->Close(pin), STATUS_SUCCESS);
  EXPECT_THAT(TakeTrace(), ElementsAre("filter Create", "pin SetDataFormat range 1", "pin SetDataFormat range 2",
                                       "pin Create", "pin SetDeviceState 0->1", "pin SetDeviceState 1->2",
                                       "pin SetDeviceState 2->3", "pin SetDeviceState 3->2", "pin SetDeviceState 2->1",
                                       "pin SetDeviceState 1->2", "filter handle closed", "pin SetDeviceState 2->1",
                                       "pin SetDeviceState 1->0", "pin Close", "filter Close"));
}

TEST_F(KsFilterTest, PinCreationRefusalsReachNoDriverRoutine) {
  struct Case {
    const char* name;
    ULONG pinId;
    GUID sub;
    ULONG formatSize;
    NTSTATUS setDataFormat;
    NTSTATUS create;
    NTSTATUS expected;
    std::vector<std::string> trace;
  };
  const std::vector<Case> cases = {
      {"pin id out of range", 2, kSubA, 64, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_INVALID_PARAMETER, {}},
      {"bridge pin", 1, kSubA, 64, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST, {}},
      {"short format", 0, kSubA, 63, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_INVALID_PARAMETER, {}},
      {"no matching range", 0, KSDATAFORMAT_SUBTYPE_PCM, 64, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_NO_MATCH, {}},
      {"every range refused",
       0,
       kSubA,
       64,
       STATUS_INVALID_PARAMETER,
       STATUS_SUCCESS,
       STATUS_INVALID_PARAMETER,
       {"pin SetDataFormat range 1", "pin SetDataFormat range 2"}},
      {"create fails: no close",
       0,
       kSubB,
       64,
       STATUS_SUCCESS,
       STATUS_INSUFFICIENT_RESOURCES,
       STATUS_INSUFFICIENT_RESOURCES,
       {"pin SetDataFormat range 0", "pin Create"}},
  };
  HANDLE filter = OpenFilter();
  TakeTrace();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_behaviour.setDataFormat = [&](PKSPIN, const KSDATARANGE*) { return c.setDataFormat; };
    g_behaviour.create = [&](PKSPIN, PIRP) { return c.create; };
    KSDATAFORMAT f = FormatOf(c.sub);
    f.FormatSize = c.formatSize;
    HANDLE pin = nullptr;
    EXPECT_EQ(client->CreatePin(filter, c.pinId, &f, &pin), c.expected);
    EXPECT_EQ(TakeTrace(), c.trace);
  }
  // One instance possible: the second pin is refused before the driver sees it.
  g_behaviour = PinBehaviour{};
  HANDLE pin = OpenPin(filter);
  TakeTrace();
  KSDATAFORMAT f = FormatOf(kSubA);
  HANDLE second = nullptr;
  EXPECT_EQ(client->CreatePin(filter, 0, &f, &second), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_TRUE(TakeTrace().empty());
  KSPIN_CINSTANCES inst{};
  KSP_PIN request{{KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, KSPROPERTY_TYPE_GET}, 0, 0};
  ULONG got = 0;
  EXPECT_EQ(client->DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof(request), &inst, sizeof(inst), &got),
            STATUS_SUCCESS);
  EXPECT_EQ(inst.PossibleCount, 1u);
  EXPECT_EQ(inst.CurrentCount, 1u);
  EXPECT_EQ(client->Close(pin), STATUS_SUCCESS);
}

TEST_F(KsFilterTest, AFailedStepStopsTheWalkWhereItFailed) {
  g_behaviour.setDeviceState = [](PKSPIN, KSSTATE to, KSSTATE) {
    return to == KSSTATE_RUN ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS;
  };
  HANDLE pin = OpenPin(OpenFilter());
  TakeTrace();
  EXPECT_EQ(client->SetState(pin, KSSTATE_RUN), STATUS_IO_DEVICE_ERROR);
  KSSTATE s;
  ASSERT_EQ(client->GetState(pin, &s), STATUS_SUCCESS);
  EXPECT_EQ(s, KSSTATE_PAUSE);
  EXPECT_THAT(TakeTrace(),
              ElementsAre("pin SetDeviceState 0->1", "pin SetDeviceState 1->2", "pin SetDeviceState 2->3"));
  ULONG bad = 4;
  EXPECT_EQ(client->SetProperty({pin}, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &bad, sizeof(bad)),
            STATUS_INVALID_PARAMETER);
  // Buffers are refused in STOP only.
  uint8_t buffer[16];
  EXPECT_EQ(client->Submit(pin, buffer, sizeof(buffer)), STATUS_SUCCESS);
  ASSERT_EQ(client->SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(client->Submit(pin, buffer, sizeof(buffer)), STATUS_INVALID_DEVICE_STATE);
  ks::CompletedFrame done;
  ASSERT_TRUE(client->Collect(pin, &done));
  EXPECT_EQ(done.Status, STATUS_CANCELLED);
}

// A driver that clones every frame at the leading edge and keeps the clones for the
// test to finish in any order.
struct CloningDriver {
  std::vector<PKSSTREAM_POINTER> clones;
  std::vector<NTSTATUS> advances;
  std::atomic<int> processCalls{0};
  std::thread::id processThread;

  NTSTATUS Process(PKSPIN pin) {
    processCalls++;
    processThread = std::this_thread::get_id();
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (!edge) return STATUS_SUCCESS;
    PKSSTREAM_POINTER clone = nullptr;
    NTSTATUS status = KsStreamPointerClone(edge, nullptr, 24, &clone);
    if (!NT_SUCCESS(status)) return status;
    auto* context = static_cast<uint64_t*>(clone->Context);
    EXPECT_EQ(context[0] | context[1] | context[2], 0u);
    context[0] = clones.size();
    clones.push_back(clone);
    KsStreamPointerUnlock(clone, FALSE);
    advances.push_back(KsStreamPointerAdvance(edge));
    return STATUS_SUCCESS;
  }
};

TEST_F(KsFilterTest, FramesCompleteInQueueOrderWhateverOrderTheirClonesGo) {
  CloningDriver driver;
  g_behaviour.process = [&](PKSPIN p) { return driver.Process(p); };
  g_behaviour.create = [](PKSPIN p, PIRP) {
    p->StreamHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
    return STATUS_SUCCESS;
  };
  HANDLE pin = OpenPin(OpenFilter());
  uint8_t buffers[3][32];
  ASSERT_EQ(client->SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  for (int i = 0; i < 3; i++) ASSERT_EQ(client->Submit(pin, buffers[i], sizeof(buffers[i]), 100 + i), STATUS_SUCCESS);
  client->WaitProcessingIdle(pin);
  EXPECT_EQ(driver.processCalls, 0);  // run-state-only processing
  ASSERT_EQ(client->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  client->WaitProcessingIdle(pin);
  ASSERT_EQ(driver.clones.size(), 3u);
  EXPECT_NE(driver.processThread, std::this_thread::get_id());
  // The leading edge went past the last frame: the end of the queue, not an error the
  // driver must clean up after.
  EXPECT_THAT(driver.advances, ElementsAre(STATUS_SUCCESS, STATUS_SUCCESS, STATUS_DEVICE_NOT_READY));

  // Clones in creation order.
  PKSSTREAM_POINTER c = KsPinGetFirstCloneStreamPointer(driver.clones[0]->Pin);
  for (size_t i = 0; i < 3; i++, c = KsStreamPointerGetNextClone(c)) ASSERT_EQ(c, driver.clones[i]);
  EXPECT_EQ(c, nullptr);

  // The newest frame finishes first, then the oldest, then the middle one.
  for (size_t i : {2, 0, 1}) {
    PKSSTREAM_POINTER clone = driver.clones[i];
    clone->StreamHeader->DataUsed = 10 + (ULONG)i;
    clone->StreamHeader->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
    reinterpret_cast<PKS_FRAME_INFO>(clone->StreamHeader + 1)->PictureNumber = 1000 + i;
    KsStreamPointerDelete(clone);
    ks::CompletedFrame early;
    if (i == 2) {
      EXPECT_FALSE(client->Collect(pin, &early));  // waits behind the older frames
    }
  }
  for (int i = 0; i < 3; i++) {
    ks::CompletedFrame done;
    ASSERT_TRUE(client->Collect(pin, &done));
    EXPECT_EQ(done.Status, STATUS_SUCCESS);
    EXPECT_EQ(done.Tag, 100u + i);
    EXPECT_EQ(done.Data, buffers[i]);
    EXPECT_EQ(done.Header.Size, 128u);
    EXPECT_EQ(done.Header.FrameExtent, 32u);
    EXPECT_EQ(done.Header.DataUsed, 10u + i);
    EXPECT_EQ(done.Header.OptionsFlags, (ULONG)KSSTREAM_HEADER_OPTIONSF_TIMEVALID);
    EXPECT_EQ(done.FrameInfo.ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
    EXPECT_EQ(done.FrameInfo.PictureNumber, 1000 + i);
  }

  // A frame arriving at the empty leading edge is processed at once.
  ASSERT_EQ(client->Submit(pin, buffers[0], sizeof(buffers[0]), 7), STATUS_SUCCESS);
  client->WaitProcessingIdle(pin);
  ASSERT_EQ(driver.clones.size(), 4u);
  EXPECT_EQ(driver.advances.back(), STATUS_DEVICE_NOT_READY);
  KsStreamPointerDelete(driver.clones[3]);
  ks::CompletedFrame done;
  ASSERT_TRUE(client->Collect(pin, &done));
  EXPECT_EQ(done.Tag, 7u);
  EXPECT_EQ(client->Close(pin), STATUS_SUCCESS);
}

TEST_F(KsFilterTest, StopCancelsWhatNoCloneHoldsAndTheRestFinishesLater) {
  int processes = 0;
  PKSSTREAM_POINTER held = nullptr;
  // Only the first frame is cloned; the edge then stays on the second.
  g_behaviour.process = [&](PKSPIN p) {
    if (processes++) return STATUS_PENDING;
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(p, KSSTREAM_POINTER_STATE_LOCKED);
    EXPECT_EQ(KsStreamPointerClone(edge, nullptr, 0, &held), STATUS_SUCCESS);
    EXPECT_EQ(KsStreamPointerAdvance(edge), STATUS_SUCCESS);
    return STATUS_PENDING;
  };
  HANDLE pin = OpenPin(OpenFilter());
  uint8_t b[3][8];
  // All three frames are queued before the pin runs, so the first Process call finds a
  // second frame to advance onto (a running pin could be processed after one submission).
  ASSERT_EQ(client->SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  for (int i = 0; i < 3; i++) ASSERT_EQ(client->Submit(pin, b[i], 8, i), STATUS_SUCCESS);
  ASSERT_EQ(client->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  client->WaitProcessingIdle(pin);
  ASSERT_NE(held, nullptr);
  ASSERT_EQ(client->SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  ks::CompletedFrame done;
  for (int i : {1, 2}) {
    ASSERT_TRUE(client->Collect(pin, &done));
    EXPECT_EQ(done.Tag, (uint64_t)i);
    EXPECT_EQ(done.Status, STATUS_CANCELLED);
    EXPECT_EQ(done.Header.DataUsed, 0u);
  }
  EXPECT_FALSE(client->Collect(pin, &done));
  held->StreamHeader->DataUsed = 8;
  KsStreamPointerDelete(held);
  ASSERT_TRUE(client->Collect(pin, &done));
  EXPECT_EQ(done.Tag, 0u);
  EXPECT_EQ(done.Status, STATUS_SUCCESS);
  EXPECT_EQ(done.Header.DataUsed, 8u);
}

TEST_F(KsFilterTest, CloneFailuresAndAdvancingAClonePastTheEnd) {
  std::vector<NTSTATUS> seen;
  PKSSTREAM_POINTER clone = nullptr;
  g_behaviour.process = [&](PKSPIN p) {
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(p, KSSTREAM_POINTER_STATE_LOCKED);
    seen.push_back(KsStreamPointerClone(edge, nullptr, 8, &clone));  // injected failure
    seen.push_back(KsStreamPointerClone(edge, nullptr, 8, &clone));
    seen.push_back(KsStreamPointerAdvance(clone));  // onto the second frame
    seen.push_back(KsStreamPointerAdvance(clone));  // past the end
    seen.push_back(KsStreamPointerAdvance(edge));
    return STATUS_PENDING;
  };
  HANDLE pin = OpenPin(OpenFilter());
  // Both frames are queued before the pin runs, so one Process call sees them both (a
  // running pin could be processed between the two submissions).
  ASSERT_EQ(client->SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  ks::FailNthStreamPointerClone(1);
  uint8_t b[2][8];
  ASSERT_EQ(client->Submit(pin, b[0], 8, 0), STATUS_SUCCESS);
  ASSERT_EQ(client->Submit(pin, b[1], 8, 1), STATUS_SUCCESS);
  ASSERT_EQ(client->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  client->WaitProcessingIdle(pin);
  EXPECT_THAT(seen, ElementsAre(STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_DEVICE_NOT_READY,
                                STATUS_SUCCESS));
  EXPECT_EQ(clone->StreamHeader, nullptr);
  // The first frame is free (edge past it, clone moved on); the second still has the edge.
  ks::CompletedFrame done;
  ASSERT_TRUE(client->Collect(pin, &done));
  EXPECT_EQ(done.Tag, 0u);
  EXPECT_FALSE(client->Collect(pin, &done));
  KsStreamPointerDelete(clone);
}

TEST_F(KsFilterTest, AttemptProcessingOnlySchedulesAndNeverOutsideRun) {
  std::atomic<int> calls{0};
  PKSPIN thePin = nullptr;
  g_behaviour.create = [&](PKSPIN p, PIRP) {
    thePin = p;
    return STATUS_SUCCESS;
  };
  g_behaviour.process = [&](PKSPIN) {
    calls++;
    return STATUS_PENDING;  // leaves the frame at the edge: only a new trigger runs it again
  };
  HANDLE pin = OpenPin(OpenFilter());
  uint8_t b[8];
  ASSERT_EQ(client->SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(client->Submit(pin, b, 8), STATUS_SUCCESS);
  KsPinAttemptProcessing(thePin, TRUE);
  client->WaitProcessingIdle(pin);
  EXPECT_EQ(calls, 0);
  ASSERT_EQ(client->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);  // entering RUN is a trigger
  client->WaitProcessingIdle(pin);
  EXPECT_EQ(calls, 1);
  KsPinAttemptProcessing(thePin, TRUE);
  client->WaitProcessingIdle(pin);
  EXPECT_EQ(calls, 2);
}

TEST_F(KsFilterTest, ProcessNeverOverlapsItselfOrAStateChange) {
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> processed{0};
  auto enter = [&] {
    if (inside.fetch_add(1) != 0) overlaps++;
    std::this_thread::yield();
    inside.fetch_sub(1);
  };
  PKSPIN thePin = nullptr;
  g_behaviour.create = [&](PKSPIN p, PIRP) {
    thePin = p;
    return STATUS_SUCCESS;
  };
  g_behaviour.setDeviceState = [&](PKSPIN, KSSTATE, KSSTATE) {
    enter();
    return STATUS_SUCCESS;
  };
  g_behaviour.process = [&](PKSPIN p) {
    enter();
    processed++;
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(p, KSSTREAM_POINTER_STATE_LOCKED);
    if (edge) KsStreamPointerAdvance(edge);
    return STATUS_SUCCESS;
  };
  HANDLE pin = OpenPin(OpenFilter());
  std::vector<uint8_t> data(64);
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    while (!stop) {
      client->Submit(pin, data.data(), (ULONG)data.size());
      KsPinAttemptProcessing(thePin, TRUE);
      ks::CompletedFrame done;
      while (client->Collect(pin, &done)) {
      }
    }
  });
  // At least 200 rounds, and on until Process has run often enough to have met the steps:
  // a loaded machine may run the processing thread late, however many rounds pass. (The
  // real-time bound only ends a broken run.)
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  int i = 0;
  for (; (i < 200 || processed < 20) && std::chrono::steady_clock::now() < giveUp; i++) {
    EXPECT_EQ(client->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(client->SetState(pin, i % 2 ? KSSTATE_ACQUIRE : KSSTATE_STOP), STATUS_SUCCESS);
  }
  stop = true;
  feeder.join();
  EXPECT_EQ(overlaps, 0);
  EXPECT_GE(processed, 20) << "in " << i << " rounds";
}

// On the jumping test clock a request to process is work in flight until Process has
// returned: however late a busy machine runs the pin's processing thread, no machine time
// passes meanwhile, or a frame's time could go by before the frame was taken. The only
// other machine work is this thread's 10 ms delay, which the clock would otherwise end at
// once; the processing is held (before its thread takes the request, or inside Process)
// until the clock has moved or had 200 ms of real time to.
TEST_F(KsFilterTest, TheJumpingClockWaitsForProcessingRequestedAndRunning) {
  struct Case {
    const char* name;
    bool holdThread;  // else Process itself waits
  };
  for (const Case& c : {Case{"processing thread held", true}, Case{"Process held", false}}) {
    SCOPED_TRACE(c.name);
    pk::SetMode(pk::Mode::Threaded);
    pk::UseJumpingTestClock();
    pk::SetDelayScale(1);
    std::mutex gateLock;
    std::condition_variable gateCv;
    bool open = false;
    std::atomic<LONGLONG> entered{-1}, left{-1};
    g_behaviour.process = [&](PKSPIN p) {
      entered = pk::InterruptTimeNow();
      if (!c.holdThread) {
        std::unique_lock<std::mutex> l(gateLock);
        gateCv.wait(l, [&] { return open; });
      }
      left = pk::InterruptTimeNow();
      PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(p, KSSTREAM_POINTER_STATE_LOCKED);
      if (edge) KsStreamPointerAdvance(edge);
      return STATUS_SUCCESS;
    };
    HANDLE filter = OpenFilter();
    HANDLE pin = OpenPin(filter);
    uint8_t b[64];
    {
      pk::MachineThreadScope machineThread;
      ASSERT_EQ(client->SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
      ASSERT_EQ(client->Submit(pin, b, sizeof b), STATUS_SUCCESS);
      if (c.holdThread) ks::HoldProcessingThreads(true);
      const LONGLONG start = pk::InterruptTimeNow();
      ASSERT_EQ(client->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);  // requests processing
      std::thread opener([&] {
        for (int ms = 0; ms < 200 && pk::InterruptTimeNow() == start; ms++)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (c.holdThread) ks::HoldProcessingThreads(false);
        std::lock_guard<std::mutex> l(gateLock);
        open = true;
        gateCv.notify_all();
      });
      LARGE_INTEGER d;
      d.QuadPart = -100000;
      KeDelayExecutionThread(KernelMode, FALSE, &d);
      opener.join();
      client->WaitProcessingIdle(pin);
      EXPECT_EQ(entered.load(), start);
      EXPECT_EQ(left.load(), start);
      EXPECT_EQ(pk::InterruptTimeNow(), start + 100000);
      ks::CompletedFrame done;
      EXPECT_TRUE(client->Collect(pin, &done));
      EXPECT_EQ(client->Close(pin), STATUS_SUCCESS);
      EXPECT_EQ(client->Close(filter), STATUS_SUCCESS);
    }
    pk::UseTestClock();
    g_behaviour.process = nullptr;
  }
}

TEST_F(KsFilterTest, TheReferenceClockIsTheMasterClockOnTheMachineClock) {
  PKSPIN thePin = nullptr;
  g_behaviour.create = [&](PKSPIN p, PIRP) {
    thePin = p;
    return STATUS_SUCCESS;
  };
  HANDLE pin = OpenPin(OpenFilter());
  PIKSREFERENCECLOCK clock = reinterpret_cast<PIKSREFERENCECLOCK>(1);
  EXPECT_EQ(KsPinGetReferenceClockInterface(thePin, &clock), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(clock, nullptr);
  {
    ks::ReferenceClock master;
    ASSERT_EQ(client->SetMasterClock(pin, &master), STATUS_SUCCESS);
    ASSERT_EQ(KsPinGetReferenceClockInterface(thePin, &clock), STATUS_SUCCESS);
    ASSERT_NE(clock, nullptr);
    LONGLONG t0 = clock->GetTime();
    pk::AdvanceClock(333333);
    EXPECT_EQ(clock->GetTime() - t0, 333333);
    master.Set(5000000);
    EXPECT_EQ(clock->GetTime(), 5000000);
  }
  // The driver's reference outlives the application's clock object.
  pk::AdvanceClock(10);
  EXPECT_EQ(clock->GetTime(), 5000010);
  clock->Release();
  // A handle that is no clock is refused; null takes the clock away.
  HANDLE bogus = reinterpret_cast<HANDLE>(0x1234);
  EXPECT_EQ(client->SetProperty({pin}, KSPROPSETID_Stream, KSPROPERTY_STREAM_MASTERCLOCK, &bogus, sizeof(bogus)),
            STATUS_INVALID_HANDLE);
  ASSERT_EQ(client->SetMasterClock(pin, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KsPinGetReferenceClockInterface(thePin, &clock), STATUS_UNSUCCESSFUL);
}

}  // namespace
}  // namespace ks_test
