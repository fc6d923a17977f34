// Reading media files back with ffprobe (Debian package ffmpeg), for tests that check what
// a captured stream really holds.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace vorlix_test {

inline bool HaveFfprobe() { return std::system("ffprobe -version > /dev/null 2>&1") == 0; }

// ffprobe's non-empty output lines for a file (its errors left out).
inline std::vector<std::string> ProbeLines(const std::string& args, const std::filesystem::path& file) {
  const std::string command = "ffprobe -v error " + args + " '" + file.string() + "' 2>/dev/null";
  std::vector<std::string> out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char line[512];
  while (fgets(line, sizeof line, p)) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    if (!s.empty()) out.push_back(s);
  }
  pclose(p);
  return out;
}

// ffprobe's answer for a file, as key=value lines.
inline std::map<std::string, std::string> Probe(const std::string& args, const std::filesystem::path& file) {
  std::map<std::string, std::string> out;
  for (const std::string& s : ProbeLines(args + " -of default=nw=1", file)) {
    const size_t eq = s.find('=');
    if (eq != std::string::npos) out[s.substr(0, eq)] = s.substr(eq + 1);
  }
  return out;
}

}  // namespace vorlix_test
