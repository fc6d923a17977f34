// Video, audio and VBI formats and ranges, and the standard property sets of capture
// devices, as Kernel Streaming applications and minidrivers share them. The record
// layouts are shared with applications: their sizes and offsets are fixed.
#pragma once

#include "platform/ks/types.h"

typedef LONGLONG REFERENCE_TIME;

typedef struct tagKS_RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} KS_RECT;
static_assert(sizeof(KS_RECT) == 16);

typedef struct tagKS_SIZE {
  LONG cx;
  LONG cy;
} KS_SIZE;

// ---- Video -------------------------------------------------------------------------

typedef struct tagKS_BITMAPINFOHEADER {
  ULONG biSize;
  LONG biWidth;
  LONG biHeight;
  USHORT biPlanes;
  USHORT biBitCount;
  ULONG biCompression;
  ULONG biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  ULONG biClrUsed;
  ULONG biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40);

typedef struct tagKS_VIDEOINFOHEADER {
  KS_RECT rcSource;
  KS_RECT rcTarget;
  ULONG dwBitRate;
  ULONG dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88);
static_assert(offsetof(KS_VIDEOINFOHEADER, AvgTimePerFrame) == 40);
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48);

typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
  GUID guid;
  ULONG VideoStandard;
  KS_SIZE InputSize;
  KS_SIZE MinCroppingSize;
  KS_SIZE MaxCroppingSize;
  int CropGranularityX;
  int CropGranularityY;
  int CropAlignX;
  int CropAlignY;
  KS_SIZE MinOutputSize;
  KS_SIZE MaxOutputSize;
  int OutputGranularityX;
  int OutputGranularityY;
  int StretchTapsX;
  int StretchTapsY;
  int ShrinkTapsX;
  int ShrinkTapsY;
  LONGLONG MinFrameInterval;
  LONGLONG MaxFrameInterval;
  LONG MinBitsPerSecond;
  LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128);
// Four bytes of padding sit at offset 100, before MinFrameInterval.
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, ShrinkTapsY) == 96);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval) == 104);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinBitsPerSecond) == 120);

typedef struct tagKS_DATARANGE_VIDEO {
  KSDATARANGE DataRange;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  ULONG StreamDescriptionFlags;
  ULONG MemoryAllocationFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80);
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208);
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader.AvgTimePerFrame) == 248);
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader.bmiHeader) == 256);

typedef struct tagKS_DATAFORMAT_VIDEOINFOHEADER {
  KSDATAFORMAT DataFormat;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152);

// Stream description flags.
#define KS_VIDEOSTREAM_PREVIEW 0x0001
#define KS_VIDEOSTREAM_CAPTURE 0x0002
#define KS_VIDEOSTREAM_VBI 0x0010

// Analog video standards.
#define KS_AnalogVideo_None 0x00000000
#define KS_AnalogVideo_NTSC_M 0x00000001
#define KS_AnalogVideo_NTSC_M_J 0x00000002
#define KS_AnalogVideo_NTSC_433 0x00000004
#define KS_AnalogVideo_PAL_B 0x00000010
#define KS_AnalogVideo_PAL_D 0x00000020
#define KS_AnalogVideo_PAL_G 0x00000040
#define KS_AnalogVideo_PAL_H 0x00000080
#define KS_AnalogVideo_PAL_I 0x00000100
#define KS_AnalogVideo_PAL_M 0x00000200
#define KS_AnalogVideo_PAL_N 0x00000400
#define KS_AnalogVideo_PAL_60 0x00000800
#define KS_AnalogVideo_SECAM_B 0x00001000
#define KS_AnalogVideo_SECAM_D 0x00002000
#define KS_AnalogVideo_SECAM_G 0x00004000
#define KS_AnalogVideo_SECAM_H 0x00008000
#define KS_AnalogVideo_SECAM_K 0x00010000
#define KS_AnalogVideo_SECAM_K1 0x00020000
#define KS_AnalogVideo_SECAM_L 0x00040000
#define KS_AnalogVideo_SECAM_L1 0x00080000
#define KS_AnalogVideo_PAL_N_COMBO 0x00100000
#define KS_AnalogVideo_NTSCMask 0x00000007
#define KS_AnalogVideo_PALMask 0x00100FF0
#define KS_AnalogVideo_SECAMMask 0x000FF000

