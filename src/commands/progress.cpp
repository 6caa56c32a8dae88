#include "commands/progress.hpp"

#include <string>
#include <unistd.h>

#include "report/output.hpp"

namespace bootlink {

namespace {

class silent_progress : public progress {
public:
    void advance(uint64_t) override {}
};

class bar_progress : public progress {
public:
    explicit bar_progress(uint64_t total) : total_(total) {}
    void advance(uint64_t done) override {
        const auto now = std::chrono::steady_clock::now();
        if (done < total_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        constexpr int width = 40;
        const int pct = total_ ? static_cast<int>(done * 100 / total_) : 100;
        const std::string bar(static_cast<size_t>(pct * width / 100), '#');
        out("\r  [%-40s] %3d%%", bar.c_str(), pct);
        if (done >= total_) out("\n");
        flush();
    }

private:
    uint64_t total_;
    std::chrono::steady_clock::time_point last_{};
};

class quarter_progress : public progress {
public:
    explicit quarter_progress(uint64_t total) : total_(total) {}
    void advance(uint64_t done) override {
        const int quarter = total_ ? static_cast<int>(done * 4 / total_) : 4;
        while (shown_ < quarter) out("  %d%%\n", 25 * ++shown_);
    }

private:
    uint64_t total_;
    int shown_ = 0;
};

}  // namespace

std::unique_ptr<progress> makeProgress(uint64_t total, bool shown) {
    if (!shown) return std::make_unique<silent_progress>();
    if (isatty(1)) return std::make_unique<bar_progress>(total);
    return std::make_unique<quarter_progress>(total);
}

}  // namespace bootlink
