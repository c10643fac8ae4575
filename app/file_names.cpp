#include "app/file_names.h"

#ifdef _WIN32
#include "serial/windows_text.h"
#include <cstdlib>
#endif

namespace tarvex {

std::filesystem::path PathFromUtf8(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

#ifdef _WIN32

std::string EnvironmentUtf8(const wchar_t* name) {
  const wchar_t* value = ::_wgetenv(name);
  return value ? Utf8FromWide(value) : std::string();
}

#endif

}  // namespace tarvex
