// The block transfers against a simulated panel: splitting, progress, pauses
// and refusals. The frames themselves are in frame_format_test.cpp.
//
// The panel sits behind the in-process line on its virtual clock, so every
// wait and pause is checked to the millisecond against the documented
// numbers (a 50 ms pause after a good exchange, 700 ms after a failed one,
// 100 ms after a written small block and 50 ms between two of them, 25 ms
// between large written blocks; waits give up at the first whole second
// above their limit) without any real waiting. Expected headers are fixed
// bytes. One smoke test at the end runs a range over a pseudo-terminal in
// real time.
#include <gtest/gtest.h>

#include <chrono>

#include "protocol/frames.h"
#include "sim/sim_line.h"
#include "tests/test_support.h"
#include "tests/test_time.h"

namespace tarvex {
namespace {

using sim::FaultKind;
using test::OpenOn;
using test::ScaledMs;
using test::StartPanel;
using test::SteadyMsSince;
using test::TTestSession;

constexpr int64_t kMs = 1'000'000;  // nanoseconds

std::vector<uint8_t> Bytes(const THeader& h) { return std::vector<uint8_t>(h.begin(), h.end()); }
std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
  std::vector<uint8_t> out;
  for (int b : v) out.push_back(static_cast<uint8_t>(b));
  return out;
}

// A session whose port talks to an in-process panel on the virtual clock;
// the recorded events carry that clock.
class TVirtualRange : public ::testing::Test {
 protected:
  TVirtualRange(sim::PanelConfig cfg, uint8_t baudIndex) : line(std::move(cfg)), panel(&line.Engine()) {
    t.s.Link.PanelPort.System = &line;
    t.s.Link.PanelPort.BaudIndex = baudIndex;
    t.ui.lineClockNs = [this] { return line.NowNs(); };
  }
  void SetUp() override {
    ASSERT_TRUE(OpenComm(t.s.Link.PanelPort)) << DescribeCommError(t.s.Link.PanelPort);
    t0 = line.NowNs();
  }
  void TearDown() override { CloseComm(t.s.Link.PanelPort); }
  // Milliseconds on the line's clock since the test's start, exactly.
  int64_t ElapsedMs() const {
    const int64_t ns = line.NowNs() - t0;
    EXPECT_EQ(ns % kMs, 0) << "no wire time: only whole-millisecond waits and pauses";
    return ns / kMs;
  }
  // The line outlives the session whose port points at it.
  sim::TSimLine line;
  sim::PanelEngine* panel;
  TTestSession t;
  int64_t t0 = 0;
  TTransferBuffer& buf() { return t.s.Link.Buffer(); }
};

class SmallRange : public TVirtualRange {
 protected:
  SmallRange() : TVirtualRange({.model = "VYR8"}, 6) {}  // 9600, the panel's speed
};

TEST_F(SmallRange, ReadsWhatThePanelHoldsInBlocksOf64AndTheRest) {
  std::vector<uint8_t> pattern(65);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 3);
  panel->WriteMemory(0x1234, pattern);
  ASSERT_TRUE(ReadSmallRange(t.s.Link, 0x1234, 64, buf()));
  EXPECT_EQ(std::vector<uint8_t>(buf().begin(), buf().begin() + 65), pattern);
  const auto headers = panel->HeadersReceived();
  ASSERT_EQ(headers.size(), 2u);
  // Read 64 bytes at 0x1234 (last index 3F), then 1 at 0x1274.
  EXPECT_EQ(Bytes(headers[0]), Bytes({0xF0, 0x34, 0x12, 0x3F, 0x00, 0x75}));
  EXPECT_EQ(Bytes(headers[1]), Bytes({0xF0, 0x74, 0x12, 0x00, 0x00, 0x76}));
  EXPECT_EQ(t.ui.Steps(), (std::vector<int32_t>{64, 1}));
}

TEST_F(SmallRange, ExactMultipleSendsNoEmptyBlockAndAddressZeroIsReadable) {
  ASSERT_TRUE(ReadSmallRange(t.s.Link, 0, 127, buf()));
  EXPECT_EQ(panel->HeadersReceived().size(), 2u);
  EXPECT_EQ(t.ui.Steps(), (std::vector<int32_t>{64, 64}));
  EXPECT_EQ(std::string(buf().begin(), buf().begin() + 4), "VYR8");
}

