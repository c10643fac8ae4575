// The simulated panel seen from the line: frames byte for byte, memory
// layouts of the models, line speed, faults and the closing of the line.
// The tests talk to the panel's pty with plain POSIX calls.
//
// The panel is served by a thread of its own in real time, so the tests
// wait for what they expect (a number of bytes, an exchange counted by the
// panel) with generous limits that a loaded machine cannot break, and never
// sleep to line up with it. The short waits that remain only look for bytes
// that must not come, or make the line quiet for longer than the panel's
// 50 ms resynchronisation: a slow machine can only make them longer.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim_options.h"
#include "sim/sim_panel.h"
#include "tests/test_support.h"
#include "tests/test_time.h"

namespace {

using tarvex::sim::Fault;
using tarvex::sim::FaultKind;
using tarvex::sim::PanelConfig;
using tarvex::sim::SimPanel;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// CRC-16/CMS, bit by bit, independent of the panel's table-driven one.
uint16_t BitwiseCrc(const Bytes& data) {
  uint16_t crc = 0xFFFF;
  for (uint8_t byte : data) {
    for (int bit = 7; bit >= 0; --bit) {
      const bool in = (byte >> bit) & 1;
      const bool top = (crc >> 15) & 1;
      crc = static_cast<uint16_t>(crc << 1);
      if (in != top) crc ^= 0x8005;
    }
  }
  return crc;
}

uint8_t Sum(const Bytes& b, size_t from, size_t to) {
  unsigned s = 0;
  for (size_t i = from; i < to; ++i) s += b[i];
  return static_cast<uint8_t>(s);
}

Bytes SmallHeader(uint8_t cmd, uint16_t addr, uint16_t last) {
  Bytes h{cmd, static_cast<uint8_t>(addr), static_cast<uint8_t>(addr >> 8), static_cast<uint8_t>(last),
          static_cast<uint8_t>(last >> 8)};
  h.push_back(Sum(h, 0, 5));
  return h;
}

Bytes LargeHeader(uint8_t cmd, uint32_t addr, uint16_t last) {
  Bytes h{static_cast<uint8_t>(cmd | (last >> 8)), static_cast<uint8_t>(last), static_cast<uint8_t>(addr >> 16),
          static_cast<uint8_t>(addr >> 8), static_cast<uint8_t>(addr)};
  h.push_back(Sum(h, 0, 5));
  return h;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The tool's end of the line: raw 8-bit, speed set with BOTHER.
class Line {
 public:
  Line(const std::string& path, int speed) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ >= 0) SetSpeed(speed);
  }
  ~Line() { Close(); }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  void SetSpeed(int speed) {
    termios2 t{};
    ASSERT_EQ(::ioctl(fd_, TCGETS2, &t), 0);
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = static_cast<speed_t>(speed);
    t.c_ospeed = static_cast<speed_t>(speed);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ASSERT_EQ(::ioctl(fd_, TCSETS2, &t), 0);
  }

  void Send(const Bytes& b) { ASSERT_EQ(::write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }

  // Reads until n bytes came, the line hung up or the wait ran out; may
  // return fewer. The default wait is for bytes that must come.
  Bytes Read(size_t n, int64_t timeoutMs = tarvex::test::ScaledMs(5000)) {
    Bytes out;
    const auto t0 = Clock::now();
    while (out.size() < n) {
      const int64_t left = timeoutMs - MsSince(t0);
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      if (p.revents & (POLLHUP | POLLERR)) {
        hangup_ = true;
        if (!(p.revents & POLLIN)) break;
      }
      uint8_t buf[4096];
      const ssize_t r = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
      if (r <= 0) {
        if (r == 0 || errno == EIO) hangup_ = true;
        if (hangup_) break;
        continue;
      }
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }

  // Reads until what came ends with tail (or the wait runs out): a reply
  // after a number of bytes that is not known beforehand.
  Bytes ReadUntilEndsWith(const Bytes& tail, int64_t timeoutMs = tarvex::test::ScaledMs(5000)) {
    Bytes out;
    const auto t0 = Clock::now();
    while (out.size() < tail.size() || !std::equal(tail.begin(), tail.end(), out.end() - static_cast<long>(tail.size()))) {
      const int64_t left = timeoutMs - MsSince(t0);
      if (left <= 0) break;
      const Bytes more = Read(1, left);
      if (more.empty()) break;
      out.insert(out.end(), more.begin(), more.end());
    }
    return out;
  }

  // True when nothing arrives for a while: bytes that must not come. Also
  // gives the panel the quiet spell after which it drops a broken frame.
  bool Silent(int quietMs = 150) { return Read(1, quietMs).empty(); }

  bool hangup() const { return hangup_; }

 private:
  int fd_ = -1;
  bool hangup_ = false;
};

// Reads small-panel memory over the line in 64-byte blocks, checking every
// echo and sum.
Bytes ReadSmallOverLine(Line& line, uint16_t addr, size_t count) {
  Bytes out;
  while (out.size() < count) {
    const size_t n = std::min<size_t>(64, count - out.size());
    const Bytes h = SmallHeader(0xF0, static_cast<uint16_t>(addr + out.size()), static_cast<uint16_t>(n - 1));
    line.Send(h);
    const Bytes reply = line.Read(6 + n + 1);
    EXPECT_EQ(reply.size(), 6 + n + 1);
    if (reply.size() != 6 + n + 1) return out;
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 6), h);
    EXPECT_EQ(reply.back(), Sum(reply, 6, 6 + n));
    out.insert(out.end(), reply.begin() + 6, reply.begin() + 6 + static_cast<long>(n));
  }
  return out;
}

