// Device start: PCI start, the board-kind template edits, the card's number, the
// settings, the board state block and the hardware, then the card's filter factories and
// pinless front-end filters. Device stop and the power transitions.
#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/core/device_start.h"
#include "driver/hardware/board_state.h"
#include "driver/hardware/lifecycle.h"
#include "driver/streaming/templates.h"

ULONG NextDeviceInstance;
ULONG NextVideoChannel;
ULONG NextAudioChannel;
ULONG BoardIndexSlots[BOARD_INDEX_SLOTS];

void ResetDeviceStartCounters() {
  NextDeviceInstance = 0;
  NextVideoChannel = 0;
  NextAudioChannel = 0;
  for (ULONG& slot : BoardIndexSlots) slot = 0xFFFFFFFF;
}

namespace {

constexpr ULONG kBoardStateTag = MakePoolTag("Wdm ");

struct KindRecord {
  BoardKind kind;
  BoardFeatureRecord record;
};
// bPerChannelCopies, nVideoFilters, bAnalogFrontEnd, bEncoderFilter, nAudioFilters.
const KindRecord kKindRecords[] = {
    {BOARD_KIND_A, {1, 1, 0, 0, 0}}, {BOARD_KIND_B, {1, 0, 0, 0, 1}}, {BOARD_KIND_C, {1, 8, 0, 0, 8}},
    {BOARD_KIND_D, {1, 1, 0, 0, 1}}, {BOARD_KIND_E, {1, 4, 0, 0, 4}}, {BOARD_KIND_F, {1, 4, 0, 0, 4}},
    {BOARD_KIND_G, {1, 8, 0, 0, 8}}, {BOARD_KIND_H, {1, 4, 0, 0, 4}}, {BOARD_KIND_ENCODER, {1, 1, 0, 0, 1}},
    {BOARD_KIND_I, {0, 1, 1, 0, 1}}, {BOARD_KIND_J, {0, 1, 1, 0, 1}}, {BOARD_KIND_K, {1, 1, 0, 0, 1}},
    {BOARD_KIND_N, {0, 1, 1, 0, 1}}, {BOARD_KIND_P, {1, 1, 0, 0, 1}}, {BOARD_KIND_Q, {0, 0, 0, 0, 0}},
};

UCHAR CloneCount(ULONG clone) { return (UCHAR)(clone > 4 ? 4 : clone); }

void Both(BoardFeatureRecord* r, UCHAR video, UCHAR audio) {
  r->nVideoFilters = video;
  r->nAudioFilters = audio;
}

// Factories this start created, so that a failing start can take them back.
struct CreatedFactories {
  PKSFILTERFACTORY list[2 * MAX_CHANNELS * 2 + 8];
  ULONG count = 0;
};

NTSTATUS CreateFactory(CDevice* d, const KSFILTER_DESCRIPTOR* descriptor, CreatedFactories* created) {
  PKSFILTERFACTORY factory = nullptr;
  NTSTATUS status =
      KsCreateFilterFactory(d->m_pFunctionalDeviceObject, descriptor, nullptr, nullptr, 0, nullptr, nullptr, &factory);
  if (NT_SUCCESS(status) && factory && created->count < sizeof(created->list) / sizeof(created->list[0]))
    created->list[created->count++] = factory;
  return status;
}

void RegisterPinless(CDevice* d, const GUID* category, const PinlessPinTemplate* pins, ULONG count) {
  BOOL directions[7];
  KSPIN_MEDIUM mediums[7];
  for (ULONG i = 0; i < count; i++) {
    directions[i] = pins[i].bOutput;
    mediums[i] = MediumOf(pins[i].nMediumCode, d->m_nMediumId);
  }
  // The result is not looked at: graph builders simply find no mediums.
  KsRegisterFilterWithNoKSPins(d->m_pPhysicalDeviceObject, category, count, directions, mediums, nullptr);
}

}  // namespace

