// Frames of pins other than the virtual camera's, built from the bounce frame buffers: a
// packed 4:2:2 source (mirrored, resized or copied, converted to the pin's format), or a
// planar source (a luma plane and an interleaved 4:2:2 chroma plane, half the frame
// buffer apart) interleaved row by row, on stripe threads when the frame is built from the
// tiles of several cards. Then the channel's deinterlacer runs over the result.
#include <emmintrin.h>

#include "driver/core/board_kinds.h"
#include "driver/streaming/capture_pin.h"
#include "driver/streaming/frame_finishing.h"
#include "imaging/img.h"
#include "imaging/resize/resize.h"

namespace {

// Intermediate pictures in the frame buffers of group 0: 0-3 are the board's bounce
// frames, 4 holds a resized packed picture, 5 a planar source interleaved to packed.
constexpr ULONG kResizedBuffer = 4;
constexpr ULONG kInterleavedBuffer = 5;
// Tiles a multi-sync frame is built from at most.
constexpr ULONG kMaxTiles = 16;
// A source 1,368 pixels wide carries two pixels of junk at the end of each row.
constexpr ULONG kPaddedWidth = 1368;
constexpr ULONG kPaddedPixelsAt = 2732;

constexpr ULONG kNv12 = MakeFourCC("NV12");
constexpr ULONG kYv12 = MakeFourCC("YV12");

ULONG Load(const ULONG& word) { return __atomic_load_n(&word, __ATOMIC_RELAXED); }

struct PlanarTiming {
  ULONG nWidth;
  ULONG nHeight;
  ULONG nRefresh;  // 0: any
};

const PlanarTiming kPlanarTimings[] = {
    {1280, 768, 85},  {1280, 800, 85},   {1280, 960, 85}, {1280, 960, 75}, {1280, 1024, 75}, {1280, 1024, 85},
    {1400, 1050, 0},  {1440, 900, 75},   {1440, 900, 85}, {1680, 1050, 0}, {1920, 1080, 61}, {1920, 1080, 60},
    {1920, 1080, 50}, {1920, 1080, 120}, {1920, 1200, 0}, {1600, 1200, 0}, {3840, 1024, 0},
};

// Fields of an interlaced source: the frame has twice their height.
BOOLEAN IsFieldSize(ULONG w, ULONG h) {
  return (w == 720 && (h == 240 || h == 288)) || (w == 768 && h == 288) || ((w == 1440 || w == 1920) && h == 540);
}

// The packed picture a pin's output is made from.
struct PackedPicture {
  PUCHAR pBase;  // row 0 as stored
  ULONG nWidth;  // pixels (even)
  ULONG nHeight;
  ULONG nStep;  // bytes between stored rows
  BOOLEAN bInterlaced;
  BOOLEAN bVerticalMirror;  // read from the last stored row up
};

const UCHAR* FirstRow(const PackedPicture& s) {
  return s.bVerticalMirror ? s.pBase + (ULONGLONG)(s.nHeight - 1) * s.nStep : s.pBase;
}
LONG RowStep(const PackedPicture& s) { return s.bVerticalMirror ? -(LONG)s.nStep : (LONG)s.nStep; }

ImgSize Size(ULONG w, ULONG h) { return ImgSize{(int32_t)w, (int32_t)h}; }

// The frame's bytes of a packed, 12-bit or RGB layout of the pin, or 0 when the layout
// does not fit the buffer.
BOOLEAN LayoutFits(const VideoPinContext* v, ULONG nFrameExtent) {
  const ULONGLONG w = v->nWidth, h = v->nHeight, s = v->nStride;
  if (!w || !h || s < w) return FALSE;
  switch (v->nBitCount) {
    case 16:
      return (h - 1) * s * 2 + w * 2 <= nFrameExtent;
    case 12:
      return s * h + 2 * ((h / 2) * (s / 2)) <= nFrameExtent && (v->nCompression == kNv12 || v->nCompression == kYv12);
    case 24:
    case 32:
      return (h - 1) * s * (v->nBitCount / 8) + w * (v->nBitCount / 8) <= nFrameExtent;
    default:
      return FALSE;
  }
}

// Two pixels of 4:2:2 black at bytes 2,732-2,735 of every row.
void BlankPaddedPixels(PUCHAR pFirstRow, LONG nStep, ULONG nRows) {
  static const UCHAR kBlack[4] = {0x00, 0x80, 0x00, 0x80};
  for (ULONG y = 0; y < nRows; y++) RtlCopyMemory(pFirstRow + (LONGLONG)y * nStep + kPaddedPixelsAt, kBlack, 4);
}

// Converts (or resizes and converts) a packed picture into the pin's frame. Returns TRUE
// when the frame was made from one field (the deinterlacer has nothing to do).
BOOLEAN OutputPacked(CDevice* d, const VideoPinContext* v, const PackedPicture& s, PUCHAR pData, ULONG nFrameExtent) {
  const ULONG W = v->nWidth, H = v->nHeight, S = v->nStride;
  const double fx = (double)W / s.nWidth, fy = (double)H / s.nHeight;
  const BOOLEAN sameSize = s.nWidth == W && s.nHeight == H;

  if (v->nBitCount == 16) {
    const LONG outStep = (LONG)S * 2;
    if (Load(d->m_nAnalogVideoFlexibleResolutionPatch) >= 1) {
      if (fy < 1.0 && s.bInterlaced && s.nHeight >= 2) {
        // One field, every second row, stretched over the whole frame: the factor is taken
        // from the field's own height so that every output row is written.
        const ULONG fieldRows = s.nHeight / 2;
        ImgResizeYuy2(FirstRow(s), Size(s.nWidth, fieldRows), RowStep(s) * 2,
                      ImgRect{0, 0, (int32_t)s.nWidth, (int32_t)fieldRows}, pData, outStep, Size(W, H), fx,
                      (double)H / fieldRows, IMG_INTERP_LINEAR);
        return TRUE;
      }
      if (sameSize) {
        ImgCopyU16C1(reinterpret_cast<const u16*>(FirstRow(s)), RowStep(s), reinterpret_cast<u16*>(pData), outStep,
                     Size(W, H));
        if (s.nWidth == kPaddedWidth) BlankPaddedPixels(pData, outStep, H);
      } else {
        ImgResizeYuy2(FirstRow(s), Size(s.nWidth, s.nHeight), RowStep(s),
                      ImgRect{0, 0, (int32_t)s.nWidth, (int32_t)s.nHeight}, pData, outStep, Size(W, H), fx, fy,
                      IMG_INTERP_LINEAR);
      }
    } else {
      const ULONG w = s.nWidth < W ? s.nWidth : W, h = s.nHeight < H ? s.nHeight : H;
      ImgCopyU16C1(reinterpret_cast<const u16*>(FirstRow(s)), RowStep(s), reinterpret_cast<u16*>(pData), outStep,
                   Size(w, h));
    }
    return FALSE;
  }

  if (s.nWidth == kPaddedWidth) BlankPaddedPixels(s.pBase, (LONG)s.nStep, s.nHeight);
  // RGB frames are stored bottom-up: their vertical mirror is the order the rows are
  // written in, not the order they are read in (which would undo it).
  const BOOLEAN rgb = v->nBitCount == 24 || v->nBitCount == 32;
  PackedPicture read = s;
  if (rgb) read.bVerticalMirror = FALSE;
  const UCHAR* src = FirstRow(read);
  LONG srcStep = RowStep(read);
  if (!sameSize) {
    PUCHAR resized = static_cast<PUCHAR>(d->m_pFrameBuffer[0][kResizedBuffer]);
    if (!resized || (ULONGLONG)W * 2 * H > d->m_nFrameBufferGroupSize[0]) {
      BlankFrame(d, v, pData, nFrameExtent);
      return TRUE;
    }
    ImgResizeYuy2(src, Size(s.nWidth, s.nHeight), srcStep, ImgRect{0, 0, (int32_t)s.nWidth, (int32_t)s.nHeight},
                  resized, (int32_t)W * 2, Size(W, H), fx, fy, IMG_INTERP_LINEAR);
    src = resized;
    srcStep = (LONG)W * 2;
  }

  if (v->nBitCount == 12) {
    PUCHAR chroma = pData + (ULONGLONG)H * S;
    if (v->nCompression == kNv12) {
      ImgYuy2ToNv12(src, srcStep, pData, (int)S, chroma, (int)S, Size(W, H));
    } else {
      u8* planes[3] = {pData, chroma, chroma + (ULONGLONG)(H / 2) * (S / 2)};
      if (Load(d->m_nCompanyJorvale)) {
        u8* t = planes[1];
        planes[1] = planes[2];
        planes[2] = t;
      }
      const int steps[3] = {(int)S, (int)(S / 2), (int)(S / 2)};
      ImgYuy2ToYv12(src, srcStep, planes, steps, Size(W, H));
    }
    return FALSE;
  }
  const ULONG bytes = v->nBitCount / 8;
  const LONG rowBytes = (LONG)(S * bytes);
  PUCHAR out = s.bVerticalMirror ? pData : pData + (ULONGLONG)(H - 1) * rowBytes;
  const LONG outStep = s.bVerticalMirror ? rowBytes : -rowBytes;
  if (bytes == 3)
    ImgYuy2ToBgrBt601(src, srcStep, out, outStep, Size(W, H));
  else
    ImgYuy2ToBgraBt601(src, srcStep, out, outStep, Size(W, H), 0);
  return FALSE;
}

// The packed source: the field sizes, the mirrors, then the pin's output.
BOOLEAN BuildFromPacked(CDevice* d, VideoPinContext* v, ULONG nLength, PUCHAR pData, ULONG nFrameExtent) {
  const SourceTiming& t = d->m_SourceTiming;
  PUCHAR base = static_cast<PUCHAR>(d->m_pFrameBuffer[0][nLength & 3]);
  const ULONG bufferBytes = d->m_nFrameBufferGroupSize[0];
  ULONG w = t.nWidth, h = t.nHeight;
  BOOLEAN interlaced = FALSE;
  if (IsFieldSize(w, h)) {
    h *= 2;
    interlaced = TRUE;
  } else if (w == 1440 && (h == 240 || h == 288)) {
    w /= 2;
  }
  w &= ~1u;
  // A picture larger than its frame buffer is read only as far as the buffer goes.
  if (w && (ULONGLONG)w * 2 * h > bufferBytes) h = bufferBytes / (w * 2);
  if (!w || !h || !base) {
    BlankFrame(d, v, pData, nFrameExtent);
    return TRUE;
  }
  PackedPicture s = {base, w, h, w * 2, interlaced, FALSE};
  const ULONG channel = v->nStreamIndex & 3;
  if (Load(d->m_nAnalogVideoHorizontalMirror[channel])) {
    // Mirrored as 2-byte pixels, then each pair's bytes put back as Y0 U Y1 V.
    static const ImgChannelOrder kChromaBack = {{0, 3, 2, 1}};
    ImgMirrorInPlaceU16C1(reinterpret_cast<u16*>(base), (int32_t)s.nStep, Size(w, h), IMG_MIRROR_LEFT_RIGHT);
    ImgReorderInPlaceU8C4(base, (int32_t)s.nStep, Size(w / 2, h), &kChromaBack);
  }
  s.bVerticalMirror = Load(d->m_nAnalogVideoVerticalMirror[channel]) != 0;
  return OutputPacked(d, v, s, pData, nFrameExtent);
}

// Starts one thread per tile and waits for all of them.
void RunStripes(StripeJob* jobs, ULONG nJobs) {
  PVOID threads[kMaxTiles] = {};
  for (ULONG i = 0; i < nJobs; i++) {
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                         CCapturePin::InterleaveStripeThread, &jobs[i])))
      continue;  // the tile stays as it was
    PVOID object = nullptr;
    if (NT_SUCCESS(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr)))
      threads[i] = object;
    ZwClose(handle);
  }
  for (ULONG i = 0; i < nJobs; i++) {
    if (!threads[i]) continue;
    KeWaitForSingleObject(threads[i], Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(threads[i]);
  }
}

