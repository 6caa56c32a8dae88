#include "report/output.hpp"

#include <cerrno>
#include <cstdarg>

#include "report/fatal.hpp"

namespace bootlink {

namespace {

FILE* sink = nullptr;  // nullptr means standard output
int firstError = 0;

void noteFailure() {
    if (firstError == 0) firstError = errno ? errno : EIO;
}

void print(const char* fmt, va_list args) {
    errno = 0;
    if (std::vfprintf(outputStream(), fmt, args) < 0) noteFailure();
}

}  // namespace

FILE* outputStream() { return sink ? sink : stdout; }

void setOutputStream(FILE* stream) {
    sink = stream;
    firstError = 0;
}

void out(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    print(fmt, args);
    va_end(args);
}

void flush() {
    errno = 0;
    if (std::fflush(outputStream()) != 0) noteFailure();
}

int outputError() { return firstError; }

void fail(int status, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    print(fmt, args);
    va_end(args);
    throw fatal{status};
}

}  // namespace bootlink
