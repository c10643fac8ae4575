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

TResult ResultOf(TFailure f) {
  switch (f) {
    case TFailure::None: return TResult::Ok;
    case TFailure::NoEcho: return TResult::NoEcho;
    case TFailure::WrongEcho: return TResult::BadEcho;
    case TFailure::NoData: return TResult::ShortData;
    case TFailure::NoCheck: return TResult::NoCheck;
    case TFailure::BadCheck: return TResult::BadCheck;
  }
  return TResult::Ok;
}

void TraceRetry(const TComm& comm, const TLink& link, int made, TFailure last, bool large) {
  TTraceEvent e(TTraceKind::Retry);
  e.attempt = made + 1;
  e.attempts = link.Tuning.Attempts;
  e.why = FailureText(last, large, comm);
  TraceEvent(comm, e);
}

void TraceExchange(const TComm& comm, const TLink& link, const TExchange& x, int made, TFailure last) {
  TTraceEvent e(TTraceKind::Exchange);
  e.ok = last == TFailure::None;
  e.write = x.write;
  e.large = x.large;
  e.address = x.address;
  e.length = x.lastIndex + 1;
  e.attempt = made;
  e.attempts = link.Tuning.Attempts;
  e.why = FailureText(last, x.large, comm);
  TraceEvent(comm, e);
}

// What differs between the four block exchanges: the frames, the echo's
// limit and the pauses around the attempts.
struct TExchangeRule {
  bool large;
  bool write;
  int (*failedPauseMs)(const TLinkTuning&);  // after a failed attempt...
  bool pauseAfterLastFailure;                // ...the last one too
  const char* failedWhy;
  int (*goodPauseMs)(const TLinkTuning&);    // after the exchange succeeded
  const char* goodWhy;
};

int SuccessPause(const TLinkTuning& t) { return t.SuccessPauseMs; }
int RetryPause(const TLinkTuning& t) { return t.RetryPauseMs; }
int SmallWrittenPause(const TLinkTuning&) { return kSmallWriteSuccessPauseMs; }

// The small read pauses after every failed attempt; the small write retries
// after the short pause of a good exchange and rests longer once written.
constexpr TExchangeRule kSmallReadRule{false, false, RetryPause, true, kAfterFailed, SuccessPause, kAfterGood};
constexpr TExchangeRule kSmallWriteRule{false, true, SuccessPause, false, kBeforeRetry, SmallWrittenPause,
                                        kAfterWritten};
constexpr TExchangeRule kLargeReadRule{true, false, RetryPause, false, kBeforeRetry, SuccessPause, kAfterGood};
constexpr TExchangeRule kLargeWriteRule{true, true, RetryPause, false, kBeforeRetry, SuccessPause, kAfterGood};

// One exchange with its attempts. The loop tests its condition at the end:
// an exchange is always tried at least once, and at most Attempts times.
// A read's data go into block; a write sends data (block and check).
TOutcome Exchange(TLink& link, const TExchangeRule& rule, const THeader& h, uint32_t address, uint32_t lastIndex,
                  double echoLimit, uint8_t* block, const std::string& data) {
  TComm& comm = link.PanelPort;
  const TExchange x{rule.write, rule.large, address, lastIndex};
  const size_t n = static_cast<size_t>(lastIndex) + 1;
  int made = 0;
  TFailure failure = TFailure::None;
  for (;;) {
    if (made > 0 && comm.Trace) TraceRetry(comm, link, made, failure, x.large);
    SendHeader(comm, h, x);
    if (rule.write) SendData(comm, data, n, rule.large);
    failure = TakeEcho(comm, h, echoLimit);
    if (!rule.write && failure == TFailure::None) failure = ReceiveData(comm, block, lastIndex, rule.large);
    ++made;
    // A line that is gone does not come back by asking again.
    const bool more = failure != TFailure::None && made < link.Tuning.Attempts && !comm.LineLost;
    if (failure != TFailure::None && (more || rule.pauseAfterLastFailure))
      SleepOn(comm, rule.failedPauseMs(link.Tuning), rule.failedWhy);
    if (!more) break;
  }
  if (failure == TFailure::None) SleepOn(comm, rule.goodPauseMs(link.Tuning), rule.goodWhy);
  if (comm.Trace) TraceExchange(comm, link, x, made, failure);
  TOutcome o;
  o.result = ResultOf(failure);
  o.write = rule.write;
  o.large = rule.large;
  o.lineLost = failure != TFailure::None && comm.LineLost;
  o.address = address;
  o.length = static_cast<uint32_t>(n);
  return o;
}

// A write's data followed by its check: the sum (small) or the CRC, low
// byte first (large).
std::string WithCheck(const uint8_t* block, uint32_t lastIndex, bool large) {
  const size_t n = static_cast<size_t>(lastIndex) + 1;
  std::string data(reinterpret_cast<const char*>(block), n);
  if (large) {
    const uint16_t crc = Crc16Cms(block, n);
    data.push_back(static_cast<char>(crc & 0xFF));
    data.push_back(static_cast<char>(crc >> 8));
  } else {
    data.push_back(static_cast<char>(Sum8(block, n)));
  }
  return data;
}

}  // namespace

TOutcome ReadSmallBlock(TLink& link, uint32_t address, uint32_t lastIndex, uint8_t* block) {
  return Exchange(link, kSmallReadRule, MakeSmallHeader(kSmallReadCommand, address, lastIndex), address, lastIndex,
                  ReadEchoLimitSeconds(lastIndex), block, std::string());
}

