#include "protocol/link.h"

namespace tarvex {

TOutcome OpenLink(TComm& port) {
  if (port.Handle != -1 || OpenComm(port)) return Success(TStep::OpenPort);
  TOutcome o = Failure(TResult::PortNotOpen, TStep::OpenPort);
  o.portError = port.LastError;
  return o;
}

void ClosePort(TComm& port) {
  CloseComm(port);
  port.Handle = -1;
}

}  // namespace tarvex
