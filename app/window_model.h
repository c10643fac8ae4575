// The main window's model: everything the window shows and decides, with no
// window toolkit in it. The Qt window and the native Win32 window are faces
// of this model: they lay out the controls, paint what the state says and
// forward the user's events as commands. Every rule of the window lives
// here once: the start-up sequence, captions and tooltips, which controls
// are enabled in each state and during an operation, the progress bar, the
// operation's lifecycle and a close asked for while one runs, each button's
// guard and what its result does to the states.
//
// Threads. Commands come on the window's thread. Panel operations (check,
// read, send) run off it, through the view's RunOffThread, and have the
// session's port to themselves until they end; the panel code was written
// for a synchronous window, so its progress notices, boxes and pointer
// changes are carried to the window's thread and waited for
// (RunOnWindowThread). File operations are quick and run on the window's
// thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/backup.h"
#include "app/connection.h"
#include "app/data_model.h"
#include "app/data_window.h"
#include "app/languages.h"
#include "app/messages.h"
#include "app/progress.h"
#include "app/window_controls.h"
#include "app/workflows.h"
#include "app/session.h"
#include "serial/trace.h"

namespace tarvex {

// The window's title, with the program's version.
std::string WindowTitle();

// Items of the language list, in order: index 0 English, 1 Italian, 2 French.
inline constexpr const char* kLanguageItems[3] = {"English", "Italiano", "Francais"};

// The save dialog offers key-code files only; the open dialog any file, as
// the load checks the content, not the name.
inline constexpr const char* kSaveFilterName = "Key-Codes (.tvx)";
inline constexpr const char* kSaveFilterPattern = "*.tvx";

// The parts of the window that a Show call changed.
enum TWindowPart : unsigned {
  PartCaptions = 1u << 0,     // captions, tooltips, the language selected
  PartPorts = 1u << 1,        // the port list and its selection
  PartControls = 1u << 2,     // enabled states
  PartLinkedPanel = 1u << 3,  // the connected-panel label
  PartStatus = 1u << 4,       // the status line
  PartBar = 1u << 5,          // the progress bar
  PartCodes = 1u << 6,        // the texts of the two code edits
  PartFileNames = 1u << 7,    // the texts of the two file-name edits
  PartData = 1u << 8,         // the data window: its image, title and texts
  PartAll = 0x1FFu,
};

// Whether each control of the main window takes input. A caption label
// and a browse button follow the control they belong to
// (TControlSpec::follows); the group boxes of the top band, the connected
// panel's label, the "i" button and the status bar always take input.
struct TControlEnables {
  bool cbLingua = true;
  bool cbSerial = true;
  bool btnCheckConnection = true;
  bool gbUserCode = false, btnUserCode = false, EUserCode = false;
  bool gbAction = false, eSaveToFile = false, btnSaveToFile = false;
  bool gbLoadFromFile = false, eLoadFromFile = false, btnLoadFromFile = false;
  bool gbSendToPanel = false, btnSendCodes = false, eUserCodeSend = false;
  bool btnShowData = false;
  bool operator==(const TControlEnables&) const = default;
};

// The enabled states of a workflow state: a group and the controls inside
// it together; while an operation runs, every control that could start
// another one or change what it reads (language, port, the buttons) is off.
// The connection check also waits for the port list to be complete.
// "Show data" follows its own rule: an image holds data (after a read or a
// load), and no operation runs.
TControlEnables EnablesFor(const TControlStates& states, bool busy, bool portsComplete = true, bool dataHeld = false);

// Whether one control takes input: its own entry, or that of the control
// it follows; true for the controls that never change.
bool ControlEnabled(const TControlEnables& e, TControlId id);

// One control's enabled state, as the faces set it.
struct TEnableSwitch {
  TControlId id;
  bool on;
  bool operator==(const TEnableSwitch&) const = default;
};
// Every control whose enabled state can change, in the order the faces
// switch them: in table order, the controls inside a group box going off
// before their group and coming on after it.
std::vector<TEnableSwitch> EnableSwitches(const TControlEnables& e);

// What the window shows. Texts are UTF-8 with \r\n between lines.
struct TWindowState {
  std::string title;
  int languageIndex = -1;  // item of the language list; -1 none
  TCaptions captions;
  std::string supportedPanelsToolTip;  // the "i" button's: "Info (F1)"
  std::string sendToolTip;             // where the target's backup goes
  std::vector<TPortEntry> ports;
  int selectedPort = -1;
  // False while the ports are being probed (the list holds only the
  // leading ports until then).
  bool portsComplete = true;
  std::string linkedPanel;
  std::string status;
  TProgressBar bar;
  TControlStates controls;
  bool busy = false;        // a panel operation runs
  bool busyCursor = false;  // the hourglass for the whole program
  TControlEnables enables;
  std::string userCode;  // EUserCode
  std::string sendCode;  // eUserCodeSend
  std::string saveFileName;
  std::string loadFileName;
  // An image holds data after a read or a load (the "Show data" button).
  bool dataHeld = false;
};

// The texts of the supported-panels window in one language.
struct TSupportedPanelsContent {
  std::string caption;
  std::string overview;
  std::string info;                // lines separated by \r\n
  std::vector<std::string> lines;  // the list, seven lines
};
TSupportedPanelsContent SupportedPanelsContent(int languageIndex);

// The buttons of a question in their order, with their captions in the
// language of the list item: the first is the default button; the last is
// what Escape, or closing the box, answers (No, Cancel).
std::vector<TQuestionButton> QuestionButtons(TQuestion question, int languageIndex);
// What a box answers when the user closes it without choosing a button.
TAnswer ClosedAnswer(TQuestion question);

// What the model needs of a face.
class TWindowView {
 public:
  virtual ~TWindowView() = default;
  // Paints the parts of the state that changed (a TWindowPart mask).
  virtual void Show(const TWindowState& state, unsigned parts) = 0;
  // A modal box with one OK button, the kind's icon and untranslated
  // title; returns once the user has closed it. On the window's thread.
  virtual void ShowMessageBox(TBoxKind kind, const std::string& text) = 0;
  // A modal box as ShowMessageBox's whose text ends with a question, with
  // the question's buttons (QuestionButtons, in the language of the state
  // shown) in place of OK; returns the user's answer once the box has
  // closed (ClosedAnswer when it was closed without a choice). On the
  // window's thread.
  virtual TAnswer Ask(TBoxKind kind, const std::string& text, TQuestion question) = 0;
  // The busy (hourglass) or normal pointer for the whole program.
  virtual void ShowBusyCursor(bool busy) = 0;
  // The supported-panels window, modal, in the language of the list item;
  // returns once it has closed.
  virtual void ShowSupportedPanels(int languageIndex) = 0;
  // Starts work on a thread of its own and returns at once; once the work
  // has ended, runs done on the window's thread.
  virtual void RunOffThread(std::function<void()> work, std::function<void()> done) = 0;
  // Runs f on the window's thread and returns after it ran; runs it at once
  // when called on the window's thread.
  virtual void RunOnWindowThread(const std::function<void()>& f) = 0;
  // Closes the window: a close asked for during an operation, now over.
  virtual void CloseWindow() = 0;
  // Opens the data window over the model's DataWindow(), not modal, or
  // brings it to the front when it is open already; returns at once. The
  // window repaints from DataWindow() after its own commands and whenever
  // Show's parts hold PartData. Every face that has a "Show data" button
  // overrides this.
  virtual void ShowDataWindow() {}
  // The face's save dialog of eSaveToFile, for saving the data window's
  // changes after a read when eSaveToFile is empty: true with the chosen
  // name, false when the user cancelled.
  virtual bool ChooseSaveFileName(std::string* /*name*/) { return false; }
  // For observers (tests, benchmarks): after every progress notice, and at
  // the start and end of every panel operation.
  virtual void ProgressHandled(int /*code*/, int32_t /*value*/) {}
  virtual void OperationStarted() {}
  virtual void OperationFinished() {}
};

struct TWindowModelOptions {
  // Listed first in the port list, ahead of the probed ports (the demo
  // panels, the tests' panels).
  std::vector<TPortEntry> leadingPorts;
  // Where serial devices are probed at start-up (Windows probes COM1 to
  // COM256 whatever it says); empty probes nothing. The probe runs off the
  // window's thread (RunOffThread): the window shows at once and the list
  // fills when every port has answered or its limit has passed.
  std::string deviceFolder = "/dev";
  // Where the target panel's data is saved before every send.
  std::string backupFolder = DefaultBackupFolder();
  // The line trace (serial/trace.h) that every operation on the panel port
  // feeds, whichever port is chosen; null for none. Shared, so it stays
  // open while the model may still use the port.
  std::shared_ptr<TLineTrace> trace;
  // What the probes open through (TPortSources::System): the platform's
  // serial layer when null.
  TCommSystem* probeSystem = nullptr;
};

class TWindowModel : private TUserInterface {
 public:
  TWindowModel(TWindowView& view, TWindowModelOptions options = {});
  ~TWindowModel() override;
  TWindowModel(const TWindowModel&) = delete;
  TWindowModel& operator=(const TWindowModel&) = delete;

