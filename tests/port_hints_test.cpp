// What the boxes say after a port failed to open or the line was lost: the
// second line with the cause and the remedy, in each language, and where
// the system's answers come from (the device's group, the programs holding
// it in the process table, a device that is gone).
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/languages.h"
#include "app/workflows.h"
#include "protocol/identify.h"
#include "app/messages.h"
#include "app/session.h"
#include "serial/comm.h"
#include "tests/support/fake_system.h"
#include "tests/support/pty.h"
#include "tests/support/scratch_dir.h"
#include "tests/test_session.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;
using test::TTestSession;

// A port that fails to open with a chosen error (refuseEvery), and the
// system's answers about it; or a line that opens, answers nothing and,
// once vanished, is lost. Its clock moves only when the program waits, so
// a test takes no time.
using TScriptedPort = test::TFakeSystem;

// The box that EnsurePortOpen shows for the port, in a language.
std::string OpenBox(TScriptedPort& port, TLanguage lang, const std::string& device = "/dev/ttyUSB0") {
  TTestSession t;
  ApplyLanguageTexts(t.s, lang);
  t.s.Link.PanelPort.System = &port;
  t.s.Link.PanelPort.Device = device;
  EXPECT_FALSE(EnsurePortOpen(t.s));
  const std::vector<std::string> boxes = t.ui.Boxes();
  EXPECT_EQ(boxes.size(), 1u);
  return boxes.empty() ? std::string() : boxes.front();
}

TEST(OpenFailureHints, PermissionDeniedNamesTheDevicesGroup) {
  TScriptedPort port;
  port.refuseEvery = {TCommError::AccessDenied, EACCES};
  port.group = "dialout";
  EXPECT_EQ(OpenBox(port, TLanguage::English),
            "Warning: Error opening Com port!\r\n"
            "No permission: add your user to the 'dialout' group, then log out and in again.");
  EXPECT_EQ(OpenBox(port, TLanguage::Italian),
            "Warning: Errore apertura porta seriale!\r\n"
            "Permesso negato: aggiungere il proprio utente al gruppo 'dialout', poi uscire dalla sessione e "
            "rientrare.");
  EXPECT_EQ(OpenBox(port, TLanguage::French),
            "Warning: Erreur d'ouverture du port Com!\r\n"
            "Permission refusée : ajoutez votre utilisateur au groupe 'dialout', puis reconnectez-vous.");
  // Other distributions give serial ports to other groups.
  port.group = "uucp";
  EXPECT_EQ(OpenBox(port, TLanguage::English),
            "Warning: Error opening Com port!\r\n"
            "No permission: add your user to the 'uucp' group, then log out and in again.");
  // No group whose members may open it.
  port.group.clear();
  EXPECT_EQ(OpenBox(port, TLanguage::English),
            "Warning: Error opening Com port!\r\n"
            "No permission: ask the computer's administrator for access to the port.");
  EXPECT_EQ(OpenBox(port, TLanguage::Italian),
            "Warning: Errore apertura porta seriale!\r\n"
            "Permesso negato: chiedere all'amministratore del computer l'accesso alla porta.");
  EXPECT_EQ(port.holdersAsked, 0) << "the process table is not searched for a refusal";
}

TEST(OpenFailureHints, AUserAlreadyInTheGroupIsNotToldToJoinIt) {
  // A sandbox or a security module refuses the port to a member of its
  // group: joining the group again would change nothing.
  TScriptedPort port;
  port.refuseEvery = {TCommError::AccessDenied, EACCES};
  port.group = "dialout";
  port.inGroup = true;
  EXPECT_EQ(OpenBox(port, TLanguage::English),
            "Warning: Error opening Com port!\r\n"
            "You are already in the 'dialout' group, but the system still refuses the port: a security setting or "
            "a sandboxed installation (snap, Flatpak) is blocking it; ask the computer's administrator.");
  EXPECT_EQ(OpenBox(port, TLanguage::Italian),
            "Warning: Errore apertura porta seriale!\r\n"
            "L'utente è già nel gruppo 'dialout', ma il sistema rifiuta ancora la porta: la blocca un'impostazione "
            "di sicurezza o un'installazione isolata (snap, Flatpak); rivolgersi all'amministratore del computer.");
  EXPECT_EQ(OpenBox(port, TLanguage::French),
            "Warning: Erreur d'ouverture du port Com!\r\n"
            "Vous êtes déjà dans le groupe 'dialout', mais le système refuse toujours le port : un réglage de "
            "sécurité ou une installation isolée (snap, Flatpak) le bloque ; adressez-vous à l'administrateur de "
            "l'ordinateur.");
  EXPECT_GT(port.inGroupAsked, 0);
  // Not in it: the hint to join it, as before.
  port.inGroup = false;
  EXPECT_EQ(OpenBox(port, TLanguage::English),
            "Warning: Error opening Com port!\r\n"
            "No permission: add your user to the 'dialout' group, then log out and in again.");
}

