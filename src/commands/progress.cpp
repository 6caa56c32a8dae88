#include "commands/progress.hpp"

#include <algorithm>
#include <string>

#include "commands/files.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

using clock_type = std::chrono::steady_clock;

#define CLEAR_TO_EOL "\x1b[K"  // the terminal's erase-in-line

double since(clock_type::time_point t0) { return std::chrono::duration<double>(clock_type::now() - t0).count(); }

class silent_progress : public progress {
public:
    void advance(uint64_t) override {}
};

// "12.3 KiB" and the like: bytes as a person reads them.
std::string amount(double n) {
    char text[32];
    if (n < 10 * 1024)
        std::snprintf(text, sizeof text, "%.0f", n);
    else
        std::snprintf(text, sizeof text, "%.1fK", n / 1024);
    return text;
}

// On a terminal: one line redrawn in place, as wide as the terminal, with
// the time so far, done of total, the rate and the time left.
class bar_progress : public progress {
public:
    explicit bar_progress(uint64_t total) : total_(total), start_(clock_type::now()) {
        if (const int columns = outputColumns(); columns > 0) width_ = columns;
    }
    void advance(uint64_t done) override {
        const auto now = clock_type::now();
        if (done < total_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        const double elapsed = since(start_);
        const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
        char tail[96];
        if (done >= total_ || rate <= 0)
            std::snprintf(tail, sizeof tail, " %s/%s %5.1fs", amount(static_cast<double>(done)).c_str(),
                          amount(static_cast<double>(total_)).c_str(), elapsed);
        else
            std::snprintf(tail, sizeof tail, " %s/%s %5.1fs %s/s %.0fs left", amount(static_cast<double>(done)).c_str(),
                          amount(static_cast<double>(total_)).c_str(), elapsed, amount(rate).c_str(),
                          static_cast<double>(total_ - done) / rate);
        const int pct = total_ ? static_cast<int>(done * 100 / total_) : 100;
        // "  [####    ] 100%" and the tail, never wider than the terminal (a
        // line that wraps would stack up bars).
        const int room = width_ - 1 - 2 - 2 - 5 - static_cast<int>(std::string(tail).size());
        const int barWidth = std::clamp(room, 0, 50);
        const std::string bar(static_cast<size_t>(pct * barWidth / 100), '#');
        // Each redraw clears to the end of the line: a shorter tail ("0.0s
        // left" after "10.7s left") must not leave the old one's end behind.
        if (barWidth > 0)
            out("\r  [%-*s] %3d%%%s" CLEAR_TO_EOL, barWidth, bar.c_str(), pct, room >= 0 ? tail : "");
        else
            out("\r  %3d%%" CLEAR_TO_EOL, pct);
        if (done >= total_) out("\n");
        flush();
    }

private:
    uint64_t total_;
    clock_type::time_point start_;
    clock_type::time_point last_{};
    int width_ = 80;
};

// Elsewhere (a log, CI): a plain line at each quarter, never a carriage
// return; the last one says how long the phase took.
class quarter_progress : public progress {
public:
    explicit quarter_progress(uint64_t total) : total_(total), start_(clock_type::now()) {}
    void advance(uint64_t done) override {
        const int quarter = total_ ? static_cast<int>(done * 4 / total_) : 4;
        while (shown_ < quarter) {
            ++shown_;
            if (shown_ < 4)
                out("  %d%%\n", 25 * shown_);
            else
                out("  100%% in %.1f s\n", since(start_));
        }
    }

private:
    uint64_t total_;
    clock_type::time_point start_;
    int shown_ = 0;
};

// --json: the phase and how far it has come, as events.
class event_progress : public progress {
public:
    explicit event_progress(uint64_t total) : total_(total) { phaseStarted(total); }
    void advance(uint64_t done) override { phaseAdvanced(done, total_); }

private:
    uint64_t total_;
};

}  // namespace

progress_form progressFor(bool shown) {
    if (!shown) return progress_form::none;
    return outputIsTerminal() ? progress_form::bar : progress_form::quarters;
}

std::unique_ptr<progress> makeProgress(uint64_t total, progress_form form) {
    if (sendingEvents()) return std::make_unique<event_progress>(total);
    switch (form) {
    case progress_form::bar: return std::make_unique<bar_progress>(total);
    case progress_form::quarters: return std::make_unique<quarter_progress>(total);
    case progress_form::none: break;
    }
    return std::make_unique<silent_progress>();
}

}  // namespace bootlink
