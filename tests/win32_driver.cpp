// tarvex_win32_driver: drives the Win32 window (tarvex.exe) from outside,
// as a user would, through the window messages a user's actions send, and
// checks what the window shows. A Windows console program; under Wine the
// tests run it through CTest (tests/WindowsTests.cmake).
//
//   tarvex_win32_driver walk TARVEX_EXE
//       the demo panels answering at once (--demo-fast): captions in the
//       three languages, the supported-panels window, the code edits'
//       filter, check, read, save, load, send into the other panel, and
//       proof that the other panel now holds the first one's users and codes
//   tarvex_win32_driver data TARVEX_EXE
//       the data window after a read of the demo VYR8: codes hidden until
//       shown, keys in use, a refused and a made rename, a new code, the
//       main user's code kept, undo and redo (keys and buttons), its save,
//       the file loaded back showing the change; Italian and French; the
//       Save / Don't save / Cancel question before a load, a read and a
//       close; a change made in the window reaching the VYR32 by a send
//   tarvex_win32_driver wire-time TARVEX_EXE
//       the demo panels at their real line speed (--demo): the controls
//       during a second read, the progress bar part-way, the data window
//       of the first read showing nothing of the image being read into, a
//       close asked for during the read that waits for its end
//   tarvex_win32_driver end-session TARVEX_EXE
//       logging off at the demo panels' line speed: the window lets the
//       session end when idle or during a check or a read; during a send
//       it asks Windows to wait, says so, and closes once the send has ended
//   tarvex_win32_driver start-up TARVEX_EXE [OPTIONS]
//       a diagnosis of one start: when the window shows, when its port list
//       is complete, the longest time it took to answer a message meanwhile
//   tarvex_win32_driver serial TARVEX_EXE PORT_LABEL CODE DESCRIPTION
//       a real serial port (a simulated panel behind COM3): the port is
//       listed as PORT_LABEL, the check shows DESCRIPTION, a read with CODE
//       succeeds
//   tarvex_win32_driver screenshots TARVEX_EXE DIR
//       pictures of the windows as 24-bit BMP files (scripts/win32-screenshots)
//
// Every run has a throw-away LOCALAPPDATA (the send's backups go there) and
// removes it at the end. Ends with "win32: N passed, N failed".
#include "serial/windows_api.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/data_model.h"
#include "app/data_window.h"
#include "app/keyfile.h"
#include "app/languages.h"
#include "app/messages.h"
#include "app/version.h"
#include "app/window_model.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/send_plan.h"
#include "sim/panel_config.h"
#include "protocol/panel_image.h"
#include "serial/windows_text.h"
#include "win32/control_ids.h"

using namespace tarvex;
namespace fs = std::filesystem;

namespace {

// ---- Results ----

int passed = 0;
int failed = 0;

// Console output as UTF-8 bytes (the captions have accents).
void Print(const std::string& s) {
  std::fwrite(s.data(), 1, s.size(), stdout);
  std::fflush(stdout);
}

bool Check(bool ok, const std::string& what) {
  (ok ? passed : failed)++;
  Print(std::string(ok ? "ok - " : "FAIL - ") + what + "\n");
  return ok;
}

// A text as the check's message shows it: quoted, line ends visible.
std::string Quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out + "\"";
}

bool CheckText(const std::string& got, const std::string& want, const std::string& what) {
  return Check(got == want, what + ": " + Quoted(got) + (got == want ? "" : " (want " + Quoted(want) + ")"));
}

// ---- Waiting ----

// Polls until the condition holds; the limit is only a safety net for a
// window that never gets there.
bool WaitFor(const std::function<bool()>& condition, DWORD limitMs = 120000) {
  const ULONGLONG start = ::GetTickCount64();
  while (!condition()) {
    if (::GetTickCount64() - start > limitMs) return false;
    ::Sleep(15);
  }
  return true;
}

// ---- Paths ----

// A Unix path given by CTest under Wine, as a Windows path.
std::wstring WindowsPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return WideFromUtf8(path);
  using TDosName = wchar_t*(CDECL*)(const char*);
  const auto dosName = reinterpret_cast<TDosName>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (!dosName) return WideFromUtf8(path);
  wchar_t* dos = dosName(path.c_str());
  if (!dos) return WideFromUtf8(path);
  std::wstring out = dos;
  ::HeapFree(::GetProcessHeap(), 0, dos);
  return out;
}

// A scratch folder of the run's own with the program's LocalAppData in it;
// it goes with everything in it when the run ends, early returns included.
struct TRunFolder {
  explicit TRunFolder(const char* what) : dir(std::string("tarvex-win32-") + what), path(dir.Folder()) {
    std::error_code ec;
    fs::create_directories(path / "LocalAppData", ec);
  }
  test::TScratchDir dir;
  fs::path path;
};

// ---- The program under test ----

struct TFoundWindow {
  DWORD pid;
  const wchar_t* cls;
  HWND owner;  // null: any
  HWND found;
};

BOOL CALLBACK FindWindowOf(HWND hwnd, LPARAM lp) {
  auto& f = *reinterpret_cast<TFoundWindow*>(lp);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  if (pid != f.pid || !::IsWindowVisible(hwnd)) return TRUE;
  wchar_t cls[64] = {};
  ::GetClassNameW(hwnd, cls, 64);
  if (std::wcscmp(cls, f.cls) != 0) return TRUE;
  if (f.owner && ::GetWindow(hwnd, GW_OWNER) != f.owner) return TRUE;
  f.found = hwnd;
  return FALSE;
}

HWND FindWindowOf(DWORD pid, const wchar_t* cls, HWND owner) {
  TFoundWindow f{pid, cls, owner, nullptr};
  ::EnumWindows(FindWindowOf, reinterpret_cast<LPARAM>(&f));
  return f.found;
}

class TTarvex {
 public:
  ~TTarvex() { Kill(); }

  // Starts tarvex.exe with the given options and LOCALAPPDATA; true once
  // its main window is there and its port list complete (the ports are
  // probed after the window shows; the check waits for them).
  bool Start(const std::wstring& exe, const std::wstring& options, const fs::path& localAppData) {
    if (!Launch(exe, options, localAppData)) return false;
    WaitFor([this] {
      main_ = FindWindowOf(pi_.dwProcessId, TARVEX_MAIN_WINDOW_CLASS, nullptr);
      return main_ != nullptr || Exited();
    });
    return main_ != nullptr && WaitFor([this] { return Enabled(IDC_btnCheckConnection) || Exited(); }) && !Exited();
  }

  // Starts tarvex.exe and returns at once.
  bool Launch(const std::wstring& exe, const std::wstring& options, const fs::path& localAppData) {
    // The environment of this program with LOCALAPPDATA replaced.
    std::vector<std::wstring> vars;
    if (wchar_t* env = ::GetEnvironmentStringsW()) {
      for (const wchar_t* p = env; *p; p += std::wcslen(p) + 1) {
        if (_wcsnicmp(p, L"LOCALAPPDATA=", 13) != 0) vars.emplace_back(p);
      }
      ::FreeEnvironmentStringsW(env);
    }
    vars.push_back(L"LOCALAPPDATA=" + localAppData.wstring());
    std::sort(vars.begin(), vars.end(), [](const std::wstring& a, const std::wstring& b) {
      return _wcsicmp(a.c_str(), b.c_str()) < 0;
    });
    std::vector<wchar_t> block;
    for (const std::wstring& v : vars) {
      block.insert(block.end(), v.begin(), v.end());
      block.push_back(L'\0');
    }
    block.push_back(L'\0');

    std::wstring command = L"\"" + exe + L"\" " + options;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (!::CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                          block.data(), nullptr, &si, &pi_)) {
      Print("cannot start " + Utf8FromWide(exe) + ": error " + std::to_string(::GetLastError()) + "\n");
      return false;
    }
    return true;
  }

  HWND Main() const { return main_; }
  DWORD Pid() const { return pi_.dwProcessId; }
  HANDLE Process() const { return pi_.hProcess; }
  HWND Item(int id) const { return ::GetDlgItem(main_, id); }

  bool Exited() const { return pi_.hProcess && ::WaitForSingleObject(pi_.hProcess, 0) == WAIT_OBJECT_0; }
  bool WaitExit(DWORD* code) {
    if (!WaitFor([this] { return Exited(); })) return false;
    ::GetExitCodeProcess(pi_.hProcess, code);
    return true;
  }
  void Kill() {
    if (pi_.hProcess) {
      if (!Exited()) {
        ::TerminateProcess(pi_.hProcess, 99);
        ::WaitForSingleObject(pi_.hProcess, 10000);
      }
      ::CloseHandle(pi_.hProcess);
      ::CloseHandle(pi_.hThread);
      pi_ = PROCESS_INFORMATION{};
    }
  }

  // ---- Reading the window ----
  std::string Text(HWND h) const {
    const LRESULT n = ::SendMessageW(h, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(std::max<LRESULT>(n, 0)) + 1, L'\0');
    const LRESULT got = ::SendMessageW(h, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(std::max<LRESULT>(got, 0)));
    return Utf8FromWide(text);
  }
  std::string Text(int id) const { return Text(Item(id)); }
  bool Enabled(int id) const { return ::IsWindowEnabled(Item(id)) != FALSE; }
  // A control's place in the main window's client area.
  RECT Place(int id) const {
    RECT r{};
    ::GetWindowRect(Item(id), &r);
    ::MapWindowPoints(nullptr, main_, reinterpret_cast<POINT*>(&r), 2);
    return r;
  }
  std::vector<std::string> ComboItems(int id) const {
    std::vector<std::string> items;
    HWND combo = Item(id);
    const LRESULT count = ::SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      const LRESULT n = ::SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
      std::wstring text(static_cast<size_t>(std::max<LRESULT>(n, 0)) + 1, L'\0');
      ::SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text.data()));
      text.resize(std::wcslen(text.c_str()));
      items.push_back(Utf8FromWide(text));
    }
    return items;
  }
  int ComboSelection(int id) const { return static_cast<int>(::SendMessageW(Item(id), CB_GETCURSEL, 0, 0)); }

  // ---- Acting as the user ----
  void SetText(int id, const std::string& text) {
    const std::wstring w = WideFromUtf8(text);
    ::SendMessageW(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(w.c_str()));
  }
  void Type(int id, const std::string& keys) {
    for (char c : keys) ::SendMessageW(Item(id), WM_CHAR, static_cast<WPARAM>(static_cast<unsigned char>(c)), 1);
  }
  // The user's choice in a list: the selection, then the list's notice to
  // its parent.
  void Choose(int id, int index) {
    HWND combo = Item(id);
    ::SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    ::SendMessageW(main_, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
  }
  // Clicks a button and returns once the click has been handled, or once
  // it is plainly waiting in a modal window of its own (a box, the
  // supported-panels window).
  void Click(int id) {
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(Item(id), BM_CLICK, 0, 0, SMTO_NORMAL, 1000, &result);
  }

  // No operation runs (the check button is on again) or a box is open.
  bool Idle() const { return Enabled(IDC_btnCheckConnection); }
  HWND Box() const { return FindWindowOf(pi_.dwProcessId, L"#32770", main_); }
  bool WaitIdleOrBox() {
    return WaitFor([this] { return Exited() || Idle() || Box() != nullptr; });
  }

 private:
  PROCESS_INFORMATION pi_{};
  HWND main_ = nullptr;
};

// ---- Message boxes ----

struct TBox {
  std::string title;
  std::string text;
};

