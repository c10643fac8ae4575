// The line trace: one line of text per event on the panel line, for an
// installer to send to support when a panel will not talk.
//
// The serial layer and the exchange code feed a TLineTrace through the
// port record (TComm::Trace) with plain values: bytes, counts, addresses,
// limits, static reasons. Every feed point tests the pointer first, so a
// port without a trace formats nothing and costs one comparison per event.
// All wording lives in the file sink (TTraceFile), in one place.
//
// Times are milliseconds on the serial layer's own clock (the record's
// TCommSystem::NowMs), so a trace made on a simulated line with a virtual
// clock has exact times. The start time in the first line is the only
// wall-clock item.
//
// Data bytes of a block hold user codes. Unless the trace was opened with
// data, a block appears as its length and its check only, and input dropped
// before a header as its length only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "serial/comm.h"

namespace tarvex {

// What was sent or received, as the exchange code knows it.
enum class TTraceRole : uint8_t {
  None,       // bytes without a known role
  Header,     // a command header
  Echo,       // the panel's echo of a header
  Data,       // the data of a block: user codes among them
  Check,      // the check after the data: a sum byte or a CRC
  Probe,      // the large panel's baud probe
  ProbeEcho,  // the probe coming back
};

enum class TTraceKind : uint8_t {
  Open,       // an open, good or failed (ok), with the record's settings
  Close,      // the port was closed
  LineLost,   // the line went away under the open port
  Dropped,    // queued input dropped before a header (bytes, count)
  Sent,       // bytes written (role, bytes, count; a header its frame fields)
  Received,   // an echo (ok: matched) or a block's data (bytes, count)
  Check,      // a check received (ok, expected, got) or sent (sent)
  WaitEnded,  // a wait that ran out, or ended as the line was lost (lineLost)
  Pause,      // a pause of ms, why
  Retry,      // attempt of attempts, after a failure (why)
  Exchange,   // a block exchange's outcome (ok, why, attempt = tries made)
  Range,      // a range's outcome (ok, why, done bytes of length)
  BaudProbe,  // one speed of the baud search: echoed (ok) or not, at baud
  BaudSearch, // the baud search's outcome: found (ok) at baud
  LowLatency, // the driver's answer to the low-latency request: granted (ok), or refused with system error got
};

struct TTraceEvent {
  explicit TTraceEvent(TTraceKind k) : kind(k) {}
  TTraceKind kind;
  TTraceRole role = TTraceRole::None;
  bool ok = false;
  bool write = false;     // a write header or exchange, a sent check
  bool large = false;     // the large panel's frames: 24-bit address, CRC
  bool lineLost = false;  // a wait ended because the line went away
  const uint8_t* bytes = nullptr;
  size_t count = 0;       // of bytes
  uint32_t address = 0;   // panel address of a header, block or range
  uint32_t length = 0;    // bytes a header asks for, a block or range moves
  uint32_t done = 0;      // bytes a range moved; bytes a wait got
  uint32_t index = 0;     // the awaited byte, counting from 1
  uint32_t expected = 0;  // a check: the value the data gives
  uint32_t got = 0;       // a check: the value received
  int attempt = 0;        // a retry's attempt, an exchange's tries made
  int attempts = 0;       // the attempts allowed
  int baud = 0;
  int64_t ms = 0;         // a pause; a wait's cut-off
  double limitSeconds = 0;
  const char* why = nullptr;  // a static text
};

// Where the events go. Called on the thread that uses the port.
class TLineTrace {
 public:
  virtual ~TLineTrace() = default;
  virtual void Record(const TComm& comm, const TTraceEvent& e) = 0;
};

// Feeds the record's trace, if it has one.
inline void TraceEvent(const TComm& comm, const TTraceEvent& e) {
  if (comm.Trace) comm.Trace->Record(comm, e);
}

// Bytes that went out or came in in one role; ok, where the role has a
// right answer (an echo), says whether they were it.
inline void TraceBytes(const TComm& comm, TTraceKind kind, TTraceRole role, const uint8_t* bytes, size_t count,
                       bool ok = false) {
  if (!comm.Trace) return;
  TTraceEvent e(kind);
  e.role = role;
  e.ok = ok;
  e.bytes = bytes;
  e.count = count;
  comm.Trace->Record(comm, e);
}

struct TTraceFileOptions {
  // Writes the data bytes of blocks too; the first line then warns that
  // the file holds user codes.
  bool withData = false;
  // Named in the first line: the program and its version.
  std::string program;
  // The clock whose reading at the opening is time 0; null starts the
  // count at the first event.
  TCommSystem* clock = nullptr;
};

// A trace written to a file, one line per event, each written whole as it
// happens (no buffer in the program), so a crash or a pulled adapter
// leaves every line before it in the file. The file is created readable and
// writable by its owner only (POSIX), replacing a regular file of the same
// name; a symbolic link or anything but a regular file is refused.
//
// A trace can serve several lines in turn (a window whose user picks
// another port): when the events start coming from another clock, the
// count carries on from the last time written.
class TTraceFile final : public TLineTrace {
 public:
  // Null, with the reason in error, when the file cannot be created.
  static std::unique_ptr<TTraceFile> Open(const std::string& path, const TTraceFileOptions& options,
                                          std::string* error);
  ~TTraceFile() override;
  TTraceFile(const TTraceFile&) = delete;
  TTraceFile& operator=(const TTraceFile&) = delete;

  void Record(const TComm& comm, const TTraceEvent& e) override;

  bool WithData() const { return withData_; }
  // False once a line could not be written (a full disk): the rest of the
  // run goes on untraced rather than failing.
  bool Healthy() const { return healthy_.load(); }

 private:
  TTraceFile(intptr_t handle, const TTraceFileOptions& options);
  void WriteLine(const std::string& line);
  int64_t Stamp(const TComm& comm);

  std::mutex mutex_;
  intptr_t handle_;
  bool withData_;
  std::atomic<bool> healthy_{true};
  const TCommSystem* clock_ = nullptr;  // whose readings the offset applies to
  int64_t offset_ = 0;                  // added to a reading of clock_
  int64_t last_ = 0;                    // the latest time written
};

}  // namespace tarvex
