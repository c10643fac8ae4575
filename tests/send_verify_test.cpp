// A send proves itself: after the last write everything written is read
// back and compared, so that a block the panel did not keep is never
// reported as a success. The panels are simulated in-process on a virtual
// clock; the test changes a panel's memory at the moment the read-back
// starts, as a block lost on the way would have left it.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/languages.h"
#include "app/workflows.h"
#include "protocol/identify.h"
#include "protocol/transfer.h"
#include "sim/sim_line.h"
#include "tests/support/panels.h"
#include "tests/support/scratch_dir.h"
#include "tests/test_session.h"

namespace tarvex {
namespace {

using test::TRecordingUserInterface;

// Records like the test interface and runs a hook when a status shows.
class THookedUserInterface : public TRecordingUserInterface {
 public:
  void TransferProgress(int code, int32_t value, const std::string& statusText) override {
    TRecordingUserInterface::TransferProgress(code, value, statusText);
    if (code == ProgressShowStatus && onStatus) onStatus(statusText);
  }
  std::function<void(const std::string&)> onStatus;
};

// A session with English texts and the hooked interface.
struct TVerifySession {
  TVerifySession() : s(ui) { ApplyLanguageTexts(s, TLanguage::English); }
  THookedUserInterface ui;
  TSession s;
};

constexpr const char* kVerifying = "Verifying the panel's data...";

// Points the session at a simulated panel as a connection check would.
void ConnectTo(TSession& s, sim::TSimLine& line) {
  s.Link.PanelPort.System = &line;
  s.Link.PanelPort.Device = "sim";
  const int model = line.Engine().Model();
  s.Panel.ConnectedModel = model;
  if (const TBlockMap* map = BlockMapForModel(model)) s.Panel.BlockMap = *map;
  s.Panel.PanelDescription = line.Engine().Config().model + " v.2.10";
  s.Link.PanelPort.BaudIndex = line.Engine().IsLarge() ? 9 : 6;  // 38400, 9600
}

// The read headers the panel heard after the last write header: what the
// send read back. Each is (address, byte count).
std::vector<std::pair<uint32_t, uint32_t>> ReadBack(const sim::PanelEngine& panel) {
  const auto headers = panel.HeadersReceived();
  size_t lastWrite = 0;
  for (size_t i = 0; i < headers.size(); ++i) {
    const uint8_t cmd = headers[i][0];
    if (cmd == 0x0F || (cmd & 0xF8) == 0xA8) lastWrite = i;
  }
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (size_t i = lastWrite + 1; i < headers.size(); ++i) {
    const auto& h = headers[i];
    if (h[0] == 0xF0) {
      out.push_back({h[1] | (h[2] << 8), (h[3] | (h[4] << 8)) + 1u});
    } else if ((h[0] & 0xF8) == 0xF8) {
      out.push_back({(uint32_t{h[2]} << 16) | (h[3] << 8) | h[4], (((h[0] & 7u) << 8) | h[1]) + 1u});
    }
  }
  return out;
}

// Blocks of at most blockSize covering [start, start + count).
void Blocks(std::vector<std::pair<uint32_t, uint32_t>>& out, uint32_t start, uint32_t count, uint32_t blockSize) {
  for (uint32_t done = 0; done < count; done += blockSize) out.push_back({start + done, std::min(blockSize, count - done)});
}

class SendVerify : public ::testing::Test {
 protected:
  // Reads a VYR8 (main code 1234) into the image.
  void SetUp() override {
    ConnectTo(t.s, source);
    ASSERT_TRUE(ReadFromPanel(t.s, "1234").ok());
    t.ui.Clear();
  }
  TVerifySession t;
  sim::TSimLine source{test::PanelOf("VYR8", "1234", 7)};
};

TEST_F(SendVerify, EveryRangeWrittenIsReadBackAndASameReadBackIsASuccess) {
  sim::TSimLine target(test::PanelOf("VYR32", "5678", 9));
  ConnectTo(t.s, target);
  const TSendOutcome r = SendToPanel(t.s, "5678", WithoutBackup());
  EXPECT_TRUE(r.ok());
  EXPECT_FALSE(r.differs());
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Information: Transfer successful"});
  // Map 2: codes 436 (72), attributes 511 (240), key data 2360 (512) and
  // key table 2872 (384) in one run, user names 7088 (384) and key names
  // 7472 (256) in another; read in 64-byte blocks.
  std::vector<std::pair<uint32_t, uint32_t>> expected;
  Blocks(expected, 436, 72, 64);
  Blocks(expected, 511, 240, 64);
  Blocks(expected, 2360, 896, 64);
  Blocks(expected, 7088, 640, 64);
  EXPECT_EQ(ReadBack(target.Engine()), expected);
  // The phase is announced, over the bytes read back.
  const std::vector<std::string> statuses = t.ui.Statuses();
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back(), kVerifying);
  bool rangeSeen = false;
  for (size_t i = 0; i < t.ui.events.size(); ++i) {
    const auto& e = t.ui.events[i];
    if (e.kind == test::TEvent::Progress && e.code == ProgressShowStatus && e.text == kVerifying) {
      for (size_t j = i + 1; j < t.ui.events.size() && !rangeSeen; ++j)
        if (t.ui.events[j].code == ProgressSetRange) {
          EXPECT_EQ(t.ui.events[j].value, 72 + 240 + 896 + 640);
          rangeSeen = true;
        }
    }
  }
  EXPECT_TRUE(rangeSeen);
  EXPECT_EQ(t.s.Link.PanelPort.Handle, -1);
}

TEST_F(SendVerify, ABlockThePanelDidNotKeepIsAWarningNamingTheAddressAndTheBackup) {
  sim::TSimLine target(test::PanelOf("VYR32", "5678", 9));
  ConnectTo(t.s, target);
  // The byte of user 3's name at 7088 + 48 + 2 is not what was sent.
  t.ui.onStatus = [&](const std::string& status) {
    if (status != kVerifying) return;
    std::vector<uint8_t> b = target.Engine().ReadMemory(7138, 1);
    target.Engine().WriteMemory(7138, {static_cast<uint8_t>(b[0] ^ 0x20)});
  };
  const test::TScratchDir folder("tarvex-verify");
  TSendOptions options;
  options.backupFolder = folder / "backups";
  const TSendOutcome r = SendToPanel(t.s, "5678", options);
  EXPECT_FALSE(r.ok());
  EXPECT_TRUE(r.differs());
  EXPECT_EQ(r.firstDifference(), 7138u);
  ASSERT_FALSE(r.backupPath.empty());
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{
                              "Warning: The panel does not hold the data sent (first difference at address 0x1BE2). "
                              "Send the file again; the panel's previous data is in the backup: " +
                              r.backupPath});
}

