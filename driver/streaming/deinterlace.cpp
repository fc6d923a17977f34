// Software deinterlace of finished frames through the per-channel field rings.
//
// Every routine splits the frame into up to three 8-bit planes (and, for 32-bit frames,
// the fourth byte channel), remembers the last four pictures of each plane in the
// channel's ring, builds each output plane with the channel's method and packs the output
// planes back into the frame. A frame the routine cannot handle (no method, a method
// without what it needs, a frame too small for its size, no memory for the planes) is
// left exactly as it came.
#include <cstdint>

#include "driver/core/device.h"
#include "imaging/img.h"
#include "imaging/resize/resize.h"

namespace {

constexpr ULONG kDeinterlaceTag = MakePoolTag("QZVD");

// Methods, from the channel's deinterlace setting with the set-by-application flag and
// bit 31 removed; anything above 2 is the blend.
constexpr ULONG kMethodFieldToFrame = 0;
constexpr ULONG kMethodOff = 1;
constexpr ULONG kMethodMotionAdaptive = 2;

enum DeinterlaceFormat : ULONG { kFormatYuy2 = 1, kFormatNv12, kFormatYv12, kFormatRgb24, kFormatRgb32 };

// Planes, ring positions and the largest buffer block a channel may ask for (the image
// routines take int sizes and steps).
constexpr int kPlanes = 3;
constexpr int kPositions = 4;
constexpr uint64_t kMaxBlockBytes = 0x40000000;
constexpr uint64_t kPlaneAlign = 64;

uint64_t AlignUp(uint64_t n) { return (n + kPlaneAlign - 1) & ~(kPlaneAlign - 1); }

// One deinterlace call's planes: sizes of planes 0-2 (each stored with its width as row
// step), whether the fourth byte channel has an output plane, and the pictures the ring
// gives for this frame.
struct DeinterlaceJob {
  ULONG nChannel;
  ULONG nMethod;
  ImgSize size[kPlanes];
  bool bFourth;
  u8* current[kPlanes];
  const u8* back[kPlanes][3];  // one, two and three pictures back
  u8* output[kPlanes];
  u8* fourth;
};

ULONG MethodOf(const CDevice& device, ULONG nChannel) {
  return device.m_nAnalogVideoDeinterlaceType[nChannel] & 0x77FFFFFF;
}

// Whether the channel's method can run at all: "off" never does, and the blend needs the
// weights of all three planes.
bool MethodRuns(const CDevice& device, ULONG nChannel, ULONG nMethod) {
  if (nMethod == kMethodOff) return false;
  if (nMethod > kMethodMotionAdaptive) {
    for (int p = 0; p < kPlanes; ++p)
      if (!device.m_pDeinterlaceBlendState[nChannel + 16 * p]) return false;
  }
  return true;
}

// Starts a job: checks the channel and method, lays the channel's buffers out for this
// frame (allocating them on the first frame or when the frame's format or size changed)
// and picks the ring's pictures. The ring itself is not touched until the frame has been
// split into it (CommitRing).
bool BeginJob(CDevice& device, ULONG nChannel, ULONG nFormat, ULONG nWidth, ULONG nHeight, const ImgSize (&sizes)[3],
              bool bFourth, DeinterlaceJob* job) {
  const ULONG method = MethodOf(device, nChannel);
  if (!MethodRuns(device, nChannel, method)) return false;
  job->nChannel = nChannel;
  job->nMethod = method;
  job->bFourth = bFourth;
  uint64_t planeBytes[kPlanes];
  uint64_t total = 0;
  for (int p = 0; p < kPlanes; ++p) {
    job->size[p] = sizes[p];
    planeBytes[p] = AlignUp(uint64_t(sizes[p].width) * uint64_t(sizes[p].height));
    total += planeBytes[p] * (kPositions + 1);  // four ring pictures and the output
  }
  if (bFourth) total += planeBytes[0];
  if (total == 0 || total > kMaxBlockBytes) return false;

  DeinterlaceBuffers& buffers = device.m_DeinterlaceBuffers[nChannel];
  const ULONG first = nChannel * kPositions;
  if (!buffers.pBlock || buffers.nFormat != nFormat || buffers.nWidth != nWidth || buffers.nHeight != nHeight) {
    // Pictures of another format or size are no earlier pictures of this one: the ring
    // starts again.
    if (buffers.pBlock) ExFreePoolWithTag(buffers.pBlock, kDeinterlaceTag);
    buffers = DeinterlaceBuffers{};
    for (int t = 0; t < 4; ++t) {
      for (int e = 0; e < kPositions; ++e) device.m_DeinterlaceRing[t][first + e] = FieldSlot{};
      device.m_DeinterlaceOutput[t][nChannel] = FieldSlot{};
    }
    device.m_nDeinterlaceRingIndex[nChannel] = 0;
    auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolCacheAligned, SIZE_T(total), kDeinterlaceTag));
    if (!block) return false;
    // The planes' tails that a format's split leaves unwritten (odd sizes) read as zero.
    RtlZeroMemory(block, SIZE_T(total));
    buffers = DeinterlaceBuffers{block, nFormat, nWidth, nHeight};
  }

  // The slots and output records are laid out again on every frame: a device start
  // empties them while the block stays the channel's.
  PUCHAR at = buffers.pBlock;
  for (int p = 0; p < kPlanes; ++p) {
    const ULONG step = ULONG(sizes[p].width);
    for (int e = 0; e < kPositions; ++e) {
      FieldSlot& slot = device.m_DeinterlaceRing[p + 1][first + e];
      slot.pBuffer = at;
      slot.nRowStep = step;
      at += planeBytes[p];
    }
    FieldSlot& out = device.m_DeinterlaceOutput[p + 1][nChannel];
    out.pBuffer = at;
    out.nRowStep = step;
    job->output[p] = at;
    at += planeBytes[p];
  }
  if (bFourth) {
    FieldSlot& out = device.m_DeinterlaceOutput[0][nChannel];
    out.pBuffer = at;
    out.nRowStep = ULONG(sizes[0].width);
    job->fourth = at;
  } else {
    job->fourth = nullptr;
  }

  // The current slot, and the three before it; a slot not yet filled stands for the
  // next newer picture, so a ring still filling repeats its newest one.
  const ULONG e = ULONG(device.m_nDeinterlaceRingIndex[nChannel]) % kPositions;
  for (int p = 0; p < kPlanes; ++p) {
    const FieldSlot* ring = &device.m_DeinterlaceRing[p + 1][first];
    job->current[p] = ring[e].pBuffer;
    const u8* newer = job->current[p];
    for (ULONG k = 1; k <= 3; ++k) {
      const FieldSlot& slot = ring[(e + kPositions - k) % kPositions];
      job->back[p][k - 1] = slot.bValid ? slot.pBuffer : newer;
      newer = job->back[p][k - 1];
    }
  }
  return true;
}

