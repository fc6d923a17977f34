// The producer's sections, its command words and the relay between processes.
#include "apps/vcam_producer/producer.h"

#include <cstring>

#include "platform/win32/file_mapping.h"

namespace vorlix::vcam {

namespace {

// The driver's custom property set.
constexpr GUID kCustomDeviceSet = {0xD1E5209F, 0x68FD, 0x4529, {0xBE, 0xE0, 0x5E, 0x7A, 0x1F, 0x47, 0x92, 0x1E}};

}  // namespace

std::u16string SectionLeaf(Medium medium, uint32_t channelIndex) {
  std::u16string s = u"DRAV.VCAM.";
  s += medium == kVideo ? u'V' : u'A';
  s += u".SHARE.MEMORY.";
  std::string digits = std::to_string(channelIndex);
  if (digits.size() < 2) digits = "0" + digits;
  for (char c : digits) s += (char16_t)c;
  return s;
}

Section::~Section() { Close(); }

bool Section::Create(Medium medium, uint32_t channelIndex, size_t payloadBytes, std::string* error) {
  Close();
  const std::u16string name = u"Global\\" + SectionLeaf(medium, channelIndex);
  const uint64_t total = kPayloadOffset + (uint64_t)payloadBytes;
  mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, (DWORD)(total >> 32), (DWORD)total,
                                name.c_str());
  if (!mapping_) {
    if (error) *error = "cannot create the section (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  base_ = static_cast<uint8_t*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (!base_) {
    if (error) *error = "cannot map the section (error " + std::to_string(GetLastError()) + ")";
    CloseHandle(mapping_);
    mapping_ = nullptr;
    return false;
  }
  payloadBytes_ = payloadBytes;
  std::memset(base_, 0, kPayloadOffset);
  return true;
}

void Section::Close() {
  if (base_) UnmapViewOfFile(base_);
  if (mapping_) CloseHandle(mapping_);
  base_ = nullptr;
  mapping_ = nullptr;
  payloadBytes_ = 0;
}

size_t Section::Write(const void* data, size_t bytes) {
  if (!base_) return 0;
  if (bytes > payloadBytes_) bytes = payloadBytes_;
  std::memcpy(Payload(), data, bytes);
  // The count goes in after the bytes it covers; the push command that follows (a
  // request or a pipe write) hands both to the driver.
  const uint32_t count = (uint32_t)bytes;
  std::memcpy(&Header()->dataSize, &count, sizeof(count));
  return bytes;
}

bool KsCommandSink::Send(Medium medium, uint32_t word) {
  const HANDLE filter = filters_[medium == kVideo ? 0 : 1];
  return filter && client_.SetProperty({filter}, kCustomDeviceSet, medium == kVideo ? 601 : 602, &word, sizeof(word)) ==
                       STATUS_SUCCESS;
}

bool RelayCommandSink::Send(Medium medium, uint32_t word) {
  if (std::fprintf(out_, "CMD %d %u\n", (int)medium, word) < 0 || std::fflush(out_) != 0) return false;
  char line[64];
  return std::fgets(line, sizeof line, in_) && std::strncmp(line, "OK", 2) == 0;
}

void RelayCommandSink::Finish() {
  std::fprintf(out_, "END\n");
  std::fflush(out_);
}

size_t ServeRelay(std::FILE* fromProducer, std::FILE* toProducer, CommandSink& sink, std::FILE* log, bool* clean) {
  size_t served = 0;
  if (clean) *clean = false;
  char line[512];
  while (std::fgets(line, sizeof line, fromProducer)) {
    int medium = -1;
    unsigned word = 0;
    if (std::sscanf(line, "CMD %d %u", &medium, &word) == 2 && (medium == kVideo || medium == kAudio)) {
      const bool ok = sink.Send((Medium)medium, word);
      std::fprintf(toProducer, ok ? "OK\n" : "FAILED\n");
      std::fflush(toProducer);
      served++;
    } else if (std::strncmp(line, "END", 3) == 0) {
      if (clean) *clean = true;
      break;
    } else if (log) {
      std::fputs(line, log);
    }
  }
  return served;
}

Producer::~Producer() { Stop(); }

bool Producer::Start(const VideoFormat& video, const AudioFormat& audio, size_t audioBytes, std::string* error) {
  if (!video_.Create(kVideo, videoIndex_, video.FrameBytes(), error)) return false;
  SectionHeader* h = video_.Header();
  h->fourCC = video.fourCC;
  h->width = video.width;
  h->height = video.height;
  h->bitCount = video.bitCount;
  h->avgTimePerFrame = video.avgTimePerFrame;
  if (audioBytes) {
    if (!audio_.Create(kAudio, audioIndex_, audioBytes, error)) return false;
    SectionHeader* a = audio_.Header();
    a->channels = audio.channels;
    a->samplesPerSec = audio.samplesPerSec;
    a->bitsPerSample = audio.bitsPerSample;
  }
  if (!sink_.Send(kVideo, kAttach)) {
    if (error) *error = "the video attach was refused";
    return false;
  }
  attached_[kVideo] = true;
  if (audioBytes) {
    if (!sink_.Send(kAudio, kAttach)) {
      if (error) *error = "the audio attach was refused";
      return false;
    }
    attached_[kAudio] = true;
  }
  return true;
}

bool Producer::PushVideo(const void* frame, size_t bytes) {
  if (!attached_[kVideo]) return false;
  video_.Write(frame, bytes);
  return sink_.Send(kVideo, kPush);
}

bool Producer::PushAudio(const void* pcm, size_t bytes) {
  if (!attached_[kAudio]) return false;
  audio_.Write(pcm, bytes);
  return sink_.Send(kAudio, kPush);
}

void Producer::Stop() {
  for (Medium m : {kVideo, kAudio}) {
    if (attached_[m]) sink_.Send(m, kDetach);
    attached_[m] = false;
  }
  video_.Close();
  audio_.Close();
}

}  // namespace vorlix::vcam
