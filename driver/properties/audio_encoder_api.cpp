// The audio nodes log and answer fixed values. The encoder-API parameters are channel
// 0's rate-control words of the custom set, stored without the set-by-application flag:
// they reach the encoder at its next full bring-up, not on a running stream, and the
// peak word is sent in no command at all.
#include "driver/properties/audio_encoder_api.h"

#include "driver/properties/standard_request.h"

namespace {

constexpr ULONG VT_I4 = 3;
constexpr ULONG VT_UI4 = 19;

const KSPROPERTY_STEPPING_LONG kBitRateSteps = {1, 0, {{100000, 12000000}}};
const ULONG kPeakDefault = 6000000;
const ULONG kBitRateDefault = 4000000;
const LONG kModes[3] = {0, 1, 2};
const LONG kModeDefault = 0;

const KSPROPERTY_MEMBERSLIST kPeakMembers[2] = {
    {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &kBitRateSteps},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(ULONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &kPeakDefault},
};
const KSPROPERTY_MEMBERSLIST kBitRateMembers[2] = {
    {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &kBitRateSteps},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(ULONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &kBitRateDefault},
};
const KSPROPERTY_MEMBERSLIST kModeMembers[2] = {
    {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 3, 0}, kModes},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &kModeDefault},
};

// The device of an encoder-API request.
NTSTATUS EncoderWord(PIRP pIrp, CDevice** ppDevice) {
  *ppDevice = DeviceOfRequest(pIrp);
  return *ppDevice ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
}

}  // namespace

const KSPROPERTY_VALUES EncoderPeakBitRateValues = {{KSPROPTYPESETID_General, VT_UI4, 0}, 2, kPeakMembers};
const KSPROPERTY_VALUES EncoderBitRateValues = {{KSPROPTYPESETID_General, VT_UI4, 0}, 2, kBitRateMembers};
const KSPROPERTY_VALUES EncoderBitRateModeValues = {{KSPROPTYPESETID_General, VT_I4, 0}, 2, kModeMembers};

// ---- audio nodes ----------------------------------------------------------------------------

NTSTATUS CAnalogWaveInFilter::OnGetWaveInProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  DbgPrint("CAnalogWaveInFilter::OnGetWaveInProperty( ID = %d )\n", (int)pRequest->Id);
  switch (pRequest->Id) {
    case KSPROPERTY_AUDIO_VOLUMELEVEL:
      DbgPrint("CAnalogWaveInFilter::OnGetWaveInProperty( KSPROPERTY_AUDIO_VOLUMELEVEL (%d) )\n",
               (int)reinterpret_cast<PKSNODEPROPERTY_AUDIO_CHANNEL>(pRequest)->Channel);
      *static_cast<LONG*>(pData) = 0;
      return STATUS_SUCCESS;
    case KSPROPERTY_AUDIO_CPU_RESOURCES:
      DbgPrint("CAnalogWaveInFilter::OnGetWaveInProperty( KSPROPERTY_AUDIO_CPU_RESOURCES () )\n");
      *static_cast<ULONG*>(pData) = 0;
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS CAnalogWaveInFilter::OnSetWaveInProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  DbgPrint("CAnalogWaveInFilter::OnSetWaveInProperty( ID = %d )\n", (int)pRequest->Id);
  switch (pRequest->Id) {
    case KSPROPERTY_AUDIO_VOLUMELEVEL:
      DbgPrint("CAnalogWaveInFilter::OnSetWaveInProperty( KSPROPERTY_AUDIO_VOLUMELEVEL (%d) (%d) )\n",
               (int)reinterpret_cast<PKSNODEPROPERTY_AUDIO_CHANNEL>(pRequest)->Channel,
               (int)*static_cast<LONG*>(pData));
      return STATUS_SUCCESS;
    case KSPROPERTY_AUDIO_CPU_RESOURCES:
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

// ---- encoder-API parameters -----------------------------------------------------------------

ULONG PeakBitRateFor(ULONG nBitRate, ULONG nMode, ULONG nPeak) {
  // 64-bit intermediates: the same as 32-bit arithmetic over the published range, and no
  // wrap-around for a bit rate far beyond it.
  const ULONG high = (ULONG)(3ull * nBitRate / 2);
  const ULONG low = (ULONG)(11ull * nBitRate / 10);
  if (nMode == 1 || (nMode == 2 && (nPeak > high || nPeak < low))) return nBitRate > 6000000 ? low : high;
  return nPeak;
}

void CDevice::ApplyPeakRule() {
  m_nEncoderVideoPeakBitRate[0] =
      PeakBitRateFor(m_nEncoderVideoBitRate[0], m_nEncoderVideoBitRateMode[0], m_nEncoderVideoPeakBitRate[0]);
}

#define ENCODER_API_HANDLERS(Name, member)                                                  \
  NTSTATUS CDevice::OnGet##Name##Property(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) { \
    CDevice* d;                                                                             \
    NTSTATUS status = EncoderWord(pIrp, &d);                                                \
    if (!NT_SUCCESS(status)) return status;                                                 \
    *static_cast<ULONG*>(pData) = d->member[0];                                             \
    return STATUS_SUCCESS;                                                                  \
  }                                                                                         \
  NTSTATUS CDevice::OnSet##Name##Property(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) { \
    CDevice* d;                                                                             \
    NTSTATUS status = EncoderWord(pIrp, &d);                                                \
    if (!NT_SUCCESS(status)) return status;                                                 \
    d->member[0] = *static_cast<ULONG*>(pData);                                             \
    d->ApplyPeakRule();                                                                     \
    return STATUS_SUCCESS;                                                                  \
  }

ENCODER_API_HANDLERS(EncoderPeakBitRate, m_nEncoderVideoPeakBitRate)
ENCODER_API_HANDLERS(EncoderBitRateMode, m_nEncoderVideoBitRateMode)
ENCODER_API_HANDLERS(EncoderBitRate, m_nEncoderVideoBitRate)
