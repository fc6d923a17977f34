// The test pattern, the tone and the file source.
#include "apps/vcam_producer/sources.h"

#include <cmath>
#include <cstring>
#include <deque>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace vorlix::vcam {

namespace {

// Seven-segment digits: bits a..g.
constexpr uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

struct Yuv {
  uint8_t y, u, v;
};
constexpr Yuv kBars[8] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
                          {106, 202, 222}, {81, 90, 240},  {41, 240, 110}, {16, 128, 128}};

bool IsPlanar420(uint32_t fourCC) { return fourCC == FourCC("YV12") || fourCC == FourCC("NV12"); }

// The pattern's colour at (x, y) of a w x h picture.
Yuv PatternAt(uint32_t number, uint32_t w, uint32_t h, uint32_t x, uint32_t y) {
  // The number's 32 bits across the top 8 rows.
  if (y < 8) {
    const uint32_t bit = x * 32 / w;
    return (number >> (31 - bit)) & 1 ? Yuv{235, 128, 128} : Yuv{16, 128, 128};
  }
  // The number in large digits in the middle: 8 digits, each a 7-segment glyph.
  const uint32_t digitW = w / 12, digitH = h / 4;
  const uint32_t left = (w - digitW * 8) / 2, top = (h - digitH) / 2;
  if (digitW >= 4 && x >= left && x < left + digitW * 8 && y >= top && y < top + digitH) {
    const uint32_t d = (x - left) / digitW;
    uint32_t value = number;
    for (uint32_t i = d; i < 7; i++) value /= 10;
    const uint8_t seg = kSegments[value % 10];
    const uint32_t cx = (x - left) % digitW, cy = y - top;
    const uint32_t t = digitW / 6 + 1;  // stroke
    const uint32_t mid = digitH / 2;
    const uint32_t gl = t, gr = digitW - 2 * t;  // glyph's left and right strokes
    bool on = false;
    if (cx >= gl && cx < gr + t) {
      if (cy < t && (seg & 0x01)) on = true;                                     // a
      if (cy >= mid - t / 2 && cy < mid + t - t / 2 && (seg & 0x40)) on = true;  // g
      if (cy >= digitH - t && (seg & 0x08)) on = true;                           // d
    }
    if (cx >= gr && cx < gr + t) {
      if (cy < mid && (seg & 0x02)) on = true;   // b
      if (cy >= mid && (seg & 0x04)) on = true;  // c
    }
    if (cx >= gl && cx < gl + t) {
      if (cy < mid && (seg & 0x20)) on = true;   // f
      if (cy >= mid && (seg & 0x10)) on = true;  // e
    }
    return on ? Yuv{235, 128, 128} : Yuv{16, 128, 128};
  }
  return kBars[((x * 8 / w) + number) % 8];
}

void ToBgr(const Yuv& c, uint8_t* bgr) {
  const int y = c.y - 16, u = c.u - 128, v = c.v - 128;
  auto clamp = [](int x) { return (uint8_t)(x < 0 ? 0 : x > 255 ? 255 : x); };
  bgr[2] = clamp((298 * y + 409 * v + 128) >> 8);
  bgr[1] = clamp((298 * y - 100 * u - 208 * v + 128) >> 8);
  bgr[0] = clamp((298 * y + 516 * u + 128) >> 8);
}

}  // namespace

void DrawPattern(const VideoFormat& f, uint32_t number, uint8_t* frame) {
  const uint32_t w = f.width, h = f.height;
  if (IsPlanar420(f.fourCC)) {
    uint8_t* luma = frame;
    uint8_t* c0 = frame + (size_t)w * h;
    uint8_t* c1 = c0 + (size_t)(w / 2) * (h / 2);
    for (uint32_t y = 0; y < h; y++)
      for (uint32_t x = 0; x < w; x++) {
        const Yuv c = PatternAt(number, w, h, x, y);
        luma[(size_t)y * w + x] = c.y;
        if ((x & 1) || (y & 1)) continue;
        if (f.fourCC == FourCC("NV12")) {
          c0[(size_t)(y / 2) * w + x] = c.u;
          c0[(size_t)(y / 2) * w + x + 1] = c.v;
        } else {  // YV12: V plane first
          c0[(size_t)(y / 2) * (w / 2) + x / 2] = c.v;
          c1[(size_t)(y / 2) * (w / 2) + x / 2] = c.u;
        }
      }
  } else if (f.fourCC == FourCC("YUY2")) {
    for (uint32_t y = 0; y < h; y++)
      for (uint32_t x = 0; x + 1 < w; x += 2) {
        const Yuv a = PatternAt(number, w, h, x, y), b = PatternAt(number, w, h, x + 1, y);
        uint8_t* p = frame + ((size_t)y * w + x) * 2;
        p[0] = a.y;
        p[1] = a.u;
        p[2] = b.y;
        p[3] = a.v;
      }
  } else {
    const uint32_t bpp = f.bitCount / 8;
    for (uint32_t y = 0; y < h; y++)
      for (uint32_t x = 0; x < w; x++) {
        uint8_t* p = frame + ((size_t)(h - 1 - y) * w + x) * bpp;  // bottom-up
        ToBgr(PatternAt(number, w, h, x, y), p);
        if (bpp == 4) p[3] = 0;
      }
  }
}

