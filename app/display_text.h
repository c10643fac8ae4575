// Panel texts (names) are Windows-1252 bytes; screens and terminals want
// UTF-8. Control bytes are shown as '?' so a panel cannot move the cursor
// or clear a terminal through a user's name.
#pragma once

#include <string>

namespace tarvex {

std::string Cp1252ToUtf8(const std::string& bytes);

}  // namespace tarvex
