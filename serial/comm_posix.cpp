// POSIX (Linux) platform file of the serial layer: every system call of the
// layer is here.
//
// Line settings go through the kernel's termios2 record, so every rate of the
// baud table, standard or not (14400, 256000), is set the same way as a plain
// number. Mixing glibc's tcsetattr with termios2 is a trap: once a device has
// a non-standard rate, a later tcsetattr for a standard one can fail with
// EINVAL, and the baud search would then end unable to reopen at 9600.
//
// <asm/termbits.h> must not meet <termios.h> in one translation unit.
#include <asm/termbits.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#ifdef __linux__
#include <linux/serial.h>
#endif
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <vector>

#include "serial/comm.h"

namespace tarvex {
namespace {

int Fd(const TComm& comm) { return static_cast<int>(comm.Handle); }

void Fail(TComm& comm, TCommError kind, int err) {
  comm.LastError = kind;
  comm.LastSystemError = err;
  comm.LastErrorText = err ? std::strerror(err) : std::string();
}

void ToDcb(const termios2& t, TDeviceControlBlock& d) {
  d.iflag = t.c_iflag;
  d.oflag = t.c_oflag;
  d.cflag = t.c_cflag;
  d.lflag = t.c_lflag;
  d.line = t.c_line;
  static_assert(sizeof(d.cc) == sizeof(t.c_cc));
  std::memcpy(d.cc, t.c_cc, sizeof(d.cc));
  d.ispeed = t.c_ispeed;
  d.ospeed = t.c_ospeed;
}

void FromDcb(const TDeviceControlBlock& d, termios2& t) {
  t.c_iflag = d.iflag;
  t.c_oflag = d.oflag;
  t.c_cflag = d.cflag;
  t.c_lflag = d.lflag;
  t.c_line = d.line;
  std::memcpy(t.c_cc, d.cc, sizeof(d.cc));
  t.c_ispeed = d.ispeed;
  t.c_ospeed = d.ospeed;
}

// Applies the record's settings to the control block read from the system.
// Raw 8-bit transfer, no handshaking, receiver on, modem lines ignored.
// Parity is generated; received parity errors are not acted on here (no
// byte is replaced or dropped): the protocol's check bytes catch them.
void ApplySettings(const TComm& comm, TDeviceControlBlock& d) {
  d.iflag &= ~static_cast<uint32_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                    IXON | IXOFF | IXANY | INPCK | IGNPAR);
  d.oflag &= ~static_cast<uint32_t>(OPOST);
  d.lflag &= ~static_cast<uint32_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  d.cflag &= ~static_cast<uint32_t>(CRTSCTS | HUPCL);
  d.cflag |= CREAD | CLOCAL;
  d.cc[VMIN] = 0;
  d.cc[VTIME] = 0;

  if (comm.BaudIndex < kBaudIndexCount) {
    const uint32_t rate = static_cast<uint32_t>(kBaudTable[comm.BaudIndex]);
    d.cflag &= ~static_cast<uint32_t>(CBAUD | (CBAUD << IBSHIFT));
    d.cflag |= BOTHER | (BOTHER << IBSHIFT);
    d.ispeed = rate;
    d.ospeed = rate;
  }
  switch (comm.ParityIndex) {
    case 0: d.cflag &= ~static_cast<uint32_t>(PARENB | PARODD | CMSPAR); break;
    case 1: d.cflag = (d.cflag & ~static_cast<uint32_t>(CMSPAR)) | PARENB | PARODD; break;
    case 2: d.cflag = (d.cflag & ~static_cast<uint32_t>(PARODD | CMSPAR)) | PARENB; break;
    case 3: d.cflag |= PARENB | PARODD | CMSPAR; break;
    case 4: d.cflag = (d.cflag & ~static_cast<uint32_t>(PARODD)) | PARENB | CMSPAR; break;
    default: break;
  }
  if (comm.DataBitsIndex <= 4) {
    static constexpr uint32_t kSizes[5] = {CS5, CS5, CS6, CS7, CS8};  // no 4-bit bytes on POSIX
    d.cflag = (d.cflag & ~static_cast<uint32_t>(CSIZE)) | kSizes[comm.DataBitsIndex];
  }
  switch (comm.StopBitsIndex) {
    case 0: d.cflag &= ~static_cast<uint32_t>(CSTOPB); break;
    case 1:  // one and a half: the nearest POSIX offers is two
    case 2: d.cflag |= CSTOPB; break;
    default: break;
  }
}

class TPosixCommSystem final : public TCommSystem {
 public:
  bool Open(TComm& comm) override;
  void Close(TComm& comm) override;
  int32_t Queued(TComm& comm) override;
  void Write(TComm& comm, const uint8_t* src, uint16_t count) override;
  void Read(TComm& comm, uint8_t* dst, uint16_t count) override;
  void WaitForInput(TComm& comm, int64_t timeoutMs) override;
  int64_t NowMs() override;
  void SleepMs(int64_t ms) override;
  std::string Describe(const TComm& comm) override;
  std::string DeviceGroup(const TComm& comm) override;
  bool InDeviceGroup(const TComm& comm) override;
  std::vector<TPortHolder> Holders(const TComm& comm) override;
#ifdef __linux__
  int GetSerialFlags(TComm& comm, int32_t* flags) override;
  int SetSerialFlags(TComm& comm, int32_t flags) override;
#endif
};

}  // namespace

