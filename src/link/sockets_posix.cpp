#include "link/sockets.hpp"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/posix.hpp"
#include "link/signals.hpp"

namespace bootlink {

namespace {

// One address of the host: a non-blocking connect, waited for until the deadline.
int tryConnect(const struct addrinfo& a, int64_t deadlineNs, std::string& why) {
    const int fd = socket(a.ai_family, a.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a.ai_protocol);
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    int err = connect(fd, a.ai_addr, a.ai_addrlen) == 0 ? 0 : errno;
    while (err == EINPROGRESS || err == EINTR) {
        checkInterrupted();
        const int ready = waitFor(fd, POLLOUT, deadlineNs);
        if (ready == 0) {
            err = ETIMEDOUT;
            break;
        }
        if (ready < 0) continue;
        socklen_t len = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    }
    if (err == 0) return fd;
    why = err == ETIMEDOUT ? "no answer in time" : std::strerror(err);
    ::close(fd);
    return -1;
}

}  // namespace

socket_id connectTcp(const std::string& host, const std::string& port, int64_t deadlineNs, std::string& why) {
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = nullptr;
    if (const int r = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); r != 0) {
        why = gai_strerror(r);
        return NO_SOCKET;
    }
    why = "no address";
    int fd = -1;
    for (const struct addrinfo* a = found; a && fd < 0; a = a->ai_next) fd = tryConnect(*a, deadlineNs, why);
    freeaddrinfo(found);
    if (fd < 0) return NO_SOCKET;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

int waitSocket(socket_id s, bool toWrite, int64_t deadlineNs) {
    const int r = waitFor(static_cast<int>(s), toWrite ? POLLOUT : POLLIN, deadlineNs);
    if (r >= 0) return r;
    return errno == EINTR ? -1 : -2;
}

long receiveSome(socket_id s, uint8_t* into, size_t most, std::string& why) {
    const ssize_t n = ::recv(static_cast<int>(s), into, most, 0);
    if (n >= 0) return n;
    if (errno == EINTR || errno == EAGAIN) return -1;
    why = std::strerror(errno);
    return -2;
}

long sendSome(socket_id s, const uint8_t* bytes, size_t n, std::string& why) {
    const ssize_t w = ::send(static_cast<int>(s), bytes, n, MSG_NOSIGNAL);
    if (w > 0) return w;
    if (w < 0 && (errno == EINTR || errno == EAGAIN)) return -1;
    why = w < 0 ? std::strerror(errno) : "nothing taken";
    return -2;
}

void shutdownSending(socket_id s) { shutdown(static_cast<int>(s), SHUT_WR); }

void closeSocket(socket_id s) { ::close(static_cast<int>(s)); }

void ackAtOnce(socket_id s) {
    // The kernel falls back to delayed ACKs after a while: asked after every read.
    const int on = 1;
    setsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

}  // namespace bootlink
