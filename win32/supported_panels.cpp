#include "win32/supported_panels.h"

#include <string>

#include "app/window_layout.h"
#include "win32/control_ids.h"
#include "win32/text.h"

namespace tarvex::win32 {

namespace {

constexpr int kOverviewHeight = layout::kInfoOverviewHeight;
constexpr int kSpacer = layout::kInfoSpacer;
const COLORREF kCaptionColour = RGB(layout::kCaptionColour.r, layout::kCaptionColour.g, layout::kCaptionColour.b);
const COLORREF kFieldColour = RGB(layout::kFieldColour.r, layout::kFieldColour.g, layout::kFieldColour.b);

constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;

struct TSupportedPanelsWindow {
  HWND owner = nullptr;
  HWND hwnd = nullptr;
  HBRUSH field = nullptr;
  const bool* busyCursor = nullptr;
  int dpi = 96;
  TFonts fonts;
  std::wstring info;
};

// The height a wrapped text needs at a width.
int TextHeight(HWND hwnd, HFONT font, const std::wstring& text, int width) {
  HDC dc = ::GetDC(hwnd);
  HGDIOBJ old = ::SelectObject(dc, font);
  RECT r{0, 0, width, 0};
  ::DrawTextW(dc, text.c_str(), -1, &r, DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
  ::SelectObject(dc, old);
  ::ReleaseDC(hwnd, dc);
  return r.bottom;
}

// Places the controls at the window's DPI and gives them its fonts.
void Layout(TSupportedPanelsWindow& w, bool redraw) {
  const int dpi = w.dpi;
  auto s = [dpi](int v) { return ::MulDiv(v, dpi, 96); };
  // The overview grows if a substitute face needs more lines than Arial;
  // the list gives up the space.
  const int infoTop = s(22), margin = s(8);
  const int infoWidth = s(kSupportedPanelsClientWidth) - 2 * margin;
  int overview = s(kOverviewHeight);
  const int needed = TextHeight(w.hwnd, w.fonts.Interface(), w.info, infoWidth);
  if (infoTop + needed + margin > overview) overview = infoTop + needed + margin;
  struct TPlace {
    int id;
    HFONT font;
    RECT r;
  };
  const TPlace places[] = {
      {IDC_gbOverview, w.fonts.Bold(), RECT{0, 0, s(kSupportedPanelsClientWidth), overview}},
      {IDC_lblInfo, w.fonts.Interface(), RECT{margin, infoTop, margin + infoWidth, overview - margin}},
      {IDC_sMemo1, w.fonts.Interface(),
       RECT{0, overview + s(kSpacer), s(kSupportedPanelsClientWidth), s(kSupportedPanelsClientHeight)}},
  };
  for (const TPlace& p : places) {
    HWND h = ::GetDlgItem(w.hwnd, p.id);
    ::SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(p.font), redraw);
    ::SetWindowPos(h, nullptr, p.r.left, p.r.top, p.r.right - p.r.left, p.r.bottom - p.r.top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

// A new DPI: new fonts for it, given to the controls; the old ones are
// deleted only then. The window takes the place Windows suggests, with a
// client area of the layout's size at the new DPI.
void ApplyDpi(TSupportedPanelsWindow& w, int dpi, const RECT* suggested) {
  w.dpi = dpi;
  TFonts old;
  old.Swap(w.fonts);
  w.fonts.Make(dpi);
  Layout(w, true);
  RECT frame{0, 0, ::MulDiv(kSupportedPanelsClientWidth, dpi, 96), ::MulDiv(kSupportedPanelsClientHeight, dpi, 96)};
  ::AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
  RECT at{};
  if (suggested) at = *suggested;
  else ::GetWindowRect(w.hwnd, &at);
  ::SetWindowPos(w.hwnd, nullptr, at.left, at.top, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  ::InvalidateRect(w.hwnd, nullptr, TRUE);
}

void Close(TSupportedPanelsWindow& w) {
  // The owner is enabled first, so that it, and not another program,
  // becomes the active window.
  ::EnableWindow(w.owner, TRUE);
  ::DestroyWindow(w.hwnd);
}

LRESULT CALLBACK SupportedPanelsProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* w = reinterpret_cast<TSupportedPanelsWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_NCCREATE: {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
      ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
      break;
    }
    case WM_CTLCOLORSTATIC: {
      auto dc = reinterpret_cast<HDC>(wp);
      if (reinterpret_cast<HWND>(lp) == ::GetDlgItem(hwnd, IDC_sMemo1)) {
        ::SetTextColor(dc, RGB(0, 0, 0));
        ::SetBkColor(dc, kFieldColour);
        return reinterpret_cast<LRESULT>(w->field);
      }
      ::SetTextColor(dc, kCaptionColour);
      ::SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_SETCURSOR:
      if (w && w->busyCursor && *w->busyCursor) {
        ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case WM_COMMAND:
      if (LOWORD(wp) == IDCANCEL && w) {
        Close(*w);
        return 0;
      }
      break;
    case WM_CLOSE:
      if (w) Close(*w);
      return 0;
    case WM_DPICHANGED:
      if (w && HIWORD(wp) > 0) {
        ApplyDpi(*w, HIWORD(wp), reinterpret_cast<const RECT*>(lp));
        return 0;
      }
      break;
    default:
      break;
  }
  return ::DefWindowProcW(hwnd, msg, wp, lp);
}

void RegisterClassOnce(HINSTANCE instance) {
  WNDCLASSEXW wc{};
  if (::GetClassInfoExW(instance, TARVEX_SUPPORTED_PANELS_CLASS, &wc)) return;
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = SupportedPanelsProc;
  wc.hInstance = instance;
  wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = TARVEX_SUPPORTED_PANELS_CLASS;
  ::RegisterClassExW(&wc);
}

// A control, placed and given its font by Layout.
HWND Child(HWND parent, const wchar_t* cls, const std::wstring& text, DWORD style, DWORD exStyle, int id) {
  return ::CreateWindowExW(exStyle, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
}

}  // namespace

void RunSupportedPanels(HWND owner, const TSupportedPanelsContent& content, int dpi, const bool* busyCursor) {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  RegisterClassOnce(instance);
  auto s = [dpi](int v) { return ::MulDiv(v, dpi, 96); };

  TSupportedPanelsWindow w;
  w.owner = owner;
  w.busyCursor = busyCursor;
  w.field = ::CreateSolidBrush(kFieldColour);
  w.dpi = dpi;
  w.fonts.Make(dpi);
  w.info = WideFromUtf8(content.info);

  // Not WS_CLIPCHILDREN: the group box paints no background of its own.
  RECT frame{0, 0, s(kSupportedPanelsClientWidth), s(kSupportedPanelsClientHeight)};
  ::AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  // Centred over the main window, as a dialog opens.
  RECT ownerRect{};
  ::GetWindowRect(owner, &ownerRect);
  const int x = (ownerRect.left + ownerRect.right - width) / 2, y = (ownerRect.top + ownerRect.bottom - height) / 2;

  w.hwnd = ::CreateWindowExW(kExStyle, TARVEX_SUPPORTED_PANELS_CLASS, WideFromUtf8(content.caption).c_str(), kStyle, x,
                             y, width, height, owner, nullptr, instance, &w);
  if (!w.hwnd) {
    ::DeleteObject(w.field);
    return;
  }

  std::wstring lines;
  for (size_t i = 0; i < content.lines.size(); ++i) {
    if (i > 0) lines += L"\r\n";
    lines += WideFromUtf8(content.lines[i]);
  }
  Child(w.hwnd, L"BUTTON", WideFromUtf8(content.overview), BS_GROUPBOX | WS_CLIPSIBLINGS, 0, IDC_gbOverview);
  Child(w.hwnd, L"STATIC", w.info, SS_LEFT | SS_NOPREFIX, 0, IDC_lblInfo);
  HWND memo = Child(w.hwnd, L"EDIT", lines,
                    ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | ES_AUTOVSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE,
                    IDC_sMemo1);
  Layout(w, false);
  // The group box is painted beneath the label inside it.
  ::SetWindowPos(::GetDlgItem(w.hwnd, IDC_gbOverview), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

  ::EnableWindow(owner, FALSE);
  ::ShowWindow(w.hwnd, SW_SHOW);
  ::SetFocus(memo);

  // The window's own loop until it has gone; a quit asked for meanwhile is
  // handed on to the main loop.
  bool quit = false;
  WPARAM quitCode = 0;
  MSG msg;
  while (::IsWindow(w.hwnd)) {
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) {
      quit = true;
      quitCode = msg.wParam;
      break;
    }
    // Esc closes, wherever the focus is (a multi-line edit would keep it).
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE &&
        (msg.hwnd == w.hwnd || ::IsChild(w.hwnd, msg.hwnd))) {
      Close(w);
      continue;
    }
    if (::IsDialogMessageW(w.hwnd, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  if (::IsWindow(w.hwnd)) Close(w);
  else ::EnableWindow(owner, TRUE);
  ::DeleteObject(w.field);
  if (quit) ::PostQuitMessage(static_cast<int>(quitCode));
}

}  // namespace tarvex::win32
