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

#include <setupapi.h>

#include <cstdint>
#include <string>
#include <vector>

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
  // The clock and the sleep of the waits, so that a test can run them on a
  // virtual clock of its own.
  decltype(&::QueryPerformanceCounter) queryPerformanceCounter = &::QueryPerformanceCounter;
  decltype(&::QueryPerformanceFrequency) queryPerformanceFrequency = &::QueryPerformanceFrequency;
  decltype(&::Sleep) sleep = &::Sleep;
  // The device manager's list of ports (the names people know them by).
  decltype(&::SetupDiGetClassDevsW) getClassDevs = &::SetupDiGetClassDevsW;
  decltype(&::SetupDiEnumDeviceInfo) enumDeviceInfo = &::SetupDiEnumDeviceInfo;
  decltype(&::SetupDiGetDeviceRegistryPropertyW) getDeviceRegistryProperty = &::SetupDiGetDeviceRegistryPropertyW;
  decltype(&::SetupDiGetDeviceInstanceIdW) getDeviceInstanceId = &::SetupDiGetDeviceInstanceIdW;
  decltype(&::SetupDiOpenDevRegKey) openDevRegKey = &::SetupDiOpenDevRegKey;
  decltype(&::RegQueryValueExW) regQueryValue = &::RegQueryValueExW;
  decltype(&::RegCloseKey) regCloseKey = &::RegCloseKey;
  decltype(&::SetupDiDestroyDeviceInfoList) destroyDeviceInfoList = &::SetupDiDestroyDeviceInfoList;
};

// The table in use; a test may change its entries and must put them back.
TSerialApi& SerialApi();

// The device name a record opens: "\\.\COM12" for port 12 or for Device
// "COM12"; empty when the record names no port.
std::string DeviceName(int32_t port, const std::string& device);

// A serial port as the device manager shows it.
struct TPortDevice {
  int32_t Port = 0;          // 3 for COM3
  std::string FriendlyName;  // "USB Serial Port", without the " (COM3)" the system appends
  std::string Vid, Pid;      // four lower-case hex digits, for a USB device
  std::string Serial;        // the USB device's serial number, when it has one
};

// The present devices of the ports class that have a COM number, in the
// order the system lists them; empty when the system lists none.
std::vector<TPortDevice> PortDevices();

// The GUID of the ports class (COM and LPT ports), GUID_DEVCLASS_PORTS.
inline constexpr GUID kPortsClassGuid = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

}  // namespace tarvex::win32
