#include <cmath>

#include "commands/commands.hpp"
#include "commands/transfer.hpp"
#include "image/image.hpp"
#include "report/output.hpp"

namespace bootlink {

// What --program would send, from the very plan it runs, and about how long
// that takes at the run's line speed and pace.
outcome main_check(const settings& run, const flash_image& image) {
    const programming_plan plan = planProgramming(image, false, run.write_config);
    const plan_cost cost = costOf(plan, image);
    if (!image.rows.empty()) {
        out("program memory: %llu bytes in %zu rows, %zu of them given in part (read first)\n",
            static_cast<unsigned long long>(image.given_bytes()), image.rows.size(), plan.partial.size());
        out("  erase %zu rows in %llu requests, write %llu bytes in %llu requests, read back %llu bytes\n",
            image.rows.size(), static_cast<unsigned long long>(cost.erases),
            static_cast<unsigned long long>(cost.written), static_cast<unsigned long long>(cost.writes),
            static_cast<unsigned long long>(cost.read_back));
    }
    if (!image.eeprom.empty())
        out("EEPROM: write %zu bytes in %zu requests, read them back\n", image.eeprom.size(),
            plan.eeprom_writes.size());
    if (!image.config.empty())
        out("configuration: %zu bytes %s\n", image.config.size(),
            run.write_config ? "written and read back" : "read and compared");
    const double byteSeconds = 10.0 / run.baud;
    const double seconds = static_cast<double>(cost.sent) * std::max(byteSeconds, run.pace_ms / 1000.0) +
                           static_cast<double>(cost.received) * byteSeconds + static_cast<double>(cost.busy_us) / 1e6;
    out("about %llu requests, %llu bytes sent and %llu received: about %.0f s at %d bit/s with a %d ms pace\n",
        static_cast<unsigned long long>(cost.requests), static_cast<unsigned long long>(cost.sent),
        static_cast<unsigned long long>(cost.received), std::ceil(seconds), run.baud, run.pace_ms);
    outcome result;
    result.message = "[OK => the hexfile can be programmed]\n";
    return result;
}

}  // namespace bootlink
