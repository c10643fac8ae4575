// The line trace, read back from its file as support would read it. The
// panel is the in-process simulated line on its virtual clock, so every
// time in the trace is exact: a trace's time 0 is the moment it was opened
// on the line's clock, and the expected times follow from the documented
// waits and pauses (a wait with a limit of n seconds gives up after
// floor(n) + 1 whole seconds; 50 ms after a good exchange, 700 ms after a
// failed attempt of a small read; 500 ms before the connection check's
// first exchange). Without wire time the panel answers at once. Expected
// bytes are the frames as the protocol lays them out, written out by hand.
// Builds and runs on Windows as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app/connection.h"
#include "app/window_model.h"
#include "protocol/frames.h"
#include "protocol/identify.h"
#include "serial/comm.h"
#include "serial/trace.h"
#include "sim/sim_line.h"
#include "tests/support/fake_system.h"
#include "tests/support/scratch_dir.h"
#include "tests/test_session.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;
using sim::FaultKind;
using sim::PanelConfig;
using sim::TSimLine;

constexpr uint8_t k9600 = 6;

// A file name of the test's own, in a folder of the program's own that
// goes when it ends.
fs::path TempFile(const std::string& tag) {
  static const test::TScratchDir folder("tarvex-trace");
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return folder.Folder() / (std::string(info->test_suite_name()) + "-" + info->name() + "-" + tag + ".txt");
}

std::vector<std::string> ReadLines(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The event lines: everything after the two comment lines at the top.
std::vector<std::string> Events(const std::vector<std::string>& lines) {
  return lines.size() <= 2 ? std::vector<std::string>() : std::vector<std::string>(lines.begin() + 2, lines.end());
}

// A session on an in-process panel at 9600 baud, with a trace file whose
// time 0 is now on the line's clock.
struct TRig {
  explicit TRig(PanelConfig cfg, bool withData = false) : line(std::move(cfg)), path(TempFile("trace")) {
    port().System = &line;
    port().Device = "sim0";
    port().BaudIndex = k9600;
    TTraceFileOptions o;
    o.withData = withData;
    o.program = "trace-test 9.99";
    o.clock = &line;
    std::string error;
    trace = TTraceFile::Open(path.string(), o, &error);
    EXPECT_TRUE(trace) << error;
    port().Trace = trace.get();
  }
  ~TRig() {
    trace.reset();
    std::error_code ec;
    fs::remove(path, ec);
  }
  TComm& port() { return t.s.Link.PanelPort; }
  TTransferBuffer& buffer() { return t.s.Link.Buffer(); }
  std::vector<std::string> Lines() const { return ReadLines(path); }

  TSimLine line;
  test::TTestSession t;
  fs::path path;
  std::unique_ptr<TTraceFile> trace;
};

const std::string kOpened9600 = "port opened: sim0, 9600 baud 8E1 (8 data bits, even parity, 1 stop bit)";

TEST(LineTrace, ASuccessfulIdentifyHoldsItsFramesAndNoDataBytes) {
  TRig r({.model = "VYR8", .firmware = "2.10"});
  ASSERT_TRUE(CheckConnection(r.t.s));
  ASSERT_EQ(r.t.s.Panel.PanelDescription, "VYR8 v.2.10");
  const std::vector<std::string> lines = r.Lines();
  ASSERT_GE(lines.size(), 2u);
  // The first line: program, version, the start in UTC, and that no codes
  // are in the file.
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("# Tarvex line trace by trace-test 9\\.99, started "
                                                    "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} UTC\\. "
                                                    "It holds no user codes: a data block appears as its length "
                                                    "and check only\\.")))
      << lines[0];
  EXPECT_EQ(lines[1].rfind("# One line per event: milliseconds since the start", 0), 0u) << lines[1];
  // The check opens at 9600, waits 500 ms, reads the 12-byte block at 0 and
  // closes; the panel answers at once, so the only time that passes is the
  // pauses.
  const std::vector<std::string> expected{
      "       0 -- " + kOpened9600,
      "       0 -- pause 500 ms for the panel after the port opened",
      "     500 TX header F0 00 00 0B 00 FB: read 12 bytes at 0 (0x0000)",
      "     500 RX echo F0 00 00 0B 00 FB: matches the header",
      "     500 RX 12 data bytes",
      "     500 RX sum 3A: good",
      "     500 -- pause 50 ms after a good exchange",
      "     550 -- block read: 12 bytes at 0 (0x0000)",
      "     550 -- range read done: 12 bytes from 0 (0x0000)",
      "     550 -- port closed: sim0, 9600 baud 8E1",
  };
  EXPECT_EQ(Events(lines), expected);
  // "VYR8" and "2.10" as they travel: not in the file.
  const std::string all = ReadAll(r.path);
  EXPECT_EQ(all.find("56 59 52 38"), std::string::npos);
  EXPECT_EQ(all.find("32 2E 31 30"), std::string::npos);
}

