// Reading large registry files: one value of the largest size the store takes, written
// by the registry's own writer (continued hex lines), and a file of many deletions in
// one key. Both must read in time proportional to the file.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/kernel/registry_host.h"

namespace {

namespace pk = platform::kernel;

void BM_RegistryImportLargeValue(benchmark::State& state) {
  pk::RegistryReset();
  std::vector<uint8_t> data(size_t(state.range(0)) << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + (i >> 11));
  pk::RegistrySetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Large", u"Data", REG_BINARY, data.data(), data.size());
  std::string bytes, error;
  if (!pk::RegistryExport(&bytes, &error)) state.SkipWithError(error.c_str());
  for (auto _ : state) {
    if (!pk::RegistryImport(bytes, "large.reg", &error)) state.SkipWithError(error.c_str());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
  state.counters["file_MiB"] = double(bytes.size()) / (1 << 20);
  pk::RegistryReset();
}
BENCHMARK(BM_RegistryImportLargeValue)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);

// A key of n values, then each deleted in the order they were created ("name"=-).
void BM_RegistryImportDeletions(benchmark::State& state) {
  const int n = int(state.range(0));
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Many]\r\n";
  for (int i = 0; i < n; ++i) text += "\"CustomValue" + std::to_string(i) + "\"=dword:00000001\r\n";
  for (int i = 0; i < n; ++i) text += "\"CustomValue" + std::to_string(i) + "\"=-\r\n";
  std::string error;
  for (auto _ : state) {
    if (!pk::RegistryImport(text, "deletions.reg", &error)) state.SkipWithError(error.c_str());
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["file_MiB"] = double(text.size()) / (1 << 20);
  pk::RegistryReset();
}
BENCHMARK(BM_RegistryImportDeletions)->Arg(40000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
