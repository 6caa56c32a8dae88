#include "link/framing.hpp"

#include <array>
#include <cstdio>

#include "report/fatal.hpp"
#include "report/output.hpp"
#include "link/serial.hpp"

namespace bootlink {

namespace {

constexpr std::array<const char*, 8> commandNames{
    "VERSION}", "READ Flash}", "WRITE Flash}", "ERASE Flash}",
    "READ EE}", "WRITE EE}",   "READ CONFIG}", "WRITE CONFIG}",
};

bool needsEscape(uint8_t b) { return b == STX || b == ETX || b == DLE; }

void tracedByte(const serial_link& line, const char* fmt, unsigned b) {
    if (line.trace) out(fmt, b);
}

void traced(const serial_link& line, const char* text) { traceText(line, text); }

}  // namespace

void traceText(const serial_link& line, const char* text) {
    if (line.trace) out("%s", text);
}

const char* commandName(int code) {
    if (code >= 0 && code < static_cast<int>(commandNames.size())) return commandNames[code];
    return "UNKNOWN}";
}

void sendSTX(serial_link& line) {
    traced(line, "<STX>");
    serialWrite(line, STX);
}

void sendETX(serial_link& line) {
    serialWrite(line, ETX);
    traced(line, "<ETX>\n");
}

void sendescape(serial_link& line, int byte) {
    const uint8_t b = static_cast<uint8_t>(byte);
    if (needsEscape(b)) {
        serialWrite(line, DLE);
        traced(line, "<DLE>");
    }
    serialWrite(line, b);
    tracedByte(line, "<0x%02x>", b);
}

void senddata(serial_link& line, int byte) {
    line.checksum += byte & 0xFF;
    sendescape(line, byte);
}

void sendchecksum(serial_link& line) {
    traced(line, "{CHKSUM:");
    sendescape(line, (256 - (line.checksum & 0xFF)) & 0xFF);
    traced(line, "}");
    line.checksum = 0;
}

int expectSTX(serial_link& line) {
    uint8_t b = 0;
    serialRead(line, b);
    if (b != STX) replyFailure(line, "reply framing wrong", "\n[ERROR, expected STX, got 0x%02x]\n", b);
    traced(line, "<STX>");
    return 1;
}

int expectETX(serial_link& line) {
    uint8_t b = 0;
    serialRead(line, b);
    if (b != ETX) replyFailure(line, "reply framing wrong", "\n[ERROR, expected ETX, got 0x%02x]\n", b);
    traced(line, "<ETX>\n");
    return 1;
}

void expectCHKSUM(serial_link& line) {
    traced(line, "{CHKSUM");
    // The checksum makes the reply's bytes after the STX pair sum to 0.
    const uint8_t expected = static_cast<uint8_t>(-line.reply_sum);
    uint8_t b = 0;
    serialReadEscape(line, b);
    tracedByte(line, "<0x%02x>}", b);
    if (b != expected)
        replyFailure(line, "reply checksum wrong",
                     "\n[ERROR, reply checksum 0x%02x, the reply's bytes give 0x%02x: damaged on the line]\n", b,
                     expected);
}

void expectPacketType(serial_link& line, int expected) {
    traced(line, "{Packettype ");
    uint8_t b = 0;
    serialReadEscape(line, b);
    traced(line, commandName(b));
    if (b != expected)
        replyFailure(line, "reply to another request", "\n[ERROR, expected PacketType 0x%02x, but got 0x%02x]\n",
                     static_cast<unsigned>(expected), b);
}

void sendRequest(serial_link& line, std::span<const uint8_t> body) {
    checkInterrupted(true);  // a stop signal that came while we worked: nothing more goes out
    line.checksum = 0;       // what a request cut short by a failure summed must not count here
    startGathering(line);
    sendSTX(line);
    sendSTX(line);
    for (uint8_t b : body) senddata(line, b);
    sendchecksum(line);
    sendETX(line);
    sendGathered(line);
}

void sendRequest(serial_link& line, std::initializer_list<uint8_t> body) {
    sendRequest(line, std::span<const uint8_t>(body.begin(), body.size()));
}

void receiveReplyHead(serial_link& line, uint8_t code) {
    traced(line, "RECEIVING: ");
    expectSTX(line);
    expectSTX(line);
    line.reply_sum = 0;
    expectPacketType(line, code);
}

void receiveReplyTail(serial_link& line) {
    expectCHKSUM(line);
    expectETX(line);
}

void receiveAck(serial_link& line, uint8_t code) {
    receiveReplyHead(line, code);
    receiveReplyTail(line);
}

}  // namespace bootlink