// Waits until the panel has taken n headers off the line.
bool WaitForExchanges(const SimPanel& panel, int n) {
  const auto t0 = Clock::now();
  while (panel.ExchangeCount() < n && MsSince(t0) < tarvex::test::ScaledMs(5000)) usleep(1000);
  return panel.ExchangeCount() >= n;
}

// Waits until the panel has heard n bytes of the tool in all.
bool WaitForBytesHeard(const SimPanel& panel, size_t n) {
  const auto t0 = Clock::now();
  while (panel.ReceivedBytes().size() < n && MsSince(t0) < tarvex::test::ScaledMs(5000)) usleep(1000);
  return panel.ReceivedBytes().size() >= n;
}

using tarvex::test::StartPanel;

// ---------------------------------------------------------------- checks

TEST(SimChecks, CrcIsCrc16Cms) {
  EXPECT_EQ(BitwiseCrc(Str("123456789")), 0xAEE7);
  const Bytes digits = Str("123456789");
  EXPECT_EQ(tarvex::sim::Crc16Cms(digits.data(), digits.size()), 0xAEE7);
  Bytes data;
  for (int i = 0; i < 1023; ++i) data.push_back(static_cast<uint8_t>(i * 37 + 11));
  EXPECT_EQ(tarvex::sim::Crc16Cms(data.data(), data.size()), BitwiseCrc(data));
  EXPECT_EQ(tarvex::sim::Crc16Cms(nullptr, 0), 0xFFFF);
}

TEST(SimChecks, HeaderBuildersMatchTheWorkedExamples) {
  EXPECT_EQ(LargeHeader(0xA8, 0xE1BA92, 1022), (Bytes{0xAB, 0xFE, 0xE1, 0xBA, 0x92, 0xD6}));
  EXPECT_EQ(SmallHeader(0xF0, 0x0100, 0), (Bytes{0xF0, 0x00, 0x01, 0x00, 0x00, 0xF1}));
}

// ---------------------------------------------------------------- small frames

TEST(SimSmall, IdentificationBlockIsEchoDataAndSum) {
  auto panel = StartPanel({.model = "VYR8", .firmware = "2.10"});
  EXPECT_EQ(panel->Model(), 24);
  EXPECT_FALSE(panel->IsLarge());
  Line line(panel->DevicePath(), 9600);
  ASSERT_TRUE(line.ok());
  const Bytes h{0xF0, 0x00, 0x00, 0x0B, 0x00, 0xFB};
  line.Send(h);
  const Bytes expected{0xF0, 0x00, 0x00, 0x0B, 0x00, 0xFB, 'V', 'Y', 'R', '8', ' ', ' ',
                       0x00, 0x00, '2',  '.',  '1',  '0',  0x3A};
  EXPECT_EQ(line.Read(expected.size()), expected);
  EXPECT_TRUE(line.Silent()) << "nothing more after the sum";
  EXPECT_EQ(panel->ExchangeCount(), 1);
  const auto headers = panel->HeadersReceived();
  ASSERT_EQ(headers.size(), 1u);
  EXPECT_EQ(Bytes(headers[0].begin(), headers[0].end()), h);
  EXPECT_EQ(panel->ReceivedBytes(), h);
  EXPECT_EQ(panel->LineSpeed(), 9600);
}

TEST(SimSmall, WriteIsEchoedAndStoredAndABadSumIsDiscarded) {
  auto panel = StartPanel({.model = "VYR32"});
  Line line(panel->DevicePath(), 9600);
  ASSERT_TRUE(line.ok());
  const Bytes before = panel->ReadMemory(0x3000, 4);
  ASSERT_NE(before, (Bytes{0x11, 0x22, 0x33, 0x44}));

  // Bad sum: the echo went out with the header, then the block is dropped.
  const Bytes h{0x0F, 0x00, 0x30, 0x03, 0x00, 0x42};
  line.Send(Cat(h, {0x11, 0x22, 0x33, 0x44, 0xAB}));
  EXPECT_EQ(line.Read(6), h);
  ASSERT_TRUE(WaitForBytesHeard(*panel, 11));
  EXPECT_TRUE(line.Silent());
  EXPECT_EQ(panel->ReadMemory(0x3000, 4), before);

  // The good frame afterwards is taken.
  line.Send(Cat(h, {0x11, 0x22, 0x33, 0x44, 0xAA}));
  EXPECT_EQ(line.Read(6), h);
  EXPECT_TRUE(line.Silent()) << "the echo only";
  EXPECT_EQ(panel->ReadMemory(0x3000, 4), (Bytes{0x11, 0x22, 0x33, 0x44}));
  EXPECT_EQ(panel->ExchangeCount(), 2);
  EXPECT_EQ(panel->ReceivedBytes(), Cat(Cat(h, {0x11, 0x22, 0x33, 0x44, 0xAB}), Cat(h, {0x11, 0x22, 0x33, 0x44, 0xAA})));
}

// The echo of a write goes out before the data; a look at the panel's memory
// taken between the two waits for the block, so a test never sees the memory
// of before a write the tool has already finished.
TEST(SimSmall, MemoryReadDuringAWriteWaitsForTheBlockOnItsWay) {
  auto panel = StartPanel({.model = "VYR32"});
  Line line(panel->DevicePath(), 9600);
  ASSERT_TRUE(line.ok());
  const Bytes h{0x0F, 0x00, 0x30, 0x03, 0x00, 0x42};
  line.Send(h);
  ASSERT_EQ(line.Read(6), h);
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    line.Send({0x11, 0x22, 0x33, 0x44, 0xAA});
  });
  const Bytes memory = panel->ReadMemory(0x3000, 4);
  late.join();
  EXPECT_EQ(memory, (Bytes{0x11, 0x22, 0x33, 0x44}));

  // A block that never comes is given up by the panel (after its quiet
  // spell), and the look at the memory ends with it.
  line.Send(h);
  ASSERT_EQ(line.Read(6), h);
  EXPECT_FALSE(panel->WaitForWriteData(std::chrono::milliseconds(0)));
  EXPECT_TRUE(panel->WaitForWriteData(std::chrono::milliseconds(tarvex::test::ScaledMs(5000))));
  EXPECT_EQ(panel->ReadMemory(0x3000, 4), (Bytes{0x11, 0x22, 0x33, 0x44}));

  // Nor does a panel whose line went away (the adapter pulled out) keep a
  // block open: what was on its way in is lost.
  const Bytes h2{0x0F, 0x10, 0x30, 0x03, 0x00, 0x52};
  line.Send(h2);
  ASSERT_EQ(line.Read(6), h2);
  EXPECT_FALSE(panel->WaitForWriteData(std::chrono::milliseconds(0)));
  panel->Stop();
  EXPECT_TRUE(panel->WaitForWriteData(std::chrono::milliseconds(0)));
}

