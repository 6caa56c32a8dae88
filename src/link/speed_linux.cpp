// Line speeds the terminal interface has no constant for, through the
// kernel's termios2. Kept apart: <asm/termbits.h> cannot share a file with
// <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace bootlink {

bool setOtherSpeed(int fd, int baud) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = static_cast<speed_t>(baud);
    t.c_ospeed = static_cast<speed_t>(baud);
    return ioctl(fd, TCSETS2, &t) == 0;
}

bool readSpeeds(int fd, int& in, int& out) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    in = static_cast<int>(t.c_ispeed);
    out = static_cast<int>(t.c_ospeed);
    return true;
}

}  // namespace bootlink
