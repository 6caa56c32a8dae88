// The low-latency request against a stand-in for a USB serial driver.
#include <gtest/gtest.h>

#include "link/latency.hpp"

namespace {

struct fake_driver {
    int flags = 0;
    bool has_ioctl = true;
    bool refuses_set = false;
    int sets = 0;
} driver;

int fakeGet(int, struct serial_struct* s) {
    if (!driver.has_ioctl) return -1;  // ENOTTY: a pseudo-terminal
    *s = {};
    s->flags = driver.flags;
    return 0;
}

int fakeSet(int, const struct serial_struct* s) {
    ++driver.sets;
    if (driver.refuses_set) return -1;
    driver.flags = s->flags;
    return 0;
}

constexpr bootlink::serial_flags_io fake{fakeGet, fakeSet};
constexpr int OTHER = ASYNC_SPD_HI;  // a flag of the driver's own, never touched

struct LatencyCase {
    const char* name;
    fake_driver before;
    bool changed;      // what ask() says
    int while_open;    // the flags during the run
    int sets;          // set calls over ask() and putBack()
};

class LowLatency : public testing::TestWithParam<LatencyCase> {};

TEST_P(LowLatency, AskedOnOpenPutBackOnClose) {
    const auto& c = GetParam();
    driver = c.before;
    bootlink::low_latency l;
    EXPECT_EQ(l.ask(3, fake), c.changed);
    EXPECT_EQ(driver.flags, c.while_open);
    l.putBack(3);
    l.putBack(3);  // every way out calls it: twice does nothing more
    EXPECT_EQ(driver.flags, c.before.flags);
    EXPECT_EQ(driver.sets, c.sets);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, LowLatency,
    testing::Values(LatencyCase{"usb_adapter", {OTHER, true, false, 0}, true, OTHER | ASYNC_LOW_LATENCY, 2},
                    LatencyCase{"already_low", {ASYNC_LOW_LATENCY, true, false, 0}, false, ASYNC_LOW_LATENCY, 0},
                    LatencyCase{"pseudo_terminal", {0, false, false, 0}, false, 0, 0},
                    LatencyCase{"refused", {OTHER, true, true, 0}, false, OTHER, 1}),
    [](const auto& p) { return p.param.name; });

}  // namespace