// The frame is in the current slots: mark them filled and move the ring on.
void CommitRing(CDevice& device, ULONG nChannel) {
  const ULONG e = ULONG(device.m_nDeinterlaceRingIndex[nChannel]) % kPositions;
  for (int t = 1; t <= kPlanes; ++t) device.m_DeinterlaceRing[t][nChannel * kPositions + e].bValid = 1;
  device.m_nDeinterlaceRingIndex[nChannel] = LONG((e + 1) % kPositions);
}

// Builds the output planes with the channel's method. A plane the method cannot build
// (too small for it) gets the current picture, so packing leaves it as it came.
void RunMethod(CDevice& device, const DeinterlaceJob& job) {
  for (int p = 0; p < kPlanes; ++p) {
    const ImgSize size = job.size[p];
    const int step = size.width;
    ImgStatus status;
    if (job.nMethod > kMethodMotionAdaptive) {
      const u8* const frames[3] = {job.back[p][1], job.back[p][0], job.current[p]};
      status = ImgDeinterlaceBlend(frames, step, job.output[p], step, size, 0, 0, 1,
                                   device.m_pDeinterlaceBlendState[job.nChannel + 16 * p]);
    } else if (job.nMethod == kMethodMotionAdaptive) {
      const u8* const frames[4] = {job.back[p][2], job.back[p][1], job.back[p][0], job.current[p]};
      status = ImgDeinterlaceMotionAdaptive(frames, step, job.output[p], step, size, 12, 0, 0, 1, 0);
    } else {
      // Field to frame: the even rows stretched to the full height. An odd height has
      // one even row more than half of it; the source then takes that row as well and
      // the factor maps every source row onto an even output row, so every output row is
      // written.
      const int fieldRows = size.height & 1 ? (size.height + 1) / 2 : size.height / 2;
      const double yFactor = size.height & 1 ? double(size.height) / fieldRows : 2.0;
      status =
          ImgResizeU8C1(job.current[p], ImgSize{size.width, fieldRows}, 2 * step, ImgRect{0, 0, size.width, fieldRows},
                        job.output[p], step, size, 1.0, yFactor, IMG_INTERP_LINEAR);
    }
    if (status != IMG_OK) (void)ImgCopyU8C1(job.current[p], step, job.output[p], step, size);
  }
}

