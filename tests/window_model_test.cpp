// The window's model, without any window: a recording view stands for the
// face, and the panel operations it is asked to run off the window's thread
// are run by the test when it chooses, so that the states during an
// operation can be looked at and commands tried meanwhile. The panels are
// simulated in-process on a virtual clock: the protocol's waits cost no
// real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/keyfile.h"
#include "app/languages.h"
#include "app/messages.h"
#include "app/window_controls.h"
#include "app/window_model.h"
#include "protocol/frames.h"
#include "protocol/panel_image.h"
#include "protocol/text.h"
#include "sim/sim_line.h"
#include "tests/support/fake_system.h"
#include "tests/support/key_file.h"
#include "tests/support/panels.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/send_plan.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;

class TRecordingView : public TWindowView {
 public:
  void Show(const TWindowState& state, unsigned parts) override {
    shown = state;
    shows.push_back(parts);
    if (parts & PartStatus) statuses.push_back(state.status);
    if (parts & PartBar) barPositions.push_back(state.bar.position);
  }
  void ShowMessageBox(TBoxKind kind, const std::string& text) override {
    boxes.push_back(std::string(BoxTitle(kind)) + ": " + text);
    if (whileBoxOpen) whileBoxOpen();
  }
  // A question's box is recorded as a box is, with its question; the
  // answer is the test's: the next of answers, then answer (No unless told).
  TAnswer Ask(TBoxKind kind, const std::string& text, TQuestion question) override {
    boxes.push_back(std::string(BoxTitle(kind)) + ": " + text);
    questions.push_back(question);
    if (whileBoxOpen) whileBoxOpen();
    if (answers.empty()) return answer;
    const TAnswer a = answers.front();
    answers.erase(answers.begin());
    return a;
  }
  void ShowBusyCursor(bool busy) override { cursor.push_back(busy); }
  void ShowSupportedPanels(int languageIndex) override {
    supportedPanels.push_back(languageIndex);
    if (whileSupportedOpen) whileSupportedOpen();
  }
  void RunOffThread(std::function<void()> work, std::function<void()> done) override {
    ASSERT_FALSE(pendingWork) << "a second operation started while one runs";
    pendingWork = std::move(work);
    pendingDone = std::move(done);
    ++operations;
  }
  void RunOnWindowThread(const std::function<void()>& f) override { f(); }
  void CloseWindow() override { ++closes; }
  void ShowDataWindow() override { ++dataWindows; }
  bool ChooseSaveFileName(std::string* name) override {
    ++saveDialogs;
    if (chosenSaveName.empty()) return false;
    *name = chosenSaveName;
    return true;
  }
  void ProgressHandled(int code, int32_t) override { progressCodes.push_back(code); }
  void OperationStarted() override { ++started; }
  void OperationFinished() override { ++finished; }

  // Runs the pending operation's work, then its end on the window's thread.
  void Finish() {
    ASSERT_TRUE(pendingWork);
    auto work = std::move(pendingWork);
    auto done = std::move(pendingDone);
    pendingWork = nullptr;
    pendingDone = nullptr;
    work();
    done();
  }

  TWindowState shown;
  std::vector<unsigned> shows;
  std::vector<std::string> statuses;  // every status line shown, in order
  std::vector<int32_t> barPositions;  // every bar position shown, in order
  std::vector<std::string> boxes;
  std::vector<TQuestion> questions;
  TAnswer answer = TAnswer::No;
  std::vector<TAnswer> answers;
  std::vector<bool> cursor;
  std::vector<int> supportedPanels;
  std::vector<int> progressCodes;
  std::function<void()> whileBoxOpen;
  std::function<void()> whileSupportedOpen;
  std::function<void()> pendingWork;
  std::function<void()> pendingDone;
  int operations = 0;
  int closes = 0;
  int dataWindows = 0;
  int saveDialogs = 0;
  std::string chosenSaveName;  // the save dialog's answer; empty: cancelled
  int started = 0;
  int finished = 0;
};

// The control states by name, as a table row reads.
TControlStates States(bool userCode, bool saveGroup, bool saveButton, bool loadGroup, bool sendGroup) {
  return {userCode, saveGroup, saveButton, loadGroup, sendGroup};
}
const TControlStates kNoPanel = States(false, false, false, false, false);
const TControlStates kPanelIdentified = States(true, false, false, true, false);

class WindowModel : public ::testing::Test {
 protected:
  WindowModel()
      : vyr8_(test::PanelOf("VYR8", "1234", 1)),
        vyr32_(test::PanelOf("VYR32", "5678", 2)),
        large_([] {
          sim::PanelConfig c = test::PanelOf("VYR 320", "", 3);
          c.baud = 9600;  // found at once by the baud search's last rate
          return c;
        }()),
        scratch_("tarvex-model"),
        folder_(scratch_.Folder()) {
    EXPECT_TRUE(scratch_.Ok());
  }

  // A model on the three in-process panels, started.
  TWindowModel& Start(std::string backupFolder = "") {
    TWindowModelOptions o;
    o.leadingPorts = {{"demo1", "VYR8 (demo)", &vyr8_},
                      {"demo2", "VYR32 (demo)", &vyr32_},
                      {"demo3", "VYR 320 (demo)", &large_}};
    o.deviceFolder.clear();
    o.backupFolder = backupFolder.empty() ? (folder_ / "backups").string() : backupFolder;
    model_ = std::make_unique<TWindowModel>(view_, o);
    model_->Start();
    return *model_;
  }

  void Check(int port) {
    model_->PortChosen(port);
    model_->CheckConnection();
    view_.Finish();
  }

  const TWindowState& Shown() const { return view_.shown; }
  std::string File(const std::string& name) const { return (folder_ / name).string(); }

  sim::TSimLine vyr8_;
  sim::TSimLine vyr32_;
  sim::TSimLine large_;
  test::TScratchDir scratch_;
  fs::path folder_;
  TRecordingView view_;
  std::unique_ptr<TWindowModel> model_;
};

TEST_F(WindowModel, StartsInItalianWithThePortListAndEverythingOff) {
  TWindowModel& m = Start();
  const TWindowState& s = Shown();
  EXPECT_EQ(s.title, "Tarvex v.2.04");
  EXPECT_EQ(s.languageIndex, 1);
  EXPECT_EQ(s.captions.General, "Opzioni generali");
  EXPECT_EQ(s.captions.UserCodeLabel, "Codice utente principale");
  EXPECT_EQ(s.linkedPanel, "Nessuna centrale connessa");
  EXPECT_EQ(s.status, "Pronto");
  EXPECT_EQ(s.supportedPanelsToolTip, "Informazioni (F1)");
  EXPECT_EQ(s.sendToolTip, "Copie dei dati delle centrali: " + (folder_ / "backups").string());
  EXPECT_EQ(s.bar.position, 0);
  ASSERT_EQ(s.ports.size(), 3u);
  EXPECT_EQ(s.ports[1].Label, "VYR32 (demo)");
  EXPECT_EQ(s.selectedPort, 0);
  EXPECT_EQ(s.controls, kNoPanel);
  TControlEnables idleNoPanel;  // only the top band takes input
  EXPECT_EQ(s.enables, idleNoPanel);
  EXPECT_FALSE(s.busy);
  // Everything was painted once the start-up was over.
  ASSERT_FALSE(view_.shows.empty());
  EXPECT_EQ(view_.shows.back(), unsigned{PartAll});

  const TComm& port = m.Session().Link.PanelPort;
  EXPECT_EQ(port.Handle, -1);
  EXPECT_EQ(port.BaudIndex, 11);
  EXPECT_EQ(port.ParityIndex, 2);
  EXPECT_EQ(port.DataBitsIndex, 4);
  EXPECT_EQ(port.StopBitsIndex, 0);
  EXPECT_EQ(port.System, &vyr8_);
  EXPECT_EQ(m.Session().Link.Tuning.SuccessPauseMs, 50);
  EXPECT_EQ(m.Session().Link.Tuning.Attempts, 1);
  EXPECT_EQ(m.Session().Link.Tuning.RetryPauseMs, 700);
  EXPECT_TRUE(view_.boxes.empty());
}

TEST_F(WindowModel, NoPortAtAllStillStartsAndACheckCannotOpen) {
  TWindowModelOptions o;
  o.deviceFolder.clear();
  TWindowModel m(view_, o);
  m.Start();
  EXPECT_TRUE(Shown().ports.empty());
  EXPECT_EQ(Shown().selectedPort, -1);
  EXPECT_TRUE(m.Session().Link.PanelPort.Device.empty());
  m.CheckConnection();
  view_.Finish();
  EXPECT_EQ(view_.boxes, std::vector<std::string>{"Warning: Errore apertura porta seriale!"});
  EXPECT_EQ(Shown().controls, kNoPanel);
  EXPECT_EQ(Shown().status, "Pronto");
}

// Every row of the window's state table, walked in the order an installer
// takes them: check, read, name, save; check the other panel, load, send.
TEST_F(WindowModel, StateTableAcrossReadSaveLoadAndSend) {
  TWindowModel& m = Start();
  Check(0);
  EXPECT_EQ(Shown().controls, kPanelIdentified);
  EXPECT_EQ(Shown().linkedPanel, "VYR8 v.2.10");
  EXPECT_EQ(Shown().status, "Pronto");
  TControlEnables identified;
  identified.gbUserCode = identified.btnUserCode = identified.EUserCode = true;
  identified.gbLoadFromFile = identified.eLoadFromFile = identified.btnLoadFromFile = true;
  EXPECT_EQ(Shown().enables, identified);

  // A name typed before any read does not make the save ready.
  m.SaveNameEdited(File("early"));
  EXPECT_EQ(Shown().controls, kPanelIdentified);

  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  view_.Finish();
  EXPECT_EQ(Shown().controls, States(true, true, false, true, false));  // Data read
  EXPECT_EQ(Shown().status, "Pronto");
  EXPECT_FALSE(Shown().enables.btnSaveToFile);
  EXPECT_EQ(Shown().userCode, "1234");  // a read keeps the code typed

  m.SaveNameEdited(File("site1"));
  EXPECT_EQ(Shown().controls, States(true, true, true, true, false));  // Save ready
  EXPECT_TRUE(Shown().enables.btnSaveToFile);
  m.SaveToFile();
  EXPECT_TRUE(fs::exists(File("site1.tvx")));
  EXPECT_EQ(Shown().controls, kNoPanel);
  EXPECT_EQ(Shown().linkedPanel, "Nessuna centrale connessa");
  EXPECT_EQ(Shown().userCode, "");
  EXPECT_EQ(Shown().saveFileName, File("site1"));  // names are left alone

  Check(1);
  EXPECT_EQ(Shown().linkedPanel, "VYR32 v.2.10");
  m.LoadNameEdited(File("site1.tvx"));
  m.LoadFromFile();
  EXPECT_EQ(Shown().controls, States(true, false, false, true, true));  // File loaded
  EXPECT_TRUE(Shown().enables.btnSendCodes && Shown().enables.eUserCodeSend);

  m.SendCodeEdited("5678");
  m.SendToPanel();
  view_.Finish();
  ASSERT_EQ(view_.boxes.size(), 1u);
  EXPECT_EQ(view_.boxes[0].rfind("Information: Dati trasferiti con successo!\r\n", 0), 0u) << view_.boxes[0];
  EXPECT_EQ(Shown().controls, kNoPanel);
  EXPECT_EQ(Shown().sendCode, "");

  // The VYR32 now answers to the VYR8's main user code.
  Check(1);
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  view_.Finish();
  EXPECT_EQ(Shown().controls, States(true, true, false, true, false));
}

