#include "protocol/link_state.h"

namespace tarvex {

const char* BoxTitle(TBoxKind kind) {
  switch (kind) {
    case TBoxKind::Warning: return "Warning";
    case TBoxKind::Error: return "Error";
    case TBoxKind::Information: return "Information";
  }
  return "";
}

void WipeBytes(void* data, size_t size) {
  volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) p[i] = 0;
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
