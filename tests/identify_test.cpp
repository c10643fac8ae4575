// Identification of every model against simulated panels: the model and
// firmware rules, the messages, the baud search and the connection check.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>

#include "app/connection.h"
#include "protocol/frames.h"
#include "protocol/identify.h"
#include "sim/sim_line.h"
#include "tests/support/fake_system.h"
#include "tests/support/held_port.h"
#include "tests/test_support.h"
#include "tests/test_time.h"

namespace tarvex {
namespace {

using sim::FaultKind;
using test::MsSince;
using test::OpenOn;
using test::StartPanel;
using test::TTestSession;
using Clock = std::chrono::steady_clock;

struct TModelCase {
  const char* name;
  int32_t number;
  const TBlockMap* map;
};

TEST(IdentifySmall, EveryModelWithItsBlockMap) {
  const TModelCase cases[] = {{"VYR4", 23, &kBlockMap1},  {"VYR8", 24, &kBlockMap1},   {"VYR8G", 25, &kBlockMap1},
                              {"VYR32", 26, &kBlockMap2}, {"VYR32G", 27, &kBlockMap2}, {"VYR8W", 28, &kBlockMap2},
                              {"VYR8WG", 29, &kBlockMap2}, {"VYR16D", 30, &kBlockMap3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TTestSession t;
    auto panel = StartPanel({.model = c.name, .firmware = "2.10"});
    OpenOn(t.s, *panel, 6);
    EXPECT_TRUE(IdentifySmallPanel(t.s.Link, t.s.Panel).Ok());
    EXPECT_EQ(t.s.Panel.ConnectedModel, c.number);
    EXPECT_EQ(t.s.Panel.PanelDescription, std::string(c.name) + " v.2.10");
    EXPECT_DOUBLE_EQ(t.s.Panel.FirmwareVersion, 2.1);
    EXPECT_EQ(t.s.Panel.BlockMap, *c.map);
    EXPECT_EQ(t.ui.Statuses(), std::vector<std::string>{"Reading system version VYR Unit"});
    EXPECT_EQ(t.ui.Steps(), std::vector<int32_t>{12});
    EXPECT_TRUE(t.ui.Boxes().empty());
    // The request is the 12 bytes at address 0: read, address 0000, last
    // index 000B, sum FB.
    ASSERT_EQ(panel->HeadersReceived().size(), 1u);
    EXPECT_EQ(panel->HeadersReceived()[0], (std::array<uint8_t, 6>{0xF0, 0x00, 0x00, 0x0B, 0x00, 0xFB}));
    CloseComm(t.s.Link.PanelPort);
  }
}

TEST(IdentifySmall, FirmwareRules) {
  {
    // VYR16D takes any version.
    TTestSession t;
    auto panel = StartPanel({.model = "VYR16D", .firmware = "1.50"});
    OpenOn(t.s, *panel, 6);
    EXPECT_TRUE(IdentifySmallPanel(t.s.Link, t.s.Panel).Ok());
    EXPECT_EQ(t.s.Panel.PanelDescription, "VYR16D v.1.50");
    EXPECT_EQ(t.s.Panel.BlockMap, kBlockMap3);
    CloseComm(t.s.Link.PanelPort);
  }
  {
    // Below 2.1 the others are refused, after the description was set.
    TTestSession t;
    auto panel = StartPanel({.model = "VYR8", .firmware = "2.05"});
    OpenOn(t.s, *panel, 6);
    const TOutcome o = IdentifySmallPanel(t.s.Link, t.s.Panel);
    EXPECT_EQ(o.result, TResult::UnknownFirmware);
    EXPECT_EQ(t.s.Panel.PanelDescription, "VYR8 v.2.05");
    EXPECT_DOUBLE_EQ(t.s.Panel.FirmwareVersion, 2.05);
    EXPECT_EQ(test::BoxFor(t.s, o), "Error: Unknown firmware version detected!");
    EXPECT_TRUE(t.ui.Boxes().empty()) << "the application shows the box";
    EXPECT_EQ(t.s.Panel.BlockMap, TBlockMap{}) << "no map for a refused panel";
    // The bar is cleared, before any box.
    ASSERT_FALSE(t.ui.events.empty());
    EXPECT_EQ(t.ui.events.back().code, ProgressClear);
    CloseComm(t.s.Link.PanelPort);
  }
  {
    // Packed-code models too.
    TTestSession t;
    auto panel = StartPanel({.model = "VYR32", .firmware = "1.99"});
    OpenOn(t.s, *panel, 6);
    EXPECT_EQ(IdentifySmallPanel(t.s.Link, t.s.Panel).result, TResult::UnknownFirmware);
    CloseComm(t.s.Link.PanelPort);
  }
}

TEST(IdentifySmall, AnUnknownModelNameIsNotIdentifiedAndKeepsThePreviousPanel) {
  TTestSession t;
  t.s.Panel.ConnectedModel = 26;
  t.s.Panel.BlockMap = kBlockMap2;
  auto panel = StartPanel({.model = "VYR8"});
  panel->WriteMemory(0, {'X', 'Y', 'Z', '9', ' ', ' '});
  OpenOn(t.s, *panel, 6);
  const TOutcome o = IdentifySmallPanel(t.s.Link, t.s.Panel);
  EXPECT_EQ(o.result, TResult::NotAPanel);
  EXPECT_EQ(t.s.Panel.ConnectedModel, 26);
  EXPECT_EQ(t.s.Panel.BlockMap, kBlockMap2);
  EXPECT_EQ(test::BoxFor(t.s, o), "Warning: Reading error on serial port!");
  CloseComm(t.s.Link.PanelPort);
}

TEST(IdentifySmall, AFailedReadIsAReadError) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR8", .fault = {FaultKind::BadCheck, 0}});
  OpenOn(t.s, *panel, 6);
  const TOutcome o = IdentifySmallPanel(t.s.Link, t.s.Panel);
  EXPECT_EQ(o.result, TResult::BadCheck);
  EXPECT_EQ(o.step, TStep::IdentifySmall);
  EXPECT_EQ(o.address, 0u);
  EXPECT_EQ(o.length, 12u);
  EXPECT_EQ(t.s.Panel.ConnectedModel, 0);
  EXPECT_EQ(test::BoxFor(t.s, o), "Warning: Reading error on serial port!");
  CloseComm(t.s.Link.PanelPort);
}

// The large panel at its own speed, the port already there: the probe at
// the current rate answers at once.
struct TLargeCase {
  const char* firmware;
  const char* real;
  int failExchange;  // a NoEcho fault at this exchange, 0 for none
  int result;
  bool unknownFirmwareBox;
};

TEST(IdentifyLarge, VersionRules) {
  const TLargeCase cases[] = {
      {"2.05", "2.05", 0, 0, false}, {"2.08", "2.08", 0, 0, false}, {"2.00", "2.00", 0, 0, false},
      {"2.09", "2.09", 0, 1, true},  {"2.1", "2.1", 0, 1, true},    {"0.9", "0.9", 0, 1, true},
      {"1.50", "1.50", 0, 1, false},
      // The placeholder is replaced by the text at 65544...
      {"2.xx", "2.07", 0, 0, false},
      // ...and refused when that read fails (exchange 1 is the probe, 2 the
      // version block, 3 the re-read).
      {"2.xx", "2.07", 3, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.firmware) + " / " + c.real);
    TTestSession t;
    sim::PanelConfig cfg{.model = "VYR 320", .firmware = c.firmware, .largeRealVersion = c.real};
    if (c.failExchange) cfg.fault = {FaultKind::NoEcho, c.failExchange};
    auto panel = StartPanel(cfg);
    OpenOn(t.s, *panel, 9);
    const TOutcome o = IdentifyLargePanel(t.s.Link, t.s.Panel);
    EXPECT_EQ(o.Ok(), c.result == 0);
    if (c.result == 0) {
      EXPECT_EQ(t.s.Panel.ConnectedModel, 6);
      EXPECT_EQ(t.s.Panel.PanelDescription, std::string("VYR 320 v.") + c.real);
    } else {
      EXPECT_EQ(t.s.Panel.ConnectedModel, 0);
    }
    EXPECT_TRUE(t.ui.Boxes().empty()) << "the application shows the boxes";
    if (c.unknownFirmwareBox) {
      EXPECT_EQ(o.result, TResult::UnknownFirmware);
      EXPECT_EQ(test::BoxFor(t.s, o), "Warning: Unknown firmware version detected!");
    } else {
      EXPECT_NE(o.result, TResult::UnknownFirmware);
    }
    // One probe step only: the panel answered at the current rate.
    ASSERT_FALSE(t.ui.Steps().empty());
    EXPECT_EQ(t.ui.Steps()[0], 1);
    EXPECT_EQ(t.s.Link.PanelPort.BaudIndex, 9);
    CloseComm(t.s.Link.PanelPort);
  }
}

TEST(IdentifyLarge, AK1UnitIsNotIdentified) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR 320", .firmware = "2.05", .k1 = true});
  OpenOn(t.s, *panel, 9);
  const TOutcome o = IdentifyLargePanel(t.s.Link, t.s.Panel);
  EXPECT_EQ(o.result, TResult::NotIdentified);
  EXPECT_EQ(t.s.Panel.ConnectedModel, 0);
  EXPECT_EQ(test::BoxFor(t.s, o), "Warning: Reading error on serial port!");
  CloseComm(t.s.Link.PanelPort);
}

