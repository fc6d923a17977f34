// Simulated capture boards behind the PCI side of the machine.
//
// Board: the common part - register storage per window, the access log, protocol
// violations, and the board's own thread with a timed event queue.
// GenericBoard: any board kind by its identity; plain storage, optionally the hardware
// I2C controller in window 1 with an identity EEPROM behind it.
// EncoderBoard: the H.264 encoder board - interrupt status (write-1-to-clear) and the
// line, GPIO lines with an open-drain model, bus A with the identity EEPROM at 0xA0 and
// bus B with the watchdog microcontroller at 0xA2.
//
// Register handlers never block, never sleep and never call back into the driver: they
// change state and post events; interrupts are raised by the board (thread or test).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/pci/host.h"

namespace platform::board {

struct Identity {
  USHORT vendorId = 0;
  USHORT deviceId = 0;
  USHORT subsystemId = 0;
  UCHAR subsystemVendorIdLow = 0;
  UCHAR subsystemVendorIdHigh = 0;
  UCHAR revisionId = 0;
};

// The board identity for a record laid out by the driver's field names (its PCI_IDENTITY),
// so a host program can plug in a board of any kind the driver knows. A template so the
// board layer never includes a driver header.
template <typename PciIdentity>
Identity IdentityFrom(const PciIdentity& id) {
  Identity b;
  b.vendorId = id.nVendorId;
  b.deviceId = id.nDeviceId;
  b.subsystemId = id.nSubsystemId;
  b.subsystemVendorIdLow = id.nSubsystemVendorIdLow;
  b.subsystemVendorIdHigh = id.nSubsystemVendorIdHigh;
  b.revisionId = id.nRevisionId;
  return b;
}

struct Access {
  uint64_t sequence;
  bool write;
  unsigned window;
  ULONG offset;
  ULONG value;  // written, or returned by the read
  unsigned width;
  LONGLONG time = 0;                                    // machine interrupt time of the access
  std::thread::id thread = std::this_thread::get_id();  // the host thread that made it
};

class Board : public platform::pci::Device {
 public:
  Board();
  ~Board() override;

  void SetIdentity(const Identity& id);
  Identity identity() const { return identity_; }

  ULONG ReadRegister(unsigned window, ULONG offset, unsigned width) final;
  void WriteRegister(unsigned window, ULONG offset, ULONG value, unsigned width) final;

  // Register contents without going through the behaviour (and without a log entry).
  ULONG Peek(unsigned window, ULONG offset) const;
  void Poke(unsigned window, ULONG offset, ULONG value);

  // The access log, oldest first.
  std::vector<Access> AccessLog() const;
  void ClearAccessLog();
  void SetAccessLogging(bool on);
  // Keeps only the newest `entries` accesses (default 1,048,576), so a long run's log
  // stays bounded.
  void SetAccessLogLimit(size_t entries);
  // Writes to one register, in order (window 0 unless said).
  std::vector<ULONG> WritesTo(ULONG offset, unsigned window = 0) const;
  // The log as (offset, value) pairs of writes, for exact-sequence checks.
  std::vector<std::pair<ULONG, ULONG>> Writes(unsigned window = 0) const;

  // Protocol violations the board noticed (the driver used it in a way it does not allow).
  std::vector<std::string> Violations() const;
  void ClearViolations();

  // The board's thread. Events run at (machine interrupt time + delay). In the machine's
  // threaded mode the thread runs them; in manual mode RunDueEvents does, on the caller.
  void Post(LONGLONG delay100ns, std::function<void()> event);
  size_t RunDueEvents();
  size_t PendingEvents() const;

 protected:
  // Behaviour of one access. `storage` is the register's plain storage (32 bits).
  // Return the value the read answers with.
  virtual ULONG OnRead(unsigned window, ULONG offset, unsigned width, ULONG stored);
  // Called after the written bytes were stored.
  virtual void OnWrite(unsigned window, ULONG offset, ULONG value, unsigned width, ULONG previous);
  void Violation(const std::string& what);
  // Ends the board's thread; derived boards call it first in their destructors so no event
  // runs on a half-destroyed board.
  void StopThread();
  // The board's lock: held around every register access and every event.
  mutable std::recursive_mutex mu_;
  std::vector<ULONG>& Storage(unsigned window);

 private:
  void ThreadMain();
  void EnsureThread();
  void Record(const Access& a);

