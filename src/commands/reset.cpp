#include "commands/commands.hpp"
#include "link/bootloader.hpp"
#include "report/output.hpp"

namespace bootlink {

void reset_device(serial_link& line) {
    requestReset(line);
    out("[OK => RESET Device]\n");
}

}  // namespace bootlink