TEST(OpenFailureHints, APortInUseNamesItsHolder) {
  TScriptedPort port;
  port.refuseEvery = {TCommError::InUse, EBUSY};
  port.holders = {{"ModemManager", 612}, {"minicom", 2001}};
  EXPECT_EQ(OpenBox(port, TLanguage::English),
            "Warning: Error opening Com port!\r\n"
            "ModemManager (pid 612) is using the port; close it or stop that service.");
  EXPECT_EQ(OpenBox(port, TLanguage::Italian),
            "Warning: Errore apertura porta seriale!\r\n"
            "ModemManager (pid 612) sta usando la porta: chiuderlo o fermare quel servizio.");
  EXPECT_EQ(OpenBox(port, TLanguage::French),
            "Warning: Erreur d'ouverture du port Com!\r\n"
            "ModemManager (pid 612) utilise le port : fermez-le ou arrêtez ce service.");
  // The holder could not be found (another user's program).
  port.holders.clear();
  EXPECT_EQ(OpenBox(port, TLanguage::English),
            "Warning: Error opening Com port!\r\nAnother program is using the port; close it.");
  EXPECT_EQ(OpenBox(port, TLanguage::French),
            "Warning: Erreur d'ouverture du port Com!\r\nUn autre programme utilise le port : fermez-le.");
  EXPECT_EQ(port.groupAsked, 0);
}

TEST(OpenFailureHints, ADeviceThatIsGoneAsksWhetherTheAdapterWasUnplugged) {
  TScriptedPort port;
  port.refuseEvery = {TCommError::NoDevice, ENOENT};
  EXPECT_EQ(OpenBox(port, TLanguage::English),
            "Warning: Error opening Com port!\r\nThe adapter was unplugged? Plug it back in and try again.");
  EXPECT_EQ(OpenBox(port, TLanguage::Italian),
            "Warning: Errore apertura porta seriale!\r\nL'adattatore è stato scollegato? Ricollegarlo e riprovare.");
  EXPECT_EQ(OpenBox(port, TLanguage::French),
            "Warning: Erreur d'ouverture du port Com!\r\nL'adaptateur a été débranché ? Rebranchez-le et réessayez.");
  // No port chosen at all (a machine without ports): nothing to unplug.
  EXPECT_EQ(OpenBox(port, TLanguage::English, ""), "Warning: Error opening Com port!");
}

TEST(OpenFailureHints, FailuresWithNoRemedyKeepTheBoxAsItWas) {
  TScriptedPort port;
  for (const TCommError e : {TCommError::NotSerial, TCommError::Settings, TCommError::Other}) {
    port.refuseEvery = {e, 0, "Input/output error"};
    EXPECT_EQ(OpenBox(port, TLanguage::English), "Warning: Error opening Com port!");
  }
}

TEST(OpenFailureHints, AnAdapterPulledOutBetweenTheListAndTheOpen) {
  // A port that was listed, then went away with its device node.
  TTestSession t;
  ApplyLanguageTexts(t.s, TLanguage::Italian);
  test::TPty pty;
  ASSERT_TRUE(pty.Ok());
  t.s.Link.PanelPort.Device = pty.Path();
  ASSERT_TRUE(OpenComm(t.s.Link.PanelPort));
  CloseComm(t.s.Link.PanelPort);
  pty.CloseMaster();
  EXPECT_FALSE(EnsurePortOpen(t.s));
  EXPECT_EQ(t.s.Link.PanelPort.LastError, TCommError::NoDevice);
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Warning: Errore apertura porta seriale!\r\n"
                                                   "L'adattatore è stato scollegato? Ricollegarlo e riprovare."});
}

