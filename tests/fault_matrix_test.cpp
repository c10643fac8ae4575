// Faults injected end to end through the simulated panel: every exchange
// sequence (identification, the reads and writes of the small panels, the
// large panel's read and write) meets the faults the simulated panel can
// play, at its first block and at a block in its middle (kCases says which
// where). Each case checks what the user is shown, that no success is
// reported, that the operation ends within the waits the protocol allows
// for that fault, that the port is closed afterwards and what the image or
// the panel holds.
//
// A USB adapter pulled out mid-transfer is played twice: the panel closing
// its side of the line in the middle of an answer (CloseLine), and the
// panel stopped from another thread (its device disappears). Either way the
// exchange must fail at once, without spinning, and the next connection
// check must find no port.
//
// Every case is its own test, so that CTest spreads them over its jobs.
// docs/fault-matrix.md lists the cases and their outcomes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/connection.h"
#include "app/workflows.h"
#include "protocol/frames.h"
#include "protocol/identify.h"
#include "protocol/text.h"
#include "sim/panel_memory.h"
#include "tests/test_support.h"

namespace tarvex {
namespace {

using sim::FaultKind;
using test::MsSince;
using test::StartPanel;
using test::TEvent;
using test::TTestSession;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// The cases

// The sequences a fault can hit, each inside the workflow that runs it.
enum class TSeq {
  IdentifySmall,  // connection check of a small panel: its version block
  IdentifyLarge,  // connection check of the large panel: version and re-read
  ReadUsers,      // read from a small panel
  ReadCodes,
  ReadKeys,
  TargetUsers,  // send into a small panel: the target's users...
  TargetCodes,  // ...and codes, read to prove its main user code
  BackupKeys,   // send with a backup: the target's keys and cards
  WriteCodes,
  WriteUsers,
  WriteKeys,
  ReadLarge,    // read from the large panel
  BackupLarge,  // send into the large panel with a backup: its seven blocks
  WriteLarge,
};

// The operations the cases run, as the window or the command line would.
enum class TFlow {
  CheckSmall,
  CheckLarge,
  ReadSmall,
  SendSmall,
  SendSmallWithBackup,
  ReadLarge,
  SendLarge,
  SendLargeWithBackup,
};

TFlow FlowOf(TSeq seq) {
  switch (seq) {
    case TSeq::IdentifySmall: return TFlow::CheckSmall;
    case TSeq::IdentifyLarge: return TFlow::CheckLarge;
    case TSeq::ReadUsers:
    case TSeq::ReadCodes:
    case TSeq::ReadKeys: return TFlow::ReadSmall;
    case TSeq::TargetUsers:
    case TSeq::TargetCodes:
    case TSeq::WriteCodes:
    case TSeq::WriteUsers:
    case TSeq::WriteKeys: return TFlow::SendSmall;
    case TSeq::BackupKeys: return TFlow::SendSmallWithBackup;
    case TSeq::ReadLarge: return TFlow::ReadLarge;
    case TSeq::BackupLarge: return TFlow::SendLargeWithBackup;
    case TSeq::WriteLarge: return TFlow::SendLarge;
  }
  return TFlow::ReadSmall;
}

const char* SeqName(TSeq seq) {
  switch (seq) {
    case TSeq::IdentifySmall: return "IdentifySmall";
    case TSeq::IdentifyLarge: return "IdentifyLarge";
    case TSeq::ReadUsers: return "ReadUsers";
    case TSeq::ReadCodes: return "ReadCodes";
    case TSeq::ReadKeys: return "ReadKeys";
    case TSeq::TargetUsers: return "SendTargetUsers";
    case TSeq::TargetCodes: return "SendTargetCodes";
    case TSeq::BackupKeys: return "SendBackupKeys";
    case TSeq::WriteCodes: return "WriteCodes";
    case TSeq::WriteUsers: return "WriteUsers";
    case TSeq::WriteKeys: return "WriteKeys";
    case TSeq::ReadLarge: return "ReadLarge";
    case TSeq::BackupLarge: return "SendBackupLarge";
    case TSeq::WriteLarge: return "WriteLarge";
  }
  return "?";
}

const char* FlowName(TFlow flow) {
  switch (flow) {
    case TFlow::CheckSmall: return "CheckSmall";
    case TFlow::CheckLarge: return "CheckLarge";
    case TFlow::ReadSmall: return "ReadSmall";
    case TFlow::SendSmall: return "SendSmall";
    case TFlow::SendSmallWithBackup: return "SendSmallWithBackup";
    case TFlow::ReadLarge: return "ReadLarge";
    case TFlow::SendLarge: return "SendLarge";
    case TFlow::SendLargeWithBackup: return "SendLargeWithBackup";
  }
  return "?";
}

const char* FaultName(FaultKind f) {
  switch (f) {
    case FaultKind::None: return "None";
    case FaultKind::NoEcho: return "NoEcho";
    case FaultKind::EchoCase: return "EchoCase";
    case FaultKind::BadCheck: return "BadCheck";
    case FaultKind::MissingCheckByte: return "MissingCheckByte";
    case FaultKind::NoiseBeforeEcho: return "Noise";
    case FaultKind::Stall: return "Stall";
    case FaultKind::CloseLine: return "CloseLine";
  }
  return "?";
}

// Which block of the sequence the fault hits.
enum class TWhere { FirstBlock, MiddleBlock, EveryExchange };

const char* WhereName(TWhere w) {
  switch (w) {
    case TWhere::FirstBlock: return "FirstBlock";
    case TWhere::MiddleBlock: return "MiddleBlock";
    case TWhere::EveryExchange: return "EveryExchange";
  }
  return "?";
}

// Default: the tuning of the program (Attempts 1, SuccessPauseMs 50,
// RetryPauseMs 700). NoRetryPause: RetryPauseMs 0, for cases that are not
// about the pause after a failed attempt.
enum class TTuning { Default, NoRetryPause };

struct TCase {
  TSeq seq;
  FaultKind fault;
  TWhere where;
  TTuning tuning;
};

// ---------------------------------------------------------------------------
// The exchanges of each workflow, built from the block maps

enum class TFrame {
  SmallRead,
  SmallWrite,
  LargeRead,
  LargeWrite,
  // The baud-rate probe: echoed by the large panel at its own speed, not
  // answered by a small panel at its own speed, answered with noise by a
  // panel that hears it at another speed.
  ProbeHit,
  ProbeSilent,
  ProbeNoise,
  // The small panel's version read heard by the large panel at another
  // speed: noise comes back.
  SmallReadNoise,
  // The large panel's version read heard by a small panel: no answer.
  LargeReadSilent,
};

bool IsBlock(TFrame f) {
  return f == TFrame::SmallRead || f == TFrame::SmallWrite || f == TFrame::LargeRead || f == TFrame::LargeWrite;
}
bool IsWrite(TFrame f) { return f == TFrame::SmallWrite || f == TFrame::LargeWrite; }
bool IsLarge(TFrame f) { return f == TFrame::LargeRead || f == TFrame::LargeWrite; }

struct TStep {
  TSeq seq;
  TFrame frame;
  THeader header{};
  uint32_t address = 0;  // panel address of the block
  uint32_t count = 0;    // its bytes
  int range = 0;         // which range of its sequence
  bool lastOfRange = true;
  int64_t settleMs = 0;  // fixed waits of the workflow just before it
  // Made only after a failure: the connection check's turn to the large
  // panel once the small panel's version could not be read.
  bool afterFailure = false;
};

// Large panel: the region orders of the read and the write.
constexpr size_t kLargeReadOrder[kLargeRegionCount] = {0, 1, 4, 2, 5, 6, 3};
constexpr size_t kLargeWriteOrder[kLargeRegionCount] = {1, 2, 4, 0, 5, 6, 3};

// Fixed waits of the workflows.
constexpr int64_t kCheckSettleMs = 500;        // connection check, after opening
constexpr int64_t kWorkflowSettleMs = 300;     // send, and read of the large panel
constexpr int64_t kUsersSettleMs = 300;        // before the users' first block
constexpr int64_t kBaudProbeSettleMs = 50;     // between a probe and its reply
constexpr double kBaudProbeLimit = 0.5;        // seconds
constexpr int64_t kAfterBaudSearchMs = 100;
// The baud search tries these indices after the current rate.
constexpr uint8_t kSearchIndices[] = {11, 10, 9, 8, 7, 6};

// The panels of the cases. The seeds are picked for how the panels answer a
// frame at a speed other than their own (noise, or nothing; the plans of
// the connection checks below rely on it): noise fails such an exchange at
// once, silence only when its limit has passed.
constexpr const char* kSmallModel = "VYR8";
constexpr int kSmallPanelSpeed = 9600;
constexpr uint32_t kSmallCheckSeed = 17;  // noise at every rate of the search but 9600
constexpr uint32_t kSmallSeed = 9;
constexpr uint32_t kLargeSeed = 2;  // noise at 9600 baud
// The check finds a panel at the search's first rate with the fewest probes;
// the workflows talk at the panel's default rate.
constexpr int kLargeCheckSpeed = kBaudTable[kSearchIndices[0]];
constexpr const char* kSmallMainCode = "2468";
constexpr const char* kLargeFirmware = "2.05";
constexpr const char* kLargeCode = "1234";

class TPlan {
 public:
  std::vector<TStep> steps;

  void Settle(int64_t ms) { settle_ += ms; }

