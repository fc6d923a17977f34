// The encoder board's data path on its own, register by register in manual mode: the test
// pattern and its preview layout, the H.264 engine, responses held until their
// acknowledgement, the board-to-host DMA and its checks, bus errors and the producers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/board/board.h"
#include "platform/board/encoder_core.h"
#include "platform/board/h264_model.h"
#include "platform/board/test_pattern.h"
#include "platform/kernel/machine.h"
#include "platform/pci/host.h"
#include "platform/pci/pci.h"

namespace board = platform::board;
namespace machine = platform::kernel;

namespace {

constexpr ULONG kIntStatus = 0x3930, kCommand = 0x3A30, kRespType = 0x3A40, kRespWord = 0x3A50, kRespLength = 0x3A60,
                kRespTag = 0x3D80, kRespAck = 0x3D30, kDmaStatus = 0x3980;
constexpr ULONG kUdmaBoardOffset = 0x3960, kUdmaControl = 0x3990, kUdmaSource = 0x39A0, kUdmaHost = 0x39B0,
                kUdmaLength = 0x39C0, kUdmaBurst = 0x39D0, kCoreControl = 0x3C20;
constexpr ULONG kArgs[8] = {0x3950, 0x3C80, 0x3C90, 0x3CA0, 0x3CB0, 0x3D00, 0x3D10, 0x3D20};

// ---- Test pattern and layout ----------------------------------------------------------------

TEST(TestPattern, EveryFrameCarriesItsNumberAndTheBarMoves) {
  struct Case {
    uint32_t w, h, number;
  };
  for (const Case& c : {Case{128, 64, 0}, Case{320, 180, 1}, Case{640, 360, 0xDEADBEEF}, Case{1920, 1080, 0xFFFFFFFF},
                        Case{1280, 720, 12345}}) {
    SCOPED_TRACE(c.w);
    std::vector<uint8_t> p = board::TestPatternI420(c.w, c.h, c.number);
    ASSERT_EQ(p.size(), (size_t)c.w * c.h * 3 / 2);
    EXPECT_EQ(board::ReadPatternNumber(p.data(), c.w, c.w, c.h), (int64_t)c.number);
    if (c.h <= 64) continue;  // all code, no room for the bar below it
    std::vector<uint8_t> next = board::TestPatternI420(c.w, c.h, c.number + 1);
    // Below the code the pictures differ only where the bar was and is.
    size_t row = c.h - 1;
    EXPECT_NE(0, memcmp(&p[row * c.w], &next[row * c.w], c.w));
  }
  std::vector<uint8_t> small = board::TestPatternI420(64, 32, 7);
  EXPECT_EQ(board::ReadPatternNumber(small.data(), 64, 64, 32), -1);
}

TEST(TestPattern, PreviewLayoutIsMacroblocksOfLumaThenPairedChroma) {
  const uint32_t w = 40, h = 24;  // neither a multiple of 16: padded blocks
  std::vector<uint8_t> p(w * h * 3 / 2);
  for (size_t i = 0; i < p.size(); ++i) p[i] = (uint8_t)(i * 7 + 3);
  std::vector<uint32_t> words = board::TilePreview(p, w, h);
  ASSERT_EQ(words.size(), 3u * 2 * 96);
  const uint8_t* t = reinterpret_cast<const uint8_t*>(words.data());
  const uint8_t* u = p.data() + w * h;
  const uint8_t* v = u + (w / 2) * (h / 2);
  // Block (column 1, row 0): luma line 3, byte 5.
  EXPECT_EQ(t[1 * 384 + 3 * 16 + 5], p[3 * w + 16 + 5]);
  // Block (column 0, row 1): chroma line 2, pair 4 is U then V of chroma (4, 8 + 2).
  EXPECT_EQ(t[3 * 384 + 256 + 2 * 16 + 8], u[10 * (w / 2) + 4]);
  EXPECT_EQ(t[3 * 384 + 256 + 2 * 16 + 9], v[10 * (w / 2) + 4]);
  // Outside the picture: black.
  EXPECT_EQ(t[2 * 384 + 0 * 16 + 15], 16);        // column 47
  EXPECT_EQ(t[5 * 384 + 15 * 16 + 0], 16);        // line 31
  EXPECT_EQ(t[5 * 384 + 256 + 7 * 16 + 1], 128);  // chroma line 15
}

TEST(TestPattern, ToneIsOneChannelTwoSamplesAWord) {
  std::vector<uint32_t> a = board::ToneMono16(0, 96), b = board::ToneMono16(48, 48);
  ASSERT_EQ(a.size(), 48u);
  ASSERT_EQ(b.size(), 24u);
  EXPECT_TRUE(std::equal(b.begin(), b.end(), a.begin()));  // one period is 48 samples
  std::vector<int16_t> s;
  for (uint32_t w : a) {
    s.push_back((int16_t)(w & 0xFFFF));
    s.push_back((int16_t)(w >> 16));
  }
  EXPECT_EQ(s[0], 0);
  EXPECT_EQ(s[12], 8000);   // a quarter period in
  EXPECT_EQ(s[36], -8000);  // three quarters
  EXPECT_EQ(*std::max_element(s.begin(), s.end()), 8000);
}

// ---- H.264 engine ---------------------------------------------------------------------------

// NAL unit types of an Annex B access unit, and the first bytes of its SPS.
struct Nals {
  std::vector<int> types;
  std::vector<uint8_t> sps;
};
Nals Split(const std::vector<uint8_t>& au) {
  Nals n;
  for (size_t i = 0; i + 3 < au.size(); ++i) {
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
      int type = au[i + 3] & 0x1F;
      n.types.push_back(type);
      if (type == 7) n.sps.assign(au.begin() + i + 4, au.begin() + std::min(au.size(), i + 8));
      i += 3;
    }
  }
  return n;
}

