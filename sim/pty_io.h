// Thin wrappers around the pseudo-terminal calls of the simulated panel.
// The termios and termios2 definitions of the C library and of the kernel
// headers cannot share a translation unit, so each side lives in its own file.
#pragma once

#include <string>

namespace tarvex::sim::detail {

// Creates a master/slave pair. The slave is opened once, set raw at 9600 bit/s
// and left open (the caller keeps it for the panel's lifetime so the master
// never sees a hang-up when the tool closes and reopens the device).
bool OpenPtyPair(int* masterFd, int* slaveFd, std::string* slavePath, std::string* error);

// The speed, in bit/s, that the slave side of the line is set to, read through
// the master. 0 when it cannot be read.
int ReadLineSpeed(int masterFd);

}  // namespace tarvex::sim::detail