BoardFeatureRecord ChooseBoardFeatureRecord(const PCI_IDENTITY* id, const CDeviceSettings& s) {
  BoardFeatureRecord r = {0, 0, 0, 0, 0};
  for (const KindRecord& k : kKindRecords)
    if (IsBoardKind(id, k.kind)) r = k.record;
  if (IsBoardKind(id, BOARD_KIND_E) && IsBoardVariant(id, BOARD_VARIANT_E_SECOND)) r.nAudioFilters = 0;
  if (IsBoardVariant(id, BOARD_VARIANT_N_NO_AUDIO)) r.nAudioFilters = 0;

  const ULONG clone = s.m_nCloneFilters;
  const BOOLEAN noFrameBufferOrTiny =
      IsBoardVariant(id, BOARD_VARIANT_NO_FRAME_BUFFER) || IsBoardVariant(id, BOARD_VARIANT_G_CLASS2_TINY);
  if (IsBoardKind(id, BOARD_KIND_B) && noFrameBufferOrTiny) r.nAudioFilters = 0;
  if (IsBoardKind(id, BOARD_KIND_C)) {
    if (IsBoardVariant(id, BOARD_VARIANT_C_FOUR_CHANNEL)) Both(&r, 4, 4);
    if (noFrameBufferOrTiny) r.nAudioFilters = 0;
  }
  if (IsBoardKind(id, BOARD_KIND_D)) {
    if (clone >= 2)
      Both(&r, CloneCount(clone), CloneCount(clone));
    else
      Both(&r, 1, 1);
    if (IsBoardVariant(id, BOARD_VARIANT_D_NEVER_BOUNCE)) Both(&r, 0, 0);
  }
  if (IsBoardVariant(id, BOARD_VARIANT_E_SECOND)) {
    if (s.m_nSiliconTunerType & (1u << 1)) r.nAudioFilters = 16;
    if (s.m_nSiliconTunerType & (1u << 5)) r.nAudioFilters = 4;
  }
  if (IsBoardKind(id, BOARD_KIND_F)) {
    if (IsBoardVariant(id, BOARD_VARIANT_F_FIVE_CHANNEL))
      Both(&r, 5, 4);
    else if (IsBoardVariant(id, BOARD_VARIANT_F_SINGLE_INPUT))
      Both(&r, clone >= 2 ? CloneCount(clone) : 1, clone >= 2 ? CloneCount(clone) : 1);
    else if (clone >= 2)
      Both(&r, 8, 8);
    else
      Both(&r, 4, 4);
  }
  if (IsBoardKind(id, BOARD_KIND_G)) {
    if (IsBoardVariant(id, BOARD_VARIANT_G_CLASS2) || IsBoardVariant(id, BOARD_VARIANT_G_CLASS2_TINY))
      Both(&r, clone >= 2 ? CloneCount(clone) : 1, clone >= 2 ? CloneCount(clone) : 1);
    else if (IsBoardVariant(id, BOARD_VARIANT_G_CLASS1_FOUR_CHANNEL))
      Both(&r, 4, 4);
    else
      Both(&r, 8, 8);
    if (noFrameBufferOrTiny && !IsBoardVariant(id, BOARD_VARIANT_G_TINY_KEEPS_AUDIO)) r.nAudioFilters = 0;
  }
  if (IsBoardVariant(id, BOARD_VARIANT_H_EIGHT_CHANNEL)) Both(&r, 8, 8);
  if (IsBoardKind(id, BOARD_KIND_P)) {
    if (IsBoardVariant(id, BOARD_VARIANT_P_CLONE_FOLLOWING) && clone >= 2)
      Both(&r, CloneCount(clone), CloneCount(clone));
    if (IsBoardVariant(id, BOARD_VARIANT_P_NO_AUDIO)) r.nAudioFilters = 0;
  }
  return r;
}

ULONG CDevice::MapChannel(ULONG n, BOOLEAN bAudio) {
  const PCI_IDENTITY* id = m_pPciIdentity;
  ULONG c = n;
  if (IsBoardVariant(id, BOARD_VARIANT_P_SLOT_PATTERN)) {
    ULONG found = BOARD_INDEX_SLOTS;
    for (ULONG s = 0; s < BOARD_INDEX_SLOTS && found == BOARD_INDEX_SLOTS; s++)
      if (BoardIndexSlots[s] == m_nBoardIndex) found = s;
    for (ULONG s = 0; s < BOARD_INDEX_SLOTS && found == BOARD_INDEX_SLOTS; s++) {
      if (BoardIndexSlots[s] != 0xFFFFFFFF) continue;
      BoardIndexSlots[s] = m_nBoardIndex;
      found = s;
    }
    if (found != BOARD_INDEX_SLOTS) c = found;
    DbgPrint("%04X (%d -> %d)", id->nDeviceId, m_nBoardIndex, c);
  }
  if (IsBoardVariant(id, BOARD_VARIANT_P_QUAD_PATTERN)) {
    static const ULONG kQuad[4] = {3, 0, 1, 2};  // low two bits 1, 2, 3, 0 give 0, 1, 2, 3
    c = (n & ~3u) + kQuad[m_nBoardIndex & 3];
    DbgPrint("%04X (%d -> %d)", id->nDeviceId, m_nBoardIndex, c);
  }
  if (m_nCompanyPendrake == 1) {
    if (!bAudio && IsBoardVariant(id, BOARD_VARIANT_A_QUAD)) c = (n & ~3u) + (id->nDeviceId - 0x0A10);
    if (bAudio && IsBoardVariant(id, BOARD_VARIANT_B_QUAD)) c = (n & ~3u) + (id->nDeviceId - 0x0B10);
  }
  return c;
}

