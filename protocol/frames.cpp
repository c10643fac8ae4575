#include "protocol/frames.h"

#include <algorithm>
#include <array>

namespace tarvex {

THeader MakeSmallHeader(uint8_t command, uint32_t address, uint32_t lastIndex) {
  THeader h{command,
            static_cast<uint8_t>(address & 0xFF),
            static_cast<uint8_t>((address >> 8) & 0xFF),
            static_cast<uint8_t>(lastIndex & 0xFF),
            static_cast<uint8_t>((lastIndex >> 8) & 0xFF),
            0};
  h[5] = Sum8(h.data(), 5);
  return h;
}

THeader MakeLargeHeader(uint8_t command, uint32_t address, uint32_t lastIndex) {
  THeader h{static_cast<uint8_t>(command | ((lastIndex >> 8) & 0xFF)),
            static_cast<uint8_t>(lastIndex & 0xFF),
            static_cast<uint8_t>((address >> 16) & 0xFF),
            static_cast<uint8_t>((address >> 8) & 0xFF),
            static_cast<uint8_t>(address & 0xFF),
            0};
  h[5] = Sum8(h.data(), 5);
  return h;
}

uint8_t Sum8(const uint8_t* data, size_t count) {
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  return sum;
}

namespace {

// Polynomial 0x8005, most significant bit first, one entry per byte value.
constexpr std::array<uint16_t, 256> kCrcTable = [] {
  std::array<uint16_t, 256> table{};
  for (unsigned v = 0; v < 256; ++v) {
    uint16_t crc = static_cast<uint16_t>(v << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x8005 : crc << 1);
    table[v] = crc;
  }
  return table;
}();

}  // namespace

uint16_t Crc16Cms(const uint8_t* data, size_t count) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < count; ++i)
    crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ data[i]) & 0xFF]);
  return crc;
}

namespace {
uint8_t UpperAscii(uint8_t c) { return (c >= 0x61 && c <= 0x7A) ? static_cast<uint8_t>(c - 0x20) : c; }
}  // namespace

bool EchoMatches(const THeader& sent, const std::string& reply) {
  if (reply.size() != sent.size()) return false;
  for (size_t i = 0; i < sent.size(); ++i)
    if (UpperAscii(sent[i]) != UpperAscii(static_cast<uint8_t>(reply[i]))) return false;
  return true;
}

namespace {

// A wait that gave up, for the trace: what it awaited and its limit.
void TraceWaitEnded(const TComm& comm, TTraceRole role, bool large, uint32_t index, uint32_t length,
                    uint32_t done, const uint8_t* sofar, double limitSeconds) {
  TTraceEvent e(TTraceKind::WaitEnded);
  e.role = role;
  e.large = large;
  e.lineLost = comm.LineLost;
  e.bytes = sofar;
  e.index = index;
  e.length = length;
  e.done = done;
  e.limitSeconds = limitSeconds;
  e.ms = WaitLimitMs(limitSeconds);
  TraceEvent(comm, e);
}

}  // namespace

std::string ReadReply(TComm& comm, int count, double limitSeconds, TTraceRole role) {
  TCommSystem& sys = SystemOf(comm);
  const int64_t start = sys.NowMs();
  const int64_t limitMs = WaitLimitMs(limitSeconds);
  for (;;) {
    const int32_t queued = BytesWaiting(comm);
    if (queued >= count) {
      std::string out(static_cast<size_t>(count), '\0');
      ReadComm(comm, reinterpret_cast<uint8_t*>(out.data()), static_cast<uint16_t>(count));
      return out;
    }
    const int64_t elapsed = sys.NowMs() - start;
    if (elapsed >= limitMs || comm.LineLost) {
      if (comm.Trace)
        TraceWaitEnded(comm, role, false, 0, static_cast<uint32_t>(count), static_cast<uint32_t>(queued), nullptr,
                       limitSeconds);
      return std::string();
    }
    if (comm.Handle == -1) {
      sys.SleepMs(limitMs - elapsed);
    } else if (queued == 0) {
      WaitForInputOn(comm, limitMs - elapsed);
    } else {
      // Part of the reply is here; the rest is a few byte times away. A
      // short sleep keeps this from spinning while it trickles in.
      sys.SleepMs(std::min<int64_t>(1, limitMs - elapsed));
    }
  }
}

