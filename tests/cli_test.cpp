// The command-line tool as a user runs it, against simulated panels.
#include <fcntl.h>
#include <linux/capability.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/keyfile.h"
#include "app/version.h"
#include "protocol/frames.h"
#include "protocol/panel_image.h"
#include "tests/support/key_file.h"
#include "tests/support/held_port.h"
#include "tests/support/pty.h"
#include "tests/support/scratch_dir.h"
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

// How a run of tarvex-cli differs from a user's.
struct TCliSetting {
  std::vector<std::pair<std::string, std::string>> env;  // set in its environment
  // File permissions apply as to an ordinary user, even for root: the
  // capabilities that override them are dropped from its bounding set.
  bool permissionsApply = false;
};

// The exit status of a run whose permissions could not be made to apply.
constexpr int kCannotDropOverride = 125;

// The runs below give the tool a data folder of this process's own
// (XDG_DATA_HOME, so backups never reach the real home). The backups in it
// hold panel codes: the folder goes when the test program ends.
const std::string& DataFolder() {
  static const test::TScratchDir data("tarvex-cli-data");
  return data.Path();
}

// The files the runs read and write, in a folder of their own that also
// goes when the program ends.
std::string TempPath(const std::string& name) {
  static const test::TScratchDir files("tarvex-cli");
  return files / name;
}

// In a forked child: becomes tarvex-cli with the arguments.
[[noreturn]] void ExecCli(std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(TARVEX_CLI_PATH));
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::execv(TARVEX_CLI_PATH, argv.data());
  ::_exit(127);
}

// Runs tarvex-cli with the arguments; standard input is empty.
TRun RunCli(std::vector<std::string> args, const std::string& input = "", const TCliSetting& setting = {}) {
  int out[2], err[2], in[2];
  EXPECT_EQ(::pipe(out), 0);
  EXPECT_EQ(::pipe(err), 0);
  EXPECT_EQ(::pipe(in), 0);
  // Backups go to a folder of the test's own, never the real home.
  const std::string data = DataFolder();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    for (const auto& [name, value] : setting.env) ::setenv(name.c_str(), value.c_str(), 1);
    if (setting.permissionsApply && ::geteuid() == 0 &&
        (::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
         ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0))
      ::_exit(kCannotDropOverride);
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1], in[0], in[1]}) ::close(fd);
    ExecCli(args);
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

// Runs tarvex-cli with standard output and standard error on one terminal,
// as an installer sees it; returns everything the terminal received.
TRun RunCliOnTerminal(std::vector<std::string> args) {
  test::TPty terminal(test::TPty::SlaveHeld);
  EXPECT_GE(terminal.Slave(), 0);
  const int master = terminal.Master();
  const int slave = terminal.Slave();
  const std::string data = DataFolder();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    ::dup2(slave, 1);
    ::dup2(slave, 2);
    ::close(master);
    ::close(slave);
    ::close(null);
    ExecCli(args);
  }
  terminal.CloseSlave();
  TRun r;
  // Read until the program's side closes (EIO once no one holds the slave).
  char buf[4096];
  ssize_t n;
  while ((n = ::read(master, buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
  terminal.CloseMaster();
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// What stays visible on the terminal's last lines: each carriage return
// starts the line again and "erase to end of line" clears what was there.
std::vector<std::string> VisibleLines(const std::string& raw) {
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw.compare(i, 3, "\033[K") == 0) {
      i += 2;
      continue;  // the line is cleared from the cursor, which a \r put at 0
    }
    if (raw.compare(i, 2, "\r\n") == 0) {
      lines.emplace_back();  // the terminal's own line end
      ++i;
    } else if (raw[i] == '\r') {
      lines.back().clear();
    } else if (raw[i] == '\n') {
      lines.emplace_back();
    } else {
      lines.back().push_back(raw[i]);
    }
  }
  return lines;
}

// This process's name as the system shows it to other programs.
std::string OwnName() {
  std::ifstream in("/proc/self/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

TEST(CliIdentify, OnATerminalTheDescriptionStandsOnALineOfItsOwn) {
  auto panel = StartPanel({.model = "VYR8", .firmware = "2.10"});
  const TRun r = RunCliOnTerminal({"identify", "--port", panel->DevicePath()});
  EXPECT_EQ(r.exit, 0) << r.out;
  EXPECT_NE(r.out.find("] Ready"), std::string::npos) << "the progress line was drawn";
  EXPECT_EQ(VisibleLines(r.out), (std::vector<std::string>{"VYR8 v.2.10", ""})) << r.out;

  // A failed check leaves no progress line open, neither under the reason
  // it prints nor for the shell's prompt.
  test::THeldPort holder(panel->DevicePath());
  ASSERT_TRUE(holder.ok);
  const TRun failed = RunCliOnTerminal({"identify", "--port", panel->DevicePath()});
  holder.Release();
  EXPECT_EQ(failed.exit, 1);
  const std::vector<std::string> lines = VisibleLines(failed.out);
  ASSERT_EQ(lines.size(), 4u) << failed.out;
  EXPECT_EQ(lines[0], "Warning: Error opening Com port!");
  // The box's second line names the holder: this test's process.
  EXPECT_EQ(lines[1], OwnName() + " (pid " + std::to_string(::getpid()) +
                          ") is using the port; close it or stop that service.");
  EXPECT_EQ(lines[2].find('['), std::string::npos) << lines[2];
  EXPECT_EQ(lines[2], panel->DevicePath() + ": the port is in use by another program");
  EXPECT_EQ(lines[3], "");
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
  const test::TPty line(test::TPty::SlaveHeld);
  ASSERT_TRUE(line.Ok());
  const std::string path = line.Path();
  const TRun r = RunCli({"identify", "--port", path});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "") << "the check fails quietly";
}

TEST(CliIdentify, APortInUseIsReportedInTheChosenLanguage) {
  auto panel = StartPanel({.model = "VYR8"});
  test::THeldPort holder(panel->DevicePath());
  ASSERT_TRUE(holder.ok);
  const TRun r = RunCli({"--lang", "it", "identify", "--port", panel->DevicePath()});
  EXPECT_EQ(r.exit, 1);
  // The box with its second line, then why the port could not be opened:
  // every line in Italian.
  EXPECT_EQ(r.err, "Warning: Errore apertura porta seriale!\n" + OwnName() + " (pid " + std::to_string(::getpid()) +
                       ") sta usando la porta: chiuderlo o fermare quel servizio.\n" + panel->DevicePath() +
                       ": la porta è usata da un altro programma\n");
  holder.Release();
}

TEST(CliIdentify, AVanishedDeviceIsReportedInTheChosenLanguage) {
  const std::string gone = "/dev/ttyUSB-tarvex-" + std::to_string(::getpid());
  const TRun r = RunCli({"--lang", "fr", "identify", "--port", gone});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.err, "Warning: Erreur d'ouverture du port Com!\n"
                   "L'adaptateur a été débranché ? Rebranchez-le et réessayez.\n" +
                       gone + ": port série inexistant\n");
}

TEST(CliUsage, BadUsageExitsTwo) {
  EXPECT_EQ(RunCli({}).exit, 2);
  EXPECT_EQ(RunCli({"identify"}).exit, 2);
  EXPECT_EQ(RunCli({"--lang", "de", "ports"}).exit, 2);
  EXPECT_EQ(RunCli({"frobnicate"}).exit, 2);
  EXPECT_EQ(RunCli({"--help"}).exit, 0);
}

// A device folder and a sysfs tree of the test's own, as the kernel lays
// them out, for the CLI's hidden TARVEX_DEVICE_DIR and TARVEX_SYSFS_ROOT.
class CliPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.Ok());
    root_ = scratch_.Folder();
    std::filesystem::create_directories(root_ / "dev");
    // A USB serial converter: its port's tty under the USB interface, the
    // USB device's attributes two levels above the port.
    const std::filesystem::path usb = root_ / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
    const std::filesystem::path tty = usb / "1-1:1.0/ttyUSB0/tty/ttyUSB0";
    std::filesystem::create_directories(tty);
    std::filesystem::create_directories(root_ / "sys/class/tty");
    for (const auto& [file, text] : std::vector<std::pair<std::string, std::string>>{
             {"idVendor", "0403"}, {"idProduct", "6001"}, {"manufacturer", "FTDI"},
             {"product", "FT232R USB UART"}, {"serial", "A50285BI"}})
      std::ofstream(usb / file) << text << "\n";
    std::filesystem::create_symlink("../../../ttyUSB0", tty / "device");
    std::filesystem::create_symlink("../../devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0",
                                    root_ / "sys/class/tty/ttyUSB0");
  }

  // A pseudo-terminal's slave, reached from the device folder as name.
  std::string Pty(const std::string& name) {
    ptys_.push_back(std::make_unique<test::TPty>());
    EXPECT_TRUE(ptys_.back()->Ok());
    const std::string slave = ptys_.back()->Path();
    std::filesystem::create_symlink(slave, root_ / "dev" / name);
    return slave;
  }

  TCliSetting Setting() const {
    TCliSetting s;
    s.env = {{"TARVEX_DEVICE_DIR", (root_ / "dev").string()}, {"TARVEX_SYSFS_ROOT", (root_ / "sys").string()}};
    s.permissionsApply = true;
    return s;
  }
  std::string Dev(const std::string& name) const { return (root_ / "dev" / name).string(); }

  test::TScratchDir scratch_{"tarvex-cli-ports"};
  std::filesystem::path root_;
  std::vector<std::unique_ptr<test::TPty>> ptys_;
};

