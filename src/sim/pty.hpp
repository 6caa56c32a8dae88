#pragma once

#include <string>

namespace bootsim {

// A pseudo-terminal whose slave side stands in for the serial adapter.
struct pty_line {
    int master = -1;
    std::string path;  // the slave device the host opens
};

// Opens a new pseudo-terminal and puts its line in raw mode, so nothing the
// line discipline does (echo, CR/LF mapping) can change a byte. Throws
// std::runtime_error on failure.
pty_line open_pty();

}  // namespace bootsim