TEST(SimSmall, IgnoresProbesBadHeadersAndStrayBytesThenResyncs) {
  auto panel = StartPanel({.model = "VYR8"});
  Line line(panel->DevicePath(), 9600);
  ASSERT_TRUE(line.ok());
  line.Send({0x3C, 0xC3, 0x00, 0x00, 0x00, 0xFF});  // the baud probe
  ASSERT_TRUE(WaitForExchanges(*panel, 1));
  EXPECT_TRUE(line.Silent());
  line.Send({0xF0, 0x00, 0x00, 0x0B, 0x00, 0xFC});  // wrong header sum
  ASSERT_TRUE(WaitForExchanges(*panel, 2));
  EXPECT_TRUE(line.Silent());
  line.Send({0x55, 0x66});  // stray bytes, then quiet
  ASSERT_TRUE(WaitForBytesHeard(*panel, 14));
  EXPECT_TRUE(line.Silent());
  const Bytes h = SmallHeader(0xF0, 0x0100, 0);
  panel->WriteMemory(0x0100, {0x7E});
  line.Send(h);
  EXPECT_EQ(line.Read(8), Cat(h, {0x7E, 0x7E}));
  EXPECT_EQ(panel->ExchangeCount(), 3) << "probe, bad header, read; stray bytes are no header";
}

TEST(SimSmall, WrongLineSpeedGetsNoProperAnswer) {
  auto panel = StartPanel({.model = "VYR8", .baud = 19200});
  EXPECT_EQ(panel->PanelSpeed(), 19200);
  const Bytes h = SmallHeader(0xF0, 0, 11);
  {
    // Seed 1 (the default) leaves a header at 9600 unanswered.
    Line line(panel->DevicePath(), 9600);
    ASSERT_TRUE(line.ok());
    line.Send(h);
    ASSERT_TRUE(WaitForExchanges(*panel, 1));
    EXPECT_TRUE(line.Silent());
  }
  // A fresh open at the panel's own speed is heard at once.
  Line line(panel->DevicePath(), 19200);
  ASSERT_TRUE(line.ok());
  line.Send(h);
  const Bytes reply = line.Read(19);
  ASSERT_EQ(reply.size(), 19u);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 6), h);
}

// ---------------------------------------------------------------- large frames

TEST(SimLarge, VersionBlockReadWithCrc) {
  auto panel = StartPanel({.model = "VYR 320", .firmware = "2.05"});
  EXPECT_EQ(panel->Model(), 6);
  EXPECT_TRUE(panel->IsLarge());
  EXPECT_EQ(panel->PanelSpeed(), 38400);
  Line line(panel->DevicePath(), 38400);
  ASSERT_TRUE(line.ok());
  const Bytes h{0xF8, 0x10, 0x00, 0x15, 0x93, 0xB0};
  line.Send(h);
  const Bytes reply = line.Read(6 + 17 + 2);
  ASSERT_EQ(reply.size(), 6u + 17 + 2);
  EXPECT_TRUE(line.Silent()) << "nothing after the CRC";
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 6), h);
  const Bytes data(reply.begin() + 6, reply.begin() + 23);
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 5), Str("2.05 "));
  EXPECT_EQ(Bytes(data.begin() + 15, data.end()), Str("  "));
  EXPECT_EQ(data, panel->ReadMemory(5523, 17));
  const uint16_t crc = BitwiseCrc(data);
  EXPECT_EQ(reply[23], crc & 0xFF);
  EXPECT_EQ(reply[24], crc >> 8);
}

TEST(SimLarge, PlaceholderRealVersionAndK1) {
  auto panel = StartPanel({.model = "VYR 320", .firmware = "2.xx", .largeRealVersion = "2.07", .k1 = true});
  EXPECT_EQ(panel->ReadMemory(5523, 4), Str("2.xx"));
  EXPECT_EQ(panel->ReadMemory(5523 + 15, 2), Str("K1"));
  EXPECT_EQ(panel->ReadMemory(65544, 5), Str("2.07 "));
}

