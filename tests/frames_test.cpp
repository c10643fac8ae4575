// The block transfers against simulated panels: splitting, progress, pauses
// and refusals. The frames themselves are in frame_format_test.cpp.
#include <gtest/gtest.h>

#include <chrono>

#include "protocol/frames.h"
#include "tests/test_support.h"

namespace tarvex {
namespace {

using sim::FaultKind;
using test::MsSince;
using test::OpenOn;
using test::StartPanel;
using test::TTestSession;
using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Bytes(const THeader& h) { return std::vector<uint8_t>(h.begin(), h.end()); }
std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
  std::vector<uint8_t> out;
  for (int b : v) out.push_back(static_cast<uint8_t>(b));
  return out;
}

class SmallRange : public ::testing::Test {
 protected:
  void SetUp() override {
    panel = StartPanel({.model = "VYR8"});
    OpenOn(t.s, *panel, 6);
  }
  void TearDown() override { CloseComm(t.s.PanelPort); }
  TTestSession t;
  std::unique_ptr<sim::SimPanel> panel;
  TTransferBuffer& buf() { return *t.s.TransferBuffer; }
};

TEST_F(SmallRange, ReadsWhatThePanelHoldsInBlocksOf64AndTheRest) {
  std::vector<uint8_t> pattern(65);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 3);
  panel->WriteMemory(0x1234, pattern);
  ASSERT_TRUE(ReadSmallRange(t.s, 0x1234, 64, buf(), t.s.PanelPort));
  EXPECT_EQ(std::vector<uint8_t>(buf().begin(), buf().begin() + 65), pattern);
  const auto headers = panel->HeadersReceived();
  ASSERT_EQ(headers.size(), 2u);
  EXPECT_EQ(Bytes(headers[0]), Bytes(MakeSmallHeader(0xF0, 0x1234, 63)));
  EXPECT_EQ(Bytes(headers[1]), Bytes(MakeSmallHeader(0xF0, 0x1274, 0)));
  EXPECT_EQ(t.ui.Steps(), (std::vector<int32_t>{64, 1}));
}

TEST_F(SmallRange, ExactMultipleSendsNoEmptyBlockAndAddressZeroIsReadable) {
  ASSERT_TRUE(ReadSmallRange(t.s, 0, 127, buf(), t.s.PanelPort));
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
  ASSERT_TRUE(WriteSmallRange(t.s, 0x2000, 64, buf(), t.s.PanelPort));
  EXPECT_EQ(panel->ReadMemory(0x2000, 65), data);
  const auto headers = panel->HeadersReceived();
  ASSERT_EQ(headers.size(), 2u);
  EXPECT_EQ(Bytes(headers[0]), Bytes(MakeSmallHeader(0x0F, 0x2000, 63)));
  EXPECT_EQ(Bytes(headers[1]), Bytes(MakeSmallHeader(0x0F, 0x2040, 0)));
  EXPECT_EQ(t.ui.Steps(), (std::vector<int32_t>{64, 1}));
  // The first block's attempt ends, then 100 ms after its echo and 50 ms
  // between the blocks pass before the second attempt ends.
  const auto pumps = t.ui.PumpTimes();
  ASSERT_EQ(pumps.size(), 2u);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(pumps[1] - pumps[0]).count(), 150);
}

TEST_F(SmallRange, ReadsPauseOnlyTheSuccessPauseBetweenBlocks) {
  ASSERT_TRUE(ReadSmallRange(t.s, 0x100, 127, buf(), t.s.PanelPort));
  const auto pumps = t.ui.PumpTimes();
  ASSERT_EQ(pumps.size(), 2u);
  const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(pumps[1] - pumps[0]).count();
  EXPECT_GE(gap, 50);
  EXPECT_LT(gap, 150);
}

TEST_F(SmallRange, WritesRefuseStartAddressZeroWithoutSendingAByte) {
  EXPECT_FALSE(WriteSmallRange(t.s, 0, 15, buf(), t.s.PanelPort));
  EXPECT_EQ(panel->ExchangeCount(), 0);
  EXPECT_TRUE(panel->ReceivedBytes().empty());
  EXPECT_TRUE(t.ui.Steps().empty());
}

TEST_F(SmallRange, RangesBeyondTheTransferBufferAreRefused) {
  EXPECT_FALSE(ReadSmallRange(t.s, 0x100, kMaxLastIndex + 1, buf(), t.s.PanelPort));
  EXPECT_FALSE(ReadSmallRange(t.s, 0x100, -1, buf(), t.s.PanelPort));
  EXPECT_TRUE(panel->ReceivedBytes().empty());
}

TEST_F(SmallRange, EchoInOtherLetterCasePasses) {
  // The header F0 34 12 0F 00 45 holds one letter byte (0x45 'E').
  std::vector<uint8_t> pattern(16, 0x5A);
  panel->WriteMemory(0x1234, pattern);
  panel->SetFault({FaultKind::EchoCase, 0});
  ASSERT_TRUE(ReadSmallRange(t.s, 0x1234, 15, buf(), t.s.PanelPort));
  EXPECT_EQ(buf()[15], 0x5A);
}

