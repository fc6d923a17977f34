// Board-kind template edits: before the settings load and after it, device start
// adapts the driver-wide templates to the card being started. Nothing undoes them: a
// card started later inherits every edit its own kind does not overwrite, and factories
// already created see the new content.
#include "driver/core/board_kinds.h"
#include "driver/core/device.h"
#include "driver/hardware/registers.h"
#include "driver/properties/standard_video.h"
#include "driver/streaming/templates.h"

namespace {

// Points the capture pin template (and its twin) at a range list.
void PointVideoPin(PKSDATARANGE* list, ULONG count) {
  VideoCapturePinDescriptor.PinDescriptor.DataRanges = list;
  VideoCapturePinDescriptor.PinDescriptor.DataRangesCount = count;
  VideoCapturePinDescriptorTwin.PinDescriptor.DataRanges = list;
  VideoCapturePinDescriptorTwin.PinDescriptor.DataRangesCount = count;
}

void PointMonoAudioPin(ULONG count) {
  AudioCapturePinDescriptorMono.PinDescriptor.DataRanges = AltAudioRangeList;
  AudioCapturePinDescriptorMono.PinDescriptor.DataRangesCount = count;
}

void InstallVideoList(VideoRangeListId list) {
  PointVideoPin(AltVideoRangeList, CopyVideoRangeList(list, AltVideoRangeList));
}

// The alternative block's own 48 kHz records: what AltAudioRangeList held at load.
PKSDATARANGE PcmMono48k() { return RangeBlockRecord(RANGE_BLOCK_ALT, RANGE_PCM_MONO); }
PKSDATARANGE PcmStereo48k() { return RangeBlockRecord(RANGE_BLOCK_ALT, RANGE_PCM_STEREO); }

}  // namespace

void CDevice::EditTemplatesBeforeLoad() {
  const PCI_IDENTITY* id = m_pPciIdentity;
  // 1, 2: the 7-entry YUY2 lists. The standard-only member is read as it stands before
  // this start's load: 0 on a first start, the loaded value on a later one.
  const BOOLEAN palOnlyIdentity = IsBoardVariant(id, BOARD_VARIANT_I_PAL_ONLY);
  if (IsBoardKind(id, BOARD_KIND_J) || IsBoardKind(id, BOARD_KIND_K) ||
      (IsBoardKind(id, BOARD_KIND_I) && !palOnlyIdentity)) {
    InstallVideoList(m_nAnalogVideoDecoderStandardPalOnly ? RANGE_LIST_YUY2_625_7 : RANGE_LIST_YUY2_525_7);
  }
  if (palOnlyIdentity) InstallVideoList(RANGE_LIST_YUY2_625_7);
  // 3: the second pin of the video filter gets the first entry of the audio list.
  if (IsBoardKind(id, BOARD_KIND_K)) {
    m_nProcAmpDefaultSet = 1;
    AltAudioRangeList[0] = &AudioRangeMono8Bit8k.DataRange;
    PointMonoAudioPin(1);
    VideoFilterPins[1].PinDescriptor.DataRanges = AltAudioRangeList;
    VideoFilterPins[1].PinDescriptor.DataRangesCount = 1;
    VideoCaptureFilterDescriptor.PinDescriptorsCount = 2;
  }
  // 4, 5: stereo 48 kHz on the mono pin.
  if (IsBoardKind(id, BOARD_KIND_I) || IsBoardKind(id, BOARD_KIND_J)) {
    m_nProcAmpDefaultSet = IsBoardKind(id, BOARD_KIND_J) ? 2 : 1;
    AltAudioRangeList[0] = PcmStereo48k();
    PointMonoAudioPin(1);
  }
  // 6: the default list without its last three X264 pairs.
  if (IsBoardKind(id, BOARD_KIND_A) && !IsBoardVariant(id, BOARD_VARIANT_A_LARGE_FRAME))
    PointVideoPin(AltVideoRangeList, 52);
  // 7
  if (IsBoardVariant(id, BOARD_VARIANT_B_STEREO)) {
    AltAudioRangeList[0] = PcmStereo48k();
    AudioCapturePinDescriptorMono.PinDescriptor.DataRanges = AltAudioRangeList;
  }
  // 8, 9
  if (IsBoardKind(id, BOARD_KIND_E))
    InstallVideoList(IsBoardVariant(id, BOARD_VARIANT_E_SECOND) ? RANGE_LIST_KIND_E_24 : RANGE_LIST_KIND_E_10);
  if (IsBoardKind(id, BOARD_KIND_H)) InstallVideoList(RANGE_LIST_KIND_H_12);
  // 10
  if (IsBoardVariant(id, BOARD_VARIANT_C_PROCAMP_SET3)) m_nProcAmpDefaultSet = 3;
  if (IsBoardVariant(id, BOARD_VARIANT_C_PROCAMP_SET2)) m_nProcAmpDefaultSet = 2;
  // 11: the F board's identity word, read over the hardware I2C controller.
  if (IsBoardKind(id, BOARD_KIND_F)) {
    VORLIX_WriteBarRegister(this, 1, 0x200000, 1, 4);
    VORLIX_WriteBarRegister(this, 1, 0x200008, 301, 4);
    VORLIX_WriteBarRegister(this, 1, 0x300000, 1, 4);
    VORLIX_WriteBarRegister(this, 1, 0x300008, 1997, 4);
    const ULONG word = VORLIX_ReadI2cDword(this, 0xA0, 0);
    if (word == BOARD_F_WORD_HIGH_CONTRAST) m_nProcAmpDefaultSet = 2;
    const ULONG class1 = word & BOARD_F_AUDIO_CLASS1_MASK;
    const ULONG class2 = word & BOARD_F_AUDIO_CLASS2_MASK;
    if (class1 == BOARD_F_AUDIO_CLASS1_A || class1 == BOARD_F_AUDIO_CLASS1_B) {
      AltAudioRangeList[0] = &AudioRangeMono16Bit16k.DataRange;
      AltAudioRangeList[1] = &AudioRangeStereo16Bit16k.DataRange;
      PointMonoAudioPin(2);
    } else if (class2 == BOARD_F_AUDIO_CLASS2_A || class2 == BOARD_F_AUDIO_CLASS2_B) {
      AltAudioRangeList[0] = &AudioRangeMono16Bit16k.DataRange;
      PointMonoAudioPin(2);
    }
  }
  // The ProcAmp set reports the family's defaults as well (driver-wide, like the ranges).
  ReportVideoProcAmpDefaults(m_nProcAmpDefaultSet);
  // 12: every kind. The value read is written straight back.
  const ULONG testManager = ReadRegistryDword(u"CustomDriverTestManagerPlatformProperty", 0);
  WriteRegistryDword(u"CustomDriverTestManagerPlatformProperty", testManager);
  if (testManager) {
    VideoCapturePinDescriptor.PinDescriptor.DataRangesCount = 1;
    VideoCapturePinDescriptorTwin.PinDescriptor.DataRangesCount = 1;
  }
}