// A row step that the image routines can take.
bool StepFits(uint64_t step) { return step > 0 && step <= uint64_t(INT32_MAX); }

// Sizes of 4:2:0 planes: the luma size the format's split and pack cover, and half of
// it for each chroma plane.
void Sizes420(ULONG nWidth, ULONG nHeight, bool evenLuma, ImgSize (&sizes)[3]) {
  const int w = int(nWidth), h = int(nHeight);
  sizes[0] = evenLuma ? ImgSize{w & ~1, h & ~1} : ImgSize{w, h};
  sizes[1] = sizes[2] = ImgSize{w / 2, h / 2};
}

// Frame sizes every routine refuses: fewer than two rows or columns have no fields to
// weave, and sizes the image routines' int arithmetic cannot hold.
bool FrameUsable(ULONG nChannel, ULONG nWidth, ULONG nHeight, PUCHAR pData) {
  return nChannel < 16 && pData && nWidth >= 2 && nHeight >= 2 && nWidth <= 0x10000 && nHeight <= 0x10000;
}

// The luma row step of a 12-bit frame: its extent holds h luma rows and half as many
// bytes again of chroma.
uint64_t Step420(ULONG nFrameExtent, ULONG nHeight) { return uint64_t(nFrameExtent) * 2 / (3 * uint64_t(nHeight)); }

}  // namespace

VOID CDevice::ReleaseDeinterlaceBuffers() {
  for (ULONG ch = 0; ch < 16; ++ch) {
    DeinterlaceBuffers& buffers = m_DeinterlaceBuffers[ch];
    if (buffers.pBlock) ExFreePoolWithTag(buffers.pBlock, kDeinterlaceTag);
    buffers = DeinterlaceBuffers{};
    for (int t = 0; t < 4; ++t) {
      for (int e = 0; e < kPositions; ++e) m_DeinterlaceRing[t][ch * kPositions + e] = FieldSlot{};
      m_DeinterlaceOutput[t][ch] = FieldSlot{};
    }
    m_nDeinterlaceRingIndex[ch] = 0;
  }
}

ULONG CDevice::DeinterlaceYuy2(ULONG nChannel, ULONG nWidth, ULONG nHeight, PUCHAR pData, ULONG nFrameExtent) {
  if (!FrameUsable(nChannel, nWidth, nHeight, pData)) return 1;
  const uint64_t s = nFrameExtent / nHeight;
  if (!StepFits(s) || s < 2 * uint64_t(nWidth)) return 1;
  // The split and the pack cover whole pixel pairs; an odd last pixel stays as it is.
  const int pairs = int(nWidth / 2), h = int(nHeight);
  const ImgSize sizes[3] = {{2 * pairs, h}, {pairs, h}, {pairs, h}};
  DeinterlaceJob job;
  if (!BeginJob(*this, nChannel, kFormatYuy2, nWidth, nHeight, sizes, false, &job)) return 1;
  const int steps[3] = {sizes[0].width, sizes[1].width, sizes[2].width};
  // Planes Y, V, U.
  if (ImgYuy2ToYv16(pData, int(s), job.current, steps, ImgSize{int(nWidth), h}) != IMG_OK) return 1;
  CommitRing(*this, nChannel);
  RunMethod(*this, job);
  for (int y = 0; y < h; ++y) {
    const u8* luma = job.output[0] + s64(y) * steps[0];
    const u8* cr = job.output[1] + s64(y) * steps[1];
    const u8* cb = job.output[2] + s64(y) * steps[2];
    u8* d = pData + s64(y) * s64(s);
    for (int i = 0; i < pairs; ++i) {
      d[4 * i] = luma[2 * i];
      d[4 * i + 1] = cb[i];
      d[4 * i + 2] = luma[2 * i + 1];
      d[4 * i + 3] = cr[i];
    }
  }
  return 1;
}

