// What the main job's captures share: picking a pin's format the way an application
// does, and writing what the pins delivered (the WAV header, the picture for a person).
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "platform/ks/client.h"

namespace vorlix::capture {

constexpr ULONG FourCC(const char (&c)[5]) {
  return (ULONG)(UCHAR)c[0] | (ULONG)(UCHAR)c[1] << 8 | (ULONG)(UCHAR)c[2] << 16 | (ULONG)(UCHAR)c[3] << 24;
}

// The ranges of a pin factory, as KSPROPERTY_PIN_DATARANGES lists them.
std::vector<std::vector<uint8_t>> PinRanges(platform::ks::KsClient& client, HANDLE filter, ULONG pinId);

// Picks the range of pin factory 0 with this compression and size; the caller's copy
// asks for 30 frames a second where the range leaves the rate open.
bool VideoFormatFor(platform::ks::KsClient& client, HANDLE filter, ULONG compression, long w, long h,
                    std::vector<uint8_t>* format);

// The 16-bit 48 kHz PCM format of pin factory 0.
bool AudioFormatFor(platform::ks::KsClient& client, HANDLE filter, std::vector<uint8_t>* format, WAVEFORMATEX* wave);

// The 44-byte header of a PCM WAV file holding `dataBytes` of samples.
std::vector<uint8_t> WaveHeader(const WAVEFORMATEX& w, uint32_t dataBytes);

// A YV12 picture (planes Y, V, U) as a PNG: the image library converts it to BGRA, cairo
// writes the file. False when the picture is short or the file cannot be written.
bool WriteYv12Png(const std::vector<uint8_t>& yv12, long w, long h, const std::filesystem::path& file);

}  // namespace vorlix::capture
