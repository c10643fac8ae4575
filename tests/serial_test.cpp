// The serial layer on real pseudo-terminals: line settings as the kernel
// holds them, exclusive access, refusals, and the whole-second waits.
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "serial/comm.h"
#include "tests/test_support.h"

namespace tarvex {
namespace {

using test::MsSince;
using Clock = std::chrono::steady_clock;

// A bare pseudo-terminal: the test plays the far end on the master.
struct TPty {
  TPty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    ::grantpt(master);
    ::unlockpt(master);
    path = ::ptsname(master);
    // Keep the slave open so the master never sees a hang-up between opens.
    keep = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  }
  ~TPty() {
    if (keep >= 0) ::close(keep);
    if (master >= 0) ::close(master);
  }
  void Send(const std::string& bytes) const { EXPECT_EQ(::write(master, bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
  int master = -1;
  int keep = -1;
  std::string path;
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
  TComm c = PortOn(pty.path, 6);
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
    TComm c = PortOn(pty.path, index);
    ASSERT_TRUE(OpenComm(c)) << "index " << int(index) << ": " << DescribeCommError(c);
    EXPECT_EQ(KernelSettings(c).c_ospeed, static_cast<unsigned>(kBaudTable[index]));
    CloseComm(c);
  }
  // An index outside the table keeps the speed the port had.
  TComm c = PortOn(pty.path, 9);
  ASSERT_TRUE(OpenComm(c));
  c.BaudIndex = 13;
  ASSERT_TRUE(OpenComm(c));  // reopens with the current settings
  EXPECT_EQ(KernelSettings(c).c_ospeed, 38400u);
  CloseComm(c);
}

TEST(SerialPort, SecondOpenOfAHeldPortIsRecognisedAsInUse) {
  TPty pty;
  TComm first = PortOn(pty.path);
  ASSERT_TRUE(OpenComm(first));
  TComm second = PortOn(pty.path);
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
  TComm c = PortOn(pty.path);
  ASSERT_TRUE(OpenComm(c));
  pty.Send(std::string("\x00\x41\x42", 3));
  ASSERT_EQ(ReadCharTimed(c, 2), std::string(1, '\0')) << "a zero byte is a character like any other";
  EXPECT_EQ(BytesWaiting(c), 2);
  FlushInput(c);
  EXPECT_EQ(BytesWaiting(c), 0);
  const std::string sent = "\x3C\xC3";
  WriteComm(c, reinterpret_cast<const uint8_t*>(sent.data()), 2);
  char got[2] = {};
  ASSERT_EQ(::read(pty.master, got, 2), 2);
  EXPECT_EQ(std::string(got, 2), sent);
  CloseComm(c);
}

// The waits end at the first whole second that exceeds the limit, and they
// block in the system instead of spinning.
TEST(SerialPortTiming, ReadCharTimedEndsAtTheFirstWholeSecondAboveTheLimit) {
  TPty pty;
  TComm c = PortOn(pty.path);
  ASSERT_TRUE(OpenComm(c));
  rusage before{};
  ::getrusage(RUSAGE_THREAD, &before);
  auto t = Clock::now();
  EXPECT_EQ(ReadCharTimed(c, 0.5), "");
  const int64_t half = MsSince(t);
  t = Clock::now();
  EXPECT_EQ(ReadCharTimed(c, 2), "");
  const int64_t two = MsSince(t);
  rusage after{};
  ::getrusage(RUSAGE_THREAD, &after);
  EXPECT_GE(half, 1000);
  EXPECT_LT(half, 1250);
  EXPECT_GE(two, 3000);
  EXPECT_LT(two, 3250);
  const double cpuMs = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1e3 +
                       (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e3 +
                       (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1e3 +
                       (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e3;
  // Four seconds of waiting on a silent line: a spinning wait would burn
  // all of it. This is a sanity bound, not the benchmark's figure.
  EXPECT_LT(cpuMs, 400);
  CloseComm(c);

  // A closed record waits the same and returns nothing.
  t = Clock::now();
  EXPECT_EQ(ReadCharTimed(c, 0.5), "");
  EXPECT_GE(MsSince(t), 1000);
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
  TComm c = PortOn(pty->path);
  ASSERT_TRUE(OpenComm(c));
  pty.reset();  // the far end goes away, as when an adapter is pulled out
  const auto t = Clock::now();
  EXPECT_EQ(ReadCharTimed(c, 2), "");
  EXPECT_LT(MsSince(t), 500);
  EXPECT_TRUE(c.LineLost);
  CloseComm(c);
  EXPECT_EQ(c.Handle, -1);
}

}  // namespace
}  // namespace tarvex
