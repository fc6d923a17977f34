// Capture filter create and close.
#include "driver/streaming/capture_filter.h"

#include "driver/core/board_kinds.h"
#include "driver/streaming/templates.h"

namespace {

constexpr ULONG kFilterContextTag = MakePoolTag("QZVK");

// The range counts a video filter's capture pin offers on the boards of the edit list.
constexpr ULONG kUStreamRangeCount = 10;
constexpr ULONG kDefaultRangeCount = 58;

// The boards whose filters take the descriptor edits at create.
BOOLEAN IsEditListBoard(const PCI_IDENTITY* id) {
  return IsBoardKind(id, BOARD_KIND_D) || IsBoardKind(id, BOARD_KIND_F) || IsBoardKind(id, BOARD_KIND_G) ||
         IsBoardKind(id, BOARD_KIND_W) || IsBoardVariant(id, BOARD_VARIANT_P_CLONE_FOLLOWING);
}

// The boards whose audio filters keep the template's pins: the tiny class-2 variant of
// BOARD_KIND_G, whose single audio channel has no range choice to make.
BOOLEAN AudioPinsKeepTemplate(const PCI_IDENTITY* id) { return IsBoardVariant(id, BOARD_VARIANT_G_CLASS2_TINY); }

void EditVideoDescriptor(PKSFILTER pKsFilter, const CDevice* pDevice) {
  if (!NT_SUCCESS(_KsEdit(pKsFilter->Bag, (PVOID*)&pKsFilter->Descriptor, sizeof(KSFILTER_DESCRIPTOR),
                          sizeof(KSFILTER_DESCRIPTOR), kVideoEditTag)))
    return;
  auto* desc = const_cast<KSFILTER_DESCRIPTOR*>(pKsFilter->Descriptor);
  if (!desc->PinDescriptors || !desc->PinDescriptorsCount) return;
  const ULONG bytes = desc->PinDescriptorsCount * desc->PinDescriptorSize;
  if (!NT_SUCCESS(_KsEdit(pKsFilter->Bag, (PVOID*)&desc->PinDescriptors, bytes, bytes, kVideoEditTag))) return;
  auto* first = const_cast<KSPIN_DESCRIPTOR_EX*>(desc->PinDescriptors);
  if (first->PinDescriptor.DataRanges)
    first->PinDescriptor.DataRangesCount =
        pDevice->m_nAnalogVideoUStreamPatch ? kUStreamRangeCount : kDefaultRangeCount;
}

void EditAudioDescriptor(PKSFILTER pKsFilter, const CDevice* pDevice) {
  if (!NT_SUCCESS(_KsEdit(pKsFilter->Bag, (PVOID*)&pKsFilter->Descriptor, sizeof(KSFILTER_DESCRIPTOR),
                          sizeof(KSFILTER_DESCRIPTOR), kAudioEditTag)))
    return;
  if (AudioPinsKeepTemplate(pDevice->m_pPciIdentity)) return;
  auto* desc = const_cast<KSFILTER_DESCRIPTOR*>(pKsFilter->Descriptor);
  if (!desc->PinDescriptors || !desc->PinDescriptorsCount) return;
  const ULONG bytes = desc->PinDescriptorsCount * desc->PinDescriptorSize;
  if (!NT_SUCCESS(_KsEdit(pKsFilter->Bag, (PVOID*)&desc->PinDescriptors, bytes, bytes, kAudioEditTag))) return;
  auto* first = const_cast<KSPIN_DESCRIPTOR_EX*>(desc->PinDescriptors);
  if (!first->PinDescriptor.DataRanges) return;
  // The list is the template's: every audio filter of the driver sees the new first entry.
  if (pDevice->m_nCompanyBantrel >= 1)
    const_cast<PKSDATARANGE*>(first->PinDescriptor.DataRanges)[0] = &AudioRange44100.DataRange;
  first->PinDescriptor.DataRangesCount = 1;
}

}  // namespace

