// The state of one run of the program: the panel link, what it identified,
// the two data images, the texts of the language in force and the status
// line, held in one TSession that its owner (a window, the command-line
// tool, a test) creates. The workflows reach the user only through the
// session's TUserInterface; the panel code's progress events reach it
// through the session, which turns them into status texts and the bar.
#pragma once

#include <memory>
#include <string>

#include "app/texts.h"
#include "app/user_interface.h"
#include "protocol/wipe.h"
#include "protocol/link.h"
#include "protocol/outcome.h"
#include "protocol/panel_image.h"

namespace tarvex {

struct TSession : private TProgressSink {
  explicit TSession(TUserInterface& ui) : UI(&ui) { Link.Progress = this; }
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;

  TUserInterface* UI;
  TLink Link;
  TPanelIdentity Panel;
  std::string StatusText;
  TLanguageStrings LangStrings{};
  TExtraStrings ExtraStrings{};
  // The data read from a panel or loaded from a file, one image per layout.
  std::unique_ptr<SmallPanelImage> Small = std::make_unique<SmallPanelImage>();
  std::unique_ptr<LargePanelImage> Large = std::make_unique<LargePanelImage>();

  bool IsLargePanel() const { return Panel.IsLargePanel(); }

  // Sends the progress notice synchronously.
  void Notify(int code, int32_t value = 0) { UI->TransferProgress(code, value, StatusText); }
  // Sets StatusText and shows it.
  void ShowStatus(const std::string& text) {
    StatusText = text;
    Notify(ProgressShowStatus);
  }
  void Box(TBoxKind kind, const std::string& text) { UI->MessageBox(kind, text); }

 private:
  void OnProgress(const TProgressEvent& e) override;
};

// Opens the panel port unless it is open. On failure shows the
// ErrorOpeningPort warning with what to do, and returns false.
bool EnsurePortOpen(TSession& s);

}  // namespace tarvex