// Waits for a box owned by the main window, reads it and presses OK.
bool TakeBox(TTarvex& app, TBox* box) {
  HWND h = nullptr;
  if (!WaitFor([&] { return (h = app.Box()) != nullptr || app.Exited(); }) || !h) return false;
  box->title = app.Text(h);
  box->text = app.Text(::GetDlgItem(h, 0xFFFF));
  ::PostMessageW(h, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(h, IDOK)));
  return WaitFor([&] { return !::IsWindow(h); });
}

// Waits for the file dialog of a browse button, checks the file type it
// offers (when it offers one), types the name and presses OK.
bool ChooseInFileDialog(TTarvex& app, const std::string& name, const std::string& fileType, const std::string& what) {
  HWND d = nullptr;
  if (!Check(WaitFor([&] { return (d = app.Box()) != nullptr; }), what + ": the file dialog opens, owned by the window"))
    return false;
  constexpr int kFileTypeList = 0x470;  // cmb1
  constexpr int kNameList = 0x47C;      // cmb13: the file name
  constexpr int kNameEdit = 0x480;      // edt1: the file name in older dialogs
  if (!fileType.empty()) CheckText(app.Text(::GetDlgItem(d, kFileTypeList)), fileType, what + ": file type");
  HWND nameBox = ::GetDlgItem(d, kNameList);
  if (!nameBox) nameBox = ::GetDlgItem(d, kNameEdit);
  const std::wstring w = WideFromUtf8(name);
  ::SendMessageW(nameBox, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(w.c_str()));
  ::PostMessageW(d, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(d, IDOK)));
  return Check(WaitFor([&] { return !::IsWindow(d); }), what + ": the file dialog closes");
}

// ---- Checks shared by the walks ----

std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) out += (i ? "\r\n" : "") + lines[i];
  return out;
}

// The connected-panel label and the status line after a language change,
// as the user reads them: English, Italian, French.
const std::string kNoPanelConnected[3] = {"No panel connected", "Nessuna centrale connessa", "Aucun dispositif connecté"};
const std::string kReady[3] = {"Ready", "Pronto", "Prêt"};

// The captions as the user reads them, in the order of TCaptions: English,
// Italian, French.
const TCaptions kCaptions[3] = {
    {"Language", "Serial port", "General options", "Connected panel", "Check panel connection",
     "Load data from panel", "Load data", "Main user code", "Save data to file", "Save to file",
     "Load data from file", "Load from file", "Send data to panel", "Send data", "Show data"},
    {"Lingua (Language)", "Porta seriale", "Opzioni generali", "Centrale connessa", "Verifica connessione",
     "Carica dati dalla centrale", "Carica dati", "Codice utente principale", "Salva dati su file", "Salva su file",
     "Carica dati da file", "Carica file", "Invia dati alla centrale", "Invia dati", "Mostra dati"},
    {"Langue (Language)", "Port serie", "Options générales", "Centrale associée", "Vérifier la connection",
     "Charger les données de la centrale", "Charger", "Code d'utilisateur principal",
     "Enregistrer le fichier de données", "Enregistrer", "Charger des données à partir d'un fichier", "Charger",
     "Envoyer des données sur la centrale", "Envoyer", "Voir les données"},
};

void CheckCaptions(TTarvex& app, TLanguage lang, const std::string& name) {
  const int l = static_cast<int>(lang);
  const TCaptions& c = kCaptions[l];
  const std::pair<int, const std::string*> texts[] = {
      {IDC_lblLingua, &c.LinguaLabel},         {IDC_lblSerial, &c.SerialLabel},
      {IDC_gbGeneral, &c.General},             {IDC_gbLinkedPanel, &c.LinkedPanel},
      {IDC_btnCheckConnection, &c.CheckConnection}, {IDC_gbUserCode, &c.UserCodeGroup},
      {IDC_btnUserCode, &c.UserCodeButton},    {IDC_lblUserCode, &c.UserCodeLabel},
      {IDC_gbAction, &c.SaveGroup},            {IDC_btnSaveToFile, &c.SaveButton},
      {IDC_gbLoadFromFile, &c.LoadGroup},      {IDC_btnLoadFromFile, &c.LoadButton},
      {IDC_gbSendToPanel, &c.SendGroup},       {IDC_btnSendCodes, &c.SendButton},
      {IDC_lblUserCodeSend, &c.UserCodeLabel}, {IDC_lblLinkedPanel, &kNoPanelConnected[l]},
      {IDC_btnShowData, &c.ShowData},
  };
  int wrong = 0;
  std::string first;
  for (const auto& [id, text] : texts) {
    if (app.Text(id) != *text) {
      if (!wrong++) first = " (first: control " + std::to_string(id) + " shows " + Quoted(app.Text(id)) + ")";
    }
  }
  Check(wrong == 0, name + ": every caption in the language" + first);
  CheckText(app.Text(IDC_cbLingua), kLanguageItems[static_cast<int>(lang)], name + ": the language list shows");
  CheckText(app.Text(IDC_lblProgress), kReady[l], name + ": status line");
}

struct TEnableRow {
  int id;
  const char* name;
};
constexpr TEnableRow kTopBand[] = {{IDC_lblLingua, "lblLingua"},
                                   {IDC_cbLingua, "cbLingua"},
                                   {IDC_lblSerial, "lblSerial"},
                                   {IDC_cbSerial, "cbSerial"},
                                   {IDC_btnCheckConnection, "btnCheckConnection"},
                                   {IDC_TsSupportedPanels, "TsSupportedPanels"}};
constexpr TEnableRow kUserCodeGroup[] = {
    {IDC_gbUserCode, "gbUserCode"}, {IDC_btnUserCode, "btnUserCode"}, {IDC_lblUserCode, "lblUserCode"}, {IDC_EUserCode, "EUserCode"}};
constexpr TEnableRow kSaveGroup[] = {{IDC_gbAction, "gbAction"},
                                     {IDC_eSaveToFile, "eSaveToFile"},
                                     {IDC_actBrowseSave, "actBrowseSave"}};
constexpr TEnableRow kLoadGroup[] = {{IDC_gbLoadFromFile, "gbLoadFromFile"},
                                     {IDC_eLoadFromFile, "eLoadFromFile"},
                                     {IDC_actBrowseLoad, "actBrowseLoad"},
                                     {IDC_btnLoadFromFile, "btnLoadFromFile"}};
constexpr TEnableRow kSendGroup[] = {{IDC_gbSendToPanel, "gbSendToPanel"},
                                     {IDC_btnSendCodes, "btnSendCodes"},
                                     {IDC_lblUserCodeSend, "lblUserCodeSend"},
                                     {IDC_eUserCodeSend, "eUserCodeSend"}};

template <size_t N>
std::string Mismatches(const TTarvex& app, const TEnableRow (&rows)[N], bool on) {
  std::string wrong;
  for (const TEnableRow& r : rows)
    if (app.Enabled(r.id) != on) wrong += std::string(wrong.empty() ? "" : ", ") + r.name;
  return wrong;
}

// The enabled states of the groups: which are on, the rest off.
void CheckGroups(const TTarvex& app, const std::string& when, bool user, bool save, bool saveButton, bool load, bool send) {
  std::string wrong;
  auto add = [&](const std::string& w) {
    if (!w.empty()) wrong += (wrong.empty() ? "" : ", ") + w;
  };
  add(Mismatches(app, kTopBand, true));
  add(Mismatches(app, kUserCodeGroup, user));
  add(Mismatches(app, kSaveGroup, save));
  if (app.Enabled(IDC_btnSaveToFile) != saveButton) add("btnSaveToFile");
  add(Mismatches(app, kLoadGroup, load));
  add(Mismatches(app, kSendGroup, send));
  Check(wrong.empty(), when + ": enabled states" + (wrong.empty() ? "" : " (wrong: " + wrong + ")"));
}

// Every control's enabled state against what the model says for a state
// (app/window_model.h: the caption labels and the browse buttons follow
// their fields).
void CheckEnables(const TTarvex& app, const TControlEnables& e, const std::string& when) {
  std::string wrong;
  for (const TControlSpec& c : kMainWindowControls)
    if (app.Enabled(win32::DialogId(c.id)) != ControlEnabled(e, c.id))
      wrong += std::string(wrong.empty() ? "" : ", ") + c.name;
  Check(wrong.empty(), when + ": enabled states" + (wrong.empty() ? "" : " (wrong: " + wrong + ")"));
}

// Opens the supported-panels window with open(), checks it in the language
// of the list item and closes it with close(window).
void CheckSupportedPanels(TTarvex& app, int languageIndex, const std::string& how,
                          const std::function<void()>& open, const std::function<void(HWND)>& close) {
  const TSupportedPanelsContent c = SupportedPanelsContent(languageIndex);
  const std::string name = std::string("supported panels (") + kLanguageItems[languageIndex] + ", " + how + ")";
  open();
  HWND w = nullptr;
  if (!Check(WaitFor([&] { return (w = FindWindowOf(app.Pid(), TARVEX_SUPPORTED_PANELS_CLASS, app.Main())) != nullptr; }),
             name + ": opens, owned by the main window"))
    return;
  CheckText(app.Text(w), c.caption, name + ": caption");
  CheckText(app.Text(::GetDlgItem(w, IDC_gbOverview)), c.overview, name + ": overview");
  CheckText(app.Text(::GetDlgItem(w, IDC_lblInfo)), c.info, name + ": info");
  CheckText(app.Text(::GetDlgItem(w, IDC_sMemo1)), Join(c.lines), name + ": the list");
  RECT client{};
  ::GetClientRect(w, &client);
  Check(client.right == 451 && client.bottom == 301,
        name + ": client area " + std::to_string(client.right) + " x " + std::to_string(client.bottom));
  Check(!::IsWindowEnabled(app.Main()), name + ": the main window waits (disabled) while it is open");
  close(w);
  Check(WaitFor([&] { return !::IsWindow(w); }), name + ": closes");
  Check(WaitFor([&] { return ::IsWindowEnabled(app.Main()) != FALSE; }), name + ": the main window is enabled again");
}

// Checks the connection of the selected port.
bool CheckConnection(TTarvex& app, const std::string& expected, const std::string& name) {
  app.Click(IDC_btnCheckConnection);
  if (!Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), name + ": the check ends without a box")) {
    TBox box;
    if (TakeBox(app, &box)) Print("  box: " + box.title + ": " + box.text + "\n");
    return false;
  }
  return CheckText(app.Text(IDC_lblLinkedPanel), expected, name + ": lblLinkedPanel");
}

// The users of a key-code file: name, main-user mark and code of each.
bool FileUsers(const fs::path& file, std::vector<std::string>* users, int32_t* model) {
  // Decoded from a copy under a plain name: this program's narrow file
  // calls use the system's code page, which need not hold the name.
  const fs::path copy = file.parent_path() / "decode.tmp";
  std::error_code ec;
  fs::copy_file(file, copy, fs::copy_options::overwrite_existing, ec);
  std::vector<uint8_t> image;
  std::string error;
  const bool decoded = !ec && DecodeKeyCodeFile(copy.string(), &image, &error) && image.size() == kSmallImageSize;
  fs::remove(copy, ec);
  if (!decoded) {
    Print("  cannot decode " + Utf8FromWide(file.wstring()) + ": " + error + "\n");
    return false;
  }
  SmallPanelImage img;
  std::copy(image.begin(), image.end(), img.Bytes().begin());
  *model = ImageModel(std::span<uint8_t>(image));
  users->clear();
  for (size_t u = 0; u < kUserCount; ++u) {
    const UserEntry e = img.User(u);
    users->push_back(e.Name() + "|" + (e.IsMainUser() ? "main" : "") + "|" + e.Code());
  }
  return true;
}

uintmax_t FileSize(const fs::path& p) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(p, ec);
  return ec ? 0 : size;
}

