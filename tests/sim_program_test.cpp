// The panel simulator program: its command line, and (when the build names
// the program) a run of it from start to SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim_options.h"
#include "tests/test_time.h"

namespace {

using tarvex::sim::FaultKind;
using tarvex::sim::ParseSimOptions;
using tarvex::sim::SimOptions;

bool Parse(std::vector<std::string> args, SimOptions* o, std::string* error = nullptr) {
  std::string e;
  const bool ok = ParseSimOptions(args, o, &e);
  if (error) *error = e;
  return ok;
}

TEST(SimOptions, DefaultsAreASmallPanel) {
  SimOptions o;
  ASSERT_TRUE(Parse({}, &o));
  EXPECT_EQ(o.config.model, "VYR8");
  EXPECT_EQ(o.config.firmware, "") << "the model's own default";
  EXPECT_EQ(o.config.mainCode, "1234");
  EXPECT_EQ(o.config.baud, 0);
  EXPECT_FALSE(o.config.wireTime);
  EXPECT_EQ(o.config.fault.kind, FaultKind::None);
  EXPECT_TRUE(o.linkPath.empty());
}

TEST(SimOptions, EveryOptionIsTaken) {
  SimOptions o;
  ASSERT_TRUE(Parse({"--model", "VYR 320", "--firmware", "2.xx", "--real-version=2.07", "--k1", "--baud", "19200",
                     "--code", "", "--wire-time", "--fault", "close-line", "--fault-at", "3", "--seed=99", "--link",
                     "/tmp/panel"},
                    &o));
  EXPECT_EQ(o.config.model, "VYR 320");
  EXPECT_EQ(o.config.firmware, "2.xx");
  EXPECT_EQ(o.config.largeRealVersion, "2.07");
  EXPECT_TRUE(o.config.k1);
  EXPECT_EQ(o.config.baud, 19200);
  EXPECT_EQ(o.config.mainCode, "");
  EXPECT_TRUE(o.config.wireTime);
  EXPECT_EQ(o.config.fault.kind, FaultKind::CloseLine);
  EXPECT_EQ(o.config.fault.atExchange, 3);
  EXPECT_EQ(o.config.seed, 99u);
  EXPECT_EQ(o.linkPath, "/tmp/panel");
  ASSERT_TRUE(Parse({"--model", "VYR320"}, &o));
  EXPECT_EQ(o.config.model, "VYR 320");
}

TEST(SimOptions, FaultNames) {
  const std::pair<const char*, FaultKind> names[] = {
      {"no-echo", FaultKind::NoEcho},     {"echo-case", FaultKind::EchoCase},
      {"bad-check", FaultKind::BadCheck}, {"missing-check-byte", FaultKind::MissingCheckByte},
      {"noise", FaultKind::NoiseBeforeEcho}, {"stall", FaultKind::Stall},
      {"close-line", FaultKind::CloseLine},
  };
  for (const auto& [name, kind] : names) {
    SimOptions o;
    ASSERT_TRUE(Parse({"--fault", name}, &o)) << name;
    EXPECT_EQ(o.config.fault.kind, kind) << name;
  }
}

TEST(SimOptions, AnAdapterIsOffUnlessAskedFor) {
  SimOptions o;
  ASSERT_TRUE(Parse({}, &o));
  EXPECT_EQ(o.config.adapterLatencyMs, 0);
  EXPECT_FALSE(o.config.adapterLowLatency);
  ASSERT_TRUE(Parse({"--adapter-latency", "16"}, &o));
  EXPECT_EQ(o.config.adapterLatencyMs, 16);
  EXPECT_FALSE(o.config.adapterLowLatency);
  ASSERT_TRUE(Parse({"--adapter-latency=255", "--adapter-low-latency"}, &o));
  EXPECT_EQ(o.config.adapterLatencyMs, 255);
  EXPECT_TRUE(o.config.adapterLowLatency);
  EXPECT_NE(tarvex::sim::SimHelp().find("--adapter-latency MS"), std::string::npos);
  EXPECT_NE(tarvex::sim::SimUsage().find("--adapter-low-latency"), std::string::npos);
}

TEST(SimOptions, BadCommandLinesAreRefused) {
  const std::vector<std::vector<std::string>> bad = {
      {"--model", "VYR9"}, {"--model"},          {"--baud", "fast"}, {"--baud", "0"},   {"--code", "12a"},
      {"--code", "1234567"}, {"--fault", "smoke"}, {"--fault-at", "-1"}, {"--seed", "4294967296"},
      {"--k1=yes"},        {"--link", ""},        {"--verbose"},      {"VYR8"},
      {"--adapter-latency", "0"}, {"--adapter-latency", "256"}, {"--adapter-latency", "16ms"},
      {"--adapter-latency"}, {"--adapter-low-latency=1"},
  };
  for (const auto& args : bad) {
    SimOptions o;
    std::string error;
    EXPECT_FALSE(Parse(args, &o, &error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

#ifdef TARVEX_SIM_PATH

// Runs the program with its stdout on a pipe; returns the pid.
pid_t Spawn(const std::vector<std::string>& args, int* stdoutFd, int* stderrFd) {
  int out[2];
  int err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::close(out[0]);
    ::close(err[0]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(TARVEX_SIM_PATH));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(TARVEX_SIM_PATH, argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  *stdoutFd = out[0];
  *stderrFd = err[0];
  return pid;
}

std::string ReadLine(int fd, int timeoutMs) {
  std::string line;
  const auto t0 = std::chrono::steady_clock::now();
  for (;;) {
    const auto left = timeoutMs - std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - t0)
                                      .count();
    if (left <= 0) return line;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) return line;
    char c = 0;
    if (::read(fd, &c, 1) != 1 || c == '\n') return line;
    line.push_back(c);
  }
}

int WaitExit(pid_t pid, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    ::usleep(10000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

TEST(SimProgram, PrintsTheDeviceServesAndStopsOnSigterm) {
  const std::string link = "/tmp/tarvex-sim-test-link-" + std::to_string(::getpid());
  int out = -1;
  int err = -1;
  const pid_t pid = Spawn({"--model", "VYR32", "--code", "4321", "--link", link}, &out, &err);
  ASSERT_GT(pid, 0);
  // Waits for what must happen are generous (and stretched by
  // TARVEX_TEST_TIME_SCALE): they end as soon as it happens.
  const std::string device = ReadLine(out, static_cast<int>(tarvex::test::ScaledMs(10000)));
  ASSERT_EQ(device.rfind("/dev/pts/", 0), 0u) << device;
  char target[256] = {};
  ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), device);

  // A read of the main user's code through the link.
  const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  const uint8_t h[6] = {0xF0, 0xB4, 0x01, 0x02, 0x00, static_cast<uint8_t>(0xF0 + 0xB4 + 0x01 + 0x02)};
  ASSERT_EQ(::write(fd, h, 6), 6);
  std::vector<uint8_t> got;
  const auto t0 = std::chrono::steady_clock::now();
  while (got.size() < 10 && tarvex::test::SteadyMsSince(t0) < tarvex::test::ScaledMs(5000)) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) == 1) {
      uint8_t b[16];
      const ssize_t n = ::read(fd, b, sizeof b);
      if (n > 0) got.insert(got.end(), b, b + n);
    }
  }
  ::close(fd);
  EXPECT_EQ(got, (std::vector<uint8_t>{h[0], h[1], h[2], h[3], h[4], h[5], 0x43, 0x21, 0xFF, 0x43 + 0x21 + 0xFF - 256}));

  ::kill(pid, SIGTERM);
  EXPECT_EQ(WaitExit(pid, static_cast<int>(tarvex::test::ScaledMs(10000))), 0);
  struct stat st {};
  EXPECT_NE(::lstat(link.c_str(), &st), 0) << "link removed";
  ::close(out);
  ::close(err);
}

TEST(SimProgram, BadOptionExitsWithUsage) {
  int out = -1;
  int err = -1;
  const pid_t pid = Spawn({"--fault", "smoke"}, &out, &err);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(WaitExit(pid, static_cast<int>(tarvex::test::ScaledMs(10000))), 2);
  std::string text;
  char buf[512];
  ssize_t n = 0;
  while ((n = ::read(err, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  EXPECT_NE(text.find("usage: tarvex-panel-sim"), std::string::npos) << text;
  ::close(out);
  ::close(err);
}

#endif  // TARVEX_SIM_PATH

}  // namespace
