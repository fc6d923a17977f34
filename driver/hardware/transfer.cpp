// The encoder's data path: the status handler that takes preview and stream responses and
// starts their board-to-host transfers, the frame-done callback that copies each chunk
// into the queued buffers (de-tiling preview pictures) and completes them, and the 1 ms
// continuation timer of the timer mode.
#include "driver/hardware/transfer.h"

#include "driver/core/device.h"
#include "driver/hardware/board_state.h"
#include "driver/hardware/mailbox.h"
#include "driver/hardware/registers.h"
#include "driver/streaming/pin_context.h"

namespace {

// Chunk sizes in words: packets go in 32 KB pieces, preview pictures in whole macroblocks
// (85 of 96 words).
constexpr ULONG kChunkPacket = 8192;
constexpr ULONG kChunkPicture = 8160;
constexpr ULONG kMacroblockWords = 96;
// The fixed H.264 limit of the customer switch.
constexpr ULONG kCompanyLimitWords = 0x20000;
constexpr ULONG kCompanyLimitBytes = 0x80000;
constexpr ULONG kResponseBusyReads = 1000;
constexpr ULONG kNoSignalLength = 0xFFFFFFFFu;

void Write(CDevice* d, ULONG offset, ULONG value) { VORLIX_WriteRegister(d, offset / 4, value, 4); }
ULONG Read(CDevice* d, ULONG offset) { return VORLIX_ReadRegister(d, offset / 4, 4); }
void WriteFlushed(CDevice* d, ULONG offset, ULONG value) {
  Write(d, offset, value);
  Read(d, offset);
}

ULONG Ceil16(ULONG v) { return (v + 15) & ~15u; }

bool IsTick(ULONG status, ULONG value) {
  return (status == TICK_VIDEO && value == TICK_VIDEO) || (status == TICK_AUDIO && value == TICK_AUDIO);
}

bool TransferInProgress(const BoardState* s) { return s->nRemainingWords != 0 && s->nCurrentChunkWords != 0; }

bool ImmediateMode(const CDevice* d) { return d->m_nDriverTechnology == 0; }

void ArmContinueTimer(CDevice* d) {
  LARGE_INTEGER due;
  due.QuadPart = -10000;  // 1 ms, relative
  KeSetTimer(&d->m_ContinueTimer, due, &d->m_ContinueDpc);
}

void SendPendingAck(CDevice* d) {
  VENDOR_COMMAND ack = d->m_pBoardState->PendingAck;  // the send writes the checksum into its record
  VORLIX_SendVendorCommand(d, &ack);
}

void ProgramChunk(CDevice* d) {
  if (ImmediateMode(d)) {
    WriteFlushed(d, REG_UDMA_LENGTH, d->m_pBoardState->nCurrentChunkWords);
    Write(d, REG_UDMA_CONTROL, 0x80000001u);
  } else {
    ArmContinueTimer(d);
  }
}

void Acknowledge(CDevice* d) {
  if (ImmediateMode(d))
    SendPendingAck(d);
  else
    ArmContinueTimer(d);  // no chunk left: the timer sends the acknowledgement
}

// Retires the chunk that arrived and programs the next; TRUE when the transfer is over.
bool ContinueAfterChunk(CDevice* d) {
  BoardState* s = d->m_pBoardState;
  s->nRemainingWords -= s->nCurrentChunkWords;
  s->nCurrentChunkWords = 0;
  if (s->nRemainingWords >= s->nChunkWords) {
    s->nCurrentChunkWords = s->nChunkWords;
  } else if (s->nRemainingWords > 0) {
    s->nCurrentChunkWords = s->nRemainingWords;
  } else {
    return true;
  }
  ProgramChunk(d);
  return false;
}

void ReleaseCommandSemaphore(CDevice* d) { KeReleaseSemaphore(&d->m_CommandSemaphore, 0, 1, FALSE); }

// Takes a response (the line's bit 16): configure-done wakes the command waiter, a preview
// or stream response starts its transfer.
void TakeResponse(CDevice* d, ULONG type) {
  BoardState* s = d->m_pBoardState;
  Write(d, REG_RESP_ACK, 0);
  ULONG word = Read(d, REG_RESP_WORD);
  ULONG length;
  if (type == RESP_CONFIGURE_DONE) {
    ReleaseCommandSemaphore(d);
    return;
  } else if (type == RESP_STREAM_READY) {
    word = Read(d, REG_RESP_WORD);
    s->PendingAck =
        VENDOR_COMMAND{VENDOR_CMD_STREAM_DONE, word, Read(d, REG_RESP_LENGTH), Read(d, REG_RESP_TAG), 0, 0, 0, 0, 0};
    length = s->PendingAck.Arg2;
    s->nChunkWords = kChunkPacket;
  } else if (type == RESP_PREVIEW_READY) {
    word = Read(d, REG_RESP_WORD);
    s->PendingAck = VENDOR_COMMAND{VENDOR_CMD_PREVIEW_DONE, 0, 0, 0, 0, 0, 0, 0, 0};
    length = Ceil16(s->nPreviewWidth) * Ceil16(s->nPreviewHeight) * 3 / 8;
    s->nPreviewParity = 1 - ((word >> 3) & 1);
    s->nChunkWords = kChunkPicture;
  } else {
    return;
  }
  for (ULONG i = 0; i < kResponseBusyReads; ++i)
    if (!(Read(d, REG_MBOX_STATUS) & 0x10000)) break;
  bool audio = type == RESP_STREAM_READY && (word & 0x80000000u);
  Write(d, REG_UDMA_BOARD_OFFSET, audio ? 0 : 0x1000);
  Write(d, REG_UDMA_SOURCE, (word >> 16) & 0xFF);
  Write(d, REG_UDMA_BURST, 0x80);
  s->nTotalWords = s->nRemainingWords = length;
  s->nCurrentChunkWords = length < s->nChunkWords ? length : s->nChunkWords;
  if (length == 0) {
    DbgPrint("[%02d] [ZERO.PACKET.ERROR]\n", d->m_nDeviceInstanceNumber);
    s->nRemainingWords = s->nCurrentChunkWords = 0;
    SendPendingAck(d);
    return;
  }
  ProgramChunk(d);
}

// ---- The frame-done callback's rows ------------------------------------------------------

// Bytes the row's queued buffer holds; 0 when the row has no entry.
ULONG Capacity(struct _KSPIN* pin, struct _KSSTREAM_POINTER* clone, PUCHAR data, ULONG fallback) {
  if (!pin || !data) return 0;
  if (clone && clone->StreamHeader) return clone->StreamHeader->FrameExtent;
  return fallback;
}

VideoPinContext* VideoPin(struct _KSPIN* pin) { return pin ? static_cast<VideoPinContext*>(pin->Context) : nullptr; }
AudioPinContext* AudioPin(struct _KSPIN* pin) { return pin ? static_cast<AudioPinContext*>(pin->Context) : nullptr; }

struct Rows {
  struct _KSPIN** pins;
  struct _KSSTREAM_POINTER** clones;
  PUCHAR* data;
  ULONG* lengths;
  ULONGLONG* values;
  UCHAR* done;
  UCHAR* flags;