ULONG CDevice::DeinterlaceNv12(ULONG nChannel, ULONG nWidth, ULONG nHeight, PUCHAR pData, ULONG nFrameExtent) {
  if (!FrameUsable(nChannel, nWidth, nHeight, pData)) return 1;
  const uint64_t s = Step420(nFrameExtent, nHeight);
  // Luma rows, then the interleaved chroma rows at the luma's step.
  if (!StepFits(s) || s < nWidth || s * (nHeight + nHeight / 2) > nFrameExtent) return 1;
  ImgSize sizes[3];
  Sizes420(nWidth, nHeight, true, sizes);
  DeinterlaceJob job;
  if (!BeginJob(*this, nChannel, kFormatNv12, nWidth, nHeight, sizes, false, &job)) return 1;
  const int steps[3] = {sizes[0].width, sizes[1].width, sizes[2].width};
  PUCHAR chroma = pData + s * nHeight;
  const ImgSize frame{int(nWidth), int(nHeight)};
  // Planes Y, U, V.
  if (ImgNv12ToI420(pData, int(s), chroma, int(s), job.current, steps, frame) != IMG_OK) return 1;
  CommitRing(*this, nChannel);
  RunMethod(*this, job);
  const u8* const planes[3] = {job.output[0], job.output[2], job.output[1]};
  const int packSteps[3] = {steps[0], steps[2], steps[1]};
  (void)ImgYv12ToNv12(planes, packSteps, pData, int(s), chroma, int(s), frame);
  return 1;
}

ULONG CDevice::DeinterlaceYv12(ULONG nChannel, ULONG nWidth, ULONG nHeight, PUCHAR pData, ULONG nFrameExtent) {
  if (!FrameUsable(nChannel, nWidth, nHeight, pData)) return 1;
  const uint64_t s = Step420(nFrameExtent, nHeight);
  // Luma rows, then the two chroma planes at half the luma's step and height.
  if (!StepFits(s) || s < nWidth || s * nHeight + 2 * (s / 2) * (nHeight / 2) > nFrameExtent) return 1;
  ImgSize sizes[3];
  Sizes420(nWidth, nHeight, false, sizes);
  DeinterlaceJob job;
  if (!BeginJob(*this, nChannel, kFormatYv12, nWidth, nHeight, sizes, false, &job)) return 1;
  PUCHAR frame[3] = {pData, pData + s * nHeight, pData + s * nHeight + (s / 2) * (nHeight / 2)};
  const int frameSteps[3] = {int(s), int(s / 2), int(s / 2)};
  for (int p = 0; p < kPlanes; ++p) {
    if (ImgCopyU8C1(frame[p], frameSteps[p], job.current[p], sizes[p].width, sizes[p]) != IMG_OK) return 1;
  }
  CommitRing(*this, nChannel);
  RunMethod(*this, job);
  for (int p = 0; p < kPlanes; ++p) (void)ImgCopyU8C1(job.output[p], sizes[p].width, frame[p], frameSteps[p], sizes[p]);
  return 1;
}

ULONG CDevice::DeinterlaceRgb24(ULONG nChannel, ULONG nWidth, ULONG nHeight, PUCHAR pData, ULONG nFrameExtent) {
  if (!FrameUsable(nChannel, nWidth, nHeight, pData)) return 1;
  const uint64_t s = nFrameExtent / nHeight;
  if (!StepFits(s) || s < 3 * uint64_t(nWidth)) return 1;
  const ImgSize size{int(nWidth), int(nHeight)};
  const ImgSize sizes[3] = {size, size, size};
  DeinterlaceJob job;
  if (!BeginJob(*this, nChannel, kFormatRgb24, nWidth, nHeight, sizes, false, &job)) return 1;
  if (ImgDeinterleaveU8C3(pData, int(s), job.current, size.width, size) != IMG_OK) return 1;
  CommitRing(*this, nChannel);
  RunMethod(*this, job);
  const u8* const planes[3] = {job.output[0], job.output[1], job.output[2]};
  (void)ImgInterleaveU8C3(planes, size.width, pData, int(s), size);
  return 1;
}

ULONG CDevice::DeinterlaceRgb32(ULONG nChannel, ULONG nWidth, ULONG nHeight, PUCHAR pData, ULONG nFrameExtent) {
  if (!FrameUsable(nChannel, nWidth, nHeight, pData)) return 1;
  const uint64_t s = nFrameExtent / nHeight;
  if (!StepFits(s) || s < 4 * uint64_t(nWidth)) return 1;
  const ImgSize size{int(nWidth), int(nHeight)};
  const ImgSize sizes[3] = {size, size, size};
  DeinterlaceJob job;
  if (!BeginJob(*this, nChannel, kFormatRgb32, nWidth, nHeight, sizes, true, &job)) return 1;
  // Three channels into the ring, the fourth straight to its output plane.
  u8* const split[4] = {job.current[0], job.current[1], job.current[2], job.fourth};
  if (ImgDeinterleaveU8C4(pData, int(s), split, size.width, size) != IMG_OK) return 1;
  CommitRing(*this, nChannel);
  RunMethod(*this, job);
  const u8* const planes[4] = {job.output[0], job.output[1], job.output[2], job.fourth};
  (void)ImgInterleaveU8C4(planes, size.width, pData, int(s), size);
  return 1;
}
