#include "commands/flashrows.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "commands/keptfile.hpp"
#include "commands/memories.hpp"
#include "commands/transfer.hpp"
#include "link/signals.hpp"
#include "report/fatal.hpp"
#include "report/output.hpp"

namespace bootlink {

namespace {

using row_bytes = std::array<uint8_t, ROW_BYTES>;

constexpr const char* HOLD_NOTE = "[stopping once the rows already erased are written back]";

}  // namespace

// One --program's program memory on its way to the device.
class row_writer {
public:
    row_writer(action_context& ctx, const programming_plan& plan, memory_work& done)
        : ctx_(ctx), plan_(plan), done_(done), work_(ctx.image),
          dev_(ctx.dev.retries > 0 ? ctx.dev.softened() : ctx.dev) {}

    // The plan's rewrites (rows given in part) one by one, then the other
    // rows to write in large requests.
    void run() {
        const std::vector<uint32_t> rows = firstReads();
        const std::set<uint32_t> toWrite(rows.begin(), rows.end());
        const std::set<uint32_t> rewrites(plan_.rewrites.begin(), plan_.rewrites.end());
        std::vector<uint32_t> partial, whole;
        for (uint32_t r : plan_.rewrites)
            if (toWrite.count(r)) partial.push_back(r);
        for (uint32_t r : rows)
            if (!rewrites.count(r)) whole.push_back(r);
        rewritePartial(partial);
        if (!whole.empty()) writeWhole(whole);  // none when every row is given in part, or already holds the file
    }

    // The rows verified before a request that changes the device went
    // again or a row was rewritten, read back once more: that damaged
    // request may have landed on one of them. Rows verified after the last
    // such request are left. False when there was none.
    bool recheck() {
        std::vector<uint32_t> rows;
        for (const auto& [r, at] : verifiedAt_)
            if (at < suspicion()) rows.push_back(r);
        if (rows.empty()) return false;
        const program_plan p = planFor(work_, rows);
        std::map<uint32_t, std::string> suspect;
        verifyWhole(p.reads, suspect, "reading back %llu bytes of program memory once more\n");
        mend(suspect);
        checkRows();
        return true;
    }

    uint64_t extraRequests() const { return extra_; }
    bool rewrote() const { return rewrites_ > 0; }
    const std::set<uint32_t>& strays() const { return strays_; }

private:
    action_context& ctx_;
    const programming_plan& plan_;
    memory_work& done_;
    flash_image work_;  // the file's rows, the device's own bytes merged into those given in part
    bootloader dev_;    // soft when there are retries: a lost request is answered by the row's rewrite
    std::map<uint32_t, std::string> failed_;  // rows still wrong, and why
    std::map<uint32_t, std::vector<difference>> lastWrong_;  // each row's last read-back, what differed
    uint64_t extra_ = 0;             // requests beyond the plan's: rows read again and rewritten
    uint64_t rewrites_ = 0;          // rows erased and written again
    std::set<uint32_t> strays_;      // rows that read back erased after their writes were acknowledged
    // Each row as last read back right: how many changing requests had
    // gone again (or rows been rewritten) by then.
    std::map<uint32_t, uint64_t> verifiedAt_;

    // Requests that change the device sent again, and rows rewritten, so far.
    uint64_t suspicion() const {
        return (ctx_.dev.counts ? static_cast<uint64_t>(ctx_.dev.counts->write_retries) : 0) + rewrites_;
    }

    uint64_t sent() const { return ctx_.dev.counts ? ctx_.dev.counts->sent : 0; }

    // Runs `work`, counting its requests as ones the plan did not have.
    template <class Work>
    auto beyondPlan(Work work) {
        const uint64_t before = sent();
        auto result = work();
        extra_ += sent() - before;
        return result;
    }

    int retries() const { return ctx_.dev.retries; }

    row_contents readRows(const std::vector<span_request>& reads, const char* phase, const bootloader& dev) {
        return readRowSpans(dev, ctx_.say.progress, reads, phase, done_);
    }

    row_bytes readRow(uint32_t r, const bootloader& dev) {
        row_bytes got{};
        readRange(dev, memory::program, r, got);
        done_.read += ROW_BYTES;
        return got;
    }

