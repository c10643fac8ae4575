// The port list over a device folder and a sysfs tree that the tests make
// themselves, shaped as the kernel shapes them: which devices are listed,
// in which order, with which labels and marks, and what each entry says
// of its device.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/connection.h"
#include "app/languages.h"
#include "serial/comm.h"
#include "tests/support/fake_system.h"
#include "tests/support/held_port.h"
#include "tests/support/pty.h"
#include "tests/support/scratch_dir.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;

// A pseudo-terminal whose slave opens as a serial port while it lives.
using test::TPty;

// The platform's serial layer, except that the devices given to Refuse
// are refused for lack of permission. The tests run as root, where no file
// mode refuses anything.
struct TRefusingSystem : test::TFakeSystem {
  TRefusingSystem() : test::TFakeSystem(PlatformCommSystem()) {}
  void Refuse(const std::vector<std::string>& devices) {
    for (const std::string& d : devices) refuseDevice[d] = {TCommError::AccessDenied, EACCES, "Permission denied"};
  }
};

void WriteFile(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

// A temporary folder with dev/ and sys/ inside, removed afterwards.
class PortList : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.Ok());
    root_ = scratch_.Folder();
    dev_ = root_ / "dev";
    sys_ = root_ / "sys";
    fs::create_directories(dev_);
    fs::create_directories(sys_ / "class" / "tty");
  }

  // A USB device's folder under the controller, with its attribute files
  // (those given as empty are left out, as for a device without them).
  fs::path UsbDevice(const std::string& bus, const std::map<std::string, std::string>& attrs) {
    const fs::path dir = sys_ / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / bus;
    fs::create_directories(dir);
    for (const auto& [file, text] : attrs)
      if (!text.empty()) WriteFile(dir / file, text + "\n");
    return dir;
  }

  // A USB serial converter's port (ttyUSB): the usb-serial port device
  // under the interface, its tty under that, and the class link to it:
  //   class/tty/ttyUSB0 -> ../../devices/.../1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0
  //   .../tty/ttyUSB0/device -> ../../../ttyUSB0
  void UsbSerialTty(const fs::path& usbDevice, const std::string& name) {
    const std::string bus = usbDevice.filename().string();
    const fs::path port = usbDevice / (bus + ":1.0") / name;
    const fs::path tty = port / "tty" / name;
    fs::create_directories(tty);
    fs::create_symlink("../../../" + name, tty / "device");
    fs::create_symlink(fs::relative(tty, sys_ / "class" / "tty"), sys_ / "class" / "tty" / name);
  }

  // A modem-class port (ttyACM): the tty under the interface, whose
  // device link leads to the interface itself.
  void AcmTty(const fs::path& usbDevice, const std::string& name) {
    const std::string bus = usbDevice.filename().string();
    const fs::path tty = usbDevice / (bus + ":1.0") / "tty" / name;
    fs::create_directories(tty);
    fs::create_symlink("../../../" + bus + ":1.0", tty / "device");
    fs::create_symlink(fs::relative(tty, sys_ / "class" / "tty"), sys_ / "class" / "tty" / name);
  }

  // An on-board UART: a platform device, with the type of UART found
  // behind the node (0: none).
  void PlatformTty(const std::string& name, int type) {
    const fs::path tty = sys_ / "devices" / "platform" / "serial8250" / "tty" / name;
    fs::create_directories(tty);
    fs::create_symlink("../../../serial8250", tty / "device");
    WriteFile(tty / "type", std::to_string(type) + "\n");
    fs::create_symlink(fs::relative(tty, sys_ / "class" / "tty"), sys_ / "class" / "tty" / name);
  }

  // The device node: a link to a pseudo-terminal, or a plain file for a
  // device that is only ever refused.
  std::string Node(const std::string& name, const TPty* pty) {
    const fs::path node = dev_ / name;
    if (pty) fs::create_symlink(pty->Path(), node);
    else WriteFile(node, "");
    return node.string();
  }

  TPortSources Sources(TCommSystem* system) const { return {dev_.string(), sys_.string(), system}; }

  test::TScratchDir scratch_{"tarvex-ports"};
  fs::path root_, dev_, sys_;
};

