#include "win32/code_edit.h"

#include <commctrl.h>

#include <string>

#include "app/workflows.h"
#include "win32/text.h"

namespace tarvex::win32 {

namespace {

constexpr UINT_PTR kSubclassId = 0x7C0DE;
// The state is also found through a window property: comctl32 exports
// GetWindowSubclass by ordinal only.
constexpr const wchar_t* kStateProperty = L"TarvexCodeEdit";

struct TCodeEditState {
  int depth = 0;  // changes being tried out, one inside another
};

bool IsCode(const std::wstring& text) {
  std::string utf8 = Utf8FromWide(text);
  const bool valid = IsValidCode(utf8);
  if (!utf8.empty()) ::SecureZeroMemory(utf8.data(), utf8.size());
  return valid;
}

// The clipboard's text; false when it holds none.
bool ClipboardText(HWND owner, std::wstring* text) {
  text->clear();
  if (!::OpenClipboard(owner)) return false;
  bool found = false;
  if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* chars = static_cast<const wchar_t*>(::GlobalLock(data))) {
      *text = chars;
      found = true;
      ::GlobalUnlock(data);
    }
  }
  ::CloseClipboard();
  return found;
}

// Whether what a paste would insert is a code on its own.
bool ClipboardIsCode(HWND edit) {
  std::wstring clip;
  if (!ClipboardText(edit, &clip)) return true;  // nothing to paste
  const bool valid = IsCode(clip);
  Wipe(clip);
  return valid;
}

// Lets the edit handle a message that may change its text, with the length
// limit lifted so that nothing is cut; keeps the result only if it is a
// code (and, for a paste, if the pasted text is one), and otherwise puts
// back the text and selection it had.
LRESULT TryChange(HWND edit, TCodeEditState& state, UINT msg, WPARAM wp, LPARAM lp, bool mayPaste) {
  const bool clipboardOk = !mayPaste || ClipboardIsCode(edit);
  std::wstring before = WindowTextWide(edit);
  DWORD selStart = 0, selEnd = 0;
  ::DefSubclassProc(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart), reinterpret_cast<LPARAM>(&selEnd));
  ++state.depth;
  ::DefSubclassProc(edit, EM_SETLIMITTEXT, 0, 0);
  const LRESULT result = ::DefSubclassProc(edit, msg, wp, lp);
  ::DefSubclassProc(edit, EM_SETLIMITTEXT, kMaxCodeDigits, 0);
  std::wstring after = WindowTextWide(edit);
  bool accepted = IsCode(after);
  // Something was inserted (more is left than the selection's removal
  // leaves): if a paste could have done it, the pasted text must be a code.
  if (accepted && !clipboardOk && after != before && after.size() + (selEnd - selStart) > before.size())
    accepted = false;
  if (!accepted) {
    ::DefSubclassProc(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(before.c_str()));
    ::DefSubclassProc(edit, EM_SETSEL, selStart, selEnd);
    ::MessageBeep(MB_OK);
  }
  --state.depth;
  const bool changed = accepted && after != before;
  Wipe(before);
  Wipe(after);
  if (changed && state.depth == 0) {
    const int id = ::GetDlgCtrlID(edit);
    ::SendMessageW(::GetParent(edit), WM_COMMAND, MAKEWPARAM(id, EN_CHANGE), reinterpret_cast<LPARAM>(edit));
  }
  if (msg == WM_SETTEXT) return accepted ? result : FALSE;
  return result;
}

LRESULT CALLBACK CodeEditProc(HWND edit, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR data) {
  auto& state = *reinterpret_cast<TCodeEditState*>(data);
  switch (msg) {
    case WM_PASTE:
      // Refused before the edit sees it: the edit would paste only the
      // first line, or cut a long text to the limit.
      if (!ClipboardIsCode(edit)) {
        ::MessageBeep(MB_OK);
        return 0;
      }
      return TryChange(edit, state, msg, wp, lp, false);
    case WM_CHAR:
      // Ctrl+V arrives as character 22 and may paste without a WM_PASTE.
      return TryChange(edit, state, msg, wp, lp, wp == 0x16);
    case WM_KEYDOWN:
      // Shift+Insert pastes.
      return TryChange(edit, state, msg, wp, lp, wp == VK_INSERT);
    case WM_CONTEXTMENU:
      // The edit's own menu may paste without a WM_PASTE.
      return TryChange(edit, state, msg, wp, lp, true);
    case WM_UNICHAR:
    case WM_IME_CHAR:
    case WM_SETTEXT:
    case EM_REPLACESEL:
    case WM_UNDO:
    case EM_UNDO:
    case WM_CUT:
    case WM_CLEAR:
      return TryChange(edit, state, msg, wp, lp, false);
    case WM_NCDESTROY:
      ::RemoveWindowSubclass(edit, CodeEditProc, kSubclassId);
      ::RemovePropW(edit, kStateProperty);
      delete &state;
      return ::DefSubclassProc(edit, msg, wp, lp);
    default:
      return ::DefSubclassProc(edit, msg, wp, lp);
  }
}

}  // namespace

void MakeCodeEdit(HWND edit) {
  ::SendMessageW(edit, EM_SETLIMITTEXT, kMaxCodeDigits, 0);
  // The installer's manual and the panels' keypads show codes as asterisks,
  // not the dots of the visual styles.
  ::SendMessageW(edit, EM_SETPASSWORDCHAR, L'*', 0);
  auto* state = new TCodeEditState;
  ::SetPropW(edit, kStateProperty, state);
  ::SetWindowSubclass(edit, CodeEditProc, kSubclassId, reinterpret_cast<DWORD_PTR>(state));
}

bool CodeEditSettling(HWND edit) {
  const auto* state = static_cast<const TCodeEditState*>(::GetPropW(edit, kStateProperty));
  return state && state->depth > 0;
}

}  // namespace tarvex::win32
