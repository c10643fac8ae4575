// Faults injected end to end through the simulated panel: every exchange
// sequence (identification, the reads and writes of the small panels, the
// large panel's read and write, the read-back that proves a send) meets
// every fault the simulated panel can play, at its first block and at a
// block in its middle. Each case checks what the user is shown, that no
// success is reported where there is none, the time the operation takes,
// that the port is closed afterwards and what the image or the panel holds.
//
// The cases run on the in-process line (sim::TSimLine) with its virtual
// clock: the protocol's waits cost no real time, so every cell of the
// matrix runs, and the time of each case is checked to the nanosecond
// against the waits and pauses the protocol gives for that fault, computed
// here from the protocol's limits, never measured.
//
// A USB adapter pulled out mid-transfer is played three ways: the panel
// closing its side of the line in the middle of an answer (CloseLine), the
// device vanishing under the open port as the panel takes a middle block's
// header (on the virtual clock), and a pseudo-terminal panel stopped from
// another thread (real time: a real device disappearing). Either way the
// exchange must fail at once, without spinning, and the next connection
// check must find no port.
//
// docs/fault-matrix.md lists the cases; its tables are rendered from the
// cases below and a test fails when they differ (see FaultMatrixDoc).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
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
#include "serial/trace.h"
#include "sim/panel_memory.h"
#include "sim/sim_line.h"
#include "tests/support/fake_system.h"
#include "tests/support/scratch_dir.h"
#include "tests/test_support.h"
#include "tests/test_time.h"

namespace tarvex {
namespace {

using sim::FaultKind;
using test::MsSince;
using test::StartPanel;
using test::TEvent;
using test::TTestSession;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int64_t kNsPerMs = 1'000'000;

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
  VerifySmall,  // the send reads back everything it wrote
  ReadLarge,    // read from the large panel
  BackupLarge,  // send into the large panel with a backup: its seven blocks
  WriteLarge,
  VerifyLarge,
};

constexpr TSeq kAllSeqs[] = {TSeq::IdentifySmall, TSeq::IdentifyLarge, TSeq::ReadUsers,   TSeq::ReadCodes,
                             TSeq::ReadKeys,      TSeq::TargetUsers,   TSeq::TargetCodes, TSeq::BackupKeys,
                             TSeq::WriteCodes,    TSeq::WriteUsers,    TSeq::WriteKeys,   TSeq::VerifySmall,
                             TSeq::ReadLarge,     TSeq::BackupLarge,   TSeq::WriteLarge,  TSeq::VerifyLarge};

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

bool IsWriteSeq(TSeq seq) {
  return seq == TSeq::WriteCodes || seq == TSeq::WriteUsers || seq == TSeq::WriteKeys || seq == TSeq::WriteLarge;
}

// withBackup: a send asked to save a backup (the backup sequences always
// run in one).
TFlow FlowOf(TSeq seq, bool withBackup = false) {
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
    case TSeq::WriteKeys:
    case TSeq::VerifySmall: return withBackup ? TFlow::SendSmallWithBackup : TFlow::SendSmall;
    case TSeq::BackupKeys: return TFlow::SendSmallWithBackup;
    case TSeq::ReadLarge: return TFlow::ReadLarge;
    case TSeq::BackupLarge: return TFlow::SendLargeWithBackup;
    case TSeq::WriteLarge:
    case TSeq::VerifyLarge: return withBackup ? TFlow::SendLargeWithBackup : TFlow::SendLarge;
  }
  return TFlow::ReadSmall;
}

bool IsLargeFlow(TFlow f) {
  return f == TFlow::CheckLarge || f == TFlow::ReadLarge || f == TFlow::SendLarge || f == TFlow::SendLargeWithBackup;
}
bool IsSendFlow(TFlow f) {
  return f == TFlow::SendSmall || f == TFlow::SendSmallWithBackup || f == TFlow::SendLarge ||
         f == TFlow::SendLargeWithBackup;
}
bool HasBackup(TFlow f) { return f == TFlow::SendSmallWithBackup || f == TFlow::SendLargeWithBackup; }

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
    case TSeq::VerifySmall: return "SendVerifySmall";
    case TSeq::ReadLarge: return "ReadLarge";
    case TSeq::BackupLarge: return "SendBackupLarge";
    case TSeq::WriteLarge: return "WriteLarge";
    case TSeq::VerifyLarge: return "SendVerifyLarge";
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
    case FaultKind::CorruptData: return "CorruptData";
  }
  return "?";
}

// The faults played at single blocks, in the order the tables list them.
constexpr FaultKind kBlockFaults[] = {FaultKind::NoEcho,         FaultKind::BadCheck, FaultKind::MissingCheckByte,
                                      FaultKind::NoiseBeforeEcho, FaultKind::Stall,    FaultKind::CloseLine,
                                      FaultKind::CorruptData};

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
// RetryPauseMs 700). NoRetryPause: RetryPauseMs 0; kept on the cases that
// had it when the matrix ran in real time, where it shows that the pause
// after a failed small read is the tuning's value.
enum class TTuning { Default, NoRetryPause };

struct TCase {
  TSeq seq;
  FaultKind fault;
  TWhere where;
  TTuning tuning = TTuning::Default;
  bool withBackup = false;  // a write or read-back case inside a send that saves a backup
  int repeat = 1;           // the fault hits this many exchanges in a row
};

// ---------------------------------------------------------------------------
// The protocol's waits and pauses, as the protocol gives them (not taken
// from the code under test)

// The program's tuning; Prepare checks that the session starts with it.
constexpr int64_t kSuccessPauseMs = 50;
constexpr int64_t kRetryPauseMs = 700;
constexpr int kAttempts = 1;
// A read-back exchange that fails is tried again up to three times (four
// tries in all) before the send gives up; the large panel's read-back
// rests for the retry pause before each new try, the small panel's read
// has already rested that long after its failed attempt.
constexpr int kReadBackRetries = 3;
// A written small block is followed by 100 ms, and by 50 ms more when
// another block of its range follows; a written large block by the
// success pause and 25 ms more between blocks; a read large block by the
// success pause, twice between blocks.
constexpr int64_t kSmallWritePauseMs = 100;
constexpr int64_t kSmallWriteBetweenMs = 50;
constexpr int64_t kLargeWriteBetweenMs = 25;
// Fixed waits of the workflows.
constexpr int64_t kCheckSettleMs = 500;     // connection check, after opening
constexpr int64_t kWorkflowSettleMs = 300;  // send, and read of the large panel
constexpr int64_t kUsersSettleMs = 300;     // before the users' first block
constexpr int64_t kBaudProbeSettleMs = 50;  // between a probe and its reply
constexpr int64_t kAfterBaudSearchMs = 100;

// Every wait gives up at the first whole second above its limit.
int64_t WholeSecondsAbove(int64_t limitMs) { return (limitMs / 1000 + 1) * 1000; }
// A read's echo: 3000 ms + 10 ms per byte after the first, at most 30 s.
int64_t ReadEchoWaitMs(uint32_t count) {
  return WholeSecondsAbove(std::min<int64_t>(3000 + 10 * (int64_t{count} - 1), 30000));
}
constexpr int64_t kSmallWriteEchoWaitMs = 5000;  // limit 4 s (the 4.6 s of the original, in whole seconds)
constexpr int64_t kLargeWriteEchoWaitMs = 4000;  // limit 3 s
constexpr int64_t kDataByteWaitMs = 3000;        // limit 2 s, each data or check byte
constexpr int64_t kProbeWaitMs = 1000;           // limit 0.5 s

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

struct TSpan {
  uint32_t start = 0;
  uint32_t count = 0;
};

// What a send wrote, as runs of consecutive addresses in ascending order:
// the read-back reads each run as one range.
std::vector<TSpan> Runs(std::vector<TSpan> spans) {
  std::sort(spans.begin(), spans.end(), [](const TSpan& a, const TSpan& b) { return a.start < b.start; });
  std::vector<TSpan> out;
  for (const TSpan& s : spans) {
    if (!out.empty() && s.start <= out.back().start + out.back().count) {
      out.back().count = std::max(out.back().count, s.start + s.count - out.back().start);
    } else {
      out.push_back(s);
    }
  }
  return out;
}

void ReadBack(TPlan& p, TSeq seq, TFrame frame, const std::vector<TSpan>& runs) {
  for (size_t i = 0; i < runs.size(); ++i) p.Range(seq, frame, runs[i].start, runs[i].count, static_cast<int>(i));
}

std::vector<TSpan> SmallRuns(const TBlockMap& m) {
  return Runs({{m.CodesAddr, m.CodesLen},
               {m.UserAttrAddr, m.UserAttrLen},
               {m.UserNamesAddr, m.UserNamesLen},
               {m.KeyDataAddr, m.KeyDataLen},
               {m.KeyTableAddr, m.KeyTableLen},
               {m.KeyNamesAddr, m.KeyNamesLen}});
}

std::vector<TSpan> LargeRuns() {
  std::vector<TSpan> spans;
  for (const TLargeRegion& r : LargePanelMap) spans.push_back({r.PanelAddress, r.Bytes});
  return Runs(spans);
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
      ReadBack(p, TSeq::VerifySmall, TFrame::SmallRead, SmallRuns(m));
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
      ReadBack(p, TSeq::VerifyLarge, TFrame::LargeRead, LargeRuns());
      break;
  }
  return p;
}

// ---------------------------------------------------------------------------
// What the faults do and cost

// How an exchange hit by a fault ends.
enum class TEffect {
  None,       // the tool does not notice: the exchange goes through
  Fails,      // the exchange fails
  Discarded,  // a write echoed as usual whose block the panel then drops
};

TEffect EffectOf(FaultKind f, TFrame frame) {
  switch (f) {
    case FaultKind::None:
    case FaultKind::EchoCase: return TEffect::None;
    // A write carries no check byte back: a missing one changes nothing.
    case FaultKind::MissingCheckByte: return IsWrite(frame) ? TEffect::None : TEffect::Fails;
    // The panel echoes a write's header before its data comes in, so a
    // block whose check fails at the panel is acknowledged all the same:
    // the send goes on, and the read-back after the last write finds the
    // block missing. (WriteCodes_MiddleBlock_BadCheck and
    // WriteLarge_MiddleBlock_BadCheck used to wait out the echo limit and
    // end in the write error, while the simulated panel left such a block
    // unanswered; a real panel does not, so they now end in the read-back's
    // warning.)
    case FaultKind::BadCheck:
    case FaultKind::CorruptData: return IsWrite(frame) ? TEffect::Discarded : TEffect::Fails;
    case FaultKind::NoEcho:
    case FaultKind::NoiseBeforeEcho:
    case FaultKind::Stall:
    case FaultKind::CloseLine: return TEffect::Fails;
  }
  return TEffect::Fails;
}

