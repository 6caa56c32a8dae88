#pragma once

// Every option the tool takes, in one table: its names, its argument and
// how that is read and checked, the setting it fills, the actions that take
// it, and its help line. getopt's table, the help text and the rule of which
// option fits which action all come from here.

#include <cstdint>
#include <string>
#include <vector>

#include "commands/settings.hpp"

namespace bootlink {

struct option_entry {
    const char* name;     // long name, as typed after "--"
    int letter;           // short option, or 0
    bool argument;        // takes a value
    int32_t action;       // an action option: the action it chooses; else -1
    setting_id fills;     // the setting it gives a value (count_: none)
    bool original;        // one of the bootloader's own options (--device, --bytes, ...)
    uint32_t actions;     // the actions it is used by (for an option given on the command line)
    // Reads the value (nullptr for a flag) into the settings and echoes it;
    // a value out of range ends the run.
    // `from` ends the echo: "" on the command line, " (from BOOTLINK_BAUD)" and the like.
    void (*apply)(settings& run, const char* arg, const char* from);
    const char* group;    // the help section it is listed in; nullptr: the usage blocks cover it
    const char* help;     // its help line(s), each ending in a line feed
};

// The table, in the order of the help text.
const std::vector<option_entry>& optionTable();

// The long option that chooses `action` ("program").
const char* actionOption(int32_t action);

// Reads the command line into `run`, each value marked as given there.
// --help, --version and --list-devices end the run here; an option the tool
// does not know, or one without its argument, ends it with 255. Returns the
// index of the first argument that is not an option.
int scanOptions(int argc, char** argv, settings& run);

// Values from the environment (BOOTLINK_DEVICE, BOOTLINK_BAUD,
// BOOTLINK_PACE, BOOTLINK_TIMEOUT), where the command line gave none. One out
// of range ends the run before anything is opened.
void readEnvironment(settings& run);

// nullptr when `value` is one the number setting `id` takes; else what it
// takes ("a line speed from 50 to 4000000 bit/s").
const char* numberProblem(setting_id id, long value);

// Gives setting `id` the checked `value` from `where` (a variable, a file)
// unless the command line or a nearer source has, and only if the action
// uses it (a default is passed over, never refused); echoed as the option
// is, with " (from WHERE)".
void applyDefault(settings& run, setting_id id, const std::string& value, const std::string& where, origin o);

// Refuses an option given on the command line that the chosen action would
// not use, before anything is opened.
void checkOptionsFit(const settings& run);

}  // namespace bootlink
