#include "link/framing.hpp"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "link/signals.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

constexpr std::array<const char*, 8> commandNames{
    "VERSION}", "READ Flash}", "WRITE Flash}", "ERASE Flash}",
    "READ EE}", "WRITE EE}",   "READ CONFIG}", "WRITE CONFIG}",
};

void tracedByte(const exchange& x, const char* fmt, unsigned b) {
    if (x.trace) out(fmt, b);
}

// A reply that went wrong: thrown on while the request may go again, else
// printed and the run ends.
[[noreturn]] void lostOrFail(const exchange& x, const char* reason, result_kind kind, const char* message) {
    std::string text = message;
    // A server may let a second client onto the port: its requests and
    // replies then cross ours.
    if (kind == result_kind::damaged_line && x.line.is_open() && x.line.port().shared())
        text += "[hint: another client may be on this network port too (ser2net's max-connections): one run at a "
                "time]\n";
    if (x.may_retry) throw reply_lost{reason, kind, text};
    fail(kind, "%s", text.c_str());
}

// One raw byte of the reply; a wait that runs out is a lost reply.
void readByte(exchange& x, uint8_t& byte) {
    if (serialRead(x.line, byte, x.wait_ms) == 1) return;
    char message[600];
    std::snprintf(message, sizeof message,
                  "\n[ERROR, no reply from the device within %d ms]\n"
                  "[hint: is the device in its bootloader, on %s, at %d bit/s with a pause of %d ms after each byte "
                  "(--device, --baud, --pace)?]\n",
                  x.wait_ms, x.line.name.empty() ? "this line" : x.line.name.c_str(), x.line.baud, x.line.pace_ms);
    lostOrFail(x, "no reply in time", result_kind::no_reply, message);
}

}  // namespace

void replyFailure(const exchange& x, const char* reason, const char* fmt, ...) {
    char message[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(message, sizeof message, fmt, args);
    va_end(args);
    lostOrFail(x, reason, result_kind::damaged_line, message);
}

void traceText(const exchange& x, const char* text) {
    if (x.trace) out("%s", text);
}

uint64_t frameBytes(std::span<const uint8_t> body) {
    uint64_t bytes = 2 + 1;  // STX STX, ETX
    uint8_t sum = 0;
    for (uint8_t b : body) {
        bytes += 1 + needsEscape(b);
        sum = static_cast<uint8_t>(sum + b);
    }
    const uint8_t check = static_cast<uint8_t>(-sum);
    return bytes + 1 + needsEscape(check);
}

const char* commandName(int code) {
    if (code >= 0 && code < static_cast<int>(commandNames.size())) return commandNames[code];
    return "UNKNOWN}";
}

void sendSTX(exchange& x) {
    traceText(x, "<STX>");
    serialWrite(x.line, STX);
}

void sendETX(exchange& x) {
    serialWrite(x.line, ETX);
    traceText(x, "<ETX>\n");
}

void sendescape(exchange& x, int byte) {
    const uint8_t b = static_cast<uint8_t>(byte);
    if (needsEscape(b)) {
        serialWrite(x.line, DLE);
        traceText(x, "<DLE>");
    }
    serialWrite(x.line, b);
    tracedByte(x, "<0x%02x>", b);
}

void senddata(exchange& x, int byte) {
    x.checksum += byte & 0xFF;
    sendescape(x, byte);
}

void sendchecksum(exchange& x) {
    traceText(x, "{CHKSUM:");
    sendescape(x, (256 - (x.checksum & 0xFF)) & 0xFF);
    traceText(x, "}");
    x.checksum = 0;
}

int expectSTX(exchange& x) {
    uint8_t b = 0;
    readByte(x, b);
    if (b != STX) replyFailure(x, "reply framing wrong", "\n[ERROR, expected STX, got 0x%02x]\n", b);
    traceText(x, "<STX>");
    return 1;
}

int expectETX(exchange& x) {
    uint8_t b = 0;
    readByte(x, b);
    if (b != ETX) replyFailure(x, "reply framing wrong", "\n[ERROR, expected ETX, got 0x%02x]\n", b);
    traceText(x, "<ETX>\n");
    return 1;
}

void serialReadEscape(exchange& x, uint8_t& byte) {
    readByte(x, byte);
    if (byte == DLE) readByte(x, byte);
    x.reply_sum = static_cast<uint8_t>(x.reply_sum + byte);
}

void expectCHKSUM(exchange& x) {
    traceText(x, "{CHKSUM");
    // The checksum makes the reply's bytes after the STX pair sum to 0.
    const uint8_t expected = static_cast<uint8_t>(-x.reply_sum);
    uint8_t b = 0;
    serialReadEscape(x, b);
    tracedByte(x, "<0x%02x>}", b);
    if (b != expected)
        replyFailure(x, "reply checksum wrong",
                     "\n[ERROR, reply checksum 0x%02x, the reply's bytes give 0x%02x: damaged on the line]\n", b,
                     expected);
}

void expectPacketType(exchange& x, int expected) {
    traceText(x, "{Packettype ");
    uint8_t b = 0;
    serialReadEscape(x, b);
    traceText(x, commandName(b));
    if (b != expected)
        replyFailure(x, "reply to another request", "\n[ERROR, expected PacketType 0x%02x, but got 0x%02x]\n",
                     static_cast<unsigned>(expected), b);
}

void sendRequest(exchange& x, std::span<const uint8_t> body) {
    checkInterrupted(true);  // a stop signal that came while we worked: nothing more goes out
    x.checksum = 0;          // what a request cut short by a failure summed must not count here
    startGathering(x.line);
    sendSTX(x);
    sendSTX(x);
    for (uint8_t b : body) senddata(x, b);
    sendchecksum(x);
    sendETX(x);
    sendGathered(x.line);
}

void sendRequest(exchange& x, std::initializer_list<uint8_t> body) {
    sendRequest(x, std::span<const uint8_t>(body.begin(), body.size()));
}

void receiveReplyHead(exchange& x, uint8_t code) {
    traceText(x, "RECEIVING: ");
    expectSTX(x);
    expectSTX(x);
    x.reply_sum = 0;
    expectPacketType(x, code);
}

void receiveReplyTail(exchange& x) {
    expectCHKSUM(x);
    expectETX(x);
}

void receiveAck(exchange& x, uint8_t code) {
    receiveReplyHead(x, code);
    receiveReplyTail(x);
}

}  // namespace bootlink