// A simulated panel started with no firmware given is one the program
// takes, whichever class it is.
TEST(IdentifyLarge, TheSimulatorsDefaultFirmwareIsAccepted) {
  TTestSession t;
  auto large = StartPanel({.model = "VYR 320"});
  OpenOn(t.s, *large, 9);
  EXPECT_TRUE(IdentifyLargePanel(t.s.Link, t.s.Panel).Ok());
  EXPECT_EQ(t.s.Panel.PanelDescription, "VYR 320 v.2.05");
  CloseComm(t.s.Link.PanelPort);

  auto small = StartPanel({.model = "VYR32"});
  OpenOn(t.s, *small, 6);
  EXPECT_TRUE(IdentifySmallPanel(t.s.Link, t.s.Panel).Ok());
  EXPECT_EQ(t.s.Panel.PanelDescription, "VYR32 v.2.10");
  CloseComm(t.s.Link.PanelPort);
  EXPECT_TRUE(t.ui.Boxes().empty());
}

TEST(IdentifyLarge, AnOldFirmwareIsAReadError) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR 320", .firmware = "1.50"});
  OpenOn(t.s, *panel, 9);
  const TOutcome o = IdentifyLargePanel(t.s.Link, t.s.Panel);
  EXPECT_EQ(o.result, TResult::NotIdentified);
  EXPECT_EQ(test::BoxFor(t.s, o), "Warning: Reading error on serial port!");
  CloseComm(t.s.Link.PanelPort);
}

