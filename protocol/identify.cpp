#include "protocol/identify.h"

#include "protocol/frames.h"
#include "protocol/text.h"
#include "serial/trace.h"

namespace tarvex {

int32_t SmallModelNumber(const std::string& name) {
  for (int i = 0; i < 8; ++i)
    if (name == kSmallModelNames[i]) return kFirstSmallModel + i;
  return 0;
}

std::string ModelName(int32_t model) {
  if (model == kLargeModel) return kLargeModelName;
  if (model >= kFirstSmallModel && model <= kVYR16D) return kSmallModelNames[model - kFirstSmallModel];
  return std::string();
}

const TBlockMap* BlockMapForModel(int32_t model) {
  if (model >= 23 && model <= 25) return &kBlockMap1;
  if (model >= 26 && model <= 29) return &kBlockMap2;
  if (model == 30) return &kBlockMap3;
  return nullptr;
}

int IdentifySmallPanel(TSession& s, TComm& port) {
  s.ShowStatus(s.LangStrings.ReadingVersion + " VYR Unit");
  s.Notify(ProgressSetRange, kSmallVersionLastIndex);
  TTransferBuffer& buf = *s.TransferBuffer;
  if (!ReadSmallRange(s, kSmallVersionAddress, kSmallVersionLastIndex, buf, port)) {
    if (!s.SystemFlags.QuietErrors) s.Box(TBoxKind::Warning, s.LangStrings.ReadError);
    s.Notify(ProgressClear);
    return 1;
  }
  const std::string model = PrintableField(buf, 0, 6);
  const int32_t number = SmallModelNumber(model);
  if (number == 0) {
    // A reply that names none of the eight models is not a panel this tool
    // knows: treat it like a failed read, so that the block map of an
    // earlier panel is never used on it.
    if (!s.SystemFlags.QuietErrors) s.Box(TBoxKind::Warning, s.LangStrings.ReadError);
    s.Notify(ProgressClear);
    return 1;
  }
  s.SystemFlags.ConnectedModel = number;
  const double version = ParseVersion(PrintableField(buf, 8, 4));
  s.SystemFlags.PanelDescription = model + " v." + FormatVersion(version);
  s.SystemFlags.FirmwareVersion = version;
  if (number == kVYR16D || version >= kMinSmallFirmware) {
    s.BlockMap = *BlockMapForModel(number);
    return 0;
  }
  s.Notify(ProgressClear);
  if (!s.SystemFlags.QuietErrors) s.Box(TBoxKind::Error, s.LangStrings.UnknownFirmware);
  return 1;
}

namespace {

constexpr int kProbeSettleMs = 50;
constexpr double kProbeEchoLimit = 0.5;

int BaudOf(const TComm& port) { return port.BaudIndex < kBaudIndexCount ? kBaudTable[port.BaudIndex] : 0; }

// Writes the probe and waits for it to come back unchanged.
bool ProbeEchoed(TSession& s, TComm& port) {
  WriteComm(port, kBaudProbe, sizeof kBaudProbe);
  if (port.Trace) {
    TTraceEvent e(TTraceKind::Sent);
    e.role = TTraceRole::Probe;
    e.bytes = kBaudProbe;
    e.count = sizeof kBaudProbe;
    e.baud = BaudOf(port);
    TraceEvent(port, e);
  }
  SleepOn(port, kProbeSettleMs, "for the probe to come back");
  const std::string reply = ReadReply(port, 6, kProbeEchoLimit, TTraceRole::ProbeEcho);
  s.Notify(ProgressStep, 1);
  const bool echoed = reply == std::string(reinterpret_cast<const char*>(kBaudProbe), sizeof kBaudProbe);
  if (port.Trace) {
    if (!reply.empty())
      TraceBytes(port, TTraceKind::Received, TTraceRole::ProbeEcho, reinterpret_cast<const uint8_t*>(reply.data()),
                 reply.size(), echoed);
    TTraceEvent e(TTraceKind::BaudProbe);
    e.ok = echoed;
    e.baud = BaudOf(port);
    TraceEvent(port, e);
  }
  return echoed;
}

void TraceBaudSearch(const TComm& port, bool found) {
  TTraceEvent e(TTraceKind::BaudSearch);
  e.ok = found;
  e.baud = BaudOf(port);
  TraceEvent(port, e);
}

}  // namespace

bool FindBaudRate(TSession& s, TComm& port) {
  s.ShowStatus(s.LangStrings.SyncBaudRate);
  s.Notify(ProgressSetRange, 6);
  if (EnsurePortOpen(s, port) && ProbeEchoed(s, port)) {
    if (port.Trace) TraceBaudSearch(port, true);
    return true;
  }
  ClosePort(port);
  bool found = false;
  for (uint8_t index = 11; index >= 6 && !found; --index) {
    port.BaudIndex = index;
    if (EnsurePortOpen(s, port)) found = ProbeEchoed(s, port);
    // Also after a failed open: a port that refused the rate is still held,
    // and the next rate's open would see it open and never set its speed.
    if (!found) ClosePort(port);
  }
  if (port.Trace) TraceBaudSearch(port, found);
  EnsurePortOpen(s, port);
  return found;
}

int IdentifyLargePanel(TSession& s, TComm& port) {
  bool ok = true;
  TTransferBuffer& buf = *s.TransferBuffer;
  FindBaudRate(s, port);
  SleepOn(port, 100, "before the version read");
  s.ShowStatus(s.LangStrings.ReadingVersion + " VYR 320");
  s.Notify(ProgressSetRange, 25);
  if (ReadLargeRange(s, kLargeVersionAddress, kLargeVersionLastIndex, buf, port) != 0) {
    ok = false;
  } else if (PrintableField(buf, 15, 2) == "K1") {
    // Units that answer "K1" are not identified further. Nothing in this
    // tool can move such a unit's data safely, so it does not count as
    // identified.
    ok = false;
  } else {
    if (PrintableField(buf, 0, 5) == "2.xx") {
      // On failure the buffer still holds "2.xx", which the rule below refuses.
      ReadLargeRange(s, kLargeRealVersionAddress, 4, buf, port);
    }
    const std::string v = PrintableField(buf, 0, 4);
    if (PadRight(v, 4, '0') < "1.00" || v >= "2.09") {
      // Shown even during the connection check.
      s.Box(TBoxKind::Warning, s.LangStrings.UnknownFirmware);
      ok = false;
    } else if (v < "2.00") {
      ok = false;
    } else {
      s.SystemFlags.ConnectedModel = kLargeModel;
      s.SystemFlags.PanelDescription = std::string(kLargeModelName) + " v." + v;
    }
  }
  if (ok && PrintableField(buf, 0, 4) > "1.39") {
    if (ReadLargeRange(s, kLargeRealVersionAddress, 5, buf, port) != 0) ok = false;
  }
  if (!ok && !s.SystemFlags.QuietErrors) s.Box(TBoxKind::Warning, s.LangStrings.ReadError);
  s.UI->SetBusyCursor(false);
  return ok ? 0 : 1;
}

}  // namespace tarvex
