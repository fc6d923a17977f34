// The main job's whole sequence under injected faults: every time, either a clean run or
// a non-zero exit whose last line names the failed stage; never a hang, pool or bus
// resources left allocated, or a verifier report.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "apps/capture/capture_job.h"
#include "platform/board/board.h"
#include "platform/board/encoder_core.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"
#include "platform/pci/host.h"

namespace {

namespace fs = std::filesystem;
namespace pk = platform::kernel;
namespace board = platform::board;

struct Outcome {
  int code = 0;
  std::string report;
  uint64_t allocations = 0;  // pool allocations from the injection on
};

class CaptureFaults : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The same sequence a few hundred times over: the native build runs it, the
    // sanitizer builds run the job once in its own test (VORLIX_SANITIZED_FAULTS=1 runs
    // them here too, for a hunt).
    if (!std::getenv("VORLIX_SANITIZED_FAULTS")) GTEST_SKIP() << "runs in the native build only";
#endif
    dir_ = fs::temp_directory_path() / ("vorlix_capture_faults_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
  }
  void TearDown() override {
    pk::ResetMachine();
    fs::remove_all(dir_);
  }

  // One run from a fresh machine, with `inject` applied just before the driver loads.
  Outcome RunWith(const std::string& what, std::function<void(board::EncoderBoard&)> inject) {
    SCOPED_TRACE(what);
    fs::remove_all(dir_);
    vorlix::capture::Options options;
    options.root = dir_ / "root";
    options.out = dir_ / "out";
    options.seconds = 0;
    options.delayScale = 0;
    uint64_t start = 0;
    options.beforeLoad = [&](board::EncoderBoard& b) {
      start = pk::PoolAllocationCount();
      if (inject) inject(b);
    };
    std::ostringstream report;
    auto run = std::async(std::launch::async, [&] { return vorlix::capture::Run(options, report); });
    if (run.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
      ADD_FAILURE() << what << ": the run hangs";
      std::abort();  // a hung run cannot be taken down from here
    }
    Outcome out;
    out.code = run.get();
    out.report = report.str();
    out.allocations = pk::PoolAllocationCount() - start;
    Check(what, out);
    pk::ClearPoolFaults();
    pk::ClearFileFaults();
    pk::RegistryClearFaults();
    return out;
  }

  // What must hold after every run, whatever was injected.
  void Check(const std::string& what, const Outcome& out) {
    const std::string& r = out.report;
    std::string last = r.substr(r.rfind('\n', r.size() - 2) + 1);
    if (out.code == 0) {
      // A clean run did the whole job.
      EXPECT_EQ(last, "vorlix-capture: done\n") << what << "\n" << r;
      EXPECT_NE(r.find("encoder firmware        downloaded"), std::string::npos) << what << "\n" << r;
      EXPECT_NE(r.find("filter                  video capture {"), std::string::npos) << what << "\n" << r;
    } else {
      EXPECT_EQ(out.code, 1) << what;
      // The last line names at least one stage.
      EXPECT_EQ(last.rfind("vorlix-capture: FAILED: ", 0), 0u) << what << "\n" << r;
      EXPECT_GT(last.size(), std::string("vorlix-capture: FAILED: \n").size()) << what;
    }
    // Nothing left allocated and nothing the verifier saw.
    for (const char* bad : {"POOL LEAKED", "LEFT ALLOCATED", " FAILURES"})
      EXPECT_EQ(r.find(bad), std::string::npos) << what << "\n" << r;
    EXPECT_NE(r.find("verifier                no failures"), std::string::npos) << what << "\n" << r;
    EXPECT_EQ(pk::PoolLiveBlocks(), 0) << what;
    EXPECT_TRUE(platform::pci::Outstanding().empty()) << what;
    for (const auto& f : pk::TakeVerifierFailures()) ADD_FAILURE() << what << ": " << pk::FormatVerifierFailure(f);
  }

  static std::string TagText(ULONG tag) {
    std::string t;
    for (int i = 0; i < 4; ++i) t.push_back(static_cast<char>((tag >> (8 * i)) & 0xFF));
    return t;
  }

  fs::path dir_;
};

