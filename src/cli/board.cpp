#include "cli/board.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/actions.hpp"
#include "cli/events.hpp"
#include "cli/jsonreport.hpp"
#include "cli/options.hpp"
#include "cli/serials.hpp"
#include "commands/commands.hpp"
#include "commands/files.hpp"
#include "link/bootloader.hpp"
#include "link/signals.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

constexpr int NETWORK_TIMEOUT_MS = 5000;

// A reply byte's wait. A network port always has one: a peer that vanishes
// must not hang even the single steps, which wait for ever on a local line.
int replyWait(const settings& run, const action_rules& rules) {
    if (run.set(setting_id::timeout)) return run.timeout_ms;
    if (rules.timeout_ms == WAIT_FOREVER && portKind(run.dev).bounded) return NETWORK_TIMEOUT_MS;
    return rules.timeout_ms;
}

// Opens and sets up the line the settings name, as the action's rules want it.
void openLine(serial_link& line, const settings& run, const action_rules& rules) {
    const int wait = replyWait(run, rules);
    line.attach(openLink(run.dev, run.lock, wait == WAIT_FOREVER ? NETWORK_TIMEOUT_MS : wait));
    if (!line.port().configure(run.baud, run.set(setting_id::baud)))
        fail(result_kind::device_error, "ERROR: serial device '%s' did not take the line speed %d bit/s\n",
             run.dev.c_str(), run.baud);
    line.pace_ms = run.pace_ms;
    line.timeout_ms = wait;
    line.baud = run.baud;
    line.name = run.dev;
    const size_t before = line.port().dropInput();
    // On a local line, the end of an interrupted run's reply; on a server's
    // port, someone else's bytes.
    if (before > 0 && line.port().shared())
        out("[note: %s came from %s before the wake byte: another client on the port, or the server's banner?]\n",
            counted(before, "byte").c_str(), run.dev.c_str());
    if (run.set(setting_id::baud) && !portKind(run.dev).sets_speed)
        out("[note: socket:// carries bytes only: the line speed is the server's, --baud %d is not sent]\n", run.baud);
    // What an interrupted run's device still sends must not be read as our reply.
    if (!waitQuiet(line))
        fail(result_kind::damaged_line, "[ERROR, the line does not go quiet: the device keeps sending]\n");
}

// What the run prints, decided once: the trace, or phases with progress.
verbosity verbosityFor(const settings& run, const action_rules& rules) {
    verbosity say;
    if (run.json) {  // no trace: the events say how far each phase has come
        say.progress = progress_form::quarters;
        return say;
    }
    say.trace = rules.trace_unless_quiet ? !run.quiet : run.trace;
    say.progress = progressFor(!say.trace);
    return say;
}

// "action: program flash, EEPROM and configuration": what --program writes
// and --verify compares, as the file holds it.
std::string announcement(const settings& run, const action_entry& action, const flash_image& image) {
    const bool program = run.action == ACTION_PROGRAM;
    if (!program && run.action != ACTION_VERIFY) return action.announce;
    std::vector<std::string> parts;
    if (!image.rows.empty()) parts.push_back("flash");
    if (!image.eeprom.empty()) parts.push_back("EEPROM");
    if (!image.config.empty() && (!program || run.write_config)) parts.push_back("configuration");
    std::string text = program ? "action: program " : "action: verify ";
    for (size_t i = 0; i < parts.size(); ++i)
        text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return text + "\n";
}

constexpr double SLOW_HINT_AFTER_S = 30;  // a run at the built-in line settings this long gets the hint

// A run at the built-in speed and pace that took long: how much faster the
// usual fast settings would make it, the bytes it moved taken at 115200
// bit/s with no pause and the device's own time as it was.
void slowLineHint(const serial_link& line, const settings& run, double seconds) {
    const char* after = std::getenv("BOOTLINK_SLOW_HINT_AFTER");  // seconds; for tests and the impatient
    if (seconds <= (after && *after ? std::atof(after) : SLOW_HINT_AFTER_S)) return;
    const double byteAt = 10.0 / run.baud;
    const double slow = static_cast<double>(line.bytes_out) * (run.pace_ms / 1000.0 + byteAt) +
                        static_cast<double>(line.bytes_in) * byteAt;
    const double device = std::max(0.0, seconds - slow);
    const double fast = static_cast<double>(line.bytes_out + line.bytes_in) * 10.0 / 115200 + device;
    out("[hint: this took %.0f s at %d bit/s with a pause of %d ms after each byte; if the board keeps up, --baud "
        "115200 --pace 0 (or baud = 115200 and pace = 0 in ./bootlink.toml) makes it about %.0f times faster]\n",
        seconds, run.baud, run.pace_ms, std::max(1.0, seconds / std::max(fast, 0.001)));
}

