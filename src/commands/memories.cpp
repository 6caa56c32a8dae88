#include "commands/memories.hpp"

#include "commands/progress.hpp"
#include "commands/readdump.hpp"
#include "link/bootloader.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

constexpr int DIFFERENCES_SHOWN = 8;  // differing bytes listed before the count

// Where the device has the byte the file puts at `address`.
uint32_t deviceAddress(memory which, uint32_t address) {
    return which == memory::eeprom ? address - EEPROM_FIRST : address;
}

// Reads every byte `want` names from the device, run by run.
byte_map readBack(serial_link& line, memory which, const byte_map& want, bool shown, const char* phase) {
    out(phase, want.size());
    auto bar = makeProgress(want.size(), shown);
    byte_map got;
    std::vector<uint8_t> data;
    for (const auto& run : byteRuns(want, UINT32_MAX)) {
        data.resize(run.bytes);
        readRange(line, which, deviceAddress(which, run.address), data);
        for (uint32_t i = 0; i < run.bytes; ++i) got[run.address + i] = data[i];
        bar->advance(got.size());
    }
    return got;
}

// Sends `bytes` in runs of at most EEPROM_WRITE_MAX.
void writeRuns(serial_link& line, memory which, const byte_map& bytes, bool shown, const char* phase) {
    const auto runs = byteRuns(bytes, EEPROM_WRITE_MAX);
    out(phase, bytes.size(), runs.size());
    auto bar = makeProgress(bytes.size(), shown);
    size_t done = 0;
    std::vector<uint8_t> data;
    for (const auto& run : runs) {
        data.clear();
        for (uint32_t i = 0; i < run.bytes; ++i) data.push_back(bytes.at(run.address + i));
        writeBytes(line, which, deviceAddress(which, run.address), data);
        done += run.bytes;
        bar->advance(done);
    }
}

std::vector<difference> differences(const byte_map& want, const byte_map& got) {
    std::vector<difference> diffs;
    for (const auto& [a, v] : want)
        if (got.at(a) != v) diffs.push_back({a, v, got.at(a)});
    return diffs;
}

}  // namespace

void reportDifferences(const std::vector<difference>& diffs) {
    if (diffs.empty()) return;
    for (size_t i = 0; i < diffs.size() && i < DIFFERENCES_SHOWN; ++i)
        out("[ERROR, verify failed at 0x%06x: expected 0x%02x, read 0x%02x]\n", diffs[i].address, diffs[i].expected,
            diffs[i].read);
    fail(255, "[ERROR, verify failed: %d bytes differ]\n", static_cast<int>(diffs.size()));
}

void writeEeprom(serial_link& line, const byte_map& eeprom, bool shown) {
    writeRuns(line, memory::eeprom, eeprom, shown, "writing %zu bytes of EEPROM in %zu requests\n");
    verifyEeprom(line, eeprom, shown);
}

void verifyEeprom(serial_link& line, const byte_map& eeprom, bool shown) {
    reportDifferences(differences(eeprom, readBack(line, memory::eeprom, eeprom, shown, "verifying %zu bytes of EEPROM\n")));
}

void checkConfig(serial_link& line, const byte_map& config, bool write, bool shown) {
    if (!write) {
        const byte_map got = readBack(line, memory::config, config, shown, "comparing %zu configuration bytes\n");
        for (const auto& d : differences(config, got))
            out("[note: configuration byte 0x%06x reads 0x%02x, the file gives 0x%02x]\n", d.address, d.read,
                d.expected);
        return;
    }
    writeRuns(line, memory::config, config, shown, "writing %zu configuration bytes in %zu requests\n");
    const byte_map got = readBack(line, memory::config, config, shown, "verifying %zu configuration bytes\n");
    std::vector<difference> failed;
    for (const auto& d : differences(config, got)) {
        if (d.read & ~d.expected)
            failed.push_back(d);
        else
            out("[note: configuration byte 0x%06x reads 0x%02x where 0x%02x was written: bits the part does not "
                "implement read as 0]\n",
                d.address, d.read, d.expected);
    }
    reportDifferences(failed);
}

}  // namespace bootlink
