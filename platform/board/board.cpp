#include "platform/board/board.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <pthread.h>

#include "platform/board/encoder_core.h"
#include "platform/kernel/machine.h"

namespace platform::board {

namespace {
ULONG WidthMask(unsigned width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }
LONGLONG Now() { return platform::kernel::InterruptTimeNow(); }
bool ThreadedMachine() { return platform::kernel::GetMode() == platform::kernel::Mode::Threaded; }
}  // namespace

// ---------------------------------------------------------------------------------------
// Board.

Board::Board() {
  // The jumping test clock stops at the board's next event, and holds while one is due
  // or running.
  clockSource_ = platform::kernel::AddClockDeadlineSource(
      [this]() -> LONGLONG {
        std::lock_guard<std::mutex> l(eventMu_);
        if (runningEvents_ > 0) return 0;
        return events_.empty() ? -1 : events_.front().due;
      },
      [this] {
        // Looked at under the lock, so that the thread is either waiting (and woken) or
        // about to look; a move that brings no event due leaves it waiting.
        bool due;
        {
          std::lock_guard<std::mutex> l(eventMu_);
          due = !events_.empty() && events_.front().due <= Now();
        }
        if (due) eventCv_.notify_all();
      });
}

Board::~Board() {
  platform::kernel::RemoveClockDeadlineSource(clockSource_);
  StopThread();
}

void Board::StopThread() {
  {
    std::lock_guard<std::mutex> l(eventMu_);
    stop_ = true;
  }
  eventCv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Board::SetIdentity(const Identity& id) {
  identity_ = id;
  SetConfigDword(0x00, (ULONG)id.deviceId << 16 | id.vendorId);
  SetConfigDword(0x08, (ConfigDword(0x08) & 0xFFFFFF00u) | id.revisionId);
  SetConfigDword(0x2C, (ULONG)id.subsystemId << 16 | (ULONG)id.subsystemVendorIdHigh << 8 | id.subsystemVendorIdLow);
}

std::vector<ULONG>& Board::Storage(unsigned window) {
  auto& s = storage_[window];
  size_t words = (WindowLength(window) + 3) / 4;
  if (s.size() != words) s.resize(words, 0);
  return s;
}

ULONG Board::ReadRegister(unsigned window, ULONG offset, unsigned width) {
  std::lock_guard<std::recursive_mutex> l(mu_);
  auto& s = Storage(window);
  ULONG aligned = offset & ~3u;
  ULONG full = OnRead(window, aligned, width, s[aligned / 4]);
  ULONG v = (full >> (8 * (offset & 3))) & WidthMask(width);
  if (logging_) Record(Access{++sequence_, false, window, offset, v, width, Now()});
  return v;
}

void Board::WriteRegister(unsigned window, ULONG offset, ULONG value, unsigned width) {
  std::lock_guard<std::recursive_mutex> l(mu_);
  auto& s = Storage(window);
  ULONG aligned = offset & ~3u;
  unsigned shift = 8 * (offset & 3);
  ULONG mask = WidthMask(width) << shift;
  ULONG shifted = (value << shift) & mask;
  ULONG previous = s[aligned / 4];
  s[aligned / 4] = (previous & ~mask) | shifted;
  if (logging_) Record(Access{++sequence_, true, window, offset, value & WidthMask(width), width, Now()});
  OnWrite(window, aligned, shifted, width, previous);
}

ULONG Board::OnRead(unsigned, ULONG, unsigned, ULONG stored) { return stored; }
void Board::OnWrite(unsigned, ULONG, ULONG, unsigned, ULONG) {}

ULONG Board::Peek(unsigned window, ULONG offset) const {
  std::lock_guard<std::recursive_mutex> l(mu_);
  auto& s = const_cast<Board*>(this)->Storage(window);
  return offset / 4 < s.size() ? s[offset / 4] : 0;
}

void Board::Poke(unsigned window, ULONG offset, ULONG value) {
  std::lock_guard<std::recursive_mutex> l(mu_);
  auto& s = Storage(window);
  if (offset / 4 < s.size()) s[offset / 4] = value;
}

void Board::Record(const Access& a) {
  log_.push_back(a);
  while (log_.size() > logLimit_) log_.pop_front();
}

void Board::SetAccessLogLimit(size_t entries) {
  std::lock_guard<std::recursive_mutex> l(mu_);
  logLimit_ = entries ? entries : 1;
  while (log_.size() > logLimit_) log_.pop_front();
}

std::vector<Access> Board::AccessLog() const {
  std::lock_guard<std::recursive_mutex> l(mu_);
  return std::vector<Access>(log_.begin(), log_.end());
}

void Board::ClearAccessLog() {
  std::lock_guard<std::recursive_mutex> l(mu_);
  log_.clear();
}

void Board::SetAccessLogging(bool on) {
  std::lock_guard<std::recursive_mutex> l(mu_);
  logging_ = on;
}

std::vector<ULONG> Board::WritesTo(ULONG offset, unsigned window) const {
  std::vector<ULONG> out;
  for (const Access& a : AccessLog())
    if (a.write && a.window == window && a.offset == offset) out.push_back(a.value);
  return out;
}

std::vector<std::pair<ULONG, ULONG>> Board::Writes(unsigned window) const {
  std::vector<std::pair<ULONG, ULONG>> out;
  for (const Access& a : AccessLog())
    if (a.write && a.window == window) out.emplace_back(a.offset, a.value);
  return out;
}

void Board::Violation(const std::string& what) { violations_.push_back(what); }

std::vector<std::string> Board::Violations() const {
  std::lock_guard<std::recursive_mutex> l(mu_);
  return violations_;
}

void Board::ClearViolations() {
  std::lock_guard<std::recursive_mutex> l(mu_);
  violations_.clear();
}

void Board::Post(LONGLONG delay100ns, std::function<void()> event) {
  {
    std::lock_guard<std::mutex> l(eventMu_);
    // After every event due at the same time or earlier: events keep their posting order.
    const LONGLONG due = Now() + delay100ns;
    auto at = std::upper_bound(events_.begin(), events_.end(), due,
                               [](LONGLONG d, const Event& e) { return d < e.due; });
    events_.insert(at, Event{due, ++eventOrder_, std::move(event)});
  }
  platform::kernel::NoteMachineProgress();
  EnsureThread();
  eventCv_.notify_all();
}

size_t Board::PendingEvents() const {
  std::lock_guard<std::mutex> l(eventMu_);
  return events_.size();
}

size_t Board::RunDueEvents() {
  size_t n = 0;
  for (;;) {
    std::function<void()> run;
    {
      std::lock_guard<std::mutex> l(eventMu_);
      if (events_.empty() || events_.front().due > Now()) return n;
      run = std::move(events_.front().run);
      events_.pop_front();
      ++runningEvents_;
    }
    {
      std::lock_guard<std::recursive_mutex> l(mu_);
      run();
    }
    {
      std::lock_guard<std::mutex> l(eventMu_);
      --runningEvents_;
    }
    // The clock held while the event ran: it may move on now.
    platform::kernel::NoteMachineProgress();
    ++n;
  }
}

void Board::EnsureThread() {
  if (!ThreadedMachine()) return;
  std::lock_guard<std::mutex> l(eventMu_);
  if (!thread_.joinable() && !stop_) thread_ = std::thread([this] { ThreadMain(); });
}

void Board::ThreadMain() {
  // Named so that a measurement can tell the simulated hardware's work from the machine's.
  pthread_setname_np(pthread_self(), "board");
  for (;;) {
    {
      std::unique_lock<std::mutex> l(eventMu_);
      // The machine clock may be the test clock, which moves without notice: look again
      // every millisecond.
      eventCv_.wait_for(l, std::chrono::milliseconds(1),
                        [&] { return stop_ || (!events_.empty() && events_.front().due <= Now()); });
      if (stop_) return;
    }
    RunDueEvents();
  }
}

// ---------------------------------------------------------------------------------------
// Two-wire bus.

bool I2cBus::SdaLevel(bool masterSda) const {
  if (stuck_ || !masterSda) return false;
  for (const I2cSlave* s : slaves_)
    if (!s->Sda()) return false;
  return true;
}

void I2cBus::Token(const std::string& t) {
  if (!current_.empty()) current_ += ' ';
  current_ += t;
}

void I2cBus::Drive(bool masterSda, bool masterScl) {
  masterSda_ = masterSda;
  bool sda = SdaLevel(masterSda);
  if (sda != sda_) {
    sda_ = sda;
    if (scl_) {
      // A START or STOP comes after the clock has risen once more; that lone clock is
      // part of the condition, not a data bit.
      if (inTransaction_ && bits_ > 1) Token("~" + std::to_string(bits_));
      if (!sda) {  // START
        Token("S");
        inTransaction_ = true;
        bits_ = 0;
        shift_ = 0;
        for (I2cSlave* s : slaves_) s->Start();
      } else {  // STOP
        Token("P");
        done_.push_back(current_);
        current_.clear();
        inTransaction_ = false;
        bits_ = 0;
        for (I2cSlave* s : slaves_) s->Stop();
      }
      sda_ = SdaLevel(masterSda);
    }
  }
  if (masterScl != scl_) {
    scl_ = masterScl;
    if (scl_) {
      if (inTransaction_) {
        shift_ = shift_ << 1 | (sda_ ? 1 : 0);
        if (++bits_ == 9) {
          char t[8];
          snprintf(t, sizeof t, "%02X%c", (shift_ >> 1) & 0xFF, (shift_ & 1) ? '-' : '+');
          Token(t);
          bits_ = 0;
          shift_ = 0;
        }
      }
      for (I2cSlave* s : slaves_) s->ClockRise(sda_);
    } else {
      for (I2cSlave* s : slaves_) s->ClockFall();
    }
    sda_ = SdaLevel(masterSda);  // slaves change their drive after a falling edge
  }
}

std::vector<std::string> I2cBus::Transactions() const {
  std::vector<std::string> out = done_;
  if (!current_.empty()) out.push_back(current_);
  return out;
}

// ---------------------------------------------------------------------------------------
// EEPROM.

void Eeprom::Start() {
  pending_.clear();
  sda_ = true;
  if (!present_) {
    phase_ = kIdle;
    return;
  }
  phase_ = kReceive;
  bits_ = 0;
  shift_ = 0;
  first_ = true;
  haveWordAddress_ = false;
}

void Eeprom::Stop() {
  if (phase_ != kIdle && !read_ && !pending_.empty()) {
    // Page write: the address wraps inside its 8-byte page.
    UCHAR p = pointer_;
    for (UCHAR b : pending_) {
      bytes[p] = b;
      p = (UCHAR)((p & ~7) | ((p + 1) & 7));
    }
    pointer_ = p;
  }
  pending_.clear();
  phase_ = kIdle;
  sda_ = true;
}

void Eeprom::Load() {
  tx_ = bytes[pointer_++];
  txBit_ = 7;
  sda_ = (tx_ >> 7) & 1;
}

void Eeprom::ClockRise(bool sda) {
  if (phase_ == kReceive) {
    shift_ = shift_ << 1 | (sda ? 1 : 0);
    ++bits_;
  } else if (phase_ == kTransmitAck) {
    masterAck_ = !sda;
  }
}

void Eeprom::ClockFall() {
  switch (phase_) {
    case kIdle:
      break;
    case kReceive:
      if (bits_ < 8) break;
      if (first_) {
        first_ = false;
        if ((shift_ & 0xFE) != address_) {
          phase_ = kIdle;
          break;
        }
        read_ = shift_ & 1;
      } else if (!haveWordAddress_) {
        pointer_ = (UCHAR)shift_;
        haveWordAddress_ = true;
      } else {
        pending_.push_back((UCHAR)shift_);
      }
      sda_ = false;  // acknowledge
      phase_ = kReceiveAck;
      break;
    case kReceiveAck:
      sda_ = true;
      bits_ = 0;
      shift_ = 0;
      if (read_) {
        Load();
        phase_ = kTransmit;
      } else {
        phase_ = kReceive;
      }
      break;
    case kTransmit:
      if (--txBit_ >= 0) {
        sda_ = (tx_ >> txBit_) & 1;
      } else {
        sda_ = true;  // the master acknowledges
        phase_ = kTransmitAck;
      }
      break;
    case kTransmitAck:
      if (masterAck_) {
        Load();
        phase_ = kTransmit;
      } else {
        phase_ = kIdle;
      }
      break;
  }
}

// ---------------------------------------------------------------------------------------
// Microcontroller.

void Microcontroller::Start() {
  phase_ = kReceive;
  bits_ = 0;
  shift_ = 0;
  index_ = 0;
  sda_ = true;
}

void Microcontroller::Stop() {
  phase_ = kIdle;
  sda_ = true;
}

void Microcontroller::ClockRise(bool sda) {
  if (phase_ == kReceive) {
    shift_ = shift_ << 1 | (sda ? 1 : 0);
    ++bits_;
  }
}

void Microcontroller::ClockFall() {
  switch (phase_) {
    case kReceive: {
      if (bits_ < 8) break;
      UCHAR b = (UCHAR)shift_;
      if (index_ == 0) {
        if ((b & 0xFE) != address_) {
          phase_ = kIgnore;
          break;
        }
        read_ = b & 1;
      } else if (index_ == 1) {
        register_ = b;
      } else {
        registers[register_] = b;
        writes.emplace_back(register_, b);
        if (register_ == 16 && b == 0x5A) {
          armed = true;
          reloaded_ = Now();
        }
        if (register_ == 18 && b == 0x5A) {
          ++kicks;
          reloaded_ = Now();
        }
        ++register_;
      }
      ++index_;
      sda_ = false;
      phase_ = kReceiveAck;
      break;
    }
    case kReceiveAck:
      sda_ = true;
      bits_ = 0;
      shift_ = 0;
      phase_ = read_ ? kTransmit : kReceive;  // reads answer 0xFF: the line stays released
      break;
    default:
      break;
  }
}

bool Microcontroller::WatchdogExpired() const {
  return armed && Now() - reloaded_ > (LONGLONG)registers[17] * 10000000;
}

// ---------------------------------------------------------------------------------------
// Generic board.

GenericBoard::GenericBoard(const Identity& id, ULONG window0, ULONG window1) {
  SetWindowLength(0, window0);
  SetWindowLength(1, window1);
  SetIdentity(id);
  SetConfigWritable(0x40, 2);
}

GenericBoard::~GenericBoard() { StopThread(); }

void GenericBoard::EnableI2cController(ULONG identityWord) {
  std::lock_guard<std::recursive_mutex> l(mu_);
  i2c_ = true;
  for (int k = 0; k < 4; ++k) i2cBytes_[k] = (UCHAR)(identityWord >> (24 - 8 * k));
}

ULONG GenericBoard::OnRead(unsigned window, ULONG offset, unsigned width, ULONG stored) { return stored; }

void GenericBoard::OnWrite(unsigned window, ULONG offset, ULONG value, unsigned width, ULONG previous) {
  if (!i2c_ || window != 1 || offset != reg::kI2c0Command) return;
  auto& s = Storage(1);
  ULONG& status = s[reg::kI2c0Status / 4];
  ULONG& data = s[reg::kI2c0Data / 4];
  status = 0;
  if (i2cDead_) return;
  switch (value & 0xFF) {
    case 0x96:  // start and send the data byte
      if (data & 1) i2cNext_ = 0;
      status = 0x10;
      break;
    case 0xA6:  // send the data byte
      status = 0x10;
      break;
    case 0x86:  // receive a byte
    case 0xE6:  // receive the last byte and stop
      data = i2cBytes_[i2cNext_++ & 3];
      status = 0x20;
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------------------
// Encoder board.

EncoderBoard::EncoderBoard() {
  SetWindowLength(0, 0x10000);
  SetConfigWritable(0x40, 2);
  busA_.Attach(&eeprom_);
  busB_.Attach(&mcu_);
  core_ = std::make_unique<EncoderCore>(*this);
}

EncoderBoard::~EncoderBoard() { StopThread(); }

void EncoderBoard::UpdateLine() { SetInterruptLine((status_ & 0x3F0000u) != 0); }

void EncoderBoard::RaiseStatus(ULONG bits) {
  std::lock_guard<std::recursive_mutex> l(mu_);
  status_ |= bits;
  UpdateLine();
}

ULONG EncoderBoard::PendingStatus() const {
  std::lock_guard<std::recursive_mutex> l(mu_);
  return status_;
}

void EncoderBoard::SetEepromPresent(bool present) {
  std::lock_guard<std::recursive_mutex> l(mu_);
  eeprom_.SetPresent(present);
}

void EncoderBoard::SetBoardIdentityRecord(UCHAR b0, UCHAR b1, UCHAR b2, UCHAR b3) {
  std::lock_guard<std::recursive_mutex> l(mu_);
  eeprom_.bytes[0] = b0;
  eeprom_.bytes[1] = b1;
  eeprom_.bytes[2] = b2;
  eeprom_.bytes[3] = b3;
}

void EncoderBoard::SetBusStuck(Bus bus, bool stuck) {
  std::lock_guard<std::recursive_mutex> l(mu_);
  (bus == Bus::A ? busA_ : busB_).SetStuck(stuck);
  DriveBuses();
}

std::vector<std::string> EncoderBoard::BusTransactions(Bus bus) const {
  std::lock_guard<std::recursive_mutex> l(mu_);
  return (bus == Bus::A ? busA_ : busB_).Transactions();
}

void EncoderBoard::ClearBusTransactions() {
  std::lock_guard<std::recursive_mutex> l(mu_);
  busA_.ClearTransactions();
  busB_.ClearTransactions();
}

void EncoderBoard::SetUserLineLevels(ULONG levels4) {
  std::lock_guard<std::recursive_mutex> l(mu_);
  userLevels_ = levels4 & 0xF;
}

namespace {
// A line is driven by the host only where its direction bit says output; elsewhere the
// host lets go and the pull-up (or another device) decides.
ULONG HostDrive(ULONG out, ULONG dir) { return (out & dir) | ~dir; }
}  // namespace

ULONG EncoderBoard::GpioALevels() const {
  std::lock_guard<std::recursive_mutex> l(mu_);
  auto& s = const_cast<EncoderBoard*>(this)->Storage(0);
  ULONG dir = s[reg::kGpioADirection / 4];
  ULONG levels = HostDrive(s[reg::kGpioAOutput / 4], dir);
  ULONG user = (userLevels_ << 16) | ~(0xFu << 16);
  levels &= user | dir;  // undriven user lines follow the outside world
  if (!busA_.SdaLevel((levels >> 22) & 1)) levels &= ~(1u << 22);
  return levels;
}

ULONG EncoderBoard::GpioBLevels() const {
  std::lock_guard<std::recursive_mutex> l(mu_);
  auto& s = const_cast<EncoderBoard*>(this)->Storage(0);
  ULONG levels = HostDrive(s[reg::kGpioBOutput / 4], s[reg::kGpioBDirection / 4]);
  if (!busB_.SdaLevel((levels >> 1) & 1)) levels &= ~(1u << 1);
  if (!core_->ReceiverDataIn()) levels &= ~(1u << 2);
  return levels;
}

void EncoderBoard::DriveBuses() {
  auto& s = Storage(0);
  ULONG a = HostDrive(s[reg::kGpioAOutput / 4], s[reg::kGpioADirection / 4]);
  ULONG b = HostDrive(s[reg::kGpioBOutput / 4], s[reg::kGpioBDirection / 4]);
  busA_.Drive((a >> 22) & 1, (a >> 21) & 1);
  busB_.Drive((b >> 1) & 1, b & 1);
  core_->DriveReceiverPort(b);
}

ULONG EncoderBoard::OnRead(unsigned window, ULONG offset, unsigned width, ULONG stored) {
  if (window != 0) return stored;
  switch (offset) {
    case reg::kIntStatus:
      return status_;
    case reg::kSysReady:
      if (sysReadyPending_ > 0) {
        --sysReadyPending_;
        return 0;
      }
      return 1;
    case reg::kGpioAInput:
      return GpioALevels();
    case reg::kGpioBInput:
      return GpioBLevels();
    default:
      return core_->OnRead(offset, stored);
  }
}

void EncoderBoard::OnWrite(unsigned window, ULONG offset, ULONG value, unsigned width, ULONG previous) {
  if (window != 0) return;
  switch (offset) {
    case reg::kIntStatus:
      status_ &= ~value;  // write 1 to clear
      Storage(0)[offset / 4] = status_;
      UpdateLine();
      break;
    case reg::kGpioAOutput:
    case reg::kGpioADirection:
    case reg::kGpioBOutput:
    case reg::kGpioBDirection:
      DriveBuses();
      break;
    case reg::kSysReset:
      // The core comes out of reset some reads after the reset is released.
      if (previous == 0 && value == 1) sysReadyPending_ = sysReadyDelay_;
      core_->OnWrite(offset, value, previous);
      break;
    default:
      core_->OnWrite(offset, value, previous);
      break;
  }
}

void EncoderBoard::SetSysReadyDelay(unsigned reads) {
  std::lock_guard<std::recursive_mutex> l(mu_);
  sysReadyDelay_ = reads;
}

}  // namespace platform::board