TEST(SimLarge, LongReadCarriesTheHighLastIndexAndWriteChecksTheCrc) {
  auto panel = StartPanel({.model = "VYR 320", .seed = 7});
  Line line(panel->DevicePath(), 38400);
  ASSERT_TRUE(line.ok());
  const Bytes h = LargeHeader(0xF8, 0xE1BA92, 1022);
  ASSERT_EQ(h[0], 0xFB);
  line.Send(h);
  const Bytes reply = line.Read(6 + 1023 + 2);
  ASSERT_EQ(reply.size(), 6u + 1023 + 2);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 6), h);
  const Bytes data(reply.begin() + 6, reply.begin() + 6 + 1023);
  EXPECT_EQ(data, panel->ReadMemory(0xE1BA92, 1023));
  EXPECT_NE(data, Bytes(1023, 0xFF)) << "the block holds generated contents";
  const uint16_t crc = BitwiseCrc(data);
  EXPECT_EQ(reply[1029] | (reply[1030] << 8), crc);

  // A write with a wrong CRC (its bytes swapped) is echoed, then
  // discarded; the right one is stored.
  Bytes payload(300);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i ^ 0x5C);
  const uint16_t pc = BitwiseCrc(payload);
  const Bytes wh = LargeHeader(0xA8, 0xE4E5C7, 299);
  ASSERT_EQ(wh[0], 0xA9);
  const Bytes before = panel->ReadMemory(0xE4E5C7, 300);
  ASSERT_NE(before, payload);
  ASSERT_NE(pc >> 8, pc & 0xFF);
  line.Send(Cat(Cat(wh, payload), {static_cast<uint8_t>(pc >> 8), static_cast<uint8_t>(pc & 0xFF)}));
  EXPECT_EQ(line.Read(6), wh);
  ASSERT_TRUE(WaitForBytesHeard(*panel, 6 + 6 + 300 + 2));
  EXPECT_TRUE(line.Silent());
  EXPECT_EQ(panel->ReadMemory(0xE4E5C7, 300), before);
  line.Send(Cat(Cat(wh, payload), {static_cast<uint8_t>(pc & 0xFF), static_cast<uint8_t>(pc >> 8)}));
  EXPECT_EQ(line.Read(6), wh);
  EXPECT_TRUE(line.Silent()) << "the echo only";
  EXPECT_EQ(panel->ReadMemory(0xE4E5C7, 300), payload);
}

// Behind a simulated USB adapter the pty panel's bytes come in packets, late
// but whole and in order: a long read, a short one and a write's echo.
TEST(SimLarge, BehindAnAdapterEveryByteComesInOrder) {
  auto panel = StartPanel({.model = "VYR 320", .wireTime = true, .adapterLatencyMs = 16, .seed = 5});
  Line line(panel->DevicePath(), 38400);
  ASSERT_TRUE(line.ok());
  const Bytes h = LargeHeader(0xF8, 0xE1BA92, 1022);
  line.Send(h);
  const Bytes reply = line.Read(6 + 1023 + 2);
  ASSERT_EQ(reply.size(), 6u + 1023 + 2);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 6), h);
  const Bytes data(reply.begin() + 6, reply.begin() + 6 + 1023);
  EXPECT_EQ(data, panel->ReadMemory(0xE1BA92, 1023));
  EXPECT_EQ(reply[1029] | (reply[1030] << 8), BitwiseCrc(data));
  EXPECT_TRUE(line.Silent()) << "nothing more after the CRC";

  const Bytes small = LargeHeader(0xF8, 0x100, 3);
  line.Send(small);
  const Bytes shortReply = line.Read(6 + 4 + 2);
  ASSERT_EQ(shortReply.size(), 12u);
  EXPECT_EQ(Bytes(shortReply.begin(), shortReply.begin() + 6), small);
  EXPECT_EQ(Bytes(shortReply.begin() + 6, shortReply.begin() + 10), panel->ReadMemory(0x100, 4));

  Bytes payload(40);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 3 + 1);
  const uint16_t pc = BitwiseCrc(payload);
  const Bytes wh = LargeHeader(0xA8, 0xE4E5C7, 39);
  line.Send(Cat(Cat(wh, payload), {static_cast<uint8_t>(pc & 0xFF), static_cast<uint8_t>(pc >> 8)}));
  EXPECT_EQ(line.Read(6), wh);
  EXPECT_EQ(panel->ReadMemory(0xE4E5C7, 40), payload);
}

TEST(SimLarge, ProbeIsEchoedAtThePanelsSpeedOnly) {
  auto panel = StartPanel({.model = "VYR 320"});
  const Bytes probe{0x3C, 0xC3, 0x00, 0x00, 0x00, 0xFF};
  Line line(panel->DevicePath(), 9600);
  ASSERT_TRUE(line.ok());
  // Seed 1 (the default): six garbage bytes at 115200, silence at 57600
  // and 9600. Each probe is taken off the line before the speed changes.
  struct TCase {
    int speed;
    bool garbage;
  };
  int exchanges = 0;
  for (const TCase c : {TCase{115200, true}, TCase{57600, false}, TCase{9600, false}}) {
    line.SetSpeed(c.speed);
    EXPECT_EQ(panel->LineSpeed(), c.speed);
    line.Send(probe);
    ASSERT_TRUE(WaitForExchanges(*panel, ++exchanges)) << c.speed;
    if (c.garbage) {
      const Bytes got = line.Read(6);
      EXPECT_EQ(got.size(), 6u) << c.speed;
      EXPECT_NE(got, probe) << c.speed;
    }
    EXPECT_TRUE(line.Silent()) << c.speed;
  }
  line.SetSpeed(38400);
  line.Send(probe);
  EXPECT_EQ(line.Read(6), probe);
  EXPECT_TRUE(line.Silent()) << "the echo only";
  EXPECT_EQ(panel->ExchangeCount(), 4);
}

// Right after a header it did not answer, the panel drops what it hears
// until the line is quiet; a new line speed or a fresh open of the device
// ends that at once, as the tool's baud search relies on.
TEST(SimLarge, ANewSpeedOrAFreshOpenIsHeardAtOnce) {
  auto panel = StartPanel({.model = "VYR 320"});
  const Bytes probe{0x3C, 0xC3, 0x00, 0x00, 0x00, 0xFF};
  {
    // Seed 1 (the default) leaves the probe at 9600 unanswered.
    Line line(panel->DevicePath(), 9600);
    ASSERT_TRUE(line.ok());
    line.Send(probe);
    ASSERT_TRUE(WaitForExchanges(*panel, 1));
    line.SetSpeed(38400);
    line.Send(probe);
    EXPECT_EQ(line.Read(6), probe);
    EXPECT_TRUE(line.Silent());

    line.Send({0x3C, 0xC3, 0x00, 0x00, 0x00, 0xFE});  // bad sum: not answered
    ASSERT_TRUE(WaitForExchanges(*panel, 3));
  }
  Line line(panel->DevicePath(), 38400);
  ASSERT_TRUE(line.ok());
  line.Send(probe);
  EXPECT_EQ(line.Read(6), probe);
  EXPECT_EQ(panel->ExchangeCount(), 4);
}