TEST(LineTrace, WithDataTheBlockBytesAppearAndTheFirstLineWarns) {
  TRig r({.model = "VYR8", .firmware = "2.10"}, true);
  ASSERT_TRUE(CheckConnection(r.t.s));
  const std::vector<std::string> lines = r.Lines();
  ASSERT_GE(lines.size(), 7u);
  EXPECT_NE(lines[0].find(". WARNING: it holds USER CODES (the data bytes of every block)"), std::string::npos)
      << lines[0];
  EXPECT_EQ(lines[0].find("no user codes"), std::string::npos) << lines[0];
  // Model name padded to 6, two zero bytes, the firmware text.
  EXPECT_EQ(lines[6], "     500 RX 12 data bytes: 56 59 52 38 20 20 00 00 32 2E 31 30");
  EXPECT_EQ(lines[7], "     500 RX sum 3A: good");
}

// The panel stops answering at the third block of a three-block read: the
// trace shows the two good blocks, then that exchange's header, the wait
// that ran out with its limit, the pause and the outcomes.
TEST(LineTrace, AFailedReadShowsTheExchangeThatFailedAndWhy) {
  TRig r({.model = "VYR8", .fault = {FaultKind::NoEcho, 3}});
  ASSERT_TRUE(OpenComm(r.port()));
  EXPECT_FALSE(ReadSmallRange(r.t.s.Link, 0x2000, 191, r.buffer()));
  // A 64-byte read waits for its echo 3000 + 10 x 63 ms, 3 whole seconds:
  // it gives up after 4 s.
  const std::vector<std::string> expected{
      "       0 -- " + kOpened9600,
      "       0 TX header F0 00 20 3F 00 4F: read 64 bytes at 8192 (0x2000)",
      "       0 RX echo F0 00 20 3F 00 4F: matches the header",
      "       0 RX 64 data bytes",
  };
  const std::vector<std::string> lines = Events(r.Lines());
  ASSERT_EQ(lines.size(), 18u) << ::testing::PrintToString(lines);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4), expected);
  EXPECT_EQ(lines[4].rfind("       0 RX sum ", 0), 0u) << lines[4];
  EXPECT_EQ(lines[4].substr(lines[4].size() - 6), ": good") << lines[4];
  EXPECT_EQ(lines[5], "       0 -- pause 50 ms after a good exchange");
  EXPECT_EQ(lines[6], "      50 -- block read: 64 bytes at 8192 (0x2000)");
  EXPECT_EQ(lines[7], "      50 TX header F0 40 20 3F 00 8F: read 64 bytes at 8256 (0x2040)");
  EXPECT_EQ(lines[12], "     100 -- block read: 64 bytes at 8256 (0x2040)");
  const std::vector<std::string> failed{
      "     100 TX header F0 80 20 3F 00 CF: read 64 bytes at 8320 (0x2080)",
      "    4100 -- wait for the echo of the header ran out: limit 3 s, given up after 4000 ms; 0 of 6 bytes had "
      "come",
      "    4100 -- pause 700 ms after a failed attempt",
      "    4800 -- block read FAILED: 64 bytes at 8320 (0x2080): no echo",
      "    4800 -- range read FAILED: 128 of 192 bytes from 8192 (0x2000) done; stopped at 8320 (0x2080)",
  };
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 13, lines.begin() + 18), failed);
  // Nothing else happened on the line after the failed range; the port is
  // still open until the caller closes it.
  CloseComm(r.port());
  const std::vector<std::string> after = Events(r.Lines());
  ASSERT_EQ(after.size(), 19u);
  EXPECT_EQ(after.back(), "    4800 -- port closed: sim0, 9600 baud 8E1");
}

