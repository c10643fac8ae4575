// The supported-panels window, frmSupportedPanels, in Win32: a few
// sentences on what the program does and the panel models and firmware
// versions it serves, in the language of the main window's list. Modal:
// its owner is disabled while it is open, and the call returns once it has
// been closed (the title bar's close box or Esc).
#pragma once

#include "app/window_layout.h"
#include "app/window_model.h"
#include "serial/windows_api.h"
#include "win32/fonts.h"

namespace tarvex::win32 {

inline constexpr int kSupportedPanelsClientWidth = layout::kInfoClientWidth;
inline constexpr int kSupportedPanelsClientHeight = layout::kInfoClientHeight;

// Opens at the given DPI with fonts of its own, and follows a change of
// the display's scaling (WM_DPICHANGED): new fonts for the new DPI, given
// to the controls before the old ones are deleted, and the layout scaled.
// busyCursor, when given, is read whenever the pointer is over the window:
// the hourglass of an operation that runs meanwhile.
void RunSupportedPanels(HWND owner, const TSupportedPanelsContent& content, int dpi, const bool* busyCursor);

}  // namespace tarvex::win32
