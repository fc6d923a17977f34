// Analog video and audio properties with rules of their own: the crossbar inputs, the
// input multiplexer's split count and switch tables, the signal words, the resolution
// limits and the effective frame rate.
#include "driver/hardware/board_state.h"
#include "driver/hardware/lifecycle.h"
#include "driver/properties/custom_device.h"

namespace {

// The nSubsystemVendorIdLow bytes of the seven BOARD_KIND_M models that deliver every
// frame whatever the rate.
constexpr UCHAR kFixedRateModels[7] = {0xB1, 0xB2, 0xB3, 0xB5, 0xB6, 0xB9, 0xBC};

// Four byte entries, least significant first.
constexpr ULONG Entries(UCHAR b0, UCHAR b1, UCHAR b2, UCHAR b3) {
  return (ULONG)b0 | (ULONG)b1 << 8 | (ULONG)b2 << 16 | (ULONG)b3 << 24;
}

ULONG* RowWords(CustomRequest& r) {
  return reinterpret_cast<ULONG*>(reinterpret_cast<PUCHAR>(static_cast<CDeviceSettings*>(r.device)) + r.row->member);
}

}  // namespace

bool CustomIsFixedRateModel(const CDevice* d) {
  if (!CustomIsBoardKind(d, BOARD_KIND_M)) return false;
  for (UCHAR b : kFixedRateModels)
    if (d->m_pPciIdentity->nSubsystemVendorIdLow == b) return true;
  return false;
}

