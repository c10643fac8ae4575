// Wiping memory that held codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvex {

// Overwrites memory that held codes, in a way the compiler cannot drop as
// a dead store.
void WipeBytes(void* data, size_t size);
inline void WipeString(std::string& s) {
  WipeBytes(s.data(), s.size());
  s.clear();
}
// Wipes a byte vector when it goes out of scope, on every path.
class TWipeOnExit {
 public:
  explicit TWipeOnExit(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  ~TWipeOnExit() { WipeBytes(bytes_.data(), bytes_.size()); }
  TWipeOnExit(const TWipeOnExit&) = delete;
  TWipeOnExit& operator=(const TWipeOnExit&) = delete;

 private:
  std::vector<uint8_t>& bytes_;
};

}  // namespace tarvex