CCaptureFilter::Identity CCaptureFilter::IdentifyReference(const GUID* pReference, BOOLEAN bVirtualCaptureDevice) {
  Identity r = {0, FILTER_KIND_CAPTURE, FALSE};
  if (!pReference) return r;
  const GUID& g = *pReference;
  if (g == VideoTemplateGuid) {
    r.nChannelNumber = 1;
    return r;
  }
  for (ULONG n = 0; n < MAX_CHANNELS; n++) {
    if (g == VideoChannelGuids[n]) {
      r.nChannelNumber = n + 1;
      return r;
    }
  }
  if (g == AudioTemplateGuid) {
    r.nChannelNumber = 1;
    r.bAudio = TRUE;
    return r;
  }
  for (ULONG n = 0; n < MAX_CHANNELS; n++) {
    if (g == AudioChannelGuids[n]) {
      r.nChannelNumber = n + 1;
      r.bAudio = TRUE;
      return r;
    }
  }
  if (!bVirtualCaptureDevice) return r;
  const BOOLEAN audioHalf[2] = {FALSE, TRUE};
  for (BOOLEAN audio : audioHalf) {
    const UCHAR type = audio ? FILTER_TYPE_VIRTUAL_AUDIO : FILTER_TYPE_VIRTUAL_VIDEO;
    const ULONG kind = audio ? FILTER_KIND_VIRTUAL_AUDIO : FILTER_KIND_VIRTUAL_VIDEO;
    if (g == TemplateReferenceGuid(type)) return Identity{1, kind, audio};
    for (ULONG b = 1; b <= 4; b++)
      if (g == VirtualCaptureGuids[(audio ? 4 : 0) + b - 1]) return Identity{b, kind, audio};
  }
  return r;
}

ULONG CCaptureFilter::MapChannelIndex(const CDevice* pDevice, ULONG c, BOOLEAN bAudio, BOOLEAN* pbEdit) {
  const PCI_IDENTITY* id = pDevice->m_pPciIdentity;
  const BOOLEAN clones = pDevice->m_nCloneFilters >= 2;
  const ULONG min4 = pDevice->m_nCloneFilters < 4 ? pDevice->m_nCloneFilters : 4;  // at least 2 with clones
  const ULONG c1 = c - 1;  // 0xFFFFFFFF for the encoder filter, whose GUID names no channel
  BOOLEAN edit = TRUE;
  ULONG index = 0;
  if (IsBoardVariant(id, BOARD_VARIANT_E_SECOND) && (pDevice->m_nSiliconTunerType & 2) && bAudio) {
    index = c1 & 15;
    edit = FALSE;
  } else if (IsBoardVariant(id, BOARD_VARIANT_C_FOUR_CHANNEL)) {
    index = c1 & 3;
    edit = FALSE;
  } else if (IsBoardKind(id, BOARD_KIND_D) && clones) {
    index = c1 % min4;
  } else if (IsBoardVariant(id, BOARD_VARIANT_F_FIVE_CHANNEL)) {
    index = c1 % 5;
  } else if (IsBoardKind(id, BOARD_KIND_F) && !IsBoardVariant(id, BOARD_VARIANT_F_SINGLE_INPUT)) {
    // The eight-channel class: eight filters with clones, four without (as start gives them).
    index = clones ? c1 & 7 : c1 & 3;
  } else if (IsBoardVariant(id, BOARD_VARIANT_F_SINGLE_INPUT)) {
    index = clones ? c1 % min4 : 0;
  } else if (IsBoardKind(id, BOARD_KIND_G) && !IsBoardVariant(id, BOARD_VARIANT_G_CLASS2) &&
             !IsBoardVariant(id, BOARD_VARIANT_G_CLASS2_TINY)) {
    index = IsBoardVariant(id, BOARD_VARIANT_G_CLASS1_FOUR_CHANNEL) ? c1 & 3 : c1 & 7;
  } else if (IsBoardKind(id, BOARD_KIND_G)) {
    index = clones ? c1 % min4 : 0;
  } else if (IsBoardVariant(id, BOARD_VARIANT_H_EIGHT_CHANNEL)) {
    index = c1 & 7;
    edit = FALSE;
  } else if (IsBoardVariant(id, BOARD_VARIANT_P_CLONE_FOLLOWING)) {
    index = clones ? c1 % min4 : 0;
  }
  if (pbEdit) *pbEdit = edit && IsEditListBoard(id);
  return index;
}

