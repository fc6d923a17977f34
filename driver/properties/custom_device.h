// The driver's own property set, KSPROPSETID_CustomDevice: one table of rows (id,
// directions, value size, scope, flag rule, log rule, handler) from which the KS items
// are generated, the request context every handler starts from, and the handlers with
// rules of their own, grouped by area in the custom_*.cpp files.
#pragma once

#include <array>

#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/streaming/pin_context.h"
#include "platform/ks/ks.h"

// The set as the capture filters' automation tables carry it.
const KSPROPERTY_SET& CustomDevicePropertySet();

// ---- the table ---------------------------------------------------------------------------

// Where a row's word lives: a device scalar, entry 0 of a 16-entry array, a per-channel
// array of 16 or 32 entries indexed by the channel index (channel, plus 4 on the second
// H.264 stream), or a 32-entry array indexed by the filter's channel alone.
enum class CustomScope : UCHAR { None, Device, Entry0, Ch16, Ch32, FilterCh32 };
// Get rules: the word as stored, AND 0x77FFFFFF (bits 27 and 31 cleared), bit 27 cleared
// only, a constant (arg), or a special handler.
enum class CustomGet : UCHAR { None, Raw, Mask, ClearFlag, Const, Special };
// Set rules: stored as given, OR 0x08000000 (the set-by-application flag), accepted and
// ignored, or a special handler.
enum class CustomSet : UCHAR { None, Raw, Flag, Ignore, Special };
// Log rules of the generic rows: none; "()" on get and set; the value as "( %d )" on get
// and set, on set only, or "( %08X )" on set only; the channel index and value.
enum class CustomLog : UCHAR { None, Empty, Dec, SetDec, SetHex, ChanValue };

struct CustomRequest;
typedef NTSTATUS (*CustomHandler)(CustomRequest& r);

struct CustomPropertyRow {
  ULONG id;
  const char* name;  // "CustomEncoderVideoBitRateProperty": logs "CDevice::OnGet" + name
  USHORT minProperty;
  USHORT minData;
  CustomScope scope;
  USHORT member;  // byte offset of the word or array in CDeviceSettings
  CustomGet get;
  CustomSet set;
  CustomLog log;
  ULONG arg;  // the constant of a Const get, or the word / bank / row a shared handler serves
  CustomHandler specialGet;
  CustomHandler specialSet;
};

inline constexpr ULONG kCustomPropertyCount = 185;
// The rows, sorted by id.
const CustomPropertyRow* CustomPropertyRows();
// The row of an id, or null.
const CustomPropertyRow* FindCustomPropertyRow(ULONG id);

// The context a digital-tuner filter carries: its tuner (0 = A, 1 = B) and its device.
struct TunerFilterContext {
  ULONG nTunerIndex;
  PKSDEVICE pKsDevice;
};

// ---- the request context ---------------------------------------------------------------------

// What every handler starts from: the filter of the request, its device, and the filter's
// context when it is a capture filter's.
struct CustomRequest {
  PIRP irp;
  PKSPROPERTY property;
  PUCHAR data;
  ULONG dataLength;  // the value buffer's length
  const CustomPropertyRow* row;
  PKSFILTER filter;
  CDevice* device;
  FilterContext* context;  // null on a filter without a capture filter context
  ULONG channelIndex;      // nChannel, plus 4 when nStreamIndex is above 7
  ULONG filterChannel;     // nChannel
  bool get;

  ULONG Word(ULONG k = 0) const;
  void PutWord(ULONG value, ULONG k = 0) const;
};

// Runs a request whose context is built: refuses an index outside the array its row
// addresses, then applies the row's rule or handler.
NTSTATUS RunCustomRequest(CustomRequest& r);

// The set-by-application flag, and what a per-channel get leaves of a word.
#define CUSTOM_FLAG 0x08000000u
#define CUSTOM_GET_MASK 0x77FFFFFFu

// One 32-bit settings word, read and written whole (the settings pass and the monitor
// thread read them on other threads).
inline ULONG LoadWord(const ULONG& w) { return __atomic_load_n(&w, __ATOMIC_RELAXED); }
inline void StoreWord(ULONG& w, ULONG v) { __atomic_store_n(&w, v, __ATOMIC_RELAXED); }

// ---- device state the handlers depend on ---------------------------------------------------

// The identity word of ids 0, 8, 9 (0 when the device holds no PCI identity).
ULONG CustomBoardIdentity(const CDevice* d);
// The board-model row of an identity: {pattern, mask, video inputs, audio inputs}.
struct BoardModel {
  ULONG pattern;
  ULONG mask;
  ULONG videoMask;
  ULONG audioMask;
};
inline constexpr ULONG kBoardModelCount = 134;
extern const std::array<BoardModel, kBoardModelCount> BoardModelTable;
const BoardModel* FindBoardModel(ULONG identity);
// The remapped family: a block of eight subsystem ids whose upper half is replaced by one
// of two family values, chosen by the subsystem vendor id's high byte.
#define BOARD_FAMILY_SUBSYSTEM_FIRST 0x7170u
#define BOARD_FAMILY_SUBSYSTEM_COUNT 8u
#define BOARD_FAMILY_VENDOR_HIGH 0x1Du
#define BOARD_FAMILY_VALUE_PRIMARY 0x7100u
#define BOARD_FAMILY_VALUE_SECONDARY 0x7101u

// The encoder board is started, at full power and holds its state block: only then may a
// handler stop the monitor thread or reach the board's registers and buses.
bool CustomBoardReachable(const CDevice* d);
// Kinds of the analog front end (by the identity as it stands; false without one).
bool CustomIsBoardKind(const CDevice* d, BoardKind kind);
// The seven fixed-rate models of BOARD_KIND_M, by their whole nSubsystemVendorIdLow.
bool CustomIsFixedRateModel(const CDevice* d);