TEST(OpenFailureHints, TheWorkflowsSecondBoxCarriesTheSameLine) {
  TScriptedPort port;
  port.refuseEvery = {TCommError::AccessDenied};
  port.group = "dialout";
  TTestSession t;
  t.s.Link.PanelPort.System = &port;
  t.s.Link.PanelPort.Device = "/dev/ttyUSB0";
  const std::string box =
      "Warning: Error opening Com port!\r\n"
      "No permission: add your user to the 'dialout' group, then log out and in again.";
  const TReadOutcome read = ReadFromPanel(t.s, "1234");
  EXPECT_FALSE(read.ok());
  EXPECT_EQ(t.ui.Boxes(), (std::vector<std::string>{box, box}));
  t.ui.Clear();
  const TSendOutcome sent = SendToPanel(t.s, "1234", WithoutBackup());
  EXPECT_FALSE(sent.ok());
  // The send's own box adds that nothing was written.
  EXPECT_EQ(t.ui.Boxes(), (std::vector<std::string>{box, box + "\r\nNothing was written into the panel."}));
}

TEST(OpenFailureReason, TheDeviceAndTheCauseInEachLanguage) {
  TComm c;
  c.Device = "/dev/ttyUSB0";
  const TExtraStrings en = ExtraStrings(TLanguage::English);
  const TExtraStrings it = ExtraStrings(TLanguage::Italian);
  const TExtraStrings fr = ExtraStrings(TLanguage::French);
  EXPECT_EQ(OpenFailureReason(c, en), "") << "nothing failed";
  c.LastError = TCommError::InUse;
  EXPECT_EQ(OpenFailureReason(c, en), "/dev/ttyUSB0: the port is in use by another program");
  EXPECT_EQ(OpenFailureReason(c, it), "/dev/ttyUSB0: la porta è usata da un altro programma");
  EXPECT_EQ(OpenFailureReason(c, fr), "/dev/ttyUSB0: le port est utilisé par un autre programme");
  c.LastError = TCommError::AccessDenied;
  EXPECT_EQ(OpenFailureReason(c, it), "/dev/ttyUSB0: permesso negato");
  c.LastError = TCommError::NoDevice;
  EXPECT_EQ(OpenFailureReason(c, fr), "/dev/ttyUSB0: port série inexistant");
  c.LastError = TCommError::NotSerial;
  EXPECT_EQ(OpenFailureReason(c, en), "/dev/ttyUSB0: not a serial port");
  c.LastError = TCommError::Settings;
  c.LastErrorText = "Invalid argument";
  EXPECT_EQ(OpenFailureReason(c, it),
            "/dev/ttyUSB0: la porta ha rifiutato le impostazioni della linea (Invalid argument)");
  c.LastError = TCommError::Other;
  c.LastErrorText = "Input/output error";
  EXPECT_EQ(OpenFailureReason(c, en), "/dev/ttyUSB0: Input/output error");
  // Windows names a port by its number.
  c.Device.clear();
  c.Port = 3;
  c.LastError = TCommError::InUse;
  EXPECT_EQ(OpenFailureReason(c, en), "COM3: the port is in use by another program");
  c.Port = 0;
  c.LastError = TCommError::NoDevice;
  EXPECT_EQ(OpenFailureReason(c, fr), "aucun port série sélectionné");
}

// ---------------------------------------------------------------------------
// A line lost under a transfer

TEST(LineLostHint, AReadErrorAfterTheLineWasLostAsksAboutTheAdapter) {
  TScriptedPort port;  // opens; never answers
  TTestSession t;
  t.s.Link.PanelPort.System = &port;
  t.s.Link.PanelPort.Device = "/dev/ttyUSB0";
  ASSERT_TRUE(EnsurePortOpen(t.s));
  const auto box = [&t](const TOutcome& o) {
    const TMessage m = MessageFor(o, TTexts{t.s.LangStrings, t.s.ExtraStrings});
    return std::string(BoxTitle(m.kind)) + ": " + m.text;
  };

  // A silent line: the error box as it always was.
  TOutcome o = IdentifySmallPanel(t.s.Link, t.s.Panel);
  EXPECT_EQ(o.result, TResult::NoEcho);
  EXPECT_FALSE(o.lineLost);
  EXPECT_EQ(box(o), "Warning: Reading error on serial port!");

  // The adapter pulled out under the exchange.
  port.vanished = [] { return true; };
  o = IdentifySmallPanel(t.s.Link, t.s.Panel);
  EXPECT_FALSE(o.Ok());
  EXPECT_TRUE(t.s.Link.PanelPort.LineLost);
  EXPECT_TRUE(o.lineLost);
  EXPECT_EQ(box(o), "Warning: Reading error on serial port!\r\n"
                    "The adapter was unplugged? Plug it back in and try again.");

  // The next open starts again with a line that is there.
  port.vanished = nullptr;
  ClosePort(t.s.Link.PanelPort);
  ASSERT_TRUE(EnsurePortOpen(t.s));
  ApplyLanguageTexts(t.s, TLanguage::French);
  o = IdentifySmallPanel(t.s.Link, t.s.Panel);
  EXPECT_FALSE(o.lineLost);
  EXPECT_EQ(box(o), "Warning: Problème de lecture sur le port Com!");
  ClosePort(t.s.Link.PanelPort);
  EXPECT_TRUE(t.ui.Boxes().empty()) << "the panel code shows no box of its own";
}

