#include "win32/main_window.h"

#include <commctrl.h>
#include <commdlg.h>
#include <cderr.h>
#include <uxtheme.h>
#include <vssym32.h>

#include <algorithm>
#include <exception>
#include <initializer_list>
#include <utility>
#include <vector>

#include "win32/code_edit.h"
#include "win32/control_ids.h"
#include "win32/supported_panels.h"
#include "win32/text.h"

namespace tarvex::win32 {

namespace {

// Private messages of the main window (WM_APP: the WM_USER range belongs to
// the dialog messages that IsDialogMessage sends).
constexpr UINT kRunOnWindowThread = WM_APP + 1;  // lParam: const std::function<void()>*
constexpr UINT kWorkerEnded = WM_APP + 2;

using namespace layout;

COLORREF ColourRef(TRgb c) { return RGB(c.r, c.g, c.b); }
const COLORREF kFieldColourRef = ColourRef(kFieldColour);
const COLORREF kCaptionColourRef = ColourRef(kCaptionColour);

// The drop-down part of a list, below its closed height.
constexpr int kListDropHeight = 200;

const TControlSpec* FindControl(int dialogId) {
  for (const TControlSpec& c : kMainWindowControls)
    if (DialogId(c.id) == dialogId) return &c;
  return nullptr;
}

bool IsEdit(const TControlSpec* c) {
  return c && (c->kind == TControlKind::CodeEdit || c->kind == TControlKind::FileEdit);
}

bool IsList(const TControlSpec* c) { return c && c->kind == TControlKind::List; }

bool IsCaption(const TControlSpec* c) {
  return c && (c->kind == TControlKind::Caption || c->kind == TControlKind::StatusLine);
}

bool IsPushButton(const TControlSpec* c) {
  return c && (c->kind == TControlKind::Button || c->kind == TControlKind::PictureButton ||
               c->kind == TControlKind::InfoButton);
}

// A group box's caption shows '&' as a mnemonic unless doubled.
std::wstring LiteralCaption(const std::string& utf8) {
  std::wstring out;
  for (wchar_t c : WideFromUtf8(utf8)) {
    out += c;
    if (c == L'&') out += L'&';
  }
  return out;
}

// The DPI functions of Windows 10 (1607) and later, looked up at run time
// so that the program also starts on earlier systems.
using TGetDpiForWindow = UINT(WINAPI*)(HWND);
using TAdjustWindowRectExForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);

template <typename F>
F User32Function(const char* name) {
  HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
  return user32 ? reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(user32, name))) : nullptr;
}

int WindowDpi(HWND hwnd) {
  static const auto getDpiForWindow = User32Function<TGetDpiForWindow>("GetDpiForWindow");
  if (getDpiForWindow) {
    const UINT dpi = getDpiForWindow(hwnd);
    if (dpi > 0) return static_cast<int>(dpi);
  }
  HDC dc = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(dc, LOGPIXELSY);
  ::ReleaseDC(nullptr, dc);
  return dpi > 0 ? dpi : 96;
}

void AdjustFrame(RECT* r, DWORD style, DWORD exStyle, int dpi) {
  static const auto adjustForDpi = User32Function<TAdjustWindowRectExForDpi>("AdjustWindowRectExForDpi");
  if (adjustForDpi) adjustForDpi(r, style, FALSE, exStyle, static_cast<UINT>(dpi));
  else ::AdjustWindowRectEx(r, style, FALSE, exStyle);
}

constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kWindowExStyle = WS_EX_CONTROLPARENT;

// While a box or a dialog of the main window is open, the data window
// waits too (disabled), as the main window does: no edit slips in under a
// question about those very edits.
class TDataWindowWait {
 public:
  explicit TDataWindowWait(const std::unique_ptr<TDataWindow>& w)
      : hwnd_(w && w->IsOpen() && ::IsWindowEnabled(w->Handle()) ? w->Handle() : nullptr) {
    if (hwnd_) ::EnableWindow(hwnd_, FALSE);
  }
  ~TDataWindowWait() {
    if (hwnd_ && ::IsWindow(hwnd_)) ::EnableWindow(hwnd_, TRUE);
  }
  TDataWindowWait(const TDataWindowWait&) = delete;
  TDataWindowWait& operator=(const TDataWindowWait&) = delete;

 private:
  HWND hwnd_;
};

}  // namespace

struct TMainWindow::TWorker {
  HANDLE thread = nullptr;
  HWND notify = nullptr;
  std::function<void()> work;

  static DWORD WINAPI Main(void* p) {
    auto* w = static_cast<TWorker*>(p);
    // The operation's own failures are reported by the operation; anything
    // that escapes it must still end the operation, not the program.
    try {
      w->work();
    } catch (...) {
    }
    ::PostMessageW(w->notify, kWorkerEnded, 0, 0);
    return 0;
  }
};

// The button pictures at the window's DPI, each also greyed for a disabled
// button.
struct TMainWindow::TPictures {
  struct TPair {
    HBITMAP normal = nullptr;
    HBITMAP disabled = nullptr;
  };
  TPair read, save, load, send, browse, info;

  explicit TPictures(int dpi) {
    auto make = [dpi](TPicture p) { return TPair{MakePicture(p, dpi, false), MakePicture(p, dpi, true)}; };
    read = make(TPicture::ReadFromPanel);
    save = make(TPicture::SaveToFile);
    load = make(TPicture::LoadFromFile);
    send = make(TPicture::SendToPanel);
    browse = make(TPicture::Browse);
    info = make(TPicture::Info);
  }
  ~TPictures() {
    for (TPair* p : {&read, &save, &load, &send, &browse, &info}) {
      if (p->normal) ::DeleteObject(p->normal);
      if (p->disabled) ::DeleteObject(p->disabled);
    }
  }
  const TPair* For(int id) const {
    switch (id) {
      case IDC_btnUserCode: return &read;
      case IDC_btnSaveToFile: return &save;
      case IDC_btnLoadFromFile: return &load;
      case IDC_btnSendCodes: return &send;
      case IDC_actBrowseSave:
      case IDC_actBrowseLoad: return &browse;
      case IDC_TsSupportedPanels: return &info;
      default: return nullptr;
    }
  }
};

