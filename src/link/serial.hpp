#pragma once

#include <cstdint>
#include <termios.h>

namespace bootlink {

// Byte-level access to the serial line. Every other part of the tool reaches
// the device only through these calls (and the framing built on them), so a
// pseudo-terminal can stand in for a real adapter.

constexpr int BYTE_PAUSE_MS = 10;  // pause after every byte sent; the bootloader polls its UART

// Raw 8-bit line: IGNBRK|IGNPAR in, nothing out, flags|CREAD|HUPCL|CLOCAL,
// non-canonical with VMIN 1 / VTIME 0, both speeds set to `speed`.
void setline(int fd, tcflag_t flags, speed_t speed);

// Sleeps `ms` milliseconds (less than 1000) with select().
void waitms(int ms);

// Writes one byte, then pauses BYTE_PAUSE_MS. A failed write ends the run.
void serialWrite(int fd, int byte);

// Flushes our output, then blocks until one byte arrives. Returns 1; a failed
// read or end of file ends the run and is never taken for a byte.
int serialRead(int fd, uint8_t& byte);

// Reads one byte of escaped reply data: a DLE is dropped and the byte after
// it is the value, whatever it is.
void serialReadEscape(int fd, uint8_t& byte);

// serialRead, then prints the byte ("read from port: 0x..").
int serialReadPrint(int fd, uint8_t& byte);

// Prints `message`, closes the line and ends the run with status 255.
[[noreturn]] void linkFailure(int fd, const char* message);

}  // namespace bootlink
