#include "harness.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <netinet/in.h>
#include <sys/socket.h>
#include <arpa/inet.h>
#include <cstdio>
#include <unistd.h>

#include "sim/pty.hpp"

namespace testing_support {

namespace {

// Peak resident memory of the running tool, in KiB, from its own memory map
// (VmHWM). The rusage of a forked child would also count the pages it
// shared with this (much larger) test process before the exec.
long peak_kb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    bool tool = false;
    while (std::getline(status, line)) {
        // Exactly the tool: before its exec the child is still a copy of us.
        if (line.rfind("Name:", 0) == 0) tool = line == "Name:\tbootlink";
        if (tool && line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

run_result spawn(const std::vector<std::string>& args, const run_options& options) {
    std::vector<std::string> argv_store = options.wrapper;
    argv_store.push_back(BOOTLINK_BIN);
    argv_store.insert(argv_store.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_store) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out_pipe[2], err_pipe[2], dead_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 || pipe2(dead_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    close(dead_pipe[0]);  // every write to dead_pipe[1] fails with EPIPE
    // "tty": standard output is a terminal, read from its master side.
    // The terminal is opened before the fork: its master must never see a
    // moment with no one holding the other side.
    bootsim::pty_line out_tty;
    int out_tty_slave = -1;
    if (options.stdout_mode == "tty") {
        out_tty = bootsim::open_pty();
        out_tty_slave = open(out_tty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        const std::string& mode = options.stdout_mode;
        if (mode.empty()) {
            dup2(out_pipe[1], 1);
        } else if (mode == "closed") {
            close(1);
        } else if (mode == "tty") {
            dup2(out_tty_slave, 1);
        } else if (mode == "broken-pipe") {
            dup2(dead_pipe[1], 1);
        } else {
            const int logfd = open(mode.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
            dup2(logfd, 1);
        }
        dup2(err_pipe[1], 2);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(120);
        if (options.file_size_limit >= 0) {
            const struct rlimit limit {static_cast<rlim_t>(options.file_size_limit), static_cast<rlim_t>(options.file_size_limit)};
            setrlimit(RLIMIT_FSIZE, &limit);
            signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
        }
        if (options.ignored_signal) signal(options.ignored_signal, SIG_IGN);
        setenv("XDG_CONFIG_HOME", "/nonexistent/bootlink-tests", 1);
        for (const auto& [name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
        options.wrapper.empty() ? execv(argv[0], argv.data()) : execvp(argv[0], argv.data());
        _exit(121);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    close(dead_pipe[1]);
    if (out_tty_slave >= 0) close(out_tty_slave);

    run_result r;
    const auto deadline = start + std::chrono::milliseconds(options.timeout_ms);
    if (out_tty.master >= 0) {  // read the terminal instead of the (unused) pipe
        close(out_pipe[0]);
        out_pipe[0] = out_tty.master;
    }
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_pipes = 2;
    bool signalled = false;
    std::optional<std::chrono::steady_clock::time_point> signal_from;
    auto next_sample = start;
    while (open_pipes > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            r.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        // Sampled on a clock, not on every wake-up: the tool flushes its
        // output before each byte it reads, and reading /proc for each of
        // those would take the CPU from the run being measured.
        if (r.maxrss_kb == 0 || std::chrono::steady_clock::now() >= next_sample) {  // at once until the exec shows
            r.maxrss_kb = std::max(r.maxrss_kb, peak_kb(pid));
            next_sample = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
        }
        if (options.signal_after_ms >= 0 && !signalled) {
            // A loaded machine may take longer than any fixed time to get the
            // tool where the signal is meant to find it: wait for its output.
            if (options.signal_after.empty())
                signal_from = start;
            else if (!signal_from && r.out.find(options.signal_after) != std::string::npos)
                signal_from = std::chrono::steady_clock::now();
            if (signal_from &&
                std::chrono::steady_clock::now() - *signal_from >= std::chrono::milliseconds(options.signal_after_ms)) {
                options.act ? options.act() : static_cast<void>(kill(pid, options.signal));
                signalled = true;
                r.signalled_at = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            }
        }
        const int n = poll(fds, 2, static_cast<int>(std::min<long>(left, 5)));
        if (n < 0 && errno == EINTR) continue;
        bool drained = false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[65536];
            const ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(got));
                drained = true;
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
            }
        }
        // The tool writes a few bytes before each byte it reads: collect them
        // a millisecond at a time rather than waking for every write, which
        // would take the CPU from the run being measured.
        if (drained) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    struct rusage usage {};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

}  // namespace

run_result run_tool(bootsim::device& dev, const std::vector<std::string>& args,
                    const run_options& options) {
    if (!options.with_device) return run_plain(args, options);
    bootsim::pty_line line = bootsim::open_pty();
    std::vector<std::string> full{"--device", options.front ? options.front(line.path) : line.path};
    for (std::string a : args) {
        for (auto at = a.find("@TTY"); at != std::string::npos; at = a.find("@TTY"))
            a.replace(at, 4, line.path);
        full.push_back(a);
    }
    // Noise waits in the terminal's input queue only while someone holds the
    // terminal open: as a program that used the line before us would have.
    int holder = -1;
    if (!options.line_noise.empty() || options.hold_lock) {
        holder = open(line.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (options.hold_lock && (holder < 0 || flock(holder, LOCK_EX | LOCK_NB) != 0))
            throw std::runtime_error("could not lock the line");
    }
    if (!options.line_noise.empty()) {
        if (holder < 0 || write(line.master, options.line_noise.data(), options.line_noise.size()) < 0)
            throw std::runtime_error("could not put noise on the line");
    }
    // The master end reads and sets the terminal's own settings.
    struct termios before {};
    tcgetattr(line.master, &before);
    std::atomic<bool> stop{false}, served{false};
    // Behind a server (ser2net) the tool's last bytes may still be on their
    // way when it exits: the device serves until the server has closed the
    // line after them, as a real board would still take them.
    std::thread server([&] {
        dev.serve(line.master, stop, options.front ? 1 : 0);
        served = true;
    });
    run_result r;
    try {
        r = spawn(full, options);
    } catch (...) {
        stop = true;
        server.join();
        throw;
    }
    struct termios after {};
    tcgetattr(line.master, &after);
    r.settings_restored = before.c_iflag == after.c_iflag && before.c_oflag == after.c_oflag &&
                          before.c_cflag == after.c_cflag && before.c_lflag == after.c_lflag &&
                          std::memcmp(before.c_cc, after.c_cc, sizeof before.c_cc) == 0 &&
                          cfgetispeed(&before) == cfgetispeed(&after) && cfgetospeed(&before) == cfgetospeed(&after);
    for (int waited = 0; options.front && !served && waited < 3000; waited += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop = true;
    server.join();
    if (holder >= 0) close(holder);
    if (!dev.line_closed) close(line.master);
    r.tty = line.path;
    return r;
}

run_result run_plain(const std::vector<std::string>& args, const run_options& options) {
    return spawn(args, options);
}

std::string device_echo(const run_result& r) {
    return "using device " + r.tty + " for serial comms\n";
}

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        s += buf;
    }
    return s;
}

std::vector<uint8_t> received(const bootsim::device& dev) {
    std::vector<uint8_t> v;
    for (const auto& b : dev.wire) v.push_back(b.value);
    return v;
}

temp_dir::temp_dir() {
    char tmpl[] = "/tmp/bootlink-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream outf(path, std::ios::binary);
    outf << content;
}

bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

int free_tcp_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("no free TCP port");
    close(fd);
    return ntohs(a.sin_port);
}

namespace {

// Whether something listens on 127.0.0.1:port (read from /proc, so that
// asking does not itself make the server open the line).
bool listening(int port) {
    std::ifstream tcp("/proc/net/tcp");
    char want[32];
    std::snprintf(want, sizeof want, "0100007F:%04X", port);
    for (std::string line; std::getline(tcp, line);)
        if (line.find(want) != std::string::npos && line.find(" 0A ") != std::string::npos) return true;
    return false;
}

}  // namespace

ser2net_server::ser2net_server(const std::string& pty, bool rfc2217, int clients, bool tuned) {
    const int port = free_tcp_port();
    const std::string config = dir_.file("ser2net.yaml");
    const std::string tcp = tuned ? "tcp(nodelay=true)" : "tcp";
    write_file(config, "%YAML 1.1\n---\nconnection: &board\n  accepter: " +
                           std::string(rfc2217 ? "telnet(rfc2217)," : "") + tcp + ",127.0.0.1," +
                           std::to_string(port) + "\n  connector: serialdev," + pty + ",19200n81,local\n  options:\n" +
                           (tuned ? "    chardelay: false\n" : "") +
                           (clients > 1 ? "    max-connections: " + std::to_string(clients) + "\n"
                                        : std::string("    kickolduser: true\n")));
    url_ = std::string(rfc2217 ? "rfc2217" : "socket") + "://127.0.0.1:" + std::to_string(port);
    pid_ = fork();
    if (pid_ == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execlp("ser2net", "ser2net", "-n", "-c", config.c_str(), "-P", dir_.file("pid").c_str(), nullptr);
        _exit(127);
    }
    for (int i = 0; i < 300 && !listening(port); ++i) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("ser2net did not start (Debian package ser2net)");
        }
        usleep(10000);
    }
    if (!listening(port)) throw std::runtime_error("ser2net does not listen on " + url_);
}

ser2net_server::~ser2net_server() {
    if (pid_ < 0) return;
    kill(pid_, SIGTERM);
    kill(pid_, SIGCONT);  // a frozen one takes its SIGTERM now
    waitpid(pid_, nullptr, 0);
}

void ser2net_server::freeze() const { kill(pid_, SIGSTOP); }

sim_process::sim_process(const std::string& link, std::vector<std::string> args) : link_(link) {
    pid_ = fork();
    if (pid_ == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        // The simulator is the test's instrument, not what is tested: a
        // sanitized build's leak check at its exit (a tracer that stops the
        // process) can hang on a loaded machine, holding the test up.
        const char* asan = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":detect_leaks=0").c_str(), 1);
        std::vector<std::string> all{BOOTLINK_SIM_BIN, "--link", link, "--quiet"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    for (int i = 0; i < 500 && access(link.c_str(), F_OK) != 0; ++i) usleep(10000);
}

sim_process::~sim_process() {
    kill(pid_, SIGTERM);
    kill(pid_, SIGCONT);  // a frozen one takes its SIGTERM now
    waitpid(pid_, nullptr, 0);
}

void sim_process::freeze() const { kill(pid_, SIGSTOP); }

}  // namespace testing_support