TMainWindow::TMainWindow(TMainWindowOptions options)
    : options_(std::move(options)), model_(*this, options_.model) {}

TMainWindow::~TMainWindow() {
  if (hwnd_) ::DestroyWindow(hwnd_);
  if (worker_) WaitForWorker();
  if (accelerators_) ::DestroyAcceleratorTable(accelerators_);
  if (fieldBrush_) ::DeleteObject(fieldBrush_);
}

int TMainWindow::Scale(int pixels) const { return ::MulDiv(pixels, dpi_, 96); }

bool TMainWindow::Create(HINSTANCE instance, int showCommand) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES | ICC_TAB_CLASSES};
  ::InitCommonControlsEx(&icc);
  threadId_ = ::GetCurrentThreadId();
  fieldBrush_ = ::CreateSolidBrush(kFieldColourRef);

  bigIcon_ = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDI_TARVEX), IMAGE_ICON,
                                             ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON), 0));
  smallIcon_ = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDI_TARVEX), IMAGE_ICON,
                                               ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), 0));

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hIcon = bigIcon_;
  wc.hIconSm = smallIcon_;
  wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = TARVEX_MAIN_WINDOW_CLASS;
  if (!::RegisterClassExW(&wc) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

  // Made hidden, so that its size can follow the DPI of the screen it is on.
  hwnd_ = ::CreateWindowExW(kWindowExStyle, TARVEX_MAIN_WINDOW_CLASS, WideFromUtf8(model_.State().title).c_str(), kWindowStyle,
                            CW_USEDEFAULT, CW_USEDEFAULT, kClientWidth, kClientHeight, nullptr, nullptr, instance, this);
  if (!hwnd_) return false;
  workerTarget_ = hwnd_;
  dpi_ = WindowDpi(hwnd_);
  MakeControls();
  ApplyDpi(dpi_);

  // Centred on the work area of its screen.
  RECT frame{0, 0, Scale(kClientWidth), Scale(kClientHeight)};
  AdjustFrame(&frame, kWindowStyle, kWindowExStyle, dpi_);
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  ::GetMonitorInfoW(::MonitorFromWindow(hwnd_, MONITOR_DEFAULTTOPRIMARY), &mi);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  ::SetWindowPos(hwnd_, nullptr, mi.rcWork.left + (mi.rcWork.right - mi.rcWork.left - width) / 2,
                 mi.rcWork.top + (mi.rcWork.bottom - mi.rcWork.top - height) / 2, width, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);

  ACCEL f1{FVIRTKEY, VK_F1, IDC_scSupportedPanels};
  accelerators_ = ::CreateAcceleratorTableW(&f1, 1);

  model_.Start();
  ::ShowWindow(hwnd_, showCommand);
  ::UpdateWindow(hwnd_);
  ::SetFocus(Item(IDC_cbLingua));
  return true;
}

void TMainWindow::MakeControls() {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  // The controls in table order, which is the tab order; the group boxes
  // after all others, so that each stands beneath the controls inside it.
  std::vector<const TControlSpec*> order;
  for (const TControlSpec& c : kMainWindowControls)
    if (c.kind != TControlKind::Group) order.push_back(&c);
  for (const TControlSpec& c : kMainWindowControls)
    if (c.kind == TControlKind::Group) order.push_back(&c);
  HWND above = HWND_TOP;
  for (const TControlSpec* spec : order) {
    const TControlSpec& c = *spec;
    const wchar_t* cls = L"BUTTON";
    DWORD style = WS_CHILD | WS_VISIBLE | (c.tabStop ? WS_TABSTOP : 0);
    DWORD exStyle = 0;
    switch (c.kind) {
      case TControlKind::Group:
        // Clipped by the controls above it, so that it never paints over
        // them.
        style |= BS_GROUPBOX | WS_CLIPSIBLINGS;
        break;
      case TControlKind::Caption:
        cls = L"STATIC";
        style |= SS_NOPREFIX | (c.alignRight ? SS_RIGHT : SS_LEFT);
        break;
      case TControlKind::StatusLine:
        cls = L"STATIC";
        style |= SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE | SS_ENDELLIPSIS;
        break;
      case TControlKind::LinkedPanel:
        cls = L"STATIC";
        style |= SS_OWNERDRAW | SS_NOPREFIX;
        break;
      case TControlKind::List:
        cls = L"COMBOBOX";
        style |= CBS_DROPDOWNLIST | WS_VSCROLL;
        break;
      case TControlKind::Button:
      case TControlKind::PictureButton:
      case TControlKind::InfoButton:
      case TControlKind::BrowseButton:
        style |= BS_OWNERDRAW;
        break;
      case TControlKind::CodeEdit:
        cls = L"EDIT";
        style |= ES_PASSWORD | ES_AUTOHSCROLL;
        exStyle = WS_EX_CLIENTEDGE;
        break;
      case TControlKind::FileEdit:
        cls = L"EDIT";
        // Clipped by its browse button, which stands above it.
        style |= ES_AUTOHSCROLL | WS_CLIPSIBLINGS;
        exStyle = WS_EX_CLIENTEDGE;
        break;
      case TControlKind::ProgressBar:
        cls = PROGRESS_CLASSW;
        style |= PBS_SMOOTH;
        break;
    }
    // The lists' height includes their drop-down part.
    const TRect& r = c.rect;
    const int height = c.kind == TControlKind::List ? r.h + kListDropHeight : r.h;
    HWND h = ::CreateWindowExW(exStyle, cls, L"", style, r.x, r.y, r.w, height, hwnd_,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(DialogId(c.id))), instance, nullptr);
    ::SetWindowPos(h, above, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    above = h;
    switch (c.kind) {
      case TControlKind::CodeEdit:
        MakeCodeEdit(h);
        break;
      case TControlKind::FileEdit:
        ::SendMessageW(h, EM_SETLIMITTEXT, 255, 0);
        break;
      case TControlKind::Button:
      case TControlKind::PictureButton:
      case TControlKind::InfoButton:
      case TControlKind::BrowseButton:
        ::SetWindowSubclass(h, ButtonProc, 1, reinterpret_cast<DWORD_PTR>(this));
        break;
      case TControlKind::Group:
        ::SetWindowSubclass(h, GroupProc, 1, 0);
        break;
      case TControlKind::Caption:
        ::SetWindowSubclass(h, CaptionProc, 1, 0);
        break;
      default:
        break;
    }
  }
  for (const char* item : kLanguageItems)
    ::SendMessageW(Item(IDC_cbLingua), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(WideFromUtf8(item).c_str()));
  MakeToolTips();
}

