#include "commands/commands.hpp"
#include "link/fatal.hpp"
#include "link/output.hpp"

namespace bootlink {

void main_readflash(int, const settings&) {
    out("[ERROR, read flash is not available in this build]\n");
    throw fatal{255};
}

}  // namespace bootlink
