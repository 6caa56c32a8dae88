#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

namespace bootlink {

// How far a phase of programming has come. On a terminal a bar redrawn in
// place (at most ten times a second); elsewhere (a log, CI) a plain line at
// each quarter, never a carriage return.
class progress {
public:
    virtual ~progress() = default;
    virtual void advance(uint64_t done) = 0;  // of the total given at the start
};

// `shown` false: a progress that prints nothing (the byte trace is on).
std::unique_ptr<progress> makeProgress(uint64_t total, bool shown);

}  // namespace bootlink
