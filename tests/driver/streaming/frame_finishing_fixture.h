// A device and pins for frame finishing without a board: the device object is built on a
// zeroed block as KS's add does, the pins carry only what the routines read, and the clock
// is the test's.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "tests/support/board_identity.h"
#include "driver/core/device.h"
#include "driver/streaming/capture_pin.h"
#include "driver/streaming/frame_finishing.h"
#include "platform/ks/media.h"

namespace frame_finishing_test {

// A clock that reads what the test set, and moves by `step` after every reading.
struct TestClock : IKsReferenceClock {
  LONGLONG now = 0;
  LONGLONG step = 0;
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  LONGLONG GetTime() override {
    LONGLONG t = now;
    now += step;
    return t;
  }
  LONGLONG GetPhysicalTime() override { return now; }
};

// A video buffer's stream header with its frame information.
struct VideoHeader {
  KSSTREAM_HEADER header;
  KS_FRAME_INFO info;
};

class Device {
 public:
  Device() : block_(new (std::align_val_t(64)) unsigned char[sizeof(CDevice)]) {
    std::memset(block_.get(), 0, sizeof(CDevice));
    device_ = ::new (block_.get()) CDevice();
    ksDevice_.Context = device_;
    device_->m_pPciIdentity = &identity_;
    identity_ = test_support::Kind(BOARD_KIND_ENCODER);
    device_->m_nAnalogVideoDecoderStatus = 1;  // a signal
  }
  ~Device() { device_->~CDevice(); }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  CDevice* operator->() { return device_; }
  CDevice* get() { return device_; }
  PKSDEVICE ks() { return &ksDevice_; }
  void SetKind(BoardKind kind) { identity_ = test_support::Kind(kind); }

 private:
  struct Deleter {
    void operator()(unsigned char* p) const { ::operator delete[](p, std::align_val_t(64)); }
  };
  std::unique_ptr<unsigned char[], Deleter> block_;
  CDevice* device_ = nullptr;
  KSDEVICE ksDevice_{};
  PCI_IDENTITY identity_{};
};

// A video pin of the given format on the device.
struct VideoPin {
  VideoPinContext c{};
  KSPIN pin{};
  TestClock clock;

  VideoPin(Device& d, ULONG streamIndex, ULONG width, ULONG height, ULONG bitCount, const char (&fourcc)[5] = "YUY2",
           bool withClock = true) {
    pin.StreamHeaderSize = sizeof(VideoHeader);
    c.pKsPin = &pin;
    c.pKsDevice = d.ks();
    c.nStreamIndex = streamIndex;
    c.nWidth = width;
    c.nHeight = height;
    c.nStride = width;
    c.nBitCount = bitCount;
    c.nCompression = MakeFourCC(fourcc);
    c.bResync = 1;
    if (withClock) c.pClock = &clock;
  }

  // Finishes one buffer as the push does (frame address = the buffer, byte count 0,
  // picture number 0, no flush) unless told otherwise.
  VideoHeader Fill(std::vector<UCHAR>& buffer, ULONG length = 0, UCHAR flush = 0, ULONG arrivedUsed = 0,
                   ULONGLONG picture = 0) {
    VideoHeader h{};
    h.header.Size = sizeof(h);
    h.header.FrameExtent = (ULONG)buffer.size();
    h.header.Data = buffer.data();
    h.header.DataUsed = arrivedUsed;
    CCapturePin::FillVideoFrame(&c, buffer.data(), length, 0, buffer.data(), (ULONG)buffer.size(), picture, flush,
                                &h.header);
    return h;
  }
};

struct AudioPin {
  AudioPinContext c{};
  KSPIN pin{};
  TestClock clock;

  AudioPin(Device& d, ULONG streamIndex, ULONG channels = 2, ULONG rate = 48000, bool withClock = true) {
    pin.StreamHeaderSize = sizeof(KSSTREAM_HEADER);
    c.pKsPin = &pin;
    c.pKsDevice = d.ks();
    c.nStreamIndex = streamIndex;
    c.nChannels = channels;
    c.nBitsPerSample = 16;
    c.nSamplesPerSec = rate;
    c.bResync = 1;
    if (withClock) c.pClock = &clock;
  }

  KSSTREAM_HEADER Fill(std::vector<UCHAR>& buffer, ULONGLONG picture = 0, ULONG length = 0, bool withData = true) {
    KSSTREAM_HEADER h{};
    h.Size = sizeof(h);
    h.FrameExtent = (ULONG)buffer.size();
    PUCHAR data = withData ? buffer.data() : nullptr;
    h.Data = data;
    CCapturePin::FillAudioFrame(&c, data, length, 0, data, (ULONG)buffer.size(), picture, 0, &h);
    return h;
  }
};

}  // namespace frame_finishing_test
