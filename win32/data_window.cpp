#include "win32/data_window.h"

#include <commctrl.h>

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "app/data_window.h"
#include "app/window_layout.h"
#include "win32/code_edit.h"
#include "win32/control_ids.h"
#include "win32/fonts.h"
#include "win32/text.h"

namespace tarvex::win32 {

namespace {

using namespace data_window_layout;

const COLORREF kCaptionColour = RGB(layout::kCaptionColour.r, layout::kCaptionColour.g, layout::kCaptionColour.b);
const COLORREF kFieldColour = RGB(layout::kFieldColour.r, layout::kFieldColour.g, layout::kFieldColour.b);
// A refused edit's reason, and the rows of two users with the same code.
const COLORREF kWarningColour = RGB(0xB0, 0x20, 0x20);
const COLORREF kWarningRowColour = RGB(0xFF, 0xE4, 0xC8);

// ---- Places at 96 DPI ----
// A small image: the users' table over the keys' table, each with its form
// on the right; the window's buttons along the bottom.
constexpr int kTableWidth = 434;
constexpr int kFormLeft = kMargin + kTableWidth + 10;
constexpr int kFormWidth = kClientWidth - kFormLeft - kMargin;
constexpr int kTickWidth = 230;
constexpr int kUsersTop = 28;
constexpr int kUsersHeight = 215;
constexpr int kKeysHeadingTop = kUsersTop + kUsersHeight + 10;
constexpr int kKeysTop = kKeysHeadingTop + 20;
constexpr int kButtonHeight = 26;
constexpr int kButtonsTop = kClientHeight - kMargin - kButtonHeight;
constexpr int kKeysHeight = kButtonsTop - 8 - kKeysTop;
constexpr int kButtonWidth = 96;
constexpr int kApplyWidth = 72;
// A large image: its header, then the regions across the whole width.
constexpr int kHeaderHeight = 64;
constexpr int kRegionsHeadingTop = kMargin + kHeaderHeight + 10;
constexpr int kRegionsTop = kRegionsHeadingTop + 20;

struct TPlace {
  int id;
  RECT r;  // left, top, width, height
};

constexpr TPlace kSmallPlaces[] = {
    {IDC_dwUsersHeading, {kMargin, 10, kTableWidth - kTickWidth, 16}},
    {IDC_dwShowCodes, {kMargin + kTableWidth - kTickWidth, 6, kTickWidth, 20}},
    {IDC_dwUsers, {kMargin, kUsersTop, kTableWidth, kUsersHeight}},
    {IDC_dwUserNameLabel, {kFormLeft, kUsersTop, kFormWidth, 16}},
    {IDC_dwUserName, {kFormLeft, kUsersTop + 18, kFormWidth, 23}},
    {IDC_dwUserCodeLabel, {kFormLeft, kUsersTop + 48, kFormWidth, 16}},
    {IDC_dwUserCode, {kFormLeft, kUsersTop + 66, layout::kCodeEditWidth, 23}},
    {IDC_dwUserApply, {kFormLeft + layout::kCodeEditWidth + 6, kUsersTop + 65, kFormWidth - layout::kCodeEditWidth - 6, 25}},
    {IDC_dwClearUser, {kFormLeft, kUsersTop + 96, kFormWidth, 25}},
    {IDC_dwUserRefusal, {kFormLeft, kUsersTop + 127, kFormWidth, 62}},
    {IDC_dwWarning, {kFormLeft, kUsersTop + 189, kFormWidth, kUsersHeight - 189}},
    {IDC_dwKeysHeading, {kMargin, kKeysHeadingTop + 4, kTableWidth - kTickWidth, 16}},
    {IDC_dwShowUnusedKeys, {kMargin + kTableWidth - kTickWidth, kKeysHeadingTop, kTickWidth, 20}},
    {IDC_dwKeys, {kMargin, kKeysTop, kTableWidth, kKeysHeight}},
    {IDC_dwKeyNameLabel, {kFormLeft, kKeysTop, kFormWidth, 16}},
    {IDC_dwKeyName, {kFormLeft, kKeysTop + 18, kFormWidth, 23}},
    {IDC_dwKeyApply, {kFormLeft, kKeysTop + 47, kApplyWidth, 25}},
    {IDC_dwKeyRefusal, {kFormLeft, kKeysTop + 78, kFormWidth, kKeysHeight - 78}},
};

constexpr TPlace kLargePlaces[] = {
    {IDC_dwHeader, {kMargin, kMargin, kClientWidth - 2 * kMargin, kHeaderHeight}},
    {IDC_dwKeysHeading, {kMargin, kRegionsHeadingTop + 2, kClientWidth - 2 * kMargin, 16}},
    {IDC_dwKeys, {kMargin, kRegionsTop, kClientWidth - 2 * kMargin, kButtonsTop - 8 - kRegionsTop}},
};

constexpr TPlace kButtonPlaces[] = {
    {IDC_dwUndo, {kMargin, kButtonsTop, kButtonWidth, kButtonHeight}},
    {IDC_dwRedo, {kMargin + kButtonWidth + 6, kButtonsTop, kButtonWidth, kButtonHeight}},
    {IDC_dwSave, {kClientWidth - kMargin - 2 * kButtonWidth - 6, kButtonsTop, kButtonWidth, kButtonHeight}},
    {IDC_dwClose, {kClientWidth - kMargin - kButtonWidth, kButtonsTop, kButtonWidth, kButtonHeight}},
};

// The controls each layout shows (the buttons always).
constexpr int kSmallOnly[] = {IDC_dwUsersHeading, IDC_dwShowCodes,   IDC_dwUsers,        IDC_dwUserNameLabel,
                              IDC_dwUserName,     IDC_dwUserCodeLabel, IDC_dwUserCode,   IDC_dwUserApply,
                              IDC_dwClearUser,    IDC_dwUserRefusal, IDC_dwWarning,      IDC_dwShowUnusedKeys,
                              IDC_dwKeyNameLabel, IDC_dwKeyName,     IDC_dwKeyApply,     IDC_dwKeyRefusal};
constexpr int kLargeOnly[] = {IDC_dwHeader};

constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT;

void RegisterClassOnce(HINSTANCE instance, WNDPROC proc) {
  WNDCLASSEXW wc{};
  if (::GetClassInfoExW(instance, TARVEX_DATA_WINDOW_CLASS, &wc)) return;
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = proc;
  wc.hInstance = instance;
  wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = TARVEX_DATA_WINDOW_CLASS;
  wc.hIcon = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDI_TARVEX), IMAGE_ICON,
                                             ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON), 0));
  wc.hIconSm = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDI_TARVEX), IMAGE_ICON,
                                               ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), 0));
  ::RegisterClassExW(&wc);
}

