// The main job: load the driver on the simulated machine, plug in a board, run it for a
// while, take everything down again and keep the debugger log.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace vorlix::capture {

struct Options {
  std::filesystem::path root = "vorlix-root";  // the machine: C: drive and registry file
  std::filesystem::path out = "capture";       // what the run leaves behind
  double seconds = 5;
};

// Reads `vorlix-capture [--root DIR] [--out DIR] [--seconds N]`. False with a message
// in *error on anything else.
bool ParseArguments(const std::vector<std::string>& args, Options* options, std::string* error);
std::string Usage();

// Runs the job and prints its summary to `report`. Returns the process exit code: 0 on
// success, 1 when a stage failed, the verifier reported a failure or pool leaked.
int Run(const Options& options, std::ostream& report);

}  // namespace vorlix::capture