TOutcome WriteSmallBlock(TLink& link, uint32_t address, uint32_t lastIndex, const uint8_t* block) {
  return Exchange(link, kSmallWriteRule, MakeSmallHeader(kSmallWriteCommand, address, lastIndex), address,
                  lastIndex, kSmallWriteEchoLimit, nullptr, WithCheck(block, lastIndex, false));
}

TOutcome ReadLargeBlock(TLink& link, uint32_t address, uint32_t lastIndex, uint8_t* block) {
  return Exchange(link, kLargeReadRule, MakeLargeHeader(kLargeReadCommand, address, lastIndex), address, lastIndex,
                  ReadEchoLimitSeconds(lastIndex), block, std::string());
}

TOutcome WriteLargeBlock(TLink& link, uint32_t address, uint32_t lastIndex, const uint8_t* block) {
  return Exchange(link, kLargeWriteRule, MakeLargeHeader(kLargeWriteCommand, address, lastIndex), address,
                  lastIndex, kLargeWriteEchoLimit, nullptr, WithCheck(block, lastIndex, true));
}

namespace {

// What distinguishes the four range operations.
struct TRangeKind {
  uint32_t blockSize;
  bool isWrite;
  bool refuseStartZero;
  int (*pauseMs)(const TLinkTuning&);
  TOutcome (*readBlock)(TLink&, uint32_t, uint32_t, uint8_t*);
  TOutcome (*writeBlock)(TLink&, uint32_t, uint32_t, const uint8_t*);
};

int NoPause(const TLinkTuning&) { return 0; }
int SmallWritePause(const TLinkTuning&) { return kSmallWriteRangePauseMs; }
int LargeWritePause(const TLinkTuning&) { return kLargeWriteRangePauseMs; }

constexpr TRangeKind kSmallRead{SmallBlockSize, false, false, NoPause, ReadSmallBlock, nullptr};
constexpr TRangeKind kSmallWrite{SmallBlockSize, true, true, SmallWritePause, nullptr, WriteSmallBlock};
constexpr TRangeKind kLargeRead{LargeBlockSize, false, true, SuccessPause, ReadLargeBlock, nullptr};
constexpr TRangeKind kLargeWrite{LargeBlockSize, true, true, LargeWritePause, nullptr, WriteLargeBlock};

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

TOutcome Refused(const TRangeKind& kind, int32_t start, int32_t lastIndex) {
  TOutcome o = Failure(TResult::RangeRefused);
  o.write = kind.isWrite;
  o.large = kind.blockSize == LargeBlockSize;
  o.address = static_cast<uint32_t>(start);
  o.length = static_cast<uint32_t>(lastIndex) + 1;
  return o;
}

TOutcome RunRange(TLink& link, const TRangeKind& kind, int32_t start, int32_t lastIndex, TTransferBuffer& buffer,
                  TWriteRecord* written) {
  TComm& comm = link.PanelPort;
  if (kind.refuseStartZero && start == 0) {
    if (comm.Trace) TraceRange(comm, kind, false, 0, 0, 0, "start address 0, nothing sent");
    return Refused(kind, start, lastIndex);
  }
  // A range never reaches past the transfer buffer.
  if (lastIndex < 0 || lastIndex > kMaxLastIndex || start < 0) {
    if (comm.Trace) TraceRange(comm, kind, false, 0, 0, 0, "outside the transfer buffer, nothing sent");
    return Refused(kind, start, lastIndex);
  }
  uint8_t block[LargeBlockSize];
  int64_t remaining = int64_t{lastIndex} + 1;
  uint32_t address = static_cast<uint32_t>(start);
  TOutcome outcome;
  while (remaining > 0) {
    const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(remaining, kind.blockSize));
    const size_t at = address - static_cast<uint32_t>(start);
    outcome = kind.isWrite ? kind.writeBlock(link, address, n - 1, buffer.data() + at)
                           : kind.readBlock(link, address, n - 1, block);
    if (!outcome) break;
    if (kind.isWrite && written) written->Wrote(address, buffer.data() + at, n);
    link.Step(static_cast<int32_t>(n));
    if (!kind.isWrite) std::copy_n(block, n, buffer.data() + at);
    address += n;
    remaining -= n;
    if (remaining > 0) {
      const int pause = kind.pauseMs(link.Tuning);
      if (pause > 0) SleepOn(comm, pause, "between blocks");
    }
  }
  if (comm.Trace)
    TraceRange(comm, kind, outcome.Ok(), static_cast<uint32_t>(start), static_cast<uint32_t>(lastIndex) + 1,
               address - static_cast<uint32_t>(start), nullptr);
  return outcome;
}

}  // namespace

TOutcome ReadSmallRange(TLink& link, int32_t start, int32_t lastIndex, TTransferBuffer& buffer) {
  return RunRange(link, kSmallRead, start, lastIndex, buffer, nullptr);
}

TOutcome WriteSmallRange(TLink& link, int32_t start, int32_t lastIndex, TTransferBuffer& buffer,
                         TWriteRecord* written) {
  return RunRange(link, kSmallWrite, start, lastIndex, buffer, written);
}

TOutcome ReadLargeRange(TLink& link, int32_t start, int32_t lastIndex, TTransferBuffer& buffer) {
  return RunRange(link, kLargeRead, start, lastIndex, buffer, nullptr);
}

TOutcome WriteLargeRange(TLink& link, int32_t start, int32_t lastIndex, TTransferBuffer& buffer,
                         TWriteRecord* written) {
  return RunRange(link, kLargeWrite, start, lastIndex, buffer, written);
}

}  // namespace tarvex