void CDevice::ResetRunTimeMembers() {
  m_nDigitalCaptureStreamPowerReference = 0;
  m_nBoardIndex = 0;
  m_nDigitalCaptureStreamReference = 0;
  m_nWatchdogControl = 0;
  for (int i = 0; i < 2; i++) {
    m_pFrameClockThread[i] = nullptr;
    m_bFrameClockStop[i] = 1;
  }
  // Hardware initialisation's start of the monitor thread is what opens the bracket.
  KeInitializeSemaphore(&m_ThreadControlSemaphore, 0, 0x7FFFFFFF);
  m_pBoardState = nullptr;
  m_pMonitorThread = nullptr;
  m_bMonitorThreadStop = 1;
  for (int m = 0; m < VCAM_MEDIA; m++) {
    m_hVcamSection[m] = nullptr;
    m_pVcamView[m] = nullptr;
    m_pVcamMdl[m] = nullptr;
    m_pVcamInfo[m] = nullptr;
  }
  ExInitializeFastMutex(&m_PinMutex);
  KeInitializeSpinLock(&m_VendorCommandLock);
  KeInitializeSpinLock(&m_StreamPointerLock);
  for (PKSPIN& p : m_pVideoPin) p = nullptr;
  for (int i = 0; i < 16; i++) m_pAudioPin[i] = m_pVbiPin[i] = m_pRenderPin[i] = m_pEncoderPin[i] = nullptr;
  // The per-channel custom-property records: none of them is saved, every start begins
  // afresh.
  for (int ch = 0; ch < 32; ch++) {
    m_nOsdTextSlot[ch] = 0;
    m_nOsdPictureSlot[ch] = 0;
    for (int slot = 0; slot < 16; slot++) {
      RtlZeroMemory(m_szOsdText[ch][slot], sizeof(m_szOsdText[ch][slot]));
      m_bOsdTextChanged[ch][slot] = 0;
      m_nOsdTextParam[0][ch][slot] = 0;
      for (int p = 1; p < 4; p++) m_nOsdTextParam[p][ch][slot] = 0xFFFFFFFF;
    }
    for (int slot = 0; slot < 4; slot++) {
      RtlZeroMemory(m_szOsdPicture[ch][slot], sizeof(m_szOsdPicture[ch][slot]));
      m_bOsdPictureChanged[ch][slot] = 0;
      RtlZeroMemory(m_aOsdPicture[ch][slot], sizeof(m_aOsdPicture[ch][slot]));
    }
    RtlZeroMemory(m_aChannelAuxRecord[ch], sizeof(m_aChannelAuxRecord[ch]));
    RtlZeroMemory(m_aChannelStatus[ch], sizeof(m_aChannelStatus[ch]));
  }
  // The software deinterlace's rings point into buffers of the last run: forget them.
  for (LONG& i : m_nDeinterlaceRingIndex) i = 0;
  RtlZeroMemory(m_DeinterlaceRing, sizeof(m_DeinterlaceRing));
  RtlZeroMemory(m_DeinterlaceOutput, sizeof(m_DeinterlaceOutput));
  RtlZeroMemory(m_nDebugStatus, sizeof(m_nDebugStatus));
  m_nDebugOptions = 0;
  RtlZeroMemory(m_aDebugAddress, sizeof(m_aDebugAddress));
}