TEST_F(WindowModel, ReadFailuresKeepTheStatesAndSayWhyInTheStatusLine) {
  TWindowModel& m = Start();
  Check(0);
  m.UserCodeEdited("12");  // stored nowhere: refused, though every read worked
  m.ReadFromPanel();
  view_.Finish();
  EXPECT_EQ(Shown().status, "Codice non valido!");
  EXPECT_EQ(Shown().controls, kPanelIdentified);
  EXPECT_TRUE(view_.boxes.empty());

  // The panel stops answering: the sequence's box, the status line, states kept.
  vyr8_.Engine().SetFault({sim::FaultKind::NoEcho, 0});
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  view_.Finish();
  EXPECT_EQ(view_.boxes, std::vector<std::string>{"Warning: Errore in lettura su porta seriale!"});
  EXPECT_EQ(Shown().controls, kPanelIdentified);
  EXPECT_EQ(m.Session().Link.PanelPort.Handle, -1);
}

TEST_F(WindowModel, FileLoadOutcomes) {
  TWindowModel& m = Start();
  Check(0);
  m.LoadNameEdited(File("missing.tvx"));
  m.LoadFromFile();
  EXPECT_EQ(view_.boxes, std::vector<std::string>{"Error: File non trovato!"});
  EXPECT_EQ(Shown().controls, kPanelIdentified);

  // A file of the large panel's class while a small panel is connected.
  std::vector<uint8_t> image(kSmallImageSize, 0xFF);
  SetImageModel(image, kLargeModel);
  ASSERT_TRUE(test::WriteKeyFile(File("large.tvx"), image, 99));
  m.LoadNameEdited(File("large.tvx"));
  m.LoadFromFile();
  ASSERT_EQ(view_.boxes.size(), 2u);
  EXPECT_EQ(view_.boxes[1].rfind("Error: La centrale connessa non corrisponde\r\n", 0), 0u);
  EXPECT_EQ(Shown().controls, kNoPanel);
  EXPECT_EQ(Shown().linkedPanel, "Nessuna centrale connessa");
}

TEST_F(WindowModel, SendOfTheLargePanelWithAShortCodeEndsInNoPanel) {
  TWindowModel& m = Start();
  Check(2);
  EXPECT_EQ(Shown().linkedPanel, "VYR 320 v.2.05");
  std::vector<uint8_t> image(kLargeImageSize, 0xFF);
  SetImageModel(image, kLargeModel);
  ASSERT_TRUE(test::WriteKeyFile(File("l.tvx"), image, 7));
  m.LoadNameEdited(File("l.tvx"));
  m.LoadFromFile();
  ASSERT_TRUE(Shown().controls.SendGroup);
  m.SendCodeEdited("123");
  m.SendToPanel();
  view_.Finish();
  EXPECT_EQ(view_.boxes,
            std::vector<std::string>{"Information: Codice non valido!\r\nNessun dato è stato scritto nella centrale."});
  EXPECT_EQ(Shown().controls, kNoPanel);
}

TEST_F(WindowModel, WithoutAFolderForBackupsTheSendIsRefusedAndTheTooltipSaysWhy) {
  TWindowModelOptions o;
  o.leadingPorts = {{"demo1", "VYR8 (demo)", &vyr8_}};
  o.deviceFolder.clear();
  o.backupFolder.clear();  // neither HOME nor XDG_DATA_HOME (LOCALAPPDATA) known
  TWindowModel m(view_, o);
  m.Start();
  EXPECT_EQ(Shown().sendToolTip.find("Copie dei dati delle centrali: "), std::string::npos);
  EXPECT_EQ(Shown().sendToolTip.rfind("Nessuna cartella per le copie dei dati", 0), 0u) << Shown().sendToolTip;
  m.CheckConnection();
  view_.Finish();
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  view_.Finish();
  m.SaveNameEdited(File("x"));
  m.SaveToFile();
  m.CheckConnection();
  view_.Finish();
  m.LoadNameEdited(File("x.tvx"));
  m.LoadFromFile();
  ASSERT_TRUE(Shown().controls.SendGroup);
  const int exchanges = vyr8_.Engine().ExchangeCount();
  m.SendCodeEdited("1234");
  m.SendToPanel();
  view_.Finish();
  ASSERT_EQ(view_.boxes.size(), 1u);
  EXPECT_EQ(view_.boxes[0].rfind("Error: Impossibile salvare la copia dei dati della centrale", 0), 0u)
      << view_.boxes[0];
  EXPECT_NE(view_.boxes[0].find("\r\nNessuna cartella per le copie dei dati"), std::string::npos);
  EXPECT_EQ(vyr8_.Engine().ExchangeCount(), exchanges) << "the panel was not touched";
  EXPECT_EQ(Shown().controls, kNoPanel);
}

// While an operation runs, nothing that could start another one or change
// what it reads takes input, and commands that slip through are refused.
TEST_F(WindowModel, BusyRules) {
  TWindowModel& m = Start();
  Check(0);
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  ASSERT_TRUE(m.OperationRunning());
  EXPECT_EQ(view_.started, 2);
  const TControlEnables e = Shown().enables;
  EXPECT_FALSE(e.cbLingua || e.cbSerial || e.btnCheckConnection);
  EXPECT_FALSE(e.btnUserCode || e.btnSaveToFile || e.btnLoadFromFile || e.btnSendCodes);
  // The groups keep their states: the window does not flicker.
  EXPECT_TRUE(e.gbUserCode && e.EUserCode && e.gbLoadFromFile && e.eLoadFromFile);

  const int operations = view_.operations;
  m.CheckConnection();
  m.ReadFromPanel();
  m.LanguageChosen(0);
  m.PortChosen(1);
  m.LoadNameEdited(File("missing.tvx"));
  m.LoadFromFile();
  EXPECT_EQ(view_.operations, operations);
  EXPECT_EQ(Shown().languageIndex, 1);
  EXPECT_EQ(Shown().selectedPort, 0);
  EXPECT_EQ(m.Session().Link.PanelPort.System, &vyr8_);
  EXPECT_TRUE(view_.boxes.empty());  // the load did not run

  view_.Finish();
  EXPECT_FALSE(m.OperationRunning());
  EXPECT_EQ(view_.finished, 2);
  EXPECT_TRUE(Shown().enables.cbLingua && Shown().enables.btnCheckConnection && Shown().enables.btnUserCode);
}

TEST_F(WindowModel, TheCheckStartsFromNoPanelAndShowsTheBusyPointerMeanwhile) {
  TWindowModel& m = Start();
  Check(0);
  m.UserCodeEdited("12");
  m.CheckConnection();
  // No panel at once, code edits emptied, while the check waits to run.
  EXPECT_EQ(Shown().controls, kNoPanel);
  EXPECT_EQ(Shown().userCode, "");
  EXPECT_EQ(Shown().linkedPanel, "Nessuna centrale connessa");
  view_.cursor.clear();
  view_.Finish();
  EXPECT_EQ(view_.cursor, (std::vector<bool>{true, false}));
  EXPECT_FALSE(Shown().busyCursor);
  EXPECT_EQ(Shown().controls, kPanelIdentified);
}

TEST_F(WindowModel, CloseDuringAnOperationWaitsForItsEnd) {
  TWindowModel& m = Start();
  EXPECT_TRUE(m.CloseRequested());
  EXPECT_EQ(view_.closes, 0);

  Check(0);
  // The panel stops answering: the read's box is open when the user closes.
  vyr8_.Engine().SetFault({sim::FaultKind::NoEcho, 0});
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  bool closedDuringBox = true;
  view_.whileBoxOpen = [&] { closedDuringBox = m.CloseRequested(); };
  view_.Finish();
  EXPECT_FALSE(closedDuringBox);
  EXPECT_EQ(view_.closes, 1);  // once the operation was over
  EXPECT_EQ(m.Session().Link.PanelPort.Handle, -1);
  EXPECT_EQ(Shown().status, "Errore in lettura su porta seriale!");
}

TEST_F(WindowModel, ACloseDuringAnOperationSaysSoInTheStatusLineUntilItsEnd) {
  TWindowModel& m = Start();
  m.LanguageChosen(0);
  Check(0);
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  EXPECT_FALSE(m.ClosePending());
  view_.statuses.clear();
  view_.barPositions.clear();
  EXPECT_FALSE(m.CloseRequested());
  EXPECT_TRUE(m.ClosePending());
  EXPECT_EQ(Shown().status, "The window will close when the operation ends.");
  // The read's own phases and its clearing of the line do not replace it;
  // the bar still moves; the read's end says how it went and the window
  // closes.
  view_.Finish();
  ASSERT_GE(view_.statuses.size(), 3u);
  for (size_t i = 0; i + 1 < view_.statuses.size(); ++i)
    EXPECT_EQ(view_.statuses[i], "The window will close when the operation ends.") << i;
  EXPECT_EQ(view_.statuses.back(), "Ready");
  EXPECT_TRUE(std::any_of(view_.barPositions.begin(), view_.barPositions.end(), [](int32_t p) { return p > 0; }));
  EXPECT_EQ(view_.closes, 1);
  EXPECT_FALSE(m.ClosePending());
  EXPECT_TRUE(view_.boxes.empty());
}

