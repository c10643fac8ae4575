// The read and send workflows end to end against simulated panels: every
// outcome the window can show, and the control states between them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "app/backup.h"
#include "app/connection.h"
#include "app/data_diff.h"
#include "app/keyfile.h"
#include "app/languages.h"
#include "app/workflows.h"
#include "protocol/text.h"
#include "protocol/identify.h"
#include "protocol/transfer.h"
#include "protocol/frames.h"
#include "sim/sim_line.h"
#include "sim/sim_options.h"
#include "tests/support/held_port.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/send_plan.h"
#include "tests/test_support.h"

namespace tarvex {
namespace {

using sim::FaultKind;
using test::StartPanel;
using test::TTestSession;

// Points the session at a panel as a connection check would leave it.
void ConnectTo(TSession& s, const sim::SimPanel& panel) {
  s.Link.PanelPort.Device = panel.DevicePath();
  const int model = panel.Model();
  s.Panel.ConnectedModel = model;
  if (const TBlockMap* map = BlockMapForModel(model)) s.Panel.BlockMap = *map;
  s.Link.PanelPort.BaudIndex = panel.IsLarge() ? 9 : 6;
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
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(test::StatusOf(t.s, r), "Ready");
  EXPECT_TRUE(t.ui.Boxes().empty());
  EXPECT_EQ(t.s.Small->User(0).Code(), "2468FFFF");
  EXPECT_TRUE(t.s.Small->User(0).IsMainUser());
  EXPECT_EQ(t.s.Link.PanelPort.Handle, -1);
  const auto statuses = t.ui.Statuses();
  EXPECT_EQ(statuses, (std::vector<std::string>{"Reading codes", "Checking user code", "Reading keys & cards"}));
}

TEST(ReadWorkflow, ACodeStoredNowhereOrNotTheMainUsersIsAnInvalidCode) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR32", .mainCode = "1234"});
  SetPanelUser(*panel, "VYR32", 3, "777777", 0);
  ConnectTo(t.s, *panel);
  // Every read worked: the code is wrong, not the line, and the installer
  // must not be sent looking for a cable fault.
  TReadOutcome r = ReadFromPanel(t.s, "9999");
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(test::StatusOf(t.s, r), "Invalid code!");
  EXPECT_TRUE(t.ui.Boxes().empty()) << "no read failed, so no box";
  r = ReadFromPanel(t.s, "777777");
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(test::StatusOf(t.s, r), "Invalid code!");
  EXPECT_TRUE(t.ui.Boxes().empty());
  EXPECT_EQ(t.s.Link.PanelPort.Handle, -1);
}

TEST(ReadWorkflow, APortThatCannotBeOpenedShowsTheWarningTwice) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR8"});
  ConnectTo(t.s, *panel);
  test::THeldPort holder(panel->DevicePath());
  ASSERT_TRUE(holder.ok);
  const TReadOutcome r = ReadFromPanel(t.s, "1234");
  EXPECT_FALSE(r.ok());
  EXPECT_FALSE(test::StatusOf(t.s, r).has_value());
  // Two boxes, and that is the window's rule, not an echo of one box: the
  // open shows its warning (EnsurePortOpen, as it does for every open), and
  // a read or a send whose open failed then shows the window's own warning
  // after it. A connection check shows only the first (identify_test.cpp).
  // Both with the second line that names the holder: this test's process.
  std::string self;
  std::getline(std::ifstream("/proc/self/comm"), self);
  const std::string box = "Warning: Error opening Com port!\r\n" + self + " (pid " + std::to_string(::getpid()) +
                          ") is using the port; close it or stop that service.";
  EXPECT_EQ(t.ui.Boxes(), (std::vector<std::string>{box, box}));
  EXPECT_EQ(t.s.Link.PanelPort.Handle, -1);
  holder.Release();
}

TEST(ReadWorkflow, LargePanelChecksOnlyTheCodesLength) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR 320"});
  ConnectTo(t.s, *panel);
  TReadOutcome r = ReadFromPanel(t.s, "123");
  EXPECT_EQ(test::StatusOf(t.s, r), "Invalid code!");
  EXPECT_EQ(panel->ExchangeCount(), 0);
  r = ReadFromPanel(t.s, "0000");
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(test::StatusOf(t.s, r), "Ready");
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
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(test::StatusOf(t.s, r), "Reading error on serial port!");
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Warning: Reading error on serial port!"});
  EXPECT_EQ(t.s.Small->User(0).Code(), "1234FFFF");
}