TEST_F(CliPorts, ListsTheDevicesOfTheFolderItIsPointedAt) {
  Pty("ttyUSB0");
  const std::string held = Pty("ttyUSB1");
  // A device this user may not open: no one may, the owner neither.
  ASSERT_EQ(::chmod(Pty("ttyACM0").c_str(), 0), 0);
  std::ofstream(root_ / "dev/ttyS3") << "";  // a plain file: not a port
  std::ofstream(root_ / "dev/console") << "";
  test::THeldPort holder(held);
  ASSERT_TRUE(holder.ok);

  TRun r = RunCli({"ports"}, "", Setting());
  if (r.exit == kCannotDropOverride) GTEST_SKIP() << "root's permission override cannot be dropped here";
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, Dev("ttyACM0") + " - no permission\n" + Dev("ttyUSB0") +
                       " - FTDI FT232R USB UART (0403:6001, A50285BI)\n" + Dev("ttyUSB1") + " - Already open\n");
  EXPECT_EQ(r.err, "");

  r = RunCli({"--lang", "it", "ports"}, "", Setting());
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, Dev("ttyACM0") + " - permesso negato\n" + Dev("ttyUSB0") +
                       " - FTDI FT232R USB UART (0403:6001, A50285BI)\n" + Dev("ttyUSB1") + " - In uso\n");

  r = RunCli({"ports", "--json"}, "", Setting());
  holder.Release();
  EXPECT_EQ(r.exit, 0) << r.err;
  const nlohmann::json list = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_TRUE(list.is_array()) << r.out;
  ASSERT_EQ(list.size(), 3u) << r.out;
  EXPECT_EQ(list[0], nlohmann::json({{"path", Dev("ttyACM0")},
                                     {"description", nullptr},
                                     {"vid", nullptr},
                                     {"pid", nullptr},
                                     {"serial", nullptr},
                                     {"state", "no permission"}}));
  EXPECT_EQ(list[1], nlohmann::json({{"path", Dev("ttyUSB0")},
                                     {"description", "FTDI FT232R USB UART"},
                                     {"vid", "0403"},
                                     {"pid", "6001"},
                                     {"serial", "A50285BI"},
                                     {"state", "free"}}));
  EXPECT_EQ(list[2]["path"], Dev("ttyUSB1"));
  EXPECT_EQ(list[2]["state"], "in use");
  EXPECT_TRUE(list[2]["vid"].is_null());
  // The fields in the order documented.
  EXPECT_LT(r.out.find("\"path\""), r.out.find("\"description\""));
  EXPECT_LT(r.out.find("\"serial\""), r.out.find("\"state\""));
}