void TMainWindow::MakeToolTips() {
  toolTips_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr,
                                ::GetModuleHandleW(nullptr), nullptr);
  auto add = [this](UINT flags, UINT_PTR id) {
    TOOLINFOW ti{};
    ti.cbSize = sizeof ti;
    ti.uFlags = flags | TTF_SUBCLASS;
    ti.hwnd = hwnd_;
    ti.uId = id;
    ti.lpszText = const_cast<wchar_t*>(L"");
    ::SendMessageW(toolTips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
  };
  add(TTF_IDISHWND, reinterpret_cast<UINT_PTR>(Item(IDC_TsSupportedPanels)));
  add(TTF_IDISHWND, reinterpret_cast<UINT_PTR>(Item(IDC_btnSendCodes)));
  // The send group's area, on the main window: a group box lets the mouse
  // through, and so does the send button while it is disabled.
  add(0, IDC_gbSendToPanel);
}

void TMainWindow::ApplyDpi(int dpi) {
  dpi_ = dpi;
  // The old fonts and pictures go only once every control has the new
  // ones (Layout): until then a control may still paint with them.
  TFonts old;
  old.Swap(fonts_);
  fonts_.Make(dpi_);
  std::unique_ptr<TPictures> oldPictures = std::move(pictures_);
  pictures_ = std::make_unique<TPictures>(dpi_);
  Layout();
}

void TMainWindow::Layout() {
  for (const TControlSpec& c : kMainWindowControls) {
    HWND h = Item(DialogId(c.id));
    HFONT font = c.kind == TControlKind::LinkedPanel  ? fonts_.Bold()
                 : c.kind == TControlKind::StatusLine ? fonts_.Status()
                                                      : fonts_.Interface();
    ::SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    const TRect& r = c.rect;
    const int height = c.kind == TControlKind::List ? Scale(r.h + kListDropHeight) : Scale(r.h);
    ::SetWindowPos(h, nullptr, Scale(r.x), Scale(r.y), Scale(r.w), height, SWP_NOZORDER | SWP_NOACTIVATE);
    if (c.kind == TControlKind::List) {
      // The closed list as tall as the Qt window's: its selection field
      // follows the item height, by a margin that differs between systems,
      // so the height is corrected until it is right.
      // (Wine reports the height it was given plus 2, so the height asked
      // for is kept here.)
      LRESULT item = ::SendMessageW(h, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
      for (int attempt = 0; attempt < 3 && item > 0; ++attempt) {
        RECT wr{};
        ::GetWindowRect(h, &wr);
        const int field = wr.bottom - wr.top;
        if (field == Scale(r.h)) break;
        item += Scale(r.h) - field;
        ::SendMessageW(h, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), item);
      }
    }
    if (c.kind == TControlKind::FileEdit)
      ::SendMessageW(h, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(Scale(2), Scale(kBrowseWidth + 2)));
  }
  // Device paths and the demo's descriptions are longer than the list.
  ::SendMessageW(Item(IDC_cbSerial), CB_SETDROPPEDWIDTH, Scale(kPortListDropWidth), 0);
  if (toolTips_) {
    const TRect& g = ControlSpec(TControlId::gbSendToPanel).rect;
    TOOLINFOW ti{};
    ti.cbSize = sizeof ti;
    ti.hwnd = hwnd_;
    ti.uId = IDC_gbSendToPanel;
    ti.rect = RECT{Scale(g.x), Scale(g.y), Scale(g.x + g.w), Scale(g.y + g.h)};
    ::SendMessageW(toolTips_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&ti));
    ::SendMessageW(toolTips_, TTM_SETMAXTIPWIDTH, 0, Scale(600));
    ::SendMessageW(toolTips_, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_.Interface()), FALSE);
  }
  ::InvalidateRect(hwnd_, nullptr, TRUE);
}

int TMainWindow::Run() {
  MSG msg{};
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (dataWindow_ && dataWindow_->PreTranslate(&msg)) continue;
    if (hwnd_ && (msg.hwnd == hwnd_ || ::IsChild(hwnd_, msg.hwnd))) {
      if (::TranslateAcceleratorW(hwnd_, accelerators_, &msg)) continue;
      if (::IsDialogMessageW(hwnd_, &msg)) continue;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}

// ---- Painting what the model says ----

void TMainWindow::Show(const TWindowState& state, unsigned parts) {
  if (!hwnd_) return;
  if (parts & PartCaptions) {
    ::SendMessageW(Item(IDC_cbLingua), CB_SETCURSEL, static_cast<WPARAM>(state.languageIndex), 0);
    for (const TControlSpec& c : kMainWindowControls) {
      const std::string* text = CaptionText(state.captions, c.caption);
      if (!text) continue;
      // A group box's caption would show '&' as a mnemonic.
      const std::wstring shown = c.kind == TControlKind::Group ? LiteralCaption(*text) : WideFromUtf8(*text);
      ::SetWindowTextW(Item(DialogId(c.id)), shown.c_str());
    }
    SetToolTip(hwnd_, IDC_gbSendToPanel, state.sendToolTip);
    SetToolTip(hwnd_, reinterpret_cast<UINT_PTR>(Item(IDC_btnSendCodes)), state.sendToolTip);
    SetToolTip(hwnd_, reinterpret_cast<UINT_PTR>(Item(IDC_TsSupportedPanels)), state.supportedPanelsToolTip);
  }
  if (parts & PartPorts) {
    HWND list = Item(IDC_cbSerial);
    ::SendMessageW(list, CB_RESETCONTENT, 0, 0);
    for (const TPortEntry& e : state.ports)
      ::SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(WideFromUtf8(e.Label).c_str()));
    ::SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(state.selectedPort), 0);
  }
  if (parts & PartLinkedPanel) {
    ::SetWindowTextW(Item(IDC_lblLinkedPanel), WideFromUtf8(state.linkedPanel).c_str());
    ::InvalidateRect(Item(IDC_lblLinkedPanel), nullptr, TRUE);
  }
  if (parts & PartStatus) ::SetWindowTextW(Item(IDC_lblProgress), WideFromUtf8(state.status).c_str());
  if (parts & PartBar) PaintBar(state.bar);
  if (parts & PartCodes) {
    SetTextIfChanged(Item(IDC_EUserCode), state.userCode);
    SetTextIfChanged(Item(IDC_eUserCodeSend), state.sendCode);
  }
  if (parts & PartFileNames) {
    SetTextIfChanged(Item(IDC_eSaveToFile), state.saveFileName);
    SetTextIfChanged(Item(IDC_eLoadFromFile), state.loadFileName);
  }
  if (parts & PartControls) PaintEnables(state.enables);
  if ((parts & (PartData | PartCaptions)) && dataWindow_) dataWindow_->Refresh();
}

