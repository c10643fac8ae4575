// The texts of the panel code's outcomes and phases in the language in
// force: which box a failure shows, with which text, and which status line
// a phase shows. The window model and the command-line tool both show
// what these give.
#pragma once

#include <string>

#include "app/texts.h"
#include "app/user_interface.h"
#include "protocol/outcome.h"
#include "serial/comm.h"

namespace tarvex {

struct TMessage {
  TBoxKind kind = TBoxKind::Warning;
  std::string text;
  bool operator==(const TMessage&) const = default;
};

struct TTexts {
  const TLanguageStrings& lang;
  const TExtraStrings& extra;
};

// What else a message may name.
struct TMessageContext {
  // The port an open failed on, for what to do (its group, who holds it).
  const TComm* port = nullptr;
  // The backup of a send's target, when one was saved.
  std::string backupPath;
};

// The box of a failure of the panel code:
// - the port could not be opened: a warning, ErrorOpeningPort, and on a
//   second line what to do where the system can tell;
// - a read that failed (an exchange, an unknown reply, a read-back that
//   could not finish): a warning, ReadError;
// - a write that failed: WriteError, an error box on the large panel;
// - an unknown firmware: UnknownFirmware, an error box on a small panel;
// - a code refused: InvalidCode, an information box;
// - a read-back that found other bytes: the warning with the first address
//   that differs and the backup;
// - a read-back that could not be read: the warning that the data was
//   written but not checked, with the backup.
// A read or write error after the line was lost gets a second line asking
// whether the adapter was unplugged.
TMessage MessageFor(const TOutcome& outcome, const TTexts& texts, const TMessageContext& context = {});

// The status line of a phase.
std::string PhaseText(TPhase phase, const TTexts& texts);

// The warning's text after port failed to open: ErrorOpeningPort, and after
// "\r\n" what to do where the system can tell (OpenFailureHint).
std::string OpenFailureText(const TTexts& texts, const TComm& port);
// Why port could not be opened and what to do; empty when there is nothing
// to add. No permission: join the device's group (or ask for access; or,
// for a user already in it, what else refuses the port); held
// by another program: close it, naming it where the system can; no
// device: was the adapter unplugged?
std::string OpenFailureHint(const TComm& port, const TExtraStrings& texts);
// The device and why it could not be opened ("/dev/ttyUSB0: permission
// denied").
std::string OpenFailureReason(const TComm& port, const TExtraStrings& texts);

// The warning of a send whose read-back differs, with the first address
// that differs and, when there is one, the backup's path.
std::string VerifyFailedText(const TExtraStrings& texts, uint32_t address, const std::string& backupPath);

// The warning of a send whose read-back could not be read, naming the
// backup when there is one.
std::string VerifyReadFailedText(const TExtraStrings& texts, const std::string& backupPath);

// The line that follows the box of a failed send: once it had started
// writing (writing), that it stopped part-way and where the panel's
// previous data is (or that no backup was taken); before that, that
// nothing was written.
std::string SendStoppedLine(const TExtraStrings& texts, bool writing, const std::string& backupPath);

// text, and line on a line of its own after it when there is one.
std::string WithLine(const std::string& text, const std::string& line);

}  // namespace tarvex