  bool TakesPart(ULONG row) const { return pins[row] && pins[row]->Context && data[row]; }
  // Completes the row's entry with the pin's transfer flag.
  void Complete(ULONG row, ULONG length, ULONGLONG value, PinContext* pin) {
    lengths[row] = length;
    values[row] = value;
    flags[row] = pin->nTransferFlag;
    pin->nTransferFlag = 0;
    done[row] = 1;
  }
};

// De-tiles one chunk of macroblocks (o words of the picture already received, c words in
// the DMA buffer) into a planar 4:2:0 destination of w x h. Every line and every byte is
// bounded by the destination picture.
void DetileChunk(const BoardState* s, const UCHAR* source, PUCHAR data, ULONG w, ULONG h, ULONG o, ULONG c) {
  const ULONG perRow = Ceil16(s->nPreviewWidth) / 16;
  if (perRow == 0 || w == 0 || h == 0) return;
  const bool field = s->bPreviewField == 1;
  const ULONGLONG lumaBytes = (ULONGLONG)w * h;
  const ULONGLONG planeBytes = (ULONGLONG)(w / 2) * (h / 2);
  PUCHAR second = data + lumaBytes;
  PUCHAR third = second + planeBytes;
  const ULONGLONG lumaStep = field ? 4ull * (w / 2) : 4ull * (w / 4);
  const ULONGLONG chromaStep = field ? 4ull * (w / 4) : 4ull * ((w / 2) / 4);
  const ULONG lumaLimit = field ? 2 * s->nPreviewHeight : s->nPreviewHeight;
  const ULONG chromaLimit = field ? 2 * (s->nPreviewHeight / 2) : s->nPreviewHeight / 2;

  const ULONG first = o / kMacroblockWords;
  const ULONG count = c / kMacroblockWords;
  for (ULONG i = 0; i < count; ++i) {
    const UCHAR* block = source + (size_t)i * kMacroblockWords * 4;
    ULONG m = first + i;
    ULONG row = m / perRow;
    ULONG column = m % perRow;
    if (field) row *= 2;
    if ((ULONGLONG)column * 16 >= w || (ULONGLONG)row * 16 >= h) continue;
    ULONGLONG luma = (ULONGLONG)row * 16 * w + (ULONGLONG)column * 16;
    ULONGLONG chroma = (ULONGLONG)row * 8 * (w / 2) + (ULONGLONG)column * 8;
    if (field && s->nPreviewParity == 0) {  // the second field sits one line down
      luma += 4ull * (w / 4);
      chroma += 4ull * ((w / 2) / 4);
    }
    for (ULONG k = 0; k < 16; ++k, luma += lumaStep) {
      ULONG line = field ? row * 16 + 2 * k : row * 16 + k;
      if (line >= lumaLimit) break;
      const UCHAR* src = block + k * 16;
      for (ULONG word = 0; word < 4; ++word) {
        ULONGLONG at = luma + word * 4;
        if (at + 4 > lumaBytes) break;
        RtlCopyMemory(data + at, src + word * 4, 4);
      }
    }
    for (ULONG k = 0; k < 8; ++k, chroma += chromaStep) {
      ULONG line = field ? row * 8 + 2 * k : row * 8 + k;
      if (line >= chromaLimit) break;
      const UCHAR* src = block + 256 + k * 16;
      for (ULONG pair = 0; pair < 8; ++pair) {
        ULONGLONG at = chroma + pair;
        // Both planes end within the frame: (w / 2) x (h / 2) bytes each.
        if (at >= planeBytes) break;
        third[at] = src[2 * pair];
        second[at] = src[2 * pair + 1];
      }
    }
  }
}

void CompleteTick(CDevice* d, Rows& r) {
  // The frame clocks set these flags from their own threads.
  ULONG* ticks = &d->m_nStreamRunState[3];
  if (__atomic_fetch_and(ticks, ~1u, __ATOMIC_ACQ_REL) & 1) {
    for (ULONG row : {0u, 1u, 4u, 5u, 8u, 9u}) {
      if (!r.TakesPart(row)) continue;
      VideoPinContext* pin = VideoPin(r.pins[row]);
      r.Complete(row, kNoSignalLength, ++pin->nPictureNumber, pin);
    }
  }
  if (__atomic_fetch_and(ticks, ~2u, __ATOMIC_ACQ_REL) & 2) {
    for (ULONG row : {12u, 13u}) {
      if (!r.TakesPart(row)) continue;
      AudioPinContext* pin = AudioPin(r.pins[row]);
      r.Complete(row, kNoSignalLength, ++pin->nPacketNumber, pin);
    }
  }
}

// The H.264 size limit of a row in words: the customer switch's fixed one or the pin's
// largest frame, never more than the queued buffer holds.
ULONG StreamLimitBytes(CDevice* d, ULONG capacity, const VideoPinContext* pin) {
  ULONG limit = d->m_nCompanyVek >= 1 ? kCompanyLimitBytes : pin->nMaxFrameBytes;
  return capacity < limit ? capacity : limit;
}

void CopyChunk(CDevice* d, Rows& r, ULONG o, ULONG c) {
  BoardState* s = d->m_pBoardState;
  const PUCHAR source = static_cast<PUCHAR>(d->m_pDmaBuffer);
  const VENDOR_COMMAND& ack = s->PendingAck;
  if (ack.Command == VENDOR_CMD_PREVIEW_DONE) {
    const bool first = o == 0 && (s->bPreviewField != 1 || s->nPreviewParity == 1);
    for (ULONG row : {0u, 1u}) {
      if (!r.TakesPart(row)) continue;
      VideoPinContext* pin = VideoPin(r.pins[row]);
      ULONG w = pin->nTransferWidth, h = pin->nTransferHeight;
      ULONGLONG frameBytes = (ULONGLONG)w * h * 3 / 2;
      ULONG capacity = Capacity(r.pins[row], r.clones[row], r.data[row], pin->nMaxFrameBytes);
      if (first) pin->aTransferState[3] = 0;
      // A buffer too small for the picture takes nothing: the picture completes as lost.
      if (frameBytes > capacity) continue;
      pin->aTransferState[3] += c;
      DetileChunk(s, source, r.data[row], w, h, o, c);
    }
    return;
  }
  if (ack.Command != VENDOR_CMD_STREAM_DONE) return;
  const ULONGLONG end = ((ULONGLONG)o + c) * 4;
  if (ack.Arg1 & 0x80000000u) {
    for (ULONG row : {12u, 13u}) {
      if (!r.TakesPart(row)) continue;
      // An audio packet larger than the buffer keeps what fits.
      ULONG capacity = Capacity(r.pins[row], r.clones[row], r.data[row], 0);
      if ((ULONGLONG)o * 4 >= capacity) continue;
      ULONG bytes = end <= capacity ? c * 4 : capacity - o * 4;
      RtlCopyMemory(r.data[row] + (size_t)o * 4, source, bytes);
    }
    return;
  }
  ULONG stream = (ack.Arg1 >> 8) & 0xFF;
  if (stream != 0 && stream != 2) return;
  for (ULONG row : {stream == 0 ? 4u : 8u, stream == 0 ? 5u : 9u}) {
    if (!r.TakesPart(row)) continue;
    VideoPinContext* pin = VideoPin(r.pins[row]);
    ULONG capacity = Capacity(r.pins[row], r.clones[row], r.data[row], pin->nMaxFrameBytes);
    ULONG limitWords = StreamLimitBytes(d, capacity, pin) / 4;
    if ((ULONGLONG)o + c <= limitWords) {
      RtlCopyMemory(r.data[row] + (size_t)o * 4, source, (size_t)c * 4);
    } else {
      DbgPrint("MAX_BITSTREAM_SIZE OVERFLOW %02d, %02d", d->m_nDeviceInstanceNumber, o + c);
    }
  }
}

void CompleteTransfer(CDevice* d, Rows& r) {
  BoardState* s = d->m_pBoardState;
  const VENDOR_COMMAND& ack = s->PendingAck;
  const ULONG total = s->nTotalWords;
  if (ack.Command == VENDOR_CMD_PREVIEW_DONE) {
    const bool field = s->bPreviewField == 1;
    if (!field || s->nPreviewParity == 0) {
      for (ULONG row : {0u, 1u}) {
        if (!r.TakesPart(row)) continue;
        VideoPinContext* pin = VideoPin(r.pins[row]);
        ULONGLONG expected = field ? 2ull * total : total;
        if (pin->aTransferState[3] == expected) {
          r.Complete(row, total * 4, ++pin->nPictureNumber, pin);
        } else {
          // Chunks were lost: an empty buffer with the flush flag.
          pin->aTransferState[3] = 0;
          r.lengths[row] = 0;
          r.values[row] = ++pin->nPictureNumber;
          r.flags[row] = 1;
          pin->nTransferFlag = 0;
          r.done[row] = 1;
        }
      }
    }
  } else if (ack.Command == VENDOR_CMD_STREAM_DONE && (ack.Arg1 & 0x80000000u)) {
    // The audio frame clock takes this count from its own thread, and a stream's stop
    // clears it from the pin's.
    __atomic_fetch_add(&d->m_nStreamRunState[1], 1u, __ATOMIC_RELAXED);
    for (ULONG row : {12u, 13u}) {
      if (!r.TakesPart(row)) continue;
      AudioPinContext* pin = AudioPin(r.pins[row]);
      ULONG capacity = Capacity(r.pins[row], r.clones[row], r.data[row], 0);
      ULONGLONG bytes = (ULONGLONG)total * 4;
      r.Complete(row, bytes <= capacity ? (ULONG)bytes : capacity, ++pin->nPacketNumber, pin);
    }
  } else if (ack.Command == VENDOR_CMD_STREAM_DONE) {
    ULONG stream = (ack.Arg1 >> 8) & 0xFF;
    if (stream == 0 || stream == 2) {
      const bool main = stream == 0;
      for (ULONG row : {main ? 4u : 8u, main ? 5u : 9u}) {
        if (!r.pins[row] || !r.pins[row]->Context) continue;
        VideoPinContext* pin = VideoPin(r.pins[row]);
        if (r.data[row]) {
          ULONG capacity = Capacity(r.pins[row], r.clones[row], r.data[row], pin->nMaxFrameBytes);
          ULONG limit = StreamLimitBytes(d, capacity, pin);
          ULONGLONG whole = (ULONGLONG)total * 4;
          ULONG bytes = (ULONG)whole;
          if (whole > limit) {
            DbgPrint("MAX_BITSTREAM_SIZE OVERFLOW %02d, %02d [2]", d->m_nDeviceInstanceNumber, (ULONG)whole);
            bytes = limit;
          }
          r.Complete(row, bytes, ++pin->nPictureNumber, pin);
          // The frame type rides two bytes past the data, where the buffer still has room.
          ULONG type = (ack.Arg1 >> 4) & 0xF;
          if (type <= 2 && (ULONGLONG)bytes + 2 < capacity) r.data[row][bytes + 2] = (UCHAR)(type * 64);
        } else {
          ULONG gop = d->m_nAnalogVideoCompressionKeyframeRate[main ? 0 : 4];
          if (gop == 0) gop = 1;
          if (gop > 255) gop = 255;
          VENDOR_COMMAND request = {VENDOR_CMD_GOP, gop | (main ? 0 : VENDOR_STREAM_SUB), 0, 0, 0, 0, 0, 0, 0};
          VORLIX_SendVendorCommand(d, &request);
          DbgPrint(main ? "[%02d] [CH%02d] [MAIN.H264] [NULL.STREAM.BUFFER]\n"
                        : "[%02d] [CH%02d] [SUB.H264] [NULL.STREAM.BUFFER]\n",
                   d->m_nDeviceInstanceNumber, 0);
        }
      }
    }
  }
  s->nRemainingWords = s->nCurrentChunkWords = 0;
  Acknowledge(d);
}

}  // namespace