TEST(H264Model, GopProfileLevelAndDeterminism) {
  board::H264Settings s;
  s.width = 320;
  s.height = 180;
  s.fpsNum = 30;
  s.gop = 5;
  s.qp = 30;
  board::H264Model a, b;
  ASSERT_TRUE(a.Open(s));
  ASSERT_TRUE(b.Open(s));
  for (uint32_t f = 0; f < 12; ++f) {
    SCOPED_TRACE(f);
    std::vector<uint8_t> pic = board::TestPatternI420(320, 180, f);
    int ta = -1, tb = -1;
    std::vector<uint8_t> au = a.Encode(pic.data(), &ta);
    EXPECT_EQ(au, b.Encode(pic.data(), &tb));  // one thread: the same bytes every time
    ASSERT_GE(au.size(), 5u);
    EXPECT_EQ(au[0] | au[1] | au[2], 0);
    EXPECT_EQ(au[3], 1);
    Nals n = Split(au);
    EXPECT_EQ(ta, f % 5 == 0 ? 0 : 1);
    if (f % 5 == 0) {
      // Every IDR repeats the parameter sets.
      ASSERT_GE(n.types.size(), 3u);
      EXPECT_EQ(n.types[0], 7);
      EXPECT_EQ(n.types[1], 8);
      EXPECT_EQ(n.types.back(), 5);
      ASSERT_EQ(n.sps.size(), 4u);
      EXPECT_EQ(n.sps[0], 100);  // High
      EXPECT_EQ(n.sps[2], board::H264LevelFor(320, 180, 30));
    } else {
      EXPECT_EQ(std::count(n.types.begin(), n.types.end(), 5), 0);
      EXPECT_EQ(std::count(n.types.begin(), n.types.end(), 7), 0);
    }
    // The engine's version SEI (with its option string) is left out.
    std::string text(au.begin(), au.end());
    EXPECT_EQ(text.find("x264"), std::string::npos);
  }
  EXPECT_FALSE(a.Open(board::H264Settings{}));
  EXPECT_EQ(board::H264LevelFor(1920, 1080, 30), 40);
  EXPECT_EQ(board::H264LevelFor(1920, 1080, 60), 42);
  EXPECT_EQ(board::H264LevelFor(1280, 720, 30), 31);
}

