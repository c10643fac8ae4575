#include "app/workflows.h"

#include <algorithm>
#include <cctype>

#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "app/backup.h"
#include "app/connection.h"
#include "app/keyfile.h"
#include "protocol/identify.h"
#include "protocol/text.h"
#include "protocol/transfer.h"

namespace tarvex {

namespace {
constexpr int kWorkflowSettleMs = 300;
constexpr size_t kLargeMinCodeDigits = 4;
}  // namespace

bool IsValidCode(const std::string& code) {
  return code.size() <= kMaxCodeDigits &&
         std::all_of(code.begin(), code.end(), [](unsigned char c) { return c >= '0' && c <= '9'; });
}

bool IsMainUserCode(UserTable table, const std::string& typedCode) {
  const std::string padded = PadRight(typedCode, 8, 'F');
  for (size_t u = 0; u < kUserCount; ++u) {
    const UserEntry user = table.User(u);
    if (user.Code() == padded && user.Attr(0) == 1) return true;
  }
  return false;
}

namespace {

// The transfer buffer held the panel's code block: it does not outlive the
// workflow.
void WipeCodeBuffers(TSession& s) { WipeBytes(s.Link.TransferBuffer->data(), s.Link.TransferBuffer->size()); }

TTexts TextsOf(const TSession& s) { return TTexts{s.LangStrings, s.ExtraStrings}; }

// The box of a failed sequence; the bar is cleared after it, except after
// the large panel's read, whose bar stays as it is.
void SequenceFailed(TSession& s, const TOutcome& o) {
  const TMessage m = MessageFor(o, TextsOf(s));
  s.Box(m.kind, m.text);
  if (o.step != TStep::ReadLarge) s.Notify(ProgressClear);
}

// The send's own box after a failure before its first write, of its own
// kind: the outcome's text, then that nothing was written.
void ShowBeforeWriting(TSession& s, TBoxKind kind, const TOutcome& o) {
  s.Box(kind, WithLine(MessageFor(o, TextsOf(s)).text, s.ExtraStrings.NothingWritten));
}

TOutcome PortNotOpen(const TComm& port) {
  TOutcome o = Failure(TResult::PortNotOpen, TStep::OpenPort);
  o.portError = port.LastError;
  return o;
}

}  // namespace

std::optional<std::string> StatusAfterRead(const TOutcome& o, const TTexts& texts) {
  switch (o.result) {
    case TResult::Ok: return texts.lang.Ready;
    case TResult::PortNotOpen: return std::nullopt;
    case TResult::CodeStoredNowhere:
    case TResult::CodeNotMainUser:
    case TResult::CodeTooShort: return texts.lang.InvalidCode;
    default: return texts.lang.ReadError;
  }
}

std::optional<std::string> StatusAfterSend(const TOutcome& o, const TTexts& texts) {
  if (o.result == TResult::CodeStoredNowhere || o.result == TResult::CodeNotMainUser) return texts.lang.InvalidCode;
  return std::nullopt;
}

TReadOutcome ReadFromPanel(TSession& s, const std::string& code) {
  TReadOutcome out;
  TLink& link = s.Link;
  TComm& port = link.PanelPort;
  if (!EnsurePortOpen(s)) {
    out.outcome = PortNotOpen(port);
    s.Box(TBoxKind::Warning, OpenFailureText(TextsOf(s), port));
  } else if (s.IsLargePanel()) {
    SleepOn(port, kWorkflowSettleMs, "for the panel before the transfer");
    if (code.size() < kLargeMinCodeDigits) {
      // The large panel's code is not compared with anything; only its
      // length is checked.
      out.outcome = Failure(TResult::CodeTooShort);
    } else {
      out.outcome = ReadLargePanel(link, s.Large->Regions());
      if (!out.outcome) SequenceFailed(s, out.outcome);
    }
  } else {
    UserTable users = s.Small->Users();
    TOutcome o = ReadUsers(link, s.Panel, users);
    if (o) o = ReadCodesAndMatch(link, s.Panel, users, code);
    if (!o) {
      // Every read worked and no user has the code: the code is wrong, not
      // the line.
      if (o.result != TResult::CodeStoredNowhere) SequenceFailed(s, o);
    } else if (!IsMainUserCode(users, code)) {
      o = Failure(TResult::CodeNotMainUser, TStep::ReadCodes);
    } else {
      o = ReadKeys(link, s.Panel, *s.Small);
      if (!o) SequenceFailed(s, o);
    }
    out.outcome = o;
  }
  ClosePort(port);
  WipeCodeBuffers(s);
  return out;
}

namespace {

// Saves a backup image with the target's header; false after telling the
// user why.
bool SaveBackup(TSession& s, std::span<uint8_t> image, const TSendOptions& options, std::string* path) {
  SetImageModel(image, s.Panel.ConnectedModel);
  SetImageDescription(image, s.Panel.PanelDescription);
  SetImageFirmware(image, s.Panel.FirmwareVersion);
  std::string error;
  if (EnsureBackupFolder(options.backupFolder, &error)) {
    *path = BackupFileName(options.backupFolder, ModelName(s.Panel.ConnectedModel), std::time(nullptr));
    if (WriteKeyCodeFile(image, *path, &error)) {
      if (options.backupSaved) options.backupSaved(*path);
      return true;
    }
  }
  path->clear();
  s.Box(TBoxKind::Error, s.ExtraStrings.BackupFailed + "\r\n" + error);
  return false;
}

// The target's users and codes are already in its table; its keys and
// cards are read into the same separate image.
bool BackupSmallTarget(TSession& s, UserTable target, const TSendOptions& options, TSendOutcome& out) {
  auto image = std::make_unique<SmallPanelImage>();
  const auto users = target.Bytes();
  std::copy(users.begin(), users.end(), image->Users().Bytes().begin());
  bool saved = false;
  if (const TOutcome o = ReadKeys(s.Link, s.Panel, *image); !o) {
    SequenceFailed(s, o);
    out.outcome = o;
    s.Box(TBoxKind::Error, s.ExtraStrings.BackupFailed);
  } else {
    saved = SaveBackup(s, image->Bytes(), options, &out.backupPath);
  }
  WipeBytes(image->Bytes().data(), image->Bytes().size());
  if (!saved) out.backupFailed = true;
  return saved;
}

bool BackupLargeTarget(TSession& s, const TSendOptions& options, TSendOutcome& out) {
  auto image = std::make_unique<LargePanelImage>();
  bool saved = false;
  if (const TOutcome o = ReadLargePanel(s.Link, image->Regions()); !o) {
    SequenceFailed(s, o);
    out.outcome = o;
    s.Box(TBoxKind::Error, s.ExtraStrings.BackupFailed);
  } else {
    saved = SaveBackup(s, image->Bytes(), options, &out.backupPath);
  }
  WipeBytes(image->Bytes().data(), image->Bytes().size());
  if (!saved) out.backupFailed = true;
  return saved;
}

std::string TransferOkText(const TSession& s, const std::string& backupPath) {
  if (backupPath.empty()) return s.LangStrings.TransferOk;
  return s.LangStrings.TransferOk + "\r\n" + s.ExtraStrings.BackupSaved + backupPath;
}

// Writes the small image; the code block's bytes past the codes (map 3)
// go back as read from this panel and belong to it.
TOutcome WriteSmall(TSession& s, TWriteRecord& record) {
  TOutcome o = WriteCodes(s.Link, s.Panel, *s.Small, &record);
  if (!o) return o;
  const TBlockMap& m = s.Panel.BlockMap;
  const size_t codeBytes = CodeBytesInCodeBlock(s.Panel.ConnectedModel);
  if (m.CodesLen > codeBytes)
    record.MarkPanelOwned(m.CodesAddr + static_cast<uint32_t>(codeBytes), m.CodesLen - codeBytes);
  o = WriteUsers(s.Link, s.Panel, *s.Small, &record);
  if (!o) return o;
  return WriteKeys(s.Link, s.Panel, *s.Small, &record);
}

TOutcome WriteLarge(TSession& s, TWriteRecord& record) {
  // The write announces no phase of its own: without this the status line
  // and the bar of the backup's read would stand through the whole write.
  s.Notify(ProgressClear);
  s.ShowStatus(PhaseText(TPhase::WritingCodes, TextsOf(s)));
  return WriteLargePanel(s.Link, s.Large->Regions(), &record);
}

// The box of a send that stopped once it had begun writing: shown, or
// held in the outcome for the caller.
void StoppedBox(TSession& s, const TSendOptions& options, TSendOutcome& out, TBoxKind kind, const std::string& text) {
  out.writeStarted = true;
  if (options.holdStoppedBox) {
    out.heldBox = TMessage{kind, text};
    return;
  }
  s.Box(kind, text);
}

// After the writes: a failed write shows the sequence's box and the
// workflow's own; then what was written is read back (unless the user
// asked for the bare send) and the outcome shown.
void Finish(TSession& s, TOutcome written, const TWriteRecord& record, const TSendOptions& options,
            const std::string& previous, TSendOutcome& out) {
  if (!written) {
    // A write that failed may have been stored all the same (its echo
    // spoiled on the way back): from the first write on, the panel may hold
    // part of the new data, and the window's box says where the old is.
    SequenceFailed(s, written);
    out.outcome = written;
    StoppedBox(s, options, out, TBoxKind::Error,
               WithLine(MessageFor(written, TextsOf(s)).text, SendStoppedLine(s.ExtraStrings, true, previous)));
    return;
  }
  if (options.verify) {
    out.outcome = VerifyWritten(s.Link, s.Panel, record);
    if (!out.outcome) {
      // The read-back's boxes name the backup themselves; without one,
      // they say that none was taken.
      const TMessage m = MessageFor(out.outcome, TextsOf(s), {nullptr, previous});
      StoppedBox(s, options, out, m.kind, previous.empty() ? WithLine(m.text, s.ExtraStrings.NoBackupTaken) : m.text);
      return;
    }
  }
  out.outcome = Success();
  s.Box(TBoxKind::Information, TransferOkText(s, out.backupPath));
}

// Whether one of codes is the main user code of the target's table.
bool AnyMainUserCode(UserTable target, const std::vector<std::string>& codes) {
  return std::any_of(codes.begin(), codes.end(), [&](const std::string& c) { return IsMainUserCode(target, c); });
}

// The send of the session's image into the connected panel, the main user
// code proved with the first of codes that is the target's (the large
// panel: the first, by its length only). previous names the backup being
// restored, for a send that takes none.
// Opens the port for a send or its dry run and lets the panel settle. When
// the port cannot be opened, says so (nothing was written), closes it and
// gives the outcome.
bool OpenForTransfer(TSession& s, TOutcome& outcome) {
  TComm& port = s.Link.PanelPort;
  if (!EnsurePortOpen(s)) {
    outcome = PortNotOpen(port);
    s.Box(TBoxKind::Warning, WithLine(OpenFailureText(TextsOf(s), port), s.ExtraStrings.NothingWritten));
    ClosePort(port);
    WipeCodeBuffers(s);
    return false;
  }
  SleepOn(port, kWorkflowSettleMs, "for the panel before the transfer");
  return true;
}

TSendOutcome SendImage(TSession& s, const std::vector<std::string>& codes, const TSendOptions& options,
                       const std::string& previous) {
  TSendOutcome out;
  TLink& link = s.Link;
  TComm& port = link.PanelPort;
  if (options.backup && options.backupFolder.empty()) {
    // The user did not ask to go without a backup; nothing is touched.
    s.Box(TBoxKind::Error, s.ExtraStrings.BackupFailed + "\r\n" + s.ExtraStrings.NoBackupFolder);
    out.backupFailed = true;
    return out;
  }
  if (!OpenForTransfer(s, out.outcome)) return out;
  TWriteRecord written;
  const std::string none;
  const std::string& first = codes.empty() ? none : codes.front();
  if (s.IsLargePanel()) {
    if (first.size() < kLargeMinCodeDigits) {
      out.outcome = Failure(TResult::CodeTooShort);
      ShowBeforeWriting(s, TBoxKind::Information, out.outcome);
    } else if (!options.backup || BackupLargeTarget(s, options, out)) {
      Finish(s, WriteLarge(s, written), written, options, options.backup ? out.backupPath : previous, out);
    }
  } else {
    // The target's users and codes go into their own table, so that the
    // data about to be sent stay as they are; it holds codes, and is wiped
    // on every path.
    TTargetUsers targetUsers;
    UserTable target = targetUsers.Table();
    TOutcome o = ReadUsers(link, s.Panel, target);
    if (o) o = ReadCodesAndMatch(link, s.Panel, target, first);
    // The codes block was read whenever the match alone failed: the other
    // codes are looked for in the same table, without another exchange.
    const bool codesRead = o || o.result == TResult::CodeStoredNowhere;
    const bool proved = codesRead && AnyMainUserCode(target, codes);
    if (!codesRead) {
      SequenceFailed(s, o);
      ShowBeforeWriting(s, TBoxKind::Warning, o);
      out.outcome = o;
    } else if (!proved) {
      // A code stored nowhere in the target is shown as refused, like a
      // code that is not the main user's, without a box.
      out.outcome = o ? Failure(TResult::CodeNotMainUser, TStep::ReadCodes) : o;
    } else {
      // WriteCodes sends the code block as it stands in the transfer
      // buffer after filling in the codes: on map 3 the block's second
      // half must go back exactly as just read from this panel. The backup
      // reads more blocks through the buffer, so the block is kept aside.
      TTransferBuffer& buf = link.Buffer();
      std::vector<uint8_t> codeBlock(buf.begin(), buf.begin() + s.Panel.BlockMap.CodesLen);
      const TWipeOnExit wipeCodeBlock(codeBlock);
      if (!options.backup || BackupSmallTarget(s, target, options, out)) {
        std::copy(codeBlock.begin(), codeBlock.end(), buf.begin());
        Finish(s, WriteSmall(s, written), written, options, options.backup ? out.backupPath : previous, out);
      }
    }
    auto bytes = target.Bytes();
    WipeBytes(bytes.data(), bytes.size());
  }
  ClosePort(port);
  WipeCodeBuffers(s);
  return out;
}

}  // namespace

TSendOutcome SendToPanel(TSession& s, const std::string& code, const TSendOptions& options) {
  std::vector<std::string> codes{code};
  TSendOutcome out = SendImage(s, codes, options, std::string());
  WipeString(codes.front());
  return out;
}

std::optional<std::string> MainUserCodeOf(UserTable table) {
  for (size_t u = 0; u < kUserCount; ++u) {
    const UserEntry user = table.User(u);
    if (user.Attr(0) != 1) continue;
    std::string text = user.Code();
    const size_t last = text.find_last_not_of('F');
    std::string code = text.substr(0, last == std::string::npos ? 0 : last + 1);
    WipeString(text);
    return code;
  }
  return std::nullopt;
}

TSendOutcome RestoreBackup(TSession& s, const std::string& backupPath, const std::vector<std::string>& codes,
                           const TRestoreOptions& options) {
  TSendOutcome out;
  if (options.identify && !CheckConnection(s)) {
    // The check has shown why; nothing was written.
    const TComm& port = s.Link.PanelPort;
    out.outcome = port.LastError != TCommError::None ? PortNotOpen(port) : Failure(TResult::NotIdentified);
    return out;
  }
  // The backup replaces the image of the panel's class; a backup that
  // cannot be loaded (missing, not a key-code file, of another class) has
  // shown its box and nothing is written.
  const TLoadResult loaded = s.IsLargePanel() ? LoadLargeFile(s, backupPath) : LoadSmallFile(s, backupPath);
  if (loaded != TLoadResult::Loaded) {
    out.backupFailed = true;
    return out;
  }
  TSendOptions send = WithoutBackup();
  send.verify = options.verify;
  send.holdStoppedBox = options.holdStoppedBox;
  return SendImage(s, codes, send, backupPath);
}

TDryRunOutcome::~TDryRunOutcome() {
  WipeBytes(panel.data(), panel.size());
  WipeBytes(written.data(), written.size());
}

namespace {

// Both images of a dry run carry the target's header.
void TargetHeader(const TSession& s, std::span<uint8_t> image) {
  SetImageModel(image, s.Panel.ConnectedModel);
  SetImageDescription(image, s.Panel.PanelDescription);
  SetImageFirmware(image, s.Panel.FirmwareVersion);
}

}  // namespace

TDryRunOutcome DryRunSend(TSession& s, const std::string& code) {
  TDryRunOutcome out;
  TLink& link = s.Link;
  TComm& port = link.PanelPort;
  if (!OpenForTransfer(s, out.outcome)) return out;
  if (s.IsLargePanel()) {
    if (code.size() < kLargeMinCodeDigits) {
      out.outcome = Failure(TResult::CodeTooShort);
      ShowBeforeWriting(s, TBoxKind::Information, out.outcome);
    } else {
      auto image = std::make_unique<LargePanelImage>();
      out.outcome = ReadLargePanel(link, image->Regions());
      if (!out.outcome) {
        SequenceFailed(s, out.outcome);
      } else {
        out.panel.assign(image->Bytes().begin(), image->Bytes().end());
        // The send writes each region's block as the image holds it.
        out.written.assign(kLargeImageSize, 0xFF);
        const auto from = s.Large->Regions();
        for (const TLargeRegion& r : LargePanelMap)
          std::copy_n(from.begin() + r.RegionOffset, r.Bytes, out.written.begin() + kLargeRegionsOffset + r.RegionOffset);
        TargetHeader(s, out.panel);
        TargetHeader(s, out.written);
      }
      WipeBytes(image->Bytes().data(), image->Bytes().size());
    }
  } else {
    auto image = std::make_unique<SmallPanelImage>();
    UserTable target = image->Users();
    TOutcome o = ReadUsers(link, s.Panel, target);
    if (o) o = ReadCodesAndMatch(link, s.Panel, target, code);
    if (!o) {
      if (o.result != TResult::CodeStoredNowhere) {
        SequenceFailed(s, o);
        ShowBeforeWriting(s, TBoxKind::Warning, o);
      }
    } else if (!IsMainUserCode(target, code)) {
      o = Failure(TResult::CodeNotMainUser, TStep::ReadCodes);
    } else {
      o = ReadKeys(link, s.Panel, *image);
      if (!o) {
        SequenceFailed(s, o);
      } else {
        auto after = std::make_unique<SmallPanelImage>(*s.Small);
        ImageAsWrittenInto(s.Panel, *after);
        TargetHeader(s, image->Bytes());
        TargetHeader(s, after->Bytes());
        out.panel.assign(image->Bytes().begin(), image->Bytes().end());
        out.written.assign(after->Bytes().begin(), after->Bytes().end());
        WipeBytes(after->Bytes().data(), after->Bytes().size());
      }
    }
    out.outcome = o;
    WipeBytes(image->Bytes().data(), image->Bytes().size());
  }
  ClosePort(port);
  WipeCodeBuffers(s);
  return out;
}

}  // namespace tarvex