TEST_F(WindowModel, TheSessionEndWaitsForASendOnlyAndTheWindowClosesAfterIt) {
  TWindowModel& m = Start();
  m.LanguageChosen(2);
  EXPECT_TRUE(m.SessionEndRequested());
  // A check and a read write nothing into the panel: the session may end.
  m.PortChosen(0);
  m.CheckConnection();
  EXPECT_TRUE(m.SessionEndRequested());
  EXPECT_FALSE(m.ClosePending());
  EXPECT_FALSE(m.WritingIntoPanel());
  view_.Finish();
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  EXPECT_TRUE(m.SessionEndRequested());
  EXPECT_FALSE(m.ClosePending());
  view_.Finish();
  m.SaveNameEdited(File("site"));
  m.SaveToFile();
  ASSERT_TRUE(fs::exists(File("site.tvx")));
  EXPECT_EQ(view_.closes, 0);

  Check(1);
  m.LoadNameEdited(File("site.tvx"));
  m.LoadFromFile();
  m.SendCodeEdited("5678");
  m.SendToPanel();
  EXPECT_TRUE(m.WritingIntoPanel());
  EXPECT_FALSE(m.SessionEndRequested());
  EXPECT_TRUE(m.ClosePending());
  EXPECT_EQ(Shown().status, "La fenêtre se fermera à la fin de l'opération en cours.");
  EXPECT_EQ(view_.closes, 0);
  view_.Finish();
  // The send ran to its end, then the window closed.
  ASSERT_EQ(view_.boxes.size(), 1u);
  EXPECT_EQ(view_.boxes[0].rfind("Information: ", 0), 0u) << view_.boxes[0];
  EXPECT_EQ(view_.closes, 1);
  EXPECT_FALSE(m.WritingIntoPanel());
  EXPECT_TRUE(m.SessionEndRequested());
}

TEST(Languages, TheCloseWaitsTextInEachLanguage) {
  EXPECT_EQ(ExtraStrings(TLanguage::English).ClosesWhenDone, "The window will close when the operation ends.");
  EXPECT_EQ(ExtraStrings(TLanguage::Italian).ClosesWhenDone,
            "La finestra si chiuderà al termine dell'operazione in corso.");
  EXPECT_EQ(ExtraStrings(TLanguage::French).ClosesWhenDone, "La fenêtre se fermera à la fin de l'opération en cours.");
  EXPECT_EQ(ExtraStrings(TLanguage::English).NotAnswering, "not answering");
  EXPECT_EQ(ExtraStrings(TLanguage::Italian).NotAnswering, "non risponde");
  EXPECT_EQ(ExtraStrings(TLanguage::French).NotAnswering, "ne répond pas");
}

#ifndef _WIN32
// The ports are probed off the window's thread: the model answers the
// user's commands meanwhile and the check waits for the complete list. A
// port whose open hangs (held here until the test lets it go) is listed
// as not answering once its limit has passed, and the others as they
// answered.
TEST_F(WindowModel, ThePortProbeRunsOffTheWindowThreadAndAHangingPortIsListedAsNotAnswering) {
  const fs::path dev = folder_ / "dev";
  fs::create_directories(dev);
  for (const char* name : {"ttyACM0", "ttyACM1", "ttyACM2"}) std::ofstream(dev / name) << "";
  const std::string slow = (dev / "ttyACM1").string();
  test::TFakeSystem system;
  std::mutex lock;
  std::condition_variable changed;
  bool released = false;
  system.beforeOpen = [&](const std::string& device) {
    if (device != slow) return;
    std::unique_lock<std::mutex> l(lock);
    changed.wait(l, [&] { return released; });
  };

  TWindowModelOptions o;
  o.leadingPorts = {{"demo1", "VYR8 (demo)", &vyr8_}};
  o.deviceFolder = dev.string();
  o.probeSystem = &system;
  o.backupFolder = (folder_ / "backups").string();
  TWindowModel m(view_, o);
  m.Start();
  // Shown at once: the leading port chosen, the list not complete, no check.
  EXPECT_EQ(view_.shows.back(), unsigned{PartAll});
  ASSERT_EQ(Shown().ports.size(), 1u);
  EXPECT_EQ(Shown().selectedPort, 0);
  EXPECT_FALSE(Shown().portsComplete);
  EXPECT_FALSE(Shown().enables.btnCheckConnection);
  EXPECT_TRUE(Shown().enables.cbLingua && Shown().enables.cbSerial);
  ASSERT_TRUE(view_.pendingWork) << "the probe runs off the window's thread";
  EXPECT_EQ(view_.operations, 1);

  // The probe runs on a thread of its own, as a face runs it.
  std::thread worker(view_.pendingWork);
  // Commands meanwhile: a language, a port; the check refuses to start.
  m.LanguageChosen(0);
  EXPECT_EQ(Shown().captions.General, "General options");
  m.CheckConnection();
  EXPECT_EQ(view_.operations, 1);
  EXPECT_FALSE(m.OperationRunning());
  worker.join();  // ends once the limit has passed, the slow open still held
  view_.pendingWork = nullptr;
  auto done = std::move(view_.pendingDone);
  view_.pendingDone = nullptr;
  done();

  std::vector<std::string> labels;
  for (const TPortEntry& e : Shown().ports) labels.push_back(e.Label);
  EXPECT_EQ(labels, (std::vector<std::string>{"VYR8 (demo)", (dev / "ttyACM0").string(),
                                              slow + " - non risponde", (dev / "ttyACM2").string()}));
  EXPECT_EQ(Shown().ports[2].State, TPortState::NotAnswering);
  EXPECT_TRUE(Shown().portsComplete);
  EXPECT_TRUE(Shown().enables.btnCheckConnection);
  EXPECT_EQ(Shown().selectedPort, 0);
  EXPECT_EQ(m.Session().Link.PanelPort.System, &vyr8_);
  // The check works now.
  m.CheckConnection();
  view_.Finish();
  EXPECT_EQ(Shown().linkedPanel, "VYR8 v.2.10");

  {
    std::lock_guard<std::mutex> l(lock);
    released = true;
  }
  changed.notify_all();
  WaitForPortProbes();
  EXPECT_EQ(system.opens, 3);
}
#endif

TEST_F(WindowModel, ShutdownDuringAnOperationReachesNothingAndPutsThePointerBack) {
  TWindowModel& m = Start();
  m.CheckConnection();
  view_.progressCodes.clear();
  view_.cursor.clear();
  // The window goes away while the check is running: the face's wait runs
  // the worker to its end.
  m.Shutdown([&] { view_.pendingWork(); });
  EXPECT_TRUE(view_.progressCodes.empty());
  EXPECT_TRUE(view_.boxes.empty());
  EXPECT_TRUE(view_.cursor.empty());  // the pointer never became busy
  EXPECT_EQ(m.Session().Link.PanelPort.Handle, -1);
  // Its end, if the face still delivered it, changes nothing.
  const int finished = view_.finished;
  view_.pendingDone();
  EXPECT_EQ(view_.finished, finished);
  EXPECT_TRUE(m.OperationRunning());
}

TEST_F(WindowModel, ShutdownWhileTheBusyPointerShowsPutsItBack) {
  TWindowModel& m = Start();
  m.CheckConnection();
  // The check has begun: its first notices arrived, the pointer is busy.
  m.Session().UI->SetBusyCursor(true);
  ASSERT_EQ(view_.cursor, std::vector<bool>{true});
  view_.cursor.clear();
  m.Shutdown(nullptr);
  EXPECT_EQ(view_.cursor, std::vector<bool>{false});
}

TEST_F(WindowModel, LanguageSwitchMidStateKeepsTheStates) {
  TWindowModel& m = Start();
  Check(0);
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  view_.Finish();
  const TControlStates dataRead = Shown().controls;
  const TControlEnables enables = Shown().enables;

  m.HandleTransferProgress(ProgressShowStatus, 0, "Lettura codici");
  m.LanguageChosen(0);
  EXPECT_EQ(Shown().captions.General, "General options");
  EXPECT_EQ(Shown().captions.UserCodeLabel, "Main user code");
  EXPECT_EQ(Shown().linkedPanel, "No panel connected");
  EXPECT_EQ(Shown().status, "Ready");
  EXPECT_EQ(Shown().supportedPanelsToolTip, "Info (F1)");
  EXPECT_EQ(Shown().controls, dataRead);
  EXPECT_EQ(Shown().enables, enables);

  m.LanguageChosen(2);
  EXPECT_EQ(Shown().captions.LoadGroup, "Charger des données à partir d'un fichier");
  EXPECT_EQ(Shown().status, "Prêt");
  // The French window caption ends in a space; the tooltip has one space.
  EXPECT_EQ(Shown().supportedPanelsToolTip, "vue (F1)");
  m.LanguageChosen(-1);
  EXPECT_EQ(Shown().captions.General, "General options");
  EXPECT_EQ(Shown().languageIndex, -1);
  EXPECT_EQ(Shown().controls, dataRead);
  EXPECT_TRUE(view_.boxes.empty());
}

TEST_F(WindowModel, ProgressNoticesDriveTheStatusLineAndTheBar) {
  TWindowModel& m = Start();
  view_.progressCodes.clear();
  m.HandleTransferProgress(ProgressShowStatus, 0, "Lettura codici");
  EXPECT_EQ(Shown().status, "Lettura codici");
  m.HandleTransferProgress(ProgressSetRange, 100, "");
  m.HandleTransferProgress(ProgressStep, 30, "");
  m.HandleTransferProgress(ProgressStep, 30, "");
  EXPECT_EQ(Shown().bar, (TProgressBar{100, 60}));
  m.HandleTransferProgress(ProgressStep, 64, "");
  EXPECT_EQ(Shown().bar.position, 100);  // held at the maximum
  const size_t shows = view_.shows.size();
  m.HandleTransferProgress(99, 7, "ignored");
  EXPECT_EQ(view_.shows.size(), shows);  // nothing visible changed
  EXPECT_EQ(Shown().status, "Lettura codici");
  m.HandleTransferProgress(ProgressStep, -1, "");
  EXPECT_EQ(Shown().bar.position, 0);
  m.HandleTransferProgress(ProgressStep, 10, "");
  m.HandleTransferProgress(ProgressSetRange, 4, "");
  EXPECT_EQ(Shown().bar, (TProgressBar{4, 4}));
  m.HandleTransferProgress(ProgressClear, 0, "ignored");
  EXPECT_EQ(Shown().status, "");
  EXPECT_EQ(Shown().bar.position, 0);
  // Every notice reaches the observers, the silent ones too.
  EXPECT_EQ(view_.progressCodes, (std::vector<int>{1, 2, 3, 3, 3, 99, 3, 3, 2, 255}));
}