// What the installer reads of a connection check in the other languages:
// the status line through the baud search, and a firmware that is refused.
// On the in-process line, whose clock is virtual.
TEST(ConnectionCheck, TheTextsFollowTheLanguage) {
  TTestSession t;
  ApplyLanguageTexts(t.s, TLanguage::French);
  sim::TSimLine large({.model = "VYR 320", .firmware = "2.05"});
  t.s.Link.PanelPort.System = &large;
  t.s.Link.PanelPort.Device = "sim";
  EXPECT_TRUE(CheckConnection(t.s));
  EXPECT_EQ(t.ui.Statuses(),
            (std::vector<std::string>{"Ouverture port Com", "Lecture de la version du système VYR Unit",
                                      "Synchronisation de Baud Rate", "Lecture de la version du système VYR 320",
                                      "Prêt"}));
  EXPECT_TRUE(t.ui.Boxes().empty());

  TTestSession u;
  ApplyLanguageTexts(u.s, TLanguage::Italian);
  sim::TSimLine small({.model = "VYR8", .firmware = "2.05"});
  u.s.Link.PanelPort.System = &small;
  u.s.Link.PanelPort.Device = "sim";
  u.s.Link.PanelPort.BaudIndex = 6;
  ASSERT_TRUE(OpenComm(u.s.Link.PanelPort));
  const TOutcome o = IdentifySmallPanel(u.s.Link, u.s.Panel);
  EXPECT_EQ(o.result, TResult::UnknownFirmware);
  EXPECT_EQ(u.ui.Statuses(), std::vector<std::string>{"Lettura revisione VYR Unit"});
  EXPECT_EQ(test::BoxFor(u.s, o), "Error: Versione firmware non riconosciuta!");
  CloseComm(u.s.Link.PanelPort);
}

// What the installer reads of a read in the other languages: the status
// line as it goes and at the end, a refused code, a read that fails and a
// port that cannot be opened.
TEST(ReadWorkflow, TheReadsTextsFollowTheLanguage) {
  TTestSession t;
  ApplyLanguageTexts(t.s, TLanguage::Italian);
  auto panel = StartPanel({.model = "VYR8", .mainCode = "2468"});
  ConnectTo(t.s, *panel);
  TReadOutcome r = ReadFromPanel(t.s, "2468");
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(test::StatusOf(t.s, r), "Pronto");
  EXPECT_EQ(t.ui.Statuses(), (std::vector<std::string>{"Lettura codici", "Verifica codice", "Lettura attivatori"}));
  EXPECT_TRUE(t.ui.Boxes().empty());

  ApplyLanguageTexts(t.s, TLanguage::French);
  t.ui.Clear();
  r = ReadFromPanel(t.s, "9999");
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(test::StatusOf(t.s, r), "Code non valide!");
  EXPECT_TRUE(t.ui.Boxes().empty());

  // The first block of the key data fails its check (see above).
  auto faulty = StartPanel({.model = "VYR8"});
  faulty->SetFault({FaultKind::BadCheck, 14});
  ConnectTo(t.s, *faulty);
  t.ui.Clear();
  r = ReadFromPanel(t.s, "1234");
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(test::StatusOf(t.s, r), "Problème de lecture sur le port Com!");
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Warning: Problème de lecture sur le port Com!"});

  // A port that is gone.
  ApplyLanguageTexts(t.s, TLanguage::Italian);
  t.ui.Clear();
  t.s.Link.PanelPort.Device = panel->DevicePath() + "-gone";
  r = ReadFromPanel(t.s, "2468");
  EXPECT_FALSE(r.ok());
  const std::string box = "Warning: Errore apertura porta seriale!\r\n"
                          "L'adattatore è stato scollegato? Ricollegarlo e riprovare.";
  EXPECT_EQ(t.ui.Boxes(), (std::vector<std::string>{box, box}));
}

// A panel of each block map read and saved: the file decodes to the panel's
// own fields, one by one.
TEST(ReadWorkflow, EachMapReadIntoAFileHoldsThePanelsFields) {
  for (const char* model : {"VYR4", "VYR32G", "VYR16D"}) {
    SCOPED_TRACE(model);
    TTestSession t;
    auto panel = StartPanel({.model = model, .firmware = "2.40", .mainCode = "802", .seed = 5});
    ConnectTo(t.s, *panel);
    t.s.Panel.FirmwareVersion = 2.4;
    t.s.Panel.PanelDescription = std::string(model) + " v.2.40";
    ASSERT_TRUE(ReadFromPanel(t.s, "802").ok());
    const test::TScratchDir scratch("tarvex-wf");
    const std::string base = scratch / "site";
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
    ASSERT_TRUE(ReadFromPanel(t.s, "1234").ok());
    t.ui.Clear();
  }
  TTestSession t;
  std::unique_ptr<sim::SimPanel> source;
};

