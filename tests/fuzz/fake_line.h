// A serial line and a clock played from fuzz input.
//
// The fake stands where the operating system stands: it is the tests'
// shared fake system layer (tests/support/fake_system.h), so the real link
// code runs unchanged above it, with that layer's virtual clock and line: a
// wait or a pause moves the clock instead of sleeping, so the link's
// time-outs of several seconds cost nothing. This line holds every call to
// the serial layer's contract. Every frame the program writes is parsed
// and held to the frame rules; every header draws a reply from the
// script: the exact echo (with well-formed data and the right check for a
// read), so that cases get past the echo test and deep into the sequences,
// or a wrong echo, a wrong check, raw bytes, noise, gaps, delays, a cut or
// a hang-up, as the script says. An exhausted script leaves the line
// silent, so every case ends in time-outs.
//
// What the program read after each header is kept, so a target can hold an
// accepted block to the bytes that were really on the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/frames.h"
#include "serial/comm.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/fake_system.h"

namespace tarvex::fuzz {

enum class TExchangeKind { Probe, SmallRead, SmallWrite, LargeRead, LargeWrite };

struct TExchange {
  TExchangeKind kind = TExchangeKind::Probe;
  THeader header{};
  uint32_t address = 0;    // as the header carries it (16 or 24 bits)
  uint32_t lastIndex = 0;
  std::vector<uint8_t> written;   // a write's data and check bytes
  std::vector<uint8_t> consumed;  // every byte the program read after this header
  bool stepped = false;           // the program counted this block as done
};

inline bool IsRead(TExchangeKind k) { return k == TExchangeKind::SmallRead || k == TExchangeKind::LargeRead; }
inline bool IsWrite(TExchangeKind k) { return k == TExchangeKind::SmallWrite || k == TExchangeKind::LargeWrite; }
inline bool IsLarge(TExchangeKind k) { return k == TExchangeKind::LargeRead || k == TExchangeKind::LargeWrite; }
inline size_t CheckBytes(TExchangeKind k) { return IsLarge(k) ? 2 : 1; }

class TFakeLine : public test::TFakeSystem {
 public:
  explicit TFakeLine(TInput& script) : script_(script) { now = 1'000'000; }

  // The n-th Open (counting from 1) fails; 0 for none.
  void FailOpenAt(int n) { failOpenAt_ = n; }

  bool Open(TComm& comm) override;
  void Close(TComm& comm) override;
  int32_t Queued(TComm& comm) override;
  void Write(TComm& comm, const uint8_t* src, uint16_t count) override;
  void Read(TComm& comm, uint8_t* dst, uint16_t count) override;
  void WaitForInput(TComm& comm, int64_t timeoutMs) override;
  void SleepMs(int64_t ms) override;
  std::string Describe(const TComm&) override { return "fuzz line: open refused"; }

  std::vector<TExchange>& Exchanges() { return exchanges_; }
  int Opens() const { return opens_; }

 private:
  void ParseFrame(const uint8_t* src, uint16_t count, bool answer);
  void CheckWriteData(const uint8_t* src, uint16_t count);
  void Reply(const TExchange& ex);
  std::vector<uint8_t> ReplyData(uint8_t source, size_t n);
  void Progress() { idlePolls_ = 0; }
  void DropLine();

  TInput& script_;
  bool awaitingData_ = false;      // a write header was sent, its data not yet
  int failOpenAt_ = 0;
  int opens_ = 0;
  int idlePolls_ = 0;
  std::vector<TExchange> exchanges_;
};

}  // namespace tarvex::fuzz
