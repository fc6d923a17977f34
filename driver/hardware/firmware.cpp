// Firmware download and the no-signal picture.
#include "driver/hardware/firmware.h"

#include "driver/core/device.h"
#include "driver/hardware/board_state.h"
#include "driver/hardware/mailbox.h"
#include "driver/hardware/registers.h"
#include "imaging/img.h"

namespace {

constexpr ULONG kTag = MakePoolTag("Wdm ");
constexpr ULONG kPathChars = 256;

UCHAR g_NoSignalPicture[NO_SIGNAL_PICTURE_BYTES];
volatile LONG g_NoSignalDrawn = 0;

// ---- The built-in picture: black, a grey twelve-spoke spinner in the upper middle and
// NO SIGNAL in large white-to-grey letters along the bottom.

void PutLuma(int x, int y, UCHAR luma) {
  if (x < 0 || y < 0 || x >= NO_SIGNAL_WIDTH || y >= NO_SIGNAL_HEIGHT) return;
  g_NoSignalPicture[y * NO_SIGNAL_PICTURE_STEP + x * 2] = luma;
}

// 5 x 7 glyphs, one row per byte, bit 4 leftmost.
struct Glyph {
  char c;
  UCHAR rows[7];
};
const Glyph kGlyphs[] = {
    {'N', {0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x11}}, {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}}, {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}}, {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
};

void DrawDefaultPicture() {
  for (ULONG i = 0; i < NO_SIGNAL_PICTURE_BYTES; i += 2) {
    g_NoSignalPicture[i] = 16;       // black
    g_NoSignalPicture[i + 1] = 128;  // no colour
  }
  // Spinner: spoke k points at k x 30 degrees; cosines and sines x 1000.
  static const int kCos[12] = {1000, 866, 500, 0, -500, -866, -1000, -866, -500, 0, 500, 866};
  static const int kSin[12] = {0, 500, 866, 1000, 866, 500, 0, -500, -866, -1000, -866, -500};
  const int cx = 160, cy = 80;
  for (int y = cy - 42; y <= cy + 42; ++y) {
    for (int x = cx - 42; x <= cx + 42; ++x) {
      int dx = x - cx, dy = y - cy;
      for (int k = 0; k < 12; ++k) {
        int along = dx * kCos[k] + dy * kSin[k];
        int across = dx * kSin[k] - dy * kCos[k];
        if (across < 0) across = -across;
        if (along >= 16000 && along <= 40000 && across <= 3000) PutLuma(x, y, (UCHAR)(60 + k * 12));
      }
    }
  }
  const char kText[] = "NO SIGNAL";
  const int scale = 4, pitch = 6 * scale;
  int x0 = (NO_SIGNAL_WIDTH - (int)(sizeof kText - 1) * pitch) / 2, y0 = 180;
  for (int i = 0; kText[i]; ++i) {
    for (const Glyph& g : kGlyphs) {
      if (g.c != kText[i]) continue;
      for (int row = 0; row < 7 * scale; ++row)
        for (int col = 0; col < 5 * scale; ++col)
          if ((g.rows[row / scale] >> (4 - col / scale)) & 1)
            PutLuma(x0 + i * pitch + col, y0 + row, (UCHAR)(235 - row * 3));
    }
  }
}

// ---- File reading.

// Builds "<directory><file>" into `path`: the directory up to its first NUL (at most
// 255 characters, whatever the setting holds); FALSE when the whole does not fit.
bool BuildPath(CDevice* d, PCWSTR name, WCHAR (&path)[kPathChars], ULONG* length) {
  ULONG n = 0;
  for (ULONG i = 0; i < kPathChars - 1 && d->m_szDeviceInfoDirectory[i]; ++i) path[n++] = d->m_szDeviceInfoDirectory[i];
  for (ULONG i = 0; name[i]; ++i) {
    if (n >= kPathChars - 1) return false;
    path[n++] = name[i];
  }
  path[n] = 0;
  *length = n;
  return true;
}

