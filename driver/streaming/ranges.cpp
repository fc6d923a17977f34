// The data-range records and their tables, built by rule when the driver is loaded.
#include "driver/streaming/ranges.h"

#include "driver/streaming/guids.h"

namespace {

struct FormatInfo {
  ULONG fourcc;  // 0: an RGB format (its own sub-format, biCompression 0)
  USHORT bitCount;
  const GUID* rgbSubtype;
};

const FormatInfo kFormats[] = {
    {MakeFourCC("YV12"), 12, nullptr}, {MakeFourCC("NV12"), 12, nullptr}, {MakeFourCC("YUY2"), 16, nullptr},
    {MakeFourCC("UYVY"), 16, nullptr}, {MakeFourCC("Y41P"), 12, nullptr}, {MakeFourCC("H264"), 24, nullptr},
    {MakeFourCC("X264"), 24, nullptr}, {MakeFourCC("XVID"), 24, nullptr}, {0, 24, &MEDIASUBTYPE_RGB24},
    {0, 32, &MEDIASUBTYPE_RGB32},
};

constexpr ULONG kStandard525 = KS_AnalogVideo_NTSC_M | KS_AnalogVideo_NTSC_M_J | KS_AnalogVideo_NTSC_433 |
                               KS_AnalogVideo_PAL_M | KS_AnalogVideo_PAL_60;
constexpr ULONG kStandard625 =
    (KS_AnalogVideo_PALMask & ~(KS_AnalogVideo_PAL_M | KS_AnalogVideo_PAL_60)) | KS_AnalogVideo_SECAMMask;
static_assert(kStandard525 == 0xA07);
static_assert(kStandard625 == 0x1FF5F0);

// Frame intervals (100 ns) and the rates, in hundredths of a frame per second, that they
// count as.
constexpr LONGLONG kInterval30[2] = {333667, 400000};
constexpr LONGLONG kInterval60[2] = {166833, 200000};
constexpr ULONGLONG kRate30x100[2] = {2997, 2500};
constexpr ULONGLONG kRate60x100[2] = {5994, 5000};

// A rate that does not fit the 32-bit field is advertised as the largest value rather
// than reduced modulo 2^32 (which would put the maximum below the minimum).
ULONG Saturate32(ULONGLONG value) { return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : (ULONG)value; }

}  // namespace

void BuildVideoRange(const VideoRangeInputs& in, KS_DATARANGE_VIDEO* r) {
  const FormatInfo& f = kFormats[in.format];
  const int s = in.standard == LINES_525 ? 0 : 1;
  RtlZeroMemory(r, sizeof(*r));
  ULONG sampleSize = (ULONG)in.width * in.height * f.bitCount / 8;
  r->DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
  r->DataRange.SampleSize = sampleSize;
  r->DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  r->DataRange.SubFormat = f.rgbSubtype ? *f.rgbSubtype : FourCCSubtype(f.fourcc);
  r->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  r->bFixedSizeSamples = 1;
  r->bTemporalCompression = 1;
  r->StreamDescriptionFlags = KS_VIDEOSTREAM_CAPTURE;

  KS_VIDEO_STREAM_CONFIG_CAPS& caps = r->ConfigCaps;
  caps.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  caps.VideoStandard = s == 0 ? kStandard525 : kStandard625;
  const KS_SIZE size = {in.width, in.height};
  caps.InputSize = caps.MinCroppingSize = caps.MaxCroppingSize = caps.MinOutputSize = caps.MaxOutputSize = size;
  caps.CropGranularityX = caps.CropGranularityY = 1;
  caps.CropAlignX = caps.CropAlignY = 1;
  caps.OutputGranularityX = caps.OutputGranularityY = 1;
  caps.MinFrameInterval = in.interval == IC_30_ONLY ? kInterval30[s] : kInterval60[s];
  caps.MaxFrameInterval = in.interval == IC_60_ONLY ? kInterval60[s] : kInterval30[s];
  const ULONGLONG bitsPerFrame = (ULONGLONG)in.width * in.height * f.bitCount;
  const ULONGLONG slowRate = in.interval == IC_60_ONLY ? kRate60x100[s] : kRate30x100[s];
  const ULONGLONG fastRate = in.interval == IC_30_ONLY ? kRate30x100[s] : kRate60x100[s];
  caps.MinBitsPerSecond = (LONG)Saturate32(bitsPerFrame * slowRate / 100);
  caps.MaxBitsPerSecond = (LONG)Saturate32(bitsPerFrame * fastRate / 100);

  KS_VIDEOINFOHEADER& vih = r->VideoInfoHeader;
  vih.dwBitRate = Saturate32(bitsPerFrame * kRate60x100[s] / 100);
  vih.AvgTimePerFrame = kInterval60[s];
  vih.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  vih.bmiHeader.biWidth = in.width;
  vih.bmiHeader.biHeight = in.height;
  vih.bmiHeader.biPlanes = 1;
  vih.bmiHeader.biBitCount = f.bitCount;
  vih.bmiHeader.biCompression = f.fourcc;
  vih.bmiHeader.biSizeImage = sampleSize;
}

