#include "link/framing.hpp"

#include <array>
#include <cstdio>
#include <unistd.h>

#include "link/output.hpp"
#include "link/serial.hpp"

namespace bootlink {

namespace {

// Sum of the data bytes of the packet being sent.
int32_t checksum = 0;

constexpr std::array<const char*, 8> commandNames{
    "VERSION}", "READ Flash}", "WRITE Flash}", "ERASE Flash}",
    "READ EE}", "WRITE EE}",   "READ CONFIG}", "WRITE CONFIG}",
};

bool needsEscape(uint8_t b) { return b == STX || b == ETX || b == DLE; }

[[noreturn]] void replyError(int fd, const char* fmt, unsigned a, unsigned b = 0) {
    char message[96];
    std::snprintf(message, sizeof message, fmt, a, b);
    linkFailure(fd, message);
}

}  // namespace

const char* commandName(int code) {
    if (code >= 0 && code < static_cast<int>(commandNames.size())) return commandNames[code];
    return "UNKNOWN}";
}

void sendSTX(int fd) {
    out("<STX>");
    serialWrite(fd, STX);
}

void sendETX(int fd) {
    serialWrite(fd, ETX);
    out("<ETX>\n");
}

void sendescape(int fd, int byte) {
    const uint8_t b = static_cast<uint8_t>(byte);
    if (needsEscape(b)) {
        serialWrite(fd, DLE);
        out("<DLE>");
    }
    serialWrite(fd, b);
    out("<0x%02x>", b);
}

void senddata(int fd, int byte) {
    checksum += byte & 0xFF;
    sendescape(fd, byte);
}

void sendchecksum(int fd) {
    out("{CHKSUM:");
    sendescape(fd, (256 - (checksum & 0xFF)) & 0xFF);
    out("}");
    checksum = 0;
}

void resetChecksum() { checksum = 0; }

int expectSTX(int fd) {
    uint8_t b = 0;
    serialRead(fd, b);
    if (b != STX) replyError(fd, "\n[ERROR, expected STX, got 0x%02x]\n", b);
    out("<STX>");
    return 1;
}

int expectETX(int fd) {
    uint8_t b = 0;
    serialRead(fd, b);
    if (b != ETX) replyError(fd, "\n[ERROR, expected ETX, got 0x%02x]\n", b);
    out("<ETX>\n");
    return 1;
}

void expectCHKSUM(int fd) {
    out("{CHKSUM");
    uint8_t b = 0;
    serialReadEscape(fd, b);
    out("<0x%02x>}", b);
}

void expectPacketType(int fd, int expected) {
    out("{Packettype ");
    uint8_t b = 0;
    serialReadEscape(fd, b);
    out("%s", commandName(b));
    if (b != expected)
        replyError(fd, "\n[ERROR, expected PacketType 0x%02x, but got 0x%02x]\n",
                   static_cast<unsigned>(expected), b);
}

void sendRequest(int fd, std::span<const uint8_t> body) {
    sendSTX(fd);
    sendSTX(fd);
    for (uint8_t b : body) senddata(fd, b);
    sendchecksum(fd);
    sendETX(fd);
}

void sendRequest(int fd, std::initializer_list<uint8_t> body) {
    sendRequest(fd, std::span<const uint8_t>(body.begin(), body.size()));
}

void receiveReplyHead(int fd, uint8_t code) {
    out("RECEIVING: ");
    expectSTX(fd);
    expectSTX(fd);
    expectPacketType(fd, code);
}

void receiveReplyTail(int fd) {
    expectCHKSUM(fd);
    expectETX(fd);
}

void receiveAck(int fd, uint8_t code) {
    receiveReplyHead(fd, code);
    receiveReplyTail(fd);
}

}  // namespace bootlink
