// The standard video property sets. Values are the device's settings members, stored
// with the set-by-application flag and returned without it; nothing here reaches the
// board. A standard query or change also rewrites the capture pin's data-range list.
#include "driver/properties/standard_video.h"

#include <cstring>

#include "driver/core/board_kinds.h"
#include "driver/core/settings_table.h"
#include "driver/hardware/board_state.h"
#include "driver/properties/standard_request.h"
#include "driver/streaming/ranges.h"

namespace {

constexpr ULONG kEditTag = MakePoolTag("Vamp");

// Frame intervals (100 ns) a 525-line and a 625-line standard run at.
constexpr LONGLONG kInterval525 = 166833;
constexpr LONGLONG kInterval625 = 200000;
constexpr ULONGLONG kTenBillion = 10000000000ull;

bool Is525(ULONG standard) { return (standard & VIDEO_STANDARDS_525) != 0; }
bool Is625(ULONG standard) { return (standard & VIDEO_STANDARDS_625) != 0; }

// The picture-control member array of a property id.
ULONG* ProcAmpMember(CDevice* d, ULONG id) {
  switch (id) {
    case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS:
      return d->m_nAnalogVideoProcAmpBrightness;
    case KSPROPERTY_VIDEOPROCAMP_CONTRAST:
      return d->m_nAnalogVideoProcAmpContrast;
    case KSPROPERTY_VIDEOPROCAMP_HUE:
      return d->m_nAnalogVideoProcAmpHue;
    case KSPROPERTY_VIDEOPROCAMP_SATURATION:
      return d->m_nAnalogVideoProcAmpSaturation;
    case KSPROPERTY_VIDEOPROCAMP_SHARPNESS:
      return d->m_nAnalogVideoProcAmpSharpness;
    case KSPROPERTY_VIDEOPROCAMP_GAMMA:
      return d->m_nAnalogVideoProcAmpGamma;
    case KSPROPERTY_VIDEOPROCAMP_COLORENABLE:
      return d->m_nAnalogVideoProcAmpColorEnable;
    case KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE:
      return d->m_nAnalogVideoProcAmpWhiteBalance;
    case KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION:
      return d->m_nAnalogVideoProcAmpBacklightCompensation;
    case KSPROPERTY_VIDEOPROCAMP_GAIN:
      return d->m_nAnalogVideoProcAmpGain;
    default:
      return nullptr;
  }
}

// The video-compression member array of a property id (1-4).
ULONG* CompressionMember(CDevice* d, ULONG id) {
  switch (id) {
    case KSPROPERTY_VIDEOCOMPRESSION_KEYFRAME_RATE:
      return d->m_nAnalogVideoCompressionKeyframeRate;
    case KSPROPERTY_VIDEOCOMPRESSION_PFRAMES_PER_KEYFRAME:
      return d->m_nAnalogVideoCompressionPfrmesPerKeyframe;
    case KSPROPERTY_VIDEOCOMPRESSION_QUALITY:
      return d->m_nAnalogVideoCompressionQuality;
    case KSPROPERTY_VIDEOCOMPRESSION_OVERRIDE_KEYFRAME:
      return d->m_nAnalogVideoCompressionOverrideKeyframe;
    default:
      return nullptr;
  }
}

// Resolves the device and the picture-control channel of a request; a channel outside
// the 16-entry arrays is refused rather than clamped onto another channel's setting.
NTSTATUS ProcAmpTarget(PIRP pIrp, CDevice** ppDevice, ULONG* pChannel) {
  *ppDevice = DeviceOfRequest(pIrp);
  FilterContext* pContext = FilterContextOfRequest(pIrp);
  if (!*ppDevice || !pContext) return STATUS_DEVICE_NOT_CONNECTED;
  if (pContext->nChannel >= CHANNELS_16) return STATUS_INVALID_PARAMETER;
  *pChannel = pContext->nChannel;
  return STATUS_SUCCESS;
}

// ---- published picture-control values ----------------------------------------------
KSPROPERTY_STEPPING_LONG g_procAmpStepping;
LONG g_procAmpDefaults[5];
KSPROPERTY_MEMBERSLIST g_procAmpMembers[5][2];

// ---- the data-range rewrite ------------------------------------------------------------

struct RangeSize {
  USHORT width, height525, height625;
};

// The interval class of a record, read back from its frame-interval limits.
IntervalClass IntervalClassOf(PKSDATARANGE pRange) {
  if (!pRange || pRange->FormatSize < sizeof(KS_DATARANGE_VIDEO)) return IC_FULL;
  const KS_VIDEO_STREAM_CONFIG_CAPS& caps = reinterpret_cast<KS_DATARANGE_VIDEO*>(pRange)->ConfigCaps;
  if (caps.MinFrameInterval == caps.MaxFrameInterval)
    return caps.MinFrameInterval == 166833 || caps.MinFrameInterval == 200000 ? IC_60_ONLY : IC_30_ONLY;
  return IC_FULL;
}

// The record of a format and size for one line standard, of the interval class the
// entry it replaces has when there is one.
PKSDATARANGE VariantRecord(VideoFormat format, const RangeSize& size, LineStandard standard, PKSDATARANGE current) {
  const USHORT height = standard == LINES_525 ? size.height525 : size.height625;
  const IntervalClass preferred = IntervalClassOf(current);
  if (PKSDATARANGE r = FindVideoRange(format, size.width, height, standard, preferred)) return r;
  for (IntervalClass c : {IC_FULL, IC_30_ONLY, IC_60_ONLY})
    if (PKSDATARANGE r = FindVideoRange(format, size.width, height, standard, c)) return r;
  return nullptr;
}

// How many entries a range list can hold from where it starts: the room left in its
// range block, or (for a list outside the blocks) the entries it lists now.
ULONG RangeListCapacity(PKSDATARANGE const* pList, ULONG nCount) {
  for (ULONG b = 0; b < RANGE_BLOCKS; b++) {
    PKSDATARANGE const* first = RangeBlocks[b];
    if (pList >= first && pList < first + RANGE_BLOCK_ENTRIES) return (ULONG)(first + RANGE_BLOCK_ENTRIES - pList);
  }
  return nCount;
}

}  // namespace

