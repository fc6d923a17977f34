// The PCI side of the machine as a driver sees it: register windows mapped with
// MmMapIoSpace and reached only through READ_REGISTER_*/WRITE_REGISTER_*, the DMA
// adapter with its common buffers, physically contiguous memory, and the interrupt
// connection.
#pragma once

#include "platform/kernel/kernel.h"

// ---------------------------------------------------------------------------------------
// Memory mapping and contiguous memory.

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType);
VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);

// Every byte of the block lies in [Lowest, Highest]; a non-zero Boundary is a power of
// two the block does not cross. Returns null when no such physical memory is free.
PVOID MmAllocateContiguousMemorySpecifyCache(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS LowestAcceptableAddress,
                                             PHYSICAL_ADDRESS HighestAcceptableAddress,
                                             PHYSICAL_ADDRESS BoundaryAddressMultiple, MEMORY_CACHING_TYPE CacheType);
VOID MmFreeContiguousMemorySpecifyCache(PVOID BaseAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType);
PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID BaseAddress);

// ---------------------------------------------------------------------------------------
// Register access (KeMemoryBarrier orders it). An address inside a mapped register
// window goes to the device that owns the window; any other address is plain memory.

UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register);
USHORT READ_REGISTER_USHORT(volatile USHORT* Register);
ULONG READ_REGISTER_ULONG(volatile ULONG* Register);
VOID WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value);
VOID WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value);
VOID WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value);

// ---------------------------------------------------------------------------------------
// DMA adapter.

typedef enum _DMA_WIDTH { Width8Bits = 0, Width16Bits = 1, Width32Bits = 2, MaximumDmaWidth = 3 } DMA_WIDTH;
typedef enum _DMA_SPEED { Compatible = 0, TypeA = 1, TypeB = 2, TypeC = 3, TypeF = 4, MaximumDmaSpeed = 5 } DMA_SPEED;

#define DEVICE_DESCRIPTION_VERSION 0
#define DEVICE_DESCRIPTION_VERSION1 1
#define DEVICE_DESCRIPTION_VERSION2 2

typedef struct _DEVICE_DESCRIPTION {
  ULONG Version;
  BOOLEAN Master;
  BOOLEAN ScatterGather;
  BOOLEAN DemandMode;
  BOOLEAN AutoInitialize;
  BOOLEAN Dma32BitAddresses;
  BOOLEAN IgnoreCount;
  BOOLEAN Reserved1;
  BOOLEAN Dma64BitAddresses;
  ULONG BusNumber;
  ULONG DmaChannel;
  INTERFACE_TYPE InterfaceType;
  DMA_WIDTH DmaWidth;
  DMA_SPEED DmaSpeed;
  ULONG MaximumLength;
  ULONG DmaPort;
} DEVICE_DESCRIPTION, *PDEVICE_DESCRIPTION;

typedef struct _DMA_ADAPTER DMA_ADAPTER, *PDMA_ADAPTER;
typedef VOID (*PPUT_DMA_ADAPTER)(PDMA_ADAPTER DmaAdapter);
typedef PVOID (*PALLOCATE_COMMON_BUFFER)(PDMA_ADAPTER DmaAdapter, ULONG Length, PPHYSICAL_ADDRESS LogicalAddress,
                                         BOOLEAN CacheEnabled);
typedef VOID (*PFREE_COMMON_BUFFER)(PDMA_ADAPTER DmaAdapter, ULONG Length, PHYSICAL_ADDRESS LogicalAddress,
                                    PVOID VirtualAddress, BOOLEAN CacheEnabled);

// Only the operations the system calls are filled; the rest of the table stays null.
typedef struct _DMA_OPERATIONS {
  ULONG Size;
  PPUT_DMA_ADAPTER PutDmaAdapter;
  PALLOCATE_COMMON_BUFFER AllocateCommonBuffer;
  PFREE_COMMON_BUFFER FreeCommonBuffer;
  PVOID AllocateAdapterChannel;
  PVOID FlushAdapterBuffers;
  PVOID FreeAdapterChannel;
  PVOID FreeMapRegisters;
  PVOID MapTransfer;
  PVOID GetDmaAlignment;
  PVOID ReadDmaCounter;
  PVOID GetScatterGatherList;
  PVOID PutScatterGatherList;
} DMA_OPERATIONS, *PDMA_OPERATIONS;

struct _DMA_ADAPTER {
  USHORT Version;
  USHORT Size;
  PDMA_OPERATIONS DmaOperations;
};

// Returns null when the physical device object has no DMA-capable bus device behind it.
PDMA_ADAPTER IoGetDmaAdapter(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_DESCRIPTION DeviceDescription,
                             PULONG NumberOfMapRegisters);

// ---------------------------------------------------------------------------------------
// Interrupts.

typedef struct _KINTERRUPT KINTERRUPT, *PKINTERRUPT;
typedef BOOLEAN (*PKSERVICE_ROUTINE)(PKINTERRUPT Interrupt, PVOID ServiceContext);
typedef BOOLEAN (*PKSYNCHRONIZE_ROUTINE)(PVOID SynchronizeContext);

// After a successful connection the service routine may run at any time, under the
// interrupt's lock at device level, until IoDisconnectInterrupt returns.
NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine, PVOID ServiceContext,
                            PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql, KIRQL SynchronizeIrql,
                            KINTERRUPT_MODE InterruptMode, BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                            BOOLEAN FloatingSave);
// Waits for a running service routine to end.
VOID IoDisconnectInterrupt(PKINTERRUPT InterruptObject);
// Runs the routine under the interrupt's lock, so it waits out a running service routine.
BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                               PVOID SynchronizeContext);
