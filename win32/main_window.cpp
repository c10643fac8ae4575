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

constexpr int kComboHeight = 24;
// The browse button sits inside the right end of its file-name edit.
constexpr int kBrowseWidth = 20;
constexpr int kBrowseHeight = kEditHeight - 4;

enum class TKind { Group, Caption, Combo, Button, PictureButton, InfoButton, BrowseButton, CodeEdit, FileEdit, Linked, Bar, Status };

struct TControl {
  int id;
  TKind kind;
  int x, y, w, h;  // client pixels at 96 DPI
};

// In tab order (the order of the Qt window's controls), each browse button
// just above its edit, the group boxes beneath everything.
constexpr TControl kControls[] = {
    {IDC_lblLingua, TKind::Caption, 10, 22, kLinguaWidth, 16},
    {IDC_cbLingua, TKind::Combo, 10, 40, kLinguaWidth, kComboHeight},
    {IDC_lblSerial, TKind::Caption, 165, 22, kSerialWidth, 16},
    {IDC_cbSerial, TKind::Combo, 165, 40, kSerialWidth, kComboHeight},
    {IDC_btnCheckConnection, TKind::Button, kLinkedLeft + 10, 28, kBigButtonWidth, kBigButtonHeight},
    {IDC_lblLinkedPanel, TKind::Linked, kLinkedLeft + 110, 24, kLinkedLabelWidth, 49},
    {IDC_TsSupportedPanels, TKind::InfoButton, kLinkedLeft + kLinkedWidth - 24, 0, 22, 20},
    {IDC_btnUserCode, TKind::PictureButton, 10, kFirstRow + 20, kBigButtonWidth, kBigButtonHeight},
    {IDC_lblUserCode, TKind::Caption, 110, kFirstRow + 20, 196, 16},
    {IDC_EUserCode, TKind::CodeEdit, kColumn - 10 - kCodeEditWidth, kFirstRow + 38, kCodeEditWidth, kEditHeight},
    {IDC_actBrowseSave, TKind::BrowseButton, (kColumn - kFileEditWidth) / 2 + kFileEditWidth - 2 - kBrowseWidth,
     kLeftSecondRow + 21 + 2, kBrowseWidth, kBrowseHeight},
    {IDC_eSaveToFile, TKind::FileEdit, (kColumn - kFileEditWidth) / 2, kLeftSecondRow + 21, kFileEditWidth, kEditHeight},
    {IDC_btnSaveToFile, TKind::PictureButton, (kColumn - kFileButtonWidth) / 2, kLeftSecondRow + 48, kFileButtonWidth,
     kBigButtonHeight},
    {IDC_actBrowseLoad, TKind::BrowseButton,
     kRightColumn + (kColumn - kFileEditWidth) / 2 + kFileEditWidth - 2 - kBrowseWidth, kFirstRow + 21 + 2, kBrowseWidth,
     kBrowseHeight},
    {IDC_eLoadFromFile, TKind::FileEdit, kRightColumn + (kColumn - kFileEditWidth) / 2, kFirstRow + 21, kFileEditWidth,
     kEditHeight},
    {IDC_btnLoadFromFile, TKind::PictureButton, kRightColumn + (kColumn - kFileButtonWidth) / 2, kFirstRow + 48,
     kFileButtonWidth, kBigButtonHeight},
    {IDC_btnSendCodes, TKind::PictureButton, kRightColumn + 10, kRightSecondRow + 20, kBigButtonWidth, kBigButtonHeight},
    {IDC_lblUserCodeSend, TKind::Caption, kRightColumn + 110, kRightSecondRow + 20, 196, 16},
    {IDC_eUserCodeSend, TKind::CodeEdit, kRightColumn + kColumn - 10 - kCodeEditWidth, kRightSecondRow + 38,
     kCodeEditWidth, kEditHeight},
    {IDC_pbProgress, TKind::Bar, 4, kStatusTop + 4, kProgressWidth, kStatusBand - 8},
    {IDC_lblProgress, TKind::Status, 4 + kProgressWidth + 8, kStatusTop,
     kClientWidth - (4 + kProgressWidth + 8) - 4, kStatusBand},
    {IDC_gbGeneral, TKind::Group, 0, 0, kGeneralWidth, kTopBand},
    {IDC_gbLinkedPanel, TKind::Group, kLinkedLeft, 0, kLinkedWidth, kTopBand},
    {IDC_gbUserCode, TKind::Group, 0, kFirstRow, kColumn, kCodeGroupHeight},
    {IDC_gbAction, TKind::Group, 0, kLeftSecondRow, kColumn, kFileGroupHeight},
    {IDC_gbLoadFromFile, TKind::Group, kRightColumn, kFirstRow, kColumn, kFileGroupHeight},
    {IDC_gbSendToPanel, TKind::Group, kRightColumn, kRightSecondRow, kColumn, kCodeGroupHeight},
};