  void Range(TSeq seq, TFrame frame, uint32_t address, uint32_t bytes, int range) {
    const uint32_t size = IsLarge(frame) ? LargeBlockSize : SmallBlockSize;
    for (uint32_t done = 0; done < bytes; done += size) {
      TStep st{seq, frame};
      st.address = address + done;
      st.count = std::min(size, bytes - done);
      st.range = range;
      st.lastOfRange = done + st.count == bytes;
      const uint32_t last = st.count - 1;
      switch (frame) {
        case TFrame::SmallRead: st.header = MakeSmallHeader(kSmallReadCommand, st.address, last); break;
        case TFrame::SmallWrite: st.header = MakeSmallHeader(kSmallWriteCommand, st.address, last); break;
        case TFrame::LargeRead: st.header = MakeLargeHeader(kLargeReadCommand, st.address, last); break;
        case TFrame::LargeWrite: st.header = MakeLargeHeader(kLargeWriteCommand, st.address, last); break;
        default: break;
      }
      Add(st);
    }
  }

  void Probe(TSeq seq, TFrame frame) {
    TStep st{seq, frame};
    std::copy(std::begin(kBaudProbe), std::end(kBaudProbe), st.header.begin());
    Add(st);
  }

  // A read the panel cannot answer as asked.
  void Foreign(TSeq seq, TFrame frame, THeader header, uint32_t count) {
    TStep st{seq, frame};
    st.header = header;
    st.count = count;
    Add(st);
  }

  // The steps added from now on are made only after a failure.
  void AfterFailure() { afterFailure_ = true; }

  // Plan indices of the blocks of a sequence.
  std::vector<size_t> Blocks(TSeq seq) const {
    std::vector<size_t> out;
    for (size_t i = 0; i < steps.size(); ++i)
      if (steps[i].seq == seq && IsBlock(steps[i].frame) && !steps[i].afterFailure) out.push_back(i);
    return out;
  }

  // True when every block of the range had been done before plan index done.
  bool RangeDone(TSeq seq, int range, size_t done) const {
    bool any = false;
    for (size_t i = 0; i < steps.size(); ++i) {
      if (steps[i].seq != seq || steps[i].range != range || !IsBlock(steps[i].frame)) continue;
      any = true;
      if (i >= done) return false;
    }
    return any;
  }

