// The two main-user-code edits: at most six characters, each shown as "*",
// digits only. A code is 0 to 6 decimal digits (IsValidCode); anything
// typed, pasted or set that would make it something else is refused whole,
// so that a pasted "1234567" does not quietly become "123456" (the edit's
// own length limit would cut it).
#pragma once

#include "serial/windows_api.h"

namespace tarvex::win32 {

// Turns an edit (created with ES_PASSWORD) into a code edit. Its parent
// gets EN_CHANGE once for every accepted change.
void MakeCodeEdit(HWND edit);

// True while a code edit is trying out a change that it may still refuse:
// the parent takes no notice of EN_CHANGE meanwhile (the accepted result
// is notified again when the change is settled).
bool CodeEditSettling(HWND edit);

}  // namespace tarvex::win32