TEST_F(SendVerify, WithoutABackupTheWarningLeavesTheBackupOutAndTheLowestAddressIsNamed) {
  sim::TSimLine target(test::PanelOf("VYR8W", "5678", 9));
  ConnectTo(t.s, target);
  t.ui.onStatus = [&](const std::string& status) {
    if (status != kVerifying) return;
    // Two bytes differ; the lower address is named. Key table, then codes.
    target.Engine().WriteMemory(2900, {0x77});
    target.Engine().WriteMemory(437, {0x00});
  };
  const TSendOutcome r = SendToPanel(t.s, "5678", WithoutBackup());
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.firstDifference(), 437u);
  EXPECT_EQ(t.ui.Boxes(),
            std::vector<std::string>{"Warning: The panel does not hold the data sent (first difference at address "
                                     "0x01B5). Send the file again.\r\nNo backup of the panel's previous data was "
                                     "taken."});
}

TEST_F(SendVerify, AReadBackThatNeverGetsThroughSaysTheDataWasWrittenButNotChecked) {
  sim::TSimLine target(test::PanelOf("VYR32", "5678", 9));
  ConnectTo(t.s, target);
  t.ui.onStatus = [&](const std::string& status) {
    if (status == kVerifying) target.Engine().SetFault({sim::FaultKind::NoEcho, 0});
  };
  const TSendOutcome r = SendToPanel(t.s, "5678", WithoutBackup());
  EXPECT_FALSE(r.ok());
  EXPECT_FALSE(r.differs());
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{
                              "Warning: The data was written but could not be read back to check it; read the panel "
                              "again to check it.\r\nNo backup of the panel's previous data was taken."});
  EXPECT_EQ(t.s.Link.PanelPort.Handle, -1);
}

