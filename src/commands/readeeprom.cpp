#include <vector>

#include "commands/commands.hpp"
#include "commands/readdump.hpp"
#include "link/fatal.hpp"
#include "link/framing.hpp"
#include "link/output.hpp"

namespace bootlink {

namespace {
constexpr int32_t EEPROM_SIZE = 256;  // data EEPROM of the parts this bootloader runs on
}

// Read EEPROM: length, 16-bit address (low, high) and a zero upper byte. The
// reply repeats length and address (with an upper byte) and carries the data.
void main_readeeprom(serial_link& line, const settings& run) {
    if (run.bytes <= 0 || run.startaddr < 0) {
        out("ERROR: you need to specify both --bytes and --startaddr\n");
        throw fatal{255};
    }
    if (run.startaddr > EEPROM_SIZE - 1) {
        out("[ERROR, address out of range. Device EEPROM address range is 0-%i]\n", EEPROM_SIZE - 1);
        line.close();
        throw fatal{255};
    }
    int32_t bytes = run.bytes;
    // Addresses past the end do not exist: a dump of them would be invented.
    if (static_cast<int64_t>(run.startaddr) + bytes > EEPROM_SIZE) {
        out("[device has only %i bytes EEPROM, truncating request]\n", EEPROM_SIZE);
        bytes = EEPROM_SIZE - run.startaddr;
    }
    std::vector<uint8_t> data(static_cast<size_t>(bytes));
    readRange(line, {"SENDing: Read EEPROM: ", CMD_READ_EE, false}, run.startaddr, data);
    out("<ETX>\n");
    out("[OK => Read EEPROM Data Memory]\n");
}

}  // namespace bootlink
