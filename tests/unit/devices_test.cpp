// The device listing over a /dev and /sys tree of the test's own.

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include "capture.hpp"
#include "link/devices.hpp"
#include "harness.hpp"

namespace fs = std::filesystem;

namespace {

TEST(ListDevices, StableNamesFirstThenAdaptersThenRealPorts) {
    testing_support::temp_dir root;
    const fs::path dev = root.file("dev"), sys = root.file("sys");
    fs::create_directories(dev / "serial" / "by-id");
    // Character devices (links to /dev/null stand in for them), and names
    // that only look like adapters: a plain file, a dangling link, and a
    // number no integer holds.
    for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS0", "ttyS1", "ttyS2", "tty1", "ttyUSB",
                             "ttyUSB99999999999999999999999"})
        ASSERT_EQ(symlink("/dev/null", (dev / name).c_str()), 0);
    testing_support::write_file((dev / "ttyUSB3").string(), "");
    ASSERT_EQ(symlink("ttyUSB404", (dev / "ttyACM1").c_str()), 0);
    ASSERT_EQ(symlink("../../ttyUSB2", (dev / "serial/by-id/usb-FTDI_FT232R_A1-if00-port0").c_str()), 0);
    ASSERT_EQ(symlink("../../ttyUSB3", (dev / "serial/by-id/usb-plain-file").c_str()), 0);
    // ttyS0: a UART behind it; ttyS1: a driver but no UART (type 0); ttyS2: nothing.
    fs::create_directories(sys / "class/tty/ttyS0/device/driver");
    testing_support::write_file((sys / "class/tty/ttyS0/type").string(), "4\n");
    fs::create_directories(sys / "class/tty/ttyS1/device/driver");
    testing_support::write_file((sys / "class/tty/ttyS1/type").string(), "0\n");
    fs::create_directories(sys / "class/tty/ttyS2");

    capture_output cap;
    bootlink::listDevices(dev.string(), sys.string());
    const std::string d = dev.string();
    EXPECT_EQ(cap.text(), d + "/serial/by-id/usb-FTDI_FT232R_A1-if00-port0 -> " + d + "/ttyUSB2\n" +  //
                              d + "/ttyUSB2\n" + d + "/ttyUSB10\n" + d + "/ttyUSB99999999999999999999999\n" +
                              d + "/ttyACM0\n" + d + "/ttyS0\n");
}

TEST(ListDevices, NoneSaysSo) {
    testing_support::temp_dir root;
    capture_output cap;
    bootlink::listDevices(root.file("dev"), root.file("sys"));
    EXPECT_EQ(cap.text(), "no serial devices found\n");
}

}  // namespace