    // Reads a row given in part until two reads agree: a reply damaged in a
    // way its checksum cannot see must not be merged and written back.
    row_bytes agreed(uint32_t r, const row_bytes& first, const row_bytes& second) {
        std::vector<row_bytes> reads{first, second};
        for (int extra = 0; reads.back() != reads[reads.size() - 2]; ++extra) {
            for (size_t i = 0; i + 1 < reads.size(); ++i)
                if (reads[i] == reads.back()) return reads.back();
            if (extra > retries())
                fail(result_kind::damaged_line,
                     "[ERROR, row 0x%06x read differently %zu times: the line damages what it reads, nothing was "
                     "erased]\n",
                     r, reads.size());
            reads.push_back(readRow(r, ctx_.dev));
        }
        return reads.back();
    }

    // The plan's first reads; returns the rows to write.
    // Nothing is erased yet, so a read whose request ran out of retries is
    // read again whole, up to the retries, before the run gives up: on a
    // noisy line that is cheaper than a failed run.
    row_contents readBeforeErase(const std::vector<span_request>& reads, const char* phase) {
        for (int round = 0;; ++round) {
            try {
                return readRows(reads, phase, round < retries() ? dev_ : ctx_.dev);
            } catch (const request_failed& f) {
                out("[retry %d of %d: reading the rows again: %s]\n", round + 1, retries(), f.reason);
            }
        }
    }

    std::vector<uint32_t> firstReads() {
        if (plan_.first_reads.empty()) return plan_.rows;
        const char* phase = plan_.skip_unchanged ? "reading %llu bytes to compare\n"
                                                 : "reading %llu bytes of rows the file gives in part\n";
        const row_contents now = readBeforeErase(plan_.first_reads, phase);
        const row_contents again =
            plan_.second_reads.empty() ? row_contents{}
                                       : readBeforeErase(plan_.second_reads, "reading %llu bytes again to check them\n");
        for (uint32_t r : plan_.partial) mergeRow(work_.rows.at(r), agreed(r, now.at(r), again.at(r)));
        if (!plan_.skip_unchanged) return plan_.rows;
        std::vector<uint32_t> changed;
        for (uint32_t r : plan_.rows) {
            const image_row& want = ctx_.image.rows.at(r);
            bool same = true;
            for (uint32_t i = 0; i < ROW_BYTES; ++i) same = same && (!(want.given >> i & 1) || now.at(r)[i] == want.data[i]);
            done_.compared += static_cast<uint64_t>(std::popcount(want.given));
            if (same) continue;
            if (want.whole()) mergeRow(work_.rows.at(r), now.at(r));
            changed.push_back(r);
        }
        out("%zu of %s already hold the file, left alone\n", plan_.rows.size() - changed.size(),
            counted(plan_.rows.size(), "row").c_str());
        return changed;
    }

    void writeBlocks(const span_request& w) {
        writeFlash(dev_, w.address, spanBytes(work_, w));
        done_.written += w.bytes;
    }

    // The bytes of row `r` that read back otherwise than written: every
    // byte, the device's own kept ones too.
    std::vector<difference> wrongIn(uint32_t r, const row_bytes& got) {
        std::vector<difference> diffs;
        const row_bytes& want = work_.rows.at(r).data;
        for (uint32_t i = 0; i < ROW_BYTES; ++i)
            if (got[i] != want[i]) diffs.push_back({r + i, want[i], got[i]});
        done_.compared += ROW_BYTES;
        lastWrong_[r] = diffs;
        if (diffs.empty()) verifiedAt_[r] = suspicion();
        return diffs;
    }

    // One row on its own: erased, written, read back. Empty `why` when it holds what it must.
    std::string rewriteRow(uint32_t r) {
        try {
            eraseRows(dev_, r, 1);
            for (const auto& w : planFor(work_, {r}).writes) writeBlocks(w);
            const row_bytes got = readRow(r, dev_);
            if (wrongIn(r, got).empty()) return "";
            noteStray(r, got);
            return "read back wrong";
        } catch (const request_failed& f) {
            return f.reason;
        }
    }

