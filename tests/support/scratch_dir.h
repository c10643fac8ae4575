// A fresh folder of the test's own, removed with everything in it when it
// goes out of scope. Header-only and free of any test framework, so the
// unit tests, the Windows build and the fuzz targets share it.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <random>
#else
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace tarvex::test {

// Where the folder is made: in the temporary folder, or in memory
// (/dev/shm, where there is one) for code that writes files millions of
// times.
enum class TScratchPlace { Temp, Memory };

class TScratchDir {
 public:
  // prefix names the folder ("tarvex-keyfile" gives tarvex-keyfile-XXXXXX).
  explicit TScratchDir(const std::string& prefix = "tarvex-test", TScratchPlace place = TScratchPlace::Temp) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) base = ".";
#ifdef _WIN32
    (void)place;
    std::random_device entropy;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const fs::path p = base / (prefix + "-" + std::to_string(entropy()));
      if (fs::create_directory(p, ec)) path_ = p.string();
    }
#else
    struct stat st {};
    if (place == TScratchPlace::Memory && ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) &&
        ::access("/dev/shm", W_OK) == 0)
      base = "/dev/shm";
    std::string tmpl = (base / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
#endif
  }
  ~TScratchDir() {
    if (path_.empty()) return;
    namespace fs = std::filesystem;
    std::error_code ec;
    // A test may have taken the owner's rights away.
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;

  // False when no folder could be made; Path() is empty then.
  bool Ok() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }
  std::filesystem::path Folder() const { return path_; }
  // The path of a name inside the folder.
  std::string operator/(const std::string& name) const { return (std::filesystem::path(path_) / name).string(); }
  // The names in the folder.
  std::set<std::string> Entries() const {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(path_, ec)) names.insert(e.path().filename().string());
    return names;
  }

 private:
  std::string path_;
};

}  // namespace tarvex::test
