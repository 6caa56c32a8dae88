// Kept apart: the kernel's termios2 cannot share a file with <termios.h>.
#include "sim/linespeed.hpp"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace bootsim {

int line_speed(int fd) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return 0;
    return static_cast<int>(t.c_ospeed);
}

}  // namespace bootsim
