// A serial line inside the program, with a simulated panel at its far end.
//
// TSimLine stands where the operating system stands (a TCommSystem), so the
// real serial and protocol code runs unchanged above it: any TComm whose
// System points at a TSimLine talks to its panel (Device is not looked at).
// It needs no port, no pty and no thread, and builds on every platform, so
// a window can offer demo panels on Windows and tests can drive the whole
// protocol against the panel.
//
// The line is driven by the tool's own calls: each of them first lets the
// panel act on everything that happened up to "now", at the moment it
// happened, so answers are timed exactly as on a real line whatever the
// gaps between the calls. Its clock is either
//  - real (the steady clock): SleepMs sleeps, WaitForInput blocks until the
//    next byte is due, the panel wants to look again or the time-out,
//    whichever comes first, and never spins; or
//  - virtual: SleepMs and WaitForInput move the clock at once to the next
//    event or the time-out, so the protocol's waits of several seconds cost
//    no real time and their lengths can be checked to the nanosecond.
//
// As on a real line the panel hears the tool only at its own speed (the
// TComm's BaudIndex at Open); with PanelConfig::wireTime every byte takes
// 11 bit times each way; an Open starts the panel listening afresh and
// drops the bytes that reached the tool's queue before it; and a CloseLine
// fault hangs up the line: from then on the open TComm's queue count
// reports LineLost at once (the bytes that arrived before the hang-up can
// still be taken), a wait ends with LineLost once they have been taken, and
// every later Open fails with NoDevice.
//
// With PanelConfig::adapterLatencyMs a USB adapter stands between the line
// and the tool (sim/usb_adapter.h): the panel's bytes reach the tool's
// queue in the adapter's packets. The line then plays the adapter's Linux
// driver too: it answers the serial-flags requests of an open port, and
// the low-latency flag sets the adapter's timer to 1 ms (clearing it sets
// the configured timer back), as ftdi_sio does.
//
// One thread at a time uses the line (a window's worker, a test). The
// engine's memory, fault and logs can be used from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "serial/comm.h"
#include "sim/panel_engine.h"
#include "sim/usb_adapter.h"

namespace tarvex::sim {

enum class SimClock { Real, Virtual };

class TSimLine final : public TCommSystem, private PanelTransport {
 public:
  // Where the virtual clock starts, in nanoseconds.
  static constexpr int64_t kVirtualStartNs = 1'000'000'000;

  // A configuration that is not valid (PanelEngine::Valid) makes a line
  // without a panel: every Open fails with NoDevice, saying why.
  explicit TSimLine(PanelConfig cfg, SimClock clock = SimClock::Virtual);
  TSimLine(const TSimLine&) = delete;
  TSimLine& operator=(const TSimLine&) = delete;

  bool Open(TComm& comm) override;
  void Close(TComm& comm) override;
  int32_t Queued(TComm& comm) override;
  void Write(TComm& comm, const uint8_t* src, uint16_t count) override;
  void Read(TComm& comm, uint8_t* dst, uint16_t count) override;
  void WaitForInput(TComm& comm, int64_t timeoutMs) override;
  int64_t NowMs() override;
  void SleepMs(int64_t ms) override;
  std::string Describe(const TComm& comm) override;
#ifdef __linux__
  int GetSerialFlags(TComm& comm, int32_t* flags) override;
  int SetSerialFlags(TComm& comm, int32_t flags) override;
#endif

  // The adapter's timer in nanoseconds now; 0 without an adapter.
  int64_t AdapterLatencyNs() const { return adapter_.LatencyNs(); }

  // The panel: memory, fault, exchange count, headers and bytes heard.
  PanelEngine& Engine() { return engine_; }
  const PanelEngine& Engine() const { return engine_; }

  SimClock Clock() const { return clock_; }
  // The line's clock in nanoseconds (the clock of NowMs).
  int64_t NowNs() const;

  // The n-th Open since construction (counting from 1) fails with the given
  // reason (InUse or NoDevice, say); 0 for none.
  void FailOpenAt(int n, TCommError why = TCommError::InUse);
  // Opens asked for since construction, failed ones included.
  int Opens() const { return opens_; }
  // The tool's line speed of every Open that succeeded, in order.
  const std::vector<int>& OpenSpeeds() const { return openSpeeds_; }
  // Every byte the panel put on the line, in order, whether or not the tool
  // took it.
  const std::vector<uint8_t>& PanelSent() const { return panelSent_; }
  // True once the panel has hung up (a CloseLine fault), as of the line's
  // clock.
  bool LineClosed() const;

 private:
  struct TTimedByte {
    int64_t due;
    uint8_t byte;
  };

  // PanelTransport
  int ToolSpeed() override { return toolSpeed_; }
  void Send(const std::vector<uint8_t>& bytes, const std::vector<int64_t>& dueNs) override;
  void HangUp(int64_t atNs) override;
  // Puts bytes handed over by the adapter into the tool's queue.
  void Queue(const std::vector<UsbAdapter::Handed>& handed);

  // Lets the panel act on everything due up to t, each at its own time.
  void RunTo(int64_t t);
  // Moves the clock to t (virtual) or sleeps until then (real).
  void AdvanceTo(int64_t t);
  // Runs the panel up to now and returns now.
  int64_t Catch();
  bool IsOpen(const TComm& comm) const { return comm.Handle != -1 && comm.Handle == openHandle_; }
  bool HungUpBy(int64_t t) const { return hangUpAt_ && *hangUpAt_ <= t; }
  // Bytes of the tool's queue that have arrived by t.
  size_t ArrivedBy(int64_t t) const;
  // The next moment something can change for a waiting tool, not later
  // than limit.
  int64_t NextEvent(int64_t now, int64_t limit) const;
  // Waits until need bytes have arrived, the line is lost or limit passes.
  void AwaitBytes(TComm& comm, size_t need, int64_t limit);

  const SimClock clock_;
  int64_t virtualNow_ = kVirtualStartNs;
  PanelEngine engine_;
  std::optional<int64_t> wake_;       // when the panel wants to look again
  std::optional<int64_t> hangUpAt_;   // when the panel's side went away
  std::deque<TTimedByte> toTool_;     // the tool's input, by arrival time
  UsbAdapter adapter_;                // none unless configured
  int adapterLatencyMs_ = 0;          // the adapter's timer as configured
  int32_t serialFlags_ = 0;           // its driver's flags word
  int toolSpeed_ = 9600;              // as a fresh pty starts
  intptr_t openHandle_ = -1;
  int opens_ = 0;
  int failOpenAt_ = 0;
  TCommError failOpenWhy_ = TCommError::InUse;
  std::vector<int> openSpeeds_;
  std::vector<uint8_t> panelSent_;
};

}  // namespace tarvex::sim
