#include "commands/commands.hpp"
#include "link/fatal.hpp"
#include "link/framing.hpp"
#include "link/output.hpp"

namespace bootlink {

void main_eraseflash(serial_link& line, const settings& run) {
    if (run.rows <= 0 || run.startaddr < 0) {
        out("ERROR: you need to specify both --rows and --startaddr\n");
        throw fatal{255};
    }
    eraseflash(line, run.startaddr, run.rows);
}

// Erase: row count (one byte), 24-bit byte address. The bootloader erases
// that many 64-byte rows and answers with an empty reply once done.
void eraseflash(serial_link& line, int32_t address, int32_t rows) {
    out("SENDing Erase Flash: ");
    sendRequest(line, {CMD_ERASE_FLASH, static_cast<uint8_t>(rows), static_cast<uint8_t>(address),
                     static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address >> 16)});
    receiveAck(line, CMD_ERASE_FLASH);
    out("[OK => Erase Flash Program Memory]\n");
}

}  // namespace bootlink
