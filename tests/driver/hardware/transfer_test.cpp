// The transfer path on a started device: the status handler and the frame-done callback
// called as the deferred procedure call calls them, with the rows' pins and entries built
// here, the DMA buffer filled by the test and the register traffic read from the board.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "driver/hardware/mailbox.h"
#include "driver/hardware/registers.h"
#include "driver/hardware/transfer.h"
#include "driver/streaming/pin_context.h"
#include "tests/driver/hardware/encoder_test_fixture.h"

namespace vorlix_test {
namespace {

constexpr ULONG kGuard = 64;  // bytes past every buffer that must stay untouched
constexpr UCHAR kGuardByte = 0xA5;

// One row's pin and queued entry.
struct Row {
  KSPIN pin{};
  VideoPinContext video{};
  AudioPinContext audio{};
  KSSTREAM_HEADER header{};
  KSSTREAM_POINTER clone{};
  std::vector<UCHAR> buffer;  // capacity + guard
  bool present = false, entry = false;
  ULONG capacity = 0;
};

struct Result {
  ULONG lengths[CHANNEL_ROWS] = {};
  ULONGLONG values[CHANNEL_ROWS] = {};
  UCHAR done[CHANNEL_ROWS] = {};
  UCHAR flags[CHANNEL_ROWS] = {};
};

// A planar 4:2:0 picture (Y, then the plane the pair's second byte goes to, then the one
// its first byte goes to) of random bytes, and its tiled form.
struct Picture {
  ULONG w, h;
  std::vector<UCHAR> planar;
  std::vector<ULONG> tiled;
};
Picture MakePicture(ULONG w, ULONG h, unsigned seed) {
  Picture p{w, h, {}, {}};
  std::mt19937 rng(seed);
  p.planar.resize((size_t)w * h * 3 / 2);
  for (auto& b : p.planar) b = (UCHAR)rng();
  ULONG mw = (w + 15) / 16, mh = (h + 15) / 16;
  std::vector<UCHAR> bytes((size_t)mw * mh * 384, 0);
  const UCHAR* second = p.planar.data() + (size_t)w * h;
  const UCHAR* third = second + (size_t)(w / 2) * (h / 2);
  for (ULONG my = 0; my < mh; ++my)
    for (ULONG mx = 0; mx < mw; ++mx) {
      UCHAR* mb = bytes.data() + ((size_t)my * mw + mx) * 384;
      for (ULONG y = 0; y < 16; ++y)
        for (ULONG x = 0; x < 16; ++x) {
          ULONG px = mx * 16 + x, py = my * 16 + y;
          mb[y * 16 + x] = (px < w && py < h) ? p.planar[(size_t)py * w + px] : 0;
        }
      for (ULONG y = 0; y < 8; ++y)
        for (ULONG x = 0; x < 8; ++x) {
          ULONG px = mx * 8 + x, py = my * 8 + y;
          bool in = px < w / 2 && py < h / 2;
          mb[256 + y * 16 + 2 * x] = in ? third[(size_t)py * (w / 2) + px] : 0;
          mb[256 + y * 16 + 2 * x + 1] = in ? second[(size_t)py * (w / 2) + px] : 0;
        }
    }
  p.tiled.resize(bytes.size() / 4);
  std::memcpy(p.tiled.data(), bytes.data(), bytes.size());
  return p;
}

// The top-left w x h of a picture, planar.
std::vector<UCHAR> Crop(const Picture& p, ULONG w, ULONG h) {
  std::vector<UCHAR> out((size_t)w * h * 3 / 2);
  for (ULONG y = 0; y < h; ++y) std::memcpy(&out[(size_t)y * w], &p.planar[(size_t)y * p.w], w);
  for (int plane = 0; plane < 2; ++plane) {
    const UCHAR* src = p.planar.data() + (size_t)p.w * p.h + (size_t)plane * (p.w / 2) * (p.h / 2);
    UCHAR* dst = out.data() + (size_t)w * h + (size_t)plane * (w / 2) * (h / 2);
    for (ULONG y = 0; y < h / 2; ++y) std::memcpy(dst + (size_t)y * (w / 2), src + (size_t)y * (p.w / 2), w / 2);
  }
  return out;
}

class TransferTest : public EncoderDeviceTest {
 protected:
  void SetUp() override {
    EncoderDeviceTest::SetUp();
    machine::SetMode(machine::Mode::Manual);
    machine::UseTestClock();
    KeInitializeTimer(&Dev()->m_ContinueTimer);
    KeInitializeDpc(&Dev()->m_ContinueDpc, VORLIX_OnTransferTimer, Dev());
    Dev()->m_nDeviceInstanceNumber = 3;
    Dev()->m_nDeviceInstance = 0x1C;
    Dev()->m_nDriverTechnology = 0;
    ASSERT_GE(Dev()->m_nDmaBufferSize, 8192u * 4);
    board_.ClearAccessLog();
    Encoder().ClearCommands();
  }
  void TearDown() override {
    KeCancelTimer(&Dev()->m_ContinueTimer);
    EncoderDeviceTest::TearDown();
  }