TCommSystem& PlatformCommSystem() {
  static TPosixCommSystem system;
  return system;
}

bool TPosixCommSystem::Open(TComm& comm) {
  if (comm.Device.empty()) {
    Fail(comm, TCommError::NoDevice, ENOENT);
    comm.LastErrorText = "no serial port selected";
    return false;
  }
  const int fd = ::open(comm.Device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    TCommError kind = TCommError::Other;
    if (err == ENOENT || err == ENODEV || err == ENXIO) kind = TCommError::NoDevice;
    else if (err == EBUSY) kind = TCommError::InUse;
    else if (err == EACCES || err == EPERM) kind = TCommError::AccessDenied;
    else if (err == EISDIR) kind = TCommError::NotSerial;
    Fail(comm, kind, err);
    return false;
  }
  // Exclusive access. flock first, then TIOCEXCL: TIOCEXCL alone does not
  // stop a second open by root, and flock alone does not stop programs that
  // never take the lock; together a held port is refused either way. The
  // lock is taken before any setting is touched, so a second program cannot
  // disturb the line of the first even for a moment.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    Fail(comm, err == EWOULDBLOCK ? TCommError::InUse : TCommError::Other, err);
    return false;
  }
  comm.Handle = fd;

  termios2 t{};
  if (::ioctl(fd, TCGETS2, &t) != 0) {
    // Not a terminal at all (a regular file, /dev/null): the handle stays
    // held until CloseComm, like any device that refuses its settings.
    const int err = errno;
    Fail(comm, err == ENOTTY || err == EINVAL ? TCommError::NotSerial : TCommError::Settings, err);
    return false;
  }
  ::ioctl(fd, TIOCEXCL);
  ToDcb(t, comm.DCB);
  ApplySettings(comm, comm.DCB);
  FromDcb(comm.DCB, t);
  if (::ioctl(fd, TCSETS2, &t) != 0) {
    Fail(comm, TCommError::Settings, errno);
    return false;
  }
  // A port starts with an empty input queue: bytes that reached the device
  // while it was closed are not part of any exchange.
  ::ioctl(fd, TCFLSH, TCIFLUSH);
  // DTR and RTS inactive. Pseudo-terminals have no modem lines; that
  // refusal is harmless.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ::ioctl(fd, TIOCMBIC, &lines);
  // Linux sizes its queues itself (4 KiB and more), larger than the 1200
  // bytes the largest reply needs; there is no request to make.
  return true;
}

void TPosixCommSystem::Close(TComm& comm) {
  const int fd = Fd(comm);
  ::ioctl(fd, TIOCNXCL);
  // close() releases the descriptor even when it reports an error (EINTR,
  // EIO on a vanished device), so the record is closed in every case.
  ::close(fd);
  comm.Handle = -1;
}

int32_t TPosixCommSystem::Queued(TComm& comm) {
  int n = 0;
  if (::ioctl(Fd(comm), FIONREAD, &n) != 0) {
    if (errno == EIO || errno == ENXIO || errno == ENODEV) comm.LineLost = true;
    return 0;
  }
  return n;
}

void TPosixCommSystem::Write(TComm& comm, const uint8_t* src, uint16_t count) {
  const int fd = Fd(comm);
  // The descriptor is non-blocking so that a line that stops draining (a
  // hung adapter) cannot hold the program forever: a write that makes no
  // progress for two seconds is abandoned, which the protocol then sees as
  // a missing echo.
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd, src + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      const int r = ::poll(&p, 1, 2000);
      if (r > 0 && !(p.revents & (POLLERR | POLLHUP | POLLNVAL))) continue;
      if (r > 0) comm.LineLost = true;
      return;
    }
    if (n < 0 && (errno == EIO || errno == ENXIO || errno == ENODEV)) comm.LineLost = true;
    return;
  }
}