int SelectedItem(HWND list) {
  return static_cast<int>(::SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

void SelectItem(HWND list, int item) {
  LVITEMW it{};
  it.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  it.state = LVIS_SELECTED | LVIS_FOCUSED;
  ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&it));
  ::SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(item), FALSE);
}

// The user, key or region number a list item stands for; -1 for none.
int ItemNumber(HWND list, int item) {
  if (item < 0) return -1;
  LVITEMW it{};
  it.mask = LVIF_PARAM;
  it.iItem = item;
  if (!::SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&it))) return -1;
  return static_cast<int>(it.lParam);
}

}  // namespace

struct TDataWindow::TImpl {
  TDataWindow& self;
  TDataWindowModel& model;
  TDataWindowHooks hooks;
  int dpi = 96;
  TFonts fonts;
  HBRUSH field = nullptr;
  HACCEL accelerators = nullptr;
  HWND toolTips = nullptr;
  TDataLayout shownLayout = TDataLayout::None;
  // The rows the forms were filled from: a typed text stays until another
  // row is chosen or the image changes.
  int formUser = -1;
  int formKey = -1;
  uint64_t formRevision = 0;
  bool codesShownInForm = false;
  bool painting = false;

  TImpl(TDataWindow& s, TDataWindowModel& m, TDataWindowHooks h) : self(s), model(m), hooks(std::move(h)) {}
  ~TImpl() {
    if (field) ::DeleteObject(field);
    if (accelerators) ::DestroyAcceleratorTable(accelerators);
  }

  HWND Hwnd() const { return self.hwnd_; }
  HWND Item(int id) const { return ::GetDlgItem(self.hwnd_, id); }
  int Scale(int v) const { return ::MulDiv(v, dpi, 96); }
  TDataTable ListTable(int id) const {
    return id == IDC_dwUsers ? TDataTable::Users : model.Layout() == TDataLayout::Large ? TDataTable::Regions : TDataTable::Keys;
  }
  // The shown row of the list's selected item; npos for none.
  size_t SelectedRow(int listId) const {
    const int number = ItemNumber(Item(listId), SelectedItem(Item(listId)));
    return number < 0 ? TDataWindowModel::npos : model.RowOf(ListTable(listId), static_cast<size_t>(number));
  }

  void MakeControls();
  void MakeToolTips();
  void Layout();
  void Paint();
  void FillList(int listId);
  void FillForms();
  void PaintStates();
  void OnCommand(int id, int code);
  LRESULT OnNotify(NMHDR* n);
  LRESULT CustomDraw(NMLVCUSTOMDRAW* d);
  void ApplyUser();
  void ApplyKey();
  void Refused(int fieldId);

  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
};

