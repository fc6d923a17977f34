// The capture filters' dispatch: every video capture, audio capture, virtual-capture and
// encoder filter runs the same Create and Close. Create works out the filter's channel
// and kind from its reference GUID alone, maps the channel number to the channel index
// the board needs, and for some board kinds edits the descriptor copy-on-write; Close
// saves the device's settings.
#pragma once

#include "driver/core/device.h"
#include "driver/streaming/pin_context.h"
#include "platform/kernel/kernel.h"
#include "platform/ks/ks.h"

// FilterContext.nKind values.
#define FILTER_KIND_CAPTURE 0
#define FILTER_KIND_VIRTUAL_VIDEO 10
#define FILTER_KIND_VIRTUAL_AUDIO 11

// Pool tags of the descriptor copies filter create and the pins' format changes make.
constexpr ULONG kVideoEditTag = MakePoolTag("Vamp");
constexpr ULONG kAudioEditTag = MakePoolTag("Aamp");

class CCaptureFilter {
 public:
  static NTSTATUS Create(PKSFILTER pKsFilter, PIRP pIrp);
  static NTSTATUS Close(PKSFILTER pKsFilter, PIRP pIrp);

  // What a reference GUID says: the 1-based channel number (0: none of the driver's
  // capture GUIDs), the filter kind and whether it is an audio filter.
  struct Identity {
    ULONG nChannelNumber;
    ULONG nKind;
    BOOLEAN bAudio;
  };
  static Identity IdentifyReference(const GUID* pReference, BOOLEAN bVirtualCaptureDevice);
  // The channel index of channel number c on the device's board, and whether the board
  // takes the descriptor edits.
  static ULONG MapChannelIndex(const CDevice* pDevice, ULONG c, BOOLEAN bAudio, BOOLEAN* pbEdit);
};

// A pin's owners, as its Create finds them from the request.
struct PinOwner {
  PKSFILTER pKsFilter;
  PKSDEVICE pKsDevice;
  CDevice* pDevice;
  FilterContext* pFilterContext;
};
// STATUS_DEVICE_NOT_CONNECTED when the filter, its KS device or the device object is
// missing, or (with bNeedFilterContext) the filter has no context.
NTSTATUS FindPinOwner(PIRP pIrp, BOOLEAN bNeedFilterContext, PinOwner* pOwner);

// TRUE for a pin of a virtual-capture filter: such a pin has no stream on the board, so
// it takes no channel-table row, no stream power and no delivery routine whatever its
// stream index.
BOOLEAN IsVirtualCapturePin(const PinContext* pContext);
