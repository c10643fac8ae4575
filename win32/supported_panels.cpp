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

struct TSupportedPanelsWindow {
  HWND owner = nullptr;
  HWND hwnd = nullptr;
  HBRUSH field = nullptr;
  const bool* busyCursor = nullptr;
};

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

HWND Child(HWND parent, const wchar_t* cls, const std::wstring& text, DWORD style, DWORD exStyle, int id, RECT r,
           HFONT font) {
  HWND h = ::CreateWindowExW(exStyle, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, r.left, r.top,
                             r.right - r.left, r.bottom - r.top, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
  ::SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return h;
}

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

}  // namespace

void RunSupportedPanels(HWND owner, const TSupportedPanelsContent& content, const TFonts& fonts, int dpi,
                        const bool* busyCursor) {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  RegisterClassOnce(instance);
  auto s = [dpi](int v) { return ::MulDiv(v, dpi, 96); };

  TSupportedPanelsWindow w;
  w.owner = owner;
  w.busyCursor = busyCursor;
  w.field = ::CreateSolidBrush(kFieldColour);

  // Not WS_CLIPCHILDREN: the group box paints no background of its own.
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  const DWORD exStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
  RECT frame{0, 0, s(kSupportedPanelsClientWidth), s(kSupportedPanelsClientHeight)};
  ::AdjustWindowRectEx(&frame, style, FALSE, exStyle);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  // Centred over the main window, as a dialog opens.
  RECT ownerRect{};
  ::GetWindowRect(owner, &ownerRect);
  const int x = (ownerRect.left + ownerRect.right - width) / 2, y = (ownerRect.top + ownerRect.bottom - height) / 2;

  w.hwnd = ::CreateWindowExW(exStyle, TARVEX_SUPPORTED_PANELS_CLASS, WideFromUtf8(content.caption).c_str(), style, x, y, width,
                             height, owner, nullptr, instance, &w);
  if (!w.hwnd) {
    ::DeleteObject(w.field);
    return;
  }

  // The overview grows if a substitute face needs more lines than Arial;
  // the list gives up the space.
  const std::wstring info = WideFromUtf8(content.info);
  const int infoTop = s(22), margin = s(8);
  const int infoWidth = s(kSupportedPanelsClientWidth) - 2 * margin;
  int overview = s(kOverviewHeight);
  const int needed = TextHeight(w.hwnd, fonts.Interface(), info, infoWidth);
  if (infoTop + needed + margin > overview) overview = infoTop + needed + margin;

  Child(w.hwnd, L"BUTTON", WideFromUtf8(content.overview), BS_GROUPBOX | WS_CLIPSIBLINGS, 0, IDC_gbOverview,
        RECT{0, 0, s(kSupportedPanelsClientWidth), overview}, fonts.Bold());
  Child(w.hwnd, L"STATIC", info, SS_LEFT | SS_NOPREFIX, 0, IDC_lblInfo,
        RECT{margin, infoTop, margin + infoWidth, overview - margin}, fonts.Interface());
  std::wstring lines;
  for (size_t i = 0; i < content.lines.size(); ++i) {
    if (i > 0) lines += L"\r\n";
    lines += WideFromUtf8(content.lines[i]);
  }
  HWND memo = Child(w.hwnd, L"EDIT", lines,
                    ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | ES_AUTOVSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE,
                    IDC_sMemo1,
                    RECT{0, overview + s(kSpacer), s(kSupportedPanelsClientWidth), s(kSupportedPanelsClientHeight)},
                    fonts.Interface());
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
