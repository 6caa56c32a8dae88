#include <vector>

#include "commands/commands.hpp"
#include "commands/readdump.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {
constexpr int32_t EEPROM_SIZE = 256;  // data EEPROM of the parts this bootloader runs on
}

void main_readeeprom(serial_link& line, const settings& run) {
    if (run.bytes <= 0 || run.startaddr < 0) fail(255, "ERROR: you need to specify both --bytes and --startaddr\n");
    if (run.startaddr > EEPROM_SIZE - 1)
        fail(255, "[ERROR, address out of range. Device EEPROM address range is 0-%i]\n", EEPROM_SIZE - 1);
    int32_t bytes = run.bytes;
    // Addresses past the end do not exist: a dump of them would be invented.
    if (static_cast<int64_t>(run.startaddr) + bytes > EEPROM_SIZE) {
        out("[device has only %i bytes EEPROM, truncating request]\n", EEPROM_SIZE);
        bytes = EEPROM_SIZE - run.startaddr;
    }
    std::vector<uint8_t> data(static_cast<size_t>(bytes));
    readRange(line, memory::eeprom, run.startaddr, data);
    out("<ETX>\n");
    out("[OK => Read EEPROM Data Memory]\n");
}

}  // namespace bootlink