TEST_F(CliPorts, DescriptionsThatAreNotUtf8StillGiveAJsonList) {
  // A maker's text with a byte that is not UTF-8, and a product name cut
  // by the kernel in the middle of a character.
  const std::filesystem::path usb = root_ / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
  std::ofstream(usb / "manufacturer") << "Acme\xFF" << "\n";
  std::ofstream(usb / "product") << std::string(125, 'p') << "\xC3\xA9\n";
  Pty("ttyUSB0");
  const TRun r = RunCli({"ports", "--json"}, "", Setting());
  if (r.exit == kCannotDropOverride) GTEST_SKIP() << "root's permission override cannot be dropped here";
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const nlohmann::json list = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_TRUE(list.is_array()) << r.out;
  ASSERT_EQ(list.size(), 1u) << r.out;
  EXPECT_EQ(list[0]["description"], "Acme\xEF\xBF\xBD " + std::string(125, 'p'));
  EXPECT_EQ(list[0]["state"], "free");
}

TEST_F(CliPorts, AnEmptyFolderListsNothing) {
  TRun r = RunCli({"ports"}, "", Setting());
  if (r.exit == kCannotDropOverride) GTEST_SKIP() << "root's permission override cannot be dropped here";
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, "");
  r = RunCli({"ports", "--json"}, "", Setting());
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, "[]\n");
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

TEST(CliReadSend, ACodeStoredNowhereIsRefusedAsInvalidAndNothingIsSaved) {
  auto panel = StartPanel({.model = "VYR32", .mainCode = "1234"});
  const std::string out = TempPath("wrong");
  const TRun r = RunCli({"read", "--port", panel->DevicePath(), "--out", out, "--code", "4321"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "");
  // Every read worked: the status names the code, not the line.
  EXPECT_EQ(r.err, "Invalid code!\n");
  EXPECT_FALSE(std::filesystem::exists(out + ".tvx"));
  // In the language chosen.
  const TRun it = RunCli({"--lang", "it", "read", "--port", panel->DevicePath(), "--out", out, "--code", "4321"});
  EXPECT_EQ(it.exit, 1);
  EXPECT_EQ(it.err, "Codice non valido!\n");
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
  r = RunCli({"--lang", "it", "show", TempPath("missing.tvx")});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.err, "Error: File non trovato!\n");
}

// --trace, before the subcommand: the line trace of a connection check, in a
// file of the owner's only, without the identification block's bytes.
TEST(CliTrace, IdentifyWritesTheLineTrace) {
  auto panel = StartPanel({.model = "VYR8", .firmware = "2.10"});
  const std::string trace = TempPath("identify.trace");
  std::filesystem::remove(trace);
  TRun r = RunCli({"--trace", trace, "identify", "--port", panel->DevicePath()});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, "VYR8 v.2.10\n");
  ASSERT_TRUE(std::filesystem::exists(trace));
  EXPECT_EQ(std::filesystem::status(trace).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  std::vector<std::string> lines;
  {
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  ASSERT_GE(lines.size(), 3u);
  const std::string first = std::string("# Tarvex line trace by tarvex-cli ") + kTarvexVersion + ", started ";
  EXPECT_EQ(lines[0].rfind(first, 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(" UTC. It holds no user codes"), std::string::npos) << lines[0];
  // Every event line: the time, right-aligned in eight places, and the
  // direction; times never go back.
  long long previous = 0;
  for (size_t i = 2; i < lines.size(); ++i) {
    ASSERT_GE(lines[i].size(), 12u) << lines[i];
    const long long ms = std::stoll(lines[i].substr(0, 8));
    EXPECT_GE(ms, previous) << lines[i];
    previous = ms;
    const std::string dir = lines[i].substr(9, 2);
    EXPECT_TRUE(dir == "TX" || dir == "RX" || dir == "--") << lines[i];
  }
  auto has = [&](const std::string& text) {
    for (size_t i = 2; i < lines.size(); ++i)
      if (lines[i].substr(12) == text) return true;
    return false;
  };
  EXPECT_TRUE(has("port opened: " + panel->DevicePath() + ", 9600 baud 8E1 (8 data bits, even parity, 1 stop bit)"));
  EXPECT_TRUE(has("header F0 00 00 0B 00 FB: read 12 bytes at 0 (0x0000)"));
  EXPECT_TRUE(has("echo F0 00 00 0B 00 FB: matches the header"));
  EXPECT_TRUE(has("12 data bytes"));
  EXPECT_TRUE(has("sum 3A: good"));
  EXPECT_EQ(lines.back().substr(12), "port closed: " + panel->DevicePath() + ", 9600 baud 8E1");

  // --trace-data alone is bad usage; a trace that cannot be made stops the
  // command before the port is opened.
  r = RunCli({"--trace-data", "identify", "--port", panel->DevicePath()});
  EXPECT_EQ(r.exit, 2);
  const int exchanges = panel->ExchangeCount();
  const std::string link = TempPath("trace-link");
  std::filesystem::remove(link);
  std::filesystem::create_symlink(trace, link);
  const std::uintmax_t size = std::filesystem::file_size(trace);
  r = RunCli({"--trace", link, "identify", "--port", panel->DevicePath()});
  EXPECT_EQ(r.exit, 2);
  EXPECT_EQ(r.err, "Cannot write the line trace: " + link + ": a symbolic link, not followed\n");
  EXPECT_EQ(std::filesystem::file_size(trace), size) << "the file behind the link is left alone";
  EXPECT_EQ(panel->ExchangeCount(), exchanges);
  std::filesystem::remove(link);
  std::filesystem::remove(trace);
}

// ---------------------------------------------------------------------------
// Backups: the list, and putting one back

// A data folder of its own, so that the backups other tests leave do not
// count.
TCliSetting OwnData(const test::TScratchDir& data) { return {{{"XDG_DATA_HOME", data.Path()}}, false}; }

TEST(CliBackups, ListsTheBackupsNewestFirstAndNothingElse) {
  const test::TScratchDir data("tarvex-cli-backups");
  const std::filesystem::path folder = std::filesystem::path(data.Path()) / "tarvex" / "backups";
  TRun r = RunCli({"backups"}, "", OwnData(data));
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, "") << "no folder yet: no backups";
  std::filesystem::create_directories(folder);
  const auto put = [&folder](const std::string& name, size_t size) {
    std::ofstream(folder / name, std::ios::binary) << std::string(size, 'x');
  };
  put("VYR8-20261201-101010.tvx", 8416);
  put("VYR8-20261208-090000.tvx", 8416);
  put("VYR8-20261208-090000-2.tvx", 8416);
  put("VYR320-20261205-000000.tvx", 920496);
  put("notes.txt", 5);
  put("VYR8-2026120-090000.tvx", 1);  // not a name the program gives
  r = RunCli({"backups"}, "", OwnData(data));
  ASSERT_EQ(r.exit, 0) << r.err;
  const std::string f = folder.string() + "/";
  EXPECT_EQ(r.out, "2026-12-08 09:00:00 UTC  VYR8  8416 bytes  " + f + "VYR8-20261208-090000-2.tvx\n"
                   "2026-12-08 09:00:00 UTC  VYR8  8416 bytes  " + f + "VYR8-20261208-090000.tvx\n"
                   "2026-12-05 00:00:00 UTC  VYR320  920496 bytes  " + f + "VYR320-20261205-000000.tvx\n"
                   "2026-12-01 10:10:10 UTC  VYR8  8416 bytes  " + f + "VYR8-20261201-101010.tvx\n");
  r = RunCli({"backups", "--json"}, "", OwnData(data));
  ASSERT_EQ(r.exit, 0) << r.err;
  const nlohmann::json list = nlohmann::json::parse(r.out);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[2]["model"], "VYR320");
  EXPECT_EQ(list[2]["size"], 920496);
  EXPECT_EQ(list[2]["date"], "2026-12-05 00:00:00 UTC");
  EXPECT_EQ(list[0]["path"], f + "VYR8-20261208-090000-2.tvx");
}

