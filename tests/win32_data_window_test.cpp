// The Win32 data window's binding, in-process: that every list cell, caption,
// enabled state, refusal and warning shows what the data window's model
// says, that the form's edits, the tick boxes, the buttons, Enter and the
// Ctrl+Z/Ctrl+Y accelerators reach the model, and that a large image shows
// its header and regions only. The decisions themselves are tested on the
// model (data_window_test.cpp). Needs a display (Wine with Xvfb).
#include "win32/data_window.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/data_model.h"
#include "app/data_window.h"
#include "protocol/panel_image.h"
#include "serial/windows_text.h"
#include "win32/control_ids.h"

namespace tarvex::win32 {
namespace {

// User 0 the main user with code 1234, users 1 and 2 sharing 5678; key 3
// named and in use, key 40 in use without a name.
SmallPanelImage SampleSmall() {
  SmallPanelImage img;
  SetImageModel(img.Bytes(), 24);
  SetImageDescription(img.Bytes(), "VYR8 v.2.31");
  for (size_t u = 0; u < kUserCount; ++u) {
    UserEntry e = img.User(u);
    e.SetName("");
    e.SetCode("FFFFFFFF");
    for (size_t i = 0; i < kUserAttrSize; ++i) e.SetAttr(i, 0);
  }
  img.User(0).SetName("Mario Rossi");
  img.User(0).SetCode("1234FFFF");
  img.User(0).SetAttr(0, 1);
  img.User(1).SetName("Anna");
  img.User(1).SetCode("5678FFFF");
  img.User(2).SetName("Luca");
  img.User(2).SetCode("5678FFFF");
  for (size_t k = 0; k < kKeyCount; ++k) {
    KeyEntry e = img.Key(k);
    e.SetName("");
    e.SetValue(0);
    e.SetFlags(0);
    e.SetFlags23(0);
  }
  img.Key(3).SetName("Porta");
  img.Key(3).SetValue(0x12);
  img.Key(40).SetValue(0x05);
  return img;
}

std::string Text(HWND h) {
  const int n = ::GetWindowTextLengthW(h);
  std::wstring t(static_cast<size_t>(n > 0 ? n : 0) + 1, L'\0');
  t.resize(static_cast<size_t>(::GetWindowTextW(h, t.data(), n + 1)));
  return Utf8FromWide(t);
}

int Rows(HWND list) { return static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); }

std::string Cell(HWND list, int row, int column) {
  wchar_t buf[256] = {};
  LVITEMW it{};
  it.iSubItem = column;
  it.pszText = buf;
  it.cchTextMax = 256;
  ::SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&it));
  return Utf8FromWide(buf);
}

std::string Header(HWND list, int column) {
  wchar_t buf[256] = {};
  LVCOLUMNW col{};
  col.mask = LVCF_TEXT;
  col.pszText = buf;
  col.cchTextMax = 256;
  ::SendMessageW(list, LVM_GETCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&col));
  return Utf8FromWide(buf);
}

int Columns(HWND list) {
  HWND header = reinterpret_cast<HWND>(::SendMessageW(list, LVM_GETHEADER, 0, 0));
  return header ? static_cast<int>(::SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
}

void Select(HWND list, int row) {
  LVITEMW it{};
  it.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  it.state = LVIS_SELECTED | LVIS_FOCUSED;
  ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&it));
}