// Carries out the action on the open line; --program --run resets the
// device once the programming is reported.
outcome carryOut(serial_link& line, const settings& run, const action_entry& action, const flash_image& image,
                 output_file* saved, outcome& known) {
    request_counts counts;
    const int retries = run.set(setting_id::retries) ? run.retries : action.rules.retries;
    const verbosity say = verbosityFor(run, action.rules);
    action_context ctx{{line, say.trace, retries, &counts}, run, say, image, saved, &known};
    out("%s", announcement(run, action, image).c_str());
    const auto t0 = std::chrono::steady_clock::now();
    // What the board cost so far, kept for a failure's records too.
    const auto spent = [&] {
        known.wrote = counts.writes > 0;
        known.retries = counts.retries;
        known.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    outcome result;
    try {
        result = action.carry_out(ctx);
    } catch (const fatal&) {
        spent();
        throw;
    }
    spent();
    if (result.seconds == 0) result.seconds = known.seconds;
    result.retries = counts.retries;
    report(result);
    if (result.ok() && run.run_after) {
        action_context reset{ctx.dev.traced(true), run, say, image, nullptr, nullptr};
        report(reset_device(reset));
        report(result);  // the last line is the programming's result, for a log's tail
    }
    if (result.ok() && !action.rules.ignores_original_options && !run.set(setting_id::baud) &&
        !run.set(setting_id::pace))
        slowLineHint(line, run, result.seconds);
    return result;
}

// One board's run once the file is loaded: its serial number (taken
// already) put in, the output file, the line opened and the device woken,
// `afterWake`, then the action.
outcome onBoard(const settings& run, flash_image image, std::optional<uint64_t> serial, serial_link& line,
                outcome& known, const std::function<void()>& afterWake) {
    const action_entry& action = actionFor(run.action);
    known.hexfile_sha256 = image.sha256;
    known.serial = serial;
    if (serial) serialInto(image, run, *serial);
    // And the output: one that cannot be written is refused before the read.
    std::optional<output_file> saved;
    if (action.saves && (action.saves_by_default || run.given(setting_id::output))) {
        refuseOwnFiles(run.output, run.dev, run.hexfile);
        saved.emplace(run.output);
    }
    known.opened = true;  // from here the device is the run's, whatever comes of the open
    openLine(line, run, action.rules);
    wakeDevice(line);
    afterWake();  // stray arguments and a missing action: the usage text, once the device is awake
    return carryOut(line, run, action, image, saved ? &*saved : nullptr, known);
}

// Completes `result` from what is known of the board: a failure's device
// ID, retries and time, whether its line was opened, its serial number, and
// whether that number went back.
outcome completed(outcome result, const outcome& known) {
    // A failure's outcome knows only why: what the board was and cost is kept aside.
    if (!result.ok()) {
        if (!result.device_id) result.device_id = known.device_id;
        result.retries = known.retries;
        result.seconds = known.seconds;
    }
    result.opened = known.opened;
    result.serial = known.serial;
    if (result.hexfile_sha256.empty()) result.hexfile_sha256 = known.hexfile_sha256;
    // A number goes back only while no write can have put it on the board.
    result.serial_returned = known.serial && !result.ok() && !known.wrote;
    return result;
}

// The output flushed and the status a run ends with (a lost log must not
// pass for success), the report appended.
int finishOutput(const outcome& result, const settings& run) {
    flush();
    // Here, not earlier: a stop signal still pending may end the process now.
    struct release {
        ~release() { releaseStopSignals(); }
    } releaseAfter;
    int status = exitStatus(result);
    if (const int e = outputError()) {
        std::fprintf(stderr, "bootlink: write error on standard output: %s\n", std::strerror(e));
        if (status == 0) status = 255;
    }
    if (!run.report_file.empty()) status = appendReport(run, result, status);
    if (sendingEvents()) endEvent(run, result, status);
    return status;
}

}  // namespace

int finish(const outcome& result, const settings& run) { return finishOutput(completed(result, outcome{}), run); }

board_result runBoard(const settings& run, flash_image image, std::optional<uint64_t> serial,
                      const std::function<void()>& afterWake) {
    serial_link line;
    outcome known, done;
    try {
        done = onBoard(run, std::move(image), serial, line, known, afterWake);
    } catch (const fatal& f) {
        done = failed(f);
        report(done);
    }
    line.close();
    done = completed(done, known);
    if (done.serial_returned) {
        try {
            giveBackSerial(run, *known.serial);
        } catch (const fatal& f) {  // said; the run's own status stands
            report(failed(f));
        }
    }
    return {done, finishOutput(done, run)};
}

}  // namespace bootlink