// On the virtual clock, to the millisecond: the search tries the port's
// current speed (9600) first, then 115200 downwards. Every speed costs the
// 50 ms settle after the probe; a silent speed adds the probe's wait, which
// ends at the first whole second above its 0.5 s limit (1 s), while six
// garbage bytes end it at once.
TEST(BaudSearch, FindsThePanelsRateAndLeavesThePortOpenAtIt) {
  // Seed 1: silent at 9600 and 57600, garbage at 115200 and 38400.
  sim::TSimLine line({.model = "VYR 320", .baud = 19200, .seed = 1});
  TTestSession t;
  t.s.Link.PanelPort.System = &line;
  t.s.Link.PanelPort.BaudIndex = 6;
  ASSERT_TRUE(OpenComm(t.s.Link.PanelPort));
  const int64_t t0 = line.NowNs();
  EXPECT_TRUE(FindBaudRate(t.s.Link));
  EXPECT_EQ(line.NowNs() - t0, int64_t{1050 + 50 + 1050 + 50 + 50} * 1'000'000);
  // 14400 is never tried.
  EXPECT_EQ(line.OpenSpeeds(), (std::vector<int>{9600, 115200, 57600, 38400, 19200}));
  EXPECT_EQ(t.ui.Steps(), (std::vector<int32_t>{1, 1, 1, 1, 1}));
  EXPECT_EQ(t.s.Link.PanelPort.BaudIndex, 8);
  EXPECT_NE(t.s.Link.PanelPort.Handle, -1);
  // Two garbage answers, then the probe's echo.
  const std::vector<uint8_t> probe{0x3C, 0xC3, 0x00, 0x00, 0x00, 0xFF};
  ASSERT_EQ(line.PanelSent().size(), 18u);
  EXPECT_EQ(std::vector<uint8_t>(line.PanelSent().end() - 6, line.PanelSent().end()), probe);
  EXPECT_EQ(t.ui.Statuses(), std::vector<std::string>{"Synchronizing Baud Rate"});
  CloseComm(t.s.Link.PanelPort);
}

