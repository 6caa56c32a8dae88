#include <algorithm>
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

// Reading changes nothing: a request whose retries ran out on a line that
// still answers (a dead or broken one has ended the run) is read again
// whole, up to the retries, before the run gives up.
void readAgain(action_context& ctx, memory which, uint32_t address, std::span<uint8_t> data, const char* reason) {
    for (int round = 1;; ++round) {
        out("[retry %d of %d: reading 0x%06x again: %s]\n", round, ctx.dev.retries, static_cast<unsigned>(address),
            reason);
        try {
            readMemory(round < ctx.dev.retries ? ctx.dev.softened() : ctx.dev, which, address, data);
            return;
        } catch (const request_failed& f) {
            reason = f.reason;
        }
    }
}

// Reads every part whole into `parts`, with one progress.
void readParts(action_context& ctx, std::vector<backup_part>& parts, uint64_t total) {
    const auto bar = makeProgress(total, ctx.say.progress);
    const bootloader dev = ctx.dev.retries > 0 ? ctx.dev.softened() : ctx.dev;
    uint64_t done = 0;
    for (auto& p : parts) {
        readRange(dev, p.which, p.device_address, p.bytes, bar.get(), done,
                  [&](uint32_t address, size_t length, const char* reason) {
                      readAgain(ctx, p.which, address,
                                std::span<uint8_t>(p.bytes).subspan(address - p.device_address, length), reason);
                  });
        done += p.bytes.size();
    }
}

// Where the two reads of a part differ, request by request, that stretch is
// read again until a read agrees with one before it: damage the reply's
// checksum cannot see never lands in a backup. A stretch that reads
// differently every time ends the run before the file is written.
void settle(action_context& ctx, backup_part& p, const std::vector<uint8_t>& again) {
    const size_t step = p.bytes.size() <= static_cast<size_t>(READ_SINGLE_MAX) ? p.bytes.size() : READ_CHUNK;
    for (size_t at = 0; at < p.bytes.size(); at += step) {
        const size_t n = std::min(step, p.bytes.size() - at);
        std::vector<std::vector<uint8_t>> reads{{p.bytes.begin() + static_cast<long>(at), p.bytes.begin() + static_cast<long>(at + n)},
                                                {again.begin() + static_cast<long>(at), again.begin() + static_cast<long>(at + n)}};
        while (std::find(reads.begin(), reads.end() - 1, reads.back()) == reads.end() - 1) {
            if (reads.size() >= static_cast<size_t>(ctx.dev.retries) + 2)
                fail(result_kind::damaged_line,
                     "[ERROR, 0x%06x read differently %zu times: the line damages what it reads, the backup was not "
                     "written]\n",
                     static_cast<unsigned>(p.file_address + at), reads.size());
            reads.emplace_back(n);
            readRange((ctx.dev.retries > 0 ? ctx.dev.softened() : ctx.dev), p.which, p.device_address + at, reads.back(), nullptr, 0,
                      [&](uint32_t address, size_t length, const char* reason) {
                          readAgain(ctx, p.which, address,
                                    std::span<uint8_t>(reads.back()).subspan(address - p.device_address - at, length),
                                    reason);
                      });
        }
        std::copy(reads.back().begin(), reads.back().end(), p.bytes.begin() + static_cast<long>(at));
    }
}

}  // namespace

// A whole-board backup: every byte of program memory (blank ones too, so a
// restore makes the rows identical), the ID locations, the configuration and
// the data EEPROM, in one Intel hex file that --program --write-config
// writes back. The device ID is the part's own and stays out. Everything is
// read twice, and what differs settled, before the file is written.
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
    readParts(ctx, parts, total);
    // Read twice: a backup is what the board holds, or nothing.
    std::vector<backup_part> second = parts;
    out("reading %llu bytes again to check them\n", static_cast<unsigned long long>(total));
    readParts(ctx, second, total);
    for (size_t i = 0; i < parts.size(); ++i) settle(ctx, parts[i], second[i].bytes);
    ctx.saved->save([&](FILE* f) {
        for (const auto& p : parts) writeIntelHex(f, p.file_address, p.bytes);
        writeiend16(f);
    });
    outcome result;
    result.program.read = 2 * (parts[0].bytes.size() + parts[1].bytes.size());
    result.config.read = 2 * parts[2].bytes.size();
    result.eeprom.read = 2 * parts[3].bytes.size();
    result.message = "[OK => Read the whole board: " + std::to_string(parts[0].bytes.size()) +
                     " bytes of program memory, 8 of ID locations, 16 of configuration, " +
                     std::to_string(parts[3].bytes.size()) + " of EEPROM; Intel hex file written to " +
                     ctx.saved->path() + "]\n";
    return result;
}

}  // namespace bootlink
