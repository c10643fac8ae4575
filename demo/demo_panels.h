// Demo mode: two simulated panels in the program itself, so that a new user
// can walk through check, read, save, check the other panel, load and send
// without any hardware. They are listed first in the port list with their
// model and main user code.
//
// The simulated panels live on POSIX pseudo-terminals; where the simulator
// is not built, Start says so and there is no demo.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/connection.h"

namespace tarvex {

class TDemoPanels {
 public:
  struct TDemoPanel {
    std::string model;
    std::string firmware;
    std::string mainCode;
  };
  // A VYR8 with main code 1234 and a VYR32 with main code 5678, both on
  // firmware 2.10 and so of one class: data read from one can be sent to
  // the other.
  static std::vector<TDemoPanel> DefaultPanels();

  TDemoPanels();
  ~TDemoPanels();
  TDemoPanels(const TDemoPanels&) = delete;
  TDemoPanels& operator=(const TDemoPanels&) = delete;

  // Starts the panels on pseudo-terminals. With wireTime every byte takes
  // its real time on the line, so the progress bar moves as it would with
  // a real panel. False (with a reason) when a panel cannot start.
  bool Start(bool wireTime, std::string* error, const std::vector<TDemoPanel>& panels = DefaultPanels());
  void Stop();

  // Port list entries, e.g. "/dev/pts/7 (demo VYR8, code 1234)".
  std::vector<TPortEntry> Entries() const;

 private:
  struct TRunning;
  std::vector<std::unique_ptr<TRunning>> running_;
};

}  // namespace tarvex
