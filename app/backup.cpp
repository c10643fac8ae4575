#include "app/backup.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app/file_names.h"

#ifdef _WIN32
#include "serial/windows_text.h"
#endif

namespace tarvex {

std::string DefaultBackupFolder() {
#ifdef _WIN32
  const std::string local = EnvironmentUtf8(L"LOCALAPPDATA");
  if (!local.empty()) return local + "\\tarvex\\backups";
  return std::string();
#else
  const char* data = std::getenv("XDG_DATA_HOME");
  // A relative XDG_DATA_HOME is invalid and is ignored.
  if (data && data[0] == '/') return std::string(data) + "/tarvex/backups";
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.local/share/tarvex/backups";
  return std::string();
#endif
}

bool EnsureBackupFolder(const std::string& folder, std::string* error) {
  if (folder.empty()) {
    if (error) *error = "no folder for backups (HOME is not set)";
    return false;
  }
  std::error_code ec;
  std::filesystem::create_directories(PathFromUtf8(folder), ec);
  if (ec || !std::filesystem::is_directory(PathFromUtf8(folder), ec)) {
    if (error) *error = folder + ": " + (ec ? ec.message() : std::string("not a folder"));
    return false;
  }
#ifndef _WIN32
  // The backups hold user codes: keep other users out of the folder.
  ::chmod(folder.c_str(), 0700);
#endif
  return true;
}

std::string BackupFileName(const std::string& folder, const std::string& modelName, std::time_t now) {
  std::string model;
  for (char c : modelName)
    if (c != ' ') model.push_back(c);
  if (model.empty()) model = "panel";
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
  const std::string sep =
#ifdef _WIN32
      "\\";
#else
      "/";
#endif
  const std::string base = folder + sep + model + "-" + stamp;
  std::string path = base + ".tvx";
  std::error_code ec;
  for (int n = 2; std::filesystem::exists(PathFromUtf8(path), ec); ++n) path = base + "-" + std::to_string(n) + ".tvx";
  return path;
}

}  // namespace tarvex
