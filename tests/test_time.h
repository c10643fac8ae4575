// Real time in the few tests that still run on it.
//
// The protocol's waits and pauses are proved on a virtual clock (TSimLine,
// or a fake system layer), exactly and without waiting. What is left on the
// real clock are smoke tests against pseudo-terminals, threads and the
// window's event loop. Their lower bounds are safe on any machine (a sleep
// never ends early), but an upper bound can break on a machine that others
// load, so every upper bound and every wait for something to happen is
// stretched by TARVEX_TEST_TIME_SCALE (a number, default 1; 3 gives three
// times as long). Header-only: the Qt window's test program uses it too.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace tarvex::test {

// TARVEX_TEST_TIME_SCALE, or 1 when it is unset, not a number or below 1
// (a bound is never made tighter than the test wrote it).
inline double TimeScale() {
  const char* v = std::getenv("TARVEX_TEST_TIME_SCALE");
  if (!v || !*v) return 1.0;
  char* end = nullptr;
  const double scale = std::strtod(v, &end);
  if (end == v || *end != '\0' || !(scale >= 1.0) || scale > 1000.0) return 1.0;
  return scale;
}

// A real-time upper bound or time-out, stretched by the scale.
inline int64_t ScaledMs(int64_t ms) { return static_cast<int64_t>(static_cast<double>(ms) * TimeScale()); }

// Milliseconds of the steady clock since t.
inline int64_t SteadyMsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace tarvex::test
