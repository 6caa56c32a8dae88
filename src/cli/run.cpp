#include <cerrno>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <string>
#include <vector>
#include <unistd.h>

#include "cli/actions.hpp"
#include "cli/cli.hpp"
#include "cli/defaults.hpp"
#include "cli/jsonreport.hpp"
#include "cli/serials.hpp"
#include "cli/boards.hpp"
#include "cli/options.hpp"
#include "commands/commands.hpp"
#include "commands/files.hpp"
#include "link/bootloader.hpp"
#include "link/signals.hpp"
#include "link/network.hpp"
#include "report/fatal.hpp"
#include "report/outcome.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

constexpr int NETWORK_TIMEOUT_MS = 5000;

// With standard output closed, the device would be opened as descriptor 1
// and the trace sent down the line: hold 0, 1 and 2 with /dev/null first.
// A closed standard output loses what a script would read: the run does its
// work and ends as when a write to it fails.
void holdStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (fd == 1) outputLost(EBADF);
        const int held = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (held >= 0 && held != fd) close(held);  // cannot happen: the lowest free number is fd
    }
}

// Synchronous writes, added to what the caller's descriptor already has:
// clearing O_APPEND would write over the start of a log we are appended to.
void syncStandardOutput() {
    const int flags = fcntl(1, F_GETFL);
    if (flags != -1) fcntl(1, F_SETFL, flags | O_SYNC);  // a pipe or file may refuse it
}

// The status a run ends with, once its output is out: a lost log must not
// pass for success.
}  // namespace

int finish(const outcome& result, const settings& run) {
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
    return status;
}

