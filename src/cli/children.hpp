#pragma once

// The processes of many boards, as the parent sees them: each started for
// one board, its output read from a pipe, its outcome (the report line)
// from a second one, and a stop signal passed on. POSIX forks the run;
// Windows starts this program again for the board, told which by its
// environment.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bootlink {

struct child {
    long long id = -1;      // the process: its pid, or its handle
    long long out = -1;     // its output's pipe
    long long result = -1;  // the pipe its report line comes on
    void* reader = nullptr; // what reads its output for us, where the system needs one
};

// What a board's process does: the board's run; its status, its report line
// in `report`. Forked, it runs as is; on Windows this program runs again and
// comes to it through boardOfThisProcess().
using board_body = std::function<int(std::string& report)>;

// What a board's process is given: its board, its serial number (taken by
// the parent, so that they go out in the boards' order) and the SHA-256 of
// the hex file the parent loaded (a process that loads it again must find
// the same bytes).
struct board_task {
    std::string name;
    std::optional<uint64_t> serial;
    std::string file_sha256;
};

// Starts the process of the board `task` names; false with `why`.
bool startChild(child& c, const board_task& task, const board_body& body, std::string& why);

// Waits at most `waitMs` (< 0: for ever) for any of `children` to print,
// hands each piece to `took` (which child, its bytes) and returns those whose
// output ended. A stop signal is passed on to each once and kept in `stopped`.
std::vector<size_t> readChildren(const std::vector<child*>& children, int waitMs, int& stopped,
                                 const std::function<void(size_t, const std::string&)>& took);

// Once its output ended: its report line (empty when it said none) and the
// status it ended with (128 + the signal that killed it).
int endChild(child& c, std::string& report);

// In a board's own process started as this program again: what it was
// given; false in any other run.
bool boardOfThisProcess(board_task& task);

// That process's report line, to its parent.
void sendBoardReport(const std::string& report);

}  // namespace bootlink
