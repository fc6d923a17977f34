// What a producer pushes: a numbered test pattern (no file needed), a tone, or the
// pictures and sound of any video file FFmpeg's libraries decode, converted to the
// virtual pin's format.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "apps/vcam_producer/producer.h"

namespace vorlix::vcam {

// Frame `number` of the test pattern: colour bars that move one step per frame, the
// number drawn large in the middle, and the number as 32 black-or-white blocks across the
// top 8 rows (most significant bit first), which DecodePatternNumber reads back. Formats:
// YV12, NV12, YUY2, and BGR/BGRA (fourCC 0, bottom-up rows).
void DrawPattern(const VideoFormat& format, uint32_t number, uint8_t* frame);
// The number of a pattern frame, or -1 when the top rows carry none.
int64_t DecodePatternNumber(const VideoFormat& format, const uint8_t* frame);

// `bytes` of 16-bit PCM of a 1 kHz tone, continuing from sample `*position` (advanced).
void DrawTone(const AudioFormat& format, uint64_t* position, uint8_t* pcm, size_t bytes);

// A video file decoded frame by frame and its first audio stream resampled, both in the
// formats asked for.
class FileSource {
 public:
  FileSource();
  ~FileSource();
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  bool Open(const std::string& path, const VideoFormat& video, const AudioFormat& audio, std::string* error);
  bool HasAudio() const;
  // The next picture, converted and scaled to the video format; false at the end.
  bool NextFrame(std::vector<uint8_t>* frame);
  // Takes the audio decoded so far (as 16-bit PCM in the audio format).
  void TakeAudio(std::vector<uint8_t>* pcm);

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace vorlix::vcam