TEST(LineLostHint, OnlyTheReadAndWriteErrorsGetTheLine) {
  const TLanguageStrings lang = LanguageStrings(TLanguage::Italian);
  const TExtraStrings extra = ExtraStrings(TLanguage::Italian);
  const TTexts it{lang, extra};
  TOutcome write = Failure(TResult::NoEcho, TStep::WriteCodes);
  write.write = true;
  write.lineLost = true;
  TOutcome code = Failure(TResult::CodeNotMainUser, TStep::ReadCodes);
  code.lineLost = true;
  TOutcome firmware = Failure(TResult::UnknownFirmware, TStep::IdentifySmall);
  firmware.lineLost = true;
  EXPECT_EQ(MessageFor(write, it), (TMessage{TBoxKind::Warning,
                                             "Errore in scrittura su porta seriale!\r\nL'adattatore è stato "
                                             "scollegato? Ricollegarlo e riprovare."}));
  write.large = true;
  EXPECT_EQ(MessageFor(write, it).kind, TBoxKind::Error) << "the large panel's write error is an error box";
  EXPECT_EQ(MessageFor(code, it), (TMessage{TBoxKind::Information, "Codice non valido!"}));
  EXPECT_EQ(MessageFor(firmware, it), (TMessage{TBoxKind::Error, "Versione firmware non riconosciuta!"}));
  write.lineLost = false;
  EXPECT_EQ(MessageFor(write, it).text, "Errore in scrittura su porta seriale!");
}

// ---------------------------------------------------------------------------
// The system's answers on Linux

// A process of the fake process table: its name and the files its
// descriptors lead to.
void FakeProcess(const fs::path& proc, int pid, const std::string& name, const std::vector<std::string>& files) {
  const fs::path dir = proc / std::to_string(pid);
  fs::create_directories(dir / "fd");
  std::ofstream(dir / "comm") << name << "\n";
  int fd = 0;
  for (const std::string& f : files) fs::create_symlink(f, dir / "fd" / std::to_string(fd++));
}

// A lock table line as the kernel writes it, for the node of path.
std::string LockLine(int id, const std::string& kind, int pid, const std::string& path, bool waiting = false) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  char line[256];
  std::snprintf(line, sizeof line, "%d: %s%s  ADVISORY  WRITE %d %02x:%02x:%llu 0 EOF\n", id, waiting ? "-> " : "",
                kind.c_str(), pid, ::major(st.st_dev), ::minor(st.st_dev), static_cast<unsigned long long>(st.st_ino));
  return line;
}

TEST(PortHolders, FoundInTheProcessTableTheLockHolderFirst) {
  test::TScratchDir tmp("tarvex-hints");
  ASSERT_TRUE(tmp.Ok());
  const fs::path proc = tmp.Folder() / "proc";
  const std::string device = (tmp.Folder() / "ttyUSB0").string();
  const std::string other = (tmp.Folder() / "other").string();
  std::ofstream(device) << "";
  std::ofstream(other) << "";

  FakeProcess(proc, 45, "bash", {other, "pipe:[1234]", "/dev/null"});
  FakeProcess(proc, 612, "ModemManager", {"socket:[99]", device});
  FakeProcess(proc, 2001, "minicom", {other, device});
  FakeProcess(proc, 3000, "gpsd", {});
  // Processes whose descriptors cannot be read, and entries that are not
  // processes.
  fs::create_directories(proc / "77");
  std::ofstream(proc / "77" / "comm") << "secret\n";
  fs::create_directories(proc / "self" / "fd");
  fs::create_symlink(device, proc / "self" / "fd" / "3");
  std::ofstream(proc / "uptime") << "1.0 1.0\n";

  // Without a lock table: in process order.
  std::vector<TPortHolder> holders = FindPortHolders(device, proc.string());
  ASSERT_EQ(holders.size(), 2u);
  EXPECT_EQ(holders[0].Program, "ModemManager");
  EXPECT_EQ(holders[0].Pid, 612);
  EXPECT_EQ(holders[1].Program, "minicom");
  EXPECT_EQ(holders[1].Pid, 2001);

  // minicom holds the lock; ModemManager only waits for one; another
  // file's lock says nothing of the port.
  std::ofstream(proc / "locks") << LockLine(1, "POSIX", 45, other) << LockLine(2, "FLOCK", 2001, device)
                                << LockLine(2, "FLOCK", 612, device, true);
  holders = FindPortHolders(device, proc.string());
  ASSERT_EQ(holders.size(), 2u);
  EXPECT_EQ(holders[0].Program, "minicom");
  EXPECT_EQ(holders[0].Pid, 2001);
  EXPECT_EQ(holders[1].Pid, 612);

  // A device nobody holds.
  EXPECT_TRUE(FindPortHolders(other + "-none", proc.string()).empty());
}

