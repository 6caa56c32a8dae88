#include "commands/commands.hpp"
#include "link/framing.hpp"
#include "link/output.hpp"

namespace bootlink {

// Reset: command 0x00 with one data byte 0x00. The bootloader jumps to the
// application at once, so there is no reply to wait for.
void reset_pic(serial_link& line) {
    traceText(line, "SENDing RESET: ");
    sendRequest(line, {CMD_VERSION, 0x00});
    out("[OK => RESET Device]\n");
}

}  // namespace bootlink