TEST(ProgressBar, HeldBetweenZeroAndTheMaximum) {
  TProgressBar b;
  EXPECT_EQ(b, (TProgressBar{100, 0}));
  b.SetRange(622);
  b.Step(64);
  b.Step(64);
  EXPECT_EQ(b.position, 128);
  EXPECT_EQ(b.Filled(30), 6);  // 128 * 30 / 622
  b.Step(2147483647);          // no wrap-round near the 32-bit limit
  EXPECT_EQ(b.position, 622);
  EXPECT_EQ(b.Filled(30), 30);
  b.Step(-5);
  EXPECT_EQ(b.position, 617);
  b.Step(-2147483647 - 1);
  EXPECT_EQ(b.position, 0);
  b.SetRange(0);  // a phase of no steps: an empty bar
  b.Step(5);
  EXPECT_EQ(b.position, 0);
  EXPECT_EQ(b.Filled(30), 0);
  b.SetRange(-3);
  EXPECT_EQ(b.position, 0);
  EXPECT_EQ(b.Filled(30), 0);
}

TEST_F(WindowModel, SupportedPanelsOpenInTheLanguageOfTheListAndOnlyOnce) {
  TWindowModel& m = Start();
  int nested = 0;
  view_.whileSupportedOpen = [&] {
    ++nested;
    m.SupportedPanelsRequested();  // F1 pressed again while it is open
  };
  m.LanguageChosen(2);
  m.SupportedPanelsRequested();
  EXPECT_EQ(view_.supportedPanels, std::vector<int>{2});
  EXPECT_EQ(nested, 1);
  EXPECT_FALSE(m.SupportedPanelsOpen());
  m.SupportedPanelsRequested();
  EXPECT_EQ(view_.supportedPanels, (std::vector<int>{2, 2}));
}

TEST(SupportedPanels, ContentOfEachLanguage) {
  const TSupportedPanelsContent fr = SupportedPanelsContent(2);
  EXPECT_EQ(fr.caption, "vue ");
  EXPECT_EQ(fr.overview, "Aperçu général");
  const std::vector<std::string> lines{"Centrales actuellement supporté",
                                       "",
                                       "VYR4 VYR8 VYR8G v. 2.xx",
                                       "VYR8W VYR8GW VYR32 VYR32G v. 2.xx",
                                       "VYR16D v. 1.xx",
                                       "",
                                       "VYR320 v. 2.xx"};
  EXPECT_EQ(fr.lines, lines);
  EXPECT_EQ(SupportedPanelsContent(1).caption, "Informazioni");
  for (int none : {-1, 0, 7}) {
    const TSupportedPanelsContent en = SupportedPanelsContent(none);
    EXPECT_EQ(en.caption, "Info");
    EXPECT_EQ(en.lines.front(), "Currently supported panels");
    EXPECT_EQ(en.info.rfind("Using this software", 0), 0u);
  }
}

// The names of the controls that take input, in table order.
std::string EnabledNames(const TControlEnables& e) {
  std::string out;
  for (const TControlSpec& c : kMainWindowControls)
    if (ControlEnabled(e, c.id)) out += (out.empty() ? "" : " ") + std::string(c.name);
  return out;
}

// The window's state table, each row idle and while an operation runs,
// written out control by control. The top band's groups, the connected
// panel, the "i" button and the status bar always take input; captions and
// browse buttons follow their fields, so the language and port captions
// grey out with their lists while an operation runs.
TEST(WindowEnables, EachWorkflowStateIdleAndBusy) {
  const std::string always = "gbGeneral gbLinkedPanel lblLinkedPanel TsSupportedPanels";
  const std::string status = "pbProgress lblProgress";
  const std::string top = "gbGeneral lblLingua cbLingua lblSerial cbSerial gbLinkedPanel btnCheckConnection "
                          "lblLinkedPanel TsSupportedPanels";
  struct TRow {
    const char* state;
    TControlStates states;
    bool busy;
    std::string enabled;
  };
  const TRow rows[] = {
      {"No panel", States(false, false, false, false, false), false, top + " " + status},
      {"No panel", States(false, false, false, false, false), true, always + " " + status},
      {"Panel identified", States(true, false, false, true, false), false,
       top + " gbUserCode btnUserCode lblUserCode EUserCode gbLoadFromFile actBrowseLoad eLoadFromFile "
             "btnLoadFromFile " + status},
      {"Panel identified", States(true, false, false, true, false), true,
       always + " gbUserCode lblUserCode EUserCode gbLoadFromFile actBrowseLoad eLoadFromFile " + status},
      {"Data read", States(true, true, false, true, false), false,
       top + " gbUserCode btnUserCode lblUserCode EUserCode gbAction actBrowseSave eSaveToFile gbLoadFromFile "
             "actBrowseLoad eLoadFromFile btnLoadFromFile " + status},
      {"Data read", States(true, true, false, true, false), true,
       always + " gbUserCode lblUserCode EUserCode gbAction actBrowseSave eSaveToFile gbLoadFromFile actBrowseLoad "
                "eLoadFromFile " + status},
      {"Save ready", States(true, true, true, true, false), false,
       top + " gbUserCode btnUserCode lblUserCode EUserCode gbAction actBrowseSave eSaveToFile btnSaveToFile "
             "gbLoadFromFile actBrowseLoad eLoadFromFile btnLoadFromFile " + status},
      {"Save ready", States(true, true, true, true, false), true,
       always + " gbUserCode lblUserCode EUserCode gbAction actBrowseSave eSaveToFile gbLoadFromFile actBrowseLoad "
                "eLoadFromFile " + status},
      {"File loaded", States(true, false, false, true, true), false,
       top + " gbUserCode btnUserCode lblUserCode EUserCode gbLoadFromFile actBrowseLoad eLoadFromFile "
             "btnLoadFromFile gbSendToPanel btnSendCodes lblUserCodeSend eUserCodeSend " + status},
      {"File loaded", States(true, false, false, true, true), true,
       always + " gbUserCode lblUserCode EUserCode gbLoadFromFile actBrowseLoad eLoadFromFile gbSendToPanel "
                "lblUserCodeSend eUserCodeSend " + status},
      // A save button left on from an earlier Save ready stays off while
      // the save group is off.
      {"File loaded after Save ready", States(true, false, true, true, true), false,
       top + " gbUserCode btnUserCode lblUserCode EUserCode gbLoadFromFile actBrowseLoad eLoadFromFile "
             "btnLoadFromFile gbSendToPanel btnSendCodes lblUserCodeSend eUserCodeSend " + status},
  };
  for (const TRow& r : rows) {
    EXPECT_EQ(EnabledNames(EnablesFor(r.states, r.busy)), r.enabled) << r.state << (r.busy ? ", busy" : ", idle");
  }
}

// The order in which the faces switch the controls: group by group, the
// controls inside a group box off before it and on after it.
TEST(WindowEnables, SwitchOrderOfGroupsAndTheirControls) {
  auto order = [](const TControlEnables& e) {
    std::string out;
    for (const TEnableSwitch& s : EnableSwitches(e))
      out += (out.empty() ? "" : " ") + std::string(s.on ? "+" : "-") + ControlSpec(s.id).name;
    return out;
  };
  EXPECT_EQ(order(EnablesFor(States(false, false, false, false, false), false)),
            "+lblLingua +cbLingua +lblSerial +cbSerial +btnCheckConnection "
            "-btnUserCode -lblUserCode -EUserCode -gbUserCode "
            "-actBrowseSave -eSaveToFile -btnSaveToFile -gbAction -btnShowData "
            "-actBrowseLoad -eLoadFromFile -btnLoadFromFile -gbLoadFromFile "
            "-btnSendCodes -lblUserCodeSend -eUserCodeSend -gbSendToPanel");
  EXPECT_EQ(order(EnablesFor(States(true, false, false, true, true), true)),
            "-lblLingua -cbLingua -lblSerial -cbSerial -btnCheckConnection "
            "+gbUserCode -btnUserCode +lblUserCode +EUserCode "
            "-actBrowseSave -eSaveToFile -btnSaveToFile -gbAction -btnShowData "
            "+gbLoadFromFile +actBrowseLoad +eLoadFromFile -btnLoadFromFile "
            "+gbSendToPanel -btnSendCodes +lblUserCodeSend +eUserCodeSend");
  // "Show data" follows the data alone: on in No panel when an image holds
  // data, off while an operation runs whatever the groups say.
  EXPECT_EQ(order(EnablesFor(States(false, false, false, false, false), false, true, true)),
            "+lblLingua +cbLingua +lblSerial +cbSerial +btnCheckConnection "
            "-btnUserCode -lblUserCode -EUserCode -gbUserCode "
            "-actBrowseSave -eSaveToFile -btnSaveToFile -gbAction +btnShowData "
            "-actBrowseLoad -eLoadFromFile -btnLoadFromFile -gbLoadFromFile "
            "-btnSendCodes -lblUserCodeSend -eUserCodeSend -gbSendToPanel");
  EXPECT_FALSE(EnablesFor(States(true, true, true, true, true), true, true, true).btnShowData);
  EXPECT_FALSE(EnablesFor(States(true, true, true, true, true), false, true, false).btnShowData);
}