 private:
  void Add(TStep st) {
    st.settleMs = settle_;
    st.afterFailure = afterFailure_;
    settle_ = 0;
    steps.push_back(st);
  }
  int64_t settle_ = 0;
  bool afterFailure_ = false;
};

void SmallReadsOfUsers(TPlan& p, const TBlockMap& m, TSeq users, TSeq codes) {
  p.Settle(kUsersSettleMs);
  p.Range(users, TFrame::SmallRead, m.UserAttrAddr, m.UserAttrLen, 0);
  p.Range(users, TFrame::SmallRead, m.UserNamesAddr, m.UserNamesLen, 1);
  p.Range(codes, TFrame::SmallRead, m.CodesAddr, m.CodesLen, 0);
}

void SmallReadsOfKeys(TPlan& p, const TBlockMap& m, TSeq seq) {
  p.Range(seq, TFrame::SmallRead, m.KeyDataAddr, m.KeyDataLen, 0);
  p.Range(seq, TFrame::SmallRead, m.KeyTableAddr, m.KeyTableLen, 1);
  p.Range(seq, TFrame::SmallRead, m.KeyNamesAddr, m.KeyNamesLen, 2);
}

// Index of a rate in the baud table.
uint8_t BaudIndexOf(int rate) {
  for (uint8_t i = 0; i < kBaudIndexCount; ++i)
    if (kBaudTable[i] == rate) return i;
  return 0xFF;
}

TPlan PlanFor(TFlow flow) {
  TPlan p;
  const TBlockMap& m = *BlockMapForModel(SmallModelNumber(kSmallModel));
  switch (flow) {
    case TFlow::CheckSmall: {
      p.Settle(kCheckSettleMs);
      p.Range(TSeq::IdentifySmall, TFrame::SmallRead, kSmallVersionAddress, kSmallVersionLastIndex + 1, 0);
      // When that fails the check turns to the large panel: a probe at the
      // current 9600 baud and at every rate of the search (this small panel
      // ignores the probe at its own speed and answers the others with
      // noise), then the large panel's version read at 9600, unanswered.
      p.AfterFailure();
      p.Probe(TSeq::IdentifySmall, TFrame::ProbeSilent);
      for (uint8_t index : kSearchIndices)
        p.Probe(TSeq::IdentifySmall, kBaudTable[index] == kSmallPanelSpeed ? TFrame::ProbeSilent : TFrame::ProbeNoise);
      p.Settle(kAfterBaudSearchMs);
      p.Foreign(TSeq::IdentifySmall, TFrame::LargeReadSilent,
                MakeLargeHeader(kLargeReadCommand, kLargeVersionAddress, kLargeVersionLastIndex), kLargeVersionLastIndex + 1);
      break;
    }
    case TFlow::CheckLarge:
      p.Settle(kCheckSettleMs);
      // At the check's 9600 baud the large panel hears the small panel's
      // version read and the first probe at a speed not its own, and
      // answers both with noise; the search's first rate is its own.
      p.Foreign(TSeq::IdentifyLarge, TFrame::SmallReadNoise,
                MakeSmallHeader(kSmallReadCommand, kSmallVersionAddress, kSmallVersionLastIndex), kSmallVersionLastIndex + 1);
      p.Probe(TSeq::IdentifyLarge, TFrame::ProbeNoise);
      p.Probe(TSeq::IdentifyLarge, TFrame::ProbeHit);
      p.Settle(kAfterBaudSearchMs);
      p.Range(TSeq::IdentifyLarge, TFrame::LargeRead, kLargeVersionAddress, kLargeVersionLastIndex + 1, 0);
      // Versions above 1.39 are read once more.
      p.Range(TSeq::IdentifyLarge, TFrame::LargeRead, kLargeRealVersionAddress, 6, 1);
      break;
    case TFlow::ReadSmall:
      SmallReadsOfUsers(p, m, TSeq::ReadUsers, TSeq::ReadCodes);
      SmallReadsOfKeys(p, m, TSeq::ReadKeys);
      break;
    case TFlow::SendSmall:
    case TFlow::SendSmallWithBackup:
      p.Settle(kWorkflowSettleMs);
      SmallReadsOfUsers(p, m, TSeq::TargetUsers, TSeq::TargetCodes);
      if (flow == TFlow::SendSmallWithBackup) SmallReadsOfKeys(p, m, TSeq::BackupKeys);
      p.Range(TSeq::WriteCodes, TFrame::SmallWrite, m.CodesAddr, m.CodesLen, 0);
      p.Range(TSeq::WriteUsers, TFrame::SmallWrite, m.UserAttrAddr, m.UserAttrLen, 0);
      p.Range(TSeq::WriteUsers, TFrame::SmallWrite, m.UserNamesAddr, m.UserNamesLen, 1);
      p.Range(TSeq::WriteKeys, TFrame::SmallWrite, m.KeyDataAddr, m.KeyDataLen, 0);
      p.Range(TSeq::WriteKeys, TFrame::SmallWrite, m.KeyTableAddr, m.KeyTableLen, 1);
      p.Range(TSeq::WriteKeys, TFrame::SmallWrite, m.KeyNamesAddr, m.KeyNamesLen, 2);
      break;
    case TFlow::ReadLarge:
      p.Settle(kWorkflowSettleMs);
      for (size_t r : kLargeReadOrder)
        p.Range(TSeq::ReadLarge, TFrame::LargeRead, LargePanelMap[r].PanelAddress, LargePanelMap[r].Bytes,
                static_cast<int>(r));
      break;
    case TFlow::SendLarge:
    case TFlow::SendLargeWithBackup:
      p.Settle(kWorkflowSettleMs);
      if (flow == TFlow::SendLargeWithBackup)
        for (size_t r : kLargeReadOrder)
          p.Range(TSeq::BackupLarge, TFrame::LargeRead, LargePanelMap[r].PanelAddress, LargePanelMap[r].Bytes,
                  static_cast<int>(r));
      for (size_t r : kLargeWriteOrder)
        p.Range(TSeq::WriteLarge, TFrame::LargeWrite, LargePanelMap[r].PanelAddress, LargePanelMap[r].Bytes,
                static_cast<int>(r));
      break;
  }
  return p;
}

// ---------------------------------------------------------------------------
// What the faults cost, from the protocol's waits and pauses

// A fault that the echo test or the panel does not turn into a failure.
bool FaultFails(FaultKind f, TFrame frame) {
  if (f == FaultKind::EchoCase || f == FaultKind::None) return false;
  // A write carries no check byte back: a missing one changes nothing.
  if (f == FaultKind::MissingCheckByte && IsWrite(frame)) return false;
  return true;
}

int64_t EchoLimitMs(const TStep& st) {
  switch (st.frame) {
    case TFrame::SmallRead:
    case TFrame::LargeRead:
    case TFrame::SmallReadNoise:
    case TFrame::LargeReadSilent: return WaitLimitMs(ReadEchoLimitSeconds(st.count - 1));
    case TFrame::SmallWrite: return WaitLimitMs(kSmallWriteEchoLimit);
    case TFrame::LargeWrite: return WaitLimitMs(kLargeWriteEchoLimit);
    case TFrame::ProbeHit:
    case TFrame::ProbeSilent:
    case TFrame::ProbeNoise: return WaitLimitMs(kBaudProbeLimit);
  }
  return 0;
}

// What an exchange costs when the panel answers as planned: the pause after
// a successful exchange, with the range's pause when more blocks of the
// range follow; the limit of an unanswered one; the pause after a failed
// attempt of one answered with noise.
int64_t SuccessCostMs(const TStep& st, const TSystemFlags& f) {
  switch (st.frame) {
    case TFrame::SmallRead: return f.SuccessPauseMs;
    case TFrame::SmallWrite: return kSmallWriteSuccessPauseMs + (st.lastOfRange ? 0 : kSmallWriteRangePauseMs);
    case TFrame::LargeRead: return f.SuccessPauseMs + (st.lastOfRange ? 0 : f.SuccessPauseMs);
    case TFrame::LargeWrite: return f.SuccessPauseMs + (st.lastOfRange ? 0 : kLargeWriteRangePauseMs);
    case TFrame::ProbeHit:
    case TFrame::ProbeNoise: return kBaudProbeSettleMs;
    case TFrame::ProbeSilent: return kBaudProbeSettleMs + EchoLimitMs(st);
    case TFrame::SmallReadNoise: return f.RetryPauseMs;
    case TFrame::LargeReadSilent: return EchoLimitMs(st);
  }
  return 0;
}

constexpr int64_t kPanelCloseDrainMs = 500;

// The longest a failed exchange may take: the wait the fault runs into,
// then the pause after a failed attempt (only the small read pauses after
// its last attempt).
int64_t FailCostMs(const TStep& st, FaultKind fault, const TSystemFlags& f) {
  const bool write = IsWrite(st.frame);
  int64_t wait = 0;
  switch (fault) {
    case FaultKind::NoEcho: wait = EchoLimitMs(st); break;
    // A write with a bad check is not answered at all.
    case FaultKind::BadCheck: wait = write ? EchoLimitMs(st) : 0; break;
    case FaultKind::MissingCheckByte: wait = WaitLimitMs(kDataByteLimit); break;
    // A read stalls in its data, a write in its echo.
    case FaultKind::Stall: wait = write ? EchoLimitMs(st) : WaitLimitMs(kDataByteLimit); break;
    // A closed line ends every wait at once; the panel closes it once its
    // partial answer has drained, or after half a second when the tool
    // does not take it (a write's three echo bytes wait for the other
    // three).
    case FaultKind::CloseLine: wait = write ? kPanelCloseDrainMs : 0; break;
    // Noise before the echo fails the echo test at once.
    case FaultKind::NoiseBeforeEcho:
    default: wait = 0; break;
  }
  const int64_t pause = st.frame == TFrame::SmallRead ? f.RetryPauseMs : 0;
  return wait + pause;
}

// Scheduling and the bytes' own time on the pseudo-terminal: a little per
// exchange and a fixed margin for the whole operation. Less than the
// shortest limit a fault could wrongly wait out (the data byte's 3 s), so
// an extra wait does not hide in it.
constexpr int64_t kMarginMs = 1000;
constexpr int64_t kMarginPerExchangeMs = 10;

// The longest the operation may take when the fault hits plan index
// faultAt (none: every exchange succeeds).
int64_t BoundMs(const TPlan& p, std::optional<size_t> faultAt, FaultKind fault, const TSystemFlags& f) {
  int64_t ms = kMarginMs;
  for (size_t i = 0; i < p.steps.size(); ++i) {
    const TStep& st = p.steps[i];
    if (faultAt && i == *faultAt) {
      ms += st.settleMs + FailCostMs(st, fault, f) + kMarginPerExchangeMs;
    } else if ((!faultAt && !st.afterFailure) || (faultAt && (i < *faultAt || st.afterFailure))) {
      ms += st.settleMs + SuccessCostMs(st, f) + kMarginPerExchangeMs;
    }
  }
  return ms;
}

// ---------------------------------------------------------------------------
// Helpers

// Points the session at a panel as a connection check would leave it.
void ConnectTo(TSession& s, const sim::SimPanel& panel) {
  s.PanelPort.Device = panel.DevicePath();
  const int model = panel.Model();
  s.SystemFlags.ConnectedModel = model;
  s.SystemFlags.PanelDescription = ModelName(model) + " v.2.10";
  if (const TBlockMap* map = BlockMapForModel(model)) s.BlockMap = *map;
  s.PanelPort.BaudIndex = BaudIndexOf(panel.PanelSpeed());
}

bool HasLetter(const THeader& h) {
  return std::any_of(h.begin(), h.end(), [](uint8_t b) { return (b >= 0x41 && b <= 0x5A) || (b >= 0x61 && b <= 0x7A); });
}

std::string Hex(const THeader& h) {
  std::ostringstream o;
  for (uint8_t b : h) o << std::hex << std::uppercase << (b < 16 ? "0" : "") << int(b) << ' ';
  return o.str();
}

std::string Box(TBoxKind kind, const std::string& text) { return std::string(BoxTitle(kind)) + ": " + text; }

// CPU time of the calling thread.
int64_t ThreadCpuMs() {
  rusage ru{};
  ::getrusage(RUSAGE_THREAD, &ru);
  return (int64_t{ru.ru_utime.tv_sec} + ru.ru_stime.tv_sec) * 1000 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000;
}

// A deterministic filler for images, unlike anything a panel sends.
uint8_t Pattern(size_t i) { return static_cast<uint8_t>(0xA5 ^ (i * 37) ^ (i >> 7)); }

// An image as a file load would leave it: 24 users with codes and names,
// 16 named keys, key data.
void FillSmallImage(SmallPanelImage& image) {
  image.Fill();
  for (size_t u = 0; u < kUserCount; ++u) {
    UserEntry e = image.User(u);
    e.SetName("Site user " + std::to_string(u));
    for (size_t i = 0; i < kUserAttrSize; ++i) e.SetAttr(i, static_cast<uint8_t>(u * 11 + i * 29 + 0x30));
    e.SetAttr(0, u == 0 ? 1 : 0);
    e.SetCode(PadRight(std::to_string(1357 + 97 * u), kUserCodeMax, 'F'));
  }
  for (size_t k = 0; k < kKeyCount; ++k) {
    KeyEntry e = image.Key(k);
    e.SetName(k < kNamedKeys ? "Card " + std::to_string(k) : std::string());
    e.SetValue(static_cast<uint8_t>(k * 13 + 0x21));
    e.SetFlags(static_cast<uint8_t>((k * 7) & 0xC3));
    e.SetFlags23(static_cast<uint8_t>((k * 5) & 0x0C));
  }
  auto data = image.KeyData();
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 3 + 1);
}

// Holds the panel's device open, so that its number is not given to another
// pseudo-terminal while a case looks at the path after the line went away:
// the path must stay gone, not lead to some other test's panel.
class TDeviceNumberHold {
 public:
  explicit TDeviceNumberHold(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
  ~TDeviceNumberHold() {
    if (fd_ >= 0) ::close(fd_);
  }
  TDeviceNumberHold(const TDeviceNumberHold&) = delete;
  TDeviceNumberHold& operator=(const TDeviceNumberHold&) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_;
};

// Stops the panel from another thread once it has taken a given number of
// headers off the line: its device disappears, as when a USB adapter is
// pulled out.
class TPullOut {
 public:
  TPullOut(sim::SimPanel& panel, int atExchange)
      : thread_([this, &panel, atExchange] {
          while (!done_ && panel.ExchangeCount() < atExchange) std::this_thread::sleep_for(std::chrono::microseconds(200));
          if (done_) return;
          panel.Stop();
          pulled_ = true;
        }) {}
  ~TPullOut() { Finish(); }
  void Finish() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool Pulled() const { return pulled_; }

 private:
  std::atomic<bool> done_{false};
  std::atomic<bool> pulled_{false};
  std::thread thread_;
};

// ---------------------------------------------------------------------------
// One run of a workflow against a panel

struct TRun {
  TCase c;
  TFlow flow;
  TPlan plan;
  std::optional<size_t> faultAt;  // plan index of the faulted block
  TTestSession t;
  std::unique_ptr<sim::SimPanel> panel;
  std::filesystem::path backupFolder;

  // Before the operation.
  std::vector<uint8_t> panelBefore;  // small: 64 KiB; large: the blocks, in map order
  SmallPanelImage smallBefore;
  std::vector<uint8_t> largeBefore;

