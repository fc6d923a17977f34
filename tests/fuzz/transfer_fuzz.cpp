// The encoder's data path as a hostile board drives it: response words, lengths and tags
// the board announces, interrupt status words (several bits at once, bus errors, the
// frame clocks' ticks, a chunk-done with no transfer), the busy mailbox, the bytes each
// chunk brings, on a device whose rows have pins running or stopped, with or without a
// queued buffer, of any size. The status handler and the frame-done callback are called
// as the deferred procedure call calls them, each on one event of the input.
//
// Nothing may be written outside a client buffer (each one is its own allocation with a
// guard behind it), a completed H.264 or audio buffer never claims more bytes than it
// holds, the transfer's counters stay consistent, no event hangs, and the pool stands as
// it stood when the input began.
//
// Input: a fixed head (the device's mode and the preview picture, then each row's pin and
// buffer), then events of one opcode byte and its operands until the input ends.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "device_machine.h"
#include "driver/core/pci_base.h"
#include "driver/hardware/mailbox.h"
#include "driver/hardware/transfer.h"
#include "driver/streaming/pin_context.h"
#include "platform/board/encoder_core.h"

namespace {

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;
constexpr int kMaxEvents = 256;
constexpr ULONG kMaxCapacity = 1u << 22;

// Reads operands from the input; past its end every read is 0.
struct Reader {
  const uint8_t* p;
  size_t n;
  bool empty() const { return n == 0; }
  uint8_t U8() {
    if (!n) return 0;
    --n;
    return *p++;
  }
  uint16_t U16() { return (uint16_t)(U8() | U8() << 8); }
  uint32_t U32() { return (uint32_t)U16() | (uint32_t)U16() << 16; }
};

// The rows the transfer path serves: preview (0, 1), main (4, 5), sub (8, 9), audio (12, 13),
// and one row it does not serve.
constexpr ULONG kRows[] = {0, 1, 4, 5, 8, 9, 12, 13, 2};
constexpr int kRowCount = sizeof(kRows) / sizeof(kRows[0]);

struct Row {
  ULONG row = 0;
  KSPIN pin{};
  VideoPinContext video{};
  AudioPinContext audio{};
  KSSTREAM_HEADER header{};
  KSSTREAM_POINTER clone{};
  std::unique_ptr<uint8_t[]> buffer;  // capacity + guard
  ULONG capacity = 0;
  bool running = false;  // the channel row runs: the DPC hands its pin over
  bool queued = false;   // a buffer waits in its pending list

  bool Audio() const { return row >= STREAM_INDEX_FIRST_AUDIO; }
  void Queue(ULONG bytes) {
    capacity = bytes;
    buffer.reset(new uint8_t[(size_t)bytes + kGuard]);
    std::memset(buffer.get() + bytes, kGuardByte, kGuard);
    header = KSSTREAM_HEADER{};
    header.FrameExtent = bytes;
    clone = KSSTREAM_POINTER{};
    clone.StreamHeader = &header;
    queued = true;
  }
  void CheckGuard() const {
    if (!buffer) return;
    for (size_t i = 0; i < kGuard; ++i)
      if (buffer[capacity + i] != kGuardByte) fuzz::Fail("a write past a client buffer's end");
  }
};

struct Transfer {
  CDevice* dev;
  BoardState saved;  // the state block as the device left it, restored for every input
  Row rows[kRowCount];

  Transfer() {
    fuzz::Machine& m = fuzz::M();
    dev = m.device;
    // The test drives every call itself: no thread of the machine runs the DPC.
    pk::SetMode(pk::Mode::Manual);
    pk::UseTestClock();
    m.board.SetAccessLogging(false);
    m.board.encoder().SetProducersEnabled(false);
    if (!dev->m_pBoardState || !dev->m_pDmaBuffer || dev->m_nDmaBufferSize < 8192 * 4)
      fuzz::Fail("the device has no state block or DMA buffer");
    std::memcpy(&saved, dev->m_pBoardState, sizeof saved);
    for (int i = 0; i < kRowCount; ++i) rows[i].row = kRows[i];
  }

