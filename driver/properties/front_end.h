// The analog front end's pinless filters (crossbar, TV tuner, TV audio): their filter
// object and the tables their property sets answer from. The property handlers are
// CDevice members (driver/core/device.h).
#pragma once

#include "driver/core/device.h"

// The context of a pinless filter (non-paged pool, tag "QZVK").
struct PinlessFilterContext {
  PKSDEVICE pKsDevice;
  PKSFILTER pKsFilter;
};
static_assert(sizeof(PinlessFilterContext) == 16);

class CAnalogFrontEndFilter {
 public:
  static NTSTATUS Create(PKSFILTER pKsFilter, PIRP pIrp);
  // Saves every setting of the device, then frees the context.
  static NTSTATUS Close(PKSFILTER pKsFilter, PIRP pIrp);
};

// One pin of a crossbar layout: direction, index, physical connection type, related pin
// index and medium code (-1: the all-zero medium set).
struct CrossbarPinRecord {
  KSPIN_DATAFLOW nDirection;
  ULONG nIndex;
  ULONG nPinType;
  ULONG nRelatedPin;
  int nMediumCode;
};
struct CrossbarRoute {
  ULONG nInput;
  ULONG nOutput;
};
struct CrossbarLayout {
  ULONG nInputs;
  ULONG nOutputs;
  const CrossbarPinRecord* pPins;
  ULONG nPins;
  const CrossbarRoute* pRoutes;
  ULONG nRoutes;
};
extern const CrossbarLayout CrossbarLayout3;  // composite, S-video, line audio
extern const CrossbarLayout CrossbarLayout5;  // ... and the tuner's video and audio
// The three-input layout on the crossbar family's boards or while the crossbar switch
// is on; the five-input layout otherwise.
const CrossbarLayout& CrossbarLayoutOf(const CDevice* pDevice);

// The audio stereo-system code a tuning stores (custom id 250): by the tuner standard,
// overridden by the country code, and 4 in FM radio mode.
ULONG StereoSystemCode(ULONG nStandard, ULONG nCountry, ULONG nTunerMode);
