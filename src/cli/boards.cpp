#include "cli/boards.hpp"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sstream>
#include <unistd.h>

#include "cli/board.hpp"
#include "cli/children.hpp"
#include "cli/defaults.hpp"
#include "cli/events.hpp"
#include "cli/jsonreport.hpp"
#include "cli/serials.hpp"
#include "commands/files.hpp"
#include "link/devices.hpp"
#include "link/signals.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

}  // namespace

int boardRun(settings run, const flash_image& image, std::optional<uint64_t> serial, std::string& reportText) {
    run.devices.clear();
    board_result done;
    try {
        readDeviceDefaults(run);  // the board's own line settings, as with --device
        if (sendingEvents()) startEvent(run, image);
        done = runBoard(run, image, serial, [] {});
    } catch (const fatal& f) {  // its table in the file of defaults does not read
        done.result = failed(f);
        report(done.result);
        done.status = finish(done.result, run);
    }
    reportText = reportLine(run, done.result, done.status);
    return done.status;
}

namespace {

// A board's process as the parent sees it.
struct board {
    std::string name;
    child process;
    std::string partial, summary;  // a part line of its output; its report line
    outcome done;                  // how it ended, read back from its report line
    bool known = false;            // it said how (a board killed outright does not)
    int log = -1;      // its log file, when there is one
    int status = -1;
};

// Starts the `k`-th board's process on the device `b` names, with its
// serial number taken here, so that numbers go out in the boards' order.
void startBoard(board& b, settings run, const flash_image& image, int k) {
    run.dev = b.name;
    const std::optional<uint64_t> serial = run.action == ACTION_PROGRAM ? takeSerial(run, k) : std::nullopt;
    const board_body body = [&](std::string& report) { return boardRun(run, image, serial, report); };
    std::string why;
    if (!startChild(b.process, {b.name, serial, image.sha256}, body, why))
        fail(result_kind::device_error, "Error: could not start a process for '%s' (%s)\n", b.name.c_str(),
             why.c_str());
    if (sendingEvents()) boardEvent(b.name, true, 0);
}

// Each whole line a board printed, with its name in front; its log gets
// the line as the board printed it.
void takeOutput(board& b, const char* data, size_t n) {
    b.partial.append(data, n);
    for (size_t nl; (nl = b.partial.find('\n')) != std::string::npos;) {
        const std::string line = b.partial.substr(0, nl + 1);
        b.partial.erase(0, nl + 1);
        if (sendingEvents())  // its events, its name in each
            writeEvent(eventOfBoard(b.name, line.substr(0, nl)));
        else
            out("%s: %s", b.name.c_str(), line.c_str());
        if (b.log >= 0 && write(b.log, line.data(), line.size()) < 0) {
        }  // a full disk loses the log, never the run
    }
}

// The one loop over the boards' output: waits at most `waitMs` (for ever
// with < 0) for any of `boards` to print, passes on each whole line, and
// returns those whose output ended (the process is ending). A stop signal
// is passed on to each board once (it stops at its next request, its line
// put back) and kept in `stopped`.
std::vector<board*> readBoards(const std::vector<board*>& boards, int waitMs, int& stopped) {
    std::vector<child*> children;
    for (board* b : boards) children.push_back(&b->process);
    const auto took = [&](size_t i, const std::string& text) { takeOutput(*boards[i], text.data(), text.size()); };
    std::vector<board*> ended;
    for (size_t i : readChildren(children, waitMs, stopped, took)) ended.push_back(boards[i]);
    flush();
    return ended;
}

// Reads every board's output until all have ended; returns the stop signal
// passed on to them, or 0.
int gather(std::vector<board>& boards) {
    int stopped = 0;
    std::vector<board*> open;
    for (auto& b : boards) open.push_back(&b);
    while (!open.empty())
        for (board* done : readBoards(open, -1, stopped)) open.erase(std::find(open.begin(), open.end(), done));
    return stopped;
}

void collect(board& b) {
    b.status = endChild(b.process, b.summary);
    int said = 0;
    b.known = readReportLine(b.summary, b.done, said);
    if (sendingEvents()) boardEvent(b.name, false, b.status);
}

std::string firstLine(std::string text) {
    while (!text.empty() && text.front() == '\n') text.erase(0, 1);
    return text.substr(0, text.find('\n'));
}

// A board's serial number, "-" without one.
std::string serialOf(const board& b) { return b.known && b.done.serial ? std::to_string(*b.done.serial) : "-"; }

// A board's device ID as "0x4c20", or `none`.
std::string deviceIdOf(const board& b, const char* none) {
    if (!b.known || !b.done.device_id) return none;
    char id[16];
    std::snprintf(id, sizeof id, "0x%04x", *b.done.device_id);
    return id;
}

// board, device ID, result, serial number, bytes, retries, time, why it failed.
bool printTable(const std::vector<board>& boards) {
    size_t width = 5;
    for (const auto& b : boards) width = std::max(width, b.name.size());
    out("\n%-*s  %-9s  %-13s  %-10s  %8s  %7s  %7s  %s\n", static_cast<int>(width), "board", "device ID", "result",
        "serial", "bytes", "retries", "time", "reason");
    bool all = true;
    for (const auto& b : boards) {
        const outcome& d = b.done;
        const uint64_t bytes = d.program.written + d.eeprom.written + d.config.written;
        all = all && b.status == 0;
        out("%-*s  %-9s  %-13s  %-10s  %8llu  %7d  %6.1fs  %s\n", static_cast<int>(width), b.name.c_str(),
            deviceIdOf(b, "-").c_str(), b.status == 0 ? "ok" : b.known ? kindName(d.kind) : "ended",
            serialOf(b).c_str(), static_cast<unsigned long long>(b.known ? bytes : 0), b.known ? d.retries : 0,
            b.known ? d.seconds : 0.0,
            b.known ? firstLine(d.message).c_str() : ("status " + std::to_string(b.status)).c_str());
    }
    return all;
}

// --log-dir: made when missing, with the folders above it; said why not.
void makeLogFolder(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec)
        fail(result_kind::output_error, "Error: could not create the folder for the logs '%s' (%s)\n", dir.c_str(),
             ec.message().c_str());
}

