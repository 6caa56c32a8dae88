#pragma once

#include <cstdint>
#include <span>

#include "commands/settings.hpp"
#include "link/serial.hpp"

namespace bootlink {

// One entry per action. Each takes the open line and the run's settings,
// checks the settings it needs, talks to the bootloader and prints the
// outcome; a failure prints its message and ends the run (bootlink::fatal).

void reset_pic(serial_link& line);

void main_eraseflash(serial_link& line, const settings& run);
void eraseflash(serial_link& line, int32_t address, int32_t rows);

void main_readeeprom(serial_link& line, const settings& run);

void main_readflash(serial_link& line, const settings& run);

void main_writeflash(serial_link& line, const settings& run);
void writeflash(serial_link& line, std::span<int32_t> buffer, int32_t address, int n);

}  // namespace bootlink
