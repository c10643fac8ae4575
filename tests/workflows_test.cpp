// The read and send workflows end to end against simulated panels: every
// outcome the window can show, and the control states between them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "app/keyfile.h"
#include "app/workflows.h"
#include "protocol/text.h"
#include "protocol/identify.h"
#include "protocol/transfer.h"
#include "tests/test_support.h"

namespace tarvex {
namespace {

using sim::FaultKind;
using test::StartPanel;
using test::TTestSession;

// Points the session at a panel as a connection check would leave it.
void ConnectTo(TSession& s, const sim::SimPanel& panel) {
  s.PanelPort.Device = panel.DevicePath();
  const int model = panel.Model();
  s.SystemFlags.ConnectedModel = model;
  if (const TBlockMap* map = BlockMapForModel(model)) s.BlockMap = *map;
  s.PanelPort.BaudIndex = panel.IsLarge() ? 9 : 6;
}

// Gives user u of a simulated small panel a code and a first attribute byte.
void SetPanelUser(sim::SimPanel& panel, const std::string& model, int u, const std::string& code, uint8_t attr0) {
  const sim::SimBlockMap* map = sim::BlockMapFor(model);
  const auto bytes = sim::EncodeCode(model, code);
  panel.WriteMemory(map->CodesAddr + static_cast<uint32_t>(u * bytes.size()), bytes);
  panel.WriteMemory(map->UserAttrAddr + static_cast<uint32_t>(u * 10), {attr0});
}

TEST(CodeRule, ZeroToSixDecimalDigits) {
  EXPECT_TRUE(IsValidCode(""));
  EXPECT_TRUE(IsValidCode("0"));
  EXPECT_TRUE(IsValidCode("123456"));
  EXPECT_FALSE(IsValidCode("1234567"));
  EXPECT_FALSE(IsValidCode("12a4"));
  EXPECT_FALSE(IsValidCode(" 123"));
  EXPECT_FALSE(IsValidCode("-12"));
  EXPECT_FALSE(IsValidCode("１２"));  // full-width digits are not decimal digits here
}

TEST(MainUserCode, FirstEntryWithThePaddedCodeAndTheMainUserMark) {
  TTargetUsers t;
  UserTable table = t.Table();
  table.User(2).SetCode("1234FFFF");
  table.User(2).SetAttr(0, 0);
  EXPECT_FALSE(IsMainUserCode(table, "1234")) << "stored, but not a main user";
  table.User(5).SetCode("1234FFFF");
  table.User(5).SetAttr(0, 1);
  EXPECT_TRUE(IsMainUserCode(table, "1234"));
  EXPECT_FALSE(IsMainUserCode(table, "123"));
  EXPECT_FALSE(IsMainUserCode(table, "12345"));
  table.User(7).SetCode("FFFFFFFF");
  table.User(7).SetAttr(0, 1);
  EXPECT_TRUE(IsMainUserCode(table, "")) << "an empty code is eight F";
}

TEST(ControlStates, TransitionsOfTheWindow) {
  TControlStates c;
  EXPECT_EQ(c, TControlStates{});
  c.SaveNameChanged();
  EXPECT_FALSE(c.SaveButton) << "the name can change only in Data read";
  c.PanelIdentified();
  EXPECT_EQ(c, (TControlStates{true, false, false, true, false}));
  c.DataRead();
  EXPECT_EQ(c, (TControlStates{true, true, false, true, false}));
  c.SaveNameChanged();
  EXPECT_EQ(c, (TControlStates{true, true, true, true, false}));
  c.FileLoaded();
  EXPECT_EQ(c, (TControlStates{true, true, true, true, true}));
  c.DataRead();
  EXPECT_TRUE(c.SaveButton) << "kept";
  EXPECT_TRUE(c.SendGroup) << "kept";
  c.Reset();
  EXPECT_EQ(c, TControlStates{});
}

TEST(ReadWorkflow, ReadsASmallPanelWithItsMainUserCode) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR8", .mainCode = "2468"});
  ConnectTo(t.s, *panel);
  const TReadOutcome r = ReadFromPanel(t.s, "2468");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.status, "Ready");
  EXPECT_TRUE(t.ui.Boxes().empty());
  EXPECT_EQ(t.s.Small->User(0).Code(), "2468FFFF");
  EXPECT_TRUE(t.s.Small->User(0).IsMainUser());
  EXPECT_EQ(t.s.PanelPort.Handle, -1);
  const auto statuses = t.ui.Statuses();
  EXPECT_EQ(statuses, (std::vector<std::string>{"Reading codes", "Checking user code", "Reading keys & cards"}));
}