// A line per board as it ends, for an unattended line's log.
bool sayHowItEnded(board& b, int n) {
    collect(b);
    std::string id = deviceIdOf(b, "");
    if (!id.empty()) id = ", device ID " + id;
    if (b.known && b.done.serial) id += ", serial number " + serialOf(b);
    if (b.status == 0)
        out("[OK => board %d on %s%s in %.1f s]\n", n, b.name.c_str(), id.c_str(), b.known ? b.done.seconds : 0.0);
    else
        out("[ERROR, board %d on %s%s: %s: %s]\n", n, b.name.c_str(), id.c_str(),
            b.known ? kindName(b.done.kind) : "ended", b.known ? firstLine(b.done.message).c_str() : "no result");
    flush();
    return b.status == 0;
}

// One device path of an unattended line: waiting for a board, working on
// it, or waiting for it to be taken away.
struct station {
    enum class state { waiting, working, finished } now = state::waiting;
    board b;
    int64_t seen_ns = 0;  // when the board appeared
    std::string log;      // the station's log (--log-dir), or none
};

constexpr int64_t SETTLE_NS = 300000000;  // a board just plugged in: its adapter's node and the bootloader come up
constexpr int POLL_MS = 100;              // how often a waiting station looks for its board

}  // namespace

namespace {

// The line's state as the loop goes: boards started and ended, and a stop.
struct line_state {
    int started = 0, ended = 0, stopped = 0;
    bool all = true;
};

// Starts a board at each station whose board has appeared and settled, and
// readies one whose board was taken away; true while any board is worked on.
bool startArrivals(std::vector<station>& stations, const std::vector<std::string>& paths, const settings& run,
                   const flash_image& image, line_state& line) {
    bool working = false;
    for (size_t i = 0; i < stations.size(); ++i) {
        station& s = stations[i];
        if (s.now == station::state::working) working = true;
        if (s.now == station::state::finished && !portPresent(paths[i])) s.now = station::state::waiting;
        if (s.now != station::state::waiting || line.stopped || (run.count > 0 && line.started >= run.count)) continue;
        if (!portPresent(paths[i])) {
            s.seen_ns = 0;
            continue;
        }
        if (s.seen_ns == 0) s.seen_ns = nowNs();
        if (nowNs() - s.seen_ns < SETTLE_NS) continue;
        s.b = board{};
        s.b.name = paths[i];
        if (!s.log.empty()) {  // each board of the station appended to its log
            std::string why;
            s.b.log = openRegularFile(s.log, O_WRONLY | O_CREAT | O_APPEND, 0666, why);
        }
        startBoard(s.b, run, image, line.started++);
        s.now = station::state::working;
        working = true;
    }
    return working;
}

// Passes on what the working boards print, a while at most; a board that
// ended says how.
void takeFromWorking(std::vector<station>& stations, line_state& line) {
    std::vector<board*> working;
    for (auto& s : stations)
        if (s.now == station::state::working) working.push_back(&s.b);
    for (board* b : readBoards(working, POLL_MS, line.stopped)) {
        line.all = sayHowItEnded(*b, ++line.ended) && line.all;
        if (b->log >= 0) close(b->log);
        for (auto& s : stations)
            if (&s.b == b) s.now = station::state::finished;
    }
}

}  // namespace

