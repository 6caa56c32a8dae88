#include "commands/keptfile.hpp"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <iterator>
#include <vector>

#include "commands/files.hpp"
#include "ihexfile/ihexfile.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

// "ttyUSB0" from "/dev/ttyUSB0", "pts3" from "/dev/pts/3": a file name, nothing else.
std::string deviceTag(const std::string& device) {
    const size_t slash = device.find_last_of('/');
    std::string tag = device.substr(slash + 1);
    if (!tag.empty() && tag.find_first_not_of("0123456789") == std::string::npos && slash != std::string::npos) {
        const size_t before = device.find_last_of('/', slash - 1);
        tag = device.substr(before + 1, slash - before - 1) + tag;
    }
    for (char& c : tag)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')) c = '_';
    return tag.empty() ? "device" : tag;
}

// Writes the bytes, run by run, and the end record; false when the disk refused.
bool writeBytes(int fd, const byte_map& bytes) {
    FILE* f = fdopen(fd, "wb");
    if (!f) return false;
    std::vector<uint8_t> data;
    uint32_t start = 0;
    for (auto it = bytes.begin(); it != bytes.end(); ++it) {
        if (data.empty()) start = it->first;
        data.push_back(it->second);
        const auto next = std::next(it);
        if (next == bytes.end() || next->first != it->first + 1) {
            writeIntelHex(f, start, data);
            data.clear();
        }
    }
    writeiend16(f);
    const bool ok = std::fflush(f) == 0 && !std::ferror(f) && syncFile(fd);
    return std::fclose(f) == 0 && ok;
}

}  // namespace

kept_file::~kept_file() = default;  // a file still held stays: that is what it is for

void kept_file::save(const byte_map& bytes, const std::string& device) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::localtime(&now));
    // The process number too: a rerun within the same second must not take the name.
    const std::string name =
        "bootlink-kept-" + deviceTag(device) + "-" + stamp + "-" + std::to_string(processId()) + ".hex";
    for (const std::string& dir : {std::string("."), stateFolder()}) {
        if (dir.empty()) continue;
        const std::string path = dir == "." ? name : dir + "/" + name;
        // The device's own bytes are nobody else's to read: 0600.
        const int fd = createPrivateFile(path);
        if (fd < 0) continue;
        if (writeBytes(fd, bytes)) {
            path_ = path;
            out("[keeping the device's own bytes in %s until those rows are written back]\n", path_.c_str());
            return;
        }
        std::remove(path.c_str());
    }
    fail(result_kind::output_error,
         "Error: could not save the device's own bytes of the rows the file gives in part (%s), nothing was erased\n",
         std::strerror(errno ? errno : EIO));
}

void kept_file::done() {
    if (path_.empty()) return;
    std::remove(path_.c_str());
    path_.clear();
}

}  // namespace bootlink