    // Rewrites a row that is wrong, up to the retries, a line each time.
    bool repair(uint32_t r, std::string why) {
        for (int k = 1; k <= retries() && !why.empty(); ++k) {
            out("[retry %d of %d: row 0x%06x %s]\n", k, retries(), r, why.c_str());
            ++rewrites_;
            why = beyondPlan([&] { return rewriteRow(r); });
        }
        if (!why.empty()) failed_[r] = why;
        return why.empty();
    }

    void rewritePartial(const std::vector<uint32_t>& rows) {
        if (rows.empty()) return;
        kept_file kept;
        byte_map own;
        for (uint32_t r : rows)
            for (uint32_t i = 0; i < ROW_BYTES; ++i)
                if (!(ctx_.image.rows.at(r).given >> i & 1)) own[r + i] = work_.rows.at(r).data[i];
        kept.save(own, ctx_.run.dev);
        out("rewriting %zu row%s the file gives in part\n", rows.size(), rows.size() == 1 ? "" : "s");
        auto bar = makeProgress(rows.size(), ctx_.say.progress);
        bool inFlight = false;  // a row is erased and not yet read back right
        try {
            for (size_t i = 0; i < rows.size(); ++i) {
                checkInterrupted(true);  // a signal held for the row before ends the run here
                const stop_hold hold(HOLD_NOTE);  // erased, the row holds the device's bytes only here
                inFlight = true;
                inFlight = !repair(rows[i], rewriteRow(rows[i]));
                bar->advance(i + 1);
            }
            checkRows();
        } catch (fatal& f) {
            if (!inFlight && failed_.empty()) {
                kept.done();  // every row erased so far is back; the others were never erased
                throw;
            }
            say(f);  // why it stopped, then where the bytes are
            out("[the device's own bytes of those rows are in %s: bootlink --program --hexfile %s puts them back]\n",
                kept.path().c_str(), kept.path().c_str());
            throw;
        }
        kept.done();
    }

    // The other rows: erased and written in large requests, then read back;
    // what failed on the way is done again row by row.
    void writeWhole(const std::vector<uint32_t>& rows) {
        const program_plan p = plan_.skip_unchanged ? planFor(work_, rows) : plan_.flash;
        std::map<uint32_t, std::string> suspect;
        out("erasing %s\n", counted(totalBytes(p.erases) / ROW_BYTES, "row").c_str());
        sendSpans(p.erases, ctx_.say.progress, [&](const span_request& e) {
            attempt(e, suspect, [&] { eraseRows(dev_, e.address, static_cast<int>(e.bytes / ROW_BYTES)); });
        }, ROW_BYTES);
        out("writing %s in %s\n", counted(totalBytes(p.writes), "byte").c_str(),
            counted(p.writes.size(), "request").c_str());
        sendSpans(p.writes, ctx_.say.progress, [&](const span_request& w) { attempt(w, suspect, [&] { writeBlocks(w); }); });
        verifyWhole(p.reads, suspect, "verifying %llu bytes\n");
        mend(suspect);
        checkRows();
    }

    // Rows that failed on the way, or read back wrong: each read again
    // first (the read may be the damaged one), then rewritten.
    void mend(const std::map<uint32_t, std::string>& suspect) {
        for (const auto& [r, why] : suspect) {
            if (retries() > 0) {
                const uint32_t row = r;  // a lambda takes a copy, not the binding
                const row_bytes again = beyondPlan([&] { return readRowSoft(row); });
                if (wrongIn(r, again).empty()) continue;
                if (why == "read back wrong") noteStray(r, again);
            }
            repair(r, why);
        }
    }

    // A row whose writes were acknowledged that reads erased where the file
    // puts data: the writes went elsewhere.
    void noteStray(uint32_t r, const row_bytes& got) {
        const row_bytes& want = work_.rows.at(r).data;
        bool data = false;
        for (uint32_t i = 0; i < ROW_BYTES; ++i) {
            if (got[i] != 0xFF) return;
            data = data || want[i] != 0xFF;
        }
        if (data) strays_.insert(r);
    }

