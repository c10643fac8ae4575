#include "app/workflows.h"

#include <algorithm>
#include <cctype>

#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "app/backup.h"
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

// The transfer buffer held the panel's code block and the target table its
// codes: neither outlives the workflow.
void WipeCodeBuffers(TSession& s) {
  WipeBytes(s.TransferBuffer->data(), s.TransferBuffer->size());
  WipeBytes(s.TargetCodeBlock.data(), s.TargetCodeBlock.size());
  s.TargetCodeBlock.clear();
  auto target = s.TargetUsers.Table().Bytes();
  WipeBytes(target.data(), target.size());
  std::fill(target.begin(), target.end(), 0xFF);
}

}  // namespace

TReadOutcome ReadFromPanel(TSession& s, const std::string& code) {
  TReadOutcome out;
  TComm& port = s.PanelPort;
  if (!EnsurePortOpen(s, port)) {
    s.Box(TBoxKind::Warning, OpenFailureText(s, port));
  } else if (s.IsLargePanel()) {
    SleepOn(port, kWorkflowSettleMs, "for the panel before the transfer");
    if (code.size() < kLargeMinCodeDigits) {
      // The large panel's code is not compared with anything; only its
      // length is checked.
      out.status = s.LangStrings.InvalidCode;
    } else if (ReadLargePanel(s, port, s.Large->Regions())) {
      out.ok = true;
      out.status = s.LangStrings.Ready;
    } else {
      out.status = s.LangStrings.ReadError;
    }
  } else {
    UserTable users = s.Small->Users();
    bool codesRead = false;
    if (!ReadUsers(s, port, users) || !ReadCodesAndMatch(s, port, users, code, &codesRead)) {
      // Every read worked and no user has the code: the code is wrong, not
      // the line.
      out.status = codesRead ? s.LangStrings.InvalidCode : s.LangStrings.ReadError;
    } else if (!IsMainUserCode(users, code)) {
      out.status = s.LangStrings.InvalidCode;
    } else if (ReadKeys(s, port)) {
      out.ok = true;
      out.status = s.LangStrings.Ready;
    } else {
      out.status = s.LangStrings.ReadError;
    }
  }
  ClosePort(port);
  WipeCodeBuffers(s);
  return out;
}

