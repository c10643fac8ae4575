// Platform-independent parts of the serial layer: the waits and the input
// flush, built on the platform's queue count and its blocking wait.
#include "serial/comm.h"

#ifdef __linux__
#include <linux/serial.h>  // ASYNC_LOW_LATENCY
#endif

#include <algorithm>
#include <cmath>
#include <vector>

#include "serial/trace.h"

namespace tarvex {

namespace {

// The moment a system call finds the line gone is traced once.
void TraceIfLost(const TComm& comm, bool lostBefore) {
  if (comm.Trace && !lostBefore && comm.LineLost) TraceEvent(comm, TTraceEvent(TTraceKind::LineLost));
}

#ifdef __linux__
// Asks the driver of an open port for low latency. A USB adapter holds the
// bytes it receives until its buffer fills or its latency timer runs out
// (16 ms on the common chips), and every exchange waits on a reply, so a
// short reply would cost that time each time; with the flag set the driver
// (ftdi_sio among others) lowers the timer to 1 ms. Any user may ask. A
// driver that refuses (a pseudo-terminal, a driver without the request) is
// no fault of the port: the link works as before, only slower on such an
// adapter.
void AskForLowLatency(TComm& comm) {
  TCommSystem& sys = SystemOf(comm);
  int32_t flags = 0;
  int err = sys.GetSerialFlags(comm, &flags);
  if (err == TCommSystem::kNoDriver) return;
  if (err == 0 && (flags & ASYNC_LOW_LATENCY) == 0) err = sys.SetSerialFlags(comm, flags | ASYNC_LOW_LATENCY);
  if (err == TCommSystem::kNoDriver || !comm.Trace) return;
  TTraceEvent e(TTraceKind::LowLatency);
  e.ok = err == 0;
  e.got = static_cast<uint32_t>(err);
  TraceEvent(comm, e);
}
#endif

}  // namespace

int64_t WaitLimitMs(double limitSeconds) {
  // A wait gives up once the elapsed whole seconds exceed the limit, that is
  // at the first whole second above floor(limit).
  if (!(limitSeconds >= 0)) return 0;
  return (static_cast<int64_t>(std::floor(limitSeconds)) + 1) * 1000;
}

bool OpenComm(TComm& comm) {
  // Opening an open record reopens it with the current settings.
  CloseComm(comm);
  comm.LastError = TCommError::None;
  comm.LastSystemError = 0;
  comm.LastErrorText.clear();
  comm.LineLost = false;
  const bool ok = SystemOf(comm).Open(comm);
  if (comm.Trace) {
    TTraceEvent e(TTraceKind::Open);
    e.ok = ok;
    TraceEvent(comm, e);
  }
#ifdef __linux__
  if (ok) AskForLowLatency(comm);
#endif
  return ok;
}

void CloseComm(TComm& comm) {
  if (comm.Handle == -1) return;
  SystemOf(comm).Close(comm);
  if (comm.Trace) TraceEvent(comm, TTraceEvent(TTraceKind::Close));
}

int32_t BytesWaiting(TComm& comm) {
  if (comm.Handle == -1) return 0;
  const bool lost = comm.LineLost;
  const int32_t n = SystemOf(comm).Queued(comm);
  TraceIfLost(comm, lost);
  return n;
}

void WriteComm(TComm& comm, const uint8_t* src, uint16_t count) {
  if (comm.Handle == -1 || count == 0) return;
  const bool lost = comm.LineLost;
  SystemOf(comm).Write(comm, src, count);
  TraceIfLost(comm, lost);
}

void ReadComm(TComm& comm, uint8_t* dst, uint16_t count) {
  if (comm.Handle == -1 || count == 0) return;
  const bool lost = comm.LineLost;
  SystemOf(comm).Read(comm, dst, count);
  TraceIfLost(comm, lost);
}

void WaitForInputOn(TComm& comm, int64_t timeoutMs) {
  const bool lost = comm.LineLost;
  SystemOf(comm).WaitForInput(comm, timeoutMs);
  TraceIfLost(comm, lost);
}

void SleepOn(const TComm& comm, int64_t ms, const char* why) {
  if (ms <= 0) return;
  if (comm.Trace) {
    TTraceEvent e(TTraceKind::Pause);
    e.ms = ms;
    e.why = why;
    TraceEvent(comm, e);
  }
  SystemOf(comm).SleepMs(ms);
}

std::string DescribeCommError(const TComm& comm) { return SystemOf(comm).Describe(comm); }

void FlushInput(TComm& comm) {
  std::vector<uint8_t> scratch;
  for (;;) {
    const int32_t n = BytesWaiting(comm);
    if (n <= 0) return;
    scratch.resize(static_cast<size_t>(n));
    // Read in pieces a 16-bit count can carry.
    size_t done = 0;
    while (done < scratch.size()) {
      const uint16_t piece = static_cast<uint16_t>(std::min<size_t>(scratch.size() - done, 0xFFFF));
      ReadComm(comm, scratch.data() + done, piece);
      done += piece;
    }
    // Late or stray bytes (the rest of an abandoned reply, noise) are what
    // support most needs to see when a line is out of step.
    if (comm.Trace) {
      TTraceEvent e(TTraceKind::Dropped);
      e.bytes = scratch.data();
      e.count = scratch.size();
      TraceEvent(comm, e);
    }
    if (comm.LineLost) return;
  }
}

std::string ReadCharTimed(TComm& comm, double limitSeconds) {
  TCommSystem& sys = SystemOf(comm);
  const int64_t start = sys.NowMs();
  const int64_t limitMs = WaitLimitMs(limitSeconds);
  for (;;) {
    if (BytesWaiting(comm) > 0) {
      uint8_t byte = 0;
      ReadComm(comm, &byte, 1);
      return std::string(1, static_cast<char>(byte));
    }
    const int64_t elapsed = sys.NowMs() - start;
    if (elapsed >= limitMs || comm.LineLost) return std::string();
    if (comm.Handle == -1) {
      // Nothing can arrive on a closed record: wait out the limit without
      // touching the port.
      sys.SleepMs(limitMs - elapsed);
      continue;
    }
    WaitForInputOn(comm, limitMs - elapsed);
  }
}

}  // namespace tarvex
