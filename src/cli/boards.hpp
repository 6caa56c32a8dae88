#pragma once

// Many boards from one command (--devices): the file loaded and checked
// once, then every board worked on at the same time, each in a process of
// its own with its own line, lock and log, and one table at the end.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "commands/settings.hpp"
#include "image/image.hpp"
#include "report/outcome.hpp"

namespace bootlink {

// The boards --devices names ("a,b,c" or "@FILE", one a line).
std::vector<std::string> boardList(const std::string& devices);

// Where --log-dir `dir` keeps the log of each board, in the order given.
std::vector<std::string> boardLogPaths(const std::string& dir, const std::vector<std::string>& devices);

// A board's own process: the run with the board `run.dev` as its device and
// `serial` (taken by the parent); its status, and its outcome as its report
// line in `reportText` for the parent.
int boardRun(settings run, const flash_image& image, std::optional<uint64_t> serial, std::string& reportText);

// Runs every board at once and prints the table; the outcome is ok only when
// every board succeeded (a stop signal: every board stopped, 128 + it).
outcome programBoards(const settings& run, const flash_image& image);

// --wait: an unattended line. Each device path waits for a board to appear,
// works on it in a process of its own, says how it ended, waits for it to be
// taken away, and again, until a stop signal or --count boards; ok when
// every board so far succeeded.
outcome waitForBoards(const settings& run, const flash_image& image);

}  // namespace bootlink
