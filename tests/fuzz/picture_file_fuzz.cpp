// The no-signal picture file through the driver's download path on a simulated encoder
// board: the input is the file. Run with -detect_leaks=0: the machine's threads allocate
// across inputs, and the pool is checked after every one instead.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/device_machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Machine& m = fuzz::M();
  m.Write("NO.SIGNAL.BMP", data, size);
  m.Run([&] { (void)VORLIX_DownloadLogoPictures(m.device, u"NO.SIGNAL.BMP"); });
  return 0;
}
