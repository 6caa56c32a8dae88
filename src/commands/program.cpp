#include <array>
#include <bit>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "commands/commands.hpp"
#include "commands/flashrows.hpp"
#include "commands/memories.hpp"
#include "commands/transfer.hpp"
#include "image/image.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

// The bytes the file gives that the rows read hold otherwise.
std::vector<difference> compare(const flash_image& image, const row_contents& rows, memory_work& work) {
    std::vector<difference> diffs;
    for (const auto& [address, got] : rows) {
        const image_row& want = image.rows.at(address);
        for (uint32_t i = 0; i < ROW_BYTES; ++i)
            if ((want.given >> i & 1) && got[i] != want.data[i]) diffs.push_back({address + i, want.data[i], got[i]});
        work.compared += static_cast<uint64_t>(std::popcount(want.given));
    }
    return diffs;
}

double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// "N bytes of program memory and M bytes of EEPROM": the parts that are there.
std::string summary(uint64_t program, uint64_t eeprom, uint64_t config) {
    std::vector<std::string> parts;
    auto add = [&](uint64_t n, const char* what) {
        if (n == 0) return;
        char text[64];
        std::snprintf(text, sizeof text, what, static_cast<unsigned long long>(n));
        parts.push_back(text);
    };
    add(program, "%llu bytes of program memory");
    add(eeprom, "%llu bytes of EEPROM");
    add(config, "%llu configuration bytes");
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return text;
}

std::string resultLine(const char* fmt, const std::string& what, double seconds) {
    char text[512];
    std::snprintf(text, sizeof text, fmt, what.c_str(), seconds);
    return text;
}

// Runs the plan's EEPROM and configuration steps; returns how many
// configuration bytes differ from the file and were left so.
size_t otherMemories(action_context& ctx, const programming_plan& plan, outcome& result) {
    const flash_image& image = ctx.image;
    if (!image.eeprom.empty()) {
        if (plan.writes)
            writeEeprom(ctx, image.eeprom, plan.eeprom_writes, plan.eeprom_reads, result.eeprom);
        else
            verifyEeprom(ctx, image.eeprom, plan.eeprom_reads, result.eeprom);
    }
    return image.config.empty() ? 0 : checkConfig(ctx, image.config, plan, result.config);
}

// Which part is on the line, read before anything else: for the log, the
// report, and --expect-id, which refuses a board of another part before
// anything is erased.
void identify(action_context& ctx, outcome& result) {
    std::array<uint8_t, DEVICE_ID_END - DEVICE_ID_FIRST> id{};
    // Nothing has changed yet: a read whose retries ran out is worth another round.
    for (int round = 0;; ++round) {
        try {
            readMemory(round < ctx.dev.retries ? ctx.dev.softened() : ctx.dev, memory::config, DEVICE_ID_FIRST, id);
            break;
        } catch (const request_failed& f) {
            out("[retry %d of %d: reading the device ID again: %s]\n", round + 1, ctx.dev.retries, f.reason);
        }
    }
    result.device_id = static_cast<uint16_t>(id[1] << 8 | id[0]);
    out("device ID 0x%04x\n", *result.device_id);
    if (ctx.known) ctx.known->device_id = result.device_id;
    const settings& run = ctx.run;
    if (run.set(setting_id::expect_id) && *result.device_id != run.expect_id)
        fail(result_kind::wrong_device, "[ERROR, device ID 0x%04x, expected 0x%04x: another part, nothing was %s]\n",
             *result.device_id, static_cast<unsigned>(run.expect_id), run.action == ACTION_PROGRAM ? "erased" : "compared");
}

