#include "link/terminal.hpp"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "link/signals.hpp"
#include "link/windows.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

// A COM port: opened for overlapped I/O, so that every read and write is a
// wait on its completion beside the stop event, with the run's deadline,
// and is cancelled (its bytes kept) when either comes first.

namespace bootlink {

namespace {

// A UART divides its clock: what it reports may be a hair off the rate asked.
bool closeEnough(int got, int asked) { return got > 0 && std::abs(got - asked) * 50 <= asked; }

constexpr int64_t DRAIN_LIMIT_NS = 1000000000;  // longest wait at close for our last bytes to leave
constexpr DWORD FIRST_BYTE_MS = 60000;
constexpr int64_t COMPLETION_POLL_NS = 2000000;  // how often a transfer's completion is asked for          // a read's own bound; ours is the deadline, by cancelling

// "COM5" and "\\.\COM12" alike: the name Windows opens.
std::wstring portPath(const std::string& name) {
    if (name.rfind("\\\\.\\", 0) == 0) return widen(name);
    return L"\\\\.\\" + widen(name);
}

// One overlapped transfer on the port, ended by its completion, the
// deadline or a stop: the bytes moved (what completed before a cancel
// included), or -1 when the port failed (`error` says how).
class overlapped_io {
public:
    overlapped_io() { ov_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~overlapped_io() { CloseHandle(ov_.hEvent); }
    overlapped_io(const overlapped_io&) = delete;
    overlapped_io& operator=(const overlapped_io&) = delete;

    // `woken` says what ended the wait: 1 completed, 0 deadline, -1 stop.
    long run(HANDLE port, bool writing, void* data, DWORD n, int64_t deadlineNs, int& woken, DWORD& error) {
        ResetEvent(ov_.hEvent);
        ov_.Offset = ov_.OffsetHigh = 0;
        DWORD moved = 0;
        const BOOL done = writing ? WriteFile(port, data, n, &moved, &ov_) : ReadFile(port, data, n, &moved, &ov_);
        woken = 1;
        if (done) return static_cast<long>(moved);
        if (GetLastError() != ERROR_IO_PENDING) {
            error = GetLastError();
            return -1;
        }
        // Its completion is asked for as well as waited for: a driver (Wine's
        // on a terminal, for one) may finish a transfer without setting the event.
        for (;;) {
            const int64_t slice = nowNs() + COMPLETION_POLL_NS;
            woken = waitHandle(ov_.hEvent, deadlineNs < 0 ? slice : std::min(slice, deadlineNs));
            if (GetOverlappedResult(port, &ov_, &moved, FALSE)) {
                woken = 1;
                return static_cast<long>(moved);
            }
            if (GetLastError() != ERROR_IO_INCOMPLETE) {
                error = GetLastError();
                return -1;
            }
            if (woken < 0 || (deadlineNs >= 0 && nowNs() >= deadlineNs)) break;
        }
        woken = woken < 0 ? -1 : 0;
        CancelIo(port);
        // After a cancel, what completed before it still counts: never lose a byte.
        if (!GetOverlappedResult(port, &ov_, &moved, TRUE) && GetLastError() != ERROR_OPERATION_ABORTED) {
            error = GetLastError();
            return -1;
        }
        return static_cast<long>(moved);
    }

private:
    OVERLAPPED ov_ {};
};

class com_port : public transport {
public:
    com_port(HANDLE h, std::string name) : h_(h), name_(std::move(name)) {
        saved_ = GetCommState(h_, &settings_) && GetCommTimeouts(h_, &timeouts_);
        // A read completes as soon as a byte is there, or after
        // FIRST_BYTE_MS with none; writes have no bound of their own.
        COMMTIMEOUTS t {};
        t.ReadIntervalTimeout = MAXDWORD;
        t.ReadTotalTimeoutMultiplier = MAXDWORD;
        t.ReadTotalTimeoutConstant = FIRST_BYTE_MS;
        SetCommTimeouts(h_, &t);
    }
    ~com_port() override { com_port::close(); }
    com_port(const com_port&) = delete;
    com_port& operator=(const com_port&) = delete;

    void close() override {
        if (h_ == INVALID_HANDLE_VALUE) return;
        drainWithin(DRAIN_LIMIT_NS);
        if (saved_) {
            SetCommState(h_, &settings_);
            SetCommTimeouts(h_, &timeouts_);
        }
        CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }

    bool configure(int baud, bool confirm) override {
        DCB dcb {};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(h_, &dcb)) return false;
        // 8N1, no flow control of either kind, DTR and RTS on (as a
        // terminal opened without hardware flow control has them).
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = dcb.fInX = FALSE;
        dcb.fErrorChar = dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        dcb.BaudRate = DEFAULT_BAUD;
        SetCommState(h_, &dcb);
        if (baud == DEFAULT_BAUD && !confirm) return true;
        dcb.BaudRate = static_cast<DWORD>(baud);
        DCB back {};
        back.DCBlength = sizeof back;
        return SetCommState(h_, &dcb) && GetCommState(h_, &back) && closeEnough(static_cast<int>(back.BaudRate), baud);
    }

