// The command-line tool as a user runs it, against simulated panels.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace tarvex {
namespace {

using test::StartPanel;

struct TRun {
  int exit = -1;
  std::string out;
  std::string err;
};

std::string Drain(int fd) {
  std::string s;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

// Runs tarvex-cli with the arguments; standard input is empty.
TRun RunCli(std::vector<std::string> args, const std::string& input = "") {
  int out[2], err[2], in[2];
  EXPECT_EQ(::pipe(out), 0);
  EXPECT_EQ(::pipe(err), 0);
  EXPECT_EQ(::pipe(in), 0);
  // Backups go to a folder of the test's own, never the real home.
  const std::string data = (std::filesystem::temp_directory_path() / ("tarvex-cli-data-" + std::to_string(::getpid()))).string();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1], in[0], in[1]}) ::close(fd);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(TARVEX_CLI_PATH));
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(TARVEX_CLI_PATH, argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  ::close(in[0]);
  if (!input.empty()) {
    EXPECT_EQ(::write(in[1], input.data(), input.size()), (ssize_t)input.size());
  }
  ::close(in[1]);
  TRun r;
  // Standard error is small; read it after standard output closes.
  r.out = Drain(out[0]);
  r.err = Drain(err[0]);
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(CliIdentify, PrintsTheSmallPanelsDescription) {
  auto panel = StartPanel({.model = "VYR8", .firmware = "2.10"});
  const TRun r = RunCli({"identify", "--port", panel->DevicePath()});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, "VYR8 v.2.10\n");
  EXPECT_EQ(r.err, "") << "no box, and no progress when standard error is not a terminal";
}

TEST(CliIdentify, FindsTheLargePanelAt38400) {
  auto panel = StartPanel({.model = "VYR 320", .firmware = "2.05", .baud = 38400});
  const TRun r = RunCli({"identify", "--port", panel->DevicePath()});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, "VYR 320 v.2.05\n");
}

TEST(CliIdentify, ExitsOneWhenNothingAnswers) {
  // A line where nobody answers: a pseudo-terminal with no panel behind it.
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ::grantpt(master);
  ::unlockpt(master);
  const std::string path = ::ptsname(master);
  const int keep = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  const TRun r = RunCli({"identify", "--port", path});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "") << "the check fails quietly";
  ::close(keep);
  ::close(master);
}

TEST(CliIdentify, APortInUseIsReportedInTheChosenLanguage) {
  auto panel = StartPanel({.model = "VYR8"});
  TComm holder;
  holder.Device = panel->DevicePath();
  ASSERT_TRUE(OpenComm(holder));
  const TRun r = RunCli({"--lang", "it", "identify", "--port", panel->DevicePath()});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "Warning: Errore apertura porta seriale!");
  EXPECT_NE(r.err.find("in use"), std::string::npos) << r.err;
  CloseComm(holder);
}

TEST(CliUsage, BadUsageExitsTwo) {
  EXPECT_EQ(RunCli({}).exit, 2);
  EXPECT_EQ(RunCli({"identify"}).exit, 2);
  EXPECT_EQ(RunCli({"--lang", "de", "ports"}).exit, 2);
  EXPECT_EQ(RunCli({"frobnicate"}).exit, 2);
  EXPECT_EQ(RunCli({"--help"}).exit, 0);
}

TEST(CliPorts, ListsOnlyDevicesAndSucceeds) {
  const TRun r = RunCli({"ports"});
  EXPECT_EQ(r.exit, 0);
  size_t start = 0;
  while (start < r.out.size()) {
    const size_t end = r.out.find('\n', start);
    EXPECT_EQ(r.out.compare(start, 5, "/dev/"), 0) << r.out;
    start = end == std::string::npos ? r.out.size() : end + 1;
  }
}

std::string TempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("tarvex-cli-" + std::to_string(::getpid()) + "-" + name)).string();
}

