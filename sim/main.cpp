// tarvex-panel-sim: a simulated alarm panel on a pseudo-terminal. Prints the
// device path, then serves until SIGINT or SIGTERM.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "app/version.h"
#include "sim/sim_options.h"
#include "sim/sim_panel.h"

namespace {

// Makes linkPath a symbolic link to target, replacing an older link but never
// any other kind of file.
bool MakeLink(const std::string& linkPath, const std::string& target, std::string* error) {
  struct stat st {};
  if (::lstat(linkPath.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      *error = linkPath + " exists and is not a symbolic link";
      return false;
    }
    ::unlink(linkPath.c_str());
  }
  if (::symlink(target.c_str(), linkPath.c_str()) != 0) {
    *error = "cannot create " + linkPath + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// Removes the link if it still points at target.
void RemoveLink(const std::string& linkPath, const std::string& target) {
  std::vector<char> buf(4096);
  const ssize_t n = ::readlink(linkPath.c_str(), buf.data(), buf.size() - 1);
  if (n >= 0 && std::string(buf.data(), static_cast<size_t>(n)) == target) ::unlink(linkPath.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarvex::sim;
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "tarvex-panel-sim " << tarvex::kTarvexVersion << std::endl;
    return 0;
  }
  SimOptions opts;
  std::string error;
  if (!ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc), &opts, &error)) {
    std::cerr << "tarvex-panel-sim: " << error << "\n" << SimUsage() << std::endl;
    return 2;
  }
  if (opts.help) {
    std::cout << SimHelp() << std::endl;
    return 0;
  }

  // The signals are taken synchronously below; block them before the serving
  // thread starts so that it inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A reader of our stdout going away must not kill the panel.
  signal(SIGPIPE, SIG_IGN);

  SimPanel panel(opts.config);
  if (!panel.Start(&error)) {
    std::cerr << "tarvex-panel-sim: " << error << std::endl;
    return 1;
  }
  if (!opts.linkPath.empty() && !MakeLink(opts.linkPath, panel.DevicePath(), &error)) {
    std::cerr << "tarvex-panel-sim: " << error << std::endl;
    return 1;
  }
  std::cout << panel.DevicePath() << std::endl;

  int sig = 0;
  while (sigwait(&stopSignals, &sig) != 0) {
  }
  panel.Stop();
  if (!opts.linkPath.empty()) RemoveLink(opts.linkPath, panel.DevicePath());
  return 0;
}
