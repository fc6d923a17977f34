// The encoder board over a device's life, on the jumping test clock: hardware
// initialisation, stream power-up and power-down, the audio input switch, hardware stop
// and the power transitions; the monitor following a signal change and the frame clocks
// ticking without a signal.
#include "driver/hardware/lifecycle.h"

#include <cstring>
#include <thread>

#include "driver/hardware/mailbox.h"
#include "driver/hardware/monitor.h"
#include "driver/hardware/registers.h"
#include "tests/driver/hardware/lifecycle_test_fixture.h"

namespace vorlix_test {
namespace {

// Command number and first argument of each command the board latched.
// The commands the lifecycle sends: the transfer path's acknowledgements of the pictures
// and packets the running encoder produces (commands 3 and 4) are left out.
std::vector<std::pair<ULONG, ULONG>> CommandsAndSelectors(board::EncoderCore& core) {
  std::vector<std::pair<ULONG, ULONG>> out;
  for (const auto& r : core.Commands())
    if (r.words[0] != VENDOR_CMD_PREVIEW_DONE && r.words[0] != VENDOR_CMD_STREAM_DONE)
      out.push_back({r.words[0], r.words[1]});
  return out;
}

const std::vector<std::pair<ULONG, ULONG>> kStopSeries = {{VENDOR_CMD_STOP, VENDOR_PATH_PREVIEW},
                                                          {VENDOR_CMD_PREVIEW, 0x001E9E00},
                                                          {VENDOR_CMD_STOP, 0},
                                                          {VENDOR_CMD_STOP, VENDOR_STREAM_SUB}};

size_t Count(const std::vector<std::pair<ULONG, ULONG>>& commands, ULONG command) {
  size_t n = 0;
  for (const auto& c : commands) n += c.first == command;
  return n;
}

std::vector<std::string> Lines(const std::vector<std::string>& prefixes) {
  std::vector<std::string> out;
  for (const std::string& line : machine::DebugLogLines())
    for (const std::string& p : prefixes)
      if (line.compare(0, p.size(), p) == 0) out.push_back(line);
  return out;
}

TEST_F(LifecycleTest, InitialisationReadsTheIdentityLoadsThePictureArmsTheWatchdogAndStartsTheMonitor) {
  slotOptions_.busNumber = 0x23;  // board index = bus number AND 0xF
  Start();
  CDevice* d = Dev();
  EXPECT_EQ(d->m_nBoardIndex, 3u);
  EXPECT_NE(d->m_pMonitorThread, nullptr);
  EXPECT_EQ(Lines({"VORLIX_HwInitialize(", "VORLIX_DownloadLogoPictures(", "VORLIX_DownloadFirmware("}),
            (std::vector<std::string>{
                "VORLIX_DownloadFirmware( \"\\??\\C:\\WINDOWS\\VORLIX\\VORLIX.HD.HEX\" )",
                "VORLIX_HwInitialize( 3, 0 )",
                "VORLIX_DownloadLogoPictures( \"\\??\\C:\\WINDOWS\\VORLIX\\NO.SIGNAL.BMP\" )",
                // subsystem identifier, then the subsystem vendor identifier, from the EEPROM
                "VORLIX_HwInitialize( 3, 56781234 )",
            }));
  EXPECT_EQ(d->m_pPciIdentity->nSubsystemId, 0x5678);
  EXPECT_EQ(d->m_pPciIdentity->nSubsystemVendorIdLow, 0x34);
  EXPECT_EQ(d->m_pPciIdentity->nSubsystemVendorIdHigh, 0x12);
  // The watchdog: duration (the setting's low byte), kick, arm, before the monitor's
  // first kick.
  auto& writes = board_.microcontroller().writes;
  ASSERT_GE(writes.size(), 3u);
  using McuWrites = std::vector<std::pair<UCHAR, UCHAR>>;
  const McuWrites want = {
      {MCU_REG_WDT_DURATION, (UCHAR)d->m_nSoftwareWatchdogDuration}, {MCU_REG_WDT_KICK, 0x5A}, {MCU_REG_WDT_ARM, 0x5A}};
  EXPECT_EQ(McuWrites(writes.begin(), writes.begin() + 3), want);
  EXPECT_TRUE(board_.microcontroller().armed);
  // Only the short bring-up: nothing was sent to the encoder.
  EXPECT_TRUE(board_.encoder().Commands().empty());
}

TEST_F(LifecycleTest, WithoutFirmwareNoIdentityNoWatchdogButTheMonitorRuns) {
  std::filesystem::remove(machine::DriveFolder('C') / "WINDOWS" / "VORLIX" / "VORLIX.HD.HEX");
  Start();
  CDevice* d = Dev();
  PCI_IDENTITY id{};
  BoardKindIdentity(BOARD_KIND_ENCODER, &id);
  EXPECT_EQ(d->m_pPciIdentity->nSubsystemId, id.nSubsystemId);
  EXPECT_TRUE(Lines({"VORLIX_HwInitialize(", "VORLIX_DownloadLogoPictures("}).empty());
  EXPECT_NE(d->m_pMonitorThread, nullptr);
  // The monitor's first pass kicks the watchdog; nothing set its duration or armed it.
  for (const auto& w : board_.microcontroller().writes) EXPECT_EQ(w.first, MCU_REG_WDT_KICK);
  EXPECT_FALSE(board_.microcontroller().armed);
}

// Other board kinds: the streams are counted, and the encoder board's registers are
// never touched by initialisation, stream power, the audio switch, the monitor or stop.
TEST_F(LifecycleTest, OtherBoardKindsNeverTouchTheEncoderRegisters) {
  Start(BOARD_KIND_A);
  CDevice* d = Dev();
  EXPECT_NE(d->m_pMonitorThread, nullptr);
  Acquire();
  Acquire();
  EXPECT_EQ(d->m_nDigitalCaptureStreamReference.load(), 2u);
  EXPECT_EQ(d->m_pFrameClockThread[0], nullptr);
  d->m_nAnalogCrossbarAudioInput = 1;
  VORLIX_SetAudioInput(d, 0, 0);
  Pass(1000);
  Release();
  Release();
  EXPECT_EQ(d->m_nDigitalCaptureStreamReference.load(), 0u);
  ASSERT_EQ(harness_->SetDevicePower(*index_, PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(harness_->SetDevicePower(*index_, PowerDeviceD0), STATUS_SUCCESS);
  ASSERT_EQ(harness_->StopDevice(*index_), STATUS_SUCCESS);
  EXPECT_TRUE(board_.Writes().empty());
  EXPECT_TRUE(board_.encoder().Commands().empty());
}

TEST_F(LifecycleTest, TwoStreamsShareOneBringUpAndTheLastStopEndsIt) {
  Start();
  CDevice* d = Dev();
  Pass(600);  // the monitor has found the input: no restart follows the bring-up
  board_.encoder().ClearCommands();
  Acquire();
  auto first = CommandsAndSelectors(board_.encoder());
  EXPECT_EQ(Count(first, VENDOR_CMD_BOOT), 1u);
  EXPECT_EQ(first.back(), std::make_pair((ULONG)VENDOR_CMD_AUDIO_INPUT, (ULONG)0));
  EXPECT_EQ(d->m_nStreamRunState[8], 1u);
  EXPECT_NE(d->m_pFrameClockThread[0], nullptr);
  EXPECT_NE(d->m_pFrameClockThread[1], nullptr);
  EXPECT_EQ(State()->bFormatChanged, 0u);

  // A second stream gets the settings pass only.
  board_.encoder().ClearCommands();
  d->m_nAnalogVideoCompressionKeyframeRate[0] = 0x08000000u | 15;
  Acquire();
  EXPECT_EQ(d->m_nDigitalCaptureStreamReference.load(), 2u);
  auto second = CommandsAndSelectors(board_.encoder());
  EXPECT_EQ(second, (std::vector<std::pair<ULONG, ULONG>>{{VENDOR_CMD_GOP, 15}}));

  // The first stop leaves the encoder streaming; the last sends the four stop commands
  // and ends the clocks.
  // (The running encoder's pictures and packets are still acknowledged meanwhile.)
  board_.encoder().ClearCommands();
  Release();
  EXPECT_TRUE(CommandsAndSelectors(board_.encoder()).empty());
  EXPECT_EQ(d->m_nStreamRunState[8], 1u);
  EXPECT_NE(d->m_pFrameClockThread[0], nullptr);
  Release();
  EXPECT_EQ(CommandsAndSelectors(board_.encoder()), kStopSeries);
  EXPECT_EQ(d->m_nStreamRunState[8], 0u);
  EXPECT_EQ(d->m_pFrameClockThread[0], nullptr);
  EXPECT_EQ(d->m_pFrameClockThread[1], nullptr);
  EXPECT_NE(d->m_pMonitorThread, nullptr);
  // A stop without a stream changes nothing (a transfer in flight at the last stop may
  // still be acknowledged).
  board_.encoder().ClearCommands();
  Release();
  EXPECT_TRUE(CommandsAndSelectors(board_.encoder()).empty());
}

// Two pins acquire at once: the second waits for the pin mutex while the first one's
// bring-up reads the firmware file, and then only gets the settings pass. (Had the
// download let go of the mutex while reading, the second would hold it waiting for the
// monitor bracket the first holds, and the first would wait for the mutex: both stuck.)
TEST_F(LifecycleTest, ASecondAcquireDuringTheFirstDownloadWaitsItsTurn) {
  Start();
  Pass(600);
  CDevice* d = Dev();
  board_.encoder().ClearCommands();
  scope_.reset();  // this thread only watches: the two pins are the machine's threads
  std::thread first([&] {
    machine::MachineThreadScope scope;
    Acquire();
  });
  // The first pin is inside its bring-up (the mutex taken, the monitor stopped) before
  // the second one comes.
  while (machine::LiveSystemThreadCount() != 0) std::this_thread::yield();  // the monitor has ended
  std::thread second([&] {
    machine::MachineThreadScope scope;
    Acquire();
  });
  first.join();
  second.join();
  scope_.emplace();
  EXPECT_EQ(d->m_nDigitalCaptureStreamReference.load(), 2u);
  EXPECT_EQ(Count(CommandsAndSelectors(board_.encoder()), VENDOR_CMD_BOOT), 1u);
  EXPECT_EQ(d->m_nStreamRunState[8], 1u);
  EXPECT_NE(d->m_pMonitorThread, nullptr);
  Release();
  Release();
}

// The power table: only its transitions act, and the state is recorded only by them.
TEST_F(LifecycleTest, PowerTransitions) {
  Start();
  CDevice* d = Dev();
  Pass(600);
  Acquire();
  Acquire();
  struct Step {
    DEVICE_POWER_STATE to;
    ULONG recorded;   // m_nDevicePowerState afterwards
    size_t boots;     // full bring-ups (boot commands) during the step
    size_t settings;  // the settings pass's resolution command (bring-up keeps its flag)
    bool monitor;     // monitor thread running afterwards
  };
  // From D0: D1 only records; D1 -> D0 restarts the counted streams (full bring-up, then
  // the settings pass); D0 -> D3 stops the hardware; D3 -> D1 and D3 -> D2 are ignored,
  // the state included; D3 -> D0 initialises again and restarts the streams.
  const Step steps[] = {
      {PowerDeviceD1, PowerDeviceD1, 0, 0, true},  {PowerDeviceD0, PowerDeviceD0, 1, 1, true},
      {PowerDeviceD3, PowerDeviceD3, 0, 0, false}, {PowerDeviceD1, PowerDeviceD3, 0, 0, false},
      {PowerDeviceD2, PowerDeviceD3, 0, 0, false}, {PowerDeviceD0, PowerDeviceD0, 1, 1, true},
  };
  // The harness always reports the state it sent last as the previous one.
  for (const Step& s : steps) {
    SCOPED_TRACE(s.to);
    Pass(1);  // the monitor's pass at this time is over
    board_.encoder().ClearCommands();
    d->m_nEncoderVideoResolution[0] = 0x08000000u | 1920u << 12 | 1080;
    ASSERT_EQ(harness_->SetDevicePower(*index_, s.to), STATUS_SUCCESS);
    auto commands = CommandsAndSelectors(board_.encoder());
    EXPECT_EQ(d->m_nDevicePowerState, s.recorded);
    EXPECT_EQ(Count(commands, VENDOR_CMD_BOOT), s.boots);
    EXPECT_EQ(Count(commands, VENDOR_CMD_RESOLUTION), s.settings);
    EXPECT_EQ(d->m_pMonitorThread != nullptr, s.monitor);
    EXPECT_EQ(d->m_nDigitalCaptureStreamReference.load(), 2u);
  }
  Release();
  Release();
}

// Stopped while asleep: the hardware is stopped already, and stop does not wait for a
// monitor bracket that nobody will give back.
TEST_F(LifecycleTest, StopInD3) {
  Start();
  ASSERT_EQ(harness_->SetDevicePower(*index_, PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(harness_->StopDevice(*index_), STATUS_SUCCESS);
  EXPECT_EQ(machine::LiveSystemThreadCount(), 0u);
}

TEST_F(LifecycleTest, AudioInputSwitch) {
  Start();
  CDevice* d = Dev();
  struct Case {
    ULONG input;
    bool high;
    bool sent;
  };
  for (const Case& c : {Case{1, true, true}, Case{0, false, true}, Case{5, false, false}}) {
    SCOPED_TRACE(c.input);
    board_.encoder().ClearCommands();
    board_.ClearAccessLog();
    d->m_nAnalogCrossbarAudioInput = c.input;
    VORLIX_SetAudioInput(d, 0, 0);
    EXPECT_NE(d->m_pMonitorThread, nullptr);
    // The shadows belong to the monitor while it runs: look inside the bracket.
    VORLIX_StopMonitorThread(d);
    EXPECT_EQ((State()->nGpioBOutput & GPIO_B_AUDIO_SELECT) != 0, c.high);
    EXPECT_EQ((board_.Peek(0, REG_GPIO_B_OUTPUT) & GPIO_B_AUDIO_SELECT) != 0, c.high);
    EXPECT_EQ(board_.encoder().Commands().size(), c.sent ? 1u : 0u);
    VORLIX_StartMonitorThread(d);
  }
}

// The monitor finds the input, publishes it, and while a stream runs restarts the
// encoder in the pass that sees the format change.
TEST_F(LifecycleTest, MonitorFollowsASignalChange) {
  Start();
  CDevice* d = Dev();
  Pass(600);  // passes 0 and 5 detect
  EXPECT_EQ(d->m_nAnalogVideoDecoderStatus, 1u);
  EXPECT_EQ(d->m_nAnalogVideoResolution, 1920u << 16 | 1080);
  EXPECT_EQ(d->m_nAnalogVideoFrameRate, 30u);
  EXPECT_EQ(d->m_nAnalogVideoDecoderStandard, 1u);  // NTSC-M for 30
  EXPECT_EQ(State()->bFormatChanged, 1u);           // no stream yet: it waits
  Acquire();                                        // the full bring-up takes it
  EXPECT_EQ(State()->bFormatChanged, 0u);
  EXPECT_EQ(State()->nClockFrameRate, 30u);

  machine::ClearDebugLog();
  board_.encoder().ClearCommands();
  board_.encoder().SetSignal(board::InputFormat::k720p50);
  LONGLONG changed = machine::InterruptTimeNow();
  Pass(3000);
  auto commands = CommandsAndSelectors(board_.encoder());
  // Stop series, one full bring-up, the audio input.
  ASSERT_GE(commands.size(), 5u);
  using Commands = std::vector<std::pair<ULONG, ULONG>>;
  EXPECT_EQ(Commands(commands.begin(), commands.begin() + 4), kStopSeries);
  EXPECT_EQ(Count(commands, VENDOR_CMD_BOOT), 1u);
  EXPECT_EQ(Count(commands, VENDOR_CMD_AUDIO_INPUT), 1u);
  EXPECT_EQ(d->m_nAnalogVideoResolution, 1280u << 16 | 720);
  EXPECT_EQ(d->m_nAnalogVideoFrameRate, 50u);
  EXPECT_EQ(d->m_nAnalogVideoDecoderStandard, 0x10u);  // PAL-B for 50
  EXPECT_EQ(State()->nClockWidth, 1280u);
  EXPECT_EQ(State()->nClockFrameRate, 50u);
  EXPECT_EQ(State()->bFormatChanged, 0u);
  // Detected within one detection period (five 100 ms passes plus their work).
  auto detections = Lines({"GV7601_SDI_MODE_DETECT("});
  ASSERT_FALSE(detections.empty());
  EXPECT_EQ(detections[0], "GV7601_SDI_MODE_DETECT( 0 \xA1\xD1 1280 \xA1\xD1 720 \xA1\xD1 50 )");
  (void)changed;
  // HD select follows the height.
  EXPECT_NE(State()->nGpioAOutput & GPIO_A_HD_SELECT, 0u);

  // Signal lost: the published format goes, the state block keeps the last one.
  board_.encoder().SetSignal(board::InputFormat::kNone);
  Pass(600);
  EXPECT_EQ(d->m_nAnalogVideoDecoderStatus, 0u);
  EXPECT_EQ(d->m_nAnalogVideoResolution, 0u);
  EXPECT_EQ(State()->nSignalWidth, 1280u);
  Release();
}

// The frame clocks' ticks reach the frame-done callback of a running row, which takes
// the tick flags as the transfer path does: a tick whose DPC could not be queued (the
// gate was closed) is served by the next one.
struct TickLog {
  std::mutex mu;
  std::vector<std::pair<ULONG, LONGLONG>> ticks;  // flags served, interrupt time
};
TickLog* g_tickLog = nullptr;

VOID RecordTick(struct _KSPIN**, struct _KSSTREAM_POINTER**, PVOID, PVOID, PUCHAR*, ULONG*, ULONGLONG*, UCHAR*, UCHAR*,
                CDevice* device, ULONG status, ULONG value) {
  if (status != TICK_VIDEO && status != TICK_AUDIO) return;
  ULONG flags = __atomic_exchange_n(&device->m_nStreamRunState[3], 0u, __ATOMIC_RELAXED);
  std::lock_guard<std::mutex> l(g_tickLog->mu);
  g_tickLog->ticks.push_back({flags, machine::InterruptTimeNow()});
}

TEST_F(LifecycleTest, FrameClocksTickWithoutASignal) {
  board_.encoder().SetSignal(board::InputFormat::kNone);
  Start();
  CDevice* d = Dev();
  TickLog log;
  g_tickLog = &log;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LIST_ENTRY pending, done;
  InitializeListHead(&pending);
  InitializeListHead(&done);
  KSEMAPHORE owner;
  KeInitializeSemaphore(&owner, 0, 0x7FFFFFFF);
  auto* pin = reinterpret_cast<struct _KSPIN*>(&owner);
  // The stream's row runs once the stream is powered (its firmware chunks complete
  // through the status handler while no frame-done callback is registered). The audio
  // clock serves crossbar audio input 0 only.
  d->m_nAnalogCrossbarAudioInput = 0;
  Acquire();
  ASSERT_EQ(d->m_nStreamRunState[8], 1u);
  CPCIBaseDevice::RegisterChannel(d, 0, pin, &lock, &pending, &done, &owner, RecordTick);
  CPCIBaseDevice::StartChannel(d, 0);
  LONGLONG start = machine::InterruptTimeNow();
  Pass(3000);
  Release();  // ends the clocks
  CPCIBaseDevice::StopChannel(d, 0);
  CPCIBaseDevice::UnregisterChannel(d, 0);
  g_tickLog = nullptr;

  std::vector<LONGLONG> video, audio;
  for (const auto& [flags, time] : log.ticks) {
    if (flags & 1) video.push_back(time - start);
    if (flags & 2) audio.push_back(time - start);
  }
  // No input: 30 frames a second (a rate of 0 means 30), without drift.
  EXPECT_NEAR((double)video.size(), 90.0, 1.0);
  for (size_t i = 1; i < video.size(); ++i) {
    EXPECT_GE(video[i] - video[i - 1], 320000);
    EXPECT_LE(video[i] - video[i - 1], 350000);
  }
  // The audio clock starts after 100 polls without a packet (about 1 s), then ticks
  // every 67,500 units at 48 kHz.
  ASSERT_FALSE(audio.empty());
  // (its polls began with the clock, during the power-up)
  EXPECT_GE(audio.front(), 9500000);
  EXPECT_LE(audio.front(), 11500000);
  double expected = (double)(3000 * 10000 - audio.front()) / 67500.0;
  EXPECT_NEAR((double)audio.size(), expected, 2.0);
}

// The audio clock's rates and the table behind them.
TEST(AudioClock, RatesAndPeriods) {
  struct Case {
    ULONG in, rate, period;
  };
  for (const Case& c : {Case{44100, 44100, 73469}, Case{32000, 32000, 101250}, Case{48000, 48000, 67500},
                        Case{0, 48000, 67500}, Case{96000, 48000, 67500}}) {
    EXPECT_EQ(VORLIX_AudioClockRate(c.in), c.rate);
    EXPECT_EQ(3240000000u / VORLIX_AudioClockRate(c.in), c.period);
  }
}

}  // namespace
}  // namespace vorlix_test