namespace {

// Reads count bytes, each with the data-byte limit. Bytes that are already
// queued have arrived within their limit, so they are taken in one read
// rather than one system call each; the wait only starts for a byte that
// is not there yet. role and large say in the trace which byte did not come.
bool ReceiveBytes(TComm& comm, uint8_t* dst, size_t count, TTraceRole role, bool large) {
  size_t i = 0;
  while (i < count) {
    const int32_t queued = BytesWaiting(comm);
    if (queued > 0) {
      const size_t n = std::min<size_t>({static_cast<size_t>(queued), count - i, 0xFFFF});
      ReadComm(comm, dst + i, static_cast<uint16_t>(n));
      i += n;
      continue;
    }
    const std::string c = ReadCharTimed(comm, kDataByteLimit);
    if (c.empty()) {
      if (comm.Trace)
        TraceWaitEnded(comm, role, large, static_cast<uint32_t>(i + 1), static_cast<uint32_t>(count),
                       static_cast<uint32_t>(i), dst, kDataByteLimit);
      return false;
    }
    dst[i++] = static_cast<uint8_t>(c[0]);
  }
  return true;
}

// Why one attempt of an exchange failed.
enum class TFailure : uint8_t { None, NoEcho, WrongEcho, NoData, NoCheck, BadCheck };

const char* FailureText(TFailure f, bool large, const TComm& comm) {
  if (comm.LineLost && f != TFailure::None) return "the line was lost";
  switch (f) {
    case TFailure::None: return nullptr;
    case TFailure::NoEcho: return "no echo";
    case TFailure::WrongEcho: return "the echo does not match the header";
    case TFailure::NoData: return "the data stopped coming";
    case TFailure::NoCheck: return large ? "the CRC did not come" : "the sum did not come";
    case TFailure::BadCheck: return large ? "bad CRC" : "bad sum";
  }
  return nullptr;
}

// A check received (expected from the data, got from the line) or sent.
void TraceCheck(const TComm& comm, bool large, bool write, const uint8_t* bytes, uint32_t expected, uint32_t got) {
  TTraceEvent e(TTraceKind::Check);
  e.large = large;
  e.write = write;
  e.ok = expected == got;
  e.bytes = bytes;
  e.count = large ? 2 : 1;
  e.expected = expected;
  e.got = got;
  TraceEvent(comm, e);
}

// The data of a read reply and its check: the sum (small) or the CRC, low
// byte first (large).
TFailure ReceiveData(TComm& comm, uint8_t* dst, uint32_t lastIndex, bool large) {
  const size_t n = static_cast<size_t>(lastIndex) + 1;
  if (!ReceiveBytes(comm, dst, n, TTraceRole::Data, large)) return TFailure::NoData;
  if (comm.Trace) TraceBytes(comm, TTraceKind::Received, TTraceRole::Data, dst, n);
  uint8_t check[2] = {0, 0};
  if (!ReceiveBytes(comm, check, large ? 2 : 1, TTraceRole::Check, large)) return TFailure::NoCheck;
  const uint32_t expected = large ? Crc16Cms(dst, n) : Sum8(dst, n);
  const uint32_t got = large ? static_cast<uint32_t>(check[0] | (check[1] << 8)) : check[0];
  if (comm.Trace) TraceCheck(comm, large, false, check, expected, got);
  return got == expected ? TFailure::None : TFailure::BadCheck;
}

}  // namespace

bool ReceiveSmallData(TComm& comm, uint8_t* dst, uint32_t lastIndex) {
  return ReceiveData(comm, dst, lastIndex, false) == TFailure::None;
}

bool ReceiveLargeData(TComm& comm, uint8_t* dst, uint32_t lastIndex) {
  return ReceiveData(comm, dst, lastIndex, true) == TFailure::None;
}

int ReadEchoLimitSeconds(uint32_t lastIndex) {
  const int64_t ms = std::min<int64_t>(kEchoBaseMs + int64_t{kEchoPerByteMs} * lastIndex, kEchoMaxMs);
  return static_cast<int>(ms / 1000);
}