int Selected(HWND list) {
  return static_cast<int>(::SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

class Win32DataWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES};
    ::InitCommonControlsEx(&icc);
    owner = ::CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPED, 0, 0, 200, 100, nullptr, nullptr, nullptr, nullptr);
    data.AttachSmall(img.Bytes());
    data.SetSource("site.tvx");
    model.Opened();
  }
  void TearDown() override {
    window.reset();
    if (owner) ::DestroyWindow(owner);
  }
  // Opens the window with the hooks as set.
  void Open() {
    TDataWindowHooks h;
    h.canSave = [this] { return canSave; };
    h.save = [this] { ++saves; };
    h.mayClose = [this] { return mayClose; };
    window = std::make_unique<TDataWindow>(model, h);
    ASSERT_TRUE(window->Open(owner, 96));
  }
  HWND W() const { return window->Handle(); }
  HWND Item(int id) const { return ::GetDlgItem(W(), id); }
  bool Enabled(int id) const { return ::IsWindowEnabled(Item(id)) != FALSE; }
  bool Visible(int id) const { return ::IsWindowVisible(Item(id)) != FALSE; }
  void Click(int id) { ::SendMessageW(Item(id), BM_CLICK, 0, 0); }
  void SetText(int id, const std::string& text) {
    const std::wstring t = WideFromUtf8(text);
    ::SendMessageW(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(t.c_str()));
  }
  // A key as the message loop hands it on: through the window's
  // accelerators and keyboard navigation first.
  bool Key(int focusId, WPARAM vk, bool control) {
    BYTE keys[256] = {};
    ::GetKeyboardState(keys);
    keys[VK_CONTROL] = control ? 0x80 : 0;
    ::SetKeyboardState(keys);
    ::SetFocus(Item(focusId));
    MSG msg{Item(focusId), WM_KEYDOWN, vk, 1, 0, {}};
    const bool handled = window->PreTranslate(&msg);
    keys[VK_CONTROL] = 0;
    ::SetKeyboardState(keys);
    return handled;
  }
  // Every cell of a list against the model's text for it.
  void ExpectListShowsModel(int listId, TDataTable table) {
    HWND list = Item(listId);
    ASSERT_EQ(Rows(list), static_cast<int>(model.RowCount(table)));
    ASSERT_EQ(Columns(list), static_cast<int>(model.ColumnCount(table)));
    for (size_t c = 0; c < model.ColumnCount(table); ++c)
      EXPECT_EQ(Header(list, static_cast<int>(c)), model.ColumnHeader(table, c));
    for (size_t r = 0; r < model.RowCount(table); ++r)
      for (size_t c = 0; c < model.ColumnCount(table); ++c)
        EXPECT_EQ(Cell(list, static_cast<int>(r), static_cast<int>(c)), model.CellText(table, r, c))
            << "row " << r << ", column " << c;
  }

  SmallPanelImage img = SampleSmall();
  TDataModel data;
  TDataWindowModel model{data};
  HWND owner = nullptr;
  std::unique_ptr<TDataWindow> window;
  bool canSave = true;
  bool mayClose = true;
  int saves = 0;
};

TEST_F(Win32DataWindowTest, ASmallImageShowsUsersAndKeysInUseWithCodesAsStars) {
  Open();
  ExpectListShowsModel(IDC_dwUsers, TDataTable::Users);
  ExpectListShowsModel(IDC_dwKeys, TDataTable::Keys);
  EXPECT_EQ(Rows(Item(IDC_dwUsers)), 24);
  EXPECT_EQ(Rows(Item(IDC_dwKeys)), 2);  // keys 3 and 40
  EXPECT_EQ(Cell(Item(IDC_dwUsers), 0, UserColCode), "****");
  EXPECT_EQ(Text(W()), model.Title());
  EXPECT_EQ(Text(Item(IDC_dwUsersHeading)), model.TableHeading(TDataTable::Users));
  EXPECT_EQ(Text(Item(IDC_dwShowCodes)), model.Texts().ShowCodes);
  EXPECT_FALSE(::IsDlgButtonChecked(W(), IDC_dwShowCodes));
  EXPECT_FALSE(::IsDlgButtonChecked(W(), IDC_dwShowUnusedKeys));
  EXPECT_TRUE(Visible(IDC_dwUsers));
  EXPECT_FALSE(Visible(IDC_dwHeader));
  RECT client{};
  ::GetClientRect(W(), &client);
  EXPECT_EQ(client.right, data_window_layout::kClientWidth);
  EXPECT_EQ(client.bottom, data_window_layout::kClientHeight);
  // The first user is chosen; its form shows the name and, codes hidden,
  // an empty code field that shows stars.
  EXPECT_EQ(Selected(Item(IDC_dwUsers)), 0);
  EXPECT_EQ(Text(Item(IDC_dwUserName)), "Mario Rossi");
  EXPECT_EQ(Text(Item(IDC_dwUserCode)), "");
  EXPECT_EQ(::SendMessageW(Item(IDC_dwUserCode), EM_GETPASSWORDCHAR, 0, 0), L'*');
  EXPECT_FALSE(Enabled(IDC_dwUndo));
  EXPECT_FALSE(Enabled(IDC_dwRedo));
}

