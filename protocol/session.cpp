#include "protocol/session.h"

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

}  // namespace

void TSession::Box(TBoxKind kind, const std::string& text) {
  // The sequences and the workflows all show these two boxes through here,
  // and only the record knows that the line went away under them.
  if (PanelPort.LineLost && !text.empty() && (text == LangStrings.ReadError || text == LangStrings.WriteError) &&
      !ExtraStrings.HintUnplugged.empty()) {
    UI->MessageBox(kind, text + "\r\n" + ExtraStrings.HintUnplugged);
    return;
  }
  UI->MessageBox(kind, text);
}

bool EnsurePortOpen(TSession& s, TComm& port) {
  if (port.Handle != -1) return true;
  if (OpenComm(port)) return true;
  s.Box(TBoxKind::Warning, OpenFailureText(s, port));
  return false;
}

std::string OpenFailureText(const TSession& s, const TComm& port) {
  const std::string hint = OpenFailureHint(port, s.ExtraStrings);
  return hint.empty() ? s.LangStrings.ErrorOpeningPort : s.LangStrings.ErrorOpeningPort + "\r\n" + hint;
}

std::string OpenFailureHint(const TComm& port, const TExtraStrings& texts) {
  switch (port.LastError) {
    case TCommError::AccessDenied: {
      const std::string group = SystemOf(port).DeviceGroup(port);
      if (group.empty()) return texts.HintNoPermission;
      std::string hint = texts.HintJoinGroup;
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

void ClosePort(TComm& port) {
  CloseComm(port);
  port.Handle = -1;
}

}  // namespace tarvex