TEST_F(SendWorkflow, WritesIntoAnotherSmallModelAfterProvingItsMainUserCode) {
  auto target = StartPanel({.model = "VYR32", .mainCode = "5678", .seed = 9});
  ConnectTo(t.s, *target);
  const TSendOutcome r = SendToPanel(t.s, "5678", WithoutBackup());
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Information: Transfer successful"});
  EXPECT_EQ(t.s.Link.PanelPort.Handle, -1);
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
  const auto before = target->ReadMemory(0, 8192);

  // A code stored nowhere in the target: every read worked, so the code is
  // refused as one that is not the main user's (no box), not reported as a
  // fault of the line.
  TSendOutcome r = SendToPanel(t.s, "1111", WithoutBackup());
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(test::StatusOf(t.s, r), "Invalid code!");
  EXPECT_TRUE(t.ui.Boxes().empty());
  t.ui.Clear();
  r = SendToPanel(t.s, "4321", WithoutBackup());
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(test::StatusOf(t.s, r), "Invalid code!");
  EXPECT_TRUE(t.ui.Boxes().empty());
  EXPECT_EQ(target->ReadMemory(0, 8192), before);
  // The target's users went to their own table, not into the image, and
  // that table does not keep the target's codes after the send.
  EXPECT_EQ(t.s.Small->User(0).Code(), "1234FFFF");
  EXPECT_TRUE(std::all_of(t.s.Link.TransferBuffer->begin(), t.s.Link.TransferBuffer->end(), [](uint8_t b) { return b == 0; }))
      << "the code block read from the target is wiped";
}

TEST_F(SendWorkflow, AFailedWriteShowsTheSequencesBoxThenTheWindows) {
  auto target = StartPanel({.model = "VYR8", .mainCode = "5678", .seed = 9});
  ConnectTo(t.s, *target);
  // 10 user blocks and 3 code blocks are read; then the code block is
  // written in 3 blocks, and the 2nd write is not answered.
  target->SetFault({FaultKind::NoEcho, 15});
  const TSendOutcome r = SendToPanel(t.s, "5678", WithoutBackup());
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(t.ui.Boxes(), (std::vector<std::string>{"Warning: Error writing on serial port!",
                                                    "Error: Error writing on serial port!\r\nThe send stopped after "
                                                    "writing part of the data; no backup of the panel's previous "
                                                    "data was taken."}));
  EXPECT_EQ(t.s.Link.PanelPort.Handle, -1);
}

TEST(SendWorkflowLarge, CodeLengthAndRoundTrip) {
  TTestSession t;
  auto source = StartPanel({.model = "VYR 320", .seed = 3});
  ConnectTo(t.s, *source);
  ASSERT_TRUE(ReadFromPanel(t.s, "1234").ok());
  auto target = StartPanel({.model = "VYR 320", .seed = 4});
  ConnectTo(t.s, *target);
  t.ui.Clear();
  TSendOutcome r = SendToPanel(t.s, "12", WithoutBackup());
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Information: Invalid code!\r\nNothing was written into the panel."});
  EXPECT_EQ(target->ExchangeCount(), 0);
  t.ui.Clear();
  r = SendToPanel(t.s, "9999", WithoutBackup());
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Information: Transfer successful"});
  for (const auto& region : LargePanelMap) {
    EXPECT_EQ(target->ReadMemory(region.PanelAddress, region.Bytes), source->ReadMemory(region.PanelAddress, region.Bytes));
  }
}

// ---- Backups before every send ----

// The panel's blocks that a send overwrites, as they stand.
struct TSmallBlocks {
  std::vector<uint8_t> codes, attrs, names, keyData, keyTable, keyNames;
  static TSmallBlocks Of(const sim::SimPanel& p, const std::string& model) {
    const sim::SimBlockMap* m = sim::BlockMapFor(model);
    return {p.ReadMemory(m->CodesAddr, m->CodesLen),       p.ReadMemory(m->UserAttrAddr, 240),
            p.ReadMemory(m->UserNamesAddr, 384),           p.ReadMemory(m->KeyDataAddr, 512),
            p.ReadMemory(m->KeyTableAddr, 384),            p.ReadMemory(m->KeyNamesAddr, 256)};
  }
};