bool SetClipboardText(const std::wstring& text) {
  if (!::OpenClipboard(nullptr)) return false;
  ::EmptyClipboard();
  HGLOBAL data = ::GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
  std::memcpy(::GlobalLock(data), text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  ::GlobalUnlock(data);
  const bool ok = ::SetClipboardData(CF_UNICODETEXT, data) != nullptr;
  ::CloseClipboard();
  return ok;
}

// Closes the window and checks that the program ends well.
void CloseAndCheck(TTarvex& app, const std::string& name) {
  ::PostMessageW(app.Main(), WM_CLOSE, 0, 0);
  DWORD code = 1;
  Check(app.WaitExit(&code) && code == 0, name + ": the window closes and the program ends with 0");
}

// Every static text of a box (a message box's text; a task dialog's
// content), one a line.
std::string StaticTexts(const TTarvex& app, HWND box) {
  struct TFound {
    const TTarvex* app;
    std::vector<std::string> texts;
  } found{&app, {}};
  ::EnumChildWindows(
      box,
      [](HWND child, LPARAM data) -> BOOL {
        auto* f = reinterpret_cast<TFound*>(data);
        wchar_t cls[32] = {};
        ::GetClassNameW(child, cls, 32);
        if (_wcsicmp(cls, L"Static") == 0) {
          const std::string text = f->app->Text(child);
          if (!text.empty()) f->texts.push_back(text);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return Join(found.texts);
}

// ---- The data window ----

// A list view of the program under test. Its messages carry pointers, so
// the item and its text buffer live in a page of that program's memory.
class TRemoteList {
 public:
  TRemoteList(const TTarvex& app, HWND list) : process_(app.Process()), list_(list) {
    page_ = ::VirtualAllocEx(process_, nullptr, kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  }
  ~TRemoteList() {
    if (page_) ::VirtualFreeEx(process_, page_, 0, MEM_RELEASE);
  }
  TRemoteList(const TRemoteList&) = delete;
  TRemoteList& operator=(const TRemoteList&) = delete;

  int Rows() const { return static_cast<int>(::SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0)); }
  int Columns() const {
    HWND header = reinterpret_cast<HWND>(::SendMessageW(list_, LVM_GETHEADER, 0, 0));
    return header ? static_cast<int>(::SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
  }
  int Selected() const {
    return static_cast<int>(::SendMessageW(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
  }
  std::string Cell(int row, int column) const {
    LVITEMW it{};
    it.iSubItem = column;
    it.pszText = Text();
    it.cchTextMax = kTextChars;
    if (!Put(it)) return "(unreadable)";
    ::SendMessageW(list_, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(page_));
    return ReadText();
  }
  std::string Header(int column) const {
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT;
    col.pszText = Text();
    col.cchTextMax = kTextChars;
    if (!Put(col)) return "(unreadable)";
    ::SendMessageW(list_, LVM_GETCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(page_));
    return ReadText();
  }
  std::vector<std::string> Headers() const {
    std::vector<std::string> out;
    for (int c = 0; c < Columns(); ++c) out.push_back(Header(c));
    return out;
  }
  std::vector<std::string> Column(int column) const {
    std::vector<std::string> out;
    for (int r = 0; r < Rows(); ++r) out.push_back(Cell(r, column));
    return out;
  }
  // Selects a row as a click on it does: the list tells its window.
  void Select(int row) const {
    LVITEMW it{};
    it.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    it.state = LVIS_SELECTED | LVIS_FOCUSED;
    if (Put(it)) ::SendMessageW(list_, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(page_));
  }

 private:
  static constexpr size_t kPage = 4096;
  static constexpr int kTextChars = 512;
  static constexpr size_t kTextOffset = 1024;
  wchar_t* Text() const { return reinterpret_cast<wchar_t*>(static_cast<char*>(page_) + kTextOffset); }
  template <typename T>
  bool Put(const T& value) const {
    static_assert(sizeof(T) <= kTextOffset);
    SIZE_T done = 0;
    const wchar_t empty = 0;
    return page_ && ::WriteProcessMemory(process_, page_, &value, sizeof value, &done) && done == sizeof value &&
           ::WriteProcessMemory(process_, Text(), &empty, sizeof empty, &done);
  }
  std::string ReadText() const {
    std::wstring text(kTextChars, L'\0');
    SIZE_T done = 0;
    if (!::ReadProcessMemory(process_, Text(), text.data(), text.size() * sizeof(wchar_t), &done)) return "(unreadable)";
    text.resize(std::wcslen(text.c_str()));
    return Utf8FromWide(text);
  }
  HANDLE process_;
  HWND list_;
  void* page_ = nullptr;
};

// The data window of the program, once "Show data" has opened it.
struct TDataWin {
  TTarvex& app;
  HWND w = nullptr;
  HWND Item(int id) const { return ::GetDlgItem(w, id); }
  std::string Text(int id) const { return app.Text(Item(id)); }
  bool Enabled(int id) const { return ::IsWindowEnabled(Item(id)) != FALSE; }
  bool Ticked(int id) const { return ::SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
  void Click(int id) const {
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(Item(id), BM_CLICK, 0, 0, SMTO_NORMAL, 120000, &result);
  }
  void SetText(int id, const std::string& text) const {
    const std::wstring t = WideFromUtf8(text);
    ::SendMessageW(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(t.c_str()));
  }
};

// Clicks "Show data" and finds the data window it opens.
bool OpenDataWindow(TTarvex& app, TDataWin* d, const std::string& when) {
  app.Click(IDC_btnShowData);
  d->w = nullptr;
  return Check(WaitFor([&] { return (d->w = FindWindowOf(app.Pid(), TARVEX_DATA_WINDOW_CLASS, app.Main())) != nullptr; }),
               when + ": Show data opens the data window, owned by the main window");
}

void CloseDataWindow(TDataWin& d, const std::string& when) {
  d.Click(IDC_dwClose);
  Check(WaitFor([&] { return !::IsWindow(d.w); }), when + ": Close closes the data window");
}

// A cell that shows no digit of a code: empty, or stars only.
bool Starred(const std::string& cell) {
  return std::all_of(cell.begin(), cell.end(), [](char c) { return c == '*'; });
}

// The digits of a stored code (its leading digits; F marks the rest).
std::string CodeDigits(const std::string& stored) {
  std::string out;
  for (char c : stored) {
    if (c < '0' || c > '9') break;
    out += c;
  }
  return out;
}

// A user of a key-code file: name and code's digits.
bool FileUser(const fs::path& file, size_t user, std::string* name, std::string* digits) {
  const fs::path copy = file.parent_path() / "user.tmp";
  std::error_code ec;
  fs::copy_file(file, copy, fs::copy_options::overwrite_existing, ec);
  std::vector<uint8_t> image;
  std::string error;
  const bool decoded = !ec && DecodeKeyCodeFile(copy.string(), &image, &error) && image.size() == kSmallImageSize;
  fs::remove(copy, ec);
  if (!decoded) return false;
  SmallPanelImage img;
  std::copy(image.begin(), image.end(), img.Bytes().begin());
  const UserEntry e = img.User(user);
  *name = e.Name();
  *digits = CodeDigits(e.Code());
  return true;
}

// What the data window shows, as the user reads it: English, Italian,
// French.
struct TDataWindowTexts {
  std::string caption;  // the title's, after the source
  std::string users, keys, showCodes, showUnusedKeys, name, code, apply, clearUser, undo, redo, save, close;
  std::vector<std::string> userColumns, keyColumns;
  std::string yes;
  std::string nameTooLong, nameOuterSpace, noMainUserCode;
};
const TDataWindowTexts kDataTexts[3] = {
    {"Data", "Users", "Keys and cards", "Show codes", "Show keys not in use", "Name:", "Code:", "Apply", "Clear user",
     "Undo", "Redo", "Save", "Close", {"#", "Name", "Main", "Code"}, {"#", "Name", "Value", "Flags", "In use"}, "yes",
     "A name has at most 16 characters.", "A name cannot start or end with a space.",
     "No main user would have a code: the panel could not be opened again with this tool."},
    {"Dati", "Utenti", "Attivatori", "Mostra codici", "Mostra attivatori non usati", "Nome:", "Codice:", "Applica",
     "Cancella utente", "Annulla", "Ripeti", "Salva", "Chiudi", {"N.", "Nome", "Principale", "Codice"},
     {"N.", "Nome", "Valore", "Flag", "In uso"}, "sì", "Il nome può avere al massimo 16 caratteri.",
     "Il nome non può iniziare o finire con uno spazio.",
     "Nessun utente principale avrebbe un codice: la centrale non si potrebbe più aprire con questo programma."},
    {"Données", "Utilisateurs", "Clés et cartes", "Afficher les codes", "Afficher les clés non utilisées", "Nom :",
     "Code :", "Appliquer", "Effacer l'utilisateur", "Annuler", "Rétablir", "Enregistrer", "Fermer",
     {"N°", "Nom", "Principal", "Code"}, {"N°", "Nom", "Valeur", "Drapeaux", "Utilisée"}, "oui",
     "Le nom ne peut pas dépasser 16 caractères.", "Le nom ne peut pas commencer ou finir par une espace.",
     "Aucun utilisateur principal n'aurait de code : la centrale ne pourrait plus être ouverte avec ce programme."},
};

// The data window's title: the source, the caption, and a star before
// them while changes are unsaved.
std::string DataTitle(const TDataWindowTexts& t, const std::string& source, bool modified) {
  return (modified ? "*" : "") + source + " - " + t.caption;
}

// The window's captions, headers and buttons in a language.
void CheckDataTexts(const TDataWin& d, int lang, const std::string& when) {
  const TDataWindowTexts& t = kDataTexts[lang];
  const std::pair<int, const std::string*> texts[] = {
      {IDC_dwUsersHeading, &t.users},    {IDC_dwKeysHeading, &t.keys},
      {IDC_dwShowCodes, &t.showCodes},   {IDC_dwShowUnusedKeys, &t.showUnusedKeys},
      {IDC_dwUserNameLabel, &t.name},    {IDC_dwUserCodeLabel, &t.code},
      {IDC_dwUserApply, &t.apply},       {IDC_dwClearUser, &t.clearUser},
      {IDC_dwKeyNameLabel, &t.name},     {IDC_dwKeyApply, &t.apply},
      {IDC_dwUndo, &t.undo},             {IDC_dwRedo, &t.redo},
      {IDC_dwSave, &t.save},             {IDC_dwClose, &t.close},
  };
  std::string wrong;
  for (const auto& [id, text] : texts)
    if (d.Text(id) != *text) wrong += (wrong.empty() ? "" : ", ") + std::to_string(id) + " shows " + Quoted(d.Text(id));
  Check(wrong.empty(), when + ": the data window's captions in the language" + (wrong.empty() ? "" : " (" + wrong + ")"));
  const TRemoteList users(d.app, d.Item(IDC_dwUsers));
  const TRemoteList keys(d.app, d.Item(IDC_dwKeys));
  Check(users.Headers() == t.userColumns,
        when + ": the users' column headers: " + Quoted(users.Header(1)) + ", " + Quoted(users.Header(3)));
  Check(keys.Headers() == t.keyColumns,
        when + ": the keys' column headers: " + Quoted(keys.Header(1)) + ", " + Quoted(keys.Header(4)));
}

// Ctrl with a letter, typed into the data window as a user types it.
bool TypeControlKey(const TDataWin& d, int focusId, char letter) {
  ::SetForegroundWindow(d.w);
  if (!WaitFor([&] { return ::GetForegroundWindow() == d.w; })) return false;
  // The focus must be in the window for the keys to reach it.
  DWORD_PTR r = 0;
  ::SendMessageTimeoutW(d.w, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(d.Item(focusId)), TRUE, SMTO_NORMAL, 120000, &r);
  INPUT in[4] = {};
  for (INPUT& i : in) i.type = INPUT_KEYBOARD;
  in[0].ki.wVk = VK_CONTROL;
  in[1].ki.wVk = static_cast<WORD>(letter);
  in[2].ki.wVk = static_cast<WORD>(letter);
  in[2].ki.dwFlags = KEYEVENTF_KEYUP;
  in[3].ki.wVk = VK_CONTROL;
  in[3].ki.dwFlags = KEYEVENTF_KEYUP;
  return ::SendInput(4, in, sizeof(INPUT)) == 4;
}

// The row of the first main user: its "main" cell says yes.
int MainUserRow(const TRemoteList& users, const TDataWindowTexts& t) {
  for (int r = 0; r < users.Rows(); ++r)
    if (users.Cell(r, 2) == t.yes) return r;
  return -1;
}

// ---- The walks ----

void CheckStartUp(TTarvex& app, const std::string& version) {
  CheckText(app.Text(app.Main()), "Tarvex v." + version, "title");
  RECT client{};
  ::GetClientRect(app.Main(), &client);
  Check(client.right == 638 && client.bottom == 295,
        "client area " + std::to_string(client.right) + " x " + std::to_string(client.bottom) + " (638 x 295)");
  const LONG style = ::GetWindowLongW(app.Main(), GWL_STYLE);
  Check((style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME)) == 0 && (style & WS_SYSMENU),
        "a fixed frame with a close box and no minimise or maximise box");
  // The layout in client pixels, as the Qt window's.
  const struct {
    int id;
    RECT want;
    const char* name;
  } places[] = {
      {IDC_gbGeneral, {0, 0, 308, 85}, "gbGeneral"},
      {IDC_cbLingua, {10, 40, 155, 64}, "cbLingua"},
      {IDC_btnCheckConnection, {324, 28, 417, 69}, "btnCheckConnection"},
      {IDC_lblLinkedPanel, {424, 24, 621, 73}, "lblLinkedPanel"},
      {IDC_btnUserCode, {10, 111, 103, 152}, "btnUserCode"},
      {IDC_EUserCode, {217, 129, 306, 152}, "EUserCode"},
      {IDC_eSaveToFile, {15, 188, 300, 211}, "eSaveToFile"},
      {IDC_btnSaveToFile, {101, 215, 214, 256}, "btnSaveToFile"},
      {IDC_btnShowData, {10, 215, 97, 256}, "btnShowData"},
      {IDC_gbLoadFromFile, {322, 91, 638, 185}, "gbLoadFromFile"},
      {IDC_gbSendToPanel, {322, 191, 638, 261}, "gbSendToPanel"},
      {IDC_eUserCodeSend, {539, 229, 628, 252}, "eUserCodeSend"},
      {IDC_pbProgress, {4, 273, 329, 291}, "pbProgress"},
      {IDC_lblProgress, {337, 269, 634, 295}, "lblProgress"},
  };
  std::string wrong;
  for (const auto& p : places) {
    const RECT r = app.Place(p.id);
    if (r.left != p.want.left || r.top != p.want.top || r.right != p.want.right || r.bottom != p.want.bottom)
      wrong += std::string(wrong.empty() ? "" : ", ") + p.name + " at " + std::to_string(r.left) + "," +
               std::to_string(r.top) + "-" + std::to_string(r.right) + "," + std::to_string(r.bottom);
  }
  Check(wrong.empty(), "layout in client pixels" + (wrong.empty() ? std::string() : " (" + wrong + ")"));
  const std::vector<std::string> ports = app.ComboItems(IDC_cbSerial);
  Check(ports.size() >= 2 && ports[0] == "Demo VYR8 (code 1234)" && ports[1] == "Demo VYR32 (code 5678)",
        "the demo panels lead the port list: " + (ports.empty() ? std::string("(empty)") : Quoted(ports[0])));
  Check(app.ComboSelection(IDC_cbSerial) == 0, "the first port is selected");
  const std::vector<std::string> languages = app.ComboItems(IDC_cbLingua);
  Check(languages == std::vector<std::string>{"English", "Italiano", "Francais"}, "the language list's items");
}

void CodeEditChecks(TTarvex& app) {
  // Typing: digits are taken, anything else refused.
  app.SetText(IDC_EUserCode, "");
  app.Type(IDC_EUserCode, "12x3a4");
  CheckText(app.Text(IDC_EUserCode), "1234", "code edit: letters typed are refused");
  app.Type(IDC_EUserCode, "567");
  CheckText(app.Text(IDC_EUserCode), "123456", "code edit: at most six digits");
  // Pastes are refused whole unless the result is a code.
  app.SetText(IDC_EUserCode, "");
  if (Check(SetClipboardText(L"1234567"), "clipboard set")) {
    ::SendMessageW(app.Item(IDC_EUserCode), WM_PASTE, 0, 0);
    CheckText(app.Text(IDC_EUserCode), "", "code edit: a paste of seven digits is refused whole (not cut to six)");
  }
  if (SetClipboardText(L"12\r\n34")) {
    ::SendMessageW(app.Item(IDC_EUserCode), WM_PASTE, 0, 0);
    CheckText(app.Text(IDC_EUserCode), "", "code edit: a paste of two lines is refused whole");
  }
  if (SetClipboardText(L"98")) {
    app.Type(IDC_EUserCode, "12");
    ::SendMessageW(app.Item(IDC_EUserCode), WM_PASTE, 0, 0);
    CheckText(app.Text(IDC_EUserCode), "1298", "code edit: a paste of digits that leaves a code is taken");
    ::SendMessageW(app.Item(IDC_EUserCode), EM_SETSEL, 4, 4);
    ::SendMessageW(app.Item(IDC_EUserCode), WM_PASTE, 0, 0);
    ::SendMessageW(app.Item(IDC_EUserCode), WM_PASTE, 0, 0);
    CheckText(app.Text(IDC_EUserCode), "129898", "code edit: a paste that would make seven digits is refused");
  }
  const std::wstring letters = L"12a";
  const LRESULT set = ::SendMessageW(app.Item(IDC_EUserCode), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(letters.c_str()));
  Check(set == FALSE && app.Text(IDC_EUserCode) == "129898", "code edit: a text that is no code is refused");
  app.SetText(IDC_EUserCode, "");
}

// tarvex.exe --version: a box with the window's title, and no window.
void CheckVersion(const std::wstring& exe, const fs::path& scratch) {
  TTarvex app;
  if (!app.Launch(exe, L"--version", scratch / "LocalAppData")) return;
  HWND box = nullptr;
  if (!Check(WaitFor([&] { return (box = FindWindowOf(app.Pid(), L"#32770", nullptr)) != nullptr || app.Exited(); }) && box,
             "--version shows a box"))
    return;
  CheckText(app.Text(::GetDlgItem(box, 0xFFFF)), std::string("Tarvex v.") + kTarvexVersion, "--version: the box's text");
  CheckText(app.Text(box), "Information", "--version: the box's title");
  ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
  DWORD code = 1;
  Check(app.WaitExit(&code) && code == 0 && !FindWindowOf(app.Pid(), TARVEX_MAIN_WINDOW_CLASS, nullptr),
        "--version: the program ends with 0 without a window");
}

int Walk(const std::wstring& exe) {
  const TRunFolder run("walk");
  const fs::path& scratch = run.path;
  const fs::path backups = scratch / "LocalAppData" / "tarvex" / "backups";
  CheckVersion(exe, scratch);
  TTarvex app;
  if (!Check(app.Start(exe, L"--demo-fast", scratch / "LocalAppData"), "tarvex.exe --demo-fast shows its window")) {
    return 1;
  }

  // ---- Start-up: Italian, only the top band enabled ----
  CheckStartUp(app, kTarvexVersion);
  CheckCaptions(app, TLanguage::Italian, "Italian at start");
  CheckText(app.Text(IDC_btnCheckConnection), "Verifica connessione", "Italian: btnCheckConnection");
  CheckText(app.Text(IDC_gbSendToPanel), "Invia dati alla centrale", "Italian: gbSendToPanel");
  CheckText(app.Text(IDC_lblLinkedPanel), "Nessuna centrale connessa", "Italian: lblLinkedPanel");
  CheckGroups(app, "start-up", false, false, false, false, false);
  CheckSupportedPanels(
      app, 1, "the i button", [&] { app.Click(IDC_TsSupportedPanels); },
      [](HWND w) { ::PostMessageW(::GetDlgItem(w, IDC_sMemo1), WM_KEYDOWN, VK_ESCAPE, 0); });

  // ---- English, French ----
  app.Choose(IDC_cbLingua, 0);
  CheckCaptions(app, TLanguage::English, "English");
  CheckText(app.Text(IDC_btnCheckConnection), "Check panel connection", "English: btnCheckConnection");
  CheckText(app.Text(IDC_btnUserCode), "Load data", "English: btnUserCode");
  CheckSupportedPanels(
      app, 0, "F1", [&] { ::PostMessageW(app.Main(), WM_KEYDOWN, VK_F1, 0); },
      [](HWND w) { ::PostMessageW(w, WM_SYSCOMMAND, SC_CLOSE, 0); });
  app.Choose(IDC_cbLingua, 2);
  CheckCaptions(app, TLanguage::French, "French");
  CheckText(app.Text(IDC_btnCheckConnection), "Vérifier la connection", "French: btnCheckConnection");
  CheckText(app.Text(IDC_gbGeneral), "Options générales", "French: gbGeneral");
  CheckSupportedPanels(
      app, 2, "the i button", [&] { app.Click(IDC_TsSupportedPanels); },
      [](HWND w) { ::PostMessageW(w, WM_CLOSE, 0, 0); });
  CheckSupportedPanels(
      app, 2, "F1", [&] { ::PostMessageW(app.Item(IDC_cbSerial), WM_KEYDOWN, VK_F1, 0); },
      [](HWND w) { ::PostMessageW(w, WM_KEYDOWN, VK_ESCAPE, 0); });
  app.Choose(IDC_cbLingua, 0);
  CheckCaptions(app, TLanguage::English, "back to English");
  // What the user reads in English.
  const struct {
    std::string InvalidCode = "Invalid code!";
    std::string NoPanelConnected = "No panel connected";
    std::string FileNotFound = "File not found!";
    std::string TransferOk = "Transfer successful";
  } en{};

  // ---- The VYR8: check, read, save ----
  if (!CheckConnection(app, "VYR8 v.2.10", "VYR8")) return 1;
  CheckGroups(app, "VYR8 identified", true, false, false, true, false);
  CodeEditChecks(app);
  // A wrong code: the panel refuses it.
  app.Type(IDC_EUserCode, "5678");
  app.Click(IDC_btnUserCode);
  TBox box;
  Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), "a read with a wrong code ends without a box");
  CheckText(app.Text(IDC_lblProgress), en.InvalidCode, "wrong code: status line");
  CheckGroups(app, "after a refused code", true, false, false, true, false);
  app.SetText(IDC_EUserCode, "");
  app.Type(IDC_EUserCode, "1234");
  app.Click(IDC_btnUserCode);
  if (!Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), "read of the VYR8 with 1234 ends without a box")) {
    if (TakeBox(app, &box)) Print("  box: " + box.title + ": " + box.text + "\n");
    return 1;
  }
  CheckText(app.Text(IDC_lblProgress), "Ready", "after the read: status");
  CheckGroups(app, "VYR8 read", true, true, false, true, false);
  const fs::path first = scratch / "vyr8";
  app.Click(IDC_actBrowseSave);
  if (ChooseInFileDialog(app, first.string(), kSaveFilterName, "save dialog"))
    CheckText(app.Text(IDC_eSaveToFile), first.string(), "the save dialog's name goes into eSaveToFile");
  Check(app.Enabled(IDC_btnSaveToFile), "a file name makes the save button ready");
  app.Click(IDC_btnSaveToFile);
  const fs::path firstFile = scratch / "vyr8.tvx";
  Check(!app.Box(), "the save shows no box");
  Check(FileSize(firstFile) == kSmallFileSize,
        "saved " + firstFile.filename().string() + ": " + std::to_string(FileSize(firstFile)) + " bytes (8416)");
  CheckGroups(app, "after the save (no panel)", false, false, false, false, false);
  CheckText(app.Text(IDC_lblLinkedPanel), en.NoPanelConnected, "after the save: lblLinkedPanel");

  // ---- Load it back into the VYR8's window state ----
  if (!CheckConnection(app, "VYR8 v.2.10", "VYR8 again")) return 1;
  app.SetText(IDC_eLoadFromFile, (scratch / "missing.tvx").string());
  app.Click(IDC_btnLoadFromFile);
  if (Check(TakeBox(app, &box), "loading a missing file shows a box")) {
    CheckText(box.text, en.FileNotFound, "missing file: box text");
    CheckText(box.title, "Error", "missing file: box title");
  }
  app.Click(IDC_actBrowseLoad);
  if (ChooseInFileDialog(app, firstFile.string(), "", "open dialog"))
    CheckText(app.Text(IDC_eLoadFromFile), firstFile.string(), "the open dialog's name goes into eLoadFromFile");
  app.Click(IDC_btnLoadFromFile);
  Check(!app.Box(), "the load shows no box");
  CheckGroups(app, "VYR8 file loaded", true, false, false, true, true);

  // ---- The VYR32: check, load, send with its code ----
  app.Choose(IDC_cbSerial, 1);
  if (!CheckConnection(app, "VYR32 v.2.10", "VYR32")) return 1;
  CheckGroups(app, "VYR32 identified", true, false, false, true, false);
  app.Click(IDC_btnLoadFromFile);
  Check(!app.Box(), "the load into the VYR32's session shows no box");
  CheckGroups(app, "file loaded for the VYR32", true, false, false, true, true);
  app.Type(IDC_eUserCodeSend, "5678");
  app.Click(IDC_btnSendCodes);
  if (Check(TakeBox(app, &box), "the send ends with a box")) {
    Check(box.text.rfind(en.TransferOk, 0) == 0, "send: the box starts with " + Quoted(en.TransferOk) + ": " + Quoted(box.text));
    CheckText(box.title, "Information", "send: box title");
  }
  Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), "the send ends");
  CheckGroups(app, "after the send (no panel)", false, false, false, false, false);
  std::vector<fs::path> backupFiles;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(backups, ec)) backupFiles.push_back(e.path());
  Check(backupFiles.size() == 1 && backupFiles[0].filename().string().rfind("VYR32-", 0) == 0 &&
            FileSize(backupFiles[0]) == kSmallFileSize,
        "the target's backup is in LOCALAPPDATA\\tarvex\\backups: " +
            (backupFiles.empty() ? std::string("none") : backupFiles[0].filename().string()));

  // ---- The VYR32 now answers to the VYR8's main code, with its users ----
  if (!CheckConnection(app, "VYR32 v.2.10", "VYR32 after the send")) return 1;
  app.Type(IDC_EUserCode, "5678");
  app.Click(IDC_btnUserCode);
  Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), "VYR32: a read with its old code 5678 ends");
  CheckText(app.Text(IDC_lblProgress), en.InvalidCode, "VYR32: its old code is refused");
  CheckGroups(app, "VYR32 after its old code", true, false, false, true, false);
  app.SetText(IDC_EUserCode, "");
  app.Type(IDC_EUserCode, "1234");
  app.Click(IDC_btnUserCode);
  Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), "VYR32: read with the VYR8's code 1234");
  CheckText(app.Text(IDC_lblProgress), "Ready", "VYR32 read: status");
  // A name outside the ANSI code pages: the window hands it on as UTF-8,
  // which the program's manifest makes the code page of its file calls.
  const fs::path second = scratch / fs::path(L"vyr32-\u00e9\u0141\u4e2d.tvx");
  app.SetText(IDC_eSaveToFile, Utf8FromWide(second.wstring()));
  app.Click(IDC_btnSaveToFile);
  Check(!app.Box() && FileSize(second) == kSmallFileSize,
        "saved " + Utf8FromWide(second.filename().wstring()) + " (a name beyond Latin-1): " + std::to_string(FileSize(second)) +
            " bytes");
  std::vector<std::string> usersA, usersB;
  int32_t modelA = 0, modelB = 0;
  if (FileUsers(firstFile, &usersA, &modelA) && FileUsers(second, &usersB, &modelB)) {
    Check(modelA != modelB, "the two files come from two models (" + std::to_string(modelA) + ", " +
                                std::to_string(modelB) + ")");
    Check(usersA == usersB, "the VYR32 holds the VYR8's 24 users: names, main user and codes");
    Check(std::count_if(usersA.begin(), usersA.end(), [](const std::string& u) { return u.find("|main|1234") != std::string::npos; }) >= 1,
          "the main user's code is 1234");
  } else {
    Check(false, "both files decode");
  }

  CloseAndCheck(app, "walk");
  return 0;
}