// A tile's job: its card's planes into the frame at its place, clipped to the frame.
BOOLEAN TileJob(CDevice* tile, ULONG nTile, ULONG nLength, PUCHAR pFrame, ULONG nOutputWidth, ULONG nOutputRows,
                ULONG nFrameBytes, StripeJob* job) {
  const SourceTiming& t = tile->m_SourceTiming;
  const UCHAR* a = static_cast<const UCHAR*>(tile->m_pFrameBuffer[0][nLength & 3]);
  const ULONG planeBytes = tile->m_nFrameBufferGroupSize[0] / 2;
  const ULONG x = Load(tile->m_nAnalogVideoMultiSyncPositionX), y = Load(tile->m_nAnalogVideoMultiSyncPositionY);
  if (!a || !t.nWidth || x >= nOutputWidth || y >= nOutputRows) return FALSE;
  ULONG rows = t.nHeight;
  if ((ULONGLONG)rows * t.nWidth > planeBytes) rows = planeBytes / t.nWidth;
  if (rows > nOutputRows - y) rows = nOutputRows - y;
  ULONG rowBytes = t.nWidth & ~1u;
  if (rowBytes > nOutputWidth - x) rowBytes = nOutputWidth - x;
  // Rows the frame's bytes do not reach are left out.
  const ULONGLONG start = ((ULONGLONG)y * nOutputWidth + x) * 2;
  while (rows && start + ((ULONGLONG)rows - 1) * nOutputWidth * 2 + (ULONGLONG)rowBytes * 2 > nFrameBytes) rows--;
  *job = StripeJob{tile, nTile, t.nWidth,       t.nHeight, rowBytes,       nOutputWidth,
                   rows, a,     a + planeBytes, pFrame,    pFrame + start, pFrame + nFrameBytes};
  return rows != 0;
}

