// A folder of the fuzz process's own for the files the code under test
// writes and reads: on tmpfs where there is one, since millions of runs
// write there. Each process has its own (jobs run side by side); it is
// removed with everything in it when the process ends normally.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "tests/fuzz/fuzz_check.h"

namespace tarvex::fuzz {

class TScratchDir {
 public:
  TScratchDir() {
    std::string base = "/dev/shm";
    struct stat st {};
    if (::stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(base.c_str(), W_OK) != 0) {
      const char* tmp = std::getenv("TMPDIR");
      base = tmp && *tmp ? tmp : "/tmp";
    }
    std::string tmpl = base + "/tarvex-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(tmpl.data()) != nullptr);
    path_ = tmpl;
  }
  ~TScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace tarvex::fuzz
