#include "cli/jsonreport.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/options.hpp"
#include "commands/files.hpp"

namespace bootlink {

namespace {

using json = nlohmann::json;

std::string utcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    struct tm utc {};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

json work(const memory_work& w) { return {{"written", w.written}, {"read", w.read}, {"compared", w.compared}}; }

// The message as one line: what was printed, without its framing newlines.
std::string oneLine(std::string text) {
    while (!text.empty() && (text.front() == '\n' || text.back() == '\n'))
        text.erase(text.front() == '\n' ? text.begin() : text.end() - 1);
    for (char& c : text)
        if (c == '\n') c = ' ';
    return text;
}

json entry(const settings& run, const outcome& result, int status) {
    json j;
    j["time"] = utcNow();
    j["tool"] = "bootlink";
    j["version"] = BOOTLINK_VERSION;
    j["device"] = result.opened ? json(run.dev) : json(nullptr);  // a run refused before it had none
    char id[8];
    if (result.device_id) std::snprintf(id, sizeof id, "0x%04x", *result.device_id);
    j["device_id"] = result.device_id ? json(id) : json(nullptr);
    j["action"] = chosen(run.action) ? actionOption(run.action) : "";
    if (!run.hexfile.empty()) {
        j["hexfile"] = run.hexfile;
        // Of the bytes read and programmed, not of whatever the path holds now.
        j["sha256"] = result.hexfile_sha256.empty() ? json(nullptr) : json(result.hexfile_sha256);
    }
    j["program"] = work(result.program);
    j["eeprom"] = work(result.eeprom);
    j["config"] = work(result.config);
    j["retries"] = result.retries;
    j["repeated"] = result.repeated;
    j["seconds"] = result.seconds;
    j["serial"] = result.serial ? json(*result.serial) : json(nullptr);
    j["serial_returned"] = result.serial ? json(result.serial_returned) : json(nullptr);
    j["status"] = status;
    j["result"] = kindName(result.kind == result_kind::ok && status != 0 ? result_kind::output_error : result.kind);
    j["message"] = result.ok() ? "" : oneLine(result.message);
    return j;
}

memory_work workFrom(const json& j) {
    return {j.value("written", uint64_t{0}), j.value("read", uint64_t{0}), j.value("compared", uint64_t{0})};
}

result_kind kindNamed(const std::string& name) {
    for (int k = 0; k <= static_cast<int>(result_kind::wrong_device); ++k)
        if (name == kindName(static_cast<result_kind>(k))) return static_cast<result_kind>(k);
    return result_kind::device_error;
}

}  // namespace

std::string reportLine(const settings& run, const outcome& result, int status) { return entry(run, result, status).dump(); }

json reportEntry(const settings& run, const outcome& result, int status) { return entry(run, result, status); }

bool readReportLine(const std::string& text, outcome& result, int& status) {
    const json j = json::parse(text, nullptr, false);
    if (!j.is_object() || !j.contains("status") || !j.contains("result")) return false;
    try {
        status = j["status"].get<int>();
        result.status = status;
        result.kind = kindNamed(j["result"].get<std::string>());
        result.message = j.value("message", "");
        result.program = workFrom(j.value("program", json::object()));
        result.eeprom = workFrom(j.value("eeprom", json::object()));
        result.config = workFrom(j.value("config", json::object()));
        result.retries = j.value("retries", 0);
        result.repeated = j.value("repeated", uint64_t{0});
        result.seconds = j.value("seconds", 0.0);
        if (j.contains("device_id") && j["device_id"].is_string())
            result.device_id = static_cast<uint16_t>(std::stoul(j["device_id"].get<std::string>(), nullptr, 16));
        if (j.contains("serial") && j["serial"].is_number_unsigned()) result.serial = j["serial"].get<uint64_t>();
        const auto returned = j.find("serial_returned");
        result.serial_returned = returned != j.end() && returned->is_boolean() && returned->get<bool>();
        result.opened = j.contains("device") && j["device"].is_string();
        if (j.contains("sha256") && j["sha256"].is_string()) result.hexfile_sha256 = j["sha256"].get<std::string>();
    } catch (const std::exception&) {  // a line of another shape
        return false;
    }
    return true;
}

int appendReport(const settings& run, const outcome& result, int status) {
    const std::string line = reportLine(run, result, status) + "\n";
    std::string why;
    const int fd = openRegularFile(run.report_file, O_WRONLY | O_APPEND | O_CREAT, 0666, why);
    bool written = fd >= 0 && lockWithin(fd);
    if (fd >= 0 && !written) why = "another run holds its lock";
    // One write of the whole line: appended whole, never between another's.
    while (written) {
        const ssize_t w = write(fd, line.data(), line.size());
        if (w < 0 && errno == EINTR) continue;
        written = w == static_cast<ssize_t>(line.size());
        break;
    }
    const int e = errno;
    if (fd >= 0) close(fd);
    if (written) return status;
    std::fprintf(stderr, "bootlink: could not write the report to '%s': %s\n", run.report_file.c_str(),
                 fd < 0 || !why.empty() ? why.c_str() : std::strerror(e));
    return status == 0 ? 255 : status;
}

}  // namespace bootlink
