// The windows' start-up options and the line trace that every program
// opens from --trace FILE.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/start_options.h"
#include "app/version.h"

namespace tarvex {
namespace {

constexpr TWindowAbilities kQt{true};
constexpr TWindowAbilities kWin32{false};

TStartParse Parse(const std::vector<std::string>& args, const TWindowAbilities& a = kQt) {
  return ParseStartOptions(args, a);
}

TEST(StartOptions, NoneMeansTheWindowOnTheMachinesPorts) {
  const TStartParse r = Parse({});
  ASSERT_TRUE(r.Ok()) << r.error;
  EXPECT_FALSE(r.options.help || r.options.version || r.options.demo || r.options.demoAtOnce || r.options.traceData);
  EXPECT_EQ(r.options.tracePath, "");
  EXPECT_EQ(r.options.screenshotsDir, "");
}

TEST(StartOptions, DemoAtLineSpeedOrAtOnce) {
  TStartParse r = Parse({"--demo"});
  ASSERT_TRUE(r.Ok());
  EXPECT_TRUE(r.options.demo);
  EXPECT_FALSE(r.options.demoAtOnce);
  for (const TWindowAbilities& a : {kQt, kWin32}) {
    r = Parse({"--demo-fast"}, a);
    ASSERT_TRUE(r.Ok());
    EXPECT_TRUE(r.options.demo);
    EXPECT_TRUE(r.options.demoAtOnce);
  }
}

TEST(StartOptions, TraceWithItsFileEitherWay) {
  TStartParse r = Parse({"--trace", "line trace.txt", "--trace-data"});
  ASSERT_TRUE(r.Ok()) << r.error;
  EXPECT_EQ(r.options.tracePath, "line trace.txt");
  EXPECT_TRUE(r.options.traceData);
  r = Parse({"--trace-data", "--trace=t.txt", "--demo"}, kWin32);
  ASSERT_TRUE(r.Ok()) << r.error;
  EXPECT_EQ(r.options.tracePath, "t.txt");
  EXPECT_TRUE(r.options.traceData);
  EXPECT_TRUE(r.options.demo);
}

TEST(StartOptions, BadUsageSaysWhatIsWrong) {
  EXPECT_EQ(Parse({"--trace-data"}).error, "--trace-data needs --trace FILE");
  EXPECT_EQ(Parse({"--trace"}).error, "--trace needs a value");
  EXPECT_EQ(Parse({"--trace="}).error, "--trace needs a value");
  EXPECT_EQ(Parse({"--screenshots"}).error, "--screenshots needs a value");
  EXPECT_EQ(Parse({"--demo", "--bogus"}).error, "unknown option: --bogus");
  EXPECT_EQ(Parse({"demo"}).error, "unknown option: demo");
  // An option's value is taken whole, even when it looks like an option.
  const TStartParse r = Parse({"--trace", "--demo"});
  ASSERT_TRUE(r.Ok());
  EXPECT_EQ(r.options.tracePath, "--demo");
  EXPECT_FALSE(r.options.demo);
}

TEST(StartOptions, ScreenshotsWhereTheWindowCanMakeThem) {
  TStartParse r = Parse({"--screenshots", "shots"}, kQt);
  ASSERT_TRUE(r.Ok());
  EXPECT_EQ(r.options.screenshotsDir, "shots");
  r = Parse({"--screenshots=shots"}, kQt);
  EXPECT_EQ(r.options.screenshotsDir, "shots");
  // A window that cannot says so, instead of calling the option unknown.
  r = Parse({"--screenshots", "shots"}, kWin32);
  EXPECT_FALSE(r.Ok());
  EXPECT_EQ(r.error, "--screenshots: this window cannot make screenshots (the Qt window, tarvex, can)");
}

TEST(StartOptions, HelpAndVersionWinOverWhatFollows) {
  for (const char* help : {"--help", "-h", "-?", "/?"}) {
    const TStartParse r = Parse({"--demo", help, "--bogus"});
    EXPECT_TRUE(r.Ok()) << help;
    EXPECT_TRUE(r.options.help) << help;
  }
  for (const char* version : {"--version", "-v"}) {
    const TStartParse r = Parse({version, "--trace-data"});
    EXPECT_TRUE(r.Ok()) << version;
    EXPECT_TRUE(r.options.version) << version;
  }
  // What stands before them is still read.
  EXPECT_EQ(Parse({"--bogus", "--help"}).error, "unknown option: --bogus");
}

TEST(StartOptions, EachWindowsHelpListsTheOptionsItTakes) {
  const std::string qt = StartOptionsHelp("tarvex", kQt);
  const std::string win = StartOptionsHelp("tarvex.exe", kWin32);
  EXPECT_EQ(qt.rfind("tarvex [--demo | --demo-fast] [--trace FILE [--trace-data]]\ntarvex --screenshots DIR\n", 0), 0u)
      << qt;
  EXPECT_EQ(win.rfind("tarvex.exe [--demo | --demo-fast] [--trace FILE [--trace-data]]\ntarvex.exe --help | --version\n", 0),
            0u)
      << win;
  for (const std::string& text : {qt, win}) {
    for (const char* option : {"\n  --demo  ", "\n  --demo-fast  ", "\n  --trace FILE  ", "\n  --trace-data  ",
                               "\n  --version  ", "\n  --help  "})
      EXPECT_NE(text.find(option), std::string::npos) << option;
  }
  // In columns on a terminal: every text starts where the longest option
  // leaves room for it.
  EXPECT_NE(qt.find("\n  --screenshots DIR  writes pictures of the windows into DIR and ends\n"), std::string::npos);
  EXPECT_NE(qt.find("\n  --help             this text\n"), std::string::npos) << qt;
  EXPECT_EQ(win.find("--screenshots"), std::string::npos);
  // With tabs in a box.
  const std::string box = StartOptionsHelp("tarvex.exe", kWin32, THelpLayout::Tabs);
  EXPECT_NE(box.find("\n--demo-fast\tthe same panels, answering at once\n"), std::string::npos) << box;
  EXPECT_NE(box.find("\n--help\tthis text\n"), std::string::npos) << box;
}

TEST(ProgramTrace, EveryProgramOpensItTheSameWay) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("tarvex-start-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "trace.txt").string();
  std::string error;
  {
    auto trace = OpenLineTrace(path, false, "tarvex.exe", &error);
    ASSERT_TRUE(trace) << error;
  }
  std::string first;
  {
    // Closed before the folder goes: Windows keeps an open file.
    std::ifstream in(path);
    std::getline(in, first);
  }
  EXPECT_NE(first.find(std::string("tarvex.exe ") + kTarvexVersion), std::string::npos) << first;

  error.clear();
  EXPECT_FALSE(OpenLineTrace((dir / "no such folder" / "t.txt").string(), true, "tarvex", &error));
  EXPECT_FALSE(error.empty());
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  EXPECT_FALSE(ec) << ec.message();
}

TEST(ProgramTrace, TheTraceDataRuleIsOneForAll) {
  EXPECT_EQ(TraceOptionsError(false, false), "");
  EXPECT_EQ(TraceOptionsError(true, false), "");
  EXPECT_EQ(TraceOptionsError(true, true), "");
  EXPECT_EQ(TraceOptionsError(false, true), "--trace-data needs --trace FILE");
}

}  // namespace
}  // namespace tarvex
