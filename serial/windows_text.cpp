#include "serial/windows_text.h"

#include "serial/windows_api.h"
// After <windows.h>, which it needs.
#include <shellapi.h>

#include <cstdlib>

namespace tarvex {

std::wstring WideFromUtf8(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Utf8FromWide(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int n =
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string SystemErrorText(unsigned long err, bool dropFullStop) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(err), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = n && text ? Utf8FromWide(std::wstring(text, n)) : std::string();
  if (text) ::LocalFree(text);
  while (!out.empty() &&
         (out.back() == '\r' || out.back() == '\n' || out.back() == ' ' || (dropFullStop && out.back() == '.')))
    out.pop_back();
  if (out.empty()) out = "system error " + std::to_string(err);
  return out;
}

std::string EnvironmentUtf8(const wchar_t* name) {
  const wchar_t* value = ::_wgetenv(name);
  return value ? Utf8FromWide(value) : std::string();
}

std::vector<std::string> CommandLineUtf8() {
  int n = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
  std::vector<std::string> out;
  if (!wide) return out;
  for (int i = 0; i < n; ++i) out.push_back(Utf8FromWide(wide[i]));
  ::LocalFree(wide);
  return out;
}

}  // namespace tarvex