NTSTATUS CDevice::CreateFilters(NTSTATUS hwStatus) {
  const PCI_IDENTITY* id = m_pPciIdentity;
  const BoardFeatureRecord rec = ChooseBoardFeatureRecord(id, *this);
  const ULONG videoCount = rec.nVideoFilters;
  const ULONG audioCount = m_nCompanyMarplin == 1 ? 0 : rec.nAudioFilters;
  CreatedFactories created;
  NTSTATUS status = STATUS_SUCCESS;
  BOOLEAN any = FALSE;
  // A virtual number (channel index mod 4, plus one) names one filter per device: a
  // second channel with the same number gets no virtual filter of its own.
  ULONG virtualNumbersUsed[2] = {0, 0};

  for (ULONG n = NextVideoChannel; n < NextVideoChannel + videoCount && NT_SUCCESS(status); n++) {
    if (!rec.bPerChannelCopies) {
      status = CreateFactory(this, &VideoCaptureFilterDescriptor, &created);
      any = TRUE;
      continue;
    }
    const ULONG c = MapChannel(n, FALSE);
    // The copies and the channel GUIDs end at channel index 127.
    if (c >= MAX_CHANNELS) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    KSFILTER_DESCRIPTOR* copy = &VideoFilterCopies[c];
    *copy = VideoCaptureFilterDescriptor;
    ApplyCategoryRule(copy, FALSE);
    copy->ReferenceGuid = &VideoChannelGuids[c];
    status = CreateFactory(this, copy, &created);
    any = TRUE;
    if (NT_SUCCESS(status) && m_nVirtualCaptureDevice && !(virtualNumbersUsed[0] & (1u << (c % 4)))) {
      KSFILTER_DESCRIPTOR* v = &VirtualCaptureFilterCopies[c][0];
      *v = *copy;
      v->ReferenceGuid = &VirtualCaptureGuids[c % 4];
      virtualNumbersUsed[0] |= 1u << (c % 4);
      status = CreateFactory(this, v, &created);
    }
  }

  for (ULONG n = NextAudioChannel; n < NextAudioChannel + audioCount && NT_SUCCESS(status); n++) {
    if (!rec.bPerChannelCopies) {
      status = CreateFactory(this, &AudioCaptureFilterDescriptorMono, &created);
      any = TRUE;
      continue;
    }
    const ULONG c = MapChannel(n, TRUE);
    if (c >= MAX_CHANNELS) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    KSFILTER_DESCRIPTOR* copy = &AudioFilterCopies[c];
    *copy = AudioCaptureFilterDescriptorMono;
    ApplyCategoryRule(copy, TRUE);
    if (m_nAnalogAudioDirectSoundPatch) {
      // Pins of its own, the stereo filter's topology, and a bridge pin named for its
      // channel.
      AudioPinCopies[c][0] = AudioCapturePinDescriptorMono;
      AudioPinCopies[c][1] = AnalogAudioBridgePinDescriptor;
      AudioPinCopies[c][1].PinDescriptor.Category = &BridgePinChannelGuids[c];
      AudioPinCopies[c][1].PinDescriptor.Name = &BridgePinChannelGuids[c];
      copy->PinDescriptors = AudioPinCopies[c];
      copy->NodeDescriptorsCount = AudioCaptureFilterDescriptorStereo.NodeDescriptorsCount;
      copy->NodeDescriptors = AudioCaptureFilterDescriptorStereo.NodeDescriptors;
      copy->ConnectionsCount = AudioCaptureFilterDescriptorStereo.ConnectionsCount;
      copy->Connections = AudioCaptureFilterDescriptorStereo.Connections;
    }
    copy->ReferenceGuid = &AudioChannelGuids[c];
    status = CreateFactory(this, copy, &created);
    any = TRUE;
    if (NT_SUCCESS(status) && m_nVirtualCaptureDevice && !(virtualNumbersUsed[1] & (1u << (c % 4)))) {
      KSFILTER_DESCRIPTOR* v = &VirtualCaptureFilterCopies[c][1];
      *v = AudioCaptureFilterDescriptorStereo;
      v->ReferenceGuid = &VirtualCaptureGuids[4 + c % 4];
      virtualNumbersUsed[1] |= 1u << (c % 4);
      status = CreateFactory(this, v, &created);
    }
  }

  if (NT_SUCCESS(status) && (rec.bAnalogFrontEnd || m_nCrossbarEnable >= 1)) {
    if (IsBoardKind(id, BOARD_KIND_I) || IsBoardKind(id, BOARD_KIND_J) || m_nCrossbarEnable >= 1) {
      RegisterPinless(this, &KSCATEGORY_CROSSBAR, CrossbarPins5, 5);
      status = CreateFactory(this, &CrossbarFilterDescriptor, &created);
    } else {
      RegisterPinless(this, &KSCATEGORY_CROSSBAR, CrossbarPins7, 7);
      RegisterPinless(this, &KSCATEGORY_TVTUNER, TvTunerPins, 2);
      RegisterPinless(this, &KSCATEGORY_TVAUDIO, TvAudioPins, 2);
      status = CreateFactory(this, &CrossbarFilterDescriptor, &created);
      if (NT_SUCCESS(status)) status = CreateFactory(this, &TvTunerFilterDescriptor, &created);
      if (NT_SUCCESS(status)) status = CreateFactory(this, &TvAudioFilterDescriptor, &created);
    }
    any = TRUE;
  }
  if (NT_SUCCESS(status) && rec.bEncoderFilter) {
    status = CreateFactory(this, &EncoderFilterDescriptor, &created);
    any = TRUE;
  }

  if (!NT_SUCCESS(status)) {
    // The card offers nothing after a failed start, and its channel numbers stay free.
    for (ULONG i = created.count; i > 0; i--) KsDeleteFilterFactory(created.list[i - 1]);
    return status;
  }
  m_nFirstVideoChannel = NextVideoChannel;
  m_nVideoChannelCount = videoCount;
  m_nFirstAudioChannel = NextAudioChannel;
  m_nAudioChannelCount = audioCount;
  NextVideoChannel += videoCount;
  NextAudioChannel += audioCount;
  return any ? status : hwStatus;
}

