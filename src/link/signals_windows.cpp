#include "link/signals.hpp"

#include <windows.h>
#include <timeapi.h>

#include <csignal>
#include <cstdlib>
#include <thread>

#include "link/transport.hpp"
#include "link/windows.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

// Windows has no stop signals: the console tells its processes of Ctrl-C,
// Ctrl-Break and its own closing through a control handler, which runs on
// a thread of its own. The handler records the stop as the signal it
// stands for (SIGINT for the keys, SIGTERM for the console closed, the user
// logging off, the machine shutting down) and sets the stop event every
// wait also waits on.

namespace bootlink {

namespace {

volatile LONG caught = 0;
volatile LONG caughtCount = 0;
HANDLE stop = nullptr;     // set on a stop, never cleared
HANDLE finished = nullptr; // set when the run has put everything back
bool installed = false;

constexpr DWORD CLOSE_GRACE_MS = 4500;  // Windows ends the process 5 s after the console closed

void record(int sig) {
    InterlockedExchange(&caught, sig);
    InterlockedIncrement(&caughtCount);
    SetEvent(stop);
}

BOOL WINAPI onConsoleEvent(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
        record(SIGINT);
        return TRUE;  // handled: the run ends itself, its line put back
    }
    // The console is going away: the process ends when this returns, so
    // hold it until the run has put the line back (or Windows' grace ends).
    record(SIGTERM);
    WaitForSingleObject(finished, CLOSE_GRACE_MS);
    return TRUE;
}

// A board's process of many: its parent passes a stop on through an event
// it inherited (the console's own keys reach it too, by the console).
void watchParent() {
    const char* named = std::getenv("BOOTLINK_STOP_EVENT");
    if (!named || !*named) return;
    const HANDLE parent = reinterpret_cast<HANDLE>(static_cast<intptr_t>(std::strtoll(named, nullptr, 10)));
    std::thread([parent] {
        if (WaitForSingleObject(parent, INFINITE) == WAIT_OBJECT_0 && caught == 0) record(SIGINT);
    }).detach();
}

}  // namespace

HANDLE stopEvent() {
    if (!stop) stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return stop;
}

void catchStopSignals() {
    caught = 0;
    caughtCount = 0;
    stopEvent();
    if (!finished) finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(stop);
    ResetEvent(finished);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    // Waits of a few milliseconds (the pause after a byte) need the
    // system's timer at 1 ms, not its 15.6 ms default.
    timeBeginPeriod(1);
    watchParent();
    installed = true;
}

void releaseStopSignals() {
    if (!installed) return;
    timeEndPeriod(1);
    SetEvent(finished);
    installed = false;
}

int stopSignal() { return static_cast<int>(caught); }

int acceptStopSignal() { return stopSignal(); }

// The handler has run already when it is recorded: nothing is held back.
int stopSignalPending() { return stopSignal(); }

DWORD msUntil(int64_t deadlineNs) {
    if (deadlineNs < 0) return INFINITE;
    const int64_t left = deadlineNs - nowNs();
    if (left <= 0) return 0;
    return static_cast<DWORD>(std::min<int64_t>((left + 999999) / 1000000, 0x7fffffff));
}

int waitHandle(HANDLE handle, int64_t deadlineNs) {
    // A held stop leaves the event set: waited on, it would wake every wait at once.
    const HANDLE both[2] = {handle, stopEvent()};
    const DWORD count = stopSignal() && stopHeld() ? 1 : 2;
    const DWORD r = WaitForMultipleObjects(count, both, FALSE, msUntil(deadlineNs));
    if (r == WAIT_OBJECT_0) return 1;
    if (r == WAIT_TIMEOUT) return 0;
    return -1;
}

bool sleepUntil(int64_t untilNs) {
    for (;;) {
        const int64_t left = untilNs - nowNs();
        if (left <= 0) return true;
        const bool held = stopSignal() && stopHeld();
        if (held) {
            Sleep(msUntil(untilNs));
            continue;
        }
        if (WaitForSingleObject(stopEvent(), msUntil(untilNs)) == WAIT_OBJECT_0) return false;
    }
}

int stopsArrived() { return static_cast<int>(caughtCount); }

std::string systemMessage(DWORD code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = text ? narrow(text) : "error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

// Paths and names come in the ANSI code page (main's argv, the
// environment): the wide calls get them as that page says.
std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
    return bytes;
}

}  // namespace bootlink