// The same search over a pseudo-terminal in real time: the speed really set
// on the device. At least the pauses and waits above; the upper bound only
// catches a search that went round again.
TEST(BaudSearch, SetsTheFoundRateOnAPseudoTerminal) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR 320", .baud = 19200, .seed = 1});
  OpenOn(t.s, *panel, 6);
  const auto t0 = Clock::now();
  EXPECT_TRUE(FindBaudRate(t.s.Link));
  const int64_t ms = MsSince(t0);
  EXPECT_EQ(t.ui.Steps(), (std::vector<int32_t>{1, 1, 1, 1, 1}));
  EXPECT_EQ(t.s.Link.PanelPort.BaudIndex, 8);
  EXPECT_NE(t.s.Link.PanelPort.Handle, -1);
  EXPECT_EQ(panel->LineSpeed(), 19200);
  EXPECT_GE(ms, 2250 - 2);  // the layer's clock counts whole milliseconds
  EXPECT_LT(ms, test::ScaledMs(2250 + 4000));
  CloseComm(t.s.Link.PanelPort);
}

TEST(BaudSearch, ARateThePortRefusesDoesNotSkipTheNextRate) {
  // The panel talks at 38400 (index 9); the port refuses 57600 (index 10).
  sim::TSimLine line({.model = "VYR 320", .baud = 38400});
  // The device opens, the setting is refused, and the handle stays held
  // until it is closed, as a real port does.
  test::TFakeSystem port(line);
  port.refuseBaudIndex = 10;
  TTestSession t;
  t.s.Link.PanelPort.System = &port;
  t.s.Link.PanelPort.BaudIndex = 6;
  EXPECT_TRUE(FindBaudRate(t.s.Link));
  // 9600 first, then every rate from the top: the refused one closed, so
  // that 38400 is really opened at its own speed.
  EXPECT_EQ(port.openedBaud, (std::vector<uint8_t>{6, 11, 10, 9}));
  EXPECT_EQ(t.s.Link.PanelPort.BaudIndex, 9);
  EXPECT_NE(t.s.Link.PanelPort.Handle, -1);
  ClosePort(t.s.Link.PanelPort);
  // One warning for the refused rate, whatever QuietErrors says.
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Warning: Error opening Com port!"});
}

TEST(BaudSearch, NothingAnswersEndsOpenAt9600) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR8"});  // small panels never echo the probe
  OpenOn(t.s, *panel, 10);
  EXPECT_FALSE(FindBaudRate(t.s.Link));
  EXPECT_EQ(t.ui.Steps().size(), 7u);
  EXPECT_EQ(t.s.Link.PanelPort.BaudIndex, 6);
  EXPECT_NE(t.s.Link.PanelPort.Handle, -1);
  EXPECT_EQ(panel->LineSpeed(), 9600);
  EXPECT_TRUE(t.ui.Boxes().empty());
  CloseComm(t.s.Link.PanelPort);
}

TEST(ConnectionCheck, IdentifiesASmallPanelAndEndsReadyWithThePortClosed) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR32G", .firmware = "2.20"});
  t.s.Link.PanelPort.Device = panel->DevicePath();
  ASSERT_TRUE(CheckConnection(t.s));
  EXPECT_EQ(t.s.Panel.PanelDescription, "VYR32G v.2.20");
  EXPECT_EQ(t.s.Link.PanelPort.Handle, -1);
  const auto statuses = t.ui.Statuses();
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.front(), "Opening Com Port");
  EXPECT_EQ(statuses.back(), "Ready");
  EXPECT_EQ(t.ui.events.front().kind, test::TEvent::Cursor);
  EXPECT_EQ(t.ui.events.front().value, 1);
  // After the 500 ms settle.
  EXPECT_EQ(panel->LineSpeed(), 0) << "port closed";
}

TEST(ConnectionCheck, APortInUseShowsTheOpeningErrorOnce) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR8"});
  test::THeldPort holder(panel->DevicePath());
  ASSERT_TRUE(holder.ok);
  t.s.Link.PanelPort.Device = panel->DevicePath();
  EXPECT_FALSE(CheckConnection(t.s));
  // The second line names the holder: this test's own process.
  const std::vector<std::string> boxes = t.ui.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].rfind("Warning: Error opening Com port!\r\n", 0), 0u) << boxes[0];
  EXPECT_NE(boxes[0].find(" (pid " + std::to_string(::getpid()) + ") is using the port; close it or stop that service."),
            std::string::npos)
      << boxes[0];
  EXPECT_EQ(t.s.Link.PanelPort.LastError, TCommError::InUse);
  EXPECT_EQ(t.ui.Statuses().back(), "Ready");
  EXPECT_EQ(t.s.Link.PanelPort.Handle, -1);
  EXPECT_EQ(t.ui.events.back().kind, test::TEvent::Cursor) << "the pointer comes back";
  holder.Release();
}

// The port list: port_list_test.cpp.

}  // namespace
}  // namespace tarvex