TEST(LineTrace, ABadSumIsShownWithBothValuesAndTheRetryThatMendsIt) {
  // Only the first exchange carries the wrong sum (one more than the right
  // one); three attempts are allowed.
  TRig r({.model = "VYR8", .firmware = "2.10", .fault = {FaultKind::BadCheck, 1}});
  r.t.s.Link.Tuning.Attempts = 3;
  ASSERT_TRUE(OpenComm(r.port()));
  ASSERT_TRUE(ReadSmallRange(r.t.s.Link, 0, 11, r.buffer()));
  const std::vector<std::string> expected{
      "       0 -- " + kOpened9600,
      "       0 TX header F0 00 00 0B 00 FB: read 12 bytes at 0 (0x0000)",
      "       0 RX echo F0 00 00 0B 00 FB: matches the header",
      "       0 RX 12 data bytes",
      "       0 RX sum 3B: BAD, expected 3A, got 3B",
      "       0 -- pause 700 ms after a failed attempt",
      "     700 -- retry: attempt 2 of 3, after: bad sum",
      "     700 TX header F0 00 00 0B 00 FB: read 12 bytes at 0 (0x0000)",
      "     700 RX echo F0 00 00 0B 00 FB: matches the header",
      "     700 RX 12 data bytes",
      "     700 RX sum 3A: good",
      "     700 -- pause 50 ms after a good exchange",
      "     750 -- block read: 12 bytes at 0 (0x0000) (attempt 2 of 3)",
      "     750 -- range read done: 12 bytes from 0 (0x0000)",
  };
  EXPECT_EQ(Events(r.Lines()), expected);
}

TEST(LineTrace, NoiseBeforeTheEchoShowsTheWrongEchoAndTheBytesDroppedBeforeTheRetry) {
  // Three bytes of noise go out before the echo; two attempts are allowed.
  TRig r({.model = "VYR8", .firmware = "2.10", .fault = {FaultKind::NoiseBeforeEcho, 1}});
  r.t.s.Link.Tuning.Attempts = 2;
  ASSERT_TRUE(OpenComm(r.port()));
  ASSERT_TRUE(ReadSmallRange(r.t.s.Link, 0, 11, r.buffer()));
  const std::vector<std::string> lines = Events(r.Lines());
  ASSERT_EQ(lines.size(), 13u) << ::testing::PrintToString(lines);
  // The six bytes taken as the echo: the noise, then the echo's start.
  EXPECT_TRUE(std::regex_match(
      lines[2], std::regex("       0 RX echo [0-9A-F]{2} [0-9A-F]{2} [0-9A-F]{2} F0 00 00: does NOT match the header")))
      << lines[2];
  // The rest of that reply (3 echo bytes, 12 data bytes and the sum) is
  // dropped before the second header, as a length only.
  const std::vector<std::string> expected{
      "       0 -- pause 700 ms after a failed attempt",
      "     700 -- retry: attempt 2 of 2, after: the echo does not match the header",
      "     700 RX 16 stray bytes dropped before the header",
      "     700 TX header F0 00 00 0B 00 FB: read 12 bytes at 0 (0x0000)",
      "     700 RX echo F0 00 00 0B 00 FB: matches the header",
      "     700 RX 12 data bytes",
      "     700 RX sum 3A: good",
      "     700 -- pause 50 ms after a good exchange",
      "     750 -- block read: 12 bytes at 0 (0x0000) (attempt 2 of 2)",
      "     750 -- range read done: 12 bytes from 0 (0x0000)",
  };
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()), expected);
}