void TMainWindow::PaintEnables(const TControlEnables& e) {
  const HWND focus = ::GetFocus();
  // Only the controls whose state changes are touched: each change costs a
  // repaint, and the model shows the states several times per command.
  auto enable = [this](int id, bool on) {
    HWND h = Item(id);
    if ((::IsWindowEnabled(h) != FALSE) != on) ::EnableWindow(h, on);
  };
  for (const TEnableSwitch& sw : EnableSwitches(e)) enable(DialogId(sw.id), sw.on);
  // The keyboard focus leaves a control that went off, as a dialog's does.
  if (focus && ::IsChild(hwnd_, focus) && !::IsWindowEnabled(focus)) {
    if (HWND next = ::GetNextDlgTabItem(hwnd_, focus, FALSE)) ::SetFocus(next);
  }
}

void TMainWindow::PaintBar(const TProgressBar& bar) {
  HWND pb = Item(IDC_pbProgress);
  // A phase announced with no steps shows an empty bar.
  const int maximum = std::max(bar.maximum, 1);
  const int position = std::clamp(bar.position, 0, maximum);
  // A themed bar eases towards a higher position, so that a step would
  // show late or be passed over by the next one; a lower position shows
  // at once. So the bar goes one past the step and back to it (at the top,
  // within a range one longer for that moment).
  const int previous = static_cast<int>(::SendMessageW(pb, PBM_GETPOS, 0, 0));
  if (position > previous) {
    if (position == maximum) ::SendMessageW(pb, PBM_SETRANGE32, 0, maximum + 1);
    ::SendMessageW(pb, PBM_SETPOS, static_cast<WPARAM>(position + 1), 0);
  }
  ::SendMessageW(pb, PBM_SETRANGE32, 0, maximum);
  ::SendMessageW(pb, PBM_SETPOS, static_cast<WPARAM>(position), 0);
  ::UpdateWindow(pb);
}

void TMainWindow::SetToolTip(HWND tool, UINT_PTR id, const std::string& text) {
  if (!toolTips_) return;
  std::wstring wide = WideFromUtf8(text);
  TOOLINFOW ti{};
  ti.cbSize = sizeof ti;
  ti.hwnd = tool;
  ti.uId = id;
  ti.lpszText = wide.data();
  ::SendMessageW(toolTips_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&ti));
}

// ---- The rest of the view ----

void TMainWindow::ShowMessageBox(TBoxKind kind, const std::string& text) {
  const TDataWindowWait wait(dataWindow_);
  UINT icon = MB_ICONINFORMATION;
  if (kind == TBoxKind::Warning) icon = MB_ICONWARNING;
  if (kind == TBoxKind::Error) icon = MB_ICONERROR;
  ::MessageBoxW(hwnd_, WideFromUtf8(text).c_str(), WideFromUtf8(BoxTitle(kind)).c_str(), MB_OK | icon);
}

TAnswer TMainWindow::Ask(TBoxKind kind, const std::string& text, TQuestion question) {
  const TDataWindowWait wait(dataWindow_);
  const std::vector<TQuestionButton> buttons = QuestionButtons(question, model_.State().languageIndex);
  const std::wstring title = WideFromUtf8(BoxTitle(kind));
  // The task dialog is in version 6 of the common controls, which the
  // program's manifest asks for; looked up, so that the program still
  // starts where it is missing.
  using TTaskDialogIndirect = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
  auto taskDialog = reinterpret_cast<TTaskDialogIndirect>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"comctl32.dll"), "TaskDialogIndirect")));
  if (taskDialog && !buttons.empty()) {
    const std::wstring content = WideFromUtf8(text);
    std::vector<std::wstring> captions;
    std::vector<TASKDIALOG_BUTTON> taskButtons;
    for (const TQuestionButton& b : buttons) captions.push_back(WideFromUtf8(b.caption));
    for (size_t i = 0; i < buttons.size(); ++i)
      taskButtons.push_back({QuestionButtonId(buttons[i].answer), captions[i].c_str()});
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.hwndParent = hwnd_;
    // Escape and the close box answer as the last button does.
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
    config.pszWindowTitle = title.c_str();
    config.pszMainIcon = kind == TBoxKind::Warning ? TD_WARNING_ICON
                         : kind == TBoxKind::Error ? TD_ERROR_ICON
                                                   : TD_INFORMATION_ICON;
    config.pszContent = content.c_str();
    config.cButtons = static_cast<UINT>(taskButtons.size());
    config.pButtons = taskButtons.data();
    config.nDefaultButton = taskButtons.front().nButtonID;
    int pressed = 0;
    if (SUCCEEDED(taskDialog(&config, &pressed, nullptr, nullptr))) {
      for (const TQuestionButton& b : buttons)
        if (QuestionButtonId(b.answer) == pressed) return b.answer;
      return ClosedAnswer(question);
    }
  }
  // A plain message box: Yes, No (, Cancel) in the system's language.
  UINT icon = MB_ICONINFORMATION;
  if (kind == TBoxKind::Warning) icon = MB_ICONWARNING;
  if (kind == TBoxKind::Error) icon = MB_ICONERROR;
  std::string shown = text;
  if (question == TQuestion::SaveDiscardCancel && buttons.size() == 3) {
    // Which of the system's buttons saves, in our words.
    const std::vector<TQuestionButton> yesNo = QuestionButtons(TQuestion::YesNo, model_.State().languageIndex);
    shown += "\r\n" + yesNo[0].caption + " = " + buttons[0].caption + ", " + yesNo[1].caption + " = " +
             buttons[1].caption + ".";
  }
  const UINT type = question == TQuestion::YesNo ? MB_YESNO : MB_YESNOCANCEL;
  const int pressed = ::MessageBoxW(hwnd_, WideFromUtf8(shown).c_str(), title.c_str(), type | icon);
  switch (pressed) {
    case IDYES: return question == TQuestion::YesNo ? TAnswer::Yes : TAnswer::Save;
    case IDNO: return question == TQuestion::YesNo ? TAnswer::No : TAnswer::Discard;
    default: return ClosedAnswer(question);
  }
}