int WireTime(const std::wstring& exe) {
  const TRunFolder run("wire");
  const fs::path& scratch = run.path;
  TTarvex app;
  if (!Check(app.Start(exe, L"--demo", scratch / "LocalAppData"), "tarvex.exe --demo shows its window")) return 1;
  app.Choose(IDC_cbLingua, 0);
  app.Click(IDC_btnCheckConnection);
  // The click has been handled: the operation runs until the panel has
  // answered, some 0.6 s on the line.
  const bool busySeen = !app.Enabled(IDC_btnCheckConnection) && !app.Enabled(IDC_cbLingua) && !app.Enabled(IDC_cbSerial);
  Check(busySeen, "during the check: language, port and check are off");
  Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), "the check ends");
  CheckText(app.Text(IDC_lblLinkedPanel), "VYR8 v.2.10", "check with wire time: lblLinkedPanel");

  // A first read, and the data window open over what it read.
  app.Type(IDC_EUserCode, "1234");
  app.Click(IDC_btnUserCode);
  Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), "a first read ends");
  TDataWin d{app};
  const bool dataOpen = OpenDataWindow(app, &d, "wire time");
  const TRemoteList users(app, d.Item(IDC_dwUsers));
  Check(dataOpen && users.Rows() == static_cast<int>(kUserCount) && d.Enabled(IDC_dwUserApply),
        "the data window shows the users read");

  app.Click(IDC_btnUserCode);
  HWND bar = app.Item(IDC_pbProgress);
  LRESULT pos = 0, max = 0;
  std::string status;
  const bool partWay = WaitFor([&] {
    pos = ::SendMessageW(bar, PBM_GETPOS, 0, 0);
    max = ::SendMessageW(bar, PBM_GETRANGE, FALSE, 0);
    status = app.Text(IDC_lblProgress);
    return app.Idle() || (pos > 0 && pos < max && max > 1);
  });
  Check(partWay && !app.Idle(), "during the read the bar stands part-way: " + std::to_string(pos) + " of " + std::to_string(max));
  Check(!status.empty() && status != "Ready", "during the read the status line says what runs: " + Quoted(status));
  // The image is being read into: the data window shows none of it and
  // takes no edit.
  Check(dataOpen && users.Rows() == 0 && !d.Enabled(IDC_dwUserApply) && !d.Enabled(IDC_dwClearUser) &&
            !d.Enabled(IDC_dwUndo) && !d.Enabled(IDC_dwSave),
        "during the read the data window shows no rows and takes no edit: " + std::to_string(users.Rows()) + " rows");
  TControlStates afterFirstRead;
  afterFirstRead.PanelIdentified();
  afterFirstRead.DataRead();
  CheckEnables(app, EnablesFor(afterFirstRead, true), "during the read (the model's rule for a busy panel)");
  Check(!app.Enabled(IDC_btnCheckConnection) && !app.Enabled(IDC_btnUserCode) && !app.Enabled(IDC_btnLoadFromFile) &&
            !app.Enabled(IDC_cbLingua) && !app.Enabled(IDC_cbSerial) && app.Enabled(IDC_EUserCode),
        "during the read: language, port and the buttons that start an operation are off");
  // A close during the read waits for its end: once the close box's
  // message has been handled, the window is still there.
  DWORD_PTR r = 0;
  const bool handled = ::SendMessageTimeoutW(app.Main(), WM_CLOSE, 0, 0, SMTO_NORMAL, 60000, &r) != 0;
  const bool stillBusy = !app.Idle();
  Check(handled && stillBusy && ::IsWindow(app.Main()), "a close during the read leaves the window until the read ends");
  DWORD code = 1;
  Check(app.WaitExit(&code) && code == 0, "once the read has ended the window closes and the program ends with 0");
  return 0;
}