TEST(CliRestore, PutsTheNewestBackupOfThePanelsModelBack) {
  const test::TScratchDir data("tarvex-cli-restore");
  auto source = StartPanel({.model = "VYR32", .mainCode = "1357", .seed = 31});
  auto target = StartPanel({.model = "VYR32", .mainCode = "2468", .seed = 32});
  const auto* map = sim::BlockMapFor("VYR32");
  const auto codesBefore = target->ReadMemory(map->CodesAddr, 72);
  const auto namesBefore = target->ReadMemory(map->UserNamesAddr, map->UserNamesLen);
  const std::string file = TempPath("restore-source");
  TRun r = RunCli({"read", "--port", source->DevicePath(), "--out", file, "--code", "1357"}, "", OwnData(data));
  ASSERT_EQ(r.exit, 0) << r.err;
  // Nothing to restore yet.
  r = RunCli({"restore", "--port", target->DevicePath(), "--code", "2468"}, "", OwnData(data));
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find("No backup of a VYR32 in " + data.Path() + "/tarvex/backups."), std::string::npos) << r.err;

  r = RunCli({"send", "--port", target->DevicePath(), "--in", file + ".tvx", "--code", "2468"}, "", OwnData(data));
  ASSERT_EQ(r.exit, 0) << r.err;
  const std::string backup = r.out.substr(8, r.out.find('\n') - 8);
  ASSERT_NE(target->ReadMemory(map->UserNamesAddr, map->UserNamesLen), namesBefore) << "the send changed the panel";

  // The panel's main user code is now the sent file's.
  const int exchanges = target->ExchangeCount();
  r = RunCli({"restore", "--port", target->DevicePath()}, "1357\n", OwnData(data));
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out.rfind("restoring: " + backup + "\n", 0), 0u) << r.out;
  EXPECT_EQ(r.out.find("backup: "), std::string::npos) << "no new backup over the one being restored";
  EXPECT_NE(r.err.find("Information: Transfer successful"), std::string::npos) << r.err;
  EXPECT_GT(target->ExchangeCount(), exchanges);
  EXPECT_EQ(target->ReadMemory(map->CodesAddr, 72), codesBefore);
  EXPECT_EQ(target->ReadMemory(map->UserNamesAddr, map->UserNamesLen), namesBefore);
  r = RunCli({"backups"}, "", OwnData(data));
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;

  // A backup named on the command line, in another language.
  r = RunCli({"--lang", "it", "restore", "--port", target->DevicePath(), "--backup", backup, "--code", "2468"}, "",
             OwnData(data));
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.err.find("Information: Dati trasferiti con successo!"), std::string::npos) << r.err;
  std::filesystem::remove(file + ".tvx");
}


// ---------------------------------------------------------------------------
// Files: edit, diff, show --csv

using Bytes = std::vector<uint8_t>;

Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The image a key-code file holds.
Bytes ImageOf(const std::string& path) {
  Bytes image;
  std::string error;
  EXPECT_TRUE(DecodeKeyCodeFile(path, &image, &error)) << error;
  return image;
}

// A small panel's data as a read leaves it: user 0 the main user with code
// 1234, user 1 BOB with 5678, user 2 CAROL without a code; keys 0 and 1
// named and in use. Other bytes keep a pattern, so that a stray write
// shows.
SmallPanelImage SiteImage() {
  SmallPanelImage img;
  auto bytes = img.Bytes();
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13 + 5);
  SetImageModel(bytes, 24);
  SetImageFirmware(bytes, 2.10);
  SetImageDescription(bytes, "VYR8 v.2.10");
  for (size_t u = 0; u < kUserCount; ++u) {
    UserEntry e = img.User(u);
    e.SetName("");
    for (size_t a = 0; a < kUserAttrSize; ++a) e.SetAttr(a, 0);
    e.SetCode("FFFFFFFF");
  }
  img.User(0).SetName("ALICE");
  img.User(0).SetAttr(0, 1);
  img.User(0).SetCode("1234FFFF");
  img.User(1).SetName("BOB");
  img.User(1).SetCode("5678FFFF");
  img.User(2).SetName("CAROL");
  for (size_t k = 0; k < kKeyCount; ++k) {
    KeyEntry e = img.Key(k);
    e.ClearName();
    e.SetValue(0);
    e.SetFlags(0);
    e.SetFlags23(0);
  }
  img.Key(0).SetName("FRONT DOOR");
  img.Key(0).SetValue(0x11);
  img.Key(1).SetName("GARAGE");
  img.Key(1).SetFlags(0xC3);
  return img;
}

