#include <vector>

#include "commands/commands.hpp"
#include "commands/readdump.hpp"
#include "commands/savefile.hpp"
#include "ihexfile/ihexfile.hpp"
#include "link/geometry.hpp"
#include "report/output.hpp"

namespace bootlink {

// The configuration bytes and the device ID, each read with its own
// request and dumped as the EEPROM read dumps its bytes.
void main_readconfig(serial_link& line, output_file* saved) {
    std::vector<uint8_t> config(CONFIG_END - CONFIG_FIRST), id(DEVICE_ID_END - DEVICE_ID_FIRST);
    readPhase(line, memory::config, CONFIG_FIRST, config);
    readPhase(line, memory::config, DEVICE_ID_FIRST, id);
    out("device ID 0x%02x%02x\n", id[1], id[0]);
    if (!saved) {
        out("[OK => Read Configuration Memory]\n");
        return;
    }
    saved->save([&](FILE* f) {
        writeIntelHex(f, CONFIG_FIRST, config);
        writeIntelHex(f, DEVICE_ID_FIRST, id);
        writeiend16(f);
    });
    out("[OK => Read Configuration Memory, Intel hex file written to %s]\n", saved->path().c_str());
}

}  // namespace bootlink
