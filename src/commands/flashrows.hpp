#pragma once

#include <array>
#include <map>
#include <vector>

#include "commands/commands.hpp"
#include "image/image.hpp"

namespace bootlink {

using row_contents = std::map<uint32_t, std::array<uint8_t, ROW_BYTES>>;

// Prints `phase`, then reads the runs of rows in `reads` with progress.
row_contents readRowSpans(const bootloader& dev, progress_form form, const std::vector<span_request>& reads,
                          const char* phase, memory_work& done);

// Program memory of --program, as the plan has it: the first reads (rows
// given in part read until two reads agree), the device's own bytes saved,
// each row given in part erased, written and read back on its own while a
// stop signal waits, then the other rows erased, written and read back.
// Every byte written is compared; a row that reads back wrong is read
// again, then erased, written and read back again, up to the retries.
void programRows(action_context& ctx, const programming_plan& plan, memory_work& done);

}  // namespace bootlink