    // An erase or a write of the large requests. One whose retries ran out
    // on a line that still answers (a dead one has ended the run) goes again
    // whole, up to the retries, before its rows are left to be mended after
    // the read-back: sent again now, it is checked by that read-back.
    template <class Work>
    void attempt(const span_request& s, std::map<uint32_t, std::string>& suspect, Work work) {
        for (int round = 0;; ++round) {
            try {
                if (round == 0)
                    work();
                else
                    beyondPlan([&] { work(); return 0; });
                return;
            } catch (const request_failed& f) {
                if (round < retries()) {
                    out("[retry %d of %d: sending the request again: %s]\n", round + 1, retries(), f.reason);
                    continue;
                }
                for (uint32_t r = s.address / ROW_BYTES * ROW_BYTES; r < s.address + s.bytes; r += ROW_BYTES)
                    suspect.emplace(r, f.reason);
                return;
            }
        }
    }

    // Reads the spans back, request by request: a request whose retries ran
    // out makes the rows it covers suspect, and only those.
    void verifyWhole(const std::vector<span_request>& reads, std::map<uint32_t, std::string>& suspect,
                     const char* phase) {
        out(phase, static_cast<unsigned long long>(totalBytes(reads)));
        auto bar = makeProgress(totalBytes(reads), ctx_.say.progress);
        uint64_t at = 0;
        for (const auto& s : reads) {
            std::vector<uint8_t> data(s.bytes);
            std::set<uint32_t> unread;
            readRange(dev_, memory::program, s.address, data, bar.get(), at,
                      [&](uint32_t address, size_t length, const char* reason) {
                          for (uint32_t r = address / ROW_BYTES * ROW_BYTES; r < address + length; r += ROW_BYTES) {
                              suspect.emplace(r, reason);
                              unread.insert(r);
                          }
                      });
            for (uint32_t r = s.address; r < s.address + s.bytes; r += ROW_BYTES) {
                if (unread.count(r)) continue;
                row_bytes got{};
                std::copy_n(data.begin() + (r - s.address), ROW_BYTES, got.begin());
                if (!wrongIn(r, got).empty()) suspect.emplace(r, "read back wrong");
            }
            done_.read += s.bytes;
            at += s.bytes;
        }
        if (reads.empty()) bar->advance(0);
    }

    row_bytes readRowSoft(uint32_t r) {
        try {
            return readRow(r, dev_);
        } catch (const request_failed&) {
            return row_bytes{};  // compared as wrong: the row is rewritten
        }
    }

    // Ends the run when rows are still wrong after their retries.
    void checkRows() {
        if (failed_.empty()) return;
        std::vector<difference> diffs;
        for (const auto& [r, why] : failed_)
            if (why == "read back wrong") diffs.insert(diffs.end(), lastWrong_[r].begin(), lastWrong_[r].end());
        std::string rows;
        for (const auto& [r, why] : failed_) {
            char text[48];
            std::snprintf(text, sizeof text, "%s0x%06x (%s)", rows.empty() ? "" : ", ", r, why.c_str());
            rows += text;
        }
        if (retries() == 0) reportDifferences(diffs);
        listDifferences(diffs);
        fail(result_kind::verify_failed,
             "[ERROR, rows failed after %d rewrites each: %s]\n"
             "[note: on a line this noisy a damaged request can land at another address: check the board against a "
             "backup with bootlink --verify --hexfile]\n",
             retries(), rows.c_str());
    }
};

row_contents readRowSpans(const bootloader& dev, progress_form form, const std::vector<span_request>& reads,
                          const char* phase, memory_work& done) {
    row_contents rows;
    readSpans(dev, memory::program, reads, 0, form, phase, [&](uint32_t address, std::span<const uint8_t> data) {
        for (size_t i = 0; i < data.size(); ++i) {
            const uint32_t a = address + static_cast<uint32_t>(i);
            rows[a / ROW_BYTES * ROW_BYTES][a % ROW_BYTES] = data[i];
        }
    });
    done.read += totalBytes(reads);
    return rows;
}

flash_rows::flash_rows(action_context& ctx, const programming_plan& plan, memory_work& done)
    : writer_(std::make_unique<row_writer>(ctx, plan, done)) {}
flash_rows::~flash_rows() = default;
void flash_rows::program() { writer_->run(); }
bool flash_rows::recheck() { return writer_->recheck(); }
uint64_t flash_rows::extraRequests() const { return writer_->extraRequests(); }
bool flash_rows::rewrote() const { return writer_->rewrote(); }
const std::set<uint32_t>& flash_rows::strays() const { return writer_->strays(); }

}  // namespace bootlink
