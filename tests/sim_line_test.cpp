// The simulated panel without a pty: its engine on a clock handed in by the
// test, and the in-process line under the program's own serial and protocol
// code. On the virtual clock the protocol's waits of several seconds cost
// nothing and their lengths are checked to the nanosecond; expected bytes
// and times come from the frame layouts and the documented waits, pauses
// and byte times (11 bit times a byte), never from the code under test.
// Builds and runs on Windows as well.
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/frames.h"
#include "protocol/identify.h"
#include "protocol/link.h"
#include "serial/comm.h"
#include "sim/panel_engine.h"
#include "sim/sim_line.h"
#include "tests/support/fake_system.h"
#include "tests/test_session.h"

namespace {

using tarvex::TComm;
using tarvex::TCommError;
using tarvex::sim::FaultKind;
using tarvex::sim::PanelConfig;
using tarvex::sim::PanelEngine;
using tarvex::sim::PanelTransport;
using tarvex::sim::SimClock;
using tarvex::sim::TSimLine;
using Bytes = std::vector<uint8_t>;

constexpr int64_t kMs = 1'000'000;  // nanoseconds
// One byte on the line at 9600 bit/s: 11 bit times, in nanoseconds, as an
// exact fraction; byte times on the line are whole nanoseconds, so an
// expectation built from them may be off by a nanosecond a byte.
constexpr double kByteNs9600 = 11.0 * 1e9 / 9600.0;
constexpr double kWithinNs = 1000;

// Baud indices of kBaudTable.
constexpr uint8_t k9600 = 6;
constexpr uint8_t k38400 = 9;

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The identification block of a VYR8 with firmware 2.10: read header, echo,
// model name padded to 6, two zero bytes, firmware text, sum.
const Bytes kIdentHeader{0xF0, 0x00, 0x00, 0x0B, 0x00, 0xFB};
const Bytes kIdentReply{0xF0, 0x00, 0x00, 0x0B, 0x00, 0xFB, 'V', 'Y', 'R', '8', ' ', ' ',
                        0x00, 0x00, '2',  '.',  '1',  '0',  0x3A};
const Bytes kProbe{0x3C, 0xC3, 0x00, 0x00, 0x00, 0xFF};

// ---------------------------------------------------------------- the engine

// Keeps what the engine hands to its transport.
class TRecordingTransport : public PanelTransport {
 public:
  int speed = 9600;
  Bytes bytes;
  std::vector<int64_t> due;
  std::optional<int64_t> hangUpAt;

