#include "commands/commands.hpp"
#include "link/bootloader.hpp"

namespace bootlink {

outcome reset_device(action_context& ctx) {
    requestReset(ctx.dev);
    outcome result;
    result.message = "[OK => RESET Device]\n";
    return result;
}

}  // namespace bootlink