// ---- special handlers, by area -------------------------------------------------------------
// Device (ids 0-11, the reserved ids, the virtual capture commands).
NTSTATUS OnGetCustomDeviceIdentityProperty(CustomRequest& r);
NTSTATUS OnGetCustomProcessorTechnologyProperty(CustomRequest& r);
NTSTATUS OnSetCustomProcessorTechnologyProperty(CustomRequest& r);
NTSTATUS OnGetCustomDeviceIndexProperty(CustomRequest& r);
NTSTATUS OnGetCustomDeviceTopologyProperty(CustomRequest& r);
NTSTATUS OnGetCustomDeviceVideoInputConfigProperty(CustomRequest& r);
NTSTATUS OnGetCustomDeviceAudioInputConfigProperty(CustomRequest& r);
NTSTATUS OnReservedProperty(CustomRequest& r);
NTSTATUS OnSetCustomVirtualCaptureVideoProperty(CustomRequest& r);
NTSTATUS OnSetCustomVirtualCaptureAudioProperty(CustomRequest& r);
// Analog video and audio.
NTSTATUS OnSetAnalogCrossbarVideoInputProperty(CustomRequest& r);
NTSTATUS OnSetCustomAnalogVideoSplitProperty(CustomRequest& r);
NTSTATUS OnGetCustomAnalogVideoSwitchTableProperty(CustomRequest& r);
NTSTATUS OnSetCustomAnalogVideoSwitchChannelTableProperty(CustomRequest& r);
NTSTATUS OnSetCustomAnalogVideoSwitchResolutionTableProperty(CustomRequest& r);
NTSTATUS OnGetAnalogVideoDecoderStatusProperty(CustomRequest& r);
NTSTATUS OnSetCustomAnalogVideoResolutionLimitProperty(CustomRequest& r);
NTSTATUS OnGetCustomAnalogVideoSignalWordProperty(CustomRequest& r);
NTSTATUS OnSetAnalogCrossbarAudioInputProperty(CustomRequest& r);
NTSTATUS OnGetCustomSpecialCameraInputProperty(CustomRequest& r);
NTSTATUS OnSetCustomSpecialCameraInputProperty(CustomRequest& r);
NTSTATUS OnGetCustomAnalogVideoEffectiveFrameRateProperty(CustomRequest& r);
// The effective frame rate of the current signal (id 274).
ULONG CustomEffectiveFrameRate(const CDevice* d);
// Digital tuner.
NTSTATUS OnGetDigitalTunerProperty(CustomRequest& r);
NTSTATUS OnSetDigitalTunerEncryptKeyProperty(CustomRequest& r);
// Preview and encoder.
NTSTATUS OnSetCustomEncoderVideoCompressionProperty(CustomRequest& r);
NTSTATUS OnGetCustomEncoderVideoCropProperty(CustomRequest& r);
NTSTATUS OnSetCustomEncoderVideoCropProperty(CustomRequest& r);
// Region, status, OSD, watchdog, GPIO and debug.
NTSTATUS OnGetCustomChannelRecordProperty(CustomRequest& r);
NTSTATUS OnSetCustomChannelRecordProperty(CustomRequest& r);
NTSTATUS OnGetCustomChannelStatusProperty(CustomRequest& r);
NTSTATUS OnSetCustomOsdTextSelectProperty(CustomRequest& r);
NTSTATUS OnSetCustomOsdTextDataProperty(CustomRequest& r);
NTSTATUS OnSetCustomOsdTextParamProperty(CustomRequest& r);
NTSTATUS OnGetCustomOsdPictureProperty(CustomRequest& r);
NTSTATUS OnSetCustomOsdPictureProperty(CustomRequest& r);
NTSTATUS OnSetCustomOsdPictureDataProperty(CustomRequest& r);
NTSTATUS OnSetCustomSoftwareWatchdogControlProperty(CustomRequest& r);
NTSTATUS OnSetCustomSoftwareWatchdogDurationProperty(CustomRequest& r);
NTSTATUS OnSetCustomGpioDirectionProperty(CustomRequest& r);
NTSTATUS OnGetCustomGpioDataProperty(CustomRequest& r);
NTSTATUS OnSetCustomGpioDataProperty(CustomRequest& r);
NTSTATUS OnGetCustomGpioSupportProperty(CustomRequest& r);
NTSTATUS OnGetCustomDebugEepromProperty(CustomRequest& r);
NTSTATUS OnSetCustomDebugEepromProperty(CustomRequest& r);
NTSTATUS OnGetCustomDebugBoardMemroyProperty(CustomRequest& r);
NTSTATUS OnSetCustomDebugBoardMemroyProperty(CustomRequest& r);
NTSTATUS OnSetCustomDebugEdidAccessEnableProperty(CustomRequest& r);
NTSTATUS OnGetCustomDebugEepromPidVidProperty(CustomRequest& r);
NTSTATUS OnSetCustomDebugEepromPidVidProperty(CustomRequest& r);
NTSTATUS OnGetCustomDebugStatusProperty(CustomRequest& r);
NTSTATUS OnSetCustomDebugOptionsProperty(CustomRequest& r);
NTSTATUS OnSetCustomDebugAddressProperty(CustomRequest& r);
// Sibling-model mailbox.
NTSTATUS OnSetCustomVQ377Interface(CustomRequest& r);
NTSTATUS OnGetCustomVQ377Data(CustomRequest& r);
