#pragma once

// The fuzz targets print nothing: the tool's output goes to /dev/null, once.

#include <cstdio>

#include "report/output.hpp"

inline void quietOutput() {
    static FILE* quiet = [] {
        FILE* f = std::fopen("/dev/null", "w");
        bootlink::setOutputStream(f);
        return f;
    }();
    (void)quiet;
}
