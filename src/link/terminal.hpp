#pragma once

#include <memory>
#include <string>

#include "link/transport.hpp"

namespace bootlink {

// Opens the serial terminal at `path`: refuses anything but a terminal, and
// with `exclusive` takes the device for this run alone (a lock other runs of
// the tool respect, and TIOCEXCL), before anything is changed or sent. Its
// settings as found are put back when it is closed. Failures print their
// "ERROR: ..." line and end the run with 255.
std::unique_ptr<transport> openTerminal(const std::string& path, bool exclusive);

}  // namespace bootlink
