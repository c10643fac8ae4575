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

}  // namespace tarvex
