#pragma once

// TCP as the network ports use it, over the system's own sockets (BSD
// sockets, or Winsock): non-blocking, every wait with a deadline and woken
// by a stop signal.

#include <cstddef>
#include <cstdint>
#include <string>

namespace bootlink {

using socket_id = long long;  // a descriptor, or Winsock's SOCKET
constexpr socket_id NO_SOCKET = -1;

// Connects to `host`:`port`, trying each of its addresses until
// `deadlineNs`, with TCP_NODELAY set (a request must not wait for the next
// one). NO_SOCKET, with `why` set, when none answered.
socket_id connectTcp(const std::string& host, const std::string& port, int64_t deadlineNs, std::string& why);

// Waits until `s` can be read (or written, `toWrite`) until `deadlineNs`:
// 1 ready, 0 the deadline passed, -1 a stop signal came, -2 the wait failed.
int waitSocket(socket_id s, bool toWrite, int64_t deadlineNs);

// What the socket gives or takes now: the bytes moved (> 0), 0 when the
// far end closed (a receive), -1 when nothing can move yet, -2 when it
// failed (`why` says how).
long receiveSome(socket_id s, uint8_t* into, size_t most, std::string& why);
long sendSome(socket_id s, const uint8_t* bytes, size_t n, std::string& why);

// Says we are done sending (the far end sees the end of our stream).
void shutdownSending(socket_id s);
void closeSocket(socket_id s);

// Acknowledges what came at once, where the system can be asked (Linux's
// TCP_QUICKACK): a server that waits for our ACK before it sends the next
// small segment would otherwise wait out our delayed ACK on every reply.
void ackAtOnce(socket_id s);

}  // namespace bootlink