void TPosixCommSystem::Read(TComm& comm, uint8_t* dst, uint16_t count) {
  const int fd = Fd(comm);
  size_t done = 0;
  // Reads that found nothing although the system said input was there.
  int emptyReads = 0;
  while (done < count) {
    const ssize_t n = ::read(fd, dst + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      emptyReads = 0;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EIO || errno == ENXIO || errno == ENODEV)) {
      comm.LineLost = true;
      return;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
    // Nothing to read. A raw tty without a minimum count answers an empty
    // queue with 0 bytes, the same answer it gives after a hang-up, so an
    // empty read alone says nothing about the line: the system's poll
    // does. Callers ask only for counted bytes; if they are not there after
    // all, wait briefly rather than spin.
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, 1000);
    if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
      comm.LineLost = true;
      return;
    }
    if (r > 0 && (p.revents & POLLIN) && ++emptyReads < 3) continue;
    return;
  }
}

void TPosixCommSystem::WaitForInput(TComm& comm, int64_t timeoutMs) {
  pollfd p{Fd(comm), POLLIN, 0};
  const int ms = static_cast<int>(std::clamp<int64_t>(timeoutMs, 0, 60'000));
  const int r = ::poll(&p, 1, ms);
  if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
    // A hang-up with bytes still queued lets the reader take them first.
    int n = 0;
    if (::ioctl(Fd(comm), FIONREAD, &n) != 0 || n == 0) comm.LineLost = true;
  }
}

int64_t TPosixCommSystem::NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1'000'000;
}

void TPosixCommSystem::SleepMs(int64_t ms) {
  if (ms <= 0) return;
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1'000'000)};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::string TPosixCommSystem::Describe(const TComm& comm) {
  const std::string dev = comm.Device.empty() ? std::string("(none)") : comm.Device;
  switch (comm.LastError) {
    case TCommError::None: return std::string();
    case TCommError::NoDevice: return dev + ": no such serial port";
    case TCommError::InUse: return dev + ": the port is in use by another program";
    case TCommError::AccessDenied:
      return dev + ": permission denied (is the user in the dialout group?)";
    case TCommError::NotSerial: return dev + ": not a serial port";
    case TCommError::Settings: return dev + ": the port refused the line settings (" + comm.LastErrorText + ")";
    case TCommError::Other: break;
  }
  return dev + ": " + comm.LastErrorText;
}

std::string TPosixCommSystem::DeviceGroup(const TComm& comm) {
  struct stat st{};
  if (comm.Device.empty() || ::stat(comm.Device.c_str(), &st) != 0) return std::string();
  // Joining the group helps only when the group may both read and write;
  // and the superuser's group would give far more than the port.
  if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP) || st.st_gid == 0) return std::string();
  std::vector<char> buf(1024);
  group g{};
  group* found = nullptr;
  int rc = 0;
  while ((rc = ::getgrgid_r(st.st_gid, &g, buf.data(), buf.size(), &found)) == ERANGE && buf.size() < (1u << 20))
    buf.resize(buf.size() * 2);
  // A group without a name (a container's numeric ids) is joined by number.
  if (rc != 0 || !found || !found->gr_name) return std::to_string(st.st_gid);
  return found->gr_name;
}

bool TPosixCommSystem::InDeviceGroup(const TComm& comm) {
  struct stat st{};
  if (comm.Device.empty() || ::stat(comm.Device.c_str(), &st) != 0) return false;
  if (::getegid() == st.st_gid) return true;
  // The groups the process was started with: a group joined since counts
  // only after the user logs in again, as the hint to join one says.
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  const int got = ::getgroups(count, groups.data());
  if (got < 0) return false;
  groups.resize(static_cast<size_t>(got));
  return std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
}

#ifdef __linux__
int TPosixCommSystem::GetSerialFlags(TComm& comm, int32_t* flags) {
  serial_struct info{};
  if (::ioctl(Fd(comm), TIOCGSERIAL, &info) != 0) return errno;
  *flags = info.flags;
  return 0;
}

// The request carries the whole serial-info record back: what was just
// read, with the new flags.
int TPosixCommSystem::SetSerialFlags(TComm& comm, int32_t flags) {
  serial_struct info{};
  if (::ioctl(Fd(comm), TIOCGSERIAL, &info) != 0) return errno;
  info.flags = flags;
  if (::ioctl(Fd(comm), TIOCSSERIAL, &info) != 0) return errno;
  return 0;
}
#endif

std::vector<TPortHolder> TPosixCommSystem::Holders(const TComm& comm) {
  if (comm.Device.empty()) return {};
  return FindPortHolders(comm.Device, "/proc");
}

