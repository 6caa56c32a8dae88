#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>

#include "link/serial.hpp"
#include "report/fatal.hpp"

namespace bootlink {

// Frame bytes of the bootloader protocol.
constexpr uint8_t STX = 0x0F;   // start of a frame; every frame opens with two
constexpr uint8_t ETX = 0x04;   // end of a frame
constexpr uint8_t DLE = 0x05;   // escape: the byte after it is data, whatever it is
constexpr uint8_t WAKE = 0xFF;  // raw byte sent once after opening the line

// Command codes: the first byte of a request, echoed first in its reply.
constexpr uint8_t CMD_VERSION = 0x00;       // with data 0x00: reset the device, no reply
constexpr uint8_t CMD_READ_FLASH = 0x01;    // length, 24-bit address -> same + data
constexpr uint8_t CMD_WRITE_FLASH = 0x02;   // blocks, 24-bit address, 8 bytes a block
constexpr uint8_t CMD_ERASE_FLASH = 0x03;   // rows, 24-bit address (64-byte rows)
constexpr uint8_t CMD_READ_EE = 0x04;       // length, 16-bit address, 0 -> same + data
constexpr uint8_t CMD_WRITE_EE = 0x05;      // length, 16-bit address, 0, the bytes
constexpr uint8_t CMD_READ_CONFIG = 0x06;   // length, 24-bit address -> same + data
constexpr uint8_t CMD_WRITE_CONFIG = 0x07;  // length, 24-bit address, the bytes

// A byte that goes behind a DLE on the wire.
constexpr bool needsEscape(uint8_t b) { return b == STX || b == ETX || b == DLE; }

// The bytes a frame around `body` takes on the wire: STX STX, the body and
// its checksum, each escaped as needed, ETX.
uint64_t frameBytes(std::span<const uint8_t> body);

// Name printed when a reply echoes `code` ("READ Flash}"...).
const char* commandName(int code);

// One request and its reply as they cross the line: the framing's running
// sums, whether the bytes are traced, how long a reply byte may take and
// whether a lost reply may be answered by sending the request again.
struct exchange {
    serial_link& line;
    bool trace = true;
    int wait_ms = WAIT_FOREVER;  // for one byte of the reply
    bool may_retry = false;      // a lost or damaged reply throws reply_lost instead of ending the run
    int32_t checksum = 0;        // sum of the data bytes of the request being built
    uint8_t reply_sum = 0;       // sum of the reply bytes after the STX pair, so far
};

// Thrown instead of ending the run when a reply is lost or damaged and the
// request may still be sent again (exchange::may_retry).
struct reply_lost {
    const char* reason;    // for a retry line: "no reply in time"
    result_kind kind;      // and what the run ends with, should it end here
    std::string message;   // printed then
};

// A reply that is not what the request asks for: with a retry left, throws
// reply_lost with `reason`; else prints the formatted message and ends the
// run (255) as a damaged reply.
[[noreturn]] void replyFailure(const exchange& x, const char* reason, const char* fmt, ...)
    __attribute__((format(BOOTLINK_PRINTF, 3, 4)));

// Sending. Every byte goes through serialWrite (paced) and is traced as it
// goes, when the exchange traces.
void sendSTX(exchange& x);               // "<STX>"
void sendETX(exchange& x);               // "<ETX>\n"
void sendescape(exchange& x, int byte);  // "<DLE>" first for STX/ETX/DLE, then "<0x..>"
void senddata(exchange& x, int byte);    // counted into the running checksum, then escaped
void sendchecksum(exchange& x);          // "{CHKSUM:" two's complement of the sum "}", sum cleared

// Prints `text` as part of the byte trace (a request's label), only when
// the exchange traces.
void traceText(const exchange& x, const char* text);

// Receiving. A mismatch prints its "[ERROR, ...]" line and ends the run with
// status 255 (or, with a retry left, throws reply_lost).
int expectSTX(exchange& x);
int expectETX(exchange& x);
void expectCHKSUM(exchange& x);                    // shown, then compared with the reply's bytes
void expectPacketType(exchange& x, int expected);  // "{Packettype NAME}"

// Reads one byte of escaped reply data: a DLE is dropped and the byte after
// it is the value, whatever it is. The value counts into the reply's sum.
void serialReadEscape(exchange& x, uint8_t& byte);

// A whole request: STX STX, the command code and fields counted and escaped,
// the checksum, ETX.
void sendRequest(exchange& x, std::span<const uint8_t> body);
void sendRequest(exchange& x, std::initializer_list<uint8_t> body);

// "RECEIVING: " and the head of the reply: STX STX and the command echo.
void receiveReplyHead(exchange& x, uint8_t code);

// The tail of every reply: checksum and ETX.
void receiveReplyTail(exchange& x);

// A reply without fields (write and erase): its arrival is the acknowledgement.
void receiveAck(exchange& x, uint8_t code);

}  // namespace bootlink
