// The PCI half of the device object: resources, register windows, DMA buffers, the
// interrupt, the deferred procedure calls and the channel table.
#pragma once

#include <atomic>

#include "platform/kernel/kernel.h"
#include "platform/ks/ks.h"
#include "platform/pci/pci.h"

class CDevice;
struct BoardState;
struct _KSPIN;
struct _KSSTREAM_POINTER;

// The board's identity as PCI start read it (the encoder board's hardware initialisation
// later replaces the subsystem fields from its EEPROM record).
typedef struct _PCI_IDENTITY {
  USHORT nVendorId;
  USHORT nDeviceId;
  USHORT nSubsystemId;
  UCHAR nSubsystemVendorIdLow;
  UCHAR nSubsystemVendorIdHigh;
  UCHAR nRevisionId;
} PCI_IDENTITY, *PPCI_IDENTITY;

// Buffer allocation modes.
#define DMA_ALLOC_COMMON 0
#define DMA_ALLOC_WINDOWED 1
#define DMA_ALLOC_BOUNDED 2

#define FRAME_BUFFER_GROUPS 8
#define FRAME_BUFFERS_PER_GROUP 32
#define FRAME_BUFFERS_ALLOCATED 10

typedef struct _FrameBufferEntry {
  ULONGLONG nPhysical;
  ULONG nSize;
} FrameBufferEntry;

// Synthetic statuses the frame clocks queue on DPC object 0.
#define TICK_VIDEO 0xFFFFFFFFu
#define TICK_AUDIO 0xEEEEEEEEu

#define CHANNEL_ROWS 32
#define DPC_OBJECTS 256

// Row states.
#define CHANNEL_FREE 0
#define CHANNEL_REGISTERED 1
#define CHANNEL_STOPPING 2
#define CHANNEL_RUNNING 3

// A 64-bit value that may sit on a 4-byte boundary.
typedef ULONGLONG __attribute__((aligned(4))) ULONGLONG_ALIGN4;

// One queued buffer of a pin (the context of its clone stream pointer), as the pin's
// pending and done lists hold it. The record is packed: nValue follows nLength directly.
typedef struct _CloneNode {
  LIST_ENTRY Link;
  struct _KSSTREAM_POINTER* pClone;
  ULONG nHoldCount;  // DPC passes spent on the done list
  PUCHAR pData;      // frame data
  ULONG nLength;     // all ones: a frame completed without input
  ULONGLONG_ALIGN4 nValue;
  UCHAR bDone;
  UCHAR nFlags;
} CloneNode, *PCloneNode;
static_assert(offsetof(CloneNode, nValue) == offsetof(CloneNode, nLength) + 4);
static_assert(offsetof(CloneNode, bDone) == offsetof(CloneNode, nValue) + 8);

// Called once per transfer-done DPC with every running row's pin and oldest entry; it
// fills lengths, values, done and flags per row.
typedef VOID (*FrameDoneCallback)(struct _KSPIN** pins, struct _KSSTREAM_POINTER** clones, PVOID reserved3,
                                  PVOID reserved4, PUCHAR* data, ULONG* lengths, ULONGLONG* values, UCHAR* done,
                                  UCHAR* flags, CDevice* device, ULONG status, ULONG value);

typedef struct _ChannelTable {
  ULONG nRegistered;
  ULONG nRunning;
  FrameDoneCallback pfnFrameDone;
  struct _KSPIN* pPin[CHANNEL_ROWS];
  ULONG nState[CHANNEL_ROWS];
  PKSPIN_LOCK pLock[CHANNEL_ROWS];
  PLIST_ENTRY pPendingList[CHANNEL_ROWS];
  PLIST_ENTRY pDoneList[CHANNEL_ROWS];
  PVOID pOwner[CHANNEL_ROWS];  // the pin context; its first member is its semaphore
} ChannelTable, *PChannelTable;