TEST_F(SendWorkflow, BacksUpTheTargetBeforeTheFirstWriteAndTheBackupRestoresIt) {
  auto target = StartPanel({.model = "VYR32", .mainCode = "5678", .seed = 31});
  // Records of the key table with bits 4 and 5 set would not come back:
  // those bits are never sent. Keep this panel's records free of them.
  auto table = target->ReadMemory(sim::BlockMapFor("VYR32")->KeyTableAddr, 384);
  for (size_t i = 0; i < 384; i += 3) table[i] &= 0xCF;
  target->WriteMemory(sim::BlockMapFor("VYR32")->KeyTableAddr, table);
  const TSmallBlocks before = TSmallBlocks::Of(*target, "VYR32");
  ConnectTo(t.s, *target);
  t.s.Panel.PanelDescription = "VYR32 v.2.10";

  const test::TScratchDir scratch("tarvex-backup");
  ASSERT_TRUE(scratch.Ok());
  const auto folder = scratch.Folder() / "small";
  TSendOptions options;
  options.backupFolder = folder.string();
  std::string announced;
  size_t writesWhenAnnounced = 99;
  options.backupSaved = [&](const std::string& path) {
    announced = path;
    writesWhenAnnounced = 0;
    for (const auto& h : target->HeadersReceived()) writesWhenAnnounced += h[0] == 0x0F;
  };
  const TSendOutcome r = SendToPanel(t.s, "5678", options);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(writesWhenAnnounced, 0u) << "the backup is saved before anything is written";
  EXPECT_EQ(r.backupPath, announced);
  EXPECT_TRUE(std::regex_match(std::filesystem::path(r.backupPath).filename().string(),
                               std::regex(R"(VYR32-\d{8}-\d{6}\.tvx)")))
      << r.backupPath;
  EXPECT_EQ(std::filesystem::path(r.backupPath).parent_path(), folder);
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Information: Transfer successful\r\nBackup of the panel's "
                                                   "previous data: " + r.backupPath});
  struct stat st {};
  ASSERT_EQ(::stat(r.backupPath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // The source's data is in the panel now.
  EXPECT_NE(TSmallBlocks::Of(*target, "VYR32").names, before.names);

  // Restoring is loading the backup and sending it, as usual, with the
  // main user code the panel has now.
  ASSERT_EQ(LoadSmallFile(t.s, r.backupPath), TLoadResult::Loaded);
  EXPECT_EQ(ImageModel(t.s.Small->Bytes()), 26);
  EXPECT_EQ(ImageDescription(t.s.Small->Bytes()), "VYR32 v.2.10");
  t.ui.Clear();
  ASSERT_TRUE(SendToPanel(t.s, "1234", WithoutBackup()).ok()) << testing::PrintToString(t.ui.Boxes());
  const TSmallBlocks after = TSmallBlocks::Of(*target, "VYR32");
  EXPECT_EQ(after.codes, before.codes);
  EXPECT_EQ(after.attrs, before.attrs);
  EXPECT_EQ(after.keyData, before.keyData);
  // Key-table records come back at the position of their own number, and
  // flag bits 2 and 3 are never sent back: every other bit is restored.
  for (size_t i = 0; i < 384; i += 3) {
    const uint8_t k = before.keyTable[i + 2];
    ASSERT_LT(k, 128);
    EXPECT_EQ(after.keyTable[3 * k + 2], k);
    EXPECT_EQ(after.keyTable[3 * k + 1], before.keyTable[i + 1]) << "key " << int(k);
    EXPECT_EQ(after.keyTable[3 * k], before.keyTable[i] & 0xC3) << "key " << int(k);
  }
  for (size_t u = 0; u < 24; ++u)
    EXPECT_EQ(PrintableField(after.names, 16 * u, 16), PrintableField(before.names, 16 * u, 16)) << "user " << u;
  for (size_t k = 0; k < 16; ++k)
    EXPECT_EQ(PrintableField(after.keyNames, 16 * k, 16), PrintableField(before.keyNames, 16 * k, 16)) << "key " << k;
}

TEST(SendBackup, TheMap3CodeBlockTailStillGoesBackAsReadFromTheTarget) {
  TTestSession t;
  auto source = StartPanel({.model = "VYR16D", .firmware = "1.50", .mainCode = "1111", .seed = 41});
  ConnectTo(t.s, *source);
  ASSERT_TRUE(ReadFromPanel(t.s, "1111").ok());
  auto target = StartPanel({.model = "VYR16D", .firmware = "1.50", .mainCode = "2222", .seed = 42});
  const auto* map = sim::BlockMapFor("VYR16D");
  target->WriteMemory(map->CodesAddr + 72, {0xA1, 0xB2, 0xC3});  // the panel's own bytes after the codes
  ConnectTo(t.s, *target);
  TSendOptions options;
  const test::TScratchDir scratch("tarvex-backup");
  ASSERT_TRUE(scratch.Ok());
  const auto folder = scratch.Folder() / "map3";
  options.backupFolder = folder.string();
  ASSERT_TRUE(SendToPanel(t.s, "2222", options).ok());
  EXPECT_EQ(target->ReadMemory(map->CodesAddr + 72, 3), (std::vector<uint8_t>{0xA1, 0xB2, 0xC3}));
  // The attribute block that overlaps the code block holds the source's
  // attributes, written after the codes (a VYR16D gets the high four bits
  // of each user's second attribute byte cleared).
  auto expected = source->ReadMemory(map->UserAttrAddr, 240);
  for (size_t u = 0; u < 24; ++u) expected[10 * u + 1] &= 0x0F;
  EXPECT_EQ(target->ReadMemory(map->UserAttrAddr, 240), expected);
}

TEST_F(SendWorkflow, NothingIsWrittenWhenTheBackupCannotBeSaved) {
  auto target = StartPanel({.model = "VYR8", .mainCode = "5678", .seed = 9});
  ConnectTo(t.s, *target);
  const auto before = target->ReadMemory(0, 8192);
  const test::TScratchDir scratch("tarvex-backup");
  ASSERT_TRUE(scratch.Ok());
  const auto blocker = scratch.Folder() / "blocked";
  std::ofstream(blocker) << "a file where the folder should be";
  TSendOptions options;
  options.backupFolder = (blocker / "backups").string();
  const TSendOutcome r = SendToPanel(t.s, "5678", options);
  EXPECT_FALSE(r.ok());
  EXPECT_TRUE(r.backupPath.empty());
  const auto boxes = t.ui.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].rfind("Error: The panel's data could not be backed up: nothing was written into the panel.\r\n", 0),
            0u)
      << boxes[0];
  EXPECT_NE(boxes[0].find("Not a directory"), std::string::npos) << boxes[0];
  EXPECT_EQ(target->ReadMemory(0, 8192), before);
  for (const auto& h : target->HeadersReceived()) EXPECT_NE(h[0], 0x0F) << "no write reached the panel";
  EXPECT_EQ(t.s.Link.PanelPort.Handle, -1);
}

