// The main job: load the driver on the simulated machine, plug in a board, run it for a
// while, take everything down again and keep the debugger log.
#pragma once

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace platform::board {
class EncoderBoard;
}

namespace vorlix::capture {

struct Options {
  std::filesystem::path root = "vorlix-root";  // the machine: C: drive and registry file
  std::filesystem::path out = "capture";       // what the run leaves behind
  double seconds = 5;
  // Scale of the delays the driver asks for (1: as asked; tests make them shorter).
  double delayScale = 1.0;
  // Called once the machine is set up and the board plugged in, just before the driver
  // loads: where a test injects its faults.
  std::function<void(platform::board::EncoderBoard&)> beforeLoad;
};

// Reads `vorlix-capture [--root DIR] [--out DIR] [--seconds N]`. False with a message
// in *error on anything else.
bool ParseArguments(const std::vector<std::string>& args, Options* options, std::string* error);
std::string Usage();

// Runs the job and prints its summary to `report`. Returns the process exit code: 0 on
// success, 1 when a stage failed, the verifier reported a failure or pool leaked; the
// last line then names every stage that failed ("vorlix-capture: FAILED: ...").
int Run(const Options& options, std::ostream& report);

}  // namespace vorlix::capture