  Identity identity_;
  std::vector<ULONG> storage_[platform::pci::Device::kMaxWindows];
  std::deque<Access> log_;
  size_t logLimit_ = size_t(1) << 20;
  bool logging_ = true;
  uint64_t sequence_ = 0;
  std::vector<std::string> violations_;

  struct Event {
    LONGLONG due;
    uint64_t order;
    std::function<void()> run;
  };
  mutable std::mutex eventMu_;
  std::condition_variable eventCv_;
  std::deque<Event> events_;
  uint64_t eventOrder_ = 0;
  int runningEvents_ = 0;
  int clockSource_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

// ---------------------------------------------------------------------------------------
// A two-wire bus: open-drain lines, START/STOP detection, a decoder that writes each
// transaction as text ("S A0+ 00+ P S A1+ 34+ 12+ 78+ 56- P": hex bytes, '+' acknowledged
// by whoever received it, '-' not), and the slaves on it.

class I2cSlave {
 public:
  virtual ~I2cSlave() = default;
  virtual void Start() = 0;
  virtual void Stop() = 0;
  virtual void ClockRise(bool sda) = 0;
  virtual void ClockFall() = 0;
  // The slave's drive of SDA: false = pulls low.
  virtual bool Sda() const = 0;
};

class I2cBus {
 public:
  void Attach(I2cSlave* slave) { slaves_.push_back(slave); }
  // SDA held low by a broken device.
  void SetStuck(bool stuck) { stuck_ = stuck; }
  // The level of SDA given the master's drive (true = released or driving high).
  bool SdaLevel(bool masterSda) const;
  // The master changed its drive; evaluated SDA first, then SCL.
  void Drive(bool masterSda, bool masterScl);
  std::vector<std::string> Transactions() const;
  void ClearTransactions() {
    done_.clear();
    current_.clear();
  }

 private:
  void Token(const std::string& t);
  std::vector<I2cSlave*> slaves_;
  bool stuck_ = false;
  bool sda_ = true;  // line levels
  bool scl_ = true;
  bool masterSda_ = true;
  // Decoder.
  bool inTransaction_ = false;
  int bits_ = 0;
  unsigned shift_ = 0;
  std::string current_;
  std::vector<std::string> done_;
};

// Serial EEPROM: 256 bytes, an address pointer that survives STOP, sequential reads, 8-byte
// page writes applied at STOP.
class Eeprom : public I2cSlave {
 public:
  explicit Eeprom(UCHAR address) : address_(address) {}
  void Start() override;
  void Stop() override;
  void ClockRise(bool sda) override;
  void ClockFall() override;
  bool Sda() const override { return sda_; }
  void SetPresent(bool present) { present_ = present; }
  UCHAR bytes[256] = {};

 private:
  enum Phase { kIdle, kReceive, kReceiveAck, kTransmit, kTransmitAck };
  void Load();
  UCHAR address_;
  bool present_ = true;
  Phase phase_ = kIdle;
  int bits_ = 0;
  unsigned shift_ = 0;
  bool first_ = true;
  bool read_ = false;
  bool haveWordAddress_ = false;
  UCHAR pointer_ = 0;
  std::vector<UCHAR> pending_;
  int txBit_ = 0;
  UCHAR tx_ = 0;
  bool masterAck_ = false;
  bool sda_ = true;
};

// Board microcontroller: write-only registers; 16 arms the watchdog, 17 its duration,
// 18 kicks it (magic 0x5A). Reads answer 0xFF.
class Microcontroller : public I2cSlave {
 public:
  explicit Microcontroller(UCHAR address) : address_(address) {}
  void Start() override;
  void Stop() override;
  void ClockRise(bool sda) override;
  void ClockFall() override;
  bool Sda() const override { return sda_; }
  UCHAR registers[256] = {};
  std::vector<std::pair<UCHAR, UCHAR>> writes;  // (register, value) in order
  bool armed = false;
  unsigned kicks = 0;
  // Armed and not kicked (nor armed again) within the duration register's seconds, on
  // the machine's clock. Expiry is only recorded; the board does nothing about it.
  bool WatchdogExpired() const;

