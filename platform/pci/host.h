// Host control of the PCI side of the machine: plugging simulated devices into slots,
// building the resource list a driver's Start receives, the physical memory model behind
// DMA, interrupt lines, accounting and fault injection. Tests, the PnP harness and the
// main job use this; the driver never does.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/pci/pci.h"

namespace platform::pci {

class Slot;
struct SlotOptions;

// A simulated PCI function. Register handlers run on the driver's thread (at whatever
// level the driver accesses the register from): they must never block, sleep or call
// back into the driver.
class Device {
 public:
  static constexpr unsigned kMaxWindows = 6;

  Device();
  virtual ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Configuration space (256 bytes). Reads and writes are byte-granular; the default
  // write handler stores only into bytes marked writable.
  virtual void ReadConfig(ULONG offset, void* buffer, ULONG length);
  virtual void WriteConfig(ULONG offset, const void* buffer, ULONG length);
  void SetConfigDword(ULONG offset, ULONG value);
  ULONG ConfigDword(ULONG offset) const;
  void SetConfigWritable(ULONG offset, ULONG length, bool writable = true);

  // Memory windows (BARs). A length of 0 means the window does not exist.
  void SetWindowLength(unsigned window, ULONG length);
  ULONG WindowLength(unsigned window) const;

  // Width is 1, 2 or 4; the offset is always inside the window.
  virtual ULONG ReadRegister(unsigned window, ULONG offset, unsigned width) = 0;
  virtual void WriteRegister(unsigned window, ULONG offset, ULONG value, unsigned width) = 0;

  // The interrupt line this device drives; level-sensitive unless the slot says latched.
  void SetInterruptLine(bool asserted);
  bool InterruptLine() const;

  Slot* slot() const { return slot_; }

 private:
  friend class Slot;
  friend Slot* PlugIn(Device&, const SlotOptions&);
  friend void Unplug(Slot*);
  friend void Reset();
  friend void ForceUnplug(Slot*);
  uint8_t config_[256] = {};
  bool configWritable_[256] = {};
  ULONG windowLength_[kMaxWindows] = {};
  std::atomic<bool> line_{false};
  Slot* slot_ = nullptr;
};

struct SlotOptions {
  ULONG busNumber = 1;
  ULONG vector = 0;  // 0: the slot picks one
  KIRQL level = 0;   // 0: the slot picks one
  KAFFINITY affinity = 1;
  USHORT interruptFlags = 0;  // CM_RESOURCE_INTERRUPT_LATCHED (1) or level-sensitive (0)
  bool shared = true;
};

class Slot {
 public:
  Device& device() const { return *device_; }
  ULONG busNumber() const { return options_.busNumber; }
  ULONG vector() const { return options_.vector; }
  KIRQL level() const { return options_.level; }
  KAFFINITY affinity() const { return options_.affinity; }
  bool latched() const { return options_.interruptFlags == 1; }
  bool shared() const { return options_.shared; }
  // Physical base of a window (0 when the window does not exist).
  uint64_t windowBase(unsigned window) const { return windowBase_[window]; }
  // The physical device object the PnP harness created for this slot (for records).
  void SetPhysicalDeviceObject(PDEVICE_OBJECT pdo) { pdo_ = pdo; }
  PDEVICE_OBJECT physicalDeviceObject() const { return pdo_; }

 private:
  friend Slot* PlugIn(Device&, const SlotOptions&);
  friend void Unplug(Slot*);
  friend void Reset();
  friend void ForceUnplug(Slot*);
  friend class Device;
  Device* device_ = nullptr;
  SlotOptions options_;
  uint64_t windowBase_[Device::kMaxWindows] = {};
  PDEVICE_OBJECT pdo_ = nullptr;
};

// Plugs a device in: gives its windows physical addresses (above the RAM model, below
// 4 GB) and its interrupt a vector. The device must outlive the slot.
Slot* PlugIn(Device& device, const SlotOptions& options = {});
// Unplugging with a window still mapped or the interrupt still connected is a fault.
void Unplug(Slot* slot);

// The bus-data routine the KS device calls for configuration space
// (KSHARNESS_BUS_DATA; Context is the Slot). Returns the bytes transferred.
ULONG BusData(PVOID context, ULONG dataType, PVOID buffer, ULONG offset, ULONG length, BOOLEAN write);

// A CM_RESOURCE_LIST with one full descriptor, laid out in one block of bytes.
class ResourceList {
 public:
  ResourceList();
  ResourceList& AddInterrupt(KIRQL level, ULONG vector, KAFFINITY affinity, USHORT flags, bool shared);
  ResourceList& AddMemory(uint64_t start, ULONG length);
  ResourceList& AddPort(uint64_t start, ULONG length);
  PCM_RESOURCE_LIST get();
  ULONG count() const { return (ULONG)descriptors_.size(); }