TDataWindow::TDataWindow(TDataWindowModel& model, TDataWindowHooks hooks)
    : impl_(std::make_unique<TImpl>(*this, model, std::move(hooks))) {}

TDataWindow::~TDataWindow() { Destroy(); }

void TDataWindow::Destroy() {
  if (hwnd_) ::DestroyWindow(hwnd_);
  hwnd_ = nullptr;
}

bool TDataWindow::Open(HWND owner, int dpi) {
  TImpl& m = *impl_;
  if (hwnd_) {
    if (::IsIconic(hwnd_)) ::ShowWindow(hwnd_, SW_RESTORE);
    ::SetForegroundWindow(hwnd_);
    m.Paint();
    return true;
  }
  m.dpi = dpi;
  m.fonts.Make(dpi);
  if (!m.field) m.field = ::CreateSolidBrush(kFieldColour);
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  RegisterClassOnce(instance, TImpl::Proc);

  RECT frame{0, 0, m.Scale(kClientWidth), m.Scale(kClientHeight)};
  ::AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  // Centred over the main window, kept on its screen's work area.
  RECT ownerRect{};
  ::GetWindowRect(owner, &ownerRect);
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  ::GetMonitorInfoW(::MonitorFromWindow(owner, MONITOR_DEFAULTTOPRIMARY), &mi);
  int x = (ownerRect.left + ownerRect.right - width) / 2, y = (ownerRect.top + ownerRect.bottom - height) / 2;
  x = std::max<int>(mi.rcWork.left, std::min<int>(x, mi.rcWork.right - width));
  y = std::max<int>(mi.rcWork.top, std::min<int>(y, mi.rcWork.bottom - height));

  if (!::CreateWindowExW(kExStyle, TARVEX_DATA_WINDOW_CLASS, L"", kStyle, x, y, width, height, owner, nullptr,
                         instance, &m))
    return false;
  m.MakeControls();
  m.formUser = m.formKey = -1;
  m.shownLayout = TDataLayout::None;
  m.Paint();

  ACCEL keys[] = {
      {FVIRTKEY | FCONTROL, static_cast<WORD>(kUndoKey), IDC_dwUndo},
      {FVIRTKEY | FCONTROL, static_cast<WORD>(kRedoKey), IDC_dwRedo},
  };
  if (!m.accelerators) m.accelerators = ::CreateAcceleratorTableW(keys, static_cast<int>(std::size(keys)));

  ::ShowWindow(hwnd_, SW_SHOW);
  ::UpdateWindow(hwnd_);
  ::SetFocus(m.Item(m.model.Layout() == TDataLayout::Large ? IDC_dwKeys : IDC_dwUsers));
  return true;
}

void TDataWindow::Refresh() {
  if (hwnd_) impl_->Paint();
}

bool TDataWindow::PreTranslate(MSG* msg) {
  if (!hwnd_ || !(msg->hwnd == hwnd_ || ::IsChild(hwnd_, msg->hwnd))) return false;
  if (impl_->accelerators && ::TranslateAcceleratorW(hwnd_, impl_->accelerators, msg)) return true;
  return ::IsDialogMessageW(hwnd_, msg) != FALSE;
}

// ---- Making and placing the controls ----

