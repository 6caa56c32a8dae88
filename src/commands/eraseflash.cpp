#include <algorithm>

#include "commands/commands.hpp"
#include "commands/transfer.hpp"
#include "link/bootloader.hpp"
#include "link/geometry.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

outcome main_eraseflash(action_context& ctx) {
    const settings& run = ctx.run;
    if (run.rows <= 0 || run.startaddr < 0)
        fail(result_kind::refused, "ERROR: you need to specify both --rows and --startaddr\n");
    // Past 24 bits the address would wrap to the bottom of memory.
    if (run.startaddr > ADDRESS_LIMIT)
        fail(result_kind::refused, "ERROR: --startaddr 0x%x is beyond the last address 0xFFFFFF\n", run.startaddr);
    const int64_t firstRow = run.startaddr / ROW_BYTES * ROW_BYTES;
    if (firstRow + static_cast<int64_t>(run.rows) * ROW_BYTES - 1 > ADDRESS_LIMIT)
        fail(result_kind::refused, "ERROR: %i rows from 0x%06x run past the last address 0xFFFFFF\n", run.rows,
             run.startaddr);
    eraseflash(ctx.dev, !ctx.say.trace, run.startaddr, run.rows);
    outcome result;
    result.program.written = static_cast<uint64_t>(run.rows) * ROW_BYTES;
    result.message = "[OK => Erase Flash Program Memory]\n";
    return result;
}

void eraseflash(const bootloader& dev, bool phases, int32_t address, int32_t rows) {
    if (phases) out("erasing %i rows\n", rows);  // --quiet: a phase line for the trace
    // Up to 256 rows take one request (256 goes out as a count of 0).
    const uint32_t most = rows <= 256 ? 256 : ERASE_ROWS_MAX;
    for (const auto& e : eraseRequests(static_cast<uint32_t>(address), static_cast<uint32_t>(rows), most))
        eraseRows(dev, e.address, static_cast<int>(e.bytes / ROW_BYTES % 256));
}

}  // namespace bootlink