// The planar source: mirrored on its planes, interleaved (from every tile's card on the
// multi-sync boards) into the frame or into a packed picture that the pin's output is
// made from.
BOOLEAN BuildFromPlanes(CDevice* d, VideoPinContext* v, ULONG nLength, PUCHAR pData, ULONG nFrameExtent) {
  const SourceTiming& t = d->m_SourceTiming;
  PUCHAR a = static_cast<PUCHAR>(d->m_pFrameBuffer[0][nLength & 3]);
  const ULONG planeBytes = d->m_nFrameBufferGroupSize[0] / 2;
  const ULONG w = t.nWidth & ~1u;
  ULONG h = t.nHeight;
  if (w && (ULONGLONG)w * h > planeBytes) h = planeBytes / w;
  if (!a || !w || !h) {
    BlankFrame(d, v, pData, nFrameExtent);
    return TRUE;
  }
  PUCHAR b = a + planeBytes;
  const ULONG channel = v->nStreamIndex & 3;
  const BOOLEAN hm = Load(d->m_nAnalogVideoHorizontalMirror[channel]) != 0;
  const BOOLEAN vm = Load(d->m_nAnalogVideoVerticalMirror[channel]) != 0;
  if (hm || vm) {
    const ImgMirrorAxis axis = hm && vm ? IMG_MIRROR_BOTH : hm ? IMG_MIRROR_LEFT_RIGHT : IMG_MIRROR_TOP_BOTTOM;
    ImgMirrorInPlaceU8C1(a, (int32_t)w, Size(w, h), axis);
    // Chroma as 2-byte U V pairs, so each pair stays in order.
    ImgMirrorInPlaceU16C1(reinterpret_cast<u16*>(b), (int32_t)w, Size(w / 2, h), axis);
  }

  const ULONG W = v->nWidth, H = v->nHeight, S = v->nStride;
  const ULONG tiles = Load(d->m_nAnalogVideoMultiSyncChannels);
  const BOOLEAN sameSize = w == W && h == H;
  PUCHAR packed = static_cast<PUCHAR>(d->m_pFrameBuffer[0][kInterleavedBuffer]);
  const ULONG packedBytes = d->m_nFrameBufferGroupSize[0];

  if (tiles >= 2) {
    // Every tile's card interleaves into the frame (16-bit) or into the packed picture
    // of the pin's size that the output is then made from.
    const BOOLEAN direct = v->nBitCount == 16;
    PUCHAR frame = direct ? pData : packed;
    const ULONG outputWidth = direct ? S : W;
    const ULONG frameBytes = direct ? nFrameExtent : packedBytes;
    if (!frame || (!direct && (ULONGLONG)W * 2 * H > packedBytes)) {
      BlankFrame(d, v, pData, nFrameExtent);
      return TRUE;
    }
    StripeJob jobs[kMaxTiles];
    ULONG n = 0;
    for (ULONG i = 0; i < tiles && i < kMaxTiles; i++) {
      const ULONGLONG card = (ULONGLONG)d->m_nDeviceInstanceNumber + 2 * i;
      CDevice* tile = card < CARD_DEVICE_SLOTS ? g_pCardDevice[card] : nullptr;
      if (tile && TileJob(tile, i, nLength, frame, outputWidth, H, frameBytes, &jobs[n])) n++;
    }
    RunStripes(jobs, n);
    if (direct) return FALSE;
    PackedPicture s = {packed, W, H, W * 2, t.bInterlaced != 0, FALSE};
    return OutputPacked(d, v, s, pData, nFrameExtent);
  }

  if (v->nBitCount == 16 && sameSize) {
    StripeJob job = {d, 0, w, h, w, S, h, a, b, pData, pData, pData + nFrameExtent};
    InterleaveStripe(&job);
    return FALSE;
  }
  if (v->nBitCount == 12 && sameSize) {
    // Luma row by row; the chroma of every second row, as pairs (NV12) or split (YV12).
    for (ULONG y = 0; y < H; y++) RtlCopyMemory(pData + (ULONGLONG)y * S, a + (ULONGLONG)y * w, w);
    PUCHAR chroma = pData + (ULONGLONG)H * S;
    if (v->nCompression == kNv12) {
      for (ULONG y = 0; y < H / 2; y++) RtlCopyMemory(chroma + (ULONGLONG)y * S, b + (ULONGLONG)2 * y * w, w);
    } else {
      PUCHAR vPlane = chroma, uPlane = chroma + (ULONGLONG)(H / 2) * (S / 2);
      if (Load(d->m_nCompanyJorvale)) {
        PUCHAR t2 = vPlane;
        vPlane = uPlane;
        uPlane = t2;
      }
      for (ULONG y = 0; y < H / 2; y++) {
        const UCHAR* row = b + (ULONGLONG)2 * y * w;
        PUCHAR u = uPlane + (ULONGLONG)y * (S / 2), vv = vPlane + (ULONGLONG)y * (S / 2);
        for (ULONG k = 0; k < w / 2; k++) {
          u[k] = row[2 * k];
          vv[k] = row[2 * k + 1];
        }
      }
    }
    return FALSE;
  }
  // Other sizes and formats: interleaved to packed first.
  if (!packed || (ULONGLONG)w * 2 * h > packedBytes) {
    BlankFrame(d, v, pData, nFrameExtent);
    return TRUE;
  }
  StripeJob job = {d, 0, w, h, w, w, h, a, b, packed, packed, packed + packedBytes};
  InterleaveStripe(&job);
  PackedPicture s = {packed, w, h, w * 2, t.bInterlaced != 0, FALSE};
  return OutputPacked(d, v, s, pData, nFrameExtent);
}

