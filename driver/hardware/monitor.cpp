// The monitor thread and the two frame clocks.
#include "driver/hardware/monitor.h"

#include "driver/core/device.h"
#include "driver/hardware/board_state.h"
#include "driver/hardware/encoder.h"
#include "driver/hardware/lifecycle.h"
#include "driver/hardware/mailbox.h"
#include "driver/hardware/receiver.h"
#include "driver/hardware/registers.h"

namespace {

constexpr LONGLONG kMs = 10000;
// The KS analog video standards the detection reports.
constexpr ULONG kStandardNtscM = 0x00000001;
constexpr ULONG kStandardPalB = 0x00000010;

void Sleep100ns(LONGLONG units) {
  LARGE_INTEGER interval;
  interval.QuadPart = -units;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Words shared between the threads, the transfer path and the property handlers, which
// read and write them without a lock.
ULONG Load(const ULONG& word) { return __atomic_load_n(&word, __ATOMIC_RELAXED); }
void Store(ULONG& word, ULONG value) { __atomic_store_n(&word, value, __ATOMIC_RELAXED); }

void Send(CDevice* d, ULONG command, ULONG a1 = 0) {
  VENDOR_COMMAND c = {command, a1, 0, 0, 0, 0, 0, 0, 0};
  VORLIX_SendVendorCommand(d, &c);
}

void SetAudioSelect(CDevice* d, bool high) {
  BoardState* s = d->m_pBoardState;
  ULONG output = high ? (s->nGpioBOutput | GPIO_B_AUDIO_SELECT) : (s->nGpioBOutput & ~GPIO_B_AUDIO_SELECT);
  VORLIX_WriteRegister(d, REG_GPIO_B_OUTPUT / 4, output, 4);
  s->nGpioBOutput = output;
}

// ---- the monitor's passes ------------------------------------------------------------------

void StopEncoderStreams(CDevice* d) {
  Send(d, VENDOR_CMD_STOP, VENDOR_PATH_PREVIEW);
  VENDOR_COMMAND off = VENDOR_PREVIEW_OFF;
  VORLIX_SendVendorCommand(d, &off);
  Send(d, VENDOR_CMD_STOP, 0);
  Send(d, VENDOR_CMD_STOP, VENDOR_STREAM_SUB);
}

void NoSignal(CDevice* d) {
  Store(d->m_nAnalogVideoResolution, 0);
  Store(d->m_nAnalogVideoFrameRate, 0);
  Store(d->m_nAnalogVideoInterleaved, 0);
  Store(d->m_nAnalogAudioSampleFrequency, 0);
  Store(d->m_nAnalogVideoDecoderStatus, 0);
}

bool SdHeight(ULONG h) { return h == 240 || h == 288 || h == 480 || h == 576; }

void Detect(CDevice* d) {
  BoardState* s = d->m_pBoardState;
  SDI_FORMAT f = {};
  if (!VORLIX_DetectSdiMode(d, &f)) {
    NoSignal(d);
    return;
  }
  if (f.nWidth != s->nSignalWidth || f.nHeight != s->nSignalHeight || f.nFrameRate != s->nSignalFrameRate ||
      f.bFractional != s->bSignalFractional) {
    s->nSignalWidth = f.nWidth;
    s->nSignalHeight = f.nHeight;
    s->nSignalFrameRate = f.nFrameRate;
    s->bSignalFractional = f.bFractional;
    s->bSignalInterlaced = (f.nHeight == 240 || f.nHeight == 288 || f.nHeight == 540) ? 1 : 0;
    s->nSignalAudioRate = 48000;
    s->bFormatChanged = 1;
  }
  DbgPrint("GV7601_SDI_MODE_DETECT( %d \xA1\xD1 %d \xA1\xD1 %d \xA1\xD1 %d )\n", d->m_nDeviceInstanceNumber, f.nWidth,
           f.nHeight, f.nFrameRate);
  ULONG r = f.nFrameRate;
  Store(d->m_nAnalogVideoDecoderStandard, (r > 50 || (r > 25 && r <= 30)) ? kStandardNtscM : kStandardPalB);
  Store(d->m_nAnalogVideoResolution, s->nSignalWidth << 16 | s->nSignalHeight);
  Store(d->m_nAnalogVideoFrameRate, s->nSignalFrameRate);
  Store(d->m_nAnalogAudioSampleFrequency, 48000);
  Store(d->m_nAnalogVideoDecoderStatus, 1);
  Store(d->m_nAnalogVideoInterleaved, s->bSignalInterlaced);
  ULONG output =
      SdHeight(s->nSignalHeight) ? (s->nGpioAOutput & ~GPIO_A_HD_SELECT) : (s->nGpioAOutput | GPIO_A_HD_SELECT);
  VORLIX_WriteRegister(d, REG_GPIO_A_OUTPUT / 4, output, 4);
  Sleep100ns(100);
  s->nGpioAOutput = output;
}

// The audio input chosen, told to the encoder after the line was pulsed.
void AnnounceAudio(CDevice* d) {
  Sleep100ns(100 * kMs);
  VORLIX_AudioSelectPulse(d);
  Send(d, VENDOR_CMD_AUDIO_INPUT);
}

void StreamingPass(CDevice* d, ULONG statusBefore) {
  BoardState* s = d->m_pBoardState;
  VORLIX_ApplySettings(d);
  if (Load(d->m_nAnalogVideoDecoderStatus) == 1 && statusBefore == 0) AnnounceAudio(d);
  if (s->bFormatChanged) {
    s->bFormatChanged = 0;
    StopEncoderStreams(d);
    Sleep100ns(100 * kMs);
    if (VORLIX_EncoderBringUp(d, FALSE, TRUE)) {
      AnnounceAudio(d);
      VORLIX_ApplySettings(d);
    }
  }
  VORLIX_WriteLocalTime(d);
}

void Watchdog(CDevice* d, ULONG pass) {
  ULONG duration = Load(d->m_nSoftwareWatchdogDuration);
  if (duration & 0x80000000u) {
    VORLIX_WriteMcuRegister(d, MCU_REG_WDT_DURATION, (UCHAR)(duration & 0xFF));
    // Only the pending mark goes; a new duration set meanwhile keeps its own.
    __atomic_fetch_and(&d->m_nSoftwareWatchdogDuration, ~0x80000000u, __ATOMIC_RELAXED);
  }
  ULONG control = d->m_nWatchdogControl.load();
  if (control & 1) {
    if (control & 0x80000000u) {
      VORLIX_WriteMcuRegister(d, MCU_REG_WDT_KICK, MCU_WDT_MAGIC);
      d->m_nWatchdogControl = 1;
    }
  } else if (pass % 50 == 0) {
    VORLIX_WriteMcuRegister(d, MCU_REG_WDT_KICK, MCU_WDT_MAGIC);
  }
}

void MonitorPass(CDevice* d, ULONG pass) {
  ULONG statusBefore = Load(d->m_nAnalogVideoDecoderStatus);
  if (pass % 5 == 0) Detect(d);
  if (d->m_nDigitalCaptureStreamReference.load() != 0 &&
      __atomic_load_n(&d->m_nStreamRunState[8], __ATOMIC_ACQUIRE) == 1)
    StreamingPass(d, statusBefore);
  Watchdog(d, pass);
}

// ---- the frame clocks ------------------------------------------------------------------------

// The performance counter in 100 ns units.
LONGLONG Now() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER count = KeQueryPerformanceCounter(&frequency);
  ULONGLONG c = (ULONGLONG)count.QuadPart, f = (ULONGLONG)frequency.QuadPart;
  if (f == 0) return (LONGLONG)c;
  return (LONGLONG)(c / f * 10000000ull + c % f * 10000000ull / f);
}

// Queues DPC object 0 with a tick when the interrupt gate is open, as the interrupt
// routine would; a tick that cannot go out leaves its flag for the next one.
void Tick(CDevice* d, ULONG flag, ULONG status) {
  __atomic_fetch_or(&d->m_nStreamRunState[3], flag, __ATOMIC_RELAXED);
  KIRQL irql;
  KeAcquireSpinLock(&d->m_DpcLock, &irql);
  ULONG open = 1;
  if (d->m_nIsrGate.compare_exchange_strong(open, 0)) {
    PVOID word = reinterpret_cast<PVOID>((ULONG_PTR)status);
    if (!KeInsertQueueDpc(&d->m_aDpc[0], word, word)) d->m_nIsrGate = 1;
  }
  KeReleaseSpinLock(&d->m_DpcLock, irql);
}

// Drift-free timing: the issued time advances by whole periods from t0, the fraction of
// a period carried in units of 10^-8.
struct Timing {
  LONGLONG t0 = 0;
  LONGLONG issued = 0;
  LONGLONG fraction = 0;
  void Reset() { t0 = issued = fraction = 0; }
  // One pass: TRUE when a tick is due (and counted).
  bool Due(LONGLONG period, LONGLONG fractionStep) {
    LONGLONG now = Now();
    if (t0 == 0) {
      t0 = now;
      issued = fraction = 0;
    }
    if (now - t0 - issued < period) return false;
    issued += period;
    fraction += fractionStep;
    if (fraction >= 100000000) {
      fraction -= 100000000;
      issued += 1;
    }
    return true;
  }
};

void RaisePriority() { KeSetPriorityThread(KeGetCurrentThread(), VORLIX_THREAD_PRIORITY); }

}  // namespace