TEST(ReadWorkflow, ACodeStoredNowhereIsAReadErrorAndANonMainCodeIsInvalid) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR32", .mainCode = "1234"});
  SetPanelUser(*panel, "VYR32", 3, "777777", 0);
  ConnectTo(t.s, *panel);
  TReadOutcome r = ReadFromPanel(t.s, "9999");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, "Reading error on serial port!");
  EXPECT_TRUE(t.ui.Boxes().empty()) << "no read failed, so no box";
  r = ReadFromPanel(t.s, "777777");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, "Invalid code!");
  EXPECT_TRUE(t.ui.Boxes().empty());
  EXPECT_EQ(t.s.PanelPort.Handle, -1);
}

TEST(ReadWorkflow, APortThatCannotBeOpenedShowsTheWarningTwice) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR8"});
  ConnectTo(t.s, *panel);
  TComm holder;
  holder.Device = panel->DevicePath();
  ASSERT_TRUE(OpenComm(holder));
  const TReadOutcome r = ReadFromPanel(t.s, "1234");
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.status.has_value());
  EXPECT_EQ(t.ui.Boxes(), (std::vector<std::string>{"Warning: Error opening Com port!", "Warning: Error opening Com port!"}));
  EXPECT_EQ(t.s.PanelPort.Handle, -1);
  CloseComm(holder);
}

TEST(ReadWorkflow, LargePanelChecksOnlyTheCodesLength) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR 320"});
  ConnectTo(t.s, *panel);
  TReadOutcome r = ReadFromPanel(t.s, "123");
  EXPECT_EQ(r.status, "Invalid code!");
  EXPECT_EQ(panel->ExchangeCount(), 0);
  r = ReadFromPanel(t.s, "0000");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.status, "Ready");
  const auto& region0 = LargePanelMap[0];
  const auto fromPanel = panel->ReadMemory(region0.PanelAddress, region0.Bytes);
  const auto inImage = t.s.Large->Region(0);
  EXPECT_TRUE(std::equal(fromPanel.begin(), fromPanel.end(), inImage.begin()));
}

TEST(ReadWorkflow, KeysThatCannotBeReadLeaveTheCodesReadSoFar) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR8"});
  ConnectTo(t.s, *panel);
  // Users: 240 + 384 bytes in 4 + 6 blocks; codes: 144 bytes in 3 blocks;
  // the 14th exchange is the first block of the key data.
  panel->SetFault({FaultKind::BadCheck, 14});
  const TReadOutcome r = ReadFromPanel(t.s, "1234");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, "Reading error on serial port!");
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Warning: Reading error on serial port!"});
  EXPECT_EQ(t.s.Small->User(0).Code(), "1234FFFF");
}