void TDataWindow::TImpl::MakeControls() {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  auto make = [&](int id, const wchar_t* cls, DWORD style, DWORD exStyle = 0) {
    HWND h = ::CreateWindowExW(exStyle, cls, L"", WS_CHILD | style, 0, 0, 10, 10, Hwnd(),
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    ::SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(fonts.Interface()), FALSE);
    return h;
  };
  const DWORD listStyle = WS_TABSTOP | WS_BORDER | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS;
  const DWORD listExStyle = LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER;
  // In tab order: the large image's header, the users' table and its form,
  // the keys' (or regions') table and its form, the window's buttons.
  make(IDC_dwHeader, L"EDIT", WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, WS_EX_CLIENTEDGE);
  make(IDC_dwUsersHeading, L"STATIC", SS_LEFT | SS_NOPREFIX);
  make(IDC_dwShowCodes, L"BUTTON", WS_TABSTOP | BS_AUTOCHECKBOX);
  HWND users = make(IDC_dwUsers, WC_LISTVIEWW, listStyle);
  ::SendMessageW(users, LVM_SETEXTENDEDLISTVIEWSTYLE, listExStyle, listExStyle);
  make(IDC_dwUserNameLabel, L"STATIC", SS_LEFT | SS_NOPREFIX);
  make(IDC_dwUserName, L"EDIT", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE);
  make(IDC_dwUserCodeLabel, L"STATIC", SS_LEFT | SS_NOPREFIX);
  MakeCodeEdit(make(IDC_dwUserCode, L"EDIT", WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE));
  make(IDC_dwUserApply, L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON);
  make(IDC_dwClearUser, L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON);
  make(IDC_dwUserRefusal, L"STATIC", SS_LEFT | SS_NOPREFIX);
  make(IDC_dwWarning, L"STATIC", SS_LEFT | SS_NOPREFIX);
  make(IDC_dwKeysHeading, L"STATIC", SS_LEFT | SS_NOPREFIX);
  make(IDC_dwShowUnusedKeys, L"BUTTON", WS_TABSTOP | BS_AUTOCHECKBOX);
  HWND keys = make(IDC_dwKeys, WC_LISTVIEWW, listStyle);
  ::SendMessageW(keys, LVM_SETEXTENDEDLISTVIEWSTYLE, listExStyle, listExStyle);
  make(IDC_dwKeyNameLabel, L"STATIC", SS_LEFT | SS_NOPREFIX);
  make(IDC_dwKeyName, L"EDIT", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE);
  make(IDC_dwKeyApply, L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON);
  make(IDC_dwKeyRefusal, L"STATIC", SS_LEFT | SS_NOPREFIX);
  for (int id : {IDC_dwUndo, IDC_dwRedo, IDC_dwSave, IDC_dwClose}) make(id, L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON);
  // Names longer than the panel holds are taken and refused with their
  // reason, not cut by the field.
  ::SendMessageW(Item(IDC_dwUserName), EM_SETLIMITTEXT, 64, 0);
  ::SendMessageW(Item(IDC_dwKeyName), EM_SETLIMITTEXT, 64, 0);
  MakeToolTips();
}

void TDataWindow::TImpl::MakeToolTips() {
  toolTips = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, Hwnd(), nullptr,
                               ::GetModuleHandleW(nullptr), nullptr);
  for (int id : {IDC_dwUndo, IDC_dwRedo}) {
    TOOLINFOW ti{};
    ti.cbSize = sizeof ti;
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = Hwnd();
    ti.uId = reinterpret_cast<UINT_PTR>(Item(id));
    ti.lpszText = const_cast<wchar_t*>(L"");
    ::SendMessageW(toolTips, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
  }
}

void TDataWindow::TImpl::Layout() {
  const bool large = model.Layout() == TDataLayout::Large;
  auto place = [this](const TPlace& p) {
    HWND h = Item(p.id);
    const bool bold = p.id == IDC_dwUsersHeading || p.id == IDC_dwKeysHeading;
    ::SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(bold ? fonts.Bold() : fonts.Interface()), FALSE);
    ::SetWindowPos(h, nullptr, Scale(p.r.left), Scale(p.r.top), Scale(p.r.right), Scale(p.r.bottom),
                   SWP_NOZORDER | SWP_NOACTIVATE);
    ::ShowWindow(h, SW_SHOWNA);
  };
  for (int id : kSmallOnly) ::ShowWindow(Item(id), large ? SW_HIDE : SW_SHOWNA);
  for (int id : kLargeOnly) ::ShowWindow(Item(id), large ? SW_SHOWNA : SW_HIDE);
  if (large)
    for (const TPlace& p : kLargePlaces) place(p);
  else
    for (const TPlace& p : kSmallPlaces) place(p);
  for (const TPlace& p : kButtonPlaces) place(p);
  if (toolTips) ::SendMessageW(toolTips, WM_SETFONT, reinterpret_cast<WPARAM>(fonts.Interface()), FALSE);
  ::InvalidateRect(Hwnd(), nullptr, TRUE);
}

// ---- Painting what the model says ----