TEST_F(SendWorkflow, NothingIsWrittenWhenTheBackupCannotBeRead) {
  auto target = StartPanel({.model = "VYR8", .mainCode = "5678", .seed = 9});
  ConnectTo(t.s, *target);
  // 10 user blocks, 3 code blocks, then the key data: the backup's read.
  target->SetFault({FaultKind::BadCheck, 15});
  const auto before = target->ReadMemory(0, 8192);
  TSendOptions options;
  const test::TScratchDir scratch("tarvex-backup");
  ASSERT_TRUE(scratch.Ok());
  const auto folder = scratch.Folder() / "unread";
  options.backupFolder = folder.string();
  EXPECT_FALSE(SendToPanel(t.s, "5678", options).ok());
  EXPECT_EQ(t.ui.Boxes(), (std::vector<std::string>{
                              "Warning: Reading error on serial port!",
                              "Error: The panel's data could not be backed up: nothing was written into the panel."}));
  EXPECT_EQ(target->ReadMemory(0, 8192), before);
  EXPECT_FALSE(std::filesystem::exists(folder) && !std::filesystem::is_empty(folder));
}

TEST(SendBackup, LargePanelBackupHoldsItsSevenBlocks) {
  TTestSession t;
  auto source = StartPanel({.model = "VYR 320", .seed = 51});
  ConnectTo(t.s, *source);
  ASSERT_TRUE(ReadFromPanel(t.s, "1234").ok());
  auto target = StartPanel({.model = "VYR 320", .seed = 52});
  ConnectTo(t.s, *target);
  TSendOptions options;
  const test::TScratchDir scratch("tarvex-backup");
  ASSERT_TRUE(scratch.Ok());
  const auto folder = scratch.Folder() / "large";
  options.backupFolder = folder.string();
  const TSendOutcome r = SendToPanel(t.s, "1234", options);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(std::filesystem::path(r.backupPath).filename().string().rfind("VYR320-", 0), 0u);
  std::vector<uint8_t> image;
  std::string error;
  ASSERT_TRUE(DecodeKeyCodeFile(r.backupPath, &image, &error)) << error;
  EXPECT_EQ(ImageModel(image), 6);
  LargePanelImage backup;
  std::copy(image.begin(), image.end(), backup.Bytes().begin());
  sim::SimPanel reference({.model = "VYR 320", .seed = 52});  // the target as it was
  for (size_t i = 0; i < kLargeRegionCount; ++i) {
    const auto& region = LargePanelMap[i];
    const auto expected = reference.ReadMemory(region.PanelAddress, region.Bytes);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), backup.Region(i).begin())) << "region " << i;
    EXPECT_EQ(target->ReadMemory(region.PanelAddress, region.Bytes), source->ReadMemory(region.PanelAddress, region.Bytes));
  }
}

TEST(BackupNames, ModelAndUtcTimeNeverOverwritingAnEarlierBackup) {
  const test::TScratchDir scratch("tarvex-backup");
  ASSERT_TRUE(scratch.Ok());
  const auto folder = scratch.Folder() / "names";
  std::string error;
  ASSERT_TRUE(EnsureBackupFolder(folder.string(), &error)) << error;
  const std::time_t when = 1796740503;  // 2026-12-08 14:35:03 UTC
  const std::string first = BackupFileName(folder.string(), "VYR 320", when);
  EXPECT_EQ(first, (folder / "VYR320-20261208-143503.tvx").string());
  std::ofstream(first) << "x";
  EXPECT_EQ(BackupFileName(folder.string(), "VYR 320", when), (folder / "VYR320-20261208-143503-2.tvx").string());
  // The variables are put back as they were when the test ends.
  test::TEnvGuard xdg("XDG_DATA_HOME");
  test::TEnvGuard home("HOME");
  ::setenv("XDG_DATA_HOME", "/srv/data", 1);
  EXPECT_EQ(DefaultBackupFolder(), "/srv/data/tarvex/backups");
  ::setenv("XDG_DATA_HOME", "relative/ignored", 1);
  ::setenv("HOME", "/home/installer", 1);
  EXPECT_EQ(DefaultBackupFolder(), "/home/installer/.local/share/tarvex/backups");
}

// ---- Putting a backup back ----

