#include <chrono>
#include <vector>

#include "commands/commands.hpp"
#include "commands/memories.hpp"
#include "commands/savefile.hpp"
#include "commands/transfer.hpp"
#include "ihexfile/ihexfile.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

// Refuses a start outside the EEPROM and cuts `bytes` at its end: a dump
// of addresses that do not exist would be invented.
int32_t eepromSpan(const settings& run, int32_t start, int32_t bytes) {
    const int32_t size = run.eeprom_size;
    if (start > size - 1)
        fail(result_kind::refused, "[ERROR, address out of range. Device EEPROM address range is 0-%i]\n", size - 1);
    if (static_cast<int64_t>(start) + bytes > size) {
        out("[device has only %i bytes EEPROM, truncating request]\n", size);
        bytes = size - start;
    }
    return bytes;
}

}  // namespace

outcome main_readeeprom(action_context& ctx) {
    const settings& run = ctx.run;
    if (run.bytes <= 0 || run.startaddr < 0)
        fail(result_kind::refused, "ERROR: you need to specify both --bytes and --startaddr\n");
    std::vector<uint8_t> data(static_cast<size_t>(eepromSpan(run, run.startaddr, run.bytes)));
    readPhase(ctx, memory::eeprom, run.startaddr, data);
    if (ctx.say.trace) out("<ETX>\n");
    outcome result;
    result.eeprom.read = data.size();
    if (!ctx.saved) {
        result.message = "[OK => Read EEPROM Data Memory]\n";
        return result;
    }
    // Saved where compilers put EEPROM data, so --writeeeprom and --program take it back.
    ctx.saved->save([&](FILE* f) {
        writeIntelHex(f, EEPROM_FIRST + static_cast<uint32_t>(run.startaddr), data);
        writeiend16(f);
    });
    result.message = "[OK => Read EEPROM Data Memory, Intel hex file written to " + ctx.saved->path() + "]\n";
    return result;
}

outcome main_eraseeeprom(action_context& ctx) {
    const settings& run = ctx.run;
    const bool startGiven = run.given(setting_id::startaddr), bytesGiven = run.given(setting_id::bytes);
    if (startGiven && run.startaddr < 0) fail(result_kind::refused, "ERROR: malformed argument for '--startaddr'\n");
    if (bytesGiven && run.bytes <= 0) fail(result_kind::refused, "ERROR: malformed argument for '--bytes'\n");
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t start = startGiven ? run.startaddr : 0;
    const int32_t bytes = eepromSpan(run, start, bytesGiven ? run.bytes : run.eeprom_size - start);
    byte_map blank;
    for (int32_t i = 0; i < bytes; ++i) blank[EEPROM_FIRST + static_cast<uint32_t>(start + i)] = 0xFF;
    outcome result;
    writeEeprom(ctx, blank, byteRuns(blank, EEPROM_WRITE_MAX), byteRuns(blank, UINT32_MAX), result.eeprom);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    char text[128];
    std::snprintf(text, sizeof text, "[OK => erased and verified %i bytes of EEPROM in %.1f s]\n", bytes,
                  result.seconds);
    result.message = text;
    return result;
}

}  // namespace bootlink
