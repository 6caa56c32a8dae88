#include "commands/files.hpp"

#include <windows.h>
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "link/signals.hpp"
#include "link/transport.hpp"
#include "link/windows.hpp"
#include "report/output.hpp"

// The files of a run on Windows: opened in binary (no CRLF translation,
// bytes as they are) and not inherited by a board's process, locked with
// LockFileEx, replaced with MoveFileEx, hashed by CNG.

namespace bootlink {

namespace {

namespace fs = std::filesystem;

constexpr int BINARY = _O_BINARY | _O_NOINHERIT;

struct descriptor {
    int fd;
    ~descriptor() {
        if (fd >= 0) _close(fd);
    }
};

HANDLE handleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// errno for a Windows error, for the messages that say strerror(errno).
int errnoOf(DWORD e) {
    switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_DISK_FULL: return ENOSPC;
    default: return EIO;
    }
}

// A pipe's bytes as they come, with at most PIPE_IDLE_MS between two; a
// stop ends the run. false with `why` when it failed or went quiet.
bool readPipe(HANDLE pipe, file_text& f, size_t limit) {
    int64_t idleUntil = nowNs() + static_cast<int64_t>(PIPE_IDLE_MS) * 1000000;
    char buf[65536];
    for (;;) {
        checkInterrupted();
        DWORD waiting = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr))
            return GetLastError() == ERROR_BROKEN_PIPE;  // its writer is done
        if (waiting == 0) {
            if (nowNs() >= idleUntil) {
                f.failed = file_text::problem::read_failed;
                f.why = "nothing came from it for " + std::to_string(PIPE_IDLE_MS / 1000) + " s";
                return false;
            }
            sleepUntil(nowNs() + 5000000);
            continue;
        }
        DWORD got = 0;
        if (!ReadFile(pipe, buf, std::min<DWORD>(waiting, sizeof buf), &got, nullptr))
            return GetLastError() == ERROR_BROKEN_PIPE;
        if (!keepRead(f, buf, got, limit)) return false;
        idleUntil = nowNs() + static_cast<int64_t>(PIPE_IDLE_MS) * 1000000;
    }
}

}  // namespace

file_text readWholeFile(const std::string& path, size_t limit) {
    file_text f;
    checkInterrupted();
    std::error_code ec;
    // A device (NUL, COM5) is never opened as a file: opening a port has
    // effects of its own.
    const fs::file_status st = fs::status(widen(path), ec);
    if (!ec && fs::exists(st) && !fs::is_regular_file(st)) {
        f.failed = file_text::problem::not_regular;
        f.why = fs::is_directory(st) ? std::strerror(EISDIR) : "not a regular file";
        return f;
    }
    const descriptor d{_wopen(widen(path).c_str(), _O_RDONLY | BINARY)};
    if (d.fd < 0) {
        f.missing = errno == ENOENT;
        f.failed = file_text::problem::cannot_open;
        f.why = std::strerror(errno);
        return f;
    }
    const DWORD type = GetFileType(handleOf(d.fd));
    if (type == FILE_TYPE_PIPE) {
        if (!readPipe(handleOf(d.fd), f, limit) && f.failed == file_text::problem::none) {
            f.failed = file_text::problem::read_failed;
            f.why = systemMessage(GetLastError());
        }
        return f;
    }
    if (type != FILE_TYPE_DISK) {
        f.failed = file_text::problem::not_regular;
        f.why = "not a regular file";
        return f;
    }
    char buf[65536];
    for (;;) {
        const int n = _read(d.fd, buf, sizeof buf);
        if (n == 0) return f;
        if (n < 0) {
            f.failed = file_text::problem::read_failed;
            f.why = std::strerror(errno);
            return f;
        }
        if (!keepRead(f, buf, static_cast<size_t>(n), limit)) return f;
    }
}

