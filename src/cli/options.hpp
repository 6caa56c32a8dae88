#pragma once

// Every option the tool takes, in one table: its names, its argument and
// how that is read and checked (a number's range), the setting it fills,
// the actions that take it, the variable and the key of the file of
// defaults that may give it too, and its help line. getopt's table, the help
// text, the variables read, the keys the file takes and the rule of which
// option fits which action all come from here.

#include <cstdint>
#include <string>
#include <vector>

#include "commands/settings.hpp"

namespace bootlink {

// Whether the file of defaults may give a setting: not at all, at its top,
// or also in a device's own table.
enum class in_file { no, top, top_and_device };

// The values a number option takes (plain decimal, nothing after it).
struct number_range {
    long lowest = 0, highest = -1;  // highest below lowest: not a number the table checks
    enum class step { any, power_of_two, row } steps = step::any;
    const char* takes = nullptr;    // what a refusal says it takes
};

struct option_entry {
    const char* name;     // long name, as typed after "--"
    int letter;           // short option, or 0
    bool argument;        // takes a value
    action_code action;   // an action option: the action it chooses; else ACTION_NONE
    setting_id fills;     // the setting it gives a value (count_: none)
    bool original;        // one of the bootloader's own options (--device, --bytes, ...)
    uint32_t actions;     // the actions it is used by (for an option given on the command line)
    // Reads the value (nullptr for a flag) into the settings and echoes it;
    // a value out of range ends the run.
    // `from` ends the echo: "" on the command line, " (from BOOTLINK_BAUD)" and the like.
    void (*apply)(settings& run, const char* arg, const char* from);
    const char* group;    // the help section it is listed in; nullptr: the usage blocks cover it
    const char* help;     // its help line(s), each ending in a line feed
    const char* environment = nullptr;  // the variable that may give it (BOOTLINK_BAUD), or none
    in_file key = in_file::no;          // the file of defaults' key, named as the option
    number_range range{};               // a number's values
    // The setting's value as --show-config prints it; a "%s" in the help
    // line is what it gives for a run where nothing set it (the built-in).
    std::string (*shown)(const settings& run) = nullptr;
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

// The option that fills setting `id` (its first entry), or nullptr.
const option_entry* optionFilling(setting_id id);

// A plain whole number: decimal digits only, or with `hexadecimal` also
// 0x digits; nothing before or after it, no overflow. False otherwise.
bool plainNumber(const char* text, bool hexadecimal, uint64_t& value);

// Gives setting `id` the checked `value` from `where` (a variable, a file)
// unless the command line or a nearer source has, and only if the action
// uses it (a default is passed over, never refused); echoed as the option
// is, with " (from WHERE)".
void applyDefault(settings& run, setting_id id, const std::string& value, const std::string& where, origin o);

// Refuses an option given on the command line that the chosen action would
// not use, before anything is opened.
void checkOptionsFit(const settings& run);

// Refuses options that do not go together (serial numbers without a place
// or a source, --count without --wait, --log-dir for one board, --wait on a
// network port, --device with --devices).
void checkOptionsTogether(const settings& run);

}  // namespace bootlink