// A panel of each block map read and saved: the file decodes to the panel's
// own fields, one by one.
TEST(ReadWorkflow, EachMapReadIntoAFileHoldsThePanelsFields) {
  for (const char* model : {"VYR4", "VYR32G", "VYR16D"}) {
    SCOPED_TRACE(model);
    TTestSession t;
    auto panel = StartPanel({.model = model, .firmware = "2.40", .mainCode = "802", .seed = 5});
    ConnectTo(t.s, *panel);
    t.s.SystemFlags.FirmwareVersion = 2.4;
    t.s.SystemFlags.PanelDescription = std::string(model) + " v.2.40";
    ASSERT_TRUE(ReadFromPanel(t.s, "802").ok);
    const std::string base = (std::filesystem::temp_directory_path() / ("tarvex-wf-" + std::to_string(::getpid()))).string();
    std::string path;
    ASSERT_TRUE(SaveSmallFile(t.s, base, &path));
    EXPECT_EQ(path, base + ".tvx");
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_TRUE(DecodeKeyCodeFile(path, &image, &error)) << error;
    std::filesystem::remove(path);
    SmallPanelImage file;
    std::copy(image.begin(), image.end(), file.Bytes().begin());

    EXPECT_EQ(ImageModel(file.Bytes()), panel->Model());
    EXPECT_EQ(ImageDescription(file.Bytes()), std::string(model) + " v.2.40");
    EXPECT_DOUBLE_EQ(ImageFirmware(file.Bytes()), 2.4);
    const sim::SimBlockMap* map = sim::BlockMapFor(model);
    const auto attrs = panel->ReadMemory(map->UserAttrAddr, 240);
    const auto names = panel->ReadMemory(map->UserNamesAddr, 384);
    const size_t codeBytes = map->CodesLen == 144 && std::string(model) != "VYR16D" ? 6 : 3;
    const auto codes = panel->ReadMemory(map->CodesAddr, 144);
    for (size_t u = 0; u < kUserCount; ++u) {
      const UserEntry e = file.User(u);
      EXPECT_EQ(e.Name(), PrintableField(names, 16 * u, 16)) << "user " << u;
      for (size_t a = 0; a < 10; ++a) EXPECT_EQ(e.Attr(a), attrs[10 * u + a]) << "user " << u;
      // The code text turns back into the panel's own code bytes.
      std::string digits;
      for (char c : e.Code()) {
        if (c < '0' || c > '9') break;
        digits.push_back(c);
      }
      EXPECT_EQ(sim::EncodeCode(model, digits),
                std::vector<uint8_t>(codes.begin() + codeBytes * u, codes.begin() + codeBytes * (u + 1)))
          << "user " << u;
    }
    EXPECT_EQ(file.User(0).Code(), "802FFFFF");
    const auto table = panel->ReadMemory(map->KeyTableAddr, 384);
    const auto keyNames = panel->ReadMemory(map->KeyNamesAddr, 256);
    for (size_t i = 0; i < kKeyCount; ++i) {
      const uint8_t number = table[3 * i + 2];
      ASSERT_LT(number, kKeyCount);
      KeyEntry k = file.Key(number);
      EXPECT_EQ(k.Value(), table[3 * i + 1]);
      EXPECT_EQ(k.Flags(), table[3 * i] & 0xC3);
      EXPECT_EQ(k.Flags23(), table[3 * i] & 0x0C);
    }
    for (size_t k = 0; k < kKeyCount; ++k)
      EXPECT_EQ(file.Key(k).Name(), k < 16 ? PrintableField(keyNames, 16 * k, 16) : std::string()) << "key " << k;
    const auto keyData = panel->ReadMemory(map->KeyDataAddr, 512);
    EXPECT_TRUE(std::equal(keyData.begin(), keyData.end(), file.KeyData().begin()));
  }
}

class SendWorkflow : public ::testing::Test {
 protected:
  // Reads a VYR8 into the image, as a read or a file load would leave it.
  void SetUp() override {
    source = StartPanel({.model = "VYR8", .mainCode = "1234", .seed = 7});
    ConnectTo(t.s, *source);
    ASSERT_TRUE(ReadFromPanel(t.s, "1234").ok);
    t.ui.Clear();
  }
  TTestSession t;
  std::unique_ptr<sim::SimPanel> source;
};