void TDataWindow::TImpl::Paint() {
  if (painting) return;
  painting = true;
  if (model.Layout() != shownLayout) {
    shownLayout = model.Layout();
    // A new layout shows its own rows and columns.
    for (int id : {IDC_dwUsers, IDC_dwKeys}) {
      HWND list = Item(id);
      ::SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
      while (::SendMessageW(list, LVM_DELETECOLUMN, 0, 0)) {
      }
    }
    Layout();
  }
  const TDataTexts& t = model.Texts();
  SetTextIfChanged(Hwnd(), model.Title());
  const bool large = model.Layout() == TDataLayout::Large;
  SetTextIfChanged(Item(IDC_dwUsersHeading), model.TableHeading(TDataTable::Users));
  SetTextIfChanged(Item(IDC_dwKeysHeading), model.TableHeading(large ? TDataTable::Regions : TDataTable::Keys));
  SetTextIfChanged(Item(IDC_dwShowCodes), t.ShowCodes);
  SetTextIfChanged(Item(IDC_dwShowUnusedKeys), t.ShowUnusedKeys);
  SetTextIfChanged(Item(IDC_dwUserNameLabel), t.NameLabel);
  SetTextIfChanged(Item(IDC_dwUserCodeLabel), t.CodeLabel);
  SetTextIfChanged(Item(IDC_dwUserApply), t.ApplyButton);
  SetTextIfChanged(Item(IDC_dwClearUser), t.ClearUserButton);
  SetTextIfChanged(Item(IDC_dwKeyNameLabel), t.NameLabel);
  SetTextIfChanged(Item(IDC_dwKeyApply), t.ApplyButton);
  SetTextIfChanged(Item(IDC_dwUndo), t.UndoButton);
  SetTextIfChanged(Item(IDC_dwRedo), t.RedoButton);
  SetTextIfChanged(Item(IDC_dwSave), t.SaveButton);
  SetTextIfChanged(Item(IDC_dwClose), t.CloseButton);
  ::CheckDlgButton(Hwnd(), IDC_dwShowCodes, model.CodesShown() ? BST_CHECKED : BST_UNCHECKED);
  ::CheckDlgButton(Hwnd(), IDC_dwShowUnusedKeys, model.UnusedKeysShown() ? BST_CHECKED : BST_UNCHECKED);
  if (toolTips) {
    const std::pair<int, std::string> tips[] = {{IDC_dwUndo, model.UndoToolTip()}, {IDC_dwRedo, model.RedoToolTip()}};
    for (const auto& [id, text] : tips) {
      std::wstring wide = WideFromUtf8(text);
      TOOLINFOW ti{};
      ti.cbSize = sizeof ti;
      ti.hwnd = Hwnd();
      ti.uId = reinterpret_cast<UINT_PTR>(Item(id));
      ti.lpszText = wide.data();
      ::SendMessageW(toolTips, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&ti));
    }
  }
  if (large) {
    std::string header;
    for (const THeaderField& f : model.HeaderFields())
      header += (header.empty() ? "" : "\r\n") + f.label + ": " + f.value;
    SetTextIfChanged(Item(IDC_dwHeader), header);
  } else {
    FillList(IDC_dwUsers);
  }
  FillList(IDC_dwKeys);
  FillForms();
  // The refused edit's reason, beside the form of its table.
  const bool keysRefused = model.RefusalTable() == TDataTable::Keys;
  SetTextIfChanged(Item(IDC_dwUserRefusal), keysRefused ? std::string() : model.Refusal());
  SetTextIfChanged(Item(IDC_dwKeyRefusal), keysRefused ? model.Refusal() : std::string());
  const size_t user = SelectedRow(IDC_dwUsers);
  SetTextIfChanged(Item(IDC_dwWarning),
                   user == TDataWindowModel::npos ? std::string() : model.RowWarningText(TDataTable::Users, user));
  PaintStates();
  painting = false;
}

// Puts the table's rows into its list, keeping the selected row where it is
// still shown (the first row otherwise).
void TDataWindow::TImpl::FillList(int listId) {
  HWND list = Item(listId);
  const TDataTable table = ListTable(listId);
  const int selected = ItemNumber(list, SelectedItem(list));
  // The columns.
  HWND header = reinterpret_cast<HWND>(::SendMessageW(list, LVM_GETHEADER, 0, 0));
  int have = header ? static_cast<int>(::SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
  const size_t columns = model.ColumnCount(table);
  while (have > static_cast<int>(columns)) ::SendMessageW(list, LVM_DELETECOLUMN, static_cast<WPARAM>(--have), 0);
  for (size_t c = 0; c < columns; ++c) {
    std::wstring text = WideFromUtf8(model.ColumnHeader(table, c));
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT | LVCF_SUBITEM | LVCF_FMT;
    col.fmt = model.ColumnRightAligned(table, c) && c > 0 ? LVCFMT_RIGHT : LVCFMT_LEFT;
    col.pszText = text.data();
    col.iSubItem = static_cast<int>(c);
    if (static_cast<int>(c) < have) {
      ::SendMessageW(list, LVM_SETCOLUMNW, c, reinterpret_cast<LPARAM>(&col));
    } else {
      col.mask |= LVCF_WIDTH;
      col.cx = Scale(model.ColumnWidth(table, c));
      ::SendMessageW(list, LVM_INSERTCOLUMNW, c, reinterpret_cast<LPARAM>(&col));
    }
  }
  // The rows.
  const size_t rows = model.RowCount(table);
  ::SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  const int items = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int i = items - 1; i >= static_cast<int>(rows); --i) ::SendMessageW(list, LVM_DELETEITEM, static_cast<WPARAM>(i), 0);
  int reselect = -1;
  for (size_t r = 0; r < rows; ++r) {
    const size_t number = model.RowNumber(table, r);
    for (size_t c = 0; c < columns; ++c) {
      std::string cell = model.CellText(table, r, c);
      std::wstring text = WideFromUtf8(cell);
      if (!cell.empty()) ::SecureZeroMemory(cell.data(), cell.size());
      LVITEMW it{};
      it.mask = LVIF_TEXT | (c == 0 ? LVIF_PARAM : 0u);
      it.iItem = static_cast<int>(r);
      it.iSubItem = static_cast<int>(c);
      it.pszText = text.data();
      it.lParam = static_cast<LPARAM>(number);
      if (c == 0 && static_cast<int>(r) >= items)
        ::SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&it));
      else
        ::SendMessageW(list, LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&it));
      // Revealed codes are not left in freed memory.
      Wipe(text);
    }
    if (static_cast<int>(number) == selected) reselect = static_cast<int>(r);
  }
  if (rows > 0) {
    const int want = reselect >= 0 ? reselect : 0;
    if (SelectedItem(list) != want) SelectItem(list, want);
  }
  ::SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  ::InvalidateRect(list, nullptr, TRUE);
}