int64_t EchoWaitMs(const TStep& st) {
  switch (st.frame) {
    case TFrame::SmallRead:
    case TFrame::LargeRead:
    case TFrame::SmallReadNoise:
    case TFrame::LargeReadSilent: return ReadEchoWaitMs(st.count);
    case TFrame::SmallWrite: return kSmallWriteEchoWaitMs;
    case TFrame::LargeWrite: return kLargeWriteEchoWaitMs;
    case TFrame::ProbeHit:
    case TFrame::ProbeSilent:
    case TFrame::ProbeNoise: return kProbeWaitMs;
  }
  return 0;
}

// What an exchange costs when the panel answers as planned: the pause after
// a successful exchange, with the range's pause when more blocks of the
// range follow; the limit of an unanswered one; the pause after a failed
// attempt of one answered with noise.
int64_t SuccessCostMs(const TStep& st, int64_t retryPauseMs) {
  switch (st.frame) {
    case TFrame::SmallRead: return kSuccessPauseMs;
    case TFrame::SmallWrite: return kSmallWritePauseMs + (st.lastOfRange ? 0 : kSmallWriteBetweenMs);
    case TFrame::LargeRead: return kSuccessPauseMs + (st.lastOfRange ? 0 : kSuccessPauseMs);
    case TFrame::LargeWrite: return kSuccessPauseMs + (st.lastOfRange ? 0 : kLargeWriteBetweenMs);
    case TFrame::ProbeHit:
    case TFrame::ProbeNoise: return kBaudProbeSettleMs;
    case TFrame::ProbeSilent: return kBaudProbeSettleMs + EchoWaitMs(st);
    case TFrame::SmallReadNoise: return retryPauseMs;
    case TFrame::LargeReadSilent: return EchoWaitMs(st);
  }
  return 0;
}

// The wait a failing exchange runs into before the tool gives up.
int64_t FailWaitMs(const TStep& st, FaultKind fault) {
  const bool write = IsWrite(st.frame);
  switch (fault) {
    case FaultKind::NoEcho: return EchoWaitMs(st);
    case FaultKind::MissingCheckByte: return kDataByteWaitMs;
    // A read stalls in its data, a write in its echo.
    case FaultKind::Stall: return write ? EchoWaitMs(st) : kDataByteWaitMs;
    // A bad or altered check is seen as soon as it is in; noise fails the
    // echo test at once; a closed line ends every wait at once.
    case FaultKind::BadCheck:
    case FaultKind::CorruptData:
    case FaultKind::NoiseBeforeEcho:
    case FaultKind::CloseLine:
    case FaultKind::None:
    case FaultKind::EchoCase: return 0;
  }
  return 0;
}

// The wait, then the pause after the failed attempt: only the small read
// pauses after its last attempt.
int64_t FailCostMs(const TStep& st, FaultKind fault, int64_t retryPauseMs) {
  return FailWaitMs(st, fault) + (st.frame == TFrame::SmallRead ? retryPauseMs : 0);
}

// Waits that run out their limits while the plan's exchanges up to index
// end (exclusive) are made as planned: the silent probes and reads of the
// connection check's fallback.
int WaitsRunOutIn(const TPlan& p, size_t end, bool withFallback) {
  int n = 0;
  for (size_t i = 0; i < end && i < p.steps.size(); ++i) {
    const TStep& st = p.steps[i];
    if (st.afterFailure && !withFallback) continue;
    if (st.frame == TFrame::ProbeSilent || st.frame == TFrame::LargeReadSilent) ++n;
  }
  return n;
}

// ---------------------------------------------------------------------------
// What the user must be shown

// What the user reads, as the English sessions show it: written out here,
// never taken from the language tables the program reads, so that any
// change of a text a user sees fails a case.
namespace en {
const std::string kReadError = "Reading error on serial port!";
const std::string kWriteError = "Error writing on serial port!";
const std::string kTransferOk = "Transfer successful";
const std::string kErrorOpeningPort = "Error opening Com port!";
const std::string kOpeningPort = "Opening Com Port";
const std::string kSyncBaudRate = "Synchronizing Baud Rate";
const std::string kReadingVersion = "Reading system version";
const std::string kReady = "Ready";
const std::string kCheckingUserCode = "Checking user code";
const std::string kReadingCodes = "Reading codes";
const std::string kReadingKeys = "Reading keys & cards";
const std::string kWritingCodes = "Writing codes";
const std::string kWritingKeys = "Writing keys & cards";
const std::string kVerifyingData = "Verifying the panel's data...";
const std::string kBackupFailed = "The panel's data could not be backed up: nothing was written into the panel.";
const std::string kBackupSaved = "Backup of the panel's previous data: ";
const std::string kHintUnplugged = "The adapter was unplugged? Plug it back in and try again.";
const std::string kVerifyReadFailed =
    "The data was written but could not be read back to check it; read the panel again or restore the backup: ";
const std::string kVerifyReadFailedNoBackup =
    "The data was written but could not be read back to check it; read the panel again to check it.";
const std::string kSendStopped =
    "The send stopped after writing part of the data; the panel's previous data is in the backup: ";
const std::string kSendStoppedNoBackup =
    "The send stopped after writing part of the data; no backup of the panel's previous data was taken.";
const std::string kNothingWritten = "Nothing was written into the panel.";
const std::string kNoBackupTaken = "No backup of the panel's previous data was taken.";
}  // namespace en

enum class TText { ReadError, WriteError, BackupFailed, VerifyFailed, VerifyReadFailed, TransferOk };

// The line a send's own box carries after its text (and the hint).
enum class TAfter {
  None,
  NothingWritten,  // the send failed before its first write
  Stopped,         // it failed once it had started writing: names the backup
};

struct TShown {
  bool clear = false;  // a ProgressClear notice, not a box
  TBoxKind kind = TBoxKind::Warning;
  TText text = TText::ReadError;
  bool hint = false;  // the box carries the hint that the adapter was unplugged
  TAfter after = TAfter::None;
};

TShown Shown(TBoxKind kind, TText text, bool hint = false, TAfter after = TAfter::None) {
  return TShown{false, kind, text, hint, after};
}
const TShown kClear{true};

// The boxes and notices of a failure, from the failing sequence's range
// notice on. lost: the line went away, so the read and write errors carry
// the hint that the adapter may have been unplugged.
std::vector<TShown> FailureTrail(TSeq seq, bool lost) {
  const TShown readError = Shown(TBoxKind::Warning, TText::ReadError, lost);
  switch (seq) {
    case TSeq::ReadUsers:
    case TSeq::ReadCodes:
    case TSeq::ReadKeys: return {readError, kClear};
    // Two boxes, by the program's own rules: the sequence shows its box
    // (ReadUsers, ReadCodesAndMatch), then the send shows the window's own
    // for a read that failed (SendToPanel keeps the box of a failed read).
    // The send's own box adds that nothing was written.
    case TSeq::TargetUsers:
    case TSeq::TargetCodes:
      return {readError, kClear, Shown(TBoxKind::Warning, TText::ReadError, lost, TAfter::NothingWritten)};
    case TSeq::BackupKeys: return {readError, kClear, Shown(TBoxKind::Error, TText::BackupFailed)};
    // Two boxes: the write sequence shows its warning (WriteCodes,
    // WriteUsers, WriteKeys), then the send shows the window's error, which
    // says that the send stopped part-way and where the backup is.
    case TSeq::WriteCodes:
    case TSeq::WriteUsers:
    case TSeq::WriteKeys:
      return {Shown(TBoxKind::Warning, TText::WriteError, lost), kClear,
              Shown(TBoxKind::Error, TText::WriteError, lost, TAfter::Stopped)};
    // The read-back announces its own phase, clears its bar, and the send
    // says the data was written but could not be read back.
    case TSeq::VerifySmall:
    case TSeq::VerifyLarge: return {kClear, Shown(TBoxKind::Warning, TText::VerifyReadFailed, lost)};
    // The large read leaves the bar as it is.
    case TSeq::ReadLarge: return {readError};
    case TSeq::BackupLarge: return {readError, Shown(TBoxKind::Error, TText::BackupFailed)};
    // Two boxes: WriteLargePanel shows its error, then the send shows the
    // window's, the same text.
    case TSeq::WriteLarge:
      return {Shown(TBoxKind::Error, TText::WriteError, lost), kClear,
              Shown(TBoxKind::Error, TText::WriteError, lost, TAfter::Stopped)};
    case TSeq::IdentifySmall:
    case TSeq::IdentifyLarge: return {};
  }
  return {};
}

// ---------------------------------------------------------------------------
// The panel, whichever line carries it

class TPanelAccess {
 public:
  virtual ~TPanelAccess() = default;
  virtual Bytes ReadMemory(uint32_t addr, size_t n) const = 0;
  virtual std::vector<std::array<uint8_t, 6>> HeadersReceived() const = 0;
  virtual bool LineClosed() const = 0;
  virtual int ExchangeCount() const = 0;
};

template <typename P>
class TPanelOf final : public TPanelAccess {
 public:
  explicit TPanelOf(const P& p) : p_(p) {}
  Bytes ReadMemory(uint32_t addr, size_t n) const override { return p_.ReadMemory(addr, n); }
  std::vector<std::array<uint8_t, 6>> HeadersReceived() const override { return p_.HeadersReceived(); }
  bool LineClosed() const override { return p_.LineClosed(); }
  int ExchangeCount() const override { return p_.ExchangeCount(); }

 private:
  const P& p_;
};

// The in-process line as the tool's port sees it, counting the calls the
// serial layer makes; and, when asked, a device that vanishes under the
// open port once the panel has taken a given number of headers (a USB
// adapter pulled out): from then on every call finds the line gone, bytes
// still on their way included, and every open finds no device.
class TLineCalls final : public test::TFakeSystem {
 public:
  explicit TLineCalls(sim::TSimLine& line) : test::TFakeSystem(line) {
    vanished = [this, &line] { return vanishAt_ > 0 && line.Engine().ExchangeCount() >= vanishAt_; };
    // The line is lost: the panel hung up or the device vanished.
    lost = [this, &line] { return vanished() || line.Engine().LineClosed(); };
  }
  void VanishAtExchange(int n) { vanishAt_ = n; }

