// The line trace's file: the wording of every event and the file itself.
#include "serial/trace.h"

#ifdef _WIN32
#include "serial/windows_api.h"
#include "serial/windows_text.h"
#else
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace tarvex {

namespace {

void AppendHex(std::string& out, const uint8_t* bytes, size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out.reserve(out.size() + 3 * count);
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) out.push_back(' ');
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
}

std::string Hex(const uint8_t* bytes, size_t count) {
  std::string out;
  AppendHex(out, bytes, count);
  return out;
}

// "<count> <what>", with the bytes themselves only in a trace that holds data.
std::string Counted(const uint8_t* bytes, size_t count, const char* what, bool withData) {
  std::string s = std::to_string(count) + " " + what;
  if (withData) {
    s += ": ";
    AppendHex(s, bytes, count);
  }
  return s;
}

// Short texts of numbers; 64-bit and size_t values go through
// std::to_string, as the C libraries of the platforms differ on their
// conversions.
std::string Format(const char* fmt, ...) {
  char buf[256];
  va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return n < 0 ? std::string() : std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

std::string DeviceName(const TComm& comm) {
  if (!comm.Device.empty()) return comm.Device;
  if (comm.Port > 0) return "COM" + std::to_string(comm.Port);
  return "(no port selected)";
}

// "9600 baud 8E1 (8 data bits, even parity, 1 stop bit)"; brief: without
// the words in brackets.
std::string Settings(const TComm& comm, bool brief = false) {
  static constexpr char kParityLetters[] = "NOEMS";
  static constexpr const char* kParityNames[] = {"no", "odd", "even", "mark", "space"};
  static constexpr const char* kStopBits[] = {"1", "1.5", "2"};
  const std::string rate =
      comm.BaudIndex < kBaudIndexCount ? std::to_string(kBaudTable[comm.BaudIndex]) + " baud" : "the port's own speed";
  const std::string bits = comm.DataBitsIndex <= 4 ? std::to_string(comm.DataBitsIndex + 4) : "?";
  const char parity = comm.ParityIndex < 5 ? kParityLetters[comm.ParityIndex] : '?';
  const char* parityName = comm.ParityIndex < 5 ? kParityNames[comm.ParityIndex] : "unknown";
  const char* stop = comm.StopBitsIndex < 3 ? kStopBits[comm.StopBitsIndex] : "?";
  if (brief) return rate + " " + bits + parity + stop;
  return rate + " " + bits + parity + stop + " (" + bits + " data bits, " + parityName + " parity, " + stop +
         (comm.StopBitsIndex == 0 ? " stop bit)" : " stop bits)");
}

// "313 (0x0139)": decimal as the block maps give addresses, and the bytes
// of the header in hexadecimal.
std::string Address(uint32_t address, bool large) {
  return large ? Format("%u (0x%06X)", address, address) : Format("%u (0x%04X)", address, address);
}

std::string Limit(double seconds) { return Format("%g s", seconds); }

std::string CheckName(bool large) { return large ? "CRC" : "sum"; }

// What a wait was for.
std::string Awaited(const TTraceEvent& e) {
  switch (e.role) {
    case TTraceRole::Echo: return "the echo of the header";
    case TTraceRole::ProbeEcho: return "the echo of the baud probe";
    case TTraceRole::Data: return Format("data byte %u of %u", e.index, e.length);
    case TTraceRole::Check:
      return e.large ? Format("CRC byte %u of 2", e.index) : std::string("the sum");
    case TTraceRole::None:
    case TTraceRole::Header:
    case TTraceRole::Probe: break;
  }
  return Format("%u bytes", e.length);
}

std::string Describe(const TComm& comm, const TTraceEvent& e, bool withData) {
  switch (e.kind) {
    case TTraceKind::Open: {
      if (e.ok) return "port opened: " + DeviceName(comm) + ", " + Settings(comm);
      std::string s = "port open FAILED: " + DeviceName(comm) + ", " + Settings(comm) + ": " + DescribeCommError(comm);
      if (comm.LastSystemError != 0) s += Format(" (system error %d)", comm.LastSystemError);
      if (comm.Handle != -1) s += "; the port stays held until it is closed";
      return s;
    }
    case TTraceKind::Close: return "port closed: " + DeviceName(comm) + ", " + Settings(comm, true);
    case TTraceKind::LineLost:
      return "line lost: " + DeviceName(comm) + " went away (the far end hung up, or the adapter was pulled out)";
    case TTraceKind::Dropped:
      return Counted(e.bytes, e.count, "stray bytes dropped before the header", withData);
    case TTraceKind::Sent:
      switch (e.role) {
        case TTraceRole::Header:
          return "header " + Hex(e.bytes, e.count) + ": " + (e.write ? "write " : "read ") +
                 Format("%u bytes at ", e.length) + Address(e.address, e.large);
        case TTraceRole::Probe:
          return "baud probe " + Hex(e.bytes, e.count) + Format(" at %d baud", e.baud);
        case TTraceRole::Data: return Counted(e.bytes, e.count, "data bytes", withData);
        default: return std::to_string(e.count) + " bytes: " + Hex(e.bytes, e.count);
      }
    case TTraceKind::Received:
      switch (e.role) {
        case TTraceRole::Echo:
          return "echo " + Hex(e.bytes, e.count) + (e.ok ? ": matches the header" : ": does NOT match the header");
        case TTraceRole::ProbeEcho:
          return "probe echo " + Hex(e.bytes, e.count) + (e.ok ? ": matches the probe" : ": does NOT match the probe");
        case TTraceRole::Data: return Counted(e.bytes, e.count, "data bytes", withData);
        default: return std::to_string(e.count) + " bytes: " + Hex(e.bytes, e.count);
      }
    case TTraceKind::Check: {
      // A CRC goes low byte first; its value is shown as a number too.
      std::string s = CheckName(e.large) + " " + Hex(e.bytes, e.count);
      if (e.write) return e.large ? s + Format(" (0x%04X)", e.got) : s;
      if (e.ok) return s + (e.large ? Format(": good (0x%04X)", e.got) : std::string(": good"));
      return s + (e.large ? Format(": BAD, expected 0x%04X, got 0x%04X", e.expected, e.got)
                          : Format(": BAD, expected %02X, got %02X", e.expected, e.got));
    }
    case TTraceKind::WaitEnded: {
      std::string s = "wait for " + Awaited(e);
      if (e.lineLost) {
        s += " ended: the line was lost";
      } else {
        s += " ran out: limit " + Limit(e.limitSeconds) + ", given up after " + std::to_string(e.ms) + " ms";
      }
      if (e.role != TTraceRole::Data && e.role != TTraceRole::Check)
        s += Format("; %u of %u bytes had come", e.done, e.length);
      if (e.role == TTraceRole::Data && withData && e.done > 0) {
        s += "; the data bytes so far: ";
        AppendHex(s, e.bytes, e.done);
      }
      return s;
    }
    case TTraceKind::Pause:
      return "pause " + std::to_string(e.ms) + " ms" + (e.why ? std::string(" ") + e.why : "");
    case TTraceKind::Retry:
      return Format("retry: attempt %d of %d, after: ", e.attempt, e.attempts) + (e.why ? e.why : "a failure");
    case TTraceKind::Exchange: {
      std::string s = std::string("block ") + (e.write ? "write" : "read") + (e.ok ? "" : " FAILED") + ": " +
                      Format("%u bytes at ", e.length) + Address(e.address, e.large);
      if (!e.ok && e.why) s += std::string(": ") + e.why;
      if (e.attempts > 1) s += Format(" (attempt %d of %d)", e.attempt, e.attempts);
      return s;
    }
    case TTraceKind::Range: {
      const std::string what = std::string("range ") + (e.write ? "write" : "read");
      if (e.ok) return what + " done: " + Format("%u bytes from ", e.length) + Address(e.address, e.large);
      if (e.why) return what + " REFUSED: " + e.why;
      return what + " FAILED: " + Format("%u of %u bytes from ", e.done, e.length) + Address(e.address, e.large) +
             " done; stopped at " + Address(e.address + e.done, e.large);
    }
    case TTraceKind::BaudProbe:
      return e.ok ? Format("the probe came back at %d baud", e.baud)
                  : Format("no echo of the probe at %d baud", e.baud);
    case TTraceKind::BaudSearch:
      return e.ok ? Format("baud search: the panel answers at %d baud", e.baud)
                  : Format("baud search FAILED: no speed answered; the port is left at %d baud", e.baud);
    case TTraceKind::LowLatency:
      if (e.ok) return "low latency granted by the driver: received bytes are handed over at once";
      return "low latency refused by the driver: " + std::string(std::strerror(static_cast<int>(e.got))) +
             Format(" (system error %u); replies may wait out a USB adapter's latency timer", e.got);
  }
  return "?";
}

const char* Direction(const TTraceEvent& e) {
  switch (e.kind) {
    case TTraceKind::Sent: return "TX";
    case TTraceKind::Received:
    case TTraceKind::Dropped: return "RX";
    case TTraceKind::Check: return e.write ? "TX" : "RX";
    default: return "--";
  }
}

std::string UtcNow() {
  const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm tm{};
#ifdef _WIN32
  gmtime_s(&tm, &t);
#else
  gmtime_r(&t, &tm);
#endif
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buf;
}

// Either platform's invalid handle (INVALID_HANDLE_VALUE is -1 too).
constexpr intptr_t kNoHandle = -1;
#ifdef _WIN32
HANDLE H(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
#endif

// Creates the file, private to its owner; kNoHandle and why on failure.
intptr_t CreateTraceFile(const std::string& path, std::string* error) {
#ifdef _WIN32
  // The name is UTF-8, as every file name of the program.
  const HANDLE h = ::CreateFileW(WideFromUtf8(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = path + ": " + SystemErrorText(::GetLastError(), true);
    return kNoHandle;
  }
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    ::CloseHandle(h);
    *error = path + ": not a regular file";
    return kNoHandle;
  }
  return reinterpret_cast<intptr_t>(h);
#else
  // A link is not followed and nothing but a regular file is written: the
  // trace must not land somewhere the name does not say. The file is made
  // private before anything of it is emptied or written.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int err = errno;
    *error = path + ": " + (err == ELOOP ? std::string("a symbolic link, not followed") : std::strerror(err));
    return kNoHandle;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *error = path + ": not a regular file";
    return kNoHandle;
  }
  if (((st.st_mode & 07777) != 0600 && ::fchmod(fd, 0600) != 0) || ::ftruncate(fd, 0) != 0) {
    const int err = errno;
    ::close(fd);
    *error = path + ": " + std::strerror(err);
    return kNoHandle;
  }
  return fd;
#endif
}

}  // namespace

std::unique_ptr<TTraceFile> TTraceFile::Open(const std::string& path, const TTraceFileOptions& options,
                                             std::string* error) {
  std::string why;
  const intptr_t handle = CreateTraceFile(path, &why);
  if (handle == kNoHandle) {
    if (error) *error = why;
    return nullptr;
  }
  std::unique_ptr<TTraceFile> trace(new TTraceFile(handle, options));
  const std::string program = options.program.empty() ? std::string("Tarvex") : options.program;
  trace->WriteLine("# Tarvex line trace by " + program + ", started " + UtcNow() + ". " +
                   (options.withData ? "WARNING: it holds USER CODES (the data bytes of every block); keep it "
                                       "private and delete it once it has served."
                                     : "It holds no user codes: a data block appears as its length and check "
                                       "only.") +
                   "\n");
  trace->WriteLine(
      "# One line per event: milliseconds since the start on the line's clock; TX to the panel, RX from the "
      "panel, -- what happened; the event.\n");
  if (!trace->healthy_) {
    if (error) *error = path + ": cannot be written";
    return nullptr;
  }
  return trace;
}

TTraceFile::TTraceFile(intptr_t handle, const TTraceFileOptions& options)
    : handle_(handle), withData_(options.withData), clock_(options.clock) {
  if (options.clock) offset_ = -options.clock->NowMs();
}

TTraceFile::~TTraceFile() {
#ifdef _WIN32
  ::CloseHandle(H(handle_));
#else
  ::close(static_cast<int>(handle_));
#endif
}

void TTraceFile::WriteLine(const std::string& line) {
  if (!healthy_) return;
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
#ifdef _WIN32
    DWORD n = 0;
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(left, 1u << 20));
    if (!::WriteFile(H(handle_), p, piece, &n, nullptr) || n == 0) {
      healthy_ = false;
      return;
    }
#else
    const ssize_t n = ::write(static_cast<int>(handle_), p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      healthy_ = false;
      return;
    }
#endif
    p += n;
    left -= static_cast<size_t>(n);
  }
}

int64_t TTraceFile::Stamp(const TComm& comm) {
  TCommSystem& sys = SystemOf(comm);
  const int64_t now = sys.NowMs();
  if (&sys != clock_) {
    // Another line, another clock: carry on from the last time written.
    clock_ = &sys;
    offset_ = last_ - now;
  }
  last_ = std::max(last_, now + offset_);
  return last_;
}

void TTraceFile::Record(const TComm& comm, const TTraceEvent& e) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!healthy_) return;
  const int64_t ms = Stamp(comm);
  // The time right-aligned in eight places, so the columns line up.
  std::string line = std::to_string(ms);
  if (line.size() < 8) line.insert(0, 8 - line.size(), ' ');
  line += ' ';
  line += Direction(e);
  line += ' ';
  line += Describe(comm, e, withData_);
  line.push_back('\n');
  WriteLine(line);
}

}  // namespace tarvex
