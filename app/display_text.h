// Panel texts (names) are Windows-1252 bytes; screens and terminals want
// UTF-8. Control bytes are shown as '?' so a panel cannot move the cursor
// or clear a terminal through a user's name.
#pragma once

#include <string>

namespace tarvex {

std::string Cp1252ToUtf8(const std::string& bytes);

// The other way, for text typed for the panel.
enum class TPanelTextResult {
  Ok,
  NotUtf8,         // the text is not valid UTF-8
  Control,         // a control character (below space, DEL, U+0080 to U+009F)
  NotInCharacterSet,  // a character Windows-1252 has no byte for
};
// Converts UTF-8 text to the panel's Windows-1252 bytes; out is set only
// when the result is Ok.
TPanelTextResult Utf8ToCp1252(const std::string& utf8, std::string* out);

}  // namespace tarvex