// Logging off or shutting down: idle, or while a check or a read runs, the
// window lets the session end; while a send runs it asks Windows to wait,
// says in the status line that it closes when the operation ends, and
// closes once the send has ended.
int EndSession(const std::wstring& exe) {
  const TRunFolder run("end-session");
  const fs::path& scratch = run.path;
  const fs::path backups = scratch / "LocalAppData" / "tarvex" / "backups";
  TTarvex app;
  if (!Check(app.Start(exe, L"--demo", scratch / "LocalAppData"), "tarvex.exe --demo shows its window")) return 1;
  app.Choose(IDC_cbLingua, 0);
  // The window's answer to the query; -1 when it did not answer.
  auto query = [&app] {
    DWORD_PTR r = 0;
    if (!::SendMessageTimeoutW(app.Main(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 60000, &r)) return -1;
    return static_cast<int>(r);
  };
  Check(query() == TRUE, "idle: the window lets the session end");

  app.Click(IDC_btnCheckConnection);
  const bool checking = !app.Idle();
  Check(checking && query() == TRUE, "during a check: the window lets the session end");
  Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), "the check ends");
  CheckText(app.Text(IDC_lblLinkedPanel), "VYR8 v.2.10", "the VYR8 is identified");
  app.Type(IDC_EUserCode, "1234");
  app.Click(IDC_btnUserCode);
  const bool reading = !app.Idle();
  Check(reading && query() == TRUE, "during a read: the window lets the session end");
  Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), "the read ends");
  Check(::IsWindow(app.Main()) != FALSE, "the window is still there after the read");
  const fs::path file = scratch / "site";
  app.SetText(IDC_eSaveToFile, file.string());
  app.Click(IDC_btnSaveToFile);
  Check(FileSize(scratch / "site.tvx") == kSmallFileSize, "the VYR8's data saved");

  if (!CheckConnection(app, "VYR8 v.2.10", "VYR8 again")) return 1;
  app.SetText(IDC_eLoadFromFile, (scratch / "site.tvx").string());
  app.Click(IDC_btnLoadFromFile);
  app.Type(IDC_eUserCodeSend, "1234");
  app.Click(IDC_btnSendCodes);
  const bool sending = !app.Idle();
  const int answer = query();
  const std::string status = app.Text(IDC_lblProgress);
  Check(sending && answer == FALSE, "during the send: the window asks Windows to wait (" + std::to_string(answer) + ")");
  CheckText(status, "The window will close when the operation ends.", "during the send: status line");
  Check(::IsWindow(app.Main()) && !app.Idle(), "the send runs on");
  TBox box;
  if (Check(TakeBox(app, &box), "the send ends with its box")) {
    Check(box.text.rfind("Transfer successful", 0) == 0, "the send ran to its end: " + Quoted(box.text));
  }
  DWORD code = 1;
  Check(app.WaitExit(&code) && code == 0, "once the send has ended the window closes and the program ends with 0");
  std::error_code ec;
  Check(fs::exists(backups, ec) && !fs::is_empty(backups, ec), "the send's backup was taken");
  return 0;
}