ULONG VORLIX_ProcessInterruptStatus(CDevice* Device, ULONG Status, ULONG Value) {
  BoardState* s = Device ? Device->m_pBoardState : nullptr;
  if (!s) return 1;
  if (IsTick(Status, Value)) return 1;
  // A status may carry several bits; each takes effect once, a bus error first (it ends
  // whatever transfer was running), then the response, the transfer-done, the second
  // transfer-done.
  if (Status & (INT_PCI_RESET_A | INT_PCI_RESET_B)) {
    DbgPrint("PCI RESET( %02X \xA1\xD1 status = 0x%08X )\n", Device->m_nDeviceInstance, Status);
    s->nTotalWords = s->nRemainingWords = s->nCurrentChunkWords = 0;
  }
  // During a firmware download a response is a leftover of the core before its reset:
  // taken, it would set up a transfer that swallows the next chunk's transfer-done.
  const bool download = s->bFirmwareDownload != 0;
  if ((Status & INT_MAILBOX_RESPONSE) && !download) TakeResponse(Device, Value);
  if (Status & INT_DMA_DONE) {
    if (!download && TransferInProgress(s)) {
      if (ContinueAfterChunk(Device)) Acknowledge(Device);
    } else {
      ReleaseCommandSemaphore(Device);  // a firmware chunk arrived
    }
  }
  if (Status & INT_DMA_DONE_ALT) ReleaseCommandSemaphore(Device);
  return 1;
}

