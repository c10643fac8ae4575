// How the application reaches the user: the progress notice, modal message
// boxes and the busy pointer. Whoever shows things to the user (a window, the
// command-line tool, a test) implements TUserInterface.
#pragma once

#include <cstdint>
#include <string>

namespace tarvex {

// Codes of the progress notice.
enum TProgressCode : int {
  ProgressShowStatus = 1,  // show StatusText in the status line
  ProgressSetRange = 2,    // the bar's maximum for the phase now starting
  ProgressStep = 3,        // advance by the value; -1 puts the bar back to 0
  ProgressClear = 255,     // empty status line, bar at 0
};

enum class TBoxKind { Warning, Error, Information };

// The questions a box may end with, and their answers.
enum class TQuestion {
  YesNo,              // Yes, No
  SaveDiscardCancel,  // Save, Don't save, Cancel
};
enum class TAnswer { Yes, No, Save, Discard, Cancel };

// One button of a question's box: its answer and its caption.
struct TQuestionButton {
  TAnswer answer;
  std::string caption;
  bool operator==(const TQuestionButton&) const = default;
};

// Untranslated titles of the message boxes.
const char* BoxTitle(TBoxKind kind);

// What the workflows need of whoever shows things to the user. Every call
// is synchronous: the caller goes on only when it returns, and a message box
// returns once the user has closed it.
class TUserInterface {
 public:
  virtual ~TUserInterface() = default;
  // The progress notice. statusText is StatusText at the moment of sending;
  // the handler shows it for ProgressShowStatus.
  virtual void TransferProgress(int code, int32_t value, const std::string& statusText) = 0;
  // A modal box with one OK button.
  virtual void MessageBox(TBoxKind kind, const std::string& text) = 0;
  // Busy (hourglass) or normal pointer for the whole program.
  virtual void SetBusyCursor(bool busy) = 0;
};

// Shows nothing; useful for tools and tests that only want results.
class TSilentUserInterface : public TUserInterface {
 public:
  void TransferProgress(int, int32_t, const std::string&) override {}
  void MessageBox(TBoxKind, const std::string&) override {}
  void SetBusyCursor(bool) override {}
};

}  // namespace tarvex
