// A USB serial adapter between the panel's line and the computer, as the
// common FTDI chips behave.
//
// The bytes the chip receives from the line wait in its buffer and reach
// the computer in USB packets: a packet goes when the buffer holds 62 bytes
// (a 64-byte packet less its two status bytes), or when the latency timer
// runs out after the last byte received (16 ms on a chip left as it comes;
// 1 ms once the Linux driver, ftdi_sio, is asked for low latency). A short
// reply therefore reaches the computer a whole latency time after its last
// byte left the line, and every exchange pays it once.
//
// The model is plain C++ on the times of the line, in nanoseconds; it has
// no clock of its own. The line (the pty panel, the in-process line) puts
// it after its byte times: what the panel's engine says is the arrival of
// a byte at the far end of the wire is the arrival at the chip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/panel_config.h"

namespace tarvex::sim {

class UsbAdapter {
 public:
  // Payload bytes of one full-speed USB packet of the chip.
  static constexpr size_t kPacketPayload = 62;
  // The latency timer of a chip left as it comes, and the one the Linux
  // driver sets when asked for low latency.
  static constexpr int kDefaultLatencyMs = 16;
  static constexpr int kLowLatencyMs = 1;

  // A byte handed to the computer, and when.
  struct Handed {
    uint8_t byte;
    int64_t atNs;
  };

  // latencyMs 0: no adapter; every byte reaches the computer as it arrives.
  explicit UsbAdapter(int latencyMs = 0) { SetLatencyMs(latencyMs); }

  bool On() const { return latencyNs_ > 0; }
  int64_t LatencyNs() const { return latencyNs_; }
  // The driver sets the timer (0 turns the adapter off). It applies from
  // the next byte received on; a byte already held keeps the deadline it had.
  void SetLatencyMs(int latencyMs) { latencyNs_ = latencyMs > 0 ? int64_t{latencyMs} * 1'000'000 : 0; }

  // A byte has wholly arrived from the line at arrivalNs (never earlier
  // than the byte before it). Appends to out what this hands to the
  // computer, in order: the bytes held whose timer ran out before this byte
  // came (at their deadline), and the packet this byte fills (at once).
  void Arrive(uint8_t byte, int64_t arrivalNs, std::vector<Handed>* out);
  // When the bytes held go to the computer if nothing more arrives;
  // nothing while the buffer is empty.
  std::optional<int64_t> Deadline() const;
  // Hands over the bytes held if their timer has run out by nowNs.
  void Expire(int64_t nowNs, std::vector<Handed>* out);
  // Hands over the bytes held at their deadline, as if nothing more came.
  void Flush(std::vector<Handed>* out);
  // Drops the bytes held: the driver purges the chip's buffer when the
  // port is opened.
  void Purge() { held_.clear(); }
  size_t Held() const { return held_.size(); }

 private:
  void HandOver(int64_t atNs, std::vector<Handed>* out);

  int64_t latencyNs_ = 0;
  std::vector<uint8_t> held_;
  int64_t deadlineNs_ = 0;  // of the bytes held
};

// The timer a configuration gives the adapter, in milliseconds: 1 when the
// driver honoured the low-latency request (an adapter of 16 ms is implied
// when no latency is given), else adapterLatencyMs; 0 for no adapter.
inline int AdapterLatencyMs(const PanelConfig& cfg) {
  if (cfg.adapterLowLatency) return UsbAdapter::kLowLatencyMs;
  return cfg.adapterLatencyMs > 0 ? cfg.adapterLatencyMs : 0;
}

}  // namespace tarvex::sim