// Reads the whole file into a non-paged block (tag "Wdm "): FALSE when it is missing, a
// directory, unreadable or read short, or memory runs out. `routine` names the log line.
bool ReadWholeFile(CDevice* d, PCWSTR name, const char* routine, PUCHAR* data, ULONG* size) {
  *data = nullptr;
  *size = 0;
  WCHAR path[kPathChars];
  ULONG length = 0;
  if (!BuildPath(d, name, path, &length)) {
    DbgPrint("%s( \"%ws\" ) PATH TOO LONG\n", routine, name);
    return false;
  }
  DbgPrint("%s( \"%ws\" )\n", routine, path);

  PWSTR copy = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, (length + 1) * sizeof(WCHAR), kTag));
  if (!copy) return false;
  RtlCopyMemory(copy, path, (length + 1) * sizeof(WCHAR));
  UNICODE_STRING counted;
  counted.Buffer = copy;
  counted.Length = (USHORT)(length * sizeof(WCHAR));
  counted.MaximumLength = (USHORT)((length + 1) * sizeof(WCHAR));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE file = nullptr;
  IO_STATUS_BLOCK io = {};
  NTSTATUS status = ZwCreateFile(&file, GENERIC_READ, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ,
                                 FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  ExFreePoolWithTag(copy, kTag);
  if (!NT_SUCCESS(status)) return false;

  FILE_STANDARD_INFORMATION info = {};
  status = ZwQueryInformationFile(file, &io, &info, sizeof info, FileStandardInformation);
  if (!NT_SUCCESS(status) || info.Directory) {
    ZwClose(file);
    return false;
  }
  ULONG bytes = info.EndOfFile.LowPart;
  // An empty file still gets a block, so a zero-byte allocation never happens.
  PUCHAR buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bytes ? bytes : 1, kTag));
  if (!buffer) {
    ZwClose(file);
    return false;
  }
  RtlZeroMemory(buffer, bytes ? bytes : 1);
  if (bytes) {
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    status = ZwReadFile(file, nullptr, nullptr, nullptr, &io, buffer, bytes, &offset, nullptr);
    // A failed or short read would hand zero-filled bytes on as the file's content.
    if (!NT_SUCCESS(status) || io.Information != bytes) {
      ZwClose(file);
      ExFreePoolWithTag(buffer, kTag);
      DbgPrint("%s( \"%ws\" ) READ FAILED\n", routine, path);
      return false;
    }
  }
  ZwClose(file);
  *data = buffer;
  *size = bytes;
  return true;
}

void WriteFlushed(CDevice* d, ULONG offset, ULONG value) {
  VORLIX_WriteRegister(d, offset / 4, value, 4);
  VORLIX_ReadRegister(d, offset / 4, 4);
}

// Programs one host-to-board chunk of `words` words from the start of the second DMA
// buffer and waits for its transfer-done; FALSE when it never came.
bool SendChunk(CDevice* d, ULONG words) {
  for (int i = 0; i < 16; ++i) WriteFlushed(d, REG_DDMA_HOST_ADDRESS, d->m_liDmaBufferPhysical.LowPart);
  for (int i = 0; i < 16; ++i) WriteFlushed(d, REG_DDMA_LENGTH, words);
  VORLIX_WriteRegister(d, REG_DDMA_CONTROL / 4, 0x80000001u, 4);
  VORLIX_ReadRegister(d, REG_DDMA_LENGTH / 4, 4);
  BOOLEAN done = VORLIX_WaitCommandDone(d);
  VORLIX_ReadRegister(d, REG_BOOT_PARAM3 / 4, 4);
  return done;
}

// Marks the chunk loop for the status handler. Starting it also drops the progress of any
// board-to-host transfer: none can run while the core is held for the download, and a
// stale one would take the chunks' transfer-dones.
void MarkDownload(CDevice* d, bool on) {
  BoardState* s = d->m_pBoardState;
  if (!s) return;
  KIRQL irql;
  KeAcquireSpinLock(&d->m_DpcLock, &irql);
  if (on) s->nTotalWords = s->nRemainingWords = s->nCurrentChunkWords = 0;
  s->bFirmwareDownload = on ? 1 : 0;
  KeReleaseSpinLock(&d->m_DpcLock, irql);
}

}  // namespace

PUCHAR VORLIX_NoSignalPicture() {
  if (InterlockedCompareExchange(&g_NoSignalDrawn, 1, 0) == 0) {
    DrawDefaultPicture();
    InterlockedExchange(&g_NoSignalDrawn, 2);
  }
  // Only a caller racing the very first one waits here, for about a millisecond; it may
  // be at dispatch level, so it spins rather than sleeps.
  while (InterlockedCompareExchange(&g_NoSignalDrawn, 2, 2) != 2) {
  }
  return g_NoSignalPicture;
}

ULONG VORLIX_DecodeFirmwareRecord(const UCHAR* Record) {
  ULONG word = 0;
  for (int i = 0; i < 8; ++i) {
    UCHAR c = Record[i];
    ULONG nibble = c >= 'a' ? (ULONG)(c - 'a' + 10) : (ULONG)(c - '0');
    word += nibble << (4 * (7 - i));
  }
  return word;
}