namespace {

// A reply byte's wait. A network port always has one: a peer that vanishes
// must not hang even the single steps, which wait for ever on a local line.
int replyWait(const settings& run, const action_rules& rules) {
    if (run.set(setting_id::timeout)) return run.timeout_ms;
    if (rules.timeout_ms == WAIT_FOREVER && isNetworkPort(run.dev)) return NETWORK_TIMEOUT_MS;
    return rules.timeout_ms;
}

// Opens and sets up the line the settings name, as the action's rules want it.
void openLine(serial_link& line, const settings& run, const action_rules& rules) {
    const int wait = replyWait(run, rules);
    line.attach(openLink(run.dev, run.lock, wait == WAIT_FOREVER ? NETWORK_TIMEOUT_MS : wait));
    line.port().setFormat(run.flags, run.speed);
    if (run.set(setting_id::baud) && !line.port().setSpeed(run.baud))
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
    if (run.set(setting_id::baud) && run.dev.rfind("socket://", 0) == 0)
        out("[note: socket:// carries bytes only: the line speed is the server's, --baud %d is not sent]\n", run.baud);
    // What an interrupted run's device still sends must not be read as our reply.
    if (!waitQuiet(line))
        fail(result_kind::damaged_line, "[ERROR, the line does not go quiet: the device keeps sending]\n");
}

// The files a run writes besides its output: each a regular file (or none
// yet), never a device node, a FIFO, a socket, the line or the hex file.
// Refused before anything is opened, naming the path.
void checkWrittenFiles(const settings& run) {
    const std::vector<std::string> lines = run.devices.empty() ? std::vector<std::string>{run.dev} : run.devices;
    auto check = [&](const std::string& path, const char* what) {
        for (const auto& device : lines)
            if (const std::string why = notWritable(path, device, run.hexfile); !why.empty())
                fail(result_kind::refused, "ERROR: %s '%s' is not a file the tool can write (%s)\n", what, path.c_str(),
                     why.c_str());
    };
    if (!run.report_file.empty()) check(run.report_file, "the report");
    if (!run.serial_file.empty()) check(run.serial_file, "the serial number file");
    if (!run.log_dir.empty())
        for (const auto& log : boardLogPaths(run.log_dir, run.devices)) check(log, "the log");
}

// What the run prints, decided once: the trace, or phases with progress.
verbosity verbosityFor(const settings& run, const action_rules& rules) {
    verbosity say;
    say.trace = rules.trace_unless_quiet ? !run.quiet : run.trace;
    say.progress = progressFor(!say.trace);
    return say;
}

// Stray arguments and a missing action: the usage text, once the device is awake.
void checkArguments(int argc, char** argv, int first, const settings& run) {
    if (first < argc) {
        out("unknown arguments: ");
        for (int i = first; i < argc; ++i) out("%s ", argv[i]);
        out("\n");
        usage(argv[0]);
    }
    // Compared unsigned, so the unset -1 fails too.
    if (static_cast<uint32_t>(run.action) > static_cast<uint32_t>(ACTION_LAST)) {
        out("You need to specify the action to take\n");
        usage(argv[0]);
    }
}

// A backup of the whole board must know how much program memory there is
// (no request tells), and where to go: nothing is opened without both.
void needWholeBoard(const settings& run) {
    if (!run.set(setting_id::flash_size))
        fail(result_kind::refused,
             "ERROR: --readall needs --flash-size N, the bytes of program memory of the part "
             "(on the command line or in the file of defaults)\n");
    if (!run.given(setting_id::output))
        fail(result_kind::refused, "ERROR: --readall needs --output F, the file to save the board to\n");
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

outcome runAction(int argc, char** argv, settings& run, serial_link& line, outcome& known) {
    const int first = scanOptions(argc, argv, run);
    readEnvironment(run);
    readDefaults(run);
    if (run.show_config) showConfig(run);
    // The newer actions name the line they use even when nothing chose it
    // (the single steps print what they always have).
    if (static_cast<uint32_t>(run.action) <= static_cast<uint32_t>(ACTION_LAST) && run.action != ACTION_CHECK &&
        !actionFor(run.action).rules.ignores_original_options && !run.set(setting_id::device) && run.devices.empty())
        out("using device %s for serial comms (the default)\n", run.dev.c_str());
    checkOptionsFit(run);
    checkSerialOptions(run);
    if (run.given(setting_id::count) && !run.wait)
        fail(result_kind::refused, "ERROR: --count is for --wait: how many boards to wait for\n");
    if (run.given(setting_id::count) && run.count == 0)
        fail(result_kind::refused, "ERROR: --count takes 1 or more: without it the line runs until stopped\n");
    if (!run.log_dir.empty() && run.devices.empty() && !run.wait)
        fail(result_kind::refused, "ERROR: --log-dir is for many boards (--devices or --wait): one board's output is "
                                   "standard output\n");
    const bool anyNetwork = isNetworkPort(run.dev) || std::any_of(run.devices.begin(), run.devices.end(), isNetworkPort);
    if (run.wait && anyNetwork)  // a network port never appears: --wait would wait for ever
        fail(result_kind::refused, "ERROR: --wait watches device paths for boards plugged in, not a network port\n");
    if (!run.devices.empty() && run.given(setting_id::device))
        fail(result_kind::refused, "ERROR: --device and --devices both name the line: give one of them\n");
    checkWrittenFiles(run);
    const action_entry& action = actionFor(run.action);
    // The file before the device: a bad one sends nothing, not even the wake byte.
    flash_image image = action.loads_image ? checkedImage(run) : flash_image{};
    if (run.action == ACTION_CHECK) {  // the file alone: no device is opened
        showSerial(image, run);
        out("%s", action.announce);
        outcome result = main_check(run, image);
        report(result);
        return result;
    }
    if (run.action == ACTION_READ_ALL) needWholeBoard(run);
    if (run.action == ACTION_PROGRAM) checkSerialPlan(image, run, std::max<size_t>(run.devices.size(), 1));
    const auto strays = [&] { checkArguments(argc, argv, first, run); };
    if (!run.devices.empty() || run.wait) {
        strays();  // before any board: each runs in a process of its own
        outcome all = programBoards(run, image);
        report(all);
        run.report_file.clear();  // each board has reported itself
        return all;
    }
    return onBoard(run, image, run.action == ACTION_PROGRAM ? takeSerial(run, 0) : std::nullopt, line, known, strays);
}

}  // namespace

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

int finishBoard(const settings& run, outcome& result, const outcome& known, serial_link& line) {
    line.close();
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
    if (result.serial_returned) {
        try {
            giveBackSerial(run, *known.serial);
        } catch (const fatal&) {  // said on the way; the run's own status stands
        }
    }
    return finish(result, run);
}

int run(int argc, char** argv) {
    holdStandardDescriptors();
    syncStandardOutput();
    // A reader of our output that goes away (| head) must not kill the run
    // halfway through programming: writes fail instead, reported at the end.
    std::signal(SIGPIPE, SIG_IGN);
    settings run;
    serial_link line;
    catchStopSignals();
    outcome result, known;
    try {
        result = runAction(argc, argv, run, line, known);
    } catch (const fatal& f) {
        result = failed(f);
    }
    return finishBoard(run, result, known, line);
}

}  // namespace bootlink
