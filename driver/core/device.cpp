// The device object's life: created when KS adds a board, destroyed when KS removes it.
#include "driver/core/device.h"

#include <new>

#include "driver/streaming/virtual_camera.h"

namespace {

constexpr ULONG kDeviceTag = MakePoolTag("QZVK");

template <size_t Rings, size_t Slots>
void EmptyRings(FieldSlot (&rings)[Rings][Slots]) {
  for (auto& ring : rings) {
    for (FieldSlot& slot : ring) {
      slot.pBuffer = nullptr;
      slot.nRowStep = 0;
      slot.bValid = 0;
      slot.nReserved = 0;
    }
  }
}

}  // namespace

CDevice::CDevice() {
  // The parameter sets are built by their member initialisation, channel sets first in
  // index order, then the group sets. The object arrives zero-filled, but the field
  // rings are emptied explicitly: the deinterlacer trusts a slot only by these words.
  EmptyRings(m_DeinterlaceRing);
  EmptyRings(m_DeinterlaceOutput);
  VcamInitialize(this);
}

NTSTATUS CDevice::Add(PKSDEVICE pKsDevice) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(CDevice), kDeviceTag);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(block, sizeof(CDevice));
  // The members no constructor sets rely on this zero fill; the compiler may treat
  // stores made before an object's construction as dead, so make the fill observable.
  __asm__ __volatile__("" : : "r"(block) : "memory");
  CDevice* pDevice = ::new (block) CDevice();
  pDevice->m_pKsDevice = pKsDevice;
  pKsDevice->Context = pDevice;
  return STATUS_SUCCESS;
}

// Gives back one medium's attachment: the locked pages, then the view, then the section.
void CDevice::ReleaseVirtualCamera(int medium) {
  if (m_pVcamMdl[medium] && m_pVcamInfo[medium]) {
    PMDL pMdl = m_pVcamMdl[medium];
    if (pMdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) MmUnmapLockedPages(m_pVcamInfo[medium], pMdl);
    MmUnlockPages(pMdl);
    IoFreeMdl(pMdl);
    m_pVcamMdl[medium] = nullptr;
    m_pVcamInfo[medium] = nullptr;
  }
  if (m_hVcamSection[medium] && m_pVcamView[medium]) {
    // The view lives in the producer's address space, and removal runs in the system
    // process: unmap it from inside the producer. A producer that has ended took its
    // views with it.
    PEPROCESS pProcess = m_pVcamProcess[medium];
    if (pProcess) {
      LARGE_INTEGER now;
      now.QuadPart = 0;
      if (KeWaitForSingleObject(pProcess, Executive, KernelMode, FALSE, &now) == STATUS_TIMEOUT) {
        KAPC_STATE state;
        KeStackAttachProcess(pProcess, &state);
        ZwUnmapViewOfSection(ZwCurrentProcess(), m_pVcamView[medium]);
        KeUnstackDetachProcess(&state);
      }
    } else {
      ZwUnmapViewOfSection(ZwCurrentProcess(), m_pVcamView[medium]);
    }
    m_pVcamView[medium] = nullptr;
  }
  if (m_hVcamSection[medium]) {
    ZwClose(m_hVcamSection[medium]);
    m_hVcamSection[medium] = nullptr;
  }
  if (m_pVcamProcess[medium]) {
    ObDereferenceObject(m_pVcamProcess[medium]);
    m_pVcamProcess[medium] = nullptr;
  }
  m_nVcamViewSize[medium] = 0;
  if (medium == VCAM_AUDIO) {
    if (m_pVcamCarry) ExFreePoolWithTag(m_pVcamCarry, kVcamCarryTag);
    m_pVcamCarry = nullptr;
    m_nVcamCarryCapacity = 0;
    m_nVcamCarryStored = 0;
  }
}

VOID CDevice::Remove(PKSDEVICE pKsDevice, PIRP pIrp) {
  CDevice* pDevice = DeviceOf(pKsDevice);
  if (!pDevice) return;

  pDevice->ReleaseVirtualCamera(VCAM_VIDEO);
  pDevice->ReleaseVirtualCamera(VCAM_AUDIO);
  pDevice->ReleaseDeinterlaceBuffers();

  if (pDevice->m_pMonitorThread) {
    pDevice->m_bMonitorThreadStop = 1;
    KeWaitForSingleObject(pDevice->m_pMonitorThread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(pDevice->m_pMonitorThread);
    pDevice->m_pMonitorThread = nullptr;
  }

  pKsDevice->Context = nullptr;
  pDevice->m_pKsDevice = nullptr;

  // The embedded sets are destroyed in place, never deleted, last-built first.
  for (int i = 3; i >= 0; i--) pDevice->m_aGroupParamSet[i].~CChannelParamSet();
  for (int i = 15; i >= 0; i--) pDevice->m_aChannelParamSet[i].~CChannelParamSet();

  ExFreePoolWithTag(pDevice, kDeviceTag);
}

NTSTATUS CDevice::QueryCapabilities(PKSDEVICE pKsDevice, PIRP pIrp, PDEVICE_CAPABILITIES pCapabilities) {
  return STATUS_SUCCESS;
}
