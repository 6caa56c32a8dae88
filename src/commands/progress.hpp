#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

namespace bootlink {

// How a run shows how far a phase has come, chosen once for the run: a bar
// redrawn in place on a terminal, a plain line at each quarter elsewhere (a
// log, CI), or nothing while the byte trace shows every byte.
enum class progress_form { none, bar, quarters };

// The form for standard output as it is: a terminal gets the bar.
progress_form progressFor(bool shown);

class progress {
public:
    virtual ~progress() = default;
    virtual void advance(uint64_t done) = 0;  // of the total given at the start
};

std::unique_ptr<progress> makeProgress(uint64_t total, progress_form form);

}  // namespace bootlink
