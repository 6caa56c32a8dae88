#pragma once

// The Windows side of the link: every wait is a WaitForMultipleObjects on
// what is awaited and the stop event the console's control handler sets.
// Included by the Windows files alone.

#include <windows.h>

#include <cstdint>
#include <string>

namespace bootlink {

// Set when Ctrl-C, Ctrl-Break or the console's closing asks the run to stop
// (and not cleared: every later wait returns at once).
HANDLE stopEvent();

// Waits for `handle` until `deadlineNs` (< 0: no limit), or a stop: 1 it
// was signalled, 0 the deadline passed, -1 a stop came first (a stop held
// back by a stop_hold does not count) or the wait failed.
int waitHandle(HANDLE handle, int64_t deadlineNs);

// Milliseconds left until `deadlineNs` for a Windows wait (INFINITE for none).
DWORD msUntil(int64_t deadlineNs);

// Windows' message for an error code (GetLastError, WSAGetLastError), one line.
std::string systemMessage(DWORD code);

// UTF-16 and back: Windows' own calls take wide strings; the tool's are UTF-8.
std::wstring widen(const std::string& text);
std::string narrow(const std::wstring& text);

}  // namespace bootlink
