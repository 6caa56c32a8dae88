#include <vector>

#include "commands/commands.hpp"
#include "commands/savefile.hpp"
#include "commands/transfer.hpp"
#include "ihexfile/ihexfile.hpp"
#include "link/geometry.hpp"
#include "report/output.hpp"

namespace bootlink {

// The configuration bytes and the device ID, each read with its own
// request and dumped as the EEPROM read dumps its bytes.
outcome main_readconfig(action_context& ctx) {
    std::vector<uint8_t> config(CONFIG_END - CONFIG_FIRST), id(DEVICE_ID_END - DEVICE_ID_FIRST);
    readPhase(ctx, memory::config, CONFIG_FIRST, config);
    readPhase(ctx, memory::config, DEVICE_ID_FIRST, id);
    out("device ID 0x%02x%02x\n", id[1], id[0]);
    outcome result;
    result.config.read = config.size() + id.size();
    result.device_id = static_cast<uint16_t>(id[1] << 8 | id[0]);
    if (!ctx.saved) {
        result.message = "[OK => Read Configuration Memory]\n";
        return result;
    }
    ctx.saved->save([&](FILE* f) {
        writeIntelHex(f, CONFIG_FIRST, config);
        writeIntelHex(f, DEVICE_ID_FIRST, id);
        writeiend16(f);
    });
    result.message = "[OK => Read Configuration Memory, Intel hex file written to " + ctx.saved->path() + "]\n";
    return result;
}

}  // namespace bootlink
