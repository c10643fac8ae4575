// Backups of a panel's data, taken before anything is written into it.
// A backup is an ordinary key-code file: restoring a panel is loading that
// file and sending it.
#pragma once

#include <ctime>
#include <string>

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

}  // namespace tarvex
