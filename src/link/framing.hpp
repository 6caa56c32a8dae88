#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

#include "link/serial.hpp"

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
constexpr uint8_t CMD_WRITE_EE = 0x05;      // only named in the trace so far
constexpr uint8_t CMD_READ_CONFIG = 0x06;   // only named in the trace so far
constexpr uint8_t CMD_WRITE_CONFIG = 0x07;  // only named in the trace so far

// Name printed when a reply echoes `code` ("READ Flash}"...).
const char* commandName(int code);

// Sending. Every byte goes through serialWrite (paced) and is traced as it
// goes, when the link traces.
void sendSTX(serial_link& line);              // "<STX>"
void sendETX(serial_link& line);              // "<ETX>\n"
void sendescape(serial_link& line, int byte);  // "<DLE>" first for STX/ETX/DLE, then "<0x..>"
void senddata(serial_link& line, int byte);   // counted into the running checksum, then escaped
void sendchecksum(serial_link& line);         // "{CHKSUM:" two's complement of the sum "}", sum cleared

// Prints `text` as part of the byte trace (a request's label), only when
// the link traces.
void traceText(const serial_link& line, const char* text);

// Receiving. A mismatch prints its "[ERROR, ...]" line and ends the run with
// status 255 (or, with retries left, throws reply_lost).
int expectSTX(serial_link& line);
int expectETX(serial_link& line);
void expectCHKSUM(serial_link& line);                     // shown, then compared with the reply's bytes
void expectPacketType(serial_link& line, int expected);   // "{Packettype NAME}"

// A whole request: STX STX, the command code and fields counted and escaped,
// the checksum, ETX.
void sendRequest(serial_link& line, std::span<const uint8_t> body);
void sendRequest(serial_link& line, std::initializer_list<uint8_t> body);

// "RECEIVING: " and the head of the reply: STX STX and the command echo.
void receiveReplyHead(serial_link& line, uint8_t code);

// The tail of every reply: checksum and ETX.
void receiveReplyTail(serial_link& line);

// A reply without fields (write and erase): its arrival is the acknowledgement.
void receiveAck(serial_link& line, uint8_t code);

}  // namespace bootlink
