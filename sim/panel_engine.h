// The protocol side of a simulated VYR-family panel, apart from any line.
//
// The engine holds the panel's memory and plays its part of the panel
// memory protocol: six-byte headers echoed by the panel, 16-bit addresses
// and an additive checksum for the small models, 24-bit addresses and
// CRC-16/CMS for the large "VYR 320", the baud probe of the large panel,
// writes echoed as soon as their header is in and discarded without a word
// when the check of their data fails,
// the garbage a panel sends when spoken to at another speed, and the faults
// of PanelConfig. It never reads a clock and never blocks: the transport
// that carries its bytes (a pseudo-terminal, or an in-process line with a
// virtual clock) hands in the time with every call, in nanoseconds from 0
// up on whatever monotonic clock it runs on, and gets the answers back with
// the time each byte is due at the tool. The same engine therefore serves a
// real-time pty and a test line whose seconds cost nothing.
//
// Threads: Receive, Process and NoteReopen belong to the transport's thread
// (one at a time). Memory, fault and logs are safe from any thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/panel_config.h"

namespace tarvex::sim {

// The line as the engine sees it. Called only from inside
// PanelEngine::Receive and PanelEngine::Process.
class PanelTransport {
 public:
  virtual ~PanelTransport() = default;
  // The speed the tool's side of the line is set to now, in bit/s; 0 when
  // unknown (the engine then takes its own speed for byte times).
  virtual int ToolSpeed() = 0;
  // Bytes for the tool. dueNs[i] is when byte i has wholly arrived at the
  // tool, on the transport's clock; the times never decrease, across calls
  // too, and none is earlier than the time of the call that sends it.
  virtual void Send(const std::vector<uint8_t>& bytes, const std::vector<int64_t>& dueNs) = 0;
  // The panel closes its side of the line once what it has sent has arrived
  // (atNs, not earlier than the last due time). The engine is dead from
  // then on: it sends nothing more and hears nothing.
  virtual void HangUp(int64_t atNs) = 0;
};

class PanelEngine {
 public:
  // Input that stops short of a frame is dropped once the line has been
  // quiet this long, so that stray bytes cannot keep the panel out of step.
  static constexpr int64_t kResyncIdleNs = 50'000'000;
  // A write header whose data stops coming is given up after this much quiet.
  static constexpr int64_t kWriteDataIdleNs = 250'000'000;
  // With wire time, every byte takes this many bit times at the line speed
  // (start bit, 8 data bits, parity, stop bit), both directions.
  static constexpr int kBitsPerByte = 11;

  // The memory is filled here from the configuration, so it can be read and
  // changed before any byte moves. A configuration that is not Valid gives
  // an engine without memory that ignores its input.
  PanelEngine(PanelConfig cfg, PanelTransport& transport);
  PanelEngine(const PanelEngine&) = delete;
  PanelEngine& operator=(const PanelEngine&) = delete;

  // A known model and a main code of 0 to 6 digits; otherwise false and why.
  bool Valid(std::string* why = nullptr) const;
  const PanelConfig& Config() const { return cfg_; }
  // 6 for "VYR 320", 23..30 for the small models, 0 for an unknown name.
  int Model() const { return model_; }
  bool IsLarge() const { return large_; }
  // The speed the panel talks at (configured or default).
  int PanelSpeed() const { return panelSpeed_; }

  // ---- the transport's thread ----

  // The tool opened the line afresh. Whatever it sent before cannot belong
  // to what it sends next, so the next bytes heard start a new frame (as
  // they do after a change of the tool's speed).
  void NoteReopen();
  // Bytes the tool put on the line at nowNs. With wire time they reach the
  // panel one after another, each a byte time after the previous one (or
  // after nowNs when the line was idle); without, at nowNs.
  void Receive(int64_t nowNs, const uint8_t* data, size_t count);
  // Acts on every frame that has wholly arrived by nowNs, sending answers
  // through the transport. Returns when it wants to be called again (always
  // later than nowNs), or nothing while it only waits for input. Calling it
  // more often does no harm; calling it late makes the answers late.
  std::optional<int64_t> Process(int64_t nowNs);
  // True once a CloseLine fault has hung up.
  bool LineClosed() const { return closed_; }
  // The line went away (the transport stopped): what was on its way in,
  // a write's block among it, is lost.
  void LineGone() { ResetInput(); }

