// The panel link and what it identified. A TLink is the one port of the
// panel line with its tuning values, the transfer buffer every block passes
// through and whoever hears the progress events; a TPanelIdentity is what
// the last identification found. Their owner (the application's session,
// a tool, a test) creates them; the images of panel data are owned by the
// caller and passed to the sequences that fill or send them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "protocol/outcome.h"
#include "serial/comm.h"

namespace tarvex {

// Pauses and attempts of the link's exchanges.
struct TLinkTuning {
  int32_t SuccessPauseMs = 50;  // sleep after a successful exchange
  int32_t Attempts = 1;         // tries of one exchange
  int32_t RetryPauseMs = 700;   // sleep before a retry
};

inline constexpr int32_t kLargeModel = 6;

// Panel addresses and lengths of the identified small panel's data blocks.
struct TBlockMap {
  uint16_t CodesAddr = 0, CodesLen = 0;
  uint16_t UserAttrAddr = 0, UserAttrLen = 0;
  uint16_t UserNamesAddr = 0, UserNamesLen = 0;
  uint16_t KeyTableAddr = 0, KeyTableLen = 0;
  uint16_t KeyDataAddr = 0, KeyDataLen = 0;
  uint16_t KeyNamesAddr = 0, KeyNamesLen = 0;
  bool operator==(const TBlockMap&) const = default;
};

inline constexpr TBlockMap kBlockMap1{313, 144, 463, 240, 5264, 384, 2235, 384, 1723, 512, 5648, 256};
inline constexpr TBlockMap kBlockMap2{436, 72, 511, 240, 7088, 384, 2872, 384, 2360, 512, 7472, 256};
inline constexpr TBlockMap kBlockMap3{203, 144, 278, 240, 6480, 384, 2204, 384, 1692, 512, 7136, 256};

// What the identification found.
struct TPanelIdentity {
  std::string PanelDescription;  // "VYR8 v.2.10", "VYR 320 v.2.05"
  int32_t ConnectedModel = 0;    // 0 none; 6 the large panel; 23..30 small models
  double FirmwareVersion = 0;    // version of the last identified small panel
  TBlockMap BlockMap{};          // the identified small panel's blocks

  bool IsLargePanel() const { return ConnectedModel == kLargeModel; }
};

// Every block passes through this one buffer; a range covers at most its
// 65537 bytes (last index at most 65536).
inline constexpr size_t kTransferBufferSize = 65537;
using TTransferBuffer = std::array<uint8_t, kTransferBufferSize>;

// The panel link.
struct TLink {
  TLink() = default;
  TLink(const TLink&) = delete;
  TLink& operator=(const TLink&) = delete;

  // The panel line: 115200 baud, even parity, 8 data bits, one stop bit.
  // Its trace, when one is kept, hangs on the port (PanelPort.Trace).
  TComm PanelPort{};
  TLinkTuning Tuning{};
  std::unique_ptr<TTransferBuffer> TransferBuffer = std::make_unique<TTransferBuffer>();
  // Hears the progress events; none when null.
  TProgressSink* Progress = nullptr;

  TTransferBuffer& Buffer() { return *TransferBuffer; }
  void Report(const TProgressEvent& e) {
    if (Progress) Progress->OnProgress(e);
  }
  void Phase(TPhase phase, int32_t range) {
    TProgressEvent e;
    e.kind = TProgressEvent::TKind::Phase;
    e.phase = phase;
    e.value = range;
    Report(e);
  }
  void Range(int32_t range) {
    TProgressEvent e;
    e.kind = TProgressEvent::TKind::Range;
    e.value = range;
    Report(e);
  }
  void Step(int32_t value) {
    TProgressEvent e;
    e.kind = TProgressEvent::TKind::Step;
    e.value = value;
    Report(e);
  }
  void Clear() { Report(TProgressEvent{}); }
};

// Opens the port unless it is open. PortNotOpen, with the port's error,
// when it cannot be opened.
TOutcome OpenLink(TComm& port);
// Closes the port; the record counts as closed afterwards in every case.
void ClosePort(TComm& port);

}  // namespace tarvex
