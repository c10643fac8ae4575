// The progress bar as the progress notice drives it: a maximum set for each
// phase and a position advanced by each block's byte count, held between 0
// and the maximum. The windows and the command-line tool's bar share it.
#pragma once

#include <algorithm>
#include <cstdint>

namespace tarvex {

struct TProgressBar {
  int32_t maximum = 100;
  int32_t position = 0;

  // The maximum of the phase now starting; a position beyond it is pulled
  // back to it.
  void SetRange(int32_t value) {
    maximum = value;
    position = std::clamp(position, 0, std::max(maximum, 0));
  }
  // Advances by value, held at the maximum; -1 puts the bar back to 0.
  void Step(int32_t value) {
    if (value == -1) {
      position = 0;
      return;
    }
    // Computed wide: a value near the 32-bit limit must not wrap round.
    const int64_t next = int64_t{position} + value;
    position = static_cast<int32_t>(std::clamp<int64_t>(next, 0, std::max(maximum, 0)));
  }
  void Clear() { position = 0; }

  // The filled part of a bar of the given width (cells, pixels): 0 to width.
  // A phase announced with no steps shows an empty bar.
  int Filled(int width) const {
    if (maximum <= 0 || position <= 0) return 0;
    return static_cast<int>(int64_t{std::min(position, maximum)} * width / maximum);
  }
  bool operator==(const TProgressBar&) const = default;
};

}  // namespace tarvex
