// Texts at the Win32 boundary: the program's texts are UTF-8, the system's
// wide calls take UTF-16.
#pragma once

#include <string>

#include "serial/windows_api.h"

namespace tarvex::win32 {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
// A control's text as UTF-8.
std::string WindowTextUtf8(HWND hwnd);
// A control's text as UTF-16.
std::wstring WindowTextWide(HWND hwnd);
// Sets a control's text unless it already shows it (a change notice that
// says nothing new is not sent).
void SetTextIfChanged(HWND hwnd, const std::string& utf8);
// Overwrites a string's characters before it is dropped (codes).
void Wipe(std::wstring& s);

}  // namespace tarvex::win32