 private:
  int vanishAt_ = 0;
};

// The waits of the serial layer that ended, from the line trace: those that
// ran out their limits, and those that ended because the line was lost.
class TWaitRecorder final : public TLineTrace {
 public:
  void Record(const TComm&, const TTraceEvent& e) override {
    if (e.kind != TTraceKind::WaitEnded) return;
    if (e.lineLost) {
      ++endedByLoss;
    } else {
      ++ranOut;
    }
  }
  int ranOut = 0;
  int endedByLoss = 0;
};

// Stops the pty panel from another thread once it has taken a given number
// of headers off the line: its device disappears, as when a USB adapter is
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

// Holds the pty panel's device open, so that its number is not given to
// another pseudo-terminal while a case looks at the path after the line
// went away: the path must stay gone, not lead to some other test's panel.
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

// ---------------------------------------------------------------------------
// One run of a workflow against a panel

enum class TLine { Virtual, RealPty };

struct TRun {
  TCase c;
  TFlow flow = TFlow::ReadSmall;
  TLine lineKind = TLine::Virtual;
  TPlan plan;
  std::optional<size_t> faultAt;  // plan index of the faulted block
  // The device vanishes as the panel takes the header at this plan index.
  std::optional<size_t> vanishAt;
  TTestSession t;
  std::unique_ptr<sim::TSimLine> line;
  std::unique_ptr<TLineCalls> calls;
  std::unique_ptr<sim::SimPanel> ptyPanel;
  std::unique_ptr<TPanelAccess> panel;
  TWaitRecorder waits;
  std::unique_ptr<test::TScratchDir> scratch;
  std::filesystem::path backupFolder;

  // Before the operation.
  Bytes panelBefore;  // small: 64 KiB; large: the blocks, in map order
  SmallPanelImage smallBefore;
  Bytes largeBefore;

  // Outcome.
  bool ok = false;
  std::optional<std::string> status;
  std::string backupPath;
  bool differs = false;
  uint32_t firstDifference = 0;
  int64_t elapsedNs = 0;  // on the line's clock: virtual, or the steady clock
  int64_t cpuMs = 0;
};

