#include "platform/board/encoder_core.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/board/board.h"
#include "platform/pci/host.h"

namespace platform::board {

namespace {

// Window 0 offsets this part gives behaviour to.
constexpr ULONG kBootHold0 = 0x35C0;
constexpr ULONG kBootHold1 = 0x3600;
constexpr ULONG kMboxStatus = 0x3920;
constexpr ULONG kMboxArg1 = 0x3950;
constexpr ULONG kDmaStatus = 0x3980;
constexpr ULONG kDdmaControl = 0x39E0;
constexpr ULONG kDdmaHostAddress = 0x3A00;
constexpr ULONG kDdmaLength = 0x3A10;
constexpr ULONG kMboxCommand = 0x3A30;
constexpr ULONG kRespType = 0x3A40;
constexpr ULONG kRespWord = 0x3A50;
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
      if (value == 0x80000001u) StartChunk();
      break;
    case kCoreControl:
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
      responseOutstanding_ = false;
      if (!responseQueue_.empty()) board_.Post(0, [this] { DeliverResponse(); });
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
  responseOutstanding_ = false;
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
      break;
    case 7:
    case 8:
      if (r.arg(1) & 0x80000000u)
        state_.previewStarted = c == 7;
      else
        stream.started = c == 7;
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
    responseQueue_.push_back(type);
    responseQueue_.push_back(word);
    DeliverResponse();
  });
}

// One response at a time: the next waits until the host took the last (REG_RESP_ACK).
void EncoderCore::DeliverResponse() {
  if (responseOutstanding_ || responseQueue_.size() < 2) return;
  Reg(kRespType) = responseQueue_[0];
  Reg(kRespWord) = responseQueue_[1];
  responseQueue_.erase(responseQueue_.begin(), responseQueue_.begin() + 2);
  responseOutstanding_ = true;
  board_.RaiseStatus(kIntResponse);
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