// Pool allocations of the run fail in turn: the first of every kind (tag and size), a
// sample spread over the rest, and the first and every allocation of each tag.
TEST_F(CaptureFaults, EachPoolAllocationFailing) {
  std::vector<pk::PoolCall> calls;
  Outcome clean = RunWith("no fault", [&calls](board::EncoderBoard&) {
    pk::ClearPoolCallLog();
    pk::EnablePoolCallLog(true);
  });
  for (const pk::PoolCall& c : pk::PoolCallLog())
    if (!c.free) calls.push_back(c);
  pk::EnablePoolCallLog(false);
  ASSERT_EQ(clean.code, 0) << clean.report;
  ASSERT_EQ(calls.size(), clean.allocations);
  std::vector<ULONG> tags;
  for (const auto& t : pk::PoolAllStats())
    if (t.allocations) tags.push_back(t.tag);
  std::set<uint64_t> picks;
  std::set<std::pair<ULONG, SIZE_T>> kinds;
  for (size_t i = 0; i < calls.size(); ++i)
    if (kinds.insert({calls[i].tag, calls[i].size}).second) picks.insert(i + 1);
  const uint64_t total = clean.allocations;
  for (uint64_t n = 1; n <= total; n += 1 + total / 64) picks.insert(n);
  picks.insert(total);
  std::printf("%llu pool allocations of %zu kinds under %zu tags in a clean run; %zu of them made to fail\n",
              (unsigned long long)total, kinds.size(), tags.size(), picks.size());
  int failed = 0;
  for (uint64_t n : picks) {
    Outcome out = RunWith("allocation " + std::to_string(n) + " of " + std::to_string(total),
                          [n](board::EncoderBoard&) { pk::FailNthAllocation(n); });
    failed += out.code != 0;
  }
  for (ULONG tag : tags) {
    for (uint64_t count : {uint64_t(1), UINT64_MAX}) {
      Outcome out = RunWith("tag " + TagText(tag) + (count == 1 ? ", first allocation" : ", every allocation"),
                            [tag, count](board::EncoderBoard&) { pk::FailAllocationsWithTag(tag, count); });
      failed += out.code != 0;
    }
  }
  // An allocation the run cannot do without fails it, and says so.
  EXPECT_GT(failed, 0);
}

// The driver's registry and file calls failing: every call of a kind, or one of the
// first few.
TEST_F(CaptureFaults, RegistryAndFileCallsFailing) {
  using Op = pk::RegistryOperation;
  for (Op op : {Op::Open, Op::Query, Op::Set}) {
    for (uint64_t n : {uint64_t(1), uint64_t(2), uint64_t(5)})
      RunWith("registry call " + std::to_string(int(op)) + " number " + std::to_string(n),
              [op, n](board::EncoderBoard&) {
                pk::RegistryInjectFault(op, {n - 1, 1, 1});
              });
    RunWith("every registry call " + std::to_string(int(op)), [op](board::EncoderBoard&) {
      pk::RegistryInjectFault(op, {0, 1, 0});
    });
  }
  for (pk::FileOp op : {pk::FileOp::Create, pk::FileOp::Read, pk::FileOp::Query}) {
    for (uint64_t n : {uint64_t(1), uint64_t(2), uint64_t(3)}) {
      Outcome out =
          RunWith("file call " + std::to_string(int(op)) + " number " + std::to_string(n),
                  [op, n](board::EncoderBoard&) { pk::FailNthFileOperation(op, n, STATUS_INSUFFICIENT_RESOURCES); });
      // The firmware file is the first file the driver opens and reads, at device
      // start's hardware initialisation: start goes on without it, and the run says so.
      if (n == 1) {
        EXPECT_EQ(out.code, 1) << out.report;
        EXPECT_NE(out.report.find("encoder firmware        NOT DOWNLOADED"), std::string::npos) << out.report;
      }
    }
  }
}

// The faults the simulated board offers.
TEST_F(CaptureFaults, BoardFaults) {
  using F = std::function<void(board::EncoderBoard&)>;
  const std::pair<const char*, F> faults[] = {
      {"no signal", [](board::EncoderBoard& b) { b.encoder().SetSignal(board::InputFormat::kNone); }},
      {"receiver absent", [](board::EncoderBoard& b) { b.encoder().SetReceiverPresent(false); }},
      {"identity EEPROM absent", [](board::EncoderBoard& b) { b.SetEepromPresent(false); }},
      {"bus A stuck", [](board::EncoderBoard& b) { b.SetBusStuck(board::EncoderBoard::Bus::A, true); }},
      {"bus B stuck", [](board::EncoderBoard& b) { b.SetBusStuck(board::EncoderBoard::Bus::B, true); }},
      {"mailbox stuck busy", [](board::EncoderBoard& b) { b.encoder().SetStuckBusy(true); }},
      {"configure-done responses lost",
       [](board::EncoderBoard& b) { b.encoder().DropResponses(board::EncoderCore::kAll); }},
      {"one response lost", [](board::EncoderBoard& b) { b.encoder().DropResponses(1); }},
      {"firmware chunk lost", [](board::EncoderBoard& b) { b.encoder().DropChunkDoneFrom(3); }},
      {"every firmware chunk lost", [](board::EncoderBoard& b) { b.encoder().DropChunkDoneFrom(0); }},
  };
  for (const auto& [name, inject] : faults) {
    Outcome out = RunWith(name, inject);
    std::printf("%-32s exit %d: %s", name, out.code,
                out.report.substr(out.report.rfind('\n', out.report.size() - 2) + 1).c_str());
  }
}

}  // namespace
