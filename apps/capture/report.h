// The main job's summary: one line per stage and how it went; every stage that fails is
// named again in the last line, and fails the run.
#pragma once

#include <cstdio>
#include <ostream>
#include <string>

#include "platform/kernel/ntdef.h"

namespace vorlix::capture {

inline std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", (unsigned)status);
  return text;
}

struct Summary {
  std::ostream& out;
  bool ok = true;
  std::string failed = {};
  void Line(const std::string& stage, const std::string& result) {
    out << "  " << stage;
    for (size_t n = stage.size(); n < 24; n++) out << ' ';
    out << result << "\n";
  }
  void Fail(const std::string& stage, const std::string& result) {
    Line(stage, result);
    ok = false;
    failed += (failed.empty() ? "" : ", ") + stage;
  }
  void Step(const std::string& stage, NTSTATUS status) {
    if (NT_SUCCESS(status))
      Line(stage, "ok");
    else
      Fail(stage, "FAILED " + StatusText(status));
  }
};

}  // namespace vorlix::capture