PFN_VIDEO_PROCAMP_APPLY VideoProcAmpApplyHook = VideoProcAmpApplyNothing;

NTSTATUS VideoProcAmpApplyNothing(CDevice*, ULONG, ULONG) { return STATUS_SUCCESS; }

const KSPROPERTY_VALUES VideoProcAmpValues[5] = {
    {{KSPROPTYPESETID_General, 3 /* VT_I4 */, 0}, 2, g_procAmpMembers[0]},
    {{KSPROPTYPESETID_General, 3, 0}, 2, g_procAmpMembers[1]},
    {{KSPROPTYPESETID_General, 3, 0}, 2, g_procAmpMembers[2]},
    {{KSPROPTYPESETID_General, 3, 0}, 2, g_procAmpMembers[3]},
    {{KSPROPTYPESETID_General, 3, 0}, 2, g_procAmpMembers[4]},
};

void InitializeVideoProcAmpValues() {
  g_procAmpStepping = KSPROPERTY_STEPPING_LONG{};
  g_procAmpStepping.SteppingDelta = 1;
  g_procAmpStepping.Bounds.SignedMinimum = 0;
  g_procAmpStepping.Bounds.SignedMaximum = 255;
  for (int i = 0; i < 5; i++) {
    g_procAmpDefaults[i] = 128;
    g_procAmpMembers[i][0] = {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0},
                              &g_procAmpStepping};
    g_procAmpMembers[i][1] = {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT},
                              &g_procAmpDefaults[i]};
  }
}

void ReportVideoProcAmpDefaults(ULONG nSet) {
  if (nSet < 1 || nSet > SETTINGS_PROCAMP_SET_COUNT) return;
  for (int i = 0; i < 5; i++) g_procAmpDefaults[i] = (LONG)SettingsProcAmpBoardSets[nSet - 1][i];
}

LONG VideoProcAmpReportedDefault(ULONG nPropertyId) { return nPropertyId < 5 ? g_procAmpDefaults[nPropertyId] : 0; }

