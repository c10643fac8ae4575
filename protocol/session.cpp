#include "protocol/session.h"

namespace tarvex {

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