TEST(PortHolders, AnotherUsersProgramIsNamedFromTheLockTable) {
  // A modem manager running as the superuser: its descriptors may not be
  // read, but the lock table shows its lock on the port, and its name is
  // open to every user.
  test::TScratchDir tmp("tarvex-hints");
  ASSERT_TRUE(tmp.Ok());
  const fs::path proc = tmp.Folder() / "proc";
  const std::string device = (tmp.Folder() / "ttyUSB0").string();
  const std::string other = (tmp.Folder() / "other").string();
  std::ofstream(device) << "";
  std::ofstream(other) << "";
  fs::create_directories(proc / "612");
  std::ofstream(proc / "612" / "comm") << "ModemManager\n";
  fs::create_directories(proc / "77");
  std::ofstream(proc / "77" / "comm") << "waiter\n";
  fs::create_directories(proc / "80");
  std::ofstream(proc / "80" / "comm") << "gpsd\n";
  FakeProcess(proc, 2001, "minicom", {device});
  // 612 holds the port's lock; 77 only waits for it; 80 locks another
  // file; 999 has ended, its lock kept by a descriptor it passed on.
  std::ofstream(proc / "locks") << LockLine(1, "POSIX", 80, other) << LockLine(2, "FLOCK", 612, device)
                                << LockLine(2, "FLOCK", 77, device, true) << LockLine(3, "FLOCK", 999, device);

  std::vector<TPortHolder> holders = FindPortHolders(device, proc.string());
  ASSERT_EQ(holders.size(), 2u);
  EXPECT_EQ(holders[0].Program, "ModemManager");
  EXPECT_EQ(holders[0].Pid, 612);
  EXPECT_EQ(holders[1].Program, "minicom");
  EXPECT_EQ(holders[1].Pid, 2001);

  // A name with control characters goes into a box as plain text.
  std::ofstream(proc / "612" / "comm") << "Modem\x1b[2JManager\n";
  holders = FindPortHolders(device, proc.string());
  ASSERT_FALSE(holders.empty());
  EXPECT_EQ(holders[0].Program, "Modem?[2JManager");

  // Without the lock, nothing names the other user's program.
  fs::remove(proc / "locks");
  holders = FindPortHolders(device, proc.string());
  ASSERT_EQ(holders.size(), 1u);
  EXPECT_EQ(holders[0].Pid, 2001);
}

TEST(PortHolders, ADeviceReachedThroughALinkIsFoundUnderItsRealName) {
  test::TScratchDir tmp("tarvex-hints");
  ASSERT_TRUE(tmp.Ok());
  const fs::path proc = tmp.Folder() / "proc";
  test::TPty pty;
  ASSERT_TRUE(pty.Ok());
  const std::string pts = pty.Path();
  const fs::path link = tmp.Folder() / "ttyUSB0";
  fs::create_symlink(pts, link);
  // The kernel shows an open descriptor by the name of the node it opened.
  FakeProcess(proc, 612, "ModemManager", {pts});
  const std::vector<TPortHolder> holders = FindPortHolders(link.string(), proc.string());
  pty.CloseMaster();
  ASSERT_EQ(holders.size(), 1u);
  EXPECT_EQ(holders[0].Program, "ModemManager");
}

