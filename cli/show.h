// tarvex-cli show: what a key-code file holds, without any panel.
#pragma once

#include <ostream>
#include <string>

#include "app/session.h"

namespace tarvex {

// Prints the file's layout, model, firmware and description, and its users
// and keys (small layout) or its regions (large layout), as text or as one
// JSON object. Codes are shown as one '*' per digit unless revealed. False
// (after a message box) when the file is missing or not a key-code file.
bool ShowKeyCodeFile(TSession& s, const std::string& path, bool json, bool revealCodes, std::ostream& out);

}  // namespace tarvex
