#include "link/output.hpp"

#include <cstdarg>

namespace bootlink {

namespace {
FILE* sink = nullptr;  // nullptr means standard output
}

FILE* outputStream() { return sink ? sink : stdout; }

void setOutputStream(FILE* stream) { sink = stream; }

void out(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::vfprintf(outputStream(), fmt, args);
    va_end(args);
}

void flush() { std::fflush(outputStream()); }

}  // namespace bootlink
