#include "link/serial.hpp"

#include <algorithm>

#include "link/signals.hpp"
#include "link/transport.hpp"
#include "report/output.hpp"

namespace bootlink {

void serial_link::close() {
    if (port_) port_->close();
}

bool waitms(int ms) { return sleepUntil(nowNs() + static_cast<int64_t>(ms) * 1000000); }

namespace {

// How long `n` bytes may take to leave: their time on the wire, and then
// the reply's wait (or 5 s where replies are waited for as long as they
// take): a line that takes nothing for that long is dead.
int64_t writeDeadline(const serial_link& line, size_t n) {
    const int64_t wire = static_cast<int64_t>(n) * 10 * 1000000000LL / std::max(line.baud, 1);
    const int64_t grace = line.timeout_ms > 0 ? line.timeout_ms : WRITE_GRACE_MS;
    return nowNs() + wire + grace * 1000000;
}

}  // namespace

void serialWrite(serial_link& line, int byte) {
    const uint8_t b = static_cast<uint8_t>(byte);
    if (line.gathering) {
        line.outbox.push_back(b);
        return;
    }
    line.port().write(&b, 1, writeDeadline(line, 1));
    ++line.bytes_out;
    if (line.pace_ms > 0) waitms(line.pace_ms);
    checkInterrupted();
}

void startGathering(serial_link& line) {
    line.outbox.clear();
    line.gathering = line.pace_ms == 0;
}

void sendGathered(serial_link& line) {
    if (!line.gathering) return;
    line.gathering = false;
    line.port().write(line.outbox.data(), line.outbox.size(), writeDeadline(line, line.outbox.size()));
    line.bytes_out += line.outbox.size();
    line.outbox.clear();
    checkInterrupted();
}

void expectReply(serial_link& line, size_t bytes, int escape) {
    line.owed = bytes;
    line.escape = escape;
    line.escaping = false;
    line.rest_at_ns = 0;  // the first byte is waited for as it comes
}

namespace {

// When the bytes a reply still owes will all have come, at the line's speed,
// so the next read takes them together instead of waking up for each. 0:
// not known, or bytes go one at a time (a paced line).
int64_t restArrivesNs(const serial_link& line) {
    if (line.pace_ms != 0 || line.owed == 0 || line.baud <= 0) return 0;
    const int64_t byteNs = 10 * 1000000000LL / line.baud;
    const size_t owed = std::min(line.owed, line.inbox.size());
    // Half a byte's time more: the last one must have come in, not be coming.
    return nowNs() + static_cast<int64_t>(owed) * byteNs + std::max<int64_t>(byteNs / 2, 50000);
}

// Sleeps until `untilNs`, never past `deadlineNs` (< 0: none); a stop
// signal cuts it short (the read after it checks).
void restUntil(int64_t untilNs, int64_t deadlineNs) {
    if (deadlineNs >= 0) untilNs = std::min(untilNs, deadlineNs);
    sleepUntil(untilNs);
}

}  // namespace

int serialRead(serial_link& line, uint8_t& byte, int waitMs) {
    if (line.inbox_at < line.inbox_len) {
        byte = line.inbox[line.inbox_at++];
        return 1;
    }
    flush();
    const int64_t deadline = waitMs == WAIT_FOREVER ? -1 : nowNs() + static_cast<int64_t>(waitMs) * 1000000;
    // Without a pace the device answers as fast as the line goes: take what
    // has come in one read.
    const size_t most = line.pace_ms == 0 ? line.inbox.size() : 1;
    if (line.rest_at_ns > 0) restUntil(line.rest_at_ns, deadline);
    const size_t n = line.port().read(line.inbox.data(), most, deadline);
    if (n == 0) return 0;
    line.bytes_in += n;
    // An escape byte owes the byte it escapes on top (an escaped escape is data).
    size_t escapes = 0;
    for (size_t i = 0; line.escape >= 0 && i < n; ++i) {
        const bool escapes_next = !line.escaping && line.inbox[i] == line.escape;
        escapes += escapes_next;
        line.escaping = escapes_next;
    }
    line.owed = line.owed + escapes > n ? line.owed + escapes - n : 0;
    line.rest_at_ns = line.port().pacedByTheWire() ? restArrivesNs(line) : 0;
    line.inbox_at = 1;
    line.inbox_len = n;
    byte = line.inbox[0];
    return 1;
}

int serialReadPrint(serial_link& line, uint8_t& byte) {
    const int r = serialRead(line, byte);
    out("read from port: 0x%02hx\n", static_cast<unsigned short>(byte));
    return r;
}

bool waitQuiet(serial_link& line) {
    line.inbox_at = line.inbox_len = 0;
    line.owed = 0;
    line.rest_at_ns = 0;
    // A few byte times, and never less than 20 ms: a device between two
    // bytes of a reply is not yet quiet.
    const int64_t quietNs = std::max<int64_t>(20000000, 3 * 10 * 1000000000LL / std::max(line.baud, 1));
    return line.port().waitQuiet(quietNs, nowNs() + std::max<int64_t>(1000000000, 4 * quietNs));
}

}  // namespace bootlink
