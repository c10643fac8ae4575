// Lets Wine's serial layer set parity on a pseudo-terminal, for the Windows
// end-to-end test (loaded into Wine with LD_PRELOAD).
//
// Linux pseudo-terminals carry no parity: the kernel clears PARENB on every
// change of settings. glibc's tcsetattr reads the settings back and reports
// that as EINVAL, so Wine's SetCommState fails for even parity, which the
// panel link always asks for; a real serial port takes it. This tcsetattr
// hands the settings to the kernel without the read-back, as the program's
// own POSIX layer does with termios2: the simulated panel never looks at the
// parity bit.
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

namespace {

// The kernel's struct termios of TCSETS, which is shorter than glibc's.
struct TKernelTermios {
  tcflag_t iflag;
  tcflag_t oflag;
  tcflag_t cflag;
  tcflag_t lflag;
  cc_t line;
  cc_t cc[19];
};

}  // namespace

extern "C" int tcsetattr(int fd, int action, const struct termios* t) {
  unsigned long request = 0;
  switch (action) {
    case TCSANOW: request = TCSETS; break;
    case TCSADRAIN: request = TCSETSW; break;
    case TCSAFLUSH: request = TCSETSF; break;
    default: errno = EINVAL; return -1;
  }
  TKernelTermios k{};
  k.iflag = t->c_iflag;
  k.oflag = t->c_oflag;
  k.cflag = t->c_cflag;
  k.lflag = t->c_lflag;
  k.line = t->c_line;
  std::memcpy(k.cc, t->c_cc, sizeof k.cc);
  return ::ioctl(fd, request, &k);
}
