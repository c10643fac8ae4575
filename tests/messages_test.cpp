// What the application makes of the panel code's outcomes and progress
// events: the box, its kind and its text for every result, the status line
// of every phase, and the session turning events into progress notices.
// The expected texts are written out here, never read from the tables the
// code reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/languages.h"
#include "app/messages.h"
#include "app/workflows.h"
#include "tests/support/fake_system.h"
#include "tests/test_session.h"

namespace tarvex {
namespace {

struct TLang {
  explicit TLang(TLanguage l) : lang(LanguageStrings(l)), extra(ExtraStrings(l)) {}
  TLanguageStrings lang;
  TExtraStrings extra;
  TTexts texts() const { return TTexts{lang, extra}; }
};

TOutcome Of(TResult r, TStep step = TStep::None, bool write = false, bool large = false) {
  TOutcome o = Failure(r, step);
  o.write = write;
  o.large = large;
  return o;
}

std::string Box(const TMessage& m) { return std::string(BoxTitle(m.kind)) + ": " + m.text; }

TEST(MessageFor, EveryFailureOfTheLineIsAReadOrAWriteError) {
  const TLang en(TLanguage::English);
  for (TResult r : {TResult::NoEcho, TResult::BadEcho, TResult::ShortData, TResult::NoCheck, TResult::BadCheck,
                    TResult::RangeRefused}) {
    SCOPED_TRACE(static_cast<int>(r));
    EXPECT_EQ(Box(MessageFor(Of(r, TStep::ReadKeys), en.texts())), "Warning: Reading error on serial port!");
    EXPECT_EQ(Box(MessageFor(Of(r, TStep::ReadLarge, false, true), en.texts())),
              "Warning: Reading error on serial port!");
    EXPECT_EQ(Box(MessageFor(Of(r, TStep::WriteKeys, true), en.texts())), "Warning: Error writing on serial port!");
    EXPECT_EQ(Box(MessageFor(Of(r, TStep::WriteLarge, true, true), en.texts())),
              "Error: Error writing on serial port!");
  }
}

TEST(MessageFor, RefusalsOfTheReplyTheFirmwareAndTheCode) {
  const TLang en(TLanguage::English);
  EXPECT_EQ(Box(MessageFor(Of(TResult::NotAPanel, TStep::IdentifySmall), en.texts())),
            "Warning: Reading error on serial port!");
  EXPECT_EQ(Box(MessageFor(Of(TResult::NotIdentified, TStep::IdentifyLarge), en.texts())),
            "Warning: Reading error on serial port!");
  EXPECT_EQ(Box(MessageFor(Of(TResult::UnknownFirmware, TStep::IdentifySmall), en.texts())),
            "Error: Unknown firmware version detected!");
  EXPECT_EQ(Box(MessageFor(Of(TResult::UnknownFirmware, TStep::IdentifyLarge), en.texts())),
            "Warning: Unknown firmware version detected!");
  for (TResult r : {TResult::CodeStoredNowhere, TResult::CodeNotMainUser, TResult::CodeTooShort})
    EXPECT_EQ(Box(MessageFor(Of(r), en.texts())), "Information: Invalid code!");
  const TLang fr(TLanguage::French);
  EXPECT_EQ(Box(MessageFor(Of(TResult::CodeTooShort), fr.texts())), "Information: Code non valide!");
  EXPECT_EQ(Box(MessageFor(Of(TResult::UnknownFirmware, TStep::IdentifyLarge), fr.texts())),
            "Warning: Inconnue version de firmware détectée!");
}

TEST(MessageFor, AReadBackNamesTheFirstDifferenceAndTheBackup) {
  const TLang en(TLanguage::English);
  TOutcome o = Of(TResult::VerifyDiffers, TStep::Verify);
  o.address = 0x1C3;
  EXPECT_EQ(Box(MessageFor(o, en.texts(), {nullptr, "/home/i/backups/VYR8-1.tvx"})),
            "Warning: The panel does not hold the data sent (first difference at address 0x01C3). Send the file "
            "again; the panel's previous data is in the backup: /home/i/backups/VYR8-1.tvx");
  EXPECT_EQ(Box(MessageFor(o, en.texts())),
            "Warning: The panel does not hold the data sent (first difference at address 0x01C3). Send the file "
            "again.");
  const TLang it(TLanguage::Italian);
  EXPECT_EQ(MessageFor(o, it.texts(), {nullptr, "b.tvx"}).text,
            "La centrale non contiene i dati inviati (prima differenza all'indirizzo 0x01C3). Inviare di nuovo il "
            "file; i dati precedenti della centrale sono nel backup: b.tvx");
  // A read-back that could not finish says that the data was written but
  // not checked, names the backup, and asks about a lost line like any
  // other box about the line.
  TOutcome failed = Of(TResult::VerifyReadFailed, TStep::Verify);
  failed.lineLost = true;
  EXPECT_EQ(Box(MessageFor(failed, en.texts())),
            "Warning: The data was written but could not be read back to check it; read the panel again to check "
            "it.\r\nThe adapter was unplugged? Plug it back in and try again.");
  failed.lineLost = false;
  EXPECT_EQ(Box(MessageFor(failed, en.texts(), {nullptr, "/home/i/backups/VYR8-1.tvx"})),
            "Warning: The data was written but could not be read back to check it; read the panel again or restore "
            "the backup: /home/i/backups/VYR8-1.tvx");
  EXPECT_EQ(MessageFor(failed, it.texts(), {nullptr, "b.tvx"}).text,
            "I dati sono stati scritti ma non è stato possibile rileggerli per controllarli; leggere di nuovo la "
            "centrale o ripristinare il backup: b.tvx");
  const TLang fr(TLanguage::French);
  EXPECT_EQ(MessageFor(failed, fr.texts(), {nullptr, "b.tvx"}).text,
            "Les données ont été écrites mais n'ont pas pu être relues pour les vérifier ; relisez la centrale ou "
            "restaurez la sauvegarde : b.tvx");
}

// A port that refuses this user, with the group the system names.
struct TDeniedPort : test::TFakeSystem {
  TDeniedPort() {
    refuseEvery.error = TCommError::AccessDenied;
    group = "dialout";
  }
};

TEST(MessageFor, APortThatDidNotOpenSaysWhatToDoWhenThePortIsKnown) {
  const TLang en(TLanguage::English);
  TDeniedPort system;
  TComm port;
  port.System = &system;
  port.Device = "/dev/ttyUSB0";
  const TOutcome o = OpenLink(port);
  ASSERT_EQ(o.result, TResult::PortNotOpen);
  EXPECT_EQ(o.portError, TCommError::AccessDenied);
  EXPECT_EQ(Box(MessageFor(o, en.texts(), {&port, ""})),
            "Warning: Error opening Com port!\r\n"
            "No permission: add your user to the 'dialout' group, then log out and in again.");
  EXPECT_EQ(Box(MessageFor(o, en.texts())), "Warning: Error opening Com port!");
}

TEST(PhaseText, EveryPhaseHasItsStatusLine) {
  const TLang en(TLanguage::English);
  const std::vector<std::pair<TPhase, std::string>> english = {
      {TPhase::OpeningPort, "Opening Com Port"},
      {TPhase::ReadingSmallVersion, "Reading system version VYR Unit"},
      {TPhase::BaudSearch, "Synchronizing Baud Rate"},
      {TPhase::ReadingLargeVersion, "Reading system version VYR 320"},
      {TPhase::ReadingUsers, "Reading codes"},
      {TPhase::CheckingUserCode, "Checking user code"},
      {TPhase::ReadingKeys, "Reading keys & cards"},
      {TPhase::WritingCodes, "Writing codes"},
      {TPhase::WritingUsers, "Writing codes"},
      {TPhase::WritingKeys, "Writing keys & cards"},
      {TPhase::ReadingLarge, "Reading codes"},
      {TPhase::Verifying, "Verifying the panel's data..."},
      {TPhase::Ready, "Ready"},
  };
  for (const auto& [phase, text] : english) EXPECT_EQ(PhaseText(phase, en.texts()), text);
  const TLang it(TLanguage::Italian);
  EXPECT_EQ(PhaseText(TPhase::ReadingSmallVersion, it.texts()), "Lettura revisione VYR Unit");
  EXPECT_EQ(PhaseText(TPhase::WritingKeys, it.texts()), "Scrittura attivatori");
  EXPECT_EQ(PhaseText(TPhase::Verifying, it.texts()), "Verifica dei dati della centrale...");
}

TEST(StatusAfter, ReadAndSendSayWhatTheStatusLineShows) {
  const TLang en(TLanguage::English);
  EXPECT_EQ(StatusAfterRead(Success(), en.texts()), "Ready");
  EXPECT_EQ(StatusAfterRead(Of(TResult::CodeNotMainUser), en.texts()), "Invalid code!");
  EXPECT_EQ(StatusAfterRead(Of(TResult::CodeTooShort), en.texts()), "Invalid code!");
  EXPECT_EQ(StatusAfterRead(Of(TResult::NoEcho, TStep::ReadKeys), en.texts()), "Reading error on serial port!");
  EXPECT_EQ(StatusAfterRead(Of(TResult::PortNotOpen), en.texts()), std::nullopt);
  EXPECT_EQ(StatusAfterSend(Of(TResult::CodeStoredNowhere), en.texts()), "Invalid code!");
  EXPECT_EQ(StatusAfterSend(Of(TResult::CodeTooShort), en.texts()), std::nullopt) << "the large panel's is a box";
  EXPECT_EQ(StatusAfterSend(Of(TResult::VerifyDiffers), en.texts()), std::nullopt);
  EXPECT_EQ(StatusAfterSend(Success(), en.texts()), std::nullopt);
}

TEST(SessionProgress, EventsBecomeTheNoticesOfTheWindow) {
  test::TTestSession t;
  ApplyLanguageTexts(t.s, TLanguage::French);
  t.s.Link.Phase(TPhase::CheckingUserCode, 143);
  t.s.Link.Step(64);
  t.s.Link.Range(30);
  t.s.Link.Clear();
  ASSERT_EQ(t.ui.events.size(), 5u);
  EXPECT_EQ(t.ui.events[0].code, ProgressShowStatus);
  EXPECT_EQ(t.ui.events[0].text, "Vérification du code d'utilisateur");
  EXPECT_EQ(t.ui.events[1].code, ProgressSetRange);
  EXPECT_EQ(t.ui.events[1].value, 143);
  EXPECT_EQ(t.ui.events[2].code, ProgressStep);
  EXPECT_EQ(t.ui.events[2].value, 64);
  EXPECT_EQ(t.ui.events[3].code, ProgressSetRange);
  EXPECT_EQ(t.ui.events[3].value, 30);
  EXPECT_EQ(t.ui.events[4].code, ProgressClear);
  EXPECT_TRUE(t.ui.Boxes().empty());

  // A port that does not open in the middle of the baud search is told at
  // once, with what to do.
  TDeniedPort system;
  t.s.Link.PanelPort.System = &system;
  t.s.Link.PanelPort.Device = "/dev/ttyUSB1";
  ApplyLanguageTexts(t.s, TLanguage::Italian);
  TProgressEvent e;
  e.kind = TProgressEvent::TKind::OpenFailed;
  ASSERT_FALSE(OpenLink(t.s.Link.PanelPort));
  t.s.Link.Report(e);
  EXPECT_EQ(t.ui.Boxes(), (std::vector<std::string>{
                              "Warning: Errore apertura porta seriale!\r\nPermesso negato: aggiungere il proprio "
                              "utente al gruppo 'dialout', poi uscire dalla sessione e rientrare."}));
}

}  // namespace
}  // namespace tarvex