NTSTATUS CCaptureFilter::Create(PKSFILTER pKsFilter, PIRP pIrp) {
  PKSDEVICE pKsDevice = pKsFilter ? KsGetDevice(pKsFilter) : nullptr;
  CDevice* pDevice = pKsDevice ? DeviceOf(pKsDevice) : nullptr;
  if (!pDevice) return STATUS_DEVICE_NOT_CONNECTED;

  auto* ctx =
      static_cast<FilterContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FilterContext), kFilterContextTag));
  if (!ctx) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(ctx, sizeof(*ctx));
  ctx->pKsDevice = pKsDevice;
  ctx->pKsFilter = pKsFilter;
  pKsFilter->Context = ctx;

  const Identity who = IdentifyReference(pKsFilter->Descriptor ? pKsFilter->Descriptor->ReferenceGuid : nullptr,
                                         pDevice->m_nVirtualCaptureDevice != 0);
  ctx->nKind = who.nKind;
  BOOLEAN edit = FALSE;
  ctx->nChannel = MapChannelIndex(pDevice, who.nChannelNumber, who.bAudio, &edit);

  if (edit) {
    if (!who.bAudio && who.nChannelNumber != 0)
      EditVideoDescriptor(pKsFilter, pDevice);
    else if (who.bAudio && who.nKind != FILTER_KIND_VIRTUAL_AUDIO)
      EditAudioDescriptor(pKsFilter, pDevice);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CCaptureFilter::Close(PKSFILTER pKsFilter, PIRP pIrp) {
  auto* ctx = static_cast<FilterContext*>(pKsFilter->Context);
  if (!ctx) return STATUS_SUCCESS;
  if (ctx->pKsDevice && DeviceOf(ctx->pKsDevice)) DeviceOf(ctx->pKsDevice)->SaveSettings();
  ExFreePool(ctx);
  pKsFilter->Context = nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS FindPinOwner(PIRP pIrp, BOOLEAN bNeedFilterContext, PinOwner* pOwner) {
  *pOwner = PinOwner{};
  pOwner->pKsFilter = KsGetFilterFromIrp(pIrp);
  if (!pOwner->pKsFilter) return STATUS_DEVICE_NOT_CONNECTED;
  pOwner->pKsDevice = KsGetDevice(pOwner->pKsFilter);
  if (!pOwner->pKsDevice) return STATUS_DEVICE_NOT_CONNECTED;
  pOwner->pDevice = DeviceOf(pOwner->pKsDevice);
  if (!pOwner->pDevice) return STATUS_DEVICE_NOT_CONNECTED;
  pOwner->pFilterContext = static_cast<FilterContext*>(pOwner->pKsFilter->Context);
  if (bNeedFilterContext && !pOwner->pFilterContext) return STATUS_DEVICE_NOT_CONNECTED;
  return STATUS_SUCCESS;
}

BOOLEAN IsVirtualCapturePin(const PinContext* pContext) {
  if (!pContext || !pContext->pKsFilter) return FALSE;
  const auto* f = static_cast<const FilterContext*>(pContext->pKsFilter->Context);
  return f && (f->nKind == FILTER_KIND_VIRTUAL_VIDEO || f->nKind == FILTER_KIND_VIRTUAL_AUDIO);
}
