#include "app/backup.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <regex>
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

namespace {

// The model's part of a backup's name: its name without spaces.
std::string NamePart(const std::string& modelName) {
  std::string model;
  for (char c : modelName)
    if (c != ' ') model.push_back(c);
  return model;
}

}  // namespace

std::vector<TBackupFile> ListBackups(const std::string& folder) {
  struct TFound {
    TBackupFile file;
    std::string stamp;  // "20261208-141503", sortable
    int serial = 1;     // the "-2", "-3" of backups of the same second
  };
  std::vector<TFound> found;
  std::error_code ec;
  const std::filesystem::path dir = PathFromUtf8(folder);
  if (folder.empty() || !std::filesystem::is_directory(dir, ec)) return {};
  static const std::regex kName(R"(^(.+)-(\d{4})(\d{2})(\d{2})-(\d{2})(\d{2})(\d{2})(?:-(\d{1,6}))?\.tvx$)");
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    const std::string name = Utf8FromPath(it->path().filename());
    std::smatch m;
    if (!std::regex_match(name, m, kName)) continue;
    TFound f;
    f.file.path = Utf8FromPath(it->path());
    f.file.model = m[1];
    f.file.date = m[2].str() + "-" + m[3].str() + "-" + m[4].str() + " " + m[5].str() + ":" + m[6].str() + ":" +
                  m[7].str() + " UTC";
    f.file.size = it->file_size(ec);
    if (ec) continue;
    f.stamp = m[2].str() + m[3].str() + m[4].str() + m[5].str() + m[6].str() + m[7].str();
    f.serial = m[8].matched ? std::stoi(m[8].str()) : 1;
    found.push_back(std::move(f));
  }
  std::sort(found.begin(), found.end(), [](const TFound& a, const TFound& b) {
    if (a.stamp != b.stamp) return a.stamp > b.stamp;
    if (a.serial != b.serial) return a.serial > b.serial;
    return a.file.path > b.file.path;
  });
  std::vector<TBackupFile> out;
  for (TFound& f : found) out.push_back(std::move(f.file));
  return out;
}

std::string NewestBackupOf(const std::string& folder, const std::string& modelName) {
  const std::string model = NamePart(modelName);
  for (const TBackupFile& b : ListBackups(folder))
    if (b.model == model) return b.path;
  return std::string();
}

}  // namespace tarvex
