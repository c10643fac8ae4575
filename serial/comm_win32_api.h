// The Win32 calls of the Windows serial layer, reached through one table.
//
// comm_win32.cpp calls the serial services only through this table, which
// holds the real functions. Tests put functions of their own into it to play
// ports that are missing, held by another program or refusing a setting,
// which no machine offers on demand (Wine, for one, never refuses a second
// open of a port). Windows builds only.
#pragma once

#ifndef _WIN32
#error "comm_win32_api.h is for Windows builds"
#endif

#include "serial/windows_api.h"

#include <cstdint>
#include <string>

namespace tarvex::win32 {

struct TSerialApi {
  decltype(&::CreateFileA) createFile = &::CreateFileA;
  decltype(&::GetLastError) getLastError = &::GetLastError;
  decltype(&::GetCommState) getCommState = &::GetCommState;
  decltype(&::SetCommState) setCommState = &::SetCommState;
  decltype(&::SetupComm) setupComm = &::SetupComm;
  decltype(&::ClearCommError) clearCommError = &::ClearCommError;
  decltype(&::ReadFile) readFile = &::ReadFile;
  decltype(&::WriteFile) writeFile = &::WriteFile;
  decltype(&::CloseHandle) closeHandle = &::CloseHandle;
};

// The table in use; a test may change its entries and must put them back.
TSerialApi& SerialApi();

// The device name a record opens: "\\.\COM12" for port 12 or for Device
// "COM12"; empty when the record names no port.
std::string DeviceName(int32_t port, const std::string& device);

}  // namespace tarvex::win32
