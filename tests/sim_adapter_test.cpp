// The simulated USB adapter between the panel's line and the computer: the
// model on times handed in by the test, then the in-process line with the
// adapter on its virtual clock. Expected times come from the chip's rules
// (62 payload bytes a packet; a packet at the latest a latency time after
// the last byte received) and the byte times of the line (11 bit times a
// byte), never from the code under test.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/frames.h"
#include "serial/comm.h"
#include "sim/sim_line.h"
#include "sim/usb_adapter.h"

#ifdef __linux__
#include <errno.h>
#include <linux/serial.h>

#include "tests/support/fake_system.h"
#endif

namespace {

using tarvex::TComm;
using tarvex::sim::PanelConfig;
using tarvex::sim::TSimLine;
using tarvex::sim::UsbAdapter;
using Handed = UsbAdapter::Handed;

constexpr int64_t kMs = 1'000'000;  // nanoseconds
constexpr double kByteNs9600 = 11.0 * 1e9 / 9600.0;
// Byte times on the line are whole nanoseconds: an expectation built from
// the exact fraction may be off by a nanosecond a byte.
constexpr double kWithinNs = 1000;
constexpr uint8_t k9600 = 6;

std::vector<uint8_t> Bytes(const std::vector<Handed>& h) {
  std::vector<uint8_t> out;
  for (const Handed& x : h) out.push_back(x.byte);
  return out;
}

// ---------------------------------------------------------------- the model

TEST(UsbAdapterModel, OffHandsEveryByteOverAsItArrives) {
  UsbAdapter a;
  EXPECT_FALSE(a.On());
  std::vector<Handed> out;
  for (int i = 0; i < 100; ++i) a.Arrive(static_cast<uint8_t>(i), 1000 + i * 7, &out);
  ASSERT_EQ(out.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(out[i].byte, i);
    EXPECT_EQ(out[i].atNs, 1000 + i * 7);
  }
  EXPECT_EQ(a.Held(), 0u);
  EXPECT_FALSE(a.Deadline());
}

TEST(UsbAdapterModel, AShortReplyIsHeldUntilTheTimerRunsOutAfterItsLastByte) {
  UsbAdapter a(16);
  std::vector<Handed> out;
  for (int i = 0; i < 10; ++i) a.Arrive(static_cast<uint8_t>(0xA0 + i), i * kMs, &out);
  EXPECT_TRUE(out.empty()) << "each byte restarts the timer";
  ASSERT_TRUE(a.Deadline());
  EXPECT_EQ(*a.Deadline(), 9 * kMs + 16 * kMs);
  a.Expire(25 * kMs - 1, &out);
  EXPECT_TRUE(out.empty()) << "a nanosecond before the timer runs out";
  a.Expire(25 * kMs, &out);
  ASSERT_EQ(out.size(), 10u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(out[i].byte, 0xA0 + i);
    EXPECT_EQ(out[i].atNs, 25 * kMs);
  }
  EXPECT_EQ(a.Held(), 0u);
  EXPECT_FALSE(a.Deadline());
}

TEST(UsbAdapterModel, PacketsCarry62BytesAndGoTheMomentTheyAreFull) {
  UsbAdapter a(16);
  std::vector<Handed> out;
  // 130 bytes in one burst: two full packets at once, 6 bytes held.
  for (int i = 0; i < 130; ++i) a.Arrive(static_cast<uint8_t>(i), 5 * kMs, &out);
  ASSERT_EQ(out.size(), 124u);
  for (const Handed& h : out) EXPECT_EQ(h.atNs, 5 * kMs);
  EXPECT_EQ(a.Held(), 6u);
  EXPECT_EQ(*a.Deadline(), 21 * kMs);
  a.Flush(&out);
  ASSERT_EQ(out.size(), 130u);
  for (int i = 124; i < 130; ++i) EXPECT_EQ(out[i].atNs, 21 * kMs) << i;
  std::vector<uint8_t> expected;
  for (int i = 0; i < 130; ++i) expected.push_back(static_cast<uint8_t>(i));
  EXPECT_EQ(Bytes(out), expected) << "order kept across packets";

  // Bytes a millisecond apart: the 62nd one fills the packet at its arrival.
  UsbAdapter b(16);
  std::vector<Handed> paced;
  for (int i = 0; i < 61; ++i) b.Arrive(1, i * kMs, &paced);
  EXPECT_TRUE(paced.empty());
  b.Arrive(2, 61 * kMs, &paced);
  ASSERT_EQ(paced.size(), 62u);
  EXPECT_EQ(paced.front().atNs, 61 * kMs);
  EXPECT_EQ(paced.back().atNs, 61 * kMs);
  EXPECT_EQ(b.Held(), 0u);
}

TEST(UsbAdapterModel, ByteAfterTheTimerRanOutStartsTheNextPacket) {
  UsbAdapter a(16);
  std::vector<Handed> out;
  a.Arrive(1, 0, &out);
  a.Arrive(2, 16 * kMs - 1, &out);  // just in time: joins the first
  EXPECT_TRUE(out.empty());
  a.Arrive(3, 32 * kMs - 1, &out);  // the moment the timer runs out: too late
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].atNs, 32 * kMs - 1);
  EXPECT_EQ(out[1].atNs, 32 * kMs - 1);
  EXPECT_EQ(Bytes(out), (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(a.Held(), 1u);
  EXPECT_EQ(*a.Deadline(), 48 * kMs - 1);
}

TEST(UsbAdapterModel, AOneMillisecondTimerHandsOverEachByteOfA9600BaudLine) {
  UsbAdapter a(16);
  a.SetLatencyMs(UsbAdapter::kLowLatencyMs);
  std::vector<Handed> out;
  for (int i = 0; i < 5; ++i) a.Arrive(static_cast<uint8_t>(i), static_cast<int64_t>(i * kByteNs9600), &out);
  a.Flush(&out);
  ASSERT_EQ(out.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i].atNs, static_cast<int64_t>(i * kByteNs9600) + kMs) << i;
}

