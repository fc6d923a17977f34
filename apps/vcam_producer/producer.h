// A virtual-camera producer for applications: it creates the video and audio sections of
// a channel with their header, sends the attach, push and detach command words to the
// encoder board's virtual capture filter, and writes frames and audio into the sections.
//
// The section layout is the contract with the driver: a header of 0x50 bytes, then the
// payload. The driver reads the description fields only to print them at attach, and the
// byte count at 0x48 at every push.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/ks/client.h"

namespace vorlix::vcam {

#pragma pack(push, 1)
struct SectionHeader {
  uint32_t fourCC;          // 0x00
  uint32_t width;           // 0x04
  uint32_t height;          // 0x08
  uint32_t bitCount;        // 0x0C
  uint8_t reserved10[8];    // 0x10
  int64_t avgTimePerFrame;  // 0x18 100 ns units
  uint8_t reserved20[8];    // 0x20
  uint32_t channels;        // 0x28
  uint32_t samplesPerSec;   // 0x2C
  uint32_t bitsPerSample;   // 0x30
  uint8_t reserved34[20];   // 0x34
  uint32_t dataSize;        // 0x48 valid payload bytes
  uint8_t reserved4C[4];    // 0x4C
};
#pragma pack(pop)
static_assert(sizeof(SectionHeader) == 0x50);
static_assert(offsetof(SectionHeader, avgTimePerFrame) == 0x18);
static_assert(offsetof(SectionHeader, channels) == 0x28);
static_assert(offsetof(SectionHeader, bitsPerSample) == 0x30);
static_assert(offsetof(SectionHeader, dataSize) == 0x48);
inline constexpr size_t kPayloadOffset = 0x50;

enum Medium { kVideo = 0, kAudio = 1 };
// Command words of properties 601 (video) and 602 (audio).
enum Command : uint32_t { kPush = 0, kAttach = 1, kDetach = 2 };

constexpr uint32_t FourCC(const char (&s)[5]) {
  return (uint32_t)(uint8_t)s[0] | (uint32_t)(uint8_t)s[1] << 8 | (uint32_t)(uint8_t)s[2] << 16 |
         (uint32_t)(uint8_t)s[3] << 24;
}

struct VideoFormat {
  uint32_t fourCC = FourCC("YV12");  // YV12, NV12, YUY2, or 0 with bitCount 24/32 for BGR/BGRA
  uint32_t width = 704;
  uint32_t height = 480;
  uint32_t bitCount = 12;
  int64_t avgTimePerFrame = 333667;
  size_t FrameBytes() const { return (size_t)width * height * bitCount / 8; }
};

struct AudioFormat {
  uint32_t channels = 2;
  uint32_t samplesPerSec = 48000;
  uint32_t bitsPerSample = 16;
  size_t BytesPerSecond() const { return (size_t)channels * samplesPerSec * bitsPerSample / 8; }
};

// The section name's leaf of a medium and channel index, as the driver formats it:
// "DRAV.VCAM.V.SHARE.MEMORY.00". The channel index is that of the filter the commands go
// to: its channel, plus 4 once its stream-index word is above 7 (the virtual video filter
// after its pin exists).
std::u16string SectionLeaf(Medium medium, uint32_t channelIndex);

// One medium's section, created by this process (CreateFileMappingW on "Global\<leaf>").
class Section {
 public:
  Section() = default;
  ~Section();
  Section(const Section&) = delete;
  Section& operator=(const Section&) = delete;
  bool Create(Medium medium, uint32_t channelIndex, size_t payloadBytes, std::string* error);
  void Close();
  bool IsOpen() const { return base_ != nullptr; }
  SectionHeader* Header() { return reinterpret_cast<SectionHeader*>(base_); }
  uint8_t* Payload() { return base_ + kPayloadOffset; }
  size_t Room() const { return payloadBytes_; }
  // Copies up to Room() bytes into the payload and sets the byte count.
  size_t Write(const void* data, size_t bytes);

 private:
  void* mapping_ = nullptr;
  uint8_t* base_ = nullptr;
  size_t payloadBytes_ = 0;
};

// Where command words go.
class CommandSink {
 public:
  virtual ~CommandSink() = default;
  virtual bool Send(Medium medium, uint32_t word) = 0;
};

// Straight to the filters through the KS client: property 601 to the video filter, 602
// to the audio filter (the virtual filters of the channel; one filter may take both).
class KsCommandSink : public CommandSink {
 public:
  KsCommandSink(platform::ks::KsClient& client, HANDLE videoFilter, HANDLE audioFilter)
      : client_(client), filters_{videoFilter, audioFilter} {}
  bool Send(Medium medium, uint32_t word) override;

 private:
  platform::ks::KsClient& client_;
  HANDLE filters_[2];
};

// A producer in a process of its own sends its words over a pipe to the process that
// holds the KS client: "CMD <medium> <word>" and waits for "OK" (the host answers once the
// request has run, so the producer may then rewrite its section).
class RelayCommandSink : public CommandSink {
 public:
  RelayCommandSink(std::FILE* toHost, std::FILE* fromHost) : out_(toHost), in_(fromHost) {}
  bool Send(Medium medium, uint32_t word) override;
  // Tells the host the producer is done ("END").
  void Finish();

 private:
  std::FILE* out_;
  std::FILE* in_;
};

// The host side of a relay: runs every command a producer process sends until it says
// END or its pipe closes. Lines the producer prints that are not commands are passed to
// `log` (when given). Returns the number of commands run; *clean is set when the producer
// ended with END.
size_t ServeRelay(std::FILE* fromProducer, std::FILE* toProducer, CommandSink& sink, std::FILE* log = nullptr,
                  bool* clean = nullptr);

// Video and audio sections of one channel, attached and fed.
class Producer {
 public:
  Producer(CommandSink& sink, uint32_t videoChannelIndex, uint32_t audioChannelIndex)
      : sink_(sink), videoIndex_(videoChannelIndex), audioIndex_(audioChannelIndex) {}
  ~Producer();
  // Creates the sections (audio room: `audioBytes` per push) with their headers and
  // attaches both media. Without audio (audioBytes 0) only video is attached.
  bool Start(const VideoFormat& video, const AudioFormat& audio, size_t audioBytes, std::string* error);
  bool PushVideo(const void* frame, size_t bytes);
  bool PushAudio(const void* pcm, size_t bytes);
  // Detaches what was attached and removes the sections.
  void Stop();

 private:
  CommandSink& sink_;
  uint32_t videoIndex_, audioIndex_;
  Section video_, audio_;
  bool attached_[2] = {false, false};
};

}  // namespace vorlix::vcam
