// The analog front end's pinless filters and the crossbar, TV tuner and TV audio sets.
// Every value is a device setting: stored as given, loaded at start and saved when any
// of these filters closes. Nothing is sent to the board from here; the audio routing
// reads the stored crossbar input when it next runs.
#include "driver/properties/front_end.h"

#include <cstring>

#include "driver/core/board_kinds.h"
#include "driver/properties/standard_request.h"
#include "driver/streaming/guids.h"
#include "driver/streaming/templates.h"

namespace {

constexpr ULONG kContextTag = MakePoolTag("QZVK");

const CrossbarPinRecord kPins3[] = {
    {KSPIN_DATAFLOW_IN, 0, KS_PhysConn_Video_Composite, 2, -1},
    {KSPIN_DATAFLOW_IN, 1, KS_PhysConn_Video_SVideo, 2, -1},
    {KSPIN_DATAFLOW_IN, 2, KS_PhysConn_Audio_Line, 0, -1},
    {KSPIN_DATAFLOW_OUT, 0, KS_PhysConn_Video_VideoDecoder, 1, MEDIUM_CROSSBAR_VIDEO_OUT},
    {KSPIN_DATAFLOW_OUT, 1, KS_PhysConn_Audio_AudioDecoder, 0, MEDIUM_CROSSBAR_AUDIO_OUT},
};
const CrossbarPinRecord kPins5[] = {
    {KSPIN_DATAFLOW_IN, 0, KS_PhysConn_Video_Composite, 3, -1},
    {KSPIN_DATAFLOW_IN, 1, KS_PhysConn_Video_SVideo, 3, -1},
    {KSPIN_DATAFLOW_IN, 2, KS_PhysConn_Video_Tuner, 4, MEDIUM_TUNER_VIDEO_OUT},
    {KSPIN_DATAFLOW_IN, 3, KS_PhysConn_Audio_Line, 0, -1},
    {KSPIN_DATAFLOW_IN, 4, KS_PhysConn_Audio_Tuner, 2, MEDIUM_TVAUDIO_OUT},
    {KSPIN_DATAFLOW_OUT, 0, KS_PhysConn_Video_VideoDecoder, 1, MEDIUM_CROSSBAR_VIDEO_OUT},
    {KSPIN_DATAFLOW_OUT, 1, KS_PhysConn_Audio_AudioDecoder, 0, MEDIUM_CROSSBAR_AUDIO_OUT},
};
const CrossbarRoute kRoutes3[] = {{0, 0}, {1, 0}, {2, 1}};
const CrossbarRoute kRoutes5[] = {{0, 0}, {1, 0}, {2, 0}, {3, 1}, {4, 1}};

// Telephone country codes whose broadcasts use stereo system 0, and 1.
const ULONG kCountriesSystem0[] = {61, 43, 420, 49, 39, 82, 60, 31, 378, 386, 41};
const ULONG kCountriesSystem1[] = {32,  45, 372, 358, 33, 36,  972, 352, 64,  47, 48,
                                   351, 7,  65,  34,  46, 852, 354, 353, 853, 27, 44};

template <size_t N>
bool Listed(const ULONG (&list)[N], ULONG value) {
  for (ULONG v : list)
    if (v == value) return true;
  return false;
}

}  // namespace

const CrossbarLayout CrossbarLayout3 = {3, 2, kPins3, 5, kRoutes3, 3};
const CrossbarLayout CrossbarLayout5 = {5, 2, kPins5, 7, kRoutes5, 5};

const CrossbarLayout& CrossbarLayoutOf(const CDevice* pDevice) {
  const PCI_IDENTITY* id = pDevice->m_pPciIdentity;
  if (IsBoardKind(id, BOARD_KIND_I) || IsBoardKind(id, BOARD_KIND_J) || pDevice->m_nCrossbarEnable >= 1)
    return CrossbarLayout3;
  return CrossbarLayout5;
}

