#include <algorithm>

#include "commands/commands.hpp"
#include "link/bootloader.hpp"
#include "link/geometry.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

void main_eraseflash(serial_link& line, const settings& run) {
    if (run.rows <= 0 || run.startaddr < 0) fail(255, "ERROR: you need to specify both --rows and --startaddr\n");
    // Past 24 bits the address would wrap to the bottom of memory.
    if (run.startaddr > ADDRESS_LIMIT)
        fail(255, "ERROR: --startaddr 0x%x is beyond the last address 0xFFFFFF\n", run.startaddr);
    const int64_t firstRow = run.startaddr / ROW_BYTES * ROW_BYTES;
    if (firstRow + static_cast<int64_t>(run.rows) * ROW_BYTES - 1 > ADDRESS_LIMIT)
        fail(255, "ERROR: %i rows from 0x%06x run past the last address 0xFFFFFF\n", run.rows, run.startaddr);
    eraseflash(line, run.startaddr, run.rows);
}

// Up to 256 rows take one request (256 goes out as a count of 0); more go
// out as requests of 255.
void eraseflash(serial_link& line, int32_t address, int32_t rows) {
    if (!line.trace) out("erasing %i rows\n", rows);  // --quiet: a phase line for the trace
    if (rows <= 256) {
        eraseRows(line, static_cast<uint32_t>(address), rows);
    } else {
        for (int32_t done = 0; done < rows; done += ERASE_ROWS_MAX)
            eraseRows(line, static_cast<uint32_t>(address + static_cast<int64_t>(done) * ROW_BYTES),
                      std::min(ERASE_ROWS_MAX, rows - done));
    }
    out("[OK => Erase Flash Program Memory]\n");
}

}  // namespace bootlink
