// The message and status texts of the interface language in force.
#pragma once

#include <string>

namespace tarvex {

// The interface texts of one language, in field order. Empty until a
// language is applied.
struct TLanguageStrings {
  std::string AlreadyOpen;
  std::string ErrorOpeningPort;
  std::string UnknownFirmware;
  std::string ReadError;
  std::string NoPanelConnected;
  std::string OpeningPort;
  std::string SyncBaudRate;
  std::string ReadingVersion;
  std::string Ready;
  std::string CheckingUserCode;
  std::string ReadingCodes;
  std::string ReadingKeys;
  std::string FileNotFound;
  std::string PanelMismatch;
  std::string WritingKeys;
  std::string WriteError;
  std::string WritingCodes;
  std::string InvalidCode;
  std::string TransferOk;
};

// Texts that this tool adds beside the 19 above, in the language in force.
struct TExtraStrings {
  std::string NotKeyCodeFile;  // a file that is not a key-code data file
  std::string BackupFailed;    // the target's backup could not be read or saved
  std::string BackupSaved;     // followed by the backup file's path
  std::string BackupFolder;    // followed by the folder where backups go
  std::string NoBackupFolder;  // no folder for backups is known
  std::string VerifyingData;   // status while a send reads back what it wrote
  // A send whose read-back differs: %04X the first address that differs,
  // %s the backup's path; the second without the sentence on the backup.
  std::string VerifyFailed;
  std::string VerifyFailedNoBackup;
  // A send whose read-back could not be read: %s the backup's path; the
  // second without the backup.
  std::string VerifyReadFailed;
  std::string VerifyReadFailedNoBackup;
  // The line after the box of a send that failed once it had started
  // writing: %s the backup's path; the second when no backup was taken.
  std::string SendStopped;
  std::string SendStoppedNoBackup;
  // The line after the box of a send that failed before its first write.
  std::string NothingWritten;
  // The line after a read-back's box when no backup was taken.
  std::string NoBackupTaken;
  // The last line of the box of a send that stopped once it had begun
  // writing, in the window: whether to put the backup back at once.
  std::string RestoreQuestion;
  // The buttons of the window's questions.
  std::string AnswerYes;
  std::string AnswerNo;
  std::string AnswerSave;
  std::string AnswerDiscard;  // "Don't save"
  std::string AnswerCancel;

  // The status line after a close asked for while an operation runs.
  std::string ClosesWhenDone;

  // Serial ports. The mark of a listed device that this user may not open:
  std::string NoPermission;
  // The mark of a listed port whose probe did not end in time (its driver
  // held the open):
  std::string NotAnswering;
  // Why a port could not be opened, after the device's name:
  std::string NoPortSelected;
  std::string PortMissing;
  std::string PortInUse;
  std::string PortAccessDenied;
  std::string PortNotSerial;
  std::string PortSettings;  // followed by the system's words in brackets
  // What to do, as the second line of a box: %s the device's group; %s
  // the program holding the port and %d its process id.
  std::string HintJoinGroup;
  std::string HintNoPermission;  // no group to join
  std::string HintHeldBy;
  std::string HintInUse;       // the holder is not known
  std::string HintUnplugged;   // the device is gone, or the line was lost
  // No permission although this user is already in the device's group
  // (%s): something else refuses the port (a sandbox, a security module).
  std::string HintGroupRefused;
};

// Texts of the data window (what an image holds, and its edits), of the
// questions before unsaved changes are dropped, and of refused edits.
struct TDataTexts {
  std::string ShowData;        // the main window's button that opens it
  std::string WindowCaption;   // the window's title when it names no source
  std::string ModifiedMark;    // before the title while changes are unsaved
  std::string ShowCodes;       // tick box; codes are stars until it is ticked
  std::string ShowUnusedKeys;  // tick box; keys not in use are hidden until then
  std::string UsersHeading;
  std::string KeysHeading;
  std::string RegionsHeading;  // large image
  // Column headers.
  std::string ColNumber;
  std::string ColName;
  std::string ColMain;
  std::string ColCode;
  std::string ColAttributes;
  std::string ColValue;
  std::string ColFlags;
  std::string ColInUse;
  std::string ColRegion;
  std::string ColPanelAddress;
  std::string ColBytes;
  std::string ColRecords;
  std::string ColRecordsInUse;
  // Header fields.
  std::string ModelLabel;
  std::string FirmwareLabel;
  std::string DescriptionLabel;
  std::string Yes;
  std::string No;
  // The form beside the table and its buttons.
  std::string NameLabel;
  std::string CodeLabel;
  std::string ApplyButton;
  std::string ClearUserButton;
  std::string UndoButton;
  std::string RedoButton;
  std::string SaveButton;
  std::string CloseButton;
  // A warning on both rows of two users with the same code.
  std::string DuplicateCode;
  // Before unsaved changes would be replaced or dropped: %s the file name
  // or the panel's description; then the three answers.
  std::string SaveChangesQuestion;
  std::string SaveAnswer;
  std::string DontSaveAnswer;
  std::string CancelAnswer;
  // Why an edit was refused.
  std::string NameTooLong;
  std::string NameControlCharacter;
  std::string NameOuterSpace;
  std::string NameNotInCharacterSet;
  std::string CodeNotDigits;
  std::string NoMainUserCode;
  std::string KeyHasNoName;
  std::string ReadOnly;
  std::string NoSuchRow;
};

}  // namespace tarvex
