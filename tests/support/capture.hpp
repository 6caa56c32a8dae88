#pragma once

// Collects what the tool prints while it is alive, for in-process tests.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "report/output.hpp"

class capture_output {
public:
    capture_output() : stream_(open_memstream(&buf_, &len_)) { bootlink::setOutputStream(stream_); }
    ~capture_output() {
        bootlink::setOutputStream(nullptr);
        std::fclose(stream_);
        std::free(buf_);
    }
    capture_output(const capture_output&) = delete;
    capture_output& operator=(const capture_output&) = delete;

    std::string text() {
        std::fflush(stream_);
        return std::string(buf_, len_);
    }

private:
    char* buf_ = nullptr;
    size_t len_ = 0;
    FILE* stream_;
};
