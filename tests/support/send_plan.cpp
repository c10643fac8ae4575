#include "tests/support/send_plan.h"

#include "app/connection.h"
#include "app/keyfile.h"
#include "app/languages.h"
#include "app/workflows.h"
#include "protocol/frames.h"
#include "sim/sim_line.h"
#include "tests/support/scratch_dir.h"

namespace tarvex::test {

namespace {

// A session on the line with the panel identified and file loaded.
bool Prepare(TSession& s, sim::TSimLine& line, const std::string& file) {
  ApplyLanguageTexts(s, TLanguage::English);
  s.Link.PanelPort.Device = "twin";
  s.Link.PanelPort.System = &line;
  if (!CheckConnection(s) || s.IsLargePanel()) return false;
  return LoadSmallFile(s, file) == TLoadResult::Loaded;
}

size_t MemorySize(const sim::PanelEngine& e) { return e.IsLarge() ? size_t{16} << 20 : size_t{65536}; }

}  // namespace

int FirstWriteAfterCodeBlock(const sim::PanelConfig& cfg, const std::string& file, const std::string& code) {
  sim::TSimLine line(cfg);
  TSilentUserInterface ui;
  TSession s(ui);
  if (!Prepare(s, line, file)) return 0;
  const TScratchDir backups("tarvex-send-plan");
  TSendOptions options;
  options.backupFolder = backups.Path();
  const int before = line.Engine().ExchangeCount();
  if (!SendToPanel(s, code, options).ok()) return 0;
  const auto headers = line.Engine().HeadersReceived();
  const uint32_t codeWrites = (s.Panel.BlockMap.CodesLen + SmallBlockSize - 1) / SmallBlockSize;
  uint32_t writes = 0;
  for (size_t i = static_cast<size_t>(before); i < headers.size(); ++i) {
    if (headers[i][0] != kSmallWriteCommand) continue;
    if (++writes > codeWrites) return static_cast<int>(i - static_cast<size_t>(before)) + 1;
  }
  return 0;
}

std::vector<uint8_t> MemoryAfterSend(const sim::PanelConfig& cfg, const std::string& file, const std::string& code) {
  sim::TSimLine line(cfg);
  TSilentUserInterface ui;
  TSession s(ui);
  if (!Prepare(s, line, file)) return {};
  if (!SendToPanel(s, code, WithoutBackup()).ok()) return {};
  return line.Engine().ReadMemory(0, MemorySize(line.Engine()));
}

std::vector<uint8_t> ImageAfterSend(const sim::PanelConfig& cfg, const std::string& file, const std::string& code) {
  sim::TSimLine line(cfg);
  TSilentUserInterface ui;
  TSession s(ui);
  if (!Prepare(s, line, file)) return {};
  if (!SendToPanel(s, code, WithoutBackup()).ok() || !ReadFromPanel(s, code).ok()) return {};
  const TScratchDir dir("tarvex-send-plan");
  std::string saved, error;
  std::vector<uint8_t> image;
  if (!SaveSmallFile(s, dir.Path() + "/read", &saved) || !DecodeKeyCodeFile(saved, &image, &error)) return {};
  return image;
}

}  // namespace tarvex::test
