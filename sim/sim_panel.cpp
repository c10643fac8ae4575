// The simulated panel: pty ownership, the serving thread and the frame
// handling of both panel families.
#include "sim/sim_panel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "sim/panel_memory.h"
#include "sim/pty_io.h"
#include "sim/rng.h"

namespace tarvex::sim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr std::array<uint8_t, 6> kBaudProbe{0x3C, 0xC3, 0x00, 0x00, 0x00, 0xFF};

// Input that stops short of a frame is dropped once the line has been quiet
// this long, so that stray bytes cannot keep the panel out of step.
constexpr milliseconds kResyncIdle{50};
// A write header whose data stops coming is given up after this much quiet.
constexpr milliseconds kWriteDataIdle{250};
// Largest quiet spell allowed while the tool's input queue is full.
constexpr milliseconds kOutputStallLimit{2000};

uint8_t Sum8(const uint8_t* data, size_t n) {
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum += data[i];
  return static_cast<uint8_t>(sum);
}

bool SameIgnoringLetterCase(uint8_t a, uint8_t b) {
  auto upper = [](uint8_t c) { return (c >= 0x61 && c <= 0x7A) ? static_cast<uint8_t>(c - 0x20) : c; };
  return upper(a) == upper(b);
}

uint8_t SwapLetterCase(uint8_t c) {
  if (c >= 0x41 && c <= 0x5A) return static_cast<uint8_t>(c + 0x20);
  if (c >= 0x61 && c <= 0x7A) return static_cast<uint8_t>(c - 0x20);
  return c;
}

}  // namespace

struct SimPanel::State {
  explicit State(PanelConfig c) : cfg(std::move(c)) {}

  PanelConfig cfg;
  int model = 0;
  bool large = false;
  int panelSpeed = 0;
  const SimBlockMap* map = nullptr;
  std::string devicePath;
  bool started = false;

  mutable std::mutex memMutex;
  std::vector<uint8_t> memory;

  mutable std::mutex logMutex;
  Fault fault;
  int exchanges = 0;
  std::vector<std::array<uint8_t, 6>> headers;
  std::vector<uint8_t> received;

  // Guards the line descriptors against being closed while another thread
  // asks for the line speed.
  mutable std::mutex fdMutex;
  int masterFd = -1;
  int slaveFd = -1;
  int wakeFd = -1;
  // Opens and closes of the device by others, seen through inotify, so that
  // the line speed reads 0 while nobody but the panel holds the device.
  int watchFd = -1;
  int othersOpen = 0;
  uint64_t openGeneration = 0;      // opens seen so far
  uint64_t seenOpenGeneration = 0;  // as last acted on by the serving thread
  std::atomic<bool> stopping{false};
  std::atomic<bool> closed{false};
  std::thread thread;

  // ---- serving thread only ----
  enum class Mode { Header, WriteData, Discard };
  Mode mode = Mode::Header;
  std::deque<uint8_t> in;
  std::deque<Clock::time_point> inDue;  // when each queued byte has fully arrived on the wire
  Clock::time_point lastActivity{};     // latest arrival of any input byte
  Clock::time_point lastDue{};          // wire arrival of the latest input byte
  Clock::time_point lineFreeAt{};       // when the panel's own output has left the wire
  std::array<uint8_t, 6> pendingHeader{};
  FaultKind pendingFault = FaultKind::None;
  uint32_t pendingAddr = 0;
  size_t pendingCount = 0;
  uint64_t noiseCounter = 0;
  int heardSpeed = 0;  // tool speed when the latest input was heard

  int ToolSpeed() const {
    std::lock_guard<std::mutex> lock(fdMutex);
    return detail::ReadLineSpeed(masterFd);
  }

