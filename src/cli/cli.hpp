#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bootlink {

// Converts a numeric option argument: "0x.." (lower-case x, more than two
// characters) as hexadecimal, anything else as decimal with atoi rules.
// Returns -1 for a value that cannot be used.
int32_t number_arg(const char* text);

// Prints the usage text with `name` for every program name and ends the run
// with status 255.
[[noreturn]] void usage(const char* name);

// Every long option the tool takes, as typed after "--".
std::vector<std::string> optionNames();

// The whole run: options, line, wake byte, the one action. Returns the
// process status.
int run(int argc, char** argv);

}  // namespace bootlink