// The one description of the window that both faces build.
TEST(WindowControls, PlacesNamesCaptionsAndTabOrder) {
  std::set<std::string> names;
  for (size_t i = 0; i < kControlCount; ++i) {
    EXPECT_EQ(static_cast<size_t>(kMainWindowControls[i].id), i);
    EXPECT_TRUE(names.insert(kMainWindowControls[i].name).second) << kMainWindowControls[i].name;
    const TRect& r = kMainWindowControls[i].rect;
    EXPECT_TRUE(r.x >= 0 && r.y >= 0 && r.x + r.w <= 638 && r.y + r.h <= 295) << kMainWindowControls[i].name;
  }
  // The outline: a top band 85 high, two columns of 316 with a 6-pixel gap,
  // a status bar 26 high; the client area 638 x 295.
  EXPECT_EQ(ControlSpec(TControlId::gbGeneral).rect, (TRect{0, 0, 308, 85}));
  EXPECT_EQ(ControlSpec(TControlId::gbLinkedPanel).rect, (TRect{314, 0, 324, 85}));
  EXPECT_EQ(ControlSpec(TControlId::cbLingua).rect, (TRect{10, 40, 145, 24}));
  EXPECT_EQ(ControlSpec(TControlId::cbSerial).rect, (TRect{165, 40, 133, 24}));
  EXPECT_EQ(ControlSpec(TControlId::btnCheckConnection).rect, (TRect{324, 28, 93, 41}));
  EXPECT_EQ(ControlSpec(TControlId::lblLinkedPanel).rect, (TRect{424, 24, 197, 49}));
  EXPECT_EQ(ControlSpec(TControlId::TsSupportedPanels).rect, (TRect{614, 0, 22, 20}));
  EXPECT_EQ(ControlSpec(TControlId::gbUserCode).rect, (TRect{0, 91, 316, 70}));
  EXPECT_EQ(ControlSpec(TControlId::EUserCode).rect, (TRect{217, 129, 89, 23}));
  EXPECT_EQ(ControlSpec(TControlId::gbAction).rect, (TRect{0, 167, 316, 94}));
  EXPECT_EQ(ControlSpec(TControlId::eSaveToFile).rect, (TRect{15, 188, 285, 23}));
  EXPECT_EQ(ControlSpec(TControlId::actBrowseSave).rect, (TRect{278, 190, 20, 19}));
  EXPECT_EQ(ControlSpec(TControlId::btnSaveToFile).rect, (TRect{101, 215, 113, 41}));
  EXPECT_EQ(ControlSpec(TControlId::gbLoadFromFile).rect, (TRect{322, 91, 316, 94}));
  EXPECT_EQ(ControlSpec(TControlId::gbSendToPanel).rect, (TRect{322, 191, 316, 70}));
  EXPECT_EQ(ControlSpec(TControlId::eUserCodeSend).rect, (TRect{539, 229, 89, 23}));
  EXPECT_EQ(ControlSpec(TControlId::pbProgress).rect, (TRect{4, 273, 325, 18}));
  EXPECT_EQ(ControlSpec(TControlId::lblProgress).rect, (TRect{337, 269, 297, 26}));
  // A face whose controls are children of their group places them so.
  EXPECT_EQ(RectInGroup(ControlSpec(TControlId::EUserCode)), (TRect{217, 38, 89, 23}));
  EXPECT_EQ(RectInGroup(ControlSpec(TControlId::btnLoadFromFile)), (TRect{101, 48, 113, 41}));
  EXPECT_EQ(RectInGroup(ControlSpec(TControlId::lblProgress)), (TRect{337, 269, 297, 26}));
  // "Show data" stands in the save group's free room, left of its button,
  // overlapping no other control, and belongs to the window itself.
  const TRect show = ControlSpec(TControlId::btnShowData).rect;
  EXPECT_EQ(show, (TRect{10, 215, 87, 41}));
  EXPECT_EQ(ControlSpec(TControlId::btnShowData).group, TControlId::None);
  const TRect action = ControlSpec(TControlId::gbAction).rect;
  EXPECT_TRUE(show.x > action.x && show.y > action.y && show.x + show.w < action.x + action.w &&
              show.y + show.h < action.y + action.h);
  for (const TControlSpec& c : kMainWindowControls) {
    if (c.id == TControlId::btnShowData || c.kind == TControlKind::Group) continue;
    const TRect& r = c.rect;
    const bool apart = r.x + r.w <= show.x || show.x + show.w <= r.x || r.y + r.h <= show.y || show.y + show.h <= r.y;
    EXPECT_TRUE(apart) << c.name;
  }

  std::string tab;
  for (const TControlSpec& c : kMainWindowControls)
    if (c.tabStop) tab += (tab.empty() ? "" : " ") + std::string(c.name);
  EXPECT_EQ(tab,
            "cbLingua cbSerial btnCheckConnection TsSupportedPanels btnUserCode EUserCode eSaveToFile btnSaveToFile "
            "btnShowData eLoadFromFile btnLoadFromFile btnSendCodes eUserCodeSend");

  std::vector<TControlId> inside = ControlsInGroup(TControlId::gbSendToPanel);
  EXPECT_EQ(inside, (std::vector<TControlId>{TControlId::btnSendCodes, TControlId::lblUserCodeSend,
                                              TControlId::eUserCodeSend}));
  EXPECT_TRUE(ControlsInGroup(TControlId::None).empty());

  // Every caption in French, from the language's captions.
  const TCaptions fr = Captions(TLanguage::French);
  std::string captions;
  for (const TControlSpec& c : kMainWindowControls)
    if (const std::string* text = CaptionText(fr, c.caption)) captions += std::string(c.name) + "=" + *text + "\n";
  EXPECT_EQ(captions, "gbGeneral=" + fr.General + "\nlblLingua=" + fr.LinguaLabel + "\nlblSerial=" + fr.SerialLabel +
                          "\ngbLinkedPanel=" + fr.LinkedPanel + "\nbtnCheckConnection=" + fr.CheckConnection +
                          "\ngbUserCode=" + fr.UserCodeGroup + "\nbtnUserCode=" + fr.UserCodeButton +
                          "\nlblUserCode=" + fr.UserCodeLabel + "\ngbAction=" + fr.SaveGroup +
                          "\nbtnSaveToFile=" + fr.SaveButton + "\nbtnShowData=" + fr.ShowData +
                          "\ngbLoadFromFile=" + fr.LoadGroup +
                          "\nbtnLoadFromFile=" + fr.LoadButton + "\ngbSendToPanel=" + fr.SendGroup +
                          "\nbtnSendCodes=" + fr.SendButton + "\nlblUserCodeSend=" + fr.UserCodeLabel + "\n");
  EXPECT_EQ(fr.General, "Options générales");
  EXPECT_EQ(fr.ShowData, "Voir les données");
  EXPECT_EQ(Captions(TLanguage::Italian).ShowData, "Mostra dati");
  EXPECT_EQ(Captions(TLanguage::English).ShowData, "Show data");
}

// A code edit's text that is not 0 to 6 digits never reaches the panel: the
// read and the send refuse it as they refuse a wrong code.
TEST_F(WindowModel, ACodeThatIsNotACodeIsRefusedWithoutTouchingThePort) {
  TWindowModel& m = Start();
  Check(0);
  const int operations = view_.operations;
  const int exchanges = vyr8_.Engine().ExchangeCount();
  for (const char* bad : {"1234567", "12a4", "１２３", " 1234"}) {
    m.UserCodeEdited(bad);
    m.ReadFromPanel();
    EXPECT_EQ(view_.operations, operations) << bad;
    EXPECT_EQ(Shown().status, "Codice non valido!") << bad;
    EXPECT_EQ(Shown().controls, kPanelIdentified) << bad;
    m.HandleTransferProgress(ProgressShowStatus, 0, "Pronto");
  }
  EXPECT_EQ(vyr8_.Engine().ExchangeCount(), exchanges);
  EXPECT_TRUE(view_.boxes.empty());

  // The send: refused, then No panel as after every send.
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  view_.Finish();
  m.SaveNameEdited(File("site"));
  m.SaveToFile();
  Check(1);
  m.LoadNameEdited(File("site.tvx"));
  m.LoadFromFile();
  ASSERT_TRUE(Shown().controls.SendGroup);
  const int sendOperations = view_.operations;
  const int targetExchanges = vyr32_.Engine().ExchangeCount();
  m.SendCodeEdited("56789012");
  m.SendToPanel();
  EXPECT_EQ(view_.operations, sendOperations);
  EXPECT_EQ(vyr32_.Engine().ExchangeCount(), targetExchanges);
  EXPECT_EQ(Shown().status, "Codice non valido!");
  EXPECT_EQ(Shown().controls, kNoPanel);
  EXPECT_EQ(Shown().sendCode, "");
  EXPECT_TRUE(view_.boxes.empty());
}

// ---- A send that stops part-way, and the way back ----

// The row of the user whose code opens the panel.
size_t MainUserRowOf(const TDataWindowModel& w) {
  for (size_t r = 0; r < w.RowCount(TDataTable::Users); ++r) {
    const TUserRow u = w.Data().User(w.RowNumber(TDataTable::Users, r));
    if (u.Main && u.HasCode) return r;
  }
  return TDataWindowModel::npos;
}

class WindowModelRecovery : public WindowModel {
 protected:
  static constexpr const char* kQuestion = "Ripristinare ora i dati precedenti della centrale?";
  const sim::PanelConfig targetConfig_ = test::PanelOf("VYR32", "5678", 2);

  // The VYR8's data (main user code 1234) saved to a file, then loaded
  // for the VYR32 (5678): the send is ready.
  TWindowModel& ReadyToSend() {
    TWindowModel& m = Start();
    Check(0);
    m.UserCodeEdited("1234");
    m.ReadFromPanel();
    view_.Finish();
    m.SaveNameEdited(File("site"));
    m.SaveToFile();
    Check(1);
    m.LoadNameEdited(File("site.tvx"));
    m.LoadFromFile();
    EXPECT_TRUE(Shown().controls.SendGroup);
    view_.boxes.clear();
    view_.statuses.clear();
    return m;
  }

  // The VYR32's next send stops at its first write past the code block.
  void FailAfterCodeBlock(sim::FaultKind kind = sim::FaultKind::NoEcho) {
    const int write = test::FirstWriteAfterCodeBlock(targetConfig_, File("site.tvx"), "5678");
    ASSERT_GT(write, 0);
    vyr32_.Engine().SetFault({kind, vyr32_.Engine().ExchangeCount() + write});
  }

  std::vector<uint8_t> TargetMemory() { return vyr32_.Engine().ReadMemory(0, 65536); }

  // The one backup in the folder.
  std::string OnlyBackup() const {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder_ / "backups", ec)) found.push_back(e.path().string());
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? std::string() : found[0];
  }

  // Neither code reaches a box or the status line.
  void ExpectNoCodeShown() const {
    for (const std::string& b : view_.boxes) {
      EXPECT_EQ(b.find("1234"), std::string::npos) << b;
      EXPECT_EQ(b.find("5678"), std::string::npos) << b;
    }
    for (const std::string& st : view_.statuses) {
      EXPECT_EQ(st.find("1234"), std::string::npos) << st;
      EXPECT_EQ(st.find("5678"), std::string::npos) << st;
    }
  }
};