// A run that sent a write again or rewrote a row reads back once more the
// rows verified before the last such request, and the EEPROM it wrote: a
// damaged request may have landed on one of them. Notes that it may also
// have landed outside the file's rows. Returns how many requests were
// repeated.
uint64_t readBackAfterRepeats(action_context& ctx, const programming_plan& plan, flash_rows& rows,
                              outcome& result) {
    const request_counts none;
    const request_counts& counts = ctx.dev.counts ? *ctx.dev.counts : none;
    if (counts.write_retries == 0 && !rows.rewrote())
        return static_cast<uint64_t>(counts.retries) + rows.extraRequests();
    rows.recheck();
    if (!ctx.image.eeprom.empty() && plan.writes)
        verifyEeprom(ctx, ctx.image.eeprom, plan.eeprom_reads, result.eeprom);
    std::string strays;
    for (uint32_t r : rows.strays()) {
        char text[24];
        std::snprintf(text, sizeof text, "%s0x%06x", strays.empty() ? "" : ", ", r);
        strays += text;
    }
    if (!strays.empty())
        strays = " (row " + strays + " read back erased after its write was acknowledged: that write went elsewhere)";
    out("[note: a damaged request may also have landed outside the file's rows%s: to be sure, compare the whole "
        "board with a good board's backup (--readall of a good board, then --verify --hexfile with that backup)]\n",
        strays.c_str());
    return static_cast<uint64_t>(counts.retries) + rows.extraRequests();
}

}  // namespace

outcome main_program(action_context& ctx) {
    const auto t0 = std::chrono::steady_clock::now();
    const flash_image& image = ctx.image;
    const programming_plan plan = planProgramming(image, ctx.run.skip_unchanged, ctx.run.write_config);
    outcome result;
    identify(ctx, result);
    flash_rows rows(ctx, plan, result.program);
    if (!image.rows.empty()) rows.program();
    const size_t differ = otherMemories(ctx, plan, result);
    result.repeated = readBackAfterRepeats(ctx, plan, rows, result);
    result.seconds = secondsSince(t0);
    std::string message = resultLine(
        "[OK => programmed and verified %s in %.1f s]\n",
        summary(image.given_bytes(), image.eeprom.size(), ctx.run.write_config ? image.config.size() : 0),
        result.seconds);
    // Left as they were, the configuration bytes that differ are counted on
    // the result line too, not only in notes a log may scroll past.
    if (result.repeated > 0)
        message.insert(message.size() - 2, "; " + counted(result.repeated, "request") + " repeated");
    if (differ > 0)
        message.insert(message.size() - 2, "; " + std::to_string(differ) +
                                               (differ == 1 ? " configuration byte differs" : " configuration bytes differ") +
                                               " from the file (--write-config writes them)");
    result.message = message;
    return result;
}

outcome main_verify(action_context& ctx) {
    const auto t0 = std::chrono::steady_clock::now();
    const flash_image& image = ctx.image;
    const programming_plan plan = planVerify(image);
    outcome result;
    identify(ctx, result);
    if (!image.rows.empty())
        reportDifferences(compare(image,
                                  readRowSpans(ctx.dev, ctx.say.progress, plan.flash.reads, "verifying %llu bytes\n",
                                               result.program),
                                  result.program));
    otherMemories(ctx, plan, result);
    result.seconds = secondsSince(t0);
    result.message = resultLine("[OK => verified %s in %.1f s]\n",
                                summary(image.given_bytes(), image.eeprom.size(), 0), result.seconds);
    return result;
}

outcome main_writeeeprom(action_context& ctx) {
    const auto t0 = std::chrono::steady_clock::now();
    const flash_image& image = ctx.image;
    outcome result;
    writeEeprom(ctx, image.eeprom, byteRuns(image.eeprom, EEPROM_WRITE_MAX), byteRuns(image.eeprom, UINT32_MAX),
                result.eeprom);
    result.seconds = secondsSince(t0);
    char text[128];
    std::snprintf(text, sizeof text, "[OK => wrote and verified %zu bytes of EEPROM in %.1f s]\n",
                  image.eeprom.size(), result.seconds);
    result.message = text;
    return result;
}

}  // namespace bootlink
