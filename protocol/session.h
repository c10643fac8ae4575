// The link state of one run: the one port of the panel link, its tuning
// values and identification results, the status text, the texts of the
// language in force, the block map, the transfer buffer and the two data
// images, all held in one TSession that its owner (a window, the
// command-line tool, a test) creates. The panel code reaches the user only
// through the session's TUserInterface.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/lang_strings.h"
#include "protocol/panel_image.h"
#include "protocol/user_interface.h"
#include "protocol/wipe.h"
#include "protocol/write_record.h"
#include "serial/comm.h"

namespace tarvex {

struct TSystemFlags {
  int32_t SuccessPauseMs = 50;  // sleep after a successful exchange
  int32_t Attempts = 1;         // tries of one exchange
  int32_t RetryPauseMs = 700;   // sleep before a retry
  std::string PanelDescription; // "VYR8 v.2.10", "VYR 320 v.2.05"
  int32_t ConnectedModel = 0;   // 0 none; 6 the large panel; 23..30 small models
  double FirmwareVersion = 0;   // version of the last identified small panel
  bool QuietErrors = false;     // identification holds back most of its boxes
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

// Every block passes through this one buffer; a range covers at most its
// 65537 bytes (last index at most 65536).
inline constexpr size_t kTransferBufferSize = 65537;
using TTransferBuffer = std::array<uint8_t, kTransferBufferSize>;

// Everything the panel link and the window share for one run.
struct TSession {
  explicit TSession(TUserInterface& ui) : UI(&ui) {}
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;

  TUserInterface* UI;
  // The panel link: 115200 baud, even parity, 8 data bits, one stop bit.
  TComm PanelPort{};
  TSystemFlags SystemFlags{};
  std::string StatusText;
  TLanguageStrings LangStrings{};
  TExtraStrings ExtraStrings{};
  TBlockMap BlockMap{};
  std::unique_ptr<TTransferBuffer> TransferBuffer = std::make_unique<TTransferBuffer>();
  std::unique_ptr<SmallPanelImage> Small = std::make_unique<SmallPanelImage>();
  std::unique_ptr<LargePanelImage> Large = std::make_unique<LargePanelImage>();
  TTargetUsers TargetUsers{};
  // The target's code block as read during a send, kept aside while the
  // backup reads more blocks through the transfer buffer: on map 3 its
  // second half goes back exactly as read. Wiped when the send ends.
  std::vector<uint8_t> TargetCodeBlock;
  // While a send writes, every byte the range writes put into the panel,
  // for the read-back that proves them; null otherwise.
  TWriteRecord* Written = nullptr;

  bool IsLargePanel() const { return SystemFlags.ConnectedModel == kLargeModel; }

  // Sends the progress notice synchronously.
  void Notify(int code, int32_t value = 0) { UI->TransferProgress(code, value, StatusText); }
  // Sets StatusText and shows it.
  void ShowStatus(const std::string& text) {
    StatusText = text;
    Notify(ProgressShowStatus);
  }
  // Shows a message box. A read or write error box after the panel's line
  // was lost (TComm.LineLost) gets a second line asking whether the
  // adapter was unplugged.
  void Box(TBoxKind kind, const std::string& text);
  void Pump() { UI->PumpEvents(); }
};

// Opens the port unless it is open. On failure shows the ErrorOpeningPort
// warning (whatever QuietErrors says) and returns false.
bool EnsurePortOpen(TSession& s, TComm& port);
// The text of that warning after port failed to open: ErrorOpeningPort,
// and after "\r\n" what to do where the system can tell (OpenFailureHint).
std::string OpenFailureText(const TSession& s, const TComm& port);
// Why port could not be opened and what to do, in the language of texts;
// empty when there is nothing to add. No permission: join the device's
// group (or ask for access); held by another program: close it, naming it
// where the system can; no device: was the adapter unplugged?
std::string OpenFailureHint(const TComm& port, const TExtraStrings& texts);
// The device and why it could not be opened, in the language of texts
// ("/dev/ttyUSB0: permission denied").
std::string OpenFailureReason(const TComm& port, const TExtraStrings& texts);
// Closes the port; the record counts as closed afterwards in every case.
void ClosePort(TComm& port);


}  // namespace tarvex