  int ToolSpeed() override { return speed; }
  void Send(const std::vector<uint8_t>& b, const std::vector<int64_t>& d) override {
    bytes.insert(bytes.end(), b.begin(), b.end());
    due.insert(due.end(), d.begin(), d.end());
  }
  void HangUp(int64_t atNs) override { hangUpAt = atNs; }
};

constexpr int64_t kT0 = 5'000 * kMs;

TEST(SimEngine, AnswersAHeaderOnceItHasWhollyArrived) {
  TRecordingTransport line;
  PanelEngine panel({.model = "VYR8", .firmware = "2.10", .wireTime = true}, line);
  ASSERT_TRUE(panel.Valid());
  panel.Receive(kT0, kIdentHeader.data(), kIdentHeader.size());
  const std::optional<int64_t> wake = panel.Process(kT0);
  ASSERT_TRUE(wake.has_value());
  EXPECT_NEAR(static_cast<double>(*wake - kT0), 6 * kByteNs9600, kWithinNs) << "the header's 6 bytes";
  EXPECT_TRUE(line.bytes.empty());
  EXPECT_EQ(panel.ExchangeCount(), 0);

  EXPECT_EQ(panel.Process(*wake), std::nullopt);
  EXPECT_EQ(line.bytes, kIdentReply);
  ASSERT_EQ(line.due.size(), 19u);
  EXPECT_NEAR(static_cast<double>(line.due.front() - kT0), 7 * kByteNs9600, kWithinNs);
  EXPECT_NEAR(static_cast<double>(line.due.back() - kT0), 25 * kByteNs9600, kWithinNs);
  EXPECT_EQ(panel.ExchangeCount(), 1);
  EXPECT_EQ(panel.ReceivedBytes(), kIdentHeader);
}

TEST(SimEngine, StrayBytesCountUntilTheLineHasBeenQuietFor50Ms) {
  const Bytes stray{0x55, 0x66};
  for (const int64_t gap : {49 * kMs, 50 * kMs}) {
    TRecordingTransport line;
    PanelEngine panel({.model = "VYR8"}, line);
    panel.Receive(kT0, stray.data(), stray.size());
    EXPECT_EQ(panel.Process(kT0), kT0 + 50 * kMs);
    if (gap == 50 * kMs) {
      EXPECT_EQ(panel.Process(kT0 + gap), std::nullopt);
    }
    panel.Receive(kT0 + gap, kIdentHeader.data(), kIdentHeader.size());
    panel.Process(kT0 + gap);
    ASSERT_EQ(panel.ExchangeCount(), 1) << gap;
    const std::array<uint8_t, 6> heard = panel.HeadersReceived()[0];
    if (gap < 50 * kMs) {
      // 55 66 F0 00 00 0B: a header with a wrong sum, not answered.
      EXPECT_EQ(Bytes(heard.begin(), heard.end()), (Bytes{0x55, 0x66, 0xF0, 0x00, 0x00, 0x0B}));
      EXPECT_TRUE(line.bytes.empty());
    } else {
      EXPECT_EQ(Bytes(heard.begin(), heard.end()), kIdentHeader);
      EXPECT_EQ(line.bytes, kIdentReply);
    }
  }
}

// Write 11 22 33 44 at 0x3000: 0F 00 30 03 00 sum 42, data sum AA.
const Bytes kWrite4Header{0x0F, 0x00, 0x30, 0x03, 0x00, 0x42};
const Bytes kWrite4Data{0x11, 0x22, 0x33, 0x44};
constexpr uint8_t kWrite4Sum = 0xAA;

TEST(SimEngine, AWriteWhoseDataStopsIsGivenUpAfter250Ms) {
  const Bytes head = Cat(kWrite4Header, {0x11, 0x22});
  const Bytes rest{0x33, 0x44, kWrite4Sum};
  for (const int64_t gap : {249 * kMs, 250 * kMs}) {
    TRecordingTransport line;
    PanelEngine panel({.model = "VYR32"}, line);
    const Bytes before = panel.ReadMemory(0x3000, 4);
    ASSERT_NE(before, kWrite4Data);
    panel.Receive(kT0, head.data(), head.size());
    EXPECT_EQ(panel.Process(kT0), kT0 + 250 * kMs);
    // The echo went out as soon as the header was in, either way.
    EXPECT_EQ(line.bytes, kWrite4Header);
    panel.Process(kT0 + gap);
    panel.Receive(kT0 + gap, rest.data(), rest.size());
    panel.Process(kT0 + gap);
    EXPECT_EQ(line.bytes, kWrite4Header) << "nothing more is sent";
    if (gap < 250 * kMs) {
      EXPECT_EQ(panel.ReadMemory(0x3000, 4), kWrite4Data);
    } else {
      EXPECT_EQ(panel.ReadMemory(0x3000, 4), before);
    }
  }
}

TEST(SimEngine, AWriteIsEchoedOnceItsHeaderIsInAndStoredOnceItsSumIsIn) {
  TRecordingTransport line;
  PanelEngine panel({.model = "VYR32", .wireTime = true}, line);
  const Bytes before = panel.ReadMemory(0x3000, 4);
  ASSERT_NE(before, kWrite4Data);
  // The tool puts header, data and sum on the line in one go at kT0.
  const Bytes frame = Cat(Cat(kWrite4Header, kWrite4Data), {kWrite4Sum});
  panel.Receive(kT0, frame.data(), frame.size());
  const std::optional<int64_t> headerIn = panel.Process(kT0);
  ASSERT_TRUE(headerIn.has_value());
  EXPECT_NEAR(static_cast<double>(*headerIn - kT0), 6 * kByteNs9600, kWithinNs) << "the header's 6 bytes";
  EXPECT_TRUE(line.bytes.empty());

  // Header in: the echo goes on the line at once, a byte time a byte, while
  // the data is still coming in; nothing is stored yet.
  const std::optional<int64_t> sumIn = panel.Process(*headerIn);
  EXPECT_EQ(line.bytes, kWrite4Header);
  ASSERT_EQ(line.due.size(), 6u);
  for (size_t i = 0; i < 6; ++i)
    EXPECT_NEAR(static_cast<double>(line.due[i] - kT0), (7.0 + static_cast<double>(i)) * kByteNs9600, kWithinNs) << i;
  EXPECT_EQ(panel.ReadMemory(0x3000, 4), before);
  ASSERT_TRUE(sumIn.has_value());
  EXPECT_NEAR(static_cast<double>(*sumIn - kT0), 11 * kByteNs9600, kWithinNs) << "header, 4 data bytes and the sum";

  // Sum in: stored; nothing more is sent.
  EXPECT_EQ(panel.Process(*sumIn), std::nullopt);
  EXPECT_EQ(panel.ReadMemory(0x3000, 4), kWrite4Data);
  EXPECT_EQ(line.bytes.size(), 6u);
  EXPECT_EQ(panel.ExchangeCount(), 1);
}

// A block whose check fails at the panel, because its check (BadCheck) or
// one of its data bytes (CorruptData) arrived altered, is echoed and then
// discarded; the next good block is stored.
TEST(SimEngine, AWriteWhoseCheckFailsIsEchoedThenDiscarded) {
  // The second block: AA BB CC DD at 0x3010: 0F 10 30 03 00 sum 52, data
  // sum 0E.
  const Bytes secondHeader{0x0F, 0x10, 0x30, 0x03, 0x00, 0x52};
  const Bytes secondData{0xAA, 0xBB, 0xCC, 0xDD};
  const Bytes first = Cat(Cat(kWrite4Header, kWrite4Data), {kWrite4Sum});
  const Bytes second = Cat(Cat(secondHeader, secondData), {0x0E});
  for (const FaultKind fault : {FaultKind::BadCheck, FaultKind::CorruptData}) {
    SCOPED_TRACE(static_cast<int>(fault));
    TRecordingTransport line;
    PanelEngine panel({.model = "VYR32", .fault = {fault, 1}}, line);
    const Bytes before = panel.ReadMemory(0x3000, 4);
    ASSERT_NE(before, kWrite4Data);
    ASSERT_NE(panel.ReadMemory(0x3010, 4), secondData);
    panel.Receive(kT0, first.data(), first.size());
    panel.Process(kT0);
    EXPECT_EQ(line.bytes, kWrite4Header) << "echoed as any write";
    EXPECT_EQ(panel.ReadMemory(0x3000, 4), before) << "discarded";
    panel.Receive(kT0 + 200 * kMs, second.data(), second.size());
    panel.Process(kT0 + 200 * kMs);
    EXPECT_EQ(line.bytes, Cat(kWrite4Header, secondHeader));
    EXPECT_EQ(panel.ReadMemory(0x3010, 4), secondData) << "the good block is stored";
    EXPECT_EQ(panel.ReadMemory(0x3000, 4), before);
    // What the tool sent is logged as sent; the alteration was on the way.
    EXPECT_EQ(panel.ReceivedBytes(), Cat(first, second));
    EXPECT_EQ(panel.ExchangeCount(), 2);
  }
}

TEST(SimEngine, ALargeWriteWithAnAlteredDataByteFailsItsCrcAndIsDiscarded) {
  // Write 01 02 03 at 0x123456: A8 02 12 34 56 sum 46; CRC-16/CMS of the
  // data 821D, low byte first. With the middle byte flipped (01 FD 03) the
  // CRC would be 0012: the panel's check fails.
  const Bytes header{0xA8, 0x02, 0x12, 0x34, 0x56, 0x46};
  const Bytes frame = Cat(Cat(header, {0x01, 0x02, 0x03}), {0x1D, 0x82});
  for (const FaultKind fault : {FaultKind::None, FaultKind::CorruptData, FaultKind::BadCheck}) {
    SCOPED_TRACE(static_cast<int>(fault));
    TRecordingTransport line;
    line.speed = 38400;
    PanelEngine panel({.model = "VYR 320", .fault = {fault, 1}}, line);
    const Bytes before = panel.ReadMemory(0x123456, 3);
    ASSERT_NE(before, (Bytes{0x01, 0x02, 0x03}));
    panel.Receive(kT0, frame.data(), frame.size());
    EXPECT_EQ(panel.Process(kT0), std::nullopt);
    EXPECT_EQ(line.bytes, header);
    const Bytes sent{0x01, 0x02, 0x03};
    EXPECT_EQ(panel.ReadMemory(0x123456, 3), fault == FaultKind::None ? sent : before);
  }
}

TEST(SimEngine, ACorruptedReadByteReachesTheToolWithTheSumOfTheTrueData) {
  TRecordingTransport line;
  PanelEngine panel({.model = "VYR8", .firmware = "2.10", .fault = {FaultKind::CorruptData, 1}}, line);
  panel.Receive(kT0, kIdentHeader.data(), kIdentHeader.size());
  panel.Process(kT0);
  // Data byte 6 of 12 (the first unused byte, 00) comes flipped to FF; the
  // sum stays 3A, the sum of the data as the panel holds it.
  Bytes expected = kIdentReply;
  ASSERT_EQ(expected[6 + 6], 0x00);
  expected[6 + 6] = 0xFF;
  EXPECT_EQ(line.bytes, expected);
  EXPECT_EQ(panel.ReadMemory(0, 12), Bytes(kIdentReply.begin() + 6, kIdentReply.end() - 1)) << "memory as it was";
}

TEST(SimEngine, CloseLineHangsUpWhenItsLastByteIsOut) {
  TRecordingTransport line;
  PanelEngine panel({.model = "VYR8", .wireTime = true, .fault = {FaultKind::CloseLine, 1}}, line);
  panel.Receive(kT0, kIdentHeader.data(), kIdentHeader.size());
  panel.Process(panel.Process(kT0).value());
  // The echo and half of the 12 data bytes.
  EXPECT_EQ(line.bytes, Bytes(kIdentReply.begin(), kIdentReply.begin() + 12));
  ASSERT_TRUE(line.hangUpAt.has_value());
  EXPECT_EQ(*line.hangUpAt, line.due.back());
  EXPECT_NEAR(static_cast<double>(*line.hangUpAt - kT0), 18 * kByteNs9600, kWithinNs);
  EXPECT_TRUE(panel.LineClosed());
  // Dead: nothing more is heard or answered.
  panel.Receive(kT0 + 100 * kMs, kIdentHeader.data(), kIdentHeader.size());
  EXPECT_EQ(panel.Process(kT0 + 100 * kMs), std::nullopt);
  EXPECT_EQ(panel.ExchangeCount(), 1);
  EXPECT_EQ(line.bytes.size(), 12u);
}

TEST(SimEngine, AnUnknownModelHasNoMemoryAndIgnoresTheLine) {
  TRecordingTransport line;
  PanelEngine panel({.model = "VYR99"}, line);
  std::string why;
  EXPECT_FALSE(panel.Valid(&why));
  EXPECT_NE(why.find("VYR99"), std::string::npos);
  PanelEngine badCode({.model = "VYR8", .mainCode = "12a4"}, line);
  EXPECT_FALSE(badCode.Valid(&why));
  EXPECT_EQ(panel.ReadMemory(0, 4), Bytes(4, 0));
  panel.Receive(kT0, kIdentHeader.data(), kIdentHeader.size());
  EXPECT_EQ(panel.Process(kT0), std::nullopt);
  EXPECT_EQ(panel.ExchangeCount(), 0);
  EXPECT_TRUE(line.bytes.empty());
}

// ---------------------------------------------------------------- the line under the protocol

// A session whose panel port talks through an in-process line.
struct TRig {
  explicit TRig(PanelConfig cfg, SimClock clock = SimClock::Virtual) : line(std::move(cfg), clock) {
    t.s.Link.PanelPort.System = &line;
    t.s.Link.PanelPort.BaudIndex = k9600;
  }
  TComm& port() { return t.s.Link.PanelPort; }
  tarvex::TTransferBuffer& buffer() { return t.s.Link.Buffer(); }