  // Outcome.
  bool ok = false;
  std::optional<std::string> status;
  std::string backupPath;
  int64_t elapsedMs = 0;
  int64_t cpuMs = 0;
};

std::vector<uint8_t> LargeBlocksOf(const sim::SimPanel& panel) {
  std::vector<uint8_t> out;
  for (const auto& r : LargePanelMap) {
    const auto b = panel.ReadMemory(r.PanelAddress, r.Bytes);
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

void Prepare(TRun& r) {
  r.flow = FlowOf(r.c.seq);
  const bool large = r.flow == TFlow::CheckLarge || r.flow == TFlow::ReadLarge || r.flow == TFlow::SendLarge ||
                     r.flow == TFlow::SendLargeWithBackup;
  sim::PanelConfig cfg;
  if (large) {
    cfg.model = kLargeModelName;
    cfg.firmware = kLargeFirmware;
    cfg.baud = r.flow == TFlow::CheckLarge ? kLargeCheckSpeed : 0;
    cfg.seed = kLargeSeed;
  } else {
    cfg.model = kSmallModel;
    cfg.mainCode = kSmallMainCode;
    cfg.seed = r.flow == TFlow::CheckSmall ? kSmallCheckSeed : kSmallSeed;
  }
  // A panel drops what it hears for 50 ms after a frame it could not make
  // sense of. In the check of the large panel the retry pause after the
  // unanswered small-panel read keeps the first probe out of that gap.
  if (r.flow == TFlow::CheckLarge) {
    ASSERT_EQ(r.c.tuning, TTuning::Default) << "the check of the large panel needs the retry pause";
  }
  r.plan = PlanFor(r.flow);
  if (r.c.where != TWhere::EveryExchange) {
    const auto blocks = r.plan.Blocks(r.c.seq);
    ASSERT_FALSE(blocks.empty()) << SeqName(r.c.seq);
    r.faultAt = r.c.where == TWhere::FirstBlock ? blocks.front() : blocks[blocks.size() / 2];
    if (r.c.where == TWhere::MiddleBlock) {
      ASSERT_GT(blocks.size(), 1u) << "a sequence of one block has no middle";
    }
    cfg.fault = {r.c.fault, static_cast<int>(*r.faultAt) + 1};
  } else {
    cfg.fault = {r.c.fault, 0};
  }
  r.panel = StartPanel(cfg);
  ASSERT_TRUE(r.panel);

  if (r.c.tuning == TTuning::NoRetryPause) r.t.s.SystemFlags.RetryPauseMs = 0;
  TSession& s = r.t.s;
  switch (r.flow) {
    case TFlow::CheckSmall:
    case TFlow::CheckLarge: s.PanelPort.Device = r.panel->DevicePath(); break;
    case TFlow::ReadSmall:
      ConnectTo(s, *r.panel);
      for (size_t i = 0; i < kSmallImageSize; ++i) s.Small->Bytes()[i] = Pattern(i);
      break;
    case TFlow::SendSmall:
    case TFlow::SendSmallWithBackup:
      ConnectTo(s, *r.panel);
      FillSmallImage(*s.Small);
      break;
    case TFlow::ReadLarge:
      ConnectTo(s, *r.panel);
      for (size_t i = 0; i < kLargeImageSize; ++i) s.Large->Bytes()[i] = Pattern(i);
      break;
    case TFlow::SendLarge:
    case TFlow::SendLargeWithBackup:
      ConnectTo(s, *r.panel);
      for (size_t i = 0; i < kLargeImageSize; ++i) s.Large->Bytes()[i] = Pattern(i);
      break;
  }
  std::copy(s.Small->Bytes().begin(), s.Small->Bytes().end(), r.smallBefore.Bytes().begin());
  if (large) {
    r.largeBefore.assign(s.Large->Bytes().begin(), s.Large->Bytes().end());
    r.panelBefore = LargeBlocksOf(*r.panel);
  } else {
    r.panelBefore = r.panel->ReadMemory(0, sim::detail::kSmallMemorySize);
  }
  if (r.flow == TFlow::SendSmallWithBackup || r.flow == TFlow::SendLargeWithBackup) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "tarvex-faults-" + std::to_string(::getpid()) + "-" + (info ? info->name() : "case");
    std::replace(name.begin(), name.end(), '/', '-');
    r.backupFolder = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(r.backupFolder);
  }
}

void Execute(TRun& r) {
  TSession& s = r.t.s;
  const int64_t cpu0 = ThreadCpuMs();
  const auto t0 = Clock::now();
  switch (r.flow) {
    case TFlow::CheckSmall:
    case TFlow::CheckLarge: r.ok = CheckConnection(s); break;
    case TFlow::ReadSmall: {
      const TReadOutcome o = ReadFromPanel(s, kSmallMainCode);
      r.ok = o.ok;
      r.status = o.status;
      break;
    }
    case TFlow::ReadLarge: {
      const TReadOutcome o = ReadFromPanel(s, kLargeCode);
      r.ok = o.ok;
      r.status = o.status;
      break;
    }
    case TFlow::SendSmall:
    case TFlow::SendSmallWithBackup:
    case TFlow::SendLarge:
    case TFlow::SendLargeWithBackup: {
      TSendOptions options;
      if (!r.backupFolder.empty()) options.backupFolder = r.backupFolder.string();
      const bool large = r.flow == TFlow::SendLarge || r.flow == TFlow::SendLargeWithBackup;
      const TSendOutcome o = SendToPanel(s, large ? kLargeCode : kSmallMainCode, options);
      r.ok = o.ok;
      r.status = o.status;
      r.backupPath = o.backupPath;
      break;
    }
  }
  r.elapsedMs = MsSince(t0);
  r.cpuMs = ThreadCpuMs() - cpu0;
}

// ---------------------------------------------------------------------------
// Expectations

// Status texts each sequence shows when it starts.
std::optional<std::string> StatusOf(TSeq seq, const TLanguageStrings& l) {
  switch (seq) {
    case TSeq::ReadUsers:
    case TSeq::TargetUsers:
    case TSeq::ReadLarge:
    case TSeq::BackupLarge: return l.ReadingCodes;
    case TSeq::ReadCodes:
    case TSeq::TargetCodes: return l.CheckingUserCode;
    case TSeq::ReadKeys:
    case TSeq::BackupKeys: return l.ReadingKeys;
    case TSeq::WriteCodes:
    case TSeq::WriteUsers: return l.WritingCodes;
    case TSeq::WriteKeys: return l.WritingKeys;
    // The large write keeps the status line as it stands.
    case TSeq::WriteLarge: return std::nullopt;
    case TSeq::IdentifySmall:
    case TSeq::IdentifyLarge: return std::nullopt;
  }
  return std::nullopt;
}

// The order in which the sequences of a flow start.
std::vector<TSeq> SequencesOf(const TPlan& p) {
  std::vector<TSeq> out;
  for (const TStep& st : p.steps)
    if (out.empty() || out.back() != st.seq) out.push_back(st.seq);
  return out;
}

// The boxes and notices from the failing sequence's announcement on: its
// range notice is the last one sent before the failure.
std::vector<std::string> Trail(const test::TRecordingUserInterface& ui) {
  size_t from = 0;
  for (size_t i = 0; i < ui.events.size(); ++i)
    if (ui.events[i].kind == TEvent::Progress && ui.events[i].code == ProgressSetRange) from = i + 1;
  std::vector<std::string> out;
  for (size_t i = from; i < ui.events.size(); ++i) {
    const TEvent& e = ui.events[i];
    if (e.kind == TEvent::Box) out.push_back(Box(e.box, e.text));
    if (e.kind == TEvent::Progress && e.code == ProgressClear) out.push_back("ProgressClear");
    if (e.kind == TEvent::Progress && e.code == ProgressShowStatus) out.push_back("Status: " + e.text);
  }
  return out;
}

// What the user is shown when the sequence fails, from the failing
// sequence's range notice on.
std::vector<std::string> ExpectedTrail(TSeq seq, const TSession& s) {
  const TLanguageStrings& l = s.LangStrings;
  const std::string readError = Box(TBoxKind::Warning, l.ReadError);
  switch (seq) {
    case TSeq::ReadUsers:
    case TSeq::ReadCodes:
    case TSeq::ReadKeys: return {readError, "ProgressClear"};
    case TSeq::TargetUsers:
    case TSeq::TargetCodes: return {readError, "ProgressClear", readError};
    case TSeq::BackupKeys: return {readError, "ProgressClear", Box(TBoxKind::Error, s.ExtraStrings.BackupFailed)};
    case TSeq::WriteCodes:
    case TSeq::WriteUsers:
    case TSeq::WriteKeys:
      return {Box(TBoxKind::Warning, l.WriteError), "ProgressClear", Box(TBoxKind::Error, l.WriteError)};
    // The large read leaves the bar as it is.
    case TSeq::ReadLarge: return {readError};
    case TSeq::BackupLarge: return {readError, Box(TBoxKind::Error, s.ExtraStrings.BackupFailed)};
    case TSeq::WriteLarge:
      return {Box(TBoxKind::Error, l.WriteError), "ProgressClear", Box(TBoxKind::Error, l.WriteError)};
    case TSeq::IdentifySmall:
    case TSeq::IdentifyLarge: return {};
  }
  return {};
}

// Bytes of the small image that a read may change, group by group.
struct TSmallGroups {
  bool attrs = false, names = false, codes = false, keyData = false, keyTable = false, keyNames = false;
  bool keyNamesCleared = false;  // the key table was read: every key name emptied
};

// The small image after a read that completed the given ranges: filled
// groups hold the panel's fields, everything else is as before.
void ExpectSmallImage(const TRun& r, const TSmallGroups& g) {
  const SmallPanelImage& before = r.smallBefore;
  SmallPanelImage& after = *r.t.s.Small;
  std::vector<bool> mayChange(kSmallImageSize, false);
  auto mark = [&](size_t from, size_t count) { std::fill_n(mayChange.begin() + static_cast<long>(from), count, true); };
  for (size_t u = 0; u < kUserCount; ++u) {
    const size_t at = kUserTableOffset + u * kUserEntrySize;
    if (g.names) mark(at + kUserNameOffset, kUserNameMax + 1);
    if (g.attrs) mark(at + kUserAttrOffset, kUserAttrSize);
    if (g.codes) mark(at + kUserCodeOffset, kUserCodeMax + 1);
  }
  for (size_t k = 0; k < kKeyCount; ++k) {
    const size_t at = kKeyTableOffset + k * kKeyEntrySize;
    if (g.keyTable) mark(at + kKeyValueOffset, 3);
    if (g.keyNames) mark(at + kKeyNameOffset, kKeyNameMax + 1);
    else if (g.keyNamesCleared) mark(at + kKeyNameOffset, 1);
  }
  if (g.keyData) mark(kKeyDataOffset, kKeyDataSize);
  size_t untouchedDiffers = 0;
  for (size_t i = 0; i < kSmallImageSize; ++i)
    if (!mayChange[i] && after.Bytes()[i] != before.Bytes()[i]) ++untouchedDiffers;
  EXPECT_EQ(untouchedDiffers, 0u) << "bytes the read had not reached yet were changed";

  const sim::SimBlockMap* m = sim::BlockMapFor(kSmallModel);
  const sim::SimPanel& p = *r.panel;
  if (g.attrs) {
    const auto attrs = p.ReadMemory(m->UserAttrAddr, m->UserAttrLen);
    for (size_t u = 0; u < kUserCount; ++u)
      for (size_t i = 0; i < kUserAttrSize; ++i) ASSERT_EQ(after.User(u).Attr(i), attrs[kUserAttrSize * u + i]) << "user " << u;
  }
  if (g.names) {
    const auto names = p.ReadMemory(m->UserNamesAddr, m->UserNamesLen);
    for (size_t u = 0; u < kUserCount; ++u) ASSERT_EQ(after.User(u).Name(), PrintableField(names, 16 * u, 16)) << "user " << u;
  }
  if (g.codes) {
    const auto codes = p.ReadMemory(m->CodesAddr, m->CodesLen);
    const size_t per = m->CodesLen / kUserCount;
    for (size_t u = 0; u < kUserCount; ++u) {
      std::string digits;
      for (char ch : after.User(u).Code()) {
        if (ch < '0' || ch > '9') break;
        digits.push_back(ch);
      }
      ASSERT_EQ(sim::EncodeCode(kSmallModel, digits),
                std::vector<uint8_t>(codes.begin() + static_cast<long>(per * u), codes.begin() + static_cast<long>(per * (u + 1))))
          << "user " << u;
    }
    EXPECT_EQ(after.User(0).Code(), PadRight(kSmallMainCode, kUserCodeMax, 'F'));
  }
  if (g.keyData) {
    const auto data = p.ReadMemory(m->KeyDataAddr, m->KeyDataLen);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), after.KeyData().begin()));
  }
  if (g.keyTable) {
    const auto table = p.ReadMemory(m->KeyTableAddr, m->KeyTableLen);
    for (size_t i = 0; i + 2 < table.size(); i += 3) {
      ASSERT_LT(table[i + 2], kKeyCount);
      KeyEntry e = after.Key(table[i + 2]);
      ASSERT_EQ(e.Value(), table[i + 1]) << "record " << i / 3;
      ASSERT_EQ(e.Flags(), table[i] & 0xC3) << "record " << i / 3;
      ASSERT_EQ(e.Flags23(), table[i] & 0x0C) << "record " << i / 3;
    }
  }
  if (g.keyNames) {
    const auto names = p.ReadMemory(m->KeyNamesAddr, m->KeyNamesLen);
    for (size_t k = 0; k < kKeyCount; ++k)
      ASSERT_EQ(after.Key(k).Name(), k < kNamedKeys ? PrintableField(names, 16 * k, 16) : std::string()) << "key " << k;
  } else if (g.keyNamesCleared) {
    for (size_t k = 0; k < kKeyCount; ++k) ASSERT_EQ(after.Key(k).Name(), std::string()) << "key " << k;
  }
}