std::string WriteSite(const std::string& name, const SmallPanelImage& img = SiteImage()) {
  const std::string path = TempPath(name);
  EXPECT_TRUE(test::WriteKeyFile(path, img.Bytes(), 77));
  return path;
}

TEST(CliEdit, SavesEveryChangeAndMovesNoOtherByte) {
  const std::string file = WriteSite("edit-all.tvx");
  const TRun r = RunCli({"edit", file, "--user", "1", "--name", "ROBERT", "--user", "2", "--code-stdin", "--user", "3",
                         "--clear", "--key", "0", "--name", "PORTE \u00e9", "--user", "4", "--code-stdin"},
                        "860412\n77\n");
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, file + "\n");
  EXPECT_EQ(r.err, "");
  // The image as the panel's own layout says it should be.
  SmallPanelImage expected = SiteImage();
  expected.User(1).SetName("ROBERT");
  expected.User(2).SetCode("860412FF");
  expected.User(3).SetName("");
  expected.User(3).SetCode("FFFFFFFF");
  expected.Key(0).SetName("PORTE \xE9");
  expected.User(4).SetCode("77FFFFFF");
  EXPECT_EQ(ImageOf(file), Bytes(expected.Bytes().begin(), expected.Bytes().end()));
  EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  // No code on standard output or standard error.
  EXPECT_EQ((r.out + r.err).find("860412"), std::string::npos);
}

TEST(CliEdit, OutLeavesTheOriginalAlone) {
  const std::string file = WriteSite("edit-out.tvx");
  const Bytes before = FileBytes(file);
  const std::string out = TempPath("edit-out-new.tvx");
  const TRun r = RunCli({"edit", file, "--out", out, "--user", "0", "--code-stdin"}, "4321\n");
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, out + "\n");
  EXPECT_EQ(FileBytes(file), before);
  SmallPanelImage expected = SiteImage();
  expected.User(0).SetCode("4321FFFF");
  EXPECT_EQ(ImageOf(out), Bytes(expected.Bytes().begin(), expected.Bytes().end()));
}

TEST(CliEdit, ARefusedChangeLeavesTheFileUntouchedAndSaysWhy) {
  const std::string file = WriteSite("edit-refused.tvx");
  const Bytes before = FileBytes(file);
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string err;
  } cases[] = {
      {{"--user", "1", "--name", "ABCDEFGHIJKLMNOPQ"}, "", "user 1: A name has at most 16 characters.\n"},
      {{"--user", "1", "--name", "A\tB"}, "", "user 1: A name cannot hold control characters.\n"},
      {{"--user", "1", "--name", " BOB"}, "", "user 1: A name cannot start or end with a space.\n"},
      {{"--key", "1", "--name", "SHED "}, "", "key 1: A name cannot start or end with a space.\n"},
      {{"--user", "1", "--name", "\u03a9MEGA"}, "", "user 1: The name holds a character the panel cannot store.\n"},
      {{"--user", "1", "--code-stdin"}, "12a\n", "user 1: A code is 0 to 6 decimal digits.\n"},
      {{"--user", "1", "--code-stdin"}, "1234567\n", "user 1: A code is 0 to 6 decimal digits.\n"},
      {{"--key", "16", "--name", "X"}, "", "key 16: Only keys 0 to 15 have names.\n"},
      {{"--user", "0", "--clear"}, "",
       "No main user would have a code: the panel could not be opened again with this tool.\n"},
      {{"--user", "0", "--code-stdin"}, "\n",
       "No main user would have a code: the panel could not be opened again with this tool.\n"},
      // All or none: the good first change is not saved either.
      {{"--user", "1", "--name", "ROBERT", "--user", "2", "--name", "CAROL "}, "",
       "user 2: A name cannot start or end with a space.\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"edit", file};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const TRun r = RunCli(args, c.input);
    EXPECT_EQ(r.exit, 2) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(FileBytes(file), before) << c.err;
  }
  // In the language chosen.
  TRun r = RunCli({"--lang", "it", "edit", file, "--user", "0", "--clear"});
  EXPECT_EQ(r.exit, 2);
  EXPECT_EQ(r.err,
            "Nessun utente principale avrebbe un codice: la centrale non si potrebbe più aprire con questo programma.\n");
  r = RunCli({"--lang", "fr", "edit", file, "--user", "1", "--name", " X"});
  EXPECT_EQ(r.exit, 2);
  EXPECT_EQ(r.err, "user 1: Le nom ne peut pas commencer ou finir par une espace.\n");
  EXPECT_EQ(FileBytes(file), before);
}

