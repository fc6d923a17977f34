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
  // The input unplugged for the whole capture: the driver draws its no-signal picture.
  bool noSignal = false;
  // The virtual camera as well (--virtual [FILE]): after the live capture a producer
  // pushes `virtualFile` (empty: the numbered test pattern) into the virtual pins.
  bool virtualCamera = false;
  std::string virtualFile;
  // The machine's jumping test clock instead of real time: machine time moves on only
  // while every machine thread waits, so a capture's seconds take what the work needs
  // (tests; delays then take their scaled length of machine time).
  bool testClock = false;
  // Scale of the delays the driver asks for (1: as asked; tests make them shorter).
  double delayScale = 1.0;
  // Called once the machine is set up and the board plugged in, just before the driver
  // loads: where a test injects its faults.
  std::function<void(platform::board::EncoderBoard&)> beforeLoad;
};

// Reads `vorlix-capture [--root DIR] [--out DIR] [--seconds N] [--no-signal]
// [--virtual [FILE]]`. False with a message
// in *error on anything else.
bool ParseArguments(const std::vector<std::string>& args, Options* options, std::string* error);
std::string Usage();

// Runs the job and prints its summary to `report`. Returns the process exit code: 0 on
// success, 1 when a stage failed (a buffer lost, a timestamp gone backwards, an output
// file not written among them), the verifier reported a failure or pool leaked; the
// last line then names every stage that failed ("vorlix-capture: FAILED: ...").
int Run(const Options& options, std::ostream& report);

}  // namespace vorlix::capture