TEST_F(Win32DataWindowTest, ShowCodesRevealsTheCodesAndTheFormsCode) {
  Open();
  Click(IDC_dwShowCodes);
  EXPECT_TRUE(model.CodesShown());
  ExpectListShowsModel(IDC_dwUsers, TDataTable::Users);
  EXPECT_EQ(Cell(Item(IDC_dwUsers), 0, UserColCode), "1234");
  EXPECT_EQ(Text(Item(IDC_dwUserCode)), "1234");
  EXPECT_EQ(::SendMessageW(Item(IDC_dwUserCode), EM_GETPASSWORDCHAR, 0, 0), 0);
  Click(IDC_dwShowCodes);
  EXPECT_FALSE(model.CodesShown());
  EXPECT_EQ(Cell(Item(IDC_dwUsers), 0, UserColCode), "****");
  EXPECT_EQ(Text(Item(IDC_dwUserCode)), "");
  EXPECT_EQ(::SendMessageW(Item(IDC_dwUserCode), EM_GETPASSWORDCHAR, 0, 0), L'*');
}

TEST_F(Win32DataWindowTest, ShowKeysNotInUseListsAllKeys) {
  Open();
  Click(IDC_dwShowUnusedKeys);
  EXPECT_TRUE(model.UnusedKeysShown());
  ExpectListShowsModel(IDC_dwKeys, TDataTable::Keys);
  EXPECT_EQ(Rows(Item(IDC_dwKeys)), 128);
}

TEST_F(Win32DataWindowTest, ARefusedNameShowsItsReasonBesideTheFormAndChangesNothing) {
  Open();
  const std::vector<uint8_t> before(img.Bytes().begin(), img.Bytes().end());
  Select(Item(IDC_dwUsers), 1);
  EXPECT_EQ(Text(Item(IDC_dwUserName)), "Anna");
  SetText(IDC_dwUserName, "Seventeen letters");
  Click(IDC_dwUserApply);
  EXPECT_EQ(Text(Item(IDC_dwUserRefusal)), model.Texts().NameTooLong);
  EXPECT_EQ(Text(Item(IDC_dwKeyRefusal)), "");
  EXPECT_EQ(::GetFocus(), Item(IDC_dwUserName));
  EXPECT_EQ(Cell(Item(IDC_dwUsers), 1, UserColName), "Anna");
  EXPECT_EQ(std::vector<uint8_t>(img.Bytes().begin(), img.Bytes().end()), before);
  EXPECT_FALSE(Enabled(IDC_dwUndo));
  // The main user's code cannot go.
  Click(IDC_dwShowCodes);
  Select(Item(IDC_dwUsers), 0);
  SetText(IDC_dwUserCode, "");
  Click(IDC_dwUserApply);
  EXPECT_EQ(Text(Item(IDC_dwUserRefusal)), model.Texts().NoMainUserCode);
  EXPECT_EQ(::GetFocus(), Item(IDC_dwUserCode));
  EXPECT_EQ(img.User(0).Code(), "1234FFFF");
}