  // A row with a pin (video rows 0-11, audio rows 12-15) and, when capacity is given, an
  // entry of that many bytes.
  Row& AddRow(ULONG row, bool entry, ULONG capacity = 0) {
    Row& r = rows_[row];
    r.present = true;
    r.entry = entry;
    r.capacity = capacity;
    r.pin.Context = row < 12 ? static_cast<PinContext*>(&r.video) : static_cast<PinContext*>(&r.audio);
    r.buffer.assign((size_t)capacity + kGuard, kGuardByte);
    r.header.FrameExtent = capacity;
    r.clone.StreamHeader = &r.header;
    return r;
  }
  Row& AddVideoRow(ULONG row, ULONG w, ULONG h) {
    Row& r = AddRow(row, true, w * h * 3 / 2);
    r.video.nTransferWidth = w;
    r.video.nTransferHeight = h;
    r.video.nMaxFrameBytes = w * h * 2;
    return r;
  }
  bool GuardIntact(const Row& r) {
    for (size_t i = r.capacity; i < r.buffer.size(); ++i)
      if (r.buffer[i] != kGuardByte) return false;
    return true;
  }

  // The frame-done callback for one transfer-done status (or a tick).
  Result Deliver(ULONG status = INT_DMA_DONE, ULONG value = 0x1FE0) {
    struct _KSPIN* pins[CHANNEL_ROWS] = {};
    struct _KSSTREAM_POINTER* clones[CHANNEL_ROWS] = {};
    PUCHAR data[CHANNEL_ROWS] = {};
    for (ULONG i = 0; i < CHANNEL_ROWS; ++i) {
      if (!rows_[i].present) continue;
      pins[i] = &rows_[i].pin;
      if (rows_[i].entry) {
        clones[i] = &rows_[i].clone;
        data[i] = rows_[i].buffer.data();
      }
    }
    Result r;
    VORLIX_DeliverBitstream(pins, clones, nullptr, nullptr, data, r.lengths, r.values, r.done, r.flags, Dev(), status,
                            value);
    return r;
  }
  // A response as the interrupt routine hands it on.
  void Respond(ULONG type, ULONG word, ULONG length = 0, ULONG tag = 0) {
    board_.Poke(0, REG_RESP_TYPE, type);
    board_.Poke(0, REG_RESP_WORD, word);
    board_.Poke(0, REG_RESP_LENGTH, length);
    board_.Poke(0, REG_RESP_TAG, tag);
    VORLIX_ProcessInterruptStatus(Dev(), INT_MAILBOX_RESPONSE, type);
  }
  // Moves the words the driver programmed for the current chunk into the DMA buffer and
  // reports the chunk done; returns the callback's result.
  Result Chunk(const std::vector<ULONG>& source) {
    BoardState* s = State();
    ULONG o = s->nTotalWords - s->nRemainingWords, c = s->nCurrentChunkWords;
    EXPECT_LE(o + c, source.size());
    std::memcpy(Dev()->m_pDmaBuffer, source.data() + o, (size_t)c * 4);
    return Deliver();
  }
  std::vector<ULONG> Packet(ULONG words, unsigned seed) {
    std::vector<ULONG> p(words);
    std::mt19937 rng(seed);
    for (auto& w : p) w = rng();
    return p;
  }
  // Register traffic as "W39C0=2000" / "R3A50" (reads without their values).
  std::vector<std::string> Trace() {
    std::vector<std::string> out;
    char buf[32];
    for (const auto& a : board_.AccessLog()) {
      if (a.write)
        snprintf(buf, sizeof buf, "W%04X=%X", (unsigned)a.offset, (unsigned)a.value);
      else
        snprintf(buf, sizeof buf, "R%04X", (unsigned)a.offset);
      out.push_back(buf);
    }
    return out;
  }
  std::vector<board::MailboxRecord> Commands() { return Encoder().Commands(); }