TEST(PortHolders, TheRealProcessTableNamesAnotherProgramHoldingThePort) {
  test::TPty pty;
  ASSERT_TRUE(pty.Ok());
  const std::string pts = pty.Path();
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A program of another name that holds the port until it is stopped.
    ::prctl(PR_SET_NAME, "porthog", 0, 0, 0);
    TComm held;
    held.Device = pts;
    const char ok = OpenComm(held) ? 'y' : 'n';
    if (::write(ready[1], &ok, 1) != 1) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  EXPECT_EQ(ok, 'y');

  TTestSession t;
  t.s.Link.PanelPort.Device = pts;
  EXPECT_FALSE(EnsurePortOpen(t.s));
  ::kill(child, SIGTERM);
  ::waitpid(child, nullptr, 0);
  pty.CloseMaster();
  EXPECT_EQ(t.s.Link.PanelPort.LastError, TCommError::InUse);
  EXPECT_EQ(t.ui.Boxes(), std::vector<std::string>{"Warning: Error opening Com port!\r\nporthog (pid " +
                                                   std::to_string(child) +
                                                   ") is using the port; close it or stop that service."});
}

TEST(DeviceGroup, TheGroupThatMayReadAndWriteTheDevice) {
  test::TScratchDir tmp("tarvex-hints");
  ASSERT_TRUE(tmp.Ok());
  const std::string device = (tmp.Folder() / "ttyUSB0").string();
  std::ofstream(device) << "";
  TComm c;
  c.Device = device;
  TCommSystem& system = PlatformCommSystem();

  // A group id no group is named after (as in a container): its number.
  gid_t unnamed = 54321;
  while (::getgrgid(unnamed)) ++unnamed;
  if (::chown(device.c_str(), static_cast<uid_t>(-1), unnamed) != 0)
    GTEST_SKIP() << "this user cannot give the file to another group";
  ASSERT_EQ(::chmod(device.c_str(), 0660), 0);
  EXPECT_EQ(system.DeviceGroup(c), std::to_string(unnamed));

  // A group whose members could not write: joining it would not help.
  ASSERT_EQ(::chmod(device.c_str(), 0640), 0);
  EXPECT_EQ(system.DeviceGroup(c), "");

  // The superuser's group is never offered.
  ASSERT_EQ(::chown(device.c_str(), static_cast<uid_t>(-1), 0), 0);
  ASSERT_EQ(::chmod(device.c_str(), 0660), 0);
  EXPECT_EQ(system.DeviceGroup(c), "");

  // A named group, as serial ports have on Debian.
  if (const group* g = ::getgrnam("dialout")) {
    ASSERT_EQ(::chown(device.c_str(), static_cast<uid_t>(-1), g->gr_gid), 0);
    EXPECT_EQ(system.DeviceGroup(c), "dialout");
  }

  // A device that is not there.
  c.Device = device + "-gone";
  EXPECT_EQ(system.DeviceGroup(c), "");
}

TEST(DeviceGroup, MembershipIsTheProcesssOwnGroups) {
  test::TScratchDir tmp("tarvex-hints");
  ASSERT_TRUE(tmp.Ok());
  const std::string device = (tmp.Folder() / "ttyUSB0").string();
  std::ofstream(device) << "";
  ASSERT_EQ(::chmod(device.c_str(), 0660), 0);
  TComm c;
  c.Device = device;
  TCommSystem& system = PlatformCommSystem();

  // The file made by this process has its effective group.
  EXPECT_EQ(::chown(device.c_str(), static_cast<uid_t>(-1), ::getegid()), 0);
  EXPECT_TRUE(system.InDeviceGroup(c));

  // A group this process is not in: neither its effective group nor one of
  // its supplementary groups.
  std::vector<gid_t> mine(static_cast<size_t>(std::max(::getgroups(0, nullptr), 0)));
  mine.resize(static_cast<size_t>(std::max(::getgroups(static_cast<int>(mine.size()), mine.data()), 0)));
  gid_t other = 54321;
  while (other == ::getegid() || std::find(mine.begin(), mine.end(), other) != mine.end()) ++other;
  if (::chown(device.c_str(), static_cast<uid_t>(-1), other) != 0)
    GTEST_SKIP() << "this user cannot give the file to another group";
  EXPECT_FALSE(system.InDeviceGroup(c));

  // One of its supplementary groups, other than its effective one.
  for (const gid_t g : mine) {
    if (g == ::getegid()) continue;
    ASSERT_EQ(::chown(device.c_str(), static_cast<uid_t>(-1), g), 0);
    EXPECT_TRUE(system.InDeviceGroup(c)) << g;
    break;
  }

  c.Device = device + "-gone";
  EXPECT_FALSE(system.InDeviceGroup(c));
}

}  // namespace
}  // namespace tarvex
