// The main job's virtual camera: a producer in a user process of its own pushes a video
// file's pictures and sound, or the numbered test pattern and a tone, into the encoder
// board's virtual capture filters for the run's length, while a client captures them
// from the virtual pins as an application would.
#pragma once

#include <filesystem>
#include <string>

#include "apps/capture/report.h"
#include "platform/kernel/ntdef.h"

namespace vorlix::capture {

// The board's virtual capture device, switched on for its next start: the driver reads
// the switch as the device starts and makes the virtual filters then. The value goes
// again with this object (once the start has read it), so the registry the machine keeps
// does not carry it into runs without the virtual camera.
class VirtualDeviceSwitch {
 public:
  explicit VirtualDeviceSwitch(ULONG hostInstance);
  ~VirtualDeviceSwitch();
  VirtualDeviceSwitch(const VirtualDeviceSwitch&) = delete;
  VirtualDeviceSwitch& operator=(const VirtualDeviceSwitch&) = delete;

 private:
  std::u16string key_;
};

struct VirtualSettings {
  std::filesystem::path out;  // virtual.yuv, virtual.png, virtual.wav
  double seconds = 0;         // machine time the producer pushes
  std::string file;           // a video file FFmpeg decodes; empty: the numbered test pattern
};

// With the board started with its virtual device: pushes a frame (and its share of the
// sound) every frame interval for `seconds` or until the file ends, and checks what the
// virtual pins deliver: every pushed frame back (the pattern's numbers one after
// another), no buffer lost, timestamps never going back, the sound whole.
void RunVirtualCamera(const VirtualSettings& settings, Summary& summary);

}  // namespace vorlix::capture