const TControl* FindControl(int id) {
  for (const TControl& c : kControls)
    if (c.id == id) return &c;
  return nullptr;
}

bool IsEdit(int id) {
  return id == IDC_EUserCode || id == IDC_eUserCodeSend || id == IDC_eSaveToFile || id == IDC_eLoadFromFile;
}

bool IsCaption(int id) {
  return id == IDC_lblLingua || id == IDC_lblSerial || id == IDC_lblUserCode || id == IDC_lblUserCodeSend ||
         id == IDC_lblProgress;
}

// A group box's caption shows '&' as a mnemonic unless doubled.
std::wstring LiteralCaption(const std::string& utf8) {
  std::wstring out;
  for (wchar_t c : Wide(utf8)) {
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
  hwnd_ = ::CreateWindowExW(kWindowExStyle, TARVEX_MAIN_WINDOW_CLASS, Wide(model_.State().title).c_str(), kWindowStyle,
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
  HWND above = HWND_TOP;
  for (const TControl& c : kControls) {
    const wchar_t* cls = L"BUTTON";
    DWORD style = WS_CHILD | WS_VISIBLE;
    DWORD exStyle = 0;
    switch (c.kind) {
      case TKind::Group:
        // Clipped by the controls above it, so that it never paints over
        // them.
        style |= BS_GROUPBOX | WS_CLIPSIBLINGS;
        break;
      case TKind::Caption:
        cls = L"STATIC";
        style |= SS_NOPREFIX | (c.id == IDC_lblUserCode || c.id == IDC_lblUserCodeSend ? SS_RIGHT : SS_LEFT);
        break;
      case TKind::Status:
        cls = L"STATIC";
        style |= SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE | SS_ENDELLIPSIS;
        break;
      case TKind::Linked:
        cls = L"STATIC";
        style |= SS_OWNERDRAW | SS_NOPREFIX;
        break;
      case TKind::Combo:
        cls = L"COMBOBOX";
        style |= CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
        break;
      case TKind::Button:
      case TKind::PictureButton:
      case TKind::InfoButton:
        style |= BS_OWNERDRAW | WS_TABSTOP;
        break;
      case TKind::BrowseButton:
        style |= BS_OWNERDRAW;
        break;
      case TKind::CodeEdit:
        cls = L"EDIT";
        style |= ES_PASSWORD | ES_AUTOHSCROLL | WS_TABSTOP;
        exStyle = WS_EX_CLIENTEDGE;
        break;
      case TKind::FileEdit:
        cls = L"EDIT";
        // Clipped by its browse button, which stands above it.
        style |= ES_AUTOHSCROLL | WS_TABSTOP | WS_CLIPSIBLINGS;
        exStyle = WS_EX_CLIENTEDGE;
        break;
      case TKind::Bar:
        cls = PROGRESS_CLASSW;
        break;
    }
    // The combo boxes' height includes their drop-down list.
    const int height = c.kind == TKind::Combo ? c.h + 200 : c.h;
    HWND h = ::CreateWindowExW(exStyle, cls, L"", style, c.x, c.y, c.w, height, hwnd_,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance, nullptr);
    // The stacking order is the table's: the tab order, and each group box
    // beneath the controls inside it.
    ::SetWindowPos(h, above, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    above = h;
    switch (c.kind) {
      case TKind::CodeEdit:
        MakeCodeEdit(h);
        break;
      case TKind::FileEdit:
        ::SendMessageW(h, EM_SETLIMITTEXT, 255, 0);
        break;
      case TKind::Button:
      case TKind::PictureButton:
      case TKind::InfoButton:
      case TKind::BrowseButton:
        ::SetWindowSubclass(h, ButtonProc, 1, reinterpret_cast<DWORD_PTR>(this));
        break;
      case TKind::Group:
        ::SetWindowSubclass(h, GroupProc, 1, 0);
        break;
      case TKind::Caption:
        ::SetWindowSubclass(h, CaptionProc, 1, 0);
        break;
      default:
        break;
    }
  }
  for (const char* item : kLanguageItems)
    ::SendMessageW(Item(IDC_cbLingua), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
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
  fonts_.Make(dpi_);
  pictures_ = std::make_unique<TPictures>(dpi_);
  Layout();
}

void TMainWindow::Layout() {
  for (const TControl& c : kControls) {
    HWND h = Item(c.id);
    HFONT font = c.kind == TKind::Linked ? fonts_.Bold() : c.kind == TKind::Status ? fonts_.Status() : fonts_.Interface();
    ::SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    const int height = c.kind == TKind::Combo ? Scale(c.h + 200) : Scale(c.h);
    ::SetWindowPos(h, nullptr, Scale(c.x), Scale(c.y), Scale(c.w), height, SWP_NOZORDER | SWP_NOACTIVATE);
    if (c.kind == TKind::Combo) {
      // The closed list as tall as the Qt window's: its selection field
      // follows the item height, by a margin that differs between systems,
      // so the height is corrected until it is right.
      // (Wine reports the height it was given plus 2, so the height asked
      // for is kept here.)
      LRESULT item = ::SendMessageW(h, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
      for (int attempt = 0; attempt < 3 && item > 0; ++attempt) {
        RECT r{};
        ::GetWindowRect(h, &r);
        const int field = r.bottom - r.top;
        if (field == Scale(c.h)) break;
        item += Scale(c.h) - field;
        ::SendMessageW(h, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), item);
      }
    }
    if (c.kind == TKind::FileEdit)
      ::SendMessageW(h, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(Scale(2), Scale(kBrowseWidth + 2)));
  }
  // Device paths and the demo's descriptions are longer than the list.
  ::SendMessageW(Item(IDC_cbSerial), CB_SETDROPPEDWIDTH, Scale(260), 0);
  if (toolTips_) {
    const TControl* g = FindControl(IDC_gbSendToPanel);
    TOOLINFOW ti{};
    ti.cbSize = sizeof ti;
    ti.hwnd = hwnd_;
    ti.uId = IDC_gbSendToPanel;
    ti.rect = RECT{Scale(g->x), Scale(g->y), Scale(g->x + g->w), Scale(g->y + g->h)};
    ::SendMessageW(toolTips_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&ti));
    ::SendMessageW(toolTips_, TTM_SETMAXTIPWIDTH, 0, Scale(600));
    ::SendMessageW(toolTips_, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_.Interface()), FALSE);
  }
  ::InvalidateRect(hwnd_, nullptr, TRUE);
}

int TMainWindow::Run() {
  MSG msg{};
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
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
    const TCaptions& c = state.captions;
    const std::pair<int, const std::string*> texts[] = {
        {IDC_lblLingua, &c.LinguaLabel},          {IDC_lblSerial, &c.SerialLabel},
        {IDC_btnCheckConnection, &c.CheckConnection}, {IDC_btnUserCode, &c.UserCodeButton},
        {IDC_lblUserCode, &c.UserCodeLabel},      {IDC_btnSaveToFile, &c.SaveButton},
        {IDC_btnLoadFromFile, &c.LoadButton},     {IDC_btnSendCodes, &c.SendButton},
        {IDC_lblUserCodeSend, &c.UserCodeLabel},
    };
    for (const auto& [id, text] : texts) ::SetWindowTextW(Item(id), Wide(*text).c_str());
    const std::pair<int, const std::string*> groups[] = {
        {IDC_gbGeneral, &c.General},   {IDC_gbLinkedPanel, &c.LinkedPanel},     {IDC_gbUserCode, &c.UserCodeGroup},
        {IDC_gbAction, &c.SaveGroup},  {IDC_gbLoadFromFile, &c.LoadGroup}, {IDC_gbSendToPanel, &c.SendGroup},
    };
    for (const auto& [id, text] : groups) ::SetWindowTextW(Item(id), LiteralCaption(*text).c_str());
    SetToolTip(hwnd_, IDC_gbSendToPanel, state.sendToolTip);
    SetToolTip(hwnd_, reinterpret_cast<UINT_PTR>(Item(IDC_btnSendCodes)), state.sendToolTip);
    SetToolTip(hwnd_, reinterpret_cast<UINT_PTR>(Item(IDC_TsSupportedPanels)), state.supportedPanelsToolTip);
  }
  if (parts & PartPorts) {
    HWND list = Item(IDC_cbSerial);
    ::SendMessageW(list, CB_RESETCONTENT, 0, 0);
    for (const TPortEntry& e : state.ports)
      ::SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(e.Label).c_str()));
    ::SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(state.selectedPort), 0);
  }
  if (parts & PartLinkedPanel) {
    ::SetWindowTextW(Item(IDC_lblLinkedPanel), Wide(state.linkedPanel).c_str());
    ::InvalidateRect(Item(IDC_lblLinkedPanel), nullptr, TRUE);
  }
  if (parts & PartStatus) ::SetWindowTextW(Item(IDC_lblProgress), Wide(state.status).c_str());
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
}