VOID VORLIX_DeliverBitstream(struct _KSPIN** pins, struct _KSSTREAM_POINTER** clones, PVOID reserved3, PVOID reserved4,
                             PUCHAR* data, ULONG* lengths, ULONGLONG* values, UCHAR* done, UCHAR* flags,
                             CDevice* device, ULONG status, ULONG value) {
  BoardState* s = device ? device->m_pBoardState : nullptr;
  if (!s) return;
  Rows r{pins, clones, data, lengths, values, done, flags};
  if (IsTick(status, value)) {
    CompleteTick(device, r);
    return;
  }
  if (!(status & INT_DMA_DONE)) return;
  if (s->bFirmwareDownload || !TransferInProgress(s)) {
    ReleaseCommandSemaphore(device);  // a firmware chunk arrived
    return;
  }
  // A chunk longer than the DMA buffer (a length the board made up) is not read.
  if ((ULONGLONG)s->nCurrentChunkWords * 4 <= device->m_nDmaBufferSize && device->m_pDmaBuffer)
    CopyChunk(device, r, s->nTotalWords - s->nRemainingWords, s->nCurrentChunkWords);
  if (!ContinueAfterChunk(device)) return;
  CompleteTransfer(device, r);
}

VOID VORLIX_OnTransferTimer(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  CDevice* d = static_cast<CDevice*>(Context);
  BoardState* s = d ? d->m_pBoardState : nullptr;
  if (!s) return;
  if (s->nRemainingWords == 0 && s->nCurrentChunkWords == 0) {
    SendPendingAck(d);
    return;
  }
  for (int i = 0; i < 16; ++i) WriteFlushed(d, REG_UDMA_HOST_ADDRESS, d->m_liDmaBufferPhysical.LowPart);
  for (int i = 0; i < 16; ++i) WriteFlushed(d, REG_UDMA_LENGTH, s->nCurrentChunkWords);
  Write(d, REG_UDMA_CONTROL, 0x80000001u);
  Read(d, REG_UDMA_LENGTH);
}