TEST_F(WindowModelRecovery, YesPutsTheBackupBackProvingTheSentFilesCode) {
  TWindowModel& m = ReadyToSend();
  FailAfterCodeBlock();
  // The panel as the failed send leaves it, while its box asks.
  std::vector<uint8_t> failed;
  view_.whileBoxOpen = [&] {
    if (!view_.questions.empty() && failed.empty()) failed = TargetMemory();
  };
  view_.answer = TAnswer::Yes;
  const int operations = view_.operations;
  m.SendCodeEdited("5678");
  m.SendToPanel();
  view_.Finish();
  EXPECT_EQ(view_.operations, operations + 1) << "the restore runs within the send's operation";
  EXPECT_FALSE(m.OperationRunning());

  // The sequence's box; then the send's own, the system's text first, the
  // line naming the backup, and the question last.
  const std::string backup = OnlyBackup();
  ASSERT_EQ(view_.boxes.size(), 3u);
  const std::string system = view_.boxes[0].substr(view_.boxes[0].find(": ") + 2);
  EXPECT_EQ(view_.boxes[0], "Warning: Errore in scrittura su porta seriale!");
  EXPECT_EQ(view_.boxes[1], "Error: " + system + "\r\n" +
                                SendStoppedLine(ExtraStrings(TLanguage::Italian), true, backup) + "\r\n" + kQuestion);
  EXPECT_NE(view_.boxes[1].find(backup), std::string::npos);
  EXPECT_EQ(view_.questions, std::vector<TQuestion>{TQuestion::YesNo});
  // The restore's outcome, shown as a send's.
  EXPECT_EQ(view_.boxes[2], "Information: Dati trasferiti con successo!");
  EXPECT_EQ(Shown().controls, kNoPanel);
  EXPECT_EQ(Shown().linkedPanel, "Nessuna centrale connessa");

  // The failed send had written the code block, so the typed code no
  // longer opened the panel: the sent file's did. The panel now holds what
  // a send of the backup writes into a panel like it as it was before,
  // byte for byte.
  const std::vector<uint8_t> expected = test::MemoryAfterSend(targetConfig_, backup, "5678");
  ASSERT_EQ(expected.size(), 65536u);
  EXPECT_TRUE(TargetMemory() == expected) << "the panel differs from a plain send of the backup";
  EXPECT_TRUE(TargetMemory() != failed) << "the restore wrote nothing";
  EXPECT_EQ(OnlyBackup(), backup) << "no new backup over the one being restored";
  ExpectNoCodeShown();

  // The panel answers to its own code again.
  Check(1);
  m.UserCodeEdited("5678");
  m.ReadFromPanel();
  view_.Finish();
  EXPECT_EQ(Shown().status, "Pronto");
  EXPECT_TRUE(Shown().controls.SaveGroup);
}

TEST_F(WindowModelRecovery, NoLeavesThePanelAsTheSendLeftIt) {
  TWindowModel& m = ReadyToSend();
  FailAfterCodeBlock();
  view_.answer = TAnswer::No;
  m.SendCodeEdited("5678");
  m.SendToPanel();
  const std::vector<uint8_t> before = TargetMemory();
  view_.Finish();
  const std::vector<uint8_t> after = TargetMemory();
  const int exchanges = vyr32_.Engine().ExchangeCount();
  ASSERT_EQ(view_.boxes.size(), 2u);
  EXPECT_EQ(view_.boxes[1].size() - view_.boxes[1].rfind(kQuestion), std::string(kQuestion).size());
  EXPECT_EQ(view_.questions.size(), 1u);
  EXPECT_NE(after, before) << "the send wrote its code block";
  EXPECT_EQ(vyr32_.Engine().ExchangeCount(), exchanges);
  EXPECT_EQ(Shown().controls, kNoPanel);
  ExpectNoCodeShown();
}

TEST_F(WindowModelRecovery, AReadBackThatDiffersOffersTheBackupToo) {
  TWindowModel& m = ReadyToSend();
  // The panel discards the block after its echo: the writes end, the
  // read-back finds the difference.
  FailAfterCodeBlock(sim::FaultKind::BadCheck);
  view_.answer = TAnswer::Yes;
  m.SendCodeEdited("5678");
  m.SendToPanel();
  view_.Finish();
  const std::string backup = OnlyBackup();
  ASSERT_EQ(view_.boxes.size(), 2u);
  EXPECT_EQ(view_.boxes[0].rfind("Warning: ", 0), 0u) << view_.boxes[0];
  EXPECT_NE(view_.boxes[0].find(backup), std::string::npos) << view_.boxes[0];
  EXPECT_EQ(view_.boxes[0].size() - view_.boxes[0].rfind(std::string("\r\n") + kQuestion),
            std::string(kQuestion).size() + 2);
  EXPECT_EQ(view_.boxes[1], "Information: Dati trasferiti con successo!");
  EXPECT_TRUE(TargetMemory() == test::MemoryAfterSend(targetConfig_, backup, "5678"));
  ExpectNoCodeShown();
}

// The restore loads the backup through the image that was being sent; the
// data window's data (changes included) is there again afterwards.
TEST_F(WindowModelRecovery, TheDataWindowKeepsItsChangesThroughARestore) {
  TWindowModel& m = ReadyToSend();
  TDataWindowModel& w = m.DataWindow();
  const size_t other = MainUserRowOf(w) == 1 ? 2 : 1;
  ASSERT_EQ(w.EditCell(TDataTable::Users, other, UserColName, "Modificato"), "");
  const std::vector<uint8_t> before(m.Data().Image().begin(), m.Data().Image().end());
  FailAfterCodeBlock(sim::FaultKind::BadCheck);
  view_.answer = TAnswer::Yes;
  m.SendCodeEdited("5678");
  m.SendToPanel();
  view_.Finish();
  const std::string backup = OnlyBackup();
  EXPECT_TRUE(TargetMemory() == test::MemoryAfterSend(targetConfig_, backup, "5678"));
  EXPECT_EQ(std::vector<uint8_t>(m.Data().Image().begin(), m.Data().Image().end()), before);
  EXPECT_EQ(w.CellText(TDataTable::Users, other, UserColName), "Modificato");
  EXPECT_TRUE(w.Modified());
  EXPECT_TRUE(w.CanUndo());
  EXPECT_EQ(w.Title(), "*site.tvx - Dati");
}

TEST_F(WindowModelRecovery, NoOfferWhenNothingWasWritten) {
  TWindowModel& m = ReadyToSend();
  const std::vector<uint8_t> before = TargetMemory();
  // The users' read fails: the send stops before its first write.
  vyr32_.Engine().SetFault({sim::FaultKind::NoEcho, vyr32_.Engine().ExchangeCount() + 1});
  view_.answer = TAnswer::Yes;
  m.SendCodeEdited("5678");
  m.SendToPanel();
  view_.Finish();
  EXPECT_TRUE(view_.questions.empty());
  ASSERT_FALSE(view_.boxes.empty());
  EXPECT_NE(view_.boxes.back().find("Nessun dato è stato scritto nella centrale."), std::string::npos)
      << view_.boxes.back();
  for (const std::string& b : view_.boxes) EXPECT_EQ(b.find(kQuestion), std::string::npos) << b;
  EXPECT_TRUE(TargetMemory() == before);
  EXPECT_EQ(Shown().controls, kNoPanel);
}

TEST_F(WindowModelRecovery, NoOfferWithoutABackup) {
  // Without a folder for backups the send is refused before any write.
  TWindowModelOptions o;
  o.leadingPorts = {{"demo1", "VYR8 (demo)", &vyr8_}, {"demo2", "VYR32 (demo)", &vyr32_}};
  o.deviceFolder.clear();
  o.backupFolder.clear();
  TWindowModel m(view_, o);
  m.Start();
  m.CheckConnection();
  view_.Finish();
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  view_.Finish();
  m.SaveNameEdited(File("site"));
  m.SaveToFile();
  m.PortChosen(1);
  m.CheckConnection();
  view_.Finish();
  m.LoadNameEdited(File("site.tvx"));
  m.LoadFromFile();
  ASSERT_TRUE(Shown().controls.SendGroup);
  FailAfterCodeBlock();
  view_.answer = TAnswer::Yes;
  m.SendCodeEdited("5678");
  m.SendToPanel();
  view_.Finish();
  EXPECT_TRUE(view_.questions.empty());
  ASSERT_EQ(view_.boxes.size(), 1u);
  EXPECT_EQ(view_.boxes[0].rfind("Error: Impossibile salvare la copia dei dati della centrale", 0), 0u);
}

TEST_F(WindowModelRecovery, NeitherCodeOpensThePanelTheRestoreIsRefusedAsASendIs) {
  TWindowModel& m = ReadyToSend();
  FailAfterCodeBlock();
  // Meanwhile somebody else gave the panel yet another main user code.
  view_.answer = TAnswer::Yes;
  m.SendCodeEdited("5678");
  m.SendToPanel();
  size_t headersAtQuestion = 0;
  view_.whileBoxOpen = [&] {
    if (view_.questions.empty()) return;
    const sim::SimBlockMap* map = sim::BlockMapFor("VYR32");
    vyr32_.Engine().WriteMemory(map->CodesAddr, sim::EncodeCode("VYR32", "97531"));
    headersAtQuestion = vyr32_.Engine().HeadersReceived().size();
    view_.whileBoxOpen = nullptr;
  };
  view_.Finish();
  const auto headers = vyr32_.Engine().HeadersReceived();
  ASSERT_GT(headers.size(), headersAtQuestion) << "the restore asked the panel";
  for (size_t i = headersAtQuestion; i < headers.size(); ++i)
    EXPECT_NE(headers[i][0], kSmallWriteCommand) << "a write after the codes were refused, header " << i;
  ASSERT_EQ(view_.questions.size(), 1u);
  EXPECT_EQ(view_.boxes.size(), 2u) << "a code refused shows no box";
  EXPECT_EQ(Shown().status, "Codice non valido!");
  EXPECT_EQ(Shown().controls, kNoPanel);
  ExpectNoCodeShown();
}

