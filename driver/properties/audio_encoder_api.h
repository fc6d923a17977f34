// The audio capture nodes' KSPROPSETID_Audio items and the encoder filter's three
// encoder-API parameter sets, with the values they publish. The encoder-API handlers are
// CDevice members (driver/core/device.h).
#pragma once

#include "driver/core/device.h"

class CAnalogWaveInFilter {
 public:
  // The nodes answer fixed values and log the request; nothing is stored.
  static NTSTATUS OnGetWaveInProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
  static NTSTATUS OnSetWaveInProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData);
};

// Published ranges: peak bit rate and bit rate (unsigned, 100,000..12,000,000, defaults
// 6,000,000 and 4,000,000), bit-rate mode (signed, values 0, 1, 2, default 0).
extern const KSPROPERTY_VALUES EncoderPeakBitRateValues;
extern const KSPROPERTY_VALUES EncoderBitRateValues;
extern const KSPROPERTY_VALUES EncoderBitRateModeValues;

// The peak a bit rate and mode call for: in mode 1 always, in mode 2 when the peak lies
// outside [11/10, 3/2] of the bit rate, the peak becomes 11/10 of a bit rate above
// 6,000,000 and 3/2 of any other; every other mode keeps it.
ULONG PeakBitRateFor(ULONG nBitRate, ULONG nMode, ULONG nPeak);
