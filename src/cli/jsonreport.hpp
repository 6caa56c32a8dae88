#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "commands/settings.hpp"
#include "report/outcome.hpp"

namespace bootlink {

// --report FILE: appends one JSON object for this run and board (JSON Lines)
// in one write under an exclusive lock, so parallel runs and stations on a
// shared folder never interleave. Returns the status to end with: `status`,
// or 255 when the report could not be written (said on standard error).
int appendReport(const settings& run, const outcome& result, int status);

// The one JSON encoding of a board's outcome and status: the report's line
// (without its newline), which is also what a board's process sends its
// parent.
std::string reportLine(const settings& run, const outcome& result, int status);

// The same as a JSON object, for an event that carries the report's fields.
nlohmann::json reportEntry(const settings& run, const outcome& result, int status);

// An outcome and status back from `reportLine`'s text; false for text that is
// not one (a board that ended without saying how).
bool readReportLine(const std::string& text, outcome& result, int& status);

}  // namespace bootlink