TEST_F(Win32DataWindowTest, ApplyRenamesAndRecodesAndUndoRedoTakeThemBackAndForth) {
  Open();
  Select(Item(IDC_dwUsers), 1);
  SetText(IDC_dwUserName, "Anna Verdi");
  SetText(IDC_dwUserCode, "4321");
  Click(IDC_dwUserApply);
  EXPECT_EQ(Text(Item(IDC_dwUserRefusal)), "");
  EXPECT_EQ(img.User(1).Name(), "Anna Verdi");
  EXPECT_EQ(img.User(1).Code(), "4321FFFF");
  ExpectListShowsModel(IDC_dwUsers, TDataTable::Users);
  EXPECT_EQ(Text(W()), model.Title());
  EXPECT_NE(Text(W()).find(model.Texts().ModifiedMark), std::string::npos);
  // The form shows the row as it now stands; the code stays unshown.
  EXPECT_EQ(Text(Item(IDC_dwUserName)), "Anna Verdi");
  EXPECT_EQ(Text(Item(IDC_dwUserCode)), "");
  EXPECT_TRUE(Enabled(IDC_dwUndo));
  // Ctrl+Z: the code; the Undo button: the name.
  EXPECT_TRUE(Key(IDC_dwUsers, 'Z', true));
  EXPECT_EQ(img.User(1).Code(), "5678FFFF");
  EXPECT_EQ(img.User(1).Name(), "Anna Verdi");
  Click(IDC_dwUndo);
  EXPECT_EQ(img.User(1).Name(), "Anna");
  EXPECT_EQ(Cell(Item(IDC_dwUsers), 1, UserColName), "Anna");
  EXPECT_EQ(Text(W()), model.Title());
  EXPECT_FALSE(Enabled(IDC_dwUndo));
  EXPECT_TRUE(Enabled(IDC_dwRedo));
  // Ctrl+Y and the Redo button.
  EXPECT_TRUE(Key(IDC_dwUsers, 'Y', true));
  EXPECT_EQ(img.User(1).Name(), "Anna Verdi");
  Click(IDC_dwRedo);
  EXPECT_EQ(img.User(1).Code(), "4321FFFF");
  EXPECT_FALSE(Enabled(IDC_dwRedo));
  // Z without Ctrl is no undo.
  Key(IDC_dwUsers, 'Z', false);
  EXPECT_EQ(img.User(1).Code(), "4321FFFF");
}

TEST_F(Win32DataWindowTest, EnterInTheNameFieldAppliesTheForm) {
  Open();
  Select(Item(IDC_dwUsers), 2);
  SetText(IDC_dwUserName, "Luca Neri");
  EXPECT_TRUE(Key(IDC_dwUserName, VK_RETURN, false));
  EXPECT_EQ(img.User(2).Name(), "Luca Neri");
}

TEST_F(Win32DataWindowTest, ClearUserEmptiesNameAndCode) {
  Open();
  Select(Item(IDC_dwUsers), 2);
  Click(IDC_dwClearUser);
  EXPECT_EQ(img.User(2).Name(), "");
  EXPECT_EQ(Cell(Item(IDC_dwUsers), 2, UserColName), "");
  EXPECT_EQ(Cell(Item(IDC_dwUsers), 2, UserColCode), "");
  EXPECT_TRUE(Enabled(IDC_dwUndo));
}

TEST_F(Win32DataWindowTest, OnlyKeysThatCarryANameTakeOne) {
  Open();
  HWND keys = Item(IDC_dwKeys);
  Select(keys, 1);  // key 40
  EXPECT_EQ(Cell(keys, 1, KeyColNumber), "40");
  EXPECT_FALSE(Enabled(IDC_dwKeyName));
  EXPECT_FALSE(Enabled(IDC_dwKeyApply));
  Select(keys, 0);  // key 3
  EXPECT_TRUE(Enabled(IDC_dwKeyName));
  EXPECT_EQ(Text(Item(IDC_dwKeyName)), "Porta");
  SetText(IDC_dwKeyName, " Cancello");
  Click(IDC_dwKeyApply);
  EXPECT_EQ(Text(Item(IDC_dwKeyRefusal)), model.Texts().NameOuterSpace);
  EXPECT_EQ(Text(Item(IDC_dwUserRefusal)), "");
  SetText(IDC_dwKeyName, "Cancello");
  Click(IDC_dwKeyApply);
  EXPECT_EQ(img.Key(3).Name(), "Cancello");
  EXPECT_EQ(Cell(keys, 0, KeyColName), "Cancello");
}

TEST_F(Win32DataWindowTest, TheChosenUsersDuplicateCodeWarningShows) {
  Open();
  Select(Item(IDC_dwUsers), 1);
  EXPECT_EQ(Text(Item(IDC_dwWarning)), model.Texts().DuplicateCode);
  Select(Item(IDC_dwUsers), 0);
  EXPECT_EQ(Text(Item(IDC_dwWarning)), "");
}

TEST_F(Win32DataWindowTest, WhileLockedNoRowsAndNoEdits) {
  Open();
  model.SetLocked(true);
  window->Refresh();
  EXPECT_EQ(Rows(Item(IDC_dwUsers)), 0);
  EXPECT_EQ(Rows(Item(IDC_dwKeys)), 0);
  EXPECT_FALSE(Enabled(IDC_dwUserApply));
  EXPECT_FALSE(Enabled(IDC_dwClearUser));
  EXPECT_FALSE(Enabled(IDC_dwUserName));
  EXPECT_EQ(Text(Item(IDC_dwUserName)), "");
  model.SetLocked(false);
  window->Refresh();
  EXPECT_EQ(Rows(Item(IDC_dwUsers)), 24);
  EXPECT_TRUE(Enabled(IDC_dwUserApply));
}