TEST(CliEdit, ACodeTypedOnATerminalIsNotEchoed) {
  const std::string file = WriteSite("edit-terminal.tvx");
  test::TPty terminal(test::TPty::SlaveHeld);
  ASSERT_TRUE(terminal.Ok());
  // A terminal as a shell leaves it: lines, and every key echoed.
  termios mode{};
  ASSERT_EQ(::tcgetattr(terminal.Slave(), &mode), 0);
  mode.c_lflag |= ECHO | ICANON;
  mode.c_iflag |= ICRNL;
  ASSERT_EQ(::tcsetattr(terminal.Slave(), TCSANOW, &mode), 0);
  const std::string data = DataFolder();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    for (int fd : {0, 1, 2}) ::dup2(terminal.Slave(), fd);
    ::close(terminal.Master());
    ::close(terminal.Slave());
    std::vector<std::string> args = {"edit", file, "--user", "1", "--code-stdin"};
    ExecCli(args);
  }
  terminal.CloseSlave();
  std::string seen;
  char buf[256];
  ssize_t n;
  // The code is typed once the prompt shows, when the echo is already off.
  const std::string prompt = "New code for user 1: ";
  while (seen.find(prompt) == std::string::npos && (n = ::read(terminal.Master(), buf, sizeof buf)) > 0)
    seen.append(buf, static_cast<size_t>(n));
  ASSERT_NE(seen.find(prompt), std::string::npos) << seen;
  ASSERT_TRUE(terminal.Send("864209\r"));
  while ((n = ::read(terminal.Master(), buf, sizeof buf)) > 0) seen.append(buf, static_cast<size_t>(n));
  terminal.CloseMaster();
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << seen;
  EXPECT_EQ(seen.find("864209"), std::string::npos) << "the code was echoed: " << seen;
  SmallPanelImage expected = SiteImage();
  expected.User(1).SetCode("864209FF");
  EXPECT_EQ(ImageOf(file), Bytes(expected.Bytes().begin(), expected.Bytes().end()));
}