 private:
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors_;
  std::vector<uint8_t> bytes_;
};

// The translated resources of a slot: its interrupt, then its windows in order.
ResourceList TranslatedResources(const Slot& slot);

// ---------------------------------------------------------------------------------------
// Physical memory.

struct PhysicalRange {
  uint64_t start;  // first byte
  uint64_t end;    // one past the last byte
};

// RAM below 4 GB that DMA memory comes from. Default: [1 MB, 3 GB).
void SetPhysicalRanges(const std::vector<PhysicalRange>& ranges);
// RAM above 4 GB ([4 GB, 8 GB)); absent by default.
void SetHighMemoryPresent(bool present);

struct Allocation {
  enum Kind { kContiguous, kCommonBuffer } kind;
  uint64_t physical;
  size_t size;  // as asked
  void* virtualAddress;
  MEMORY_CACHING_TYPE cache;
};
std::vector<Allocation> Allocations();

// Bus-master access for simulated devices: the host memory behind [physical,
// physical + length), or null unless that range lies inside one allocated block.
void* PhysicalToVirtual(uint64_t physical, size_t length);

struct Accounting {
  size_t contiguousBlocks = 0;
  size_t contiguousBytes = 0;
  size_t commonBuffers = 0;
  size_t commonBufferBytes = 0;
  size_t adapters = 0;
  size_t mappings = 0;
  size_t interrupts = 0;
  bool empty() const {
    return contiguousBlocks == 0 && commonBuffers == 0 && adapters == 0 && mappings == 0 && interrupts == 0;
  }
};
Accounting CurrentAccounting();
// What is still allocated, one line each (for leak reports).
std::vector<std::string> Outstanding();

// ---------------------------------------------------------------------------------------
// Fault injection. Each operation counts its calls from the moment of injection; the
// nth call (1 = the next one) fails, and with `persistent` every later call too.

enum class Operation {
  kContiguousMemory,  // MmAllocateContiguousMemorySpecifyCache
  kCommonBuffer,      // AllocateCommonBuffer
  kDmaAdapter,        // IoGetDmaAdapter
  kMapIoSpace,        // MmMapIoSpace
  kConnectInterrupt,  // IoConnectInterrupt (fails with the injected status)
};
void InjectFailure(Operation op, unsigned nth, bool persistent = false,
                   NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void ClearInjectedFailures();
// How many times an operation was called since the last Reset.
unsigned CallCount(Operation op);

// ---------------------------------------------------------------------------------------
// What the driver asked for, for tests.

struct AdapterRecord {
  DEVICE_DESCRIPTION description;
  PDEVICE_OBJECT physicalDeviceObject;
};
std::vector<AdapterRecord> AdapterRequests();

struct ConnectionRecord {
  Slot* slot;
  ULONG vector;
  KIRQL irql;
  KIRQL synchronizeIrql;
  KINTERRUPT_MODE mode;
  bool shared;
  KAFFINITY affinity;
  bool floatingSave;
  bool spinLockGiven;
};
// Parameters of a live connection (or of the last one made on that slot).
ConnectionRecord ConnectionOf(const Slot* slot);
bool Connected(const Slot* slot);
// KeSynchronizeExecution calls on a slot's connection since it was made.
unsigned SynchronizeCount(const Slot* slot);

// ---------------------------------------------------------------------------------------
// Interrupt delivery. In the machine's threaded mode each connection has a delivery
// thread that calls the service routine whenever the line is asserted; a level-sensitive
// line refused by the routine (or still asserted after it) is delivered again after a
// short back-off. In manual mode nothing runs by itself: a test calls Service.

// Calls the connected service routine once if the line is asserted (latched: if an edge
// is pending). Returns the routine's answer, or false when nothing was delivered.
bool Service(Slot* slot);
// How many times the service routine was called (counted as it begins, so a delivery
// whose acknowledgement is seen is counted) and how often it answered FALSE.
unsigned Deliveries(const Slot* slot);
unsigned Refusals(const Slot* slot);

// Faults in the way the driver used the PCI side (a window accessed past its end, a
// free of something never allocated, ...). Also reported to the machine's verifier.
std::vector<std::string> Faults();
void ClearFaults();

// Back to the start state: every injection, record and count cleared, default ranges.
// Anything still allocated is reported as a fault first and then dropped.
void Reset();

}  // namespace platform::pci