TEST_F(SmallRange, WritesIn64And1WithTheMandatedPauses) {
  std::vector<uint8_t> data(65);
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<uint8_t>(0xA0 + i);
    buf()[i] = data[i];
  }
  ASSERT_TRUE(WriteSmallRange(t.s.Link, 0x2000, 64, buf()));
  EXPECT_EQ(panel->ReadMemory(0x2000, 65), data);
  const auto headers = panel->HeadersReceived();
  ASSERT_EQ(headers.size(), 2u);
  // Write 64 bytes at 0x2000 (last index 3F), then 1 at 0x2040.
  EXPECT_EQ(Bytes(headers[0]), Bytes({0x0F, 0x00, 0x20, 0x3F, 0x00, 0x6E}));
  EXPECT_EQ(Bytes(headers[1]), Bytes({0x0F, 0x40, 0x20, 0x00, 0x00, 0x6F}));
  EXPECT_EQ(t.ui.Steps(), (std::vector<int32_t>{64, 1}));
  // The first block's echo comes at once on a line without wire time; the
  // block counts 100 ms after it is written, and 50 ms between the blocks
  // pass before the second block, which counts 100 ms after its echo.
  const auto steps = t.ui.StepLineNs();
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0] - t0, 100 * kMs);
  EXPECT_EQ(steps[1] - steps[0], 150 * kMs);
  EXPECT_EQ(ElapsedMs(), 250);
}

TEST_F(SmallRange, ReadsPauseOnlyTheSuccessPauseBetweenBlocks) {
  ASSERT_TRUE(ReadSmallRange(t.s.Link, 0x100, 127, buf()));
  // 50 ms after each good exchange; a read adds no pause between blocks.
  const auto steps = t.ui.StepLineNs();
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[1] - steps[0], 50 * kMs);
  EXPECT_EQ(ElapsedMs(), 100);
}

TEST_F(SmallRange, WritesRefuseStartAddressZeroWithoutSendingAByte) {
  EXPECT_FALSE(WriteSmallRange(t.s.Link, 0, 15, buf()));
  EXPECT_EQ(panel->ExchangeCount(), 0);
  EXPECT_TRUE(panel->ReceivedBytes().empty());
  EXPECT_TRUE(t.ui.Steps().empty());
}

TEST_F(SmallRange, RangesBeyondTheTransferBufferAreRefused) {
  EXPECT_FALSE(ReadSmallRange(t.s.Link, 0x100, kMaxLastIndex + 1, buf()));
  EXPECT_FALSE(ReadSmallRange(t.s.Link, 0x100, -1, buf()));
  EXPECT_TRUE(panel->ReceivedBytes().empty());
}

TEST_F(SmallRange, EchoInOtherLetterCasePasses) {
  // The header F0 34 12 0F 00 45 holds one letter byte (0x45 'E').
  std::vector<uint8_t> pattern(16, 0x5A);
  panel->WriteMemory(0x1234, pattern);
  panel->SetFault({FaultKind::EchoCase, 0});
  ASSERT_TRUE(ReadSmallRange(t.s.Link, 0x1234, 15, buf()));
  EXPECT_EQ(buf()[15], 0x5A);
}

TEST_F(SmallRange, WrongSumFailsTheBlockAfterTheRetryPauseAndLeavesTheBufferAlone) {
  buf().fill(0x11);
  panel->SetFault({FaultKind::BadCheck, 2});
  EXPECT_FALSE(ReadSmallRange(t.s.Link, 0x100, 127, buf()));
  // 50 ms after the good block; the wrong sum is seen at once, and 700 ms
  // follow the failed attempt.
  EXPECT_EQ(ElapsedMs(), 50 + 700);
  // The first block stays copied; the failed one is not.
  EXPECT_EQ(std::vector<uint8_t>(buf().begin(), buf().begin() + 64), panel->ReadMemory(0x100, 64));
  EXPECT_EQ(buf()[64], 0x11);
  EXPECT_EQ(t.ui.Steps(), (std::vector<int32_t>{64}));
}

TEST_F(SmallRange, AWriteThatIsNotEchoedFailsAfterItsWholeSecondLimit) {
  // The panel ignores the header; the tool waits out the 4-second echo
  // limit of a small write.
  panel->SetFault({FaultKind::NoEcho, 1});
  buf().fill(0x22);
  const auto before = panel->ReadMemory(0x3000, 16);
  EXPECT_FALSE(WriteSmallRange(t.s.Link, 0x3000, 15, buf()));
  // The wait ends at the first whole second above 4; no pause follows the
  // last attempt of a write.
  EXPECT_EQ(ElapsedMs(), 5000);
  EXPECT_TRUE(line.PanelSent().empty());
  EXPECT_EQ(panel->ReadMemory(0x3000, 16), before);
  EXPECT_TRUE(t.ui.Steps().empty());
}

TEST_F(SmallRange, NoEchoFailsAfterTheWholeSecondLimitAndTheRetryPause) {
  // 12 bytes: echo limit 3110 ms, 3 whole seconds, so the wait ends after
  // 4 s; then the 700 ms retry pause.
  panel->SetFault({FaultKind::NoEcho, 0});
  EXPECT_FALSE(ReadSmallRange(t.s.Link, 0, 11, buf()));
  EXPECT_EQ(ElapsedMs(), 4000 + 700);
  EXPECT_TRUE(t.ui.Steps().empty());
}