  void Begin(Reader& in) {
    std::memcpy(dev->m_pBoardState, &saved, sizeof saved);
    KeInitializeSemaphore(&dev->m_CommandSemaphore, 0, 0x7FFFFFFF);
    const uint8_t mode = in.U8();
    dev->m_nDriverTechnology = mode & 1;  // immediate or timer-driven chunks
    dev->m_nCompanyVek = (mode >> 1) & 1;
    dev->m_nAnalogVideoCompressionKeyframeRate[0] = in.U16();
    dev->m_nAnalogVideoCompressionKeyframeRate[4] = in.U16();
    dev->m_nStreamRunState[1] = 0;
    dev->m_nStreamRunState[3] = 0;
    BoardState* s = dev->m_pBoardState;
    // The preview the driver configured (never beyond the board's largest picture).
    s->nPreviewWidth = in.U16() % 2049;
    s->nPreviewHeight = in.U16() % 1217;
    s->bPreviewField = (mode >> 2) & 1;
    s->nPreviewParity = (mode >> 3) & 1;
    for (Row& r : rows) {
      const uint8_t how = in.U8();
      r.pin = KSPIN{};
      r.video = VideoPinContext{};
      r.audio = AudioPinContext{};
      r.pin.Context = r.Audio() ? static_cast<PinContext*>(&r.audio) : static_cast<PinContext*>(&r.video);
      r.running = how & 1;
      r.video.nTransferWidth = in.U16() % 4097;
      r.video.nTransferHeight = in.U16() % 2161;
      r.video.nMaxFrameBytes = in.U32() % (kMaxCapacity + 1);
      r.buffer.reset();
      r.queued = false;
      r.capacity = 0;
      if (how & 2) r.Queue(Capacity(in));
    }
  }

  ULONG Capacity(Reader& in) {
    const uint8_t kind = in.U8();
    const ULONG n = in.U32();
    switch (kind & 3) {
      case 0:
        return n % 4097;  // small, as an audio buffer
      case 1:
        return n % (kMaxCapacity + 1);  // anything
      case 2: {                         // a whole picture of the row's format
        return (ULONG)std::min<ULONGLONG>(
            (ULONGLONG)rows[0].video.nTransferWidth * rows[0].video.nTransferHeight * 3 / 2, kMaxCapacity);
      }
      default:
        return 0;
    }
  }

  // The DPC for one status: the callback with the running rows' oldest entries, the rows
  // it completed taken off (a new buffer queued or none), then the handler with its bits.
  void Dpc(ULONG status, ULONG value, bool callbackRegistered, Reader& in) {
    struct _KSPIN* pins[CHANNEL_ROWS] = {};
    struct _KSSTREAM_POINTER* clones[CHANNEL_ROWS] = {};
    PUCHAR data[CHANNEL_ROWS] = {};
    ULONG lengths[CHANNEL_ROWS] = {};
    ULONGLONG values[CHANNEL_ROWS] = {};
    UCHAR done[CHANNEL_ROWS] = {};
    UCHAR flags[CHANNEL_ROWS] = {};
    if ((status & INT_DMA_DONE) && callbackRegistered) {
      for (Row& r : rows) {
        if (!r.running) continue;
        pins[r.row] = &r.pin;
        if (r.queued) {
          clones[r.row] = &r.clone;
          data[r.row] = r.buffer.get();
        }
      }
      VORLIX_DeliverBitstream(pins, clones, nullptr, nullptr, data, lengths, values, done, flags, dev, status, value);
      for (Row& r : rows) {
        r.CheckGuard();
        if (!done[r.row] || !r.queued) continue;
        const bool stream = r.row >= 4 && r.row < 12;
        if ((stream || r.Audio()) && lengths[r.row] != 0xFFFFFFFFu && lengths[r.row] > r.capacity)
          fuzz::Fail("a completed buffer claims more bytes than it holds");
        // The entry goes back to its pin; the client queues another, or none.
        const uint8_t next = in.U8();
        r.buffer.reset();
        r.queued = false;
        r.capacity = 0;
        if (next & 1) r.Queue(Capacity(in));
      }
    }
    ULONG owned = INT_MAILBOX_RESPONSE | INT_DMA_DONE_ALT | INT_PCI_RESET_A | INT_PCI_RESET_B;
    if (!callbackRegistered) owned |= INT_DMA_DONE;
    const bool tick = (status == TICK_VIDEO && value == TICK_VIDEO) || (status == TICK_AUDIO && value == TICK_AUDIO);
    if (tick)
      VORLIX_ProcessInterruptStatus(dev, status, value);
    else if (status & owned)
      VORLIX_ProcessInterruptStatus(dev, status & owned, value);
    CheckCounters();
  }

  void CheckCounters() {
    const BoardState* s = dev->m_pBoardState;
    if (s->nCurrentChunkWords > s->nRemainingWords || s->nRemainingWords > s->nTotalWords)
      fuzz::Fail("the transfer's counters disagree");
  }