TEST_F(SmallRange, WrongSumFailsTheBlockAfterTheRetryPauseAndLeavesTheBufferAlone) {
  buf().fill(0x11);
  panel->SetFault({FaultKind::BadCheck, 2});
  const auto t0 = Clock::now();
  EXPECT_FALSE(ReadSmallRange(t.s, 0x100, 127, buf(), t.s.PanelPort));
  EXPECT_GE(MsSince(t0), 700);
  // The first block stays copied; the failed one is not.
  EXPECT_EQ(std::vector<uint8_t>(buf().begin(), buf().begin() + 64), panel->ReadMemory(0x100, 64));
  EXPECT_EQ(buf()[64], 0x11);
  EXPECT_EQ(t.ui.Steps(), (std::vector<int32_t>{64}));
}

TEST_F(SmallRange, AWriteWithABadChecksumIsNotEchoedAndFails) {
  // The panel refuses the block; the tool waits out the 4-second echo limit.
  panel->SetFault({FaultKind::BadCheck, 1});
  buf().fill(0x22);
  const auto before = panel->ReadMemory(0x3000, 16);
  const auto t0 = Clock::now();
  EXPECT_FALSE(WriteSmallRange(t.s, 0x3000, 15, buf(), t.s.PanelPort));
  const int64_t ms = MsSince(t0);
  EXPECT_GE(ms, 5000);
  EXPECT_LT(ms, 5400);
  EXPECT_EQ(panel->ReadMemory(0x3000, 16), before);
}

TEST_F(SmallRange, NoEchoFailsAfterTheWholeSecondLimitAndTheRetryPause) {
  // 12 bytes: echo limit 3110 ms, 3 whole seconds, so the wait ends after
  // 4 s; then the 700 ms retry pause.
  panel->SetFault({FaultKind::NoEcho, 0});
  const auto t0 = Clock::now();
  EXPECT_FALSE(ReadSmallRange(t.s, 0, 11, buf(), t.s.PanelPort));
  const int64_t ms = MsSince(t0);
  EXPECT_GE(ms, 4700);
  EXPECT_LT(ms, 5100);
  EXPECT_TRUE(t.ui.Steps().empty());
}

TEST_F(SmallRange, MoreAttemptsRetryTheExchange) {
  t.s.SystemFlags.Attempts = 2;
  t.s.SystemFlags.RetryPauseMs = 10;
  panel->SetFault({FaultKind::BadCheck, 1});
  ASSERT_TRUE(ReadSmallRange(t.s, 0, 11, buf(), t.s.PanelPort));
  EXPECT_EQ(panel->ExchangeCount(), 2);
}

class LargeRange : public ::testing::Test {
 protected:
  void SetUp() override {
    panel = StartPanel({.model = "VYR 320", .firmware = "2.05"});
    OpenOn(t.s, *panel, 9);  // 38400, the panel's own speed
  }
  void TearDown() override { CloseComm(t.s.PanelPort); }
  TTestSession t;
  std::unique_ptr<sim::SimPanel> panel;
  TTransferBuffer& buf() { return *t.s.TransferBuffer; }
};

TEST_F(LargeRange, ReadsAndWritesIn1023ByteBlocksWithCrc) {
  std::vector<uint8_t> data(2047);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
  std::copy(data.begin(), data.end(), buf().begin());
  ASSERT_TRUE(WriteLargeRange(t.s, 0xE1BA92, 2046, buf(), t.s.PanelPort));
  EXPECT_EQ(panel->ReadMemory(0xE1BA92, data.size()), data);
  auto headers = panel->HeadersReceived();
  ASSERT_EQ(headers.size(), 3u);
  EXPECT_EQ(Bytes(headers[0]), Bytes({0xAB, 0xFE, 0xE1, 0xBA, 0x92, 0xD6}));
  EXPECT_EQ(Bytes(headers[2]), Bytes(MakeLargeHeader(0xA8, 0xE1BA92 + 2046, 0)));
  EXPECT_EQ(t.ui.Steps(), (std::vector<int32_t>{1023, 1023, 1}));
  // The write puts the pointer back when it ends.
  ASSERT_FALSE(t.ui.events.empty());
  EXPECT_EQ(t.ui.events.back().kind, test::TEvent::Cursor);
  EXPECT_EQ(t.ui.events.back().value, 0);

  buf().fill(0);
  t.ui.Clear();
  ASSERT_EQ(ReadLargeRange(t.s, 0xE1BA92, 2046, buf(), t.s.PanelPort), 0);
  EXPECT_EQ(std::vector<uint8_t>(buf().begin(), buf().begin() + 2047), data);
  // One pump per attempt and one more per block.
  EXPECT_EQ(t.ui.PumpTimes().size(), 6u);
}

TEST_F(LargeRange, RefusesStartAddressZero) {
  EXPECT_EQ(ReadLargeRange(t.s, 0, 15, buf(), t.s.PanelPort), 1);
  EXPECT_FALSE(WriteLargeRange(t.s, 0, 15, buf(), t.s.PanelPort));
  EXPECT_TRUE(panel->ReceivedBytes().empty());
  EXPECT_TRUE(t.ui.events.empty()) << "not even the pointer is touched";
}

TEST_F(LargeRange, AMissingSecondCrcByteFailsTheCheck) {
  panel->SetFault({FaultKind::MissingCheckByte, 0});
  const auto t0 = Clock::now();
  EXPECT_EQ(ReadLargeRange(t.s, 5523, 16, buf(), t.s.PanelPort), 1);
  // The missing byte is waited for with the 2-second data limit.
  EXPECT_GE(MsSince(t0), 3000);
  EXPECT_LT(MsSince(t0), 3500);
}

}  // namespace
}  // namespace tarvex
