// Demo mode: two simulated panels inside the program itself, served behind
// the serial layer's system interface, so that a new user can walk through
// check, read, save, check the other panel, load and send without any
// hardware or serial port, on Linux and on Windows alike. They are listed
// first in the port list with their model and main user code.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/connection.h"

namespace tarvex {

namespace sim {
class TSimLine;
}

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

  // Makes the panels. With wireTime every byte takes its real time on the
  // line, so the progress bar moves as it would with a real panel; without,
  // the panels answer at once. False (with a reason) for a panel that
  // cannot be made.
  bool Start(bool wireTime, std::string* error, const std::vector<TDemoPanel>& panels = DefaultPanels());
  void Stop();

  // Port list entries, e.g. "Demo VYR8 (code 1234)", served by the panels'
  // lines.
  std::vector<TPortEntry> Entries() const;
  // The line of the i-th panel, for tests that look into its memory.
  sim::TSimLine& Line(size_t i);

 private:
  struct TRunning;
  std::vector<std::unique_ptr<TRunning>> running_;
};

}  // namespace tarvex