NTSTATUS CDevice::Start(PKSDEVICE pKsDevice, PIRP pIrp, PCM_RESOURCE_LIST pTranslatedResourceList,
                        PCM_RESOURCE_LIST pUntranslatedResourceList) {
  CDevice* d = DeviceOf(pKsDevice);
  if (!d) return STATUS_DEVICE_NOT_CONNECTED;
  NTSTATUS status = d->Initialize(pKsDevice, pIrp, pTranslatedResourceList);
  if (!NT_SUCCESS(status)) return status;
  d->m_nMediumId = (ULONG)(ULONG_PTR)pKsDevice->FunctionalDeviceObject;
  d->EditTemplatesBeforeLoad();
  d->m_nDeviceInstance = d->m_nDeviceInstanceNumber = NextDeviceInstance++;
  d->ResetRunTimeMembers();
  d->PresetSettings();
  d->LoadSettings();
  d->EditTemplatesAfterLoad();

  // Hardware initialisation needs the state block: without it the start ends here.
  auto* state =
      static_cast<BoardState*>(ExAllocatePoolWithTag(NonPagedPoolCacheAligned, sizeof(BoardState), kBoardStateTag));
  if (!state) {
    d->Uninitialize(pKsDevice, pIrp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(state, sizeof(BoardState));
  d->m_pBoardState = state;

  const NTSTATUS hwStatus = VORLIX_HwInitialize(d);
  status = d->CreateFilters(hwStatus);
  if (!NT_SUCCESS(status)) {
    // Everything start took goes back: the hardware and its threads, the state block, the
    // PCI resources and the interrupt.
    VORLIX_HwUninitialize(d);
    VORLIX_StopFrameClocks(d);
    ExFreePoolWithTag(d->m_pBoardState, kBoardStateTag);
    d->m_pBoardState = nullptr;
    d->Uninitialize(pKsDevice, pIrp);
  }
  return status;
}

VOID CDevice::Stop(PKSDEVICE pKsDevice, PIRP pIrp) {
  CDevice* pDevice = DeviceOf(pKsDevice);
  if (!pDevice) return;
  pDevice->SaveSettings();
  VORLIX_HwUninitialize(pDevice);
  // The frame clocks read the state block for as long as they run; they normally end
  // with the last stream's power-down, but nothing may read the block once it is freed.
  VORLIX_StopFrameClocks(pDevice);
  if (pDevice->m_pBoardState) {
    ExFreePoolWithTag(pDevice->m_pBoardState, kBoardStateTag);
    pDevice->m_pBoardState = nullptr;
  }
  // The deinterlace rings' pictures belong to this run's streams.
  pDevice->ReleaseDeinterlaceBuffers();
  pDevice->Uninitialize(pKsDevice, pIrp);
}

VOID CDevice::SetPower(PKSDEVICE pKsDevice, PIRP pIrp, DEVICE_POWER_STATE To, DEVICE_POWER_STATE From) {
  CDevice* pDevice = DeviceOf(pKsDevice);
  if (!pDevice) return;
  const bool sleeping = From == PowerDeviceD2 || From == PowerDeviceD3;
  if (To == PowerDeviceD0 && (From == PowerDeviceD1 || sleeping)) {
    // Back to full power: after D2 or D3 the hardware starts from scratch; the counted
    // streams are restarted without being counted again.
    if (sleeping) VORLIX_HwInitialize(pDevice);
    if (pDevice->m_nDigitalCaptureStreamReference.load() != 0) VORLIX_StreamPowerUp(pDevice, TRUE);
    pDevice->m_nDevicePowerState = PowerDeviceD0;
  } else if (From == PowerDeviceD0 && (To == PowerDeviceD2 || To == PowerDeviceD3)) {
    pDevice->m_nDevicePowerState = To;
    VORLIX_HwUninitialize(pDevice);
  } else if (From == PowerDeviceD0 && To == PowerDeviceD1) {
    pDevice->m_nDevicePowerState = PowerDeviceD1;
  }
  // Every other transition is ignored, the recorded state included.
}