int64_t DecodePatternNumber(const VideoFormat& f, const uint8_t* frame) {
  const uint32_t w = f.width, h = f.height;
  if (w < 32 || h < 8) return -1;
  uint32_t number = 0;
  for (uint32_t bit = 0; bit < 32; bit++) {
    const uint32_t x = bit * w / 32 + w / 64, y = 4;
    int luma;
    if (IsPlanar420(f.fourCC)) {
      luma = frame[(size_t)y * w + x];
    } else if (f.fourCC == FourCC("YUY2")) {
      luma = frame[((size_t)y * w + x) * 2];
    } else {
      luma = frame[((size_t)(h - 1 - y) * w + x) * (f.bitCount / 8) + 1];
    }
    if (luma > 96 && luma < 160) return -1;
    number = number << 1 | (luma >= 160 ? 1u : 0u);
  }
  return number;
}

void DrawTone(const AudioFormat& f, uint64_t* position, uint8_t* pcm, size_t bytes) {
  const size_t frameBytes = (size_t)f.channels * 2;
  for (size_t at = 0; at + frameBytes <= bytes; at += frameBytes) {
    const double t = (double)(*position)++ / f.samplesPerSec;
    const int16_t s = (int16_t)std::lround(8000.0 * std::sin(2 * M_PI * 1000.0 * t));
    for (uint32_t c = 0; c < f.channels; c++) std::memcpy(pcm + at + 2 * c, &s, 2);
  }
}

// ---- file source ---------------------------------------------------------------------------

struct FileSource::State {
  AVFormatContext* format = nullptr;
  AVCodecContext* video = nullptr;
  AVCodecContext* audio = nullptr;
  int videoStream = -1, audioStream = -1;
  SwsContext* scale = nullptr;
  SwrContext* resample = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  VideoFormat out;
  AudioFormat outAudio;
  std::deque<std::vector<uint8_t>> frames;
  std::vector<uint8_t> pcm;
  bool ended = false;

