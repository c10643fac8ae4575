#include "tests/test_session.h"

#include "app/languages.h"

namespace tarvex::test {

using Clock = std::chrono::steady_clock;

namespace {

void StampWith(TEvent& e, const std::function<int64_t()>& lineClockNs) {
  e.at = Clock::now();
  if (lineClockNs) e.lineNs = lineClockNs();
}

}  // namespace

void TRecordingUserInterface::TransferProgress(int code, int32_t value, const std::string& statusText) {
  TEvent e{TEvent::Progress};
  e.code = code;
  e.value = value;
  e.text = statusText;
  StampWith(e, lineClockNs);
  events.push_back(e);
}

void TRecordingUserInterface::MessageBox(TBoxKind kind, const std::string& text) {
  TEvent e{TEvent::Box};
  e.box = kind;
  e.text = text;
  StampWith(e, lineClockNs);
  events.push_back(e);
}

void TRecordingUserInterface::SetBusyCursor(bool busy) {
  TEvent e{TEvent::Cursor};
  e.value = busy ? 1 : 0;
  StampWith(e, lineClockNs);
  events.push_back(e);
}

std::vector<std::string> TRecordingUserInterface::Boxes() const {
  std::vector<std::string> out;
  for (const auto& e : events)
    if (e.kind == TEvent::Box) out.push_back(std::string(BoxTitle(e.box)) + ": " + e.text);
  return out;
}

std::vector<int32_t> TRecordingUserInterface::Steps() const {
  std::vector<int32_t> out;
  for (const auto& e : events)
    if (e.kind == TEvent::Progress && e.code == ProgressStep) out.push_back(e.value);
  return out;
}

std::vector<std::string> TRecordingUserInterface::Statuses() const {
  std::vector<std::string> out;
  for (const auto& e : events)
    if (e.kind == TEvent::Progress && e.code == ProgressShowStatus) out.push_back(e.text);
  return out;
}

std::vector<int64_t> TRecordingUserInterface::StepLineNs() const {
  std::vector<int64_t> out;
  for (const auto& e : events)
    if (e.kind == TEvent::Progress && e.code == ProgressStep) out.push_back(e.lineNs);
  return out;
}

std::string BoxFor(const TSession& s, const TOutcome& o) {
  const TMessage m = MessageFor(o, TTexts{s.LangStrings, s.ExtraStrings});
  return std::string(BoxTitle(m.kind)) + ": " + m.text;
}

TTestSession::TTestSession() : s(ui) { ApplyLanguageTexts(s, TLanguage::English); }

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

}  // namespace tarvex::test