TEST_F(SmallRange, MoreAttemptsRetryTheExchange) {
  t.s.Link.Tuning.Attempts = 2;
  t.s.Link.Tuning.RetryPauseMs = 10;
  panel->SetFault({FaultKind::BadCheck, 1});
  ASSERT_TRUE(ReadSmallRange(t.s.Link, 0, 11, buf()));
  EXPECT_EQ(panel->ExchangeCount(), 2);
  // The failed attempt is seen at once and paused after (10 ms here), the
  // good one is followed by the 50 ms success pause.
  EXPECT_EQ(ElapsedMs(), 10 + 50);
}

class LargeRange : public TVirtualRange {
 protected:
  LargeRange() : TVirtualRange({.model = "VYR 320", .firmware = "2.05"}, 9) {}  // 38400, the panel's own speed
};

TEST_F(LargeRange, ReadsAndWritesIn1023ByteBlocksWithCrc) {
  std::vector<uint8_t> data(2047);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
  std::copy(data.begin(), data.end(), buf().begin());
  ASSERT_TRUE(WriteLargeRange(t.s.Link, 0xE1BA92, 2046, buf()));
  EXPECT_EQ(panel->ReadMemory(0xE1BA92, data.size()), data);
  auto headers = panel->HeadersReceived();
  ASSERT_EQ(headers.size(), 3u);
  // 1023 bytes at E1BA92, 1023 at E1BE91, 1 at E1C290.
  EXPECT_EQ(Bytes(headers[0]), Bytes({0xAB, 0xFE, 0xE1, 0xBA, 0x92, 0xD6}));
  EXPECT_EQ(Bytes(headers[1]), Bytes({0xAB, 0xFE, 0xE1, 0xBE, 0x91, 0xD9}));
  EXPECT_EQ(Bytes(headers[2]), Bytes({0xA8, 0x00, 0xE1, 0xC2, 0x90, 0xDB}));
  EXPECT_EQ(t.ui.Steps(), (std::vector<int32_t>{1023, 1023, 1}));
  // 50 ms after each good exchange, 25 ms between written blocks.
  EXPECT_EQ(ElapsedMs(), 50 + 25 + 50 + 25 + 50);

  buf().fill(0);
  t.ui.Clear();
  t0 = line.NowNs();
  ASSERT_TRUE(ReadLargeRange(t.s.Link, 0xE1BA92, 2046, buf()).Ok());
  EXPECT_EQ(std::vector<uint8_t>(buf().begin(), buf().begin() + 2047), data);
  EXPECT_EQ(t.ui.Steps(), (std::vector<int32_t>{1023, 1023, 1}));
  // 50 ms after each good exchange and 50 ms between read blocks.
  EXPECT_EQ(ElapsedMs(), 50 + 50 + 50 + 50 + 50);
}

TEST_F(LargeRange, RefusesStartAddressZero) {
  EXPECT_FALSE(ReadLargeRange(t.s.Link, 0, 15, buf()).Ok());
  EXPECT_FALSE(WriteLargeRange(t.s.Link, 0, 15, buf()));
  EXPECT_TRUE(panel->ReceivedBytes().empty());
  EXPECT_TRUE(t.ui.events.empty()) << "not even the pointer is touched";
}

TEST_F(LargeRange, AMissingSecondCrcByteFailsTheCheck) {
  panel->SetFault({FaultKind::MissingCheckByte, 0});
  EXPECT_FALSE(ReadLargeRange(t.s.Link, 5523, 16, buf()).Ok());
  // The missing byte is waited for with the 2-second data limit, which ends
  // at 3 s; no pause follows the last attempt of a large read.
  EXPECT_EQ(ElapsedMs(), 3000);
  EXPECT_EQ(line.PanelSent().size(), 6u + 17 + 1) << "echo, data and the low CRC byte";
}

// ---------------------------------------------------------------- real time

// A write and its read-back over a pseudo-terminal: the same frames reach a
// panel served by a thread of its own. Real time is at least the mandated
// pauses; the upper bound only catches a wait that ran out.
TEST(SmallRangeOnAPseudoTerminal, AWriteAndItsReadBackInRealTime) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR32"});
  OpenOn(t.s, *panel, 6);
  TTransferBuffer& buf = t.s.Link.Buffer();
  std::vector<uint8_t> data(65);
  for (size_t i = 0; i < data.size(); ++i) buf[i] = data[i] = static_cast<uint8_t>(0x30 + i);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(WriteSmallRange(t.s.Link, 0x3000, 64, buf));
  buf.fill(0);
  ASSERT_TRUE(ReadSmallRange(t.s.Link, 0x3000, 64, buf));
  const int64_t ms = SteadyMsSince(t0);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 65), data);
  EXPECT_EQ(panel->ReadMemory(0x3000, 65), data);
  // Write: 100 + 50 + 100 ms; read: 50 + 50 ms.
  EXPECT_GE(ms, 350);
  // Far below the first wait that could run out (4 s).
  EXPECT_LT(ms, ScaledMs(3000));
  CloseComm(t.s.Link.PanelPort);
}

}  // namespace
}  // namespace tarvex
