// The command-line tool's side of the user interface: message boxes on
// standard error as "Title: text"; status texts and a progress bar on
// standard error only when it is a terminal.
#pragma once

#include <cstdio>
#include <string>

#include "protocol/user_interface.h"

namespace tarvex {

class TConsoleUserInterface : public TUserInterface {
 public:
  explicit TConsoleUserInterface(std::FILE* err = stderr);
  void TransferProgress(int code, int32_t value, const std::string& statusText) override;
  void MessageBox(TBoxKind kind, const std::string& text) override;
  void SetBusyCursor(bool) override {}
  void PumpEvents() override {}
  // Prints a status text the way the window's status line would show it.
  void Status(const std::string& text);

 private:
  void Draw();
  void EndLine();
  std::FILE* err_;
  bool terminal_;
  bool lineOpen_ = false;
  std::string status_;
  int32_t max_ = 0;
  int32_t pos_ = 0;
};

}  // namespace tarvex
