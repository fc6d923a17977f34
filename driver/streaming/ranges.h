// The data ranges the capture pins offer. Every video range is built by one rule from
// five inputs (format, size, line standard, frame-interval class); the tables hold
// pointers to those records, grouped in four range blocks whose video part is shared.
#pragma once

#include "platform/ks/ks.h"

enum VideoFormat : UCHAR {
  VF_YV12,
  VF_NV12,
  VF_YUY2,
  VF_UYVY,
  VF_Y41P,
  VF_H264,
  VF_X264,
  VF_XVID,
  VF_RGB24,
  VF_RGB32,
};

enum LineStandard : UCHAR { LINES_525, LINES_625 };

enum IntervalClass : UCHAR {
  IC_FULL,     // 29.97 (25) up to 59.94 (50) frames per second
  IC_30_ONLY,  // 29.97 (25) only
  IC_60_ONLY,  // 59.94 (50) only
};

struct VideoRangeInputs {
  VideoFormat format;
  USHORT width;
  USHORT height;
  LineStandard standard;
  IntervalClass interval;
};

// Fills *range by the rule. Bit rates that do not fit 32 bits read 0xFFFFFFFF.
void BuildVideoRange(const VideoRangeInputs& in, KS_DATARANGE_VIDEO* range);

#define VIDEO_RANGE_TABLE_ENTRIES 210
#define ENCODER_RANGE_TABLE_ENTRIES 12
#define RANGE_BLOCK_MIDDLE_ENTRIES 6
#define RANGE_BLOCK_ENTRIES (VIDEO_RANGE_TABLE_ENTRIES + RANGE_BLOCK_MIDDLE_ENTRIES + ENCODER_RANGE_TABLE_ENTRIES)
#define RANGE_BLOCKS 4

// The six middle entries of a range block, in order.
enum RangeBlockMiddle {
  RANGE_PCM_MONO = VIDEO_RANGE_TABLE_ENTRIES,
  RANGE_PCM_STEREO,
  RANGE_VBI_625,
  RANGE_VBI_525,
  RANGE_ENCODER_OUTPUT_1,
  RANGE_ENCODER_OUTPUT_2,
  RANGE_ENCODER_TABLE,  // the first of the 12 entries of EncoderRangeTable
};

// Which block serves whom.
enum RangeBlockUse {
  RANGE_BLOCK_CAPTURE = 0,  // the capture pin's default list: entries 0-57
  RANGE_BLOCK_AUDIO = 1,    // the audio capture pins' PCM mono and stereo entries
  RANGE_BLOCK_ENCODER = 2,  // the encoder output and input pins
  RANGE_BLOCK_ALT = 3,      // AltVideoRangeList and AltAudioRangeList, edited by device start
};

extern PKSDATARANGE VideoRangeTable[VIDEO_RANGE_TABLE_ENTRIES];
extern PKSDATARANGE EncoderRangeTable[ENCODER_RANGE_TABLE_ENTRIES];
extern PKSDATARANGE RangeBlocks[RANGE_BLOCKS][RANGE_BLOCK_ENTRIES];
// Writable lists in the fourth block: the first 210 entries and the 18 that follow.
extern PKSDATARANGE* const AltVideoRangeList;
extern PKSDATARANGE* const AltAudioRangeList;
#define ALT_AUDIO_RANGE_ENTRIES (RANGE_BLOCK_MIDDLE_ENTRIES + ENCODER_RANGE_TABLE_ENTRIES)

// A block's own record of a middle entry (whatever the block's list now points at).
PKSDATARANGE RangeBlockRecord(RangeBlockUse block, RangeBlockMiddle entry);

// Audio records besides the blocks' own.
extern KSDATARANGE_AUDIO AudioRange44100;           // stereo 16-bit 44,100 Hz
extern KSDATARANGE_AUDIO AudioRangeMono8Bit8k;      // mono 8-bit 8,000 Hz
extern KSDATARANGE_AUDIO AudioRangeMono16Bit16k;    // mono 16-bit 16,000 Hz
extern KSDATARANGE_AUDIO AudioRangeStereo16Bit16k;  // stereo 16-bit 16,000 Hz
// The analog-audio range of both bridge pins.
extern KSDATARANGE AnalogAudioRange;

// The record built from these inputs, searched in VideoRangeTable order, then
// EncoderRangeTable, then the records only code refers to; null when there is none.
PKSDATARANGE FindVideoRange(VideoFormat format, ULONG width, ULONG height, LineStandard standard,
                            IntervalClass interval);
// The number of records only code refers to.
ULONG CodeOnlyVideoRangeCount();

// Builds every record and table afresh: what the driver image holds when it is loaded.
void InitializeDataRanges();

// The range lists that device start installs for some board kinds and customers.
enum VideoRangeListId {
  RANGE_LIST_YUY2_525_7,  // YUY2 525-line 720, 704, 640 x 480; 360, 352, 320, 256 x 240
  RANGE_LIST_YUY2_625_7,  // the same widths, 625-line heights
  RANGE_LIST_KIND_E_10,
  RANGE_LIST_KIND_E_24,
  RANGE_LIST_KIND_H_12,
  RANGE_LIST_CUSTOMER_12,
  RANGE_LIST_COUNT
};
// Writes the list's record pointers to dest[0..n-1] and returns n.
ULONG CopyVideoRangeList(VideoRangeListId list, PKSDATARANGE* dest);
