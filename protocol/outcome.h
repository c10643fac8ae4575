// What the panel code tells its caller: typed outcomes of the exchanges,
// identifications and sequences, and typed progress events while they run.
// Nothing here is a text for the user: the application chooses the texts,
// the boxes and the status lines from these.
#pragma once

#include <cstdint>
#include <string>

#include "serial/comm.h"

namespace tarvex {

enum class TResult : uint8_t {
  Ok,
  // The line.
  PortNotOpen,   // the port could not be opened; portError says why
  NoEcho,        // the panel did not echo a header in time
  BadEcho,       // it echoed something else
  ShortData,     // the data of a read reply stopped coming
  NoCheck,       // the check byte(s) of a read reply did not come
  BadCheck,      // the sum or CRC of a read reply was wrong
  RangeRefused,  // start address 0 or outside the transfer buffer: nothing sent
  // Identification.
  NotAPanel,        // the version block names none of the known models
  UnknownFirmware,  // a firmware version this tool does not handle
  NotIdentified,    // the large panel's reply: a unit or version that is not taken further
  // Codes.
  CodeStoredNowhere,  // every read worked and no user has the code
  CodeNotMainUser,    // some user has the code, but not the main user
  CodeTooShort,       // the large panel's code is shorter than it must be
  // A send's read-back.
  VerifyDiffers,     // the panel holds other bytes than were written (address)
  VerifyReadFailed,  // the read-back itself failed (line fields of the read)
};

// Which part of the panel code produced an outcome.
enum class TStep : uint8_t {
  None,
  OpenPort,
  IdentifySmall,
  BaudSearch,
  IdentifyLarge,
  ReadUsers,
  ReadCodes,
  ReadKeys,
  WriteCodes,
  WriteUsers,
  WriteKeys,
  ReadLarge,
  WriteLarge,
  Verify,
};

struct TOutcome {
  TResult result = TResult::Ok;
  TStep step = TStep::None;
  bool write = false;     // a write exchange failed (else a read)
  bool large = false;     // the large panel's frames
  bool lineLost = false;  // the line had gone away (an adapter pulled out)
  uint32_t address = 0;   // the failed block's address, or the first difference
  uint32_t length = 0;    // the failed block's length
  TCommError portError = TCommError::None;  // PortNotOpen: why

  bool Ok() const { return result == TResult::Ok; }
  explicit operator bool() const { return Ok(); }
};

inline TOutcome Success(TStep step = TStep::None) {
  TOutcome o;
  o.step = step;
  return o;
}
inline TOutcome Failure(TResult result, TStep step = TStep::None) {
  TOutcome o;
  o.result = result;
  o.step = step;
  return o;
}
// The same outcome, attributed to the step that ran it.
inline TOutcome In(TStep step, TOutcome o) {
  o.step = step;
  return o;
}

// The phases a bar and a status line follow.
enum class TPhase : uint8_t {
  OpeningPort,         // the connection check opens the port
  ReadingSmallVersion, // a small panel's version block
  BaudSearch,          // the large panel's line speed
  ReadingLargeVersion, // the large panel's version
  ReadingUsers,        // users' attributes and names (small)
  CheckingUserCode,    // the code block, to prove the code
  ReadingKeys,         // keys and cards
  WritingCodes,        // the code block (small), or the large panel's write
  WritingUsers,        // users' attributes and names (small)
  WritingKeys,         // keys and cards (small)
  ReadingLarge,        // the large panel's seven blocks
  Verifying,           // a send reads back what it wrote
  Ready,               // the connection check is over
};

struct TProgressEvent {
  enum class TKind : uint8_t {
    Phase,       // a phase starts: status for phase, then the bar's range (value)
    Range,       // the bar's maximum for what follows (value)
    Step,        // the bar advances by value
    Clear,       // empty status line, bar at 0
    OpenFailed,  // the port could not be opened (outcome); the sequence goes on
  };
  TKind kind = TKind::Clear;
  TPhase phase = TPhase::Ready;
  int32_t value = 0;
  TOutcome outcome{};
};

// Who hears the progress events: the application, which turns them into a
// status line, a bar and, for OpenFailed, a box. Called synchronously on
// the thread that runs the panel code.
class TProgressSink {
 public:
  virtual ~TProgressSink() = default;
  virtual void OnProgress(const TProgressEvent& event) = 0;
};

}  // namespace tarvex