  // Takes the queued open and close events of the device. fdMutex held.
  void DrainWatch() {
    if (watchFd < 0) return;
    alignas(inotify_event) char buf[4096];
    for (;;) {
      const ssize_t n = ::read(watchFd, buf, sizeof buf);
      if (n <= 0) return;
      for (ssize_t off = 0; off < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buf + off);
        if (e->mask & IN_OPEN) {
          ++othersOpen;
          ++openGeneration;
        }
        if (e->mask & IN_CLOSE) --othersOpen;
        off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
  }

  // The tool's speed while some other descriptor holds the device, else 0.
  int HeldLineSpeed() {
    std::lock_guard<std::mutex> lock(fdMutex);
    if (masterFd < 0) return 0;
    DrainWatch();
    if (watchFd >= 0 && othersOpen <= 0) return 0;
    return detail::ReadLineSpeed(masterFd);
  }

  // The device was opened afresh since the last look (serving thread).
  bool ReopenedSinceLastLook() {
    std::lock_guard<std::mutex> lock(fdMutex);
    DrainWatch();
    const bool changed = openGeneration != seenOpenGeneration;
    seenOpenGeneration = openGeneration;
    return changed;
  }

  uint32_t AddrMask() const { return large ? detail::kLargeMemorySize - 1 : detail::kSmallMemorySize - 1; }

  nanoseconds ByteTime(int speed) const {
    if (speed <= 0) speed = panelSpeed;
    return nanoseconds(11LL * 1000000000LL / speed);
  }

  // Waits until the deadline or a stop request. False when stopping.
  bool SleepUntil(Clock::time_point deadline) {
    for (;;) {
      if (stopping) return false;
      const auto now = Clock::now();
      if (now >= deadline) return true;
      const auto left = std::chrono::duration_cast<nanoseconds>(deadline - now).count();
      timespec ts{static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
      pollfd p{wakeFd, POLLIN, 0};
      ::ppoll(&p, 1, &ts, nullptr);
    }
  }

  // Writes everything to the master, waiting while the tool's input queue is
  // full. False when stopping, on an error, or when the queue stays full.
  bool WriteAll(const uint8_t* data, size_t n) {
    size_t done = 0;
    while (done < n) {
      if (stopping) return false;
      const ssize_t w = ::write(masterFd, data + done, n - done);
      if (w > 0) {
        done += static_cast<size_t>(w);
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && errno != EAGAIN) return false;
      pollfd p[2] = {{masterFd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
      const int r = ::poll(p, 2, static_cast<int>(kOutputStallLimit.count()));
      if (r == 0) return false;
    }
    return true;
  }

  // Sends bytes, paced to the line speed when wire time is emulated.
  bool Send(const std::vector<uint8_t>& out) {
    if (out.empty()) return true;
    if (!cfg.wireTime) return WriteAll(out.data(), out.size());
    const nanoseconds byteTime = ByteTime(ToolSpeed());
    const auto start = std::max(Clock::now(), lineFreeAt);
    // Groups of about 4 ms keep the number of wake-ups low.
    const size_t group = std::max<size_t>(1, static_cast<size_t>(milliseconds(4) / byteTime));
    for (size_t i = 0; i < out.size(); i += group) {
      const size_t end = std::min(out.size(), i + group);
      if (!SleepUntil(start + byteTime * static_cast<long long>(end))) return false;
      if (!WriteAll(out.data() + i, end - i)) return false;
    }
    lineFreeAt = start + byteTime * static_cast<long long>(out.size());
    return true;
  }

  // Gives the tool a moment to take what was sent before the line goes, as
  // bytes still queued at a hang-up are lost.
  void LetOutputDrain() {
    const auto limit = Clock::now() + milliseconds(500);
    SleepUntil(Clock::now() + milliseconds(20));
    while (!stopping && Clock::now() < limit) {
      int queued = 0;
      if (::ioctl(slaveFd, FIONREAD, &queued) != 0 || queued == 0) return;
      SleepUntil(Clock::now() + milliseconds(5));
    }
  }

  void CloseTheLine() {
    std::lock_guard<std::mutex> lock(fdMutex);
    closed = true;  // before the tool can see the hang-up
    if (masterFd >= 0) ::close(masterFd);
    if (slaveFd >= 0) ::close(slaveFd);
    masterFd = -1;
    slaveFd = -1;
  }

  void CloseWatch() {
    std::lock_guard<std::mutex> lock(fdMutex);
    if (watchFd >= 0) ::close(watchFd);
    watchFd = -1;
  }

  std::vector<uint8_t> Noise(size_t n, const std::array<uint8_t, 6>& header) {
    detail::Rng rng((static_cast<uint64_t>(cfg.seed) << 20) ^ 0x0015E000ull ^ ++noiseCounter);
    std::vector<uint8_t> out(n);
    for (uint8_t& b : out) b = rng.Byte();
    // Never let noise start like the echo would.
    if (!out.empty() && SameIgnoringLetterCase(out[0], header[0])) out[0] ^= 0x80;
    return out;
  }

  // The answer to a header (echo, data, check bytes) as changed by a fault.
  // Returns false when the line was closed.
  bool Answer(const std::array<uint8_t, 6>& header, const std::vector<uint8_t>& data,
              std::vector<uint8_t> check, FaultKind fk) {
    std::vector<uint8_t> echo(header.begin(), header.end());
    std::vector<uint8_t> out;
    const bool hasData = !data.empty();
    switch (fk) {
      case FaultKind::EchoCase:
        for (uint8_t& b : echo) b = SwapLetterCase(b);
        break;
      case FaultKind::BadCheck:
        if (!check.empty()) check[0] = static_cast<uint8_t>(check[0] + 1);
        break;
      case FaultKind::MissingCheckByte:
        if (!check.empty()) check.pop_back();
        break;
      case FaultKind::NoiseBeforeEcho:
        out = Noise(3, header);
        break;
      case FaultKind::Stall:
      case FaultKind::CloseLine:
        if (hasData) {
          out = echo;
          out.insert(out.end(), data.begin(), data.begin() + static_cast<long>(data.size() / 2));
        } else {
          out.assign(echo.begin(), echo.begin() + 3);
        }
        Send(out);
        if (fk == FaultKind::CloseLine) {
          LetOutputDrain();
          CloseTheLine();
          return false;
        }
        return true;
      default:
        break;
    }
    out.insert(out.end(), echo.begin(), echo.end());
    out.insert(out.end(), data.begin(), data.end());
    out.insert(out.end(), check.begin(), check.end());
    Send(out);
    return true;
  }

  std::vector<uint8_t> CheckBytes(const std::vector<uint8_t>& data) const {
    if (!large) return {Sum8(data.data(), data.size())};
    const uint16_t crc = Crc16Cms(data.data(), data.size());
    return {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};
  }

  std::vector<uint8_t> Fetch(uint32_t addr, size_t n) const {
    std::lock_guard<std::mutex> lock(memMutex);
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = memory[(addr + i) & AddrMask()];
    return out;
  }

  void Store(uint32_t addr, const uint8_t* data, size_t n) {
    std::lock_guard<std::mutex> lock(memMutex);
    for (size_t i = 0; i < n; ++i) memory[(addr + i) & AddrMask()] = data[i];
  }

  // A panel spoken to at a speed other than its own hears garbage: at some
  // speeds it sends garbage back, at the others nothing.
  void WrongSpeedAnswer(const std::array<uint8_t, 6>& header, int toolSpeed) {
    detail::Rng pick((static_cast<uint64_t>(cfg.seed) << 32) ^ static_cast<uint32_t>(toolSpeed));
    if (pick.Next() & 1) Send(Noise(6, header));
  }

  void HandleHeader(const std::array<uint8_t, 6>& h) {
    Fault f;
    int n = 0;
    {
      std::lock_guard<std::mutex> lock(logMutex);
      n = ++exchanges;
      headers.push_back(h);
      f = fault;
    }
    const FaultKind fk = (f.atExchange == 0 || f.atExchange == n) ? f.kind : FaultKind::None;

    const int toolSpeed = ToolSpeed();
    if (toolSpeed != panelSpeed) {
      WrongSpeedAnswer(h, toolSpeed);
      mode = Mode::Discard;
      return;
    }
    if (Sum8(h.data(), 5) != h[5]) {
      mode = Mode::Discard;
      return;
    }

    bool isRead = false;
    bool isWrite = false;
    uint32_t addr = 0;
    size_t count = 0;
    if (large) {
      if (h == kBaudProbe) {
        if (fk == FaultKind::NoEcho) {
          mode = Mode::Discard;
          return;
        }
        if (Answer(h, {}, {}, fk)) mode = Mode::Header;
        return;
      }
      const uint8_t cmd = h[0] & 0xF8;
      isRead = cmd == 0xF8;
      isWrite = cmd == 0xA8;
      addr = (static_cast<uint32_t>(h[2]) << 16) | (static_cast<uint32_t>(h[3]) << 8) | h[4];
      count = ((static_cast<size_t>(h[0] & 0x07) << 8) | h[1]) + 1;
    } else {
      isRead = h[0] == 0xF0;
      isWrite = h[0] == 0x0F;
      addr = h[1] | (static_cast<uint32_t>(h[2]) << 8);
      count = (h[3] | (static_cast<size_t>(h[4]) << 8)) + 1;
    }
    if ((!isRead && !isWrite) || fk == FaultKind::NoEcho) {
      mode = Mode::Discard;
      return;
    }
    if (isRead) {
      const std::vector<uint8_t> data = Fetch(addr, count);
      if (Answer(h, data, CheckBytes(data), fk)) mode = Mode::Header;
      return;
    }
    pendingHeader = h;
    pendingFault = fk;
    pendingAddr = addr;
    pendingCount = count;
    mode = Mode::WriteData;
  }

  void HandleWriteData(const std::vector<uint8_t>& frame) {
    mode = Mode::Header;
    const std::vector<uint8_t> data(frame.begin(), frame.begin() + static_cast<long>(pendingCount));
    const std::vector<uint8_t> check(frame.begin() + static_cast<long>(pendingCount), frame.end());
    if (check != CheckBytes(data) || pendingFault == FaultKind::BadCheck) return;
    Store(pendingAddr, data.data(), data.size());
    Answer(pendingHeader, {}, {}, pendingFault);
  }

  size_t WriteFrameBytes() const { return pendingCount + (large ? 2 : 1); }

  void ReadInput() {
    uint8_t buf[4096];
    std::vector<uint8_t> got;
    for (;;) {
      const ssize_t r = ::read(masterFd, buf, sizeof buf);
      if (r > 0) {
        got.insert(got.end(), buf, buf + r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      break;
    }
    if (got.empty()) return;
    const auto now = Clock::now();
    const int speed = ToolSpeed();
    // A fresh open of the device, or a new line speed, starts a new
    // conversation: whatever was heard before cannot belong to it.
    if (ReopenedSinceLastLook() || speed != heardSpeed) ResetInput();
    heardSpeed = speed;
    const nanoseconds byteTime = ByteTime(speed);
    for (uint8_t b : got) {
      lastDue = cfg.wireTime ? std::max(now, lastDue) + byteTime : now;
      in.push_back(b);
      inDue.push_back(lastDue);
    }
    lastActivity = std::max(now, lastDue);
    std::lock_guard<std::mutex> lock(logMutex);
    received.insert(received.end(), got.begin(), got.end());
  }

  void ResetInput() {
    in.clear();
    inDue.clear();
    mode = Mode::Header;
  }

  void Drop(size_t n) {
    in.erase(in.begin(), in.begin() + static_cast<long>(n));
    inDue.erase(inDue.begin(), inDue.begin() + static_cast<long>(n));
  }

  // Acts on whatever complete frames the input holds. Returns the time at
  // which it wants to look again, or nothing when it only waits for input.
  std::optional<Clock::time_point> Process() {
    for (;;) {
      if (closed) return std::nullopt;
      const auto now = Clock::now();
      switch (mode) {
        case Mode::Discard:
          Drop(in.size());
          if (now - lastActivity < kResyncIdle) return lastActivity + kResyncIdle;
          mode = Mode::Header;
          return std::nullopt;
        case Mode::Header: {
          if (in.size() < 6) {
            if (in.empty()) return std::nullopt;
            if (now - lastActivity < kResyncIdle) return lastActivity + kResyncIdle;
            Drop(in.size());
            return std::nullopt;
          }
          if (cfg.wireTime && now < inDue[5]) return inDue[5];
          std::array<uint8_t, 6> h{};
          std::copy(in.begin(), in.begin() + 6, h.begin());
          Drop(6);
          HandleHeader(h);
          break;
        }
        case Mode::WriteData: {
          const size_t need = WriteFrameBytes();
          if (in.size() < need) {
            if (now - lastActivity < kWriteDataIdle) return lastActivity + kWriteDataIdle;
            Drop(in.size());
            mode = Mode::Header;
            return std::nullopt;
          }
          if (cfg.wireTime && now < inDue[need - 1]) return inDue[need - 1];
          std::vector<uint8_t> frame(in.begin(), in.begin() + static_cast<long>(need));
          Drop(need);
          HandleWriteData(frame);
          break;
        }
      }
    }
  }

  void Serve() {
    std::optional<Clock::time_point> wakeAt;
    while (!stopping) {
      pollfd p[2] = {{wakeFd, POLLIN, 0}, {closed ? -1 : masterFd, POLLIN, 0}};
      timespec ts{};
      timespec* timeout = nullptr;
      if (wakeAt && !closed) {
        const auto left = std::max<long long>(
            0, std::chrono::duration_cast<nanoseconds>(*wakeAt - Clock::now()).count());
        ts = {static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
        timeout = &ts;
      }
      const int r = ::ppoll(p, 2, timeout, nullptr);
      if (stopping) break;
      if (r < 0 && errno != EINTR) break;
      if (p[0].revents & POLLIN) {
        uint64_t v = 0;
        [[maybe_unused]] ssize_t ignored = ::read(wakeFd, &v, sizeof v);
      }
      if (!closed && (p[1].revents & POLLIN)) {
        ReadInput();
      } else if (!closed && (p[1].revents & (POLLHUP | POLLERR))) {
        // The slave is held open, so this should not happen; do not spin.
        SleepUntil(Clock::now() + milliseconds(20));
      }
      wakeAt = Process();
    }
  }
};

SimPanel::SimPanel(PanelConfig cfg) : s_(std::make_unique<State>(std::move(cfg))) {
  s_->model = ModelNumber(s_->cfg.model);
  s_->large = s_->model == 6;
  s_->map = BlockMapFor(s_->cfg.model);
  s_->panelSpeed = s_->cfg.baud > 0 ? s_->cfg.baud : (s_->large ? 38400 : 9600);
  // The memory exists from the start, so that tests can change it before the
  // line opens.
  if (s_->model != 0 && detail::IsValidCode(s_->cfg.mainCode)) {
    if (s_->large)
      detail::FillLargeMemory(s_->cfg, s_->memory);
    else
      detail::FillSmallMemory(s_->cfg, *s_->map, s_->memory);
  }
  s_->fault = s_->cfg.fault;
}

SimPanel::~SimPanel() { Stop(); }

bool SimPanel::Start(std::string* error) {
  State& s = *s_;
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (s.started || s.stopping) return fail("a panel is started once");
  if (s.model == 0) return fail("unknown panel model: " + s.cfg.model);
  if (!detail::IsValidCode(s.cfg.mainCode)) return fail("main code must be 0 to 6 decimal digits");

  s.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (s.wakeFd < 0) return fail("eventfd failed");
  std::string why;
  if (!detail::OpenPtyPair(&s.masterFd, &s.slaveFd, &s.devicePath, &why)) {
    ::close(s.wakeFd);
    s.wakeFd = -1;
    return fail(why);
  }
  // Opens made before this point are the panel's own.
  s.watchFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (s.watchFd >= 0 && ::inotify_add_watch(s.watchFd, s.devicePath.c_str(), IN_OPEN | IN_CLOSE) < 0) {
    ::close(s.watchFd);
    s.watchFd = -1;
  }
  s.started = true;
  s.thread = std::thread([&s] { s.Serve(); });
  return true;
}

void SimPanel::Stop() {
  State& s = *s_;
  if (!s.started) return;
  s.stopping = true;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t ignored = ::write(s.wakeFd, &one, sizeof one);
  if (s.thread.joinable()) s.thread.join();
  {
    std::lock_guard<std::mutex> lock(s.fdMutex);
    if (s.masterFd >= 0) ::close(s.masterFd);
    if (s.slaveFd >= 0) ::close(s.slaveFd);
    s.masterFd = -1;
    s.slaveFd = -1;
  }
  s.CloseWatch();
  ::close(s.wakeFd);
  s.wakeFd = -1;
  s.started = false;
}

const std::string& SimPanel::DevicePath() const { return s_->devicePath; }
int SimPanel::Model() const { return s_->model; }
bool SimPanel::IsLarge() const { return s_->large; }
int SimPanel::PanelSpeed() const { return s_->panelSpeed; }

std::vector<uint8_t> SimPanel::ReadMemory(uint32_t addr, size_t count) const {
  std::lock_guard<std::mutex> lock(s_->memMutex);
  std::vector<uint8_t> out(count);
  const size_t size = s_->memory.size();
  if (size == 0) return out;
  for (size_t i = 0; i < count; ++i) out[i] = s_->memory[(addr + i) % size];
  return out;
}

void SimPanel::WriteMemory(uint32_t addr, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(s_->memMutex);
  const size_t size = s_->memory.size();
  if (size == 0) return;
  for (size_t i = 0; i < bytes.size(); ++i) s_->memory[(addr + i) % size] = bytes[i];
}

void SimPanel::SetFault(Fault f) {
  std::lock_guard<std::mutex> lock(s_->logMutex);
  s_->fault = f;
}

int SimPanel::ExchangeCount() const {
  std::lock_guard<std::mutex> lock(s_->logMutex);
  return s_->exchanges;
}

std::vector<std::array<uint8_t, 6>> SimPanel::HeadersReceived() const {
  std::lock_guard<std::mutex> lock(s_->logMutex);
  return s_->headers;
}

std::vector<uint8_t> SimPanel::ReceivedBytes() const {
  std::lock_guard<std::mutex> lock(s_->logMutex);
  return s_->received;
}

int SimPanel::LineSpeed() const { return s_->HeldLineSpeed(); }

bool SimPanel::LineClosed() const { return s_->closed; }

}  // namespace tarvex::sim
