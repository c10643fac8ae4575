#include "app/workflows.h"

#include <algorithm>
#include <cctype>

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
  return out;
}

TSendOutcome SendToPanel(TSession& s, const std::string& code) {
  TSendOutcome out;
  TComm& port = s.PanelPort;
  if (!EnsurePortOpen(s, port)) {
    s.Box(TBoxKind::Warning, s.LangStrings.ErrorOpeningPort);
    ClosePort(port);
    return out;
  }
  SleepOn(port, kWorkflowSettleMs);
  if (s.IsLargePanel()) {
    if (code.size() < kLargeMinCodeDigits) {
      s.Box(TBoxKind::Information, s.LangStrings.InvalidCode);
    } else if (WriteLargePanel(s, port, s.Large->Regions())) {
      s.Box(TBoxKind::Information, s.LangStrings.TransferOk);
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
    } else if (WriteCodes(s, port) && WriteUsers(s, port) && WriteKeys(s, port)) {
      s.Box(TBoxKind::Information, s.LangStrings.TransferOk);
      out.ok = true;
    } else {
      s.Box(TBoxKind::Error, s.LangStrings.WriteError);
    }
  }
  ClosePort(port);
  return out;
}

}  // namespace tarvex
