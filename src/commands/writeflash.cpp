#include "commands/commands.hpp"
#include "link/fatal.hpp"
#include "link/output.hpp"

namespace bootlink {

void main_writeflash(int, const settings&) {
    out("[ERROR, write flash is not available in this build]\n");
    throw fatal{255};
}

void writeflash(int, std::span<int32_t>, int32_t, int) {}

}  // namespace bootlink
