#pragma once

namespace bootsim {

// The speed (bit/s) the host has set on the line behind `fd` (either end of
// a pseudo-terminal), or 0 when it cannot be read.
int line_speed(int fd);

}  // namespace bootsim