namespace {

// The same device node: for character devices the device number, so that
// a second node of the same device (a link, a copy in another folder)
// counts too; for anything else the file itself.
bool SameNode(const struct stat& a, const struct stat& b) {
  if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) return a.st_rdev == b.st_rdev;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string LinkText(const std::string& path) {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The first line of a small file; empty when it cannot be read.
std::string FirstLine(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "re");
  if (!f) return std::string();
  char buf[256];
  std::string line = std::fgets(buf, sizeof buf, f) ? std::string(buf) : std::string();
  std::fclose(f);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

// The processes that hold an flock or a record lock on the node, from the
// kernel's lock table: "1: FLOCK  ADVISORY  WRITE 612 00:05:85 0 EOF",
// the node as its file system's major and minor (hex) and its inode.
// Lines of waiting requests ("1: -> FLOCK ...") hold nothing.
std::set<int32_t> LockHolders(const std::string& procRoot, const struct stat& node) {
  std::set<int32_t> pids;
  std::FILE* f = std::fopen((procRoot + "/locks").c_str(), "re");
  if (!f) return pids;
  char buf[512];
  while (std::fgets(buf, sizeof buf, f)) {
    std::istringstream line(buf);
    std::string id, kind, mode, access, where;
    long pid = 0;
    if (!(line >> id >> kind) || kind == "->") continue;
    if (!(line >> mode >> access >> pid >> where) || pid <= 0) continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (major == ::major(node.st_dev) && minor == ::minor(node.st_dev) && inode == node.st_ino)
      pids.insert(static_cast<int32_t>(pid));
  }
  std::fclose(f);
  return pids;
}

// A process's name as any user may read it; it is whatever the program
// set, and it goes into a message box.
std::string ProgramName(const std::string& procRoot, int32_t pid) {
  std::string name = FirstLine(procRoot + "/" + std::to_string(pid) + "/comm");
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  if (name.empty()) name = "?";
  return name;
}

bool AllDigits(const char* s) {
  if (!*s) return false;
  for (; *s; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

}  // namespace

std::vector<TPortHolder> FindPortHolders(const std::string& device, const std::string& procRoot) {
  struct stat node{};
  const bool known = ::stat(device.c_str(), &node) == 0;
  std::string path = device;
  if (char* real = ::realpath(device.c_str(), nullptr)) {
    path = real;
    ::free(real);
  }
  std::vector<int32_t> pids;
  if (DIR* d = ::opendir(procRoot.c_str())) {
    while (const dirent* e = ::readdir(d))
      if (AllDigits(e->d_name) && std::strlen(e->d_name) < 10) pids.push_back(static_cast<int32_t>(std::atol(e->d_name)));
    ::closedir(d);
  }
  std::sort(pids.begin(), pids.end());

  std::vector<TPortHolder> holders;
  for (const int32_t pid : pids) {
    const std::string fdDir = procRoot + "/" + std::to_string(pid) + "/fd";
    DIR* d = ::opendir(fdDir.c_str());
    if (!d) continue;  // another user's process, or one that just ended
    bool holds = false;
    while (const dirent* e = ::readdir(d)) {
      if (!AllDigits(e->d_name)) continue;
      const std::string fd = fdDir + "/" + e->d_name;
      const std::string target = LinkText(fd);
      if (target == path) {
        holds = true;
        break;
      }
      // The same device opened under another name; only device nodes are
      // looked at, so that no other open file is touched.
      struct stat st{};
      if (known && target.rfind("/dev/", 0) == 0 && ::stat(fd.c_str(), &st) == 0 && SameNode(st, node)) {
        holds = true;
        break;
      }
    }
    ::closedir(d);
    if (!holds) continue;
    holders.push_back({ProgramName(procRoot, pid), pid});
  }
  if (known) {
    // The holder of the lock is the one that keeps others out. The lock
    // table names it even when its descriptors may not be read (a modem
    // manager running as the superuser), and any user may read its name.
    const std::set<int32_t> locking = LockHolders(procRoot, node);
    for (const int32_t pid : locking) {
      if (std::any_of(holders.begin(), holders.end(), [pid](const TPortHolder& h) { return h.Pid == pid; }))
        continue;
      // A lock whose process has ended lives on in a descriptor it passed
      // on; there is no one to name.
      struct stat st{};
      if (::stat((procRoot + "/" + std::to_string(pid)).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
      holders.push_back({ProgramName(procRoot, pid), pid});
    }
    std::stable_sort(holders.begin(), holders.end(),
                     [](const TPortHolder& a, const TPortHolder& b) { return a.Pid < b.Pid; });
    std::stable_partition(holders.begin(), holders.end(),
                          [&locking](const TPortHolder& h) { return locking.count(h.Pid) > 0; });
  }
  return holders;
}

}  // namespace tarvex