TEST(H264Model, ConstantBitRateFillsEveryFrameToTheRate) {
  board::H264Settings s;
  s.width = 320;
  s.height = 180;
  s.fpsNum = 25;
  s.gop = 25;
  s.constantQp = false;
  s.bitRateKbit = 800;
  board::H264Model m;
  ASSERT_TRUE(m.Open(s));
  size_t total = 0, frames = 0;
  for (uint32_t f = 0; f < 75; ++f) {
    std::vector<uint8_t> au = m.Encode(board::TestPatternI420(320, 180, f).data(), nullptr);
    if (f >= 25) {
      total += au.size();
      ++frames;
    }
  }
  // After the first second the buffer is full: 800 kbit/s at 25 fps is 4,000 bytes a frame.
  double perFrame = (double)total / frames;
  EXPECT_NEAR(perFrame, 4000.0, 200.0);
}

// ---- Responses and the board-to-host DMA ----------------------------------------------------

class DataPathTest : public ::testing::Test {
 public:  // the cases of the violation table drive the fixture
  void SetUp() override {
    machine::ResetMachine();
    platform::pci::Reset();
    machine::UseTestClock();
    PHYSICAL_ADDRESS low{}, high{}, boundary{};
    high.QuadPart = 0xFFFFFFFF;
    host_ = static_cast<ULONG*>(MmAllocateContiguousMemorySpecifyCache(kHostBytes, low, high, boundary, MmCached));
    ASSERT_NE(host_, nullptr);
    physical_ = (ULONG)MmGetPhysicalAddress(host_).QuadPart;
    core_.SetRunning();
  }
  void TearDown() override {
    if (host_) MmFreeContiguousMemorySpecifyCache(host_, kHostBytes, MmCached);
    platform::pci::Reset();
    machine::ResetMachine();
  }
  void Send(ULONG command, ULONG arg1 = 0, ULONG arg2 = 0, ULONG arg3 = 0, ULONG arg4 = 0) {
    ULONG words[9] = {command, arg1, arg2, arg3, arg4, 0, 0, 0, 0};
    ULONG sum = 0;
    for (int i = 0; i < 8; ++i) sum += words[i];
    words[8] = 0u - sum;
    for (int i = 0; i < 8; ++i) board_.WriteRegister(0, kArgs[i], words[i + 1], 4);
    board_.WriteRegister(0, kCommand, command, 4);
    board_.ReadRegister(0, 0x3920, 4);  // the busy window
  }
  ULONG Read(ULONG offset) { return board_.ReadRegister(0, offset, 4); }
  void Write(ULONG offset, ULONG value) { board_.WriteRegister(0, offset, value, 4); }
  // Takes the pending response as the driver does; returns its type.
  ULONG Take() {
    board_.RunDueEvents();
    if (!(board_.PendingStatus() & 0x10000)) return 0;
    Write(kIntStatus, 0x10000);
    ULONG type = Read(kRespType);
    Write(kRespAck, 0);
    return type;
  }
  void SetUpDma(ULONG source, ULONG offset) {
    Write(kUdmaBoardOffset, offset);
    Write(kUdmaSource, source);
    Write(kUdmaBurst, 0x80);
    Write(kUdmaHost, physical_);
  }
  // Moves one chunk; true when its transfer-done came.
  bool Chunk(ULONG words) {
    Write(kUdmaLength, words);
    Write(kUdmaControl, 0x80000001);
    board_.RunDueEvents();
    bool done = board_.PendingStatus() & 0x40000;
    Write(kIntStatus, 0x40000);
    return done;
  }
  std::vector<ULONG> Payload(ULONG words, ULONG seed) {
    std::vector<ULONG> p(words);
    for (ULONG i = 0; i < words; ++i) p[i] = seed * 0x9E3779B9u + i;
    return p;
  }

  static constexpr size_t kHostBytes = 0x10000;
  board::EncoderBoard board_;
  board::EncoderCore& core_ = board_.encoder();
  ULONG* host_ = nullptr;
  ULONG physical_ = 0;
};

