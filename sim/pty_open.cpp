// Creation of the pseudo-terminal pair (C library termios side).
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/pty_io.h"

namespace tarvex::sim::detail {

namespace {
bool Fail(std::string* error, const char* what) {
  if (error) *error = std::string(what) + ": " + std::strerror(errno);
  return false;
}
}  // namespace

bool OpenPtyPair(int* masterFd, int* slaveFd, std::string* slavePath, std::string* error) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) return Fail(error, "posix_openpt");
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    Fail(error, "grantpt/unlockpt");
    ::close(master);
    return false;
  }
  const char* name = ::ptsname(master);
  if (name == nullptr) {
    Fail(error, "ptsname");
    ::close(master);
    return false;
  }
  std::string path = name;
  const int slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    Fail(error, "open slave");
    ::close(master);
    return false;
  }
  termios t{};
  if (::tcgetattr(slave, &t) == 0) {
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    ::tcsetattr(slave, TCSANOW, &t);
  }
  // The serving thread never blocks on the master.
  const int flags = ::fcntl(master, F_GETFL);
  ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  *masterFd = master;
  *slaveFd = slave;
  *slavePath = path;
  return true;
}

}  // namespace tarvex::sim::detail