    size_t dropInput() override {
        DWORD errors = 0;
        COMSTAT st {};
        const size_t waiting = ClearCommError(h_, &errors, &st) ? st.cbInQue : 0;
        PurgeComm(h_, PURGE_RXABORT | PURGE_RXCLEAR);
        return waiting;
    }

    void write(const uint8_t* bytes, size_t n, int64_t deadlineNs) override {
        while (n > 0) {
            checkInterrupted();
            int woken = 0;
            DWORD error = 0;
            const long w = io_.run(h_, true, const_cast<uint8_t*>(bytes), static_cast<DWORD>(n), deadlineNs, woken, error);
            if (w < 0)
                fail(result_kind::device_error, "\n[ERROR, could not write to serial device (%s)]\n",
                     systemMessage(error).c_str());
            bytes += w;
            n -= static_cast<size_t>(w);
            if (n > 0 && woken == 0)
                fail(result_kind::no_reply,
                     "\n[ERROR, the line takes no more bytes: the device (or the adapter) has stopped reading]\n");
        }
    }

    size_t read(uint8_t* into, size_t most, int64_t deadlineNs) override {
        for (;;) {
            checkInterrupted();
            if (deadlineNs >= 0 && nowNs() >= deadlineNs) return 0;
            const long n = readSome(into, most, deadlineNs);
            if (n > 0) return static_cast<size_t>(n);
            if (n < 0)
                fail(result_kind::device_error, "\n[ERROR, could not read from serial device (%s)]\n",
                     systemMessage(lastError_).c_str());
        }
    }

protected:
    drop dropUntil(int64_t untilNs) override {
        uint8_t scratch[256];
        const long n = readSome(scratch, sizeof scratch, untilNs);
        if (n < 0) return drop::failed;
        return n == 0 && nowNs() >= untilNs ? drop::quiet : drop::dropped;
    }

private:
    // What has come, at once; with nothing there yet, a read of one byte
    // waited for (a driver may hold a larger read until it is full, whatever
    // the timeouts say), the rest taken by the next read.
    long readSome(uint8_t* into, size_t most, int64_t deadlineNs) {
        DWORD errors = 0;
        COMSTAT st {};
        const DWORD waiting = ClearCommError(h_, &errors, &st) ? st.cbInQue : 0;
        const DWORD n = waiting > 0 ? std::min<DWORD>(waiting, static_cast<DWORD>(most)) : 1;
        int woken = 0;
        return io_.run(h_, false, into, n, deadlineNs, woken, lastError_);
    }

    // What we sent must leave the adapter before its speed is put back, but
    // a line whose flow is held would keep it waiting: what has not left by
    // then is thrown away.
    void drainWithin(int64_t limitNs) {
        const int64_t giveUp = nowNs() + limitNs;
        DWORD errors = 0;
        COMSTAT st {};
        while (ClearCommError(h_, &errors, &st) && st.cbOutQue > 0) {
            if (nowNs() >= giveUp) {
                PurgeComm(h_, PURGE_TXABORT | PURGE_TXCLEAR);
                return;
            }
            Sleep(1);
        }
    }

    HANDLE h_;
    std::string name_;
    bool saved_ = false;
    DCB settings_ {};
    COMMTIMEOUTS timeouts_ {};
    overlapped_io io_;
    DWORD lastError_ = 0;
};

}  // namespace

std::unique_ptr<transport> openTerminal(const std::string& path, bool /*exclusive: a COM port is never shared*/) {
    const HANDLE h = CreateFileW(portPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION)  // Windows opens a COM port to one program
            fail(result_kind::device_error, "ERROR: serial device '%s' is in use by another program\n", path.c_str());
        out("ERROR: could not open serial device '%s'\n", path.c_str());
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)
            fail(result_kind::device_error, "[reason: %s; bootlink --list-devices lists the serial devices]\n",
                 systemMessage(e).c_str());
        fail(result_kind::device_error, "[reason: %s]\n", systemMessage(e).c_str());
    }
    // A file or another device named by mistake must not get the wake byte
    // and a request: only a port with a line state is a serial line.
    DCB dcb {};
    dcb.DCBlength = sizeof dcb;
    if (GetFileType(h) != FILE_TYPE_CHAR || !GetCommState(h, &dcb)) {
        CloseHandle(h);
        fail(result_kind::device_error, "ERROR: '%s' is not a serial device\n", path.c_str());
    }
    return std::make_unique<com_port>(h, path);
}

}  // namespace bootlink
