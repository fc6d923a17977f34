// The main job's capture: channel 0 of the encoder board, run as an application runs it
// through Kernel Streaming: a YV12 preview pin, the H.264 main and sub stream pins and
// the audio pin, each on the graph's reference clock; what they deliver is written to
// files and summed up.
#pragma once

#include <filesystem>

#include "apps/capture/report.h"

namespace vorlix::capture {

struct CaptureSettings {
  std::filesystem::path out;  // preview.yuv, preview.png, main.h264, sub.h264, audio.wav, frames.csv
  double seconds = 0;         // machine time the pins run
  bool noSignal = false;      // the input is unplugged: the driver's own pictures and silence
};

// The sizes the pins ask for: the 1080-line input at full size for the main stream, at
// half for the sub stream and at a quarter for the preview, the sizes the board makes
// from it without cropping.
inline constexpr long kPreviewWidth = 480, kPreviewHeight = 270;
inline constexpr long kMainWidth = 1920, kMainHeight = 1080;
inline constexpr long kSubWidth = 960, kSubHeight = 540;

// Opens channel 0's video and audio capture filters, creates and runs the four pins for
// `seconds`, then stops every pin and closes the filters (their close saves the
// settings). Every stage and its result go to `summary`; a lost buffer, a timestamp that
// goes backwards or a file that cannot be written fails the run.
void CaptureChannel0(const CaptureSettings& settings, Summary& summary);

// Lets `seconds` of machine time pass: on the jumping test clock a machine delay (the
// clock moves once every machine thread waits), on the real clock a sleep.
void PassMachineTime(double seconds);

}  // namespace vorlix::capture