  // The words the board moved for the current chunk.
  void FillDmaBuffer(Reader& in) {
    const uint8_t seed = in.U8();
    const ULONG bytes = std::min<ULONG>(dev->m_nDmaBufferSize, (ULONG)(in.U16() + 1) * 4);
    auto* p = static_cast<uint8_t*>(dev->m_pDmaBuffer);
    for (ULONG i = 0; i < bytes; ++i) p[i] = (uint8_t)(seed + i * 7);
  }

  void Run(Reader& in) {
    fuzz::Machine& m = fuzz::M();
    for (int event = 0; event < kMaxEvents && !in.empty(); ++event) {
      const uint8_t op = in.U8();
      const bool callback = !(op & 0x80);
      switch (op & 0x7) {
        case 0: {  // a response: its registers, then the response bit with any others
          const uint8_t pick = in.U8();
          const ULONG type = pick % 4 == 0   ? RESP_STREAM_READY
                             : pick % 4 == 1 ? RESP_PREVIEW_READY
                             : pick % 4 == 2 ? RESP_CONFIGURE_DONE
                                             : pick;
          m.board.Poke(0, REG_RESP_TYPE, type);
          m.board.Poke(0, REG_RESP_WORD, in.U32());
          m.board.Poke(0, REG_RESP_LENGTH, in.U32() >> (in.U8() & 31));
          m.board.Poke(0, REG_RESP_TAG, in.U32());
          const ULONG extra = (ULONG)(in.U8() & 0x1F) << 17;  // bits 17-21
          Dpc(INT_MAILBOX_RESPONSE | extra, type, callback, in);
          break;
        }
        case 1: {  // a chunk arrived (with any other bits)
          FillDmaBuffer(in);
          const ULONG extra = (ULONG)(in.U8() & 0x1F) << 17;
          Dpc(INT_DMA_DONE | extra, in.U16(), callback, in);
          break;
        }
        case 2: {  // several chunks in a row
          const int n = 1 + in.U8() % 64;
          FillDmaBuffer(in);
          for (int i = 0; i < n; ++i) Dpc(INT_DMA_DONE, 0x1FE0, callback, in);
          break;
        }
        case 3: {  // a frame clock's tick
          const bool video = in.U8() & 1;
          __atomic_fetch_or(&dev->m_nStreamRunState[3], video ? 1u : 2u, __ATOMIC_ACQ_REL);
          const ULONG t = video ? TICK_VIDEO : TICK_AUDIO;
          Dpc(t, t, callback, in);
          break;
        }
        case 4: {  // any status word and value
          const ULONG status = in.U32();
          Dpc(status, in.U32(), callback, in);
          break;
        }
        case 5:  // the continuation timer's turn
          KeCancelTimer(&dev->m_ContinueTimer);
          VORLIX_OnTransferTimer(&dev->m_ContinueDpc, dev, nullptr, nullptr);
          CheckCounters();
          break;
        case 6: {  // the mailbox reads busy for a while
          m.board.encoder().SetBusyReads(in.U16() % 2048);
          break;
        }
        case 7: {  // a pin starts or stops, its buffer queued or taken back
          Row& r = rows[in.U8() % kRowCount];
          const uint8_t how = in.U8();
          r.running = how & 1;
          if (how & 2) {
            r.buffer.reset();
            r.queued = false;
            r.capacity = 0;
            if (how & 4) r.Queue(Capacity(in));
          }
          break;
        }
      }
    }
  }

  void End() {
    fuzz::Machine& m = fuzz::M();
    KeCancelTimer(&dev->m_ContinueTimer);
    pk::RunPendingDpcs();
    m.board.encoder().SetBusyReads(0);
    for (Row& r : rows) {
      r.CheckGuard();
      r.buffer.reset();
      r.queued = false;
    }
    for (const auto& f : pk::TakeVerifierFailures()) fuzz::Fail("verifier: " + pk::FormatVerifierFailure(f));
    if (!pci::Faults().empty()) fuzz::Fail("bus: " + pci::Faults().front());
    // A hostile board breaks the board's protocol by definition: its complaints are not
    // the driver's.
    m.board.ClearViolations();
    m.board.encoder().ClearCommands();
    pk::ClearDebugLog();
  }
};

Transfer& T() {
  static Transfer* t = new Transfer;  // lives for the whole run, as the machine does
  return *t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Transfer& t = T();
  const int64_t before = pk::PoolLiveBlocks();
  Reader in{data, size};
  t.Begin(in);
  t.Run(in);
  t.End();
  if (pk::PoolLiveBlocks() != before) fuzz::Fail("pool left allocated by one input");
  return 0;
}