VOID VORLIX_AudioSelectPulse(CDevice* Device) {
  ULONG input = Load(Device->m_nAnalogCrossbarAudioInput);
  if (input > 1 || !Device->m_pBoardState) return;
  SetAudioSelect(Device, input == 0);
  Sleep100ns(100 * kMs);
  SetAudioSelect(Device, input == 1);
}

ULONG VORLIX_AudioClockRate(ULONG SampleRate) {
  return (SampleRate == 44100 || SampleRate == 32000) ? SampleRate : 48000;
}

VOID VORLIX_MonitorThread(PVOID Context) {
  CDevice* d = static_cast<CDevice*>(Context);
  RaisePriority();
  if (d->m_bMonitorThreadStop) return;
  // Other board kinds have none of the encoder board's buses or receiver: their monitor
  // only keeps time.
  bool drives = VORLIX_IsEncoderBoard(d) && d->m_pBoardState;
  for (ULONG pass = 0;; ++pass) {
    if (drives) MonitorPass(d, pass);
    Sleep100ns(100 * kMs);
    if (d->m_bMonitorThreadStop) return;
  }
}

VOID VORLIX_VideoClockThread(PVOID Context) {
  CDevice* d = static_cast<CDevice*>(Context);
  RaisePriority();
  BoardState* s = d->m_pBoardState;
  Timing timing;
  timing.t0 = Now();
  while (!d->m_bFrameClockStop[0]) {
    bool active = d->m_nDigitalCaptureStreamReference.load() != 0 && Load(d->m_nAnalogVideoDecoderStatus) == 0 &&
                  __atomic_load_n(&d->m_nStreamRunState[8], __ATOMIC_ACQUIRE) >= 1 && s;
    if (!active) {
      Sleep100ns(10 * kMs);
      timing.Reset();
      continue;
    }
    ULONGLONG rate = (ULONGLONG)Load(s->nClockFrameRate) * 1000;
    if (Load(s->bClockHighRate) == 1) rate /= 2;
    if (Load(s->bClockFractional) == 1) rate = rate * 1000 / 1001;
    if (rate == 0) rate = 30000;
    LONGLONG period = (LONGLONG)(10000000000ull / rate);
    LONGLONG step = (LONGLONG)(1000000000000000000ull / rate) - period * 100000000;
    if (timing.Due(period, step)) Tick(d, 1, TICK_VIDEO);
    Sleep100ns(1 * kMs);
  }
}

