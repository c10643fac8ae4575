// The in-process line: the tool's calls drive the panel's engine on the
// line's own clock.
#include "sim/sim_line.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <thread>

#ifdef __linux__
#include <linux/serial.h>  // ASYNC_LOW_LATENCY
#endif

namespace tarvex::sim {

namespace {

using Steady = std::chrono::steady_clock;
constexpr int64_t kNsPerMs = 1'000'000;
// Handles of the line's opens: any value but -1 would do; a recognisable
// one makes a record of another line stand out in a debugger.
constexpr intptr_t kHandleBase = 0x51D0000;
// A read asked for bytes that are not there yet: they are waited for this
// long, as a real port's read would.
constexpr int64_t kShortReadWaitNs = 1000 * kNsPerMs;

// Milliseconds asked for by a caller, in nanoseconds; absurd lengths are
// cut to a day rather than overflow the clock.
int64_t MsToNs(int64_t ms) { return std::clamp<int64_t>(ms, 0, 86'400'000) * kNsPerMs; }

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch()).count();
}

}  // namespace

TSimLine::TSimLine(PanelConfig cfg, SimClock clock)
    : clock_(clock),
      engine_(std::move(cfg), *this),
      adapter_(AdapterLatencyMs(engine_.Config())),
      adapterLatencyMs_(AdapterLatencyMs(engine_.Config())) {}

int64_t TSimLine::NowNs() const { return clock_ == SimClock::Virtual ? virtualNow_ : SteadyNs(); }

void TSimLine::FailOpenAt(int n, TCommError why) {
  failOpenAt_ = n;
  failOpenWhy_ = why;
}

bool TSimLine::LineClosed() const { return HungUpBy(NowNs()); }

// ---------------------------------------------------------------- the panel's side

void TSimLine::Send(const std::vector<uint8_t>& bytes, const std::vector<int64_t>& dueNs) {
  panelSent_.insert(panelSent_.end(), bytes.begin(), bytes.end());
  // The adapter, if any, stands after the wire: a byte's arrival at the
  // far end is its arrival at the chip. What it still holds afterwards
  // goes when its timer runs out (Catch), or with the next bytes.
  std::vector<UsbAdapter::Handed> handed;
  for (size_t i = 0; i < bytes.size(); ++i) adapter_.Arrive(bytes[i], dueNs[i], &handed);
  Queue(handed);
}

void TSimLine::Queue(const std::vector<UsbAdapter::Handed>& handed) {
  for (const UsbAdapter::Handed& h : handed) {
    // The engine's times never go back; the search keeps the queue in
    // order of arrival even if they did.
    const auto at = std::upper_bound(toTool_.begin(), toTool_.end(), h.atNs,
                                     [](int64_t t, const TTimedByte& b) { return t < b.due; });
    toTool_.insert(at, TTimedByte{h.atNs, h.byte});
  }
}

void TSimLine::HangUp(int64_t atNs) {
  // The adapter still hands over what it holds from the line.
  if (const auto held = adapter_.Deadline()) atNs = std::max(atNs, *held);
  if (!hangUpAt_ || atNs < *hangUpAt_) hangUpAt_ = atNs;
}

void TSimLine::RunTo(int64_t t) {
  while (wake_ && *wake_ <= t) {
    const int64_t at = *wake_;
    wake_ = engine_.Process(at);
    // The engine always asks for a later time; should it not, looking
    // again a nanosecond later still cannot hold the line in place.
    if (wake_ && *wake_ <= at) wake_ = at + 1;
  }
}

void TSimLine::AdvanceTo(int64_t t) {
  if (clock_ == SimClock::Virtual) {
    virtualNow_ = std::max(virtualNow_, t);
    return;
  }
  const auto at = std::chrono::duration_cast<Steady::duration>(std::chrono::nanoseconds(t));
  std::this_thread::sleep_until(Steady::time_point(at));
}

int64_t TSimLine::Catch() {
  const int64_t now = NowNs();
  RunTo(now);
  // Every byte the panel sent by now has reached the adapter, so bytes
  // held whose timer ran out can go: no later byte can join them.
  if (adapter_.Held() > 0) {
    std::vector<UsbAdapter::Handed> handed;
    adapter_.Expire(now, &handed);
    Queue(handed);
  }
  return now;
}

size_t TSimLine::ArrivedBy(int64_t t) const {
  const auto end = std::upper_bound(toTool_.begin(), toTool_.end(), t,
                                    [](int64_t v, const TTimedByte& b) { return v < b.due; });
  return static_cast<size_t>(end - toTool_.begin());
}

int64_t TSimLine::NextEvent(int64_t now, int64_t limit) const {
  int64_t next = limit;
  const size_t arrived = ArrivedBy(now);
  if (arrived < toTool_.size()) next = std::min(next, toTool_[arrived].due);
  if (wake_) next = std::min(next, *wake_);
  if (hangUpAt_) next = std::min(next, *hangUpAt_);
  if (const auto held = adapter_.Deadline()) next = std::min(next, *held);
  return std::max(next, now + 1);
}

