// What the property-page plug-in relies on of the custom set, line by line, through the
// I/O control as a program sends it: a 24-byte KSPROPERTY and a 4-byte value, answered
// with an HRESULT.
#include <gtest/gtest.h>

#include <vector>

#include "tests/driver/properties/custom_property_fixture.h"

namespace vorlix_test {
namespace {

class PluginContractTest : public CustomPropertyTest {
 protected:
  LONG Request(ULONG id, ULONG flags, ULONG* value, ULONG length = 4, ULONG* returned = nullptr) {
    KSPROPERTY p = {KSPROPSETID_CustomDevice, id, flags};
    ULONG r = 0;
    LONG hr = AroundBracket(id, [&] {
      return client_->SynchronousDeviceControl(filter_, IOCTL_KS_PROPERTY, &p, sizeof(p), value, length, &r);
    });
    if (returned) *returned = r;
    return hr;
  }
  ULONG DoGet(ULONG id) {
    ULONG v = 0xDEADBEEF, returned = 0;
    EXPECT_EQ(Request(id, KSPROPERTY_TYPE_GET, &v, 4, &returned), ks::kSOk) << "get " << id;
    EXPECT_EQ(returned, 4u);
    return v;
  }
  void DoSet(ULONG id, ULONG v) { EXPECT_EQ(Request(id, KSPROPERTY_TYPE_SET, &v), ks::kSOk) << "set " << id; }
};

enum Dirs { kGet = 1, kSet = 2, kBoth = 3 };
struct Line {
  ULONG id;
  Dirs dirs;
  ULONG set;                    // the value a both-ways line sets
  ULONG (*expected)(CDevice*);  // what the get returns afterwards (or, get only, at all)
  ULONG (*stored)(CDevice*);    // the stored word, when the line says how it is stored
  ULONG storedValue;
};
#define V(x) [](CDevice*) -> ULONG { return x; }
#define D(expr) [](CDevice* d) -> ULONG { return expr; }

const Line kLines[] = {
    {0, kGet, 0, V(0x56781234), nullptr, 0},
    {2, kGet, 0, D(d->m_nBoardIndex), nullptr, 0},
    {6, kGet, 0, D(d->m_nSiliconTunerType), nullptr, 0},
    {9, kGet, 0, V(0x3), nullptr, 0},
    {201, kBoth, 3, V(0), D(d->m_nAnalogCrossbarVideoInput), 0},  // input 3 selects video 0 on this board
    {204, kBoth, 0x800001FF, V(0x800001FF), D(d->m_nAnalogVideoProcAmpGain[0]), 0x880001FF},
    {208, kBoth, 60, V(60), D(d->m_nAnalogVideoFrameRate), 60},
    {209, kBoth, 1, V(1), D(d->m_nAnalogVideoScaleOutput), 1},
    {210, kBoth, 1920u << 16 | 1080, V(1920u << 16 | 1080), D(d->m_nAnalogVideoResolution), 1920u << 16 | 1080},
    {214, kBoth, 1, V(1), D(d->m_nAnalogVideo720Output), 1},
    {215, kBoth, 1, V(1), D(d->m_nAnalogVideoUStreamPatch), 1},
    {218, kBoth, 1, V(1), D(d->m_nAnalogVideoFlexibleFpsPatch), 1},
    {219, kBoth, 0x8800003F, V(0x8000003F), D(d->m_nAnalogVideoAutoPhaseType[0]), 0x8800003F},
    {220, kBoth, 1, V(1), D(d->m_nAnalogVideoFlexibleResolutionPatch), 1},
    {221, kBoth, 7, V(0xDEADBEEF), nullptr, 0},  // the get leaves the buffer as it was
    {222, kBoth, 7, V(0xDEADBEEF), nullptr, 0},
    {223, kGet, 0, D(d->m_nAnalogVideoInterleaved), nullptr, 0},
    {224, kBoth, 6, V(6), D(d->m_nAnalogVideoVgaAspectRatio), 6},
    {225, kBoth, 1366, V(1366), D(d->m_nAnalogVideoVgaHActive), 1366},
    {230, kGet, 0, D(d->m_nCloneFilters ? d->m_nAnalogVideoDecoderStatus : d->m_nAnalogVideoDecoderStatus & 1), nullptr,
     0},
    {231, kBoth, 0x21101, V(0x21101), D(d->m_nAnalogVideoColorRange), 0x21101},
    {232, kBoth, 0x12345, V(0x12345), D(d->m_nAnalogCrossbarVideoInputAutoScan), 0x12345},
    {233, kBoth, 1283u << 16 | 723, V(1280u << 16 | 722), D(d->m_nAnalogVideoCustomizedResolution), 1280u << 16 | 722},
    {234, kBoth, 1, V(1), D(d->m_nAnalogVideoSog), 1},
    {238, kBoth, 1, V(1), D(d->m_nAnalogVideoSkypePatch), 1},
    {240, kBoth, 2, V(2), D(d->m_nAnalogVideoInputEq), 2},
    {241, kGet, 0, V(0), nullptr, 0},
    {242, kBoth, 3840u << 16 | 2160, V(3840u << 16 | 2160), D(d->m_nAnalogVideoMaximalResolution), 3840u << 16 | 2160},
    {244, kBoth, 0x80000001, V(0x00000001), D(d->m_nAnalogVideoVerticalMirror[0]), 0x80000001},
    {245, kBoth, 1, V(1), D(d->m_nAnalogVideoHorizontalMirror[0]), 1},
    {248, kBoth, 5, V(5), D(d->m_nAnalogVideoInputBandwidth), 5},
    {251, kBoth, 300, V(300), D(d->m_nAnalogAudioVolume), 300},
    {253, kBoth, 44100, V(44100), D(d->m_nAnalogAudioSampleFrequency), 44100},
    {255, kBoth, 4, V(4), D(d->m_nAnalogCrossbarAudioInput), 4},
    {270, kBoth, 2, V(1), D(d->m_nSpecialCameraInput), 1},
    {271, kGet, 0, D(d->m_nAnalogVideoSdiSingalStatus), nullptr, 0},
    {272, kBoth, 1, V(1), D(d->m_nAnalogVideoDirectDMA), 1},
    {273, kBoth, 1, V(1), D(d->m_nAnalogVideoSubEncoderEnable), 1},
    {274, kGet, 0, V(30), nullptr, 0},
    {275, kBoth, 0x88000002, V(2), D(d->m_nAnalogVideoScaleType[0]), 0x88000002},
    {276, kBoth, 1, V(1), D(d->m_nCompanyQuorin), 1},
    {277, kBoth, 1, V(1), D(d->m_nAnalogVideoHotPlugEnable), 1},
    {278, kBoth, 1, V(1), D(d->m_nAnalogVideoRGBColorConvertColorRange), 1},
    {279, kBoth, 1, V(1), D(d->m_nAnalogVideoHVSyncDelay), 1},
    {351, kGet, 0, D(d->m_nPreviewVideoFrameCounts[0]), nullptr, 0},
    {361, kGet, 0, D(d->m_nPreviewAudioFrameCounts[0]), nullptr, 0},
    {370, kGet, 0, V(0), nullptr, 0},
    {371, kGet, 0, V(0), nullptr, 0},
    {401, kBoth, 1280u << 12 | 720, V(1280u << 12 | 720), D(d->m_nEncoderVideoResolution[0]),
     0x08000000u | 1280u << 12 | 720},
    {402, kBoth, 1, V(1), D(d->m_nEncoderVideoSkipFrameRate[0]), 0x08000001},
    {403, kBoth, 6000000, V(6000000), D(d->m_nEncoderVideoBitRate[0]), 0x08000000u | 6000000},
    {404, kBoth, 8000, V(8000), D(d->m_nAnalogVideoCompressionQuality[0]), 0x08000000u | 8000},
    {405, kBoth, 60, V(60), D(d->m_nAnalogVideoCompressionKeyframeRate[0]), 0x08000000u | 60},
    {406, kSet, 1, nullptr, D(d->m_nAnalogVideoCompressionOverrideKeyframe[0]), 1},
    {407, kBoth, 2, V(2), D(d->m_nEncoderVideoBitRateMode[0]), 0x08000002},
    {409, kBoth, 12000000, V(12000000), D(d->m_nEncoderVideoPeakBitRate[0]), 0x08000000u | 12000000},
    {410, kBoth, 1000000, V(1000000), D(d->m_nEncoderVideoTroughQuality[0]), 0x08000000u | 1000000},
    {411, kBoth, 2, V(2), D(d->m_nEncoderVideoBframesPerKeyframe[0]), 0x08000002},
    {412, kBoth, 1, V(1), D(d->m_nEncoderVideoProfile[0]), 0x08000001},
    {413, kBoth, 16u << 16 | 9, V(16u << 16 | 9), D(d->m_nEncoderVideoAspectRatio[0]), 0x08000000u | 16u << 16 | 9},
    {414, kBoth, 41, V(41), D(d->m_nEncoderVideoLevel[0]), 0x08000029},
    {415, kBoth, 2, V(2), D(d->m_nEncoderVideoEntropy[0]), 0x08000002},
    {422, kBoth, 15, V(15), D(d->m_nEncoderVideoAvgFrameRate[0]), 0x0800000F},
    {430, kGet, 0, D(d->m_nEncoderVideoFrameCounts[0]), nullptr, 0},
    {950, kSet, 5, nullptr, nullptr, 0},
    {951, kSet, 5, nullptr, nullptr, 0},
    {952, kBoth, 5, V(0), nullptr, 0},
    {953, kSet, 5, nullptr, nullptr, 0},
    {954, kSet, 5, nullptr, nullptr, 0},
    {955, kSet, 5, nullptr, nullptr, 0},
    {956, kBoth, 5, V(0), nullptr, 0},
};
#undef V
#undef D

TEST_F(PluginContractTest, EveryLineThroughTheIoControl) {
  Start();
  CDevice* d = Dev();
  d->m_nAnalogVideoResolution = 1920u << 16 | 1080;
  d->m_nAnalogVideoFrameRate = 60;
  d->m_nPreviewVideoFrameCounts[0] = 11;
  d->m_nEncoderVideoFrameCounts[0] = 12;
  d->m_nAnalogVideoDecoderStatus = 3;
  for (const Line& l : kLines) {
    SCOPED_TRACE(l.id);
    ULONG v = 0x5A5A5A5A;
    LONG refused = ks::HResultFromWin32(ks::kErrorNotFound);
    if (!(l.dirs & kGet)) {
      EXPECT_EQ(Request(l.id, KSPROPERTY_TYPE_GET, &v), refused);
    }
    if (!(l.dirs & kSet)) {
      EXPECT_EQ(Request(l.id, KSPROPERTY_TYPE_SET, &v), refused);
    }
    EXPECT_EQ(v, 0x5A5A5A5Au);  // a refusal leaves the caller's value alone
    if (l.dirs & kSet) DoSet(l.id, l.set);
    if (l.stored) {
      EXPECT_EQ(l.stored(d), l.storedValue);
    }
    if (l.dirs & kGet) {
      EXPECT_EQ(DoGet(l.id), l.expected(d));
    }
  }
}

TEST_F(PluginContractTest, RefusalsAndTheSizeQueryAsAnApplicationSeesThem) {
  Start();
  ULONG v = 0x77, returned = 99;
  EXPECT_EQ(Request(12, KSPROPERTY_TYPE_GET, &v), ks::HResultFromWin32(ks::kErrorNotFound));
  EXPECT_EQ(v, 0x77u);
  EXPECT_EQ(Request(0, KSPROPERTY_TYPE_GET, nullptr, 0, &returned), ks::HResultFromWin32(ks::kErrorMoreData));
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(Request(206, KSPROPERTY_TYPE_GET, &v, 4), ks::HResultFromWin32(ks::kErrorInsufficientBuffer));
  EXPECT_EQ(v, 0x77u);
  KSPROPERTY p = {GUID_NULL, 0, KSPROPERTY_TYPE_GET};
  EXPECT_EQ(client_->SynchronousDeviceControl(filter_, IOCTL_KS_PROPERTY, &p, sizeof(p), &v, 4, &returned),
            ks::HResultFromWin32(ks::kErrorSetNotFound));
}

}  // namespace
}  // namespace vorlix_test
