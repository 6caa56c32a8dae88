#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands/progress.hpp"
#include "commands/savefile.hpp"
#include "commands/settings.hpp"
#include "image/image.hpp"
#include "link/bootloader.hpp"
#include "report/outcome.hpp"

namespace bootlink {

// What a run prints besides results, decided once from the options.
struct verbosity {
    bool trace = true;                             // every byte of requests and replies, dumps, record lines
    progress_form progress = progress_form::none;  // how phases show how far they have come
};

// What an action works with: the device's command set (traced as the run
// decided), the settings, what to print, the checked hex file and the file
// a read saves to.
struct action_context {
    bootloader dev;
    const settings& run;
    verbosity say;
    const flash_image& image;
    output_file* saved = nullptr;
    outcome* known = nullptr;  // what is known of the board so far, kept when the run fails (its ID)
};

// One entry per action. Each checks the settings it needs, talks to the
// bootloader and returns what it did; its result line is the outcome's
// message, printed by the reporter. A failure prints its message and ends
// the run (bootlink::fatal).

outcome reset_device(action_context& ctx);
outcome main_eraseflash(action_context& ctx);
// With a file to save to, the bytes read are saved there as Intel hex.
outcome main_readeeprom(action_context& ctx);
// Writes 0xFF over --startaddr/--bytes of the EEPROM (all of it by default)
// and reads it back.
outcome main_eraseeeprom(action_context& ctx);
outcome main_readconfig(action_context& ctx);
outcome main_readflash(action_context& ctx);
// Needs run.flash_size and an output file.
outcome main_readall(action_context& ctx);
outcome main_writeflash(action_context& ctx);
// Program memory: reads the rows the file gives in part, erases the rows it
// touches, writes them in large requests and reads them back; then the
// EEPROM, written and read back; then the configuration, compared (written
// with --write-config). Only the bytes the file gives change.
outcome main_program(action_context& ctx);
// The same read-back comparisons, nothing erased or written.
outcome main_verify(action_context& ctx);
// The file's EEPROM data, written and read back.
outcome main_writeeeprom(action_context& ctx);
// What --program would do with the file, and about how long it would take
// at the run's line speed and pace; no device.
outcome main_check(const settings& run, const flash_image& image);

// Erases `rows` rows from the row holding `address`: up to 256 in one
// request (256 goes out as a count of 0), more as requests of 255.
void eraseflash(const bootloader& dev, bool phases, int32_t address, int32_t rows);

// One write request for `bytes` at `address` as they stand, filled up with
// 0xFF to whole 8-byte blocks at their end.
void writeflash(const bootloader& dev, std::vector<uint8_t> bytes, uint32_t address);

// The hex file, read whole before a record is taken from it: what was read,
// its SHA-256 (what the report names), and a stream over those bytes.
struct hexfile_source {
    std::string text;
    std::string sha256;
    std::unique_ptr<FILE, int (*)(FILE*)> stream{nullptr, std::fclose};
};

// Reads the hex file: a regular file, or a pipe a build feeds (a stop
// signal ends the wait; so does a pipe silent for long); else the
// "Error: ..." line and status 254.
std::unique_ptr<hexfile_source> openHexfile(const std::string& path);
// Ends the run (255) if reading the hex file failed part way.
void checkHexfileRead(FILE* file, const std::string& path);

// Reads and checks the whole hex file for --program, --verify, --check or
// --writeeeprom, before the line is opened: every bad line is listed and
// the run ends (255) having sent nothing; so does a file that gives the
// action nothing to do. Notes name the memories the action leaves alone.
flash_image checkedImage(const settings& run);

}  // namespace bootlink