// A session on an in-process panel, identified, with English texts.
struct TSimSession {
  explicit TSimSession(sim::PanelConfig cfg) : line(std::move(cfg)) {
    t.s.Link.PanelPort.Device = "sim";
    t.s.Link.PanelPort.System = &line;
  }
  sim::TSimLine line;
  TTestSession t;
  TSession& s() { return t.s; }
  int Writes() const {
    int n = 0;
    for (const auto& h : line.Engine().HeadersReceived()) n += h[0] == kSmallWriteCommand;
    return n;
  }
};

// The VYR8's data, read with its main code, saved as a backup would be.
std::string SaveOf(const sim::PanelConfig& cfg, const std::string& code, const std::string& path) {
  TSimSession p(cfg);
  if (!CheckConnection(p.s()) || !ReadFromPanel(p.s(), code).ok()) return std::string();
  std::string written;
  return SaveSmallFile(p.s(), path, &written) ? written : std::string();
}

TEST(RestoreBackup, ProvesTheCodesInOrderAndTakesNoNewBackup) {
  const test::TScratchDir dir("tarvex-restore");
  const sim::PanelConfig cfg{.model = "VYR8", .firmware = "2.10", .mainCode = "1357", .seed = 5};
  const std::string backup = SaveOf(cfg, "1357", dir.Path() + "/backup");
  ASSERT_FALSE(backup.empty());

  TSimSession target(cfg);
  const auto before = target.line.Engine().ReadMemory(0, 65536);
  // Neither code is the panel's: refused as a send refuses, nothing written.
  TSendOutcome r = RestoreBackup(target.s(), backup, {"2468", "1111"});
  EXPECT_EQ(r.outcome.result, TResult::CodeStoredNowhere);
  EXPECT_FALSE(r.ok());
  EXPECT_FALSE(r.writeStarted);
  EXPECT_EQ(target.Writes(), 0);
  EXPECT_EQ(StatusAfterSend(r.outcome, TTexts{target.s().LangStrings, target.s().ExtraStrings}),
            std::optional<std::string>("Invalid code!"));

  // The second code is the panel's: the restore goes on with it.
  target.t.ui.Clear();
  r = RestoreBackup(target.s(), backup, {"2468", "1357"});
  ASSERT_TRUE(r.ok()) << ::testing::PrintToString(target.t.ui.Boxes());
  EXPECT_TRUE(r.backupPath.empty()) << "no new backup";
  EXPECT_GT(target.Writes(), 0);
  EXPECT_EQ(target.t.ui.Boxes(), std::vector<std::string>{"Information: Transfer successful"});
  // What a plain send of the backup leaves in a panel like it (a send
  // clears the bits a model does not take, so not the generated memory).
  const std::vector<uint8_t> expected = test::MemoryAfterSend(cfg, backup, "1357");
  ASSERT_EQ(expected.size(), 65536u);
  EXPECT_TRUE(target.line.Engine().ReadMemory(0, 65536) == expected);
  EXPECT_NE(expected, before);
  std::error_code ec;
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.Folder(), ec)) files += e.is_regular_file();
  EXPECT_EQ(files, 1u);
}

TEST(RestoreBackup, ABackupThatCannotBeLoadedWritesNothing) {
  const test::TScratchDir dir("tarvex-restore");
  TSimSession target({.model = "VYR8", .firmware = "2.10", .mainCode = "1234"});
  TSendOutcome r = RestoreBackup(target.s(), dir.Path() + "/missing.tvx", {"1234"});
  EXPECT_TRUE(r.backupFailed);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(target.Writes(), 0);
  EXPECT_EQ(target.t.ui.Boxes(), std::vector<std::string>{"Error: File not found!"});

  // A panel that does not answer: the check says so, nothing else.
  TSimSession silent({.model = "VYR8", .firmware = "2.10", .mainCode = "1234"});
  silent.line.Engine().SetFault({FaultKind::NoEcho, 0});
  r = RestoreBackup(silent.s(), dir.Path() + "/missing.tvx", {"1234"});
  EXPECT_FALSE(r.ok());
  EXPECT_FALSE(r.writeStarted);
}

TEST(RestoreBackup, AStopAfterTheFirstWriteNamesTheBackupBeingRestored) {
  const test::TScratchDir dir("tarvex-restore");
  const sim::PanelConfig cfg{.model = "VYR8", .firmware = "2.10", .mainCode = "1234", .seed = 9};
  const std::string backup = SaveOf(cfg, "1234", dir.Path() + "/backup");
  ASSERT_FALSE(backup.empty());
  TSimSession target(cfg);
  target.s().Link.Tuning.Attempts = 1;
  target.line.Engine().SetFault({.kind = FaultKind::NoEcho, .atWrite = 2});
  TRestoreOptions o;
  o.holdStoppedBox = true;
  const TSendOutcome r = RestoreBackup(target.s(), backup, {"1234"}, o);
  EXPECT_FALSE(r.ok());
  EXPECT_TRUE(r.writeStarted);
  EXPECT_EQ(r.outcome.step, TStep::WriteCodes);
  EXPECT_EQ(target.Writes(), 2) << "the fault hits the second write";
  // Held, not shown: only the sequence's own box went out.
  ASSERT_TRUE(r.heldBox.has_value());
  EXPECT_EQ(target.t.ui.Boxes().size(), 1u) << ::testing::PrintToString(target.t.ui.Boxes());
  EXPECT_EQ(r.heldBox->kind, TBoxKind::Error);
  EXPECT_EQ(r.heldBox->text, WithLine(MessageFor(r.outcome, TTexts{target.s().LangStrings,
                                                                   target.s().ExtraStrings}).text,
                                      "The send stopped after writing part of the data; the panel's previous data "
                                      "is in the backup: " + backup));
}

