#include "apps/capture/capture_files.h"

#include <cairo.h>

#include <algorithm>
#include <cstring>

#include "imaging/img.h"

namespace vorlix::capture {

namespace ks = platform::ks;
namespace fs = std::filesystem;

namespace {

void PutLe(std::vector<uint8_t>& v, size_t at, uint32_t x, int bytes) {
  for (int i = 0; i < bytes; i++) v[at + i] = (uint8_t)(x >> (8 * i));
}

}  // namespace

std::vector<std::vector<uint8_t>> PinRanges(ks::KsClient& client, HANDLE filter, ULONG pinId) {
  ULONG pin[2] = {pinId, 0};
  ULONG needed = 0;
  client.Property({filter}, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET, pin, sizeof(pin), nullptr,
                  0, &needed);
  std::vector<std::vector<uint8_t>> ranges;
  if (needed < sizeof(KSMULTIPLE_ITEM)) return ranges;
  std::vector<uint8_t> list(needed);
  ULONG returned = 0;
  if (!NT_SUCCESS(client.Property({filter}, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET, pin,
                                  sizeof(pin), list.data(), (ULONG)list.size(), &returned)))
    return ranges;
  KSMULTIPLE_ITEM head;
  std::memcpy(&head, list.data(), sizeof(head));
  size_t at = sizeof(KSMULTIPLE_ITEM);
  const size_t end = std::min<size_t>(returned, std::min<size_t>(head.Size, list.size()));
  for (ULONG i = 0; i < head.Count && at + sizeof(KSDATARANGE) <= end; i++) {
    KSDATARANGE range;
    std::memcpy(&range, list.data() + at, sizeof(range));
    if (range.FormatSize < sizeof(KSDATARANGE) || at + range.FormatSize > end) break;
    ranges.emplace_back(list.data() + at, list.data() + at + range.FormatSize);
    at += (range.FormatSize + 7) & ~size_t(7);
  }
  return ranges;
}

bool VideoFormatFor(ks::KsClient& client, HANDLE filter, ULONG compression, long w, long h,
                    std::vector<uint8_t>* format) {
  for (std::vector<uint8_t>& range : PinRanges(client, filter, 0)) {
    if (range.size() < sizeof(KS_DATARANGE_VIDEO)) continue;
    KS_DATARANGE_VIDEO video;
    std::memcpy(&video, range.data(), sizeof(video));
    const KS_BITMAPINFOHEADER& b = video.VideoInfoHeader.bmiHeader;
    if (b.biCompression != compression || b.biWidth != w || b.biHeight != h) continue;
    if (video.VideoInfoHeader.AvgTimePerFrame == 0) {
      video.VideoInfoHeader.AvgTimePerFrame = 333333;
      std::memcpy(range.data(), &video, sizeof(video));
    }
    if (NT_SUCCESS(client.Intersect(filter, 0, {reinterpret_cast<const KSDATARANGE*>(range.data())}, format)))
      return true;
  }
  return false;
}

bool AudioFormatFor(ks::KsClient& client, HANDLE filter, std::vector<uint8_t>* format, WAVEFORMATEX* wave) {
  for (std::vector<uint8_t>& range : PinRanges(client, filter, 0)) {
    if (range.size() < sizeof(KSDATARANGE_AUDIO)) continue;
    KSDATARANGE_AUDIO audio;
    std::memcpy(&audio, range.data(), sizeof(audio));
    if (audio.MinimumSampleFrequency > 48000 || audio.MaximumSampleFrequency < 48000 ||
        audio.MinimumBitsPerSample > 16 || audio.MaximumBitsPerSample < 16)
      continue;
    if (!NT_SUCCESS(client.Intersect(filter, 0, {reinterpret_cast<const KSDATARANGE*>(range.data())}, format)) ||
        format->size() < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX))
      continue;
    std::memcpy(wave, format->data() + sizeof(KSDATAFORMAT), sizeof(*wave));
    if (wave->wFormatTag == WAVE_FORMAT_PCM && wave->wBitsPerSample == 16 && wave->nSamplesPerSec == 48000) return true;
  }
  return false;
}

std::vector<uint8_t> WaveHeader(const WAVEFORMATEX& w, uint32_t dataBytes) {
  std::vector<uint8_t> h(44);
  std::memcpy(&h[0], "RIFF", 4);
  PutLe(h, 4, 36 + dataBytes, 4);
  std::memcpy(&h[8], "WAVEfmt ", 8);
  PutLe(h, 16, 16, 4);
  PutLe(h, 20, w.wFormatTag, 2);
  PutLe(h, 22, w.nChannels, 2);
  PutLe(h, 24, w.nSamplesPerSec, 4);
  PutLe(h, 28, w.nAvgBytesPerSec, 4);
  PutLe(h, 32, w.nBlockAlign, 2);
  PutLe(h, 34, w.wBitsPerSample, 2);
  std::memcpy(&h[36], "data", 4);
  PutLe(h, 40, dataBytes, 4);
  return h;
}

bool WriteYv12Png(const std::vector<uint8_t>& yv12, long w, long h, const fs::path& file) {
  if (w <= 0 || h <= 0 || yv12.size() < (size_t)w * h * 3 / 2) return false;
  const u8* planes[3] = {yv12.data(), yv12.data() + w * h + (w / 2) * (h / 2), yv12.data() + w * h};
  const int steps[3] = {(int)w, (int)w / 2, (int)w / 2};
  const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, (int)w);
  std::vector<uint8_t> bgra((size_t)stride * h);
  if (ImgI420ToBgraBt601(planes, steps, bgra.data(), stride, ImgSize{(int32_t)w, (int32_t)h}, 255) != IMG_OK)
    return false;
  cairo_surface_t* surface =
      cairo_image_surface_create_for_data(bgra.data(), CAIRO_FORMAT_RGB24, (int)w, (int)h, stride);
  const bool ok = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS &&
                  cairo_surface_write_to_png(surface, file.string().c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return ok;
}

}  // namespace vorlix::capture