// What the installer reads of a send in the other languages: the status
// line, the closing box with and without a backup, a refused code, a
// difference found on reading back and a write that fails.
TEST_F(SendVerify, TheSendsTextsFollowTheLanguage) {
  sim::TSimLine target(test::PanelOf("VYR32", "5678", 9));
  ConnectTo(t.s, target);
  ApplyLanguageTexts(t.s, TLanguage::French);
  TSendOutcome r = SendToPanel(t.s, "5678", WithoutBackup());
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Information: Transfert réussi!"});
  EXPECT_EQ(t.ui.Statuses(),
            (std::vector<std::string>{"Lecture de codes", "Vérification du code d'utilisateur", "Envoi de codes",
                                      "Envoi de codes", "Envoi de clés & cartes",
                                      "Vérification des données de la centrale..."}));

  // A code that is not the target's main user's: the status line says so.
  t.ui.Clear();
  r = SendToPanel(t.s, "1111", WithoutBackup());
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(test::StatusOf(t.s, r), "Code non valide!");
  EXPECT_TRUE(t.ui.Boxes().empty());

  // With a backup, in Italian: the box names it. The target now holds the
  // source's users, and so its main user code.
  ApplyLanguageTexts(t.s, TLanguage::Italian);
  t.ui.Clear();
  const test::TScratchDir folder("tarvex-verify-it");
  TSendOptions options;
  options.backupFolder = folder / "backups";
  r = SendToPanel(t.s, "1234", options);
  EXPECT_TRUE(r.ok());
  ASSERT_FALSE(r.backupPath.empty());
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Information: Dati trasferiti con successo!\r\n"
                                                   "Copia dei dati precedenti della centrale: " +
                                                   r.backupPath});

  // A byte the panel did not keep.
  t.ui.Clear();
  t.ui.onStatus = [&](const std::string& status) {
    if (status == "Verifica dei dati della centrale...") target.Engine().WriteMemory(437, {0x00});
  };
  r = SendToPanel(t.s, "1234", options);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{
                              "Warning: La centrale non contiene i dati inviati (prima differenza all'indirizzo "
                              "0x01B5). Inviare di nuovo il file; i dati precedenti della centrale sono nel backup: " +
                              r.backupPath});

  // A write the panel does not echo, on a panel of its own.
  sim::TSimLine other(test::PanelOf("VYR32", "5678", 9));
  ConnectTo(t.s, other);
  t.ui.Clear();
  t.ui.onStatus = [&](const std::string& status) {
    if (status == "Scrittura codici") other.Engine().SetFault({sim::FaultKind::NoEcho, 0});
  };
  r = SendToPanel(t.s, "5678", WithoutBackup());
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(t.ui.Boxes(),
            (std::vector<std::string>{"Warning: Errore in scrittura su porta seriale!",
                                      "Error: Errore in scrittura su porta seriale!\r\nL'invio si è interrotto dopo "
                                      "aver scritto una parte dei dati; non è stato fatto alcun backup dei dati "
                                      "precedenti della centrale."}));
  EXPECT_EQ(t.s.Link.PanelPort.Handle, -1);
}

