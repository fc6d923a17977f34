// Verifier failures: what a checked kernel would stop the machine for, recorded with the
// offending call so the running test can report it.
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/kernel/internal.h"

namespace platform::kernel {
namespace {

std::mutex& FailureLock() {
  static std::mutex m;
  return m;
}
std::vector<VerifierFailure>& Failures() {
  static std::vector<VerifierFailure> f;
  return f;
}

}  // namespace

void ReportVerifierFailure(const std::string& call, const std::string& detail, ULONG code) {
  std::lock_guard<std::mutex> g(FailureLock());
  Failures().push_back(VerifierFailure{call, detail, code});
}

std::vector<VerifierFailure> VerifierFailures() {
  std::lock_guard<std::mutex> g(FailureLock());
  return Failures();
}

std::vector<VerifierFailure> TakeVerifierFailures() {
  std::lock_guard<std::mutex> g(FailureLock());
  std::vector<VerifierFailure> out;
  out.swap(Failures());
  return out;
}

void ClearVerifierFailures() {
  std::lock_guard<std::mutex> g(FailureLock());
  Failures().clear();
}

std::string FormatVerifierFailure(const VerifierFailure& failure) {
  char code[32];
  std::snprintf(code, sizeof code, "0x%08X", failure.code);
  return "verifier: " + failure.call + ": " + failure.detail + " (bug check " + code + ")";
}

}  // namespace platform::kernel

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  char detail[160];
  std::snprintf(detail, sizeof detail, "bug check 0x%08X (0x%llX, 0x%llX, 0x%llX, 0x%llX)", BugCheckCode,
                (unsigned long long)P1, (unsigned long long)P2, (unsigned long long)P3, (unsigned long long)P4);
  platform::kernel::ReportVerifierFailure("KeBugCheckEx", detail, BugCheckCode);
}
