// The COMn port map over a temp directory and a fake /sys/class/tty tree.
#include <fstream>

#include <gtest/gtest.h>

#include "pty_rig.h"
#include "serial/portmap.h"

namespace qtx {
namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text << "\n";
}

class PortMapTest : public ::testing::Test {
protected:
    // As the kernel lays it out: a class entry links to the tty node, whose
    // `device` links to the hardware; a USB device dir has idVendor.
    void Tty(const std::string& tty, const fs::path& hw, const std::string& driver) {
        fs::create_directories(hw / "tty" / tty);
        fs::create_directories(sys / driver);
        if (!fs::exists(fs::symlink_status(hw / "driver"))) fs::create_directory_symlink(sys / driver, hw / "driver");
        fs::create_directory_symlink(hw, hw / "tty" / tty / "device");
        fs::create_directory_symlink(hw / "tty" / tty, classTty / tty);
    }
    void Uart(const std::string& tty, int type) {
        // The serial core's own port device, driver "port" on bus serial-base, sits in between.
        fs::create_directories(sys / "serial8250");
        fs::create_directories(sys / "platform");
        if (!fs::exists(fs::symlink_status(sys / "platform/driver")))
            fs::create_directory_symlink(sys / "serial8250", sys / "platform/driver");
        Tty(tty, sys / "platform" / (tty + "-port"), "bus/serial-base/drivers/port");
        WriteFile(sys / "platform" / (tty + "-port") / "tty" / tty / "type", std::to_string(type));
    }
    void Usb(const std::string& tty, const std::string& maker, const std::string& product) {
        WriteFile(sys / "usb" / tty / "idVendor", "0403");
        if (!maker.empty()) WriteFile(sys / "usb" / tty / "manufacturer", maker);
        WriteFile(sys / "usb" / tty / "product", product);
        Tty(tty, sys / "usb" / tty / "1-1:1.0" / tty, "usbserial");  // port below the interface
    }
    void SetUp() override {
        fs::create_directories(classTty);
        fs::create_directories(ports);
        // Made out of order: numbering follows neither creation nor name order.
        Usb("ttyUSB1", "", "CP2102");
        Uart("ttyS10", 4);
        Uart("ttyS1", 0);  // legacy port without a UART
        Uart("ttyS0", 4);
        Usb("ttyACM0", "", "Pico");
        Usb("ttyUSB0", "FTDI", "FT232R");
        Uart("ttyS2", 4);
        Tty("ttyAMA0", sys / "pl011", "uart-pl011");
        for (const char* v : {"tty0", "ptmx", "console"}) fs::create_directories(classTty / v);
    }
    static std::string Text(const std::vector<PortEntry>& map) {
        std::string s;
        for (const auto& e : map) s += e.name + (e.fromDirectory ? "=" : ":") + e.device + "[" + e.description + "] ";
        return s;
    }
    test::TempDir tmp;
    fs::path sys = tmp / "sys", classTty = sys / "class/tty", ports = tmp / "ports";
};

TEST_F(PortMapTest, DetectedDevicesInGroupOrder) {
    EXPECT_EQ(Text(BuildPortMap(ports, true, classTty)),
              "COM1:/dev/ttyS0[serial8250] COM2:/dev/ttyS2[serial8250] COM3:/dev/ttyS10[serial8250] "
              "COM4:/dev/ttyUSB0[FTDI FT232R] COM5:/dev/ttyUSB1[CP2102] COM6:/dev/ttyACM0[Pico] "
              "COM7:/dev/ttyAMA0[uart-pl011] ");
}

TEST_F(PortMapTest, DirectoryEntriesFirstThenLowestFreeNumbers) {
    WriteFile(tmp / "dev/ttyUSB0", "");
    fs::create_symlink(tmp / "dev/ttyUSB0", tmp / "usb-FTDI");
    const std::pair<const char*, std::string> links[] = {
        {"COM1", "/dev/pts/41"},
        {"COM2", "/dev/pts/7"}, {"com2", "/dev/pts/8"},  // one number, two spellings: the first wins
        {"com3", "/dev/ttyUSB1"},                          // any case; the device is not listed twice
        {"COM5", "../elsewhere/tty"},                      // relative to the directory
        {"COM6", tmp / "usb-FTDI"},                        // described from the end of the chain
        {"COM5x", "/dev/pts/1"}, {"COM05", "/dev/pts/2"}, {"COM0", "/dev/pts/3"},  // not port names
    };
    for (const auto& [name, target] : links) fs::create_symlink(target, ports / name);
    WriteFile(ports / "COM9", "a plain file is no port");
    EXPECT_EQ(Text(BuildPortMap(ports, true, classTty)),
              "COM1=/dev/pts/41[pseudo-terminal] COM2=/dev/pts/7[pseudo-terminal] COM3=/dev/ttyUSB1[CP2102] "
              "COM4:/dev/ttyS0[serial8250] COM5=" + tmp / "elsewhere/tty[] COM6=" + tmp / "usb-FTDI[FTDI FT232R] " +
              "COM7:/dev/ttyS2[serial8250] COM8:/dev/ttyS10[serial8250] COM9:/dev/ttyUSB0[FTDI FT232R] "
              "COM10:/dev/ttyACM0[Pico] COM11:/dev/ttyAMA0[uart-pl011] ");
    EXPECT_EQ(BuildPortMap(ports, false, classTty).size(), 5u) << "without detection: the directory alone";
}

TEST(PortMapEnvironment, PrivateDirectoryIsTheWholeMapAndNamesResolve) {
    test::TempDir dir(true);
    dir.Link("COM2", "/dev/pts/77");
    EXPECT_EQ(PortMapDir(), dir.path);
    EXPECT_EQ(PortMap().size(), 1u) << "the machine's own ports are not detected";
    for (const char* name : {"COM2", "com2", "Com2"}) EXPECT_EQ(ResolvePort(name), "/dev/pts/77") << name;
    for (const char* name : {"COM1", "COM02", "COM2 ", "COM-2", "", "/dev/pts/77", "COM99999999999999999999"})
        EXPECT_EQ(ResolvePort(name), "") << name;
}

}  // namespace
}  // namespace qtx