TEST(UsbAdapterModel, APurgeDropsWhatIsHeld) {
  UsbAdapter a(16);
  std::vector<Handed> out;
  a.Arrive(1, 0, &out);
  a.Arrive(2, 0, &out);
  a.Purge();
  EXPECT_EQ(a.Held(), 0u);
  a.Flush(&out);
  EXPECT_TRUE(out.empty());
}

TEST(UsbAdapterModel, TheConfigurationChoosesTheTimer) {
  PanelConfig cfg;
  EXPECT_EQ(tarvex::sim::AdapterLatencyMs(cfg), 0) << "no adapter unless asked";
  cfg.adapterLatencyMs = 16;
  EXPECT_EQ(tarvex::sim::AdapterLatencyMs(cfg), 16);
  cfg.adapterLowLatency = true;
  EXPECT_EQ(tarvex::sim::AdapterLatencyMs(cfg), 1);
  cfg.adapterLatencyMs = 0;
  EXPECT_EQ(tarvex::sim::AdapterLatencyMs(cfg), 1) << "the request honoured implies an adapter";
}

// ---------------------------------------------------------------- on the in-process line

// When each byte of the reply to header became available to the tool, on
// the line's virtual clock, taking bytes as they come.
std::vector<int64_t> ReplyTimes(TSimLine& line, TComm& c, const tarvex::THeader& header, size_t count,
                                int64_t* sentAt) {
  *sentAt = line.NowNs();
  tarvex::WriteComm(c, header.data(), 6);
  std::vector<int64_t> at;
  while (at.size() < count) {
    tarvex::WaitForInputOn(c, 3000);
    const int32_t n = tarvex::BytesWaiting(c);
    if (n <= 0) break;
    std::vector<uint8_t> buf(static_cast<size_t>(n));
    tarvex::ReadComm(c, buf.data(), static_cast<uint16_t>(n));
    at.insert(at.end(), static_cast<size_t>(n), line.NowNs());
  }
  return at;
}

// The time reply byte i (from 0) has wholly left the wire at 9600 baud: the
// header's 6 bytes in, then one byte time for each reply byte.
double WireNs(size_t i) { return (6.0 + static_cast<double>(i) + 1.0) * kByteNs9600; }

PanelConfig Vyr8(int adapterMs) {
  PanelConfig cfg;
  cfg.model = "VYR8";
  cfg.wireTime = true;
  cfg.adapterLatencyMs = adapterMs;
  return cfg;
}

// A block of 64 bytes: the echo, the data and the sum, 71 bytes.
const tarvex::THeader kBlock64 = tarvex::MakeSmallHeader(tarvex::kSmallReadCommand, 0x2000, 63);
constexpr size_t kBlock64Reply = 6 + 64 + 1;

TEST(SimLineAdapter, WithoutAnAdapterReplyBytesComeAsTheyLeaveTheWire) {
  TSimLine line(Vyr8(0));
  TComm c;
  c.System = &line;
  c.BaudIndex = k9600;
  ASSERT_TRUE(tarvex::OpenComm(c));
  int64_t t0 = 0;
  const std::vector<int64_t> at = ReplyTimes(line, c, kBlock64, kBlock64Reply, &t0);
  ASSERT_EQ(at.size(), kBlock64Reply);
  for (size_t i = 0; i < at.size(); ++i) EXPECT_NEAR(static_cast<double>(at[i] - t0), WireNs(i), kWithinNs) << i;
  EXPECT_EQ(line.AdapterLatencyNs(), 0);
}

