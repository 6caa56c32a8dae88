#pragma once

#include <cstdint>
#include <string>

#include "image/image.hpp"

namespace bootlink {

// The device's own bytes in rows the file gives only in part, saved before
// the first of those rows is erased: a run that dies before they are
// written back and read back (power, a lost line, SIGKILL) leaves them
// here, as Intel hex that --program --hexfile puts back. Removed once they
// are on the device again.
class kept_file {
public:
    kept_file() = default;
    ~kept_file();
    kept_file(const kept_file&) = delete;
    kept_file& operator=(const kept_file&) = delete;

    // Saves `bytes` as bootlink-kept-<device>-<time>-<pid>.hex in the current
    // folder, or under $XDG_STATE_HOME/bootlink/ where that cannot be
    // written. A file that cannot be saved anywhere ends the run before
    // anything is erased.
    void save(const byte_map& bytes, const std::string& device);
    // The bytes are back on the device: the file goes.
    void done();
    const std::string& path() const { return path_; }
    bool held() const { return !path_.empty(); }

private:
    std::string path_;
};

}  // namespace bootlink
