// File names are UTF-8 throughout the program: the windows hand them over
// as typed, the command line as given. Windows' own file calls take UTF-16
// (its narrow calls would read the bytes in the system's code page and
// find or make another file), so every file call of the core goes through
// these.
#pragma once

#include <filesystem>
#include <string>

namespace tarvex {

// A UTF-8 file name as std::filesystem takes it, on every platform.
std::filesystem::path PathFromUtf8(const std::string& utf8);
// And back: a path as a UTF-8 name.
std::string Utf8FromPath(const std::filesystem::path& path);

}  // namespace tarvex