// Each form shows its row's texts as the model starts an editor with them
// (a hidden code: an empty field). A typed text stays until another row is
// chosen, the image changes or codes are shown or hidden.
void TDataWindow::TImpl::FillForms() {
  const bool large = model.Layout() == TDataLayout::Large;
  const size_t user = large ? TDataWindowModel::npos : SelectedRow(IDC_dwUsers);
  const size_t key = large ? TDataWindowModel::npos : SelectedRow(IDC_dwKeys);
  const int userNumber = user == TDataWindowModel::npos ? -1 : static_cast<int>(model.RowNumber(TDataTable::Users, user));
  const int keyNumber = key == TDataWindowModel::npos ? -1 : static_cast<int>(model.RowNumber(TDataTable::Keys, key));
  const uint64_t revision = model.Data().Revision();
  const bool imageChanged = revision != formRevision;
  formRevision = revision;
  // The code field shows stars unless codes are shown.
  HWND code = Item(IDC_dwUserCode);
  const WPARAM star = model.CodesShown() ? 0 : L'*';
  if (static_cast<WPARAM>(::SendMessageW(code, EM_GETPASSWORDCHAR, 0, 0)) != star) {
    ::SendMessageW(code, EM_SETPASSWORDCHAR, star, 0);
    ::InvalidateRect(code, nullptr, TRUE);
  }
  if (imageChanged || userNumber != formUser || codesShownInForm != model.CodesShown()) {
    formUser = userNumber;
    codesShownInForm = model.CodesShown();
    const bool any = user != TDataWindowModel::npos;
    SetTextIfChanged(Item(IDC_dwUserName), any ? model.EditText(TDataTable::Users, user, UserColName) : std::string());
    std::string digits = any ? model.EditText(TDataTable::Users, user, UserColCode) : std::string();
    SetTextIfChanged(code, digits);
    if (!digits.empty()) ::SecureZeroMemory(digits.data(), digits.size());
  }
  if (imageChanged || keyNumber != formKey) {
    formKey = keyNumber;
    SetTextIfChanged(Item(IDC_dwKeyName), key != TDataWindowModel::npos
                                              ? model.EditText(TDataTable::Keys, key, KeyColName)
                                              : std::string());
  }
}

void TDataWindow::TImpl::PaintStates() {
  const size_t user = SelectedRow(IDC_dwUsers);
  const size_t key = SelectedRow(IDC_dwKeys);
  const bool large = model.Layout() == TDataLayout::Large;
  auto enable = [this](int id, bool on) {
    HWND h = Item(id);
    if ((::IsWindowEnabled(h) != FALSE) != on) ::EnableWindow(h, on);
  };
  const bool userOn = !large && user != TDataWindowModel::npos;
  const bool nameOn = userOn && model.CellEditable(TDataTable::Users, user, UserColName);
  const bool codeOn = userOn && model.CellEditable(TDataTable::Users, user, UserColCode);
  enable(IDC_dwUserNameLabel, nameOn);
  enable(IDC_dwUserName, nameOn);
  enable(IDC_dwUserCodeLabel, codeOn);
  enable(IDC_dwUserCode, codeOn);
  enable(IDC_dwUserApply, nameOn || codeOn);
  enable(IDC_dwClearUser, userOn && model.CanClearUser(user));
  const bool keyOn = !large && key != TDataWindowModel::npos && model.CellEditable(TDataTable::Keys, key, KeyColName);
  enable(IDC_dwKeyNameLabel, keyOn);
  enable(IDC_dwKeyName, keyOn);
  enable(IDC_dwKeyApply, keyOn);
  enable(IDC_dwUndo, model.CanUndo());
  enable(IDC_dwRedo, model.CanRedo());
  enable(IDC_dwSave, hooks.canSave && hooks.canSave());
  // The keyboard focus leaves a control that went off, as a dialog's does.
  HWND focus = ::GetFocus();
  if (focus && ::IsChild(Hwnd(), focus) && !::IsWindowEnabled(focus)) {
    if (HWND next = ::GetNextDlgTabItem(Hwnd(), focus, FALSE)) ::SetFocus(next);
  }
}

