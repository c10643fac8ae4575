#include "tests/fuzz/fake_line.h"

#include <algorithm>
#include <iterator>
#include <limits>

#include "protocol/identify.h"

namespace tarvex::fuzz {

namespace {

// The longest wait the link may ask for: a 30 s echo limit ends after 31 s.
constexpr int64_t kLongestWaitMs = 31'000;
// The longest pause: the retry pause is 700 ms; anything near a minute
// would freeze the window and is a bug in itself.
constexpr int64_t kLongestPauseMs = 60'000;
// Polls of the queue that neither found bytes nor let time pass: the link
// must block in the system while it waits, never spin.
constexpr int kMaxIdlePolls = 100'000;

// Reply modes, the low three bits of a script's control byte.
enum : uint8_t {
  kGood = 0,         // exact echo, data, right check
  kBadCheck = 1,     // check bytes from the script
  kBadEcho = 2,      // one echo byte changed (a case change is still an echo)
  kRaw = 3,          // bytes from the script, nothing else
  kSilent = 4,       // no answer
  kCut = 5,          // the good reply, cut short
  kNoiseBefore = 6,  // bytes from the script, then the good reply
  kJunkAfter = 7,    // the good reply, then bytes from the script
};

// Timing, the top three bits; 0 to 3 deliver at once.
enum : uint8_t { kDelay = 4, kStall = 5, kTrickle = 6, kHangUp = 7 };

}  // namespace

bool TFakeLine::Open(TComm& comm) {
  // OpenComm closes an open record first.
  FUZZ_CHECK(comm.Handle == -1);
  FUZZ_CHECK(comm.BaudIndex < kBaudIndexCount);
  ++opens_;
  refuseEvery = opens_ == failOpenAt_ ? test::TOpenRefusal{TCommError::Other, 5, "refused"} : test::TOpenRefusal{};
  const bool opened = TFakeSystem::Open(comm);
  FUZZ_CHECK(!opened || comm.Handle == kOpenHandle);
  if (opened) {
    DropLine();
    awaitingData_ = false;
  }
  return opened;
}

void TFakeLine::Close(TComm& comm) {
  FUZZ_CHECK(comm.Handle == kOpenHandle);
  // A write header is always followed by its data in the same exchange.
  FUZZ_CHECK(!awaitingData_);
  TFakeSystem::Close(comm);
  DropLine();
}

int32_t TFakeLine::Queued(TComm& comm) {
  FUZZ_CHECK(comm.Handle == kOpenHandle);
  FUZZ_CHECK(++idlePolls_ < kMaxIdlePolls);
  return TFakeSystem::Queued(comm);
}

void TFakeLine::Read(TComm& comm, uint8_t* dst, uint16_t count) {
  FUZZ_CHECK(comm.Handle == kOpenHandle);
  // The serial layer's contract: only bytes already queued are read.
  FUZZ_CHECK(count > 0 && count <= Arrived());
  TFakeSystem::Read(comm, dst, count);
  if (!exchanges_.empty()) exchanges_.back().consumed.insert(exchanges_.back().consumed.end(), dst, dst + count);
  Progress();
}

void TFakeLine::WaitForInput(TComm& comm, int64_t timeoutMs) {
  FUZZ_CHECK(comm.Handle == kOpenHandle);
  FUZZ_CHECK(timeoutMs > 0 && timeoutMs <= kLongestWaitMs);
  if (comm.LineLost) return;
  const int64_t before = now;
  TFakeSystem::WaitForInput(comm, timeoutMs);
  if (now != before || comm.LineLost) Progress();
}

void TFakeLine::SleepMs(int64_t ms) {
  FUZZ_CHECK(ms > 0 && ms <= kLongestPauseMs);
  TFakeSystem::SleepMs(ms);
  Progress();
}

void TFakeLine::Write(TComm& comm, const uint8_t* src, uint16_t count) {
  FUZZ_CHECK(comm.Handle == kOpenHandle);
  FUZZ_CHECK(count > 0);
  // A line that went away still takes writes, but nothing answers them.
  if (awaitingData_) {
    awaitingData_ = false;
    CheckWriteData(src, count);
    if (!comm.LineLost) Reply(exchanges_.back());
    return;
  }
  ParseFrame(src, count, !comm.LineLost);
}

void TFakeLine::ParseFrame(const uint8_t* src, uint16_t count, bool answer) {
  // Outside a write's data the program only ever sends 6-byte frames.
  FUZZ_CHECK(count == 6);
  TExchange ex;
  std::copy_n(src, 6, ex.header.begin());
  const THeader& h = ex.header;
  FUZZ_CHECK(RefSum8(h.data(), 5) == h[5]);
  if (std::equal(h.begin(), h.end(), kBaudProbe)) {
    ex.kind = TExchangeKind::Probe;
  } else if (h[0] == kSmallReadCommand || h[0] == kSmallWriteCommand) {
    ex.kind = h[0] == kSmallReadCommand ? TExchangeKind::SmallRead : TExchangeKind::SmallWrite;
    ex.address = h[1] | (h[2] << 8);
    ex.lastIndex = h[3] | (h[4] << 8);
    FUZZ_CHECK(ex.lastIndex < SmallBlockSize);
  } else if ((h[0] & 0xFC) == kLargeReadCommand || (h[0] & 0xFC) == kLargeWriteCommand) {
    ex.kind = (h[0] & 0xFC) == kLargeReadCommand ? TExchangeKind::LargeRead : TExchangeKind::LargeWrite;
    ex.lastIndex = ((h[0] & 0x03u) << 8) | h[1];
    ex.address = (static_cast<uint32_t>(h[2]) << 16) | (h[3] << 8) | h[4];
    FUZZ_CHECK(ex.lastIndex < LargeBlockSize);
  } else {
    FUZZ_CHECK(!"a frame of neither format");
  }
  exchanges_.push_back(std::move(ex));
  if (IsWrite(exchanges_.back().kind)) {
    awaitingData_ = true;
  } else if (answer) {
    Reply(exchanges_.back());
  }
}

void TFakeLine::CheckWriteData(const uint8_t* src, uint16_t count) {
  TExchange& ex = exchanges_.back();
  FUZZ_CHECK(IsWrite(ex.kind));
  const size_t n = size_t{ex.lastIndex} + 1;
  FUZZ_CHECK(count == n + CheckBytes(ex.kind));
  if (IsLarge(ex.kind)) {
    const uint16_t crc = RefCrc16Cms(src, n);
    FUZZ_CHECK(src[n] == (crc & 0xFF) && src[n + 1] == (crc >> 8));
  } else {
    FUZZ_CHECK(src[n] == RefSum8(src, n));
  }
  ex.written.assign(src, src + count);
}

std::vector<uint8_t> TFakeLine::ReplyData(uint8_t source, size_t n) {
  std::vector<uint8_t> data;
  switch (source) {
    case 0:  // the script's own bytes
      data = script_.Take(n);
      data.resize(n, 0);
      break;
    case 1:  // one byte throughout
      data.assign(n, script_.Byte());
      break;
    case 2: {  // noise from a seed
      uint32_t x = script_.Byte();
      data.resize(n);
      for (uint8_t& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
      }
      break;
    }
    default: {  // a short pattern from the script, repeated
      std::vector<uint8_t> pattern = script_.Take(script_.Byte() % 32 + 1);
      if (pattern.empty()) pattern.push_back(0);
      data.resize(n);
      for (size_t i = 0; i < n; ++i) data[i] = pattern[i % pattern.size()];
      break;
    }
  }
  return data;
}

void TFakeLine::Reply(const TExchange& ex) {
  if (script_.Empty()) return;
  const uint8_t control = script_.Byte();
  const uint8_t mode = control & 7;
  const uint8_t source = (control >> 3) & 3;
  const uint8_t timing = control >> 5;

  // Silence and raw bytes need no data: they leave the script's bytes for
  // what follows.
  std::vector<uint8_t> good(ex.header.begin(), ex.header.end());
  size_t checkAt = good.size();
  if (IsRead(ex.kind) && mode != kRaw && mode != kSilent) {
    const std::vector<uint8_t> data = ReplyData(source, size_t{ex.lastIndex} + 1);
    good.insert(good.end(), data.begin(), data.end());
    checkAt = good.size();
    if (IsLarge(ex.kind)) {
      const uint16_t crc = RefCrc16Cms(data.data(), data.size());
      good.push_back(static_cast<uint8_t>(crc & 0xFF));
      good.push_back(static_cast<uint8_t>(crc >> 8));
    } else {
      good.push_back(RefSum8(data.data(), data.size()));
    }
  }

  std::vector<uint8_t> reply = good;
  switch (mode) {
    case kGood: break;
    case kBadCheck:
      if (IsRead(ex.kind)) {
        for (size_t i = checkAt; i < reply.size(); ++i) reply[i] = script_.Byte();
        break;
      }
      [[fallthrough]];  // nothing to check but the echo
    case kBadEcho: {
      const size_t at = script_.Byte() % 6;
      const uint8_t flip = script_.Byte();
      reply[at] ^= flip == 0 ? 0x20 : flip;
      break;
    }
    case kRaw: reply = script_.Take(script_.Word() % 2048); break;
    case kSilent: reply.clear(); break;
    case kCut: reply.resize(script_.Word() % reply.size()); break;
    case kNoiseBefore: {
      std::vector<uint8_t> noise = script_.Take(script_.Byte() % 16 + 1);
      reply.insert(reply.begin(), noise.begin(), noise.end());
      break;
    }
    case kJunkAfter: {
      const std::vector<uint8_t> junk = script_.Take(script_.Byte() % 16 + 1);
      reply.insert(reply.end(), junk.begin(), junk.end());
      break;
    }
  }

  std::vector<std::pair<int64_t, uint8_t>> arriving(reply.size());
  for (size_t i = 0; i < reply.size(); ++i) arriving[i] = {now, reply[i]};
  switch (timing) {
    case kDelay: {
      const int64_t delay = int64_t{script_.Byte()} * 64;  // up to 16 s: past every echo limit
      for (auto& p : arriving) p.first += delay;
      break;
    }
    case kStall: {
      const size_t at = script_.Word() % (arriving.size() + 1);
      const int64_t gap = int64_t{script_.Byte()} * 16;  // up to 4 s: past the 2 s byte limit
      for (size_t i = at; i < arriving.size(); ++i) arriving[i].first += gap;
      break;
    }
    case kTrickle: {
      const int64_t every = script_.Byte() % 4 + 1;
      for (size_t i = 0; i < arriving.size(); ++i) arriving[i].first += every * static_cast<int64_t>(i);
      break;
    }
    case kHangUp: {
      arriving.resize(script_.Word() % (arriving.size() + 1));
      lostAt = now + 1 + int64_t{script_.Byte()} * 8;
      break;
    }
    default: break;
  }

  // Bytes of an earlier reply may still be on their way; the line keeps
  // every byte in order of arrival.
  std::deque<std::pair<int64_t, uint8_t>> merged;
  std::merge(arrivals.begin(), arrivals.end(), arriving.begin(), arriving.end(), std::back_inserter(merged),
             [](const auto& a, const auto& b) { return a.first < b.first; });
  arrivals = std::move(merged);
}

void TFakeLine::DropLine() {
  arrivals.clear();
  lostAt = -1;
}

}  // namespace tarvex::fuzz
