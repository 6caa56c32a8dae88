#pragma once

#include <cstdint>
#include <span>

#include "cli/settings.hpp"

namespace bootlink {

// One entry per action. Each takes the open line and the run's settings,
// checks the settings it needs, talks to the bootloader and prints the
// outcome; a failure prints its message and ends the run (bootlink::fatal).

void reset_pic(int fd);

void main_eraseflash(int fd, const settings& run);
void eraseflash(int fd, int32_t address, int32_t rows);

void main_readeeprom(int fd, const settings& run);

void main_readflash(int fd, const settings& run);

void main_writeflash(int fd, const settings& run);
void writeflash(int fd, std::span<int32_t> buffer, int32_t address, int n);

}  // namespace bootlink
