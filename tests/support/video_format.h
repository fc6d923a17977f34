// The format a test asks a video pin for: one of the pin's data ranges at a frame duration.
#pragma once

#include <cstring>

#include "platform/ks/ks.h"

namespace vorlix_test {

inline KS_DATAFORMAT_VIDEOINFOHEADER VideoFormatFromRange(const KS_DATARANGE_VIDEO& range,
                                                          REFERENCE_TIME avgTimePerFrame) {
  KS_DATAFORMAT_VIDEOINFOHEADER format{};
  std::memcpy(&format.DataFormat, &range.DataRange, sizeof(KSDATAFORMAT));
  format.DataFormat.FormatSize = sizeof(format);
  format.VideoInfoHeader = range.VideoInfoHeader;
  format.VideoInfoHeader.AvgTimePerFrame = avgTimePerFrame;
  return format;
}

}  // namespace vorlix_test