// The large image after a read: the regions whose block was read whole
// hold it, everything else is as before.
void ExpectLargeImage(const TRun& r, size_t done) {
  const std::span<const uint8_t> after = r.t.s.Large->Bytes();
  std::vector<bool> mayChange(kLargeImageSize, false);
  for (size_t reg = 0; reg < kLargeRegionCount; ++reg) {
    if (!r.plan.RangeDone(TSeq::ReadLarge, static_cast<int>(reg), done)) continue;
    const TLargeRegion& region = LargePanelMap[reg];
    const size_t at = kLargeRegionsOffset + region.RegionOffset;
    std::fill_n(mayChange.begin() + static_cast<long>(at), region.Bytes, true);
    const auto block = r.panel->ReadMemory(region.PanelAddress, region.Bytes);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), after.begin() + static_cast<long>(at))) << "region " << reg;
  }
  size_t untouchedDiffers = 0;
  for (size_t i = 0; i < kLargeImageSize; ++i)
    if (!mayChange[i] && after[i] != r.largeBefore[i]) ++untouchedDiffers;
  EXPECT_EQ(untouchedDiffers, 0u) << "bytes of regions not read whole were changed";
}

// The bytes each write block carries, from the image as it stood before
// the send (a VYR8 gets the high four bits of the second attribute byte
// and of the key value byte cleared).
std::vector<uint8_t> ExpectedSmallWrite(const TRun& r, const TStep& st) {
  SmallPanelImage img = r.smallBefore;
  const TBlockMap& m = *BlockMapForModel(SmallModelNumber(kSmallModel));
  std::vector<uint8_t> range;
  if (st.seq == TSeq::WriteCodes) {
    for (size_t u = 0; u < kUserCount; ++u) {
      std::string digits;
      for (char ch : img.User(u).Code()) {
        if (ch < '0' || ch > '9') break;
        digits.push_back(ch);
      }
      const auto bytes = sim::EncodeCode(kSmallModel, digits);
      range.insert(range.end(), bytes.begin(), bytes.end());
    }
  } else if (st.seq == TSeq::WriteUsers && st.range == 0) {
    for (size_t u = 0; u < kUserCount; ++u)
      for (size_t i = 0; i < kUserAttrSize; ++i)
        range.push_back(i == 1 ? static_cast<uint8_t>(img.User(u).Attr(i) & 0x0F) : img.User(u).Attr(i));
  } else if (st.seq == TSeq::WriteUsers) {
    for (size_t u = 0; u < kUserCount; ++u) {
      const std::string name = PadRight(img.User(u).Name().substr(0, 16), 16, ' ');
      range.insert(range.end(), name.begin(), name.end());
    }
  } else if (st.range == 0) {
    range.assign(img.KeyData().begin(), img.KeyData().end());
  } else if (st.range == 1) {
    for (size_t k = 0; k < kKeyCount; ++k) {
      range.push_back(img.Key(k).Flags());
      range.push_back(static_cast<uint8_t>(img.Key(k).Value() & 0x0F));
      range.push_back(static_cast<uint8_t>(k));
    }
  } else {
    for (size_t k = 0; k < kNamedKeys; ++k) {
      const std::string name = PadRight(img.Key(k).Name().substr(0, 16), 16, ' ');
      range.insert(range.end(), name.begin(), name.end());
    }
  }
  uint32_t rangeStart = 0;
  if (st.seq == TSeq::WriteCodes) rangeStart = m.CodesAddr;
  else if (st.seq == TSeq::WriteUsers) rangeStart = st.range == 0 ? m.UserAttrAddr : m.UserNamesAddr;
  else rangeStart = st.range == 0 ? m.KeyDataAddr : st.range == 1 ? m.KeyTableAddr : m.KeyNamesAddr;
  const size_t from = st.address - rangeStart;
  return std::vector<uint8_t>(range.begin() + static_cast<long>(from), range.begin() + static_cast<long>(from + st.count));
}

std::vector<uint8_t> ExpectedLargeWrite(const TRun& r, const TStep& st) {
  const TLargeRegion& region = LargePanelMap[static_cast<size_t>(st.range)];
  const size_t at = kLargeRegionsOffset + region.RegionOffset + (st.address - region.PanelAddress);
  return std::vector<uint8_t>(r.largeBefore.begin() + static_cast<long>(at), r.largeBefore.begin() + static_cast<long>(at + st.count));
}

std::vector<uint8_t> BeforeOf(const TRun& r, const TStep& st) {
  if (!IsLarge(st.frame)) return std::vector<uint8_t>(r.panelBefore.begin() + st.address, r.panelBefore.begin() + st.address + st.count);
  size_t at = 0;
  for (const auto& region : LargePanelMap) {
    if (st.address >= region.PanelAddress && st.address < region.PanelAddress + region.Bytes)
      return std::vector<uint8_t>(r.panelBefore.begin() + static_cast<long>(at + st.address - region.PanelAddress),
                                  r.panelBefore.begin() + static_cast<long>(at + st.address - region.PanelAddress + st.count));
    at += region.Bytes;
  }
  return {};
}

