#include "commands/files.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/signals.hpp"
#include "link/transport.hpp"

namespace bootlink {

namespace {

// Closes a descriptor on every way out of the scope.
struct descriptor {
    int fd;
    ~descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// Waits until `fd` has something to read, or its writer is gone, with the
// stop signals let in: 1 ready, 0 nothing came by `deadlineNs`.
int readable(int fd, int64_t deadlineNs) {
    for (;;) {
        checkInterrupted();
        const int64_t left = deadlineNs - nowNs();
        if (left <= 0) return 0;
        struct pollfd p {fd, POLLIN, 0};
        const struct timespec ts {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        const int r = ppoll(&p, 1, &ts, waitMask());
        if (r > 0) return 1;
        if (r < 0 && errno != EINTR) return 1;  // let the read say what is wrong
    }
}

}  // namespace

file_text readWholeFile(const std::string& path, size_t limit) {
    file_text f;
    checkInterrupted();
    // Non-blocking: a FIFO with no writer yet must not hold the open.
    const descriptor d{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (d.fd < 0) {
        f.missing = errno == ENOENT;
        f.failed = file_text::problem::cannot_open;
        f.why = std::strerror(errno);
        return f;
    }
    struct stat st {};
    if (fstat(d.fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))) {
        f.failed = file_text::problem::not_regular;
        f.why = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file";
        return f;
    }
    char buf[65536];
    for (;;) {
        if (!readable(d.fd, nowNs() + static_cast<int64_t>(PIPE_IDLE_MS) * 1000000)) {
            f.failed = file_text::problem::read_failed;
            f.why = "nothing came from it for " + std::to_string(PIPE_IDLE_MS / 1000) + " s";
            return f;
        }
        const ssize_t n = ::read(d.fd, buf, sizeof buf);
        if (n == 0) return f;
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) {
            f.failed = file_text::problem::read_failed;
            f.why = std::strerror(errno);
            return f;
        }
        if (f.text.size() + static_cast<size_t>(n) > limit) {
            f.failed = file_text::problem::too_large;
            f.why = "larger than " + std::to_string(limit) + " bytes";
            return f;
        }
        f.text.append(buf, static_cast<size_t>(n));
    }
}

int openRegularFile(const std::string& path, int flags, mode_t mode, std::string& why) {
    const int fd = open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) {
        why = errno == ENXIO ? "not a regular file" : std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        why = "not a regular file";
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool lockWithin(int fd) {
    const int64_t giveUp = nowNs() + static_cast<int64_t>(LOCK_WAIT_MS) * 1000000;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (nowNs() >= giveUp || stopSignal()) return false;
        const struct timespec step {0, 10000000};
        ppoll(nullptr, 0, &step, waitMask());
    }
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return !a.empty() && !b.empty() && stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string notWritable(const std::string& path, const std::string& device, const std::string& hexfile) {
    if (sameFile(path, device)) return "it is the serial device '" + device + "' of this run";
    if (sameFile(path, hexfile)) return "it is the hexfile '" + hexfile + "' of this run";
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return S_ISDIR(st.st_mode) ? "a directory" : "not a regular file";
    return {};
}

std::string sha256Hex(std::string_view bytes) {
    struct sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    std::string hex;
    char two[3];
    for (uint8_t b : digest) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

}  // namespace bootlink