TEST_F(SendWorkflow, WritesIntoAnotherSmallModelAfterProvingItsMainUserCode) {
  auto target = StartPanel({.model = "VYR32", .mainCode = "5678", .seed = 9});
  ConnectTo(t.s, *target);
  const TSendOutcome r = SendToPanel(t.s, "5678");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Information: Transfer successful"});
  EXPECT_EQ(t.s.PanelPort.Handle, -1);
  // The target now holds the source's users: names, attributes and codes
  // converted from one digit per byte to packed digits.
  const auto* from = sim::BlockMapFor("VYR8");
  const auto* to = sim::BlockMapFor("VYR32");
  EXPECT_EQ(target->ReadMemory(to->UserNamesAddr, 384), source->ReadMemory(from->UserNamesAddr, 384));
  for (int u = 0; u < 24; ++u) {
    const std::string code = t.s.Small->User(u).Code();
    std::string digits;
    for (char c : code)
      if (c >= '0' && c <= '9') digits.push_back(c); else break;
    EXPECT_EQ(target->ReadMemory(to->CodesAddr + 3 * u, 3), sim::EncodeCode("VYR32", digits)) << "user " << u;
  }
  // The target's main user code is now the source's.
  EXPECT_EQ(target->ReadMemory(to->CodesAddr, 3), sim::EncodeCode("VYR32", "1234"));
  EXPECT_EQ(target->ReadMemory(to->KeyDataAddr, 512), source->ReadMemory(from->KeyDataAddr, 512));
}

TEST_F(SendWorkflow, WrongOrNonMainCodesWriteNothing) {
  auto target = StartPanel({.model = "VYR8W", .mainCode = "5678", .seed = 9});
  SetPanelUser(*target, "VYR8W", 4, "4321", 2);
  ConnectTo(t.s, *target);
  const auto* map = sim::BlockMapFor("VYR8W");
  const auto before = target->ReadMemory(0, 8192);

  TSendOutcome r = SendToPanel(t.s, "1111");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Warning: Reading error on serial port!"});
  t.ui.Clear();
  r = SendToPanel(t.s, "4321");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, "Invalid code!");
  EXPECT_TRUE(t.ui.Boxes().empty());
  EXPECT_EQ(target->ReadMemory(0, 8192), before);
  // The target's users went to their own table, not into the image.
  EXPECT_EQ(t.s.Small->User(0).Code(), "1234FFFF");
  EXPECT_EQ(t.s.TargetUsers.Table().User(0).Code(), "5678FFFF");
  (void)map;
}

TEST_F(SendWorkflow, AFailedWriteShowsTheSequencesBoxThenTheWindows) {
  auto target = StartPanel({.model = "VYR8", .mainCode = "5678", .seed = 9});
  ConnectTo(t.s, *target);
  // 10 user blocks and 3 code blocks are read; then the code block is
  // written in 3 blocks, and the 2nd write is refused.
  target->SetFault({FaultKind::BadCheck, 15});
  const TSendOutcome r = SendToPanel(t.s, "5678");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(t.ui.Boxes(), (std::vector<std::string>{"Warning: Error writing on serial port!",
                                                    "Error: Error writing on serial port!"}));
  EXPECT_EQ(t.s.PanelPort.Handle, -1);
}

TEST(SendWorkflowLarge, CodeLengthAndRoundTrip) {
  TTestSession t;
  auto source = StartPanel({.model = "VYR 320", .seed = 3});
  ConnectTo(t.s, *source);
  ASSERT_TRUE(ReadFromPanel(t.s, "1234").ok);
  auto target = StartPanel({.model = "VYR 320", .seed = 4});
  ConnectTo(t.s, *target);
  t.ui.Clear();
  TSendOutcome r = SendToPanel(t.s, "12");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Information: Invalid code!"});
  EXPECT_EQ(target->ExchangeCount(), 0);
  t.ui.Clear();
  r = SendToPanel(t.s, "9999");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Information: Transfer successful"});
  for (const auto& region : LargePanelMap) {
    EXPECT_EQ(target->ReadMemory(region.PanelAddress, region.Bytes), source->ReadMemory(region.PanelAddress, region.Bytes));
  }
}

}  // namespace
}  // namespace tarvex