namespace {

// Saves a backup image with the target's header; false after telling the
// user why.
bool SaveBackup(TSession& s, std::span<uint8_t> image, const TSendOptions& options, std::string* path) {
  SetImageModel(image, s.SystemFlags.ConnectedModel);
  SetImageDescription(image, s.SystemFlags.PanelDescription);
  SetImageFirmware(image, s.SystemFlags.FirmwareVersion);
  std::string error;
  if (EnsureBackupFolder(options.backupFolder, &error)) {
    *path = BackupFileName(options.backupFolder, ModelName(s.SystemFlags.ConnectedModel), std::time(nullptr));
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
bool BackupSmallTarget(TSession& s, TComm& port, UserTable target, const TSendOptions& options, std::string* path) {
  auto image = std::make_unique<SmallPanelImage>();
  const auto users = target.Bytes();
  std::copy(users.begin(), users.end(), image->Users().Bytes().begin());
  bool saved = false;
  if (!ReadKeys(s, port, *image)) {
    s.Box(TBoxKind::Error, s.ExtraStrings.BackupFailed);
  } else {
    saved = SaveBackup(s, image->Bytes(), options, path);
  }
  WipeBytes(image->Bytes().data(), image->Bytes().size());
  return saved;
}

bool BackupLargeTarget(TSession& s, TComm& port, const TSendOptions& options, std::string* path) {
  auto image = std::make_unique<LargePanelImage>();
  bool saved = false;
  if (!ReadLargePanel(s, port, image->Regions())) {
    s.Box(TBoxKind::Error, s.ExtraStrings.BackupFailed);
  } else {
    saved = SaveBackup(s, image->Bytes(), options, path);
  }
  WipeBytes(image->Bytes().data(), image->Bytes().size());
  return saved;
}

std::string TransferOkText(const TSession& s, const std::string& backupPath) {
  if (backupPath.empty()) return s.LangStrings.TransferOk;
  return s.LangStrings.TransferOk + "\r\n" + s.ExtraStrings.BackupSaved + backupPath;
}

// Keeps the record of what a send writes in the session for as long as it
// lives, on every path.
class TRecordWrites {
 public:
  TRecordWrites(TSession& s, TWriteRecord& record) : s_(s) { s_.Written = &record; }
  ~TRecordWrites() { s_.Written = nullptr; }
  TRecordWrites(const TRecordWrites&) = delete;
  TRecordWrites& operator=(const TRecordWrites&) = delete;

 private:
  TSession& s_;
};

// Writes the small image; the code block's bytes past the codes (map 3)
// go back as read from this panel and belong to it.
bool WriteSmall(TSession& s, TComm& port, TWriteRecord& record) {
  const TRecordWrites recording(s, record);
  if (!WriteCodes(s, port)) return false;
  const size_t codeBytes = CodeBytesInCodeBlock(s.SystemFlags.ConnectedModel);
  if (s.BlockMap.CodesLen > codeBytes)
    record.MarkPanelOwned(s.BlockMap.CodesAddr + static_cast<uint32_t>(codeBytes), s.BlockMap.CodesLen - codeBytes);
  return WriteUsers(s, port) && WriteKeys(s, port);
}

bool WriteLarge(TSession& s, TComm& port, TWriteRecord& record) {
  const TRecordWrites recording(s, record);
  // The write announces no phase of its own: without this the status line
  // and the bar of the backup's read would stand through the whole write.
  s.Notify(ProgressClear);
  s.ShowStatus(s.LangStrings.WritingCodes);
  return WriteLargePanel(s, port, s.Large->Regions());
}

// Reads back what was written; false after telling the user why.
bool Verified(TSession& s, TComm& port, const TWriteRecord& record, TSendOutcome& out) {
  uint32_t at = 0;
  switch (VerifyWritten(s, port, record, &at)) {
    case TVerifyResult::Same: return true;
    case TVerifyResult::ReadFailed: s.Box(TBoxKind::Warning, s.LangStrings.ReadError); return false;
    case TVerifyResult::Differs:
      out.differs = true;
      out.firstDifference = at;
      s.Box(TBoxKind::Warning, VerifyFailedText(s.ExtraStrings, at, out.backupPath));
      return false;
  }
  return false;
}

}  // namespace

std::string VerifyFailedText(const TExtraStrings& texts, uint32_t address, const std::string& backupPath) {
  std::string text = backupPath.empty() ? texts.VerifyFailedNoBackup : texts.VerifyFailed;
  char hex[16];
  std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(address));
  auto put = [&text](const std::string& token, const std::string& value) {
    const size_t at = text.find(token);
    if (at != std::string::npos) text.replace(at, token.size(), value);
  };
  put("%04X", hex);
  put("%s", backupPath);
  return text;
}

TSendOutcome SendToPanel(TSession& s, const std::string& code, const TSendOptions& options) {
  TSendOutcome out;
  TComm& port = s.PanelPort;
  if (options.backup && options.backupFolder.empty()) {
    // The user did not ask to go without a backup; nothing is touched.
    s.Box(TBoxKind::Error, s.ExtraStrings.BackupFailed + "\r\n" + s.ExtraStrings.NoBackupFolder);
    return out;
  }
  if (!EnsurePortOpen(s, port)) {
    s.Box(TBoxKind::Warning, OpenFailureText(s, port));
    ClosePort(port);
    WipeCodeBuffers(s);
    return out;
  }
  SleepOn(port, kWorkflowSettleMs, "for the panel before the transfer");
  TWriteRecord written;
  if (s.IsLargePanel()) {
    if (code.size() < kLargeMinCodeDigits) {
      s.Box(TBoxKind::Information, s.LangStrings.InvalidCode);
    } else if (options.backup && !BackupLargeTarget(s, port, options, &out.backupPath)) {
      // Nothing was written.
    } else if (!WriteLarge(s, port, written)) {
      s.Box(TBoxKind::Error, s.LangStrings.WriteError);
    } else if (!options.verify || Verified(s, port, written, out)) {
      s.Box(TBoxKind::Information, TransferOkText(s, out.backupPath));
      out.ok = true;
    }
  } else {
    // The target's users and codes go into their own table, so that the
    // data about to be sent stay as they are.
    UserTable target = s.TargetUsers.Table();
    bool codesRead = false;
    if (!ReadUsers(s, port, target) || !ReadCodesAndMatch(s, port, target, code, &codesRead)) {
      // A code stored nowhere in the target is shown as refused, like a
      // code that is not the main user's; a failed read keeps its box.
      if (codesRead) out.status = s.LangStrings.InvalidCode;
      else s.Box(TBoxKind::Warning, s.LangStrings.ReadError);
    } else if (!IsMainUserCode(target, code)) {
      out.status = s.LangStrings.InvalidCode;
    } else {
      // WriteCodes sends the code block as it stands in the transfer
      // buffer after filling in the codes: on map 3 the block's second
      // half must go back exactly as just read from this panel. The backup
      // reads more blocks through the buffer, so the block is kept aside.
      TTransferBuffer& buf = *s.TransferBuffer;
      s.TargetCodeBlock.assign(buf.begin(), buf.begin() + s.BlockMap.CodesLen);
      if (!options.backup || BackupSmallTarget(s, port, target, options, &out.backupPath)) {
        std::copy(s.TargetCodeBlock.begin(), s.TargetCodeBlock.end(), buf.begin());
        if (!WriteSmall(s, port, written)) {
          s.Box(TBoxKind::Error, s.LangStrings.WriteError);
        } else if (!options.verify || Verified(s, port, written, out)) {
          s.Box(TBoxKind::Information, TransferOkText(s, out.backupPath));
          out.ok = true;
        }
      }
    }
  }
  ClosePort(port);
  WipeCodeBuffers(s);
  return out;
}

}  // namespace tarvex
