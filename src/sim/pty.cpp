#include "sim/pty.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace bootsim {

pty_line open_pty() {
    pty_line line;
    line.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (line.master < 0) throw std::runtime_error(std::string("posix_openpt: ") + std::strerror(errno));
    // The host runs as a child process: it must not inherit our end of the
    // line, or closing it here would not hang the line up.
    fcntl(line.master, F_SETFD, FD_CLOEXEC);
    const char* name = nullptr;
    if (grantpt(line.master) != 0 || unlockpt(line.master) != 0 || !(name = ptsname(line.master))) {
        const int e = errno;
        close(line.master);
        throw std::runtime_error(std::string("pty setup: ") + std::strerror(e));
    }
    line.path = name;
    // The terminal settings live with the pty, not with an open descriptor,
    // so setting them through a short-lived slave descriptor is enough.
    const int slave = open(name, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        const int e = errno;
        close(line.master);
        throw std::runtime_error(std::string("open ") + name + ": " + std::strerror(e));
    }
    struct termios tio {};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    close(slave);
    return line;
}

}  // namespace bootsim