TEST(LineTrace, AMissingCheckByteIsAWaitForTheSumThatRanOut) {
  TRig r({.model = "VYR8", .firmware = "2.10", .fault = {FaultKind::MissingCheckByte, 1}});
  ASSERT_TRUE(OpenComm(r.port()));
  EXPECT_FALSE(ReadSmallRange(r.t.s.Link, 0, 11, r.buffer()));
  // Each data or check byte may take 2 s: the wait gives up after 3 s.
  const std::vector<std::string> expected{
      "       0 -- " + kOpened9600,
      "       0 TX header F0 00 00 0B 00 FB: read 12 bytes at 0 (0x0000)",
      "       0 RX echo F0 00 00 0B 00 FB: matches the header",
      "       0 RX 12 data bytes",
      "    3000 -- wait for the sum ran out: limit 2 s, given up after 3000 ms",
      "    3000 -- pause 700 ms after a failed attempt",
      "    3700 -- block read FAILED: 12 bytes at 0 (0x0000): the sum did not come",
      "    3700 -- range read FAILED: 0 of 12 bytes from 0 (0x0000) done; stopped at 0 (0x0000)",
  };
  EXPECT_EQ(Events(r.Lines()), expected);
}

TEST(LineTrace, AStalledReplyNamesTheDataByteThatDidNotCome) {
  // The echo and about half of the 12 data bytes come, then nothing.
  TRig r({.model = "VYR8", .firmware = "2.10", .fault = {FaultKind::Stall, 1}}, true);
  ASSERT_TRUE(OpenComm(r.port()));
  EXPECT_FALSE(ReadSmallRange(r.t.s.Link, 0, 11, r.buffer()));
  const std::vector<std::string> lines = Events(r.Lines());
  ASSERT_EQ(lines.size(), 7u) << ::testing::PrintToString(lines);
  // With data, the bytes that came are shown: they are the block's first.
  const std::regex wait(
      "    3000 -- wait for data byte ([0-9]+) of 12 ran out: limit 2 s, given up after 3000 ms; the data bytes so "
      "far: (.*)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[3], m, wait)) << lines[3];
  const int missing = std::stoi(m[1].str());
  EXPECT_GT(missing, 1);
  EXPECT_LT(missing, 12);
  EXPECT_EQ(m[2].str(), std::string("56 59 52 38 20 20 00 00 32 2E 31 30").substr(0, 3 * (missing - 1) - 1));
  EXPECT_EQ(lines[5], "    3700 -- block read FAILED: 12 bytes at 0 (0x0000): the data stopped coming");
}

// The large panel's baud search on a panel that answers only at 38400:
// every silent speed costs the 50 ms settle and the probe's 1 s wait.
TEST(LineTrace, TheBaudSearchShowsEveryProbeAndItsEcho) {
  // Seed 5: silent at 9600, 115200 and 57600.
  TRig r({.model = "VYR 320", .firmware = "2.05", .seed = 5});
  ASSERT_TRUE(FindBaudRate(r.t.s.Link));
  auto opened = [](const std::string& at, const std::string& rate) {
    return at + " -- port opened: sim0, " + rate + " baud 8E1 (8 data bits, even parity, 1 stop bit)";
  };
  auto silent = [&](const std::string& at, const std::string& end, const std::string& rate) {
    return std::vector<std::string>{
        opened(at, rate),
        at + " TX baud probe 3C C3 00 00 00 FF at " + rate + " baud",
        at + " -- pause 50 ms for the probe to come back",
        end + " -- wait for the echo of the baud probe ran out: limit 0.5 s, given up after 1000 ms; 0 of 6 "
              "bytes had come",
        end + " -- no echo of the probe at " + rate + " baud",
        end + " -- port closed: sim0, " + rate + " baud 8E1",
    };
  };
  std::vector<std::string> expected;
  for (const auto& part : {silent("       0", "    1050", "9600"), silent("    1050", "    2100", "115200"),
                           silent("    2100", "    3150", "57600")})
    expected.insert(expected.end(), part.begin(), part.end());
  for (const std::string& line : {
           opened("    3150", "38400"),
           std::string("    3150 TX baud probe 3C C3 00 00 00 FF at 38400 baud"),
           std::string("    3150 -- pause 50 ms for the probe to come back"),
           std::string("    3200 RX probe echo 3C C3 00 00 00 FF: matches the probe"),
           std::string("    3200 -- the probe came back at 38400 baud"),
           std::string("    3200 -- baud search: the panel answers at 38400 baud"),
       })
    expected.push_back(line);
  EXPECT_EQ(Events(r.Lines()), expected);
}

TEST(LineTrace, TheLargePanelsVersionReadShowsItsHeaderAndCrc) {
  TRig r({.model = "VYR 320", .firmware = "2.05", .baud = 115200});
  r.port().BaudIndex = 11;
  ASSERT_TRUE(IdentifyLargePanel(r.t.s.Link, r.t.s.Panel).Ok());
  const std::vector<std::string> lines = Events(r.Lines());
  // The first probe is echoed after its 50 ms settle; then the 100 ms pause
  // and the 17-byte version block at 5523.
  const auto at = std::find(lines.begin(), lines.end(),
                            "     150 TX header F8 10 00 15 93 B0: read 17 bytes at 5523 (0x001593)");
  ASSERT_NE(at, lines.end()) << ::testing::PrintToString(lines);
  ASSERT_GE(lines.end() - at, 5);
  EXPECT_EQ(at[-1], "      50 -- pause 100 ms before the version read");
  EXPECT_EQ(at[1], "     150 RX echo F8 10 00 15 93 B0: matches the header");
  EXPECT_EQ(at[2], "     150 RX 17 data bytes");
  EXPECT_TRUE(std::regex_match(at[3], std::regex("     150 RX CRC [0-9A-F]{2} [0-9A-F]{2}: good \\(0x[0-9A-F]{4}\\)")))
      << at[3];
  // The CRC travels low byte first.
  EXPECT_EQ(at[3].substr(19, 2) + at[3].substr(16, 2), at[3].substr(31, 4)) << at[3];
}

TEST(LineTrace, AnOpenThatFailsSaysWhy) {
  TRig r({.model = "VYR8"});
  r.line.FailOpenAt(1, TCommError::InUse);
  EXPECT_FALSE(OpenComm(r.port()));
  const std::vector<std::string> lines = Events(r.Lines());
  ASSERT_EQ(lines.size(), 1u);
  const std::string start =
      "       0 -- port open FAILED: sim0, 9600 baud 8E1 (8 data bits, even parity, 1 stop bit): ";
  ASSERT_EQ(lines[0].rfind(start, 0), 0u) << lines[0];
  // The reason the user is shown, word for word.
  EXPECT_NE(DescribeCommError(r.port()).find("in use"), std::string::npos);
  EXPECT_EQ(lines[0].substr(start.size()), DescribeCommError(r.port()));
}

TEST(LineTrace, ALostLineIsTracedOnceWhereItIsSeen) {
  TRig r({.model = "VYR8", .fault = {FaultKind::CloseLine, 1}});
  ASSERT_TRUE(OpenComm(r.port()));
  EXPECT_FALSE(ReadSmallRange(r.t.s.Link, 0, 11, r.buffer()));
  EXPECT_FALSE(ReadSmallRange(r.t.s.Link, 0, 11, r.buffer()));
  const std::vector<std::string> lines = Events(r.Lines());
  size_t lost = 0;
  for (const std::string& l : lines) lost += l.find("-- line lost: sim0 went away") != std::string::npos;
  EXPECT_EQ(lost, 1u) << ::testing::PrintToString(lines);
  // The failed exchanges say so; no wait ran out its limit.
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "     700 -- block read FAILED: 12 bytes at 0 (0x0000): the line was lost"),
            lines.end())
      << ::testing::PrintToString(lines);
  for (const std::string& l : lines) EXPECT_EQ(l.find("ran out"), std::string::npos) << l;
}

