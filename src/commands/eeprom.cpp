#include <chrono>
#include <vector>

#include "commands/commands.hpp"
#include "commands/memories.hpp"
#include "commands/readdump.hpp"
#include "commands/savefile.hpp"
#include "ihexfile/ihexfile.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

// Refuses a start outside the EEPROM and cuts `bytes` at its end: a dump
// of addresses that do not exist would be invented.
int32_t eepromSpan(const settings& run, int32_t start, int32_t bytes) {
    const int32_t size = run.eeprom_size;
    if (start > size - 1) fail(255, "[ERROR, address out of range. Device EEPROM address range is 0-%i]\n", size - 1);
    if (static_cast<int64_t>(start) + bytes > size) {
        out("[device has only %i bytes EEPROM, truncating request]\n", size);
        bytes = size - start;
    }
    return bytes;
}

}  // namespace

void main_readeeprom(serial_link& line, const settings& run, output_file* saved) {
    if (run.bytes <= 0 || run.startaddr < 0) fail(255, "ERROR: you need to specify both --bytes and --startaddr\n");
    std::vector<uint8_t> data(static_cast<size_t>(eepromSpan(run, run.startaddr, run.bytes)));
    readPhase(line, memory::eeprom, run.startaddr, data);
    if (line.trace) out("<ETX>\n");
    if (!saved) {
        out("[OK => Read EEPROM Data Memory]\n");
        return;
    }
    // Saved where compilers put EEPROM data, so --writeeeprom and --program take it back.
    saved->save([&](FILE* f) {
        writeIntelHex(f, EEPROM_FIRST + static_cast<uint32_t>(run.startaddr), data);
        writeiend16(f);
    });
    out("[OK => Read EEPROM Data Memory, Intel hex file written to %s]\n", saved->path().c_str());
}

void main_eraseeeprom(serial_link& line, const settings& run) {
    if (run.startaddr_given && run.startaddr < 0) fail(255, "ERROR: malformed argument for '--startaddr'\n");
    if (run.bytes_given && run.bytes <= 0) fail(255, "ERROR: malformed argument for '--bytes'\n");
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t start = run.startaddr_given ? run.startaddr : 0;
    const int32_t bytes = eepromSpan(run, start, run.bytes_given ? run.bytes : run.eeprom_size - start);
    byte_map blank;
    for (int32_t i = 0; i < bytes; ++i) blank[EEPROM_FIRST + static_cast<uint32_t>(start + i)] = 0xFF;
    line.trace = run.trace;
    writeEeprom(line, blank, !run.trace);
    line.trace = true;
    out("[OK => erased and verified %i bytes of EEPROM in %.1f s]\n", bytes,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
}

}  // namespace bootlink