TEST_F(SendVerify, Map3ComparesTheUsersBytesWhereTheBlocksOverlapButNotThePanelsOwn) {
  sim::TSimLine target(test::PanelOf("VYR16D", "5678", 9));
  ConnectTo(t.s, target);
  // Code block 203..346, attributes 278..517: 275..277 went back as read
  // from this panel and are the panel's own; it may change them.
  t.ui.onStatus = [&](const std::string& status) {
    if (status == kVerifying) target.Engine().WriteMemory(275, {0x11, 0x22, 0x33});
  };
  TSendOutcome r = SendToPanel(t.s, "5678", WithoutBackup());
  EXPECT_TRUE(r.ok()) << testing::PrintToString(t.ui.Boxes());
  std::vector<std::pair<uint32_t, uint32_t>> expected;
  Blocks(expected, 203, 315, 64);  // codes and attributes in one run, 203..517
  Blocks(expected, 1692, 896, 64);
  Blocks(expected, 6480, 384, 64);
  Blocks(expected, 7136, 256, 64);
  EXPECT_EQ(ReadBack(target.Engine()), expected);

  // Byte 75 of the code block is the attribute block's first byte: the
  // users' write is what it must hold.
  t.ui.Clear();
  t.ui.onStatus = [&](const std::string& status) {
    if (status != kVerifying) return;
    const std::vector<uint8_t> b = target.Engine().ReadMemory(278, 1);
    target.Engine().WriteMemory(278, {static_cast<uint8_t>(b[0] + 1)});
  };
  // The target's main code is the VYR8's now.
  r = SendToPanel(t.s, "1234", WithoutBackup());
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.firstDifference(), 278u);
}

TEST_F(SendVerify, NoVerifyIsTheBareSend) {
  sim::TSimLine target(test::PanelOf("VYR32", "5678", 9));
  ConnectTo(t.s, target);
  TSendOptions options = WithoutBackup();
  options.verify = false;
  const TSendOutcome r = SendToPanel(t.s, "5678", options);
  EXPECT_TRUE(r.ok());
  EXPECT_TRUE(ReadBack(target.Engine()).empty());
  for (const std::string& status : t.ui.Statuses()) EXPECT_NE(status, kVerifying);
}

TEST(SendVerifyLarge, TheSevenBlocksAreReadBackAndTheWriteShowsItsOwnStatusAfterTheBackup) {
  TVerifySession t;
  const sim::PanelConfig from = test::PanelOf("VYR 320", "", 3);
  sim::TSimLine source(from);
  ConnectTo(t.s, source);
  ASSERT_TRUE(ReadFromPanel(t.s, "1234").ok());
  sim::PanelConfig to = from;
  to.seed = 4;
  sim::TSimLine target(to);
  ConnectTo(t.s, target);
  t.ui.Clear();
  const test::TScratchDir folder("tarvex-verify-large");
  TSendOptions options;
  options.backupFolder = folder / "backups";
  const TSendOutcome r = SendToPanel(t.s, "1234", options);
  EXPECT_TRUE(r.ok()) << testing::PrintToString(t.ui.Boxes());

  // Regions 3 (0xE4C2D8, 2000 bytes) and 2 (0xE4CAA8, 1600) touch, and so
  // do 0 (0xE5095C, 1200) and 4 (0xE50E0C, 800): one run each.
  std::vector<std::pair<uint32_t, uint32_t>> expected;
  Blocks(expected, 0xE1225A, 12000, 1023);
  Blocks(expected, 0xE1BA92, 17600, 1023);
  Blocks(expected, 0xE4C2D8, 3600, 1023);
  Blocks(expected, 0xE4E5C7, 2000, 1023);
  Blocks(expected, 0xE5095C, 2000, 1023);
  EXPECT_EQ(ReadBack(target.Engine()), expected);

  // Between the backup's read and the write: the bar emptied, then the
  // write's own status, before its first block.
  const auto& ev = t.ui.events;
  size_t writing = ev.size();
  for (size_t i = 0; i < ev.size(); ++i)
    if (ev[i].kind == test::TEvent::Progress && ev[i].code == ProgressShowStatus && ev[i].text == "Writing codes")
      writing = i;
  ASSERT_LT(writing, ev.size());
  ASSERT_GT(writing, 0u);
  EXPECT_EQ(ev[writing - 1].code, ProgressClear);
  bool stepBefore = false;
  for (size_t i = 0; i + 1 < writing; ++i) stepBefore |= ev[i].code == ProgressStep;
  EXPECT_TRUE(stepBefore) << "the backup's read came first";
}

