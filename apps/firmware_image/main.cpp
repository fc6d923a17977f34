// Writes a firmware image for the simulated encoder board in the download's text format
// (eight lowercase hex digits and CR LF per word).
//   vorlix-firmware-image [--words N] FILE
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "platform/board/encoder_core.h"

int main(int argc, char** argv) {
  size_t words = 4096;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--words") == 0 && i + 1 < argc) {
      char* end = nullptr;
      unsigned long n = std::strtoul(argv[++i], &end, 10);
      if (*end != '\0' || n > (1u << 24)) {
        std::cerr << "vorlix-firmware-image: --words takes a number up to 16777216\n";
        return 2;
      }
      words = n;
    } else if (!path && argv[i][0] != '-') {
      path = argv[i];
    } else {
      path = nullptr;
      break;
    }
  }
  if (!path) {
    std::cerr << "usage: vorlix-firmware-image [--words N] FILE\n";
    return 2;
  }
  std::string text = platform::board::FirmwareHexText(platform::board::SampleFirmwareImage(words));
  std::ofstream out(path, std::ios::binary);
  out.write(text.data(), (std::streamsize)text.size());
  if (!out) {
    std::cerr << "vorlix-firmware-image: cannot write " << path << "\n";
    return 1;
  }
  return 0;
}