namespace {

// Why each pause of an exchange is made, in the trace.
constexpr const char* kAfterGood = "after a good exchange";
constexpr const char* kAfterFailed = "after a failed attempt";
constexpr const char* kBeforeRetry = "before a retry";
constexpr const char* kAfterWritten = "after a written block";

// One exchange as the trace names it.
struct TExchange {
  bool write;
  bool large;
  uint32_t address;
  uint32_t lastIndex;
};

void SendHeader(TComm& comm, const THeader& h, const TExchange& x) {
  FlushInput(comm);
  WriteComm(comm, h.data(), static_cast<uint16_t>(h.size()));
  if (comm.Trace) {
    TTraceEvent e(TTraceKind::Sent);
    e.role = TTraceRole::Header;
    e.write = x.write;
    e.large = x.large;
    e.bytes = h.data();
    e.count = h.size();
    e.address = x.address;
    e.length = x.lastIndex + 1;
    TraceEvent(comm, e);
  }
}

// The data of a write and its check, as one write on the line.
void SendData(TComm& comm, const std::string& data, size_t n, bool large) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  WriteComm(comm, bytes, static_cast<uint16_t>(data.size()));
  if (comm.Trace) {
    TraceBytes(comm, TTraceKind::Sent, TTraceRole::Data, bytes, n);
    const uint32_t check = large ? static_cast<uint32_t>(bytes[n] | (bytes[n + 1] << 8)) : bytes[n];
    TraceCheck(comm, large, true, bytes + n, check, check);
  }
}

// Reads the echo of the header sent.
TFailure TakeEcho(TComm& comm, const THeader& h, double limitSeconds) {
  const std::string reply = ReadReply(comm, 6, limitSeconds, TTraceRole::Echo);
  if (reply.empty()) return TFailure::NoEcho;
  const bool ok = EchoMatches(h, reply);
  TraceBytes(comm, TTraceKind::Received, TTraceRole::Echo, reinterpret_cast<const uint8_t*>(reply.data()),
             reply.size(), ok);
  return ok ? TFailure::None : TFailure::WrongEcho;
}

// The attempt loops test their condition at the end: an exchange is always
// tried at least once, and at most Attempts times.
bool MoreAttempts(const TSession& s, int made) { return made < s.SystemFlags.Attempts; }

void TraceRetry(const TComm& comm, const TSession& s, int made, TFailure last, bool large) {
  TTraceEvent e(TTraceKind::Retry);
  e.attempt = made + 1;
  e.attempts = s.SystemFlags.Attempts;
  e.why = FailureText(last, large, comm);
  TraceEvent(comm, e);
}

void TraceExchange(const TComm& comm, const TSession& s, const TExchange& x, int made, TFailure last) {
  TTraceEvent e(TTraceKind::Exchange);
  e.ok = last == TFailure::None;
  e.write = x.write;
  e.large = x.large;
  e.address = x.address;
  e.length = x.lastIndex + 1;
  e.attempt = made;
  e.attempts = s.SystemFlags.Attempts;
  e.why = FailureText(last, x.large, comm);
  TraceEvent(comm, e);
}

}  // namespace

bool ReadSmallBlock(TSession& s, uint32_t address, uint32_t lastIndex, uint8_t* block, TComm& comm) {
  const int limit = ReadEchoLimitSeconds(lastIndex);
  const THeader h = MakeSmallHeader(kSmallReadCommand, address, lastIndex);
  const TExchange x{false, false, address, lastIndex};
  int made = 0;
  TFailure failure = TFailure::None;
  do {
    if (made > 0 && comm.Trace) TraceRetry(comm, s, made, failure, x.large);
    SendHeader(comm, h, x);
    failure = TakeEcho(comm, h, limit);
    if (failure == TFailure::None) failure = ReceiveData(comm, block, lastIndex, false);
    s.Pump();
    ++made;
    // This exchange pauses after every failed attempt, the last one too.
    const bool ok = failure == TFailure::None;
    SleepOn(comm, ok ? s.SystemFlags.SuccessPauseMs : s.SystemFlags.RetryPauseMs, ok ? kAfterGood : kAfterFailed);
  } while (failure != TFailure::None && MoreAttempts(s, made));
  if (comm.Trace) TraceExchange(comm, s, x, made, failure);
  return failure == TFailure::None;
}

