#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace bootlink {

// Refuses, before anything is sent, an output that is the run's own device
// (or a link to it) or the hex file the run reads: saving there would put a
// dump in place of the line or of the firmware.
void refuseOwnFiles(const std::string& output, const std::string& device, const std::string& hexfile);

// The file a read saves, made ready before anything is sent: a path that
// names something other than a regular file (a device, a pipe, a
// directory), or a read-only file, is refused, and the new file is created
// beside it at once, so a missing or unwritable folder fails before the
// read rather than after it. save() fills it and renames it over the path:
// a link named by the path is replaced, never followed, and a run that stops
// half way leaves the old file whole. Failures print their "Error: ..."
// line and end the run; nothing half-written stays behind.
class output_file {
public:
    explicit output_file(std::string path);
    ~output_file();
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    const std::string& path() const { return path_; }

    // `beforeWrite` prints what goes with the file first.
    void save(const std::function<void(FILE*)>& write, const std::function<void()>& beforeWrite = [] {});

private:
    std::string path_;
    std::string temp_;
    int fd_ = -1;
};

}  // namespace bootlink
