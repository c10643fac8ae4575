// The texts of the Win32 window's controls. The program's texts are UTF-8
// and the controls hold UTF-16; the conversions themselves are
// serial/windows_text.h, shared by every part of the program.
#pragma once

#include <string>

#include "serial/windows_api.h"
#include "serial/windows_text.h"

namespace tarvex::win32 {

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
