#include "cli/children.hpp"

#include <windows.h>

#include <cstdlib>
#include <mutex>
#include <thread>

#include "link/signals.hpp"
#include "link/transport.hpp"
#include "link/windows.hpp"
#include "report/output.hpp"

// Windows has no fork: a board's process is this program started again
// with the same command line, told by its environment which board it is,
// where its report line goes and which event passes a stop on. Its output
// comes on a pipe, read by a thread of ours (a pipe cannot be waited on),
// which wakes the one loop through an event.

namespace bootlink {

namespace {

constexpr const char* BOARD = "BOOTLINK_BOARD";
constexpr const char* BOARD_SERIAL = "BOOTLINK_BOARD_SERIAL";
constexpr const char* BOARD_FILE = "BOOTLINK_BOARD_FILE_SHA256";
constexpr const char* BOARD_RESULT = "BOOTLINK_BOARD_RESULT";
constexpr const char* STOP_EVENT = "BOOTLINK_STOP_EVENT";

// Set by every reader when its board printed or its output ended.
HANDLE news() {
    static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event;
}

// Set to pass a stop on to every board; inherited by each.
HANDLE relay() {
    static const HANDLE event = [] {
        SECURITY_ATTRIBUTES inherited {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        return CreateEventW(&inherited, TRUE, FALSE, nullptr);
    }();
    return event;
}

// What a board's output pipe gave that the loop has not taken yet.
struct reader {
    std::mutex lock;
    std::string text;
    bool ended = false;
    std::thread thread;
};

void readOutput(reader* r, HANDLE pipe) {
    char buf[4096];
    for (;;) {
        DWORD got = 0;
        const bool ok = ReadFile(pipe, buf, sizeof buf, &got, nullptr) && got > 0;
        {
            std::lock_guard<std::mutex> hold(r->lock);
            if (ok)
                r->text.append(buf, got);
            else
                r->ended = true;  // the board's process closed it: it is ending
        }
        SetEvent(news());
        if (!ok) return;
    }
}

HANDLE handleOf(long long h) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(h)); }
long long numberOf(HANDLE h) { return static_cast<long long>(reinterpret_cast<intptr_t>(h)); }

// An inheritable copy of one of our standard handles (the console's, a file's).
HANDLE inheritable(DWORD which) {
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(which), GetCurrentProcess(), &copy, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

void setVariable(const char* name, const std::string& value) {
    SetEnvironmentVariableW(widen(name).c_str(), value.empty() ? nullptr : widen(value).c_str());
}

}  // namespace

bool startChild(child& c, const board_task& task, const board_body&, std::string& why) {
    // Our ends are never inherited; the board's ends only by its own
    // process, made inheritable just for its start (boards start one by one).
    HANDLE outRead, outWrite, resultRead, resultWrite;
    if (!CreatePipe(&outRead, &outWrite, nullptr, 0) || !CreatePipe(&resultRead, &resultWrite, nullptr, 0)) {
        why = systemMessage(GetLastError());
        return false;
    }
    SetHandleInformation(outWrite, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(resultWrite, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    setVariable(BOARD, task.name);
    setVariable(BOARD_SERIAL, task.serial ? std::to_string(*task.serial) : "");
    setVariable(BOARD_FILE, task.file_sha256);
    setVariable(BOARD_RESULT, std::to_string(numberOf(resultWrite)));
    setVariable(STOP_EVENT, std::to_string(numberOf(relay())));
    STARTUPINFOW si {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inheritable(STD_INPUT_HANDLE);
    si.hStdOutput = outWrite;
    si.hStdError = inheritable(STD_ERROR_HANDLE);
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring commandLine = GetCommandLineW();
    PROCESS_INFORMATION pi {};
    flush();
    const bool started = CreateProcessW(program, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    if (!started) why = systemMessage(GetLastError());
    for (const char* v : {BOARD, BOARD_SERIAL, BOARD_FILE, BOARD_RESULT, STOP_EVENT}) setVariable(v, "");
    for (HANDLE h : {si.hStdInput, si.hStdError, outWrite, resultWrite})
        if (h) CloseHandle(h);
    if (!started) {
        CloseHandle(outRead);
        CloseHandle(resultRead);
        return false;
    }
    CloseHandle(pi.hThread);
    c.id = numberOf(pi.hProcess);
    c.out = numberOf(outRead);
    c.result = numberOf(resultRead);
    auto* r = new reader;
    r->thread = std::thread(readOutput, r, outRead);
    c.reader = r;
    return true;
}

std::vector<size_t> readChildren(const std::vector<child*>& children, int waitMs, int& stopped,
                                 const std::function<void(size_t, const std::string&)>& took) {
    const int64_t deadline = waitMs < 0 ? -1 : nowNs() + static_cast<int64_t>(waitMs) * 1000000;
    for (;;) {
        std::vector<size_t> ended;
        bool any = false;
        for (size_t i = 0; i < children.size(); ++i) {
            auto* r = static_cast<reader*>(children[i]->reader);
            std::string text;
            bool done = false;
            {
                std::lock_guard<std::mutex> hold(r->lock);
                text.swap(r->text);
                done = r->ended;
            }
            if (!text.empty()) took(i, text);
            any = any || !text.empty() || done;
            if (!done) continue;
            r->thread.join();
            CloseHandle(handleOf(children[i]->out));
            children[i]->out = -1;
            delete r;
            children[i]->reader = nullptr;
            ended.push_back(i);
        }
        if (any || (waitMs >= 0 && nowNs() >= deadline)) return ended;
        if (stopped) {  // passed on already: the stop event stays set, wait for the boards alone
            WaitForSingleObject(news(), msUntil(deadline));
            continue;
        }
        if (waitHandle(news(), deadline) < 0 && stopSignal()) {
            // Each board stops at its next request, its line put back.
            stopped = stopSignal();
            SetEvent(relay());
        }
    }
}

int endChild(child& c, std::string& report) {
    char buf[4096];
    for (DWORD got = 0; ReadFile(handleOf(c.result), buf, sizeof buf, &got, nullptr) && got > 0;)
        report.append(buf, got);
    CloseHandle(handleOf(c.result));
    WaitForSingleObject(handleOf(c.id), INFINITE);
    DWORD status = 255;
    GetExitCodeProcess(handleOf(c.id), &status);
    CloseHandle(handleOf(c.id));
    return static_cast<int>(status);
}

bool boardOfThisProcess(board_task& task) {
    const char* board = std::getenv(BOARD);
    if (!board || !*board) return false;
    task.name = board;
    if (const char* n = std::getenv(BOARD_SERIAL); n && *n) task.serial = std::strtoull(n, nullptr, 10);
    if (const char* h = std::getenv(BOARD_FILE)) task.file_sha256 = h;
    return true;
}

void sendBoardReport(const std::string& report) {
    const char* named = std::getenv(BOARD_RESULT);
    if (!named || !*named) return;
    const HANDLE h = handleOf(std::strtoll(named, nullptr, 10));
    const std::string line = report + "\n";
    DWORD put = 0;
    WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &put, nullptr);  // the parent gone: nobody to tell
    CloseHandle(h);
}

}  // namespace bootlink
