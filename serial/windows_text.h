// Texts at the Win32 boundary. The program's texts and file names are
// UTF-8; the system's wide calls take UTF-16, and its narrow calls would
// read the bytes in the system's code page instead.
#pragma once

#ifdef _WIN32

#include <string>

namespace tarvex {

std::wstring WideFromUtf8(const std::string& utf8);
std::string Utf8FromWide(const std::wstring& wide);
// The system's description of an error code, in UTF-8, without the line
// end it comes with (and without its final full stop when asked).
std::string SystemErrorText(unsigned long err, bool dropFullStop = false);

}  // namespace tarvex

#endif
