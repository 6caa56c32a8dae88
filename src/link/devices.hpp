#pragma once

#include <string>

namespace bootlink {

// Prints the serial devices a user is likely to mean, one a line: the stable
// names under <dev>/serial/by-id with the device each points to, then
// <dev>/ttyUSB*, <dev>/ttyACM*, and the <dev>/ttyS* ports the kernel has a
// driver and a UART behind (<sys>/class/tty/ttySN). A line says so when
// there are none. The roots are "/dev" and "/sys" but for tests.
void listDevices(const std::string& dev, const std::string& sys);

// Whether the port `device` names is there now (a board plugged in makes it
// appear): a path that exists, or a COM port Windows knows.
bool portPresent(const std::string& device);

}  // namespace bootlink
