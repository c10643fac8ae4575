// Link set-up: finding the line speed and identifying the connected panel.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/link.h"
#include "protocol/outcome.h"

namespace tarvex {

// The eight small models, in the order of their model numbers 23 to 30.
inline constexpr const char* kSmallModelNames[8] = {"VYR4", "VYR8", "VYR8G", "VYR32",
                                                    "VYR32G", "VYR8W", "VYR8WG", "VYR16D"};
inline constexpr int32_t kFirstSmallModel = 23;
inline constexpr int32_t kVYR16D = 30;
inline constexpr const char* kLargeModelName = "VYR 320";

inline constexpr uint32_t kSmallVersionAddress = 0;
inline constexpr int32_t kSmallVersionLastIndex = 11;
inline constexpr uint32_t kLargeVersionAddress = 5523;
inline constexpr int32_t kLargeVersionLastIndex = 16;
inline constexpr uint32_t kLargeRealVersionAddress = 65544;
inline constexpr double kMinSmallFirmware = 2.1;

// Written as they are and expected back unchanged.
inline constexpr uint8_t kBaudProbe[6] = {0x3C, 0xC3, 0x00, 0x00, 0x00, 0xFF};

// Model number for a small model's name, 0 when it is none of the eight.
int32_t SmallModelNumber(const std::string& name);
// "VYR8", "VYR 320", or empty for 0 and unknown numbers.
std::string ModelName(int32_t model);
// The block map of a small model; nullptr for any other number.
const TBlockMap* BlockMapForModel(int32_t model);

// Reads the small panel's version block and, for one of the eight models
// with a firmware this tool handles, fills panel (model, description,
// firmware, block map). Failures: the read's outcome, NotAPanel,
// UnknownFirmware (model, description and firmware are then set).
TOutcome IdentifySmallPanel(TLink& link, TPanelIdentity& panel);
// True when the panel echoed the probe at some rate; the port is left open
// at that rate, or reopened at 9600 when none answered. Every open that
// fails is reported at once as an OpenFailed event.
bool FindBaudRate(TLink& link);
// The baud search, then the large panel's version. Failures: the read's
// outcome, UnknownFirmware (a version outside 1.00 to 2.08) or
// NotIdentified (a "K1" unit or a version below 2.00).
TOutcome IdentifyLargePanel(TLink& link, TPanelIdentity& panel);

}  // namespace tarvex
