#pragma once

// The files a run reads and writes besides the line. None may hold a run
// up: a pipe is waited on with a bound and a stop signal let in, a file
// read is bounded in size, and a file written must be a regular file (a
// device node, a FIFO or a socket named by mistake is refused, never
// opened for writing, replaced or written into).

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <sys/types.h>  // mode_t

namespace bootlink {

constexpr size_t SMALL_FILE_LIMIT = 1 << 20;  // a board list, a file of defaults, a serial number file
constexpr size_t HEXFILE_LIMIT = 64 << 20;    // a hex file: 2 MiB of program memory is about 6 MiB of text
constexpr int PIPE_IDLE_MS = 10000;           // longest a pipe may give no byte

// A file read whole, or why it was not.
struct file_text {
    enum class problem { none, cannot_open, not_regular, too_large, read_failed };
    std::string text;
    problem failed = problem::none;
    std::string why;       // what went wrong, in words
    bool missing = false;  // it does not exist
};

// Reads all of `path`: a regular file, or a pipe (a FIFO, /dev/stdin, a
// shell's <(...)) waited for until its writer is done, with at most
// PIPE_IDLE_MS between two bytes. A device node, a socket or a directory is
// not read; neither is more than `limit` bytes. A stop signal ends the run
// at once.
file_text readWholeFile(const std::string& path, size_t limit);

// Adds `n` bytes read from a file to `f`, unless they take it past `limit`
// (then `f` says it is too large): false when the reading must stop.
bool keepRead(file_text& f, const char* data, size_t n, size_t limit);

// Opens `path` for writing with `flags` (O_WRONLY and O_APPEND, O_CREAT, ...
// as wanted) and `mode`, only as a regular file: -1, with `why` set, for
// anything else (a FIFO with no reader included: opened non-blocking, it
// cannot hold the run). The descriptor is blocking again once checked.
int openRegularFile(const std::string& path, int flags, mode_t mode, std::string& why);

constexpr int LOCK_WAIT_MS = 10000;  // longest wait for another run's lock on a shared file

// Takes the exclusive lock of `fd`, waiting for another holder at most
// LOCK_WAIT_MS; false when that ran out or a stop signal came (a run stuck
// elsewhere must not stop this one for ever).
bool lockWithin(int fd);

// Whether two paths name the same file, links followed.
bool sameFile(const std::string& a, const std::string& b);

// What keeps `path` from being a file the run writes: it exists and is not
// a regular file, or it is the run's own line or its hex file. Empty when
// nothing does.
std::string notWritable(const std::string& path, const std::string& device, const std::string& hexfile);

// The SHA-256 of `bytes`, as 64 lower-case hexadecimal digits (nettle, or
// Windows' own CNG).
std::string sha256Hex(std::string_view bytes);

// `n` bytes as lower-case hexadecimal digits, two a byte.
std::string lowerHex(const unsigned char* bytes, size_t n);

// A stream that reads `text` (which must outlive it); nullptr (errno set)
// when none could be made.
FILE* readingStream(std::string& text);

// Pushes what was written to `fd` to the disk; false (errno set) when it failed.
bool syncFile(int fd);

// Puts `from` in the place of `to` in one step (a crash leaves one or the
// other, whole); false (errno set) when it could not.
bool replaceFile(const std::string& from, const std::string& to);

// Creates `path`, which must not exist yet, for this user alone to read
// (0600): its descriptor, or -1 (errno set).
int createPrivateFile(const std::string& path);

// A new file beside `path` for its new content, readable as any new file:
// its descriptor, with its name in `temp`; -1 (errno set) when none could be made.
int makeTempBeside(const std::string& path, std::string& temp);

// Where a user's files of this tool live: the file of defaults
// ($XDG_CONFIG_HOME/bootlink/config.toml, %APPDATA%\bootlink\config.toml), and
// the folder for kept files when the current one cannot take them
// ($XDG_STATE_HOME/bootlink, %LOCALAPPDATA%\bootlink; made when missing).
// Empty when the environment names no home.
std::string userDefaultsFile();
std::string stateFolder();

// This process's number, for names no other run takes.
long processId();

// Standard output: whether it is a terminal (that can redraw a line), and
// how wide; 0 when not known.
bool outputIsTerminal();
int outputColumns();

// Readies the standard streams before anything is opened: 0, 1 and 2 held
// (a closed one would be taken by the line), output written as bytes and
// synchronously, a reader that goes away (| head) a failed write rather than
// the end of the run.
void prepareStandardStreams();

}  // namespace bootlink
