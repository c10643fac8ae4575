// Backups of a panel's data, taken before anything is written into it.
// A backup is an ordinary key-code file: restoring a panel is loading that
// file and sending it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace tarvex {

// Where backups go: $XDG_DATA_HOME/tarvex/backups, by default
// ~/.local/share/tarvex/backups (%LOCALAPPDATA%\tarvex\backups on Windows).
// Empty when no home folder is known.
std::string DefaultBackupFolder();

// Makes the folder (and its parents) if missing, readable by its owner
// only. False with the system's description when that fails.
bool EnsureBackupFolder(const std::string& folder, std::string* error);

// A new file name in the folder, named after the model and the UTC time,
// such as VYR32-20261208-141503.tvx; "-2", "-3"... are added when a backup
// of that second already exists, so a backup is never overwritten.
std::string BackupFileName(const std::string& folder, const std::string& modelName, std::time_t now);

// A backup in the folder, as its name tells it.
struct TBackupFile {
  std::string path;
  std::string model;  // as in the name: "VYR32", "VYR320"
  std::string date;   // "2026-12-08 14:15:03 UTC"
  uint64_t size = 0;  // bytes
  bool operator==(const TBackupFile&) const = default;
};

// The backups in the folder, newest first: the files named as
// BackupFileName names them (other files are left out). Empty when the
// folder does not exist.
std::vector<TBackupFile> ListBackups(const std::string& folder);

// The newest backup of a model (its name as ModelName gives it: "VYR 320"
// matches the backups named VYR320-...); empty when there is none.
std::string NewestBackupOf(const std::string& folder, const std::string& modelName);

}  // namespace tarvex
