// Encoder bring-up and the settings pass.
#include "driver/hardware/encoder.h"

#include "driver/core/device.h"
#include "driver/hardware/board_state.h"
#include "driver/hardware/firmware.h"
#include "driver/hardware/mailbox.h"
#include "driver/hardware/receiver.h"
#include "driver/hardware/registers.h"

namespace {

// ---- registers and time ------------------------------------------------------------------

void Write(CDevice* d, ULONG offset, ULONG value) { VORLIX_WriteRegister(d, offset / 4, value, 4); }
ULONG Read(CDevice* d, ULONG offset) { return VORLIX_ReadRegister(d, offset / 4, 4); }
void WriteFlushed(CDevice* d, ULONG offset, ULONG value) {
  Write(d, offset, value);
  Read(d, offset);
}

void Sleep100ns(LONGLONG units) {
  LARGE_INTEGER interval;
  interval.QuadPart = -units;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}
constexpr LONGLONG kMs = 10000;

// ---- settings words ----------------------------------------------------------------------

bool Changed(ULONG word) { return (word & SETTING_CHANGED_BITS) != 0; }
ULONG Value(ULONG word) { return word & SETTING_VALUE_BITS; }
// Takes the value and marks the word sent.
ULONG Take(ULONG& word) {
  ULONG seen = __atomic_load_n(&word, __ATOMIC_RELAXED);
  ULONG value = seen & SETTING_VALUE_BITS;
  // A property set that lands between the read and the clearing keeps its mark, so the
  // next pass sends it.
  __atomic_compare_exchange_n(&word, &seen, value, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
  return value;
}
ULONG SizeWidth(ULONG packed) { return (packed >> 12) & 0xFFF; }
ULONG SizeHeight(ULONG packed) { return packed & 0xFFF; }

// ---- the input as the encoder sees it ------------------------------------------------------

struct Geometry {
  ULONG W, H, R;
  ULONG H2;          // frame height
  ULONG n;           // source frame rate
  bool field;        // a field input
  bool doubleRate;   // 1080-line progressive at 50 or 60
  ULONG streamRate;  // frames per second of the H.264 streams
  bool hd;
  ULONG timing;
  bool interlaced;  // the monitor's interlaced flag
};

Geometry GeometryOf(CDevice* d) {
  BoardState* s = d->m_pBoardState;
  Geometry g;
  g.W = s->nSignalWidth;
  g.H = s->nSignalHeight;
  g.R = s->nSignalFrameRate;
  g.field = (g.W == 720 && g.H == 240) || (g.W == 720 && g.H == 288) || (g.W == 1920 && g.H == 540);
  g.H2 = g.field ? 2 * g.H : g.H;
  g.n = g.field ? g.R / 2 : g.R;
  g.doubleRate = g.W == 1920 && g.H == 1080 && (g.R == 60 || g.R == 50);
  g.streamRate = g.doubleRate ? g.n / 2 : g.n;
  if (g.streamRate == 0) g.streamRate = (d->m_nAnalogVideoDecoderStandard & 0xA07) ? 30 : 25;
  bool sd = g.W == 720 && (g.H == 240 || g.H == 288 || g.H == 480 || g.H == 576);
  g.hd = !sd;
  if (sd)
    g.timing = 0;
  else if (g.W == 1280 && g.H == 720)
    g.timing = 13;
  else if (g.W == 1920 && g.H == 540)
    g.timing = 8;
  else
    g.timing = 14;
  g.interlaced = s->bSignalInterlaced != 0;
  return g;
}

// ---- rate control ----------------------------------------------------------------------------

struct RateControl {
  ULONG modeSent;  // 0 or 1
  ULONG slotMode;  // 0, 1 or 2
  ULONG quantiser;
  ULONG bitRate;  // bits per second, 0 in mode 0
};

// Takes the stream's mode, quality and bit-rate settings (their flags cleared).
RateControl TakeRateControl(CDevice* d, int index) {
  ULONG mode = Take(d->m_nEncoderVideoBitRateMode[index]);
  ULONG quality = Take(d->m_nAnalogVideoCompressionQuality[index]);
  ULONG bitRate = Take(d->m_nEncoderVideoBitRate[index]);
  ULONG step = quality / 250;
  RateControl rc;
  rc.quantiser = 48 - (step < 40 ? step : 40);
  if (mode == 0) {
    rc.modeSent = rc.slotMode = 0;
    rc.bitRate = 0;
  } else if (mode == 1) {
    rc.modeSent = rc.slotMode = 1;
    rc.bitRate = bitRate;
  } else {
    rc.modeSent = 0;
    rc.slotMode = 2;
    rc.bitRate = bitRate;
    rc.quantiser = 26;
  }
  return rc;
}

ULONG TakeGop(ULONG& setting) {
  ULONG g = Take(setting);
  if (g == 0) return 1;
  return g > 255 ? 255 : g;
}

void ResetRing(BoardState* s, int slot) {
  for (ULONG& v : s->nEncFrameSizeRing[slot]) v = 0;
  s->nEncRingIndex[slot] = 0;
  s->nEncRingSum[slot] = 0;
}

// ---- encoded size ------------------------------------------------------------------------

struct EncodedSize {
  ULONG width, height, progressive;
};

EncodedSize EncodedSizeOf(const Geometry& g, ULONG requested, bool interlaced) {
  ULONG rw = SizeWidth(requested), rh = SizeHeight(requested);
  EncodedSize e;
  bool full = rw >= g.W || rh >= g.H2;
  e.progressive = (interlaced && full) ? 0 : 1;
  if (full) {
    e.width = g.W;
    e.height = g.H2;
  } else if (rw < g.W / 2 && rh < g.H2 / 2) {
    e.width = g.W / 4;
    e.height = g.H2 / 4;
  } else {
    e.width = g.W / 2;
    e.height = g.H2 / 2;
  }
  return e;
}

// ---- commands ------------------------------------------------------------------------------

void Send(CDevice* d, ULONG command, ULONG a1 = 0, ULONG a2 = 0, ULONG a3 = 0, ULONG a4 = 0, ULONG a5 = 0, ULONG a6 = 0,
          ULONG a7 = 0) {
  VENDOR_COMMAND c = {command, a1, a2, a3, a4, a5, a6, a7, 0};
  VORLIX_SendVendorCommand(d, &c);
}

void Configure(CDevice* d, ULONG selector, ULONG a2 = 0, ULONG a3 = 0, ULONG a4 = 0, ULONG a5 = 0, ULONG a6 = 0,
               ULONG a7 = 0) {
  Send(d, VENDOR_CMD_CONFIGURE, selector, a2, a3, a4, a5, a6, a7);
}

void ConfigureStream(CDevice* d, const Geometry& g, ULONG selector) {
  BoardState* s = d->m_pBoardState;
  ULONG sIndex = selector - CONFIG_STREAM;
  int index = sIndex < 2 ? 0 : 4;
  int slot = sIndex < 2 ? 0 : 1;
  ULONG gop = TakeGop(d->m_nAnalogVideoCompressionKeyframeRate[index]);
  RateControl rc = TakeRateControl(d, index);
  EncodedSize e = EncodedSizeOf(g, Value(d->m_nEncoderVideoResolution[index]), g.field || g.interlaced);
  s->nEncGopLength[slot] = gop;
  s->nEncRateControlMode[slot] = rc.slotMode;
  s->nEncInitialQp[slot] = 26;
  s->nEncQp[slot] = 26;
  s->nEncTargetFrameBits[slot] = rc.bitRate / g.streamRate;
  ResetRing(s, slot);
  s->nEncQpHoldCount[slot] = 0;
  s->nEncBaseQp[slot] = 26;
  ULONG base = sIndex < 2 ? 0x80000400u : 0x80000700u;
  ULONG a2 = base | sIndex << 28 | g.n << 11 | sIndex;
  ULONG a3 = e.width | e.height << 16;
  ULONG a4 = rc.modeSent << 30 | e.progressive << 27 | rc.quantiser << 16 | g.n << 8 | gop;
  ULONG a6 = (ULONG)(FRAME_KEEP_ALL >> 32), a7 = (ULONG)FRAME_KEEP_ALL;
  Configure(d, selector, a2, a3, a4, rc.bitRate >> 10, a6, a7);
  DbgPrint("ENC#%02d: X = %d, Y = %d, RC = %d, QUALITY = %d, BITRATE = %d, GOP = %d, FPS = %08X%08X\n", sIndex, e.width,
           e.height, rc.modeSent, rc.quantiser, rc.bitRate, gop, a6, a7);
}

void PreviewCommand(CDevice* d, const Geometry& g, bool fieldPictures, bool log) {
  BoardState* s = d->m_pBoardState;
  ULONG requested = Take(d->m_nPreviewVideoResolution[0]);
  ULONG pw = SizeWidth(requested), ph = SizeHeight(requested);
  ULONG c = 1;
  if ((pw == 1920 && ph == 1080) || (pw == 1280 && ph == 720) || (pw == 720 && ph == 480) || (pw == 720 && ph == 576))
    c = 0;
  else if ((pw == 480 && ph == 270) || (pw == 320 && ph == 180) || (pw == 180 && ph == 120) || (pw == 180 && ph == 144))
    c = 2;
  ULONGLONG mask = g.doubleRate ? FRAME_KEEP_ODD : FRAME_KEEP_ALL;
  Send(d, VENDOR_CMD_PREVIEW, 0x80000000u | g.n << 16 | 0x8000u | g.n << 8, (g.W >> c) | (g.H2 >> c) << 16,
       (ULONG)(mask >> 32), (ULONG)mask);
  s->nPreviewWidth = g.W >> c;
  s->nPreviewHeight = g.H2 >> c;
  s->bPreviewField = 0;
  if (fieldPictures && c == 0) {
    s->bPreviewField = 1;
    s->nPreviewHeight = g.H2 >> 1;
  }
  if (log) DbgPrint("PREVIEW: RESOLUTION = %d \xA1\xD1 %d\n", g.W, g.H2);
}

void FrameRateCommand(CDevice* d, const Geometry& g, bool sub) {
  int index = sub ? 4 : 0;
  ULONG average = Take(d->m_nEncoderVideoAvgFrameRate[index]);
  ULONG skip = Take(d->m_nEncoderVideoSkipFrameRate[index]);
  ULONGLONG mask = VORLIX_FrameKeepMask(g.n, average, skip, g.doubleRate);
  Send(d, VENDOR_CMD_FRAME_RATE, g.n | g.n << 16 | 0x80u | (sub ? VENDOR_STREAM_SUB : 0), (ULONG)(mask >> 32),
       (ULONG)mask);
  DbgPrint("ENC#%02d: FPS = %08X%08X\n", sub ? 2 : 0, (ULONG)(mask >> 32), (ULONG)mask);
}

}  // namespace

VOID VORLIX_WriteLocalTime(CDevice* d) {
  LARGE_INTEGER system, local, epoch;
  KeQuerySystemTime(&system);
  ExSystemTimeToLocalTime(&system, &local);
  TIME_FIELDS fields = {};
  fields.Year = 1970;
  fields.Month = 1;
  fields.Day = 1;
  RtlTimeFieldsToTime(&fields, &epoch);
  LONGLONG seconds = (local.QuadPart - epoch.QuadPart) / 10000000;
  Write(d, REG_TIME_LOW, (ULONG)seconds);
  Write(d, REG_TIME_HIGH, (ULONG)((ULONGLONG)seconds >> 32));
}

namespace {

void OsdLine(CDevice* d, const Geometry& g, ULONG line) {
  // The slot has 64 text bytes; its terminator is not trusted.
  CHAR text[65];
  ULONG length = 0;
  while (length < 64 && d->m_szOsdText[0][line][length]) {
    text[length] = d->m_szOsdText[0][line][length];
    ++length;
  }
  text[length] = 0;
  ULONG wide = g.W > 720 ? 0x10000u : 0;
  if (line == 0 && length == 0) {
    Send(d, VENDOR_CMD_OSD_TIME, 1 | wide);
    DbgPrint("ENC#%02d: OSD.TIME = %d\n", 0, 1);
    VORLIX_WriteLocalTime(d);
  }
  ULONG sent = length < 16 ? length : 16;
  ULONG args[4] = {};
  for (ULONG i = 0; i < sent; ++i) args[i / 4] |= (ULONG)(UCHAR)text[i] << (8 * (i % 4));
  ULONG a1 = sent << 3 | line << 1 | (sent > 0 ? 1 : 0) | wide;
  ULONG a6 = line * 0x200000u + (g.W == 720 ? line * 32 : 0);
  Send(d, VENDOR_CMD_OSD_TEXT, a1, args[0], args[1], args[2], args[3], a6);
  DbgPrint("ENC#%02d: OSD.TEXT = %s\n", 0, text);
}

void GpioAndAudio(CDevice* d) {
  BoardState* s = d->m_pBoardState;
  ULONG aDirection = ((d->m_nGpioDirection & 0xF) | 0x70) << 16;
  ULONG aOutput = ((d->m_nGpioData & 0xF) | 0x70) << 16;
  Write(d, REG_GPIO_B_DIRECTION, 0xFB);
  Write(d, REG_GPIO_A_DIRECTION, aDirection);
  Write(d, REG_GPIO_B_OUTPUT, 0xFB);
  Write(d, REG_GPIO_A_OUTPUT, aOutput);
  s->nGpioBDirection = 0xFB;
  s->nGpioADirection = aDirection;
  s->nGpioBOutput = 0xFB;
  s->nGpioAOutput = aOutput;
}

void AudioSelectPulse(CDevice* d) {
  BoardState* s = d->m_pBoardState;
  ULONG input = d->m_nAnalogCrossbarAudioInput;
  if (input > 1) return;
  // Input 0 ends with the line low, input 1 with it high; the other level comes first.
  ULONG first = input == 0 ? (s->nGpioBOutput | GPIO_B_AUDIO_SELECT) : (s->nGpioBOutput & ~GPIO_B_AUDIO_SELECT);
  ULONG last = input == 0 ? (s->nGpioBOutput & ~GPIO_B_AUDIO_SELECT) : (s->nGpioBOutput | GPIO_B_AUDIO_SELECT);
  Write(d, REG_GPIO_B_OUTPUT, first);
  Sleep100ns(100);
  Write(d, REG_GPIO_B_OUTPUT, last);
  s->nGpioBOutput = last;
}

void BootHandshake(CDevice* d) {
  Write(d, REG_MBOX_ARG2, 0xF1);
  Write(d, REG_CORE_CONTROL, 0xBFFFFE3Fu);
  for (int sleeps = 0;; ++sleeps) {
    if (Read(d, REG_MBOX_ARG2) == 0xE0) return;
    if (sleeps == 100) break;
    Sleep100ns(1);
  }
  // The series goes on regardless; a firmware that never answers shows here.
  DbgPrint("VORLIX_EncoderBringUp( BOOT HANDSHAKE NOT ANSWERED )\n");
}

void CoreResetPass(CDevice* d, bool second) {
  WriteFlushed(d, REG_SYS_RESET, 0);
  WriteFlushed(d, REG_SYS_RESET, 1);
  WriteFlushed(d, REG_SYS_CONFIG0, 0xD8380);
  WriteFlushed(d, REG_SYS_CONFIG1, second ? 0x9F000AB0u : 0x91AA0AB8u);
  for (int reads = 0; reads <= 1000; ++reads)
    if (Read(d, REG_SYS_READY) & 1) break;
  if (second)
    WriteFlushed(d, REG_SYS_ENABLE, 3);
  else
    Write(d, REG_SYS_ENABLE, 1);
  Sleep100ns(100 * kMs);
  if (second)
    WriteFlushed(d, REG_CORE_CONTROL, 0xBFC0000Cu);
  else
    Write(d, REG_CORE_CONTROL, 0xBF00000Cu);
  Sleep100ns(100 * kMs);
  Read(d, REG_CORE_PROBE0);
  Read(d, REG_CORE_PROBE1);
  const ULONG writes[][2] = {{REG_CORE_CFG_A0, 0x860060CCu}, {REG_CORE_CFG_A1, 0xA67D1880u},
                             {REG_CORE_CFG_A2, 0x351209B2u}, {REG_CORE_CFG_B0, 0xC2001331u},
                             {REG_CORE_CFG_B1, 0x1B2401E1u}, {REG_CORE_CFG_B2, 0x30000u},
                             {REG_CORE_CFG_C0, 0xA52u},      {REG_CORE_CFG_C1, 0x4403C4u}};
  for (const auto& w : writes) WriteFlushed(d, w[0], w[1]);
  Sleep100ns(100 * kMs);
  WriteFlushed(d, REG_CORE_CONTROL, second ? 0xBFC0000Eu : 0xBF00000Eu);
  Sleep100ns(100 * kMs);
  Write(d, REG_CORE_CFG_D, 0);
  WriteFlushed(d, REG_INT_STATUS, 0x3F);
  if (second) {
    Write(d, REG_CORE_CFG_E0, 0x10);
    Write(d, REG_CORE_CFG_E1, 0xFFFFFFFFu);
    Write(d, REG_CORE_CFG_E2, 0xFFFFFFFFu);
    Write(d, REG_CORE_CFG_E3, 0x11);
  }
}

ULONG Revision(CDevice* d) { return d->m_pPciIdentity ? d->m_pPciIdentity->nRevisionId : 0; }

}  // namespace

ULONGLONG VORLIX_FrameKeepMask(ULONG SourceRate, ULONG Average, ULONG Skip, BOOLEAN DoubleRate) {
  ULONG n = SourceRate > 64 ? 64 : SourceRate;
  ULONGLONG mask = 0;
  if (Average == 0) {
    if (DoubleRate) Skip = Skip == 0 ? 1 : 2 * Skip + 1;
    ULONGLONG step = (ULONGLONG)Skip + 1;
    for (ULONGLONG k = 0; k < n; k += step) mask |= 1ull << k;
  } else {
    ULONG cap = DoubleRate ? SourceRate / 2 : SourceRate;
    ULONG a = Average < cap ? Average : cap;
    ULONG accumulator = 0;
    for (ULONG i = 0; i < n; ++i) {
      accumulator += a;
      if (accumulator >= SourceRate) {
        accumulator -= SourceRate;
        mask |= 1ull << i;
      }
    }
  }
  return mask;
}

VOID VORLIX_CoreResetSequence(CDevice* Device) {
  CoreResetPass(Device, false);
  if ((Revision(Device) & 0xF) >= 1) CoreResetPass(Device, true);
}

BOOLEAN VORLIX_EncoderBringUp(CDevice* Device, BOOLEAN CallerHoldsPinMutex, BOOLEAN Full) {
  BoardState* s = Device->m_pBoardState;
  if (!s) return FALSE;
  VORLIX_CoreResetSequence(Device);

  ULONG dmaAddress = Device->m_liDmaBufferPhysical.LowPart;
  Write(Device, REG_DDMA_HOST_ADDRESS, dmaAddress);
  Write(Device, REG_UDMA_HOST_ADDRESS, dmaAddress);
  UCHAR zero = 0;
  if (Device->m_pKsDevice) {
    KsDeviceSetBusData(Device->m_pKsDevice, PCI_WHICHSPACE_CONFIG, &zero, 0x40, 1);
    KsDeviceSetBusData(Device->m_pKsDevice, PCI_WHICHSPACE_CONFIG, &zero, 0x41, 1);
  }
  const ULONG boot[][2] = {{REG_BOOT_PARAM0, 0}, {REG_BOOT_PARAM1, 0},           {REG_BOOT_PARAM2, 0x10000},
                           {REG_BOOT_PARAM3, 0}, {REG_BOOT_PARAM4, 0},           {REG_BOOT_HOLD1, 1},
                           {REG_BOOT_HOLD0, 1},  {REG_BOOT_CONTROL, 0xC0000000u}};
  for (const auto& w : boot) WriteFlushed(Device, w[0], w[1]);
  WriteFlushed(Device, REG_XDMA1_SELECT, 0);
  WriteFlushed(Device, REG_XDMA1_BURST, 0x80);
  WriteFlushed(Device, REG_XDMA0_SELECT, 0);
  WriteFlushed(Device, REG_XDMA0_BURST, 0x80);
  Read(Device, REG_XDMA1_STATUS);
  WriteFlushed(Device, REG_DDMA_TARGET, 0);
  WriteFlushed(Device, REG_DDMA_BURST, 0x80);
  WriteFlushed(Device, REG_UDMA_SOURCE, 0);
  WriteFlushed(Device, REG_UDMA_BURST, 0x80);
  Read(Device, REG_DMA_STATUS);

  // A DPC for the transfer the reset cut short may still be running (a bring-up again on
  // a streaming board): it owns these fields under the DPC lock, so they are cleared under
  // it too, or its last chunk's arithmetic would land on the cleared state.
  KIRQL irql;
  KeAcquireSpinLock(&Device->m_DpcLock, &irql);
  s->nChunkWords = s->nTotalWords = s->nRemainingWords = s->nCurrentChunkWords = 0;
  s->nPreviewWidth = s->nPreviewHeight = s->bPreviewField = s->nPreviewParity = 0;
  VORLIX_ResetCommandSemaphore(Device);
  KeReleaseSpinLock(&Device->m_DpcLock, irql);

  BOOLEAN ok = VORLIX_DownloadFirmware(Device, ENCODER_FIRMWARE_FILE, CallerHoldsPinMutex);

  Read(Device, REG_DMA_STATUS);
  WriteFlushed(Device, REG_BOOT_HOLD1, 0);
  WriteFlushed(Device, REG_BOOT_HOLD0, 0);
  WriteFlushed(Device, REG_SYS_CONFIG2, Read(Device, REG_SYS_CONFIG2) | 0xC0300000u);
  GpioAndAudio(Device);
  VORLIX_SetUpReceiver(Device);
  AudioSelectPulse(Device);
  Sleep100ns(100 * kMs);
  if (!Full) return ok;

  if (s->nSignalWidth && s->nSignalHeight && s->nSignalFrameRate) {
    // The frame clocks read these while they run.
    auto set = [](ULONG& field, ULONG value) { __atomic_store_n(&field, value, __ATOMIC_RELAXED); };
    set(s->nClockWidth, s->nSignalWidth);
    set(s->bClockFractional, s->bSignalFractional);
    if (s->bSignalInterlaced == 1) {
      set(s->nClockHeight, 2 * s->nSignalHeight);
      set(s->nClockFrameRate, s->nSignalFrameRate / 2);
    } else {
      set(s->nClockHeight, s->nSignalHeight);
      set(s->nClockFrameRate, s->nSignalFrameRate);
    }
    set(s->bClockHighRate, s->nSignalFrameRate * s->nSignalHeight * s->nSignalWidth > 69120000u ? 1 : 0);
    set(s->nClockAudioRate, s->nSignalAudioRate);
  }
  if (!ok) return FALSE;

  BootHandshake(Device);
  Send(Device, VENDOR_CMD_BOOT, 1);
  Geometry g = GeometryOf(Device);
  Configure(Device, CONFIG_BOARD, 0, 0x303E0u | ((Revision(Device) + 1) & 0xF));
  ULONG field = g.field ? 1 : 0, hd = g.hd ? 1 : 0, f576 = g.H2 == 576 ? 1 : 0;
  Configure(Device, CONFIG_INPUT, field << 31 | f576 << 30 | hd << 29 | (field & hd) << 23 | 0x01100000u,
            0x90000000u | g.timing << 12);
  Configure(Device, CONFIG_SEL_2, 0x20000000u);
  for (ULONG selector = CONFIG_STREAM; selector < CONFIG_STREAM + 4; ++selector) ConfigureStream(Device, g, selector);
  Configure(Device, CONFIG_SEL_50, 0x80000000u);
  Configure(Device, CONFIG_SEL_3, 0x400);
  Configure(Device, CONFIG_SEL_4, 0x400);
  Configure(Device, CONFIG_END);

  PreviewCommand(Device, g, g.field || g.interlaced, false);
  Sleep100ns(1);
  Send(Device, VENDOR_CMD_START, VENDOR_PATH_PREVIEW);
  FrameRateCommand(Device, g, false);
  FrameRateCommand(Device, g, true);
  Send(Device, VENDOR_CMD_START, 0);
  Send(Device, VENDOR_CMD_START, VENDOR_STREAM_SUB);
  if (Device->m_nOsdTextEnable == 1) {
    for (ULONG line = 0; line < 3; ++line) {
      OsdLine(Device, g, line);
      Device->m_bOsdTextChanged[0][line] = 0;
    }
  }
  return TRUE;
}

ULONG VORLIX_ApplySettings(CDevice* Device) {
  BoardState* s = Device->m_pBoardState;
  if (!s) return 1;
  Geometry g = GeometryOf(Device);

  if (Changed(Device->m_nPreviewVideoResolution[0])) PreviewCommand(Device, g, g.field, true);

  for (int slot = 0; slot < 2; ++slot) {
    int index = slot ? 4 : 0;
    if (Changed(Device->m_nEncoderVideoSkipFrameRate[index]) || Changed(Device->m_nEncoderVideoAvgFrameRate[index]))
      FrameRateCommand(Device, g, slot == 1);
  }

  for (int slot = 0; slot < 2; ++slot) {
    int index = slot ? 4 : 0;
    if (!Changed(Device->m_nAnalogVideoCompressionKeyframeRate[index]) &&
        Device->m_nAnalogVideoCompressionOverrideKeyframe[index] == 0)
      continue;
    Device->m_nAnalogVideoCompressionOverrideKeyframe[index] = 0;
    ULONG gop = TakeGop(Device->m_nAnalogVideoCompressionKeyframeRate[index]);
    s->nEncGopLength[slot] = gop;
    ResetRing(s, slot);
    Send(Device, VENDOR_CMD_GOP, gop | (slot ? VENDOR_STREAM_SUB : 0));
    DbgPrint("ENC#%02d: GOP = %d\n", slot * 2, gop);
  }

  for (int slot = 0; slot < 2; ++slot) {
    int index = slot ? 4 : 0;
    if (!Changed(Device->m_nEncoderVideoResolution[index])) continue;
    // Sent once here; bring-up leaves the mark so that this pass repeats it once, and
    // keeping it here too would repeat the command every pass.
    EncodedSize e = EncodedSizeOf(g, Take(Device->m_nEncoderVideoResolution[index]), g.interlaced);
    Send(Device, VENDOR_CMD_RESOLUTION, e.progressive * 2 + (slot ? VENDOR_STREAM_SUB : 0), e.width | e.height << 16);
    DbgPrint("ENC#%02d: RESOLUTION = %d, %d, %d, %d, PROG = %d\n", slot * 2, g.W, g.H2, e.width, e.height,
             e.progressive);
  }

  for (int slot = 0; slot < 2; ++slot) {
    int index = slot ? 4 : 0;
    if (!Changed(Device->m_nEncoderVideoBitRateMode[index]) &&
        !Changed(Device->m_nAnalogVideoCompressionQuality[index]) && !Changed(Device->m_nEncoderVideoBitRate[index]))
      continue;
    RateControl rc = TakeRateControl(Device, index);
    s->nEncRateControlMode[slot] = rc.slotMode;
    s->nEncInitialQp[slot] = 26;
    s->nEncQp[slot] = 26;
    // The bit-rate field is 16 bits wide; a larger rate would spill into the quantiser.
    ULONG kbits = rc.bitRate >> 10;
    if (kbits > 0xFFFF) kbits = 0xFFFF;
    s->nEncTargetFrameBits[slot] = (kbits << 10) / g.streamRate;
    ResetRing(s, slot);
    s->nEncQpHoldCount[slot] = 0;
    s->nEncBaseQp[slot] = 26;
    Send(Device, VENDOR_CMD_RATE_CONTROL, rc.modeSent | (slot ? VENDOR_STREAM_SUB : 0), kbits | rc.quantiser << 16);
    DbgPrint("ENC#%02d: RC = %d, QUALITY = %d, BITRATE = %d\n", slot * 2, rc.modeSent, rc.quantiser, kbits);
  }

  if (Device->m_nOsdTextEnable == 1) {
    for (ULONG line = 0; line < 3; ++line) {
      if (Device->m_bOsdTextChanged[0][line] != 1) continue;
      Device->m_bOsdTextChanged[0][line] = 0;
      OsdLine(Device, g, line);
    }
  }
  return 1;
}
