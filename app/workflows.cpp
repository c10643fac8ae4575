#include "app/workflows.h"

#include <algorithm>
#include <cctype>

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
  auto target = s.TargetUsers.Table().Bytes();
  WipeBytes(target.data(), target.size());
  std::fill(target.begin(), target.end(), 0xFF);
}

}  // namespace

TReadOutcome ReadFromPanel(TSession& s, const std::string& code) {
  TReadOutcome out;
  TComm& port = s.PanelPort;
  if (!EnsurePortOpen(s, port)) {
    s.Box(TBoxKind::Warning, s.LangStrings.ErrorOpeningPort);
  } else if (s.IsLargePanel()) {
    SleepOn(port, kWorkflowSettleMs);
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
    if (!ReadUsers(s, port, users) || !ReadCodesAndMatch(s, port, users, code)) {
      out.status = s.LangStrings.ReadError;
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

}  // namespace

TSendOutcome SendToPanel(TSession& s, const std::string& code, const TSendOptions& options) {
  TSendOutcome out;
  TComm& port = s.PanelPort;
  if (!EnsurePortOpen(s, port)) {
    s.Box(TBoxKind::Warning, s.LangStrings.ErrorOpeningPort);
    ClosePort(port);
    WipeCodeBuffers(s);
    return out;
  }
  SleepOn(port, kWorkflowSettleMs);
  if (s.IsLargePanel()) {
    if (code.size() < kLargeMinCodeDigits) {
      s.Box(TBoxKind::Information, s.LangStrings.InvalidCode);
    } else if (!options.backupFolder.empty() && !BackupLargeTarget(s, port, options, &out.backupPath)) {
      // Nothing was written.
    } else if (WriteLargePanel(s, port, s.Large->Regions())) {
      s.Box(TBoxKind::Information, TransferOkText(s, out.backupPath));
      out.ok = true;
    } else {
      s.Box(TBoxKind::Error, s.LangStrings.WriteError);
    }
  } else {
    // The target's users and codes go into their own table, so that the
    // data about to be sent stay as they are.
    UserTable target = s.TargetUsers.Table();
    if (!ReadUsers(s, port, target) || !ReadCodesAndMatch(s, port, target, code)) {
      s.Box(TBoxKind::Warning, s.LangStrings.ReadError);
    } else if (!IsMainUserCode(target, code)) {
      out.status = s.LangStrings.InvalidCode;
    } else {
      // WriteCodes sends the code block as it stands in the transfer
      // buffer after filling in the codes: on map 3 the block's second
      // half must go back exactly as just read from this panel. The backup
      // reads more blocks through the buffer, so the block is kept aside.
      TTransferBuffer& buf = *s.TransferBuffer;
      const std::vector<uint8_t> codeBlock(buf.begin(), buf.begin() + s.BlockMap.CodesLen);
      if (options.backupFolder.empty() || BackupSmallTarget(s, port, target, options, &out.backupPath)) {
        std::copy(codeBlock.begin(), codeBlock.end(), buf.begin());
        if (WriteCodes(s, port) && WriteUsers(s, port) && WriteKeys(s, port)) {
          s.Box(TBoxKind::Information, TransferOkText(s, out.backupPath));
          out.ok = true;
        } else {
          s.Box(TBoxKind::Error, s.LangStrings.WriteError);
        }
      }
    }
  }
  ClosePort(port);
  WipeCodeBuffers(s);
  return out;
}

}  // namespace tarvex
