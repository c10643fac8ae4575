#include "cli/console_ui.h"

#ifdef _WIN32
#include <io.h>
#include "serial/windows_api.h"
#else
#include <unistd.h>
#endif


namespace tarvex {

namespace {

// True when the stream is a terminal that draws the escape sequences of the
// progress line.
bool IsTerminal(std::FILE* stream) {
#ifdef _WIN32
  const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  DWORD mode = 0;
  if (h == INVALID_HANDLE_VALUE || !::GetConsoleMode(h, &mode)) return false;
  // Windows consoles draw them only once asked to (Windows 10 and later).
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         ::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
  return ::isatty(fileno(stream)) == 1;
#endif
}

// Message texts carry \r\n line breaks for the window; a terminal wants \n.
std::string TerminalText(std::string s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    out.push_back(s[i]);
  }
  return out;
}
}  // namespace

TConsoleUserInterface::TConsoleUserInterface(std::FILE* err) : err_(err), terminal_(IsTerminal(err)) {}

void TConsoleUserInterface::TransferProgress(int code, int32_t value, const std::string& statusText) {
  switch (code) {
    case ProgressShowStatus: status_ = statusText; break;
    case ProgressSetRange: bar_.SetRange(value); break;
    case ProgressStep: bar_.Step(value); break;
    case ProgressClear:
      status_.clear();
      bar_.Clear();
      break;
    default: return;
  }
  Draw();
}

void TConsoleUserInterface::Draw() {
  if (!terminal_) return;
  constexpr int kWidth = 30;
  std::string bar(static_cast<size_t>(bar_.Filled(kWidth)), '#');
  bar.resize(kWidth, '.');
  if (status_.empty() && bar_.position == 0) {
    if (lineOpen_) std::fprintf(err_, "\r\033[K");
    lineOpen_ = false;
  } else {
    std::fprintf(err_, "\r\033[K[%s] %s", bar.c_str(), status_.c_str());
    lineOpen_ = true;
  }
  std::fflush(err_);
}

void TConsoleUserInterface::EndLine() {
  if (lineOpen_) std::fprintf(err_, "\r\033[K");
  lineOpen_ = false;
}

void TConsoleUserInterface::MessageBox(TBoxKind kind, const std::string& text) {
  EndLine();
  std::fprintf(err_, "%s: %s\n", BoxTitle(kind), TerminalText(text).c_str());
  std::fflush(err_);
}

void TConsoleUserInterface::Status(const std::string& text) {
  EndLine();
  std::fprintf(err_, "%s\n", TerminalText(text).c_str());
  std::fflush(err_);
}

}  // namespace tarvex