// ---- The user's actions ----

// The focus goes to the field whose edit was refused, its text selected.
void TDataWindow::TImpl::Refused(int fieldId) {
  HWND f = Item(fieldId);
  ::SetFocus(f);
  ::SendMessageW(f, EM_SETSEL, 0, -1);
}

// The name, then the code: each a step of its own that undo takes back.
void TDataWindow::TImpl::ApplyUser() {
  const size_t user = SelectedRow(IDC_dwUsers);
  if (user == TDataWindowModel::npos) return;
  const std::string name = WindowTextUtf8(Item(IDC_dwUserName));
  std::string code = WindowTextUtf8(Item(IDC_dwUserCode));
  bool refused = false;
  if (model.CellEditable(TDataTable::Users, user, UserColName) &&
      !model.EditCell(TDataTable::Users, user, UserColName, name).empty()) {
    refused = true;
    Paint();
    Refused(IDC_dwUserName);
  } else if (model.CellEditable(TDataTable::Users, user, UserColCode) &&
             !model.EditCell(TDataTable::Users, user, UserColCode, code).empty()) {
    refused = true;
    Paint();
    Refused(IDC_dwUserCode);
  }
  if (!code.empty()) ::SecureZeroMemory(code.data(), code.size());
  if (!refused) Paint();
}

void TDataWindow::TImpl::ApplyKey() {
  const size_t key = SelectedRow(IDC_dwKeys);
  if (key == TDataWindowModel::npos) return;
  const bool refused = !model.EditCell(TDataTable::Keys, key, KeyColName, WindowTextUtf8(Item(IDC_dwKeyName))).empty();
  Paint();
  if (refused) Refused(IDC_dwKeyName);
}

void TDataWindow::TImpl::OnCommand(int id, int code) {
  if (painting) return;
  switch (id) {
    case IDC_dwShowCodes:
      if (code == BN_CLICKED) {
        model.SetCodesShown(::IsDlgButtonChecked(Hwnd(), IDC_dwShowCodes) == BST_CHECKED);
        Paint();
      }
      return;
    case IDC_dwShowUnusedKeys:
      if (code == BN_CLICKED) {
        model.SetUnusedKeysShown(::IsDlgButtonChecked(Hwnd(), IDC_dwShowUnusedKeys) == BST_CHECKED);
        Paint();
      }
      return;
    case IDC_dwHeader:
    case IDC_dwUserName:
    case IDC_dwUserCode:
    case IDC_dwKeyName:
      return;
    default:
      break;
  }
  // Buttons, and the accelerators (code 1).
  if (code != BN_CLICKED && code != 1) return;
  switch (id) {
    case IDOK: {
      // Enter in a field applies its form (on a button the button itself
      // answers).
      HWND focus = ::GetFocus();
      const int focused = focus && ::GetParent(focus) == Hwnd() ? ::GetDlgCtrlID(focus) : 0;
      if (focused == IDC_dwUserName || focused == IDC_dwUserCode) ApplyUser();
      else if (focused == IDC_dwKeyName) ApplyKey();
      return;
    }
    case IDCANCEL:
    case IDC_dwClose:
      ::SendMessageW(Hwnd(), WM_CLOSE, 0, 0);
      return;
    case IDC_dwUserApply: ApplyUser(); return;
    case IDC_dwClearUser: {
      const size_t user = SelectedRow(IDC_dwUsers);
      if (user != TDataWindowModel::npos) model.ClearUser(user);
      Paint();
      return;
    }
    case IDC_dwKeyApply: ApplyKey(); return;
    case IDC_dwUndo:
      model.Undo();
      Paint();
      return;
    case IDC_dwRedo:
      model.Redo();
      Paint();
      return;
    case IDC_dwSave:
      if (hooks.canSave && hooks.canSave() && hooks.save) hooks.save();
      Paint();
      return;
    default:
      return;
  }
}