TEST(CliEdit, BadUsageAndFileErrors) {
  const std::string file = WriteSite("edit-usage.tvx");
  const Bytes before = FileBytes(file);
  // A code is never taken from the command line.
  EXPECT_EQ(RunCli({"edit", file, "--user", "1", "--code", "1111"}).exit, 2);
  // A row without a change, a change without a row, a number out of range,
  // a key given something only users have, no change at all, no line for
  // the code.
  TRun r = RunCli({"edit", file, "--user", "1"});
  EXPECT_EQ(r.exit, 2);
  EXPECT_EQ(r.err, "--user 1 changes nothing: give --name, --code-stdin or --clear after it.\n");
  r = RunCli({"edit", file, "--name", "X", "--user", "1"});
  EXPECT_EQ(r.exit, 2);
  EXPECT_EQ(r.err, "Name the user (--user N) or the key (--key N) before what changes.\n");
  r = RunCli({"edit", file, "--user", "24", "--name", "X"});
  EXPECT_EQ(r.exit, 2);
  EXPECT_EQ(r.err, "--user takes a number from 0 to 23.\n");
  EXPECT_EQ(RunCli({"edit", file, "--user", "-1", "--name", "X"}).exit, 2);
  r = RunCli({"edit", file, "--key", "2", "--clear"});
  EXPECT_EQ(r.exit, 2);
  EXPECT_EQ(r.err, "A key's name is all that can be changed (--key N --name TEXT).\n");
  EXPECT_EQ(RunCli({"edit", file}).exit, 2);
  r = RunCli({"edit", file, "--user", "1", "--code-stdin", "--user", "2", "--code-stdin"}, "1111\n");
  EXPECT_EQ(r.exit, 2);
  EXPECT_EQ(r.err, "No line on standard input for the new code of user 2.\n");
  EXPECT_EQ(FileBytes(file), before);

  // File errors exit 1.
  r = RunCli({"edit", TempPath("edit-missing.tvx"), "--user", "1", "--name", "X"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.err, "Error: File not found!\n");
  const std::string notes = TempPath("edit-notes.txt");
  std::ofstream(notes) << "hello";
  EXPECT_EQ(RunCli({"edit", notes, "--user", "1", "--name", "X"}).exit, 1);
  r = RunCli({"edit", file, "--out", TempPath("no-such-folder/new.tvx"), "--user", "1", "--name", "X"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find("no-such-folder"), std::string::npos) << r.err;
  EXPECT_EQ(FileBytes(file), before);
  // A large panel's file has nothing to edit.
  LargePanelImage large;
  const std::string largeFile = TempPath("edit-large.tvx");
  ASSERT_TRUE(test::WriteKeyFile(largeFile, large.Bytes(), 5));
  const Bytes largeBefore = FileBytes(largeFile);
  r = RunCli({"edit", largeFile, "--user", "1", "--name", "X"});
  EXPECT_EQ(r.exit, 2);
  EXPECT_EQ(r.err, "This data can only be viewed.\n");
  EXPECT_EQ(FileBytes(largeFile), largeBefore);
}

TEST(CliDiff, EqualDifferentAndErrorsExitAsDiff) {
  const std::string a = WriteSite("diff-a.tvx");
  TRun r = RunCli({"diff", a, a});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, "");

  SmallPanelImage other = SiteImage();
  other.User(1).SetName("ROBERT");
  other.User(1).SetCode("246810FF");
  other.User(2).SetAttr(0, 1);
  other.Key(1).SetFlags(0x03);
  other.Key(5).SetValue(0x20);
  other.KeyData()[10] ^= 0xFF;
  SetImageDescription(other.Bytes(), "VYR8 v.2.11");
  const std::string b = WriteSite("diff-b.tvx", other);
  r = RunCli({"diff", a, b});
  EXPECT_EQ(r.exit, 1) << r.err;
  EXPECT_EQ(r.out,
            "description: \"VYR8 v.2.10\" -> \"VYR8 v.2.11\"\n"
            "user 1: name \"BOB\" -> \"ROBERT\"\n"
            "user 1: code changed: **** -> ******\n"
            "user 2: main no -> yes\n"
            "user 2: attributes 00 00 00 00 00 00 00 00 00 00 -> 01 00 00 00 00 00 00 00 00 00\n"
            "key 1: flags 0xC3 -> 0x03\n"
            "key 5: value 0x00 -> 0x20\n"
            "key data: 1 byte differs\n");
  EXPECT_EQ(r.out.find("5678"), std::string::npos);
  EXPECT_EQ(r.out.find("246810"), std::string::npos);

  r = RunCli({"diff", a, b, "--reveal-codes"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.out.find("user 1: code changed: 5678 -> 246810\n"), std::string::npos) << r.out;

  r = RunCli({"diff", a, b, "--json"});
  EXPECT_EQ(r.exit, 1);
  const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_TRUE(j.is_object()) << r.out;
  EXPECT_EQ(j["equal"], false);
  EXPECT_EQ(j["layout"], "small");
  ASSERT_EQ(j["differences"].size(), 8u);
  EXPECT_EQ(j["differences"][1], nlohmann::json({{"what", "user"}, {"number", 1}, {"field", "name"},
                                                 {"before", "BOB"}, {"after", "ROBERT"}}));
  EXPECT_EQ(j["differences"][2]["before"], "****");
  EXPECT_EQ(j["differences"][7], nlohmann::json({{"what", "keyData"}, {"field", "bytes"}, {"bytes", 1}}));
  r = RunCli({"diff", a, a, "--json"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(nlohmann::json::parse(r.out)["equal"], true);

  // The large layout, record by record; the two layouts are an error.
  LargePanelImage large;
  const std::string la = TempPath("diff-large-a.tvx");
  ASSERT_TRUE(test::WriteKeyFile(la, large.Bytes(), 5));
  large.Region(1)[3 * 88 + 2] = 0;
  large.Region(1)[3 * 88 + 7] = 0;
  large.Region(6)[499 * 24] = 0;
  const std::string lb = TempPath("diff-large-b.tvx");
  ASSERT_TRUE(test::WriteKeyFile(lb, large.Bytes(), 6));
  r = RunCli({"diff", la, lb});
  EXPECT_EQ(r.exit, 1) << r.err;
  EXPECT_EQ(r.out, "region 1, record 3: 2 bytes differ\nregion 6, record 499: 1 byte differs\n");
  r = RunCli({"diff", a, la});
  EXPECT_EQ(r.exit, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, a + " holds a small panel's data and " + la +
                       " a large panel's data: files of the two layouts cannot be compared.\n");
  r = RunCli({"diff", a, TempPath("diff-missing.tvx")});
  EXPECT_EQ(r.exit, 2);
  EXPECT_EQ(r.err, "Error: File not found!\n");
}

TEST(CliShow, CsvForTheCustomersRecords) {
  SmallPanelImage img = SiteImage();
  img.User(2).SetName("SMITH, \"JR\"");
  // Names a spreadsheet would run as formulas stay text.
  img.User(3).SetName("=HYPERLINK(1)");
  img.User(4).SetName("-1+2");
  img.User(5).SetName("@SUM(A1)");
  const std::string file = WriteSite("show-csv.tvx", img);
  TRun r = RunCli({"show", file, "--csv"});
  ASSERT_EQ(r.exit, 0) << r.err;
  std::vector<std::string> lines;
  {
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 1u + 24u + 128u) << r.out;
  EXPECT_EQ(lines[0], "kind,number,name,main,code,attributes,value,flags,flags23,in_use");
  EXPECT_EQ(lines[1], "user,0,ALICE,yes,****,01 00 00 00 00 00 00 00 00 00,,,,");
  EXPECT_EQ(lines[3], "user,2,\"SMITH, \"\"JR\"\"\",no,,00 00 00 00 00 00 00 00 00 00,,,,");
  EXPECT_EQ(lines[4], "user,3,'=HYPERLINK(1),no,,00 00 00 00 00 00 00 00 00 00,,,,");
  EXPECT_EQ(lines[5], "user,4,'-1+2,no,,00 00 00 00 00 00 00 00 00 00,,,,");
  EXPECT_EQ(lines[6], "user,5,'@SUM(A1),no,,00 00 00 00 00 00 00 00 00 00,,,,");
  EXPECT_EQ(lines[25], "key,0,FRONT DOOR,,,,0x11,0x00,0x00,yes");
  EXPECT_EQ(lines[26], "key,1,GARAGE,,,,0x00,0xC3,0x00,yes");
  EXPECT_EQ(lines[27], "key,2,,,,,0x00,0x00,0x00,no");
  EXPECT_EQ(r.out.find("1234"), std::string::npos);
  r = RunCli({"show", file, "--csv", "--reveal-codes"});
  ASSERT_EQ(r.exit, 0);
  EXPECT_NE(r.out.find("\nuser,0,ALICE,yes,1234,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nuser,1,BOB,no,5678,"), std::string::npos);
  EXPECT_EQ(RunCli({"show", file, "--csv", "--json"}).exit, 2);
}

TEST(CliShow, TheLargePanelsRegionsWithTheirRecordsInUse) {
  LargePanelImage large;
  SetImageModel(large.Bytes(), 6);
  large.Region(1)[3 * 88 + 2] = 0;
  large.Region(1)[199 * 88 + 87] = 0;
  large.Region(5)[0] = 0;
  const std::string file = TempPath("show-large.tvx");
  ASSERT_TRUE(test::WriteKeyFile(file, large.Bytes(), 9));
  TRun r = RunCli({"show", file});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.out.find("\nRegions:\n"
                       "  #  Panel address  Bytes  Records in use\n"
                       "  0  E5095C         1200   0 of 200\n"
                       "  1  E1BA92         17600  2 of 200\n"
                       "  2  E4CAA8         1600   0 of 200\n"
                       "  3  E4C2D8         2000   0 of 500\n"
                       "  4  E50E0C         800    0 of 200\n"
                       "  5  E4E5C7         2000   1 of 1\n"
                       "  6  E1225A         12000  0 of 500\n"),
            std::string::npos)
      << r.out;
  r = RunCli({"show", file, "--csv"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out,
            "region,panel_address,bytes,record_size,records,records_in_use\n"
            "0,0xE5095C,1200,6,200,0\n"
            "1,0xE1BA92,17600,88,200,2\n"
            "2,0xE4CAA8,1600,8,200,0\n"
            "3,0xE4C2D8,2000,4,500,0\n"
            "4,0xE50E0C,800,4,200,0\n"
            "5,0xE4E5C7,2000,2000,1,1\n"
            "6,0xE1225A,12000,24,500,0\n");
  r = RunCli({"show", file, "--json"});
  const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_TRUE(j.is_object()) << r.out;
  EXPECT_EQ(j["regions"][1]["recordsInUse"], 2);
  EXPECT_EQ(j["regions"][1]["recordSize"], 88);
  EXPECT_EQ(j["regions"][3]["records"], 500);
}

// ---------------------------------------------------------------------------
// Edited data into another panel, and a send that only looks

// The panel's user table as a read gives it: name and code of each user.
nlohmann::json UsersOf(const std::string& file) {
  const TRun r = RunCli({"show", file, "--json", "--reveal-codes"});
  EXPECT_EQ(r.exit, 0) << r.err;
  return nlohmann::json::parse(r.out, nullptr, false)["users"];
}

TEST(CliEditSend, AnEditedVyr8FileReachesAVyr32) {
  auto source = StartPanel({.model = "VYR8", .mainCode = "1357", .seed = 41});
  auto target = StartPanel({.model = "VYR32", .mainCode = "2468", .seed = 42});
  const std::string file = TempPath("edit-send.tvx");
  TRun r = RunCli({"read", "--port", source->DevicePath(), "--out", file}, "1357\n");
  ASSERT_EQ(r.exit, 0) << r.err;
  const nlohmann::json read = UsersOf(file);
  ASSERT_EQ(read[0]["code"], "1357");
  ASSERT_EQ(read[0]["main"], true);

  // Rename user 1, a new code for the main user, user 2 cleared.
  r = RunCli({"edit", file, "--user", "1", "--name", "NEW NAME", "--user", "0", "--code-stdin", "--user", "2", "--clear"},
             "902211\n");
  ASSERT_EQ(r.exit, 0) << r.err;

  r = RunCli({"send", "--port", target->DevicePath(), "--in", file, "--code", "2468"});
  ASSERT_EQ(r.exit, 0) << r.err;
  // The panel's own memory: the name padded in its field, the codes in its
  // packed format, the cleared user without a code.
  const auto* map = sim::BlockMapFor("VYR32");
  EXPECT_EQ(target->ReadMemory(map->UserNamesAddr + 16, 16), Bytes({'N', 'E', 'W', ' ', 'N', 'A', 'M', 'E', ' ', ' ', ' ',
                                                                    ' ', ' ', ' ', ' ', ' '}));
  EXPECT_EQ(target->ReadMemory(map->UserNamesAddr + 32, 16), Bytes(16, ' '));
  EXPECT_EQ(target->ReadMemory(map->CodesAddr, 3), sim::EncodeCode("VYR32", "902211"));
  EXPECT_EQ(target->ReadMemory(map->CodesAddr + 6, 3), sim::EncodeCode("VYR32", ""));
  EXPECT_EQ(target->ReadMemory(map->CodesAddr + 3, 3), sim::EncodeCode("VYR32", read[1]["code"].get<std::string>()));

  // The edited code opens the panel; the old one no longer does.
  const std::string back = TempPath("edit-send-back");
  r = RunCli({"read", "--port", target->DevicePath(), "--out", back}, "1357\n");
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.err, "Invalid code!\n");
  r = RunCli({"read", "--port", target->DevicePath(), "--out", back}, "902211\n");
  ASSERT_EQ(r.exit, 0) << r.err;
  const nlohmann::json users = UsersOf(back + ".tvx");
  EXPECT_EQ(users[0]["code"], "902211");
  EXPECT_EQ(users[1]["name"], "NEW NAME");
  EXPECT_EQ(users[1]["code"], read[1]["code"]);
  EXPECT_EQ(users[2]["name"], "");
  EXPECT_EQ(users[2]["code"], "");
  for (size_t u = 3; u < 24; ++u) {
    EXPECT_EQ(users[u]["name"], read[u]["name"]) << u;
    EXPECT_EQ(users[u]["code"], read[u]["code"]) << u;
  }
}

TEST(CliDryRun, ShowsWhatTheSendWouldChangeAndWritesNothing) {
  auto source = StartPanel({.model = "VYR8", .mainCode = "1357", .seed = 51});
  auto target = StartPanel({.model = "VYR32", .mainCode = "2468", .seed = 52});
  const std::string file = TempPath("dry-run.tvx");
  TRun r = RunCli({"read", "--port", source->DevicePath(), "--out", file}, "1357\n");
  ASSERT_EQ(r.exit, 0) << r.err;
  r = RunCli({"edit", file, "--user", "1", "--name", "DRY NAME"});
  ASSERT_EQ(r.exit, 0) << r.err;
  const nlohmann::json source0 = UsersOf(file)[0];

  const Bytes before = target->ReadMemory(0, 0x2000);
  const std::string data = DataFolder();
  r = RunCli({"send", "--port", target->DevicePath(), "--in", file, "--code", "2468", "--dry-run"});
  ASSERT_EQ(r.exit, 0) << r.err;
  for (const auto& h : target->HeadersReceived())
    ASSERT_NE(h[0], kSmallWriteCommand) << "a write reached the panel";
  EXPECT_EQ(target->ReadMemory(0, 0x2000), before);
  EXPECT_EQ(r.out.rfind("The send would change in the panel (now -> after the send):\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("  user 1: name \""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("-> \"DRY NAME\"\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  user 0: code changed: **** -> ****\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("2468"), std::string::npos) << "codes stay hidden";
  EXPECT_EQ(r.out.find(source0["code"].get<std::string>()), std::string::npos);
  EXPECT_EQ(r.out.find("backup:"), std::string::npos) << "no backup is taken";
  EXPECT_NE(r.out.find("Dry run: nothing was written.\n"), std::string::npos);

  // A code that is not the target's main user code stops it.
  r = RunCli({"send", "--port", target->DevicePath(), "--in", file, "--code", "1111", "--dry-run"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.err, "Invalid code!\n");
  EXPECT_EQ(r.out, "");

  // The file sent for real, a dry run then finds nothing left to change.
  r = RunCli({"send", "--port", target->DevicePath(), "--in", file, "--code", "2468", "--no-backup"});
  ASSERT_EQ(r.exit, 0) << r.err;
  r = RunCli({"send", "--port", target->DevicePath(), "--in", file, "--code", source0["code"].get<std::string>(),
              "--dry-run"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, "The send would change nothing in the panel.\nDry run: nothing was written.\n");
}

}  // namespace
}  // namespace tarvex
