#include "report/output.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "report/fatal.hpp"
#include "report/outcome.hpp"

namespace bootlink {

namespace {

FILE* sink = nullptr;  // nullptr means standard output
int firstError = 0;
event_sink events;     // set: text becomes events
bool eventsOn = false;
bool discarding = false;
std::string pendingLine;  // text not yet ended by a line feed

void noteFailure() {
    if (firstError == 0) firstError = errno ? errno : EIO;
}

void print(const char* fmt, va_list args) {
    errno = 0;
    if (std::vfprintf(outputStream(), fmt, args) < 0) noteFailure();
}

std::string format(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size() + 1, fmt, args);
    return text;
}

// Throws the run's end; its message is printed where it is caught.
[[noreturn]] void end(result_kind kind, int status, const std::string& text) { throw fatal{status, kind, text}; }

result_kind kindOfStatus(int status) {
    if (status == 254) return result_kind::bad_file;
    if (status > 128 && status < 255) return result_kind::interrupted;
    return status == 0 ? result_kind::ok : result_kind::device_error;
}

}  // namespace

FILE* outputStream() { return sink ? sink : stdout; }

void setOutputStream(FILE* stream) {
    sink = stream;
    firstError = 0;
}

void discardOutput(bool on) { discarding = on; }

void out(const char* fmt, ...) {
    if (discarding) return;
    va_list args;
    va_start(args, fmt);
    if (eventsOn) {
        pendingLine += format(fmt, args);
        for (size_t nl; (nl = pendingLine.find('\n')) != std::string::npos;) {
            const std::string line = pendingLine.substr(0, nl);
            pendingLine.erase(0, nl + 1);
            if (events.line) events.line(line);
        }
    } else {
        print(fmt, args);
    }
    va_end(args);
}

void sendEventsTo(event_sink sink) {
    events = std::move(sink);
    eventsOn = true;
}

bool sendingEvents() { return eventsOn; }

void phaseStarted(uint64_t total) {
    if (eventsOn && events.phase) events.phase(total);
}

void phaseAdvanced(uint64_t done, uint64_t total) {
    if (eventsOn && events.progress) events.progress(done, total);
}

void writeEvent(const std::string& line) {
    errno = 0;
    if (std::fprintf(outputStream(), "%s\n", line.c_str()) < 0) noteFailure();
    flush();
}

void flush() {
    errno = 0;
    if (std::fflush(outputStream()) != 0) noteFailure();
}

int outputError() { return firstError; }

void outputLost(int error) {
    if (firstError == 0) firstError = error;
}

void fail(int status, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::string text = format(fmt, args);
    va_end(args);
    end(kindOfStatus(status), status, text);
}

void fail(result_kind kind, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::string text = format(fmt, args);
    va_end(args);
    end(kind, 255, text);
}

void fail(result_kind kind, int status, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::string text = format(fmt, args);
    va_end(args);
    end(kind, status, text);
}

const char* kindName(result_kind kind) {
    switch (kind) {
    case result_kind::ok: return "ok";
    case result_kind::bad_file: return "bad-file";
    case result_kind::refused: return "refused";
    case result_kind::no_reply: return "no-reply";
    case result_kind::damaged_line: return "damaged-line";
    case result_kind::verify_failed: return "verify-failed";
    case result_kind::device_error: return "device-error";
    case result_kind::interrupted: return "interrupted";
    case result_kind::output_error: return "output-error";
    case result_kind::wrong_device: return "wrong-device";
    }
    return "device-error";
}

outcome failed(const fatal& f) {
    outcome o;
    o.kind = f.status == 0 ? result_kind::ok : f.kind;
    o.status = f.status;
    o.message = f.message;
    o.said = f.said;
    return o;
}

void say(fatal& f) {
    if (!f.said) out("%s", f.message.c_str());
    f.said = true;
}

void report(const outcome& result) {
    if (eventsOn) return;  // the end event carries it
    if (!result.said && !result.message.empty()) out("%s", result.message.c_str());
}

int exitStatus(const outcome& result) {
    if (result.status != 0) return result.status;
    return result.kind == result_kind::ok ? 0 : 255;
}

std::string counted(unsigned long long n, const char* noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

}  // namespace bootlink
