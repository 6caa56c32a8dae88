#include <algorithm>

#include "commands/commands.hpp"
#include "image/geometry.hpp"
#include "link/fatal.hpp"
#include "link/framing.hpp"
#include "link/output.hpp"

namespace bootlink {

void main_eraseflash(serial_link& line, const settings& run) {
    if (run.rows <= 0 || run.startaddr < 0) {
        out("ERROR: you need to specify both --rows and --startaddr\n");
        throw fatal{255};
    }
    // Past 24 bits the address would wrap to the bottom of memory.
    if (run.startaddr > ADDRESS_LIMIT) {
        out("ERROR: --startaddr 0x%x is beyond the last address 0xFFFFFF\n", run.startaddr);
        throw fatal{255};
    }
    const int64_t firstRow = run.startaddr / ROW_BYTES * ROW_BYTES;
    if (firstRow + static_cast<int64_t>(run.rows) * ROW_BYTES - 1 > ADDRESS_LIMIT) {
        out("ERROR: %i rows from 0x%06x run past the last address 0xFFFFFF\n", run.rows, run.startaddr);
        throw fatal{255};
    }
    eraseflash(line, run.startaddr, run.rows);
}

// Erase: row count (one byte), 24-bit byte address. The bootloader erases
// that many 64-byte rows from the row holding the address and answers with
// an empty reply once done. A count of 0 makes its count-down loop run 256
// times, so up to 256 rows take one request; more go out as requests of 255.
void eraseRows(serial_link& line, int64_t address, int rows) {
    traceText(line, "SENDing Erase Flash: ");
    sendRequest(line, {CMD_ERASE_FLASH, static_cast<uint8_t>(rows), static_cast<uint8_t>(address),
                       static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address >> 16)});
    receiveAck(line, CMD_ERASE_FLASH);
}

void eraseflash(serial_link& line, int32_t address, int32_t rows) {
    if (rows <= 256) {
        eraseRows(line, address, rows);
    } else {
        for (int32_t done = 0; done < rows; done += ERASE_ROWS_MAX)
            eraseRows(line, address + static_cast<int64_t>(done) * ROW_BYTES,
                      std::min(ERASE_ROWS_MAX, rows - done));
    }
    out("[OK => Erase Flash Program Memory]\n");
}

}  // namespace bootlink