void Deinterlace(CDevice* d, const VideoPinContext* v, PUCHAR pData, ULONG nFrameExtent) {
  const ULONG channel = v->nStreamIndex & 3;
  if ((Load(d->m_nAnalogVideoDeinterlaceType[channel]) & 0x77FFFFFF) == 1 || !Load(d->m_nAnalogVideoInterleaved))
    return;
  const ULONG W = v->nWidth, H = v->nHeight;
  switch (v->nBitCount) {
    case 16:
      d->DeinterlaceYuy2(channel, W, H, pData, nFrameExtent);
      break;
    case 12:
      if (v->nCompression == kNv12)
        d->DeinterlaceNv12(channel, W, H, pData, nFrameExtent);
      else if (v->nCompression == kYv12)
        d->DeinterlaceYv12(channel, W, H, pData, nFrameExtent);
      break;
    case 24:
      d->DeinterlaceRgb24(channel, W, H, pData, nFrameExtent);
      break;
    case 32:
      d->DeinterlaceRgb32(channel, W, H, pData, nFrameExtent);
      break;
  }
}

}  // namespace

BOOLEAN IsPlanarSourceTiming(const SourceTiming& t) {
  if (t.nPathFlag[0] != 0 && t.nPathFlag[1] == 1) return TRUE;
  if (t.nWidth >= 3840 && t.nHeight == 2160) return TRUE;
  for (const PlanarTiming& p : kPlanarTimings)
    if (p.nWidth == t.nWidth && p.nHeight == t.nHeight && (p.nRefresh == 0 || p.nRefresh == t.nRefresh)) return TRUE;
  return FALSE;
}