  ~State() {
    sws_freeContext(scale);
    swr_free(&resample);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&video);
    avcodec_free_context(&audio);
    avformat_close_input(&format);
  }

  AVPixelFormat PixelFormat() const {
    if (out.fourCC == FourCC("YV12")) return AV_PIX_FMT_YUV420P;
    if (out.fourCC == FourCC("NV12")) return AV_PIX_FMT_NV12;
    if (out.fourCC == FourCC("YUY2")) return AV_PIX_FMT_YUYV422;
    return out.bitCount == 24 ? AV_PIX_FMT_BGR24 : AV_PIX_FMT_BGR0;
  }

  void ConvertPicture(const AVFrame* in) {
    scale = sws_getCachedContext(scale, in->width, in->height, (AVPixelFormat)in->format, (int)out.width,
                                 (int)out.height, PixelFormat(), SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!scale) return;
    std::vector<uint8_t> f(out.FrameBytes());
    uint8_t* planes[4] = {};
    int steps[4] = {};
    const uint32_t w = out.width, h = out.height;
    if (out.fourCC == FourCC("YV12")) {
      // The picture's U plane goes after the V plane.
      planes[0] = f.data();
      planes[2] = f.data() + (size_t)w * h;
      planes[1] = planes[2] + (size_t)(w / 2) * (h / 2);
      steps[0] = (int)w;
      steps[1] = steps[2] = (int)w / 2;
    } else if (out.fourCC == FourCC("NV12")) {
      planes[0] = f.data();
      planes[1] = f.data() + (size_t)w * h;
      steps[0] = steps[1] = (int)w;
    } else if (out.fourCC == FourCC("YUY2")) {
      planes[0] = f.data();
      steps[0] = (int)w * 2;
    } else {
      // Bottom-up rows.
      const int bpp = (int)out.bitCount / 8;
      planes[0] = f.data() + (size_t)(h - 1) * w * bpp;
      steps[0] = -(int)w * bpp;
    }
    sws_scale(scale, in->data, in->linesize, 0, in->height, planes, steps);
    frames.push_back(std::move(f));
  }

  void ConvertSound(const AVFrame* in) {
    if (!resample) {
      AVChannelLayout outLayout;
      av_channel_layout_default(&outLayout, (int)outAudio.channels);
      if (swr_alloc_set_opts2(&resample, &outLayout, AV_SAMPLE_FMT_S16, (int)outAudio.samplesPerSec,
                              const_cast<AVChannelLayout*>(&in->ch_layout), (AVSampleFormat)in->format, in->sample_rate,
                              0, nullptr) < 0 ||
          swr_init(resample) < 0) {
        swr_free(&resample);
        return;
      }
    }
    const int room = swr_get_out_samples(resample, in->nb_samples);
    if (room <= 0) return;
    const size_t frameBytes = (size_t)outAudio.channels * 2;
    const size_t at = pcm.size();
    pcm.resize(at + (size_t)room * frameBytes);
    uint8_t* outPlanes[1] = {pcm.data() + at};
    const int got = swr_convert(resample, outPlanes, room, (const uint8_t**)in->extended_data, in->nb_samples);
    pcm.resize(at + (size_t)(got > 0 ? got : 0) * frameBytes);
  }

  void Drain(AVCodecContext* c, bool isVideo) {
    while (avcodec_receive_frame(c, frame) == 0) {
      if (isVideo)
        ConvertPicture(frame);
      else
        ConvertSound(frame);
      av_frame_unref(frame);
    }
  }

  // Reads packets until a picture is ready or the file ends.
  void Pump() {
    while (frames.empty() && !ended) {
      if (av_read_frame(format, packet) < 0) {
        ended = true;
        if (video) {
          avcodec_send_packet(video, nullptr);
          Drain(video, true);
        }
        if (audio) {
          avcodec_send_packet(audio, nullptr);
          Drain(audio, false);
        }
        break;
      }
      if (packet->stream_index == videoStream && avcodec_send_packet(video, packet) == 0) Drain(video, true);
      if (audio && packet->stream_index == audioStream && avcodec_send_packet(audio, packet) == 0) Drain(audio, false);
      av_packet_unref(packet);
    }
  }
};

namespace {

AVCodecContext* OpenDecoder(AVFormatContext* format, int stream) {
  const AVCodec* codec = avcodec_find_decoder(format->streams[stream]->codecpar->codec_id);
  if (!codec) return nullptr;
  AVCodecContext* c = avcodec_alloc_context3(codec);
  if (!c || avcodec_parameters_to_context(c, format->streams[stream]->codecpar) < 0 ||
      avcodec_open2(c, codec, nullptr) < 0) {
    avcodec_free_context(&c);
    return nullptr;
  }
  return c;
}

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace

FileSource::FileSource() = default;
FileSource::~FileSource() = default;

bool FileSource::Open(const std::string& path, const VideoFormat& video, const AudioFormat& audio, std::string* error) {
  s_ = std::make_unique<State>();
  s_->out = video;
  s_->outAudio = audio;
  av_log_set_level(AV_LOG_ERROR);
  int r = avformat_open_input(&s_->format, path.c_str(), nullptr, nullptr);
  if (r < 0 || avformat_find_stream_info(s_->format, nullptr) < 0) {
    if (error) *error = path + ": " + (r < 0 ? AvError(r) : "no stream information");
    s_.reset();
    return false;
  }
  s_->videoStream = av_find_best_stream(s_->format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (s_->videoStream < 0 || !(s_->video = OpenDecoder(s_->format, s_->videoStream))) {
    if (error) *error = path + ": no video stream that can be decoded";
    s_.reset();
    return false;
  }
  s_->audioStream = av_find_best_stream(s_->format, AVMEDIA_TYPE_AUDIO, -1, s_->videoStream, nullptr, 0);
  if (s_->audioStream >= 0) s_->audio = OpenDecoder(s_->format, s_->audioStream);
  s_->frame = av_frame_alloc();
  s_->packet = av_packet_alloc();
  return s_->frame && s_->packet;
}

bool FileSource::HasAudio() const { return s_ && s_->audio; }

bool FileSource::NextFrame(std::vector<uint8_t>* frame) {
  if (!s_) return false;
  s_->Pump();
  if (s_->frames.empty()) return false;
  *frame = std::move(s_->frames.front());
  s_->frames.pop_front();
  return true;
}

void FileSource::TakeAudio(std::vector<uint8_t>* pcm) {
  pcm->clear();
  if (s_) pcm->swap(s_->pcm);
}

}  // namespace vorlix::vcam
