// <windows.h> for the files that call the Win32 API directly, with the
// rest of the program's names left alone.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// A macro of that name would rename TUserInterface::MessageBox.
#undef MessageBox
#endif
