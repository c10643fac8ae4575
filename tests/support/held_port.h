// A port held open the way another program holds it, so that the code
// under test finds it in use; let go on Release or at the end of the scope.
// Header-only, on every platform.
#pragma once

#include <string>

#include "serial/comm.h"

namespace tarvex::test {

struct THeldPort {
  explicit THeldPort(const std::string& device) {
    comm.Device = device;
    ok = OpenComm(comm);
  }
  ~THeldPort() { Release(); }
  THeldPort(const THeldPort&) = delete;
  THeldPort& operator=(const THeldPort&) = delete;

  void Release() {
    if (comm.Handle != -1) CloseComm(comm);
  }

  TComm comm;
  bool ok = false;  // the port was opened
};

}  // namespace tarvex::test