// The panel after a send that wrote the blocks before plan index done:
// they hold the image's data; the block that failed holds either its old
// bytes or the new ones, never a mix; the blocks after it are untouched.
void ExpectPanelAfterSend(const TRun& r, size_t done, bool failedBlockIsDone) {
  for (size_t i = 0; i < r.plan.steps.size(); ++i) {
    const TStep& st = r.plan.steps[i];
    if (!IsWrite(st.frame)) continue;
    const auto now = r.panel->ReadMemory(st.address, st.count);
    const auto sent = IsLarge(st.frame) ? ExpectedLargeWrite(r, st) : ExpectedSmallWrite(r, st);
    const auto old = BeforeOf(r, st);
    if (i < done) {
      ASSERT_EQ(now, sent) << "block " << i << " at " << st.address << " was not written";
    } else if (i == done && failedBlockIsDone) {
      ASSERT_TRUE(now == sent || now == old) << "block " << i << " at " << st.address << " is neither old nor new";
    } else {
      ASSERT_EQ(now, old) << "block " << i << " at " << st.address << " was written after the failure";
    }
  }
}

void ExpectNothingWritten(const TRun& r) {
  for (const auto& h : r.panel->HeadersReceived())
    ASSERT_TRUE(h[0] != kSmallWriteCommand && (h[0] & 0xF8) != kLargeWriteCommand) << "a write reached the panel: " << Hex(h);
  if (r.flow == TFlow::SendLarge || r.flow == TFlow::SendLargeWithBackup) {
    EXPECT_EQ(LargeBlocksOf(*r.panel), r.panelBefore);
  } else {
    EXPECT_EQ(r.panel->ReadMemory(0, sim::detail::kSmallMemorySize), r.panelBefore);
  }
}

void ExpectNoBackupFile(const TRun& r) {
  std::error_code ec;
  if (!std::filesystem::exists(r.backupFolder, ec)) return;
  EXPECT_TRUE(std::filesystem::is_empty(r.backupFolder, ec)) << "a backup file was left behind";
}

// The headers the panel took: exactly the plan's, up to the last exchange
// made.
void ExpectHeaders(const TRun& r, size_t count) {
  const auto got = r.panel->HeadersReceived();
  ASSERT_EQ(got.size(), count) << "exchanges made";
  for (size_t i = 0; i < count; ++i) ASSERT_EQ(got[i], r.plan.steps[i].header) << "exchange " << i + 1 << ": " << Hex(got[i]);
}

// The progress steps of the blocks done: one per block, its byte count.
void ExpectSteps(const TRun& r, size_t done) {
  std::vector<int32_t> want;
  for (size_t i = 0; i < done; ++i)
    if (IsBlock(r.plan.steps[i].frame)) want.push_back(static_cast<int32_t>(r.plan.steps[i].count));
  EXPECT_EQ(r.t.ui.Steps(), want);
}

// Statuses of the sequences started, in order, up to the failing one.
void ExpectStatuses(const TRun& r, size_t lastStep) {
  std::vector<std::string> want;
  TSeq current = r.plan.steps.front().seq;
  bool first = true;
  for (size_t i = 0; i <= lastStep && i < r.plan.steps.size(); ++i) {
    if (!first && r.plan.steps[i].seq == current) continue;
    first = false;
    current = r.plan.steps[i].seq;
    if (auto text = StatusOf(current, r.t.s.LangStrings)) want.push_back(*text);
  }
  EXPECT_EQ(r.t.ui.Statuses(), want);
}

// After the line went away: the next connection check on the same device
// finds no port.
void ExpectNextCheckFindsNoPort(TRun& r) {
  r.t.ui.Clear();
  const auto t0 = Clock::now();
  EXPECT_FALSE(CheckConnection(r.t.s));
  EXPECT_LT(MsSince(t0), kMarginMs) << "the check must not wait for a port that is gone";
  EXPECT_EQ(r.t.ui.Boxes(), std::vector<std::string>{Box(TBoxKind::Warning, r.t.s.LangStrings.ErrorOpeningPort)});
  EXPECT_EQ(r.t.s.PanelPort.Handle, -1);
}

// A thread that waits in the system uses little processor time; one that
// spins on the port uses as much as the wall clock.
void ExpectNoSpinning(const TRun& r) {
  EXPECT_LT(r.cpuMs, 100 + r.elapsedMs / 20)
      << "the thread used " << r.cpuMs << " ms of processor time in " << r.elapsedMs << " ms";
}

// ---------------------------------------------------------------------------
// Checks of the identification cases

void CheckIdentification(TRun& r) {
  const TSession& s = r.t.s;
  const TLanguageStrings& l = s.LangStrings;
  const bool small = r.flow == TFlow::CheckSmall;
  const TStep& faulted = r.plan.steps[r.faultAt.value_or(0)];
  const bool fails = FaultFails(r.c.fault, faulted.frame);
  const int64_t bound = BoundMs(r.plan, fails ? r.faultAt : std::nullopt, r.c.fault, s.SystemFlags);
  ::testing::Test::RecordProperty("bound_ms", std::to_string(bound));
  EXPECT_LE(r.elapsedMs, bound) << "longer than the protocol's waits allow";
  EXPECT_EQ(s.PanelPort.Handle, -1);
  EXPECT_FALSE(s.SystemFlags.QuietErrors);
  const auto statuses = r.t.ui.Statuses();
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.front(), l.OpeningPort);
  EXPECT_EQ(statuses.back(), l.Ready);

  if (!fails) {
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.t.ui.Boxes().empty());
    const auto made = std::count_if(r.plan.steps.begin(), r.plan.steps.end(), [](const TStep& st) { return !st.afterFailure; });
    ExpectHeaders(r, static_cast<size_t>(made));
    if (small) {
      EXPECT_EQ(s.SystemFlags.ConnectedModel, SmallModelNumber(kSmallModel));
      EXPECT_EQ(s.BlockMap, *BlockMapForModel(SmallModelNumber(kSmallModel)));
    } else {
      EXPECT_EQ(s.SystemFlags.ConnectedModel, kLargeModel);
      EXPECT_EQ(s.SystemFlags.PanelDescription, std::string(kLargeModelName) + " v." + kLargeFirmware);
    }
    return;
  }

  EXPECT_FALSE(r.ok) << "a failed identification must not count as a panel";
  EXPECT_EQ(s.BlockMap, TBlockMap{}) << "no block map may come from a failed identification";
  if (small) {
    EXPECT_EQ(s.SystemFlags.ConnectedModel, 0);
    if (r.c.fault == FaultKind::CloseLine) {
      // The line is gone: the check does not go on to the large panel,
      // whose baud search could only fail to reopen the port at every rate.
      EXPECT_EQ(statuses, (std::vector<std::string>{l.OpeningPort, l.ReadingVersion + " VYR Unit", l.Ready}));
      ExpectHeaders(r, 1);
      EXPECT_TRUE(r.t.ui.Boxes().empty()) << "the check stays quiet";
    } else {
      EXPECT_EQ(statuses, (std::vector<std::string>{l.OpeningPort, l.ReadingVersion + " VYR Unit", l.SyncBaudRate,
                                                    l.ReadingVersion + " VYR 320", l.Ready}));
      // The probes and the large panel's version read reach the panel and
      // fail; the check stays quiet.
      ExpectHeaders(r, r.plan.steps.size());
      EXPECT_TRUE(r.t.ui.Boxes().empty());
    }
  } else {
    EXPECT_TRUE(r.t.ui.Boxes().empty()) << "the connection check is quiet";
    ExpectHeaders(r, *r.faultAt + 1);
    // The version block is taken before the re-read: a re-read that fails
    // leaves the model it named, but the check does not count it.
    EXPECT_EQ(s.SystemFlags.ConnectedModel, faulted.range == 0 ? 0 : kLargeModel);
  }
}

// ---------------------------------------------------------------------------
// Checks of the read and send cases

// Every exchange went through: the fault does not fail a transfer.
void CheckSuccess(TRun& r) {
  const TSession& s = r.t.s;
  const TLanguageStrings& l = s.LangStrings;
  const int64_t bound = BoundMs(r.plan, std::nullopt, r.c.fault, s.SystemFlags);
  ::testing::Test::RecordProperty("bound_ms", std::to_string(bound));
  EXPECT_LE(r.elapsedMs, bound) << "longer than the protocol's waits allow";
  EXPECT_EQ(s.PanelPort.Handle, -1) << "the port must be closed afterwards";
  EXPECT_TRUE(r.ok);
  ExpectHeaders(r, r.plan.steps.size());
  ExpectSteps(r, r.plan.steps.size());
  ExpectStatuses(r, r.plan.steps.size() - 1);
  if (r.c.fault == FaultKind::EchoCase && r.c.where == TWhere::EveryExchange) {
    // Every sequence had echoes whose letters came back in the other case.
    for (TSeq seq : SequencesOf(r.plan)) {
      const auto blocks = r.plan.Blocks(seq);
      EXPECT_TRUE(std::any_of(blocks.begin(), blocks.end(), [&](size_t i) { return HasLetter(r.plan.steps[i].header); }))
          << SeqName(seq) << " has no header with a letter byte";
    }
  }
  if (r.flow == TFlow::ReadSmall || r.flow == TFlow::ReadLarge) {
    EXPECT_EQ(r.status, l.Ready);
    EXPECT_TRUE(r.t.ui.Boxes().empty());
    if (r.flow == TFlow::ReadSmall) {
      ExpectSmallImage(r, {true, true, true, true, true, true, true});
    } else {
      ExpectLargeImage(r, r.plan.steps.size());
    }
    return;
  }
  const auto boxes = r.t.ui.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].rfind(Box(TBoxKind::Information, l.TransferOk), 0), 0u) << boxes[0];
  ExpectPanelAfterSend(r, r.plan.steps.size(), false);
  if (!r.backupFolder.empty()) {
    EXPECT_TRUE(std::filesystem::exists(r.backupPath)) << r.backupPath;
    std::filesystem::remove_all(r.backupFolder);
  }
}