bool WriteSmallBlock(TSession& s, uint32_t address, uint32_t lastIndex, const uint8_t* block, TComm& comm) {
  const THeader h = MakeSmallHeader(kSmallWriteCommand, address, lastIndex);
  const TExchange x{true, false, address, lastIndex};
  const size_t n = static_cast<size_t>(lastIndex) + 1;
  std::string data(reinterpret_cast<const char*>(block), n);
  data.push_back(static_cast<char>(Sum8(block, n)));
  int made = 0;
  TFailure failure = TFailure::None;
  do {
    if (made > 0 && comm.Trace) TraceRetry(comm, s, made, failure, x.large);
    SendHeader(comm, h, x);
    SendData(comm, data, n, false);
    failure = TakeEcho(comm, h, kSmallWriteEchoLimit);
    s.Pump();
    ++made;
    if (failure != TFailure::None && MoreAttempts(s, made)) SleepOn(comm, s.SystemFlags.SuccessPauseMs, kBeforeRetry);
  } while (failure != TFailure::None && MoreAttempts(s, made));
  if (failure == TFailure::None) SleepOn(comm, kSmallWriteSuccessPauseMs, kAfterWritten);
  if (comm.Trace) TraceExchange(comm, s, x, made, failure);
  return failure == TFailure::None;
}

bool ReadLargeBlock(TSession& s, uint32_t address, uint32_t lastIndex, uint8_t* block, TComm& comm) {
  const int limit = ReadEchoLimitSeconds(lastIndex);
  const THeader h = MakeLargeHeader(kLargeReadCommand, address, lastIndex);
  const TExchange x{false, true, address, lastIndex};
  int made = 0;
  TFailure failure = TFailure::None;
  do {
    if (made > 0 && comm.Trace) TraceRetry(comm, s, made, failure, x.large);
    SendHeader(comm, h, x);
    failure = TakeEcho(comm, h, limit);
    if (failure == TFailure::None) failure = ReceiveData(comm, block, lastIndex, true);
    s.Pump();
    ++made;
    if (failure != TFailure::None && MoreAttempts(s, made)) SleepOn(comm, s.SystemFlags.RetryPauseMs, kBeforeRetry);
  } while (failure != TFailure::None && MoreAttempts(s, made));
  if (failure == TFailure::None) SleepOn(comm, s.SystemFlags.SuccessPauseMs, kAfterGood);
  if (comm.Trace) TraceExchange(comm, s, x, made, failure);
  return failure == TFailure::None;
}

bool WriteLargeBlock(TSession& s, uint32_t address, uint32_t lastIndex, const uint8_t* block, TComm& comm) {
  const THeader h = MakeLargeHeader(kLargeWriteCommand, address, lastIndex);
  const TExchange x{true, true, address, lastIndex};
  const size_t n = static_cast<size_t>(lastIndex) + 1;
  std::string data(reinterpret_cast<const char*>(block), n);
  const uint16_t crc = Crc16Cms(block, n);
  data.push_back(static_cast<char>(crc & 0xFF));
  data.push_back(static_cast<char>(crc >> 8));
  int made = 0;
  TFailure failure = TFailure::None;
  do {
    if (made > 0 && comm.Trace) TraceRetry(comm, s, made, failure, x.large);
    SendHeader(comm, h, x);
    SendData(comm, data, n, true);
    failure = TakeEcho(comm, h, kLargeWriteEchoLimit);
    s.Pump();
    ++made;
    if (failure != TFailure::None && MoreAttempts(s, made)) SleepOn(comm, s.SystemFlags.RetryPauseMs, kBeforeRetry);
  } while (failure != TFailure::None && MoreAttempts(s, made));
  if (failure == TFailure::None) SleepOn(comm, s.SystemFlags.SuccessPauseMs, kAfterGood);
  if (comm.Trace) TraceExchange(comm, s, x, made, failure);
  return failure == TFailure::None;
}

