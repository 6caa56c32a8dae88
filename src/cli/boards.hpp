#pragma once

// Many boards from one command (--devices): the file loaded and checked
// once, then every board worked on at the same time, each in a process of
// its own with its own line, lock and log, and one table at the end.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "commands/settings.hpp"
#include "image/image.hpp"
#include "link/serial.hpp"
#include "report/outcome.hpp"

namespace bootlink {

// One board's run once the file is loaded: its serial number (taken
// already) put in, the output file, the line opened and the device woken,
// `afterWake`, then the action.
outcome onBoard(const settings& run, flash_image image, std::optional<uint64_t> serial, serial_link& line,
                outcome& known, const std::function<void()>& afterWake);

// Closes the line, completes `result` from what is known of the board (a
// failure's device ID, retries and time, its serial number), gives back the
// serial number of a board that failed before any write, appends the report,
// and returns the board's status.
int finishBoard(const settings& run, outcome& result, const outcome& known, serial_link& line);

// The output flushed and the status a run ends with (a lost log is a failure).
int finish(const outcome& result, const settings& run);

// The boards --devices names ("a,b,c" or "@FILE", one a line).
std::vector<std::string> boardList(const std::string& devices);

// Where --log-dir `dir` keeps the log of each board, in the order given.
std::vector<std::string> boardLogPaths(const std::string& dir, const std::vector<std::string>& devices);

// Runs every board at once and prints the table; the outcome is ok only when
// every board succeeded (a stop signal: every board stopped, 128 + it).
outcome programBoards(const settings& run, const flash_image& image);

// --wait: an unattended line. Each device path waits for a board to appear,
// works on it in a process of its own, says how it ended, waits for it to be
// taken away, and again, until a stop signal or --count boards; ok when
// every board so far succeeded.
outcome waitForBoards(const settings& run, const flash_image& image);

}  // namespace bootlink
