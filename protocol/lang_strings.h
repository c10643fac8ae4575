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
};

}  // namespace tarvex