// A small panel's frames mean nothing to the large one, and the reverse.
TEST(SimLarge, FamiliesIgnoreEachOthersFrames) {
  auto large = StartPanel({.model = "VYR 320", .baud = 9600});
  auto small = StartPanel({.model = "VYR8"});
  Line l(large->DevicePath(), 9600);
  Line s(small->DevicePath(), 9600);
  ASSERT_TRUE(l.ok() && s.ok());
  l.Send(SmallHeader(0xF0, 0, 11));
  s.Send(LargeHeader(0xF8, 5523, 16));
  EXPECT_TRUE(l.Read(1, 150).empty());
  EXPECT_TRUE(s.Read(1, 10).empty());
}

// ---------------------------------------------------------------- memory maps

TEST(SimMemory, BlockMapsOfTheThreeLayouts) {
  const auto* m1 = tarvex::sim::BlockMapFor("VYR8G");
  const auto* m2 = tarvex::sim::BlockMapFor("VYR8WG");
  const auto* m3 = tarvex::sim::BlockMapFor("VYR16D");
  ASSERT_TRUE(m1 && m2 && m3);
  EXPECT_EQ(tarvex::sim::BlockMapFor("VYR 320"), nullptr);
  EXPECT_EQ(tarvex::sim::BlockMapFor("VYR9"), nullptr);
  EXPECT_EQ(m1->CodesAddr, 313);
  EXPECT_EQ(m1->UserAttrAddr, 463);
  EXPECT_EQ(m1->KeyNamesAddr, 5648);
  EXPECT_EQ(m2->CodesLen, 72);
  EXPECT_EQ(m2->UserNamesAddr, 7088);
  EXPECT_EQ(m3->CodesLen, 144);
  EXPECT_EQ(m3->KeyTableAddr, 2204);
  for (const auto* m : {m1, m2, m3}) EXPECT_EQ(m->KeyDataAddr + m->KeyDataLen, m->KeyTableAddr);
  EXPECT_EQ(tarvex::sim::ModelNumber("VYR4"), 23);
  EXPECT_EQ(tarvex::sim::ModelNumber("VYR16D"), 30);
}

TEST(SimMemory, Map2CodesArePackedAndReadableOverTheLine) {
  auto panel = StartPanel({.model = "VYR32", .mainCode = "135790"});
  const auto& m = *tarvex::sim::BlockMapFor("VYR32");
  Line line(panel->DevicePath(), 9600);
  ASSERT_TRUE(line.ok());
  const Bytes codes = ReadSmallOverLine(line, m.CodesAddr, m.CodesLen);
  ASSERT_EQ(codes.size(), 72u);
  EXPECT_EQ(Bytes(codes.begin(), codes.begin() + 3), (Bytes{0x13, 0x57, 0x90}));
  const Bytes attrs = ReadSmallOverLine(line, m.UserAttrAddr, m.UserAttrLen);
  ASSERT_EQ(attrs.size(), 240u);
  EXPECT_EQ(attrs[0], 1) << "user 0 is the main user";
  int withCode = 0;
  int empty = 0;
  for (int u = 1; u < 24; ++u) {
    EXPECT_NE(attrs[10 * u], 1) << u;
    const Bytes c(codes.begin() + 3 * u, codes.begin() + 3 * u + 3);
    if (c == Bytes{0xFF, 0xFF, 0xFF}) {
      ++empty;
    } else {
      ++withCode;
      // Packed decimal: digits first, then empty nibbles only.
      bool seenEmpty = false;
      for (uint8_t b : c)
        for (uint8_t nib : {static_cast<uint8_t>(b >> 4), static_cast<uint8_t>(b & 0x0F)}) {
          if (nib == 0x0F) seenEmpty = true;
          else EXPECT_TRUE(nib <= 9 && !seenEmpty) << u;
        }
    }
  }
  EXPECT_GE(withCode, 8);
  EXPECT_GE(empty, 3);
  const Bytes names = ReadSmallOverLine(line, m.UserNamesAddr, m.UserNamesLen);
  ASSERT_EQ(names.size(), 384u);
  EXPECT_EQ(Bytes(names.begin(), names.begin() + 16), Str("Installer       "));
}

TEST(SimMemory, Map1CodesAreOneDigitPerByte) {
  auto panel = StartPanel({.model = "VYR8", .mainCode = "1234"});
  const auto& m = *tarvex::sim::BlockMapFor("VYR8");
  EXPECT_EQ(panel->ReadMemory(m.CodesAddr, 6), (Bytes{1, 2, 3, 4, 0xFF, 0xFF}));
  EXPECT_EQ(panel->ReadMemory(m.UserAttrAddr, 1), Bytes{1});
  for (int u = 1; u < 24; ++u) {
    const Bytes c = panel->ReadMemory(m.CodesAddr + 6 * u, 6);
    size_t digits = 0;
    while (digits < 6 && c[digits] <= 9) ++digits;
    EXPECT_TRUE(digits == 0 || digits >= 4) << u;
    for (size_t i = digits; i < 6; ++i) EXPECT_EQ(c[i], 0xFF) << u;
  }
  EXPECT_EQ(tarvex::sim::EncodeCode("VYR8", "98765"), (Bytes{9, 8, 7, 6, 5, 0xFF}));
  EXPECT_EQ(tarvex::sim::EncodeCode("VYR8W", "98765"), (Bytes{0x98, 0x76, 0x5F}));
  EXPECT_EQ(tarvex::sim::EncodeCode("VYR16D", ""), (Bytes{0xFF, 0xFF, 0xFF}));
  EXPECT_TRUE(tarvex::sim::EncodeCode("VYR 320", "1234").empty());
  // An empty main code leaves user 0 without digits.
  SimPanel open({.model = "VYR4", .mainCode = ""});
  EXPECT_EQ(open.ReadMemory(m.CodesAddr, 6), Bytes(6, 0xFF));
}