TEST(LineTrace, WritesShowTheirDataAsLengthAndSum) {
  TRig r({.model = "VYR32"});
  ASSERT_TRUE(OpenComm(r.port()));
  std::fill(r.buffer().begin(), r.buffer().begin() + 64, 0x11);
  ASSERT_TRUE(WriteSmallRange(r.t.s.Link, 0x3000, 63, r.buffer()));
  // 64 bytes of 11 at 0x3000: last index 3F, header sum 7E, data sum 40.
  const std::vector<std::string> expected{
      "       0 -- port opened: sim0, 9600 baud 8E1 (8 data bits, even parity, 1 stop bit)",
      "       0 TX header 0F 00 30 3F 00 7E: write 64 bytes at 12288 (0x3000)",
      "       0 TX 64 data bytes",
      "       0 TX sum 40",
      "       0 RX echo 0F 00 30 3F 00 7E: matches the header",
      "       0 -- pause 100 ms after a written block",
      "     100 -- block write: 64 bytes at 12288 (0x3000)",
      "     100 -- range write done: 64 bytes from 12288 (0x3000)",
  };
  EXPECT_EQ(Events(r.Lines()), expected);
}

#ifndef _WIN32
TEST(LineTrace, TheFileIsPrivateAndALinkIsRefused) {
  TRig r({.model = "VYR8"});
  struct stat st {};
  ASSERT_EQ(::stat(r.path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // A file that was readable by others is made private before it is
  // emptied and written.
  const fs::path earlier = TempFile("earlier");
  { std::ofstream(earlier) << "old text\n"; }
  ASSERT_EQ(::chmod(earlier.c_str(), 0644), 0);
  std::string error;
  TTraceFileOptions o;
  std::unique_ptr<TTraceFile> t = TTraceFile::Open(earlier.string(), o, &error);
  ASSERT_TRUE(t) << error;
  ASSERT_EQ(::stat(earlier.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(ReadAll(earlier).find("old text"), std::string::npos);
  t.reset();

  // A symbolic link is not followed: the file it names is left alone.
  const fs::path link = TempFile("link");
  fs::remove(link);
  fs::create_symlink(earlier, link);
  const std::string before = ReadAll(earlier);
  EXPECT_FALSE(TTraceFile::Open(link.string(), o, &error));
  EXPECT_EQ(error, link.string() + ": a symbolic link, not followed");
  EXPECT_EQ(ReadAll(earlier), before);
  // Nor is a folder written.
  EXPECT_FALSE(TTraceFile::Open(fs::temp_directory_path().string(), o, &error));
  EXPECT_FALSE(error.empty());
  fs::remove(link);
  fs::remove(earlier);
}

#ifdef __linux__
// The driver's answer to the low-latency request of an open, in words:
// granted by an adapter's driver (the in-process line plays one), or
// refused with the system's reason.
TEST(LineTrace, TheLowLatencyRequestIsTracedAfterTheOpen) {
  TRig r({.model = "VYR8", .adapterLatencyMs = 16});
  ASSERT_TRUE(OpenComm(r.port()));
  CloseComm(r.port());

  test::TFakeSystem refusing(r.line);
  refusing.serialFlags = 0;
  refusing.refuseSerialFlags = EPERM;
  r.port().System = &refusing;
  ASSERT_TRUE(OpenComm(r.port()));
  CloseComm(r.port());

  const std::vector<std::string> lines = Events(r.Lines());
  ASSERT_EQ(lines.size(), 6u) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines[0], "       0 -- " + kOpened9600);
  EXPECT_EQ(lines[1], "       0 -- low latency granted by the driver: received bytes are handed over at once");
  EXPECT_EQ(lines[3], "       0 -- " + kOpened9600);
  EXPECT_EQ(lines[4], "       0 -- low latency refused by the driver: " + std::string(std::strerror(EPERM)) +
                          " (system error " + std::to_string(EPERM) +
                          "); replies may wait out a USB adapter's latency timer");
}
#endif

// A real open that fails after the device was opened (a regular file is
// no serial port): the trace says that the handle is still held, and then
// that it was closed.
TEST(LineTrace, ARefusedOpenThatHoldsThePortSaysSo) {
  const fs::path notAPort = TempFile("not-a-port");
  { std::ofstream(notAPort) << "x"; }
  const fs::path path = TempFile("trace");
  TTraceFileOptions o;
  o.clock = &PlatformCommSystem();
  std::string error;
  std::unique_ptr<TTraceFile> trace = TTraceFile::Open(path.string(), o, &error);
  ASSERT_TRUE(trace) << error;
  TComm port;
  port.Device = notAPort.string();
  port.BaudIndex = k9600;
  port.Trace = trace.get();
  EXPECT_FALSE(OpenComm(port));
  EXPECT_EQ(port.LastError, TCommError::NotSerial);
  CloseComm(port);
  const std::vector<std::string> lines = Events(ReadLines(path));
  ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
  const std::string opened = " -- port open FAILED: " + notAPort.string() +
                             ", 9600 baud 8E1 (8 data bits, even parity, 1 stop bit): ";
  EXPECT_EQ(lines[0].substr(8, opened.size()), opened) << lines[0];
  // ENOTTY, the system's answer to a terminal request on a file.
  const std::string held = " (system error 25); the port stays held until it is closed";
  ASSERT_GT(lines[0].size(), held.size());
  EXPECT_EQ(lines[0].substr(lines[0].size() - held.size()), held) << lines[0];
  EXPECT_EQ(lines[1].substr(8), " -- port closed: " + notAPort.string() + ", 9600 baud 8E1");
  trace.reset();
  fs::remove(path);
  fs::remove(notAPort);
}
#endif

// A sink that only counts what it is fed.
class TCountingTrace : public TLineTrace {
 public:
  void Record(const TComm&, const TTraceEvent&) override { ++calls; }
  int calls = 0;
};

// What a failed read does on the line, and when.
struct TOutcome {
  bool ok = false;
  int64_t endNs = 0;
  std::vector<uint8_t> toolSent;
  std::vector<uint8_t> panelSent;
  std::vector<std::string> boxes;
  bool operator==(const TOutcome&) const = default;
};

TOutcome FailedRead(TLineTrace* trace) {
  TSimLine line({.model = "VYR8", .fault = {FaultKind::NoEcho, 3}});
  test::TTestSession t;
  t.s.Link.PanelPort.System = &line;
  t.s.Link.PanelPort.BaudIndex = k9600;
  t.s.Link.PanelPort.Trace = trace;
  TOutcome o;
  o.ok = OpenComm(t.s.Link.PanelPort) && ReadSmallRange(t.s.Link, 0x2000, 191, t.s.Link.Buffer());
  ClosePort(t.s.Link.PanelPort);
  o.endNs = line.NowNs();
  o.toolSent = line.Engine().ReceivedBytes();
  o.panelSent = line.PanelSent();
  o.boxes = t.ui.Boxes();
  return o;
}

TEST(LineTrace, WithoutATraceNothingIsFedAndTheLineIsTheSame) {
  TCountingTrace counting;
  const TOutcome traced = FailedRead(&counting);
  // One call for each of the 19 lines of this read's trace in the file
  // (AFailedReadShowsTheExchangeThatFailedAndWhy, with the close).
  EXPECT_EQ(counting.calls, 19);
  const int fed = counting.calls;
  const TOutcome untraced = FailedRead(nullptr);
  EXPECT_EQ(counting.calls, fed);
  EXPECT_FALSE(untraced.ok);
  // Tracing changes nothing the panel sees, nor any time.
  EXPECT_EQ(traced, untraced);
  EXPECT_EQ(untraced.endNs - TSimLine::kVirtualStartNs, int64_t{4800} * 1'000'000);
}

// The window model feeds the trace it is given, whichever port the user
// picks; a second line with its own clock carries the times on.
class TInstantView : public TWindowView {
 public:
  void Show(const TWindowState&, unsigned) override {}
  void ShowMessageBox(TBoxKind, const std::string& text) override { boxes.push_back(text); }
  TAnswer Ask(TBoxKind, const std::string& text, TQuestion question) override {
    boxes.push_back(text);
    return ClosedAnswer(question);
  }
  void ShowBusyCursor(bool) override {}
  void ShowSupportedPanels(int) override {}
  void RunOffThread(std::function<void()> work, std::function<void()> done) override {
    work();
    done();
  }
  void RunOnWindowThread(const std::function<void()>& f) override { f(); }
  void CloseWindow() override {}
  std::vector<std::string> boxes;
};

TEST(LineTrace, TheWindowModelFeedsTheTraceOfItsOptions) {
  TSimLine vyr8({.model = "VYR8", .firmware = "2.10"});
  TSimLine vyr32({.model = "VYR32", .firmware = "2.10"});
  const fs::path path = TempFile("model");
  TWindowModelOptions o;
  auto entry = [](const std::string& device, TSimLine& line) {
    TPortEntry e;
    e.Device = device;
    e.Label = device;
    e.System = &line;
    return e;
  };
  o.leadingPorts = {entry("demo8", vyr8), entry("demo32", vyr32)};
  o.deviceFolder.clear();
  o.backupFolder = fs::temp_directory_path().string();
  TTraceFileOptions to;
  to.clock = &vyr8;
  std::string error;
  o.trace = TTraceFile::Open(path.string(), to, &error);
  ASSERT_TRUE(o.trace) << error;
  TInstantView view;
  {
    TWindowModel model(view, o);
    o.trace.reset();  // the model keeps its own share
    model.Start();
    model.CheckConnection();
    model.PortChosen(1);
    model.CheckConnection();
    EXPECT_EQ(model.Session().Panel.PanelDescription, "VYR32 v.2.10");
  }
  EXPECT_TRUE(view.boxes.empty()) << ::testing::PrintToString(view.boxes);
  const std::vector<std::string> lines = Events(ReadLines(path));
  const auto find = [&](const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  };
  EXPECT_TRUE(find("       0 -- port opened: demo8, 9600 baud 8E1 (8 data bits, even parity, 1 stop bit)"))
      << ::testing::PrintToString(lines);
  EXPECT_TRUE(find("     550 -- port closed: demo8, 9600 baud 8E1"));
  EXPECT_TRUE(find("     550 -- port opened: demo32, 9600 baud 8E1 (8 data bits, even parity, 1 stop bit)"));
  EXPECT_TRUE(find("    1050 TX header F0 00 00 0B 00 FB: read 12 bytes at 0 (0x0000)"));
  EXPECT_EQ(lines.back(), "    1100 -- port closed: demo32, 9600 baud 8E1");
  std::error_code ec;
  fs::remove(path, ec);
}

}  // namespace
}  // namespace tarvex