// The exchange at plan index failed (after exchanges headers had reached
// the panel): the failing sequence's boxes and the workflow's, no success,
// the waits within the protocol's limits for the fault, the port closed,
// the image holding what was read so far, the panel what was written so
// far, and nothing after the failure.
void CheckFailure(TRun& r, size_t failed, FaultKind fault, size_t headers) {
  const TSession& s = r.t.s;
  const TLanguageStrings& l = s.LangStrings;
  const TSeq seq = r.plan.steps[failed].seq;
  const int64_t bound = BoundMs(r.plan, failed, fault, s.SystemFlags);
  ::testing::Test::RecordProperty("bound_ms", std::to_string(bound));
  EXPECT_LE(r.elapsedMs, bound) << "longer than the protocol's waits allow";
  EXPECT_EQ(s.PanelPort.Handle, -1) << "the port must be closed afterwards";

  // No success of any kind.
  EXPECT_FALSE(r.ok);
  for (const auto& b : r.t.ui.Boxes()) EXPECT_EQ(b.find(l.TransferOk), std::string::npos) << b;
  const std::vector<std::string> trail = ExpectedTrail(seq, s);
  std::vector<std::string> boxes;
  std::copy_if(trail.begin(), trail.end(), std::back_inserter(boxes), [](const std::string& e) { return e != "ProgressClear"; });
  EXPECT_EQ(r.t.ui.Boxes(), boxes);
  EXPECT_EQ(Trail(r.t.ui), trail);
  // Nothing after the failed exchange.
  ExpectHeaders(r, headers);
  ExpectSteps(r, failed);
  ExpectStatuses(r, failed);

  if (r.flow == TFlow::ReadSmall) {
    EXPECT_EQ(r.status, l.ReadError);
    TSmallGroups g;
    g.attrs = r.plan.RangeDone(TSeq::ReadUsers, 0, failed);
    g.names = r.plan.RangeDone(TSeq::ReadUsers, 1, failed);
    g.codes = r.plan.RangeDone(TSeq::ReadCodes, 0, failed);
    g.keyData = r.plan.RangeDone(TSeq::ReadKeys, 0, failed);
    g.keyTable = r.plan.RangeDone(TSeq::ReadKeys, 1, failed);
    g.keyNamesCleared = g.keyTable;
    g.keyNames = r.plan.RangeDone(TSeq::ReadKeys, 2, failed);
    ExpectSmallImage(r, g);
    return;
  }
  if (r.flow == TFlow::ReadLarge) {
    EXPECT_EQ(r.status, l.ReadError);
    ExpectLargeImage(r, failed);
    return;
  }
  EXPECT_FALSE(r.status.has_value());
  EXPECT_TRUE(r.backupPath.empty());
  if (seq == TSeq::WriteCodes || seq == TSeq::WriteUsers || seq == TSeq::WriteKeys || seq == TSeq::WriteLarge) {
    ExpectPanelAfterSend(r, failed, true);
  } else {
    // The target's users, codes or backup could not be read: nothing at
    // all reaches the panel, and no backup file is left.
    ExpectNothingWritten(r);
  }
  if (!r.backupFolder.empty()) {
    ExpectNoBackupFile(r);
    std::filesystem::remove_all(r.backupFolder);
  }
  if (r.flow == TFlow::SendLarge || r.flow == TFlow::SendLargeWithBackup) {
    EXPECT_TRUE(std::equal(r.largeBefore.begin(), r.largeBefore.end(), s.Large->Bytes().begin()))
        << "the image sent must stay as it was";
  }
}

// ---------------------------------------------------------------------------
// The matrix

void PrintTo(const TCase& c, std::ostream* os) {
  *os << (c.where == TWhere::EveryExchange ? FlowName(FlowOf(c.seq)) : SeqName(c.seq)) << ' ' << WhereName(c.where)
      << ' ' << FaultName(c.fault) << (c.tuning == TTuning::NoRetryPause ? " RetryPauseMs=0" : "");
}

class FaultMatrix : public ::testing::TestWithParam<TCase> {};

TEST_P(FaultMatrix, EndsAsTheProtocolSays) {
  TRun r;
  r.c = GetParam();
  ASSERT_NO_FATAL_FAILURE(Prepare(r));
  std::optional<TDeviceNumberHold> hold;
  if (r.c.fault == FaultKind::CloseLine) {
    hold.emplace(r.panel->DevicePath());
    ASSERT_TRUE(hold->Held());
  }
  Execute(r);
  ::testing::Test::RecordProperty("elapsed_ms", std::to_string(r.elapsedMs));
  ::testing::Test::RecordProperty("cpu_ms", std::to_string(r.cpuMs));
  if (r.faultAt) ::testing::Test::RecordProperty("exchange", std::to_string(*r.faultAt + 1));
  if (r.flow == TFlow::CheckSmall || r.flow == TFlow::CheckLarge) {
    CheckIdentification(r);
  } else if (r.faultAt && FaultFails(r.c.fault, r.plan.steps[*r.faultAt].frame)) {
    CheckFailure(r, *r.faultAt, r.c.fault, *r.faultAt + 1);
  } else {
    CheckSuccess(r);
  }
  if (r.c.fault == FaultKind::CloseLine) {
    EXPECT_TRUE(r.panel->LineClosed());
    ExpectNoSpinning(r);
    ExpectNextCheckFindsNoPort(r);
  }
}

std::string CaseName(const ::testing::TestParamInfo<TCase>& info) {
  const TCase& c = info.param;
  std::string name = c.where == TWhere::EveryExchange ? FlowName(FlowOf(c.seq)) : SeqName(c.seq);
  name += std::string("_") + WhereName(c.where) + "_" + FaultName(c.fault);
  if (c.tuning == TTuning::NoRetryPause) name += "_NoRetryPause";
  return name;
}

constexpr TWhere F = TWhere::FirstBlock;
constexpr TWhere M = TWhere::MiddleBlock;
constexpr TWhere Every = TWhere::EveryExchange;
constexpr TTuning Dflt = TTuning::Default;
constexpr TTuning Fast = TTuning::NoRetryPause;