// "ttyUSB0.log" from "/dev/ttyUSB0", one for each board; two boards whose
// names end alike ("/a/3" and "/b/3") get "3.log" and "3-2.log", never one
// log for both.
std::vector<std::string> boardLogPaths(const std::string& dir, const std::vector<std::string>& devices) {
    std::vector<std::string> paths;
    std::set<std::string> taken;
    for (const auto& device : devices) {
        std::string tag = device.substr(device.find_last_of('/') + 1);
        for (char& c : tag)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') c = '_';
        if (tag.empty()) tag = "board";
        std::string name = tag;
        for (int n = 2; !taken.insert(name).second; ++n) name = tag + "-" + std::to_string(n);
        paths.push_back(dir + "/" + name + ".log");
    }
    return paths;
}

outcome waitForBoards(const settings& run, const flash_image& image) {
    const std::vector<std::string> paths = run.devices.empty() ? std::vector<std::string>{run.dev} : run.devices;
    std::vector<station> stations(paths.size());
    if (!run.log_dir.empty()) {
        makeLogFolder(run.log_dir);
        const std::vector<std::string> logs = boardLogPaths(run.log_dir, paths);
        for (size_t i = 0; i < paths.size(); ++i) stations[i].log = logs[i];
    }
    out("waiting for boards on %s (a stop signal ends the line)\n", counted(paths.size(), "device").c_str());
    flush();
    line_state line;
    for (;;) {
        if (!line.stopped) line.stopped = acceptStopSignal();
        const bool working = startArrivals(stations, paths, run, image, line);
        if (!working && (line.stopped || (run.count > 0 && line.ended >= run.count))) break;
        takeFromWorking(stations, line);
    }
    outcome result;
    result.kind = line.all ? result_kind::ok : result_kind::device_error;
    result.status = line.all ? 0 : 255;
    // Stopped between boards, the line ends as its boards did: 0 if every one succeeded.
    result.message = line.all ? "[OK => " + counted(static_cast<uint64_t>(line.ended), "board") + ", every one succeeded]\n"
                              : "[ERROR, not every board succeeded]\n";
    return result;
}

std::vector<std::string> boardList(const std::string& devices) {
    std::vector<std::string> list;
    if (!devices.empty() && devices[0] == '@') {
        const file_text file = readWholeFile(devices.substr(1), SMALL_FILE_LIMIT);
        if (file.failed != file_text::problem::none)
            fail(result_kind::refused, "ERROR: could not read the list of devices '%s' (%s)\n", devices.c_str() + 1,
                 file.why.c_str());
        std::istringstream in(file.text);
        for (std::string line; std::getline(in, line);) {
            line.erase(0, line.find_first_not_of(" \t"));
            line.erase(line.find_last_not_of(" \t\r") + 1);
            if (!line.empty() && line[0] != '#') list.push_back(line);
        }
    } else {
        for (size_t at = 0; at <= devices.size();) {
            const size_t comma = std::min(devices.find(',', at), devices.size());
            if (comma > at) list.push_back(devices.substr(at, comma - at));
            at = comma + 1;
        }
    }
    if (list.empty()) fail(result_kind::refused, "ERROR: --devices names no device\n");
    return list;
}

outcome programBoards(const settings& run, const flash_image& image) {
    if (run.wait) return waitForBoards(run, image);
    std::vector<board> boards(run.devices.size());
    if (!run.log_dir.empty()) makeLogFolder(run.log_dir);
    const std::vector<std::string> logs = boardLogPaths(run.log_dir, run.devices);
    for (size_t k = 0; k < boards.size(); ++k) {
        boards[k].name = run.devices[k];
        if (run.log_dir.empty()) continue;
        std::string why;
        boards[k].log = openRegularFile(logs[k], O_WRONLY | O_CREAT | O_TRUNC, 0666, why);
        if (boards[k].log < 0)
            fail(result_kind::output_error, "Error: could not create the log of '%s' in '%s' (%s)\n",
                 boards[k].name.c_str(), run.log_dir.c_str(), why.c_str());
    }
    for (size_t k = 0; k < boards.size(); ++k) startBoard(boards[k], run, image, static_cast<int>(k));
    const int stopped = gather(boards);
    for (auto& b : boards) {
        collect(b);
        if (b.log >= 0) close(b.log);
    }
    const bool all = printTable(boards);
    outcome result;
    if (stopped) {
        result.kind = result_kind::interrupted;
        result.status = 128 + stopped;
    } else if (!all) {
        result.kind = result_kind::device_error;
        result.status = 255;
        result.message = "[ERROR, not every board succeeded]\n";
    } else {
        result.message = "[OK => every board succeeded]\n";
    }
    return result;
}

}  // namespace bootlink
