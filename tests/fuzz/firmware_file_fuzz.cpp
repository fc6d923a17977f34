// The encoder firmware file through the driver's download path on a simulated encoder
// board: the input is the file. Run with -detect_leaks=0: the machine's threads allocate
// across inputs, and the pool is checked after every one instead.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/device_machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Machine& m = fuzz::M();
  m.Write("VORLIX.HD.HEX", data, size);
  m.Run([&] {
    // The boot holds, as bring-up sets them around the download.
    VORLIX_WriteRegister(m.device, REG_BOOT_HOLD1 / 4, 1, 4);
    VORLIX_WriteRegister(m.device, REG_BOOT_HOLD0 / 4, 1, 4);
    (void)VORLIX_DownloadFirmware(m.device, ENCODER_FIRMWARE_FILE, FALSE);
    VORLIX_WriteRegister(m.device, REG_BOOT_HOLD1 / 4, 0, 4);
    VORLIX_WriteRegister(m.device, REG_BOOT_HOLD0 / 4, 0, 4);
  });
  return 0;
}
