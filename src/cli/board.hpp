#pragma once

// One board's run once the file is loaded and checked: its serial number
// put in, the output file, the line opened and the device woken, the
// action, the line closed, the outcome completed and reported, the status.
// The run of a single board and each board of many run through here.

#include <cstdint>
#include <functional>
#include <optional>

#include "commands/settings.hpp"
#include "image/image.hpp"
#include "report/outcome.hpp"

namespace bootlink {

// How a board's run ended: its outcome and the status it stands for.
struct board_result {
    outcome result;
    int status = 0;
};

// Runs the action on the board `run.dev` names with `serial` (taken already)
// in the image; `afterWake` runs once the device is awake.
board_result runBoard(const settings& run, flash_image image, std::optional<uint64_t> serial,
                      const std::function<void()>& afterWake);

// The output flushed and the status a run ends with (a lost log is a
// failure), the report appended.
int finish(const outcome& result, const settings& run);

}  // namespace bootlink