TEST(RestoreBackup, TheLargePanelTakesTheFirstCodeByItsLength) {
  TSimSession target({.model = "VYR 320", .firmware = "2.05", .baud = 9600});
  const test::TScratchDir dir("tarvex-restore");
  std::vector<uint8_t> image(kLargeImageSize, 0xFF);
  SetImageModel(image, kLargeModel);
  std::string error;
  ASSERT_TRUE(WriteKeyCodeFile(image, dir.Path() + "/large.tvx", &error)) << error;
  // Too short a first code: refused before any write, whatever follows.
  const TSendOutcome r = RestoreBackup(target.s(), dir.Path() + "/large.tvx", {"12", "123456"});
  EXPECT_EQ(r.outcome.result, TResult::CodeTooShort);
  EXPECT_FALSE(r.writeStarted);
}

TEST(MainUserCodeOf, TheFirstMainUsersCodeWithoutItsPadding) {
  auto image = std::make_unique<SmallPanelImage>();
  UserTable users = image->Users();
  EXPECT_EQ(MainUserCodeOf(users), std::nullopt);
  users.User(3).SetCode("2468FFFF");
  users.User(3).SetAttr(0, 0);
  users.User(5).SetCode("97FFFFFF");
  users.User(5).SetAttr(0, 1);
  users.User(7).SetCode("1111FFFF");
  users.User(7).SetAttr(0, 1);
  EXPECT_EQ(MainUserCodeOf(users), std::optional<std::string>("97"));
  users.User(5).SetCode("FFFFFFFF");
  EXPECT_EQ(MainUserCodeOf(users), std::optional<std::string>(""));
}

TEST(SimFaultAtWrite, CountsWriteHeadersOnly) {
  sim::SimOptions o;
  std::string error;
  ASSERT_TRUE(sim::ParseSimOptions({"--fault", "no-echo", "--fault-at-write", "4"}, &o, &error)) << error;
  EXPECT_EQ(o.config.fault.atWrite, 4);
  EXPECT_EQ(o.config.fault.atExchange, 0);
  EXPECT_FALSE(sim::ParseSimOptions({"--fault-at-write", "0"}, &o, &error));
}

// ---- A send that only looks ----

// A small image with what the models convert: codes of every length,
// attribute and value bytes with high bits, flag bits 2 and 3 in the flags
// byte, a name with a control byte inside.
SmallPanelImage ImageToSend() {
  SmallPanelImage img;
  const char* codes[6] = {"860412", "1", "22", "333", "4444", ""};
  for (size_t u = 0; u < kUserCount; ++u) {
    UserEntry e = img.User(u);
    e.SetName(u == 4 ? std::string("TAB\tBED") : "USER " + std::to_string(u));
    for (size_t a = 0; a < kUserAttrSize; ++a) e.SetAttr(a, static_cast<uint8_t>(0xF0 | (u + a)));
    e.SetAttr(0, u == 0 ? 1 : 0);
    e.SetCode(PadRight(codes[u % 6], kUserCodeMax, 'F'));
  }
  for (size_t k = 0; k < kKeyCount; ++k) {
    KeyEntry e = img.Key(k);
    if (k < kNamedKeys) e.SetName("KEY " + std::to_string(k));
    else e.ClearName();
    e.SetValue(static_cast<uint8_t>(0x90 + k));
    e.SetFlags(k % 3 == 0 ? 0xCF : 0x41);
    e.SetFlags23(0x04);
  }
  for (size_t i = 0; i < kKeyDataSize; ++i) img.KeyData()[i] = static_cast<uint8_t>(i * 3);
  return img;
}