BOOLEAN IsFixedRateModelOfKindM(const PCI_IDENTITY* pIdentity) {
  if (!IsBoardKind(pIdentity, BOARD_KIND_M)) return FALSE;
  // The seven models that run at the signal's own rate: subsystem bytes 0xB1 to 0xB7.
  const UCHAR model = pIdentity->nSubsystemVendorIdLow;
  return model >= 0xB1 && model <= 0xB7;
}

// ---- picture controls -------------------------------------------------------------------

NTSTATUS CDevice::OnGetVideoProcAmpProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  CDevice* d;
  ULONG channel;
  ULONG* member = nullptr;
  NTSTATUS status = STATUS_NOT_SUPPORTED;
  if (pRequest->Id < VIDEO_PROCAMP_PROPERTIES) status = ProcAmpTarget(pIrp, &d, &channel);
  if (!NT_SUCCESS(status)) return status;
  member = ProcAmpMember(d, pRequest->Id);
  auto* v = static_cast<PKSPROPERTY_VIDEOPROCAMP_S>(pData);
  v->Value = (LONG)(member[channel] & PROPERTY_GET_MASK);
  v->Flags = 0;
  v->Capabilities = 0;
  return STATUS_SUCCESS;
}

NTSTATUS CDevice::OnSetVideoProcAmpProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  CDevice* d;
  ULONG channel;
  NTSTATUS status = STATUS_NOT_SUPPORTED;
  if (pRequest->Id < VIDEO_PROCAMP_PROPERTIES) status = ProcAmpTarget(pIrp, &d, &channel);
  if (!NT_SUCCESS(status)) return status;
  ULONG* member = ProcAmpMember(d, pRequest->Id);
  const ULONG value = (ULONG) static_cast<PKSPROPERTY_VIDEOPROCAMP_S>(pData)->Value;
  const ULONG old = member[channel];
  // Stored again with the flag even when unchanged, so the save keeps it as the
  // application's choice; only a real change is applied.
  member[channel] = value | PROPERTY_FLAG_SET_BY_APPLICATION;
  if ((old & PROPERTY_GET_MASK) != (value & PROPERTY_GET_MASK)) return VideoProcAmpApplyHook(d, channel, pRequest->Id);
  return STATUS_SUCCESS;
}

// ---- video control ------------------------------------------------------------------------

ULONG CDevice::BuildFrameRateList(LONGLONG* pEntries, ULONG nRoom) {
  // 1: the signal's rate in milli-frames per second, per frame when interleaved.
  ULONG f = m_nAnalogVideoFrameRate * 1000;
  if (m_nAnalogVideoInterleaved == 1) f /= 2;
  // 2: high pixel rates are offered at half rate, by the board's rule.
  const PCI_IDENTITY* id = m_pPciIdentity;
  const BOOLEAN kindL = IsBoardKind(id, BOARD_KIND_L), kindM = IsBoardKind(id, BOARD_KIND_M);
  bool halved;
  if ((kindL || kindM) && m_nCompanyPexton) {
    halved = m_nAnalogVideoFrameRate > 30;
  } else if (kindL || IsFixedRateModelOfKindM(id)) {
    halved = false;
  } else {
    const ULONG width = m_nAnalogVideoResolution >> 16, height = m_nAnalogVideoResolution & 0xFFFF;
    halved = m_nAnalogVideoFrameRate * height * width > 69120000u;
  }
  if (halved) f >>= 1;
  // 3: a fractional signal runs at 1000/1001 of its nominal rate.
  if (m_nAnalogVideoDecoderStatus == 1 && m_pBoardState && m_pBoardState->bSignalFractional == 1)
    f = (ULONG)((ULONGLONG)f * 1000 / 1001);
  // 4: no signal: the standard's rate.
  if (f == 0) {
    if (Is525(m_nAnalogVideoDecoderStandard)) f = 29970;
    if (Is625(m_nAnalogVideoDecoderStandard)) f = 25000;
  }
  // A standard in neither class leaves no rate: an empty list rather than a division
  // by zero.
  if (f == 0) return 0;
  // 5, 6: the list from the longest interval to the shortest, each value modulo 2^32.
  ULONG count = (ULONG)(((ULONGLONG)f + 500) / 1000);
  if (m_nCompanyVaplet) count = 1;
  if (!pEntries) return count;
  for (ULONG i = 0; i < count && i < nRoom; i++) {
    ULONGLONG value;
    if (m_nCompanyVaplet) {
      value = kTenBillion / f;
    } else if (m_nAnalogVideoFlexibleFpsPatch) {
      value = kTenBillion / ((ULONGLONG)(i + 1) * 1000);
    } else if (halved) {
      value = i == count - 1 ? kTenBillion / (2ull * f) : (ULONGLONG)(count - 1 - i) * kTenBillion / f;
    } else {
      value = (ULONGLONG)(count - i) * kTenBillion / f;
    }
    pEntries[i] = (LONGLONG)(ULONG)value;
  }
  return count;
}