PKSDATARANGE VideoRangeTable[VIDEO_RANGE_TABLE_ENTRIES];
PKSDATARANGE EncoderRangeTable[ENCODER_RANGE_TABLE_ENTRIES];
PKSDATARANGE RangeBlocks[RANGE_BLOCKS][RANGE_BLOCK_ENTRIES];
PKSDATARANGE* const AltVideoRangeList = &RangeBlocks[RANGE_BLOCK_ALT][0];
PKSDATARANGE* const AltAudioRangeList = &RangeBlocks[RANGE_BLOCK_ALT][VIDEO_RANGE_TABLE_ENTRIES];

KSDATARANGE_AUDIO AudioRange44100;
KSDATARANGE_AUDIO AudioRangeMono8Bit8k;
KSDATARANGE_AUDIO AudioRangeMono16Bit16k;
KSDATARANGE_AUDIO AudioRangeStereo16Bit16k;
KSDATARANGE AnalogAudioRange;

namespace {

// One line of a table: a pair of records (525-line size, 625-line size; a single size
// stands for both), or a pair of entries already in the table (reuse >= 0).
struct PairRow {
  VideoFormat format;
  USHORT w525, h525, w625, h625;
  IntervalClass interval;
  int reuse = -1;
};

constexpr PairRow P(VideoFormat f, USHORT w, USHORT h, IntervalClass c = IC_FULL) { return {f, w, h, w, h, c}; }
constexpr PairRow P(VideoFormat f, USHORT w, USHORT h5, USHORT h6, IntervalClass c = IC_FULL) {
  return {f, w, h5, w, h6, c};
}
constexpr PairRow Reuse(int entry) { return {VF_YV12, 0, 0, 0, 0, IC_FULL, entry}; }

// The ten sizes of the default list's YV12 and H264 parts; the classes are the H264 ones.
constexpr PairRow kDefaultSizes[] = {
    P(VF_YV12, 704, 480, 576, IC_30_ONLY),
    P(VF_YV12, 180, 120, 144),
    P(VF_YV12, 360, 240, 288),
    P(VF_YV12, 720, 480, 576, IC_30_ONLY),
    P(VF_YV12, 320, 180),
    P(VF_YV12, 480, 270),
    P(VF_YV12, 640, 360),
    P(VF_YV12, 960, 540),
    P(VF_YV12, 1280, 720, IC_30_ONLY),
    P(VF_YV12, 1920, 1080, IC_30_ONLY),
};
constexpr PairRow kX264Default[] = {
    P(VF_X264, 352, 240, 288),
    P(VF_X264, 180, 120, 144),
    P(VF_X264, 360, 240, 288),
    P(VF_X264, 720, 480, 576, IC_30_ONLY),
    P(VF_X264, 320, 180),
    P(VF_X264, 480, 270),
    P(VF_X264, 640, 360, IC_60_ONLY),
    P(VF_X264, 960, 540, IC_30_ONLY),
    P(VF_X264, 1280, 720, IC_30_ONLY),
};
constexpr VideoFormat kFullHdSet[] = {VF_YUY2, VF_YV12, VF_NV12, VF_RGB24, VF_RGB32, VF_H264};
constexpr PairRow kYuy2List[] = {
    P(VF_YUY2, 160, 120, 144),
    P(VF_YUY2, 320, 180),
    P(VF_YUY2, 320, 240),
    P(VF_YUY2, 352, 240, 288),
    P(VF_YUY2, 640, 360),
    P(VF_YUY2, 640, 480),
    P(VF_YUY2, 720, 240, 288, IC_60_ONLY),
    P(VF_YUY2, 720, 480, 576),
    P(VF_YUY2, 768, 480, 576),
    P(VF_YUY2, 800, 448),
    P(VF_YUY2, 800, 600),
    P(VF_YUY2, 1024, 576),
    P(VF_YUY2, 1024, 768),
    P(VF_YUY2, 1280, 720),
    P(VF_YUY2, 1280, 768),
    P(VF_YUY2, 1280, 800),
    P(VF_YUY2, 1280, 960),
    P(VF_YUY2, 1280, 1024),
    P(VF_YUY2, 1360, 768),
    P(VF_YUY2, 1440, 900),
    P(VF_YUY2, 1400, 1050),
    P(VF_YUY2, 1440, 1080),
    P(VF_YUY2, 1680, 1050),
    P(VF_YUY2, 1920, 1080),
    Reuse(58),
};
constexpr PairRow kYv12List[] = {
    P(VF_YV12, 320, 180),
    P(VF_YV12, 320, 240),
    P(VF_YV12, 640, 360),
    P(VF_YV12, 640, 480),
    P(VF_YV12, 720, 480, 576),
    P(VF_YV12, 800, 448),
    P(VF_YV12, 1024, 576),
    P(VF_YV12, 1280, 720),
    P(VF_YV12, 1360, 768),
    P(VF_YV12, 1920, 1080),
    Reuse(60),
};
// The NV12 sizes, shared by the NV12, RGB32 and RGB24 lists.
constexpr PairRow kNv12Sizes[] = {
    P(VF_NV12, 320, 240),  P(VF_NV12, 640, 480),  P(VF_NV12, 720, 480, 576),
    P(VF_NV12, 1280, 720), P(VF_NV12, 1360, 768), P(VF_NV12, 1920, 1080),
};
constexpr PairRow kH264List[] = {
    P(VF_H264, 704, 480, 576, IC_30_ONLY),
    P(VF_H264, 720, 480, 576, IC_30_ONLY),
    P(VF_H264, 1280, 720, IC_30_ONLY),
    P(VF_H264, 1920, 1080, IC_30_ONLY),
    Reuse(68),
};
constexpr PairRow kEncoderInputList[] = {P(VF_H264, 704, 480, 576, IC_30_ONLY), P(VF_H264, 720, 480, 576, IC_30_ONLY)};
constexpr PairRow kEncoderRangeRows[] = {
    P(VF_XVID, 704, 480, 576, IC_30_ONLY), P(VF_XVID, 352, 240, 288), P(VF_XVID, 704, 240, 288, IC_60_ONLY),
    P(VF_H264, 704, 480, 576, IC_30_ONLY), P(VF_H264, 352, 240, 288), P(VF_H264, 704, 240, 288, IC_60_ONLY),
};

// Lists of single records that device start installs.
struct ListEntry {
  VideoFormat format;
  USHORT width, height;
  LineStandard standard;
  IntervalClass interval;
};
#define PAIR(f, w, h5, h6, c) \
  {f, w, h5, LINES_525, c}, { f, w, h6, LINES_625, c }
constexpr ListEntry kList525[] = {
    {VF_YUY2, 720, 480, LINES_525, IC_FULL}, {VF_YUY2, 704, 480, LINES_525, IC_FULL},
    {VF_YUY2, 640, 480, LINES_525, IC_FULL}, {VF_YUY2, 360, 240, LINES_525, IC_FULL},
    {VF_YUY2, 352, 240, LINES_525, IC_FULL}, {VF_YUY2, 320, 240, LINES_525, IC_FULL},
    {VF_YUY2, 256, 240, LINES_525, IC_FULL},
};
constexpr ListEntry kList625[] = {
    {VF_YUY2, 720, 576, LINES_625, IC_FULL}, {VF_YUY2, 704, 576, LINES_625, IC_FULL},
    {VF_YUY2, 640, 576, LINES_625, IC_FULL}, {VF_YUY2, 360, 288, LINES_625, IC_FULL},
    {VF_YUY2, 352, 288, LINES_625, IC_FULL}, {VF_YUY2, 320, 288, LINES_625, IC_FULL},
    {VF_YUY2, 256, 288, LINES_625, IC_FULL},
};
constexpr ListEntry kListE10[] = {
    PAIR(VF_UYVY, 704, 480, 576, IC_FULL),    PAIR(VF_UYVY, 352, 240, 288, IC_FULL),
    PAIR(VF_XVID, 704, 480, 576, IC_30_ONLY), PAIR(VF_XVID, 352, 240, 288, IC_FULL),
    PAIR(VF_XVID, 704, 240, 288, IC_60_ONLY),
};
constexpr ListEntry kListE24[] = {
    PAIR(VF_UYVY, 704, 480, 576, IC_FULL),    PAIR(VF_UYVY, 352, 240, 288, IC_FULL),
    PAIR(VF_YUY2, 704, 480, 576, IC_FULL),    PAIR(VF_YUY2, 352, 240, 288, IC_FULL),
    PAIR(VF_H264, 704, 480, 576, IC_30_ONLY), PAIR(VF_H264, 720, 480, 576, IC_30_ONLY),
    PAIR(VF_H264, 640, 480, 576, IC_30_ONLY), PAIR(VF_H264, 720, 240, 288, IC_60_ONLY),
    PAIR(VF_H264, 704, 240, 288, IC_60_ONLY), PAIR(VF_H264, 640, 240, 288, IC_60_ONLY),
    PAIR(VF_H264, 352, 240, 288, IC_FULL),    PAIR(VF_H264, 320, 240, 288, IC_FULL),
};
constexpr ListEntry kListH12[] = {
    PAIR(VF_YV12, 704, 480, 576, IC_FULL),    PAIR(VF_YV12, 352, 240, 288, IC_FULL),
    PAIR(VF_H264, 704, 480, 576, IC_30_ONLY), PAIR(VF_H264, 704, 240, 288, IC_60_ONLY),
    PAIR(VF_H264, 352, 240, 288, IC_FULL),    PAIR(VF_X264, 352, 240, 288, IC_FULL),
};
constexpr ListEntry kListCustomer12[] = {
    PAIR(VF_YUY2, 720, 480, 576, IC_FULL), PAIR(VF_YUY2, 704, 480, 576, IC_FULL), PAIR(VF_YUY2, 640, 480, 576, IC_FULL),
    PAIR(VF_YUY2, 360, 240, 288, IC_FULL), PAIR(VF_YUY2, 352, 240, 288, IC_FULL), PAIR(VF_YUY2, 320, 240, 288, IC_FULL),
};
// The largest records, 3840 x 2160 in every format the capture pins know.
constexpr ListEntry kUltraHd[] = {
    PAIR(VF_YUY2, 3840, 2160, 2160, IC_FULL),  PAIR(VF_YV12, 3840, 2160, 2160, IC_FULL),
    PAIR(VF_H264, 3840, 2160, 2160, IC_FULL),  PAIR(VF_X264, 3840, 2160, 2160, IC_FULL),
    PAIR(VF_RGB32, 3840, 2160, 2160, IC_FULL), PAIR(VF_RGB24, 3840, 2160, 2160, IC_FULL),
    PAIR(VF_NV12, 3840, 2160, 2160, IC_FULL),  PAIR(VF_Y41P, 3840, 2160, 2160, IC_FULL),
    PAIR(VF_UYVY, 3840, 2160, 2160, IC_FULL),
};
#undef PAIR

struct ListTable {
  const ListEntry* entries;
  ULONG count;
};
template <size_t N>
constexpr ListTable L(const ListEntry (&a)[N]) {
  return {a, (ULONG)N};
}
const ListTable kLists[RANGE_LIST_COUNT] = {L(kList525), L(kList625), L(kListE10),
                                            L(kListE24), L(kListH12), L(kListCustomer12)};

constexpr ULONG kMaxVideoRecords = 512;
KS_DATARANGE_VIDEO g_videoRecords[kMaxVideoRecords];
ULONG g_videoRecordCount;
ULONG g_codeOnlyFirst;  // records from here on are referenced only from code

// The six middle records of each range block.
struct MiddleRecords {
  KSDATARANGE_AUDIO pcmMono;
  KSDATARANGE_AUDIO pcmStereo;
  KS_DATARANGE_VIDEO_VBI vbi625;
  KS_DATARANGE_VIDEO_VBI vbi525;
  KSDATARANGE encoderOutput1;
  KSDATARANGE encoderOutput2;
};
MiddleRecords g_middle[RANGE_BLOCKS];

PKSDATARANGE NewRecord(const VideoRangeInputs& in) {
  if (g_videoRecordCount >= kMaxVideoRecords) return nullptr;
  KS_DATARANGE_VIDEO* r = &g_videoRecords[g_videoRecordCount++];
  BuildVideoRange(in, r);
  return &r->DataRange;
}

// Appends a pair (or reused pair) to table at *at.
void AddPair(PKSDATARANGE* table, ULONG* at, const PairRow& row, VideoFormat format) {
  if (row.reuse >= 0) {
    table[(*at)++] = table[row.reuse];
    table[(*at)++] = table[row.reuse + 1];
    return;
  }
  table[(*at)++] = NewRecord({format, row.w525, row.h525, LINES_525, row.interval});
  table[(*at)++] = NewRecord({format, row.w625, row.h625, LINES_625, row.interval});
}
template <size_t N>
void AddRows(PKSDATARANGE* table, ULONG* at, const PairRow (&rows)[N]) {
  for (const PairRow& row : rows) AddPair(table, at, row, row.format);
}
template <size_t N>
void AddRowsAs(PKSDATARANGE* table, ULONG* at, const PairRow (&rows)[N], VideoFormat format, bool keepClass) {
  for (PairRow row : rows) {
    if (!keepClass) row.interval = IC_FULL;
    AddPair(table, at, row, format);
  }
}

void BuildAudioRange(KSDATARANGE_AUDIO* r, ULONG channels, ULONG bits, ULONG rate) {
  RtlZeroMemory(r, sizeof(*r));
  r->DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
  r->DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  r->DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  r->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  r->MaximumChannels = channels;
  r->MinimumBitsPerSample = r->MaximumBitsPerSample = bits;
  r->MinimumSampleFrequency = r->MaximumSampleFrequency = rate;
}

void BuildPlainRange(KSDATARANGE* r, const GUID& major, const GUID& sub, const GUID& specifier, ULONG sampleSize) {
  RtlZeroMemory(r, sizeof(*r));
  r->FormatSize = sizeof(KSDATARANGE);
  r->SampleSize = sampleSize;
  r->MajorFormat = major;
  r->SubFormat = sub;
  r->Specifier = specifier;
}

void BuildVbiRange(KS_DATARANGE_VIDEO_VBI* r, bool lines625) {
  RtlZeroMemory(r, sizeof(*r));
  const ULONG lines = lines625 ? 18 : 12;
  const ULONG buffer = 1440 * lines;
  r->DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO_VBI);
  r->DataRange.SampleSize = buffer;
  r->DataRange.MajorFormat = KSDATAFORMAT_TYPE_VBI;
  r->DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_RAW8;
  r->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VBI;
  r->bFixedSizeSamples = 1;
  r->bTemporalCompression = 1;
  r->StreamDescriptionFlags = KS_VIDEOSTREAM_VBI;
  KS_VIDEO_STREAM_CONFIG_CAPS& caps = r->ConfigCaps;
  caps.guid = KSDATAFORMAT_SPECIFIER_VBI;
  caps.VideoStandard = lines625 ? KS_AnalogVideo_PAL_B : KS_AnalogVideo_NTSC_M;
  const KS_SIZE size = {1440, (LONG)lines};
  caps.InputSize = caps.MinCroppingSize = caps.MaxCroppingSize = caps.MinOutputSize = caps.MaxOutputSize = size;
  caps.MinFrameInterval = caps.MaxFrameInterval = lines625 ? 200000 : 166833;
  caps.MinBitsPerSecond = caps.MaxBitsPerSecond = lines625 ? 10368000 : 8156160;
  KS_VBIINFOHEADER& vbi = r->VBIInfoHeader;
  vbi.StartLine = lines625 ? 6 : 10;
  vbi.EndLine = lines625 ? 23 : 21;
  vbi.SamplingFrequency = 27000000;
  vbi.MinLineStartTime = 1000;
  vbi.MaxLineStartTime = 1300;
  vbi.ActualLineStartTime = 1100;
  vbi.ActualLineEndTime = 6300;
  vbi.VideoStandard = caps.VideoStandard;
  vbi.SamplesPerLine = 1440;
  vbi.StrideInBytes = 1440;
  vbi.BufferSize = buffer;
}