void TMainWindow::ShowBusyCursor(bool busy) {
  busyCursor_ = busy;
  // The pointer changes at once where it stands, not at the next move.
  POINT at{};
  if (!::GetCursorPos(&at)) return;
  HWND under = ::WindowFromPoint(at);
  if (!under || ::GetWindowThreadProcessId(under, nullptr) != threadId_) return;
  const LRESULT hit = ::SendMessageW(under, WM_NCHITTEST, 0, MAKELPARAM(at.x, at.y));
  ::SendMessageW(under, WM_SETCURSOR, reinterpret_cast<WPARAM>(under), MAKELPARAM(hit, WM_MOUSEMOVE));
}

void TMainWindow::ShowSupportedPanels(int languageIndex) {
  const TDataWindowWait wait(dataWindow_);
  RunSupportedPanels(hwnd_, SupportedPanelsContent(languageIndex), dpi_, &busyCursor_);
}

void TMainWindow::RunOffThread(std::function<void()> work, std::function<void()> done) {
  done_ = std::move(done);
  worker_ = std::make_unique<TWorker>();
  worker_->notify = hwnd_;
  worker_->work = std::move(work);
  worker_->thread = ::CreateThread(nullptr, 0, TWorker::Main, worker_.get(), 0, nullptr);
  if (!worker_->thread) {
    // No thread to be had: the work runs here, the window waits for it.
    TWorker::Main(worker_.get());
  }
}

void TMainWindow::RunOnWindowThread(const std::function<void()>& f) {
  if (::GetCurrentThreadId() == threadId_) {
    f();
    return;
  }
  // Waits until the window's thread has run it. A window already gone runs
  // nothing: the model has let go of it by then.
  if (HWND target = workerTarget_.load()) ::SendMessageW(target, kRunOnWindowThread, 0, reinterpret_cast<LPARAM>(&f));
}

void TMainWindow::CloseWindow() {
  EndSessionBlock();
  if (hwnd_) ::DestroyWindow(hwnd_);
}

void TMainWindow::ShowDataWindow() {
  if (!dataWindow_) {
    TDataWindowHooks hooks;
    hooks.canSave = [this] { return model_.DataWindow().CanSave(); };
    hooks.save = [this] { model_.SaveData(); };
    hooks.busyCursor = &busyCursor_;
    dataWindow_ = std::make_unique<TDataWindow>(model_.DataWindow(), std::move(hooks));
  }
  dataWindow_->Open(hwnd_, dpi_);
}

bool TMainWindow::ChooseSaveFileName(std::string* name) {
  std::wstring chosen = WindowTextWide(Item(IDC_eSaveToFile));
  if (!RunSaveDialog(&chosen)) return false;
  *name = Utf8FromWide(chosen);
  return true;
}

namespace {

// Vista and later; looked up at run time like the DPI functions.
using TShutdownBlockReasonCreate = BOOL(WINAPI*)(HWND, LPCWSTR);
using TShutdownBlockReasonDestroy = BOOL(WINAPI*)(HWND);

}  // namespace

void TMainWindow::BlockSessionEnd() {
  if (sessionBlocked_ || !hwnd_) return;
  static const auto create = User32Function<TShutdownBlockReasonCreate>("ShutdownBlockReasonCreate");
  // What Windows shows beside the program while it waits for it.
  if (create) create(hwnd_, L"Tarvex is writing into a panel");
  sessionBlocked_ = true;
}

void TMainWindow::EndSessionBlock() {
  if (!sessionBlocked_) return;
  static const auto destroy = User32Function<TShutdownBlockReasonDestroy>("ShutdownBlockReasonDestroy");
  if (destroy && hwnd_) destroy(hwnd_);
  sessionBlocked_ = false;
}

void TMainWindow::ProgressHandled(int code, int32_t value) {
  if (options_.progressHandled) options_.progressHandled(code, value);
}

void TMainWindow::OperationStarted() {
  if (options_.operationStarted) options_.operationStarted();
}

void TMainWindow::OperationFinished() {
  if (options_.operationFinished) options_.operationFinished();
}

void TMainWindow::WorkerEnded() {
  if (!worker_) return;
  if (worker_->thread) {
    ::WaitForSingleObject(worker_->thread, INFINITE);
    ::CloseHandle(worker_->thread);
  }
  worker_.reset();
  std::function<void()> done = std::move(done_);
  done_ = nullptr;
  if (done) done();
}

void TMainWindow::WaitForWorker() {
  if (!worker_) return;
  if (HANDLE thread = worker_->thread) {
    // The worker may be waiting for this thread (SendMessage): its calls
    // are let through while it runs to its end.
    while (::MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE) != WAIT_OBJECT_0) {
      MSG m;
      ::PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    ::CloseHandle(thread);
  }
  worker_.reset();
  done_ = nullptr;
}

// ---- The user's events ----

