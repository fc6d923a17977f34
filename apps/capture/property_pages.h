// The main job's look at the property page: the plug-in installed as a setup program
// installs it, its page opened on the encoder board's video capture filter as a capture
// application's property dialog opens it, pictures of its four tabs, and one setting
// changed through a panel as a person would, then the plug-in uninstalled again.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace vorlix::capture {

// One line of the job's summary: the stage, what came of it, and whether that is a
// success (a failure fails the run).
using SummaryLine = std::function<void(const std::string& stage, const std::string& result, bool ok)>;

// With the board started: opens the page, lets its status display tick, writes
// page-device.png, page-receiver.png, page-driver.png and page-encoder.png into `out`,
// sets the encoder's bit rate through the encoder panel and reads it back from the
// driver with a request of its own. The page runs on the machine's clock for about a
// second and a half; a run of no time (`seconds` 0) leaves it out.
void ShowPropertyPage(const std::filesystem::path& out, double seconds, const SummaryLine& line);

}  // namespace vorlix::capture
