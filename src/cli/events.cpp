#include "cli/events.hpp"

#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <regex>
#include <vector>

#include "cli/defaults.hpp"
#include "cli/jsonreport.hpp"
#include "cli/options.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

using json = nlohmann::json;
using clock_type = std::chrono::steady_clock;

// Progress events a phase sends at most this often (and its last always).
constexpr auto PROGRESS_EVERY = std::chrono::milliseconds(250);

struct stream_state {
    bool started = false;     // the start event is out: others go straight out too
    std::vector<json> early;  // what came before it (the file's notes), sent after it
    std::string last_line;  // the text's last plain line: the name of a phase that starts
    uint64_t total = 0;
    clock_type::time_point last_progress{};
};
stream_state state;

// Events keep their order after the start event, which needs the file read.
void emit(json event) {
    if (!state.started) {
        state.early.push_back(std::move(event));
        return;
    }
    writeEvent(event.dump());
}

void begin() {
    state.started = true;
    for (auto& e : state.early) writeEvent(e.dump());
    state.early.clear();
}

// What the text would have printed, a line at a time: retries, notes and
// the error lines printed before a failure's message become events, a plain
// line may name the phase that follows; results are left to the end event,
// the trace to nobody.
void takeLine(const std::string& text) {
    static const std::regex retry(R"(^\[retry (\d+) of (\d+): (.*)\]$)");
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return;
    const std::string line = text.substr(first);
    std::smatch m;
    if (std::regex_match(line, m, retry)) {
        emit({{"event", "retry"}, {"attempt", std::stoi(m[1])}, {"of", std::stoi(m[2])}, {"reason", m[3].str()}});
        return;
    }
    const bool result = line.starts_with("[OK =>") || line.starts_with("[ERROR") || line == "[interrupted]";
    if ((line.front() == '[' && !result) || line.starts_with("ERROR") || line.starts_with("Error")) {
        emit({{"event", "note"}, {"text", line}});
        return;
    }
    if (!result) state.last_line = line;
}

void takePhase(uint64_t total) {
    state.total = total;
    state.last_progress = clock_type::time_point{};
    emit({{"event", "phase"}, {"name", state.last_line}, {"total", total}});
}

void takeProgress(uint64_t done, uint64_t total) {
    const auto now = clock_type::now();
    if (done < total && now - state.last_progress < PROGRESS_EVERY) return;
    state.last_progress = now;
    emit({{"event", "progress"}, {"done", done}, {"total", total}});
}

json setting(const settings& run, setting_id id, json value) {
    return {{"value", std::move(value)}, {"from", originText(run, id)}};
}

}  // namespace

bool eventsAsked(int argc, char** argv) {
    bool asked = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h" || a == "--version" || a == "--list-devices" || a == "--show-config")
            return false;
        asked = asked || a == "--json";
    }
    return asked;
}

void startEvents() { sendEventsTo({takeLine, takePhase, takeProgress}); }

void startEvent(const settings& run, const flash_image& image) {
    json e{{"event", "start"}, {"schema", SCHEMA_VERSION}, {"tool", "bootlink"}, {"version", BOOTLINK_VERSION}};
    const bool oneBoard = run.devices.empty() && !run.wait && run.action != ACTION_CHECK;
    e["device"] = oneBoard ? json(run.dev) : json(nullptr);
    if (!run.devices.empty()) e["boards"] = run.devices;
    e["action"] = chosen(run.action) ? actionOption(run.action) : "";
    e["hexfile"] = run.hexfile.empty() ? json(nullptr) : json(run.hexfile);
    e["sha256"] = image.sha256.empty() ? json(nullptr) : json(image.sha256);
    e["line"] = {{"baud", setting(run, setting_id::baud, run.baud)},
                 {"pace", setting(run, setting_id::pace, run.pace_ms)},
                 {"timeout", setting(run, setting_id::timeout, run.set(setting_id::timeout) ? json(run.timeout_ms)
                                                                                           : json(nullptr))},
                 {"retries", setting(run, setting_id::retries, run.set(setting_id::retries) ? json(run.retries)
                                                                                           : json(nullptr))}};
    writeEvent(e.dump());
    begin();
}

void endEvent(const settings& run, const outcome& result, int status) {
    json e = reportEntry(run, result, status);
    e.erase("time");
    e["event"] = "end";
    begin();  // a run that ended before it started: what it noted, then its end
    emit(e);
}

void boardEvent(const std::string& board, bool started, int status) {
    json e{{"event", "board"}, {"board", board}, {"state", started ? "start" : "end"}};
    if (!started) e["status"] = status;
    emit(e);
}

std::string eventOfBoard(const std::string& board, const std::string& line) {
    json e = json::parse(line, nullptr, false);
    if (!e.is_object() || !e.contains("event")) e = {{"event", "note"}, {"text", line}};
    e["board"] = board;
    return e.dump();
}

}  // namespace bootlink