LRESULT TDataWindow::TImpl::OnNotify(NMHDR* n) {
  if (n->idFrom != IDC_dwUsers && n->idFrom != IDC_dwKeys) return 0;
  if (n->code == LVN_ITEMCHANGED) {
    const auto* c = reinterpret_cast<const NMLISTVIEW*>(n);
    // A row chosen (the row left behind notifies too, before it: that
    // notice is no choice).
    if (!painting && (c->uChanged & LVIF_STATE) && (c->uNewState & LVIS_SELECTED) && !(c->uOldState & LVIS_SELECTED))
      Paint();
    return 0;
  }
  if (n->code == NM_CUSTOMDRAW && n->idFrom == IDC_dwUsers) return CustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(n));
  const bool f2 = n->code == LVN_KEYDOWN && reinterpret_cast<NMLVKEYDOWN*>(n)->wVKey == VK_F2;
  if ((n->code == NM_DBLCLK || f2) && model.Layout() == TDataLayout::Small) {
    // Double click or F2: to the row's name field, as a cell's editor.
    HWND field = Item(n->idFrom == IDC_dwUsers ? IDC_dwUserName : IDC_dwKeyName);
    if (::IsWindowEnabled(field)) {
      ::SetFocus(field);
      ::SendMessageW(field, EM_SETSEL, 0, -1);
    }
  }
  return 0;
}

// The rows of two users with the same code stand out.
LRESULT TDataWindow::TImpl::CustomDraw(NMLVCUSTOMDRAW* d) {
  switch (d->nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT: {
      const size_t row = model.RowOf(TDataTable::Users, static_cast<size_t>(d->nmcd.lItemlParam));
      if (row != TDataWindowModel::npos && model.RowWarning(TDataTable::Users, row)) {
        d->clrTextBk = kWarningRowColour;
        d->clrText = kWarningColour;
        return CDRF_NEWFONT;
      }
      return CDRF_DODEFAULT;
    }
    default:
      return CDRF_DODEFAULT;
  }
}

LRESULT CALLBACK TDataWindow::TImpl::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* m = reinterpret_cast<TImpl*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_NCCREATE: {
      m = static_cast<TImpl*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
      m->self.hwnd_ = hwnd;
      ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(m));
      break;
    }
    case WM_COMMAND:
      if (m) m->OnCommand(LOWORD(wp), HIWORD(wp));
      return 0;
    case WM_NOTIFY:
      if (m) return m->OnNotify(reinterpret_cast<NMHDR*>(lp));
      return 0;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC: {
      if (!m) break;
      auto dc = reinterpret_cast<HDC>(wp);
      auto control = reinterpret_cast<HWND>(lp);
      const int id = ::GetDlgCtrlID(control);
      const bool on = ::IsWindowEnabled(control) != FALSE;
      if (msg == WM_CTLCOLOREDIT || id == IDC_dwHeader || id == IDC_dwUserName || id == IDC_dwUserCode ||
          id == IDC_dwKeyName) {
        ::SetTextColor(dc, ::GetSysColor(on ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
        ::SetBkColor(dc, kFieldColour);
        return reinterpret_cast<LRESULT>(m->field);
      }
      if (id == IDC_dwUserRefusal || id == IDC_dwKeyRefusal || id == IDC_dwWarning) {
        ::SetTextColor(dc, kWarningColour);
      } else if (id == IDC_dwUsersHeading || id == IDC_dwKeysHeading || id == IDC_dwUserNameLabel ||
                 id == IDC_dwUserCodeLabel || id == IDC_dwKeyNameLabel) {
        ::SetTextColor(dc, on ? kCaptionColour : ::GetSysColor(COLOR_GRAYTEXT));
      } else {
        break;
      }
      ::SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_DPICHANGED:
      if (m && HIWORD(wp) > 0) {
        m->dpi = HIWORD(wp);
        // The new fonts go to the controls before the old ones are let go
        // (with fresh, at the end of this block): no control ever draws
        // with a deleted font.
        TFonts fresh;
        fresh.Make(m->dpi);
        m->fonts.Swap(fresh);
        m->Layout();
        // Column widths follow the new DPI.
        for (int id : {IDC_dwUsers, IDC_dwKeys}) {
          HWND list = m->Item(id);
          const TDataTable table = m->ListTable(id);
          for (size_t c = 0; c < m->model.ColumnCount(table); ++c)
            ::SendMessageW(list, LVM_SETCOLUMNWIDTH, c, m->Scale(m->model.ColumnWidth(table, c)));
        }
        m->Paint();
        const RECT* suggested = reinterpret_cast<const RECT*>(lp);
        ::SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                       suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
      }
      break;
    case WM_SETCURSOR:
      if (m && m->hooks.busyCursor && *m->hooks.busyCursor) {
        ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case WM_CLOSE:
      if (m && (!m->hooks.mayClose || m->hooks.mayClose())) ::DestroyWindow(hwnd);
      return 0;
    case WM_NCDESTROY:
      if (m) m->self.hwnd_ = nullptr;
      ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      break;
    default:
      break;
  }
  return ::DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace tarvex::win32
