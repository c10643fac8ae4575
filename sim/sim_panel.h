// A simulated VYR-family alarm panel on a pseudo-terminal.
//
// The panel owns the master side of a pty; the tool opens the slave device
// (DevicePath) like a serial port and talks the panel memory protocol to it:
// six-byte headers echoed by the panel, 16-bit addresses and an additive
// checksum for the small models, 24-bit addresses and CRC-16/CMS for the
// large "VYR 320". A serving thread answers headers from the panel memory,
// which tests can inspect and change at any time. Faults can be injected to
// exercise the tool's failure paths. The protocol side is the PanelEngine
// (panel_engine.h); this class carries its bytes over the pty in real time.
// TSimLine (sim_line.h) carries them in-process instead, on any platform.
//
// The panel answers only while the tool's side of the line is set to the
// panel's own speed; at another speed it sends six garbage bytes or nothing,
// depending on the seed and that speed. Input that does not make a frame is
// dropped once the line has been quiet for 50 ms, and a fresh open of the
// device or a change of line speed starts the panel listening afresh.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/panel_config.h"

namespace tarvex::sim {

class SimPanel {
 public:
  explicit SimPanel(PanelConfig cfg);
  ~SimPanel();
  SimPanel(const SimPanel&) = delete;
  SimPanel& operator=(const SimPanel&) = delete;

  // Creates the pty and starts the serving thread; a panel starts once. False
  // (with a reason) for an unknown model, a bad main code or a pty failure.
  // The memory is filled at construction, so it can be changed before Start.
  bool Start(std::string* error = nullptr);
  // Stops the serving thread and closes the line. Safe to call twice.
  void Stop();

  // The slave device the tool opens (/dev/pts/N). Empty before Start.
  const std::string& DevicePath() const;
  // 6 for "VYR 320", 23..30 for the small models, 0 for an unknown name.
  int Model() const;
  bool IsLarge() const;
  // The speed the panel talks at (configured or default).
  int PanelSpeed() const;

  // Panel memory: 65536 bytes (small) or 16 MiB (large). Addresses wrap.
  // A write's block still on its way in is waited for first (up to 10 s):
  // the tool's write ends at the header's echo, before the panel has taken
  // the data off the line.
  std::vector<uint8_t> ReadMemory(uint32_t addr, size_t count) const;
  void WriteMemory(uint32_t addr, const std::vector<uint8_t>& bytes);

  // Replaces the fault; it is looked at from the next header on.
  void SetFault(Fault f);
  // Headers taken off the line since Start (see Fault for what counts).
  int ExchangeCount() const;
  // Every header taken off the line, in order.
  std::vector<std::array<uint8_t, 6>> HeadersReceived() const;
  // Every byte the tool sent, in order.
  std::vector<uint8_t> ReceivedBytes() const;
  // Waits until the panel has taken the data of the latest write off the
  // line (stored or discarded). False when the limit ran out first.
  bool WaitForWriteData(std::chrono::milliseconds limit) const;
  // The speed the tool's side is set to right now, read from the pty. 0 while
  // no descriptor other than the panel's own holds the device open, after
  // the line was closed, or when it cannot be read.
  int LineSpeed() const;
  // True once a CloseLine fault has closed the line.
  bool LineClosed() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace tarvex::sim
