// How the PCI side meets the rest of the machine: its mode, its verifier, thread names.
#pragma once

#include <pthread.h>

#include <string>

#include "platform/kernel/machine.h"

namespace platform::pci::machine_link {

inline bool Threaded() { return platform::kernel::GetMode() == platform::kernel::Mode::Threaded; }

inline void ReportFault(const std::string& detail) {
  platform::kernel::ReportVerifierFailure("PCI", detail, 0xC4 /* DRIVER_VERIFIER_DETECTED_VIOLATION */);
}

inline void NameThread(const char* name) { pthread_setname_np(pthread_self(), name); }

}  // namespace platform::pci::machine_link
