#include "cli/serials.hpp"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

#include "commands/files.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

// The file: "next N", then "free M" for each number a failed board gave back.
struct serial_file {
    uint64_t next = 0;
    std::set<uint64_t> free;
    bool found = false;
};

// The file the path names, links followed: the lock and the replacement act
// on it, so a station that names it through a link and one that names it
// directly share one file and one lock.
std::string target(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::weakly_canonical(path, ec);
    return ec ? path : real.string();
}

bool number(std::string_view text, uint64_t& n) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

[[noreturn]] void unreadable(const std::string& path, const std::string& why) {
    fail(result_kind::refused, "ERROR: the serial number file '%s' %s: it is left as it is\n", path.c_str(), why.c_str());
}

// Read strictly: a file that says anything but "next N" once and "free M"
// lines is refused, never taken as a fresh start.
serial_file readSerials(const std::string& path) {
    serial_file f;
    const file_text read = readWholeFile(target(path), SMALL_FILE_LIMIT);
    if (read.missing) return f;
    if (read.failed != file_text::problem::none) unreadable(path, "cannot be read (" + read.why + ")");
    f.found = true;
    std::istringstream in(read.text);
    bool next = false;
    int lineNo = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t blank = line.find(' ');
        const std::string word = line.substr(0, blank);
        uint64_t n = 0;
        const bool known = (word == "next" && !next) || word == "free";
        if (blank == std::string::npos || !known || !number(std::string_view(line).substr(blank + 1), n))
            unreadable(path, "line " + std::to_string(lineNo) + " is not 'next N' or 'free N' (N up to 2^64-1)");
        if (word == "next") {
            f.next = n;
            next = true;
        } else {
            f.free.insert(n);
        }
    }
    if (!next) unreadable(path, "has no 'next N' line");
    return f;
}

// Replaced whole (a new file renamed over it), so a crash leaves the old one.
void writeSerials(const std::string& path, const serial_file& f) {
    std::ostringstream text;
    text << "next " << f.next << "\n";
    for (uint64_t n : f.free) text << "free " << n << "\n";
    const std::string real = target(path);
    const std::string temp = real + ".new";
    std::string why;
    const int fd = openRegularFile(temp, O_WRONLY | O_CREAT | O_TRUNC, 0666, why);
    const std::string content = text.str();
    const bool written = fd >= 0 && write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
                         syncFile(fd);
    const int e = errno;
    if (fd >= 0) close(fd);
    if (!written || !replaceFile(temp, real))
        fail(result_kind::output_error, "Error: could not write the serial number file '%s' (%s)\n", path.c_str(),
             fd < 0 ? why.c_str() : std::strerror(written ? errno : e));
}

// Holds the file's lock (a file of its own beside it: the number file is
// replaced, and a lock on a replaced file would guard nothing).
class serial_lock {
public:
    explicit serial_lock(const std::string& path) {
        std::string why;
        fd_ = openRegularFile(target(path) + ".lock", O_RDWR | O_CREAT, 0666, why);
        if (fd_ >= 0 && !lockWithin(fd_)) why = "another run holds its lock";
        if (!why.empty())
            fail(result_kind::output_error, "Error: could not lock the serial number file '%s' (%s)\n", path.c_str(),
                 why.c_str());
    }
    ~serial_lock() {
        if (fd_ >= 0) close(fd_);
    }
    serial_lock(const serial_lock&) = delete;
    serial_lock& operator=(const serial_lock&) = delete;

private:
    int fd_ = -1;
};

bool fitsBytes(uint64_t n, int bytes) { return bytes >= 8 || n >> (8 * bytes) == 0; }

// A number the board can be given: it fits --serial-bytes, and a next one
// can be written down after it (2^64-1 is the end of the numbers).
bool takeable(uint64_t n, int bytes) { return fitsBytes(n, bytes) && n != std::numeric_limits<uint64_t>::max(); }

[[noreturn]] void refusedAt(const settings& run, uint64_t n, const std::string& why) {
    fail(result_kind::refused, "ERROR: serial number %llu cannot go to 0x%06X: %s, nothing was sent\n",
         static_cast<unsigned long long>(n), static_cast<unsigned>(run.serial_at), why.c_str());
}

[[noreturn]] void usedUp(const settings& run, uint64_t n) {
    refusedAt(run, n,
              fitsBytes(n, run.serial_bytes)
                  ? std::string("it is the last number there is (no next one could be kept)")
                  : "it does not fit in " + counted(static_cast<uint64_t>(run.serial_bytes), "byte"));
}