// A diagnosis, not a test: how a start goes, in milliseconds from the
// launch. When the main window shows, when its port list is complete (the
// check on), what the list holds, and the longest time the window took to
// answer a message meanwhile (a window thread held by a port would show
// here).
int StartUp(const std::wstring& exe, const std::wstring& options) {
  const TRunFolder run("start-up");
  TTarvex app;
  const ULONGLONG start = ::GetTickCount64();
  if (!app.Launch(exe, options, run.path / "LocalAppData")) return 1;
  HWND main = nullptr;
  const bool shown = WaitFor([&] {
    main = FindWindowOf(app.Pid(), TARVEX_MAIN_WINDOW_CLASS, nullptr);
    return main != nullptr || app.Exited();
  }, 300000) && main;
  const ULONGLONG shownAt = ::GetTickCount64() - start;
  ULONGLONG longest = 0;
  bool complete = false;
  const ULONGLONG until = ::GetTickCount64() + 300000;
  while (shown && !complete && ::GetTickCount64() < until) {
    const ULONGLONG asked = ::GetTickCount64();
    DWORD_PTR r = 0;
    ::SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_NORMAL, 300000, &r);
    longest = std::max(longest, ::GetTickCount64() - asked);
    complete = ::IsWindowEnabled(::GetDlgItem(main, IDC_btnCheckConnection)) != FALSE;
    if (!complete) ::Sleep(20);
  }
  const ULONGLONG completeAt = ::GetTickCount64() - start;
  std::string ports;
  if (shown) {
    HWND combo = ::GetDlgItem(main, IDC_cbSerial);
    const LRESULT count = ::SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      wchar_t text[512] = {};
      if (::SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) < 511)
        ::SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
      ports += (ports.empty() ? "" : ", ") + Quoted(Utf8FromWide(text));
    }
  }
  Print("start-up: window " + (shown ? std::to_string(shownAt) + " ms" : std::string("never")) +
        ", list complete " + (complete ? std::to_string(completeAt) + " ms" : std::string("never")) +
        ", longest answer " + std::to_string(longest) + " ms, ports: " + ports + "\n");
  if (shown) ::PostMessageW(main, WM_CLOSE, 0, 0);
  DWORD code = 0;
  app.WaitExit(&code);
  return shown && complete ? 0 : 1;
}

int Serial(const std::wstring& exe, const std::string& label, const std::string& code, const std::string& description) {
  const TRunFolder run("serial");
  const fs::path& scratch = run.path;
  TTarvex app;
  if (!Check(app.Start(exe, L"", scratch / "LocalAppData"), "tarvex.exe shows its window")) return 1;
  const std::vector<std::string> ports = app.ComboItems(IDC_cbSerial);
  const auto at = std::find(ports.begin(), ports.end(), label);
  std::string listed;
  for (const std::string& p : ports) listed += (listed.empty() ? "" : ", ") + Quoted(p);
  if (!Check(at != ports.end(), "the port list holds " + Quoted(label) + ": " + listed)) return 1;
  app.Choose(IDC_cbSerial, static_cast<int>(at - ports.begin()));
  if (!CheckConnection(app, description, label)) return 1;
  app.Type(IDC_EUserCode, code);
  app.Click(IDC_btnUserCode);
  Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), "read over " + label + " ends without a box");
  CheckText(app.Text(IDC_lblProgress), "Pronto", "read over the port: status");
  CheckGroups(app, "read over the port", true, true, false, true, false);
  CloseAndCheck(app, "serial");
  return 0;
}