  Row rows_[CHANNEL_ROWS];
};

// ---- Preview pictures -------------------------------------------------------------------

TEST_F(TransferTest, FullHdPictureIs96ChunksAndLandsDetiledInBothPins) {
  State()->nPreviewWidth = 1920;
  State()->nPreviewHeight = 1080;
  Picture pic = MakePicture(1920, 1080, 1);
  ASSERT_EQ(pic.tiled.size(), 783360u);
  Row& full = AddVideoRow(0, 1920, 1080);
  Row& small = AddVideoRow(1, 1280, 720);
  full.pin.Context = &full.video;
  full.video.nTransferFlag = 0;
  Respond(RESP_PREVIEW_READY, 0x00050000);
  EXPECT_EQ(State()->nTotalWords, 783360u);
  int chunks = 0;
  Result r;
  do {
    r = Chunk(pic.tiled);
    ++chunks;
  } while (!r.done[0] && chunks < 200);
  EXPECT_EQ(chunks, 96);
  EXPECT_EQ(r.lengths[0], 3133440u);
  EXPECT_EQ(r.lengths[1], 3133440u);
  EXPECT_EQ(r.values[0], 1u);
  EXPECT_EQ(r.done[1], 1);
  EXPECT_EQ(full.video.aTransferState[3], 783360u);
  EXPECT_TRUE(std::equal(pic.planar.begin(), pic.planar.end(), full.buffer.begin()));
  std::vector<UCHAR> crop = Crop(pic, 1280, 720);
  EXPECT_TRUE(std::equal(crop.begin(), crop.end(), small.buffer.begin()));
  EXPECT_TRUE(GuardIntact(full));
  EXPECT_TRUE(GuardIntact(small));
  // Every chunk 8,160 words, then the preview acknowledgement.
  std::vector<ULONG> lengths = board_.WritesTo(REG_UDMA_LENGTH);
  EXPECT_EQ(lengths, std::vector<ULONG>(96, 8160));
  ASSERT_EQ(Commands().size(), 1u);
  EXPECT_EQ(Commands()[0].command(), (ULONG)VENDOR_CMD_PREVIEW_DONE);
  EXPECT_EQ(State()->nRemainingWords, 0u);
}

TEST_F(TransferTest, FieldPicturesCompleteAfterTheSecondFieldOnlyWhenBothArrived) {
  State()->nPreviewWidth = 64;
  State()->nPreviewHeight = 32;  // per field
  State()->bPreviewField = 1;
  Picture frame = MakePicture(64, 64, 2);
  // The two fields: even lines first (bit 3 of the word clear), then odd lines.
  auto field = [&](int parity) {
    Picture f = frame;
    f.h = 32;
    std::vector<UCHAR> planar((size_t)64 * 32 * 3 / 2);
    for (ULONG y = 0; y < 32; ++y) std::memcpy(&planar[y * 64], &frame.planar[(2 * y + parity) * 64], 64);
    for (int plane = 0; plane < 2; ++plane)
      for (ULONG y = 0; y < 16; ++y)
        std::memcpy(&planar[64 * 32 + plane * 32 * 16 + y * 32],
                    &frame.planar[64 * 64 + plane * 32 * 32 + (2 * y + parity) * 32], 32);
    Picture p = MakePicture(64, 32, 0);
    p.planar = planar;
    // Re-tile from the field's own planes.
    Picture t = p;
    std::vector<UCHAR> bytes(4 * 2 * 384);
    for (ULONG my = 0; my < 2; ++my)
      for (ULONG mx = 0; mx < 4; ++mx) {
        UCHAR* mb = bytes.data() + (my * 4 + mx) * 384;
        for (ULONG y = 0; y < 16; ++y)
          for (ULONG x = 0; x < 16; ++x) mb[y * 16 + x] = planar[(my * 16 + y) * 64 + mx * 16 + x];
        for (ULONG y = 0; y < 8; ++y)
          for (ULONG x = 0; x < 8; ++x) {
            mb[256 + y * 16 + 2 * x] = planar[64 * 32 + 32 * 16 + (my * 8 + y) * 32 + mx * 8 + x];
            mb[256 + y * 16 + 2 * x + 1] = planar[64 * 32 + (my * 8 + y) * 32 + mx * 8 + x];
          }
      }
    t.tiled.assign(bytes.size() / 4, 0);
    std::memcpy(t.tiled.data(), bytes.data(), bytes.size());
    return t;
  };
  Row& r0 = AddVideoRow(0, 64, 64);
  Respond(RESP_PREVIEW_READY, 0x00050000);  // bit 3 clear: the first field
  Result r = Chunk(field(0).tiled);
  EXPECT_EQ(r.done[0], 0);
  Respond(RESP_PREVIEW_READY, 0x00050008);
  r = Chunk(field(1).tiled);
  ASSERT_EQ(r.done[0], 1);
  EXPECT_EQ(r.lengths[0], 768u * 4);
  EXPECT_EQ(r.flags[0], 0);
  EXPECT_TRUE(std::equal(frame.planar.begin(), frame.planar.end(), r0.buffer.begin()));

  // A row that joined in the second field: the picture completes empty with the flush flag.
  Row& r1 = AddVideoRow(1, 64, 64);
  r1.video.nTransferFlag = 0;
  Respond(RESP_PREVIEW_READY, 0x00050008);
  r = Chunk(field(1).tiled);
  EXPECT_EQ(r.done[1], 1);
  EXPECT_EQ(r.lengths[1], 0u);
  EXPECT_EQ(r.flags[1], 1);
  EXPECT_EQ(r.values[1], 1u);
  EXPECT_EQ(r1.video.aTransferState[3], 0u);
}

TEST_F(TransferTest, APictureBufferTooSmallTakesNothingAndCompletesFlushed) {
  State()->nPreviewWidth = 64;
  State()->nPreviewHeight = 32;
  Picture pic = MakePicture(64, 32, 3);
  Row& r = AddVideoRow(0, 64, 32);
  r.capacity = r.header.FrameExtent = 100;  // the client's buffer is far smaller than the picture
  Respond(RESP_PREVIEW_READY, 0x00050000);
  Result res = Chunk(pic.tiled);
  EXPECT_EQ(res.done[0], 1);
  EXPECT_EQ(res.lengths[0], 0u);
  EXPECT_EQ(res.flags[0], 1);
  EXPECT_TRUE(GuardIntact(r));
}

// ---- H.264 and audio packets ------------------------------------------------------------

TEST_F(TransferTest, OversizedPacketWithTheCustomerSwitchIsCutAtTheFixedLimit) {
  Dev()->m_nCompanyVek = 1;
  const ULONG words = 0x90000 / 4;
  std::vector<ULONG> packet = Packet(words, 4);
  Row& main = AddRow(4, true, 0x90000 + 16);
  main.video.nMaxFrameBytes = 0x90000;
  Respond(RESP_STREAM_READY, 0x00020010, words, 77);
  Result r;
  int chunks = 0;
  do {
    r = Chunk(packet);
    ++chunks;
  } while (!r.done[4] && chunks < 100);
  EXPECT_EQ(chunks, 18);
  EXPECT_EQ(r.lengths[4], 0x80000u);
  EXPECT_EQ(r.values[4], 1u);
  EXPECT_EQ(main.buffer[0x80002], 64);  // frame type 1
  EXPECT_EQ(0, std::memcmp(main.buffer.data(), packet.data(), 0x80000));
  EXPECT_EQ(main.buffer[0x80000], kGuardByte);  // the dropped chunks were not copied
  EXPECT_EQ(machine::DebugLogText(),
            "MAX_BITSTREAM_SIZE OVERFLOW 03, 139264MAX_BITSTREAM_SIZE OVERFLOW 03, 147456"
            "MAX_BITSTREAM_SIZE OVERFLOW 03, 589824 [2]");
  // The acknowledgement carries the word, the length and the tag.
  ASSERT_EQ(Commands().size(), 1u);
  const board::MailboxRecord ack = Commands()[0];
  EXPECT_EQ(ack.command(), (ULONG)VENDOR_CMD_STREAM_DONE);
  EXPECT_EQ(ack.arg(1), 0x00020010u);
  EXPECT_EQ(ack.arg(2), words);
  EXPECT_EQ(ack.arg(3), 77u);
}

TEST_F(TransferTest, PacketLimitsAndTheFrameTypeMarker) {
  struct Case {
    const char* name;
    ULONG row, word, words, capacity, maxFrameBytes;
    ULONG length;
    int marker;  // -1: not written
  };
  const Case cases[] = {
      {"main, I", 4, 0x00020000, 100, 1000, 1000, 400, 0},
      {"sub, P", 8, 0x00020210, 100, 1000, 1000, 400, 64},
      {"sub pair row, B", 9, 0x00020220, 100, 1000, 1000, 400, 128},
      {"other frame type leaves the byte", 5, 0x00020030, 100, 1000, 1000, 400, -1},
      {"clamped to the pin's largest frame", 4, 0x00020000, 100, 1000, 200, 200, 0},
      {"buffer ends right after the data", 4, 0x00020010, 100, 402, 1000, 400, -1},
      {"buffer smaller than the largest frame", 4, 0x00020010, 100, 300, 1000, 300, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rows_[c.row] = Row{};
    Row& row = AddRow(c.row, true, c.capacity);
    row.video.nMaxFrameBytes = c.maxFrameBytes;
    std::vector<ULONG> packet = Packet(c.words, c.row);
    Respond(RESP_STREAM_READY, c.word, c.words, 1);
    Result r = Chunk(packet);
    ASSERT_EQ(r.done[c.row], 1);
    EXPECT_EQ(r.lengths[c.row], c.length);
    if (c.marker >= 0) {
      EXPECT_EQ(row.buffer[c.length + 2], c.marker);
    } else if (c.length + 2 < c.capacity) {
      EXPECT_EQ(row.buffer[c.length + 2], kGuardByte);
    }
    EXPECT_TRUE(GuardIntact(row));
    rows_[c.row] = Row{};
  }
}

TEST_F(TransferTest, StreamOneIsMovedAndAcknowledgedButDeliveredNowhere) {
  for (ULONG row : {4u, 5u, 8u, 9u, 12u}) AddRow(row, true, 0x10000);
  std::vector<ULONG> packet = Packet(0x3000, 5);
  Respond(RESP_STREAM_READY, 0x00010100, 0x3000, 9);
  Result a = Chunk(packet);
  Result b = Chunk(packet);
  for (ULONG row : {4u, 5u, 8u, 9u, 12u}) {
    EXPECT_EQ(a.done[row] + b.done[row], 0);
    EXPECT_TRUE(
        std::all_of(rows_[row].buffer.begin(), rows_[row].buffer.end(), [](UCHAR v) { return v == kGuardByte; }));
  }
  EXPECT_EQ(board_.WritesTo(REG_UDMA_SOURCE), std::vector<ULONG>{1});
  ASSERT_EQ(Commands().size(), 1u);
  EXPECT_EQ(Commands()[0].arg(1), 0x00010100u);
  EXPECT_EQ(State()->nRemainingWords, 0u);
}

TEST_F(TransferTest, AudioIsCopiedIntoBothRowsBoundedByTheirBuffers) {
  Row& big = AddRow(12, true, 4096);
  Row& tiny = AddRow(13, true, 1000);
  std::vector<ULONG> packet = Packet(480, 6);
  Respond(RESP_STREAM_READY, 0x80040000, 480, 2);
  EXPECT_EQ(board_.WritesTo(REG_UDMA_BOARD_OFFSET), std::vector<ULONG>{0});
  Result r = Chunk(packet);
  ASSERT_EQ(r.done[12], 1);
  EXPECT_EQ(r.lengths[12], 1920u);
  EXPECT_EQ(r.lengths[13], 1000u);
  EXPECT_EQ(r.values[12], 1u);
  EXPECT_EQ(big.audio.nPacketNumber, 1);
  EXPECT_EQ(Dev()->m_nStreamRunState[1], 1u);
  EXPECT_EQ(0, std::memcmp(big.buffer.data(), packet.data(), 1920));
  EXPECT_EQ(0, std::memcmp(tiny.buffer.data(), packet.data(), 1000));
  EXPECT_TRUE(GuardIntact(tiny));
}

TEST_F(TransferTest, PacketWithoutABufferAsksForAnIdrAndIsLogged) {
  Dev()->m_nAnalogVideoCompressionKeyframeRate[0] = 0;
  Dev()->m_nAnalogVideoCompressionKeyframeRate[4] = 400;
  AddRow(4, false);
  AddRow(8, false);
  std::vector<ULONG> packet = Packet(16, 7);
  Respond(RESP_STREAM_READY, 0x00020000, 16, 1);
  Chunk(packet);
  Respond(RESP_STREAM_READY, 0x00020200, 16, 2);
  Chunk(packet);
  std::vector<std::pair<ULONG, ULONG>> sent;
  for (const auto& c : Commands()) sent.emplace_back(c.command(), c.arg(1));
  const std::vector<std::pair<ULONG, ULONG>> expected = {{VENDOR_CMD_GOP, 1},
                                                         {VENDOR_CMD_STREAM_DONE, 0x00020000},
                                                         {VENDOR_CMD_GOP, 0x200 | 255},
                                                         {VENDOR_CMD_STREAM_DONE, 0x00020200}};
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(machine::DebugLogLines(), (std::vector<std::string>{"[03] [CH00] [MAIN.H264] [NULL.STREAM.BUFFER]",
                                                                "[03] [CH00] [SUB.H264] [NULL.STREAM.BUFFER]"}));
}

// ---- Ticks, zero length, bus errors, combined statuses -----------------------------------

TEST_F(TransferTest, TicksCompleteEveryServedRowWithTheNoSignalMark) {
  for (ULONG row : {0u, 1u, 2u, 4u, 5u, 8u, 12u, 13u}) AddRow(row, true, 100);
  AddRow(9, false);
  rows_[5].video.nTransferFlag = 1;
  rows_[13].audio.nPacketNumber = 41;
  Dev()->m_nStreamRunState[3] = 1;
  Result v = Deliver(TICK_VIDEO, TICK_VIDEO);
  EXPECT_EQ(Dev()->m_nStreamRunState[3], 0u);
  for (ULONG row = 0; row < CHANNEL_ROWS; ++row) {
    bool served = row == 0 || row == 1 || row == 4 || row == 5 || row == 8;
    EXPECT_EQ(v.done[row], served ? 1 : 0) << row;
    EXPECT_EQ(v.lengths[row], served ? 0xFFFFFFFFu : 0u) << row;
  }
  EXPECT_EQ(v.values[5], 1u);
  EXPECT_EQ(v.flags[5], 1);
  EXPECT_EQ(rows_[5].video.nTransferFlag, 0);
  Dev()->m_nStreamRunState[3] = 2;
  Result a = Deliver(TICK_AUDIO, TICK_AUDIO);
  EXPECT_EQ(a.done[12] + a.done[13], 2);
  EXPECT_EQ(a.values[13], 42u);
  EXPECT_EQ(a.done[0], 0);
  // A tick with no flag pending completes nothing, and the handler ignores ticks.
  Result none = Deliver(TICK_VIDEO, TICK_VIDEO);
  for (UCHAR d : none.done) EXPECT_EQ(d, 0);
  VORLIX_ProcessInterruptStatus(Dev(), TICK_VIDEO, TICK_VIDEO);
  EXPECT_TRUE(board_.AccessLog().empty());
}

TEST_F(TransferTest, ZeroLengthIsLoggedAndAcknowledgedAtOnce) {
  Respond(RESP_STREAM_READY, 0x00020000, 0, 5);
  EXPECT_EQ(machine::DebugLogLines(), (std::vector<std::string>{"[03] [ZERO.PACKET.ERROR]"}));
  ASSERT_EQ(Commands().size(), 1u);
  EXPECT_EQ(Commands()[0].command(), (ULONG)VENDOR_CMD_STREAM_DONE);
  EXPECT_TRUE(board_.WritesTo(REG_UDMA_CONTROL).empty());
  EXPECT_EQ(State()->nRemainingWords, 0u);
}

TEST_F(TransferTest, BusErrorAbandonsTheTransferWithoutAcknowledgement) {
  Respond(RESP_STREAM_READY, 0x00020000, 0x4000, 5);
  VORLIX_ProcessInterruptStatus(Dev(), INT_PCI_RESET_A, 0);
  EXPECT_EQ(machine::DebugLogLines(), (std::vector<std::string>{"PCI RESET( 1C \xA1\xD1 status = 0x00100000 )"}));
  EXPECT_EQ(State()->nTotalWords + State()->nRemainingWords + State()->nCurrentChunkWords, 0u);
  EXPECT_TRUE(Commands().empty());
  // The next transfer-done is a firmware chunk again.
  LONG before = KeReadStateSemaphore(&Dev()->m_CommandSemaphore);
  Deliver();
  EXPECT_EQ(KeReadStateSemaphore(&Dev()->m_CommandSemaphore), before + 1);
}

// A status with several bits: a bus error first, then the response, the transfer-done and
// the second transfer-done, each once.
TEST_F(TransferTest, CombinedStatusTakesEachBitOnce) {
  board_.Poke(0, REG_RESP_WORD, 0);
  LONG before = KeReadStateSemaphore(&Dev()->m_CommandSemaphore);
  VORLIX_ProcessInterruptStatus(Dev(), INT_MAILBOX_RESPONSE | INT_DMA_DONE | INT_DMA_DONE_ALT, RESP_CONFIGURE_DONE);
  EXPECT_EQ(board_.WritesTo(REG_RESP_ACK).size(), 1u);
  EXPECT_EQ(KeReadStateSemaphore(&Dev()->m_CommandSemaphore), before + 3);

  // Bus error with a new response: the old transfer ends, the new one runs.
  State()->nTotalWords = State()->nRemainingWords = State()->nCurrentChunkWords = 0x100;
  board_.Poke(0, REG_RESP_WORD, 0x00020000);
  board_.Poke(0, REG_RESP_LENGTH, 0x2100);
  VORLIX_ProcessInterruptStatus(Dev(), INT_MAILBOX_RESPONSE | INT_PCI_RESET_B, RESP_STREAM_READY);
  EXPECT_EQ(State()->nTotalWords, 0x2100u);
  EXPECT_EQ(State()->nCurrentChunkWords, 0x2000u);
}

// ---- Exact register sequences -------------------------------------------------------------

TEST_F(TransferTest, ImmediateModeRegisterSequence) {
  AddRow(4, true, 0x10000);
  std::vector<ULONG> packet = Packet(0x2800, 8);
  Respond(RESP_STREAM_READY, 0x00070000, 0x2800, 0x33);
  Chunk(packet);
  Chunk(packet);
  const std::vector<std::string> expected = {
      // The response.
      "W3D30=0", "R3A50", "R3A50", "R3A60", "R3D80", "R3920", "W3960=1000", "W39A0=7", "W39D0=80",
      // First chunk.
      "W39C0=2000", "R39C0", "W3990=80000001",
      // Its transfer-done: the rest.
      "W39C0=800", "R39C0", "W3990=80000001",
      // The last transfer-done: the acknowledgement through the mailbox.
      "R3920", "W3950=70000", "W3C80=2800", "W3C90=33", "W3CA0=0", "W3CB0=0", "W3D00=0", "W3D10=0", "W3D20=FFF8D7C9",
      "W3A30=4"};
  EXPECT_EQ(Trace(), expected);
}

// A mailbox that stays busy is read at most 1,000 times before the transfer goes on
// regardless.
TEST_F(TransferTest, BusyMailboxIsReadAThousandTimesThenTheTransferGoesOn) {
  AddRow(4, true, 0x10000);
  Encoder().SetStuckBusy(true);
  Respond(RESP_STREAM_READY, 0x00070000, 0x2800, 0x33);
  Encoder().SetStuckBusy(false);
  const std::vector<std::string> trace = Trace();
  EXPECT_EQ(std::count(trace.begin(), trace.end(), "R3920"), 1000);
  const std::vector<std::string> tail(trace.end() - 6, trace.end());
  const std::vector<std::string> expected = {"W3960=1000", "W39A0=7", "W39D0=80",
                                             "W39C0=2000", "R39C0",   "W3990=80000001"};
  EXPECT_EQ(tail, expected);
}

TEST_F(TransferTest, TimerModeRegisterSequence) {
  Dev()->m_nDriverTechnology = 1;
  Dev()->m_liDmaBufferPhysical.LowPart = Dev()->m_liDmaBufferPhysical.LowPart;
  AddRow(4, true, 0x10000);
  std::vector<ULONG> packet = Packet(0x100, 9);
  Respond(RESP_STREAM_READY, 0x00070000, 0x100, 0x33);
  // Nothing programmed until the timer runs, 1 ms later.
  EXPECT_TRUE(board_.WritesTo(REG_UDMA_CONTROL).empty());
  machine::AdvanceClock(9999);
  machine::FireDueTimers();
  EXPECT_EQ(machine::RunPendingDpcs(), 0u);
  machine::AdvanceClock(1);
  machine::FireDueTimers();
  EXPECT_EQ(machine::RunPendingDpcs(), 1u);
  std::vector<std::string> expected = {"W3D30=0", "R3A50",      "R3A50",   "R3A60",   "R3D80",
                                       "R3920",   "W3960=1000", "W39A0=7", "W39D0=80"};
  char host[32];
  snprintf(host, sizeof host, "W39B0=%X", (unsigned)Dev()->m_liDmaBufferPhysical.LowPart);
  for (int i = 0; i < 16; ++i) {
    expected.push_back(host);
    expected.push_back("R39B0");
  }
  for (int i = 0; i < 16; ++i) {
    expected.push_back("W39C0=100");
    expected.push_back("R39C0");
  }
  expected.push_back("W3990=80000001");
  expected.push_back("R39C0");
  EXPECT_EQ(Trace(), expected);
  // The last chunk's transfer-done: the acknowledgement waits for the timer too.
  board_.ClearAccessLog();
  Result r = Chunk(packet);
  EXPECT_EQ(r.done[4], 1);
  EXPECT_TRUE(Commands().empty());
  machine::AdvanceClockMs(1);
  machine::FireDueTimers();
  machine::RunPendingDpcs();
  ASSERT_EQ(Commands().size(), 1u);
  EXPECT_EQ(Commands()[0].command(), (ULONG)VENDOR_CMD_STREAM_DONE);
}

}  // namespace
}  // namespace vorlix_test
