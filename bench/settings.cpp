// The driver's settings load and save against the machine's in-memory registry, and the
// registry file's export and import. The real registry's own cost is outside our reach;
// these keep the driver's and the store's overhead visible.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "driver/core/device.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/registry_host.h"

namespace {

namespace pk = platform::kernel;

struct Bench {
  DEVICE_OBJECT pdo{};
  CDevice* device = nullptr;
  Bench() {
    pk::RegistryReset();
    void* block = std::aligned_alloc(64, (sizeof(CDevice) + 63) / 64 * 64);
    std::memset(block, 0, sizeof(CDevice));
    device = new (block) CDevice;
    device->m_pPhysicalDeviceObject = &pdo;
    device->PresetSettings();
    device->LoadSettings();
    device->SaveSettings();  // a key holding the saved set, as after the first stop
    pk::RegistryClearAccessLog();
  }
  ~Bench() {
    std::free(device);
    pk::RegistryReset();
  }
};

void BM_LoadSettings(benchmark::State& state) {
  Bench b;
  for (auto _ : state) {
    b.device->PresetSettings();
    b.device->LoadSettings();
    pk::RegistryClearAccessLog();
  }
  state.SetItemsProcessed(state.iterations() * 1702);
}
BENCHMARK(BM_LoadSettings)->Unit(benchmark::kMillisecond);

void BM_SaveSettings(benchmark::State& state) {
  Bench b;
  for (auto _ : state) {
    benchmark::DoNotOptimize(b.device->SaveSettings());
    pk::RegistryClearAccessLog();
  }
  state.SetItemsProcessed(state.iterations() * 1400);
}
BENCHMARK(BM_SaveSettings)->Unit(benchmark::kMillisecond);

void BM_RegistryExport(benchmark::State& state) {
  Bench b;
  std::string bytes, error;
  for (auto _ : state) {
    pk::RegistryExport(&bytes, &error);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_RegistryExport)->Unit(benchmark::kMillisecond);

void BM_RegistryImport(benchmark::State& state) {
  Bench b;
  std::string bytes, error;
  pk::RegistryExport(&bytes, &error);
  for (auto _ : state) benchmark::DoNotOptimize(pk::RegistryImport(bytes, "bench", &error));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_RegistryImport)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
