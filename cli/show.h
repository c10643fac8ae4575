// tarvex-cli show: what a key-code file holds, without any panel; and the
// file loading the commands that work on files share.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "app/session.h"

namespace tarvex {

// Prints the file's layout, model, firmware and description, and its users
// and keys (small layout) or its regions (large layout), as text or as one
// JSON object. Codes are shown as one '*' per digit unless revealed. False
// (after a message box) when the file is missing or not a key-code file.
bool ShowKeyCodeFile(TSession& s, const std::string& path, bool json, bool revealCodes, std::ostream& out);

// Users and keys (every one of the 128, with whether it is in use) as CSV,
// one header line first; the regions for a large file. Codes only when
// revealed (else one '*' per digit). False as above.
bool ShowKeyCodeFileCsv(TSession& s, const std::string& path, bool revealCodes, std::ostream& out);

// Reads and decodes a key-code file of either layout. False (after the
// message box the window would show) when it is missing, of another length
// or unreadable.
bool LoadKeyCodeFileImage(TSession& s, const std::string& path, std::vector<uint8_t>* image);

}  // namespace tarvex
