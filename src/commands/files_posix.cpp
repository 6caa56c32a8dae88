#include "commands/files.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/posix.hpp"
#include "link/signals.hpp"
#include "link/transport.hpp"
#include "report/output.hpp"

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
        if (!keepRead(f, buf, static_cast<size_t>(n), limit)) return f;
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

std::string sha256Hex(std::string_view bytes) {
    struct sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    return lowerHex(digest, sizeof digest);
}

FILE* readingStream(std::string& text) {
    return text.empty() ? std::fopen("/dev/null", "r") : fmemopen(text.data(), text.size(), "r");
}

bool syncFile(int fd) { return fsync(fd) == 0; }

bool replaceFile(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }

int createPrivateFile(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
}

int makeTempBeside(const std::string& path, std::string& temp) {
    temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) return -1;
    const mode_t mask = umask(0);  // mkstemp makes 0600; a dump is as readable as any new file
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return fd;
}

namespace {

// An XDG base folder: the variable when it names an absolute path, else
// `fallback` under $HOME; empty with neither.
std::string xdgFolder(const char* variable, const char* fallback) {
    if (const char* v = std::getenv(variable); v && *v == '/') return v;
    if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/" + fallback;
    return {};
}

}  // namespace

std::string userDefaultsFile() {
    const std::string base = xdgFolder("XDG_CONFIG_HOME", ".config");
    return base.empty() ? std::string() : base + "/bootlink/config.toml";
}

std::string stateFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::string dir = state && *state ? state : home && *home ? std::string(home) + "/.local/state" : "";
    if (dir.empty()) return "";
    mkdir(dir.c_str(), 0700);
    dir += "/bootlink";
    mkdir(dir.c_str(), 0700);
    return dir;
}

long processId() { return static_cast<long>(getpid()); }

bool outputIsTerminal() { return isatty(1); }

int outputColumns() {
    struct winsize ws {};
    return ioctl(1, TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
}

namespace {

// With standard output closed, the device would be opened as descriptor 1
// and the trace sent down the line: hold 0, 1 and 2 with /dev/null first.
// A closed standard output loses what a script would read: the run does its
// work and ends as when a write to it fails.
void holdStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (fd == 1) outputLost(EBADF);
        const int held = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (held >= 0 && held != fd) close(held);  // cannot happen: the lowest free number is fd
    }
}

// Synchronous writes, added to what the caller's descriptor already has:
// clearing O_APPEND would write over the start of a log we are appended to.
void syncStandardOutput() {
    const int flags = fcntl(1, F_GETFL);
    if (flags != -1) fcntl(1, F_SETFL, flags | O_SYNC);  // a pipe or file may refuse it
}

}  // namespace

void prepareStandardStreams() {
    holdStandardDescriptors();
    syncStandardOutput();
    // A reader of our output that goes away (| head) must not kill the run
    // halfway through programming: writes fail instead, reported at the end.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace bootlink
