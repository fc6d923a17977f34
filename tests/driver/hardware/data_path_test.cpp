// The whole data path on a started device: the encoder board's producers make preview
// pictures, H.264 packets and audio packets once bring-up starts the encoder; the real
// interrupt routine, deferred procedure call and transfer path move them by board-to-host
// DMA into entries queued on channel-table rows, registered as the pins register them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver/hardware/mailbox.h"
#include "driver/hardware/registers.h"
#include "driver/hardware/transfer.h"
#include "driver/streaming/pin_context.h"
#include "platform/board/h264_model.h"
#include "platform/board/test_pattern.h"
#include "tests/driver/hardware/lifecycle_test_fixture.h"
#include "tests/support/ffprobe.h"

namespace vorlix_test {
namespace {

// A row's pin with its context and a number of queued entries of one size.
struct TestPin {
  explicit TestPin(ULONG row, ULONG entries, ULONG bytes) : row(row) {
    pin.Context = row < STREAM_INDEX_FIRST_AUDIO ? static_cast<PinContext*>(&video) : static_cast<PinContext*>(&audio);
    PinContext* c = context();
    KeInitializeSemaphore(&c->Semaphore, 0, 0x7FFFFFFF);
    KeInitializeSpinLock(&c->Lock);
    InitializeListHead(&c->PendingList);
    InitializeListHead(&c->DoneList);
    c->nStreamIndex = row;
    headers.resize(entries);
    pointers.resize(entries);
    nodes.resize(entries);
    buffers.resize(entries);
    for (ULONG i = 0; i < entries; ++i) {
      buffers[i].assign(bytes, 0);
      headers[i] = KSSTREAM_HEADER{};
      headers[i].FrameExtent = bytes;
      pointers[i] = KSSTREAM_POINTER{};
      pointers[i].StreamHeader = &headers[i];
      nodes[i] = CloneNode{};
      nodes[i].pClone = &pointers[i];
      nodes[i].pData = buffers[i].data();
      InsertTailList(&c->PendingList, &nodes[i].Link);
    }
  }
  PinContext* context() { return static_cast<PinContext*>(pin.Context); }
  LONG completed() { return KeReadStateSemaphore(&context()->Semaphore); }
  // The completed entries, oldest first.
  std::vector<const CloneNode*> Done() {
    std::vector<const CloneNode*> out;
    for (const CloneNode& n : nodes)
      if (n.bDone) out.push_back(&n);
    return out;
  }
  ULONG row;
  KSPIN pin{};
  VideoPinContext video{};
  AudioPinContext audio{};
  std::vector<KSSTREAM_HEADER> headers;
  std::vector<KSSTREAM_POINTER> pointers;
  std::vector<CloneNode> nodes;
  std::vector<std::vector<UCHAR>> buffers;
};

class DataPathTest : public LifecycleTest {
 protected:
  void Register(TestPin& p) {
    CPCIBaseDevice::RegisterChannel(Dev(), p.row, &p.pin, &p.context()->Lock, &p.context()->PendingList,
                                    &p.context()->DoneList, p.context(), VORLIX_DeliverBitstream);
    CPCIBaseDevice::StartChannel(Dev(), p.row);
  }
  void Unregister(TestPin& p) {
    CPCIBaseDevice::StopChannel(Dev(), p.row);
    CPCIBaseDevice::UnregisterChannel(Dev(), p.row);
  }
  // Lets machine time pass until every pin completed `entries` or the time is up.
  void RunUntil(std::vector<TestPin*> pins, LONG entries, LONGLONG maxMs) {
    for (LONGLONG t = 0; t < maxMs; t += 50) {
      bool all = true;
      for (TestPin* p : pins) all = all && p->completed() >= std::min<LONG>(entries, (LONG)p->nodes.size());
      if (all) return;
      Pass(50);
    }
  }
  std::filesystem::path Dump(TestPin& p, const char* name) {
    auto path = std::filesystem::temp_directory_path() /
                (std::string("vorlix_data_path_") + std::to_string(::getpid()) + "_" + name + ".h264");
    std::ofstream out(path, std::ios::binary);
    for (const CloneNode* n : p.Done()) out.write(reinterpret_cast<const char*>(n->pData), n->nLength);
    files_.push_back(path);
    return path;
  }
  void TearDown() override {
    for (auto& f : files_) std::filesystem::remove(f);
    LifecycleTest::TearDown();
  }
  std::vector<std::filesystem::path> files_;
};

TEST_F(DataPathTest, PreviewH264AndAudioArriveInTheRowsEntries) {
  board_.encoder().SetSignal(board::InputFormat::k720p30);
  board_.encoder().SetRecordAccessUnits(true);
  Start();
  constexpr ULONG kEntries = 12;
  TestPin preview(0, 4, 1280 * 720 * 3 / 2), main(4, kEntries, 1 << 20), sub(8, kEntries, 1 << 20), sound(12, 8, 1920);
  preview.video.nTransferWidth = 1280;
  preview.video.nTransferHeight = 720;
  preview.video.nMaxFrameBytes = 1280 * 720 * 2;
  main.video.nMaxFrameBytes = sub.video.nMaxFrameBytes = 1 << 20;
  for (TestPin* p : {&preview, &main, &sub, &sound}) Register(*p);
  Pass(300);  // the monitor finds the signal
  Acquire();
  RunUntil({&preview, &main, &sub, &sound}, (LONG)kEntries, 5000);
  for (TestPin* p : {&preview, &main, &sub, &sound}) Unregister(*p);
  Release();

  const board::EncoderState es = board_.encoder().state();
  ASSERT_TRUE(es.previewStarted || es.previewPictures > 0);
  ASSERT_GE(preview.completed(), 2);
  ASSERT_EQ(main.completed(), (LONG)kEntries);
  ASSERT_EQ(sub.completed(), (LONG)kEntries);
  ASSERT_GE(sound.completed(), 2);

  // Preview: de-tiled pictures whose pattern numbers rise.
  const ULONG pw = es.previewWidth, ph = es.previewHeight;
  ASSERT_GE(pw, 128u);
  const ULONG tiledBytes = ((pw + 15) / 16) * ((ph + 15) / 16) * 384;
  int64_t last = -1;
  for (const CloneNode* n : preview.Done()) {
    EXPECT_EQ(n->nLength, tiledBytes);
    int64_t number = board::ReadPatternNumber(n->pData, 1280, pw, ph);
    EXPECT_GT(number, last);
    last = number;
    // The whole picture as the pattern drew it, in the pin's 1280-wide planes.
    std::vector<uint8_t> expected = board::TestPatternI420(pw, ph, (uint32_t)number);
    bool same = true;
    for (ULONG y = 0; y < ph && same; ++y)
      same = 0 == memcmp(n->pData + (size_t)y * 1280, &expected[(size_t)y * pw], pw);
    EXPECT_TRUE(same) << "picture " << number;
  }

  // Audio: the tone, 324 samples a packet, each packet taking up where the one before
  // ended (the entry's value is the packet's number, from 1).
  for (const CloneNode* n : sound.Done()) {
    EXPECT_EQ(n->nLength, 648u);
    std::vector<uint32_t> tone = board::ToneMono16((n->nValue - 1) * 324, 324);
    EXPECT_EQ(0, memcmp(n->pData, tone.data(), 648)) << "packet " << n->nValue;
  }

  // H.264: each entry is one access unit the engine made, in order, and the frame-type
  // marker follows the data.
  for (int s = 0; s < 2; ++s) {
    TestPin& p = s == 0 ? main : sub;
    std::vector<std::vector<uint8_t>> aus = board_.encoder().AccessUnits(s);
    auto done = p.Done();
    ASSERT_GE(aus.size(), done.size());
    for (size_t i = 0; i < done.size(); ++i) {
      ASSERT_EQ(done[i]->nLength, (aus[i].size() + 3) / 4 * 4) << "stream " << s << " packet " << i;
      EXPECT_EQ(0, memcmp(done[i]->pData, aus[i].data(), aus[i].size()));
      EXPECT_EQ((ULONGLONG)done[i]->nValue, i + 1);
    }
  }
  EXPECT_TRUE(board_.Violations().empty());

  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe is not installed";
  for (int s = 0; s < 2; ++s) {
    SCOPED_TRACE(s);
    const board::EncoderStreamState& st = es.stream[s];
    auto file = Dump(s == 0 ? main : sub, s == 0 ? "main" : "sub");
    auto info = Probe(
        "-select_streams v:0 -count_frames -show_entries stream=codec_name,profile,width,height,nb_read_frames", file);
    EXPECT_EQ(info["codec_name"], "h264");
    EXPECT_EQ(info["profile"], "High");
    EXPECT_EQ(info["width"], std::to_string(st.width));
    EXPECT_EQ(info["height"], std::to_string(st.height));
    EXPECT_EQ(info["nb_read_frames"], std::to_string(kEntries));
    // IDRs exactly every GOP.
    std::vector<std::string> frames = ProbeLines("-select_streams v:0 -show_entries frame=key_frame -of csv=p=0", file);
    ASSERT_EQ(frames.size(), kEntries);
    ULONG gop = st.gop ? st.gop : 1;
    for (size_t i = 0; i < frames.size(); ++i)
      EXPECT_EQ(frames[i].substr(0, 1), i % gop == 0 ? "1" : "0") << "frame " << i << " gop " << gop;
  }
}

// The board raises a transfer-done together with a second transfer-done: the chunk counts
// once and the packet arrives whole.
TEST_F(DataPathTest, CombinedStatusCountsTheChunkOnce) {
  // A signal (so the frame clocks complete nothing) and only the packets queued here.
  board_.encoder().SetSignal(board::InputFormat::k720p30);
  board_.encoder().SetProducersEnabled(false);
  Start();
  Pass(300);
  TestPin main(4, 2, 1 << 20);
  main.video.nMaxFrameBytes = 1 << 20;
  Register(main);
  Acquire();
  std::vector<ULONG> packet(0x3000);
  for (ULONG i = 0; i < packet.size(); ++i) packet[i] = i * 2654435761u;
  board_.encoder().CombineWithChunkDone(INT_DMA_DONE_ALT, 2);
  board_.encoder().QueueTransfer(1, 0x00020000, packet);
  RunUntil({&main}, 1, 2000);
  Unregister(main);
  Release();
  ASSERT_EQ(main.completed(), 1);
  EXPECT_EQ(main.nodes[0].nLength, 0x3000u * 4);
  EXPECT_EQ(0, memcmp(main.buffers[0].data(), packet.data(), packet.size() * 4));
  EXPECT_EQ(board_.encoder().state().doneCommands, 1u);
  EXPECT_EQ(board_.encoder().state().chunks, 2u);
}

// A bus error in the middle of a packet: the driver drops it without acknowledgement, the
// board goes on after the recovery, and the next packet arrives whole.
TEST_F(DataPathTest, BusErrorDropsThePacketAndTheNextArrives) {
  // A signal (so the frame clocks complete nothing) and only the packets queued here.
  board_.encoder().SetSignal(board::InputFormat::k720p30);
  board_.encoder().SetProducersEnabled(false);
  Start();
  Pass(300);
  TestPin main(4, 2, 1 << 20);
  main.video.nMaxFrameBytes = 1 << 20;
  Register(main);
  Acquire();
  board_.encoder().SetChunkDelay(20000);  // 2 ms a chunk: time to fail in between
  std::vector<ULONG> first(0x8000, 0x11111111), second(0x100, 0x22222222);
  board_.encoder().QueueTransfer(1, 0x00020000, first);
  Pass(3);
  board_.encoder().InjectBusError(INT_PCI_RESET_A);
  Pass(20);
  board_.encoder().QueueTransfer(1, 0x00020000, second);
  RunUntil({&main}, 1, 2000);
  Unregister(main);
  Release();
  ASSERT_EQ(main.completed(), 1);
  EXPECT_EQ(main.nodes[0].nLength, 0x400u);
  EXPECT_EQ(main.buffers[0][0], 0x22);
  EXPECT_EQ(board_.encoder().state().doneCommands, 1u);
  EXPECT_EQ(LogLines("PCI RESET(").size(), 1u);
}

}  // namespace
}  // namespace vorlix_test
