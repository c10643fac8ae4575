// Helpers of the test suite that need no simulated panel: a user interface
// that records what the user would have seen, and a session with English
// texts. They build on every platform.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/session.h"
#include "app/workflows.h"

namespace tarvex::test {

struct TEvent {
  enum Kind { Progress, Box, Cursor } kind;
  int code = 0;         // progress code
  int32_t value = 0;    // progress value; cursor: 1 busy, 0 normal
  TBoxKind box = TBoxKind::Warning;
  std::string text;     // status text (progress) or box text
  std::chrono::steady_clock::time_point at;
  // The line's clock at the event, in nanoseconds, when the interface has
  // one (lineClockNs); 0 otherwise.
  int64_t lineNs = 0;
};

class TRecordingUserInterface : public TUserInterface {
 public:
  void TransferProgress(int code, int32_t value, const std::string& statusText) override;
  void MessageBox(TBoxKind kind, const std::string& text) override;
  void SetBusyCursor(bool busy) override;

  std::vector<TEvent> events;
  // "Warning: text" for every box, in order.
  std::vector<std::string> Boxes() const;
  // The values of every ProgressStep, in order.
  std::vector<int32_t> Steps() const;
  // Status texts shown with ProgressShowStatus, in order.
  std::vector<std::string> Statuses() const;
  // The line's clock at every ProgressStep, in order (needs lineClockNs).
  std::vector<int64_t> StepLineNs() const;
  void Clear() { events.clear(); }
  // When set, every event also records this clock (a simulated line's
  // virtual clock, say), so pauses can be checked exactly.
  std::function<int64_t()> lineClockNs;
};

// A session with English texts and a recording interface.
struct TTestSession {
  TTestSession();
  TRecordingUserInterface ui;
  TSession s;
};

// The status line after a read or a send, in the session's language.
inline std::optional<std::string> StatusOf(const TSession& s, const TReadOutcome& r) {
  return StatusAfterRead(r.outcome, TTexts{s.LangStrings, s.ExtraStrings});
}
inline std::optional<std::string> StatusOf(const TSession& s, const TSendOutcome& r) {
  return StatusAfterSend(r.outcome, TTexts{s.LangStrings, s.ExtraStrings});
}

// "Warning: text": the box the application shows for a failure of the
// panel code, in the session's language.
std::string BoxFor(const TSession& s, const TOutcome& o);

// Milliseconds since a time point.
int64_t MsSince(std::chrono::steady_clock::time_point t);

}  // namespace tarvex::test
