#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "report/printf.hpp"

namespace bootlink {

// The one way the tool prints: trace, dumps, notes and results all go here,
// formatted, to standard output (or to the stream a test installs).
void out(const char* fmt, ...) __attribute__((format(BOOTLINK_PRINTF, 1, 2)));

// Pushes everything printed so far out. Called before every read from the
// line so the trace up to the point where we wait is always visible.
void flush();

// The errno of the first failed write to the output (a full disk, a closed
// pipe), or 0. The run goes on with its work on the device and reports it at
// the end: a script must not take a lost log for success.
int outputError();

// Standard output was lost before anything was printed (closed when the
// tool started): the run's status says so as for a failed write.
void outputLost(int error);

// "1 row", "3 rows": a count and its noun, as a person writes them.
std::string counted(unsigned long long n, const char* noun);

// While on, nothing printed goes anywhere (a board's process started again
// loads the file its parent has loaded and said all about).
void discardOutput(bool on);

FILE* outputStream();
void setOutputStream(FILE* stream);

// Events instead of text (--json): what would be printed is not; each whole
// line of it goes to `line`, and a phase's progress to `phase` and
// `progress`, for the caller to turn into events.
struct event_sink {
    std::function<void(const std::string& line)> line;
    std::function<void(uint64_t total)> phase;
    std::function<void(uint64_t done, uint64_t total)> progress;
};
void sendEventsTo(event_sink sink);
bool sendingEvents();

// A phase with progress begins (after its line), and has come this far.
void phaseStarted(uint64_t total);
void phaseAdvanced(uint64_t done, uint64_t total);

// Writes one event (a JSON object without its line feed) as a line of its
// own, at once: a program reading the stream sees it as it happens.
void writeEvent(const std::string& line);

}  // namespace bootlink
