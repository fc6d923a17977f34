// The video capture pin's dispatch routines.
#include "driver/streaming/video_pin.h"

#include "driver/core/board_kinds.h"
#include "driver/streaming/capture_filter.h"
#include "driver/streaming/capture_pin.h"

namespace {

constexpr ULONG kFourCCH264 = MakeFourCC("H264");
constexpr ULONG kFourCCX264 = MakeFourCC("X264");

// Standards with 525 lines, and with 625 lines.
constexpr ULONG kStandards525 = 0xA07;
constexpr ULONG kStandards625 = 0x1FF5F0;

// Above this many pixels per second the board delivers every other frame.
constexpr ULONG kPixelRateLimit = 69120000;

constexpr ULONG kDefaultVideoFrames = 10;
constexpr ULONG kDefaultEncodedFrames = 16;
constexpr ULONG kVekEncodedFrameBytes = 0x80004;

// The slot of the virtual camera's video pin.
constexpr ULONG kVirtualVideoBaseSlot = 8;
constexpr ULONG kVideoPinSlots = sizeof(CDevice::m_pVideoPin) / sizeof(PKSPIN);

// The seven fixed-rate models of BOARD_KIND_M: the low nibble of the low subsystem byte
// numbers the model, 1 to 7.
BOOLEAN IsFixedRateModelM(const PCI_IDENTITY* id) {
  if (!IsBoardKind(id, BOARD_KIND_M)) return FALSE;
  const UCHAR model = id->nSubsystemVendorIdLow & 0x0F;
  return model >= 1 && model <= 7;
}

// The subsystem byte that marks the five-channel variant of BOARD_KIND_F; the encoded
// rate rule tests it alone, on any board.
UCHAR FiveChannelMarker() {
  PCI_IDENTITY id{};
  BoardVariantIdentity(BOARD_VARIANT_F_FIVE_CHANNEL, &id);
  return id.nSubsystemVendorIdHigh;
}

template <typename T, size_t N>
void WriteWord(T (&words)[N], ULONG index, T value) {
  if (index < N) words[index] = value;
}

BOOLEAN BytesEqual(const void* a, const void* b, ULONG n) {
  const auto* x = static_cast<const UCHAR*>(a);
  const auto* y = static_cast<const UCHAR*>(b);
  for (ULONG i = 0; i < n; i++)
    if (x[i] != y[i]) return FALSE;
  return TRUE;
}

const KS_DATAFORMAT_VIDEOINFOHEADER* VideoFormatOf(const KSDATAFORMAT* f) {
  if (!f || f->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return nullptr;
  return reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(f);
}

}  // namespace

VideoFormatGroup FormatGroupOf(USHORT biBitCount, ULONG biCompression) {
  if (biBitCount == 24 && biCompression == kFourCCH264) return VIDEO_GROUP_H264;
  if (biBitCount == 24 && biCompression == kFourCCX264) return VIDEO_GROUP_X264;
  return VIDEO_GROUP_RAW;
}

ULONG SwitchResolutionWord(LONG biWidth, LONG biHeight) {
  if (biWidth == 320 || biWidth == 352 || biWidth == 360) return 0x02020202;
  if (biHeight == 360 || biHeight == 396 || biHeight == 405 || biHeight == 480 || biHeight == 576) return 0;
  return 0x01010101;
}

ULONG ComputeSkipDividerWord(ULONG S, ULONG R) {
  // A rate of 0 would divide by zero; nothing usable was asked for, so nothing is skipped.
  if (R == 0 || S <= R) return SETTINGS_WORD_SET_BY_APPLICATION;
  const ULONGLONG divider = ((ULONGLONG)S + R / 2) / R - 1;
  return (ULONG)divider | SETTINGS_WORD_SET_BY_APPLICATION;
}

ULONG SourceFrameRate(const CDevice* pDevice, BOOLEAN bEncoded) {
  const PCI_IDENTITY* id = pDevice->m_pPciIdentity;
  // The monitor thread stores the input's words while a pin is created: each is read once.
  const ULONG rate = __atomic_load_n(&pDevice->m_nAnalogVideoFrameRate, __ATOMIC_RELAXED);
  const ULONG standard = __atomic_load_n(&pDevice->m_nAnalogVideoDecoderStandard, __ATOMIC_RELAXED);
  ULONG S = rate * 1000;
  if (__atomic_load_n(&pDevice->m_nAnalogVideoInterleaved, __ATOMIC_RELAXED) == 1) S >>= 1;
  const BOOLEAN kindL = IsBoardKind(id, BOARD_KIND_L), kindM = IsBoardKind(id, BOARD_KIND_M);
  if ((kindL || kindM) && pDevice->m_nCompanyPexton) {
    if (rate > 30) S >>= 1;
  } else if (kindL || IsFixedRateModelM(id)) {
    // Fixed-rate models deliver what they are set to.
  } else {
    const ULONG width = pDevice->m_nAnalogVideoResolution >> 16, height = pDevice->m_nAnalogVideoResolution & 0xFFFF;
    if (rate * width * height > kPixelRateLimit) S >>= 1;
  }
  if (bEncoded && id && id->nSubsystemVendorIdLow == FiveChannelMarker()) {
    if (standard & kStandards525) S = 29970;
    if (standard & kStandards625) S = 25000;
  }
  if (S == 0) {
    if (standard & kStandards525) S = 29970;
    if (standard & kStandards625) S = 25000;
  }
  return S;
}

ULONG RequestedFrameRate(LONGLONG nAvgTimePerFrame, ULONG nStandard) {
  ULONG R = 0;
  if (nAvgTimePerFrame != 0) R = (ULONG)(10000000000ull / (ULONGLONG)nAvgTimePerFrame);
  if (R == 0) {
    if (nStandard & kStandards525) R = 30000;
    if (nStandard & kStandards625) R = 25000;
  }
  return R;
}

PKS_FRAMING_ITEM EditPinFraming(PKSPIN pKsPin) {
  if (!NT_SUCCESS(_KsEdit(pKsPin->Bag, (PVOID*)&pKsPin->Descriptor, sizeof(KSPIN_DESCRIPTOR_EX),
                          sizeof(KSPIN_DESCRIPTOR_EX), kVideoEditTag)))
    return nullptr;
  auto* desc = const_cast<KSPIN_DESCRIPTOR_EX*>(pKsPin->Descriptor);
  if (!desc->AllocatorFraming) return nullptr;
  if (!NT_SUCCESS(_KsEdit(pKsPin->Bag, (PVOID*)&desc->AllocatorFraming, sizeof(KSALLOCATOR_FRAMING_EX),
                          sizeof(KSALLOCATOR_FRAMING_EX), kVideoEditTag)))
    return nullptr;
  return &const_cast<KSALLOCATOR_FRAMING_EX*>(desc->AllocatorFraming)->FramingItem[0];
}

NTSTATUS CVideoCapturePin::Create(PKSPIN pKsPin, PIRP pIrp) {
  // KS runs SetDataFormat first, which refuses short formats; this is the second look.
  const KS_DATAFORMAT_VIDEOINFOHEADER* format = VideoFormatOf(pKsPin->ConnectionFormat);
  if (!format) return STATUS_NO_MATCH;
  const KS_BITMAPINFOHEADER& bmi = format->VideoInfoHeader.bmiHeader;
  const LONG biWidth = bmi.biWidth, biHeight = bmi.biHeight;
  const USHORT biBitCount = bmi.biBitCount;
  const ULONG biCompression = bmi.biCompression;
  const LONGLONG avgTimePerFrame = format->VideoInfoHeader.AvgTimePerFrame;

  PinOwner owner;
  if (!NT_SUCCESS(FindPinOwner(pIrp, TRUE, &owner))) return STATUS_DEVICE_NOT_CONNECTED;
  CDevice* dev = owner.pDevice;
  FilterContext* fc = owner.pFilterContext;

  ExAcquireFastMutex(&dev->m_PinMutex);
  const VideoFormatGroup group = FormatGroupOf(biBitCount, biCompression);
  const BOOLEAN isVirtual = fc->nKind == FILTER_KIND_VIRTUAL_VIDEO && dev->m_nVirtualCaptureDevice != 0;
  ULONG base = isVirtual ? kVirtualVideoBaseSlot : fc->nChannel;
  if (dev->m_nInstancesPossible) {
    base = 4;
    for (ULONG s = 0; s < 4 && base == 4; s++)
      if (!dev->m_pVideoPin[s + group]) base = s;
    if (base == 4) {
      ExReleaseFastMutex(&dev->m_PinMutex);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  const ULONG slot = base + group;
  if (base >= kVideoPinSlots || slot >= kVideoPinSlots || dev->m_pVideoPin[slot]) {
    ExReleaseFastMutex(&dev->m_PinMutex);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  auto* ctx =
      static_cast<VideoPinContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(VideoPinContext), kPinContextTag));
  if (!ctx) {
    ExReleaseFastMutex(&dev->m_PinMutex);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(ctx, sizeof(*ctx));
  ctx->pKsDeviceCopy = ctx->pKsDevice = owner.pKsDevice;
  ctx->pKsFilterCopy = ctx->pKsFilter = owner.pKsFilter;
  ctx->pKsPinCopy = ctx->pKsPin = pKsPin;
  ctx->nTransferWidth = ctx->nWidth = ctx->nStride = (ULONG)biWidth;
  ctx->nTransferHeight = ctx->nHeight = (ULONG)biHeight;
  ctx->nTransferBitCount = 16;
  ctx->nMaxFrameBytes = (ULONG)biWidth * (ULONG)biHeight * 16 / 8;
  ctx->nCompression = biCompression;
  ctx->nBitCount = biBitCount;
  ctx->nFrameBytes = (ULONG)biWidth * (ULONG)biHeight * biBitCount / 8;
  ctx->nAvgTimePerFrame = avgTimePerFrame;
  ctx->pWorkBuffer =
      static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolCacheAligned, VIDEO_WORK_BUFFER_BYTES, kPinWorkBufferTag));
  ctx->bResync = 1;
  ctx->nParam = ctx->nMaxFrameBytes + 32;

  pKsPin->StreamHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
  pKsPin->Context = ctx;
  dev->m_pVideoPin[slot] = pKsPin;
  ctx->nStreamIndex = slot;
  fc->nStreamIndex = slot;

  dev->m_nAnalogVideoSplit = 1;
  dev->m_nAnalogVideoSwitchLockMask = 1;
  const ULONG switchWord = SwitchResolutionWord(biWidth, biHeight);
  for (int i = 0; i < 3; i++) {
    dev->m_nAnalogVideoSwitchChannelTable[i] = 0;
    dev->m_nAnalogVideoSwitchResolutionTable[i] = switchWord;
  }

  // A virtual pin has no stream on the board: the per-channel words of its slot belong to
  // the board's own channel of that number, so they are left alone.
  if (!isVirtual) {
    const ULONG sizeWord = (ULONG)biWidth << 12 | (ULONG)biHeight | SETTINGS_WORD_SET_BY_APPLICATION;
    const BOOLEAN encoded = group != VIDEO_GROUP_RAW;
    if (!encoded && (biBitCount == 12 || biBitCount == 16 || biBitCount == 24 || biBitCount == 32))
      WriteWord(dev->m_nPreviewVideoResolution, base, sizeWord);
    const ULONG i = group == VIDEO_GROUP_X264 ? base + 4 : base;
    if (!encoded) {
      WriteWord(dev->m_nAnalogVideoAvgFrameRate, i, (ULONG)0);
    } else {
      WriteWord(dev->m_nEncoderVideoAvgFrameRate, i, (ULONG)0);
      WriteWord(dev->m_nEncoderVideoResolution, i, sizeWord);
    }
    const ULONG S = SourceFrameRate(dev, encoded);
    const ULONG R =
        RequestedFrameRate(avgTimePerFrame, __atomic_load_n(&dev->m_nAnalogVideoDecoderStandard, __ATOMIC_RELAXED));
    const ULONG divider = ComputeSkipDividerWord(S, R);
    if (!encoded)
      WriteWord(dev->m_nAnalogVideoSkipFrameRate, i, divider);
    else
      WriteWord(dev->m_nEncoderVideoSkipFrameRate, i, divider);
  }
  ExReleaseFastMutex(&dev->m_PinMutex);

  if (!ctx->pWorkBuffer) {
    Close(pKsPin, pIrp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CVideoCapturePin::Close(PKSPIN pKsPin, PIRP pIrp) {
  auto* ctx = static_cast<VideoPinContext*>(pKsPin->Context);
  if (!ctx) return STATUS_SUCCESS;
  CDevice* dev = DeviceOf(ctx->pKsDevice);
  ExAcquireFastMutex(&dev->m_PinMutex);
  if (ctx->pWorkBuffer) ExFreePool(ctx->pWorkBuffer);
  if (ctx->nStreamIndex < kVideoPinSlots && dev->m_pVideoPin[ctx->nStreamIndex] == pKsPin)
    dev->m_pVideoPin[ctx->nStreamIndex] = nullptr;
  ExFreePool(ctx);
  pKsPin->Context = nullptr;
  ExReleaseFastMutex(&dev->m_PinMutex);
  return STATUS_SUCCESS;
}

NTSTATUS CVideoCapturePin::SetDataFormat(PKSPIN pKsPin, PKSDATAFORMAT pOldFormat, PKSMULTIPLE_ITEM pOldAttributeList,
                                         const KSDATARANGE* pDataRange, const KSATTRIBUTE_LIST* pAttributeRange) {
  const KS_DATAFORMAT_VIDEOINFOHEADER* format = VideoFormatOf(pKsPin->ConnectionFormat);
  if (!format) return STATUS_NO_MATCH;
  const KS_VIDEOINFOHEADER& vih = format->VideoInfoHeader;

  if (pKsPin->DeviceState != KSSTATE_STOP) {
    // A renderer downstream tells the pin its row pitch and orientation by offering the
    // same picture in a wider (or flipped) buffer; the format itself stays.
    auto* ctx = static_cast<VideoPinContext*>(pKsPin->Context);
    if (ctx && vih.bmiHeader.biWidth >= (LONG)ctx->nWidth) {
      const KS_RECT full = {0, 0, (LONG)ctx->nWidth, (LONG)ctx->nHeight};
      auto same = [&](const KS_RECT& r) {
        return r.left == full.left && r.top == full.top && r.right == full.right && r.bottom == full.bottom;
      };
      if (same(vih.rcSource) && same(vih.rcTarget)) {
        ctx->nStride = (ULONG)vih.bmiHeader.biWidth;
        ctx->bTopDown = vih.bmiHeader.biHeight < 0;
      }
    }
    return STATUS_INVALID_DEVICE_STATE;
  }

  if (!pDataRange || pDataRange->FormatSize < sizeof(KS_DATARANGE_VIDEO)) return STATUS_NO_MATCH;
  const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pDataRange);
  const KS_BITMAPINFOHEADER& want = range->VideoInfoHeader.bmiHeader;
  const KS_BITMAPINFOHEADER& got = vih.bmiHeader;
  if (pDataRange->MajorFormat != format->DataFormat.MajorFormat ||
      pDataRange->SubFormat != format->DataFormat.SubFormat || pDataRange->Specifier != format->DataFormat.Specifier ||
      want.biWidth != got.biWidth || want.biHeight != got.biHeight || want.biSizeImage != got.biSizeImage ||
      want.biCompression != got.biCompression || range->VideoInfoHeader.AvgTimePerFrame == 0)
    return STATUS_NO_MATCH;

  PKS_FRAMING_ITEM item = EditPinFraming(pKsPin);
  if (!item) return STATUS_UNSUCCESSFUL;
  CDevice* dev = DeviceOf(KsGetDevice(pKsPin));
  item->Frames = dev && dev->m_nAnalogVideoQueueBufferSize ? dev->m_nAnalogVideoQueueBufferSize : kDefaultVideoFrames;
  ULONG size = got.biSizeImage;
  if (got.biBitCount == 24 && got.biCompression != 0) {
    size =
        dev && dev->m_nCompanyVek >= 1 ? kVekEncodedFrameBytes : (ULONG)((LONGLONG)got.biWidth * got.biHeight * 3 / 2);
    item->Frames =
        dev && dev->m_nEncoderVideoQueueBufferSize ? dev->m_nEncoderVideoQueueBufferSize : kDefaultEncodedFrames;
  }
  item->PhysicalRange = {size, size, 0};
  item->FramingRange.Range = {size, size, 0};
  return STATUS_SUCCESS;
}

NTSTATUS CVideoCapturePin::SetDeviceState(PKSPIN pKsPin, KSSTATE ToState, KSSTATE FromState) {
  const NTSTATUS status = CCapturePin::SetDeviceState(pKsPin, ToState, FromState);
  auto* ctx = static_cast<VideoPinContext*>(pKsPin->Context);
  if (!ctx) return status;
  if (ToState != KSSTATE_RUN) {
    // The virtual camera's push writes the time state under the pin mutex.
    CDevice* dev = DeviceOf(ctx->pKsDevice);
    ExAcquireFastMutex(&dev->m_PinMutex);
    RtlZeroMemory(ctx->aTransferState, sizeof(ctx->aTransferState));
    ctx->nTransferFlag = 0;
    ctx->nLastPresentationTime = 0;
    ctx->nLastClockTime = 0;
    ctx->bResync = 1;
    ExReleaseFastMutex(&dev->m_PinMutex);
  }
  if (ToState == KSSTATE_PAUSE && (FromState == KSSTATE_STOP || FromState == KSSTATE_ACQUIRE)) {
    ctx->nPictureNumber = 0;
    ctx->nDropCount = 0;
  }
  return status;
}

NTSTATUS CVideoCapturePin::IntersectHandler(PVOID pContext, PIRP pIrp, PKSP_PIN pPin, PKSDATARANGE pCallerRange,
                                            PKSDATARANGE pDescriptorRange, ULONG nBufferSize, PVOID pData,
                                            PULONG pDataSize) {
  if (!pCallerRange || !pDescriptorRange || pDescriptorRange->FormatSize < sizeof(KS_DATARANGE_VIDEO) ||
      pCallerRange->FormatSize < pDescriptorRange->FormatSize)
    return STATUS_NO_MATCH;
  const auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pCallerRange);
  const auto* mine = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pDescriptorRange);
  const KS_BITMAPINFOHEADER& cb = caller->VideoInfoHeader.bmiHeader;
  const KS_BITMAPINFOHEADER& mb = mine->VideoInfoHeader.bmiHeader;
  if (pCallerRange->MajorFormat != pDescriptorRange->MajorFormat ||
      pCallerRange->SubFormat != pDescriptorRange->SubFormat ||
      pCallerRange->Specifier != pDescriptorRange->Specifier ||
      !BytesEqual(&caller->ConfigCaps, &mine->ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS)) ||
      caller->bFixedSizeSamples != mine->bFixedSizeSamples ||
      caller->bTemporalCompression != mine->bTemporalCompression ||
      caller->StreamDescriptionFlags != mine->StreamDescriptionFlags ||
      caller->MemoryAllocationFlags != mine->MemoryAllocationFlags || cb.biWidth != mb.biWidth ||
      cb.biHeight != mb.biHeight || cb.biCompression != mb.biCompression || cb.biBitCount != mb.biBitCount ||
      caller->VideoInfoHeader.AvgTimePerFrame == 0)
    return STATUS_NO_MATCH;
  // The caller's bitmap header (biSize bytes, palette or masks included) is copied whole:
  // it must be a header and lie inside the caller's range.
  constexpr ULONG kBitmapOffset = offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader.bmiHeader);
  if (cb.biSize < sizeof(KS_BITMAPINFOHEADER) || cb.biSize > pCallerRange->FormatSize - kBitmapOffset)
    return STATUS_NO_MATCH;

  const ULONG size = cb.biSize + sizeof(KSDATAFORMAT) + offsetof(KS_VIDEOINFOHEADER, bmiHeader);  // biSize + 112
  *pDataSize = size;
  if (nBufferSize == 0) return STATUS_BUFFER_OVERFLOW;
  if (nBufferSize < size) return STATUS_BUFFER_TOO_SMALL;

  auto* out = static_cast<PUCHAR>(pData);
  RtlCopyMemory(out, pCallerRange, sizeof(KSDATAFORMAT));
  RtlCopyMemory(out + sizeof(KSDATAFORMAT), &caller->VideoInfoHeader,
                cb.biSize + offsetof(KS_VIDEOINFOHEADER, bmiHeader));
  auto* format = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(out);
  KS_BITMAPINFOHEADER& bmi = format->VideoInfoHeader.bmiHeader;
  const LONGLONG height = bmi.biHeight < 0 ? -(LONGLONG)bmi.biHeight : bmi.biHeight;
  const ULONGLONG rowBytes = (((ULONGLONG)bmi.biBitCount * (ULONGLONG)(ULONG)bmi.biWidth + 31) / 32) * 4;
  bmi.biSizeImage = (ULONG)(rowBytes * (ULONGLONG)height);
  format->DataFormat.SampleSize = bmi.biSizeImage;
  format->DataFormat.FormatSize = size;
  return STATUS_SUCCESS;
}