NTSTATUS CDevice::OnGetVideoControlProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  CDevice* d = DeviceOfRequest(pIrp);
  if (!d) return STATUS_DEVICE_NOT_CONNECTED;
  switch (pRequest->Id) {
    case KSPROPERTY_VIDEOCONTROL_CAPS: {
      auto* v = static_cast<PKSPROPERTY_VIDEOCONTROL_CAPS_S>(pData);
      std::memcpy(v, pRequest, sizeof(*v));
      v->VideoControlCaps = 0;
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE: {
      auto* v = static_cast<PKSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S>(pData);
      std::memcpy(v, pRequest, offsetof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, CurrentActualFrameRate));
      const LONGLONG interval = Is525(d->m_nAnalogVideoDecoderStandard) ? kInterval525 : kInterval625;
      v->CurrentActualFrameRate = interval;
      v->CurrentMaxAvailableFrameRate = interval;
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_VIDEOCONTROL_FRAME_RATES: {
      const ULONG count = d->BuildFrameRateList(nullptr, 0);
      const ULONG_PTR size = sizeof(KSMULTIPLE_ITEM) + (ULONG_PTR)count * sizeof(LONGLONG);
      pIrp->IoStatus.Information = size;
      const ULONG length = RequestDataLength(pIrp);
      if (!pData || length == 0) return STATUS_BUFFER_OVERFLOW;
      // The list is written only into a buffer that holds all of it.
      if (length < size) return STATUS_BUFFER_TOO_SMALL;
      auto* head = static_cast<PKSMULTIPLE_ITEM>(pData);
      head->Size = (ULONG)size;
      head->Count = count;
      LONGLONG* entries = reinterpret_cast<LONGLONG*>(head + 1);
      d->BuildFrameRateList(entries, count);
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_VIDEOCONTROL_MODE: {
      auto* v = static_cast<PKSPROPERTY_VIDEOCONTROL_MODE_S>(pData);
      std::memcpy(v, pRequest, sizeof(*v));
      v->Mode = 0;
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS CDevice::OnSetVideoControlProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  if (pRequest->Id != KSPROPERTY_VIDEOCONTROL_MODE) return STATUS_NOT_SUPPORTED;
  if (!DeviceOfRequest(pIrp)) return STATUS_DEVICE_NOT_CONNECTED;
  // Any mode is accepted and nothing is stored.
  std::memcpy(pData, pRequest, sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S));
  return STATUS_SUCCESS;
}

// ---- video decoder ------------------------------------------------------------------------

NTSTATUS CDevice::RewriteDataRanges(PKSFILTER pKsFilter) {
  const PCI_IDENTITY* id = m_pPciIdentity;
  if (!pKsFilter || !id) return STATUS_SUCCESS;
  // The filter's own descriptors first: nothing is written into the shared templates.
  NTSTATUS status = _KsEdit(pKsFilter->Bag, (PVOID*)&pKsFilter->Descriptor, sizeof(KSFILTER_DESCRIPTOR),
                            sizeof(KSFILTER_DESCRIPTOR), kEditTag);
  if (!NT_SUCCESS(status)) return status;
  auto* filter = const_cast<KSFILTER_DESCRIPTOR*>(pKsFilter->Descriptor);
  if (filter->PinDescriptorsCount == 0 || !filter->PinDescriptors) return STATUS_SUCCESS;
  const ULONG stride = filter->PinDescriptorSize ? filter->PinDescriptorSize : (ULONG)sizeof(KSPIN_DESCRIPTOR_EX);
  const ULONG pinBytes = filter->PinDescriptorsCount * stride;
  status = _KsEdit(pKsFilter->Bag, (PVOID*)&filter->PinDescriptors, pinBytes, pinBytes, kEditTag);
  if (!NT_SUCCESS(status)) return status;
  auto* pin = const_cast<KSPIN_DESCRIPTOR_EX*>(filter->PinDescriptors);
  if (!pin->PinDescriptor.DataRanges) return STATUS_SUCCESS;
  // The entries themselves are the shared list's: every filter using it sees them.
  auto* list = const_cast<PKSDATARANGE*>(pin->PinDescriptor.DataRanges);
  const ULONG listed = pin->PinDescriptor.DataRangesCount;

  if (IsBoardKind(id, BOARD_KIND_D) || IsBoardKind(id, BOARD_KIND_F) || IsBoardKind(id, BOARD_KIND_G) ||
      IsBoardKind(id, BOARD_KIND_W)) {
    const ULONG count = m_nAnalogVideoUStreamPatch ? 10 : 58;
    if (count <= RangeListCapacity(list, listed)) pin->PinDescriptor.DataRangesCount = count;
    return STATUS_SUCCESS;
  }
  const ULONG standard = m_nAnalogVideoDecoderStandard;
  if (!Is525(standard) && !Is625(standard)) return STATUS_SUCCESS;
  const LineStandard mine = Is525(standard) ? LINES_525 : LINES_625;

  static const RangeSize kSeven[7] = {{720, 480, 576}, {704, 480, 576}, {640, 480, 576}, {360, 240, 288},
                                      {352, 240, 288}, {320, 240, 288}, {256, 240, 288}};
  if (IsBoardKind(id, BOARD_KIND_I) || IsBoardKind(id, BOARD_KIND_J) || IsBoardKind(id, BOARD_KIND_K)) {
    for (ULONG i = 0; i < 7 && i < listed; i++)
      if (PKSDATARANGE r = VariantRecord(VF_YUY2, kSeven[i], mine, list[i])) list[i] = r;
    return STATUS_SUCCESS;
  }
  VideoFormat format;
  RangeSize size;
  if (IsBoardKind(id, BOARD_KIND_E)) {
    format = VF_UYVY, size = {704, 480, 576};
  } else if (IsBoardKind(id, BOARD_KIND_H) || IsBoardKind(id, BOARD_KIND_ENCODER)) {
    format = VF_YV12, size = {704, 480, 576};
  } else if (m_nCompanyPellucine) {
    format = VF_RGB32, size = {720, 480, 576};
  } else if (m_nCompanyMarplin) {
    format = VF_YUY2, size = {704, 480, 576};
  } else {
    format = VF_YUY2, size = {720, 480, 576};
  }
  // The standard's own variant first, the other second.
  const LineStandard order[2] = {mine, mine == LINES_525 ? LINES_625 : LINES_525};
  for (ULONG i = 0; i < 2 && i < listed; i++)
    if (PKSDATARANGE r = VariantRecord(format, size, order[i], list[i])) list[i] = r;
  return STATUS_SUCCESS;
}

NTSTATUS CDevice::OnGetVideoDecoderProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  CDevice* d = DeviceOfRequest(pIrp);
  if (!d) return STATUS_DEVICE_NOT_CONNECTED;
  switch (pRequest->Id) {
    case KSPROPERTY_VIDEODECODER_CAPS: {
      auto* v = static_cast<PKSPROPERTY_VIDEODECODER_CAPS_S>(pData);
      ULONG standards = IsBoardKind(d->m_pPciIdentity, BOARD_KIND_R) ? VIDEO_STANDARDS_625 : 0x1FFFF7u;
      if (d->m_nAnalogVideoDecoderStandardNtscOnly) standards = VIDEO_STANDARDS_525;
      if (d->m_nAnalogVideoDecoderStandardPalOnly) standards = VIDEO_STANDARDS_625;
      v->StandardsSupported = standards;
      v->Capabilities = KS_VIDEODECODER_FLAGS_CAN_INDICATE_LOCKED;
      v->SettlingTime = 10;
      v->HSyncPerVSync = 6;
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_VIDEODECODER_STANDARD:
      static_cast<PKSPROPERTY_VIDEODECODER_S>(pData)->Value = d->m_nAnalogVideoDecoderStandard;
      d->RewriteDataRanges(KsGetFilterFromIrp(pIrp));
      return STATUS_SUCCESS;
    case KSPROPERTY_VIDEODECODER_STATUS: {
      auto* v = static_cast<PKSPROPERTY_VIDEODECODER_STATUS_S>(pData);
      switch (d->m_nAnalogVideoDecoderStandard) {
        case 0x1:
        case 0x2:
        case 0x4:
        case 0x200:
        case 0x800:
          v->NumberOfLines = 525;
          break;
        case 0x10:
        case 0x20:
        case 0x40:
        case 0x80:
        case 0x100:
        case 0x400:
        case 0x1000:
        case 0x2000:
        case 0x4000:
        case 0x8000:
        case 0x10000:
        case 0x20000:
        case 0x40000:
        case 0x80000:
        case 0x100000:
          v->NumberOfLines = 625;
          break;
        default:
          return STATUS_INVALID_PARAMETER;
      }
      v->SignalLocked = d->m_nAnalogVideoDecoderStatus;
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE:
      static_cast<PKSPROPERTY_VIDEODECODER_S>(pData)->Value = d->m_nAnalogVideoDecoderOutputEnable;
      return STATUS_SUCCESS;
    case KSPROPERTY_VIDEODECODER_VCR_TIMING:
      static_cast<PKSPROPERTY_VIDEODECODER_S>(pData)->Value = d->m_nAnalogVideoDecoderVCRTiming;
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS CDevice::OnSetVideoDecoderProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  CDevice* d = DeviceOfRequest(pIrp);
  if (!d) return STATUS_DEVICE_NOT_CONNECTED;
  ULONG value = static_cast<PKSPROPERTY_VIDEODECODER_S>(pData)->Value;
  switch (pRequest->Id) {
    case KSPROPERTY_VIDEODECODER_STANDARD:
      if (IsBoardKind(d->m_pPciIdentity, BOARD_KIND_R)) {
        if (Is525(value)) return STATUS_INVALID_PARAMETER;
        if (value == 0) value = KS_AnalogVideo_PAL_B;
      }
      if (d->m_nAnalogVideoDecoderStandardNtscOnly) {
        if (Is625(value)) return STATUS_INVALID_PARAMETER;
        if (value == 0) value = KS_AnalogVideo_NTSC_M;
      }
      if (d->m_nAnalogVideoDecoderStandardPalOnly) {
        if (Is525(value)) return STATUS_INVALID_PARAMETER;
        if (value == 0) value = KS_AnalogVideo_PAL_B;
      }
      d->m_nAnalogVideoDecoderStandard = value;
      d->RewriteDataRanges(KsGetFilterFromIrp(pIrp));
      return STATUS_SUCCESS;
    case KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE:
      d->m_nAnalogVideoDecoderOutputEnable = value;
      return STATUS_SUCCESS;
    case KSPROPERTY_VIDEODECODER_VCR_TIMING:
      d->m_nAnalogVideoDecoderVCRTiming = value;
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

// ---- video compression --------------------------------------------------------------------

namespace {

// The device and per-channel index of a compression request. *pIgnored: the filter is
// not an H.264 stream's, and the request succeeds without doing anything.
NTSTATUS CompressionTarget(PIRP pIrp, CDevice** ppDevice, ULONG* pIndex, bool* pIgnored) {
  *ppDevice = DeviceOfRequest(pIrp);
  FilterContext* pContext = FilterContextOfRequest(pIrp);
  *pIgnored = false;
  if (!*ppDevice || !pContext) return STATUS_DEVICE_NOT_CONNECTED;
  if (pContext->nStreamIndex < 4) {
    *pIgnored = true;
    return STATUS_SUCCESS;
  }
  *pIndex = EncoderChannelIndex(pContext);
  if (*pIndex >= CHANNELS_32) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CDevice::OnGetVideoCompressionProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  CDevice* d;
  ULONG index = 0;
  bool ignored;
  NTSTATUS status = CompressionTarget(pIrp, &d, &index, &ignored);
  if (!NT_SUCCESS(status) || ignored) return status;
  if (pRequest->Id == KSPROPERTY_VIDEOCOMPRESSION_GETINFO) {
    auto* v = static_cast<PKSPROPERTY_VIDEOCOMPRESSION_GETINFO_S>(pData);
    v->DefaultKeyFrameRate = 15;
    v->DefaultPFrameRate = 3;
    v->DefaultQuality = 5000;
    v->Capabilities = KS_CompressCanQuality | KS_CompressCanKeyFrame;
    return STATUS_SUCCESS;
  }
  ULONG* member = CompressionMember(d, pRequest->Id);
  if (!member) return STATUS_NOT_SUPPORTED;
  static_cast<PKSPROPERTY_VIDEOCOMPRESSION_S>(pData)->Value = (LONG)(member[index] & PROPERTY_GET_MASK);
  return STATUS_SUCCESS;
}

NTSTATUS CDevice::OnSetVideoCompressionProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  CDevice* d;
  ULONG index = 0;
  bool ignored;
  NTSTATUS status = CompressionTarget(pIrp, &d, &index, &ignored);
  if (!NT_SUCCESS(status) || ignored) return status;
  const ULONG value = (ULONG) static_cast<PKSPROPERTY_VIDEOCOMPRESSION_S>(pData)->Value;
  ULONG id = pRequest->Id;
  // A key-frame rate of 0 asks for a key frame now.
  if (id == KSPROPERTY_VIDEOCOMPRESSION_KEYFRAME_RATE && value == 0) id = KSPROPERTY_VIDEOCOMPRESSION_OVERRIDE_KEYFRAME;
  switch (id) {
    case KSPROPERTY_VIDEOCOMPRESSION_KEYFRAME_RATE:
    case KSPROPERTY_VIDEOCOMPRESSION_PFRAMES_PER_KEYFRAME:
    case KSPROPERTY_VIDEOCOMPRESSION_QUALITY:
      CompressionMember(d, id)[index] = value | PROPERTY_FLAG_SET_BY_APPLICATION;
      return STATUS_SUCCESS;
    case KSPROPERTY_VIDEOCOMPRESSION_OVERRIDE_KEYFRAME:
      // Consumed (cleared) by the encoder's settings pass.
      if (d->m_nAnalogVideoCompressionOverrideKeyframe[index] == 0)
        d->m_nAnalogVideoCompressionOverrideKeyframe[index] = 1;
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

// ---- dropped frames (capture pin) ----------------------------------------------------------

NTSTATUS CDevice::OnGetDroppedFramesProperty(PIRP pIrp, PKSIDENTIFIER pRequest, PVOID pData) {
  if (pRequest->Id != KSPROPERTY_DROPPEDFRAMES_CURRENT) return STATUS_NOT_SUPPORTED;
  PKSPIN pKsPin = KsGetPinFromIrp(pIrp);
  // A pin whose Create set no context of its own still carries its filter's.
  auto* pContext = pKsPin && pKsPin->Context != KsPinGetParentFilter(pKsPin)->Context
                       ? static_cast<VideoPinContext*>(pKsPin->Context)
                       : nullptr;
  if (!pContext || !DeviceOfRequest(pIrp)) return STATUS_DEVICE_NOT_CONNECTED;
  auto* v = static_cast<PKSPROPERTY_DROPPEDFRAMES_CURRENT_S>(pData);
  v->PictureNumber = pContext->nPictureNumber;
  v->DropCount = pContext->nDropCount;
  v->AverageFrameSize = pContext->nFrameBytes;
  return STATUS_SUCCESS;
}