int DataWalk(const std::wstring& exe) {
  const TRunFolder run("data");
  const fs::path& scratch = run.path;
  TTarvex app;
  if (!Check(app.Start(exe, L"--demo-fast", scratch / "LocalAppData"), "tarvex.exe --demo-fast shows its window")) return 1;
  app.Choose(IDC_cbLingua, 0);
  const TDataWindowTexts& en = kDataTexts[0];
  CheckText(app.Text(IDC_btnShowData), "Show data", "English: btnShowData");
  Check(!app.Enabled(IDC_btnShowData), "Show data is off while no image holds data");

  // ---- A read of the demo VYR8 ----
  if (!CheckConnection(app, "VYR8 v.2.10", "VYR8")) return 1;
  Check(!app.Enabled(IDC_btnShowData), "Show data is off after a check (nothing read yet)");
  app.Type(IDC_EUserCode, "1234");
  app.Click(IDC_btnUserCode);
  if (!Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), "read of the VYR8 ends without a box")) return 1;
  Check(app.Enabled(IDC_btnShowData), "Show data is on after the read");
  const std::string source = app.Text(IDC_lblLinkedPanel);

  TDataWin d{app};
  if (!OpenDataWindow(app, &d, "after the read")) return 1;
  CheckText(app.Text(d.w), DataTitle(en, source, false), "the title names the panel read");
  RECT client{};
  ::GetClientRect(d.w, &client);
  Check(client.right == data_window_layout::kClientWidth && client.bottom == data_window_layout::kClientHeight,
        "data window: client area " + std::to_string(client.right) + " x " + std::to_string(client.bottom));
  CheckDataTexts(d, 0, "English");
  const TRemoteList users(app, d.Item(IDC_dwUsers));
  const TRemoteList keys(app, d.Item(IDC_dwKeys));
  Check(users.Rows() == static_cast<int>(kUserCount), "24 users: " + std::to_string(users.Rows()));
  Check(users.Cell(0, 0) == "0" && users.Cell(23, 0) == "23", "users are numbered 0 to 23");
  const int mainRow = MainUserRow(users, en);
  if (!Check(mainRow >= 0, "a main user is marked " + Quoted(en.yes))) return 1;

  // ---- Codes: stars until "Show codes" is ticked ----
  Check(!d.Ticked(IDC_dwShowCodes), "Show codes starts unticked");
  std::vector<std::string> codes = users.Column(3);
  Check(std::all_of(codes.begin(), codes.end(), Starred) && codes[static_cast<size_t>(mainRow)] == "****",
        "codes hidden: stars only, one per digit (the main user's: " + Quoted(codes[static_cast<size_t>(mainRow)]) + ")");
  d.Click(IDC_dwShowCodes);
  Check(d.Ticked(IDC_dwShowCodes), "Show codes ticked");
  codes = users.Column(3);
  // The code itself is never printed.
  Check(codes[static_cast<size_t>(mainRow)] == "1234", "codes shown: the main user's code shows the code that opened the panel");
  Check(std::none_of(codes.begin(), codes.end(), [](const std::string& c) { return !c.empty() && c.find('*') != std::string::npos; }),
        "codes shown: no stars left");
  d.Click(IDC_dwShowCodes);
  codes = users.Column(3);
  Check(!d.Ticked(IDC_dwShowCodes) && std::all_of(codes.begin(), codes.end(), Starred), "unticked: stars again");

  // ---- Keys: those in use, all when asked ----
  const int keysInUse = keys.Rows();
  Check(!d.Ticked(IDC_dwShowUnusedKeys) && keysInUse < static_cast<int>(kKeyCount),
        "keys not in use are hidden: " + std::to_string(keysInUse) + " shown");
  const std::vector<std::string> inUse = keys.Column(4);
  Check(std::all_of(inUse.begin(), inUse.end(), [&](const std::string& c) { return c == en.yes; }),
        "every key shown is in use");
  d.Click(IDC_dwShowUnusedKeys);
  Check(keys.Rows() == static_cast<int>(kKeyCount), "Show keys not in use: 128 keys: " + std::to_string(keys.Rows()));
  d.Click(IDC_dwShowUnusedKeys);
  Check(keys.Rows() == keysInUse, "unticked: the keys in use only");

  // ---- Rename a user, refused and made ----
  const int row = mainRow == 1 ? 2 : 1;
  const std::string oldName = users.Cell(row, 1);
  users.Select(row);
  Check(users.Selected() == row, "user " + std::to_string(row) + " selected");
  CheckText(d.Text(IDC_dwUserName), oldName, "the form shows the user's name");
  Check(d.Text(IDC_dwUserCode).empty(), "with codes hidden the form's code field is empty");
  d.SetText(IDC_dwUserName, "A name far too long");
  d.Click(IDC_dwUserApply);
  CheckText(d.Text(IDC_dwUserRefusal), en.nameTooLong, "a name of 19 characters: the reason beside the form");
  CheckText(users.Cell(row, 1), oldName, "the refused name changes nothing");
  Check(!FindWindowOf(app.Pid(), L"#32770", d.w) && !app.Box(), "a refusal opens no box");
  Check(!d.Enabled(IDC_dwUndo), "nothing to undo yet");
  const std::string newName = "Anna Verdi";
  d.SetText(IDC_dwUserName, newName);
  d.Click(IDC_dwUserApply);
  CheckText(users.Cell(row, 1), newName, "the rename shows in the table");
  Check(d.Text(IDC_dwUserRefusal).empty(), "the reason goes once an edit is made");
  CheckText(app.Text(d.w), DataTitle(en, source, true), "the title marks unsaved changes");
  Check(d.Enabled(IDC_dwUndo) && !d.Enabled(IDC_dwRedo), "undo on, redo off");

  // ---- Change the user's code ----
  d.SetText(IDC_dwUserCode, "4321");
  d.Click(IDC_dwUserApply);
  CheckText(users.Cell(row, 3), "****", "the new code shows as stars");
  CheckText(users.Cell(row, 1), newName, "the name stays");
  d.Click(IDC_dwShowCodes);
  Check(users.Cell(row, 3) == "4321", "revealed, the new code shows its digits");
  // ---- The main user's code cannot go ----
  users.Select(mainRow);
  d.SetText(IDC_dwUserCode, "");
  d.Click(IDC_dwUserApply);
  CheckText(d.Text(IDC_dwUserRefusal), en.noMainUserCode, "emptying the main user's code is refused with its reason");
  Check(users.Cell(mainRow, 3) == "1234", "the main user keeps the code");
  d.Click(IDC_dwShowCodes);
  users.Select(row);

  // ---- Undo and redo: Ctrl+Z and Ctrl+Y, then the buttons ----
  const bool typed = TypeControlKey(d, IDC_dwUsers, 'Z');
  Check(typed && WaitFor([&] { return d.Enabled(IDC_dwRedo); }), "Ctrl+Z undoes: redo is on");
  CheckText(users.Cell(row, 1), newName, "after one undo the name stays");
  d.Click(IDC_dwShowCodes);
  Check(users.Cell(row, 3) != "4321", "Ctrl+Z took the new code back");
  d.Click(IDC_dwShowCodes);
  d.Click(IDC_dwUndo);
  CheckText(users.Cell(row, 1), oldName, "Undo takes the rename back");
  CheckText(app.Text(d.w), DataTitle(en, source, false), "undone to the read: no unsaved mark");
  Check(!d.Enabled(IDC_dwUndo) && d.Enabled(IDC_dwRedo), "undo off, redo on");
  Check(TypeControlKey(d, IDC_dwUsers, 'Y') && WaitFor([&] { return users.Cell(row, 1) == newName; }),
        "Ctrl+Y redoes the rename: " + Quoted(users.Cell(row, 1)));
  d.Click(IDC_dwRedo);
  CheckText(users.Cell(row, 3), "****", "Redo puts the new code back");
  Check(!d.Enabled(IDC_dwRedo), "nothing left to redo");

  // ---- Save, then load the file back ----
  // Read and never saved, with no name in "Save data to file": the save
  // dialog asks for one.
  const fs::path file = scratch / "edited.tvx";
  CheckText(app.Text(IDC_eSaveToFile), "", "no name to save to yet");
  ::PostMessageW(d.Item(IDC_dwSave), BM_CLICK, 0, 0);
  Check(WaitFor([&] { return app.Box() != nullptr; }) && !::IsWindowEnabled(d.w),
        "while the save dialog is open the data window waits (disabled)");
  if (ChooseInFileDialog(app, (scratch / "edited").string(), kSaveFilterName, "the data window's save"))
    CheckText(app.Text(IDC_eSaveToFile), (scratch / "edited").string(), "the name chosen goes into eSaveToFile");
  Check(WaitFor([&] { return ::IsWindowEnabled(d.w) != FALSE; }), "the dialog closed, the data window takes input again");
  WaitFor([&] { return FileSize(file) > 0; });
  Check(!app.Box() && FileSize(file) == kSmallFileSize, "the data window's Save writes " + file.filename().string() +
                                                            ": " + std::to_string(FileSize(file)) + " bytes");
  CheckText(app.Text(d.w), DataTitle(en, "edited.tvx", false), "after the save the title names the file, unmarked");
  std::string savedName, savedDigits;
  if (Check(FileUser(file, static_cast<size_t>(row), &savedName, &savedDigits), "the saved file decodes")) {
    CheckText(savedName, newName, "the file holds the new name");
    Check(savedDigits == "4321", "the file holds the new code");
  }
  CloseDataWindow(d, "after the save");

  app.SetText(IDC_eLoadFromFile, file.string());
  app.Click(IDC_btnLoadFromFile);
  Check(app.WaitIdleOrBox() && !app.Box(), "the load shows no box");
  if (!OpenDataWindow(app, &d, "after the load")) return 1;
  CheckText(app.Text(d.w), DataTitle(en, "edited.tvx", false), "the title names the file loaded");
  const TRemoteList loaded(app, d.Item(IDC_dwUsers));
  CheckText(loaded.Cell(row, 1), newName, "the loaded file shows the new name");
  Check(!d.Ticked(IDC_dwShowCodes) && loaded.Cell(row, 3) == "****", "opened again: codes hidden");
  d.Click(IDC_dwShowCodes);
  Check(loaded.Cell(row, 3) == "4321", "revealed, the loaded file shows the new code");

  // ---- Italian: the window follows the main window's language ----
  app.Choose(IDC_cbLingua, 1);
  const TDataWindowTexts& it = kDataTexts[1];
  CheckDataTexts(d, 1, "Italian");
  CheckText(app.Text(IDC_btnShowData), "Mostra dati", "Italian: btnShowData");
  CheckText(app.Text(d.w), DataTitle(it, "edited.tvx", false), "Italian: title");
  Check(d.Ticked(IDC_dwShowCodes) && loaded.Cell(row, 3) == "4321", "a change of language keeps the tick");
  const int mainLoaded = MainUserRow(loaded, it);
  loaded.Select(mainLoaded);
  d.SetText(IDC_dwUserCode, "");
  d.Click(IDC_dwUserApply);
  CheckText(d.Text(IDC_dwUserRefusal), it.noMainUserCode, "Italian: the main user's code cannot go");
  const int other = row == 3 ? 4 : 3;
  loaded.Select(other);
  d.SetText(IDC_dwUserName, " Bianchi");
  d.Click(IDC_dwUserApply);
  CheckText(d.Text(IDC_dwUserRefusal), it.nameOuterSpace, "Italian: a name with a leading space is refused");
  // Enter in the name field applies the form.
  d.SetText(IDC_dwUserName, "Bianchi");
  ::PostMessageW(d.Item(IDC_dwUserName), WM_KEYDOWN, VK_RETURN, 0);
  Check(WaitFor([&] { return loaded.Cell(other, 1) == "Bianchi"; }),
        "Italian: Enter in the name field renames: " + Quoted(loaded.Cell(other, 1)));
  CheckText(app.Text(d.w), DataTitle(it, "edited.tvx", true), "Italian: the title marks the change");
  d.Click(IDC_dwClearUser);
  Check(loaded.Cell(other, 1).empty() && loaded.Cell(other, 3).empty(), "Italian: Clear user empties name and code");
  d.Click(IDC_dwUndo);
  CheckText(loaded.Cell(other, 1), "Bianchi", "Italian: Undo brings the user back");
  d.Click(IDC_dwUndo);
  CheckText(app.Text(d.w), DataTitle(it, "edited.tvx", false), "Italian: undone to the file");

  // ---- French captions ----
  app.Choose(IDC_cbLingua, 2);
  CheckDataTexts(d, 2, "French");
  CheckText(app.Text(IDC_btnShowData), "Voir les données", "French: btnShowData");
  const TDataWindowTexts& fr = kDataTexts[2];
  CheckText(app.Text(d.w), DataTitle(fr, "edited.tvx", false), "French: title");
  loaded.Select(mainLoaded);
  d.SetText(IDC_dwUserCode, "");
  d.Click(IDC_dwUserApply);
  CheckText(d.Text(IDC_dwUserRefusal), fr.noMainUserCode, "French: the main user's code cannot go");

  // ---- Unsaved changes are never dropped silently (French) ----
  d.Click(IDC_dwShowCodes);  // codes hidden again for the questions
  loaded.Select(other);
  d.SetText(IDC_dwUserName, "Martin");
  d.Click(IDC_dwUserApply);
  CheckText(app.Text(d.w), DataTitle(fr, "edited.tvx", true), "French: an unsaved change");
  // A load: Cancel keeps everything, Don't save loads.
  HWND question = nullptr;
  auto ask = [&](const std::string& when, const std::string& source) {
    question = nullptr;
    const bool open = WaitFor([&] { return (question = app.Box()) != nullptr || app.Exited(); }) && question;
    if (!Check(open, when + ": the question opens, owned by the main window")) return false;
    CheckText(StaticTexts(app, question), "Enregistrer les modifications de " + source + " ?", when + ": the question");
    CheckText(app.Text(::GetDlgItem(question, IDC_answerSave)), "Enregistrer", when + ": Save");
    CheckText(app.Text(::GetDlgItem(question, IDC_answerDiscard)), "Ne pas enregistrer", when + ": Don't save");
    CheckText(app.Text(::GetDlgItem(question, IDC_answerCancel)), "Annuler", when + ": Cancel");
    Check(!::IsWindowEnabled(d.w), when + ": the data window waits meanwhile");
    return true;
  };
  auto answer = [&](int button, const std::string& when) {
    ::PostMessageW(question, TDM_CLICK_BUTTON, static_cast<WPARAM>(button), 0);
    Check(WaitFor([&] { return !::IsWindow(question); }), when + ": the question closes");
  };
  app.Click(IDC_btnLoadFromFile);
  if (ask("a load over unsaved changes", "edited.tvx")) answer(IDC_answerCancel, "Cancel");
  Check(WaitFor([&] { return ::IsWindowEnabled(d.w) != FALSE; }), "Cancel: the data window takes input again");
  CheckText(loaded.Cell(other, 1), "Martin", "Cancel: the change stays");
  CheckText(app.Text(d.w), DataTitle(fr, "edited.tvx", true), "Cancel: still unsaved");
  std::string onDisk, onDiskDigits;
  Check(FileUser(file, static_cast<size_t>(other), &onDisk, &onDiskDigits) && onDisk != "Martin",
        "Cancel: the file is untouched: " + Quoted(onDisk));
  app.Click(IDC_btnLoadFromFile);
  if (ask("the load again", "edited.tvx")) answer(IDC_answerDiscard, "Don't save");
  Check(WaitFor([&] { return loaded.Cell(other, 1) == onDisk; }), "Don't save: the file is loaded over the change");
  CheckText(app.Text(d.w), DataTitle(fr, "edited.tvx", false), "Don't save: nothing unsaved");

  // ---- A send writes what the window holds, changes included ----
  CloseDataWindow(d, "before the send");
  app.Choose(IDC_cbSerial, 1);
  if (!CheckConnection(app, "VYR32 v.2.10", "VYR32")) return 1;
  app.Click(IDC_btnLoadFromFile);
  Check(app.WaitIdleOrBox() && !app.Box(), "the file loads for the VYR32");
  if (!OpenDataWindow(app, &d, "before the send")) return 1;
  const TRemoteList sent(app, d.Item(IDC_dwUsers));
  sent.Select(other);
  d.SetText(IDC_dwUserName, "Dupont");
  d.Click(IDC_dwUserApply);
  CheckText(sent.Cell(other, 1), "Dupont", "a change before the send");
  app.Type(IDC_eUserCodeSend, "5678");
  app.Click(IDC_btnSendCodes);
  TBox box;
  if (Check(TakeBox(app, &box), "the send ends with a box"))
    Check(box.text.rfind("Transfert réussi!", 0) == 0, "the send succeeds: " + Quoted(box.text));
  Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), "the send ends");
  Check(FileUser(file, static_cast<size_t>(other), &onDisk, &onDiskDigits) && onDisk != "Dupont",
        "the send leaves the file as it was: " + Quoted(onDisk));
  // The VYR32 answers to the file's main code and holds the change; the
  // change is still unsaved, so the read asks first.
  if (!CheckConnection(app, "VYR32 v.2.10", "VYR32 after the send")) return 1;
  app.SetText(IDC_EUserCode, "");
  app.Type(IDC_EUserCode, "1234");
  app.Click(IDC_btnUserCode);
  if (ask("a read over unsaved changes", "edited.tvx")) answer(IDC_answerDiscard, "Don't save");
  // The question answered, the read runs; once it has ended the window
  // names the panel read.
  Check(WaitFor([&] { return app.Text(d.w) == DataTitle(fr, "VYR32 v.2.10", false) || app.Box(); }) && !app.Box(),
        "the read of the VYR32 ends: " + Quoted(app.Text(d.w)));
  Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), "the window is idle again");
  CheckText(app.Text(IDC_lblProgress), "Prêt", "the read of the VYR32: status");
  const TRemoteList readBack(app, d.Item(IDC_dwUsers));
  CheckText(readBack.Cell(other, 1), "Dupont", "the VYR32 holds the name changed in the window before the send");
  CheckText(readBack.Cell(row, 1), newName, "and the name saved in the file");
  d.Click(IDC_dwShowCodes);
  Check(readBack.Cell(row, 3) == "4321", "and the code saved in the file");
  d.Click(IDC_dwShowCodes);

  // ---- Esc closes it; the main window stays ----
  ::PostMessageW(d.Item(IDC_dwUsers), WM_KEYDOWN, VK_ESCAPE, 0);
  Check(WaitFor([&] { return !::IsWindow(d.w); }), "Esc closes the data window");
  Check(::IsWindow(app.Main()) != FALSE, "the main window stays");

  // ---- Closing the program over a change: Save saves it first ----
  if (!OpenDataWindow(app, &d, "before the close")) return 1;
  const TRemoteList last(app, d.Item(IDC_dwUsers));
  last.Select(other);
  d.SetText(IDC_dwUserName, "Martin");
  d.Click(IDC_dwUserApply);
  const fs::path closing = scratch / "closing.tvx";
  app.SetText(IDC_eSaveToFile, closing.string());
  ::PostMessageW(app.Main(), WM_CLOSE, 0, 0);
  if (ask("closing the program", "VYR32 v.2.10")) answer(IDC_answerSave, "Save");
  DWORD exitCode = 1;
  Check(app.WaitExit(&exitCode) && exitCode == 0, "after Save the program ends with 0");
  Check(FileUser(closing, static_cast<size_t>(other), &onDisk, &onDiskDigits) && onDisk == "Martin",
        "Save: the file holds the change: " + Quoted(onDisk));
  return 0;
}