// ---- VBI ---------------------------------------------------------------------------

typedef struct tagKS_VBIINFOHEADER {
  ULONG StartLine;
  ULONG EndLine;
  ULONG SamplingFrequency;
  ULONG MinLineStartTime;
  ULONG MaxLineStartTime;
  ULONG ActualLineStartTime;
  ULONG ActualLineEndTime;
  ULONG VideoStandard;
  ULONG SamplesPerLine;
  ULONG StrideInBytes;
  ULONG BufferSize;
} KS_VBIINFOHEADER, *PKS_VBIINFOHEADER;
static_assert(sizeof(KS_VBIINFOHEADER) == 44);

typedef struct tagKS_DATARANGE_VIDEO_VBI {
  KSDATARANGE DataRange;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  ULONG StreamDescriptionFlags;
  ULONG MemoryAllocationFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
  KS_VBIINFOHEADER VBIInfoHeader;
} KS_DATARANGE_VIDEO_VBI, *PKS_DATARANGE_VIDEO_VBI;
static_assert(sizeof(KS_DATARANGE_VIDEO_VBI) == 256);
static_assert(offsetof(KS_DATARANGE_VIDEO_VBI, VBIInfoHeader) == 208);

// ---- Audio -------------------------------------------------------------------------

typedef struct _KSDATARANGE_AUDIO {
  KSDATARANGE DataRange;
  ULONG MaximumChannels;
  ULONG MinimumBitsPerSample;
  ULONG MaximumBitsPerSample;
  ULONG MinimumSampleFrequency;
  ULONG MaximumSampleFrequency;
} KSDATARANGE_AUDIO, *PKSDATARANGE_AUDIO;
// The tail pads the record to the head's 8-byte alignment.
static_assert(sizeof(KSDATARANGE_AUDIO) == 88);

#pragma pack(push, 1)
typedef struct tWAVEFORMATEX {
  USHORT wFormatTag;
  USHORT nChannels;
  ULONG nSamplesPerSec;
  ULONG nAvgBytesPerSec;
  USHORT nBlockAlign;
  USHORT wBitsPerSample;
  USHORT cbSize;
} WAVEFORMATEX, *PWAVEFORMATEX;
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);

#define WAVE_FORMAT_PCM 1

typedef struct _KSDATAFORMAT_WAVEFORMATEX {
  KSDATAFORMAT DataFormat;
  WAVEFORMATEX WaveFormatEx;
} KSDATAFORMAT_WAVEFORMATEX, *PKSDATAFORMAT_WAVEFORMATEX;
// Used as 82 bytes: the head and the packed wave format, without the tail padding.
static_assert(offsetof(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx) == 64);

// ---- Format identifiers ------------------------------------------------------------

