#include "platform/board/h264_model.h"

#include <cstring>

extern "C" {
#include <x264.h>
}

namespace platform::board {

struct H264Model::Impl {
  x264_t* encoder = nullptr;
  x264_picture_t picture;
  bool pictureAllocated = false;
  int64_t pts = 0;
  ~Impl() {
    if (pictureAllocated) x264_picture_clean(&picture);
    if (encoder) x264_encoder_close(encoder);
  }
};

H264Model::H264Model() = default;
H264Model::~H264Model() = default;

int H264LevelFor(uint32_t width, uint32_t height, double fps) {
  const double mbs = (double)((width + 15) / 16) * ((height + 15) / 16);
  const double rate = mbs * fps;
  struct Row {
    int level;
    double frame, rate;
  };
  static const Row kLevels[] = {{10, 99, 1485},      {11, 396, 3000},     {12, 396, 6000},     {13, 396, 11880},
                                {20, 396, 11880},    {21, 792, 19800},    {22, 1620, 20250},   {30, 1620, 40500},
                                {31, 3600, 108000},  {32, 5120, 216000},  {40, 8192, 245760},  {42, 8704, 522240},
                                {50, 22080, 589824}, {51, 36864, 983040}, {52, 36864, 2073600}};
  for (const Row& r : kLevels)
    if (mbs <= r.frame && rate <= r.rate) return r.level;
  return 52;
}

bool H264Model::Open(const H264Settings& s) {
  impl_.reset();
  settings_ = s;
  if (s.width < 16 || s.height < 16 || s.width % 2 || s.height % 2 || s.fpsNum == 0 || s.fpsDen == 0) return false;
  x264_param_t p;
  if (x264_param_default_preset(&p, "ultrafast", "zerolatency") < 0) return false;
  p.i_log_level = X264_LOG_NONE;
  p.i_threads = 1;  // the bitstream depends on the thread count
  p.b_sliced_threads = 0;
  p.i_width = (int)s.width;
  p.i_height = (int)s.height;
  p.i_csp = X264_CSP_I420;
  p.i_fps_num = s.fpsNum;
  p.i_fps_den = s.fpsDen;
  p.i_timebase_num = s.fpsDen;
  p.i_timebase_den = s.fpsNum;
  p.b_vfr_input = 0;
  const int gop = s.gop ? (int)s.gop : 1;
  p.i_keyint_max = gop;
  p.i_keyint_min = gop;
  p.i_scenecut_threshold = 0;  // IDRs only where the GOP puts them
  p.b_repeat_headers = 1;
  p.b_annexb = 1;
  p.b_aud = 0;
  p.b_cabac = 1;
  p.i_bframe = 0;
  double fps = (double)s.fpsNum / s.fpsDen;
  p.i_level_idc = s.levelIdc ? s.levelIdc : H264LevelFor(s.width, s.height, fps);
  if (s.constantQp || s.bitRateKbit == 0) {
    p.rc.i_rc_method = X264_RC_CQP;
    uint32_t qp = s.qp == 0 ? 26 : (s.qp > 51 ? 51 : s.qp);
    p.rc.i_qp_constant = (int)qp;
    p.rc.f_ip_factor = 1.0f;  // one quantiser for every slice
  } else {
    p.rc.i_rc_method = X264_RC_ABR;
    p.rc.i_bitrate = (int)s.bitRateKbit;
    p.rc.i_vbv_max_bitrate = (int)s.bitRateKbit;
    p.rc.i_vbv_buffer_size = (int)s.bitRateKbit;
    p.rc.b_filler = 1;  // constant bit rate means filler on easy pictures
  }
  if (x264_param_apply_profile(&p, "high") < 0) return false;
  p.analyse.b_transform_8x8 = 1;  // the tool that makes the stream signal High
  auto impl = std::make_unique<Impl>();
  if (x264_picture_alloc(&impl->picture, X264_CSP_I420, p.i_width, p.i_height) < 0) return false;
  impl->pictureAllocated = true;
  impl->encoder = x264_encoder_open(&p);
  if (!impl->encoder) return false;
  impl_ = std::move(impl);
  return true;
}

bool H264Model::IsOpen() const { return impl_ && impl_->encoder; }

std::vector<uint8_t> H264Model::Encode(const uint8_t* i420, int* frameType) {
  std::vector<uint8_t> au;
  if (!IsOpen()) return au;
  const uint32_t w = settings_.width, h = settings_.height;
  x264_picture_t& in = impl_->picture;
  const uint8_t* planes[3] = {i420, i420 + (size_t)w * h, i420 + (size_t)w * h + (size_t)(w / 2) * (h / 2)};
  const uint32_t widths[3] = {w, w / 2, w / 2}, heights[3] = {h, h / 2, h / 2};
  for (int i = 0; i < 3; ++i)
    for (uint32_t row = 0; row < heights[i]; ++row)
      std::memcpy(in.img.plane[i] + (size_t)row * in.img.i_stride[i], planes[i] + (size_t)row * widths[i], widths[i]);
  in.i_pts = impl_->pts++;
  in.i_type = X264_TYPE_AUTO;
  x264_nal_t* nals = nullptr;
  int count = 0;
  x264_picture_t out;
  if (x264_encoder_encode(impl_->encoder, &nals, &count, &in, &out) < 0) return au;
  for (int i = 0; i < count; ++i) {
    const uint8_t* p = nals[i].p_payload;
    const size_t n = (size_t)nals[i].i_payload;
    // The encoder's own version SEI (user data, payload type 5) says nothing about the
    // stream and carries its option string: left out.
    if (nals[i].i_type == NAL_SEI) {
      size_t start = (n > 4 && p[2] == 1) ? 3 : 4;
      if (n > start + 1 && p[start + 1] == 5) continue;
    }
    au.insert(au.end(), p, p + n);  // the encoder reuses this memory on the next call
  }
  if (frameType)
    *frameType = (out.i_type == X264_TYPE_IDR || out.i_type == X264_TYPE_I) ? 0 : (IS_X264_TYPE_B(out.i_type) ? 2 : 1);
  return au;
}

}  // namespace platform::board