TEST(CliReadSend, ReadsASmallPanelAndSendsItIntoAnotherModel) {
  auto source = StartPanel({.model = "VYR8", .mainCode = "1357", .seed = 21});
  auto target = StartPanel({.model = "VYR16D", .firmware = "1.50", .mainCode = "2468", .seed = 22});
  const std::string out = TempPath("site.dat");
  const std::string file = TempPath("site.tvx");
  // The code comes from standard input, so it never shows in a process list.
  TRun r = RunCli({"read", "--port", source->DevicePath(), "--out", out}, "1357\n");
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, file + "\n");
  EXPECT_EQ(std::filesystem::file_size(file), 8416u);
  EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  r = RunCli({"show", file});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.out.find("VYR8 v.2.10"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("****"), std::string::npos);
  EXPECT_EQ(r.out.find("1357"), std::string::npos) << "codes stay hidden";
  r = RunCli({"show", file, "--json", "--reveal-codes"});
  ASSERT_EQ(r.exit, 0);
  EXPECT_NE(r.out.find("\"code\": \"1357\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"layout\": \"small\""), std::string::npos);

  const auto targetCodes = target->ReadMemory(sim::BlockMapFor("VYR16D")->CodesAddr, 72);
  r = RunCli({"send", "--port", target->DevicePath(), "--in", file, "--code", "2468"});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.err.find("Information: Transfer successful"), std::string::npos) << r.err;
  // The target's previous data went to a backup first, named on standard
  // output and in the box.
  ASSERT_EQ(r.out.rfind("backup: ", 0), 0u) << r.out;
  const std::string backup = r.out.substr(8, r.out.find('\n') - 8);
  EXPECT_NE(r.err.find(backup), std::string::npos);
  EXPECT_EQ(backup.find(TempPath("")), std::string::npos);
  EXPECT_NE(backup.find("/tarvex/backups/VYR16D-"), std::string::npos) << backup;
  r = RunCli({"show", backup, "--json", "--reveal-codes"});
  EXPECT_NE(r.out.find("\"code\": \"2468\""), std::string::npos) << "the target's own main user code";
  (void)targetCodes;
  // The VYR16D holds the VYR8's main user code now, packed two digits a byte.
  const auto* map = sim::BlockMapFor("VYR16D");
  EXPECT_EQ(target->ReadMemory(map->CodesAddr, 3), sim::EncodeCode("VYR16D", "1357"));
  EXPECT_EQ(target->ReadMemory(map->UserNamesAddr, 384),
            source->ReadMemory(sim::BlockMapFor("VYR8")->UserNamesAddr, 384));
  std::filesystem::remove(file);
}

TEST(CliReadSend, RefusesBadCodesBeforeTheLineIsTouched) {
  auto panel = StartPanel({.model = "VYR8"});
  const std::string out = TempPath("never");
  for (const char* code : {"1234567", "12a4", " 12"}) {
    TRun r = RunCli({"read", "--port", panel->DevicePath(), "--out", out, "--code", code});
    EXPECT_EQ(r.exit, 2) << code;
    EXPECT_NE(r.err.find("The main user code must be 0 to 6 decimal digits."), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(code), std::string::npos) << "the refused code is not repeated";
  }
  TRun r = RunCli({"read", "--port", panel->DevicePath(), "--out", out}, "99999999\n");
  EXPECT_EQ(r.exit, 2);
  EXPECT_EQ(r.err, "The main user code must be 0 to 6 decimal digits.\n");
  EXPECT_EQ(panel->ExchangeCount(), 0);
  EXPECT_FALSE(std::filesystem::exists(out + ".tvx"));
}

TEST(CliReadSend, AWrongCodeReadsNothingAndSaysWhy) {
  auto panel = StartPanel({.model = "VYR32", .mainCode = "1234"});
  const std::string out = TempPath("wrong");
  const TRun r = RunCli({"read", "--port", panel->DevicePath(), "--out", out, "--code", "4321"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("Reading error on serial port!"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(out + ".tvx"));
}

TEST(CliShow, RefusesWhatIsNotAKeyCodeFile) {
  const std::string path = TempPath("notes.txt");
  std::ofstream(path) << "hello";
  TRun r = RunCli({"--lang", "fr", "show", path});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.err, "Error: Le fichier ne contient pas de données de codes!\n");
  std::filesystem::remove(path);
  r = RunCli({"show", TempPath("missing.tvx")});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.err, "Error: File not found!\n");
}

}  // namespace
}  // namespace tarvex
