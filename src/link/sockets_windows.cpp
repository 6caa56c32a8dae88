#include "link/sockets.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "link/signals.hpp"
#include "link/transport.hpp"
#include "link/windows.hpp"

// Winsock: sockets are non-blocking (WSAEventSelect makes them so), and a
// wait is the socket's network event beside the stop event.

namespace bootlink {

namespace {

SOCKET sock(socket_id s) { return static_cast<SOCKET>(s); }

void startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

// The event a socket's network events are posted to (one thread waits at a time).
HANDLE socketEvent() {
    static const HANDLE event = WSACreateEvent();
    return event;
}

// One address of the host: a non-blocking connect, waited for until the deadline.
SOCKET tryConnect(const ADDRINFOA& a, int64_t deadlineNs, std::string& why) {
    const SOCKET s = socket(a.ai_family, a.ai_socktype, a.ai_protocol);
    if (s == INVALID_SOCKET) {
        why = systemMessage(static_cast<DWORD>(WSAGetLastError()));
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    int err = connect(s, a.ai_addr, static_cast<int>(a.ai_addrlen)) == 0 ? 0 : WSAGetLastError();
    while (err == WSAEWOULDBLOCK || err == WSAEINPROGRESS) {
        checkInterrupted();
        const int ready = waitSocket(static_cast<socket_id>(s), true, deadlineNs);
        if (ready == 0) {
            err = WSAETIMEDOUT;
            break;
        }
        if (ready < 0) continue;
        int len = sizeof err;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
    }
    if (err == 0) return s;
    why = err == WSAETIMEDOUT ? "no answer in time" : systemMessage(static_cast<DWORD>(err));
    closesocket(s);
    return INVALID_SOCKET;
}

}  // namespace

socket_id connectTcp(const std::string& host, const std::string& port, int64_t deadlineNs, std::string& why) {
    startWinsock();
    ADDRINFOA hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOA* found = nullptr;
    if (const int r = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); r != 0) {
        why = systemMessage(static_cast<DWORD>(r));
        return NO_SOCKET;
    }
    why = "no address";
    SOCKET s = INVALID_SOCKET;
    for (const ADDRINFOA* a = found; a && s == INVALID_SOCKET; a = a->ai_next) s = tryConnect(*a, deadlineNs, why);
    freeaddrinfo(found);
    if (s == INVALID_SOCKET) return NO_SOCKET;
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return static_cast<socket_id>(s);
}

int waitSocket(socket_id s, bool toWrite, int64_t deadlineNs) {
    WSAPOLLFD p {};
    p.fd = sock(s);
    p.events = toWrite ? POLLWRNORM : POLLRDNORM;
    for (;;) {
        const int ready = WSAPoll(&p, 1, 0);
        if (ready > 0) return 1;
        if (ready < 0) return -2;
        // Posted again by WSAEventSelect itself when the socket is ready now,
        // so nothing slips between the poll and the wait.
        const long events = toWrite ? FD_WRITE | FD_CONNECT | FD_CLOSE : FD_READ | FD_CLOSE;
        if (WSAEventSelect(sock(s), socketEvent(), events) != 0) return -2;
        const int woken = waitHandle(socketEvent(), deadlineNs);
        WSANETWORKEVENTS seen;
        WSAEnumNetworkEvents(sock(s), socketEvent(), &seen);  // resets the event
        WSAEventSelect(sock(s), nullptr, 0);
        if (woken != 1) return woken;
    }
}

long receiveSome(socket_id s, uint8_t* into, size_t most, std::string& why) {
    const int n = recv(sock(s), reinterpret_cast<char*>(into), static_cast<int>(most), 0);
    if (n >= 0) return n;
    const int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK || e == WSAEINTR) return -1;
    why = systemMessage(static_cast<DWORD>(e));
    return -2;
}

long sendSome(socket_id s, const uint8_t* bytes, size_t n, std::string& why) {
    const int w = send(sock(s), reinterpret_cast<const char*>(bytes), static_cast<int>(n), 0);
    if (w > 0) return w;
    const int e = WSAGetLastError();
    if (w < 0 && (e == WSAEWOULDBLOCK || e == WSAEINTR)) return -1;
    why = w < 0 ? systemMessage(static_cast<DWORD>(e)) : "nothing taken";
    return -2;
}

void shutdownSending(socket_id s) { shutdown(sock(s), SD_SEND); }

void closeSocket(socket_id s) { closesocket(sock(s)); }

// Windows acknowledges every other segment at once on a socket with
// TCP_NODELAY's peers; it has no per-read switch like Linux's.
void ackAtOnce(socket_id) {}

}  // namespace bootlink