ULONG StereoSystemCode(ULONG nStandard, ULONG nCountry, ULONG nTunerMode) {
  ULONG s;
  switch (nStandard) {
    case KS_AnalogVideo_NTSC_M_J:
      s = 3;
      break;
    case KS_AnalogVideo_NTSC_M:
    case KS_AnalogVideo_PAL_M:
    case KS_AnalogVideo_PAL_N:
    case KS_AnalogVideo_PAL_N_COMBO:
      s = 2;
      break;
    case KS_AnalogVideo_PAL_I:
    case KS_AnalogVideo_SECAM_L:
    case KS_AnalogVideo_SECAM_L1:
      s = 1;
      break;
    default:
      s = 0;
      break;
  }
  if (Listed(kCountriesSystem0, nCountry)) s = 0;
  if (Listed(kCountriesSystem1, nCountry)) s = 1;
  if (nTunerMode == KSPROPERTY_TUNER_MODE_FM_RADIO) s = 4;
  return s;
}

// ---- the filter object ---------------------------------------------------------------------

NTSTATUS CAnalogFrontEndFilter::Create(PKSFILTER pKsFilter, PIRP pIrp) {
  PKSDEVICE pKsDevice = KsGetDevice(pKsFilter);
  if (!pKsDevice || !pKsDevice->Context) return STATUS_DEVICE_NOT_CONNECTED;
  auto* pContext = static_cast<PinlessFilterContext*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(PinlessFilterContext), kContextTag));
  if (!pContext) return STATUS_INSUFFICIENT_RESOURCES;
  pContext->pKsDevice = pKsDevice;
  pContext->pKsFilter = pKsFilter;
  pKsFilter->Context = pContext;
  return STATUS_SUCCESS;
}

NTSTATUS CAnalogFrontEndFilter::Close(PKSFILTER pKsFilter, PIRP pIrp) {
  auto* pContext = static_cast<PinlessFilterContext*>(pKsFilter->Context);
  PKSDEVICE pKsDevice = pContext ? pContext->pKsDevice : KsGetDevice(pKsFilter);
  if (pKsDevice && pKsDevice->Context) DeviceOf(pKsDevice)->SaveSettings();
  if (pContext) ExFreePoolWithTag(pContext, kContextTag);
  pKsFilter->Context = nullptr;
  return STATUS_SUCCESS;
}

// ---- crossbar ---------------------------------------------------------------------------------