TEST(SendVerifyLarge, ADifferenceInTheLargePanelNamesItsFullAddress) {
  TVerifySession t;
  const sim::PanelConfig from = test::PanelOf("VYR 320", "", 3);
  sim::TSimLine source(from);
  ConnectTo(t.s, source);
  ASSERT_TRUE(ReadFromPanel(t.s, "1234").ok());
  sim::TSimLine target(from);
  ConnectTo(t.s, target);
  t.ui.Clear();
  t.ui.onStatus = [&](const std::string& status) {
    if (status != kVerifying) return;
    const std::vector<uint8_t> b = target.Engine().ReadMemory(0xE4E5C7 + 5, 1);
    target.Engine().WriteMemory(0xE4E5C7 + 5, {static_cast<uint8_t>(~b[0])});
  };
  const TSendOutcome r = SendToPanel(t.s, "1234", WithoutBackup());
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Warning: The panel does not hold the data sent (first "
                                                   "difference at address 0xE4E5CC). Send the file again.\r\nNo "
                                                   "backup of the panel's previous data was taken."});
}

// The record holds the codes written; Clear() wipes each byte before it
// lets it go (the destructor runs Clear()), and leaves nothing to compare.
TEST(WriteRecord, ClearLeavesNothingAndTheRecordCanBeFilledAgain) {
  TWriteRecord record;
  const uint8_t codes[4] = {0x12, 0x34, 0x56, 0x78};
  record.Wrote(313, codes, 4);
  ASSERT_FALSE(record.Empty());
  record.Clear();
  EXPECT_TRUE(record.Empty());
  EXPECT_EQ(record.Size(), 0u);
  EXPECT_TRUE(record.Ranges().empty());
  const uint8_t other[4] = {0, 0, 0, 0};
  uint32_t at = 0;
  EXPECT_FALSE(record.FirstDifference({313, 4}, other, &at)) << "a cleared record compares nothing";
  record.Wrote(400, codes, 2);
  EXPECT_EQ(record.Ranges(), (std::vector<TWriteRecord::TRange>{{400, 2}}));
  EXPECT_TRUE(record.FirstDifference({400, 2}, other, &at));
  EXPECT_EQ(at, 400u);
}

TEST(WriteRecord, LastWriteWinsAndThePanelsOwnBytesAreNotCompared) {
  TWriteRecord record;
  const uint8_t codes[6] = {1, 2, 3, 4, 5, 6};
  const uint8_t users[3] = {7, 8, 9};
  record.Wrote(100, codes, 6);
  record.MarkPanelOwned(103, 3);  // 103..105 went back as read
  record.Wrote(105, users, 3);    // 105..107 written by a later write
  record.Wrote(200, users, 1);
  EXPECT_EQ(record.Size(), 9u);
  EXPECT_EQ(record.Ranges(), (std::vector<TWriteRecord::TRange>{{100, 8}, {200, 1}}));
  uint32_t at = 0;
  const uint8_t same[8] = {1, 2, 3, 0xAA, 0xBB, 7, 8, 9};  // the panel changed its own two
  EXPECT_FALSE(record.FirstDifference({100, 8}, same, &at));
  const uint8_t changed[8] = {1, 2, 3, 0xAA, 0xBB, 8, 8, 9};  // 105 is the later write's
  ASSERT_TRUE(record.FirstDifference({100, 8}, changed, &at));
  EXPECT_EQ(at, 105u);
}

}  // namespace
}  // namespace tarvex