TEST_F(Win32DataWindowTest, TheLanguageFollowsTheModel) {
  Open();
  model.SetLanguage(TLanguage::Italian);
  window->Refresh();
  const TDataTexts it = DataTexts(TLanguage::Italian);
  EXPECT_EQ(Text(Item(IDC_dwShowCodes)), "Mostra codici");
  EXPECT_EQ(Text(Item(IDC_dwUndo)), it.UndoButton);
  EXPECT_EQ(Text(Item(IDC_dwUserApply)), it.ApplyButton);
  EXPECT_EQ(Text(W()), model.Title());
  ExpectListShowsModel(IDC_dwUsers, TDataTable::Users);
  ExpectListShowsModel(IDC_dwKeys, TDataTable::Keys);
}

TEST_F(Win32DataWindowTest, SaveAndCloseGoThroughTheMainWindow) {
  canSave = false;
  Open();
  EXPECT_FALSE(Enabled(IDC_dwSave));
  Click(IDC_dwSave);
  EXPECT_EQ(saves, 0);
  canSave = true;
  window->Refresh();
  EXPECT_TRUE(Enabled(IDC_dwSave));
  Click(IDC_dwSave);
  EXPECT_EQ(saves, 1);
  mayClose = false;
  Click(IDC_dwClose);
  EXPECT_TRUE(window->IsOpen());
  mayClose = true;
  Click(IDC_dwClose);
  EXPECT_FALSE(window->IsOpen());
}

TEST_F(Win32DataWindowTest, ALargeImageShowsItsHeaderAndRegionsOnly) {
  std::vector<uint8_t> large(kLargeImageSize, 0xFF);
  SetImageModel(large, 2305);
  SetImageDescription(large, "VYR320 v.2.10");
  ASSERT_TRUE(data.LoadCopy(large));
  model.Opened();
  Open();
  ExpectListShowsModel(IDC_dwKeys, TDataTable::Regions);
  EXPECT_EQ(Rows(Item(IDC_dwKeys)), static_cast<int>(kLargeRegionCount));
  EXPECT_TRUE(Visible(IDC_dwHeader));
  std::string header;
  for (const THeaderField& f : model.HeaderFields()) header += (header.empty() ? "" : "\r\n") + f.label + ": " + f.value;
  EXPECT_EQ(Text(Item(IDC_dwHeader)), header);
  EXPECT_NE(header.find("VYR320 v.2.10"), std::string::npos);
  EXPECT_EQ(Text(Item(IDC_dwKeysHeading)), model.TableHeading(TDataTable::Regions));
  for (int id : {IDC_dwUsers, IDC_dwShowCodes, IDC_dwUserName, IDC_dwUserCode, IDC_dwUserApply, IDC_dwClearUser,
                 IDC_dwKeyName, IDC_dwKeyApply, IDC_dwShowUnusedKeys})
    EXPECT_FALSE(Visible(id)) << id;
  EXPECT_FALSE(Enabled(IDC_dwUndo));
}

TEST_F(Win32DataWindowTest, AnImageOfTheOtherLayoutReplacesTheTables) {
  Open();
  std::vector<uint8_t> large(kLargeImageSize, 0xFF);
  ASSERT_TRUE(data.LoadCopy(large));
  window->Refresh();
  ExpectListShowsModel(IDC_dwKeys, TDataTable::Regions);
  EXPECT_FALSE(Visible(IDC_dwUsers));
  data.AttachSmall(img.Bytes());
  window->Refresh();
  ExpectListShowsModel(IDC_dwUsers, TDataTable::Users);
  ExpectListShowsModel(IDC_dwKeys, TDataTable::Keys);
  EXPECT_TRUE(Visible(IDC_dwUsers));
  EXPECT_FALSE(Visible(IDC_dwHeader));
}

}  // namespace
}  // namespace tarvex::win32
