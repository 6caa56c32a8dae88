#include "cli/serials.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

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

serial_file readSerials(const std::string& path) {
    serial_file f;
    std::ifstream in(path);
    if (!in) return f;
    f.found = true;
    std::string word;
    uint64_t n = 0;
    while (in >> word >> n) {
        if (word == "next") f.next = n;
        if (word == "free") f.free.insert(n);
    }
    return f;
}

// Replaced whole (a new file renamed over it), so a crash leaves the old one.
void writeSerials(const std::string& path, const serial_file& f) {
    std::ostringstream text;
    text << "next " << f.next << "\n";
    for (uint64_t n : f.free) text << "free " << n << "\n";
    const std::string temp = path + ".new";
    std::ofstream out(temp, std::ios::trunc);
    out << text.str();
    out.close();
    if (!out || std::rename(temp.c_str(), path.c_str()) != 0)
        fail(result_kind::output_error, "Error: could not write the serial number file '%s' (%s)\n", path.c_str(),
             std::strerror(errno));
}

// Holds the file's lock (a file of its own beside it: the number file is
// replaced, and a lock on a replaced file would guard nothing).
class serial_lock {
public:
    explicit serial_lock(const std::string& path) : fd_(open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
        if (fd_ < 0 || flock(fd_, LOCK_EX) != 0)
            fail(result_kind::output_error, "Error: could not lock the serial number file '%s' (%s)\n", path.c_str(),
                 std::strerror(errno));
    }
    ~serial_lock() {
        if (fd_ >= 0) close(fd_);
    }
    serial_lock(const serial_lock&) = delete;
    serial_lock& operator=(const serial_lock&) = delete;

private:
    int fd_;
};

uint64_t takeNumber(const settings& run, int k) {
    if (run.serial_file.empty()) return run.serial_start + static_cast<uint64_t>(k);
    const serial_lock lock(run.serial_file);
    serial_file f = readSerials(run.serial_file);
    if (!f.found) {
        if (!run.set(setting_id::serial_start))
            fail(result_kind::refused, "ERROR: '%s' does not exist yet: --serial START gives its first number\n",
                 run.serial_file.c_str());
        f.next = run.serial_start;
    }
    uint64_t n = f.next;
    if (!f.free.empty()) {
        n = *f.free.begin();
        f.free.erase(f.free.begin());
    } else {
        ++f.next;
    }
    writeSerials(run.serial_file, f);
    return n;
}

bool fitsBytes(uint64_t n, int bytes) { return bytes >= 8 || n >> (8 * bytes) == 0; }

}  // namespace

void checkSerialOptions(const settings& run) {
    const bool at = run.set(setting_id::serial_at);
    const bool source = run.set(setting_id::serial_start) || !run.serial_file.empty();
    if (at && !source) fail(result_kind::refused, "ERROR: --serial-at needs --serial START or --serial-file F\n");
    if (!at && (source || run.set(setting_id::serial_bytes)))
        fail(result_kind::refused, "ERROR: --serial, --serial-bytes and --serial-file need --serial-at ADDR\n");
}

std::optional<uint64_t> serialInto(flash_image& image, const settings& run, int k) {
    if (!run.set(setting_id::serial_at)) return std::nullopt;
    const uint64_t n = takeNumber(run, k);
    const std::string why = fitsBytes(n, run.serial_bytes)
                                ? placeSerial(image, static_cast<uint32_t>(run.serial_at), n, run.serial_bytes,
                                              static_cast<uint32_t>(run.eeprom_size))
                                : "it does not fit in " + counted(static_cast<uint64_t>(run.serial_bytes), "byte");
    if (!why.empty()) {
        giveBackSerial(run, n);
        fail(result_kind::refused, "ERROR: serial number %llu cannot go to 0x%06X: %s, nothing was sent\n",
             static_cast<unsigned long long>(n), static_cast<unsigned>(run.serial_at), why.c_str());
    }
    out("serial number %llu at 0x%06X (%s, least significant first)\n", static_cast<unsigned long long>(n),
        static_cast<unsigned>(run.serial_at), counted(static_cast<uint64_t>(run.serial_bytes), "byte").c_str());
    return n;
}

void giveBackSerial(const settings& run, uint64_t number) {
    if (run.serial_file.empty()) return;
    const serial_lock lock(run.serial_file);
    serial_file f = readSerials(run.serial_file);
    if (number >= f.next) return;  // never handed out from this file
    if (number + 1 == f.next)
        --f.next;  // the last one handed out: as if it never was
    else
        f.free.insert(number);
    writeSerials(run.serial_file, f);
}

void showSerial(flash_image& image, const settings& run) {
    if (!run.set(setting_id::serial_at)) return;
    uint64_t next = run.serial_start;
    if (!run.serial_file.empty()) {
        const serial_file f = readSerials(run.serial_file);
        if (f.found) next = f.free.empty() ? f.next : *f.free.begin();
    }
    const std::string why = placeSerial(image, static_cast<uint32_t>(run.serial_at), next, run.serial_bytes,
                                        static_cast<uint32_t>(run.eeprom_size));
    if (!why.empty())
        fail(result_kind::refused, "ERROR: serial numbers cannot go to 0x%06X: %s\n",
             static_cast<unsigned>(run.serial_at), why.c_str());
    out("serial number: %s at 0x%06X, the next one %llu\n", counted(static_cast<uint64_t>(run.serial_bytes), "byte").c_str(),
        static_cast<unsigned>(run.serial_at), static_cast<unsigned long long>(next));
}

}  // namespace bootlink
