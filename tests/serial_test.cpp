// The serial layer on real pseudo-terminals: line settings as the kernel
// holds them, exclusive access, refusals; the whole-second waits on a
// virtual clock, with one real-time smoke test of the platform's wait.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "serial/comm.h"
#include "serial/trace.h"
#include "tests/support/fake_system.h"
#include "tests/support/pty.h"
#include "tests/test_support.h"
#include "tests/test_time.h"

namespace tarvex {
namespace {

using test::MsSince;
using Clock = std::chrono::steady_clock;

// A bare pseudo-terminal whose slave the test holds open, so the master
// never sees a hang-up between opens; the test plays the far end.
struct TPty : test::TPty {
  TPty() : test::TPty(SlaveHeld) { EXPECT_TRUE(Ok()); }
  void Send(const std::string& bytes) const { EXPECT_TRUE(test::TPty::Send(bytes)); }
};

termios2 KernelSettings(const TComm& c) {
  termios2 t{};
  EXPECT_EQ(::ioctl(static_cast<int>(c.Handle), TCGETS2, &t), 0);
  return t;
}

TComm PortOn(const std::string& path, uint8_t baudIndex = 6) {
  TComm c;
  c.Device = path;
  c.BaudIndex = baudIndex;
  return c;
}

TEST(SerialPort, OpensWithEvenParityEightBitsOneStopRaw) {
  TPty pty;
  TComm c = PortOn(pty.Path(), 6);
  ASSERT_TRUE(OpenComm(c)) << DescribeCommError(c);
  const termios2 t = KernelSettings(c);
  EXPECT_EQ(t.c_ospeed, 9600u);
  EXPECT_EQ(t.c_ispeed, 9600u);
  // A pseudo-terminal keeps no framing of its own (the kernel drops parity
  // and size there), so the framing is checked in the control block that
  // was written.
  EXPECT_TRUE(c.DCB.cflag & PARENB);
  EXPECT_FALSE(c.DCB.cflag & (PARODD | CMSPAR));
  EXPECT_EQ(c.DCB.cflag & CSIZE, static_cast<unsigned>(CS8));
  EXPECT_FALSE(c.DCB.cflag & CSTOPB);
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | PARMRK));
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_EQ(c.DCB.ospeed, 9600u);
  CloseComm(c);
  EXPECT_EQ(c.Handle, -1);
}

TEST(SerialPort, EveryRateOfTheTableIncludingNonStandardOnes) {
  TPty pty;
  // 256000 and 14400 are not standard rates; reopening at 9600 afterwards
  // must still work (the baud search ends that way).
  for (uint8_t index : {12, 7, 11, 6}) {
    TComm c = PortOn(pty.Path(), index);
    ASSERT_TRUE(OpenComm(c)) << "index " << int(index) << ": " << DescribeCommError(c);
    EXPECT_EQ(KernelSettings(c).c_ospeed, static_cast<unsigned>(kBaudTable[index]));
    CloseComm(c);
  }
  // An index outside the table keeps the speed the port had.
  TComm c = PortOn(pty.Path(), 9);
  ASSERT_TRUE(OpenComm(c));
  c.BaudIndex = 13;
  ASSERT_TRUE(OpenComm(c));  // reopens with the current settings
  EXPECT_EQ(KernelSettings(c).c_ospeed, 38400u);
  CloseComm(c);
}

TEST(SerialPort, SecondOpenOfAHeldPortIsRecognisedAsInUse) {
  TPty pty;
  TComm first = PortOn(pty.Path());
  ASSERT_TRUE(OpenComm(first));
  TComm second = PortOn(pty.Path());
  EXPECT_FALSE(OpenComm(second));
  EXPECT_EQ(second.LastError, TCommError::InUse);
  EXPECT_EQ(second.Handle, -1);
  CloseComm(first);
  EXPECT_TRUE(OpenComm(second)) << "released port must open again";
  CloseComm(second);
}