  // The start-up sequence: status cleared, tuning values, the panel port's
  // settings, Italian, the port list with its first entry selected, the
  // no-panel state; then everything is shown. The probe of the system's
  // ports is started off the window's thread and ends later (PortsComplete).
  void Start();

  const TWindowState& State() const { return state_; }
  TSession& Session() { return session_; }
  const TSession& Session() const { return session_; }
  bool OperationRunning() const { return state_.busy; }

  // ---- Commands, on the window's thread ----
  void LanguageChosen(int index);
  void PortChosen(int index);
  void CheckConnection();
  // The code edits' texts as typed. The faces' edits take only 0 to 6
  // digits; a read or a send refuses any other text itself, before the
  // port is opened.
  void UserCodeEdited(const std::string& text);
  void SendCodeEdited(const std::string& text);
  void ReadFromPanel();
  void SaveNameEdited(const std::string& text);
  void SaveToFile();
  void LoadNameEdited(const std::string& text);
  void LoadFromFile();
  void SendToPanel();
  // ---- The data window ----
  // "Show data": opens the data window (ShowDataWindow) over the image that
  // holds data, codes hidden and unused keys hidden; nothing without data
  // or during an operation.
  void ShowDataRequested();
  bool DataHeld() const { return state_.dataHeld; }
  // Which image holds the data: the file's name or the panel's
  // description after a read, its file (empty after a read not yet saved).
  bool DataIsLarge() const { return dataLarge_; }
  const std::string& DataFile() const { return dataFile_; }
  // The data window's model and the data under it. The data model is
  // attached to the session's image in place, so a send writes what the
  // window shows, changes included; it is attached anew on every read and
  // load.
  TDataWindowModel& DataWindow() { return dataWindow_; }
  const TDataWindowModel& DataWindow() const { return dataWindow_; }
  const TDataModel& Data() const { return data_; }
  // The data window's Save: writes the image as it stands to its file
  // (atomic, owner-only), or after a read to the name in eSaveToFile (its
  // extension made ".tvx") or, with that empty, to one chosen in the save
  // dialog. The saved file becomes the data's file. False when nothing was
  // saved (an error box has then said why, or the dialog was cancelled).
  bool SaveData();

