#include "commands/commands.hpp"
#include "link/fatal.hpp"
#include "link/output.hpp"

namespace bootlink {

void main_readeeprom(int, const settings&) {
    out("[ERROR, read eeprom is not available in this build]\n");
    throw fatal{255};
}

}  // namespace bootlink