TEST(SerialPort, RefusesWhatIsNotASerialPort) {
  TComm missing = PortOn("/dev/tarvex-no-such-port");
  EXPECT_FALSE(OpenComm(missing));
  EXPECT_EQ(missing.LastError, TCommError::NoDevice);
  EXPECT_EQ(missing.Handle, -1);

  TComm none = PortOn("");
  EXPECT_FALSE(OpenComm(none));
  EXPECT_EQ(none.LastError, TCommError::NoDevice);

  const auto file = std::filesystem::temp_directory_path() / "tarvex-serial-regular-file";
  std::ofstream(file) << "not a port";
  for (const std::string& path : {file.string(), std::string("/dev/null")}) {
    TComm c = PortOn(path);
    EXPECT_FALSE(OpenComm(c)) << path;
    EXPECT_EQ(c.LastError, TCommError::NotSerial) << path;
    // The device itself opened: the handle is held until the record is closed.
    EXPECT_NE(c.Handle, -1);
    CloseComm(c);
    EXPECT_EQ(c.Handle, -1);
  }
  std::filesystem::remove(file);
}

TEST(SerialPort, ClosedRecordTouchesNothing) {
  TComm c;
  EXPECT_EQ(BytesWaiting(c), 0);
  uint8_t dst[3] = {7, 7, 7};
  ReadComm(c, dst, 3);
  EXPECT_EQ(dst[0], 7);
  EXPECT_EQ(dst[2], 7);
  WriteComm(c, dst, 3);
  CloseComm(c);
  EXPECT_EQ(c.Handle, -1);
}

TEST(SerialPort, QueuedBytesAreCountedReadAndFlushed) {
  TPty pty;
  TComm c = PortOn(pty.Path());
  ASSERT_TRUE(OpenComm(c));
  pty.Send(std::string("\x00\x41\x42", 3));
  ASSERT_EQ(ReadCharTimed(c, 2), std::string(1, '\0')) << "a zero byte is a character like any other";
  EXPECT_EQ(BytesWaiting(c), 2);
  FlushInput(c);
  EXPECT_EQ(BytesWaiting(c), 0);
  const std::string sent = "\x3C\xC3";
  WriteComm(c, reinterpret_cast<const uint8_t*>(sent.data()), 2);
  char got[2] = {};
  ASSERT_EQ(::read(pty.Master(), got, 2), 2);
  EXPECT_EQ(std::string(got, 2), sent);
  CloseComm(c);
}

// A raw tty answers a read of an empty queue with 0 bytes, as it answers
// one after a hang-up: only the system's word that the line is gone makes
// it a lost line, which would end a transfer with "adapter unplugged?".
TEST(SerialPort, AnEmptyReadIsNotALostLineUnlessTheSystemSaysTheLineIsGone) {
  TPty pty;
  TComm c = PortOn(pty.Path());
  ASSERT_TRUE(OpenComm(c));
  uint8_t byte = 0xEE;
  ReadComm(c, &byte, 1);
  EXPECT_FALSE(c.LineLost) << "an empty queue is not a lost line";
  EXPECT_EQ(byte, 0xEE);
  // The line still carries bytes afterwards.
  pty.Send("\x41");
  EXPECT_EQ(ReadCharTimed(c, 2), "A");
  EXPECT_FALSE(c.LineLost);

  // The far end goes away: the same read now finds the line lost.
  pty.CloseMaster();
  ReadComm(c, &byte, 1);
  EXPECT_TRUE(c.LineLost);
  EXPECT_EQ(byte, 0xEE) << "nothing was stored from a lost line";
  CloseComm(c);
  EXPECT_EQ(c.Handle, -1);
}

// The low-latency request of an open, through the system layer: a driver
// with flags of its own, and one that refuses.
struct TLowLatencyEvents : TLineTrace {
  std::vector<TTraceEvent> events;
  void Record(const TComm&, const TTraceEvent& e) override {
    if (e.kind == TTraceKind::LowLatency) events.push_back(e);
  }
};

TEST(SerialPortLowLatency, AnOpenAsksTheDriverForLowLatencyKeepingItsOtherFlags) {
  test::TFakeSystem driver;
  const int32_t before = ASYNC_SKIP_TEST | ASYNC_SPD_HI;
  driver.serialFlags = before;
  TLowLatencyEvents trace;
  TComm port;
  port.System = &driver;
  port.Trace = &trace;
  ASSERT_TRUE(OpenComm(port));
  EXPECT_EQ(driver.serialFlagsSet, std::vector<int32_t>{before | ASYNC_LOW_LATENCY});
  EXPECT_EQ(*driver.serialFlags, before | ASYNC_LOW_LATENCY);
  ASSERT_EQ(trace.events.size(), 1u);
  EXPECT_TRUE(trace.events[0].ok);
  // A reopen finds the flag set and leaves the driver alone.
  ASSERT_TRUE(OpenComm(port));
  EXPECT_EQ(driver.serialFlagsRead, 2);
  EXPECT_EQ(driver.serialFlagsSet.size(), 1u);
  CloseComm(port);
}