// The status handler the DPC hands every status bit to that it does not deliver itself:
// 16, 18 without a callback, 19, 20, 21, each time with the whole status.
typedef ULONG (*StatusHandler)(CDevice* device, ULONG status, ULONG value);

class CPCIBaseDevice {
 public:
  // ---- PCI start and release ---------------------------------------------------------
  NTSTATUS Initialize(PKSDEVICE pKsDevice, PIRP pIrp, PCM_RESOURCE_LIST pTranslatedResources);
  VOID Uninitialize(PKSDEVICE pKsDevice, PIRP pIrp);

  // ---- interrupt, deferred procedure calls, channel table -------------------------------
  static BOOLEAN OnInterruptHandle(PKINTERRUPT pInterrupt, PVOID pContext);
  static VOID OnDpcHandle(PKDPC pDpc, PVOID pContext, PVOID pStatus, PVOID pValue);
  static BOOLEAN OnSynchronizeExecution(PVOID pContext);
  static ULONG RegisterChannel(CPCIBaseDevice* pDevice, ULONG nRow, struct _KSPIN* pPin, PKSPIN_LOCK pLock,
                               PLIST_ENTRY pPendingList, PLIST_ENTRY pDoneList, PVOID pOwner,
                               FrameDoneCallback pfnFrameDone);
  static ULONG UnregisterChannel(CPCIBaseDevice* pDevice, ULONG nRow);
  static ULONG StartChannel(CPCIBaseDevice* pDevice, ULONG nRow);
  static ULONG StopChannel(CPCIBaseDevice* pDevice, ULONG nRow);

  // The device object this PCI half belongs to.
  CDevice* AsDevice();

  // ---- members -------------------------------------------------------------------------
  PDEVICE_OBJECT m_pPhysicalDeviceObject;
  PDEVICE_OBJECT m_pFunctionalDeviceObject;
  PDEVICE_OBJECT m_pNextDeviceObject;
  ULONG m_nDevicePowerState;

  PPCI_IDENTITY m_pPciIdentity;
  PDMA_ADAPTER m_pDmaAdapter;
  PKINTERRUPT m_pInterrupt;

  PHYSICAL_ADDRESS m_liBarPhysical[4];
  PUCHAR m_pBar[4];
  ULONG m_nBarLength[4];

  ULONG m_nBufferAllocMode;
  ULONG m_nMainBufferSize;
  PVOID m_pMainBuffer;
  PHYSICAL_ADDRESS m_liMainBufferPhysical;
  ULONG m_nDmaBufferSize;
  PVOID m_pDmaBuffer;
  PHYSICAL_ADDRESS m_liDmaBufferPhysical;
  ULONG m_nFrameBufferGroupSize[FRAME_BUFFER_GROUPS];
  PVOID m_pFrameBuffer[FRAME_BUFFER_GROUPS][FRAME_BUFFERS_PER_GROUP];
  FrameBufferEntry m_aFrameBufferPhysical[FRAME_BUFFER_GROUPS][FRAME_BUFFERS_PER_GROUP];
  UCHAR m_bBounceBuffers;

  // 1 = an interrupt may be served. Written by the interrupt routine, the DPC and the
  // frame clocks without one common lock, hence atomic.
  std::atomic<ULONG> m_nIsrGate;
  PChannelTable m_pChannelTable;
  KDPC m_aDpc[DPC_OBJECTS];
  KSPIN_LOCK m_DpcLock;
  KSEMAPHORE m_CommandSemaphore;
  // The encoder status handler (VORLIX_ProcessInterruptStatus), set by PCI start next
  // to the DPC objects; a test of the DPC alone puts its own observer here.
  StatusHandler m_pfnProcessStatus;

  // Hardware lifecycle state that PCI start clears and the register routines use (the
  // GPIO shadows live in BoardState).
  ULONG m_nStreamRunState[16];
  BoardState* m_pBoardState;
};
