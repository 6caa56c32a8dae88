#pragma once

// The file of defaults: the settings a user gives once instead of on every
// command line (bootlink.toml in the current folder, else
// $XDG_CONFIG_HOME/bootlink/config.toml, or the file BOOTLINK_CONFIG names).

#include <string>

#include "commands/settings.hpp"

namespace bootlink {

// The file to read: "" when there is none (or --no-config).
std::string defaultsFile(const settings& run);

// Reads the file of defaults into the settings nothing nearer has given
// (the command line, then the environment, come first); a table named by
// the device's path gives that device's own line settings. A file that does
// not parse, an unknown key or a value out of range ends the run (255),
// naming the file, the line and the key, before anything is opened.
void readDefaults(settings& run);

// For one board of many (--devices), its device being run.dev now: the
// table of the file of defaults named by that device gives its own line
// settings, over the file's general ones, as with --device.
void readDeviceDefaults(settings& run);

// --show-config: each setting, its value and where it came from.
void showConfig(const settings& run);

// Where setting `id` came from, as --show-config says it: "built in", "from
// the command line", "from BOOTLINK_BAUD", "from ./bootlink.toml".
std::string originText(const settings& run, setting_id id);

}  // namespace bootlink