TEST(SerialPortLowLatency, ADriverThatRefusesDoesNotFailTheOpen) {
  struct TCase {
    int error;
    bool refusesToTell;  // refuses even to read its flags
  };
  for (const TCase c : {TCase{ENOTTY, true}, TCase{EINVAL, false}, TCase{EPERM, false}}) {
    SCOPED_TRACE(c.error);
    test::TFakeSystem driver;
    driver.serialFlags = 0;
    driver.refuseSerialFlags = c.error;
    driver.refuseSerialGet = c.refusesToTell;
    TLowLatencyEvents trace;
    TComm port;
    port.System = &driver;
    port.Trace = &trace;
    ASSERT_TRUE(OpenComm(port));
    EXPECT_EQ(port.LastError, TCommError::None);
    EXPECT_EQ(port.LastSystemError, 0);
    EXPECT_NE(port.Handle, -1);
    EXPECT_EQ(driver.serialFlagsSet.size(), c.refusesToTell ? 0u : 1u);
    ASSERT_EQ(trace.events.size(), 1u);
    EXPECT_FALSE(trace.events[0].ok);
    EXPECT_EQ(trace.events[0].got, static_cast<uint32_t>(c.error));
    // The port carries bytes as any other.
    driver.arrivals = {{driver.now + 10, 0x41}};
    EXPECT_EQ(ReadCharTimed(port, 1), "A");
    const uint8_t out = 0x3C;
    WriteComm(port, &out, 1);
    EXPECT_EQ(driver.written, std::vector<uint8_t>{0x3C});
    CloseComm(port);
  }
}

TEST(SerialPortLowLatency, ALineWithoutADriverIsNotAskedAndNothingIsTraced) {
  test::TFakeSystem line;
  TLowLatencyEvents trace;
  TComm port;
  port.System = &line;
  port.Trace = &trace;
  ASSERT_TRUE(OpenComm(port));
  EXPECT_EQ(line.serialFlagsRead, 1);
  EXPECT_TRUE(line.serialFlagsSet.empty());
  EXPECT_TRUE(trace.events.empty());
  CloseComm(port);
}

// The platform's own request on a pseudo-terminal, which has no serial
// driver: refused, and the port opens and works all the same.
TEST(SerialPortLowLatency, APseudoTerminalRefusesAndStillOpens) {
  TPty pty;
  TLowLatencyEvents trace;
  TComm c = PortOn(pty.Path());
  c.Trace = &trace;
  ASSERT_TRUE(OpenComm(c));
  EXPECT_EQ(c.LastError, TCommError::None);
  ASSERT_EQ(trace.events.size(), 1u);
  EXPECT_FALSE(trace.events[0].ok);
  EXPECT_NE(trace.events[0].got, 0u);
  pty.Send("\x41");
  EXPECT_EQ(ReadCharTimed(c, 2), "A");
  CloseComm(c);
}

// The waits on the serial layer's own clock. A line of the test's own
// stands where the system stands: bytes arrive at set moments of a virtual
// clock, and the layer's waits and sleeps move that clock at once, so the
// whole-second rule is checked to the millisecond without waiting. Its
// clock starts at 5 s.
struct TVirtualLine : test::TFakeSystem {
  TVirtualLine() { now = 5000; }
};

TEST(SerialPortTiming, ReadCharTimedEndsAtTheFirstWholeSecondAboveTheLimit) {
  struct TCase {
    double limitSeconds;
    int64_t waitedMs;
  };
  for (const TCase c : {TCase{0, 1000}, TCase{0.5, 1000}, TCase{1, 2000}, TCase{1.9, 2000}, TCase{2, 3000},
                        TCase{2.9, 3000}, TCase{13, 14000}}) {
    SCOPED_TRACE(c.limitSeconds);
    TVirtualLine line;
    TComm port;
    port.System = &line;
    ASSERT_TRUE(OpenComm(port));
    const int64_t t0 = line.now;
    EXPECT_EQ(ReadCharTimed(port, c.limitSeconds), "");
    EXPECT_EQ(line.now - t0, c.waitedMs);
    // One blocking wait for the whole limit: the layer does not spin.
    EXPECT_EQ(line.waits, 1);
    EXPECT_EQ(line.sleeps, 0);
  }
}

