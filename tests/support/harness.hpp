#pragma once

// Runs the real bootlink binary against the simulated device over a real
// pseudo-terminal and collects what a user or script would see.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/device.hpp"

namespace testing_support {

struct run_result {
    int status = -1;       // exit status, or 128 + signal
    bool timed_out = false;
    std::string out;       // standard output, whole
    std::string err;       // standard error, whole
    std::string tty;       // the terminal the tool was pointed at
    double seconds = 0;    // wall time of the process
    double cpu_seconds = 0;  // its user and system CPU time
    long maxrss_kb = 0;    // peak resident memory of the tool (sampled every 5 ms)
    bool settings_restored = false;  // the line's terminal settings after the run equal those before
    double signalled_at = -1;  // seconds from the start when the signal was sent (or `act` done)
};

struct run_options {
    std::string cwd;          // working directory of the tool (default: current)
    int timeout_ms = 60000;   // the tool is killed after this
    bool with_device = true;  // false: no pty, "--device" is not added
    long file_size_limit = -1;  // RLIMIT_FSIZE of the tool in bytes (writes past it fail), -1: none
    // Standard output of the tool: "" a pipe read into run_result::out;
    // "tty" a terminal, also read into run_result::out; "closed";
    // "broken-pipe" (a pipe nobody reads); else a file path opened for
    // appending.
    std::string stdout_mode;
    std::string line_noise;     // bytes the device sent before the tool opened the line
    bool hold_lock = false;     // another program holds the line's lock during the run
    int signal_after_ms = -1;   // send `signal` to the tool this long after it started,
    std::string signal_after;   // or, if set, after this text appeared on its standard output
    int signal = 0;
    std::function<void()> act;  // done instead of sending `signal` (freezing the device, say)
    int ignored_signal = 0;     // started with this signal ignored (nohup, a script's background job)
    std::vector<std::string> wrapper;  // a command the tool runs under (strace for the bench), or none
    // Variables set for the tool. Unless set here, no file of defaults is
    // found outside the run's folder: a developer's own ~/.config/bootlink
    // must not change what a test sees.
    std::map<std::string, std::string> env;
    // Given the simulator's terminal before the run, returns what to name
    // as the device instead (a network port a server exports it on).
    std::function<std::string(const std::string& pty)> front;
};

inline run_options in_dir(const std::string& cwd) {
    run_options o;
    o.cwd = cwd;
    return o;
}

inline run_options timeout(int ms) {
    run_options o;
    o.timeout_ms = ms;
    return o;
}

// Spawns bootlink with "--device <pty>" followed by `args`, while `dev` serves
// the other end of the pty in a thread. Every "@TTY" inside an argument is
// replaced by the pty's path.
run_result run_tool(bootsim::device& dev, const std::vector<std::string>& args,
                    const run_options& options = {});

// Spawns bootlink with exactly `args` and no device behind it.
run_result run_plain(const std::vector<std::string>& args, const run_options& options = {});

// The line every run prints first when "--device" leads the arguments.
std::string device_echo(const run_result& r);

// All received bytes as "FF 0F 0F ..." (upper case, single blanks).
std::string hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> received(const bootsim::device& dev);

// A fresh directory under /tmp, removed with everything in it.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// bootlink-sim as a program of its own, serving the pseudo-terminal it
// links at `link` until this goes out of scope: for runs that share one
// line, or that name the device another way than --device.
class sim_process {
public:
    sim_process(const std::string& link, std::vector<std::string> args = {});
    ~sim_process();
    sim_process(const sim_process&) = delete;
    sim_process& operator=(const sim_process&) = delete;
    const std::string& link() const { return link_; }
    // Stops the device dead (SIGSTOP): it neither reads nor answers, its
    // terminal stays open. The end of the scope ends it all the same.
    void freeze() const;

private:
    int pid_ = -1;
    std::string link_;
};

// A real ser2net serving the terminal `pty` on 127.0.0.1 until this goes
// out of scope: raw TCP, or telnet with RFC 2217, with TCP_NODELAY and no
// character delay, as the README tells a rack to set it up.
class ser2net_server {
public:
    // `clients` > 1: that many may share the port (max-connections), as a
    // farm's server may allow. `tuned`: the README's settings (tcp nodelay,
    // chardelay off); else ser2net's own defaults, as a farm's exporter
    // often leaves it.
    ser2net_server(const std::string& pty, bool rfc2217, int clients = 1, bool tuned = true);
    ~ser2net_server();
    ser2net_server(const ser2net_server&) = delete;
    ser2net_server& operator=(const ser2net_server&) = delete;
    // "socket://127.0.0.1:PORT" or "rfc2217://127.0.0.1:PORT".
    const std::string& url() const { return url_; }
    // Stops the server dead (SIGSTOP): connections stay open, nothing moves.
    void freeze() const;

private:
    int pid_ = -1;
    temp_dir dir_;
    std::string url_;
};

// A TCP port on 127.0.0.1 that no one listens on now.
int free_tcp_port();

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);

}  // namespace testing_support
