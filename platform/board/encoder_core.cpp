#include "platform/board/encoder_core.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/board/board.h"
#include "platform/board/test_pattern.h"
#include "platform/kernel/machine.h"
#include "platform/pci/host.h"

namespace platform::board {

namespace {

// Window 0 offsets this part gives behaviour to.
constexpr ULONG kBootHold0 = 0x35C0;
constexpr ULONG kBootHold1 = 0x3600;
constexpr ULONG kMboxStatus = 0x3920;
constexpr ULONG kMboxArg1 = 0x3950;
constexpr ULONG kUdmaBoardOffset = 0x3960;
constexpr ULONG kDmaStatus = 0x3980;
constexpr ULONG kUdmaControl = 0x3990;
constexpr ULONG kUdmaSource = 0x39A0;
constexpr ULONG kUdmaHostAddress = 0x39B0;
constexpr ULONG kUdmaLength = 0x39C0;
constexpr ULONG kUdmaBurst = 0x39D0;
constexpr ULONG kDdmaControl = 0x39E0;
constexpr ULONG kDdmaHostAddress = 0x3A00;
constexpr ULONG kDdmaLength = 0x3A10;
constexpr ULONG kMboxCommand = 0x3A30;
constexpr ULONG kRespType = 0x3A40;
constexpr ULONG kRespWord = 0x3A50;
constexpr ULONG kRespLength = 0x3A60;
constexpr ULONG kRespTag = 0x3D80;
constexpr ULONG kCoreControl = 0x3C20;
constexpr ULONG kMboxArg2 = 0x3C80;
constexpr ULONG kMboxArg3 = 0x3C90;
constexpr ULONG kMboxArg4 = 0x3CA0;
constexpr ULONG kMboxArg5 = 0x3CB0;
constexpr ULONG kMboxArg6 = 0x3D00;
constexpr ULONG kMboxArg7 = 0x3D10;
constexpr ULONG kMboxChecksum = 0x3D20;
constexpr ULONG kRespAck = 0x3D30;
constexpr ULONG kSysReset = 0x5030;
constexpr ULONG kGpioBOutput = 0x70C0;

constexpr ULONG kBusy = 0x10000;
constexpr ULONG kIntResponse = 0x10000;
constexpr ULONG kIntDmaDone = 0x40000;
constexpr ULONG kStartFirmware = 0xBFFFFE3F;
constexpr ULONG kHostHello = 0xF1;
constexpr ULONG kFirmwareHello = 0xE0;
constexpr ULONG kStartDma = 0x80000001u;

// Response types and the board-side sources (bits 16-23 of the response word) of the
// producers.
constexpr ULONG kRespStream = 1;
constexpr ULONG kRespPreview = 2;
constexpr ULONG kSourcePreview = 0x01;
constexpr ULONG kSourceMain = 0x02;
constexpr ULONG kSourceSub = 0x03;
constexpr ULONG kSourceAudio = 0x04;
// One 16-bit channel at 48 kHz, 324 samples a packet: 648 bytes every 6.75 ms, the size
// and rhythm the driver's audio pin and its frame clock are built around.
constexpr ULONG kAudioPacketSamples = 324;
constexpr LONGLONG kAudioPeriod = 67500;  // 6.75 ms in 100 ns units
constexpr ULONG kAudioFlag = 0x80000000u;

const ULONG kArgRegisters[8] = {kMboxArg1, kMboxArg2, kMboxArg3, kMboxArg4,
                                kMboxArg5, kMboxArg6, kMboxArg7, kMboxChecksum};

ULONGLONG Mask(ULONG high, ULONG low) { return (ULONGLONG)high << 32 | low; }

}  // namespace

// ---------------------------------------------------------------------------------------
// Firmware image.

std::vector<ULONG> MakeFirmwareImage(const std::vector<ULONG>& payload) {
  std::vector<ULONG> words;
  words.push_back(kFirmwareMagic);
  words.push_back((ULONG)payload.size());
  words.insert(words.end(), payload.begin(), payload.end());
  ULONG sum = 0;
  for (ULONG w : words) sum += w;
  words.push_back(0u - sum);
  return words;
}

std::string FirmwareHexText(const std::vector<ULONG>& words) {
  std::string text;
  text.reserve(words.size() * 10);
  char record[16];
  for (ULONG w : words) {
    std::snprintf(record, sizeof record, "%08x\r\n", (unsigned)w);
    text += record;
  }
  return text;
}

std::vector<ULONG> SampleFirmwareImage(size_t payloadWords) {
  std::vector<ULONG> payload(payloadWords);
  ULONG x = 0x2545F491u;
  for (ULONG& w : payload) {  // xorshift: varied digits, every hex letter appears
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    w = x;
  }
  return MakeFirmwareImage(payload);
}

bool FirmwareImageValid(const std::vector<ULONG>& words) {
  if (words.size() < 3 || words[0] != kFirmwareMagic) return false;
  ULONGLONG n = words[1];
  if (n + 3 > words.size()) return false;
  ULONG sum = 0;
  for (size_t i = 0; i < n + 3; ++i) sum += words[i];
  return sum == 0;
}

// ---------------------------------------------------------------------------------------
// Signal source.

ReceiverFormatRegisters RegistersFor(InputFormat format, bool fractional) {
  struct Row {
    InputFormat format;
    USHORT code;
    USHORT lines;
    USHORT reg33;
  };
  static const Row kRows[] = {
      {InputFormat::k480i, 0x16, 960, 525},    {InputFormat::k576i, 0x18, 960, 625},
      {InputFormat::k480iAlt, 0x1E, 960, 525}, {InputFormat::k576iAlt, 0x1E, 960, 625},
      {InputFormat::k720p60, 0x20, 960, 0},    {InputFormat::k720p50, 0x24, 960, 0},
      {InputFormat::k720p30, 0x22, 960, 0},    {InputFormat::k720p25, 0x26, 960, 0},
      {InputFormat::k720p24, 0x28, 960, 0},    {InputFormat::k1080i60, 0x2A, 960, 0},
      {InputFormat::k1080i50, 0x2C, 960, 0},   {InputFormat::k1080i48, 0x11, 960, 0},
      {InputFormat::k1080p30, 0x0B, 960, 0},   {InputFormat::k1080p25, 0x0D, 960, 0},
      {InputFormat::k1080p24, 0x30, 960, 0},   {InputFormat::k1080p60, 0x2B, 1920, 0},
      {InputFormat::k1080p50, 0x2D, 1920, 0},
  };
  ReceiverFormatRegisters r{0x3F00, 0, 0, 0};  // no signal: a code outside the table
  for (const Row& row : kRows) {
    if (row.format != format) continue;
    r.reg6 = (USHORT)(row.code << 8);
    r.reg31 = row.lines;
    r.reg33 = row.reg33;
    r.reg34 = fractional ? 0x2000 : 0;
  }
  return r;
}

// ---------------------------------------------------------------------------------------
// Test controls.

EncoderCore::EncoderCore(EncoderBoard& board) : board_(board) {
  // Receiver registers that bring-up changes hold other bits too: the set-up must keep them.
  receiverRegs_[57] = 0x00F2;
  receiverRegs_[512] = 0x05F0;
  receiverRegs_[1032] = 0x1234;
  ReceiverFormatRegisters r = RegistersFor(InputFormat::kNone, false);
  receiverRegs_[6] = r.reg6;
}

#define ENCODER_LOCK std::lock_guard<std::recursive_mutex> lock(board_.mu_)

void EncoderCore::SetSignal(InputFormat format, bool fractional) {
  ENCODER_LOCK;
  format_ = format;
  ReceiverFormatRegisters r = RegistersFor(format, fractional);
  receiverRegs_[6] = r.reg6;
  receiverRegs_[31] = r.reg31;
  receiverRegs_[33] = r.reg33;
  receiverRegs_[34] = r.reg34;
  UpdateProducers();
}

InputFormat EncoderCore::signal() const {
  ENCODER_LOCK;
  return format_;
}

void EncoderCore::SetReceiverPresent(bool present) {
  ENCODER_LOCK;
  receiverPresent_ = present;
}

USHORT EncoderCore::ReceiverRegister(ULONG address) const {
  ENCODER_LOCK;
  return receiverRegs_[address & 0xFFF];
}

void EncoderCore::SetReceiverRegister(ULONG address, USHORT value) {
  ENCODER_LOCK;
  receiverRegs_[address & 0xFFF] = value;
}

std::vector<std::string> EncoderCore::ReceiverTransactions() const {
  ENCODER_LOCK;
  return receiverLog_;
}

void EncoderCore::SetBusyReads(ULONG reads) {
  ENCODER_LOCK;
  busyReads_ = reads;
}

void EncoderCore::SetCommandBusyWindow(ULONG reads) {
  ENCODER_LOCK;
  busyWindow_ = reads;
}

void EncoderCore::SetStuckBusy(bool stuck) {
  ENCODER_LOCK;
  stuckBusy_ = stuck;
}

void EncoderCore::DropResponses(ULONG count) {
  ENCODER_LOCK;
  dropResponses_ = count;
}

void EncoderCore::SetResponseDelay(LONGLONG delay) {
  ENCODER_LOCK;
  responseDelay_ = delay;
}

void EncoderCore::SetChunkDelay(LONGLONG delay) {
  ENCODER_LOCK;
  chunkDelay_ = delay;
}

void EncoderCore::DropChunkDoneFrom(ULONG first) {
  ENCODER_LOCK;
  dropChunkFrom_ = first;
}

void EncoderCore::SetAcceptAnyImage(bool any) {
  ENCODER_LOCK;
  acceptAny_ = any;
}

void EncoderCore::CorruptImageWord(size_t index) {
  ENCODER_LOCK;
  corruptWord_ = index;
}

void EncoderCore::SetRunning() {
  ENCODER_LOCK;
  state_.started = state_.booted = true;
}

std::vector<MailboxRecord> EncoderCore::Commands() const {
  ENCODER_LOCK;
  return commands_;
}

void EncoderCore::ClearCommands() {
  ENCODER_LOCK;
  commands_.clear();
}

std::vector<ULONG> EncoderCore::DownloadedWords() const {
  ENCODER_LOCK;
  return image_;
}

std::vector<ULONG> EncoderCore::ChunkLengths() const {
  ENCODER_LOCK;
  return chunkLengths_;
}

EncoderState EncoderCore::state() const {
  ENCODER_LOCK;
  return state_;
}

void EncoderCore::QueueTransfer(ULONG type, ULONG word, std::vector<ULONG> payload) {
  ENCODER_LOCK;
  Response r;
  r.type = type;
  r.word = word;
  r.length = (ULONG)payload.size();
  r.tag = ++nextTag_;
  r.payload = std::make_shared<const std::vector<ULONG>>(std::move(payload));
  Enqueue(std::move(r));
}

void EncoderCore::InjectBusError(ULONG bits) {
  ENCODER_LOCK;
  board_.Post(0, [this, bits, g = generation_] {
    if (g != generation_) return;
    ++transferEpoch_;  // chunks on their way never report
    if (current_ && transferTaken_) {
      current_.reset();
      transferTaken_ = false;
    }
    busErrorRecovery_ = true;
    board_.RaiseStatus(bits);
  });
}

void EncoderCore::CombineWithChunkDone(ULONG bits, ULONG count) {
  ENCODER_LOCK;
  combineBits_ = bits;
  combineCount_ = count;
}

void EncoderCore::SetResponseQueueLimit(size_t limit) {
  ENCODER_LOCK;
  responseLimit_ = limit;
}

void EncoderCore::SetProducersEnabled(bool on) {
  ENCODER_LOCK;
  producersEnabled_ = on;
  UpdateProducers();
}

void EncoderCore::SetReplay(bool on) {
  ENCODER_LOCK;
  replay_ = on;
  for (auto& r : replayStream_) r.clear();
  for (auto& k : keptRounds_) k.clear();
  replayLive_[0] = replayLive_[1] = false;
  replayPreview_.clear();
  replayFields_.clear();
  replayNext_[0] = replayNext_[1] = 0;
}

void EncoderCore::SetRecordAccessUnits(bool on) {
  ENCODER_LOCK;
  recordAccessUnits_ = on;
}

std::vector<std::vector<uint8_t>> EncoderCore::AccessUnits(int stream) const {
  ENCODER_LOCK;
  return accessUnits_[stream & 1];
}

// ---------------------------------------------------------------------------------------
// Registers.

ULONG& EncoderCore::Reg(ULONG offset) { return board_.Storage(0)[offset / 4]; }

ULONG EncoderCore::OnRead(ULONG offset, ULONG stored) {
  if (offset != kMboxStatus) return stored;
  bool busy = stuckBusy_ || busyReads_ > 0;
  if (busyReads_ > 0) --busyReads_;
  return busy ? (stored | kBusy) : (stored & ~kBusy);
}

void EncoderCore::OnWrite(ULONG offset, ULONG value, ULONG previous) {
  switch (offset) {
    case kMboxCommand: {
      if (stuckBusy_ || busyReads_ > 0) board_.Violation("mailbox: command written while busy");
      MailboxRecord r;
      r.words[0] = value;
      for (int i = 0; i < 8; ++i) r.words[i + 1] = Reg(kArgRegisters[i]);
      commands_.push_back(r);
      busyReads_ = busyWindow_;
      ULONG sum = 0;
      for (ULONG w : r.words) sum += w;
      char what[96];
      if (sum != 0) {
        std::snprintf(what, sizeof what, "mailbox: command %u with a bad checksum dropped", (unsigned)value);
        board_.Violation(what);
        break;
      }
      if (value != 16 && r.words[7] != 0) {
        std::snprintf(what, sizeof what, "mailbox: command %u with a non-zero Arg7", (unsigned)value);
        board_.Violation(what);
      }
      Command(r);
      break;
    }
    case kDdmaControl:
      if (value == kStartDma) StartChunk();
      break;
    case kUdmaControl:
      if (value == kStartDma) StartTransferChunk();
      break;
    case kCoreControl:
      // The host's recovery after a bus error toggles bit 3: the mailbox goes on.
      if (busErrorRecovery_ && (value & 8) && !(previous & 8)) {
        busErrorRecovery_ = false;
        board_.Post(0, [this, g = generation_] {
          if (g == generation_) DeliverResponse();
        });
      }
      if (value == kStartFirmware) Boot();
      break;
    case kBootHold1:
      if (value == 1 && previous != 1) {  // a new download begins
        image_.clear();
        chunkLengths_.clear();
        chunkFault_ = false;
      }
      break;
    case kSysReset:
      if (previous == 0 && value == 1) ResetModel();
      break;
    case kRespAck:
      TakeResponse();
      break;
    case kGpioBOutput:
      break;
    default:
      break;
  }
}

void EncoderCore::ResetModel() {
  ++generation_;  // what was on its way before the reset never arrives
  state_ = EncoderState{};
  image_.clear();
  chunkLengths_.clear();
  chunkFault_ = false;
  responseQueue_.clear();
  current_.reset();
  transferTaken_ = false;
  busErrorRecovery_ = false;
  ++transferEpoch_;
  producing_ = false;
  ++producerEpoch_;
  nextTag_ = 0;
  for (H264Model& m : h264_) m.Open(H264Settings{});  // closes it
  replayLive_[0] = replayLive_[1] = false;
}

// ---------------------------------------------------------------------------------------
// Firmware download and boot.

void EncoderCore::StartChunk() {
  if (Reg(kBootHold0) != 1 || Reg(kBootHold1) != 1) {
    board_.Violation("firmware DMA: chunk started outside the download (boot holds not set)");
    return;
  }
  ULONG address = Reg(kDdmaHostAddress);
  ULONG length = Reg(kDdmaLength);
  // The boot loader takes whole pairs of words, at most one 256-word page at a time; a
  // chunk outside that spoils the image.
  if (length % 2 != 0 || length > 256) {
    char what[96];
    std::snprintf(what, sizeof what, "firmware DMA: a chunk of %u words (odd, or above 256)", (unsigned)length);
    board_.Violation(what);
    chunkFault_ = true;
  }
  const ULONG* source = static_cast<const ULONG*>(platform::pci::PhysicalToVirtual(address, (size_t)length * 4));
  if (length == 0 || !source) {
    char what[96];
    std::snprintf(what, sizeof what, "firmware DMA: %u words at 0x%08X are not host memory", (unsigned)length,
                  (unsigned)address);
    board_.Violation(what);
    return;
  }
  for (ULONG i = 0; i < length; ++i) {
    ULONG w = source[i];
    if (image_.size() == corruptWord_) w ^= 0x00010000u;
    image_.push_back(w);
  }
  chunkLengths_.push_back(length);
  Reg(kDmaStatus) = length;
  if (chunkLengths_.size() - 1 >= dropChunkFrom_) return;
  board_.Post(chunkDelay_, [this, g = generation_] {
    if (g == generation_) board_.RaiseStatus(kIntDmaDone);
  });
}

void EncoderCore::Boot() {
  if (Reg(kMboxArg2) != kHostHello) return;
  // The processor stays held while either boot hold is set, and a spoilt download never
  // starts.
  if (Reg(kBootHold0) != 0 || Reg(kBootHold1) != 0) {
    board_.Violation("firmware start with the boot holds still set");
    return;
  }
  if (chunkFault_) return;
  state_.imageValid = FirmwareImageValid(image_);
  // An image that is not ours never starts: the handshake word stays unanswered.
  if (!state_.imageValid && !acceptAny_) return;
  state_.started = true;
  Reg(kMboxArg2) = kFirmwareHello;
}

// ---------------------------------------------------------------------------------------
// Firmware processor.

void EncoderCore::Command(const MailboxRecord& r) {
  ULONG c = r.command();
  if (c == 257) {
    if (state_.started && r.arg(1) == 1) state_.booted = true;
    return;
  }
  if (!state_.booted) return;  // a processor without firmware ignores everything
  int s = (r.arg(1) & 0x200) ? 1 : 0;
  EncoderStreamState& stream = state_.stream[s];
  switch (c) {
    case 3:
    case 4:
      Done(r);
      break;
    case 16:
      Configure(r);
      QueueResponse(16, 0);
      break;
    case 19:
      if (r.arg(1) & 0x80000000u) {
        state_.previewOn = true;
        state_.previewRate = (r.arg(1) >> 16) & 0xFF;
        state_.previewWidth = r.arg(2) & 0xFFFF;
        state_.previewHeight = r.arg(2) >> 16;
        state_.previewMask = Mask(r.arg(3), r.arg(4));
      } else {
        state_.previewOn = false;
      }
      UpdateProducers();
      break;
    case 7:
    case 8:
      if (r.arg(1) & 0x80000000u)
        state_.previewStarted = c == 7;
      else
        stream.started = c == 7;
      UpdateProducers();
      break;
    case 14:
      stream.frameRate = r.arg(1) & 0x7F;
      stream.keepMask = Mask(r.arg(2), r.arg(3));
      break;
    case 15:
      stream.progressive = (r.arg(1) >> 1) & 1;
      stream.width = r.arg(2) & 0xFFFF;
      stream.height = r.arg(2) >> 16;
      break;
    case 17:
      stream.mode = r.arg(1) & 1;
      stream.bitRateKbits = r.arg(2) & 0xFFFF;
      stream.quantiser = r.arg(2) >> 16;
      break;
    case 18:
      stream.gop = r.arg(1) & 0xFF;
      break;
    case 31: {
      ULONG line = (r.arg(1) >> 1) & 3;
      ULONG length = (r.arg(1) >> 3) & 0x1F;
      if (line > 2 || length > 16) {
        board_.Violation("OSD text: line or length out of range");
        break;
      }
      std::string text;
      for (ULONG i = 0; i < length; ++i) text += (char)((r.arg(2 + (int)i / 4) >> (8 * (i % 4))) & 0xFF);
      state_.osdText[line] = text;
      state_.osdTextArg1[line] = r.arg(1);
      break;
    }
    case 32:
      state_.osdTimeArg1 = r.arg(1);
      state_.osdTimeCommands++;
      break;
    case 36:
      state_.audioInputCommands++;
      state_.audioInput = (board_.GpioBLevels() >> 7) & 1;
      break;
    default:
      break;
  }
}

void EncoderCore::Configure(const MailboxRecord& r) {
  ULONG selector = r.arg(1);
  state_.configSelectors.push_back(selector);
  switch (selector) {
    case 0:
      state_.boardArg3 = r.arg(3);
      break;
    case 1:
      state_.inputArg2 = r.arg(2);
      state_.inputArg3 = r.arg(3);
      break;
    case 0x10:
    case 0x12: {
      EncoderStreamState& s = state_.stream[(selector - 0x10) / 2];
      s.frameRate = (r.arg(2) >> 11) & 0x7F;
      s.width = r.arg(3) & 0xFFFF;
      s.height = r.arg(3) >> 16;
      s.mode = r.arg(4) >> 30;
      s.progressive = (r.arg(4) >> 27) & 1;
      s.quantiser = (r.arg(4) >> 16) & 0xFF;
      s.gop = r.arg(4) & 0xFF;
      s.bitRateKbits = r.arg(5);
      s.keepMask = Mask(r.arg(6), r.arg(7));
      break;
    }
    case 0xFF:
      state_.configEnded = true;
      break;
    default:
      break;
  }
}

void EncoderCore::QueueResponse(ULONG type, ULONG word) {
  if (dropResponses_ > 0) {
    if (dropResponses_ != kAll) --dropResponses_;
    return;
  }
  board_.Post(responseDelay_, [this, type, word, g = generation_] {
    if (g != generation_) return;
    Response r;
    r.type = type;
    r.word = word;
    Enqueue(std::move(r));
  });
}

void EncoderCore::Enqueue(Response r) {
  // Each source (preview, main, sub, audio) has room of its own on the board, so when the
  // host does not keep up a source loses its own newest: a busy one (audio, every
  // 6.75 ms) never takes the room of one that produces rarely, or that stream would get
  // nothing through for as long as the host lags. A command's answer always waits.
  if (r.type == kRespStream || r.type == kRespPreview) {
    const ULONG source = (r.word >> 16) & 0xFF;
    size_t waiting = 0;
    for (const Response& q : responseQueue_)
      if ((q.type == kRespStream || q.type == kRespPreview) && ((q.word >> 16) & 0xFF) == source) ++waiting;
    if (waiting >= responseLimit_) {
      state_.droppedResponses++;
      return;
    }
  }
  responseQueue_.push_back(std::move(r));
  DeliverResponse();
}

// One response at a time: the next waits until the host took the last (REG_RESP_ACK), and
// for a preview or stream response until the host acknowledged its data (commands 3, 4).
void EncoderCore::DeliverResponse() {
  if (current_ || busErrorRecovery_ || responseQueue_.empty()) return;
  current_ = std::move(responseQueue_.front());
  responseQueue_.pop_front();
  transferTaken_ = false;
  Reg(kRespType) = current_->type;
  Reg(kRespWord) = current_->word;
  Reg(kRespLength) = current_->length;
  Reg(kRespTag) = current_->tag;
  board_.RaiseStatus(kIntResponse);
}

void EncoderCore::ReleaseResponse() {
  current_.reset();
  transferTaken_ = false;
  if (!responseQueue_.empty())
    board_.Post(responseDelay_, [this, g = generation_] {
      if (g == generation_) DeliverResponse();
    });
}

void EncoderCore::TakeResponse() {
  if (!current_) return;
  if (current_->type == kRespStream || current_->type == kRespPreview) {
    transferTaken_ = true;  // its words move now; the acknowledgement releases it
    transferWords_ = 0;
    transferChecked_ = false;
    return;
  }
  ReleaseResponse();
}

void EncoderCore::Done(const MailboxRecord& r) {
  const bool preview = r.command() == 3;
  char what[128];
  if (!current_ || !transferTaken_ || current_->type != (preview ? kRespPreview : kRespStream)) {
    std::snprintf(what, sizeof what, "mailbox: %s done without a %s taken", preview ? "preview" : "stream",
                  preview ? "picture" : "packet");
    board_.Violation(what);
    return;
  }
  if (!preview && (r.arg(1) != current_->word || r.arg(2) != current_->length || r.arg(3) != current_->tag)) {
    std::snprintf(what, sizeof what, "mailbox: stream done for %08X/%u/%u, the packet taken is %08X/%u/%u",
                  (unsigned)r.arg(1), (unsigned)r.arg(2), (unsigned)r.arg(3), (unsigned)current_->word,
                  (unsigned)current_->length, (unsigned)current_->tag);
    board_.Violation(what);
  }
  size_t words = current_->payload ? current_->payload->size() : 0;
  if (transferWords_ != words) {
    std::snprintf(what, sizeof what, "mailbox: %s done after %u of its %u words", preview ? "preview" : "stream",
                  (unsigned)transferWords_, (unsigned)words);
    board_.Violation(what);
  }
  state_.doneCommands++;
  ReleaseResponse();
}

// ---------------------------------------------------------------------------------------
// Board-to-host DMA: each start moves REG_UDMA_LENGTH words of the response taken, from
// where the last chunk ended, to REG_UDMA_HOST_ADDRESS, then reports transfer-done.

void EncoderCore::StartTransferChunk() {
  char what[128];
  if (!current_ || !transferTaken_) {
    if (state_.booted) board_.Violation("board-to-host DMA: started with no response taken");
    return;
  }
  const Response& t = *current_;
  if (!transferChecked_) {
    transferChecked_ = true;
    const bool audio = t.type == kRespStream && (t.word & kAudioFlag);
    if (Reg(kUdmaSource) != ((t.word >> 16) & 0xFF)) {
      std::snprintf(what, sizeof what, "board-to-host DMA: source %u, the response names %u",
                    (unsigned)Reg(kUdmaSource), (unsigned)((t.word >> 16) & 0xFF));
      board_.Violation(what);
    }
    if (Reg(kUdmaBoardOffset) != (audio ? 0u : 0x1000u)) {
      std::snprintf(what, sizeof what, "board-to-host DMA: board offset 0x%X for %s", (unsigned)Reg(kUdmaBoardOffset),
                    audio ? "audio" : "video");
      board_.Violation(what);
    }
    if (Reg(kUdmaBurst) != 0x80) board_.Violation("board-to-host DMA: burst is not 0x80");
  }
  ULONG length = Reg(kUdmaLength);
  const ULONG address = Reg(kUdmaHostAddress);
  const size_t left = (t.payload ? t.payload->size() : 0) - transferWords_;
  if (length == 0 || length > left) {
    std::snprintf(what, sizeof what, "board-to-host DMA: a chunk of %u words with %u left", (unsigned)length,
                  (unsigned)left);
    board_.Violation(what);
    if (length > left) length = (ULONG)left;
  }
  if (length > 0) {
    void* target = platform::pci::PhysicalToVirtual(address, (size_t)length * 4);
    if (!target) {
      std::snprintf(what, sizeof what, "board-to-host DMA: %u words at 0x%08X are not host memory", (unsigned)length,
                    (unsigned)address);
      board_.Violation(what);
      return;
    }
    // The copy is the DMA engine's work, done on the thread that started it.
    timespec begin{}, end{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &begin);
    std::memcpy(target, t.payload->data() + transferWords_, (size_t)length * 4);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    dmaCopyNs_.fetch_add((uint64_t)((end.tv_sec - begin.tv_sec) * 1000000000LL + (end.tv_nsec - begin.tv_nsec)),
                         std::memory_order_relaxed);
  }
  transferWords_ += length;
  state_.chunks++;
  Reg(kDmaStatus) = length;
  ULONG bits = kIntDmaDone;
  if (combineCount_ > 0) {
    bits |= combineBits_;
    --combineCount_;
  }
  board_.Post(chunkDelay_, [this, bits, g = generation_, e = transferEpoch_] {
    if (g == generation_ && e == transferEpoch_) board_.RaiseStatus(bits);
  });
}

// ---------------------------------------------------------------------------------------
// Producers: while the encoder runs on a signal, every frame of the signal gives a
// preview picture and a packet per started stream (as their frame-keep masks allow), and
// every 6.75 ms an audio packet, each announced by a response.

SignalTiming TimingOf(InputFormat format) {
  switch (format) {
    case InputFormat::k480i:
    case InputFormat::k480iAlt:
      return {720, 480, 30};
    case InputFormat::k576i:
    case InputFormat::k576iAlt:
      return {720, 576, 25};
    case InputFormat::k720p60:
      return {1280, 720, 60};
    case InputFormat::k720p50:
      return {1280, 720, 50};
    case InputFormat::k720p30:
      return {1280, 720, 30};
    case InputFormat::k720p25:
      return {1280, 720, 25};
    case InputFormat::k720p24:
      return {1280, 720, 24};
    case InputFormat::k1080i60:
      return {1920, 1080, 30};
    case InputFormat::k1080i50:
      return {1920, 1080, 25};
    case InputFormat::k1080i48:
      return {1920, 1080, 24};
    case InputFormat::k1080p30:
      return {1920, 1080, 30};
    case InputFormat::k1080p25:
      return {1920, 1080, 25};
    case InputFormat::k1080p24:
      return {1920, 1080, 24};
    case InputFormat::k1080p60:
      return {1920, 1080, 60};
    case InputFormat::k1080p50:
      return {1920, 1080, 50};
    default:
      return {};
  }
}

namespace {
// Whether frame n of a source running at `rate` is kept by a frame-keep mask (bit i for
// frame i of each second; an empty mask keeps everything).
bool Kept(ULONGLONG mask, ULONG n, ULONG rate) {
  if (mask == 0) return true;
  ULONG cycle = rate == 0 ? 1 : (rate > 64 ? 64 : rate);
  return (mask >> (n % cycle)) & 1;
}
// Frames a second the mask keeps.
ULONG KeptRate(ULONGLONG mask, ULONG rate) {
  if (rate == 0) return 0;
  if (mask == 0) return rate;
  ULONG cycle = rate > 64 ? 64 : rate;
  ULONGLONG bits = cycle == 64 ? mask : mask & ((1ull << cycle) - 1);
  ULONG kept = (ULONG)std::popcount(bits);
  return kept ? kept : rate;
}
// The lines of one field (0 top, 1 bottom) of an I420 frame, as an I420 picture.
std::vector<uint8_t> FieldOf(const std::vector<uint8_t>& frame, ULONG w, ULONG h, ULONG parity) {
  std::vector<uint8_t> out((size_t)w * (h / 2) * 3 / 2);
  for (ULONG y = 0; y < h / 2; ++y) std::memcpy(&out[(size_t)y * w], &frame[(size_t)(2 * y + parity) * w], w);
  const ULONG cw = w / 2;
  for (int plane = 0; plane < 2; ++plane) {
    const uint8_t* src = frame.data() + (size_t)w * h + (size_t)plane * cw * (h / 2);
    uint8_t* dst = out.data() + (size_t)w * (h / 2) + (size_t)plane * cw * (h / 4);
    for (ULONG y = 0; y < h / 4; ++y) std::memcpy(dst + (size_t)y * cw, src + (size_t)(2 * y + parity) * cw, cw);
  }
  return out;
}
std::shared_ptr<const std::vector<ULONG>> Words(const uint8_t* bytes, size_t n) {
  auto words = std::make_shared<std::vector<ULONG>>((n + 3) / 4, 0);
  if (n) std::memcpy(words->data(), bytes, n);
  return words;
}
}  // namespace

void EncoderCore::UpdateProducers() {
  const SignalTiming t = TimingOf(format_);
  const bool run =
      producersEnabled_ && state_.booted && t.frameRate != 0 &&
      ((state_.previewOn && state_.previewStarted) || state_.stream[0].started || state_.stream[1].started);
  if (run == producing_) return;
  producing_ = run;
  const ULONG epoch = ++producerEpoch_;
  if (!run) return;
  producerStart_ = platform::kernel::InterruptTimeNow();
  framesDue_ = audioDue_ = 0;
  ScheduleFrame(epoch);
  ScheduleAudio(epoch);
}

// Ticks fall on whole periods from the start, whenever the previous one ran.
void EncoderCore::ScheduleFrame(ULONG epoch) {
  const ULONG rate = TimingOf(format_).frameRate;
  if (rate == 0) return;
  const LONGLONG due = producerStart_ + (LONGLONG)(++framesDue_ * 10000000ull / rate);
  const LONGLONG delay = due - platform::kernel::InterruptTimeNow();
  board_.Post(delay > 0 ? delay : 0, [this, epoch] { FrameTick(epoch); });
}

void EncoderCore::ScheduleAudio(ULONG epoch) {
  const LONGLONG due = producerStart_ + (LONGLONG)++audioDue_ * kAudioPeriod;
  const LONGLONG delay = due - platform::kernel::InterruptTimeNow();
  board_.Post(delay > 0 ? delay : 0, [this, epoch] { AudioTick(epoch); });
}

void EncoderCore::FrameTick(ULONG epoch) {
  if (epoch != producerEpoch_) return;
  const SignalTiming t = TimingOf(format_);
  if (t.frameRate == 0) return;
  const ULONG n = state_.frameNumber++;
  if (state_.previewOn && state_.previewStarted) {
    const ULONG w = state_.previewWidth, h = state_.previewHeight;
    const ULONG rate = state_.previewRate ? state_.previewRate : t.frameRate;
    // An interlaced input at full size goes as two field pictures, the top field (bit 3
    // of the word clear) first.
    const bool fields = ((state_.inputArg2 >> 31) & 1) && w == t.width && h == t.height && h % 4 == 0;
    const size_t round = state_.stream[0].gop ? state_.stream[0].gop : 30;
    const size_t at = n % round;
    const ULONG pictures = fields ? 2u : 1u;
    const ULONG pictureHeight = fields ? h / 2 : h;
    // Frame pictures and field pairs are kept apart: a field of one size and a frame of
    // half its height have the same length.
    auto& kept = fields ? replayFields_ : replayPreview_;
    auto keptAt = [&](ULONG parity) -> std::shared_ptr<const std::vector<ULONG>>* {
      const size_t slot = at * pictures + parity;
      return slot < kept.size() ? &kept[slot] : nullptr;
    };
    bool replayed = replay_;
    for (ULONG parity = 0; parity < pictures && replayed; ++parity) {
      auto* k = keptAt(parity);
      replayed = k && *k && (*k)->size() == (size_t)((w + 15) / 16) * ((pictureHeight + 15) / 16) * 96;
    }
    if (replayed && w >= 16 && h >= 16 && w % 2 == 0 && h % 2 == 0 && Kept(state_.previewMask, n, rate)) {
      for (ULONG parity = 0; parity < pictures; ++parity) {
        Response r;
        r.type = kRespPreview;
        r.word = kSourcePreview << 16 | (parity ? 8u : 0u);
        r.payload = *keptAt(parity);
        r.length = (ULONG)r.payload->size();
        r.tag = ++nextTag_;
        state_.previewPictures++;
        Enqueue(std::move(r));
      }
    } else if (w >= 16 && h >= 16 && w % 2 == 0 && h % 2 == 0 && Kept(state_.previewMask, n, rate)) {
      std::vector<uint8_t> frame = TestPatternI420(w, h, n);
      for (ULONG parity = 0; parity < pictures; ++parity) {
        std::vector<uint32_t> tiled =
            fields ? TilePreview(FieldOf(frame, w, h, parity), w, h / 2) : TilePreview(frame, w, h);
        Response r;
        r.type = kRespPreview;
        r.word = kSourcePreview << 16 | (parity ? 8u : 0u);
        r.length = (ULONG)tiled.size();
        r.tag = ++nextTag_;
        r.payload = std::make_shared<const std::vector<ULONG>>(tiled.begin(), tiled.end());
        if (replay_) {
          const size_t slot = at * pictures + parity;
          if (kept.size() <= slot) kept.resize(slot + 1);
          kept[slot] = r.payload;
        }
        state_.previewPictures++;
        Enqueue(std::move(r));
      }
    }
  }
  for (int s = 0; s < 2; ++s)
    if (state_.stream[s].started) ProduceStream(s, n, t.frameRate);
  ScheduleFrame(epoch);
}

void EncoderCore::ProduceStream(int s, ULONG n, ULONG sourceRate) {
  const EncoderStreamState& st = state_.stream[s];
  const ULONG rate = st.frameRate ? st.frameRate : sourceRate;
  if (st.width < 16 || st.height < 16 || st.width % 2 || st.height % 2 || !Kept(st.keepMask, n, rate)) return;
  H264Settings want;
  want.width = st.width;
  want.height = st.height;
  want.fpsNum = KeptRate(st.keepMask, rate);
  want.fpsDen = 1;
  want.gop = st.gop ? st.gop : 1;
  want.constantQp = !(st.mode == 1 && st.bitRateKbits != 0);
  want.qp = st.quantiser;
  want.bitRateKbit = (ULONG)((ULONGLONG)st.bitRateKbits * 1024 / 1000);
  H264Model& model = h264_[s];
  auto sameAs = [&](const H264Settings& have) {
    return have.width == want.width && have.height == want.height && have.fpsNum == want.fpsNum &&
           have.gop == want.gop && have.constantQp == want.constantQp && have.qp == want.qp &&
           have.bitRateKbit == want.bitRateKbit;
  };
  // Replay follows the GOP: position 0 of a round is always the IDR. A round made with
  // these settings is sent again without the engine, also after a reset closed it: a
  // stream that starts again starts at the round's IDR.
  std::vector<ReplayPacket>& replayed = replayStream_[s];
  if (replay_ && !sameAs(replaySettings_[s])) {
    // Other settings: a whole round of the ones left is kept, and a round kept for the
    // wanted ones becomes the stream's round (sent from its IDR, as after a reset).
    std::deque<KeptRound>& kept = keptRounds_[s];
    if (!replayed.empty() && replayed.size() >= replaySettings_[s].gop) {
      size_t bytes = 0;
      for (const ReplayPacket& p : replayed) bytes += p.payload->size() * sizeof(ULONG);
      kept.push_front(KeptRound{replaySettings_[s], std::move(replayed), bytes});
      size_t total = 0;
      for (auto k = kept.begin(); k != kept.end(); ++k) {
        if (k - kept.begin() < (ptrdiff_t)kKeptRounds && total + k->bytes <= kKeptBytes) {
          total += k->bytes;
          continue;
        }
        kept.erase(k, kept.end());  // the older ones go
        break;
      }
    }
    replayed.clear();
    for (auto k = kept.begin(); k != kept.end(); ++k) {
      if (!sameAs(k->settings)) continue;
      replayed = std::move(k->packets);
      replaySettings_[s] = k->settings;
      replayLive_[s] = false;
      kept.erase(k);
      // The engine's stream of other settings ends here: a return to them starts anew.
      model.Open(H264Settings{});
      break;
    }
  }
  const bool roundReady = replay_ && replayed.size() >= want.gop && sameAs(replaySettings_[s]);
  if (roundReady && !replayLive_[s]) {
    replayLive_[s] = true;
    replayNext_[s] = 0;
  }
  const bool same = roundReady || (model.IsOpen() && sameAs(model.settings()));
  if (!same && !model.Open(want)) {
    board_.Violation("H.264 engine: the stream's settings were refused");
    return;
  }
  if (!same) {
    replayed.clear();
    replaySettings_[s] = want;
    replayLive_[s] = false;
  }
  if (roundReady) {
    const size_t at = replayNext_[s]++ % replayed.size();
    Response r;
    r.type = kRespStream;
    r.word = (s == 0 ? kSourceMain : kSourceSub) << 16 | (ULONG)(s * 2) << 8 | (ULONG)replayed[at].type << 4;
    r.payload = replayed[at].payload;
    r.length = (ULONG)r.payload->size();
    r.tag = ++nextTag_;
    state_.streamPackets[s]++;
    Enqueue(std::move(r));
    return;
  }
  int type = 0;
  std::vector<uint8_t> au = model.Encode(TestPatternI420(st.width, st.height, n).data(), &type);
  if (au.empty()) return;
  Response r;
  r.type = kRespStream;
  r.word = (s == 0 ? kSourceMain : kSourceSub) << 16 | (ULONG)(s * 2) << 8 | (ULONG)type << 4;
  r.payload = Words(au.data(), au.size());
  if (replay_ && replayed.size() < want.gop) {
    replayed.push_back(ReplayPacket{r.payload, type});
    replayNext_[s] = 0;
  }
  r.length = (ULONG)r.payload->size();
  r.tag = ++nextTag_;
  state_.streamPackets[s]++;
  if (recordAccessUnits_) accessUnits_[s].push_back(std::move(au));
  Enqueue(std::move(r));
}

void EncoderCore::AudioTick(ULONG epoch) {
  if (epoch != producerEpoch_) return;
  std::vector<uint32_t> tone = ToneMono16(audioSamples_, kAudioPacketSamples);
  audioSamples_ += kAudioPacketSamples;
  Response r;
  r.type = kRespStream;
  r.word = kAudioFlag | kSourceAudio << 16;
  r.payload = std::make_shared<const std::vector<ULONG>>(tone.begin(), tone.end());
  r.length = (ULONG)r.payload->size();
  r.tag = ++nextTag_;
  state_.audioPackets++;
  Enqueue(std::move(r));
  ScheduleAudio(epoch);
}

// ---------------------------------------------------------------------------------------
// Receiver port: select falling starts a transaction, 16 command bits then 16 data bits,
// each taken on a rising clock; for a read the receiver presents bit 15 - k of the value
// at the k-th rising edge of the data phase.

void EncoderCore::DriveReceiverPort(ULONG levels) {
  bool cs = (levels >> 5) & 1;
  bool clk = (levels >> 4) & 1;
  bool dout = (levels >> 3) & 1;
  if (cs != cs_) {
    cs_ = cs;
    inTransfer_ = !cs;
    bit_ = 0;
    commandWord_ = 0;
    dataWord_ = 0;
    din_ = true;
  }
  if (clk == clk_) return;
  clk_ = clk;
  if (!clk || !inTransfer_ || bit_ >= 32) return;
  if (bit_ < 16) {
    commandWord_ = commandWord_ << 1 | (dout ? 1 : 0);
  } else {
    int k = bit_ - 16;
    bool read = commandWord_ & 0x8000;
    ULONG address = commandWord_ & 0xFFF;
    if (read)
      din_ = (receiverRegs_[address] >> (15 - k)) & 1;
    else
      dataWord_ = dataWord_ << 1 | (dout ? 1 : 0);
    if (k == 15 && receiverPresent_) {
      if (!read) receiverRegs_[address] = (USHORT)dataWord_;
      char line[32];
      std::snprintf(line, sizeof line, "%c %03X = %04X", read ? 'R' : 'W', (unsigned)address,
                    (unsigned)(read ? receiverRegs_[address] : dataWord_));
      receiverLog_.push_back(line);
      if (commandWord_ & 0x7000) board_.Violation("receiver: command word with bits 12-14 set");
    }
  }
  ++bit_;
}

}  // namespace platform::board
