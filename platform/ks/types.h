// Kernel Streaming's basic records: identifiers and property requests, data formats and
// ranges, mediums, pin flow and communication, stream states, allocator framing, object
// bags, and the category and format identifiers the filters are described with.
#pragma once

#include "platform/kernel/ntdef.h"

// A (set, id, flags) triple: a property request, a medium, a method or an event.
typedef struct _KSIDENTIFIER {
  GUID Set;
  ULONG Id;
  ULONG Flags;
} KSIDENTIFIER, *PKSIDENTIFIER, KSPROPERTY, *PKSPROPERTY, KSPIN_MEDIUM, *PKSPIN_MEDIUM, KSPIN_INTERFACE,
    *PKSPIN_INTERFACE;
static_assert(sizeof(KSIDENTIFIER) == 24);

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200

// A property addressed to one pin factory of a filter.
typedef struct _KSP_PIN {
  KSPROPERTY Property;
  ULONG PinId;
  ULONG Reserved;
} KSP_PIN, *PKSP_PIN;
static_assert(sizeof(KSP_PIN) == 32);

// The head of a list of variable-sized items.
typedef struct _KSMULTIPLE_ITEM {
  ULONG Size;
  ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

// A data format, and a data range (the same head; a range's tail gives limits).
typedef union _KSDATAFORMAT {
  struct {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
  };
  LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;
static_assert(sizeof(KSDATAFORMAT) == 64);
static_assert(offsetof(KSDATAFORMAT, MajorFormat) == 16);
static_assert(offsetof(KSDATAFORMAT, Specifier) == 48);

typedef struct _KSATTRIBUTE_LIST KSATTRIBUTE_LIST, *PKSATTRIBUTE_LIST;

typedef enum _KSPIN_DATAFLOW { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT } KSPIN_DATAFLOW, *PKSPIN_DATAFLOW;

typedef enum _KSPIN_COMMUNICATION {
  KSPIN_COMMUNICATION_NONE = 0,
  KSPIN_COMMUNICATION_SINK,
  KSPIN_COMMUNICATION_SOURCE,
  KSPIN_COMMUNICATION_BOTH,
  KSPIN_COMMUNICATION_BRIDGE
} KSPIN_COMMUNICATION,
    *PKSPIN_COMMUNICATION;

typedef enum _KSSTATE { KSSTATE_STOP = 0, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN } KSSTATE, *PKSSTATE;

// The items an object frees when it goes: edited descriptors and the like.
typedef PVOID KSOBJECT_BAG;

// ---- Allocator framing -------------------------------------------------------------

typedef struct _KS_FRAMING_RANGE {
  ULONG MinFrameSize;
  ULONG MaxFrameSize;
  ULONG Stepping;
} KS_FRAMING_RANGE, *PKS_FRAMING_RANGE;

typedef struct _KS_FRAMING_RANGE_WEIGHTED {
  KS_FRAMING_RANGE Range;
  ULONG InPlaceWeight;
  ULONG NotInPlaceWeight;
} KS_FRAMING_RANGE_WEIGHTED, *PKS_FRAMING_RANGE_WEIGHTED;

typedef struct _KS_COMPRESSION {
  ULONG RatioNumerator;
  ULONG RatioDenominator;
  ULONG RatioConstantMargin;
} KS_COMPRESSION, *PKS_COMPRESSION;

typedef struct _KS_FRAMING_ITEM {
  GUID MemoryType;
  GUID BusType;
  ULONG MemoryFlags;
  ULONG BusFlags;
  ULONG Flags;
  ULONG Frames;
  union {
    ULONG FileAlignment;
    LONG FramePitch;
  };
  ULONG MemoryTypeWeight;
  KS_FRAMING_RANGE PhysicalRange;
  KS_FRAMING_RANGE_WEIGHTED FramingRange;
} KS_FRAMING_ITEM, *PKS_FRAMING_ITEM;
static_assert(sizeof(KS_FRAMING_ITEM) == 88);

typedef struct _KSALLOCATOR_FRAMING_EX {
  ULONG CountItems;
  ULONG PinFlags;
  KS_COMPRESSION OutputCompression;
  ULONG PinWeight;
  KS_FRAMING_ITEM FramingItem[1];
} KSALLOCATOR_FRAMING_EX, *PKSALLOCATOR_FRAMING_EX;
static_assert(sizeof(KSALLOCATOR_FRAMING_EX) == 112);
static_assert(offsetof(KSALLOCATOR_FRAMING_EX, FramingItem) == 24);

#define KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER 0x00000001
#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY 0x00000002
#define KSALLOCATOR_REQUIREMENTF_FRAME_INTEGRITY 0x00000004
#define KSALLOCATOR_REQUIREMENTF_MUST_ALLOCATE 0x00000008
#define KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY 0x80000000

// ---- Identifiers ---------------------------------------------------------------------

// Filter categories (the device interface classes a filter factory registers under).
inline constexpr GUID KSCATEGORY_CAPTURE = {
    0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID KSCATEGORY_VIDEO = {0x6994AD05, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID KSCATEGORY_AUDIO = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID KSCATEGORY_ENCODER = {
    0x19689BF6, 0xC384, 0x48FD, {0xAD, 0x51, 0x90, 0xE5, 0x8C, 0x79, 0xF7, 0x0B}};
inline constexpr GUID KSCATEGORY_MULTIPLEXER = {
    0x7A5DE1D3, 0x01A1, 0x452C, {0xB4, 0x81, 0x4F, 0xA2, 0xB9, 0x62, 0x71, 0xE8}};
inline constexpr GUID KSCATEGORY_CROSSBAR = {
    0xA799A801, 0xA46D, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4}};
inline constexpr GUID KSCATEGORY_TVTUNER = {
    0xA799A800, 0xA46D, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4}};
inline constexpr GUID KSCATEGORY_TVAUDIO = {
    0xA799A802, 0xA46D, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4}};
// The audio capture class of the system's device enumerator, used as a filter category.
inline constexpr GUID CLSID_AudioInputDeviceCategory = {
    0x33D9A762, 0x90C8, 0x11D0, {0xBD, 0x43, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};

// Pin categories.
inline constexpr GUID PIN_CATEGORY_CAPTURE = {
    0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};

// Topology node types.
inline constexpr GUID KSNODETYPE_ADC = {0x4D837FE0, 0xC555, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
inline constexpr GUID KSNODETYPE_VOLUME = {
    0x3A5ACC00, 0xC557, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};

// Memory types of allocator framing.
inline constexpr GUID KSMEMORY_TYPE_KERNEL_NONPAGED = {
    0x4A6D5FC4, 0x7895, 0x11D1, {0xB0, 0x69, 0x00, 0xA0, 0xC9, 0x06, 0x28, 0x02}};

// Major formats, sub-formats and specifiers of data formats that are not video or audio
// specific.
inline constexpr GUID KSDATAFORMAT_TYPE_STREAM = {
    0xE436EB83, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_NONE = {
    0xE436EB8E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID KSDATAFORMAT_SPECIFIER_NONE = {
    0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
