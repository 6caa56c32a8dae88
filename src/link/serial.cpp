#include "link/serial.hpp"

#include <cerrno>
#include <sys/select.h>
#include <unistd.h>

#include "link/fatal.hpp"
#include "link/framing.hpp"
#include "link/output.hpp"

namespace bootlink {

void setline(int fd, tcflag_t flags, speed_t speed) {
    struct termios tio {};
    tcgetattr(fd, &tio);
    tio.c_iflag = IGNBRK | IGNPAR;
    tio.c_oflag = 0;
    tio.c_cflag = flags | CREAD | HUPCL | CLOCAL;  // previous control modes discarded
    tio.c_lflag = 0;
    tio.c_cc[VMIN] = 1;   // block until at least one byte is there
    tio.c_cc[VTIME] = 0;  // and wait for it forever
    // Speeds after the control modes: assigning c_cflag would wipe them.
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tcsetattr(fd, TCSANOW, &tio);
}

void waitms(int ms) {
    struct timeval tv {0, ms * 1000};
    // Linux leaves the time still to sleep in tv when a signal cuts it short.
    while (select(0, nullptr, nullptr, nullptr, &tv) < 0 && errno == EINTR) {
    }
}

void serialWrite(int fd, int byte) {
    const unsigned char b = static_cast<unsigned char>(byte);
    for (;;) {
        const ssize_t n = write(fd, &b, 1);
        if (n == 1) break;
        if (n < 0 && errno == EINTR) continue;
        linkFailure(fd, "\n[ERROR, could not write to serial device]\n");
    }
    waitms(BYTE_PAUSE_MS);
}

int serialRead(int fd, uint8_t& byte) {
    flush();
    for (;;) {
        const ssize_t n = read(fd, &byte, 1);
        if (n == 1) return 1;
        if (n < 0 && errno == EINTR) continue;
        linkFailure(fd, "\n[ERROR, could not read from serial device]\n");
    }
}

void serialReadEscape(int fd, uint8_t& byte) {
    serialRead(fd, byte);
    if (byte == DLE) serialRead(fd, byte);
}

int serialReadPrint(int fd, uint8_t& byte) {
    const int r = serialRead(fd, byte);
    out("read from port: 0x%02hx\n", static_cast<unsigned short>(byte));
    return r;
}

void linkFailure(int fd, const char* message) {
    out("%s", message);
    resetChecksum();  // a half-built packet must not leak into the next run
    close(fd);
    throw fatal{255, true};
}

}  // namespace bootlink