void TMainWindow::OnCommand(int id, int code, HWND control) {
  switch (id) {
    case IDC_cbLingua:
      if (code == CBN_SELCHANGE)
        model_.LanguageChosen(static_cast<int>(::SendMessageW(control, CB_GETCURSEL, 0, 0)));
      return;
    case IDC_cbSerial:
      if (code == CBN_SELCHANGE) model_.PortChosen(static_cast<int>(::SendMessageW(control, CB_GETCURSEL, 0, 0)));
      return;
    case IDC_EUserCode:
    case IDC_eUserCodeSend:
    case IDC_eSaveToFile:
    case IDC_eLoadFromFile:
      if (code == EN_CHANGE) OnEditChanged(id, control);
      return;
    default:
      break;
  }
  if (id == IDOK) {
    // Enter, turned into IDOK by the dialog keys: it presses the focused
    // button, as in a dialog (owner-drawn buttons are never the default).
    HWND focus = ::GetFocus();
    const int focused = focus && ::GetParent(focus) == hwnd_ ? ::GetDlgCtrlID(focus) : 0;
    if (IsPushButton(FindControl(focused)))
      ::SendMessageW(focus, BM_CLICK, 0, 0);
    return;
  }
  // Buttons, and the F1 accelerator (code 1).
  // An owner-drawn button reports a quick second click as a double click.
  const bool clicked = code == BN_CLICKED || code == BN_DOUBLECLICKED;
  if (!clicked && !(id == IDC_scSupportedPanels && code == 1)) return;
  switch (id) {
    case IDC_btnCheckConnection: model_.CheckConnection(); break;
    case IDC_btnUserCode: model_.ReadFromPanel(); break;
    case IDC_btnSaveToFile: model_.SaveToFile(); break;
    case IDC_btnLoadFromFile: model_.LoadFromFile(); break;
    case IDC_btnSendCodes: model_.SendToPanel(); break;
    case IDC_btnShowData: model_.ShowDataRequested(); break;
    case IDC_TsSupportedPanels:
    case IDC_scSupportedPanels: model_.SupportedPanelsRequested(); break;
    case IDC_actBrowseSave: BrowseSaveFile(); break;
    case IDC_actBrowseLoad: BrowseLoadFile(); break;
    default: break;
  }
}

void TMainWindow::OnEditChanged(int id, HWND edit) {
  // A code edit notifies again once it has settled a change.
  if ((id == IDC_EUserCode || id == IDC_eUserCodeSend) && CodeEditSettling(edit)) return;
  std::string text = WindowTextUtf8(edit);
  switch (id) {
    case IDC_EUserCode: model_.UserCodeEdited(text); break;
    case IDC_eUserCodeSend: model_.SendCodeEdited(text); break;
    case IDC_eSaveToFile: model_.SaveNameEdited(text); break;
    case IDC_eLoadFromFile: model_.LoadNameEdited(text); break;
    default: break;
  }
  if (!text.empty()) ::SecureZeroMemory(text.data(), text.size());
}

namespace {

// A file dialog's name buffer, holding the edit's name to start with.
std::vector<wchar_t> NameBuffer(HWND edit) {
  std::vector<wchar_t> buffer(32768, L'\0');
  const std::wstring current = WindowTextWide(edit);
  std::copy(current.begin(), current.begin() + std::min(current.size(), buffer.size() - 1), buffer.begin());
  return buffer;
}

// Runs a file dialog; a name the dialog refuses to start with (a folder
// that no longer exists) is dropped and the dialog opened again.
bool RunFileDialog(OPENFILENAMEW& ofn, bool save) {
  const bool chosen = save ? ::GetSaveFileNameW(&ofn) : ::GetOpenFileNameW(&ofn);
  if (chosen) return true;
  if (::CommDlgExtendedError() != FNERR_INVALIDFILENAME) return false;
  ofn.lpstrFile[0] = L'\0';
  return save ? ::GetSaveFileNameW(&ofn) : ::GetOpenFileNameW(&ofn);
}

}  // namespace

void TMainWindow::BrowseSaveFile() {
  std::wstring name = WindowTextWide(Item(IDC_eSaveToFile));
  if (RunSaveDialog(&name)) ::SetWindowTextW(Item(IDC_eSaveToFile), name.c_str());
}

bool TMainWindow::RunSaveDialog(std::wstring* chosen) {
  const TDataWindowWait wait(dataWindow_);
  std::vector<wchar_t> name(32768, L'\0');
  std::copy(chosen->begin(), chosen->begin() + std::min(chosen->size(), name.size() - 1), name.begin());
  // Key-code files only; the save replaces a file of that name without a
  // question, as the save button does.
  std::wstring filter = WideFromUtf8(kSaveFilterName);
  filter.push_back(L'\0');
  filter += WideFromUtf8(kSaveFilterPattern);
  filter.push_back(L'\0');
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = filter.c_str();
  ofn.lpstrFile = name.data();
  ofn.nMaxFile = static_cast<DWORD>(name.size());
  ofn.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_ENABLESIZING;
  if (!RunFileDialog(ofn, true)) return false;
  *chosen = name.data();
  return true;
}

void TMainWindow::BrowseLoadFile() {
  const TDataWindowWait wait(dataWindow_);
  HWND edit = Item(IDC_eLoadFromFile);
  std::vector<wchar_t> name = NameBuffer(edit);
  // Any file: the load checks the content, not the name.
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFile = name.data();
  ofn.nMaxFile = static_cast<DWORD>(name.size());
  ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR |
              OFN_ENABLESIZING;
  if (RunFileDialog(ofn, false)) ::SetWindowTextW(edit, name.data());
}

// ---- Drawing the owner-drawn controls ----