TEST(SerialPortTiming, AByteThatArrivesDuringTheWaitIsTakenWhenItArrives) {
  TVirtualLine line;
  TComm port;
  port.System = &line;
  ASSERT_TRUE(OpenComm(port));
  line.arrivals = {{line.now + 300, 0x5A}, {line.now + 2500, 0x00}};
  const int64_t t0 = line.now;
  EXPECT_EQ(ReadCharTimed(port, 2), "\x5A");
  EXPECT_EQ(line.now - t0, 300);
  // The next byte, 2.2 s later, within its own limit of 3 s.
  EXPECT_EQ(ReadCharTimed(port, 2), std::string(1, '\0'));
  EXPECT_EQ(line.now - t0, 2500);
  EXPECT_EQ(line.waits, 2);
}

TEST(SerialPortTiming, AClosedRecordWaitsItsLimitWithoutTouchingThePort) {
  TVirtualLine line;
  TComm port;
  port.System = &line;
  const int64_t t0 = line.now;
  EXPECT_EQ(ReadCharTimed(port, 0.5), "");
  EXPECT_EQ(line.now - t0, 1000);
  EXPECT_EQ(line.queuedCalls, 0);
  EXPECT_EQ(line.waits, 0);
}

// The same rule on a real pseudo-terminal and the real clock: a smoke test
// of the platform's blocking wait. At least the whole second; the upper
// bound only tells a wait that ran out from one that did not; and the
// processor time shows that the wait blocked in the system instead of
// spinning (a spinning wait burns a share of the wall time however loaded
// the machine is).
TEST(SerialPortTiming, ASilentPseudoTerminalIsWaitedOnWithoutSpinning) {
  TPty pty;
  TComm c = PortOn(pty.Path());
  ASSERT_TRUE(OpenComm(c));
  rusage before{};
  ::getrusage(RUSAGE_THREAD, &before);
  const auto t = Clock::now();
  EXPECT_EQ(ReadCharTimed(c, 0.5), "");
  const int64_t wallMs = MsSince(t);
  rusage after{};
  ::getrusage(RUSAGE_THREAD, &after);
  // The layer's clock counts whole milliseconds, so a wait may end up to one
  // millisecond before the mark by this finer clock.
  EXPECT_GE(wallMs, 999);
  EXPECT_LT(wallMs, test::ScaledMs(3000));
  const double cpuMs = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1e3 +
                       (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e3 +
                       (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1e3 +
                       (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e3;
  EXPECT_LT(cpuMs, 0.1 * static_cast<double>(wallMs));
  CloseComm(c);
}

TEST(SerialPortTiming, WaitLimitsAreWholeSeconds) {
  EXPECT_EQ(WaitLimitMs(0), 1000);
  EXPECT_EQ(WaitLimitMs(0.5), 1000);
  EXPECT_EQ(WaitLimitMs(2), 3000);
  EXPECT_EQ(WaitLimitMs(2.9), 3000);
  EXPECT_EQ(WaitLimitMs(13), 14000);
}

TEST(SerialPortTiming, AVanishedLineEndsTheWaitAtOnce) {
  auto pty = std::make_unique<TPty>();
  TComm c = PortOn(pty->Path());
  ASSERT_TRUE(OpenComm(c));
  pty.reset();  // the far end goes away, as when an adapter is pulled out
  const auto t = Clock::now();
  // A long limit (30 s), so that a wait that ran it out cannot pass for one
  // that ended at once, however slow the machine.
  EXPECT_EQ(ReadCharTimed(c, 29), "");
  EXPECT_LT(MsSince(t), std::min<int64_t>(test::ScaledMs(5000), 20000));
  EXPECT_TRUE(c.LineLost);
  CloseComm(c);
  EXPECT_EQ(c.Handle, -1);
}

}  // namespace
}  // namespace tarvex
