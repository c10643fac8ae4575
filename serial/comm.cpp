// Platform-independent parts of the serial layer: the waits and the input
// flush, built on the platform's queue count and its blocking wait.
#include "serial/comm.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tarvex {

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
  return SystemOf(comm).Open(comm);
}

void CloseComm(TComm& comm) {
  if (comm.Handle == -1) return;
  SystemOf(comm).Close(comm);
}

int32_t BytesWaiting(TComm& comm) {
  if (comm.Handle == -1) return 0;
  return SystemOf(comm).Queued(comm);
}

void WriteComm(TComm& comm, const uint8_t* src, uint16_t count) {
  if (comm.Handle == -1 || count == 0) return;
  SystemOf(comm).Write(comm, src, count);
}

void ReadComm(TComm& comm, uint8_t* dst, uint16_t count) {
  if (comm.Handle == -1 || count == 0) return;
  SystemOf(comm).Read(comm, dst, count);
}

void SleepOn(const TComm& comm, int64_t ms) {
  if (ms > 0) SystemOf(comm).SleepMs(ms);
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
    sys.WaitForInput(comm, limitMs - elapsed);
  }
}

}  // namespace tarvex