TEST(SimMemory, Map3CodeBlockRunsIntoTheAttributes) {
  auto panel = StartPanel({.model = "VYR16D", .mainCode = "4321"});
  const auto& m = *tarvex::sim::BlockMapFor("VYR16D");
  Line line(panel->DevicePath(), 9600);
  ASSERT_TRUE(line.ok());
  const Bytes block = ReadSmallOverLine(line, m.CodesAddr, m.CodesLen);
  ASSERT_EQ(block.size(), 144u);
  EXPECT_EQ(Bytes(block.begin(), block.begin() + 3), (Bytes{0x43, 0x21, 0xFF}));
  EXPECT_EQ(Bytes(block.begin() + 75, block.end()), panel->ReadMemory(m.UserAttrAddr, 69));
  EXPECT_EQ(block[75], 1) << "the main user's first attribute byte";
  // A write of the attribute block shows in the code block: one memory.
  panel->WriteMemory(m.UserAttrAddr + 5, {0xA5});
  EXPECT_EQ(ReadSmallOverLine(line, m.CodesAddr + 80, 1), Bytes{0xA5});
}

TEST(SimMemory, KeyTableRecordsAreNumberedAndSomeOutOfOrder) {
  auto panel = StartPanel({.model = "VYR32G"});
  const auto& m = *tarvex::sim::BlockMapFor("VYR32G");
  const Bytes table = panel->ReadMemory(m.KeyTableAddr, m.KeyTableLen);
  std::vector<int> seen(128, 0);
  int outOfOrder = 0;
  for (int i = 0; i < 128; ++i) {
    const uint8_t number = table[3 * i + 2];
    ASSERT_LT(number, 128);
    ++seen[number];
    if (number != i) ++outOfOrder;
  }
  for (int k = 0; k < 128; ++k) EXPECT_EQ(seen[k], 1) << k;
  EXPECT_GE(outOfOrder, 2);
  EXPECT_EQ(table[2], 5) << "record 0 holds key 5";
  const Bytes names = panel->ReadMemory(m.KeyNamesAddr, m.KeyNamesLen);
  EXPECT_EQ(Bytes(names.begin(), names.begin() + 16), Str("Front door      "));
  EXPECT_EQ(Bytes(names.begin() + 240, names.end()), Bytes(16, ' ')) << "key 15 has no name";
  EXPECT_NE(panel->ReadMemory(m.KeyDataAddr, 4), Bytes(4, 0xFF));
}

TEST(SimMemory, SeedChangesTheGeneratedContents) {
  SimPanel a({.model = "VYR8", .seed = 1});
  SimPanel b({.model = "VYR8", .seed = 1});
  SimPanel c({.model = "VYR8", .seed = 2});
  const auto& m = *tarvex::sim::BlockMapFor("VYR8");
  EXPECT_EQ(a.ReadMemory(m.KeyDataAddr, 512), b.ReadMemory(m.KeyDataAddr, 512));
  EXPECT_NE(a.ReadMemory(m.KeyDataAddr, 512), c.ReadMemory(m.KeyDataAddr, 512));
}

// ---------------------------------------------------------------- faults

class SimFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    panel = StartPanel({.model = "VYR8"});
    line = std::make_unique<Line>(panel->DevicePath(), 9600);
    ASSERT_TRUE(line->ok());
    pattern.resize(16);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(0xC0 + i);
    panel->WriteMemory(0x0041, pattern);
  }
  // Read of 16 bytes at 0x0041: the header F0 41 00 0F 00 40 holds one
  // letter byte, 'A'.
  Bytes Header() const { return SmallHeader(0xF0, 0x0041, 15); }
  Bytes Reply() const { return Cat(Cat(Header(), pattern), {Sum(pattern, 0, 16)}); }

  std::unique_ptr<SimPanel> panel;
  std::unique_ptr<Line> line;
  Bytes pattern;
};

TEST_F(SimFaults, NoEchoOnlyAtTheChosenExchange) {
  panel->SetFault({FaultKind::NoEcho, 2});
  line->Send(Header());
  EXPECT_EQ(line->Read(23), Reply());
  line->Send(Header());
  ASSERT_TRUE(WaitForExchanges(*panel, 2));
  EXPECT_TRUE(line->Silent());
  line->Send(Header());
  EXPECT_EQ(line->Read(23), Reply());
  EXPECT_EQ(panel->ExchangeCount(), 3);
}

TEST_F(SimFaults, NoEchoOnAWriteStoresNothing) {
  panel->SetFault({FaultKind::NoEcho, 0});
  line->Send(Cat(SmallHeader(0x0F, 0x0041, 0), {0x01, 0x01}));
  ASSERT_TRUE(WaitForBytesHeard(*panel, 8));
  EXPECT_TRUE(line->Silent());
  EXPECT_EQ(panel->ReadMemory(0x0041, 1), Bytes{0xC0});
}