  // ---- any thread ----

  // Panel memory: 65536 bytes (small) or 16 MiB (large). Addresses wrap.
  std::vector<uint8_t> ReadMemory(uint32_t addr, size_t count) const;
  void WriteMemory(uint32_t addr, const std::vector<uint8_t>& bytes);
  // Replaces the fault; it is looked at from the next header on.
  void SetFault(Fault f);
  // Headers taken off the line so far (see Fault for what counts).
  int ExchangeCount() const;
  // Every header taken off the line, in order.
  std::vector<std::array<uint8_t, 6>> HeadersReceived() const;
  // Every byte the tool sent, in order.
  std::vector<uint8_t> ReceivedBytes() const;
  // Waits until the block of the latest write header is off the line:
  // stored, or discarded (bad check, or the data stopped coming). The echo
  // goes out before the data, so a tool's write can end before the panel
  // holds the block. False when the limit ran out first. Only for a panel
  // whose transport runs on a thread of its own.
  bool WaitForWriteData(std::chrono::milliseconds limit) const;

 private:
  enum class Mode { Header, WriteData, Discard };
  using Header = std::array<uint8_t, 6>;

  void EndWriteData();

  int64_t ByteTimeNs(int speed) const;
  uint32_t AddrMask() const;
  void Send(int64_t nowNs, const std::vector<uint8_t>& out);
  std::vector<uint8_t> Noise(size_t n, const Header& header);
  // Sends the echo, the data and the check as the fault shapes them; false
  // once the panel has hung up.
  bool Answer(int64_t nowNs, const Header& header, std::vector<uint8_t> data, std::vector<uint8_t> check,
              FaultKind fk);
  std::vector<uint8_t> CheckBytes(const std::vector<uint8_t>& data) const;
  std::vector<uint8_t> Fetch(uint32_t addr, size_t n) const;
  void Store(uint32_t addr, const uint8_t* data, size_t n);
  void WrongSpeedAnswer(int64_t nowNs, const Header& header, int toolSpeed);
  void HandleHeader(int64_t nowNs, const Header& h);
  // A write's data and check have wholly arrived: stored when the check
  // holds, silently discarded when not.
  void HandleWriteData(const std::vector<uint8_t>& frame);
  size_t WriteFrameBytes() const;
  void ResetInput();
  void Drop(size_t n);

  const PanelConfig cfg_;
  PanelTransport& transport_;
  int model_ = 0;
  bool large_ = false;
  bool valid_ = false;
  int panelSpeed_ = 0;
  const SimBlockMap* map_ = nullptr;
  std::atomic<bool> closed_{false};

  mutable std::mutex memMutex_;
  std::vector<uint8_t> memory_;

  mutable std::mutex logMutex_;
  Fault fault_;
  int exchanges_ = 0;
  int writes_ = 0;  // write headers among them
  bool writeOpen_ = false;  // a write header is in, its data not yet taken
  mutable std::condition_variable writeDone_;
  std::vector<Header> headers_;
  std::vector<uint8_t> received_;

  // ---- the transport's thread only ----
  Mode mode_ = Mode::Header;
  std::deque<uint8_t> in_;
  std::deque<int64_t> inDue_;     // when each queued byte has wholly arrived
  int64_t lastActivity_ = 0;      // latest arrival of any input byte
  int64_t lastDue_ = 0;           // arrival of the latest input byte
  int64_t lineFreeAt_ = 0;        // when the panel's own output has left the wire
  bool reopened_ = false;         // the tool opened the line since the last bytes
  int heardSpeed_ = 0;            // tool speed when the latest input was heard
  FaultKind pendingFault_ = FaultKind::None;
  uint32_t pendingAddr_ = 0;
  size_t pendingCount_ = 0;
  uint64_t noiseCounter_ = 0;
};

}  // namespace tarvex::sim
