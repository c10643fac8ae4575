#include "tests/support/pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace tarvex::test {

TPty::TPty(TSlave slave) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) return;
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    CloseMaster();
    return;
  }
  if (const char* name = ::ptsname(master_)) path_ = name;
  if (slave == SlaveHeld && !path_.empty()) slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
}

TPty::~TPty() {
  CloseSlave();
  CloseMaster();
}

bool TPty::Send(const std::string& bytes) const {
  return master_ >= 0 && ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

void TPty::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

void TPty::CloseSlave() {
  if (slave_ >= 0) ::close(slave_);
  slave_ = -1;
}

}  // namespace tarvex::test