TEST_F(SimFaults, EchoCaseSwapsLetterBytesOnly) {
  panel->SetFault({FaultKind::EchoCase, 0});
  line->Send(Header());
  Bytes expected = Reply();
  ASSERT_EQ(expected[1], 0x41);
  expected[1] = 0x61;
  EXPECT_EQ(line->Read(23), expected);
  // A header without letters comes back unchanged.
  const Bytes plain = SmallHeader(0xF0, 0x0100, 0);
  line->Send(plain);
  const Bytes got = line->Read(8);
  ASSERT_EQ(got.size(), 8u);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 6), plain);
}

TEST_F(SimFaults, BadCheckSpoilsTheSumAndAWriteIsEchoedThenDiscarded) {
  panel->SetFault({FaultKind::BadCheck, 0});
  line->Send(Header());
  Bytes expected = Reply();
  expected.back() = static_cast<uint8_t>(expected.back() + 1);
  EXPECT_EQ(line->Read(23), expected);
  // The write's echo goes out as soon as its header is in; its check then
  // fails at the panel and the block is dropped without a word.
  const Bytes wh = SmallHeader(0x0F, 0x0041, 0);
  line->Send(Cat(wh, {0x01, 0x01}));
  EXPECT_EQ(line->Read(6), wh);
  ASSERT_TRUE(WaitForBytesHeard(*panel, 6 + 8));
  EXPECT_TRUE(line->Silent());
  EXPECT_EQ(panel->ReadMemory(0x0041, 1), Bytes{0xC0});
}

TEST_F(SimFaults, CorruptDataAltersAReadByteAndMakesTheCheckOfAWriteFail) {
  panel->SetFault({FaultKind::CorruptData, 0});
  line->Send(Header());
  // Byte 8 of the 16 (C8) comes flipped (37); the sum is the true data's.
  Bytes expected = Reply();
  expected[6 + 8] = static_cast<uint8_t>(~expected[6 + 8]);
  EXPECT_EQ(line->Read(23), expected);
  const Bytes wh = SmallHeader(0x0F, 0x0041, 1);
  line->Send(Cat(wh, {0x05, 0x06, 0x0B}));
  EXPECT_EQ(line->Read(6), wh);
  ASSERT_TRUE(WaitForBytesHeard(*panel, 6 + 9));
  EXPECT_TRUE(line->Silent());
  EXPECT_EQ(panel->ReadMemory(0x0041, 2), (Bytes{0xC0, 0xC1})) << "discarded";
  panel->SetFault({});
  line->Send(Cat(wh, {0x05, 0x06, 0x0B}));
  EXPECT_EQ(line->Read(6), wh);
  ASSERT_TRUE(WaitForBytesHeard(*panel, 6 + 9 + 9));
  EXPECT_TRUE(line->Silent());
  EXPECT_EQ(panel->ReadMemory(0x0041, 2), (Bytes{0x05, 0x06})) << "the same block without the fault is stored";
}

TEST(SimOptions, CorruptDataIsAFaultOfTheCommandLine) {
  FaultKind kind = FaultKind::None;
  ASSERT_TRUE(tarvex::sim::ParseFaultKind("corrupt-data", &kind));
  EXPECT_EQ(kind, FaultKind::CorruptData);
  tarvex::sim::SimOptions o;
  std::string error;
  ASSERT_TRUE(tarvex::sim::ParseSimOptions({"--fault", "corrupt-data", "--fault-at", "7"}, &o, &error)) << error;
  EXPECT_EQ(o.config.fault.kind, FaultKind::CorruptData);
  EXPECT_EQ(o.config.fault.atExchange, 7);
  EXPECT_NE(tarvex::sim::SimUsage().find("|corrupt-data]"), std::string::npos);
  EXPECT_NE(tarvex::sim::SimHelp().find("corrupt-data        one data byte altered"), std::string::npos);
}

TEST_F(SimFaults, MissingCheckByteLeavesOutTheSum) {
  panel->SetFault({FaultKind::MissingCheckByte, 0});
  line->Send(Header());
  const Bytes expected = Reply();
  EXPECT_EQ(line->Read(22), Bytes(expected.begin(), expected.end() - 1));
  EXPECT_TRUE(line->Silent()) << "no sum";
}

TEST_F(SimFaults, NoiseComesBeforeTheEcho) {
  panel->SetFault({FaultKind::NoiseBeforeEcho, 1});
  line->Send(Header());
  const Bytes reply = Reply();
  const Bytes got = line->ReadUntilEndsWith(reply);
  EXPECT_TRUE(line->Silent());
  ASSERT_GT(got.size(), reply.size());
  EXPECT_EQ(Bytes(got.end() - static_cast<long>(reply.size()), got.end()), reply);
  EXPECT_NE(got[0], reply[0]);
  // A write under noise is still stored.
  panel->SetFault({FaultKind::NoiseBeforeEcho, 0});
  const Bytes wh = SmallHeader(0x0F, 0x0041, 0);
  line->Send(Cat(wh, {0x01, 0x01}));
  const Bytes echo = line->ReadUntilEndsWith(wh);
  EXPECT_TRUE(line->Silent());
  ASSERT_GT(echo.size(), 6u);
  EXPECT_EQ(Bytes(echo.end() - 6, echo.end()), wh);
  EXPECT_EQ(panel->ReadMemory(0x0041, 1), Bytes{0x01});
}

TEST_F(SimFaults, StallStopsHalfwayThroughTheData) {
  panel->SetFault({FaultKind::Stall, 1});
  line->Send(Header());
  const Bytes reply = Reply();
  EXPECT_EQ(line->Read(6 + 8), Bytes(reply.begin(), reply.begin() + 6 + 8));
  EXPECT_TRUE(line->Silent()) << "half of the data, then nothing";
  line->Send(Header());
  EXPECT_EQ(line->Read(23), reply) << "the next exchange is whole";
}