NTSTATUS OnSetAnalogCrossbarVideoInputProperty(CustomRequest& r) {
  CDevice* d = r.device;
  ULONG v = r.Word();
  StoreWord(d->m_nAnalogCrossbarVideoInputAutoScan, 0);
  StoreWord(d->m_nAnalogCrossbarVideoInput, v);
  // The audio input is only chosen here; the next audio routing applies it.
  if (CustomIsBoardKind(d, BOARD_KIND_I) || CustomIsBoardKind(d, BOARD_KIND_J)) {
    if (v == 0 || v == 1) {
      StoreWord(d->m_nAnalogCrossbarAudioInput, 2);
    } else if (v == 2) {
      StoreWord(d->m_nAnalogCrossbarVideoInput, 0);
      StoreWord(d->m_nAnalogCrossbarAudioInput, 2);
    }
  } else {
    if (v == 0 || v == 1) {
      StoreWord(d->m_nAnalogCrossbarAudioInput, 3);
    } else if (v == 2) {
      StoreWord(d->m_nAnalogCrossbarAudioInput, 4);
    } else if (v == 3) {
      StoreWord(d->m_nAnalogCrossbarVideoInput, 0);
      StoreWord(d->m_nAnalogCrossbarAudioInput, 3);
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS OnSetCustomAnalogVideoSplitProperty(CustomRequest& r) {
  CDevice* d = r.device;
  ULONG v = r.Word();
  StoreWord(d->m_nAnalogVideoSplit, v);
  if (v == 0) return STATUS_SUCCESS;
  ULONG a, b, c, mask;
  if (v == 1) {
    a = b = c = 0;
    mask = 1;
  } else if (v == 2) {
    a = b = c = Entries(0, 1, 0, 1);
    mask = 3;
  } else if (v == 3) {
    a = Entries(0, 1, 2, 0);
    b = Entries(1, 2, 0, 1);
    c = Entries(2, 0, 1, 2);
    mask = 7;
  } else {
    a = b = c = Entries(0, 1, 2, 3);
    mask = 15;
  }
  StoreWord(d->m_nAnalogVideoSwitchChannelTable[0], a);
  StoreWord(d->m_nAnalogVideoSwitchChannelTable[1], b);
  StoreWord(d->m_nAnalogVideoSwitchChannelTable[2], c);
  StoreWord(d->m_nAnalogVideoSwitchLockMask, mask);
  return STATUS_SUCCESS;
}

NTSTATUS OnGetCustomAnalogVideoSwitchTableProperty(CustomRequest& r) {
  ULONG* t = RowWords(r);
  for (ULONG k = 0; k < 3; k++) r.PutWord(LoadWord(t[k]), k);
  return STATUS_SUCCESS;
}

NTSTATUS OnSetCustomAnalogVideoSwitchChannelTableProperty(CustomRequest& r) {
  CDevice* d = r.device;
  ULONG mask = 0;
  for (ULONG k = 0; k < 3; k++) {
    ULONG t = r.Word(k);
    StoreWord(d->m_nAnalogVideoSwitchChannelTable[k], t);
    for (ULONG b = 0; b < 4; b++) {
      ULONG input = (t >> (8 * b)) & 0xFF;
      if (input < 4) mask |= 1u << input;
    }
  }
  StoreWord(d->m_nAnalogVideoSwitchLockMask, mask);
  // Inputs the table no longer serves lose their signal bit.
  __atomic_fetch_and(&d->m_nAnalogVideoDecoderStatus, mask, __ATOMIC_RELAXED);
  return STATUS_SUCCESS;
}

NTSTATUS OnSetCustomAnalogVideoSwitchResolutionTableProperty(CustomRequest& r) {
  for (ULONG k = 0; k < 3; k++) StoreWord(r.device->m_nAnalogVideoSwitchResolutionTable[k], r.Word(k));
  return STATUS_SUCCESS;
}

NTSTATUS OnGetAnalogVideoDecoderStatusProperty(CustomRequest& r) {
  CDevice* d = r.device;
  ULONG status = LoadWord(d->m_nAnalogVideoDecoderStatus);
  r.PutWord(LoadWord(d->m_nCloneFilters) ? status : (status >> (r.filterChannel % 32)) & 1);
  return STATUS_SUCCESS;
}

// Ids 233 and 242: width a multiple of 8, height even, and neither 0.
NTSTATUS OnSetCustomAnalogVideoResolutionLimitProperty(CustomRequest& r) {
  ULONG v = r.Word();
  ULONG width = (v >> 16) & ~7u;
  ULONG height = (v & 0xFFFF) & ~1u;
  if (width && height) StoreWord(*RowWords(r), width << 16 | height);
  return STATUS_SUCCESS;
}

// Ids 241, 370, 371: the receiver's fractional-rate, colorimetry or colour-range word
// while input 0 alone has signal.
NTSTATUS OnGetCustomAnalogVideoSignalWordProperty(CustomRequest& r) {
  CDevice* d = r.device;
  const BoardState* s = d->m_pBoardState;
  ULONG v = 0;
  if (s && LoadWord(d->m_nAnalogVideoDecoderStatus) == 1) {
    const ULONG* words[3] = {&s->bSignalFractional, &s->nSignalColorimetry, &s->nSignalRange};
    v = LoadWord(*words[r.row->arg]);
  }
  r.PutWord(v);
  return STATUS_SUCCESS;
}

NTSTATUS OnSetAnalogCrossbarAudioInputProperty(CustomRequest& r) {
  CDevice* d = r.device;
  StoreWord(d->m_nAnalogCrossbarAudioInput, r.Word());
  // The routing stops the monitor thread around the board access: only on a started
  // encoder board at full power, where the bracket is open. Elsewhere the stored input
  // is applied at the next audio routing.
  if (CustomBoardReachable(d)) VORLIX_SetAudioInput(d, r.Word(), LoadWord(d->m_nAnalogCrossbarAudioOutput));
  return STATUS_SUCCESS;
}

NTSTATUS OnGetCustomSpecialCameraInputProperty(CustomRequest& r) {
  ULONG v = LoadWord(r.device->m_nSpecialCameraInput);
  r.PutWord(v > 1 ? 1 : v);
  return STATUS_SUCCESS;
}
NTSTATUS OnSetCustomSpecialCameraInputProperty(CustomRequest& r) {
  ULONG v = r.Word();
  StoreWord(r.device->m_nSpecialCameraInput, v > 1 ? 1 : v);
  return STATUS_SUCCESS;
}

ULONG CustomEffectiveFrameRate(const CDevice* d) {
  ULONG rate = LoadWord(d->m_nAnalogVideoFrameRate);
  ULONG resolution = LoadWord(d->m_nAnalogVideoResolution);
  ULONG a = resolution >> 16, b = resolution & 0xFFFF;
  if (LoadWord(d->m_nAnalogVideoInterleaved)) {
    rate /= 2;
    a *= 2;
  }
  bool l = CustomIsBoardKind(d, BOARD_KIND_L), m = CustomIsBoardKind(d, BOARD_KIND_M);
  if ((l || m) && LoadWord(d->m_nCompanyPexton)) return rate > 30 ? rate / 2 : rate;
  if (l || CustomIsFixedRateModel(d)) return rate;
  // 1920 x 1200 x 30 pixels a second is what the board delivers at full rate.
  if (a * b * rate > 69120000u) rate /= 2;
  return rate;
}

NTSTATUS OnGetCustomAnalogVideoEffectiveFrameRateProperty(CustomRequest& r) {
  r.PutWord(CustomEffectiveFrameRate(r.device));
  return STATUS_SUCCESS;
}
