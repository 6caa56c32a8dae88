#include "commands/savefile.hpp"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "report/fatal.hpp"

namespace bootlink {

void saveFile(const std::string& pathName, const std::function<void(FILE*)>& write,
              const std::function<void()>& beforeWrite) {
    const char* path = pathName.c_str();
    std::string temp = pathName + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) fail(255, "Error: could not create file '%s' (%s)\n", path, std::strerror(errno));
    const mode_t mask = umask(0);  // mkstemp makes 0600; a dump is as readable as any new file
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    FILE* file = fdopen(fd, "wb");
    beforeWrite();
    if (file) write(file);
    const bool written = file && std::fflush(file) == 0 && !std::ferror(file) && fsync(fd) == 0;
    if (!file || std::fclose(file) != 0 || !written) {
        if (!file) close(fd);
        // A truncated dump must not pass for a whole one.
        std::remove(temp.c_str());
        fail(255, "Error: could not write file '%s'\n", path);
    }
    if (std::rename(temp.c_str(), path) != 0) {
        const int e = errno;
        std::remove(temp.c_str());
        fail(255, "Error: could not create file '%s' (%s)\n", path, std::strerror(e));
    }
}

}  // namespace bootlink