namespace {

// The text of a control, drawn wrapped and centred in r.
void DrawCentredText(HDC dc, HWND control, RECT r) {
  const std::wstring text = WindowTextWide(control);
  RECT measure = r;
  ::DrawTextW(dc, text.c_str(), -1, &measure, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
  const int height = measure.bottom - measure.top;
  if (height < r.bottom - r.top) r.top += (r.bottom - r.top - height) / 2;
  ::DrawTextW(dc, text.c_str(), -1, &r, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
}

SIZE BitmapSize(HBITMAP b) {
  BITMAP bm{};
  if (b) ::GetObjectW(b, sizeof bm, &bm);
  return SIZE{bm.bmWidth, bm.bmHeight};
}

}  // namespace

bool TMainWindow::DrawItem(const DRAWITEMSTRUCT& d) {
  switch (d.CtlID) {
    case IDC_lblLinkedPanel:
      DrawLinkedPanel(d);
      return true;
    case IDC_TsSupportedPanels:
      DrawFlatButton(d, false);
      return true;
    case IDC_actBrowseSave:
    case IDC_actBrowseLoad:
      DrawFlatButton(d, true);
      return true;
    case IDC_btnCheckConnection:
    case IDC_btnUserCode:
    case IDC_btnSaveToFile:
    case IDC_btnLoadFromFile:
    case IDC_btnSendCodes:
    case IDC_btnShowData:
      DrawPushButton(d);
      return true;
    default:
      return false;
  }
}

// A push button whose caption wraps onto a second line beside its picture,
// as the captions of the three languages need within the buttons' fixed
// sizes.
void TMainWindow::DrawPushButton(const DRAWITEMSTRUCT& d) {
  HDC dc = d.hDC;
  RECT r = d.rcItem;
  const bool disabled = d.itemState & ODS_DISABLED;
  const bool pressed = d.itemState & ODS_SELECTED;
  const bool focused = (d.itemState & ODS_FOCUS) && !(d.itemState & ODS_NOFOCUSRECT);
  const bool hot = d.hwndItem == hotButton_;
  RECT content = r;
  COLORREF textColour = ::GetSysColor(disabled ? COLOR_GRAYTEXT : COLOR_BTNTEXT);
  if (HTHEME theme = ::OpenThemeData(d.hwndItem, L"BUTTON")) {
    const int state = disabled ? PBS_DISABLED : pressed ? PBS_PRESSED : hot ? PBS_HOT : focused ? PBS_DEFAULTED : PBS_NORMAL;
    if (::IsThemeBackgroundPartiallyTransparent(theme, BP_PUSHBUTTON, state))
      ::DrawThemeParentBackground(d.hwndItem, dc, &r);
    ::DrawThemeBackground(theme, dc, BP_PUSHBUTTON, state, &r, nullptr);
    ::GetThemeBackgroundContentRect(theme, dc, BP_PUSHBUTTON, state, &r, &content);
    COLORREF themed = 0;
    if (SUCCEEDED(::GetThemeColor(theme, BP_PUSHBUTTON, state, TMT_TEXTCOLOR, &themed))) textColour = themed;
    ::CloseThemeData(theme);
  } else {
    ::DrawFrameControl(dc, &r, DFC_BUTTON, DFCS_BUTTONPUSH | (pressed ? DFCS_PUSHED : 0));
    ::InflateRect(&content, -Scale(3), -Scale(3));
    if (pressed) ::OffsetRect(&content, 1, 1);
  }
  RECT text = content;
  if (const TPictures::TPair* p = pictures_->For(static_cast<int>(d.CtlID))) {
    HBITMAP picture = disabled ? p->disabled : p->normal;
    const SIZE s = BitmapSize(picture);
    const int x = content.left + Scale(1);
    const int y = (content.top + content.bottom) / 2 - s.cy / 2 + Scale(1);
    DrawPicture(dc, picture, x, y);
    text.left = x + s.cx + Scale(3);
  }
  HGDIOBJ oldFont = ::SelectObject(dc, fonts_.Interface());
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, textColour);
  DrawCentredText(dc, d.hwndItem, text);
  ::SelectObject(dc, oldFont);
  if (focused) {
    RECT f = content;
    ::InflateRect(&f, -1, -1);
    ::DrawFocusRect(dc, &f);
  }
}

// A button with only a picture that shows its frame only under the pointer
// (the "i" button, the browse buttons inside the file-name edits).
void TMainWindow::DrawFlatButton(const DRAWITEMSTRUCT& d, bool onField) {
  HDC dc = d.hDC;
  RECT r = d.rcItem;
  const bool disabled = d.itemState & ODS_DISABLED;
  const bool pressed = d.itemState & ODS_SELECTED;
  const bool hot = d.hwndItem == hotButton_ && !disabled;
  ::FillRect(dc, &r, onField ? fieldBrush_ : ::GetSysColorBrush(COLOR_BTNFACE));
  if (pressed || hot) {
    if (HTHEME theme = ::OpenThemeData(d.hwndItem, L"TOOLBAR")) {
      ::DrawThemeBackground(theme, dc, TP_BUTTON, pressed ? TS_PRESSED : TS_HOT, &r, nullptr);
      ::CloseThemeData(theme);
    } else {
      ::DrawEdge(dc, &r, pressed ? BDR_SUNKENOUTER : BDR_RAISEDINNER, BF_RECT);
    }
  }
  if (const TPictures::TPair* p = pictures_->For(static_cast<int>(d.CtlID))) {
    HBITMAP picture = disabled ? p->disabled : p->normal;
    const SIZE s = BitmapSize(picture);
    const int shift = pressed ? 1 : 0;
    DrawPicture(dc, picture, (r.left + r.right - s.cx) / 2 + shift, (r.top + r.bottom - s.cy) / 2 + shift);
  }
  if ((d.itemState & ODS_FOCUS) && !(d.itemState & ODS_NOFOCUSRECT)) {
    RECT f = r;
    ::InflateRect(&f, -1, -1);
    ::DrawFocusRect(dc, &f);
  }
}

// The connected panel: bold, centred both ways, wrapped.
void TMainWindow::DrawLinkedPanel(const DRAWITEMSTRUCT& d) {
  ::FillRect(d.hDC, &d.rcItem, ::GetSysColorBrush(COLOR_BTNFACE));
  HGDIOBJ oldFont = ::SelectObject(d.hDC, fonts_.Bold());
  ::SetBkMode(d.hDC, TRANSPARENT);
  ::SetTextColor(d.hDC, kCaptionColourRef);
  DrawCentredText(d.hDC, d.hwndItem, d.rcItem);
  ::SelectObject(d.hDC, oldFont);
}

LRESULT TMainWindow::ColourControl(UINT msg, HDC dc, HWND control) {
  const TControlSpec* c = FindControl(::GetDlgCtrlID(control));
  if (IsEdit(c) || IsList(c) || msg == WM_CTLCOLORLISTBOX) {
    // Edits (a disabled edit asks as a static does) and lists.
    ::SetTextColor(dc, ::GetSysColor(::IsWindowEnabled(control) ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
    ::SetBkColor(dc, kFieldColourRef);
    return reinterpret_cast<LRESULT>(fieldBrush_);
  }
  if (msg == WM_CTLCOLORSTATIC && IsCaption(c)) {
    ::SetTextColor(dc, kCaptionColourRef);
    ::SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
  }
  return ::DefWindowProcW(hwnd_, msg, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control));
}

// ---- Window procedures ----

LRESULT CALLBACK TMainWindow::WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  TMainWindow* self = nullptr;
  if (msg == WM_NCCREATE) {
    self = static_cast<TMainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    self->hwnd_ = hwnd;
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<TMainWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }
  if (!self) return ::DefWindowProcW(hwnd, msg, wp, lp);
  return self->HandleMessage(msg, wp, lp);
}

LRESULT TMainWindow::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  const HWND hwnd = hwnd_;  // hwnd_ is cleared by WM_NCDESTROY
  switch (msg) {
    case WM_COMMAND:
      OnCommand(LOWORD(wp), HIWORD(wp), reinterpret_cast<HWND>(lp));
      return 0;
    case WM_DRAWITEM:
      if (DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lp))) return TRUE;
      break;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORLISTBOX:
      return ColourControl(msg, reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp));
    case WM_SETCURSOR:
      if (busyCursor_) {
        ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case kRunOnWindowThread:
      (*reinterpret_cast<const std::function<void()>*>(lp))();
      return 0;
    case kWorkerEnded:
      WorkerEnded();
      return 0;
    case WM_DPICHANGED: {
      ApplyDpi(HIWORD(wp));
      // The suggested place, with the client area exactly the layout's.
      const RECT* suggested = reinterpret_cast<const RECT*>(lp);
      RECT frame{0, 0, Scale(kClientWidth), Scale(kClientHeight)};
      AdjustFrame(&frame, kWindowStyle, kWindowExStyle, dpi_);
      ::SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, frame.right - frame.left,
                     frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_CLOSE:
      if (model_.CloseRequested()) ::DestroyWindow(hwnd_);
      return 0;
    case WM_QUERYENDSESSION:
      // While a send writes, Windows is asked to wait, with the reason; the
      // window closes once the send has ended (CloseWindow).
      if (model_.SessionEndRequested()) return TRUE;
      BlockSessionEnd();
      return FALSE;
    case WM_ENDSESSION:
      if (wp) {
        // The session ends now, whatever was answered (the user chose to
        // end it anyway): the operation is let run to its end as far as
        // Windows waits, and the window goes.
        EndSessionBlock();
        if (hwnd_) ::DestroyWindow(hwnd_);
      }
      return 0;
    case WM_DESTROY:
      if (dataWindow_) dataWindow_->Destroy();
      // The port is closed by the operation itself on every path; let it
      // get there. Its calls from now on reach nothing.
      model_.Shutdown([this] { WaitForWorker(); });
      ::PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      workerTarget_ = nullptr;
      hwnd_ = nullptr;
      break;
    default:
      break;
  }
  return ::DefWindowProcW(hwnd, msg, wp, lp);
}

