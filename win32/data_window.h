// The data window in Win32: what an image holds, as report-style list
// views (users and keys; a large image's header and regions), a small form
// beside each table for the edits a small image takes, undo and redo
// (buttons, Ctrl+Z, Ctrl+Y), the "Show codes" and "Show keys not in use"
// tick boxes, and a line under each form where a refused edit says why.
//
// A face of the data window's model (app/data_window.h): it lays out,
// paints what the model says and hands the user's edits to it. Not modal:
// it stays open beside the main window, which owns it, follows its
// language and saves for it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "serial/windows_api.h"

namespace tarvex {
class TDataWindowModel;
}

namespace tarvex::win32 {

// What the window asks of the main window.
struct TDataWindowHooks {
  // Whether the save button is on, and the save itself (the main window
  // writes the image where it belongs and reports as its own save does).
  std::function<bool()> canSave;
  std::function<void()> save;
  // The window is about to close; false keeps it open.
  std::function<bool()> mayClose;
  // Read whenever the pointer is over the window: the hourglass of an
  // operation that runs meanwhile.
  const bool* busyCursor = nullptr;
};

class TDataWindow {
 public:
  // model outlives the window.
  TDataWindow(TDataWindowModel& model, TDataWindowHooks hooks);
  ~TDataWindow();
  TDataWindow(const TDataWindow&) = delete;
  TDataWindow& operator=(const TDataWindow&) = delete;

  // Opens the window over its owner (or brings it forward when it is open
  // already), at that DPI. False when it cannot be made.
  bool Open(HWND owner, int dpi);
  bool IsOpen() const { return hwnd_ != nullptr; }
  HWND Handle() const { return hwnd_; }
  // Closes it without a question (the main window is going away).
  void Destroy();

  // Paints what the model holds now: after anything outside this window
  // that changes the image, its source or the language.
  void Refresh();

  // For the program's message loop: the window's accelerators and keyboard
  // navigation. True when the message has been handled.
  bool PreTranslate(MSG* msg);

 private:
  struct TImpl;
  friend struct TImpl;
  std::unique_ptr<TImpl> impl_;
  HWND hwnd_ = nullptr;
};

}  // namespace tarvex::win32