TEST_F(PortList, LabelsSayWhatTheSystemKnowsInAscendingOrder) {
  TPty ftdi, stm, bare, ch340;
  ASSERT_FALSE(ftdi.Path().empty());
  ASSERT_FALSE(stm.Path().empty());
  ASSERT_FALSE(bare.Path().empty());
  ASSERT_FALSE(ch340.Path().empty());

  UsbSerialTty(UsbDevice("1-1", {{"idVendor", "0403"},
                                 {"idProduct", "6001"},
                                 {"manufacturer", "FTDI"},
                                 {"product", "FT232R USB UART"},
                                 {"serial", "A50285BI"}}),
               "ttyUSB0");
  // No serial number.
  AcmTty(UsbDevice("1-2", {{"idVendor", "0483"},
                           {"idProduct", "5740"},
                           {"manufacturer", "STMicroelectronics"},
                           {"product", "STM32 Virtual ComPort"}}),
         "ttyACM0");
  // No maker's name; upper-case hex as some drivers write it.
  UsbSerialTty(UsbDevice("1-4", {{"idVendor", "1A86"}, {"idProduct", "7523"}, {"product", "USB Serial"}}), "ttyUSB10");
  // A product that carries its maker's name already.
  UsbSerialTty(UsbDevice("1-3", {{"idVendor", "10c4"},
                                 {"idProduct", "ea60"},
                                 {"manufacturer", "Silicon Labs"},
                                 {"product", "Silicon Labs CP2102 USB to UART"},
                                 {"serial", "0001"}}),
               "ttyUSB2");
  PlatformTty("ttyS0", 4);  // a 16550A
  PlatformTty("ttyS1", 0);  // nothing behind the node

  TRefusingSystem system;
  const std::string usb0 = Node("ttyUSB0", &ftdi);
  const std::string acm0 = Node("ttyACM0", &stm);
  const std::string usb1 = Node("ttyUSB1", &bare);  // nothing in sysfs
  const std::string usb10 = Node("ttyUSB10", &ch340);
  system.Refuse({Node("ttyUSB2", nullptr), Node("ttyS0", nullptr), Node("ttyS1", nullptr), Node("ttyS5", nullptr),
                 Node("rfcomm0", nullptr)});
  Node("ttyS3", nullptr);  // a plain file that opens: not a serial port
  Node("console", nullptr);

  test::THeldPort holder(stm.Path());
  ASSERT_TRUE(holder.ok);
  const std::vector<TPortEntry> list =
      BuildPortList(LanguageStrings(TLanguage::English), ExtraStrings(TLanguage::English), Sources(&system));
  holder.Release();

  const std::string d = dev_.string();
  std::vector<std::string> labels;
  for (const TPortEntry& e : list) labels.push_back(e.Label);
  EXPECT_EQ(labels, (std::vector<std::string>{
                        d + "/rfcomm0 - no permission",
                        d + "/ttyACM0 - STMicroelectronics STM32 Virtual ComPort (0483:5740) - Already open",
                        d + "/ttyS0 - no permission",
                        d + "/ttyUSB0 - FTDI FT232R USB UART (0403:6001, A50285BI)",
                        d + "/ttyUSB1",
                        d + "/ttyUSB2 - Silicon Labs CP2102 USB to UART (10c4:ea60, 0001) - no permission",
                        d + "/ttyUSB10 - USB Serial (1a86:7523)",
                    }));
  // Every candidate was probed through the system layer given.
  EXPECT_EQ(system.askedDevices.count(d + "/ttyS1"), 1u);
  EXPECT_EQ(system.askedDevices.count(d + "/ttyS3"), 1u);

  ASSERT_EQ(list.size(), 7u);
  const TPortEntry& acm = list[1];
  EXPECT_EQ(acm.Device, acm0);
  EXPECT_EQ(acm.State, TPortState::InUse);
  EXPECT_EQ(acm.Description, "STMicroelectronics STM32 Virtual ComPort");
  EXPECT_EQ(acm.Vid, "0483");
  EXPECT_EQ(acm.Pid, "5740");
  EXPECT_EQ(acm.Serial, "");

  const TPortEntry& ftdiEntry = list[3];
  EXPECT_EQ(ftdiEntry.Device, usb0);
  EXPECT_EQ(ftdiEntry.State, TPortState::Free);
  EXPECT_EQ(ftdiEntry.Description, "FTDI FT232R USB UART");
  EXPECT_EQ(ftdiEntry.Vid, "0403");
  EXPECT_EQ(ftdiEntry.Pid, "6001");
  EXPECT_EQ(ftdiEntry.Serial, "A50285BI");
  EXPECT_EQ(ftdiEntry.System, nullptr) << "the entry opens through the platform's layer";

  const TPortEntry& bareEntry = list[4];
  EXPECT_EQ(bareEntry.Device, usb1);
  EXPECT_EQ(bareEntry.Description, "");
  EXPECT_EQ(bareEntry.Vid, "");

  const TPortEntry& refused = list[5];
  EXPECT_EQ(refused.State, TPortState::NoPermission);
  EXPECT_EQ(refused.Description, "Silicon Labs CP2102 USB to UART");

  EXPECT_EQ(list[6].Device, usb10);
  EXPECT_EQ(list[6].Vid, "1a86") << "ids in lower case, as lsusb shows them";
}

TEST_F(PortList, TheDevicePathComesFirstSoThatTheEntryOpens) {
  TPty ftdi;
  ASSERT_FALSE(ftdi.Path().empty());
  UsbSerialTty(UsbDevice("3-1", {{"idVendor", "0403"}, {"idProduct", "6015"}, {"product", "FT230X Basic UART"}}),
               "ttyUSB3");
  const std::string node = Node("ttyUSB3", &ftdi);
  const std::vector<TPortEntry> list =
      BuildPortList(LanguageStrings(TLanguage::English), ExtraStrings(TLanguage::English), Sources(nullptr));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Label.substr(0, node.size() + 3), node + " - ");
  TComm chosen;
  chosen.Device = list[0].Device;
  EXPECT_TRUE(OpenComm(chosen)) << chosen.LastErrorText;
  CloseComm(chosen);
}

