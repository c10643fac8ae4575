#include "protocol/link_state.h"

#if defined(_WIN32)
#include "serial/windows_api.h"
#else
#include <string.h>
#endif

namespace tarvex {

const char* BoxTitle(TBoxKind kind) {
  switch (kind) {
    case TBoxKind::Warning: return "Warning";
    case TBoxKind::Error: return "Error";
    case TBoxKind::Information: return "Information";
  }
  return "";
}

// The system's own wipe, which the compiler may not drop as a dead store
// and which clears a 900 KB image at memset speed.
void WipeBytes(void* data, size_t size) {
  if (size == 0) return;
#if defined(_WIN32)
  SecureZeroMemory(data, size);
#else
  explicit_bzero(data, size);
#endif
}

bool EnsurePortOpen(TSession& s, TComm& port) {
  if (port.Handle != -1) return true;
  if (OpenComm(port)) return true;
  s.Box(TBoxKind::Warning, s.LangStrings.ErrorOpeningPort);
  return false;
}

void ClosePort(TComm& port) {
  CloseComm(port);
  port.Handle = -1;
}


}  // namespace tarvex