TEST(QuestionButtons, CaptionsInTheThreeLanguagesDefaultFirstEscapeLast) {
  EXPECT_EQ(QuestionButtons(TQuestion::YesNo, 0),
            (std::vector<TQuestionButton>{{TAnswer::Yes, "Yes"}, {TAnswer::No, "No"}}));
  EXPECT_EQ(QuestionButtons(TQuestion::YesNo, 1),
            (std::vector<TQuestionButton>{{TAnswer::Yes, "Sì"}, {TAnswer::No, "No"}}));
  EXPECT_EQ(QuestionButtons(TQuestion::YesNo, 2),
            (std::vector<TQuestionButton>{{TAnswer::Yes, "Oui"}, {TAnswer::No, "Non"}}));
  EXPECT_EQ(QuestionButtons(TQuestion::SaveDiscardCancel, 0),
            (std::vector<TQuestionButton>{
                {TAnswer::Save, "Save"}, {TAnswer::Discard, "Don't save"}, {TAnswer::Cancel, "Cancel"}}));
  EXPECT_EQ(QuestionButtons(TQuestion::SaveDiscardCancel, 1),
            (std::vector<TQuestionButton>{
                {TAnswer::Save, "Salva"}, {TAnswer::Discard, "Non salvare"}, {TAnswer::Cancel, "Annulla"}}));
  EXPECT_EQ(QuestionButtons(TQuestion::SaveDiscardCancel, 2),
            (std::vector<TQuestionButton>{{TAnswer::Save, "Enregistrer"},
                                          {TAnswer::Discard, "Ne pas enregistrer"},
                                          {TAnswer::Cancel, "Annuler"}}));
  EXPECT_EQ(ClosedAnswer(TQuestion::YesNo), TAnswer::No);
  EXPECT_EQ(ClosedAnswer(TQuestion::SaveDiscardCancel), TAnswer::Cancel);
  EXPECT_EQ(ExtraStrings(TLanguage::English).RestoreQuestion, "Restore the panel's previous data now?");
  EXPECT_EQ(ExtraStrings(TLanguage::French).RestoreQuestion,
            "Restaurer maintenant les données précédentes de la centrale ?");
}

// ---- The data window's part of the main window ----

using TT = TDataTable;

// The row of the user whose code opens the panel.
size_t MainUserRow(const TDataWindowModel& w) {
  for (size_t r = 0; r < w.RowCount(TT::Users); ++r)
    if (w.Data().User(w.RowNumber(TT::Users, r)).Main && w.Data().User(w.RowNumber(TT::Users, r)).HasCode) return r;
  return TDataWindowModel::npos;
}
// A user row other than the main user's.
size_t OtherUserRow(const TDataWindowModel& w) { return MainUserRow(w) == 1 ? 2 : 1; }

std::vector<uint8_t> FileImage(const std::string& path) {
  std::vector<uint8_t> image;
  std::string error;
  EXPECT_TRUE(DecodeKeyCodeFile(path, &image, &error)) << error;
  return image;
}

TEST_F(WindowModel, ShowDataFollowsTheDataNotTheGroups) {
  TWindowModel& m = Start();
  EXPECT_FALSE(m.DataHeld());
  EXPECT_FALSE(Shown().enables.btnShowData);
  m.ShowDataRequested();
  EXPECT_EQ(view_.dataWindows, 0);

  Check(0);
  EXPECT_FALSE(Shown().enables.btnShowData);
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  // While the read runs, nothing of the image is shown or taken.
  EXPECT_FALSE(Shown().enables.btnShowData);
  EXPECT_TRUE(m.DataWindow().Locked());
  EXPECT_EQ(m.DataWindow().RowCount(TT::Users), 0u);
  view_.Finish();
  EXPECT_FALSE(m.DataWindow().Locked());
  ASSERT_TRUE(m.DataHeld());
  EXPECT_TRUE(Shown().dataHeld);
  EXPECT_TRUE(Shown().enables.btnShowData);
  EXPECT_FALSE(m.DataIsLarge());
  EXPECT_EQ(m.DataFile(), "");
  EXPECT_EQ(m.Data().Image().data(), m.Session().Small->Bytes().data());
  // The title names the panel; the header says where the data came from.
  EXPECT_EQ(m.DataWindow().Title(), "VYR8 v.2.10 - Dati");
  EXPECT_EQ(m.DataWindow().HeaderFields()[0].value, "VYR8 (24)");
  EXPECT_EQ(m.DataWindow().HeaderFields()[2].value, "VYR8 v.2.10");
  ASSERT_NE(MainUserRow(m.DataWindow()), TDataWindowModel::npos);

  m.DataWindow().SetCodesShown(true);
  m.DataWindow().SetUnusedKeysShown(true);
  m.ShowDataRequested();
  EXPECT_EQ(view_.dataWindows, 1);
  EXPECT_FALSE(m.DataWindow().CodesShown());
  EXPECT_FALSE(m.DataWindow().UnusedKeysShown());

  // A save of the main window resets it to No panel; the data stays.
  m.SaveNameEdited(File("site"));
  m.SaveToFile();
  EXPECT_EQ(Shown().controls, kNoPanel);
  EXPECT_TRUE(Shown().enables.btnShowData);
  EXPECT_EQ(m.DataFile(), File("site.tvx"));
  EXPECT_EQ(m.DataWindow().Title(), "site.tvx - Dati");

  // The texts follow the main window's language.
  m.LanguageChosen(2);
  EXPECT_EQ(m.DataWindow().Title(), "site.tvx - Données");
  EXPECT_EQ(Shown().captions.ShowData, "Voir les données");
}

TEST_F(WindowModel, DataWindowSaveAfterAReadUsesTheSaveNameOrTheDialog) {
  TWindowModel& m = Start();
  Check(0);
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  view_.Finish();
  TDataWindowModel& w = m.DataWindow();
  const size_t other = OtherUserRow(w);
  ASSERT_EQ(w.EditCell(TT::Users, other, UserColName, "Rinominato"), "");
  EXPECT_EQ(w.Title(), "*VYR8 v.2.10 - Dati");

  // No name in the save group: the dialog; cancelled, nothing is saved.
  EXPECT_FALSE(m.SaveData());
  EXPECT_EQ(view_.saveDialogs, 1);
  EXPECT_TRUE(w.Modified());
  EXPECT_TRUE(fs::is_empty(folder_) || !fs::exists(File("chosen.tvx")));

  view_.chosenSaveName = File("chosen.dat");
  ASSERT_TRUE(m.SaveData());
  EXPECT_EQ(view_.saveDialogs, 2);
  EXPECT_FALSE(w.Modified());
  EXPECT_EQ(w.Title(), "chosen.tvx - Dati");
  EXPECT_EQ(m.DataFile(), File("chosen.tvx"));
  EXPECT_EQ(Shown().saveFileName, File("chosen.dat"));
  // The main window is not reset by the data window's save.
  EXPECT_TRUE(Shown().controls.UserCode);
  EXPECT_TRUE(view_.boxes.empty());
  // The file holds exactly the image, the new name included.
  const std::vector<uint8_t> image = FileImage(File("chosen.tvx"));
  const auto bytes = m.Session().Small->Bytes();
  EXPECT_EQ(image, std::vector<uint8_t>(bytes.begin(), bytes.end()));
  SmallPanelImage file;
  std::copy(image.begin(), image.end(), file.Bytes().begin());
  EXPECT_EQ(file.User(w.RowNumber(TT::Users, other)).Name(), "Rinominato");
  EXPECT_EQ(ImageModel(file.Bytes()), 24);
#ifndef _WIN32
  EXPECT_EQ(fs::status(File("chosen.tvx")).permissions() & (fs::perms::group_all | fs::perms::others_all),
            fs::perms::none);
#endif
}

TEST_F(WindowModel, DataWindowSaveAfterALoadWritesTheLoadedFileItself) {
  TWindowModel& m = Start();
  Check(0);
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  view_.Finish();
  m.SaveNameEdited(File("site"));
  m.SaveToFile();
  // Loaded under another name: the save goes back to exactly that file.
  fs::rename(File("site.tvx"), File("site.dat"));
  Check(1);
  m.LoadNameEdited(File("site.dat"));
  m.LoadFromFile();
  ASSERT_TRUE(m.DataHeld());
  EXPECT_EQ(m.DataFile(), File("site.dat"));
  TDataWindowModel& w = m.DataWindow();
  EXPECT_EQ(w.Title(), "site.dat - Dati");
  const std::vector<uint8_t> before = FileImage(File("site.dat"));
  const size_t other = OtherUserRow(w);
  ASSERT_EQ(w.EditCell(TT::Users, other, UserColCode, "97531"), "");
  ASSERT_EQ(w.ClearUser(other == 1 ? 2 : 1), "");
  ASSERT_TRUE(m.SaveData());
  EXPECT_FALSE(fs::exists(File("site.tvx")));
  const std::vector<uint8_t> after = FileImage(File("site.dat"));
  // Only the two users' records changed.
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    const bool inUsers = i >= kUserTableOffset && i < kUserTableOffset + kUserTableSize;
    if (!inUsers) {
      EXPECT_EQ(after[i], before[i]) << "byte " << i;
    }
  }
  SmallPanelImage file;
  std::copy(after.begin(), after.end(), file.Bytes().begin());
  EXPECT_EQ(file.User(w.RowNumber(TT::Users, other)).Code(), "97531FFF");
  EXPECT_EQ(file.User(other == 1 ? 2 : 1).Code(), "FFFFFFFF");
  EXPECT_EQ(file.User(other == 1 ? 2 : 1).Name(), "");

  // Load it again: the window shows the change, unmodified.
  m.LoadFromFile();
  w.SetCodesShown(true);
  EXPECT_EQ(w.CellText(TT::Users, other, UserColCode), "97531");
  EXPECT_FALSE(w.Modified());
  EXPECT_FALSE(w.CanUndo());
}

TEST_F(WindowModel, ASaveThatFailsSaysWhyAndKeepsTheChanges) {
  TWindowModel& m = Start();
  Check(0);
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  view_.Finish();
  ASSERT_EQ(m.DataWindow().EditCell(TT::Users, OtherUserRow(m.DataWindow()), UserColName, "X"), "");
  m.SaveNameEdited((folder_ / "no-such-folder" / "site").string());
  EXPECT_FALSE(m.SaveData());
  ASSERT_EQ(view_.boxes.size(), 1u);
  EXPECT_EQ(view_.boxes[0].rfind("Error: ", 0), 0u) << view_.boxes[0];
  EXPECT_TRUE(m.DataWindow().Modified());
  EXPECT_EQ(m.DataFile(), "");
}