TEST_F(PortList, MarksAreInTheLanguageInForce) {
  TPty held;
  ASSERT_FALSE(held.Path().empty());
  Node("ttyUSB0", &held);
  TRefusingSystem system;
  system.Refuse({Node("ttyACM0", nullptr)});
  test::THeldPort holder(held.Path());
  ASSERT_TRUE(holder.ok);
  const std::string d = dev_.string();
  const auto labels = [&](TLanguage lang) {
    std::vector<std::string> out;
    for (const TPortEntry& e : BuildPortList(LanguageStrings(lang), ExtraStrings(lang), Sources(&system)))
      out.push_back(e.Label);
    return out;
  };
  EXPECT_EQ(labels(TLanguage::Italian),
            (std::vector<std::string>{d + "/ttyACM0 - permesso negato", d + "/ttyUSB0 - In uso"}));
  EXPECT_EQ(labels(TLanguage::French),
            (std::vector<std::string>{d + "/ttyACM0 - permission refusée", d + "/ttyUSB0 - Déjà ouvert"}));
  EXPECT_EQ(labels(TLanguage::English),
            (std::vector<std::string>{d + "/ttyACM0 - no permission", d + "/ttyUSB0 - Already open"}));
  holder.Release();
}

TEST_F(PortList, SysfsTextsAreCleanedForALineOfTheirOwn) {
  TPty pty;
  ASSERT_FALSE(pty.Path().empty());
  // Stray control characters and spaces round a maker's name; an id that
  // is not four hex digits is no id.
  UsbSerialTty(UsbDevice("2-1", {{"idVendor", "04x3"},
                                 {"idProduct", "6001"},
                                 {"manufacturer", "  Acme\t\x01 "},
                                 {"product", "Widget"}}),
               "ttyUSB0");
  const fs::path good = UsbDevice("2-2", {{"idVendor", "067b"},
                                          {"idProduct", "2303"},
                                          {"manufacturer", "  Prolific Technology Inc.\r"},
                                          {"product", "USB-Serial Controller"}});
  UsbSerialTty(good, "ttyUSB1");
  Node("ttyUSB0", &pty);
  TPty second;
  ASSERT_FALSE(second.Path().empty());
  Node("ttyUSB1", &second);
  const std::vector<TPortEntry> list =
      BuildPortList(LanguageStrings(TLanguage::English), ExtraStrings(TLanguage::English), Sources(nullptr));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].Label, dev_.string() + "/ttyUSB0") << "no USB device without its ids";
  EXPECT_EQ(list[1].Label, dev_.string() + "/ttyUSB1 - Prolific Technology Inc. USB-Serial Controller (067b:2303)");
}

TEST_F(PortList, ALongDescriptionIsCutBetweenCharacters) {
  // The kernel hands over at most 126 bytes of a USB string; a character
  // of two bytes or more across that mark is left out whole, never halved.
  const std::string product = std::string(125, 'x') + "\xC3\xA9" + "tail";  // 'é' at bytes 126 and 127
  const std::string euro = std::string(124, 'y') + "\xE2\x82\xAC";         // '€' at bytes 125 to 127
  const std::string fits = std::string(124, 'z') + "\xC3\xA9";             // ends at byte 126
  UsbSerialTty(UsbDevice("3-1", {{"idVendor", "0403"}, {"idProduct", "6001"}, {"product", product}}), "ttyUSB0");
  UsbSerialTty(UsbDevice("3-2", {{"idVendor", "0403"}, {"idProduct", "6002"}, {"product", euro}}), "ttyUSB1");
  UsbSerialTty(UsbDevice("3-3", {{"idVendor", "0403"}, {"idProduct", "6003"}, {"product", fits}}), "ttyUSB2");
  TPty a, b, c;
  ASSERT_TRUE(a.Ok() && b.Ok() && c.Ok());
  Node("ttyUSB0", &a);
  Node("ttyUSB1", &b);
  Node("ttyUSB2", &c);
  const std::vector<TPortEntry> list =
      BuildPortList(LanguageStrings(TLanguage::English), ExtraStrings(TLanguage::English), Sources(nullptr));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].Description, std::string(125, 'x'));
  EXPECT_EQ(list[0].Label, dev_.string() + "/ttyUSB0 - " + std::string(125, 'x') + " (0403:6001)");
  EXPECT_EQ(list[1].Description, std::string(124, 'y'));
  EXPECT_EQ(list[2].Description, fits) << "a character that ends at the mark stays";
}

TEST_F(PortList, StateNamesForMachineReadableOutput) {
  EXPECT_STREQ(PortStateName(TPortState::Free), "free");
  EXPECT_STREQ(PortStateName(TPortState::InUse), "in use");
  EXPECT_STREQ(PortStateName(TPortState::NoPermission), "no permission");
  EXPECT_STREQ(PortStateName(TPortState::NotAnswering), "not answering");
}

}  // namespace
}  // namespace tarvex
