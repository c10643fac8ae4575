// The simulated panel on a pseudo-terminal: pty ownership and the serving
// thread around the panel's engine, on the steady clock.
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
#include <mutex>
#include <optional>
#include <thread>

#include "sim/panel_engine.h"
#include "sim/pty_io.h"
#include "sim/usb_adapter.h"

namespace tarvex::sim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// Largest quiet spell allowed while the tool's input queue is full.
constexpr milliseconds kOutputStallLimit{2000};
// Paced output goes out in groups of the bytes due within this span of the
// group's first one, which keeps the number of wake-ups low.
constexpr int64_t kPaceGroupNs = 4'000'000;

// The engine's clock: the steady clock in nanoseconds.
int64_t NowNs() {
  return std::chrono::duration_cast<nanoseconds>(Clock::now().time_since_epoch()).count();
}

Clock::time_point At(int64_t ns) {
  return Clock::time_point(std::chrono::duration_cast<Clock::duration>(nanoseconds(ns)));
}

}  // namespace

// The pty transport of the engine: it owns the line descriptors and the
// serving thread, hands the engine what the tool writes and writes the
// engine's answers when they are due.
struct SimPanel::State final : PanelTransport {
  explicit State(PanelConfig c) : adapter(AdapterLatencyMs(c)), engine(std::move(c), *this) {}

  // Between the line and the tool when the configuration asks for one.
  UsbAdapter adapter;
  PanelEngine engine;
  std::string devicePath;
  bool started = false;

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

  int ToolSpeed() override {
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

  // Writes the engine's answer, no byte before it is due. With an adapter
  // the bytes are due when the adapter hands them over; the answer is
  // handed over whole before the panel listens again (the tool answers an
  // answer only once it has it, so no later byte could join its last
  // packet).
  void Send(const std::vector<uint8_t>& bytes, const std::vector<int64_t>& arrival) override {
    std::vector<uint8_t> out;
    std::vector<int64_t> due;
    if (adapter.On()) {
      std::vector<UsbAdapter::Handed> handed;
      for (size_t k = 0; k < bytes.size(); ++k) adapter.Arrive(bytes[k], arrival[k], &handed);
      adapter.Flush(&handed);
      for (const UsbAdapter::Handed& h : handed) {
        out.push_back(h.byte);
        due.push_back(h.atNs);
      }
    } else {
      out = bytes;
      due = arrival;
    }
    size_t i = 0;
    while (i < out.size()) {
      size_t end = i + 1;
      while (end < out.size() && due[end] - due[i] < kPaceGroupNs) ++end;
      if (!SleepUntil(At(due[end - 1]))) return;
      if (!WriteAll(out.data() + i, end - i)) return;
      i = end;
    }
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

  void HangUp(int64_t atNs) override {
    SleepUntil(At(atNs));
    LetOutputDrain();
    CloseTheLine();
  }

  void CloseWatch() {
    std::lock_guard<std::mutex> lock(fdMutex);
    if (watchFd >= 0) ::close(watchFd);
    watchFd = -1;
  }

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
    const int64_t now = NowNs();
    if (ReopenedSinceLastLook()) {
      // The driver purges the adapter's buffer when the port is opened.
      adapter.Purge();
      engine.NoteReopen();
    }
    engine.Receive(now, got.data(), got.size());
  }

  void Serve() {
    std::optional<int64_t> wakeAt;
    while (!stopping) {
      pollfd p[2] = {{wakeFd, POLLIN, 0}, {closed ? -1 : masterFd, POLLIN, 0}};
      timespec ts{};
      timespec* timeout = nullptr;
      if (wakeAt && !closed) {
        const int64_t left = std::max<int64_t>(0, *wakeAt - NowNs());
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
      wakeAt = closed ? std::nullopt : engine.Process(NowNs());
    }
  }
};

SimPanel::SimPanel(PanelConfig cfg) : s_(std::make_unique<State>(std::move(cfg))) {}

SimPanel::~SimPanel() { Stop(); }

bool SimPanel::Start(std::string* error) {
  State& s = *s_;
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (s.started || s.stopping) return fail("a panel is started once");
  std::string invalid;
  if (!s.engine.Valid(&invalid)) return fail(invalid);

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
  // The serving thread has ended: the engine is this thread's now.
  s.engine.LineGone();
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
int SimPanel::Model() const { return s_->engine.Model(); }
bool SimPanel::IsLarge() const { return s_->engine.IsLarge(); }
int SimPanel::PanelSpeed() const { return s_->engine.PanelSpeed(); }

std::vector<uint8_t> SimPanel::ReadMemory(uint32_t addr, size_t count) const {
  // Ends at once when no write is open; a stalled block is given up by the
  // panel itself after its idle limit, so 10 s is reached only by a panel
  // thread that does not run.
  s_->engine.WaitForWriteData(std::chrono::seconds(10));
  return s_->engine.ReadMemory(addr, count);
}

void SimPanel::WriteMemory(uint32_t addr, const std::vector<uint8_t>& bytes) { s_->engine.WriteMemory(addr, bytes); }

void SimPanel::SetFault(Fault f) { s_->engine.SetFault(f); }

int SimPanel::ExchangeCount() const { return s_->engine.ExchangeCount(); }
bool SimPanel::WaitForWriteData(std::chrono::milliseconds limit) const {
  return s_->engine.WaitForWriteData(limit);
}

std::vector<std::array<uint8_t, 6>> SimPanel::HeadersReceived() const { return s_->engine.HeadersReceived(); }

std::vector<uint8_t> SimPanel::ReceivedBytes() const { return s_->engine.ReceivedBytes(); }

int SimPanel::LineSpeed() const { return s_->HeldLineSpeed(); }

bool SimPanel::LineClosed() const { return s_->closed; }

}  // namespace tarvex::sim