  // The "i" button or F1: opens the supported-panels window unless it is
  // open already.
  void SupportedPanelsRequested();
  bool SupportedPanelsOpen() const { return supportedPanelsOpen_; }
  // True when the window may close now; during an operation false: the
  // status line says that the window closes when the operation ends, and
  // it is closed (CloseWindow) then. Until that, the operation's own status
  // texts no longer replace that line. Unsaved changes of the data are
  // asked about first (ChangesMayGo).
  bool CloseRequested();
  // Unsaved changes of the data are never dropped silently: before a read,
  // a load or a close this asks "Save the changes to ...?" with Save, Don't
  // save and Cancel. True when the caller may go on: nothing unsaved, Don't
  // save, or Save and the save worked.
  bool ChangesMayGo();
  // Whether a close waits for the operation's end.
  bool ClosePending() const { return closePending_; }
  // The user's session is ending (log-off, shut-down): true when it may end
  // now. While a send writes into a panel false, and the window closes once
  // the send has ended, as after a close asked for during it: a panel left
  // half-written would hold neither its old data nor the new. A check or a
  // read writes nothing into the panel and lets the session end; unsaved
  // changes of the data are asked about first, as before a close.
  bool SessionEndRequested();
  // A send runs: its writes may be under way.
  bool WritingIntoPanel() const { return writing_; }

  // The progress notice, on the window's thread.
  void HandleTransferProgress(int code, int32_t value, const std::string& statusText);

  // The window is going away while an operation may still run: from now on
  // the operation's notices reach nothing, its boxes count as closed and its
  // end is not reported. waitForWorker (the face's) returns once the worker
  // has ended; the pointer is then put back.
  void Shutdown(const std::function<void()>& waitForWorker);

 private:
  // TUserInterface, for the panel code; called from the worker thread
  // during an operation, from the window's thread otherwise.
  void TransferProgress(int code, int32_t value, const std::string& statusText) override;
  void MessageBox(TBoxKind kind, const std::string& text) override;
  void SetBusyCursor(bool busy) override;

  void ApplyLanguage();
  TTexts Texts() const { return TTexts{session_.LangStrings, session_.ExtraStrings}; }
  void BuildPortList();
  void PortsProbed(std::vector<TPortEntry> probed);
  void ResetWindow();
  void SetControls(const TControlStates& states);
  void Show(unsigned parts);
  // Asks on the window's thread, from the worker; closed when the window
  // is going away.
  TAnswer AskUser(TBoxKind kind, const std::string& text, TQuestion question);
  // On the worker, after a send that stopped once it had begun writing:
  // its box, with the offer to put the backup back at once; on Yes the
  // restore runs in the same operation and its outcome replaces the send's.
  // True when it ran: the backup was loaded over the session's image.
  bool OfferRestore(const std::string& code, TSendOutcome& outcome);
  void RunOperation(std::function<void()> work, std::function<void()> result);
  // The data now lies in the image of this class (after a read or a load),
  // or nowhere (dataLarge is then ignored).
  void HoldData(bool held, bool large, const std::string& source, const std::string& file);
  void OperationEnded(const std::function<void()>& result);

  TWindowView& view_;
  TWindowModelOptions options_;
  TSession session_;
  TWindowState state_;
  bool closePending_ = false;
  bool writing_ = false;
  bool supportedPanelsOpen_ = false;
  std::atomic<bool> detached_{false};
  TDataModel data_;
  TDataWindowModel dataWindow_{data_};
  bool dataLarge_ = false;
  std::string dataFile_;
};

}  // namespace tarvex
