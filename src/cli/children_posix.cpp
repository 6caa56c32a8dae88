#include "cli/children.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "link/posix.hpp"
#include "link/signals.hpp"
#include "report/output.hpp"

namespace bootlink {

bool startChild(child& c, const board_task&, const board_body& body, std::string& why) {
    int out[2], result[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(result, O_CLOEXEC) != 0) {
        why = std::strerror(errno);
        return false;
    }
    flush();
    const pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        close(result[0]);
        for (int fd = 3; fd < 1024; ++fd)  // the other boards' pipes are theirs
            if (fd != out[1] && fd != result[1]) fcntl(fd, F_SETFD, FD_CLOEXEC);
        dup2(out[1], 1);
        std::string report;
        const int status = body(report);
        report += "\n";
        if (write(result[1], report.data(), report.size()) < 0) {
        }  // the parent is gone: nobody to tell
        _exit(status);
    }
    close(out[1]);
    close(result[1]);
    c.id = pid;
    c.out = out[0];
    c.result = result[0];
    return true;
}

std::vector<size_t> readChildren(const std::vector<child*>& children, int waitMs, int& stopped,
                                 const std::function<void(size_t, const std::string&)>& took) {
    std::vector<struct pollfd> fds;
    for (const child* c : children) fds.push_back({static_cast<int>(c->out), POLLIN, 0});
    const struct timespec ts {waitMs / 1000, (waitMs % 1000) * 1000000L};
    const int r = ppoll(fds.data(), fds.size(), waitMs < 0 ? nullptr : &ts, waitMask());
    if (r < 0 && stopSignal() && !stopped) {
        // Each board stops at its next request, its line put back.
        stopped = stopSignal();
        for (const child* c : children) kill(static_cast<pid_t>(c->id), stopped);
    }
    std::vector<size_t> ended;
    for (size_t i = 0; r > 0 && i < children.size(); ++i) {
        child& c = *children[i];
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        char buf[4096];
        const ssize_t n = read(static_cast<int>(c.out), buf, sizeof buf);
        if (n > 0) {
            took(i, std::string(buf, static_cast<size_t>(n)));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        close(static_cast<int>(c.out));
        c.out = -1;
        ended.push_back(i);
    }
    return ended;
}

int endChild(child& c, std::string& report) {
    char buf[4096];
    for (ssize_t n; (n = read(static_cast<int>(c.result), buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        report.append(buf, static_cast<size_t>(n));
    }
    close(static_cast<int>(c.result));
    int status = 0;
    while (waitpid(static_cast<pid_t>(c.id), &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool boardOfThisProcess(board_task&) { return false; }

void sendBoardReport(const std::string&) {}

}  // namespace bootlink