VOID VORLIX_AudioClockThread(PVOID Context) {
  CDevice* d = static_cast<CDevice*>(Context);
  RaisePriority();
  BoardState* s = d->m_pBoardState;
  Timing timing;
  timing.t0 = Now();
  ULONG missedWithoutSignal = 0, missedWithSignal = 0;
  while (!d->m_bFrameClockStop[1]) {
    bool on = d->m_nDigitalCaptureStreamReference.load() != 0 && Load(d->m_nAnalogCrossbarAudioInput) == 0 &&
              __atomic_load_n(&d->m_nStreamRunState[8], __ATOMIC_ACQUIRE) >= 1 && s;
    bool ticking = false;
    if (on) {
      ULONG& missed = Load(d->m_nAnalogVideoDecoderStatus) == 1 ? missedWithSignal : missedWithoutSignal;
      if (__atomic_exchange_n(&d->m_nStreamRunState[1], 0u, __ATOMIC_RELAXED) != 0)
        missed = 0;
      else
        ++missed;
      ticking = missed >= 100;
    }
    if (!ticking) {
      Sleep100ns(10 * kMs);
      timing.t0 = timing.issued = 0;
      continue;
    }
    ULONGLONG rate = VORLIX_AudioClockRate(Load(s->nClockAudioRate));
    LONGLONG period = (LONGLONG)(3240000000ull / rate);
    LONGLONG step = (LONGLONG)(324000000000000000ull / rate) - period * 100000000;
    if (timing.Due(period, step)) Tick(d, 2, TICK_AUDIO);
    Sleep100ns(1 * kMs);
  }
}
