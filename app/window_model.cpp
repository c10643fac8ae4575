#include "app/window_model.h"

#include <memory>
#include <optional>
#include <iterator>
#include <utility>

#include "app/display_text.h"
#include "app/file_names.h"
#include "app/keyfile.h"
#include "app/version.h"

namespace tarvex {

std::string WindowTitle() { return std::string("Tarvex v.") + kTarvexVersion; }

TControlEnables EnablesFor(const TControlStates& c, bool busy, bool portsComplete, bool dataHeld) {
  const bool idle = !busy;
  TControlEnables e;
  e.cbLingua = e.cbSerial = idle;
  e.btnCheckConnection = idle && portsComplete;
  e.gbUserCode = e.EUserCode = c.UserCode;
  e.btnUserCode = c.UserCode && idle;
  e.gbAction = e.eSaveToFile = c.SaveGroup;
  e.btnSaveToFile = c.SaveGroup && c.SaveButton && idle;
  e.gbLoadFromFile = e.eLoadFromFile = c.LoadGroup;
  e.btnLoadFromFile = c.LoadGroup && idle;
  e.gbSendToPanel = e.eUserCodeSend = c.SendGroup;
  e.btnSendCodes = c.SendGroup && idle;
  e.btnShowData = dataHeld && idle;
  return e;
}

namespace {

// The entry of TControlEnables that decides a control; null for the
// controls that always take input.
bool TControlEnables::*EnableField(TControlId id) {
  switch (EnableSource(id)) {
    case TControlId::cbLingua: return &TControlEnables::cbLingua;
    case TControlId::cbSerial: return &TControlEnables::cbSerial;
    case TControlId::btnCheckConnection: return &TControlEnables::btnCheckConnection;
    case TControlId::gbUserCode: return &TControlEnables::gbUserCode;
    case TControlId::btnUserCode: return &TControlEnables::btnUserCode;
    case TControlId::EUserCode: return &TControlEnables::EUserCode;
    case TControlId::gbAction: return &TControlEnables::gbAction;
    case TControlId::eSaveToFile: return &TControlEnables::eSaveToFile;
    case TControlId::btnSaveToFile: return &TControlEnables::btnSaveToFile;
    case TControlId::gbLoadFromFile: return &TControlEnables::gbLoadFromFile;
    case TControlId::eLoadFromFile: return &TControlEnables::eLoadFromFile;
    case TControlId::btnLoadFromFile: return &TControlEnables::btnLoadFromFile;
    case TControlId::gbSendToPanel: return &TControlEnables::gbSendToPanel;
    case TControlId::btnSendCodes: return &TControlEnables::btnSendCodes;
    case TControlId::eUserCodeSend: return &TControlEnables::eUserCodeSend;
    case TControlId::btnShowData: return &TControlEnables::btnShowData;
    default: return nullptr;
  }
}

}  // namespace

bool ControlEnabled(const TControlEnables& e, TControlId id) {
  bool TControlEnables::*field = EnableField(id);
  return field ? e.*field : true;
}

std::vector<TEnableSwitch> EnableSwitches(const TControlEnables& e) {
  std::vector<TEnableSwitch> out;
  for (const TControlSpec& g : kMainWindowControls) {
    if (g.kind != TControlKind::Group) {
      // A control of no group box is switched on its own.
      if (g.group == TControlId::None && EnableField(g.id)) out.push_back({g.id, ControlEnabled(e, g.id)});
      continue;
    }
    const bool switched = EnableField(g.id) != nullptr;
    const bool on = ControlEnabled(e, g.id);
    if (switched && on) out.push_back({g.id, true});
    for (TControlId c : ControlsInGroup(g.id))
      if (EnableField(c)) out.push_back({c, ControlEnabled(e, c)});
    if (switched && !on) out.push_back({g.id, false});
  }
  return out;
}

std::vector<TQuestionButton> QuestionButtons(TQuestion question, int languageIndex) {
  const TExtraStrings t = ExtraStrings(LanguageFromIndex(languageIndex));
  switch (question) {
    case TQuestion::YesNo: return {{TAnswer::Yes, t.AnswerYes}, {TAnswer::No, t.AnswerNo}};
    case TQuestion::SaveDiscardCancel:
      return {{TAnswer::Save, t.AnswerSave}, {TAnswer::Discard, t.AnswerDiscard}, {TAnswer::Cancel, t.AnswerCancel}};
  }
  return {};
}

TAnswer ClosedAnswer(TQuestion question) {
  return question == TQuestion::YesNo ? TAnswer::No : TAnswer::Cancel;
}

TSupportedPanelsContent SupportedPanelsContent(int languageIndex) {
  const TSupportedTexts t = SupportedTexts(LanguageFromIndex(languageIndex));
  TSupportedPanelsContent c;
  c.caption = t.WindowCaption;
  c.overview = t.OverviewCaption;
  c.info = t.Info;
  // Emptied and filled anew at every opening: the heading, then the models.
  c.lines = {t.Heading, ""};
  for (const char* line : kSupportedModelLines) c.lines.emplace_back(line);
  c.lines.emplace_back("");
  c.lines.emplace_back(kSupportedLargeLine);
  return c;
}

namespace {

// The "i" button's tooltip: the supported-panels window's caption and its
// key. The French caption ends in a space, which is not doubled here.
std::string SupportedPanelsToolTip(TLanguage lang) {
  std::string caption = SupportedTexts(lang).WindowCaption;
  while (!caption.empty() && caption.back() == ' ') caption.pop_back();
  return caption + " (F1)";
}

}  // namespace

TWindowModel::TWindowModel(TWindowView& view, TWindowModelOptions options)
    : view_(view), options_(std::move(options)), session_(*this) {
  state_.title = WindowTitle();
  session_.Link.PanelPort.Trace = options_.trace.get();
}

TWindowModel::~TWindowModel() {
  WipeString(state_.userCode);
  WipeString(state_.sendCode);
}

void TWindowModel::Start() {
  HandleTransferProgress(ProgressClear, 0, std::string());
  session_.Link.Tuning.SuccessPauseMs = 50;
  session_.Link.Tuning.Attempts = 1;
  session_.Link.Tuning.RetryPauseMs = 700;
  TComm& port = session_.Link.PanelPort;
  port.Handle = -1;
  port.BaudIndex = 11;     // 115200 baud
  port.ParityIndex = 2;    // even
  port.DataBitsIndex = 4;  // 8 bits
  port.StopBitsIndex = 0;  // one stop bit
  // Every run starts in Italian; the texts are in place before the port
  // list is built, so busy ports carry the Italian suffix.
  state_.languageIndex = 1;
  ApplyLanguage();
  BuildPortList();
  PortChosen(state_.selectedPort);
  // The two images are part of the session, allocated and filled with FF.
  ResetWindow();
  Show(PartAll);
}

void TWindowModel::Show(unsigned parts) {
  if (parts & PartControls)
    state_.enables = EnablesFor(state_.controls, state_.busy, state_.portsComplete, state_.dataHeld);
  view_.Show(state_, parts);
}

void TWindowModel::ApplyLanguage() {
  const TLanguage lang = LanguageFromIndex(state_.languageIndex);
  ApplyLanguageTexts(session_, lang);
  state_.captions = Captions(lang);
  dataWindow_.SetLanguage(lang);
  state_.linkedPanel = session_.LangStrings.NoPanelConnected;
  state_.supportedPanelsToolTip = SupportedPanelsToolTip(lang);
  // Never an empty path: without a folder the tooltip says why there is none.
  state_.sendToolTip = options_.backupFolder.empty() ? session_.ExtraStrings.NoBackupFolder
                                                     : session_.ExtraStrings.BackupFolder + options_.backupFolder;
  Show(PartCaptions | PartLinkedPanel | PartData);
  session_.ShowStatus(session_.LangStrings.Ready);
}

void TWindowModel::BuildPortList() {
  state_.ports = options_.leadingPorts;
  state_.selectedPort = state_.ports.empty() ? -1 : 0;
  state_.portsComplete = options_.deviceFolder.empty();
  Show(PartPorts);
  if (state_.portsComplete) return;
  // Opening a port can take seconds (a Bluetooth port calls its device
  // first): the probe runs off the window's thread, with the texts of the
  // language in force now (busy ports carry the Italian suffix).
  TPortSources sources;
  sources.DeviceFolder = options_.deviceFolder;
  sources.System = options_.probeSystem;
  auto probed = std::make_shared<std::vector<TPortEntry>>();
  view_.RunOffThread(
      [probed, sources, texts = session_.LangStrings, extra = session_.ExtraStrings] {
        *probed = ::tarvex::BuildPortList(texts, extra, sources);
      },
      [this, probed] {
        if (!detached_) PortsProbed(std::move(*probed));
      });
}

void TWindowModel::PortsProbed(std::vector<TPortEntry> probed) {
  state_.ports.insert(state_.ports.end(), std::make_move_iterator(probed.begin()),
                      std::make_move_iterator(probed.end()));
  state_.portsComplete = true;
  // The leading ports come first: a choice made among them meanwhile stays.
  const bool chosen = state_.selectedPort >= 0;
  if (!chosen && !state_.ports.empty()) PortChosen(0);
  Show(PartPorts | PartControls);
}

void TWindowModel::LanguageChosen(int index) {
  if (state_.busy) {
    // The worker reads the texts: the list shows the language in force.
    Show(PartCaptions);
    return;
  }
  state_.languageIndex = index;
  ApplyLanguage();
}

void TWindowModel::PortChosen(int index) {
  if (state_.busy) {
    Show(PartPorts);
    return;
  }
  TComm& port = session_.Link.PanelPort;
  const bool valid = index >= 0 && static_cast<size_t>(index) < state_.ports.size();
  state_.selectedPort = valid ? index : -1;
  // No entry (a machine without serial ports): no device, so that any
  // later open ends with the ErrorOpeningPort warning.
  port.Device = valid ? state_.ports[static_cast<size_t>(index)].Device : std::string();
  port.System = valid ? state_.ports[static_cast<size_t>(index)].System : nullptr;
  port.Port = 0;
}

void TWindowModel::ResetWindow() {
  state_.linkedPanel = session_.LangStrings.NoPanelConnected;
  state_.controls.Reset();
  WipeString(state_.userCode);
  WipeString(state_.sendCode);
  Show(PartLinkedPanel | PartControls | PartCodes);
}

void TWindowModel::SetControls(const TControlStates& states) {
  state_.controls = states;
  Show(PartControls);
}

void TWindowModel::RunOperation(std::function<void()> work, std::function<void()> result) {
  state_.busy = true;
  // The image belongs to the operation until it ends.
  dataWindow_.SetLocked(true);
  Show(PartControls | PartData);
  view_.OperationStarted();
  view_.RunOffThread(std::move(work), [this, result = std::move(result)] { OperationEnded(result); });
}

void TWindowModel::OperationEnded(const std::function<void()>& result) {
  if (detached_) return;
  result();
  state_.busy = false;
  writing_ = false;
  dataWindow_.SetLocked(false);
  Show(PartControls | PartData);
  view_.OperationFinished();
  if (closePending_) {
    closePending_ = false;
    view_.CloseWindow();
  }
}

void TWindowModel::CheckConnection() {
  if (state_.busy || !state_.portsComplete) return;
  ResetWindow();
  auto identified = std::make_shared<bool>(false);
  RunOperation([this, identified] { *identified = ::tarvex::CheckConnection(session_); },
               [this, identified] {
                 if (*identified) {
                   state_.linkedPanel = Cp1252ToUtf8(session_.Panel.PanelDescription);
                   state_.controls.PanelIdentified();
                 } else {
                   state_.linkedPanel = session_.LangStrings.NoPanelConnected;
                 }
                 Show(PartLinkedPanel | PartControls);
               });
}

void TWindowModel::UserCodeEdited(const std::string& text) {
  if (text == state_.userCode) return;
  WipeString(state_.userCode);
  state_.userCode = text;
}

void TWindowModel::SendCodeEdited(const std::string& text) {
  if (text == state_.sendCode) return;
  WipeString(state_.sendCode);
  state_.sendCode = text;
}

void TWindowModel::ReadFromPanel() {
  if (state_.busy || !state_.controls.UserCode) return;
  if (!IsValidCode(state_.userCode)) {
    // Not a code at all: refused as a wrong code is, without a word to the
    // panel; the states stay.
    state_.status = session_.LangStrings.InvalidCode;
    Show(PartStatus);
    return;
  }
  if (!ChangesMayGo()) return;
  auto code = std::make_shared<std::string>(state_.userCode);
  auto outcome = std::make_shared<TReadOutcome>();
  // The read writes into the image of the panel's class as it goes: the
  // data shown so far is let go before the worker touches it.
  const bool large = session_.IsLargePanel();
  if (state_.dataHeld && dataLarge_ == large) HoldData(false, false, {}, {});
  RunOperation(
      [this, code, outcome] {
        *outcome = ::tarvex::ReadFromPanel(session_, *code);
        WipeString(*code);
      },
      [this, outcome, large] {
        if (const auto status = StatusAfterRead(outcome->outcome, Texts())) {
          state_.status = *status;
          Show(PartStatus);
        }
        if (outcome->ok()) {
          // The header says where the data came from, as a save would
          // write it, so that the data window shows it before any save.
          const std::span<uint8_t> image =
              large ? session_.Large->Bytes() : std::span<uint8_t>(session_.Small->Bytes());
          SetImageModel(image, session_.Panel.ConnectedModel);
          SetImageDescription(image, session_.Panel.PanelDescription);
          SetImageFirmware(image, session_.Panel.FirmwareVersion);
          HoldData(true, large, Cp1252ToUtf8(session_.Panel.PanelDescription), {});
          state_.controls.DataRead();
          Show(PartControls);
        }
      });
}

void TWindowModel::SaveNameEdited(const std::string& text) {
  state_.saveFileName = text;
  // Only in Data read does a new name make the save ready.
  TControlStates c = state_.controls;
  c.SaveNameChanged();
  if (!(c == state_.controls)) SetControls(c);
}

void TWindowModel::SaveToFile() {
  if (state_.busy || !state_.controls.SaveGroup || !state_.controls.SaveButton) return;
  const std::string& name = state_.saveFileName;
  const bool large = session_.IsLargePanel();
  std::string path;
  const bool saved = large ? SaveLargeFile(session_, name, &path) : SaveSmallFile(session_, name, &path);
  if (!saved) return;
  // The data of that image, changes included, is now in the file.
  if (state_.dataHeld && dataLarge_ == large) {
    dataFile_ = path;
    data_.SetSource(Utf8FromPath(PathFromUtf8(path).filename()));
    data_.MarkSaved();
    Show(PartData);
  }
  ResetWindow();
}

void TWindowModel::LoadNameEdited(const std::string& text) { state_.loadFileName = text; }

void TWindowModel::LoadFromFile() {
  if (state_.busy || !state_.controls.LoadGroup) return;
  if (!ChangesMayGo()) return;
  const std::string& name = state_.loadFileName;
  const TLoadResult r = session_.IsLargePanel() ? LoadLargeFile(session_, name) : LoadSmallFile(session_, name);
  if (r == TLoadResult::Loaded) {
    HoldData(true, session_.IsLargePanel(), Utf8FromPath(PathFromUtf8(name).filename()), name);
    TControlStates c = state_.controls;
    c.FileLoaded();
    SetControls(c);
  } else if (r == TLoadResult::Mismatch) {
    ResetWindow();
  }
}

void TWindowModel::SendToPanel() {
  if (state_.busy || !state_.controls.SendGroup) return;
  if (!IsValidCode(state_.sendCode)) {
    // Not a code at all: refused as a wrong code is, without a word to the
    // panel, and, as after every send, No panel.
    state_.status = session_.LangStrings.InvalidCode;
    Show(PartStatus);
    ResetWindow();
    return;
  }
  auto code = std::make_shared<std::string>(state_.sendCode);
  auto outcome = std::make_shared<TSendOutcome>();
  // The window always backs up and always verifies; the box of a send that
  // stopped part-way comes back here, to offer the backup.
  TSendOptions send;
  send.backupFolder = options_.backupFolder;
  send.holdStoppedBox = true;
  // A restore after a failed send loads the backup over the image being
  // sent: the data the window holds there (changes included) is kept aside
  // and put back afterwards. It holds codes: wiped when it goes.
  const bool large = session_.IsLargePanel();
  const std::span<uint8_t> image = large ? session_.Large->Bytes() : std::span<uint8_t>(session_.Small->Bytes());
  std::shared_ptr<std::vector<uint8_t>> kept;
  if (state_.dataHeld && dataLarge_ == large)
    kept.reset(new std::vector<uint8_t>(image.begin(), image.end()), [](std::vector<uint8_t>* v) {
      WipeBytes(v->data(), v->size());
      delete v;
    });
  auto restored = std::make_shared<bool>(false);
  writing_ = true;
  RunOperation(
      [this, code, outcome, send, restored] {
        *outcome = ::tarvex::SendToPanel(session_, *code, send);
        if (outcome->heldBox) *restored = OfferRestore(*code, *outcome);
        WipeString(*code);
      },
      [this, outcome, restored, kept, image] {
        if (*restored && kept && kept->size() == image.size()) {
          std::copy(kept->begin(), kept->end(), image.begin());
          Show(PartData);
        }
        if (const auto status = StatusAfterSend(outcome->outcome, Texts())) {
          state_.status = *status;
          Show(PartStatus);
        }
        // Whatever the outcome, No panel.
        ResetWindow();
      });
}

void TWindowModel::HoldData(bool held, bool large, const std::string& source, const std::string& file) {
  if (held && large) {
    data_.AttachLarge(session_.Large->Bytes());
  } else if (held) {
    data_.AttachSmall(session_.Small->Bytes());
  } else {
    data_.Clear();
  }
  data_.SetSource(held ? source : std::string());
  state_.dataHeld = held;
  dataLarge_ = held && large;
  dataFile_ = held ? file : std::string();
  Show(PartControls | PartData);
}

void TWindowModel::ShowDataRequested() {
  if (state_.busy || !state_.dataHeld) return;
  dataWindow_.Opened();
  Show(PartData);
  view_.ShowDataWindow();
}

bool TWindowModel::SaveData() {
  if (state_.busy || !state_.dataHeld) return false;
  std::string path = dataFile_;
  if (path.empty()) {
    // Read from a panel and not saved yet: the save group's name, or one
    // chosen now.
    std::string name = state_.saveFileName;
    if (name.empty()) {
      if (!view_.ChooseSaveFileName(&name) || name.empty()) return false;
      state_.saveFileName = name;
      Show(PartFileNames);
      SaveNameEdited(name);
    }
    path = SaveFileName(name);
  }
  std::string error;
  if (!WriteKeyCodeFile(data_.Image(), path, &error)) {
    view_.ShowMessageBox(TBoxKind::Error, error);
    return false;
  }
  dataFile_ = path;
  data_.SetSource(Utf8FromPath(PathFromUtf8(path).filename()));
  data_.MarkSaved();
  Show(PartData);
  return true;
}

bool TWindowModel::OfferRestore(const std::string& code, TSendOutcome& outcome) {
  const TMessage box = *outcome.heldBox;
  outcome.heldBox.reset();
  if (outcome.backupPath.empty()) {
    MessageBox(box.kind, box.text);
    return false;
  }
  const TAnswer answer =
      AskUser(box.kind, WithLine(box.text, session_.ExtraStrings.RestoreQuestion), TQuestion::YesNo);
  if (answer != TAnswer::Yes) return false;
  // The code typed for the send first; if the send had written the code
  // block, the panel's main user code may now be the sent file's, whose
  // image is still the session's (the restore loads the backup over it).
  std::vector<std::string> codes{code};
  if (!session_.IsLargePanel()) {
    if (std::optional<std::string> sent = MainUserCodeOf(session_.Small->Users())) {
      codes.push_back(*sent);
      WipeString(*sent);
    }
  }
  const std::string backup = outcome.backupPath;
  outcome = RestoreBackup(session_, backup, codes);
  for (std::string& c : codes) WipeString(c);
  return true;
}

TAnswer TWindowModel::AskUser(TBoxKind kind, const std::string& text, TQuestion question) {
  TAnswer answer = ClosedAnswer(question);
  if (detached_) return answer;
  view_.RunOnWindowThread([&] {
    if (!detached_) answer = view_.Ask(kind, text, question);
  });
  return answer;
}

void TWindowModel::SupportedPanelsRequested() {
  if (supportedPanelsOpen_) return;
  supportedPanelsOpen_ = true;
  view_.ShowSupportedPanels(state_.languageIndex);
  supportedPanelsOpen_ = false;
}

bool TWindowModel::ChangesMayGo() {
  if (!state_.dataHeld || !data_.IsModified()) return true;
  const std::string question = SaveChangesQuestion(dataWindow_.Texts(), data_.Source());
  switch (view_.Ask(TBoxKind::Warning, question, TQuestion::SaveDiscardCancel)) {
    case TAnswer::Save: return SaveData();
    case TAnswer::Discard: return true;
    default: return false;  // Cancel, or the box closed without a choice
  }
}

bool TWindowModel::CloseRequested() {
  if (!state_.busy) return ChangesMayGo();
  // The port belongs to the worker until the operation ends, and a box of
  // the operation may be waiting for the user: close once it is over, and
  // say so, or the click would seem to do nothing.
  closePending_ = true;
  state_.status = session_.ExtraStrings.ClosesWhenDone;
  Show(PartStatus);
  return false;
}

bool TWindowModel::SessionEndRequested() {
  if (!writing_) return state_.busy || ChangesMayGo();
  CloseRequested();
  return false;
}

void TWindowModel::HandleTransferProgress(int code, int32_t value, const std::string& statusText) {
  unsigned parts = 0;
  switch (code) {
    case ProgressShowStatus:
      // A close waits for the operation: the line keeps saying so.
      if (closePending_) break;
      state_.status = statusText;
      parts = PartStatus;
      break;
    case ProgressSetRange:
      state_.bar.SetRange(value);
      parts = PartBar;
      break;
    case ProgressStep:
      state_.bar.Step(value);
      parts = PartBar;
      break;
    case ProgressClear:
      if (!closePending_) state_.status.clear();
      state_.bar.Clear();
      parts = PartStatus | PartBar;
      break;
    default:  // unknown codes change nothing visible
      break;
  }
  if (parts) Show(parts);
  view_.ProgressHandled(code, value);
}

void TWindowModel::Shutdown(const std::function<void()>& waitForWorker) {
  detached_ = true;
  if (waitForWorker) waitForWorker();
  if (state_.busyCursor) {
    state_.busyCursor = false;
    view_.ShowBusyCursor(false);
  }
}

void TWindowModel::TransferProgress(int code, int32_t value, const std::string& statusText) {
  if (detached_) return;
  view_.RunOnWindowThread([&] {
    // Checked again: the window may have started to go away meanwhile.
    if (!detached_) HandleTransferProgress(code, value, statusText);
  });
}

void TWindowModel::MessageBox(TBoxKind kind, const std::string& text) {
  if (detached_) return;
  view_.RunOnWindowThread([&] {
    if (!detached_) view_.ShowMessageBox(kind, text);
  });
}

void TWindowModel::SetBusyCursor(bool busy) {
  if (detached_) return;
  view_.RunOnWindowThread([&] {
    if (detached_ || state_.busyCursor == busy) return;
    state_.busyCursor = busy;
    view_.ShowBusyCursor(busy);
  });
}

}  // namespace tarvex
