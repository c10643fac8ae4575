// The adapter's buffer and latency timer.
#include "sim/usb_adapter.h"

namespace tarvex::sim {

void UsbAdapter::HandOver(int64_t atNs, std::vector<Handed>* out) {
  for (const uint8_t b : held_) out->push_back(Handed{b, atNs});
  held_.clear();
}

void UsbAdapter::Arrive(uint8_t byte, int64_t arrivalNs, std::vector<Handed>* out) {
  if (!On()) {
    out->push_back(Handed{byte, arrivalNs});
    return;
  }
  // The timer ran out before this byte: what was held has gone already. A
  // byte that comes the very moment it runs out starts the next packet.
  if (!held_.empty() && arrivalNs >= deadlineNs_) HandOver(deadlineNs_, out);
  held_.push_back(byte);
  deadlineNs_ = arrivalNs + latencyNs_;
  if (held_.size() >= kPacketPayload) HandOver(arrivalNs, out);
}

std::optional<int64_t> UsbAdapter::Deadline() const {
  if (held_.empty()) return std::nullopt;
  return deadlineNs_;
}

void UsbAdapter::Expire(int64_t nowNs, std::vector<Handed>* out) {
  if (!held_.empty() && nowNs >= deadlineNs_) HandOver(deadlineNs_, out);
}

void UsbAdapter::Flush(std::vector<Handed>* out) {
  if (!held_.empty()) HandOver(deadlineNs_, out);
}

}  // namespace tarvex::sim
