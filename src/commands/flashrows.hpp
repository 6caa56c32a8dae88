#pragma once

#include <array>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "commands/commands.hpp"
#include "image/image.hpp"

namespace bootlink {

using row_contents = std::map<uint32_t, std::array<uint8_t, ROW_BYTES>>;

// Prints `phase`, then reads the runs of rows in `reads` with progress.
row_contents readRowSpans(const bootloader& dev, progress_form form, const std::vector<span_request>& reads,
                          const char* phase, memory_work& done);

// Program memory of --program, as the plan has it: the first reads (rows
// given in part read until two reads agree), the device's own bytes saved,
// each row given in part erased, written and read back on its own while a
// stop signal waits, then the other rows erased, written and read back.
// Every byte written is compared; a row that reads back wrong, or whose
// requests failed, is read again, then erased, written and read back again,
// up to the retries.
class row_writer;
class flash_rows {
public:
    flash_rows(action_context& ctx, const programming_plan& plan, memory_work& done);
    ~flash_rows();
    flash_rows(const flash_rows&) = delete;
    flash_rows& operator=(const flash_rows&) = delete;

    void program();
    // For the end of a run that sent a write again or rewrote a row: reads
    // back once more every row verified before the last such request, and
    // mends what is wrong as program() does. False when no row needed it.
    bool recheck();
    // Requests beyond the plan: rows read again and rewritten.
    uint64_t extraRequests() const;
    bool rewrote() const;
    // Rows that read back erased after their writes were acknowledged.
    const std::set<uint32_t>& strays() const;

private:
    std::unique_ptr<row_writer> writer_;
};

}  // namespace bootlink
