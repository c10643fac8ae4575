// Helpers of the test suite that need no simulated panel: a user interface
// that records what the user would have seen, and a session with English
// texts. They build on every platform.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "protocol/session.h"

namespace tarvex::test {

struct TEvent {
  enum Kind { Progress, Box, Cursor, Pump } kind;
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
  void PumpEvents() override;

  std::vector<TEvent> events;
  // "Warning: text" for every box, in order.
  std::vector<std::string> Boxes() const;
  // The values of every ProgressStep, in order.
  std::vector<int32_t> Steps() const;
  // Status texts shown with ProgressShowStatus, in order.
  std::vector<std::string> Statuses() const;
  std::vector<std::chrono::steady_clock::time_point> PumpTimes() const;
  // The line's clock at every pump, in order (needs lineClockNs).
  std::vector<int64_t> PumpLineNs() const;
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

// Milliseconds since a time point.
int64_t MsSince(std::chrono::steady_clock::time_point t);

}  // namespace tarvex::test