void CDevice::EditTemplatesAfterLoad() {
  if (m_nCompanyCastwell == 1) InstallVideoList(RANGE_LIST_CUSTOMER_12);
  if (IsBoardVariant(m_pPciIdentity, BOARD_VARIANT_C_PROCAMP_IDENTITY) && m_nCompanyPellucine) {
    AltAudioRangeList[0] = PcmMono48k();
    PointMonoAudioPin(7);
  }
}

void CDevice::ApplyCategoryRule(KSFILTER_DESCRIPTOR* pCopy, BOOLEAN bAudio) {
  if (m_nCompanyDovrick == 1) {
    pCopy->CategoriesCount = 1;
    pCopy->Categories = bAudio ? AudioCategoriesCaptureOnly[0] : VideoCategoriesCaptureOnly[0];
  } else if (m_nCompanyOstravel == 1) {
    if (bAudio) {
      pCopy->CategoriesCount = 3;
      pCopy->Categories = AudioCategoriesThree[0];
      DbgPrint("--------------------------------------> [OSTRAVEL.AUDIO]\n");
    } else {
      if (m_nCompanyHembrook == 1) {
        pCopy->CategoriesCount = 1;
        pCopy->Categories = VideoCategoriesCaptureOnly[1];
      }
      DbgPrint("--------------------------------------> [OSTRAVEL.VIDEO]\n");
    }
  } else if (m_nCompanyHembrook == 1) {
    if (bAudio) {
      pCopy->CategoriesCount = 3;
      pCopy->Categories = AudioCategoriesThree[1];
      DbgPrint("--------------------------------------> [HEMBROOK.AUDIO]\n");
    } else {
      pCopy->CategoriesCount = 1;
      pCopy->Categories = VideoCategoriesCaptureOnly[1];
      DbgPrint("--------------------------------------> [HEMBROOK.VIDEO]\n");
    }
  }
}