TEST_F(DataPathTest, AStreamPacketMovesInChunksAndIsHeldUntilItsAcknowledgement) {
  std::vector<ULONG> first = Payload(0x2800, 1), second = Payload(0x10, 2);
  core_.QueueTransfer(1, 0x00020010, first);
  core_.QueueTransfer(1, 0x00030210, second);
  ASSERT_EQ(Take(), 1u);
  EXPECT_EQ(Read(kRespWord), 0x00020010u);
  EXPECT_EQ(Read(kRespLength), 0x2800u);
  EXPECT_EQ(Read(kRespTag), 1u);
  // Taken but not acknowledged: the second waits.
  EXPECT_EQ(Take(), 0u);
  SetUpDma(2, 0x1000);
  ASSERT_TRUE(Chunk(0x2000));
  EXPECT_EQ(Read(kDmaStatus), 0x2000u);
  EXPECT_EQ(0, memcmp(host_, first.data(), 0x2000 * 4));
  ASSERT_TRUE(Chunk(0x800));
  EXPECT_EQ(0, memcmp(host_, first.data() + 0x2000, 0x800 * 4));
  EXPECT_EQ(Take(), 0u);
  Send(4, 0x00020010, 0x2800, 1);
  ASSERT_EQ(Take(), 1u);
  EXPECT_EQ(Read(kRespWord), 0x00030210u);
  EXPECT_EQ(Read(kRespTag), 2u);
  EXPECT_EQ(core_.state().doneCommands, 1u);
  EXPECT_EQ(core_.state().chunks, 2u);
  EXPECT_TRUE(board_.Violations().empty());
}