namespace {

// What distinguishes the four range operations.
struct TRangeKind {
  uint32_t blockSize;
  bool isWrite;
  bool refuseStartZero;
  bool pumpAfterStep;        // the large read pumps once more per block
  bool restoreCursorAtEnd;   // the large write puts the pointer back
  int (*pauseMs)(const TSession&);
  bool (*readBlock)(TSession&, uint32_t, uint32_t, uint8_t*, TComm&);
  bool (*writeBlock)(TSession&, uint32_t, uint32_t, const uint8_t*, TComm&);
};

int NoPause(const TSession&) { return 0; }
int SmallWritePause(const TSession&) { return kSmallWriteRangePauseMs; }
int LargeWritePause(const TSession&) { return kLargeWriteRangePauseMs; }
int SuccessPause(const TSession& s) { return s.SystemFlags.SuccessPauseMs; }

constexpr TRangeKind kSmallRead{SmallBlockSize, false, false, false, false, NoPause, ReadSmallBlock, nullptr};
constexpr TRangeKind kSmallWrite{SmallBlockSize, true, true, false, false, SmallWritePause, nullptr, WriteSmallBlock};
constexpr TRangeKind kLargeRead{LargeBlockSize, false, true, true, false, SuccessPause, ReadLargeBlock, nullptr};
constexpr TRangeKind kLargeWrite{LargeBlockSize, true, true, false, true, LargeWritePause, nullptr, WriteLargeBlock};

// A range's outcome in the trace; a refusal carries its reason.
void TraceRange(const TComm& comm, const TRangeKind& kind, bool ok, uint32_t start, uint32_t length, uint32_t done,
                const char* refusal) {
  TTraceEvent e(TTraceKind::Range);
  e.ok = ok;
  e.write = kind.isWrite;
  e.large = kind.blockSize == LargeBlockSize;
  e.address = start;
  e.length = length;
  e.done = done;
  e.why = refusal;
  TraceEvent(comm, e);
}

bool RunRange(TSession& s, const TRangeKind& kind, int32_t start, int32_t lastIndex, TTransferBuffer& buffer,
              TComm& comm) {
  if (kind.refuseStartZero && start == 0) {
    if (comm.Trace) TraceRange(comm, kind, false, 0, 0, 0, "start address 0, nothing sent");
    return false;
  }
  // A range never reaches past the transfer buffer.
  if (lastIndex < 0 || lastIndex > kMaxLastIndex || start < 0) {
    if (comm.Trace) TraceRange(comm, kind, false, 0, 0, 0, "outside the transfer buffer, nothing sent");
    return false;
  }
  uint8_t block[LargeBlockSize];
  int64_t remaining = int64_t{lastIndex} + 1;
  uint32_t address = static_cast<uint32_t>(start);
  bool ok = true;
  while (remaining > 0) {
    const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(remaining, kind.blockSize));
    const size_t at = address - static_cast<uint32_t>(start);
    if (kind.isWrite) {
      ok = kind.writeBlock(s, address, n - 1, buffer.data() + at, comm);
    } else {
      ok = kind.readBlock(s, address, n - 1, block, comm);
    }
    if (!ok) break;
    if (kind.isWrite && s.Written) s.Written->Wrote(address, buffer.data() + at, n);
    s.Notify(ProgressStep, static_cast<int32_t>(n));
    if (kind.pumpAfterStep) s.Pump();
    if (!kind.isWrite) std::copy_n(block, n, buffer.data() + at);
    address += n;
    remaining -= n;
    if (remaining > 0) {
      const int pause = kind.pauseMs(s);
      if (pause > 0) SleepOn(comm, pause, "between blocks");
    }
  }
  if (comm.Trace)
    TraceRange(comm, kind, ok, static_cast<uint32_t>(start), static_cast<uint32_t>(lastIndex) + 1,
               address - static_cast<uint32_t>(start), nullptr);
  if (kind.restoreCursorAtEnd) s.UI->SetBusyCursor(false);
  return ok;
}

}  // namespace

bool ReadSmallRange(TSession& s, int32_t start, int32_t lastIndex, TTransferBuffer& buffer, TComm& comm) {
  return RunRange(s, kSmallRead, start, lastIndex, buffer, comm);
}

bool WriteSmallRange(TSession& s, int32_t start, int32_t lastIndex, TTransferBuffer& buffer, TComm& comm) {
  return RunRange(s, kSmallWrite, start, lastIndex, buffer, comm);
}

int ReadLargeRange(TSession& s, int32_t start, int32_t lastIndex, TTransferBuffer& buffer, TComm& comm) {
  return RunRange(s, kLargeRead, start, lastIndex, buffer, comm) ? 0 : 1;
}

bool WriteLargeRange(TSession& s, int32_t start, int32_t lastIndex, TTransferBuffer& buffer, TComm& comm) {
  return RunRange(s, kLargeWrite, start, lastIndex, buffer, comm);
}

}  // namespace tarvex