void TMainWindow::PaintEnables(const TControlEnables& e) {
  const HWND focus = ::GetFocus();
  // Only the controls whose state changes are touched: each change costs a
  // repaint, and the model shows the states several times per command.
  auto enable = [this](int id, bool on) {
    HWND h = Item(id);
    if ((::IsWindowEnabled(h) != FALSE) != on) ::EnableWindow(h, on);
  };
  // Controls inside a group go off before their group, and come on after it.
  auto group = [&enable](int g, bool groupOn, std::initializer_list<std::pair<int, bool>> inside) {
    if (groupOn) enable(g, true);
    for (auto [id, on] : inside) enable(id, on);
    if (!groupOn) enable(g, false);
  };
  group(IDC_gbUserCode, e.gbUserCode,
        {{IDC_lblUserCode, e.EUserCode}, {IDC_EUserCode, e.EUserCode}, {IDC_btnUserCode, e.btnUserCode}});
  group(IDC_gbAction, e.gbAction,
        {{IDC_eSaveToFile, e.eSaveToFile}, {IDC_actBrowseSave, e.eSaveToFile}, {IDC_btnSaveToFile, e.btnSaveToFile}});
  group(IDC_gbLoadFromFile, e.gbLoadFromFile,
        {{IDC_eLoadFromFile, e.eLoadFromFile},
         {IDC_actBrowseLoad, e.eLoadFromFile},
         {IDC_btnLoadFromFile, e.btnLoadFromFile}});
  group(IDC_gbSendToPanel, e.gbSendToPanel,
        {{IDC_lblUserCodeSend, e.eUserCodeSend}, {IDC_eUserCodeSend, e.eUserCodeSend}, {IDC_btnSendCodes, e.btnSendCodes}});
  enable(IDC_lblLingua, e.cbLingua);
  enable(IDC_cbLingua, e.cbLingua);
  enable(IDC_lblSerial, e.cbSerial);
  enable(IDC_cbSerial, e.cbSerial);
  enable(IDC_btnCheckConnection, e.btnCheckConnection);
  // The keyboard focus leaves a control that went off, as a dialog's does.
  if (focus && ::IsChild(hwnd_, focus) && !::IsWindowEnabled(focus)) {
    if (HWND next = ::GetNextDlgTabItem(hwnd_, focus, FALSE)) ::SetFocus(next);
  }
}

