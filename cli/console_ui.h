// The command-line tool's side of the user interface: message boxes on
// standard error as "Title: text"; status texts and a progress bar on
// standard error only when it is a terminal.
#pragma once

#include <cstdio>
#include <string>

#include "app/progress.h"
#include "app/user_interface.h"

namespace tarvex {

class TConsoleUserInterface : public TUserInterface {
 public:
  explicit TConsoleUserInterface(std::FILE* err = stderr);
  void TransferProgress(int code, int32_t value, const std::string& statusText) override;
  void MessageBox(TBoxKind kind, const std::string& text) override;
  void SetBusyCursor(bool) override {}
  // Prints a status text the way the window's status line would show it.
  void Status(const std::string& text);
  // Takes the progress line off the terminal, so that what is printed next
  // starts on a line of its own; the program calls it before it prints a
  // result and before it ends.
  void EndLine();

 private:
  void Draw();
  std::FILE* err_;
  bool terminal_;
  bool lineOpen_ = false;
  std::string status_;
  TProgressBar bar_{0, 0};
};

}  // namespace tarvex