// Noise, CloseLine and, on reads, BadCheck fail an exchange at once: they
// run at the first and at a middle block of every sequence. NoEcho, Stall
// and MissingCheckByte cost the echo or data-byte limits (and a write's
// BadCheck is never answered, so it costs the echo limit too): each runs
// where its wait is the point, spread over first and middle blocks.
// EchoCase must succeed: it runs on every exchange of every workflow. A
// write carries no check byte back, so MissingCheckByte must succeed there.
// docs/fault-matrix.md has the table.
const TCase kCases[] = {
    // Connection check of a small panel: one block, the version block.
    {TSeq::IdentifySmall, FaultKind::NoEcho, F, Dflt},
    {TSeq::IdentifySmall, FaultKind::BadCheck, F, Fast},
    {TSeq::IdentifySmall, FaultKind::NoiseBeforeEcho, F, Fast},
    {TSeq::IdentifySmall, FaultKind::CloseLine, F, Fast},
    {TSeq::IdentifySmall, FaultKind::EchoCase, Every, Dflt},
    // Connection check of the large panel: the version block, then the
    // re-read of the version.
    {TSeq::IdentifyLarge, FaultKind::NoEcho, F, Dflt},
    {TSeq::IdentifyLarge, FaultKind::BadCheck, F, Dflt},
    {TSeq::IdentifyLarge, FaultKind::MissingCheckByte, F, Dflt},
    {TSeq::IdentifyLarge, FaultKind::NoiseBeforeEcho, F, Dflt},
    {TSeq::IdentifyLarge, FaultKind::Stall, F, Dflt},
    {TSeq::IdentifyLarge, FaultKind::CloseLine, F, Dflt},
    {TSeq::IdentifyLarge, FaultKind::NoEcho, M, Dflt},
    {TSeq::IdentifyLarge, FaultKind::BadCheck, M, Dflt},
    {TSeq::IdentifyLarge, FaultKind::NoiseBeforeEcho, M, Dflt},
    {TSeq::IdentifyLarge, FaultKind::CloseLine, M, Dflt},
    {TSeq::IdentifyLarge, FaultKind::EchoCase, Every, Dflt},
    // Read from a small panel.
    {TSeq::ReadUsers, FaultKind::NoEcho, F, Dflt},
    {TSeq::ReadUsers, FaultKind::BadCheck, F, Fast},
    {TSeq::ReadUsers, FaultKind::MissingCheckByte, F, Fast},
    {TSeq::ReadUsers, FaultKind::NoiseBeforeEcho, F, Fast},
    {TSeq::ReadUsers, FaultKind::CloseLine, F, Fast},
    {TSeq::ReadUsers, FaultKind::BadCheck, M, Fast},
    {TSeq::ReadUsers, FaultKind::NoiseBeforeEcho, M, Fast},
    {TSeq::ReadUsers, FaultKind::Stall, M, Fast},
    {TSeq::ReadUsers, FaultKind::CloseLine, M, Fast},
    {TSeq::ReadCodes, FaultKind::BadCheck, F, Dflt},
    {TSeq::ReadCodes, FaultKind::NoiseBeforeEcho, F, Fast},
    {TSeq::ReadCodes, FaultKind::Stall, F, Fast},
    {TSeq::ReadCodes, FaultKind::CloseLine, F, Fast},
    {TSeq::ReadCodes, FaultKind::NoEcho, M, Fast},
    {TSeq::ReadCodes, FaultKind::BadCheck, M, Fast},
    {TSeq::ReadCodes, FaultKind::MissingCheckByte, M, Fast},
    {TSeq::ReadCodes, FaultKind::NoiseBeforeEcho, M, Fast},
    {TSeq::ReadCodes, FaultKind::CloseLine, M, Fast},
    {TSeq::ReadKeys, FaultKind::NoEcho, F, Fast},
    {TSeq::ReadKeys, FaultKind::BadCheck, F, Fast},
    {TSeq::ReadKeys, FaultKind::MissingCheckByte, F, Fast},
    {TSeq::ReadKeys, FaultKind::NoiseBeforeEcho, F, Fast},
    {TSeq::ReadKeys, FaultKind::CloseLine, F, Fast},
    {TSeq::ReadKeys, FaultKind::BadCheck, M, Fast},
    {TSeq::ReadKeys, FaultKind::NoiseBeforeEcho, M, Fast},
    {TSeq::ReadKeys, FaultKind::Stall, M, Fast},
    {TSeq::ReadKeys, FaultKind::CloseLine, M, Dflt},
    {TSeq::ReadUsers, FaultKind::EchoCase, Every, Dflt},
    // Send into a small panel: the target's users and codes, read to prove
    // its main user code, and the backup of its keys and cards.
    {TSeq::TargetUsers, FaultKind::NoEcho, F, Fast},
    {TSeq::TargetUsers, FaultKind::BadCheck, F, Dflt},
    {TSeq::TargetUsers, FaultKind::NoiseBeforeEcho, F, Fast},
    {TSeq::TargetUsers, FaultKind::CloseLine, F, Fast},
    {TSeq::TargetUsers, FaultKind::BadCheck, M, Fast},
    {TSeq::TargetUsers, FaultKind::NoiseBeforeEcho, M, Fast},
    {TSeq::TargetUsers, FaultKind::CloseLine, M, Fast},
    {TSeq::TargetCodes, FaultKind::BadCheck, F, Fast},
    {TSeq::TargetCodes, FaultKind::NoiseBeforeEcho, F, Fast},
    {TSeq::TargetCodes, FaultKind::CloseLine, F, Fast},
    {TSeq::TargetCodes, FaultKind::BadCheck, M, Dflt},
    {TSeq::TargetCodes, FaultKind::NoiseBeforeEcho, M, Fast},
    {TSeq::TargetCodes, FaultKind::Stall, M, Fast},
    {TSeq::TargetCodes, FaultKind::CloseLine, M, Fast},
    {TSeq::BackupKeys, FaultKind::BadCheck, F, Fast},
    {TSeq::BackupKeys, FaultKind::NoiseBeforeEcho, F, Fast},
    {TSeq::BackupKeys, FaultKind::CloseLine, F, Fast},
    {TSeq::BackupKeys, FaultKind::BadCheck, M, Fast},
    {TSeq::BackupKeys, FaultKind::NoiseBeforeEcho, M, Fast},
    {TSeq::BackupKeys, FaultKind::MissingCheckByte, M, Dflt},
    {TSeq::BackupKeys, FaultKind::CloseLine, M, Fast},
    // Send into a small panel: the writes.
    {TSeq::WriteCodes, FaultKind::NoEcho, F, Dflt},
    {TSeq::WriteCodes, FaultKind::NoiseBeforeEcho, F, Dflt},
    {TSeq::WriteCodes, FaultKind::CloseLine, F, Dflt},
    {TSeq::WriteCodes, FaultKind::BadCheck, M, Dflt},
    {TSeq::WriteCodes, FaultKind::NoiseBeforeEcho, M, Dflt},
    {TSeq::WriteCodes, FaultKind::CloseLine, M, Dflt},
    {TSeq::WriteUsers, FaultKind::Stall, F, Dflt},
    {TSeq::WriteUsers, FaultKind::NoiseBeforeEcho, F, Dflt},
    {TSeq::WriteUsers, FaultKind::CloseLine, F, Dflt},
    {TSeq::WriteUsers, FaultKind::NoiseBeforeEcho, M, Dflt},
    {TSeq::WriteUsers, FaultKind::CloseLine, M, Dflt},
    {TSeq::WriteKeys, FaultKind::NoiseBeforeEcho, F, Dflt},
    {TSeq::WriteKeys, FaultKind::CloseLine, F, Dflt},
    {TSeq::WriteKeys, FaultKind::MissingCheckByte, M, Dflt},
    {TSeq::WriteKeys, FaultKind::NoiseBeforeEcho, M, Dflt},
    {TSeq::WriteKeys, FaultKind::CloseLine, M, Dflt},
    {TSeq::BackupKeys, FaultKind::EchoCase, Every, Dflt},
    // Read from the large panel.
    {TSeq::ReadLarge, FaultKind::NoEcho, F, Dflt},
    {TSeq::ReadLarge, FaultKind::BadCheck, F, Dflt},
    {TSeq::ReadLarge, FaultKind::MissingCheckByte, F, Dflt},
    {TSeq::ReadLarge, FaultKind::NoiseBeforeEcho, F, Dflt},
    {TSeq::ReadLarge, FaultKind::CloseLine, F, Dflt},
    {TSeq::ReadLarge, FaultKind::BadCheck, M, Dflt},
    {TSeq::ReadLarge, FaultKind::NoiseBeforeEcho, M, Dflt},
    {TSeq::ReadLarge, FaultKind::Stall, M, Dflt},
    {TSeq::ReadLarge, FaultKind::CloseLine, M, Dflt},
    {TSeq::ReadLarge, FaultKind::EchoCase, Every, Dflt},
    // Send into the large panel: the backup of its seven blocks, then the
    // writes.
    {TSeq::BackupLarge, FaultKind::BadCheck, F, Dflt},
    {TSeq::BackupLarge, FaultKind::NoiseBeforeEcho, F, Dflt},
    {TSeq::BackupLarge, FaultKind::CloseLine, F, Dflt},
    {TSeq::BackupLarge, FaultKind::BadCheck, M, Dflt},
    {TSeq::BackupLarge, FaultKind::NoiseBeforeEcho, M, Dflt},
    {TSeq::BackupLarge, FaultKind::Stall, M, Dflt},
    {TSeq::BackupLarge, FaultKind::CloseLine, M, Dflt},
    {TSeq::WriteLarge, FaultKind::NoEcho, F, Dflt},
    {TSeq::WriteLarge, FaultKind::MissingCheckByte, F, Dflt},
    {TSeq::WriteLarge, FaultKind::NoiseBeforeEcho, F, Dflt},
    {TSeq::WriteLarge, FaultKind::Stall, F, Dflt},
    {TSeq::WriteLarge, FaultKind::CloseLine, F, Dflt},
    {TSeq::WriteLarge, FaultKind::BadCheck, M, Dflt},
    {TSeq::WriteLarge, FaultKind::NoiseBeforeEcho, M, Dflt},
    {TSeq::WriteLarge, FaultKind::CloseLine, M, Dflt},
    {TSeq::BackupLarge, FaultKind::EchoCase, Every, Dflt},
};

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(kCases), CaseName);

// ---------------------------------------------------------------------------
// A USB adapter pulled out: the panel is stopped from another thread when
// it takes the header of a sequence's middle block, and its device
// disappears. The exchange in flight, or the next one, fails at once.

class AdapterPulledOut : public ::testing::TestWithParam<TSeq> {};

TEST_P(AdapterPulledOut, TheExchangeFailsAtOnceAndTheNextCheckFindsNoPort) {
  TRun r;
  r.c = {GetParam(), FaultKind::None, M, Dflt};
  ASSERT_NO_FATAL_FAILURE(Prepare(r));
  const size_t middle = *r.faultAt;
  TDeviceNumberHold hold(r.panel->DevicePath());
  ASSERT_TRUE(hold.Held());
  {
    TPullOut pull(*r.panel, static_cast<int>(middle) + 1);
    Execute(r);
    pull.Finish();
    ASSERT_TRUE(pull.Pulled()) << "the operation ended before the panel took the middle block's header";
  }
  ::testing::Test::RecordProperty("elapsed_ms", std::to_string(r.elapsedMs));
  ::testing::Test::RecordProperty("cpu_ms", std::to_string(r.cpuMs));
  // The panel stopped after the middle block's header: either that block's
  // answer was cut off, or it came whole and the next exchange met the
  // closed line.
  ::testing::Test::RecordProperty("exchange", std::to_string(middle + 1));
  const size_t done = r.t.ui.Steps().size();
  ASSERT_TRUE(done == middle || done == middle + 1) << done << " blocks done, the middle one is " << middle;
  CheckFailure(r, done, FaultKind::CloseLine, middle + 1);
  ExpectNoSpinning(r);
  ExpectNextCheckFindsNoPort(r);
}

INSTANTIATE_TEST_SUITE_P(Faults, AdapterPulledOut,
                         ::testing::Values(TSeq::ReadKeys, TSeq::WriteUsers, TSeq::ReadLarge, TSeq::WriteLarge),
                         [](const ::testing::TestParamInfo<TSeq>& info) { return std::string(SeqName(info.param)) + "_MiddleBlock"; });

}  // namespace
}  // namespace tarvex