void TMainWindow::PaintBar(const TProgressBar& bar) {
  HWND pb = Item(IDC_pbProgress);
  // A phase announced with no steps shows an empty bar.
  ::SendMessageW(pb, PBM_SETRANGE32, 0, std::max(bar.maximum, 1));
  ::SendMessageW(pb, PBM_SETPOS, static_cast<WPARAM>(std::max(bar.position, 0)), 0);
  ::UpdateWindow(pb);
}

void TMainWindow::SetToolTip(HWND tool, UINT_PTR id, const std::string& text) {
  if (!toolTips_) return;
  std::wstring wide = Wide(text);
  TOOLINFOW ti{};
  ti.cbSize = sizeof ti;
  ti.hwnd = tool;
  ti.uId = id;
  ti.lpszText = wide.data();
  ::SendMessageW(toolTips_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&ti));
}

// ---- The rest of the view ----

void TMainWindow::ShowMessageBox(TBoxKind kind, const std::string& text) {
  UINT icon = MB_ICONINFORMATION;
  if (kind == TBoxKind::Warning) icon = MB_ICONWARNING;
  if (kind == TBoxKind::Error) icon = MB_ICONERROR;
  ::MessageBoxW(hwnd_, Wide(text).c_str(), Wide(BoxTitle(kind)).c_str(), MB_OK | icon);
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
  RunSupportedPanels(hwnd_, SupportedPanelsContent(languageIndex), fonts_, dpi_, &busyCursor_);
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
  if (hwnd_) ::DestroyWindow(hwnd_);
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
    const TControl* c = FindControl(focused);
    if (c && (c->kind == TKind::Button || c->kind == TKind::PictureButton || c->kind == TKind::InfoButton))
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
  HWND edit = Item(IDC_eSaveToFile);
  std::vector<wchar_t> name = NameBuffer(edit);
  // Key-code files only; the save replaces a file of that name without a
  // question, as the save button does.
  std::wstring filter = Wide(kSaveFilterName);
  filter.push_back(L'\0');
  filter += Wide(kSaveFilterPattern);
  filter.push_back(L'\0');
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = filter.c_str();
  ofn.lpstrFile = name.data();
  ofn.nMaxFile = static_cast<DWORD>(name.size());
  ofn.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_ENABLESIZING;
  if (RunFileDialog(ofn, true)) ::SetWindowTextW(edit, name.data());
}

void TMainWindow::BrowseLoadFile() {
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
  const int id = ::GetDlgCtrlID(control);
  if (IsEdit(id) || id == IDC_cbLingua || id == IDC_cbSerial || msg == WM_CTLCOLORLISTBOX) {
    // Edits (a disabled edit asks as a static does) and lists.
    ::SetTextColor(dc, ::GetSysColor(::IsWindowEnabled(control) ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
    ::SetBkColor(dc, kFieldColourRef);
    return reinterpret_cast<LRESULT>(fieldBrush_);
  }
  if (msg == WM_CTLCOLORSTATIC && IsCaption(id)) {
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
    case WM_DESTROY:
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