Bytes LargeBlocksOf(const TPanelAccess& panel) {
  Bytes out;
  for (const auto& r : LargePanelMap) {
    const auto b = panel.ReadMemory(r.PanelAddress, r.Bytes);
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

// Index of a rate in the baud table.
uint8_t BaudIndexOf(int rate) {
  for (uint8_t i = 0; i < kBaudIndexCount; ++i)
    if (kBaudTable[i] == rate) return i;
  return 0xFF;
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

sim::PanelConfig ConfigFor(const TRun& r) {
  sim::PanelConfig cfg;
  if (IsLargeFlow(r.flow)) {
    cfg.model = kLargeModelName;
    cfg.firmware = kLargeFirmware;
    cfg.baud = r.flow == TFlow::CheckLarge ? kLargeCheckSpeed : 0;
    cfg.seed = kLargeSeed;
  } else {
    cfg.model = kSmallModel;
    cfg.mainCode = kSmallMainCode;
    cfg.seed = r.flow == TFlow::CheckSmall ? kSmallCheckSeed : kSmallSeed;
  }
  if (r.faultAt) {
    cfg.fault = {r.c.fault, static_cast<int>(*r.faultAt) + 1, r.c.repeat};
  } else if (r.c.where == TWhere::EveryExchange) {
    cfg.fault = {r.c.fault, 0};
  }
  return cfg;
}

// The plan index a case's fault hits.
std::optional<size_t> FaultIndex(const TPlan& plan, const TCase& c) {
  if (c.where == TWhere::EveryExchange) return std::nullopt;
  const auto blocks = plan.Blocks(c.seq);
  if (blocks.empty()) return std::nullopt;
  if (c.where == TWhere::FirstBlock) return blocks.front();
  if (blocks.size() < 2) return std::nullopt;
  return blocks[blocks.size() / 2];
}

// Builds the plan, the panel and the session of a case; no byte moves yet.
void Prepare(TRun& r, TLine lineKind = TLine::Virtual) {
  r.lineKind = lineKind;
  r.flow = FlowOf(r.c.seq, r.c.withBackup);
  // A panel drops what it hears for 50 ms after a frame it could not make
  // sense of. In the check of the large panel the retry pause after the
  // unanswered small-panel read keeps the first probe out of that gap.
  if (r.flow == TFlow::CheckLarge) {
    ASSERT_EQ(r.c.tuning, TTuning::Default) << "the check of the large panel needs the retry pause";
  }
  r.plan = PlanFor(r.flow);
  if (r.c.where != TWhere::EveryExchange) {
    ASSERT_FALSE(r.plan.Blocks(r.c.seq).empty()) << SeqName(r.c.seq);
    r.faultAt = FaultIndex(r.plan, r.c);
    ASSERT_TRUE(r.faultAt.has_value()) << "a sequence of one block has no middle";
  }
  TSession& s = r.t.s;
  // The costs above assume the program's tuning.
  ASSERT_EQ(s.Link.Tuning.SuccessPauseMs, kSuccessPauseMs);
  ASSERT_EQ(s.Link.Tuning.RetryPauseMs, kRetryPauseMs);
  ASSERT_EQ(s.Link.Tuning.Attempts, kAttempts);
  if (r.c.tuning == TTuning::NoRetryPause) s.Link.Tuning.RetryPauseMs = 0;

  const sim::PanelConfig cfg = ConfigFor(r);
  int model = 0;
  int speed = 0;
  if (lineKind == TLine::Virtual) {
    r.line = std::make_unique<sim::TSimLine>(cfg);
    ASSERT_TRUE(r.line->Engine().Valid());
    r.calls = std::make_unique<TLineCalls>(*r.line);
    r.panel = std::make_unique<TPanelOf<sim::PanelEngine>>(r.line->Engine());
    s.Link.PanelPort.System = r.calls.get();
    // A named port, as one chosen in the window: a box about a missing
    // port then carries the hint, as it would on a real port.
    s.Link.PanelPort.Device = "sim";
    model = r.line->Engine().Model();
    speed = r.line->Engine().PanelSpeed();
  } else {
    r.ptyPanel = StartPanel(cfg);
    ASSERT_TRUE(r.ptyPanel);
    r.panel = std::make_unique<TPanelOf<sim::SimPanel>>(*r.ptyPanel);
    s.Link.PanelPort.Device = r.ptyPanel->DevicePath();
    model = r.ptyPanel->Model();
    speed = r.ptyPanel->PanelSpeed();
  }
  s.Link.PanelPort.Trace = &r.waits;

  // Reads and sends start where a connection check leaves the session.
  if (r.flow != TFlow::CheckSmall && r.flow != TFlow::CheckLarge) {
    s.Panel.ConnectedModel = model;
    s.Panel.PanelDescription = ModelName(model) + " v.2.10";
    if (const TBlockMap* map = BlockMapForModel(model)) s.Panel.BlockMap = *map;
    s.Link.PanelPort.BaudIndex = BaudIndexOf(speed);
  }
  switch (r.flow) {
    case TFlow::CheckSmall:
    case TFlow::CheckLarge: break;
    case TFlow::ReadSmall:
      for (size_t i = 0; i < kSmallImageSize; ++i) s.Small->Bytes()[i] = Pattern(i);
      break;
    case TFlow::SendSmall:
    case TFlow::SendSmallWithBackup: FillSmallImage(*s.Small); break;
    case TFlow::ReadLarge:
    case TFlow::SendLarge:
    case TFlow::SendLargeWithBackup:
      for (size_t i = 0; i < kLargeImageSize; ++i) s.Large->Bytes()[i] = Pattern(i);
      break;
  }
  std::copy(s.Small->Bytes().begin(), s.Small->Bytes().end(), r.smallBefore.Bytes().begin());
  if (IsLargeFlow(r.flow)) {
    r.largeBefore.assign(s.Large->Bytes().begin(), s.Large->Bytes().end());
    r.panelBefore = LargeBlocksOf(*r.panel);
  } else {
    r.panelBefore = r.panel->ReadMemory(0, sim::detail::kSmallMemorySize);
  }
  if (HasBackup(r.flow)) {
    // Backups hold the panel's codes: in a folder of the case's own,
    // removed with the run.
    r.scratch = std::make_unique<test::TScratchDir>("tarvex-faults");
    ASSERT_TRUE(r.scratch->Ok());
    r.backupFolder = r.scratch->Folder() / "backups";
  }
}

// CPU time of the calling thread.
int64_t ThreadCpuMs() {
  rusage ru{};
  ::getrusage(RUSAGE_THREAD, &ru);
  return (int64_t{ru.ru_utime.tv_sec} + ru.ru_stime.tv_sec) * 1000 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000;
}

int64_t LineNowNs(const TRun& r) {
  if (r.line) return r.line->NowNs();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void Execute(TRun& r) {
  TSession& s = r.t.s;
  const int64_t cpu0 = ThreadCpuMs();
  const int64_t t0 = LineNowNs(r);
  switch (r.flow) {
    case TFlow::CheckSmall:
    case TFlow::CheckLarge: r.ok = CheckConnection(s); break;
    case TFlow::ReadSmall:
    case TFlow::ReadLarge: {
      const TReadOutcome o = ReadFromPanel(s, r.flow == TFlow::ReadLarge ? kLargeCode : kSmallMainCode);
      r.ok = o.ok();
      r.status = StatusAfterRead(o.outcome, TTexts{s.LangStrings, s.ExtraStrings});
      break;
    }
    case TFlow::SendSmall:
    case TFlow::SendSmallWithBackup:
    case TFlow::SendLarge:
    case TFlow::SendLargeWithBackup: {
      TSendOptions options;
      options.backup = HasBackup(r.flow);
      options.backupFolder = r.backupFolder.string();
      const bool large = IsLargeFlow(r.flow);
      const TSendOutcome o = SendToPanel(s, large ? kLargeCode : kSmallMainCode, options);
      r.ok = o.ok();
      r.status = StatusAfterSend(o.outcome, TTexts{s.LangStrings, s.ExtraStrings});
      r.backupPath = o.backupPath;
      r.differs = o.differs();
      r.firstDifference = o.firstDifference();
      break;
    }
  }
  r.elapsedNs = LineNowNs(r) - t0;
  r.cpuMs = ThreadCpuMs() - cpu0;
}

// ---------------------------------------------------------------------------
// The bytes a send must leave in the panel

// The bytes each write block carries, from the image as it stood before
// the send (a VYR8 gets the high four bits of the second attribute byte
// and of the key value byte cleared).
Bytes ExpectedSmallWrite(const TRun& r, const TStep& st) {
  SmallPanelImage img = r.smallBefore;
  const TBlockMap& m = *BlockMapForModel(SmallModelNumber(kSmallModel));
  Bytes range;
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
  return Bytes(range.begin() + static_cast<long>(from), range.begin() + static_cast<long>(from + st.count));
}

Bytes ExpectedLargeWrite(const TRun& r, const TStep& st) {
  const TLargeRegion& region = LargePanelMap[static_cast<size_t>(st.range)];
  const size_t at = kLargeRegionsOffset + region.RegionOffset + (st.address - region.PanelAddress);
  return Bytes(r.largeBefore.begin() + static_cast<long>(at), r.largeBefore.begin() + static_cast<long>(at + st.count));
}

Bytes SentBy(const TRun& r, const TStep& st) {
  return IsLarge(st.frame) ? ExpectedLargeWrite(r, st) : ExpectedSmallWrite(r, st);
}

Bytes BeforeOf(const TRun& r, const TStep& st) {
  if (!IsLarge(st.frame)) return Bytes(r.panelBefore.begin() + st.address, r.panelBefore.begin() + st.address + st.count);
  size_t at = 0;
  for (const auto& region : LargePanelMap) {
    if (st.address >= region.PanelAddress && st.address < region.PanelAddress + region.Bytes)
      return Bytes(r.panelBefore.begin() + static_cast<long>(at + st.address - region.PanelAddress),
                   r.panelBefore.begin() + static_cast<long>(at + st.address - region.PanelAddress + st.count));
    at += region.Bytes;
  }
  return {};
}

// ---------------------------------------------------------------------------
// The expected end of a case, from the plan, the fault and the protocol

enum class TEnd { Success, Failure, Discarded };

struct TExpect {
  TEnd end = TEnd::Success;
  size_t failed = 0;   // Failure: plan index of the failed exchange
  size_t made = 0;     // headers the panel takes
  size_t done = 0;     // steps done whole (their blocks each give a progress step)
  bool lost = false;   // the line goes away
  int64_t ms = 0;      // the protocol's time for all of it
  int waitsRunOut = 0; // waits that run out their limits
  // Discarded: the dropped write and the lowest address the panel does not
  // hold as sent.
  size_t discarded = 0;
  uint32_t firstDifference = 0;
  // The adapter was pulled out: the last block the tool wrote whole (its
  // echo came, its data went) may never have reached the panel.
  bool lastWriteMayBeLost = false;
  // From the failing sequence's range notice on (failures), or from the
  // read-back's (a discarded block).
  std::vector<TShown> trail;
  // The header at plan index repeatAt goes out repeats more times: the
  // read-back's tries again.
  size_t repeatAt = 0;
  int repeats = 0;
};

bool IsReadBack(TSeq seq) { return seq == TSeq::VerifySmall || seq == TSeq::VerifyLarge; }

// lostAt: the line goes away at this plan index (the fault, or the device
// vanishing); the exchange there fails at once.
TExpect ExpectFor(const TRun& r, std::optional<size_t> lostAt = std::nullopt) {
  const TPlan& p = r.plan;
  const int64_t retry = r.t.s.Link.Tuning.RetryPauseMs;
  TExpect x;
  std::optional<size_t> failAt;
  FaultKind fault = r.c.fault;
  if (lostAt) {
    failAt = lostAt;
    fault = FaultKind::CloseLine;
  } else if (r.faultAt) {
    const TEffect effect = EffectOf(fault, p.steps[*r.faultAt].frame);
    if (effect == TEffect::Fails) failAt = r.faultAt;
    if (effect == TEffect::Discarded) {
      // The lowest address of the dropped block that the panel held
      // otherwise before: the read-back stops after the run holding it.
      const TStep& st = p.steps[*r.faultAt];
      const Bytes old = BeforeOf(r, st);
      const Bytes sent = SentBy(r, st);
      const auto diff = std::mismatch(old.begin(), old.end(), sent.begin());
      if (diff.first != old.end()) {
        x.end = TEnd::Discarded;
        x.discarded = *r.faultAt;
        x.firstDifference = st.address + static_cast<uint32_t>(diff.first - old.begin());
      }
    }
  }
  if (failAt && IsReadBack(p.steps[*failAt].seq) && fault != FaultKind::CloseLine) {
    // A read-back exchange is tried again, after the retry pause, until it
    // gets through or has failed kReadBackRetries + 1 times.
    const TStep& st = p.steps[*failAt];
    const int failures = std::min(r.c.repeat, kReadBackRetries + 1);
    const int64_t pauseBeforeRetry = IsLarge(st.frame) ? retry : 0;
    const int64_t failedTries = failures * FailCostMs(st, fault, retry);
    const int waited = FailWaitMs(st, fault) > 0 ? failures : 0;
    x.repeatAt = *failAt;
    if (failures <= kReadBackRetries) {
      // It got through: the send ends as if nothing had happened, later.
      for (const TStep& step : p.steps) {
        if (step.afterFailure) continue;
        x.ms += step.settleMs + SuccessCostMs(step, retry);
        ++x.made;
      }
      x.ms += failedTries + failures * pauseBeforeRetry;
      x.made += static_cast<size_t>(failures);
      x.done = x.made - static_cast<size_t>(failures);
      x.repeats = failures;
      x.waitsRunOut = WaitsRunOutIn(p, p.steps.size(), false) + waited;
      return x;
    }
    x.end = TEnd::Failure;
    x.failed = *failAt;
    x.made = *failAt + static_cast<size_t>(failures);
    x.done = *failAt;
    x.repeats = failures - 1;
    for (size_t i = 0; i < *failAt; ++i) x.ms += p.steps[i].settleMs + SuccessCostMs(p.steps[i], retry);
    x.ms += st.settleMs + failedTries + (failures - 1) * pauseBeforeRetry;
    x.waitsRunOut = WaitsRunOutIn(p, *failAt, false) + waited;
    x.trail = FailureTrail(st.seq, false);
    return x;
  }
  if (failAt) {
    const TStep& st = p.steps[*failAt];
    x.end = TEnd::Failure;
    x.failed = *failAt;
    x.lost = fault == FaultKind::CloseLine;
    x.made = *failAt + 1;
    x.done = *failAt;
    for (size_t i = 0; i < *failAt; ++i) x.ms += p.steps[i].settleMs + SuccessCostMs(p.steps[i], retry);
    x.ms += st.settleMs + FailCostMs(st, fault, retry);
    x.waitsRunOut = WaitsRunOutIn(p, *failAt, false) + (FailWaitMs(st, fault) > 0 ? 1 : 0);
    // The check of a small panel turns to the large panel after a failure,
    // unless the line is gone.
    if (!x.lost) {
      // The first probe goes out at the current rate without clearing the
      // input first: when the failed read left six bytes or more of its
      // answer queued (noise before the echo leaves the rest of the echo,
      // the data and the sum), the probe takes them for its reply and fails
      // at once instead of waiting out its limit.
      bool staleReply = fault == FaultKind::NoiseBeforeEcho && st.frame == TFrame::SmallRead;
      for (size_t i = *failAt + 1; i < p.steps.size(); ++i) {
        const TStep& next = p.steps[i];
        if (!next.afterFailure) continue;
        if (staleReply && next.frame == TFrame::ProbeSilent) {
          x.ms += next.settleMs + kBaudProbeSettleMs;
          --x.waitsRunOut;
          staleReply = false;
        } else {
          x.ms += next.settleMs + SuccessCostMs(next, retry);
        }
        ++x.made;
      }
      x.waitsRunOut += WaitsRunOutIn(p, p.steps.size(), true) - WaitsRunOutIn(p, p.steps.size(), false);
    }
    x.trail = FailureTrail(st.seq, x.lost);
    return x;
  }
  if (x.end == TEnd::Discarded) {
    const TSeq verify = IsLarge(p.steps[x.discarded].frame) ? TSeq::VerifyLarge : TSeq::VerifySmall;
    // The read-back reads whole runs; the run holding the address is the
    // last one read.
    size_t last = 0;
    int run = -1;
    for (size_t i = 0; i < p.steps.size(); ++i) {
      const TStep& st = p.steps[i];
      if (st.seq != verify) continue;
      if (x.firstDifference >= st.address && x.firstDifference < st.address + st.count) run = st.range;
      if (run >= 0 && st.range == run) last = i;
    }
    x.made = last + 1;
    x.done = last + 1;
    for (size_t i = 0; i <= last; ++i) x.ms += p.steps[i].settleMs + SuccessCostMs(p.steps[i], retry);
    x.trail = {kClear, Shown(TBoxKind::Warning, TText::VerifyFailed)};
    return x;
  }
  for (const TStep& st : p.steps) {
    if (st.afterFailure) continue;
    x.ms += st.settleMs + SuccessCostMs(st, retry);
    ++x.made;
  }
  x.done = x.made;
  x.waitsRunOut = WaitsRunOutIn(p, p.steps.size(), false);
  return x;
}

// ---------------------------------------------------------------------------
// Texts

std::string Box(TBoxKind kind, const std::string& text) { return std::string(BoxTitle(kind)) + ": " + text; }

// The read-back's warning in English, word for word.
std::string VerifyFailedText(uint32_t address, const std::string& backupPath) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(address));
  std::string text = std::string("The panel does not hold the data sent (first difference at address 0x") + hex +
                     "). Send the file again";
  return backupPath.empty() ? text + "." : text + "; the panel's previous data is in the backup: " + backupPath;
}

std::string TextOf(const TShown& e, const TRun& r, const TExpect& x) {
  std::string text;
  const bool noBackup = r.backupPath.empty();
  switch (e.text) {
    case TText::ReadError: text = en::kReadError; break;
    case TText::WriteError: text = en::kWriteError; break;
    case TText::BackupFailed: text = en::kBackupFailed; break;
    case TText::VerifyFailed: text = VerifyFailedText(x.firstDifference, r.backupPath); break;
    case TText::VerifyReadFailed:
      text = noBackup ? en::kVerifyReadFailedNoBackup : en::kVerifyReadFailed + r.backupPath;
      break;
    case TText::TransferOk: text = en::kTransferOk; break;
  }
  if (e.hint) text += "\r\n" + en::kHintUnplugged;
  // The read-back's boxes name the backup themselves, or say there is none.
  if ((e.text == TText::VerifyFailed || e.text == TText::VerifyReadFailed) && noBackup)
    text += "\r\n" + en::kNoBackupTaken;
  switch (e.after) {
    case TAfter::None: break;
    case TAfter::NothingWritten: text += "\r\n" + en::kNothingWritten; break;
    case TAfter::Stopped: text += "\r\n" + (noBackup ? en::kSendStoppedNoBackup : en::kSendStopped + r.backupPath); break;
  }
  return Box(e.kind, text);
}

// The boxes and ProgressClear notices from the last range notice on, as
// the recording interface saw them.
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

// Status texts each sequence shows when it starts.
std::optional<std::string> StatusOf(TSeq seq) {
  switch (seq) {
    case TSeq::ReadUsers:
    case TSeq::TargetUsers:
    case TSeq::ReadLarge:
    case TSeq::BackupLarge: return en::kReadingCodes;
    case TSeq::ReadCodes:
    case TSeq::TargetCodes: return en::kCheckingUserCode;
    case TSeq::ReadKeys:
    case TSeq::BackupKeys: return en::kReadingKeys;
    case TSeq::WriteCodes:
    case TSeq::WriteUsers:
    case TSeq::WriteLarge: return en::kWritingCodes;
    case TSeq::WriteKeys: return en::kWritingKeys;
    case TSeq::VerifySmall:
    case TSeq::VerifyLarge: return en::kVerifyingData;
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

bool HasLetter(const THeader& h) {
  return std::any_of(h.begin(), h.end(), [](uint8_t b) { return (b >= 0x41 && b <= 0x5A) || (b >= 0x61 && b <= 0x7A); });
}

std::string Hex(const THeader& h) {
  std::ostringstream o;
  for (uint8_t b : h) o << std::hex << std::uppercase << (b < 16 ? "0" : "") << int(b) << ' ';
  return o.str();
}

// ---------------------------------------------------------------------------
// Expectations

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
  const TPanelAccess& p = *r.panel;
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
                Bytes(codes.begin() + static_cast<long>(per * u), codes.begin() + static_cast<long>(per * (u + 1))))
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

// What the failed write block holds afterwards.
enum class TFailedBlock { Old, New, Either };

// The panel after a send: the write blocks before plan index done hold the
// image's data, the one at done holds what failedBlock says, the ones after
// it are untouched. discarded, when set, is a block the panel dropped: it
// holds its old bytes.
void ExpectPanelAfterSend(const TRun& r, size_t done, TFailedBlock failedBlock, std::optional<size_t> discarded,
                          bool lastWriteMayBeLost = false) {
  std::optional<size_t> lastWrite;
  for (size_t i = 0; i < done && i < r.plan.steps.size(); ++i)
    if (IsWrite(r.plan.steps[i].frame)) lastWrite = i;
  for (size_t i = 0; i < r.plan.steps.size(); ++i) {
    const TStep& st = r.plan.steps[i];
    if (!IsWrite(st.frame)) continue;
    const auto now = r.panel->ReadMemory(st.address, st.count);
    const auto sent = SentBy(r, st);
    const auto old = BeforeOf(r, st);
    if (lastWriteMayBeLost && i == lastWrite) {
      ASSERT_TRUE(now == sent || now == old) << "block " << i << " at " << st.address << " is neither old nor new";
    } else if (discarded && i == *discarded) {
      ASSERT_EQ(now, old) << "block " << i << " at " << st.address << " was discarded by the panel";
    } else if (i < done) {
      ASSERT_EQ(now, sent) << "block " << i << " at " << st.address << " was not written";
    } else if (i == done && failedBlock != TFailedBlock::Old) {
      if (failedBlock == TFailedBlock::New) {
        ASSERT_EQ(now, sent) << "block " << i << " at " << st.address;
      } else {
        ASSERT_TRUE(now == sent || now == old) << "block " << i << " at " << st.address << " is neither old nor new";
      }
    } else {
      ASSERT_EQ(now, old) << "block " << i << " at " << st.address << " was written after the failure";
    }
  }
}

void ExpectNothingWritten(const TRun& r) {
  for (const auto& h : r.panel->HeadersReceived())
    ASSERT_TRUE(h[0] != kSmallWriteCommand && (h[0] & 0xF8) != kLargeWriteCommand) << "a write reached the panel: " << Hex(h);
  if (IsLargeFlow(r.flow)) {
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
// made, with the read-back's tries again (x) in their place.
void ExpectHeaders(const TRun& r, size_t count, const TExpect* x = nullptr) {
  std::vector<THeader> want;
  for (size_t i = 0; i < r.plan.steps.size(); ++i) {
    want.push_back(r.plan.steps[i].header);
    if (x && i == x->repeatAt)
      for (int k = 0; k < x->repeats; ++k) want.push_back(r.plan.steps[i].header);
  }
  const auto got = r.panel->HeadersReceived();
  ASSERT_EQ(got.size(), count) << "exchanges made";
  ASSERT_LE(count, want.size());
  for (size_t i = 0; i < count; ++i) ASSERT_EQ(got[i], want[i]) << "exchange " << i + 1 << ": " << Hex(got[i]);
}

// The progress steps of the blocks done: one per block, its byte count.
void ExpectSteps(const TRun& r, size_t done) {
  std::vector<int32_t> want;
  for (size_t i = 0; i < done; ++i)
    if (IsBlock(r.plan.steps[i].frame)) want.push_back(static_cast<int32_t>(r.plan.steps[i].count));
  EXPECT_EQ(r.t.ui.Steps(), want);
}

// Statuses of the sequences started, in order, up to the one at lastStep.
void ExpectStatuses(const TRun& r, size_t lastStep) {
  std::vector<std::string> want;
  TSeq current = r.plan.steps.front().seq;
  bool first = true;
  for (size_t i = 0; i <= lastStep && i < r.plan.steps.size(); ++i) {
    if (!first && r.plan.steps[i].seq == current) continue;
    first = false;
    current = r.plan.steps[i].seq;
    if (auto text = StatusOf(current)) want.push_back(*text);
  }
  EXPECT_EQ(r.t.ui.Statuses(), want);
}

// The time: exact on the virtual clock. On the pty, real time: at least the
// protocol's waits (a sleep never ends early), and at most twice them plus
// ten seconds, stretched by TARVEX_TEST_TIME_SCALE: a margin load cannot
// break. That the failing exchange waited out no limit is shown there by
// the line trace (ExpectWaits), not by the clock.
void ExpectTime(TRun& r, int64_t ms) {
  ::testing::Test::RecordProperty("protocol_ms", std::to_string(ms));
  if (r.lineKind == TLine::Virtual) {
    EXPECT_EQ(r.elapsedNs, ms * kNsPerMs) << "the protocol gives " << ms << " ms";
    return;
  }
  const int64_t elapsedMs = r.elapsedNs / kNsPerMs;
  ::testing::Test::RecordProperty("elapsed_ms", std::to_string(elapsedMs));
  EXPECT_GE(elapsedMs, ms);
  EXPECT_LE(elapsedMs, test::ScaledMs(2 * ms + 10'000)) << "far longer than the protocol's waits allow";
}

// Which waits ran out their limits: exactly the ones the protocol makes
// the tool wait out for this case, and none once the line is lost.
void ExpectWaits(const TRun& r, const TExpect& x) {
  EXPECT_EQ(r.waits.ranOut, x.waitsRunOut) << "waits that ran out their limits";
  if (x.lost) {
    EXPECT_GE(r.waits.endedByLoss, 1) << "a wait must end as the line is lost";
  }
}

// After the line went away: no spinning, and the next connection check on
// the same port finds no port at once.
void ExpectLineGone(TRun& r) {
  if (r.lineKind == TLine::Virtual) {
    // A wait that looked at a lost line again and again would make
    // thousands of calls; the failing exchange, its pause, the boxes and the
    // close make a handful.
    ::testing::Test::RecordProperty("calls_after_loss", std::to_string(r.calls->callsAfterLoss));
    EXPECT_LE(r.calls->callsAfterLoss, 24) << "calls into the lost line";
  } else {
    // A thread that waits in the system uses little processor time; one
    // that spins on the port uses as much as the wall clock.
    ::testing::Test::RecordProperty("cpu_ms", std::to_string(r.cpuMs));
    EXPECT_LT(r.cpuMs, 100 + r.elapsedNs / kNsPerMs / 20)
        << "the thread used " << r.cpuMs << " ms of processor time in " << r.elapsedNs / kNsPerMs << " ms";
  }
  r.t.ui.Clear();
  const int64_t t0 = LineNowNs(r);
  EXPECT_FALSE(CheckConnection(r.t.s));
  const int64_t ns = LineNowNs(r) - t0;
  if (r.lineKind == TLine::Virtual) {
    EXPECT_EQ(ns, 0) << "the check must not wait for a port that is gone";
  } else {
    EXPECT_LT(ns / kNsPerMs, test::ScaledMs(5000)) << "the check must not wait for a port that is gone";
  }
  // The port was chosen and is not there any more: most likely the adapter
  // was pulled out, and the box says so.
  EXPECT_EQ(r.t.ui.Boxes(), std::vector<std::string>{Box(TBoxKind::Warning, en::kErrorOpeningPort + "\r\n" +
                                                                                en::kHintUnplugged)});
  EXPECT_EQ(r.t.s.Link.PanelPort.Handle, -1);
}

// ---------------------------------------------------------------------------
// Checks of the identification cases

void CheckIdentification(TRun& r, const TExpect& x) {
  const TSession& s = r.t.s;
  const bool small = r.flow == TFlow::CheckSmall;
  ExpectTime(r, x.ms);
  ExpectWaits(r, x);
  EXPECT_EQ(s.Link.PanelPort.Handle, -1);
  const auto statuses = r.t.ui.Statuses();
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.front(), en::kOpeningPort);
  EXPECT_EQ(statuses.back(), en::kReady);
  ExpectHeaders(r, x.made);

  if (x.end != TEnd::Failure) {
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.t.ui.Boxes().empty());
    if (small) {
      EXPECT_EQ(s.Panel.ConnectedModel, SmallModelNumber(kSmallModel));
      EXPECT_EQ(s.Panel.BlockMap, *BlockMapForModel(SmallModelNumber(kSmallModel)));
    } else {
      EXPECT_EQ(s.Panel.ConnectedModel, kLargeModel);
      EXPECT_EQ(s.Panel.PanelDescription, std::string(kLargeModelName) + " v." + kLargeFirmware);
    }
    return;
  }

  EXPECT_FALSE(r.ok) << "a failed identification must not count as a panel";
  EXPECT_EQ(s.Panel.BlockMap, TBlockMap{}) << "no block map may come from a failed identification";
  EXPECT_TRUE(r.t.ui.Boxes().empty()) << "the connection check stays quiet";
  if (small) {
    EXPECT_EQ(s.Panel.ConnectedModel, 0);
    if (x.lost) {
      // The line is gone: the check does not go on to the large panel,
      // whose baud search could only fail to reopen the port at every rate.
      EXPECT_EQ(statuses, (std::vector<std::string>{en::kOpeningPort, en::kReadingVersion + " VYR Unit", en::kReady}));
    } else {
      // The probes and the large panel's version read reach the panel and
      // fail.
      EXPECT_EQ(statuses, (std::vector<std::string>{en::kOpeningPort, en::kReadingVersion + " VYR Unit", en::kSyncBaudRate,
                                                    en::kReadingVersion + " VYR 320", en::kReady}));
    }
  } else {
    // The version block is taken before the re-read: a re-read that fails
    // leaves the model it named, but the check does not count it.
    EXPECT_EQ(s.Panel.ConnectedModel, r.plan.steps[x.failed].range == 0 ? 0 : kLargeModel);
  }
}

// ---------------------------------------------------------------------------
// Checks of the read and send cases

void ExpectShown(const TRun& r, const TExpect& x) {
  std::vector<std::string> trail;
  std::vector<std::string> boxes;
  for (const TShown& e : x.trail) {
    trail.push_back(e.clear ? "ProgressClear" : TextOf(e, r, x));
    if (!e.clear) boxes.push_back(trail.back());
  }
  EXPECT_EQ(r.t.ui.Boxes(), boxes);
  EXPECT_EQ(Trail(r.t.ui), trail);
}

// Every exchange went through: the fault does not fail a transfer.
void CheckSuccess(TRun& r, const TExpect& x) {
  const TSession& s = r.t.s;
  ExpectTime(r, x.ms);
  ExpectWaits(r, x);
  EXPECT_EQ(s.Link.PanelPort.Handle, -1) << "the port must be closed afterwards";
  EXPECT_TRUE(r.ok);
  ExpectHeaders(r, r.plan.steps.size() + static_cast<size_t>(x.repeats), &x);
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
    EXPECT_EQ(r.status, en::kReady);
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
  EXPECT_EQ(boxes[0], Box(TBoxKind::Information, r.backupPath.empty()
                                                     ? en::kTransferOk
                                                     : en::kTransferOk + "\r\n" + en::kBackupSaved + r.backupPath));
  EXPECT_FALSE(r.differs);
  ExpectPanelAfterSend(r, r.plan.steps.size(), TFailedBlock::Old, std::nullopt);
  if (HasBackup(r.flow)) {
    EXPECT_TRUE(std::filesystem::exists(r.backupPath)) << r.backupPath;
    std::filesystem::remove_all(r.backupFolder);
  }
}

// A write block the panel dropped after its echo: the send goes on to the
// end, and the read-back finds the block missing. Never a success.
void CheckDiscarded(TRun& r, const TExpect& x) {
  const TSession& s = r.t.s;
  ExpectTime(r, x.ms);
  ExpectWaits(r, x);
  EXPECT_EQ(s.Link.PanelPort.Handle, -1) << "the port must be closed afterwards";
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.differs);
  EXPECT_EQ(r.firstDifference, x.firstDifference);
  for (const auto& b : r.t.ui.Boxes()) EXPECT_EQ(b.find(en::kTransferOk), std::string::npos) << b;
  ExpectShown(r, x);
  ExpectHeaders(r, x.made);
  ExpectSteps(r, x.done);
  ExpectStatuses(r, x.made - 1);
  ExpectPanelAfterSend(r, r.plan.steps.size(), TFailedBlock::Old, x.discarded);
  if (IsLargeFlow(r.flow)) {
    EXPECT_TRUE(std::equal(r.largeBefore.begin(), r.largeBefore.end(), s.Large->Bytes().begin()))
        << "the image sent must stay as it was";
  }
  if (HasBackup(r.flow)) {
    EXPECT_FALSE(r.backupPath.empty());
    EXPECT_TRUE(std::filesystem::exists(r.backupPath)) << "the backup named in the box: " << r.backupPath;
    std::filesystem::remove_all(r.backupFolder);
  } else {
    EXPECT_TRUE(r.backupPath.empty());
  }
}

// The exchange at x.failed failed: the failing sequence's boxes and the
// workflow's, no success, the time the protocol gives, the port closed,
// the image holding what was read so far, the panel what was written so
// far, and nothing after the failure.
void CheckFailure(TRun& r, const TExpect& x, TFailedBlock failedBlock) {
  const TSession& s = r.t.s;
  const TSeq seq = r.plan.steps[x.failed].seq;
  ExpectTime(r, x.ms);
  ExpectWaits(r, x);
  EXPECT_EQ(s.Link.PanelPort.Handle, -1) << "the port must be closed afterwards";

  // No success of any kind.
  EXPECT_FALSE(r.ok);
  for (const auto& b : r.t.ui.Boxes()) EXPECT_EQ(b.find(en::kTransferOk), std::string::npos) << b;
  ExpectShown(r, x);
  // Nothing after the failed exchange.
  ExpectHeaders(r, x.made, &x);
  ExpectSteps(r, x.done);
  ExpectStatuses(r, x.failed);

  if (r.flow == TFlow::ReadSmall) {
    EXPECT_EQ(r.status, en::kReadError);
    TSmallGroups g;
    g.attrs = r.plan.RangeDone(TSeq::ReadUsers, 0, x.failed);
    g.names = r.plan.RangeDone(TSeq::ReadUsers, 1, x.failed);
    g.codes = r.plan.RangeDone(TSeq::ReadCodes, 0, x.failed);
    g.keyData = r.plan.RangeDone(TSeq::ReadKeys, 0, x.failed);
    g.keyTable = r.plan.RangeDone(TSeq::ReadKeys, 1, x.failed);
    g.keyNamesCleared = g.keyTable;
    g.keyNames = r.plan.RangeDone(TSeq::ReadKeys, 2, x.failed);
    ExpectSmallImage(r, g);
    return;
  }
  if (r.flow == TFlow::ReadLarge) {
    EXPECT_EQ(r.status, en::kReadError);
    ExpectLargeImage(r, x.failed);
    return;
  }
  EXPECT_FALSE(r.status.has_value());
  EXPECT_FALSE(r.differs);
  const bool wrote = IsWriteSeq(seq) || IsReadBack(seq);
  if (wrote) {
    ExpectPanelAfterSend(r, x.failed, failedBlock, std::nullopt, x.lastWriteMayBeLost);
  } else {
    // The target's users, codes or backup could not be read: nothing at
    // all reaches the panel.
    ExpectNothingWritten(r);
  }
  if (HasBackup(r.flow)) {
    if (wrote) {
      // The backup was saved before the first write; it stays.
      EXPECT_TRUE(std::filesystem::exists(r.backupPath)) << r.backupPath;
    } else {
      EXPECT_TRUE(r.backupPath.empty());
      ExpectNoBackupFile(r);
    }
    std::filesystem::remove_all(r.backupFolder);
  } else {
    EXPECT_TRUE(r.backupPath.empty());
  }
  if (IsLargeFlow(r.flow)) {
    EXPECT_TRUE(std::equal(r.largeBefore.begin(), r.largeBefore.end(), s.Large->Bytes().begin()))
        << "the image sent must stay as it was";
  }
}

// What a failed write block holds, by the fault: the panel still takes and
// stores the data of a write whose echo it spoils (noise, a stalled echo);
// it never stores one whose header it ignored, nor one that came after it
// closed the line.
TFailedBlock FailedBlockAfter(FaultKind f) {
  return (f == FaultKind::NoiseBeforeEcho || f == FaultKind::Stall) ? TFailedBlock::New : TFailedBlock::Old;
}

// ---------------------------------------------------------------------------
// The matrix

constexpr TWhere F = TWhere::FirstBlock;
constexpr TWhere M = TWhere::MiddleBlock;
constexpr TWhere Every = TWhere::EveryExchange;

// The cells that run with RetryPauseMs 0, as they did when the matrix ran
// in real time.
struct TCell {
  TSeq seq;
  FaultKind fault;
  TWhere where;
};
constexpr TCell kNoRetryPauseCells[] = {
    {TSeq::IdentifySmall, FaultKind::BadCheck, F},     {TSeq::IdentifySmall, FaultKind::NoiseBeforeEcho, F},
    {TSeq::IdentifySmall, FaultKind::CloseLine, F},    {TSeq::ReadUsers, FaultKind::BadCheck, F},
    {TSeq::ReadUsers, FaultKind::MissingCheckByte, F}, {TSeq::ReadUsers, FaultKind::NoiseBeforeEcho, F},
    {TSeq::ReadUsers, FaultKind::CloseLine, F},        {TSeq::ReadUsers, FaultKind::BadCheck, M},
    {TSeq::ReadUsers, FaultKind::NoiseBeforeEcho, M},  {TSeq::ReadUsers, FaultKind::Stall, M},
    {TSeq::ReadUsers, FaultKind::CloseLine, M},        {TSeq::ReadCodes, FaultKind::NoiseBeforeEcho, F},
    {TSeq::ReadCodes, FaultKind::Stall, F},            {TSeq::ReadCodes, FaultKind::CloseLine, F},
    {TSeq::ReadCodes, FaultKind::NoEcho, M},           {TSeq::ReadCodes, FaultKind::BadCheck, M},
    {TSeq::ReadCodes, FaultKind::MissingCheckByte, M}, {TSeq::ReadCodes, FaultKind::NoiseBeforeEcho, M},
    {TSeq::ReadCodes, FaultKind::CloseLine, M},        {TSeq::ReadKeys, FaultKind::NoEcho, F},
    {TSeq::ReadKeys, FaultKind::BadCheck, F},          {TSeq::ReadKeys, FaultKind::MissingCheckByte, F},
    {TSeq::ReadKeys, FaultKind::NoiseBeforeEcho, F},   {TSeq::ReadKeys, FaultKind::CloseLine, F},
    {TSeq::ReadKeys, FaultKind::BadCheck, M},          {TSeq::ReadKeys, FaultKind::NoiseBeforeEcho, M},
    {TSeq::ReadKeys, FaultKind::Stall, M},             {TSeq::TargetUsers, FaultKind::NoEcho, F},
    {TSeq::TargetUsers, FaultKind::NoiseBeforeEcho, F}, {TSeq::TargetUsers, FaultKind::CloseLine, F},
    {TSeq::TargetUsers, FaultKind::BadCheck, M},       {TSeq::TargetUsers, FaultKind::NoiseBeforeEcho, M},
    {TSeq::TargetUsers, FaultKind::CloseLine, M},      {TSeq::TargetCodes, FaultKind::BadCheck, F},
    {TSeq::TargetCodes, FaultKind::NoiseBeforeEcho, F}, {TSeq::TargetCodes, FaultKind::CloseLine, F},
    {TSeq::TargetCodes, FaultKind::NoiseBeforeEcho, M}, {TSeq::TargetCodes, FaultKind::Stall, M},
    {TSeq::TargetCodes, FaultKind::CloseLine, M},      {TSeq::BackupKeys, FaultKind::BadCheck, F},
    {TSeq::BackupKeys, FaultKind::NoiseBeforeEcho, F}, {TSeq::BackupKeys, FaultKind::CloseLine, F},
    {TSeq::BackupKeys, FaultKind::BadCheck, M},        {TSeq::BackupKeys, FaultKind::NoiseBeforeEcho, M},
    {TSeq::BackupKeys, FaultKind::CloseLine, M},
};

TTuning TuningOf(TSeq seq, FaultKind fault, TWhere where) {
  for (const TCell& c : kNoRetryPauseCells)
    if (c.seq == seq && c.fault == fault && c.where == where) return TTuning::NoRetryPause;
  return TTuning::Default;
}

bool HasMiddleBlock(TSeq seq) { return PlanFor(FlowOf(seq)).Blocks(seq).size() > 1; }

// Every sequence meets every fault at its first block and, when it has
// more than one, at its middle block. EchoCase must succeed: it also runs
// on every exchange of every workflow. A few writes and read-backs run
// again inside a send that saves a backup, whose path the boxes then name.
std::vector<TCase> MatrixCases() {
  std::vector<TCase> out;
  for (TSeq seq : kAllSeqs) {
    for (TWhere where : {F, M}) {
      if (where == M && !HasMiddleBlock(seq)) continue;
      for (FaultKind fault : kBlockFaults) out.push_back({seq, fault, where, TuningOf(seq, fault, where)});
    }
  }
  for (TSeq seq : {TSeq::IdentifySmall, TSeq::IdentifyLarge, TSeq::ReadUsers, TSeq::BackupKeys, TSeq::ReadLarge,
                   TSeq::BackupLarge})
    out.push_back({seq, FaultKind::EchoCase, Every});
  out.push_back({TSeq::WriteKeys, FaultKind::CorruptData, M, TTuning::Default, true});
  out.push_back({TSeq::WriteUsers, FaultKind::CloseLine, M, TTuning::Default, true});
  out.push_back({TSeq::VerifySmall, FaultKind::NoEcho, M, TTuning::Default, true});
  out.push_back({TSeq::WriteLarge, FaultKind::CorruptData, M, TTuning::Default, true});
  // The read-back tries a failed exchange again: it gets through on the
  // last retry and the send succeeds, or it never does and the send says
  // the data was written but could not be read back.
  out.push_back({TSeq::VerifySmall, FaultKind::NoEcho, M, TTuning::Default, false, kReadBackRetries});
  out.push_back({TSeq::VerifySmall, FaultKind::NoEcho, M, TTuning::Default, false, kReadBackRetries + 1});
  out.push_back({TSeq::VerifySmall, FaultKind::BadCheck, F, TTuning::Default, true, kReadBackRetries + 1});
  out.push_back({TSeq::VerifyLarge, FaultKind::NoEcho, M, TTuning::Default, false, kReadBackRetries});
  out.push_back({TSeq::VerifyLarge, FaultKind::Stall, M, TTuning::Default, false, kReadBackRetries + 1});
  out.push_back({TSeq::VerifyLarge, FaultKind::CorruptData, F, TTuning::Default, true, kReadBackRetries + 1});
  return out;
}

std::string CaseName(const TCase& c) {
  std::string name = c.where == Every ? FlowName(FlowOf(c.seq)) : SeqName(c.seq);
  name += std::string("_") + WhereName(c.where) + "_" + FaultName(c.fault);
  if (c.tuning == TTuning::NoRetryPause) name += "_NoRetryPause";
  if (c.withBackup) name += "_WithBackup";
  if (c.repeat > 1) name += "_" + std::to_string(c.repeat) + "InARow";
  return name;
}

void PrintTo(const TCase& c, std::ostream* os) { *os << CaseName(c); }

void RunCase(TRun& r) {
  Execute(r);
  const TExpect x = ExpectFor(r);
  if (r.faultAt) ::testing::Test::RecordProperty("exchange", std::to_string(*r.faultAt + 1));
  if (r.flow == TFlow::CheckSmall || r.flow == TFlow::CheckLarge) {
    CheckIdentification(r, x);
  } else if (x.end == TEnd::Failure) {
    CheckFailure(r, x, FailedBlockAfter(r.c.fault));
  } else if (x.end == TEnd::Discarded) {
    CheckDiscarded(r, x);
  } else {
    CheckSuccess(r, x);
  }
  if (x.lost) {
    EXPECT_TRUE(r.panel->LineClosed());
    ExpectLineGone(r);
  }
}

class FaultMatrix : public ::testing::TestWithParam<TCase> {};

TEST_P(FaultMatrix, EndsAsTheProtocolSays) {
  TRun r;
  r.c = GetParam();
  ASSERT_NO_FATAL_FAILURE(Prepare(r));
  if (r.faultAt && EffectOf(r.c.fault, r.plan.steps[*r.faultAt].frame) == TEffect::Discarded) {
    // A dropped block that held the same bytes before would leave nothing to
    // find: the case would prove nothing.
    const TStep& st = r.plan.steps[*r.faultAt];
    ASSERT_NE(BeforeOf(r, st), SentBy(r, st)) << "the block sent must differ from the panel's";
  }
  RunCase(r);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(MatrixCases()),
                         [](const ::testing::TestParamInfo<TCase>& info) { return CaseName(info.param); });

// ---------------------------------------------------------------------------
// A USB adapter pulled out as the panel takes the header of a sequence's
// middle block.

constexpr TSeq kPulledOutSeqs[] = {TSeq::ReadUsers,   TSeq::ReadCodes,   TSeq::ReadKeys,   TSeq::TargetUsers,
                                   TSeq::TargetCodes, TSeq::BackupKeys,  TSeq::WriteCodes, TSeq::WriteUsers,
                                   TSeq::WriteKeys,   TSeq::VerifySmall, TSeq::ReadLarge,  TSeq::BackupLarge,
                                   TSeq::WriteLarge,  TSeq::VerifyLarge};

std::string PulledOutName(const ::testing::TestParamInfo<TSeq>& info) {
  return std::string(SeqName(info.param)) + "_MiddleBlock";
}

// On the virtual clock: the device vanishes under the open port the moment
// the panel has that header. Its answer never arrives, the exchange fails
// at once, and everything after it finds the device gone.
class AdapterPulledOutVirtual : public ::testing::TestWithParam<TSeq> {};

TEST_P(AdapterPulledOutVirtual, TheExchangeFailsAtOnceAndTheNextCheckFindsNoPort) {
  TRun r;
  r.c = {GetParam(), FaultKind::None, M};
  ASSERT_NO_FATAL_FAILURE(Prepare(r));
  const size_t middle = *r.faultAt;
  r.faultAt.reset();
  r.vanishAt = middle;
  r.calls->VanishAtExchange(static_cast<int>(middle) + 1);
  Execute(r);
  ::testing::Test::RecordProperty("exchange", std::to_string(middle + 1));
  const TExpect x = ExpectFor(r, middle);
  // The write's data never reached the panel: its block is old.
  CheckFailure(r, x, TFailedBlock::Old);
  ExpectLineGone(r);
}

INSTANTIATE_TEST_SUITE_P(Faults, AdapterPulledOutVirtual, ::testing::ValuesIn(kPulledOutSeqs), PulledOutName);

// In real time, on a pseudo-terminal: the panel is stopped from another
// thread when it takes the middle block's header, and its device
// disappears, as a real adapter's does. The exchange in flight, or the
// next one, fails at once. The clock is the wall clock here, so its bound
// only catches a wait far beyond the protocol's; the line trace shows that
// no wait ran out its limit.
class AdapterPulledOut : public ::testing::TestWithParam<TSeq> {};

TEST_P(AdapterPulledOut, TheExchangeFailsAtOnceAndTheNextCheckFindsNoPort) {
  TRun r;
  r.c = {GetParam(), FaultKind::None, M};
  ASSERT_NO_FATAL_FAILURE(Prepare(r, TLine::RealPty));
  const size_t middle = *r.faultAt;
  r.faultAt.reset();
  TDeviceNumberHold hold(r.ptyPanel->DevicePath());
  ASSERT_TRUE(hold.Held());
  {
    TPullOut pull(*r.ptyPanel, static_cast<int>(middle) + 1);
    Execute(r);
    pull.Finish();
    ASSERT_TRUE(pull.Pulled()) << "the operation ended before the panel took the middle block's header";
  }
  // The panel stopped after the middle block's header: that block's answer
  // was cut off, or it came whole and the next exchange met the closed
  // line (or, on a machine slow to run the stopping thread, a later one).
  // Whichever failed, it failed at once and nothing came after it.
  const size_t done = r.t.ui.Steps().size();
  const size_t made = r.panel->HeadersReceived().size();
  ::testing::Test::RecordProperty("exchange", std::to_string(done + 1));
  ASSERT_GE(done, middle) << done << " blocks done, the middle one is " << middle;
  ASSERT_TRUE(made == done || made == done + 1) << made << " headers taken, " << done << " blocks done";
  TExpect x = ExpectFor(r, done);
  x.made = made;  // the failed exchange's header reached the panel or not
  x.lastWriteMayBeLost = true;
  CheckFailure(r, x, TFailedBlock::Either);
  ExpectLineGone(r);
}

INSTANTIATE_TEST_SUITE_P(Faults, AdapterPulledOut,
                         ::testing::Values(TSeq::ReadKeys, TSeq::WriteUsers, TSeq::ReadLarge, TSeq::WriteLarge),
                         PulledOutName);

// ---------------------------------------------------------------------------
// docs/fault-matrix.md: its tables are rendered from the cases above

constexpr const char* kDocBegin =
    "<!-- Generated from tests/fault_matrix_test.cpp by scripts/update-fault-matrix-doc: do not edit by hand. -->";
constexpr const char* kDocEnd = "<!-- End of the generated tables. -->";

std::string DocPath() {
  return (std::filesystem::path(__FILE__).parent_path().parent_path() / "docs" / "fault-matrix.md").string();
}

std::string Seconds(int64_t ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld.%03lld s", static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000));
  return buf;
}

const char* TextName(TText t) {
  switch (t) {
    case TText::ReadError: return "ReadError";
    case TText::WriteError: return "WriteError";
    case TText::BackupFailed: return "BackupFailed";
    case TText::VerifyFailed: return "VerifyFailed";
    case TText::VerifyReadFailed: return "VerifyReadFailed";
    case TText::TransferOk: return "TransferOk";
  }
  return "?";
}

std::string ShownLabel(const TRun& r, const TExpect& x) {
  if (r.flow == TFlow::CheckSmall || r.flow == TFlow::CheckLarge) {
    if (x.end != TEnd::Failure) return "identified, no box";
    if (x.lost && r.flow == TFlow::CheckSmall) return "not identified, no box; no turn to the large panel";
    return "not identified, no box";
  }
  if (x.end == TEnd::Success) {
    if (!IsSendFlow(r.flow)) return "none; status Ready";
    std::string out = HasBackup(r.flow) ? "Information TransferOk, naming the backup" : "Information TransferOk";
    if (x.repeats > 0)
      out += " (read-back exchange " + std::to_string(x.repeatAt + 1) + " tried again " + std::to_string(x.repeats) +
             (x.repeats == 1 ? " time)" : " times)");
    return out;
  }
  std::string out;
  for (const TShown& e : x.trail) {
    if (!out.empty()) out += " · ";
    if (e.clear) {
      out += "clear";
      continue;
    }
    out += std::string(BoxTitle(e.kind)) + " " + TextName(e.text);
    if (e.text == TText::VerifyFailed) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(x.firstDifference));
      out += std::string(" at 0x") + hex + (HasBackup(r.flow) ? ", naming the backup" : "");
    }
    if (e.text == TText::VerifyReadFailed) {
      out += " after " + std::to_string(x.repeats + 1) + (x.repeats == 0 ? " try" : " tries");
      if (HasBackup(r.flow)) out += ", naming the backup";
    }
    if (e.hint) out += " + unplugged hint";
    if ((e.text == TText::VerifyFailed || e.text == TText::VerifyReadFailed) && !HasBackup(r.flow))
      out += " + no-backup line";
    if (e.after == TAfter::NothingWritten) out += " + nothing-written line";
    if (e.after == TAfter::Stopped) out += HasBackup(r.flow) ? " + stopped line naming the backup" : " + stopped line, no backup";
  }
  return out;
}

const char* SeqText(TSeq seq) {
  switch (seq) {
    case TSeq::IdentifySmall: return "Connection check, small panel (VYR8): the 12-byte version block";
    case TSeq::IdentifyLarge: return "Connection check, VYR 320: the 17-byte version block, then the 6-byte re-read";
    case TSeq::ReadUsers: return "Read, small panel: `ReadUsers` (attributes, then names)";
    case TSeq::ReadCodes: return "Read, small panel: `ReadCodesAndMatch`";
    case TSeq::ReadKeys: return "Read, small panel: `ReadKeys` (key data, key table, key names)";
    case TSeq::TargetUsers: return "Send, small panel: the target's `ReadUsers`";
    case TSeq::TargetCodes: return "Send, small panel: the target's `ReadCodesAndMatch`";
    case TSeq::BackupKeys: return "Send with backup, small panel: the target's `ReadKeys`";
    case TSeq::WriteCodes: return "Send, small panel: `WriteCodes`";
    case TSeq::WriteUsers: return "Send, small panel: `WriteUsers` (attributes, then names)";
    case TSeq::WriteKeys: return "Send, small panel: `WriteKeys` (key data, key table, key names)";
    case TSeq::VerifySmall: return "Send, small panel: the read-back of everything written (`VerifyWritten`), in four runs";
    case TSeq::ReadLarge: return "Read, VYR 320: `ReadLargePanel` (seven regions in blocks of up to 1023 bytes)";
    case TSeq::BackupLarge: return "Send with backup, VYR 320: the target's `ReadLargePanel`";
    case TSeq::WriteLarge: return "Send, VYR 320: `WriteLargePanel`";
    case TSeq::VerifyLarge: return "Send, VYR 320: the read-back of the seven regions (`VerifyWritten`), in five runs";
  }
  return "?";
}

// One row of a table: the case prepared (no byte moves) and its expected end.
std::string Row(const TCase& c, bool withFault) {
  TRun r;
  r.c = c;
  Prepare(r);
  std::string fault = withFault ? std::string(FaultName(c.fault)) : std::string();
  const TExpect x = ExpectFor(r);
  std::string row = "| ";
  if (withFault) row += fault + " | " + (c.where == F ? "first" : "middle") + " | " + std::to_string(*r.faultAt + 1) + " | ";
  else row += "`" + CaseName(c) + "` | ";
  std::string notes;
  if (c.tuning == TTuning::NoRetryPause) notes += "RetryPauseMs 0";
  if (c.withBackup) notes += notes.empty() ? "with backup" : ", with backup";
  if (c.repeat > 1) notes += (notes.empty() ? "" : ", ") + std::to_string(c.repeat) + " exchanges in a row";
  row += notes + " | " + ShownLabel(r, x) + " | " + Seconds(x.ms) + " |\n";
  return row;
}

std::string RenderDocTables() {
  const std::vector<TCase> cases = MatrixCases();
  std::ostringstream o;
  o << kDocBegin << "\n\n";
  o << "Each row: the fault, the block it hits and the exchange number the\n"
       "panel counts it at, the tuning when not the program's, what the user is\n"
       "shown in order (boxes by kind and text; \"clear\" is the bar's\n"
       "ProgressClear), and the protocol time the case takes, exactly.\n";
  for (TSeq seq : kAllSeqs) {
    const TPlan plan = PlanFor(FlowOf(seq));
    const auto blocks = plan.Blocks(seq);
    o << "\n### " << SeqName(seq) << "\n\n"
      << SeqText(seq) << ": " << blocks.size() << (blocks.size() == 1 ? " block" : " blocks") << ".\n\n";
    o << "| fault | block | exchange | tuning | shown | time |\n|---|---|---|---|---|---|\n";
    for (const TCase& c : cases)
      if (c.seq == seq && c.where != Every) o << Row(c, true);
  }
  o << "\n### Faults that must succeed on every exchange\n\n"
       "EchoCase turns the letters of every echo into the other case; the tool\n"
       "compares echoes without regard to letter case.\n\n";
  o << "| case | tuning | shown | time |\n|---|---|---|---|\n";
  for (const TCase& c : cases)
    if (c.where == Every) o << Row(c, false);
  o << "\n### The adapter pulled out\n\n"
       "The device vanishes as the panel takes the header of the sequence's\n"
       "middle block (virtual clock); `AdapterPulledOut` plays the same on a\n"
       "pseudo-terminal in real time for the sequences marked pty.\n\n";
  o << "| sequence | exchange | also on the pty | shown | time |\n|---|---|---|---|---|\n";
  for (TSeq seq : kPulledOutSeqs) {
    TRun r;
    r.c = {seq, FaultKind::None, M};
    Prepare(r);
    const size_t middle = *r.faultAt;
    r.faultAt.reset();
    const TExpect x = ExpectFor(r, middle);
    const bool pty = seq == TSeq::ReadKeys || seq == TSeq::WriteUsers || seq == TSeq::ReadLarge || seq == TSeq::WriteLarge;
    o << "| " << SeqName(seq) << " | " << middle + 1 << " | " << (pty ? "pty" : "") << " | " << ShownLabel(r, x) << " | "
      << Seconds(x.ms) << " |\n";
  }
  o << "\n" << kDocEnd << "\n";
  return o.str();
}

// The doc check is a case of its own under Faults/, so that the matrix's
// selection runs it too.
class FaultMatrixDoc : public ::testing::TestWithParam<int> {};

TEST_P(FaultMatrixDoc, ListsTheCasesAsTheyAre) {
  const std::string path = DocPath();
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << "cannot read " << path;
  std::stringstream all;
  all << in.rdbuf();
  const std::string doc = all.str();
  const size_t begin = doc.find(kDocBegin);
  const size_t endMark = doc.find(kDocEnd);
  ASSERT_NE(begin, std::string::npos) << path << " has lost its generated part's first line";
  ASSERT_NE(endMark, std::string::npos) << path << " has lost its generated part's last line";
  const size_t end = endMark + std::string(kDocEnd).size() + 1;
  const std::string want = RenderDocTables();
  const std::string have = doc.substr(begin, std::min(end, doc.size()) - begin);
  if (have == want) return;
  if (const char* v = std::getenv("TARVEX_UPDATE_FAULT_MATRIX_DOC"); v && std::string(v) == "1") {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << doc.substr(0, begin) << want << (end < doc.size() ? doc.substr(end) : std::string());
    ASSERT_TRUE(out.good()) << "cannot write " << path;
    return;
  }
  // The first line that differs, to show what drifted.
  std::istringstream a(have), b(want);
  std::string la, lb;
  int line = 0;
  while (true) {
    const bool ga = static_cast<bool>(std::getline(a, la));
    const bool gb = static_cast<bool>(std::getline(b, lb));
    ++line;
    if (!ga && !gb) break;
    if (!ga || !gb || la != lb) break;
  }
  FAIL() << path << " does not list the cases as they are (generated part, line " << line << ":\n  doc:   " << la
         << "\n  cases: " << lb
         << ")\nRegenerate it with scripts/update-fault-matrix-doc BUILD_DIR (or run the test program with "
            "TARVEX_UPDATE_FAULT_MATRIX_DOC=1 --gtest_filter='Faults/FaultMatrixDoc.*').";
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrixDoc, ::testing::Values(0),
                         [](const ::testing::TestParamInfo<int>&) { return std::string("docs_fault_matrix_md"); });

}  // namespace
}  // namespace tarvex