bool Matches(const KS_DATARANGE_VIDEO* r, const VideoRangeInputs& in) {
  KS_DATARANGE_VIDEO probe;
  BuildVideoRange(in, &probe);
  return r->DataRange.SubFormat == probe.DataRange.SubFormat &&
         r->VideoInfoHeader.bmiHeader.biWidth == probe.VideoInfoHeader.bmiHeader.biWidth &&
         r->VideoInfoHeader.bmiHeader.biHeight == probe.VideoInfoHeader.bmiHeader.biHeight &&
         r->ConfigCaps.VideoStandard == probe.ConfigCaps.VideoStandard &&
         r->ConfigCaps.MinFrameInterval == probe.ConfigCaps.MinFrameInterval &&
         r->ConfigCaps.MaxFrameInterval == probe.ConfigCaps.MaxFrameInterval;
}

bool IsVideoRecord(PKSDATARANGE range) {
  const char* p = reinterpret_cast<const char*>(range);
  return p >= reinterpret_cast<const char*>(g_videoRecords) &&
         p < reinterpret_cast<const char*>(g_videoRecords + kMaxVideoRecords);
}

PKSDATARANGE FindIn(PKSDATARANGE* table, ULONG count, const VideoRangeInputs& in) {
  for (ULONG i = 0; i < count; i++) {
    if (table[i] && IsVideoRecord(table[i]) && Matches(reinterpret_cast<KS_DATARANGE_VIDEO*>(table[i]), in))
      return table[i];
  }
  return nullptr;
}

}  // namespace