// A send over the port that stops just after its code block (the VYR8
// behind it ignores its fourth write): the box names the backup and asks
// whether to put it back; Yes does, proving the sent file's code, which
// the panel took with the code block. The panel then answers to its own
// code again and holds what a send of the backup writes.
int Restore(const std::wstring& exe, const std::string& label, const std::string& code, const std::string& description) {
  const TRunFolder run("restore");
  const fs::path& scratch = run.path;
  const fs::path backups = scratch / "LocalAppData" / "tarvex" / "backups";
  TTarvex app;
  if (!Check(app.Start(exe, L"--demo-fast", scratch / "LocalAppData"), "tarvex.exe --demo-fast shows its window"))
    return 1;
  // The demo VYR8's data (main user code 1234) into a file.
  if (!CheckConnection(app, "VYR8 v.2.10", "demo VYR8")) return 1;
  app.Type(IDC_EUserCode, "1234");
  app.Click(IDC_btnUserCode);
  Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), "read of the demo VYR8 ends without a box");
  const fs::path source = scratch / "source.tvx";
  app.SetText(IDC_eSaveToFile, source.string());
  app.Click(IDC_btnSaveToFile);
  if (!Check(FileSize(source) == kSmallFileSize, "the demo VYR8's data saved")) return 1;

  // Into the panel on the port, with its own code.
  const std::vector<std::string> ports = app.ComboItems(IDC_cbSerial);
  const auto at = std::find(ports.begin(), ports.end(), label);
  if (!Check(at != ports.end(), "the port list holds " + Quoted(label))) return 1;
  app.Choose(IDC_cbSerial, static_cast<int>(at - ports.begin()));
  if (!CheckConnection(app, description, label)) return 1;
  app.SetText(IDC_eLoadFromFile, source.string());
  app.Click(IDC_btnLoadFromFile);
  CheckGroups(app, "file loaded for the port's panel", true, false, false, true, true);
  app.Type(IDC_eUserCodeSend, code);
  app.Click(IDC_btnSendCodes);
  TBox box;
  if (!Check(TakeBox(app, &box), "the failed write shows its box")) return 1;
  const std::string writeError = box.text;
  CheckText(box.title, "Warning", "the write's box: title");
  CheckText(writeError, "Errore in scrittura su porta seriale!", "the write's box");

  // The send's own box: the system's text first, the backup, the question.
  HWND question = nullptr;
  if (!Check(WaitFor([&] { return (question = app.Box()) != nullptr || app.Exited(); }) && question,
             "the send's box with the question opens"))
    return 1;
  std::vector<fs::path> found;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(backups, ec)) found.push_back(e.path());
  if (!Check(found.size() == 1, "one backup was taken before the send")) return 1;
  const fs::path backup = found[0];
  const std::string text = StaticTexts(app, question);
  const std::string wanted = writeError + "\r\n" +
                               SendStoppedLine(ExtraStrings(TLanguage::Italian), true, backup.string()) + "\r\n" +
                               ExtraStrings(TLanguage::Italian).RestoreQuestion;
  Check(text.find(wanted) != std::string::npos, "the question's box: " + Quoted(text) + ", wanted " + Quoted(wanted));
  Check(text.find("1234") == std::string::npos && text.find(code) == std::string::npos,
        "the question's box shows no code");
  CheckText(app.Text(question), "Error", "the question's box: title");
  CheckText(app.Text(::GetDlgItem(question, IDC_answerYes)), "S\xC3\xAC", "the question's box: Yes in Italian");
  CheckText(app.Text(::GetDlgItem(question, IDC_answerNo)), "No", "the question's box: No in Italian");
  ::PostMessageW(question, TDM_CLICK_BUTTON, IDC_answerYes, 0);
  Check(WaitFor([&] { return !::IsWindow(question); }), "Yes closes the question's box");

  // The restore's outcome, shown as a send's.
  if (Check(TakeBox(app, &box), "the restore ends with a box")) {
    CheckText(box.text, "Dati trasferiti con successo!", "the restore's box");
    CheckText(box.title, "Information", "the restore's box: title");
  }
  Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), "the restore ends");
  CheckGroups(app, "after the restore (no panel)", false, false, false, false, false);
  found.clear();
  for (const auto& e : fs::directory_iterator(backups, ec)) found.push_back(e.path());
  Check(found.size() == 1, "no new backup over the one restored");

  // The panel answers to its own code again, and holds the backup's data.
  if (!CheckConnection(app, description, label + " after the restore")) return 1;
  app.Type(IDC_EUserCode, code);
  app.Click(IDC_btnUserCode);
  Check(app.WaitIdleOrBox() && app.Idle() && !app.Box(), "after the restore the panel's own code opens it");
  CheckText(app.Text(IDC_lblProgress), "Pronto", "read after the restore: status");
  const fs::path after = scratch / "after.tvx";
  app.SetText(IDC_eSaveToFile, after.string());
  app.Click(IDC_btnSaveToFile);
  // Against a read of a panel like it after a plain send of the backup
  // (a send clears the bits the model does not take).
  sim::PanelConfig twin;
  twin.model = "VYR8";
  twin.firmware = "2.10";
  twin.mainCode = code;
  const std::vector<uint8_t> expected = test::ImageAfterSend(twin, backup.string(), code);
  std::vector<uint8_t> restored;
  std::string error;
  Check(DecodeKeyCodeFile(after.string(), &restored, &error) && expected.size() == kSmallImageSize &&
            restored == expected,
        "the panel holds, byte for byte, what a send of the backup writes " + error);
  CloseAndCheck(app, "restore");
  return 0;
}

// ---- Screenshots ----

// The window's area of the screen as a 24-bit BMP.
bool Capture(HWND hwnd, const fs::path& file) {
  ::RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
  DWORD_PTR r = 0;
  ::SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &r);
  ::Sleep(400);  // lets the display catch up with the painting
  RECT wr{};
  ::GetWindowRect(hwnd, &wr);
  const int w = wr.right - wr.left, h = wr.bottom - wr.top;
  HDC screen = ::GetDC(nullptr);
  HDC mem = ::CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = h;  // bottom-up, as a BMP file stores it
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP dib = ::CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = ::SelectObject(mem, dib);
  ::BitBlt(mem, 0, 0, w, h, screen, wr.left, wr.top, SRCCOPY);
  ::GdiFlush();
  const uint32_t stride = (static_cast<uint32_t>(w) * 3 + 3) & ~3u;
  const uint32_t imageSize = stride * static_cast<uint32_t>(h);
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  fh.bfSize = fh.bfOffBits + imageSize;
  bi.bmiHeader.biSizeImage = imageSize;
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&fh), sizeof fh);
  out.write(reinterpret_cast<const char*>(&bi.bmiHeader), sizeof(BITMAPINFOHEADER));
  out.write(static_cast<const char*>(bits), imageSize);
  const bool ok = out.good();
  ::SelectObject(mem, old);
  ::DeleteObject(dib);
  ::DeleteDC(mem);
  ::ReleaseDC(nullptr, screen);
  return Check(ok, "picture " + file.filename().string());
}

int Screenshots(const std::wstring& exe, const fs::path& dir) {
  const TRunFolder run("shots");
  const fs::path& scratch = run.path;
  TTarvex app;
  if (!Check(app.Start(exe, L"--demo", scratch / "LocalAppData"), "tarvex.exe --demo shows its window")) return 1;
  ::SetForegroundWindow(app.Main());
  Capture(app.Main(), dir / "win32-main-it.bmp");
  app.Choose(IDC_cbLingua, 0);
  Capture(app.Main(), dir / "win32-main-en.bmp");
  auto supported = [&](const char* name) {
    app.Click(IDC_TsSupportedPanels);
    HWND w = nullptr;
    if (WaitFor([&] { return (w = FindWindowOf(app.Pid(), TARVEX_SUPPORTED_PANELS_CLASS, app.Main())) != nullptr; })) {
      Capture(w, dir / name);
      ::PostMessageW(w, WM_CLOSE, 0, 0);
      WaitFor([&] { return !::IsWindow(w); });
    }
  };
  supported("win32-supported-panels-en.bmp");
  app.Choose(IDC_cbLingua, 2);
  Capture(app.Main(), dir / "win32-main-fr.bmp");
  supported("win32-supported-panels-fr.bmp");
  app.Choose(IDC_cbLingua, 0);
  app.Click(IDC_btnCheckConnection);
  app.WaitIdleOrBox();
  app.Type(IDC_EUserCode, "1234");
  app.Click(IDC_btnUserCode);
  HWND bar = app.Item(IDC_pbProgress);
  // Part-way through the codes, where the bar moves most.
  WaitFor([&] {
    const LRESULT pos = ::SendMessageW(bar, PBM_GETPOS, 0, 0), max = ::SendMessageW(bar, PBM_GETRANGE, FALSE, 0);
    return app.Idle() || (max > 100 && pos * 100 >= max * 45);
  });
  Capture(app.Main(), dir / "win32-main-reading.bmp");
  app.WaitIdleOrBox();
  // The data window after the read, codes hidden, in each language.
  TDataWin d{app};
  if (OpenDataWindow(app, &d, "screenshots")) {
    const TRemoteList users(app, d.Item(IDC_dwUsers));
    users.Select(1);
    const char* names[3] = {"win32-data-en.bmp", "win32-data-it.bmp", "win32-data-fr.bmp"};
    for (int lang : {0, 1, 2}) {
      app.Choose(IDC_cbLingua, lang);
      const std::vector<std::string> codes = users.Column(3);
      if (Check(!d.Ticked(IDC_dwShowCodes) && std::all_of(codes.begin(), codes.end(), Starred) &&
                    d.Text(IDC_dwUserCode).empty(),
                std::string(names[lang]) + ": codes hidden"))
        Capture(d.w, dir / names[lang]);
    }
    CloseDataWindow(d, "screenshots");
  }
  CloseAndCheck(app, "screenshots");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  int rc = 2;
  if (mode == "walk" && argc == 3) {
    rc = Walk(WindowsPath(argv[2]));
  } else if (mode == "data" && argc == 3) {
    rc = DataWalk(WindowsPath(argv[2]));
  } else if (mode == "wire-time" && argc == 3) {
    rc = WireTime(WindowsPath(argv[2]));
  } else if (mode == "end-session" && argc == 3) {
    rc = EndSession(WindowsPath(argv[2]));
  } else if (mode == "start-up" && (argc == 3 || argc == 4)) {
    rc = StartUp(WindowsPath(argv[2]), argc == 4 ? WideFromUtf8(argv[3]) : std::wstring());
  } else if (mode == "serial" && argc == 6) {
    rc = Serial(WindowsPath(argv[2]), argv[3], argv[4], argv[5]);
  } else if (mode == "restore" && argc == 6) {
    rc = Restore(WindowsPath(argv[2]), argv[3], argv[4], argv[5]);
  } else if (mode == "screenshots" && argc == 4) {
    rc = Screenshots(WindowsPath(argv[2]), fs::path(WindowsPath(argv[3])));
  } else {
    std::fprintf(stderr,
                 "usage: tarvex_win32_driver walk|data|wire-time|end-session TARVEX_EXE\n"
                 "       tarvex_win32_driver start-up TARVEX_EXE [OPTIONS]\n"
                 "       tarvex_win32_driver serial|restore TARVEX_EXE PORT_LABEL CODE DESCRIPTION\n"
                 "       tarvex_win32_driver screenshots TARVEX_EXE DIR\n");
    return 2;
  }
  Print("win32: " + std::to_string(passed) + " passed, " + std::to_string(failed) + " failed\n");
  return failed == 0 && rc == 0 ? 0 : 1;
}