inline constexpr GUID KSDATAFORMAT_TYPE_VIDEO = {
    0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID KSDATAFORMAT_TYPE_AUDIO = {
    0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID KSDATAFORMAT_TYPE_ANALOGAUDIO = {
    0x0482DEE1, 0x7817, 0x11CF, {0x8A, 0x03, 0x00, 0xAA, 0x00, 0x6E, 0xCB, 0x65}};
inline constexpr GUID KSDATAFORMAT_TYPE_VBI = {
    0xF72A76E1, 0xEB0A, 0x11D0, {0xAC, 0xE4, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_MPEG2_PROGRAM = {
    0xE06D8022, 0xDB46, 0x11CF, {0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA}};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_MPEG1System = {
    0xE436EB85, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_RAW8 = {
    0xCA20D9A0, 0x3E3E, 0x11D1, {0x9B, 0xF9, 0x00, 0xC0, 0x4F, 0xBB, 0xDE, 0xBF}};
inline constexpr GUID MEDIASUBTYPE_RGB24 = {
    0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID MEDIASUBTYPE_RGB32 = {
    0xE436EB7E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID KSDATAFORMAT_SPECIFIER_VIDEOINFO = {
    0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
inline constexpr GUID KSDATAFORMAT_SPECIFIER_WAVEFORMATEX = {
    0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
inline constexpr GUID KSDATAFORMAT_SPECIFIER_VBI = {
    0xF72A76E0, 0xEB0A, 0x11D0, {0xAC, 0xE4, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};

// A four-character code as a ULONG, first character in the low byte.
constexpr ULONG MakeFourCC(const char (&s)[5]) {
  return (ULONG)(UCHAR)s[0] | ((ULONG)(UCHAR)s[1] << 8) | ((ULONG)(UCHAR)s[2] << 16) | ((ULONG)(UCHAR)s[3] << 24);
}
// The video sub-format of a four-character code: {FOURCC-0000-0010-8000-00AA00389B71}.
constexpr GUID FourCCSubtype(ULONG fourcc) {
  return GUID{fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

// ---- Standard property sets of capture devices ------------------------------------

inline constexpr GUID PROPSETID_VIDCAP_VIDEOPROCAMP = {
    0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID PROPSETID_VIDCAP_VIDEOCONTROL = {
    0x6A2E0670, 0x28E4, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID PROPSETID_VIDCAP_VIDEODECODER = {
    0xC6E13350, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID PROPSETID_VIDCAP_VIDEOCOMPRESSION = {
    0xC6E13343, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID PROPSETID_VIDCAP_DROPPEDFRAMES = {
    0xC6E13344, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID PROPSETID_VIDCAP_CROSSBAR = {
    0x6A2E0640, 0x28E4, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID PROPSETID_TUNER = {0x6A2E0605, 0x28E4, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID PROPSETID_VIDCAP_TVAUDIO = {
    0x6A2E0650, 0x28E4, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID KSPROPSETID_Audio = {
    0x45FFAAA0, 0x6E1B, 0x11D0, {0xBC, 0xF2, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
// Encoder parameters, each a set of one property (id 0).
inline constexpr GUID ENCAPIPARAM_BITRATE = {
    0x49CC4C43, 0xCA83, 0x4AD4, {0xA9, 0xAF, 0xF3, 0x69, 0x6A, 0xF6, 0x66, 0xDF}};
inline constexpr GUID ENCAPIPARAM_PEAK_BITRATE = {
    0x703F16A9, 0x3D48, 0x44A1, {0xB0, 0x77, 0x01, 0x8D, 0xFF, 0x91, 0x5D, 0x19}};
inline constexpr GUID ENCAPIPARAM_BITRATE_MODE = {
    0xEE5FB25C, 0xC713, 0x40D1, {0x9D, 0x58, 0xC0, 0xD7, 0x24, 0x1E, 0x25, 0x0F}};

// ---- Records of the standard capture property sets ------------------------------------
// Each request or value record starts with the KSPROPERTY and is padded to 8 bytes, as
// the platform lays them out for applications; the sizes are the sets' MinData.
#define KS_PROPERTY_RECORD(name) struct alignas(8) name

// PROPSETID_VIDCAP_VIDEOPROCAMP
enum {
  KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS = 0,
  KSPROPERTY_VIDEOPROCAMP_CONTRAST = 1,
  KSPROPERTY_VIDEOPROCAMP_HUE = 2,
  KSPROPERTY_VIDEOPROCAMP_SATURATION = 3,
  KSPROPERTY_VIDEOPROCAMP_SHARPNESS = 4,
  KSPROPERTY_VIDEOPROCAMP_GAMMA = 5,
  KSPROPERTY_VIDEOPROCAMP_COLORENABLE = 6,
  KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE = 7,
  KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION = 8,
  KSPROPERTY_VIDEOPROCAMP_GAIN = 9,
};
typedef KS_PROPERTY_RECORD(_KSPROPERTY_VIDEOPROCAMP_S) {
  KSPROPERTY Property;
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
}
KSPROPERTY_VIDEOPROCAMP_S, *PKSPROPERTY_VIDEOPROCAMP_S;
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40);

// PROPSETID_VIDCAP_VIDEOCONTROL
enum {
  KSPROPERTY_VIDEOCONTROL_CAPS = 0,
  KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE = 1,
  KSPROPERTY_VIDEOCONTROL_FRAME_RATES = 2,
  KSPROPERTY_VIDEOCONTROL_MODE = 3,
};
typedef KS_PROPERTY_RECORD(_KSPROPERTY_VIDEOCONTROL_CAPS_S) {
  KSPROPERTY Property;
  ULONG StreamIndex;
  ULONG VideoControlCaps;
}
KSPROPERTY_VIDEOCONTROL_CAPS_S, *PKSPROPERTY_VIDEOCONTROL_CAPS_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S) == 32);
typedef KS_PROPERTY_RECORD(_KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S) {
  KSPROPERTY Property;
  ULONG StreamIndex;
  ULONG RangeIndex;
  KS_SIZE Dimensions;
  LONGLONG CurrentActualFrameRate;
  LONGLONG CurrentMaxAvailableFrameRate;
}
KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, *PKSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S) == 56);
static_assert(offsetof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, CurrentActualFrameRate) == 40);
typedef KS_PROPERTY_RECORD(_KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S) {
  KSPROPERTY Property;
  ULONG StreamIndex;
  ULONG RangeIndex;
  KS_SIZE Dimensions;
}
KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S, *PKSPROPERTY_VIDEOCONTROL_FRAME_RATES_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S) == 40);
typedef KS_PROPERTY_RECORD(_KSPROPERTY_VIDEOCONTROL_MODE_S) {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG Mode;
}
KSPROPERTY_VIDEOCONTROL_MODE_S, *PKSPROPERTY_VIDEOCONTROL_MODE_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S) == 32);

// PROPSETID_VIDCAP_VIDEODECODER
enum {
  KSPROPERTY_VIDEODECODER_CAPS = 0,
  KSPROPERTY_VIDEODECODER_STANDARD = 1,
  KSPROPERTY_VIDEODECODER_STATUS = 2,
  KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE = 3,
  KSPROPERTY_VIDEODECODER_VCR_TIMING = 4,
};
#define KS_VIDEODECODER_FLAGS_CAN_DISABLE_OUTPUT 0x0001
#define KS_VIDEODECODER_FLAGS_CAN_USE_VCR_LOCKING 0x0002
#define KS_VIDEODECODER_FLAGS_CAN_INDICATE_LOCKED 0x0004
typedef KS_PROPERTY_RECORD(_KSPROPERTY_VIDEODECODER_CAPS_S) {
  KSPROPERTY Property;
  ULONG StandardsSupported;
  ULONG Capabilities;
  ULONG SettlingTime;
  ULONG HSyncPerVSync;
}
KSPROPERTY_VIDEODECODER_CAPS_S, *PKSPROPERTY_VIDEODECODER_CAPS_S;
static_assert(sizeof(KSPROPERTY_VIDEODECODER_CAPS_S) == 40);
typedef KS_PROPERTY_RECORD(_KSPROPERTY_VIDEODECODER_STATUS_S) {
  KSPROPERTY Property;
  ULONG NumberOfLines;
  ULONG SignalLocked;
}
KSPROPERTY_VIDEODECODER_STATUS_S, *PKSPROPERTY_VIDEODECODER_STATUS_S;
static_assert(sizeof(KSPROPERTY_VIDEODECODER_STATUS_S) == 32);
typedef KS_PROPERTY_RECORD(_KSPROPERTY_VIDEODECODER_S) {
  KSPROPERTY Property;
  ULONG Value;
}
KSPROPERTY_VIDEODECODER_S, *PKSPROPERTY_VIDEODECODER_S;
static_assert(sizeof(KSPROPERTY_VIDEODECODER_S) == 32);

// PROPSETID_VIDCAP_VIDEOCOMPRESSION
enum {
  KSPROPERTY_VIDEOCOMPRESSION_GETINFO = 0,
  KSPROPERTY_VIDEOCOMPRESSION_KEYFRAME_RATE = 1,
  KSPROPERTY_VIDEOCOMPRESSION_PFRAMES_PER_KEYFRAME = 2,
  KSPROPERTY_VIDEOCOMPRESSION_QUALITY = 3,
  KSPROPERTY_VIDEOCOMPRESSION_OVERRIDE_KEYFRAME = 4,
  KSPROPERTY_VIDEOCOMPRESSION_OVERRIDE_FRAME_SIZE = 5,
};
#define KS_CompressCanQuality 0x1
#define KS_CompressCanCrunch 0x2
#define KS_CompressCanKeyFrame 0x4
#define KS_CompressCanBFrame 0x8
typedef KS_PROPERTY_RECORD(_KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S) {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG DefaultKeyFrameRate;
  LONG DefaultPFrameRate;
  LONG DefaultQuality;
  LONG NumberOfQualitySettings;
  LONG Capabilities;
}
KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S, *PKSPROPERTY_VIDEOCOMPRESSION_GETINFO_S;
static_assert(sizeof(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S) == 48);
typedef KS_PROPERTY_RECORD(_KSPROPERTY_VIDEOCOMPRESSION_S) {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG Value;
}
KSPROPERTY_VIDEOCOMPRESSION_S, *PKSPROPERTY_VIDEOCOMPRESSION_S;
static_assert(sizeof(KSPROPERTY_VIDEOCOMPRESSION_S) == 32);

// PROPSETID_VIDCAP_DROPPEDFRAMES
enum { KSPROPERTY_DROPPEDFRAMES_CURRENT = 0 };
typedef KS_PROPERTY_RECORD(_KSPROPERTY_DROPPEDFRAMES_CURRENT_S) {
  KSPROPERTY Property;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  ULONG AverageFrameSize;
}
KSPROPERTY_DROPPEDFRAMES_CURRENT_S, *PKSPROPERTY_DROPPEDFRAMES_CURRENT_S;
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48);
static_assert(offsetof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S, PictureNumber) == 24);

// PROPSETID_VIDCAP_CROSSBAR
enum {
  KSPROPERTY_CROSSBAR_CAPS = 0,
  KSPROPERTY_CROSSBAR_PININFO = 1,
  KSPROPERTY_CROSSBAR_CAN_ROUTE = 2,
  KSPROPERTY_CROSSBAR_ROUTE = 3,
};
// Physical connection types of crossbar pins.
enum {
  KS_PhysConn_Video_Tuner = 1,
  KS_PhysConn_Video_Composite = 2,
  KS_PhysConn_Video_SVideo = 3,
  KS_PhysConn_Video_VideoDecoder = 12,
  KS_PhysConn_Audio_Tuner = 0x1000,
  KS_PhysConn_Audio_Line = 0x1001,
  KS_PhysConn_Audio_AudioDecoder = 0x1009,
};
typedef KS_PROPERTY_RECORD(_KSPROPERTY_CROSSBAR_CAPS_S) {
  KSPROPERTY Property;
  ULONG NumberOfInputs;
  ULONG NumberOfOutputs;
}
KSPROPERTY_CROSSBAR_CAPS_S, *PKSPROPERTY_CROSSBAR_CAPS_S;
static_assert(sizeof(KSPROPERTY_CROSSBAR_CAPS_S) == 32);
typedef KS_PROPERTY_RECORD(_KSPROPERTY_CROSSBAR_PININFO_S) {
  KSPROPERTY Property;
  KSPIN_DATAFLOW Direction;
  ULONG Index;
  ULONG PinType;
  ULONG RelatedPinIndex;
  KSPIN_MEDIUM Medium;
}
KSPROPERTY_CROSSBAR_PININFO_S, *PKSPROPERTY_CROSSBAR_PININFO_S;
static_assert(sizeof(KSPROPERTY_CROSSBAR_PININFO_S) == 64);
static_assert(offsetof(KSPROPERTY_CROSSBAR_PININFO_S, Medium) == 40);
typedef KS_PROPERTY_RECORD(_KSPROPERTY_CROSSBAR_ROUTE_S) {
  KSPROPERTY Property;
  ULONG IndexInputPin;
  ULONG IndexOutputPin;
  ULONG CanRoute;
}
KSPROPERTY_CROSSBAR_ROUTE_S, *PKSPROPERTY_CROSSBAR_ROUTE_S;
static_assert(sizeof(KSPROPERTY_CROSSBAR_ROUTE_S) == 40);

// PROPSETID_TUNER
enum {
  KSPROPERTY_TUNER_CAPS = 0,
  KSPROPERTY_TUNER_MODE_CAPS = 1,
  KSPROPERTY_TUNER_MODE = 2,
  KSPROPERTY_TUNER_STANDARD = 3,
  KSPROPERTY_TUNER_FREQUENCY = 4,
  KSPROPERTY_TUNER_INPUT = 5,
  KSPROPERTY_TUNER_STATUS = 6,
  KSPROPERTY_TUNER_IF_MEDIUM = 7,
};
#define KSPROPERTY_TUNER_MODE_TV 0x0001
#define KSPROPERTY_TUNER_MODE_FM_RADIO 0x0002
#define KS_TUNER_STRATEGY_PLL 0x01
typedef KS_PROPERTY_RECORD(_KSPROPERTY_TUNER_CAPS_S) {
  KSPROPERTY Property;
  ULONG ModesSupported;
  KSPIN_MEDIUM VideoMedium;
  KSPIN_MEDIUM TVAudioMedium;
  KSPIN_MEDIUM RadioAudioMedium;
}
KSPROPERTY_TUNER_CAPS_S, *PKSPROPERTY_TUNER_CAPS_S;
static_assert(sizeof(KSPROPERTY_TUNER_CAPS_S) == 104);
typedef KS_PROPERTY_RECORD(_KSPROPERTY_TUNER_MODE_CAPS_S) {
  KSPROPERTY Property;
  ULONG Mode;
  ULONG StandardsSupported;
  ULONG MinFrequency;
  ULONG MaxFrequency;
  ULONG TuningGranularity;
  ULONG NumberOfInputs;
  ULONG SettlingTime;
  ULONG Strategy;
}
KSPROPERTY_TUNER_MODE_CAPS_S, *PKSPROPERTY_TUNER_MODE_CAPS_S;
static_assert(sizeof(KSPROPERTY_TUNER_MODE_CAPS_S) == 56);
typedef KS_PROPERTY_RECORD(_KSPROPERTY_TUNER_MODE_S) {
  KSPROPERTY Property;
  ULONG Mode;
}
KSPROPERTY_TUNER_MODE_S, *PKSPROPERTY_TUNER_MODE_S;
static_assert(sizeof(KSPROPERTY_TUNER_MODE_S) == 32);
typedef KS_PROPERTY_RECORD(_KSPROPERTY_TUNER_STANDARD_S) {
  KSPROPERTY Property;
  ULONG Standard;
}
KSPROPERTY_TUNER_STANDARD_S, *PKSPROPERTY_TUNER_STANDARD_S;
static_assert(sizeof(KSPROPERTY_TUNER_STANDARD_S) == 32);
typedef KS_PROPERTY_RECORD(_KSPROPERTY_TUNER_INPUT_S) {
  KSPROPERTY Property;
  ULONG InputIndex;
}
KSPROPERTY_TUNER_INPUT_S, *PKSPROPERTY_TUNER_INPUT_S;
static_assert(sizeof(KSPROPERTY_TUNER_INPUT_S) == 32);
typedef KS_PROPERTY_RECORD(_KSPROPERTY_TUNER_FREQUENCY_S) {
  KSPROPERTY Property;
  ULONG Frequency;
  ULONG LastFrequency;
  ULONG TuningFlags;
  ULONG VideoSubChannel;
  ULONG AudioSubChannel;
  ULONG Channel;
  ULONG Country;
}
KSPROPERTY_TUNER_FREQUENCY_S, *PKSPROPERTY_TUNER_FREQUENCY_S;
static_assert(sizeof(KSPROPERTY_TUNER_FREQUENCY_S) == 56);
static_assert(offsetof(KSPROPERTY_TUNER_FREQUENCY_S, Country) == 48);
typedef KS_PROPERTY_RECORD(_KSPROPERTY_TUNER_STATUS_S) {
  KSPROPERTY Property;
  ULONG CurrentFrequency;
  ULONG PLLOffset;
  ULONG SignalStrength;
  ULONG Busy;
}
KSPROPERTY_TUNER_STATUS_S, *PKSPROPERTY_TUNER_STATUS_S;
static_assert(sizeof(KSPROPERTY_TUNER_STATUS_S) == 40);
typedef KS_PROPERTY_RECORD(_KSPROPERTY_TUNER_IF_MEDIUM_S) {
  KSPROPERTY Property;
  KSPIN_MEDIUM IFMedium;
}
KSPROPERTY_TUNER_IF_MEDIUM_S, *PKSPROPERTY_TUNER_IF_MEDIUM_S;
static_assert(sizeof(KSPROPERTY_TUNER_IF_MEDIUM_S) == 48);

// PROPSETID_VIDCAP_TVAUDIO
enum {
  KSPROPERTY_TVAUDIO_CAPS = 0,
  KSPROPERTY_TVAUDIO_MODE = 1,
  KSPROPERTY_TVAUDIO_CURRENTLY_AVAILABLE_MODES = 2,
};
#define KS_TVAUDIO_MODE_MONO 0x0001
#define KS_TVAUDIO_MODE_STEREO 0x0002
#define KS_TVAUDIO_MODE_LANG_A 0x0010
#define KS_TVAUDIO_MODE_LANG_B 0x0020
#define KS_TVAUDIO_MODE_LANG_C 0x0040
typedef KS_PROPERTY_RECORD(_KSPROPERTY_TVAUDIO_CAPS_S) {
  KSPROPERTY Property;
  ULONG Capabilities;
  KSPIN_MEDIUM InputMedium;
  KSPIN_MEDIUM OutputMedium;
}
KSPROPERTY_TVAUDIO_CAPS_S, *PKSPROPERTY_TVAUDIO_CAPS_S;
static_assert(sizeof(KSPROPERTY_TVAUDIO_CAPS_S) == 80);
typedef KS_PROPERTY_RECORD(_KSPROPERTY_TVAUDIO_S) {
  KSPROPERTY Property;
  ULONG Mode;
}
KSPROPERTY_TVAUDIO_S, *PKSPROPERTY_TVAUDIO_S;
static_assert(sizeof(KSPROPERTY_TVAUDIO_S) == 32);

// KSPROPSETID_Audio, on topology nodes
enum { KSPROPERTY_AUDIO_VOLUMELEVEL = 4, KSPROPERTY_AUDIO_CPU_RESOURCES = 33 };
typedef KS_PROPERTY_RECORD(_KSNODEPROPERTY) {
  KSPROPERTY Property;
  ULONG NodeId;
  ULONG Reserved;
}
KSNODEPROPERTY, *PKSNODEPROPERTY;
static_assert(sizeof(KSNODEPROPERTY) == 32);
typedef KS_PROPERTY_RECORD(_KSNODEPROPERTY_AUDIO_CHANNEL) {
  KSNODEPROPERTY NodeProperty;
  LONG Channel;
  ULONG Reserved;
}
KSNODEPROPERTY_AUDIO_CHANNEL, *PKSNODEPROPERTY_AUDIO_CHANNEL;
static_assert(sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) == 40);
static_assert(offsetof(KSNODEPROPERTY_AUDIO_CHANNEL, Channel) == 32);

#undef KS_PROPERTY_RECORD
