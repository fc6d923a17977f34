// vcam-producer: feeds the encoder board's virtual capture pins from a video file (any
// FFmpeg can decode) or, without one, from a numbered test pattern and a tone. It runs as
// a process of its own beside the program that holds the machine and its KS client: it
// writes the sections, and sends its command words to that program over its standard
// output, reading each answer from its standard input (--relay).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "apps/vcam_producer/producer.h"
#include "apps/vcam_producer/sources.h"

namespace {

using namespace vorlix::vcam;

const char kUsage[] =
    "usage: vcam-producer --relay [FILE] [--frames N] [--format YV12|NV12|YUY2|RGB24|RGB32]\n"
    "                     [--size WxH] [--fps N] [--video-channel N] [--audio-channel N] [--no-audio]\n"
    "  Writes the virtual camera's sections and sends its commands on standard output,\n"
    "  one \"CMD <medium> <word>\" line each, waiting for \"OK\" on standard input.\n"
    "  Without FILE it pushes the numbered test pattern and a 1 kHz tone.\n";

struct Options {
  std::string file;
  bool relay = false;
  long frames = -1;  // -1: the whole file, or 30 pattern frames
  VideoFormat video;
  AudioFormat audio;
  uint32_t fps = 30;
  uint32_t videoChannel = 4, audioChannel = 0;
  bool withAudio = true;
};

bool Parse(int argc, char** argv, Options* o, std::string* error) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](std::string* v) {
      if (i + 1 >= argc) return false;
      *v = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--relay") {
      o->relay = true;
    } else if (a == "--no-audio") {
      o->withAudio = false;
    } else if (a == "--frames" && value(&v)) {
      o->frames = std::strtol(v.c_str(), nullptr, 10);
    } else if (a == "--fps" && value(&v)) {
      o->fps = (uint32_t)std::strtoul(v.c_str(), nullptr, 10);
      if (!o->fps) return *error = "--fps needs a positive rate", false;
    } else if (a == "--video-channel" && value(&v)) {
      o->videoChannel = (uint32_t)std::strtoul(v.c_str(), nullptr, 10);
    } else if (a == "--audio-channel" && value(&v)) {
      o->audioChannel = (uint32_t)std::strtoul(v.c_str(), nullptr, 10);
    } else if (a == "--size" && value(&v)) {
      unsigned w = 0, h = 0;
      if (std::sscanf(v.c_str(), "%ux%u", &w, &h) != 2 || w < 32 || h < 8 || w % 2 || h % 2)
        return *error = "--size needs WxH, even, at least 32x8", false;
      o->video.width = w;
      o->video.height = h;
    } else if (a == "--format" && value(&v)) {
      if (v == "YV12" || v == "NV12") {
        o->video.fourCC = v == "YV12" ? FourCC("YV12") : FourCC("NV12");
        o->video.bitCount = 12;
      } else if (v == "YUY2") {
        o->video.fourCC = FourCC("YUY2");
        o->video.bitCount = 16;
      } else if (v == "RGB24" || v == "RGB32") {
        o->video.fourCC = 0;
        o->video.bitCount = v == "RGB24" ? 24 : 32;
      } else {
        return *error = "unknown format " + v, false;
      }
    } else if (!a.empty() && a[0] != '-' && o->file.empty()) {
      o->file = a;
    } else {
      return *error = "unknown argument " + a, false;
    }
  }
  if (!o->relay) return *error = "no host to send the commands to (--relay)", false;
  o->video.avgTimePerFrame = 10000000 / o->fps;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string error;
  if (!Parse(argc, argv, &o, &error)) {
    std::fprintf(stderr, "vcam-producer: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  FileSource file;
  if (!o.file.empty() && !file.Open(o.file, o.video, o.audio, &error)) {
    std::fprintf(stderr, "vcam-producer: %s\n", error.c_str());
    return 1;
  }
  const bool audio = o.withAudio && (o.file.empty() || file.HasAudio());
  // One video frame's worth of sound per push, whole sample frames.
  const size_t frameBytes = (size_t)o.audio.channels * o.audio.bitsPerSample / 8;
  const size_t audioPerFrame = o.audio.BytesPerSecond() / o.fps / frameBytes * frameBytes;

  RelayCommandSink sink(stdout, stdin);
  Producer producer(sink, o.videoChannel, o.audioChannel);
  if (!producer.Start(o.video, o.audio, audio ? audioPerFrame * 4 : 0, &error)) {
    std::fprintf(stderr, "vcam-producer: %s\n", error.c_str());
    sink.Finish();
    return 1;
  }
  const long frames = o.frames >= 0 ? o.frames : (o.file.empty() ? 30 : -1);
  std::vector<uint8_t> picture(o.video.FrameBytes()), sound, pending;
  uint64_t tone = 0;
  long pushed = 0;
  bool ok = true;
  while (ok && (frames < 0 || pushed < frames)) {
    if (o.file.empty()) {
      DrawPattern(o.video, (uint32_t)(pushed + 1), picture.data());
    } else if (!file.NextFrame(&picture)) {
      break;
    }
    ok = producer.PushVideo(picture.data(), picture.size());
    if (ok && audio) {
      if (o.file.empty()) {
        sound.resize(audioPerFrame);
        DrawTone(o.audio, &tone, sound.data(), sound.size());
      } else {
        file.TakeAudio(&sound);
        pending.insert(pending.end(), sound.begin(), sound.end());
        const size_t take = std::min(pending.size(), audioPerFrame);
        sound.assign(pending.begin(), pending.begin() + (long)take);
        pending.erase(pending.begin(), pending.begin() + (long)take);
      }
      if (!sound.empty()) ok = producer.PushAudio(sound.data(), sound.size());
    }
    pushed++;
  }
  producer.Stop();
  sink.Finish();
  std::fprintf(stderr, "vcam-producer: %ld frames pushed%s\n", pushed, ok ? "" : " (the host stopped answering)");
  return ok ? 0 : 1;
}