VOID InterleaveStripe(const StripeJob* job) {
  if (!job || !job->pFrame || !job->nRows) return;
  const UCHAR* a = job->pPlaneA;
  const UCHAR* b = job->pPlaneB;
  PUCHAR out = job->pDestination;
  const ULONG n = job->nRowBytes;
  const ULONG_PTR outStep = (ULONG_PTR)job->nOutputWidth * 2;
  for (ULONG row = 0; row < job->nRows; row++) {
    // Never a row past the frame's end, whatever the job says.
    if (job->pFrameEnd && (out > job->pFrameEnd || (ULONG_PTR)(job->pFrameEnd - out) < (ULONG_PTR)n * 2)) break;
    if ((n % 16) == 0 && ((ULONG_PTR)out % 16) == 0 && ((ULONG_PTR)a % 16) == 0 && ((ULONG_PTR)b % 16) == 0) {
      for (ULONG k = 0; k < n; k += 16) {
        const __m128i va = _mm_load_si128(reinterpret_cast<const __m128i*>(a + k));
        const __m128i vb = _mm_load_si128(reinterpret_cast<const __m128i*>(b + k));
        _mm_store_si128(reinterpret_cast<__m128i*>(out + 2 * k), _mm_unpacklo_epi8(va, vb));
        _mm_store_si128(reinterpret_cast<__m128i*>(out + 2 * k + 16), _mm_unpackhi_epi8(va, vb));
      }
    } else {
      for (ULONG k = 0; k < n; k++) {
        out[2 * k] = a[k];
        out[2 * k + 1] = b[k];
      }
    }
    a += job->nSourceStep;
    b += job->nSourceStep;
    out += outStep;
  }
}

VOID CCapturePin::InterleaveStripeThread(PVOID pJob) {
  InterleaveStripe(static_cast<const StripeJob*>(pJob));
  PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID BuildFrame(CDevice* d, VideoPinContext* v, ULONG nLength, PUCHAR pData, ULONG nFrameExtent) {
  if (!LayoutFits(v, nFrameExtent)) {
    // A format whose layout the buffer does not have gets no picture, only a blank fill
    // inside its bytes.
    BlankFrame(d, v, pData, nFrameExtent);
    return;
  }
  BOOLEAN skipDeinterlace;
  if (IsBoardKind(d->m_pPciIdentity, BOARD_KIND_V) && IsPlanarSourceTiming(d->m_SourceTiming)) {
    skipDeinterlace = BuildFromPlanes(d, v, nLength, pData, nFrameExtent);
  } else {
    if (!d->m_nFrameBufferGroupSize[0]) return;
    skipDeinterlace = BuildFromPacked(d, v, nLength, pData, nFrameExtent);
  }
  if (!skipDeinterlace) Deinterlace(d, v, pData, nFrameExtent);
}
