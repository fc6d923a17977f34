// A library the tests load with dlopen, as the process loads an in-process server: it
// reaches the machine only through the kernel's interface, like the system's code.
#include "platform/kernel/kernel.h"

extern "C" {

__attribute__((visibility("default"))) PVOID SharedMachineModuleAllocate(SIZE_T size, ULONG tag) {
  return ExAllocatePoolWithTag(NonPagedPool, size, tag);
}

__attribute__((visibility("default"))) VOID SharedMachineModuleFree(PVOID block, ULONG tag) {
  ExFreePoolWithTag(block, tag);
}

}  // extern "C"
