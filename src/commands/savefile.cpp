#include "commands/savefile.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unistd.h>

#include "commands/files.hpp"

#include "report/fatal.hpp"

namespace bootlink {

void refuseOwnFiles(const std::string& output, const std::string& device, const std::string& hexfile) {
    if (sameFile(output, device))
        fail(result_kind::refused, "Error: could not create file '%s' (it is the serial device '%s' of this run)\n",
             output.c_str(), device.c_str());
    if (sameFile(output, hexfile))
        fail(result_kind::refused, "Error: could not create file '%s' (it is the hexfile '%s' of this run)\n",
             output.c_str(), hexfile.c_str());
}

output_file::output_file(std::string path) : path_(std::move(path)) {
    namespace fs = std::filesystem;
    const char* p = path_.c_str();
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(path_, ec);
    if (!ec && fs::exists(st) && !fs::is_symlink(st)) {
        if (fs::is_directory(st)) fail(result_kind::output_error, "Error: could not create file '%s' (%s)\n", p, std::strerror(EISDIR));
        if (!fs::is_regular_file(st))
            fail(result_kind::output_error, "Error: could not create file '%s' (not a regular file: it is left as it is)\n", p);
        // Root may write anything: a file nobody may write is kept all the same.
        const fs::perms anyWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
        if ((st.permissions() & anyWrite) == fs::perms::none || access(p, W_OK) != 0)
            fail(result_kind::output_error, "Error: could not create file '%s' (read-only: it is left as it is)\n", p);
    }
    fd_ = makeTempBeside(path_, temp_);
    if (fd_ < 0) fail(result_kind::output_error, "Error: could not create file '%s' (%s)\n", p, std::strerror(errno));
}

output_file::~output_file() {
    if (fd_ < 0) return;
    close(fd_);
    std::remove(temp_.c_str());
}

void output_file::save(const std::function<void(FILE*)>& write, const std::function<void()>& beforeWrite) {
    const char* path = path_.c_str();
    FILE* file = fdopen(fd_, "wb");
    beforeWrite();
    if (file) write(file);
    int error = file ? 0 : errno;
    if (file && std::fflush(file) != 0) error = errno;
    if (file && !error && std::ferror(file)) error = EIO;
    if (file && !error && !syncFile(fd_)) error = errno;
    if (file && std::fclose(file) != 0 && !error) error = errno;
    if (file) fd_ = -1;  // closed with the stream
    if (error) {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        // A truncated dump must not pass for a whole one.
        std::remove(temp_.c_str());
        fail(result_kind::output_error, "Error: could not write file '%s' (%s)\n", path, std::strerror(error));
    }
    if (!replaceFile(temp_, path)) {
        const int e = errno;
        std::remove(temp_.c_str());
        fail(result_kind::output_error, "Error: could not create file '%s' (%s)\n", path, std::strerror(e));
    }
}

}  // namespace bootlink