BOOLEAN VORLIX_DownloadFirmware(CDevice* Device, PCWSTR FileName, BOOLEAN CallerHoldsPinMutex) {
  // The caller's pin mutex is kept while the file is read: giving it up here lets a
  // second pin's power-up take it and then block on the monitor-thread bracket this
  // caller already holds, while this caller blocks re-taking the mutex.
  (void)CallerHoldsPinMutex;
  PUCHAR data = nullptr;
  ULONG size = 0;
  if (!ReadWholeFile(Device, FileName, "VORLIX_DownloadFirmware", &data, &size)) return FALSE;

  ULONGLONG start = KeQueryInterruptTime();
  PULONG buffer = static_cast<PULONG>(Device->m_pDmaBuffer);
  BOOLEAN ok = buffer && Device->m_nDmaBufferSize >= (FIRMWARE_CHUNK_WORDS + 1) * sizeof(ULONG);
  ULONG words = size / FIRMWARE_RECORD_SIZE;
  ULONG stored = 0;
  MarkDownload(Device, true);
  for (ULONG i = 0; ok && i < words; ++i) {
    buffer[stored++] = VORLIX_DecodeFirmwareRecord(data + (SIZE_T)i * FIRMWARE_RECORD_SIZE);
    if (stored == FIRMWARE_CHUNK_WORDS) {
      // A dead board would otherwise cost 3 s for every remaining chunk.
      if (!SendChunk(Device, FIRMWARE_CHUNK_WORDS)) ok = FALSE;
      stored = 0;
    }
  }
  if (ok && stored > 0) {
    buffer[stored] = 0;  // the pad word of an odd-length last chunk
    if (!SendChunk(Device, (stored + 1) & ~1u)) ok = FALSE;
  }
  MarkDownload(Device, false);
  ULONG elapsed = (ULONG)(KeQueryInterruptTime() - start);
  if (ok)
    DbgPrint("TOTAL DOWNLOAD TIMES = %08d (%d BYTES) (SUCCESS)\n", elapsed, size);
  else
    DbgPrint("TOTAL DOWNLOAD TIMES = %08d (%d BYTES) (FAIL)\n", elapsed, size);
  ExFreePoolWithTag(data, kTag);
  return ok;
}

BOOLEAN VORLIX_DownloadLogoPictures(CDevice* Device, PCWSTR FileName) {
  PUCHAR data = nullptr;
  ULONG size = 0;
  if (!ReadWholeFile(Device, FileName, "VORLIX_DownloadLogoPictures", &data, &size)) return FALSE;
  // A short file is refused whole, keeping the picture in use; of a longer one only the
  // picture's bytes are used.
  if (size < NO_SIGNAL_PICTURE_FILE_SIZE) {
    DbgPrint("VORLIX_DownloadLogoPictures( %d BYTES ) TOO SHORT\n", size);
    ExFreePoolWithTag(data, kTag);
    return FALSE;
  }
  ULONGLONG start = KeQueryInterruptTime();
  // Converted aside and copied in one go, so a picture being drawn never shows half of it.
  PUCHAR converted = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, NO_SIGNAL_PICTURE_BYTES, kTag));
  if (!converted) {
    ExFreePoolWithTag(data, kTag);
    return FALSE;
  }
  ImgSize picture = {NO_SIGNAL_WIDTH, NO_SIGNAL_HEIGHT};
  ImgStatus status =
      ImgBgrxToYuy2Bt601(data + NO_SIGNAL_FILE_HEADER, NO_SIGNAL_FILE_STEP,
                         converted + (NO_SIGNAL_HEIGHT - 1) * NO_SIGNAL_PICTURE_STEP, -NO_SIGNAL_PICTURE_STEP, picture);
  // A conversion that failed left the aside buffer as it was: the picture in use stays.
  if (status == IMG_OK) RtlCopyMemory(VORLIX_NoSignalPicture(), converted, NO_SIGNAL_PICTURE_BYTES);
  ExFreePoolWithTag(converted, kTag);
  ULONG elapsed = (ULONG)(KeQueryInterruptTime() - start);
  DbgPrint("TOTAL DOWNLOAD TIMES = %08d (%d BYTES) (SUCCESS)\n", elapsed, size);
  ExFreePoolWithTag(data, kTag);
  return TRUE;
}