TEST_F(WindowModel, AFailedReadLetsTheDataGo) {
  TWindowModel& m = Start();
  Check(0);
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  view_.Finish();
  ASSERT_TRUE(m.DataHeld());
  // A wrong code: the users were read over the image before it was refused.
  m.UserCodeEdited("9999");
  m.ReadFromPanel();
  view_.Finish();
  EXPECT_FALSE(m.DataHeld());
  EXPECT_FALSE(Shown().enables.btnShowData);
  EXPECT_TRUE(m.DataWindow().Tables().empty());
  m.ShowDataRequested();
  EXPECT_EQ(view_.dataWindows, 0);
}

TEST_F(WindowModel, ASendWritesTheEditedDataAndTheEditedCodeOpensThePanel) {
  TWindowModel& m = Start();
  Check(0);
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  view_.Finish();
  m.SaveNameEdited(File("site"));
  m.SaveToFile();
  Check(1);
  m.LoadNameEdited(File("site.tvx"));
  m.LoadFromFile();
  TDataWindowModel& w = m.DataWindow();
  const size_t main = MainUserRow(w);
  const size_t other = OtherUserRow(w);
  ASSERT_EQ(w.EditCell(TT::Users, other, UserColName, "Nuovo nome"), "");
  ASSERT_EQ(w.EditCell(TT::Users, main, UserColCode, "246810"), "");
  // Edits are refused while the send runs.
  m.SendCodeEdited("5678");
  m.SendToPanel();
  EXPECT_EQ(w.EditCell(TT::Users, other, UserColName, "Altro"), "Questi dati si possono solo visualizzare.");
  EXPECT_FALSE(w.CanUndo());
  view_.Finish();
  EXPECT_TRUE(w.CanUndo());
  ASSERT_FALSE(view_.boxes.empty());
  EXPECT_EQ(view_.boxes.back().rfind("Information: Dati trasferiti con successo!\r\n", 0), 0u) << view_.boxes.back();

  // The panel holds the new name, and the new code opens it.
  const sim::SimBlockMap* map = sim::BlockMapFor("VYR32");
  const auto names = vyr32_.Engine().ReadMemory(map->UserNamesAddr, 384);
  EXPECT_EQ(PrintableField(names, 16 * w.RowNumber(TT::Users, other), 16), "Nuovo nome");
  // The file on disk was not changed by the send: a read asks first.
  Check(1);
  m.UserCodeEdited("246810");
  view_.answers = {TAnswer::Discard};
  m.ReadFromPanel();
  EXPECT_EQ(view_.questions, std::vector<TQuestion>{TQuestion::SaveDiscardCancel});
  EXPECT_EQ(view_.boxes.back(), "Warning: Salvare le modifiche a site.tvx?");
  view_.Finish();
  ASSERT_TRUE(m.DataHeld());
  EXPECT_EQ(m.DataWindow().CellText(TT::Users, other, UserColName), "Nuovo nome");
}

TEST_F(WindowModel, TheLargePanelsDataIsShownReadOnly) {
  TWindowModel& m = Start();
  Check(2);
  m.UserCodeEdited("123456");
  m.ReadFromPanel();
  view_.Finish();
  ASSERT_TRUE(m.DataHeld());
  EXPECT_TRUE(m.DataIsLarge());
  EXPECT_EQ(m.Data().Image().data(), m.Session().Large->Bytes().data());
  TDataWindowModel& w = m.DataWindow();
  EXPECT_EQ(w.Tables(), std::vector<TDataTable>{TT::Regions});
  EXPECT_EQ(w.RowCount(TT::Regions), 7u);
  EXPECT_EQ(w.HeaderFields()[0].value, "VYR 320 (6)");
  EXPECT_EQ(w.Title(), "VYR 320 v.2.05 - Dati");
  EXPECT_FALSE(w.Editable());
  const std::vector<uint8_t> before(m.Data().Image().begin(), m.Data().Image().end());
  EXPECT_EQ(w.EditCell(TT::Regions, 0, RegionColRecords, "0"), "Questi dati si possono solo visualizzare.");
  EXPECT_EQ(std::vector<uint8_t>(m.Data().Image().begin(), m.Data().Image().end()), before);
  // Saved as it stands.
  m.SaveNameEdited(File("large"));
  ASSERT_TRUE(m.SaveData());
  EXPECT_EQ(FileImage(File("large.tvx")), before);
}

TEST_F(WindowModel, UnsavedChangesAreAskedAboutBeforeAReadOrAClose) {
  TWindowModel& m = Start();
  Check(0);
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  view_.Finish();
  // Nothing changed: nothing asked.
  m.ReadFromPanel();
  view_.Finish();
  EXPECT_TRUE(view_.questions.empty());
  EXPECT_TRUE(m.CloseRequested());
  EXPECT_TRUE(view_.questions.empty());

  TDataWindowModel& w = m.DataWindow();
  const size_t other = OtherUserRow(w);
  const std::string before = w.CellText(TT::Users, other, UserColName);
  ASSERT_EQ(w.EditCell(TT::Users, other, UserColName, "Cambiato"), "");
  const int operations = view_.operations;
  // Cancel, and any other answer: nothing happens.
  view_.answers = {TAnswer::Cancel};
  m.ReadFromPanel();
  m.ReadFromPanel();
  EXPECT_EQ(view_.boxes, (std::vector<std::string>(2, "Warning: Salvare le modifiche a VYR8 v.2.10?")));
  EXPECT_EQ(view_.questions, (std::vector<TQuestion>(2, TQuestion::SaveDiscardCancel)));
  EXPECT_EQ(view_.operations, operations);
  EXPECT_EQ(w.CellText(TT::Users, other, UserColName), "Cambiato");
  EXPECT_TRUE(w.Modified());
  view_.answers = {TAnswer::Cancel};
  EXPECT_FALSE(m.CloseRequested());
  EXPECT_EQ(view_.questions.size(), 3u);

  // Save, but the dialog is cancelled: nothing saved, nothing read.
  view_.answers = {TAnswer::Save};
  m.ReadFromPanel();
  EXPECT_EQ(view_.saveDialogs, 1);
  EXPECT_EQ(view_.operations, operations);
  EXPECT_TRUE(w.Modified());

  // Don't save: the read goes on and its data replaces the change.
  view_.answers = {TAnswer::Discard};
  m.ReadFromPanel();
  EXPECT_EQ(view_.operations, operations + 1);
  view_.Finish();
  EXPECT_EQ(w.CellText(TT::Users, other, UserColName), before);
  EXPECT_FALSE(w.Modified());
  EXPECT_TRUE(fs::is_empty(folder_));

  // In French, on a close; Don't save lets the window go.
  m.LanguageChosen(2);
  ASSERT_EQ(w.EditCell(TT::Users, other, UserColName, "Autre"), "");
  view_.answers = {TAnswer::Discard};
  EXPECT_TRUE(m.CloseRequested());
  EXPECT_EQ(view_.boxes.back(), "Warning: Enregistrer les modifications de VYR8 v.2.10 ?");
}

TEST_F(WindowModel, SaveAnsweredSavesBeforeALoadOrAClose) {
  TWindowModel& m = Start();
  Check(0);
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  view_.Finish();
  m.SaveNameEdited(File("site"));
  m.SaveToFile();
  Check(0);
  TDataWindowModel& w = m.DataWindow();
  const size_t other = OtherUserRow(w);
  ASSERT_EQ(w.EditCell(TT::Users, other, UserColName, "Salvato"), "");
  // Load the same file: saved first, so the load brings the change back.
  m.LoadNameEdited(File("site.tvx"));
  view_.answers = {TAnswer::Save};
  m.LoadFromFile();
  EXPECT_EQ(view_.boxes, std::vector<std::string>{"Warning: Salvare le modifiche a site.tvx?"});
  EXPECT_TRUE(Shown().controls.SendGroup);
  EXPECT_EQ(w.CellText(TT::Users, other, UserColName), "Salvato");
  EXPECT_FALSE(w.Modified());
  EXPECT_FALSE(w.CanUndo());

  // Don't save before a load: the file's data comes back.
  ASSERT_EQ(w.EditCell(TT::Users, other, UserColName, "Perso"), "");
  view_.answers = {TAnswer::Discard};
  m.LoadFromFile();
  EXPECT_EQ(w.CellText(TT::Users, other, UserColName), "Salvato");
  // Cancel before a load: the change stays and nothing is loaded.
  ASSERT_EQ(w.EditCell(TT::Users, other, UserColName, "Resta"), "");
  view_.answers = {TAnswer::Cancel};
  m.LoadFromFile();
  EXPECT_EQ(w.CellText(TT::Users, other, UserColName), "Resta");
  EXPECT_TRUE(w.Modified());

  // Save before a close: the file holds the change, and the window goes.
  view_.answers = {TAnswer::Save};
  EXPECT_TRUE(m.CloseRequested());
  SmallPanelImage file;
  const std::vector<uint8_t> image = FileImage(File("site.tvx"));
  ASSERT_EQ(image.size(), kSmallImageSize);
  std::copy(image.begin(), image.end(), file.Bytes().begin());
  EXPECT_EQ(file.User(w.RowNumber(TT::Users, other)).Name(), "Resta");
  EXPECT_EQ(view_.questions.size(), 4u);
}

TEST_F(WindowModel, TheSessionsEndAsksAboutUnsavedChangesAsAClose) {
  TWindowModel& m = Start();
  Check(0);
  m.UserCodeEdited("1234");
  m.ReadFromPanel();
  view_.Finish();
  EXPECT_TRUE(m.SessionEndRequested());
  EXPECT_TRUE(view_.questions.empty());
  ASSERT_EQ(m.DataWindow().EditCell(TT::Users, OtherUserRow(m.DataWindow()), UserColName, "X"), "");
  view_.answers = {TAnswer::Cancel};
  EXPECT_FALSE(m.SessionEndRequested());
  view_.answers = {TAnswer::Discard};
  EXPECT_TRUE(m.SessionEndRequested());
  EXPECT_EQ(view_.questions, (std::vector<TQuestion>(2, TQuestion::SaveDiscardCancel)));
  EXPECT_EQ(view_.boxes.back(), "Warning: Salvare le modifiche a VYR8 v.2.10?");
}

}  // namespace
}  // namespace tarvex