// The dry run's prediction against what the send then leaves in the panel.
void DryRunPredictsTheSend(const std::string& model) {
  TTestSession t;
  auto target = StartPanel({.model = model, .firmware = model == "VYR16D" ? "1.50" : "", .mainCode = "2468", .seed = 61});
  ConnectTo(t.s, *target);
  t.s.Panel.FirmwareVersion = 2.10;
  const SmallPanelImage toSend = ImageToSend();
  *t.s.Small = toSend;
  const std::vector<uint8_t> before = target->ReadMemory(0, 0x2000);

  const TDryRunOutcome dry = DryRunSend(t.s, "2468");
  ASSERT_TRUE(dry.ok());
  EXPECT_TRUE(t.ui.Boxes().empty());
  for (const auto& h : target->HeadersReceived()) ASSERT_NE(h[0], kSmallWriteCommand) << "a write reached the panel";
  EXPECT_EQ(target->ReadMemory(0, 0x2000), before);
  // The image to send is not touched by the look.
  EXPECT_TRUE(std::equal(toSend.Bytes().begin(), toSend.Bytes().end(), t.s.Small->Bytes().begin()));
  ASSERT_EQ(dry.panel.size(), kSmallImageSize);
  ASSERT_EQ(dry.written.size(), kSmallImageSize);
  // What the panel holds now is what a read gives.
  std::vector<TDifference> diffs;
  {
    TTestSession r;
    ConnectTo(r.s, *target);
    ASSERT_TRUE(ReadFromPanel(r.s, "2468").ok());
    const auto read = r.s.Small->Bytes();
    ASSERT_TRUE(DiffImages(dry.panel, std::vector<uint8_t>(read.begin(), read.end()), {.Header = false}, &diffs));
    for (const TDifference& d : diffs) ADD_FAILURE() << "the read differs: " << DifferenceLine(d);
  }

  ASSERT_TRUE(SendToPanel(t.s, "2468", WithoutBackup()).ok());
  TTestSession r;
  ConnectTo(r.s, *target);
  ASSERT_TRUE(ReadFromPanel(r.s, "860412").ok());
  const auto after = r.s.Small->Bytes();
  ASSERT_TRUE(DiffImages(dry.written, std::vector<uint8_t>(after.begin(), after.end()), {.Header = false}, &diffs));
  for (const TDifference& d : diffs) ADD_FAILURE() << DifferenceLine(d);
  // And it is not simply the image as it was sent: the model converted it.
  ASSERT_TRUE(DiffImages(dry.written, std::vector<uint8_t>(toSend.Bytes().begin(), toSend.Bytes().end()),
                         {.Header = false}, &diffs));
  EXPECT_FALSE(diffs.empty());
}

// One digit a code byte, the high bits cleared.
TEST(DryRunSend, PredictsTheSendIntoAVyr8) { DryRunPredictsTheSend("VYR8"); }
// Two digits a code byte, every bit taken.
TEST(DryRunSend, PredictsTheSendIntoAVyr32) { DryRunPredictsTheSend("VYR32"); }
// Two digits a code byte in a longer block, the high bits cleared.
TEST(DryRunSend, PredictsTheSendIntoAVyr16d) { DryRunPredictsTheSend("VYR16D"); }

TEST(DryRunSend, ARefusedCodeReadsNothingMore) {
  TTestSession t;
  auto target = StartPanel({.model = "VYR32", .mainCode = "2468", .seed = 62});
  ConnectTo(t.s, *target);
  const TDryRunOutcome dry = DryRunSend(t.s, "1111");
  EXPECT_FALSE(dry.ok());
  EXPECT_EQ(StatusAfterSend(dry.outcome, TTexts{t.s.LangStrings, t.s.ExtraStrings}), "Invalid code!");
  EXPECT_TRUE(dry.panel.empty());
  EXPECT_TRUE(dry.written.empty());
  for (const auto& h : target->HeadersReceived()) ASSERT_NE(h[0], kSmallWriteCommand);
}

TEST(DryRunSend, LargePanelRecordsThatWouldChange) {
  TTestSession t;
  auto source = StartPanel({.model = "VYR 320", .seed = 63});
  ConnectTo(t.s, *source);
  ASSERT_TRUE(ReadFromPanel(t.s, "1234").ok());
  auto target = StartPanel({.model = "VYR 320", .seed = 63});
  ConnectTo(t.s, *target);
  // The same seed: only what the test changes differs.
  target->WriteMemory(LargePanelMap[3].PanelAddress + 4 * 17 + 1, {0x5A});
  const auto before = target->ReadMemory(LargePanelMap[3].PanelAddress, LargePanelMap[3].Bytes);
  EXPECT_FALSE(DryRunSend(t.s, "12").ok());
  const TDryRunOutcome dry = DryRunSend(t.s, "9999");
  ASSERT_TRUE(dry.ok());
  for (const auto& h : target->HeadersReceived()) ASSERT_NE(h[0] & 0xF8, kLargeWriteCommand);
  EXPECT_EQ(target->ReadMemory(LargePanelMap[3].PanelAddress, LargePanelMap[3].Bytes), before);
  std::vector<TDifference> diffs;
  ASSERT_TRUE(DiffImages(dry.panel, dry.written, {.Header = false}, &diffs));
  ASSERT_EQ(diffs.size(), 1u);
  EXPECT_EQ(DifferenceLine(diffs[0]), "region 3, record 17: 1 byte differs");
}

}  // namespace
}  // namespace tarvex
