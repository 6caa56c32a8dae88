#pragma once

#include <string>

#include "commands/settings.hpp"
#include "report/outcome.hpp"

namespace bootlink {

// --report FILE: appends one JSON object for this run and board (JSON Lines)
// in one write under an exclusive lock, so parallel runs and stations on a
// shared folder never interleave. Returns the status to end with: `status`,
// or 255 when the report could not be written (said on standard error).
int appendReport(const settings& run, const outcome& result, int status);

}  // namespace bootlink
