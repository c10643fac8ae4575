#include "app/messages.h"

#include <cstdio>

#include "protocol/identify.h"

namespace tarvex {

namespace {

void Put(std::string& text, const std::string& token, const std::string& value) {
  const size_t at = text.find(token);
  if (at != std::string::npos) text.replace(at, token.size(), value);
}

// The port's name as the user chose it: the device path, or on Windows
// the number.
std::string PortName(const TComm& port) {
  if (!port.Device.empty()) return port.Device;
  return port.Port > 0 ? "COM" + std::to_string(port.Port) : std::string();
}

// A box about the line, with the unplugged question after a lost line.
TMessage LineMessage(TBoxKind kind, const std::string& text, const TOutcome& o, const TTexts& texts) {
  if (o.lineLost && !text.empty() && !texts.extra.HintUnplugged.empty())
    return {kind, text + "\r\n" + texts.extra.HintUnplugged};
  return {kind, text};
}

}  // namespace

TMessage MessageFor(const TOutcome& o, const TTexts& texts, const TMessageContext& context) {
  switch (o.result) {
    case TResult::Ok: return {TBoxKind::Information, texts.lang.TransferOk};
    case TResult::PortNotOpen: {
      if (context.port) return {TBoxKind::Warning, OpenFailureText(texts, *context.port)};
      return {TBoxKind::Warning, texts.lang.ErrorOpeningPort};
    }
    case TResult::NoEcho:
    case TResult::BadEcho:
    case TResult::ShortData:
    case TResult::NoCheck:
    case TResult::BadCheck:
    case TResult::RangeRefused:
      if (o.write) return LineMessage(o.large ? TBoxKind::Error : TBoxKind::Warning, texts.lang.WriteError, o, texts);
      return LineMessage(TBoxKind::Warning, texts.lang.ReadError, o, texts);
    case TResult::NotAPanel:
    case TResult::NotIdentified: return LineMessage(TBoxKind::Warning, texts.lang.ReadError, o, texts);
    case TResult::VerifyReadFailed:
      return LineMessage(TBoxKind::Warning, VerifyReadFailedText(texts.extra, context.backupPath), o, texts);
    case TResult::UnknownFirmware:
      return {o.step == TStep::IdentifyLarge ? TBoxKind::Warning : TBoxKind::Error, texts.lang.UnknownFirmware};
    case TResult::CodeStoredNowhere:
    case TResult::CodeNotMainUser:
    case TResult::CodeTooShort: return {TBoxKind::Information, texts.lang.InvalidCode};
    case TResult::VerifyDiffers:
      return {TBoxKind::Warning, VerifyFailedText(texts.extra, o.address, context.backupPath)};
  }
  return {TBoxKind::Warning, texts.lang.ReadError};
}

std::string PhaseText(TPhase phase, const TTexts& texts) {
  switch (phase) {
    case TPhase::OpeningPort: return texts.lang.OpeningPort;
    case TPhase::ReadingSmallVersion: return texts.lang.ReadingVersion + " VYR Unit";
    case TPhase::BaudSearch: return texts.lang.SyncBaudRate;
    case TPhase::ReadingLargeVersion: return texts.lang.ReadingVersion + " " + kLargeModelName;
    case TPhase::ReadingUsers:
    case TPhase::ReadingLarge: return texts.lang.ReadingCodes;
    case TPhase::CheckingUserCode: return texts.lang.CheckingUserCode;
    case TPhase::ReadingKeys: return texts.lang.ReadingKeys;
    case TPhase::WritingCodes:
    case TPhase::WritingUsers: return texts.lang.WritingCodes;
    case TPhase::WritingKeys: return texts.lang.WritingKeys;
    case TPhase::Verifying: return texts.extra.VerifyingData;
    case TPhase::Ready: return texts.lang.Ready;
  }
  return std::string();
}

std::string OpenFailureText(const TTexts& texts, const TComm& port) {
  const std::string hint = OpenFailureHint(port, texts.extra);
  return hint.empty() ? texts.lang.ErrorOpeningPort : texts.lang.ErrorOpeningPort + "\r\n" + hint;
}

std::string OpenFailureHint(const TComm& port, const TExtraStrings& texts) {
  switch (port.LastError) {
    case TCommError::AccessDenied: {
      TCommSystem& system = SystemOf(port);
      const std::string group = system.DeviceGroup(port);
      if (group.empty()) return texts.HintNoPermission;
      // Telling a member to join the group again would send the user round
      // in circles: the refusal comes from elsewhere.
      std::string hint = system.InDeviceGroup(port) ? texts.HintGroupRefused : texts.HintJoinGroup;
      Put(hint, "%s", group);
      return hint;
    }
    case TCommError::InUse: {
      const std::vector<TPortHolder> holders = SystemOf(port).Holders(port);
      if (holders.empty()) return texts.HintInUse;
      std::string hint = texts.HintHeldBy;
      Put(hint, "%s", holders.front().Program);
      Put(hint, "%d", std::to_string(holders.front().Pid));
      return hint;
    }
    case TCommError::NoDevice:
      // A port that was chosen and is not there (any more): on a laptop in
      // the field that is an adapter pulled out far more often than a typo.
      return PortName(port).empty() ? std::string() : texts.HintUnplugged;
    case TCommError::None:
    case TCommError::NotSerial:
    case TCommError::Settings:
    case TCommError::Other: break;
  }
  return std::string();
}

std::string OpenFailureReason(const TComm& port, const TExtraStrings& texts) {
  if (port.LastError == TCommError::None) return std::string();
  const std::string name = PortName(port);
  if (name.empty()) return texts.NoPortSelected;
  std::string why;
  switch (port.LastError) {
    case TCommError::None: break;
    case TCommError::NoDevice: why = texts.PortMissing; break;
    case TCommError::InUse: why = texts.PortInUse; break;
    case TCommError::AccessDenied: why = texts.PortAccessDenied; break;
    case TCommError::NotSerial: why = texts.PortNotSerial; break;
    case TCommError::Settings:
      why = texts.PortSettings;
      if (!port.LastErrorText.empty()) why += " (" + port.LastErrorText + ")";
      break;
    case TCommError::Other: why = port.LastErrorText; break;
  }
  return name + ": " + why;
}

std::string VerifyFailedText(const TExtraStrings& texts, uint32_t address, const std::string& backupPath) {
  std::string text = backupPath.empty() ? texts.VerifyFailedNoBackup : texts.VerifyFailed;
  char hex[16];
  std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(address));
  Put(text, "%04X", hex);
  Put(text, "%s", backupPath);
  return text;
}

std::string VerifyReadFailedText(const TExtraStrings& texts, const std::string& backupPath) {
  if (backupPath.empty()) return texts.VerifyReadFailedNoBackup;
  std::string text = texts.VerifyReadFailed;
  Put(text, "%s", backupPath);
  return text;
}

std::string SendStoppedLine(const TExtraStrings& texts, bool writing, const std::string& backupPath) {
  if (!writing) return texts.NothingWritten;
  if (backupPath.empty()) return texts.SendStoppedNoBackup;
  std::string text = texts.SendStopped;
  Put(text, "%s", backupPath);
  return text;
}

std::string WithLine(const std::string& text, const std::string& line) {
  if (line.empty()) return text;
  return text + "\r\n" + line;
}

}  // namespace tarvex
