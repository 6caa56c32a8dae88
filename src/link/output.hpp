#pragma once

#include <cstdio>

namespace bootlink {

// The one way the tool prints: trace, dumps, notes and results all go here,
// formatted, to standard output (or to the stream a test installs).
void out(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Pushes everything printed so far out. Called before every read from the
// line so the trace up to the point where we wait is always visible.
void flush();

FILE* outputStream();
void setOutputStream(FILE* stream);

}  // namespace bootlink
