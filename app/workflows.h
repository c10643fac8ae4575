// The read and send workflows and the main window's control states, as
// plain logic that the window and the command-line tool both drive.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/messages.h"
#include "app/session.h"

namespace tarvex {

// A code is 0 to 6 decimal digits.
inline constexpr size_t kMaxCodeDigits = 6;
bool IsValidCode(const std::string& code);

// Yes at the first user whose code text equals the typed code padded with F
// to 8 characters and whose first attribute byte is 1 (the main user).
bool IsMainUserCode(UserTable table, const std::string& typedCode);

// Which controls of the main window are enabled. cbLingua, cbSerial and
// btnCheckConnection are always enabled and not listed.
struct TControlStates {
  bool UserCode = false;    // gbUserCode with btnUserCode and EUserCode
  bool SaveGroup = false;   // gbAction and eSaveToFile
  bool SaveButton = false;  // btnSaveToFile
  bool LoadGroup = false;   // gbLoadFromFile with eLoadFromFile and btnLoadFromFile
  bool SendGroup = false;   // gbSendToPanel with btnSendCodes and eUserCodeSend
  bool operator==(const TControlStates&) const = default;

  // No panel: everything off (ResetWindow).
  void Reset() { *this = TControlStates{}; }
  // A connection check identified a panel.
  void PanelIdentified() {
    UserCode = true;
    LoadGroup = true;
  }
  // A read from the panel succeeded: the save group comes on; the save
  // button waits for a change of the file name.
  void DataRead() { SaveGroup = true; }
  void SaveNameChanged() {
    if (SaveGroup) SaveButton = true;
  }
  void FileLoaded() { SendGroup = true; }
};

struct TReadOutcome {
  // Success, or what stopped the read: the port, a failed block, a code
  // refused.
  TOutcome outcome;
  bool ok() const { return outcome.Ok(); }
};

// The status line's text after a read: Ready, InvalidCode for a code
// refused, ReadError for any other failure; none when the port could not
// be opened.
std::optional<std::string> StatusAfterRead(const TOutcome& outcome, const TTexts& texts);

// Reads the connected panel into its image after proving the main user
// code (small panels) or checking the code's length (large panel). Opens
// the port first and closes it on every path.
TReadOutcome ReadFromPanel(TSession& s, const std::string& code);

struct TSendOptions {
  // A backup of the target's data is saved before anything is written into
  // it. Off only when the user asked for no backup: a send that wants one
  // and has no folder for it is refused.
  bool backup = true;
  // Where the backup goes.
  std::string backupFolder;
  // Told the backup's path once it is saved, before the first write.
  std::function<void(const std::string&)> backupSaved;
  // After the last write, everything written is read back and compared, so
  // that a block the panel discarded is never reported as a success. Off
  // only when the user explicitly asked for the bare send.
  bool verify = true;
  // The last box of a send that stops once it has begun writing is not
  // shown but left in the outcome (heldBox), for a caller that shows it
  // with a question of its own. Every other box is shown as usual.
  bool holdStoppedBox = false;
};

// Options of a send without backup (tests, tools that save elsewhere).
inline TSendOptions WithoutBackup() {
  TSendOptions o;
  o.backup = false;
  return o;
}

struct TSendOutcome {
  // Success (TransferOk was shown), or what stopped the send.
  TOutcome outcome;
  // The backup of the target's previous data, when one was saved.
  std::string backupPath;
  // The backup could not be read or saved (or had no folder): nothing was
  // written.
  bool backupFailed = false;
  bool ok() const { return outcome.Ok() && !backupFailed; }
  // The read-back after the writes found the panel holding other bytes;
  // firstDifference() is the lowest such address.
  bool differs() const { return outcome.result == TResult::VerifyDiffers; }
  uint32_t firstDifference() const { return outcome.address; }
  // The send had begun writing when it stopped (a write failed, or the
  // read-back found other bytes or could not be read): the panel may hold
  // part of the new data.
  bool writeStarted = false;
  // With TSendOptions::holdStoppedBox: the box of a send that stopped once
  // it had begun writing, not yet shown (it names the backup).
  std::optional<TMessage> heldBox;
};

// The status line's text after a send, when the outcome is shown there:
// InvalidCode for a code that is not the small target's main user code.
std::optional<std::string> StatusAfterSend(const TOutcome& outcome, const TTexts& texts);

// Writes the image of the connected panel's class into the panel after
// proving the target's main user code. With a backup, everything of the
// target that the send would overwrite is first read into a separate image
// and saved as a key-code file; if that fails, nothing is written. With
// verify, what was written is then read back and compared. Opens the port
// first and closes it on every path. The window returns to No panel
// afterwards, whatever the outcome.
TSendOutcome SendToPanel(TSession& s, const std::string& code, const TSendOptions& options);

// The main user code of a small image's users (the first user whose first
// attribute byte is 1), its F padding taken off; none when no user is the
// main user. It is a code: the caller wipes it.
std::optional<std::string> MainUserCodeOf(UserTable table);

struct TRestoreOptions {
  // The panel is identified first. Off for a caller that has just
  // identified it (and chose the backup by its model).
  bool identify = true;
  // What was written is read back and compared.
  bool verify = true;
  // As TSendOptions::holdStoppedBox.
  bool holdStoppedBox = false;
};

// Puts a backup back into the connected panel: identifies the panel,
// loads the backup into the image of its class (a backup of another class
// is refused as any file is), then sends it as any send goes (the main
// user code proved, every block written, read back and compared), but
// takes no new backup over the one being restored. codes are tried in
// order, never shown: the first that is the panel's main user code is
// used; the large panel, whose code is not compared with anything, takes
// the first. A failure's box names the backup being restored as the place
// of the panel's previous data.
TSendOutcome RestoreBackup(TSession& s, const std::string& backupPath, const std::vector<std::string>& codes,
                           const TRestoreOptions& options = {});
// What a send would change, found without writing anything: the target's
// data as it stands and as it would stand after the send. Both images are
// of the connected panel's layout and carry the target's header; they hold
// codes and are wiped when the outcome goes.
struct TDryRunOutcome {
  TDryRunOutcome() = default;
  TDryRunOutcome(TDryRunOutcome&&) = default;
  TDryRunOutcome& operator=(TDryRunOutcome&&) = default;
  ~TDryRunOutcome();
  // Success, or what stopped it (as for a send, before its first write).
  TOutcome outcome;
  bool ok() const { return outcome.Ok(); }
  std::vector<uint8_t> panel;    // what the target holds now
  std::vector<uint8_t> written;  // what it would hold after the send
};

// Proves the target's main user code as a send does (small panels; the
// code's length for the large panel), reads everything the send would
// overwrite (what its backup holds) and builds what the send would leave
// there from the image of the connected panel's class: codes through the
// target's code format, names through its fields, the bits its model does
// not take cleared. No write reaches the panel. Opens the port first and
// closes it on every path; failures are shown as a send shows them.
TDryRunOutcome DryRunSend(TSession& s, const std::string& code);

}  // namespace tarvex
