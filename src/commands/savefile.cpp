#include "commands/savefile.hpp"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "report/fatal.hpp"

namespace bootlink {

namespace {

// Whether two paths name the same file, links followed.
bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return !a.empty() && !b.empty() && stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

void refuseOwnFiles(const std::string& output, const std::string& device, const std::string& hexfile) {
    if (sameFile(output, device))
        fail(result_kind::refused, "Error: could not create file '%s' (it is the serial device '%s' of this run)\n",
             output.c_str(), device.c_str());
    if (sameFile(output, hexfile))
        fail(result_kind::refused, "Error: could not create file '%s' (it is the hexfile '%s' of this run)\n",
             output.c_str(), hexfile.c_str());
}

output_file::output_file(std::string path) : path_(std::move(path)) {
    const char* p = path_.c_str();
    struct stat st {};
    if (lstat(p, &st) == 0 && !S_ISLNK(st.st_mode)) {
        if (S_ISDIR(st.st_mode)) fail(result_kind::output_error, "Error: could not create file '%s' (%s)\n", p, std::strerror(EISDIR));
        if (!S_ISREG(st.st_mode))
            fail(result_kind::output_error, "Error: could not create file '%s' (not a regular file: it is left as it is)\n", p);
        // Root may write anything: a file nobody may write is kept all the same.
        if ((st.st_mode & 0222) == 0 || access(p, W_OK) != 0)
            fail(result_kind::output_error, "Error: could not create file '%s' (read-only: it is left as it is)\n", p);
    }
    temp_ = path_ + ".XXXXXX";
    fd_ = mkstemp(temp_.data());
    if (fd_ < 0) fail(result_kind::output_error, "Error: could not create file '%s' (%s)\n", p, std::strerror(errno));
    const mode_t mask = umask(0);  // mkstemp makes 0600; a dump is as readable as any new file
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
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
    if (file && !error && fsync(fd_) != 0) error = errno;
    if (file && std::fclose(file) != 0 && !error) error = errno;
    if (file) fd_ = -1;  // closed with the stream
    if (error) {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        // A truncated dump must not pass for a whole one.
        std::remove(temp_.c_str());
        fail(result_kind::output_error, "Error: could not write file '%s' (%s)\n", path, std::strerror(error));
    }
    if (std::rename(temp_.c_str(), path) != 0) {
        const int e = errno;
        std::remove(temp_.c_str());
        fail(result_kind::output_error, "Error: could not create file '%s' (%s)\n", path, std::strerror(e));
    }
}

}  // namespace bootlink
