#include "commands/memories.hpp"


#include "commands/transfer.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

constexpr int DIFFERENCES_SHOWN = 8;  // differing bytes listed before the count

// Where the device has the bytes the file puts at an address of `which`.
uint32_t offsetOf(memory which) { return which == memory::eeprom ? EEPROM_FIRST : 0; }

// Reads every byte the spans name from the device.
byte_map readBack(action_context& ctx, memory which, const std::vector<span_request>& reads, const char* phase,
                  memory_work& work) {
    byte_map got;
    readSpans(ctx.dev, which, reads, offsetOf(which), ctx.say.progress, phase,
              [&](uint32_t address, std::span<const uint8_t> data) {
                  for (size_t i = 0; i < data.size(); ++i) got[address + static_cast<uint32_t>(i)] = data[i];
              });
    work.read += got.size();
    return got;
}

// Sends the bytes in the runs `writes` names.
// `noun` and `where` name the bytes: "writing 4 bytes of EEPROM in 1 request".
void writeRuns(action_context& ctx, memory which, const byte_map& bytes, const std::vector<span_request>& writes,
               const char* noun, const char* where, memory_work& work) {
    out("writing %s%s in %s\n", counted(bytes.size(), noun).c_str(), where, counted(writes.size(), "request").c_str());
    std::vector<uint8_t> data;
    sendSpans(writes, ctx.say.progress, [&](const span_request& run) {
        data.clear();
        for (uint32_t i = 0; i < run.bytes; ++i) data.push_back(bytes.at(run.address + i));
        writeBytes(ctx.dev, which, run.address - offsetOf(which), data);
        work.written += run.bytes;
    });
}

std::vector<difference> differences(const byte_map& want, const byte_map& got, memory_work& work) {
    std::vector<difference> diffs;
    for (const auto& [a, v] : want)
        if (got.at(a) != v) diffs.push_back({a, v, got.at(a)});
    work.compared += want.size();
    return diffs;
}

void printFirst(const std::vector<difference>& diffs) {
    for (size_t i = 0; i < diffs.size() && i < DIFFERENCES_SHOWN; ++i)
        out("[ERROR, verify failed at 0x%06x: expected 0x%02x, read 0x%02x]\n", diffs[i].address, diffs[i].expected,
            diffs[i].read);
}

// Configuration differences that `fails` are verify failures (the run ends);
// the others are bits the part does not implement, each a note, which says
// what the file gave or what was `written`.
template <class Fails>
void failOrNote(const std::vector<difference>& diffs, Fails fails, bool written) {
    std::vector<difference> failed;
    for (const auto& d : diffs) {
        if (fails(d)) {
            failed.push_back(d);
            continue;
        }
        out(written ? "[note: configuration byte 0x%06x reads 0x%02x where 0x%02x was written: bits the part does not "
                      "implement read as 0]\n"
                    : "[note: configuration byte 0x%06x reads 0x%02x, the file gives 0x%02x: bits the part does not "
                      "implement read as 0]\n",
            d.address, d.read, d.expected);
    }
    reportDifferences(failed);
}

}  // namespace

void listDifferences(const std::vector<difference>& diffs) {
    if (diffs.empty()) return;
    printFirst(diffs);
    out("[ERROR, verify failed: %d bytes differ]\n", static_cast<int>(diffs.size()));
}

void reportDifferences(const std::vector<difference>& diffs) {
    if (diffs.empty()) return;
    printFirst(diffs);
    fail(result_kind::verify_failed, "[ERROR, verify failed: %d bytes differ]\n", static_cast<int>(diffs.size()));
}

void writeEeprom(action_context& ctx, const byte_map& eeprom, const std::vector<span_request>& writes,
                 const std::vector<span_request>& reads, memory_work& work) {
    writeRuns(ctx, memory::eeprom, eeprom, writes, "byte", " of EEPROM", work);
    verifyEeprom(ctx, eeprom, reads, work);
}

void verifyEeprom(action_context& ctx, const byte_map& eeprom, const std::vector<span_request>& reads,
                  memory_work& work) {
    const byte_map got = readBack(ctx, memory::eeprom, reads, "verifying %llu bytes of EEPROM\n", work);
    reportDifferences(differences(eeprom, got, work));
}

size_t checkConfig(action_context& ctx, const byte_map& config, const programming_plan& plan, memory_work& work) {
    if (plan.config_writes.empty()) {
        const byte_map got = readBack(ctx, memory::config, plan.config_reads, "comparing %llu configuration bytes\n", work);
        const std::vector<difference> diffs = differences(config, got, work);
        if (plan.writes) {  // --program leaves them: notes, counted on its result line
            for (const auto& d : diffs)
                out("[note: configuration byte 0x%06x reads 0x%02x, the file gives 0x%02x]\n", d.address, d.read,
                    d.expected);
            return diffs.size();
        }
        // --verify: only a bit that reads 0 where the file has 1 may be one
        // the part does not implement; any other difference fails.
        failOrNote(diffs, [](const difference& d) { return (d.read & ~d.expected) != 0; }, false);
        return 0;
    }
    // What was there tells a bit the part does not implement (0 before and
    // after) from one the write got wrong (1 before, written 1, 0 after).
    const byte_map before = readBack(ctx, memory::config, plan.config_reads, "reading %llu configuration bytes\n", work);
    writeRuns(ctx, memory::config, config, plan.config_writes, "configuration byte", "", work);
    const byte_map got = readBack(ctx, memory::config, plan.config_reads, "verifying %llu configuration bytes\n", work);
    failOrNote(differences(config, got, work),
               [&](const difference& d) {
                   const uint8_t lost = static_cast<uint8_t>(d.expected & ~d.read & before.at(d.address));
                   return (d.read & ~d.expected) || lost;
               },
               true);
    return 0;
}

}  // namespace bootlink