TEST_F(DataPathTest, ProtocolViolations) {
  struct Case {
    const char* name;
    std::function<void(DataPathTest&)> run;
    const char* violation;
  };
  const Case cases[] = {
      {"DMA with nothing taken", [](DataPathTest& t) { t.Chunk(16); }, "started with no response taken"},
      {"wrong source",
       [](DataPathTest& t) {
         t.core_.QueueTransfer(1, 0x00020000, t.Payload(16, 1));
         t.Take();
         t.SetUpDma(3, 0x1000);
         t.Chunk(16);
       },
       "source 3, the response names 2"},
      {"audio from the video offset",
       [](DataPathTest& t) {
         t.core_.QueueTransfer(1, 0x80040000, t.Payload(16, 1));
         t.Take();
         t.SetUpDma(4, 0x1000);
         t.Chunk(16);
       },
       "board offset 0x1000 for audio"},
      {"chunk past the packet",
       [](DataPathTest& t) {
         t.core_.QueueTransfer(1, 0x00020000, t.Payload(16, 1));
         t.Take();
         t.SetUpDma(2, 0x1000);
         t.Chunk(32);
       },
       "a chunk of 32 words with 16 left"},
      {"acknowledged early",
       [](DataPathTest& t) {
         t.core_.QueueTransfer(1, 0x00020000, t.Payload(16, 1));
         t.Take();
         t.Send(4, 0x00020000, 16, 1);
       },
       "stream done after 0 of its 16 words"},
      {"wrong tag",
       [](DataPathTest& t) {
         t.core_.QueueTransfer(1, 0x00020000, {});
         t.Take();
         t.Send(4, 0x00020000, 0, 9);
       },
       "stream done for 00020000/0/9, the packet taken is 00020000/0/1"},
      {"preview done for a packet",
       [](DataPathTest& t) {
         t.core_.QueueTransfer(1, 0x00020000, {});
         t.Take();
         t.Send(3);
       },
       "preview done without a picture taken"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    board_.ClearViolations();
    // Each case on a board whose mailbox is idle again: a system reset clears it.
    Write(0x5030, 0);
    Write(0x5030, 1);
    core_.SetRunning();
    c.run(*this);
    auto v = board_.Violations();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_NE(v[0].find(c.violation), std::string::npos) << v[0];
  }
  board_.ClearViolations();
}

TEST_F(DataPathTest, BusErrorAbandonsTheTransferUntilTheHostRecovers) {
  core_.SetChunkDelay(10000);
  core_.QueueTransfer(1, 0x00020000, Payload(0x100, 1));
  core_.QueueTransfer(1, 0x00020000, Payload(0x10, 2));
  ASSERT_EQ(Take(), 1u);
  SetUpDma(2, 0x1000);
  EXPECT_FALSE(Chunk(0x80));  // its transfer-done is 1 ms away
  core_.InjectBusError(0x100000);
  board_.RunDueEvents();
  EXPECT_EQ(board_.PendingStatus(), 0x100000u);
  Write(kIntStatus, 0x100000);
  machine::AdvanceClockMs(2);
  board_.RunDueEvents();
  EXPECT_EQ(board_.PendingStatus(), 0u);  // the abandoned chunk never reports
  // The host's recovery toggles bit 3 of the core control: the next response follows.
  Write(kCoreControl, 0);
  EXPECT_EQ(Take(), 0u);
  Write(kCoreControl, 8);
  ASSERT_EQ(Take(), 1u);
  EXPECT_EQ(Read(kRespTag), 2u);
  EXPECT_TRUE(board_.Violations().empty());
}

TEST_F(DataPathTest, ChunkDoneCombinedWithOtherBits) {
  core_.CombineWithChunkDone(0x80000, 1);
  core_.QueueTransfer(1, 0x00020000, Payload(0x20, 1));
  ASSERT_EQ(Take(), 1u);
  SetUpDma(2, 0x1000);
  Write(kUdmaLength, 0x10);
  Write(kUdmaControl, 0x80000001);
  board_.RunDueEvents();
  EXPECT_EQ(board_.PendingStatus(), 0xC0000u);
  Write(kIntStatus, 0xC0000);
  Write(kUdmaControl, 0x80000001);
  board_.RunDueEvents();
  EXPECT_EQ(board_.PendingStatus(), 0x40000u);  // only once
}

// ---- Producers ------------------------------------------------------------------------------

TEST_F(DataPathTest, ProducersFollowTheEncodersStartAndStop) {
  core_.SetSignal(board::InputFormat::k720p30);
  core_.SetResponseQueueLimit(1000);
  core_.SetRecordAccessUnits(true);
  Send(19, 0x80000000u | 30 << 16 | 0x8000 | 30 << 8, 320 | 180 << 16, 0x0FFFFFFF, 0xFFFFFFFF);
  Send(15, 2, 320 | 180 << 16);                            // main stream 320 x 180
  Send(14, 30 | 30 << 16 | 0x80, 0x0AAAAAAA, 0xAAAAAAAA);  // every other frame
  Send(18, 6);
  Send(15, 2 | 0x200, 160 | 90 << 16);  // sub stream 160 x 90
  Send(18, 1 | 0x200);
  board_.RunDueEvents();
  EXPECT_EQ(core_.state().previewPictures, 0u);  // nothing before the start
  Send(7, 0x80000000);
  Send(7, 0);
  Send(7, 0x200);
  for (int ms = 0; ms < 1000; ms += 10) {
    machine::AdvanceClockMs(10);
    board_.RunDueEvents();
  }
  board::EncoderState s = core_.state();
  EXPECT_EQ(s.previewPictures, 30u);
  EXPECT_EQ(s.streamPackets[0], 15u);  // the keep mask halves the rate
  EXPECT_EQ(s.streamPackets[1], 30u);
  EXPECT_EQ(s.audioPackets, 148u);
  // The main stream runs at 15 fps with an IDR every 6 frames.
  auto aus = core_.AccessUnits(0);
  ASSERT_EQ(aus.size(), 15u);
  for (size_t i = 0; i < aus.size(); ++i) {
    Nals n = Split(aus[i]);
    EXPECT_EQ(std::count(n.types.begin(), n.types.end(), 5) > 0, i % 6 == 0) << i;
  }
  // The first response is the first audio packet (6.75 ms in, before the first frame at 33 ms).
  ASSERT_EQ(Take(), 1u);
  EXPECT_EQ(Read(kRespWord), 0x80040000u);
  EXPECT_EQ(Read(kRespLength), 162u);
  // Stopped: nothing more.
  Send(8, 0x80000000);
  Send(8, 0);
  Send(8, 0x200);
  for (int ms = 0; ms < 200; ms += 10) {
    machine::AdvanceClockMs(10);
    board_.RunDueEvents();
  }
  EXPECT_EQ(core_.state().previewPictures, 30u);
  EXPECT_EQ(core_.state().audioPackets, 148u);
  // Without a signal nothing starts.
  core_.SetSignal(board::InputFormat::kNone);
  Send(7, 0);
  machine::AdvanceClockMs(100);
  board_.RunDueEvents();
  EXPECT_EQ(core_.state().streamPackets[0], 15u);
}

// Replay: once a round of the main stream is made, a system reset that leaves its
// settings as they were does not make the engine encode again; the round is sent anew,
// and so is the round of earlier settings the stream returns to.
TEST_F(DataPathTest, ReplayKeepsItsRoundAcrossAReset) {
  core_.SetSignal(board::InputFormat::k720p30);
  core_.SetResponseQueueLimit(1000);
  core_.SetRecordAccessUnits(true);
  core_.SetReplay(true);
  auto runOneSecond = [&] {
    Send(15, 2, 320 | 180 << 16);
    Send(14, 30 | 30 << 16 | 0x80, 0x0AAAAAAA, 0xAAAAAAAA);
    Send(18, 6);
    Send(7, 0);
    for (int ms = 0; ms < 1000; ms += 10) {
      machine::AdvanceClockMs(10);
      board_.RunDueEvents();
    }
  };
  runOneSecond();
  EXPECT_EQ(core_.state().streamPackets[0], 15u);
  ASSERT_EQ(core_.AccessUnits(0).size(), 6u);  // one round of the GOP, then replayed
  Write(board::reg::kSysReset, 0);
  Write(board::reg::kSysReset, 1);
  Write(board::reg::kSysReset, 0);
  core_.SetRunning();
  runOneSecond();
  EXPECT_EQ(core_.state().streamPackets[0], 15u);
  EXPECT_EQ(core_.AccessUnits(0).size(), 6u);
  // Other settings: a new round.
  auto runHalfASecondWithGop = [&](ULONG gop) {
    Send(8, 0);
    Send(18, gop);
    Send(7, 0);
    for (int ms = 0; ms < 500; ms += 10) {
      machine::AdvanceClockMs(10);
      board_.RunDueEvents();
    }
  };
  runHalfASecondWithGop(3);
  EXPECT_EQ(core_.AccessUnits(0).size(), 9u);
  // Back to the first settings: their round was kept and is sent again without the
  // engine; a GOP never used before is encoded.
  const ULONG before = core_.state().streamPackets[0];
  runHalfASecondWithGop(6);
  EXPECT_GT(core_.state().streamPackets[0], before);
  EXPECT_EQ(core_.AccessUnits(0).size(), 9u);
  runHalfASecondWithGop(3);
  EXPECT_EQ(core_.AccessUnits(0).size(), 9u);
  runHalfASecondWithGop(4);
  EXPECT_EQ(core_.AccessUnits(0).size(), 13u);
}

TEST_F(DataPathTest, AFullQueueDropsTheNewest) {
  core_.SetResponseQueueLimit(2);
  for (ULONG i = 0; i < 5; ++i) core_.QueueTransfer(1, 0x00020000, Payload(4, i));
  EXPECT_EQ(core_.state().droppedResponses, 2u);  // one announced, two waiting
}

// A host that falls behind loses each source's newest, not a rare source's every packet:
// audio filling its room leaves the main stream's, and a command's answer always waits.
TEST_F(DataPathTest, EachSourceHasRoomOfItsOwn) {
  core_.SetResponseQueueLimit(2);
  for (ULONG i = 0; i < 6; ++i) core_.QueueTransfer(1, 0x80040000, Payload(4, i));  // audio
  EXPECT_EQ(core_.state().droppedResponses, 3u);                                    // one announced, two waiting
  core_.QueueTransfer(1, 0x00020000, Payload(4, 10));                               // main
  core_.QueueTransfer(1, 0x00020000, Payload(4, 11));
  core_.QueueTransfer(2, 0x00010000, Payload(4, 12));  // preview
  EXPECT_EQ(core_.state().droppedResponses, 3u);
  core_.QueueTransfer(1, 0x00020000, Payload(4, 13));  // main's room is full now
  EXPECT_EQ(core_.state().droppedResponses, 4u);
  Send(16, 0xFF);  // configure: its answer queues behind the data
  board_.RunDueEvents();
  EXPECT_EQ(core_.state().droppedResponses, 4u);
}

}  // namespace
