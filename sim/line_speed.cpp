// The speed the tool's side of the line is set to (kernel termios2 side).
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "sim/pty_io.h"

namespace tarvex::sim::detail {

namespace {
int StandardRate(unsigned int cbaud) {
  switch (cbaud) {
    case B50: return 50;
    case B75: return 75;
    case B110: return 110;
    case B134: return 134;
    case B150: return 150;
    case B200: return 200;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B1800: return 1800;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B500000: return 500000;
    case B576000: return 576000;
    case B921600: return 921600;
    case B1000000: return 1000000;
    default: return 0;
  }
}
}  // namespace

int ReadLineSpeed(int masterFd) {
  if (masterFd < 0) return 0;
  // On a pty master the termios requests act on the slave's settings, which
  // are the ones the tool chose.
  struct termios2 t {};
  if (::ioctl(masterFd, TCGETS2, &t) != 0) return 0;
  const unsigned int cbaud = t.c_cflag & CBAUD;
  if (cbaud == BOTHER) return static_cast<int>(t.c_ospeed);
  const int standard = StandardRate(cbaud);
  if (standard != 0) return standard;
  return static_cast<int>(t.c_ospeed);
}

}  // namespace tarvex::sim::detail