int openRegularFile(const std::string& path, int flags, mode_t, std::string& why) {
    std::error_code ec;
    const fs::file_status st = fs::status(widen(path), ec);
    if (!ec && fs::exists(st) && !fs::is_regular_file(st)) {
        why = "not a regular file";
        return -1;
    }
    const int fd = _wopen(widen(path).c_str(), flags | BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (GetFileType(handleOf(fd)) != FILE_TYPE_DISK) {
        _close(fd);
        why = "not a regular file";
        return -1;
    }
    return fd;
}

bool lockWithin(int fd) {
    const int64_t giveUp = nowNs() + static_cast<int64_t>(LOCK_WAIT_MS) * 1000000;
    for (;;) {
        OVERLAPPED whole {};
        if (LockFileEx(handleOf(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole))
            return true;
        if (GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING) return false;
        if (nowNs() >= giveUp || stopSignal()) return false;
        sleepUntil(nowNs() + 10000000);
    }
}

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return !a.empty() && !b.empty() && fs::equivalent(widen(a), widen(b), ec) && !ec;
}

std::string sha256Hex(std::string_view bytes) {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    UCHAR digest[32] = {};
    const bool ok = BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
                    BCRYPT_SUCCESS(BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0)) &&
                    BCRYPT_SUCCESS(BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                                  static_cast<ULONG>(bytes.size()), 0)) &&
                    BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0));
    if (hash) BCryptDestroyHash(hash);
    if (alg) BCryptCloseAlgorithmProvider(alg, 0);
    if (!ok) return {};
    return lowerHex(digest, sizeof digest);
}

// No memory streams here: a temporary file of the text, gone when closed.
FILE* readingStream(std::string& text) {
    wchar_t folder[MAX_PATH + 1], name[MAX_PATH + 1];
    if (!GetTempPathW(MAX_PATH + 1, folder) || !GetTempFileNameW(folder, L"blk", 0, name)) {
        errno = errnoOf(GetLastError());
        return nullptr;
    }
    const HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = errnoOf(GetLastError());
        return nullptr;
    }
    DWORD put = 0;
    if (!text.empty() && (!WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &put, nullptr) || put != text.size())) {
        errno = errnoOf(GetLastError());
        CloseHandle(h);
        return nullptr;
    }
    SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    FILE* stream = fd >= 0 ? _fdopen(fd, "rb") : nullptr;
    if (!stream && fd >= 0) _close(fd);
    if (!stream && fd < 0) CloseHandle(h);
    return stream;
}

bool syncFile(int fd) { return _commit(fd) == 0; }

bool replaceFile(const std::string& from, const std::string& to) {
    if (MoveFileExW(widen(from).c_str(), widen(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    errno = errnoOf(GetLastError());
    return false;
}

int createPrivateFile(const std::string& path) {
    return _wopen(widen(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | BINARY, _S_IREAD | _S_IWRITE);
}

int makeTempBeside(const std::string& path, std::string& temp) {
    for (int k = 0; k < 100; ++k) {
        temp = path + "." + std::to_string(processId()) + "-" + std::to_string(k) + ".tmp";
        const int fd = _wopen(widen(temp).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

namespace {

std::string environmentFolder(const char* variable) {
    const char* v = std::getenv(variable);
    return v && *v ? std::string(v) + "\\bootlink" : std::string();
}

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

bool virtualTerminal = false;  // the console redraws a line with escape sequences
DWORD consoleMode = 0;         // as we found it, put back on the way out

void putConsoleBack() { SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), consoleMode); }

}  // namespace

std::string userDefaultsFile() {
    const std::string dir = environmentFolder("APPDATA");
    return dir.empty() ? dir : dir + "\\config.toml";
}

std::string stateFolder() {
    const std::string dir = environmentFolder("LOCALAPPDATA");
    std::error_code ec;
    if (!dir.empty()) fs::create_directories(widen(dir), ec);
    return dir;
}

long processId() { return static_cast<long>(GetCurrentProcessId()); }

bool outputIsTerminal() { return virtualTerminal; }

int outputColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

void prepareStandardStreams() {
    // Bytes as they are: a script compares the output, and the hex files
    // written to standard output are the same files as on Linux.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) outputLost(EBADF);
    // The progress bar's redraw: a console asked to take escape
    // sequences; one that refuses gets the plain quarter lines.
    if (!GetConsoleMode(output, &consoleMode)) return;
    virtualTerminal = (consoleMode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
                      SetConsoleMode(output, consoleMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    if (!(consoleMode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)) std::atexit(putConsoleBack);
}

}  // namespace bootlink