// Where the numbers come from, as the file and --serial say together.
// `atStart`: the run has taken none yet, so a --serial other than the
// file's next number is a mistake (later, the run's own boards moved it).
serial_file checkedSource(const settings& run, bool atStart) {
    serial_file f;
    if (run.serial_file.empty()) {
        f.next = run.serial_start;
        return f;
    }
    f = readSerials(run.serial_file);
    if (!f.found && !run.set(setting_id::serial_start))
        fail(result_kind::refused, "ERROR: '%s' does not exist yet: --serial START gives its first number\n",
             run.serial_file.c_str());
    if (atStart && f.found && run.set(setting_id::serial_start) && run.serial_start != f.next)
        fail(result_kind::refused,
             "ERROR: --serial %llu differs from the next number in '%s' (%llu): leave --serial out to go on from "
             "the file, or name a new file to start at %llu\n",
             static_cast<unsigned long long>(run.serial_start), run.serial_file.c_str(),
             static_cast<unsigned long long>(f.next), static_cast<unsigned long long>(run.serial_start));
    if (!f.found) f.next = run.serial_start;
    return f;
}

uint64_t takeNumber(const settings& run, int k) {
    if (run.serial_file.empty()) {
        const uint64_t n = run.serial_start + static_cast<uint64_t>(k);
        if (n < run.serial_start || !takeable(n, run.serial_bytes)) usedUp(run, n);
        return n;
    }
    const serial_lock lock(run.serial_file);
    serial_file f = checkedSource(run, false);
    uint64_t n = f.next;
    if (!f.free.empty()) {
        n = *f.free.begin();
        f.free.erase(f.free.begin());
    } else {
        if (!takeable(n, run.serial_bytes)) usedUp(run, n);
        ++f.next;
    }
    writeSerials(run.serial_file, f);
    return n;
}

}  // namespace

void checkSerialPlan(const flash_image& image, const settings& run, size_t boards) {
    if (!run.set(setting_id::serial_at)) return;
    const serial_file f = checkedSource(run, true);
    // The numbers the boards would take, the free ones aside.
    const uint64_t first = f.free.empty() ? f.next : std::min(f.next, *f.free.begin());
    flash_image trial = image;
    const std::string why = placeSerial(trial, static_cast<uint32_t>(run.serial_at), first, run.serial_bytes,
                                        static_cast<uint32_t>(run.eeprom_size));
    if (!why.empty()) refusedAt(run, first, why);
    const uint64_t last = f.next + (boards > 0 ? boards - 1 : 0);
    if (!takeable(first, run.serial_bytes)) usedUp(run, first);
    if (last < f.next || !takeable(last, run.serial_bytes)) usedUp(run, last < f.next ? f.next : last);
}

std::optional<uint64_t> takeSerial(const settings& run, int k) {
    if (!run.set(setting_id::serial_at)) return std::nullopt;
    return takeNumber(run, k);
}

void serialInto(flash_image& image, const settings& run, uint64_t n) {
    const std::string why = fitsBytes(n, run.serial_bytes)
                                ? placeSerial(image, static_cast<uint32_t>(run.serial_at), n, run.serial_bytes,
                                              static_cast<uint32_t>(run.eeprom_size))
                                : "it does not fit in " + counted(static_cast<uint64_t>(run.serial_bytes), "byte");
    if (!why.empty()) {
        giveBackSerial(run, n);
        refusedAt(run, n, why);
    }
    out("serial number %llu at 0x%06X (%s, least significant first)\n", static_cast<unsigned long long>(n),
        static_cast<unsigned>(run.serial_at), counted(static_cast<uint64_t>(run.serial_bytes), "byte").c_str());
}

void giveBackSerial(const settings& run, uint64_t number) {
    if (run.serial_file.empty()) return;
    const serial_lock lock(run.serial_file);
    serial_file f = readSerials(run.serial_file);
    if (!f.found || number >= f.next) return;  // never handed out from this file
    if (number + 1 == f.next)
        --f.next;  // the last one handed out: as if it never was
    else
        f.free.insert(number);
    writeSerials(run.serial_file, f);
}

void showSerial(flash_image& image, const settings& run) {
    if (!run.set(setting_id::serial_at)) return;
    checkSerialPlan(image, run, 1);
    const serial_file f = checkedSource(run, true);
    const uint64_t next = f.free.empty() ? f.next : *f.free.begin();
    placeSerial(image, static_cast<uint32_t>(run.serial_at), next, run.serial_bytes,
                static_cast<uint32_t>(run.eeprom_size));
    out("serial number: %s at 0x%06X, the next one %llu\n", counted(static_cast<uint64_t>(run.serial_bytes), "byte").c_str(),
        static_cast<unsigned>(run.serial_at), static_cast<unsigned long long>(next));
}

}  // namespace bootlink