 private:
  enum Phase { kIdle, kReceive, kReceiveAck, kTransmit, kIgnore };
  UCHAR address_;
  Phase phase_ = kIdle;
  int bits_ = 0;
  unsigned shift_ = 0;
  int index_ = 0;  // bytes of this transaction
  bool read_ = false;
  UCHAR register_ = 0;
  bool sda_ = true;
  LONGLONG reloaded_ = 0;  // machine interrupt time of the last arm or kick
};

// ---------------------------------------------------------------------------------------

class GenericBoard : public Board {
 public:
  // Window lengths default to 0x10000 for window 0 and nothing else.
  explicit GenericBoard(const Identity& id, ULONG window0 = 0x10000, ULONG window1 = 0);
  ~GenericBoard() override;
  // The hardware I2C controller of window 1 and the EEPROM behind it; the identity word
  // reads back with its first byte in bits 24-31.
  void EnableI2cController(ULONG identityWord);
  // The controller never reports a byte sent or received.
  void SetI2cControllerDead(bool dead) { i2cDead_ = dead; }

 protected:
  ULONG OnRead(unsigned window, ULONG offset, unsigned width, ULONG stored) override;
  void OnWrite(unsigned window, ULONG offset, ULONG value, unsigned width, ULONG previous) override;

 private:
  bool i2c_ = false;
  bool i2cDead_ = false;
  UCHAR i2cBytes_[4] = {};
  int i2cNext_ = 0;
};

class EncoderCore;

class EncoderBoard : public Board {
 public:
  EncoderBoard();
  ~EncoderBoard() override;

  // The mailbox, firmware processor, firmware DMA, receiver port and signal source
  // (platform/board/encoder_core.h).
  EncoderCore& encoder() { return *core_; }

  // Sets interrupt status bits (and so the line) - from the test or the board's thread.
  void RaiseStatus(ULONG bits);
  ULONG PendingStatus() const;

  // The identity EEPROM on bus A and the microcontroller on bus B.
  Eeprom& eeprom() { return eeprom_; }
  Microcontroller& microcontroller() { return mcu_; }
  void SetEepromPresent(bool present);
  void SetBoardIdentityRecord(UCHAR b0, UCHAR b1, UCHAR b2, UCHAR b3);
  enum class Bus { A, B };
  void SetBusStuck(Bus bus, bool stuck);
  // After each core reset (SYS_RESET 0 then 1) SYS_READY reads 0 this many times before
  // bit 0 comes up (default 3).
  void SetSysReadyDelay(unsigned reads);
  std::vector<std::string> BusTransactions(Bus bus) const;
  void ClearBusTransactions();

  // External levels of the bank A user lines 16-19 when the host does not drive them.
  void SetUserLineLevels(ULONG levels4);
  // Line levels as the input registers read them.
  ULONG GpioALevels() const;
  ULONG GpioBLevels() const;

 protected:
  ULONG OnRead(unsigned window, ULONG offset, unsigned width, ULONG stored) override;
  void OnWrite(unsigned window, ULONG offset, ULONG value, unsigned width, ULONG previous) override;

 private:
  void UpdateLine();
  void DriveBuses();
  ULONG status_ = 0;
  Eeprom eeprom_{0xA0};
  Microcontroller mcu_{0xA2};
  I2cBus busA_;
  I2cBus busB_;
  ULONG userLevels_ = 0xF;
  unsigned sysReadyDelay_ = 3;
  unsigned sysReadyPending_ = 0;
  friend class EncoderCore;
  std::unique_ptr<EncoderCore> core_;
};

// Register offsets of the encoder board this model gives behaviour to.
namespace reg {
constexpr ULONG kIntStatus = 0x3930;
constexpr ULONG kSysReset = 0x5030;
constexpr ULONG kSysReady = 0x5060;
constexpr ULONG kGpioBInput = 0x7080;
constexpr ULONG kGpioAInput = 0x7090;
constexpr ULONG kGpioBOutput = 0x70C0;
constexpr ULONG kGpioAOutput = 0x70D0;
constexpr ULONG kGpioBDirection = 0x7100;
constexpr ULONG kGpioADirection = 0x7110;
// Window 1 of the boards with the hardware I2C controller.
constexpr ULONG kI2c0Command = 0x200000;
constexpr ULONG kI2c0Status = 0x200004;
constexpr ULONG kI2c0Divider = 0x200008;
constexpr ULONG kI2c0Data = 0x20000C;
constexpr ULONG kI2c1Command = 0x300000;
constexpr ULONG kI2c1Divider = 0x300008;
constexpr ULONG kI2cMode = 0x700000;
}  // namespace reg

}  // namespace platform::board
