#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "commands/savefile.hpp"
#include "commands/settings.hpp"
#include "image/image.hpp"
#include "link/serial.hpp"

namespace bootlink {

// One entry per action. Each takes the open line and the run's settings,
// checks the settings it needs, talks to the bootloader and prints the
// outcome; a failure prints its message and ends the run (bootlink::fatal).

void reset_device(serial_link& line);

void main_eraseflash(serial_link& line, const settings& run);
void eraseflash(serial_link& line, int32_t address, int32_t rows);

// With `saved`, the bytes read are saved there as Intel hex.
void main_readeeprom(serial_link& line, const settings& run, output_file* saved);
// Writes 0xFF over --startaddr/--bytes of the EEPROM (all of it by default)
// and reads it back.
void main_eraseeeprom(serial_link& line, const settings& run);
void main_readconfig(serial_link& line, output_file* saved);

void main_readflash(serial_link& line, const settings& run, output_file& saved);

// Opens the hex file for reading: a regular file or a pipe, else the
// "Error: ..." line and status 254.
FILE* openHexfile(const std::string& path);
// Ends the run (255) if reading the hex file failed part way.
void checkHexfileRead(FILE* file, const std::string& path);

void main_writeflash(serial_link& line, const settings& run);
// One write request for `bytes` at `address` as they stand, filled up with
// 0xFF to whole 8-byte blocks at their end.
void writeflash(serial_link& line, std::vector<uint8_t> bytes, uint32_t address);

// Reads and checks the whole hex file for --program, --verify or
// --writeeeprom, before the line is opened: every bad line is listed and
// the run ends (255) having sent nothing; so does a file that gives the
// action nothing to do. Notes name the memories the action leaves alone.
flash_image checkedImage(const settings& run);

// Program memory: reads the rows the file gives in part, erases the rows it
// touches, writes them in large requests and reads them back; then the
// EEPROM, written and read back; then the configuration, compared (written
// with --write-config). Only the bytes the file gives change.
void main_program(serial_link& line, const settings& run, const flash_image& image);
// The same read-back comparisons, nothing erased or written.
void main_verify(serial_link& line, const settings& run, const flash_image& image);
// What --program would do with the file, and about how long it would take
// at the run's line speed and pace; no device.
void main_check(const settings& run, const flash_image& image);
// The file's EEPROM data, written and read back.
void main_writeeeprom(serial_link& line, const settings& run, const flash_image& image);

}  // namespace bootlink
