#include "win32/text.h"

#include <vector>

#include "serial/windows_text.h"

namespace tarvex::win32 {

std::wstring WindowTextWide(HWND hwnd) {
  const int length = ::GetWindowTextLengthW(hwnd);
  if (length <= 0) return std::wstring();
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int got = ::GetWindowTextW(hwnd, text.data(), length + 1);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

std::string WindowTextUtf8(HWND hwnd) {
  std::wstring wide = WindowTextWide(hwnd);
  std::string utf8 = Utf8FromWide(wide);
  Wipe(wide);
  return utf8;
}

void SetTextIfChanged(HWND hwnd, const std::string& utf8) {
  std::wstring wanted = WideFromUtf8(utf8);
  std::wstring shown = WindowTextWide(hwnd);
  if (shown != wanted) ::SetWindowTextW(hwnd, wanted.c_str());
  Wipe(wanted);
  Wipe(shown);
}

void Wipe(std::wstring& s) {
  if (!s.empty()) ::SecureZeroMemory(s.data(), s.size() * sizeof(wchar_t));
  s.clear();
}

}  // namespace tarvex::win32
