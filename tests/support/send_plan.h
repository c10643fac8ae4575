// What a send does on the line, found by making it into a fresh in-process
// panel: where its first write past the code block stands, so that a test
// can make exactly that write fail in another panel of the same
// configuration, and what a plain send of a file leaves in a panel's
// memory. Builds on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/panel_config.h"

namespace tarvex::test {

// The position, counted from 1 among the headers of the send alone, of
// the send's first write past the code block, when file is sent with code
// (and, as the window does, a backup first) into a fresh small panel of
// cfg; 0 when the send could not be made. A fault at the panel's exchange
// count before the send plus this number stops the send just after the
// code block was written.
int FirstWriteAfterCodeBlock(const sim::PanelConfig& cfg, const std::string& file, const std::string& code);

// The whole memory of a fresh panel of cfg after a plain send of file with
// code (no backup, read back and compared); empty when the send failed.
std::vector<uint8_t> MemoryAfterSend(const sim::PanelConfig& cfg, const std::string& file, const std::string& code);

// The image a read with code finds, after a plain send of file into a
// fresh small panel of cfg, as a save of it holds it (header included);
// empty when the send or the read failed.
std::vector<uint8_t> ImageAfterSend(const sim::PanelConfig& cfg, const std::string& file, const std::string& code);

}  // namespace tarvex::test