  TSimLine line;
  tarvex::test::TTestSession t;
};

TEST(SimInProcessLine, IdentifiesAVyr8WithItsExactFrames) {
  TRig r({.model = "VYR8", .firmware = "2.10"});
  ASSERT_TRUE(tarvex::OpenComm(r.port()));
  const int64_t t0 = r.line.NowNs();
  EXPECT_TRUE(tarvex::IdentifySmallPanel(r.t.s.Link, r.t.s.Panel).Ok());
  EXPECT_EQ(r.t.s.Panel.PanelDescription, "VYR8 v.2.10");
  EXPECT_EQ(r.t.s.Panel.ConnectedModel, 24);
  EXPECT_EQ(r.t.s.Panel.BlockMap.CodesAddr, 313);
  EXPECT_EQ(r.t.s.Panel.BlockMap.KeyNamesAddr, 5648);
  EXPECT_TRUE(r.t.ui.Boxes().empty());
  EXPECT_EQ(r.line.Engine().ReceivedBytes(), kIdentHeader);
  EXPECT_EQ(r.line.PanelSent(), kIdentReply);
  // Bytes arrive at once without wire time; the exchange's success pause
  // is all the time it takes.
  EXPECT_EQ(r.line.NowNs() - t0, 50 * kMs);
}

TEST(SimInProcessLine, WireTimeMakesA12ByteReadTakeItsBytesAndThePause) {
  TRig r({.model = "VYR8", .wireTime = true});
  ASSERT_TRUE(tarvex::OpenComm(r.port()));
  const int64_t t0 = r.line.NowNs();
  ASSERT_TRUE(tarvex::ReadSmallRange(r.t.s.Link, 0, 11, r.buffer()));
  // 6 header bytes out, 6 echo + 12 data + 1 sum back, then the 50 ms
  // success pause; no other pause in a one-block read.
  EXPECT_NEAR(static_cast<double>(r.line.NowNs() - t0), 25 * kByteNs9600 + 50.0 * kMs, kWithinNs);
  EXPECT_EQ(Bytes(r.buffer().begin(), r.buffer().begin() + 12), Bytes(kIdentReply.begin() + 6, kIdentReply.end() - 1));
  EXPECT_EQ(r.t.ui.Steps(), std::vector<int32_t>{12});
}

TEST(SimInProcessLine, QueuedCountsOnlyBytesThatHaveArrived) {
  TSimLine line({.model = "VYR8", .wireTime = true});
  line.Engine().WriteMemory(0x0100, {0x7E});
  TComm c;
  c.System = &line;
  c.BaudIndex = k9600;
  ASSERT_TRUE(tarvex::OpenComm(c));
  // Read one byte at 0x0100; the header is in at 6.875 ms and reply byte k
  // (of 8) at 6.875 + 1.1458 k ms.
  const Bytes h{0xF0, 0x00, 0x01, 0x00, 0x00, 0xF1};
  tarvex::WriteComm(c, h.data(), 6);
  const std::vector<std::pair<int64_t, int32_t>> expected{{6, 0}, {8, 0}, {9, 1}, {12, 4}, {16, 7}, {17, 8}, {30, 8}};
  int64_t slept = 0;
  for (const auto& [atMs, queued] : expected) {
    tarvex::SleepOn(c, atMs - slept);
    slept = atMs;
    EXPECT_EQ(tarvex::BytesWaiting(c), queued) << atMs << " ms";
  }
  Bytes got(8);
  tarvex::ReadComm(c, got.data(), 8);
  EXPECT_EQ(got, Cat(h, {0x7E, 0x7E}));
  EXPECT_EQ(tarvex::BytesWaiting(c), 0);
}

TEST(SimInProcessLine, AReadAtAnotherSpeedFailsAfterTheWholeSecondWait) {
  // Seed 1: this panel, at 19200, stays silent when spoken to at 9600.
  TRig r({.model = "VYR8", .baud = 19200, .seed = 1});
  ASSERT_TRUE(tarvex::OpenComm(r.port()));
  const int64_t t0 = r.line.NowNs();
  EXPECT_FALSE(tarvex::ReadSmallRange(r.t.s.Link, 0, 11, r.buffer()));
  // Echo limit of a 12-byte read: 3000 + 10 x 11 ms, 3 whole seconds, so
  // the wait ends at 4 s; then the 700 ms pause after a failed attempt.
  EXPECT_EQ(r.line.NowNs() - t0, (4000 + 700) * kMs);
  EXPECT_TRUE(r.line.PanelSent().empty());
  EXPECT_EQ(r.line.Engine().ExchangeCount(), 1);
  EXPECT_TRUE(r.t.ui.Steps().empty());
}

TEST(SimInProcessLine, GarbageAtAnotherSpeedFailsTheReadAtOnce) {
  // Seed 2: this panel, at 19200, answers six garbage bytes at 9600.
  TRig r({.model = "VYR8", .baud = 19200, .seed = 2});
  ASSERT_TRUE(tarvex::OpenComm(r.port()));
  const int64_t t0 = r.line.NowNs();
  EXPECT_FALSE(tarvex::ReadSmallRange(r.t.s.Link, 0, 11, r.buffer()));
  EXPECT_EQ(r.line.NowNs() - t0, 700 * kMs) << "only the pause after the failed attempt";
  ASSERT_EQ(r.line.PanelSent().size(), 6u);
  EXPECT_NE(r.line.PanelSent(), kIdentHeader);
}

// The connection check's baud search: 9600 first, then 115200 down; every
// silent speed costs the 50 ms settle and the 1 s probe wait, a speed that
// answers garbage only the settle.
TEST(SimInProcessLine, BaudSearchFinds38400OnTheVirtualClock) {
  struct TCase {
    uint32_t seed;
    bool garbageAt9600;
    int64_t ms;
  };
  // Seed 5 is silent at 9600, 115200 and 57600; seed 2 answers garbage at
  // 9600 and is silent at the other two.
  for (const TCase c : {TCase{5, false, 3 * 1050 + 50}, TCase{2, true, 50 + 2 * 1050 + 50}}) {
    TRig r({.model = "VYR 320", .seed = c.seed});
    const int64_t t0 = r.line.NowNs();
    EXPECT_TRUE(tarvex::FindBaudRate(r.t.s.Link)) << c.seed;
    EXPECT_EQ(r.line.NowNs() - t0, c.ms * kMs) << c.seed;
    EXPECT_EQ(r.line.OpenSpeeds(), (std::vector<int>{9600, 115200, 57600, 38400})) << c.seed;
    EXPECT_EQ(r.port().BaudIndex, k38400);
    EXPECT_NE(r.port().Handle, -1) << "left open at the speed found";
    EXPECT_EQ(r.line.Engine().ReceivedBytes(), Cat(Cat(kProbe, kProbe), Cat(kProbe, kProbe)));
    ASSERT_EQ(r.line.PanelSent().size(), c.garbageAt9600 ? 12u : 6u) << c.seed;
    EXPECT_EQ(Bytes(r.line.PanelSent().end() - 6, r.line.PanelSent().end()), kProbe);
    EXPECT_TRUE(r.t.ui.Boxes().empty());
  }
}

TEST(SimInProcessLine, IdentifiesTheLargePanel) {
  TRig r({.model = "VYR 320", .firmware = "2.05", .seed = 5});
  EXPECT_TRUE(tarvex::IdentifyLargePanel(r.t.s.Link, r.t.s.Panel).Ok());
  EXPECT_EQ(r.t.s.Panel.PanelDescription, "VYR 320 v.2.05");
  EXPECT_EQ(r.t.s.Panel.ConnectedModel, 6);
  // Four probes, then the version block: F8 10 00 15 93 B0 reads 17 bytes
  // at 5523; then, as 2.05 is above 1.39, 6 bytes at 65544: F8 05 01 00 08
  // with sum 06.
  const auto headers = r.line.Engine().HeadersReceived();
  ASSERT_EQ(headers.size(), 6u);
  EXPECT_EQ(Bytes(headers[4].begin(), headers[4].end()), (Bytes{0xF8, 0x10, 0x00, 0x15, 0x93, 0xB0}));
  EXPECT_EQ(Bytes(headers[5].begin(), headers[5].end()), (Bytes{0xF8, 0x05, 0x01, 0x00, 0x08, 0x06}));
}

TEST(SimInProcessLine, ABadSumAtTheSecondExchangeKeepsTheFirstBlock) {
  TRig r({.model = "VYR8", .fault = {FaultKind::BadCheck, 2}});
  Bytes pattern(128);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(0x80 + i);
  r.line.Engine().WriteMemory(0x2000, pattern);
  ASSERT_TRUE(tarvex::OpenComm(r.port()));
  r.buffer().fill(0);
  const int64_t t0 = r.line.NowNs();
  EXPECT_FALSE(tarvex::ReadSmallRange(r.t.s.Link, 0x2000, 127, r.buffer()));
  // 50 ms after the good block, the bad sum is seen at once, 700 ms pause.
  EXPECT_EQ(r.line.NowNs() - t0, (50 + 700) * kMs);
  EXPECT_EQ(r.t.ui.Steps(), std::vector<int32_t>{64});
  EXPECT_EQ(Bytes(r.buffer().begin(), r.buffer().begin() + 64), Bytes(pattern.begin(), pattern.begin() + 64));
  EXPECT_EQ(Bytes(r.buffer().begin() + 64, r.buffer().begin() + 128), Bytes(64, 0));
  EXPECT_EQ(r.line.Engine().ExchangeCount(), 2);
}

TEST(SimInProcessLine, WrittenBlocksLandInThePanelsMemoryByteForByte) {
  TRig r({.model = "VYR32"});
  ASSERT_TRUE(tarvex::OpenComm(r.port()));
  std::fill(r.buffer().begin(), r.buffer().begin() + 64, 0x11);
  std::fill(r.buffer().begin() + 64, r.buffer().begin() + 100, 0x22);
  const int64_t t0 = r.line.NowNs();
  ASSERT_TRUE(tarvex::WriteSmallRange(r.t.s.Link, 0x3000, 99, r.buffer()));
  EXPECT_EQ(r.line.Engine().ReadMemory(0x3000, 100), Cat(Bytes(64, 0x11), Bytes(36, 0x22)));
  // 64 bytes at 0x3000 (last index 3F, sum 7E; data sum 40), then 36 at
  // 0x3040 (last index 23, sum A2; data sum C8).
  const Bytes first = Cat(Cat(Bytes{0x0F, 0x00, 0x30, 0x3F, 0x00, 0x7E}, Bytes(64, 0x11)), {0x40});
  const Bytes second = Cat(Cat(Bytes{0x0F, 0x40, 0x30, 0x23, 0x00, 0xA2}, Bytes(36, 0x22)), {0xC8});
  EXPECT_EQ(r.line.Engine().ReceivedBytes(), Cat(first, second));
  EXPECT_EQ(r.line.PanelSent(),
            Cat(Bytes(first.begin(), first.begin() + 6), Bytes(second.begin(), second.begin() + 6)));
  // 100 ms after each written block, 50 ms between blocks.
  EXPECT_EQ(r.line.NowNs() - t0, (100 + 50 + 100) * kMs);
  EXPECT_EQ(r.t.ui.Steps(), (std::vector<int32_t>{64, 36}));
}

TEST(SimInProcessLine, AnUnansweredWriteWaitsItsFiveSecondsAndStoresNothing) {
  TRig r({.model = "VYR8", .fault = {FaultKind::NoEcho, 1}});
  ASSERT_TRUE(tarvex::OpenComm(r.port()));
  const Bytes before = r.line.Engine().ReadMemory(0x3000, 8);
  std::fill(r.buffer().begin(), r.buffer().begin() + 8, 0x5A);
  const int64_t t0 = r.line.NowNs();
  EXPECT_FALSE(tarvex::WriteSmallRange(r.t.s.Link, 0x3000, 7, r.buffer()));
  // The write echo limit of 4 s ends the wait at 5 s; no pause follows the
  // last attempt.
  EXPECT_EQ(r.line.NowNs() - t0, 5000 * kMs);
  EXPECT_EQ(r.line.Engine().ReadMemory(0x3000, 8), before);
  EXPECT_TRUE(r.line.PanelSent().empty());
}

TEST(SimInProcessLine, AWriteIsAcknowledgedBeforeItsDataHasArrived) {
  TRig r({.model = "VYR32", .wireTime = true});
  ASSERT_TRUE(tarvex::OpenComm(r.port()));
  std::fill(r.buffer().begin(), r.buffer().begin() + 64, 0x11);
  const int64_t t0 = r.line.NowNs();
  ASSERT_TRUE(tarvex::WriteSmallRange(r.t.s.Link, 0x3000, 63, r.buffer()));
  // 6 header bytes out, then the echo's 6 back while the 64 data bytes and
  // the sum are still going out; then the 100 ms pause after a written
  // block. The tool looks for the rest of a partial reply every
  // millisecond, so it takes the echo up to 1 ms after its last byte. (Were
  // the echo sent after the data, it would end 77 byte times on.) The data
  // is in 71 byte times after the start, well inside the pause.
  const double elapsed = static_cast<double>(r.line.NowNs() - t0);
  EXPECT_GE(elapsed, 12 * kByteNs9600 + 100.0 * kMs);
  EXPECT_LT(elapsed, 12 * kByteNs9600 + 101.0 * kMs);
  EXPECT_EQ(r.line.Engine().ReadMemory(0x3000, 64), Bytes(64, 0x11));
  EXPECT_EQ(r.line.PanelSent(), (Bytes{0x0F, 0x00, 0x30, 0x3F, 0x00, 0x7E}));
}

// The tool cannot tell a discarded block from a stored one by the echo:
// the write of both blocks succeeds, and only the good one is in the panel.
TEST(SimInProcessLine, ADiscardedWriteBlockLooksWrittenToTheTool) {
  for (const FaultKind fault : {FaultKind::BadCheck, FaultKind::CorruptData}) {
    SCOPED_TRACE(static_cast<int>(fault));
    TRig r({.model = "VYR32", .fault = {fault, 2}});
    const Bytes before = r.line.Engine().ReadMemory(0x3040, 36);
    ASSERT_NE(before, Bytes(36, 0x22));
    ASSERT_TRUE(tarvex::OpenComm(r.port()));
    std::fill(r.buffer().begin(), r.buffer().begin() + 64, 0x11);
    std::fill(r.buffer().begin() + 64, r.buffer().begin() + 100, 0x22);
    const int64_t t0 = r.line.NowNs();
    EXPECT_TRUE(tarvex::WriteSmallRange(r.t.s.Link, 0x3000, 99, r.buffer()));
    EXPECT_EQ(r.line.Engine().ReadMemory(0x3000, 64), Bytes(64, 0x11));
    EXPECT_EQ(r.line.Engine().ReadMemory(0x3040, 36), before) << "the second block was discarded";
    // Both echoes came (0F 00 30 3F 00 7E, 0F 40 30 23 00 A2); the times are
    // those of two written blocks.
    EXPECT_EQ(r.line.PanelSent(), (Bytes{0x0F, 0x00, 0x30, 0x3F, 0x00, 0x7E, 0x0F, 0x40, 0x30, 0x23, 0x00, 0xA2}));
    EXPECT_EQ(r.line.NowNs() - t0, (100 + 50 + 100) * kMs);
    EXPECT_EQ(r.t.ui.Steps(), (std::vector<int32_t>{64, 36}));
  }
}

TEST(SimInProcessLine, ALineClosedInAWritesEchoFailsTheWriteAtOnce) {
  for (const bool wireTime : {false, true}) {
    SCOPED_TRACE(wireTime ? "wire time" : "no wire time");
    TRig r({.model = "VYR8", .wireTime = wireTime, .fault = {FaultKind::CloseLine, 1}});
    ASSERT_TRUE(tarvex::OpenComm(r.port()));
    const Bytes before = r.line.Engine().ReadMemory(0x3000, 8);
    ASSERT_NE(before, Bytes(8, 0x5A));
    std::fill(r.buffer().begin(), r.buffer().begin() + 8, 0x5A);
    const int64_t t0 = r.line.NowNs();
    EXPECT_FALSE(tarvex::WriteSmallRange(r.t.s.Link, 0x3000, 7, r.buffer()));
    // Three echo bytes, then the hang-up: the tool does not wait for the
    // other three (its 4 s limit), and a write does not pause after its
    // last attempt. With wire time the hang-up comes with the third echo
    // byte, 9 byte times on, and the tool sees it at its next look at the
    // queue, a millisecond at most later.
    EXPECT_TRUE(r.port().LineLost);
    const double elapsed = static_cast<double>(r.line.NowNs() - t0);
    if (wireTime) {
      EXPECT_GE(elapsed, 9 * kByteNs9600);
      EXPECT_LT(elapsed, 9 * kByteNs9600 + 1.0 * kMs);
    } else {
      EXPECT_EQ(elapsed, 0);
    }
    EXPECT_EQ(r.line.PanelSent(), (Bytes{0x0F, 0x00, 0x30}));
    EXPECT_EQ(r.line.Engine().ReadMemory(0x3000, 8), before) << "the data came after the line closed";
  }
}

TEST(SimInProcessLine, CloseLineEndsTheWaitAtOnceAndTheLineIsGone) {
  TRig r({.model = "VYR8", .fault = {FaultKind::CloseLine, 1}});
  ASSERT_TRUE(tarvex::OpenComm(r.port()));
  const int64_t t0 = r.line.NowNs();
  EXPECT_FALSE(tarvex::ReadSmallRange(r.t.s.Link, 0, 11, r.buffer()));
  EXPECT_TRUE(r.port().LineLost);
  EXPECT_TRUE(r.line.LineClosed());
  // No byte wait ran out: only the pause after the failed attempt.
  EXPECT_EQ(r.line.NowNs() - t0, 700 * kMs);
  EXPECT_EQ(r.line.PanelSent(), Bytes(kIdentReply.begin(), kIdentReply.begin() + 12));

  // A wait on the lost line ends at once, whatever its limit.
  const int64_t t1 = r.line.NowNs();
  EXPECT_EQ(tarvex::ReadCharTimed(r.port(), 30), "");
  EXPECT_EQ(r.line.NowNs(), t1);

  tarvex::ClosePort(r.port());
  EXPECT_FALSE(tarvex::OpenComm(r.port()));
  EXPECT_EQ(r.port().LastError, TCommError::NoDevice);
  EXPECT_EQ(r.port().Handle, -1);
  EXPECT_NE(tarvex::DescribeCommError(r.port()).find("closed the line"), std::string::npos)
      << tarvex::DescribeCommError(r.port());
  EXPECT_FALSE(tarvex::EnsurePortOpen(r.t.s));
  EXPECT_EQ(r.t.ui.Boxes().back(), "Warning: Error opening Com port!");
}

TEST(SimInProcessLine, TheLostLineIsSeenOnlyAfterTheBytesSentBeforeIt) {
  TRig r({.model = "VYR8", .wireTime = true, .fault = {FaultKind::CloseLine, 1}});
  ASSERT_TRUE(tarvex::OpenComm(r.port()));
  const int64_t t0 = r.line.NowNs();
  tarvex::WriteComm(r.port(), kIdentHeader.data(), 6);
  // 6 bytes in, 12 back (the echo and half the data): the hang-up comes
  // with the last of them, 18 byte times on.
  Bytes got;
  for (;;) {
    const std::string c = tarvex::ReadCharTimed(r.port(), 2);
    if (c.empty()) break;
    got.push_back(static_cast<uint8_t>(c[0]));
  }
  EXPECT_EQ(got, Bytes(kIdentReply.begin(), kIdentReply.begin() + 12));
  EXPECT_TRUE(r.port().LineLost);
  EXPECT_NEAR(static_cast<double>(r.line.NowNs() - t0), 18 * kByteNs9600, kWithinNs);
}

// The line's own calls, without the serial layer's loops: a wait that
// starts once everything sent before the hang-up has been taken ends at
// once with the line lost.
TEST(SimInProcessLine, AWaitAfterTheLastByteEndsAtOnceWithTheLineLost) {
  TSimLine line({.model = "VYR8", .wireTime = true, .fault = {FaultKind::CloseLine, 1}});
  TComm c;
  c.System = &line;
  c.BaudIndex = k9600;
  ASSERT_TRUE(tarvex::OpenComm(c));
  line.Write(c, kIdentHeader.data(), 6);
  Bytes got;
  for (int i = 0; i < 12; ++i) {
    line.WaitForInput(c, 10'000);
    uint8_t b = 0;
    line.Read(c, &b, 1);
    got.push_back(b);
  }
  EXPECT_EQ(got, Bytes(kIdentReply.begin(), kIdentReply.begin() + 12));
  EXPECT_FALSE(c.LineLost) << "every byte came before the hang-up was seen";
  const int64_t t0 = line.NowNs();
  line.WaitForInput(c, 10'000);
  EXPECT_TRUE(c.LineLost);
  EXPECT_EQ(line.NowNs(), t0);
  uint8_t b = 0;
  line.Write(c, &b, 1);
  EXPECT_EQ(line.Engine().ReceivedBytes(), kIdentHeader) << "nothing reaches a panel that hung up";
}

TEST(SimInProcessLine, AnOpenStartsWithAnEmptyQueue) {
  TSimLine line({.model = "VYR8"});
  TComm c;
  c.System = &line;
  c.BaudIndex = k9600;
  ASSERT_TRUE(tarvex::OpenComm(c));
  tarvex::WriteComm(c, kIdentHeader.data(), 6);
  EXPECT_EQ(tarvex::BytesWaiting(c), 19);
  ASSERT_TRUE(tarvex::OpenComm(c));
  EXPECT_EQ(tarvex::BytesWaiting(c), 0);
  // The panel still answers the next header.
  tarvex::WriteComm(c, kIdentHeader.data(), 6);
  EXPECT_EQ(tarvex::ReadReply(c, 19, 1), std::string(kIdentReply.begin(), kIdentReply.end()));
}

TEST(SimInProcessLine, AFreshOpenStartsThePanelListeningAfresh) {
  TSimLine line({.model = "VYR 320"});
  TComm c;
  c.System = &line;
  c.BaudIndex = k38400;
  ASSERT_TRUE(tarvex::OpenComm(c));
  // A probe with a wrong sum puts the panel deaf until the line has been
  // quiet for 50 ms: the good probe right after it is not answered.
  const Bytes badProbe{0x3C, 0xC3, 0x00, 0x00, 0x00, 0xFE};
  tarvex::WriteComm(c, badProbe.data(), 6);
  tarvex::WriteComm(c, kProbe.data(), 6);
  EXPECT_EQ(tarvex::ReadReply(c, 6, 0.5), "");
  EXPECT_TRUE(line.PanelSent().empty());

  tarvex::WriteComm(c, badProbe.data(), 6);
  ASSERT_TRUE(tarvex::OpenComm(c));  // reopens at the same speed
  const int64_t t0 = line.NowNs();
  tarvex::WriteComm(c, kProbe.data(), 6);
  EXPECT_EQ(tarvex::ReadReply(c, 6, 0.5), std::string(kProbe.begin(), kProbe.end()));
  EXPECT_EQ(line.NowNs(), t0) << "answered at once";
  // The probe dropped while the panel was deaf is no exchange.
  EXPECT_EQ(line.Engine().ExchangeCount(), 3);
}

TEST(SimInProcessLine, OpensCanBeRefusedAndTheLineIsHeldByOneRecord) {
  TSimLine line({.model = "VYR8"});
  line.FailOpenAt(1, TCommError::InUse);
  TComm a;
  a.System = &line;
  EXPECT_FALSE(tarvex::OpenComm(a));
  EXPECT_EQ(a.LastError, TCommError::InUse);
  EXPECT_NE(tarvex::DescribeCommError(a).find("in use"), std::string::npos);
  ASSERT_TRUE(tarvex::OpenComm(a));
  EXPECT_EQ(tarvex::DescribeCommError(a), "");

  TComm b;
  b.System = &line;
  EXPECT_FALSE(tarvex::OpenComm(b)) << "a held by another record";
  EXPECT_EQ(b.LastError, TCommError::InUse);
  tarvex::CloseComm(a);
  EXPECT_TRUE(tarvex::OpenComm(b));
  tarvex::CloseComm(b);

  line.FailOpenAt(5, TCommError::NoDevice);
  EXPECT_FALSE(tarvex::OpenComm(b));
  EXPECT_EQ(b.LastError, TCommError::NoDevice);
  EXPECT_EQ(line.Opens(), 5);
  EXPECT_EQ(line.OpenSpeeds().size(), 2u);

  TSimLine nothing({.model = "VYR99"});
  TComm n;
  n.System = &nothing;
  EXPECT_FALSE(tarvex::OpenComm(n));
  EXPECT_EQ(n.LastError, TCommError::NoDevice);
  EXPECT_NE(tarvex::DescribeCommError(n).find("VYR99"), std::string::npos);
}

// ---------------------------------------------------------------- the real clock

using Steady = std::chrono::steady_clock;

TEST(SimInProcessLine, TheRealClockTakesTheTimeOnTheLine) {
  TRig r({.model = "VYR8", .wireTime = true}, SimClock::Real);
  EXPECT_EQ(r.line.Clock(), SimClock::Real);
  ASSERT_TRUE(tarvex::OpenComm(r.port()));
  const int64_t t0 = r.line.NowNs();
  EXPECT_TRUE(tarvex::IdentifySmallPanel(r.t.s.Link, r.t.s.Panel).Ok());
  EXPECT_EQ(r.t.s.Panel.PanelDescription, "VYR8 v.2.10");
  // 25 byte times at 9600 baud (26.04 ms) and the 50 ms pause, at the
  // least, on the line's own clock.
  EXPECT_GE(r.line.NowNs() - t0, 76'041'666);
}

TEST(SimInProcessLine, ASilentRealLineIsWaitedOnWithoutSpinning) {
  TSimLine line({.model = "VYR8"}, SimClock::Real);
  // Counts the calls the serial layer makes while it waits.
  tarvex::test::TFakeSystem counting(line);
  TComm c;
  c.System = &counting;
  ASSERT_TRUE(tarvex::OpenComm(c));
  // Measured on the serial layer's own millisecond clock, as the wait is:
  // the steady clock may see 999.x ms of the same second.
  const int64_t t0 = line.NowMs();
  EXPECT_EQ(tarvex::ReadCharTimed(c, 0), "");
  EXPECT_GE(line.NowMs() - t0, 1000) << "a limit of 0 s waits the first whole second";
  EXPECT_LE(counting.waits, 3);
  EXPECT_LE(counting.queuedCalls, 4);
}

}  // namespace