PKSDATARANGE FindVideoRange(VideoFormat format, ULONG width, ULONG height, LineStandard standard,
                            IntervalClass interval) {
  const VideoRangeInputs in = {format, (USHORT)width, (USHORT)height, standard, interval};
  if (PKSDATARANGE r = FindIn(VideoRangeTable, VIDEO_RANGE_TABLE_ENTRIES, in)) return r;
  if (PKSDATARANGE r = FindIn(EncoderRangeTable, ENCODER_RANGE_TABLE_ENTRIES, in)) return r;
  for (ULONG i = g_codeOnlyFirst; i < g_videoRecordCount; i++)
    if (Matches(&g_videoRecords[i], in)) return &g_videoRecords[i].DataRange;
  return nullptr;
}

PKSDATARANGE RangeBlockRecord(RangeBlockUse block, RangeBlockMiddle entry) {
  MiddleRecords& m = g_middle[block];
  switch (entry) {
    case RANGE_PCM_MONO:
      return &m.pcmMono.DataRange;
    case RANGE_PCM_STEREO:
      return &m.pcmStereo.DataRange;
    case RANGE_VBI_625:
      return &m.vbi625.DataRange;
    case RANGE_VBI_525:
      return &m.vbi525.DataRange;
    case RANGE_ENCODER_OUTPUT_1:
      return &m.encoderOutput1;
    case RANGE_ENCODER_OUTPUT_2:
      return &m.encoderOutput2;
    default:
      return nullptr;
  }
}

