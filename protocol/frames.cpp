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

std::string ReadReply(TComm& comm, int count, double limitSeconds) {
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
    if (elapsed >= limitMs || comm.LineLost) return std::string();
    if (comm.Handle == -1) {
      sys.SleepMs(limitMs - elapsed);
    } else if (queued == 0) {
      sys.WaitForInput(comm, limitMs - elapsed);
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
// is not there yet.
bool ReceiveBytes(TComm& comm, uint8_t* dst, size_t count) {
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
    if (c.empty()) return false;
    dst[i++] = static_cast<uint8_t>(c[0]);
  }
  return true;
}

}  // namespace

bool ReceiveSmallData(TComm& comm, uint8_t* dst, uint32_t lastIndex) {
  const size_t n = static_cast<size_t>(lastIndex) + 1;
  if (!ReceiveBytes(comm, dst, n)) return false;
  uint8_t check = 0;
  if (!ReceiveBytes(comm, &check, 1)) return false;
  return check == Sum8(dst, n);
}

bool ReceiveLargeData(TComm& comm, uint8_t* dst, uint32_t lastIndex) {
  const size_t n = static_cast<size_t>(lastIndex) + 1;
  if (!ReceiveBytes(comm, dst, n)) return false;
  uint8_t check[2] = {0, 0};
  if (!ReceiveBytes(comm, check, 2)) return false;
  return static_cast<uint16_t>(check[0] | (check[1] << 8)) == Crc16Cms(dst, n);
}

int ReadEchoLimitSeconds(uint32_t lastIndex) {
  const int64_t ms = std::min<int64_t>(kEchoBaseMs + int64_t{kEchoPerByteMs} * lastIndex, kEchoMaxMs);
  return static_cast<int>(ms / 1000);
}

namespace {

void SendHeader(TComm& comm, const THeader& h) {
  FlushInput(comm);
  WriteComm(comm, h.data(), static_cast<uint16_t>(h.size()));
}

// The attempt loops test their condition at the end: an exchange is always
// tried at least once, and at most Attempts times.
bool MoreAttempts(const TSession& s, int made) { return made < s.SystemFlags.Attempts; }

}  // namespace

bool ReadSmallBlock(TSession& s, uint32_t address, uint32_t lastIndex, uint8_t* block, TComm& comm) {
  const int limit = ReadEchoLimitSeconds(lastIndex);
  const THeader h = MakeSmallHeader(kSmallReadCommand, address, lastIndex);
  int made = 0;
  bool ok = false;
  do {
    SendHeader(comm, h);
    ok = EchoMatches(h, ReadReply(comm, 6, limit)) && ReceiveSmallData(comm, block, lastIndex);
    s.Pump();
    ++made;
    // This exchange pauses after every failed attempt, the last one too.
    SleepOn(comm, ok ? s.SystemFlags.SuccessPauseMs : s.SystemFlags.RetryPauseMs);
  } while (!ok && MoreAttempts(s, made));
  return ok;
}

bool WriteSmallBlock(TSession& s, uint32_t address, uint32_t lastIndex, const uint8_t* block, TComm& comm) {
  const THeader h = MakeSmallHeader(kSmallWriteCommand, address, lastIndex);
  const size_t n = static_cast<size_t>(lastIndex) + 1;
  std::string data(reinterpret_cast<const char*>(block), n);
  data.push_back(static_cast<char>(Sum8(block, n)));
  int made = 0;
  bool ok = false;
  do {
    SendHeader(comm, h);
    WriteComm(comm, reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint16_t>(data.size()));
    ok = EchoMatches(h, ReadReply(comm, 6, kSmallWriteEchoLimit));
    s.Pump();
    ++made;
    if (!ok && MoreAttempts(s, made)) SleepOn(comm, s.SystemFlags.SuccessPauseMs);
  } while (!ok && MoreAttempts(s, made));
  if (ok) SleepOn(comm, kSmallWriteSuccessPauseMs);
  return ok;
}

bool ReadLargeBlock(TSession& s, uint32_t address, uint32_t lastIndex, uint8_t* block, TComm& comm) {
  const int limit = ReadEchoLimitSeconds(lastIndex);
  const THeader h = MakeLargeHeader(kLargeReadCommand, address, lastIndex);
  int made = 0;
  bool ok = false;
  do {
    SendHeader(comm, h);
    ok = EchoMatches(h, ReadReply(comm, 6, limit)) && ReceiveLargeData(comm, block, lastIndex);
    s.Pump();
    ++made;
    if (!ok && MoreAttempts(s, made)) SleepOn(comm, s.SystemFlags.RetryPauseMs);
  } while (!ok && MoreAttempts(s, made));
  if (ok) SleepOn(comm, s.SystemFlags.SuccessPauseMs);
  return ok;
}

bool WriteLargeBlock(TSession& s, uint32_t address, uint32_t lastIndex, const uint8_t* block, TComm& comm) {
  const THeader h = MakeLargeHeader(kLargeWriteCommand, address, lastIndex);
  const size_t n = static_cast<size_t>(lastIndex) + 1;
  std::string data(reinterpret_cast<const char*>(block), n);
  const uint16_t crc = Crc16Cms(block, n);
  data.push_back(static_cast<char>(crc & 0xFF));
  data.push_back(static_cast<char>(crc >> 8));
  int made = 0;
  bool ok = false;
  do {
    SendHeader(comm, h);
    WriteComm(comm, reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint16_t>(data.size()));
    ok = EchoMatches(h, ReadReply(comm, 6, kLargeWriteEchoLimit));
    s.Pump();
    ++made;
    if (!ok && MoreAttempts(s, made)) SleepOn(comm, s.SystemFlags.RetryPauseMs);
  } while (!ok && MoreAttempts(s, made));
  if (ok) SleepOn(comm, s.SystemFlags.SuccessPauseMs);
  return ok;
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

bool RunRange(TSession& s, const TRangeKind& kind, int32_t start, int32_t lastIndex, TTransferBuffer& buffer,
              TComm& comm) {
  if (kind.refuseStartZero && start == 0) return false;
  // A range never reaches past the transfer buffer.
  if (lastIndex < 0 || lastIndex > kMaxLastIndex || start < 0) return false;
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
    s.Notify(ProgressStep, static_cast<int32_t>(n));
    if (kind.pumpAfterStep) s.Pump();
    if (!kind.isWrite) std::copy_n(block, n, buffer.data() + at);
    address += n;
    remaining -= n;
    if (remaining > 0) {
      const int pause = kind.pauseMs(s);
      if (pause > 0) SleepOn(comm, pause);
    }
  }
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
