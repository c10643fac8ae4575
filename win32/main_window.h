// The main window, frmMain, in Win32: a face of the window model
// (app/window_model.h), as the Qt window is. It lays out the controls,
// paints what the model's state says and forwards the user's events to the
// model, which decides everything else: the start-up sequence, the
// captions, the enabled states, the progress bar, the operations and a
// close during one.
//
// Panel operations (check, read, send) run on a worker thread; the model's
// calls from it reach the window's thread through SendMessage of a private
// message, which waits until they have run, and the end of the work is
// posted back. File operations run on the window's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/window_layout.h"
#include "app/window_model.h"
#include "serial/windows_api.h"
#include "win32/data_window.h"
#include "win32/fonts.h"
#include "win32/pictures.h"

namespace tarvex::win32 {

struct TMainWindowOptions {
  TWindowModelOptions model;
  // For observers (the benchmark): at the start and end of every panel
  // operation, and after every progress notice.
  std::function<void()> operationStarted;
  std::function<void()> operationFinished;
  std::function<void(int code, int32_t value)> progressHandled;
};

class TMainWindow : public TWindowView {
 public:
  static constexpr int kClientWidth = layout::kClientWidth;
  static constexpr int kClientHeight = layout::kClientHeight;

  explicit TMainWindow(TMainWindowOptions options = {});
  ~TMainWindow() override;
  TMainWindow(const TMainWindow&) = delete;
  TMainWindow& operator=(const TMainWindow&) = delete;

  // Makes the window and its controls, starts the model and shows the
  // window centred on its screen. False when the window cannot be made.
  bool Create(HINSTANCE instance, int showCommand);
  HWND Handle() const { return hwnd_; }
  TWindowModel& Model() { return model_; }

  // Runs the program's message loop (keyboard navigation between the
  // controls, F1) until the window has gone; returns the quit code.
  int Run();

  // TWindowView.
  void Show(const TWindowState& state, unsigned parts) override;
  void ShowMessageBox(TBoxKind kind, const std::string& text) override;
  // A task dialog with our own captions on its buttons (the same words as
  // the Qt window's), each button's control identifier its answer's
  // (kQuestionButtonIds); where the common controls have no task dialog, a
  // message box with Yes/No (and Cancel), the text then saying which of
  // them saves.
  TAnswer Ask(TBoxKind kind, const std::string& text, TQuestion question) override;
  void ShowBusyCursor(bool busy) override;
  void ShowSupportedPanels(int languageIndex) override;
  void RunOffThread(std::function<void()> work, std::function<void()> done) override;
  void RunOnWindowThread(const std::function<void()>& f) override;
  void CloseWindow() override;
  void ProgressHandled(int code, int32_t value) override;
  void OperationStarted() override;
  void OperationFinished() override;
  void ShowDataWindow() override;
  bool ChooseSaveFileName(std::string* name) override;

 private:
  struct TWorker;
  struct TPictures;

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK ButtonProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id, DWORD_PTR data);
  static LRESULT CALLBACK CaptionProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id, DWORD_PTR data);
  static LRESULT CALLBACK GroupProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id, DWORD_PTR data);
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);

  void MakeControls();
  void MakeToolTips();
  void ApplyDpi(int dpi);
  void Layout();
  int Scale(int pixels) const;
  HWND Item(int id) const { return ::GetDlgItem(hwnd_, id); }

  void OnCommand(int id, int code, HWND control);
  void OnEditChanged(int id, HWND edit);
  void BrowseSaveFile();
  // The save dialog, starting from name; true with the name chosen.
  bool RunSaveDialog(std::wstring* name);
  void BrowseLoadFile();
  bool DrawItem(const DRAWITEMSTRUCT& d);
  void DrawPushButton(const DRAWITEMSTRUCT& d);
  void DrawFlatButton(const DRAWITEMSTRUCT& d, bool onField);
  void DrawLinkedPanel(const DRAWITEMSTRUCT& d);
  LRESULT ColourControl(UINT msg, HDC dc, HWND control);

  void PaintEnables(const TControlEnables& e);
  void PaintBar(const TProgressBar& bar);
  void SetToolTip(HWND tool, UINT_PTR id, const std::string& text);
  void WorkerEnded();
  void WaitForWorker();
  // Asks Windows to wait before ending the session, with the reason; and
  // takes the request back.
  void BlockSessionEnd();
  void EndSessionBlock();

  TMainWindowOptions options_;
  TWindowModel model_;
  TGdiplus gdiplus_;
  HWND hwnd_ = nullptr;
  // The window as the worker thread sees it: null once it has gone.
  std::atomic<HWND> workerTarget_{nullptr};
  HWND toolTips_ = nullptr;
  HACCEL accelerators_ = nullptr;
  HICON bigIcon_ = nullptr;
  HICON smallIcon_ = nullptr;
  DWORD threadId_ = 0;
  int dpi_ = 96;
  TFonts fonts_;
  std::unique_ptr<TPictures> pictures_;
  HBRUSH fieldBrush_ = nullptr;
  HWND hotButton_ = nullptr;
  bool busyCursor_ = false;
  bool sessionBlocked_ = false;
  std::unique_ptr<TWorker> worker_;
  // The data window, made when "Show data" first opens it.
  std::unique_ptr<TDataWindow> dataWindow_;
  std::function<void()> done_;
};

}  // namespace tarvex::win32
