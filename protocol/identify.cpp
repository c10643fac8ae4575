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

TOutcome IdentifySmallPanel(TLink& link, TPanelIdentity& panel) {
  link.Phase(TPhase::ReadingSmallVersion, kSmallVersionLastIndex);
  TTransferBuffer& buf = link.Buffer();
  TOutcome read = ReadSmallRange(link, kSmallVersionAddress, kSmallVersionLastIndex, buf);
  if (!read) {
    link.Clear();
    return In(TStep::IdentifySmall, read);
  }
  const std::string model = PrintableField(buf, 0, 6);
  const int32_t number = SmallModelNumber(model);
  if (number == 0) {
    // A reply that names none of the eight models is not a panel this tool
    // knows: it fails like a read, so that the block map of an earlier
    // panel is never used on it.
    link.Clear();
    return Failure(TResult::NotAPanel, TStep::IdentifySmall);
  }
  panel.ConnectedModel = number;
  const double version = ParseVersion(PrintableField(buf, 8, 4));
  panel.PanelDescription = model + " v." + FormatVersion(version);
  panel.FirmwareVersion = version;
  if (number == kVYR16D || version >= kMinSmallFirmware) {
    panel.BlockMap = *BlockMapForModel(number);
    return Success(TStep::IdentifySmall);
  }
  link.Clear();
  return Failure(TResult::UnknownFirmware, TStep::IdentifySmall);
}

namespace {

constexpr int kProbeSettleMs = 50;
constexpr double kProbeEchoLimit = 0.5;

int BaudOf(const TComm& port) { return port.BaudIndex < kBaudIndexCount ? kBaudTable[port.BaudIndex] : 0; }

// Writes the probe and waits for it to come back unchanged.
bool ProbeEchoed(TLink& link) {
  TComm& port = link.PanelPort;
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
  link.Step(1);
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

// Opens the port unless it is open; a failure is told at once, since the
// search goes on.
bool Opened(TLink& link) {
  const TOutcome o = OpenLink(link.PanelPort);
  if (o) return true;
  TProgressEvent e;
  e.kind = TProgressEvent::TKind::OpenFailed;
  e.outcome = In(TStep::BaudSearch, o);
  link.Report(e);
  return false;
}

}  // namespace

bool FindBaudRate(TLink& link) {
  TComm& port = link.PanelPort;
  link.Phase(TPhase::BaudSearch, 6);
  if (Opened(link) && ProbeEchoed(link)) {
    if (port.Trace) TraceBaudSearch(port, true);
    return true;
  }
  ClosePort(port);
  bool found = false;
  for (uint8_t index = 11; index >= 6 && !found; --index) {
    port.BaudIndex = index;
    if (Opened(link)) found = ProbeEchoed(link);
    // Also after a failed open: a port that refused the rate is still held,
    // and the next rate's open would see it open and never set its speed.
    if (!found) ClosePort(port);
  }
  if (port.Trace) TraceBaudSearch(port, found);
  Opened(link);
  return found;
}

TOutcome IdentifyLargePanel(TLink& link, TPanelIdentity& panel) {
  TOutcome r = Success(TStep::IdentifyLarge);
  TTransferBuffer& buf = link.Buffer();
  FindBaudRate(link);
  TComm& port = link.PanelPort;
  SleepOn(port, 100, "before the version read");
  link.Phase(TPhase::ReadingLargeVersion, 25);
  if (TOutcome read = ReadLargeRange(link, kLargeVersionAddress, kLargeVersionLastIndex, buf); !read) {
    r = In(TStep::IdentifyLarge, read);
  } else if (PrintableField(buf, 15, 2) == "K1") {
    // Units that answer "K1" are not identified further. Nothing in this
    // tool can move such a unit's data safely, so it does not count as
    // identified.
    r = Failure(TResult::NotIdentified, TStep::IdentifyLarge);
  } else {
    if (PrintableField(buf, 0, 5) == "2.xx") {
      // On failure the buffer still holds "2.xx", which the rule below refuses.
      (void)ReadLargeRange(link, kLargeRealVersionAddress, 4, buf);
    }
    const std::string v = PrintableField(buf, 0, 4);
    if (PadRight(v, 4, '0') < "1.00" || v >= "2.09") {
      r = Failure(TResult::UnknownFirmware, TStep::IdentifyLarge);
    } else if (v < "2.00") {
      r = Failure(TResult::NotIdentified, TStep::IdentifyLarge);
    } else {
      panel.ConnectedModel = kLargeModel;
      panel.PanelDescription = std::string(kLargeModelName) + " v." + v;
    }
  }
  if (r && PrintableField(buf, 0, 4) > "1.39") {
    if (TOutcome read = ReadLargeRange(link, kLargeRealVersionAddress, 5, buf); !read)
      r = In(TStep::IdentifyLarge, read);
  }
  return r;
}

}  // namespace tarvex