ULONG CodeOnlyVideoRangeCount() { return g_videoRecordCount - g_codeOnlyFirst; }

ULONG CopyVideoRangeList(VideoRangeListId list, PKSDATARANGE* dest) {
  if (list >= RANGE_LIST_COUNT) return 0;
  const ListTable& table = kLists[list];
  for (ULONG i = 0; i < table.count; i++) {
    const ListEntry& e = table.entries[i];
    dest[i] = FindVideoRange(e.format, e.width, e.height, e.standard, e.interval);
  }
  return table.count;
}

void InitializeDataRanges() {
  g_videoRecordCount = 0;
  ULONG at = 0;
  PKSDATARANGE* t = VideoRangeTable;
  // 0-57: the default list. The YV12 part is full at every size; the H264 part keeps
  // the classes marked on the sizes.
  AddRowsAs(t, &at, kDefaultSizes, VF_YV12, false);
  AddRowsAs(t, &at, kDefaultSizes, VF_H264, true);
  AddRows(t, &at, kX264Default);
  // 58-69 and 70-81: 1920 x 1080 in six formats, twice.
  for (int set = 0; set < 2; set++)
    for (VideoFormat f : kFullHdSet) AddPair(t, &at, P(f, 1920, 1080), f);
  AddRows(t, &at, kYuy2List);                    // 82-131
  AddRows(t, &at, kYv12List);                    // 132-153
  AddRowsAs(t, &at, kNv12Sizes, VF_NV12, true);  // 154-167
  AddPair(t, &at, Reuse(62), VF_NV12);
  AddRowsAs(t, &at, kNv12Sizes, VF_RGB32, true);  // 168-181
  AddPair(t, &at, Reuse(66), VF_RGB32);
  AddRowsAs(t, &at, kNv12Sizes, VF_RGB24, true);  // 182-195
  AddPair(t, &at, Reuse(64), VF_RGB24);
  AddRows(t, &at, kH264List);          // 196-205
  AddRows(t, &at, kEncoderInputList);  // 206-209

  ULONG e = 0;
  AddRows(EncoderRangeTable, &e, kEncoderRangeRows);

  // The records only code refers to: every entry of the installable lists that the
  // tables do not hold already, and the largest size.
  g_codeOnlyFirst = g_videoRecordCount;
  auto addCodeOnly = [](const ListTable& table) {
    for (ULONG i = 0; i < table.count; i++) {
      const ListEntry& x = table.entries[i];
      if (!FindVideoRange(x.format, x.width, x.height, x.standard, x.interval))
        NewRecord({x.format, x.width, x.height, x.standard, x.interval});
    }
  };
  for (const ListTable& table : kLists) addCodeOnly(table);
  addCodeOnly(L(kUltraHd));

  for (int b = 0; b < RANGE_BLOCKS; b++) {
    MiddleRecords& m = g_middle[b];
    BuildAudioRange(&m.pcmMono, 1, 16, 48000);
    BuildAudioRange(&m.pcmStereo, 2, 16, 48000);
    BuildVbiRange(&m.vbi625, true);
    BuildVbiRange(&m.vbi525, false);
    BuildPlainRange(&m.encoderOutput1, KSDATAFORMAT_TYPE_STREAM, KSDATAFORMAT_SUBTYPE_MPEG2_PROGRAM,
                    KSDATAFORMAT_SPECIFIER_NONE, 32768);
    BuildPlainRange(&m.encoderOutput2, KSDATAFORMAT_TYPE_STREAM, KSDATAFORMAT_SUBTYPE_MPEG1System, GUID_NULL, 32768);
    PKSDATARANGE* block = RangeBlocks[b];
    for (ULONG i = 0; i < VIDEO_RANGE_TABLE_ENTRIES; i++) block[i] = VideoRangeTable[i];
    block[RANGE_PCM_MONO] = &m.pcmMono.DataRange;
    block[RANGE_PCM_STEREO] = &m.pcmStereo.DataRange;
    block[RANGE_VBI_625] = &m.vbi625.DataRange;
    block[RANGE_VBI_525] = &m.vbi525.DataRange;
    block[RANGE_ENCODER_OUTPUT_1] = &m.encoderOutput1;
    block[RANGE_ENCODER_OUTPUT_2] = &m.encoderOutput2;
    for (ULONG i = 0; i < ENCODER_RANGE_TABLE_ENTRIES; i++) block[RANGE_ENCODER_TABLE + i] = EncoderRangeTable[i];
  }

  BuildAudioRange(&AudioRange44100, 2, 16, 44100);
  BuildAudioRange(&AudioRangeMono8Bit8k, 1, 8, 8000);
  BuildAudioRange(&AudioRangeMono16Bit16k, 1, 16, 16000);
  BuildAudioRange(&AudioRangeStereo16Bit16k, 2, 16, 16000);
  BuildPlainRange(&AnalogAudioRange, KSDATAFORMAT_TYPE_ANALOGAUDIO, KSDATAFORMAT_SUBTYPE_NONE,
                  KSDATAFORMAT_SPECIFIER_NONE, 0);
}
