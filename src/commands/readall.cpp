#include <string>
#include <vector>

#include "commands/commands.hpp"
#include "commands/progress.hpp"
#include "commands/savefile.hpp"
#include "commands/transfer.hpp"
#include "ihexfile/ihexfile.hpp"
#include "link/geometry.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

// One memory of the board as the backup holds it: where the device has it,
// where the hex file puts it, and how it is read.
struct backup_part {
    memory which;
    uint32_t device_address;
    uint32_t file_address;
    std::vector<uint8_t> bytes;
};

}  // namespace

// A whole-board backup: every byte of program memory (blank ones too, so a
// restore makes the rows identical), the ID locations, the configuration and
// the data EEPROM, in one Intel hex file that --program --write-config
// writes back. The device ID is the part's own and stays out.
outcome main_readall(action_context& ctx) {
    const settings& run = ctx.run;
    std::vector<backup_part> parts;
    parts.push_back({memory::program, 0, 0, std::vector<uint8_t>(static_cast<size_t>(run.flash_size))});
    parts.push_back({memory::program, ID_FIRST, ID_FIRST, std::vector<uint8_t>(ID_END - ID_FIRST)});
    parts.push_back({memory::config, CONFIG_FIRST, CONFIG_FIRST, std::vector<uint8_t>(CONFIG_END - CONFIG_FIRST)});
    parts.push_back({memory::eeprom, 0, EEPROM_FIRST, std::vector<uint8_t>(static_cast<size_t>(run.eeprom_size))});
    uint64_t total = 0;
    for (const auto& p : parts) total += p.bytes.size();

    out("reading %llu bytes: program memory, ID locations, configuration and EEPROM\n",
        static_cast<unsigned long long>(total));
    const auto bar = makeProgress(total, ctx.say.progress);
    uint64_t done = 0;
    for (auto& p : parts) {
        readRange(ctx.dev, p.which, p.device_address, p.bytes, bar.get(), done);
        done += p.bytes.size();
    }
    ctx.saved->save([&](FILE* f) {
        for (const auto& p : parts) writeIntelHex(f, p.file_address, p.bytes);
        writeiend16(f);
    });
    outcome result;
    result.program.read = parts[0].bytes.size() + parts[1].bytes.size();
    result.config.read = parts[2].bytes.size();
    result.eeprom.read = parts[3].bytes.size();
    result.message = "[OK => Read the whole board: " + std::to_string(parts[0].bytes.size()) +
                     " bytes of program memory, 8 of ID locations, 16 of configuration, " +
                     std::to_string(parts[3].bytes.size()) + " of EEPROM; Intel hex file written to " +
                     ctx.saved->path() + "]\n";
    return result;
}

}  // namespace bootlink
