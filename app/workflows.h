// The read and send workflows and the main window's control states, as
// plain logic that the window and the command-line tool both drive.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "protocol/session.h"

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
  bool ok = false;
  // The status line's text afterwards (Ready, InvalidCode, ReadError); none
  // when the port could not be opened.
  std::optional<std::string> status;
};

// Reads the connected panel into its image after proving the main user
// code (small panels) or checking the code's length (large panel). Opens
// the port first and closes it on every path.
TReadOutcome ReadFromPanel(TSession& s, const std::string& code);

struct TSendOptions {
  // Folder for the backup of the target's data, taken before anything is
  // written into it; empty for no backup.
  std::string backupFolder;
  // Told the backup's path once it is saved, before the first write.
  std::function<void(const std::string&)> backupSaved;
};

struct TSendOutcome {
  bool ok = false;  // TransferOk was shown
  // The status line's text, when the outcome is shown there (InvalidCode
  // for a code that is not the target's main user code).
  std::optional<std::string> status;
  // The backup of the target's previous data, when one was saved.
  std::string backupPath;
};

// Writes the image of the connected panel's class into the panel after
// proving the target's main user code. With a backup folder, everything of
// the target that the send would overwrite is first read into a separate
// image and saved there as a key-code file; if that fails, nothing is
// written. Opens the port first and closes it on every path. The window
// returns to No panel afterwards, whatever the outcome.
TSendOutcome SendToPanel(TSession& s, const std::string& code, const TSendOptions& options = {});

}  // namespace tarvex