NTSTATUS CDevice::OnGetCrossbarProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  CDevice* d = DeviceOfRequest(pIrp);
  if (!d) return STATUS_DEVICE_NOT_CONNECTED;
  const CrossbarLayout& layout = CrossbarLayoutOf(d);
  switch (pRequest->Id) {
    case KSPROPERTY_CROSSBAR_CAPS: {
      auto* v = static_cast<PKSPROPERTY_CROSSBAR_CAPS_S>(pData);
      std::memcpy(v, pRequest, sizeof(KSPROPERTY));
      v->NumberOfInputs = layout.nInputs;
      v->NumberOfOutputs = layout.nOutputs;
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_CROSSBAR_PININFO: {
      auto* v = static_cast<PKSPROPERTY_CROSSBAR_PININFO_S>(pData);
      std::memcpy(v, pRequest, sizeof(*v));
      // The direction is the caller's word, not necessarily a dataflow value: compared as
      // a word. A pin the layout does not have leaves the request as it came.
      ULONG direction;
      std::memcpy(&direction, &v->Direction, sizeof(direction));
      for (ULONG i = 0; i < layout.nPins; i++) {
        const CrossbarPinRecord& p = layout.pPins[i];
        if ((ULONG)p.nDirection != direction || p.nIndex != v->Index) continue;
        v->PinType = p.nPinType;
        v->RelatedPinIndex = p.nRelatedPin;
        v->Medium = MediumOf(p.nMediumCode, d->m_nMediumId);
        break;
      }
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_CROSSBAR_CAN_ROUTE: {
      auto* v = static_cast<PKSPROPERTY_CROSSBAR_ROUTE_S>(pData);
      std::memcpy(v, pRequest, sizeof(*v));
      v->CanRoute = 0;
      for (ULONG i = 0; i < layout.nRoutes; i++)
        if (layout.pRoutes[i].nInput == v->IndexInputPin && layout.pRoutes[i].nOutput == v->IndexOutputPin)
          v->CanRoute = 1;
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_CROSSBAR_ROUTE: {
      auto* v = static_cast<PKSPROPERTY_CROSSBAR_ROUTE_S>(pData);
      std::memcpy(v, pRequest, sizeof(*v));
      if (v->IndexOutputPin >= 2) {
        v->CanRoute = 0;
      } else if (v->IndexOutputPin == 0) {
        v->IndexOutputPin = d->m_nAnalogCrossbarVideoOutput;
        v->IndexInputPin = d->m_nAnalogCrossbarVideoInput;
        v->CanRoute = 1;
      }
      // The output as now stored: a video output word of 1 answers with the audio route.
      if (v->IndexOutputPin == 1) {
        v->IndexOutputPin = d->m_nAnalogCrossbarAudioOutput;
        v->IndexInputPin = d->m_nAnalogCrossbarAudioInput;
        v->CanRoute = 1;
      }
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS CDevice::OnSetCrossbarProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  if (pRequest->Id != KSPROPERTY_CROSSBAR_ROUTE) return STATUS_NOT_SUPPORTED;
  CDevice* d = DeviceOfRequest(pIrp);
  if (!d) return STATUS_DEVICE_NOT_CONNECTED;
  auto* v = static_cast<PKSPROPERTY_CROSSBAR_ROUTE_S>(pData);
  std::memcpy(v, pRequest, sizeof(*v));
  // The input is stored as given; the audio routing applies it when it next runs.
  if (v->IndexOutputPin >= 2) {
    v->CanRoute = 0;
  } else if (v->IndexOutputPin == 0) {
    d->m_nAnalogCrossbarVideoOutput = 0;
    d->m_nAnalogCrossbarVideoInput = v->IndexInputPin;
    v->CanRoute = 1;
  } else {
    d->m_nAnalogCrossbarAudioOutput = 1;
    d->m_nAnalogCrossbarAudioInput = v->IndexInputPin;
    v->CanRoute = 1;
  }
  return STATUS_SUCCESS;
}

// ---- TV tuner ----------------------------------------------------------------------------------

NTSTATUS CDevice::OnGetTunerProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  CDevice* d = DeviceOfRequest(pIrp);
  if (!d) return STATUS_DEVICE_NOT_CONNECTED;
  switch (pRequest->Id) {
    case KSPROPERTY_TUNER_CAPS: {
      auto* v = static_cast<PKSPROPERTY_TUNER_CAPS_S>(pData);
      v->ModesSupported = KSPROPERTY_TUNER_MODE_TV | KSPROPERTY_TUNER_MODE_FM_RADIO;
      v->VideoMedium = MediumOf(MEDIUM_TUNER_VIDEO_OUT, d->m_nMediumId);
      v->TVAudioMedium = MediumOf(MEDIUM_TUNER_AUDIO_OUT, d->m_nMediumId);
      v->RadioAudioMedium = MediumOf(-1, d->m_nMediumId);
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_TUNER_MODE_CAPS: {
      auto* v = static_cast<PKSPROPERTY_TUNER_MODE_CAPS_S>(pData);
      const ULONG mode = reinterpret_cast<const KSPROPERTY_TUNER_MODE_CAPS_S*>(pRequest)->Mode;
      if (mode != KSPROPERTY_TUNER_MODE_TV && mode != KSPROPERTY_TUNER_MODE_FM_RADIO) return STATUS_INVALID_PARAMETER;
      std::memcpy(v, pRequest, sizeof(*v));
      const bool tv = mode == KSPROPERTY_TUNER_MODE_TV;
      v->StandardsSupported = tv ? 0x1F7773u : 0;
      v->MinFrequency = tv ? 11250000u : 76000000u;
      v->MaxFrequency = tv ? 997250000u : 108000000u;
      v->TuningGranularity = tv ? 62500u : 50000u;
      v->NumberOfInputs = 1;
      v->SettlingTime = 100;
      v->Strategy = KS_TUNER_STRATEGY_PLL;
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_TUNER_MODE:
      static_cast<PKSPROPERTY_TUNER_MODE_S>(pData)->Mode = d->m_nAnalogTunerMode;
      return STATUS_SUCCESS;
    case KSPROPERTY_TUNER_STANDARD:
      static_cast<PKSPROPERTY_TUNER_STANDARD_S>(pData)->Standard = d->m_nAnalogTunerStandard;
      return STATUS_SUCCESS;
    case KSPROPERTY_TUNER_INPUT:
      static_cast<PKSPROPERTY_TUNER_INPUT_S>(pData)->InputIndex = d->m_nAnalogTunerInput;
      return STATUS_SUCCESS;
    case KSPROPERTY_TUNER_STATUS: {
      auto* v = static_cast<PKSPROPERTY_TUNER_STATUS_S>(pData);
      const bool tv = d->m_nAnalogTunerMode == KSPROPERTY_TUNER_MODE_TV;
      if (tv) {
        // A TV tuning settles for 100 ms before its status is read.
        LARGE_INTEGER interval;
        interval.QuadPart = -100LL * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
      }
      v->CurrentFrequency = d->m_nAnalogTunerCurrentFrequency;
      v->PLLOffset = 0;
      v->SignalStrength = tv ? 0 : d->m_nAnalogVideoDecoderStatus;
      v->Busy = 0;
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_TUNER_IF_MEDIUM:
      static_cast<PKSPROPERTY_TUNER_IF_MEDIUM_S>(pData)->IFMedium = MediumOf(-1, 0);
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS CDevice::OnSetTunerProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  CDevice* d = DeviceOfRequest(pIrp);
  if (!d) return STATUS_DEVICE_NOT_CONNECTED;
  switch (pRequest->Id) {
    case KSPROPERTY_TUNER_MODE:
      d->m_nAnalogTunerMode = static_cast<PKSPROPERTY_TUNER_MODE_S>(pData)->Mode;
      return STATUS_SUCCESS;
    case KSPROPERTY_TUNER_STANDARD:
      d->m_nAnalogTunerStandard = static_cast<PKSPROPERTY_TUNER_STANDARD_S>(pData)->Standard;
      return STATUS_SUCCESS;
    case KSPROPERTY_TUNER_INPUT:
      d->m_nAnalogTunerInput = static_cast<PKSPROPERTY_TUNER_INPUT_S>(pData)->InputIndex;
      return STATUS_SUCCESS;
    case KSPROPERTY_TUNER_FREQUENCY: {
      const auto* v = static_cast<PKSPROPERTY_TUNER_FREQUENCY_S>(pData);
      d->m_nAnalogAudioStereoSystem = StereoSystemCode(d->m_nAnalogTunerStandard, v->Country, d->m_nAnalogTunerMode);
      d->m_nAnalogTunerCurrentFrequency = v->Frequency;
      d->m_nAnalogTunerCountry = v->Country;
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

// ---- TV audio ------------------------------------------------------------------------------------

namespace {
constexpr ULONG kTvAudioModes = KS_TVAUDIO_MODE_MONO | KS_TVAUDIO_MODE_STEREO | KS_TVAUDIO_MODE_LANG_A |
                                KS_TVAUDIO_MODE_LANG_B | KS_TVAUDIO_MODE_LANG_C;
static_assert(kTvAudioModes == 0x73);
}  // namespace

NTSTATUS CDevice::OnGetTVAudioProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  CDevice* d = DeviceOfRequest(pIrp);
  if (!d) return STATUS_DEVICE_NOT_CONNECTED;
  switch (pRequest->Id) {
    case KSPROPERTY_TVAUDIO_CAPS: {
      auto* v = static_cast<PKSPROPERTY_TVAUDIO_CAPS_S>(pData);
      v->Capabilities = kTvAudioModes;
      v->InputMedium = MediumOf(MEDIUM_TUNER_AUDIO_OUT, d->m_nMediumId);
      v->OutputMedium = MediumOf(MEDIUM_TVAUDIO_OUT, d->m_nMediumId);
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_TVAUDIO_MODE:
      static_cast<PKSPROPERTY_TVAUDIO_S>(pData)->Mode = d->m_nAnalogTVAudioMode;
      return STATUS_SUCCESS;
    case KSPROPERTY_TVAUDIO_CURRENTLY_AVAILABLE_MODES:
      static_cast<PKSPROPERTY_TVAUDIO_S>(pData)->Mode = kTvAudioModes;
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS CDevice::OnSetTVAudioProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  if (pRequest->Id != KSPROPERTY_TVAUDIO_MODE) return STATUS_NOT_SUPPORTED;
  CDevice* d = DeviceOfRequest(pIrp);
  if (!d) return STATUS_DEVICE_NOT_CONNECTED;
  d->m_nAnalogTVAudioMode = static_cast<PKSPROPERTY_TVAUDIO_S>(pData)->Mode;
  return STATUS_SUCCESS;
}