TEST(SimLineAdapter, A16MillisecondAdapterHandsAReplyOverInPackets) {
  TSimLine line(Vyr8(16));
  TComm c;
  c.System = &line;
  c.BaudIndex = k9600;
  // Straight through the line's own open: no low-latency request.
  ASSERT_TRUE(line.Open(c));
  int64_t t0 = 0;
  const std::vector<int64_t> at = ReplyTimes(line, c, kBlock64, kBlock64Reply, &t0);
  ASSERT_EQ(at.size(), kBlock64Reply);
  // The first 62 bytes go as one full packet when the 62nd is in; the other
  // 9 wait for the timer after the last one.
  for (size_t i = 0; i < 62; ++i) EXPECT_NEAR(static_cast<double>(at[i] - t0), WireNs(61), kWithinNs) << i;
  for (size_t i = 62; i < kBlock64Reply; ++i)
    EXPECT_NEAR(static_cast<double>(at[i] - t0), WireNs(kBlock64Reply - 1) + 16.0 * kMs, kWithinNs) << i;

  // The identification block's reply, 19 bytes, waits whole for the timer.
  const tarvex::THeader ident = tarvex::MakeSmallHeader(tarvex::kSmallReadCommand, 0, 11);
  const std::vector<int64_t> small = ReplyTimes(line, c, ident, 19, &t0);
  ASSERT_EQ(small.size(), 19u);
  for (size_t i = 0; i < 19; ++i)
    EXPECT_NEAR(static_cast<double>(small[i] - t0), WireNs(18) + 16.0 * kMs, kWithinNs) << i;
  tarvex::CloseComm(c);
}

TEST(SimLineAdapter, BytesHeldAtAnOpenAreDropped) {
  TSimLine line(Vyr8(16));
  TComm c;
  c.System = &line;
  c.BaudIndex = k9600;
  ASSERT_TRUE(line.Open(c));
  tarvex::WriteComm(c, kBlock64.data(), 6);
  // Every byte off the wire, the last 9 still in the adapter.
  line.SleepMs(static_cast<int64_t>(WireNs(kBlock64Reply - 1) / kMs) + 1);
  EXPECT_EQ(tarvex::BytesWaiting(c), 62);
  tarvex::CloseComm(c);
  ASSERT_TRUE(line.Open(c));
  line.SleepMs(100);
  EXPECT_EQ(tarvex::BytesWaiting(c), 0);
  tarvex::CloseComm(c);
}

#ifdef __linux__
// The program's open asks the driver for low latency; the line plays an
// FTDI adapter's driver, which then runs the timer at 1 ms.
TEST(SimLineAdapter, TheLowLatencyRequestOfAnOpenBringsTheTimerTo1Millisecond) {
  TSimLine line(Vyr8(16));
  TComm c;
  c.System = &line;
  c.BaudIndex = k9600;
  ASSERT_TRUE(tarvex::OpenComm(c));
  EXPECT_EQ(line.AdapterLatencyNs(), 1 * kMs);
  int64_t t0 = 0;
  const std::vector<int64_t> at = ReplyTimes(line, c, kBlock64, kBlock64Reply, &t0);
  ASSERT_EQ(at.size(), kBlock64Reply);
  // At 9600 baud a byte takes longer than a millisecond: each one goes on
  // its own, a millisecond after it came.
  for (size_t i = 0; i < at.size(); ++i)
    EXPECT_NEAR(static_cast<double>(at[i] - t0), WireNs(i) + 1.0 * kMs, kWithinNs) << i;
  tarvex::CloseComm(c);
}

TEST(SimLineAdapter, ARefusedRequestLeavesTheTimerAsItWas) {
  TSimLine line(Vyr8(16));
  // A driver that refuses to change its flags (an adapter whose driver
  // has no such request).
  tarvex::test::TFakeSystem refusing(line);
  refusing.serialFlags = 0;
  refusing.refuseSerialFlags = EINVAL;
  TComm c;
  c.System = &refusing;
  c.BaudIndex = k9600;
  ASSERT_TRUE(tarvex::OpenComm(c));
  EXPECT_EQ(refusing.serialFlagsSet, std::vector<int32_t>{ASYNC_LOW_LATENCY});
  EXPECT_EQ(line.AdapterLatencyNs(), 16 * kMs);
  tarvex::CloseComm(c);
}

TEST(SimLineAdapter, WithoutAnAdapterTheLineHasNoDriverToAsk) {
  TSimLine line(Vyr8(0));
  TComm c;
  c.System = &line;
  ASSERT_TRUE(tarvex::OpenComm(c));
  int32_t flags = 0;
  EXPECT_EQ(line.GetSerialFlags(c, &flags), tarvex::TCommSystem::kNoDriver);
  EXPECT_EQ(line.AdapterLatencyNs(), 0);
  tarvex::CloseComm(c);
}
#endif

}  // namespace
