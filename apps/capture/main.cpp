#include <iostream>
#include <string>
#include <vector>

#include "apps/capture/capture_job.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  vorlix::capture::Options options;
  std::string error;
  if (!vorlix::capture::ParseArguments(args, &options, &error)) {
    std::cerr << "vorlix-capture: " << error << "\n" << vorlix::capture::Usage();
    return 2;
  }
  return vorlix::capture::Run(options, std::cout);
}