// A group box paints its own background: the main window clips its
// children out of what it paints, and the box is clipped by the controls
// above it.
LRESULT CALLBACK TMainWindow::GroupProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  switch (msg) {
    case WM_ENABLE:
      // Repainted with the others later, as for the buttons.
      ::InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_ERASEBKGND: {
      RECT r{};
      ::GetClientRect(hwnd, &r);
      ::FillRect(reinterpret_cast<HDC>(wp), &r, ::GetSysColorBrush(COLOR_BTNFACE));
      return TRUE;
    }
    case WM_NCDESTROY:
      ::RemoveWindowSubclass(hwnd, GroupProc, 1);
      break;
    default:
      break;
  }
  return ::DefSubclassProc(hwnd, msg, wp, lp);
}

// A caption label repaints its new state with the others (see ButtonProc).
LRESULT CALLBACK TMainWindow::CaptionProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  switch (msg) {
    case WM_ENABLE:
      ::InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_NCDESTROY:
      ::RemoveWindowSubclass(hwnd, CaptionProc, 1);
      break;
    default:
      break;
  }
  return ::DefSubclassProc(hwnd, msg, wp, lp);
}

// Owner-drawn buttons show when the pointer is over them.
LRESULT CALLBACK TMainWindow::ButtonProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR data) {
  auto* self = reinterpret_cast<TMainWindow*>(data);
  switch (msg) {
    case WM_ENABLE:
      // A button would repaint itself here and now; the window changes
      // many controls' states at once, so the painting waits for WM_PAINT
      // instead of holding the message loop while each one paints.
      ::InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_MOUSEMOVE:
      if (self->hotButton_ != hwnd) {
        if (self->hotButton_) ::InvalidateRect(self->hotButton_, nullptr, FALSE);
        self->hotButton_ = hwnd;
        TRACKMOUSEEVENT t{sizeof t, TME_LEAVE, hwnd, 0};
        ::TrackMouseEvent(&t);
        ::InvalidateRect(hwnd, nullptr, FALSE);
      }
      break;
    case WM_MOUSELEAVE:
      if (self->hotButton_ == hwnd) {
        self->hotButton_ = nullptr;
        ::InvalidateRect(hwnd, nullptr, FALSE);
      }
      break;
    case WM_NCDESTROY:
      if (self->hotButton_ == hwnd) self->hotButton_ = nullptr;
      ::RemoveWindowSubclass(hwnd, ButtonProc, 1);
      break;
    default:
      break;
  }
  return ::DefSubclassProc(hwnd, msg, wp, lp);
}

}  // namespace tarvex::win32