TEST_F(SimFaults, StallOnAWriteSendsPartOfTheEcho) {
  panel->SetFault({FaultKind::Stall, 0});
  const Bytes wh = SmallHeader(0x0F, 0x0041, 0);
  line->Send(Cat(wh, {0x02, 0x02}));
  EXPECT_EQ(line->Read(3), Bytes(wh.begin(), wh.begin() + 3));
  EXPECT_TRUE(line->Silent()) << "three echo bytes, then nothing";
  EXPECT_EQ(panel->ReadMemory(0x0041, 1), Bytes{0x02});
}

TEST_F(SimFaults, CloseLineHangsUpAndTheDeviceDisappears) {
  panel->SetFault({FaultKind::CloseLine, 2});
  line->Send(Header());
  EXPECT_EQ(line->Read(23), Reply());
  line->Send(Header());
  const Bytes reply = Reply();
  const Bytes got = line->Read(23);  // ends at the hang-up
  EXPECT_EQ(got, Bytes(reply.begin(), reply.begin() + 6 + 8));
  EXPECT_TRUE(line->hangup());
  EXPECT_TRUE(panel->LineClosed());
  pollfd p{line->fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, static_cast<int>(tarvex::test::ScaledMs(5000))), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  // The node goes just after the hang-up is delivered.
  struct stat st {};
  const auto t0 = Clock::now();
  while (::stat(panel->DevicePath().c_str(), &st) == 0 && MsSince(t0) < tarvex::test::ScaledMs(5000)) usleep(1000);
  EXPECT_NE(::stat(panel->DevicePath().c_str(), &st), 0) << "device node gone";
  EXPECT_EQ(::open(panel->DevicePath().c_str(), O_RDWR | O_NOCTTY), -1);
  EXPECT_EQ(panel->LineSpeed(), 0);
  panel->Stop();
}

// ---------------------------------------------------------------- line handling

TEST(SimLine, ReopeningTheDeviceKeepsThePanelServing) {
  auto panel = StartPanel({.model = "VYR8W"});
  EXPECT_EQ(panel->LineSpeed(), 0) << "nobody holds the device yet";
  const Bytes h = SmallHeader(0xF0, 0, 11);
  for (int round = 0; round < 3; ++round) {
    Line line(panel->DevicePath(), 9600);
    ASSERT_TRUE(line.ok());
    EXPECT_EQ(panel->LineSpeed(), 9600);
    line.Send(h);
    const Bytes reply = line.Read(19);
    ASSERT_EQ(reply.size(), 19u) << round;
    EXPECT_EQ(Bytes(reply.begin() + 6, reply.begin() + 12), Str("VYR8W "));
  }
  EXPECT_EQ(panel->LineSpeed(), 0) << "closed again";
  EXPECT_EQ(panel->ExchangeCount(), 3);
  // The serving thread is woken to stop; it does not wait out a time-out.
  const auto t0 = Clock::now();
  panel->Stop();
  EXPECT_LT(MsSince(t0), tarvex::test::ScaledMs(2000));
}

TEST(SimLine, WireTimePacesBothDirections) {
  auto panel = StartPanel({.model = "VYR8", .wireTime = true});
  Line line(panel->DevicePath(), 9600);
  ASSERT_TRUE(line.ok());
  // 6 + 64 + 1 bytes back: 71 x 11 bits at 9600 bit/s is 81 ms, plus the
  // 6-byte header on the way in.
  const Bytes h = SmallHeader(0xF0, 0x0200, 63);
  auto t0 = Clock::now();
  line.Send(h);
  const Bytes echo = line.Read(6);
  const int64_t echoMs = MsSince(t0);
  const Bytes rest = line.Read(65);
  const int64_t allMs = MsSince(t0);
  EXPECT_EQ(echo, h);
  EXPECT_EQ(rest.size(), 65u);
  // At least the time on the line (exactly, on the virtual clock, in
  // sim_line_test.cpp); the upper bound only catches a panel that stalls.
  EXPECT_GE(echoMs, 6);
  EXPECT_GE(allMs, 88);
  EXPECT_LT(allMs, tarvex::test::ScaledMs(2000));
  // A write of 64 bytes: the echo leaves once the 6 header bytes are in and
  // takes its own 6 byte times back (13.75 ms), while the 64 data bytes and
  // the sum go on arriving; they are all in after 71 byte times (81.4 ms),
  // and only then is the block stored.
  Bytes data(64, 0x3C);
  const Bytes wh = SmallHeader(0x0F, 0x0200, 63);
  ASSERT_NE(panel->ReadMemory(0x0200, 64), data);
  t0 = Clock::now();
  line.Send(Cat(Cat(wh, data), {Sum(data, 0, 64)}));
  EXPECT_EQ(line.Read(6), wh);
  EXPECT_GE(MsSince(t0), 13);
  while (panel->ReadMemory(0x0200, 64) != data && MsSince(t0) < tarvex::test::ScaledMs(5000)) usleep(1000);
  EXPECT_EQ(panel->ReadMemory(0x0200, 64), data);
  EXPECT_GE(MsSince(t0), 81);
}

TEST(SimLine, StartRefusesBadConfigurations) {
  std::string error;
  SimPanel unknown({.model = "VYR99"});
  EXPECT_FALSE(unknown.Start(&error));
  EXPECT_NE(error.find("VYR99"), std::string::npos);
  EXPECT_EQ(unknown.Model(), 0);
  SimPanel badCode({.model = "VYR8", .mainCode = "12a4"});
  EXPECT_FALSE(badCode.Start(&error));
  SimPanel tooLong({.model = "VYR8", .mainCode = "1234567"});
  EXPECT_FALSE(tooLong.Start(&error));
  SimPanel twice({.model = "VYR8"});
  EXPECT_TRUE(twice.Start(&error));
  EXPECT_FALSE(twice.Start(&error));
}

}  // namespace
