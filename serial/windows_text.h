// Texts at the Windows boundary, for every part of the program (the serial
// layer, the core, the command-line tool, the Win32 window): the program's
// texts and file names are UTF-8; the system's wide calls take UTF-16, and
// its narrow calls would read the bytes in the system's code page instead.
#pragma once

#ifdef _WIN32

#include <string>
#include <vector>

namespace tarvex {

std::wstring WideFromUtf8(const std::string& utf8);
std::string Utf8FromWide(const std::wstring& wide);
// The system's description of an error code, in UTF-8, without the line
// end it comes with (and without its final full stop when asked).
std::string SystemErrorText(unsigned long err, bool dropFullStop = false);
// An environment variable as UTF-8; empty when it is not set.
std::string EnvironmentUtf8(const wchar_t* name);
// The program's command line as the system keeps it (UTF-16), split into
// arguments the system's way, in UTF-8, the program's name first; empty
// when it cannot be had.
std::vector<std::string> CommandLineUtf8();

}  // namespace tarvex

#endif