void TSimLine::AwaitBytes(TComm& comm, size_t need, int64_t limit) {
  for (;;) {
    const int64_t now = Catch();
    if (ArrivedBy(now) >= need) return;
    // A hang-up with bytes still queued lets the reader take them first.
    if (HungUpBy(now) && ArrivedBy(now) == 0) {
      comm.LineLost = true;
      return;
    }
    if (HungUpBy(now) || now >= limit) return;
    AdvanceTo(NextEvent(now, limit));
  }
}

// ---------------------------------------------------------------- the tool's side

bool TSimLine::Open(TComm& comm) {
  const int64_t now = Catch();
  ++opens_;
  auto fail = [&](TCommError kind, const std::string& why) {
    comm.LastError = kind;
    comm.LastSystemError = 0;
    comm.LastErrorText = why;
    return false;
  };
  if (opens_ == failOpenAt_) {
    return fail(failOpenWhy_, failOpenWhy_ == TCommError::InUse ? "the line is in use by another program"
                                                                : "the line is not there");
  }
  if (std::string invalid; !engine_.Valid(&invalid)) return fail(TCommError::NoDevice, invalid);
  if (HungUpBy(now)) return fail(TCommError::NoDevice, "the panel closed the line");
  if (openHandle_ != -1) return fail(TCommError::InUse, "the line is in use by another program");

  // Indices outside the table leave the speed as it was, as a port does.
  if (comm.BaudIndex < kBaudIndexCount) toolSpeed_ = kBaudTable[comm.BaudIndex];
  openHandle_ = kHandleBase + opens_;
  comm.Handle = openHandle_;
  // A port starts with an empty input queue: what reached it while it was
  // closed belongs to no exchange of this open.
  toTool_.erase(toTool_.begin(), toTool_.begin() + static_cast<std::ptrdiff_t>(ArrivedBy(now)));
  // The adapter's driver purges the chip's buffer at an open.
  adapter_.Purge();
  engine_.NoteReopen();
  openSpeeds_.push_back(toolSpeed_);
  return true;
}

void TSimLine::Close(TComm& comm) {
  Catch();
  if (IsOpen(comm)) openHandle_ = -1;
  comm.Handle = -1;
}

int32_t TSimLine::Queued(TComm& comm) {
  if (!IsOpen(comm)) return 0;
  const int64_t now = Catch();
  const size_t n = ArrivedBy(now);
  // A line that went away is reported at once, as a vanished device is:
  // a tool waiting for the rest of a partial answer (three bytes of a
  // write's echo) would otherwise wait out its whole limit. The bytes that
  // arrived before the hang-up can still be taken.
  if (HungUpBy(now)) comm.LineLost = true;
  return static_cast<int32_t>(std::min<size_t>(n, std::numeric_limits<int32_t>::max()));
}

void TSimLine::Write(TComm& comm, const uint8_t* src, uint16_t count) {
  if (!IsOpen(comm) || count == 0) return;
  const int64_t now = Catch();
  if (HungUpBy(now)) {
    comm.LineLost = true;
    return;
  }
  engine_.Receive(now, src, count);
  wake_ = engine_.Process(now);
  if (wake_ && *wake_ <= now) wake_ = now + 1;
}

void TSimLine::Read(TComm& comm, uint8_t* dst, uint16_t count) {
  if (!IsOpen(comm) || count == 0) return;
  // Callers ask only for bytes already queued; bytes still on their way
  // are waited for a while rather than invented.
  AwaitBytes(comm, count, NowNs() + kShortReadWaitNs);
  const size_t n = std::min<size_t>(count, ArrivedBy(NowNs()));
  for (size_t i = 0; i < n; ++i) dst[i] = toTool_[i].byte;
  toTool_.erase(toTool_.begin(), toTool_.begin() + static_cast<std::ptrdiff_t>(n));
}

void TSimLine::WaitForInput(TComm& comm, int64_t timeoutMs) {
  const int64_t limit = NowNs() + MsToNs(timeoutMs);
  if (!IsOpen(comm)) {
    // Nothing can arrive on a record this line did not open.
    AdvanceTo(limit);
    Catch();
    return;
  }
  AwaitBytes(comm, 1, limit);
}

int64_t TSimLine::NowMs() { return Catch() / kNsPerMs; }

void TSimLine::SleepMs(int64_t ms) {
  if (ms > 0) AdvanceTo(NowNs() + MsToNs(ms));
  Catch();
}

std::string TSimLine::Describe(const TComm& comm) {
  if (comm.LastError == TCommError::None) return std::string();
  return "simulated " + engine_.Config().model + " panel: " + comm.LastErrorText;
}

#ifdef __linux__
int TSimLine::GetSerialFlags(TComm& comm, int32_t* flags) {
  if (adapterLatencyMs_ == 0) return kNoDriver;
  if (!IsOpen(comm)) return EBADF;
  *flags = serialFlags_;
  return 0;
}

int TSimLine::SetSerialFlags(TComm& comm, int32_t flags) {
  if (adapterLatencyMs_ == 0) return kNoDriver;
  if (!IsOpen(comm)) return EBADF;
  serialFlags_ = flags;
  adapter_.SetLatencyMs((flags & ASYNC_LOW_LATENCY) ? UsbAdapter::kLowLatencyMs : adapterLatencyMs_);
  return 0;
}
#endif

}  // namespace tarvex::sim
