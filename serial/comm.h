// The serial port record and its operations.
//
// A TComm describes one port: which device, its open handle (-1 while
// closed) and the line settings that the next OpenComm applies. The
// operations are thin: they never report read or write failures (the panel
// protocol notices those through its echo and check bytes), and every wait is
// limited in whole seconds.
//
// All system calls live in one platform file (comm_posix.cpp, comm_win32.cpp);
// this header and comm.cpp are the same on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvex {

struct TComm;
class TLineTrace;  // serial/trace.h

// A program that has a port open, as the system names it.
struct TPortHolder {
  std::string Program;  // "ModemManager"
  int32_t Pid = 0;
};

// The operating system's side of the serial layer: one implementation per
// platform (comm_posix.cpp, comm_win32.cpp). A record can carry another
// one, so tests and fuzzers can play a line and a clock of their own.
// Except Open and Close, operations are only called on an open record.
class TCommSystem {
 public:
  virtual ~TCommSystem() = default;
  // Opens the record's device with its settings, storing the handle; on
  // failure records LastError, LastSystemError and LastErrorText. After a
  // refused setting the handle stays held.
  virtual bool Open(TComm& comm) = 0;
  // Closes the handle; Handle becomes -1 unless the system refuses.
  virtual void Close(TComm& comm) = 0;
  virtual int32_t Queued(TComm& comm) = 0;
  virtual void Write(TComm& comm, const uint8_t* src, uint16_t count) = 0;
  virtual void Read(TComm& comm, uint8_t* dst, uint16_t count) = 0;
  // Blocks until input is queued, the line is lost, or timeoutMs passes.
  // Sets comm.LineLost on a hang-up.
  virtual void WaitForInput(TComm& comm, int64_t timeoutMs) = 0;
  // The clock of the waits (milliseconds, monotonic) and the link's sleep.
  virtual int64_t NowMs() = 0;
  virtual void SleepMs(int64_t ms) = 0;
  // Why the last Open failed, in words a user can act on.
  virtual std::string Describe(const TComm& comm) = 0;
  // What else the system can tell after a failed Open, for a message that
  // says what to do. Asked for only when such a message is shown: finding
  // a port's holders means looking at every process. The defaults know
  // nothing.
  // The group whose members may read and write the device; empty when
  // unknown or when joining a group would not help.
  virtual std::string DeviceGroup(const TComm&) { return std::string(); }
  // Whether this process already belongs to that group (its effective
  // group or one of its supplementary groups): then the refusal comes from
  // something else, a sandbox or a security module.
  virtual bool InDeviceGroup(const TComm&) { return false; }
  // The programs that have the device open, the one holding its lock first.
  virtual std::vector<TPortHolder> Holders(const TComm&) { return {}; }
#ifdef __linux__
  // The serial driver's flags word of an open record, as the driver's
  // serial-info requests carry it (ASYNC_LOW_LATENCY among its bits). Each
  // answers 0, or the system's error code when the driver refuses (ENOTTY:
  // no serial driver, a pseudo-terminal; EINVAL; EPERM). A layer with no
  // driver behind it (a simulated line) answers kNoDriver and is not asked
  // to set anything.
  static constexpr int kNoDriver = -1;
  virtual int GetSerialFlags(TComm&, int32_t* /*flags*/) { return kNoDriver; }
  virtual int SetSerialFlags(TComm&, int32_t /*flags*/) { return kNoDriver; }
#endif
};

// The system layer of the platform the program runs on.
TCommSystem& PlatformCommSystem();

// The system's device control block: the line settings as the platform
// reads and writes them.
#ifdef _WIN32
// Windows: the DCB record of the serial services, field for field, so that
// this header does not need <windows.h>; comm_win32.cpp checks the layout
// against the real one. The one-bit flags of the DCB (binary mode, parity
// checking, handshaking, DTR and RTS control...) are one 32-bit word here.
struct TDeviceControlBlock {
  uint32_t DCBlength = 0;
  uint32_t BaudRate = 0;
  uint32_t Flags = 0;
  uint16_t wReserved = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 0;
  uint8_t Parity = 0;
  uint8_t StopBits = 0;
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  uint16_t wReserved1 = 0;
};
#else
// POSIX: the fields of the kernel's termios2 record (the speed travels as a
// number, so every rate of the table is set the same way).
struct TDeviceControlBlock {
  uint32_t iflag = 0;
  uint32_t oflag = 0;
  uint32_t cflag = 0;
  uint32_t lflag = 0;
  uint8_t line = 0;
  uint8_t cc[19] = {};
  uint32_t ispeed = 0;
  uint32_t ospeed = 0;
};
#endif

// Why the last OpenComm failed, in words a caller can act on.
enum class TCommError {
  None,
  NoDevice,      // no device selected, or it does not exist
  InUse,         // another program holds the port
  AccessDenied,  // no permission to open the device
  NotSerial,     // the device is not a serial port (a regular file, /dev/null)
  Settings,      // the port refused the line settings
  Other,
};

// Baud-rate table: BaudIndex to bits per second. Indices outside it leave
// the speed as the system reported it.
inline constexpr int kBaudTable[13] = {110,   300,   600,   1200,  2400,  4800,  9600,
                                       14400, 19200, 38400, 57600, 115200, 256000};
inline constexpr int kBaudIndexCount = 13;

struct TComm {
  // Which port. POSIX opens Device, a path such as /dev/ttyUSB0. Windows
  // numbers its ports: Device holds the port's name ("COM3"; "\\.\COM3"
  // is taken too) or, when it is empty, Port holds the number. Either way the
  // port is opened as \\.\COM<n>, the one form that reaches COM10 and above.
  int32_t Port = 0;
  std::string Device;
  intptr_t Handle = -1;    // the open port, or -1 while closed
  uint8_t BaudIndex = 11;  // see kBaudTable
  uint8_t ParityIndex = 2; // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t DataBitsIndex = 4;  // 0..4 stand for 4..8 data bits
  uint8_t StopBitsIndex = 0;  // 0 one, 1 one and a half, 2 two
  TDeviceControlBlock DCB{};  // line settings as last read from and written to the system

  // Set by OpenComm: why it failed, the system's error code and its text.
  TCommError LastError = TCommError::None;
  int LastSystemError = 0;
  std::string LastErrorText;

  // The system layer this record talks through; the platform's when null.
  TCommSystem* System = nullptr;

  // Set when the line went away under an open port (a USB adapter pulled
  // out, the far end of a pseudo-terminal closed). Waits then end at once
  // instead of running out their limits. Cleared by OpenComm.
  bool LineLost = false;

  // Where the events of this port are traced (serial/trace.h); null for
  // none, and then nothing about them is formatted.
  TLineTrace* Trace = nullptr;
};

// Opens (or reopens) the port with the record's settings. False when the
// device cannot be opened or refuses the settings; in the latter case the
// handle stays held until CloseComm. On Linux an open port also asks its
// driver for low latency (a USB adapter then hands received bytes over at
// once instead of after its latency timer); a driver that refuses does not
// fail the open.
bool OpenComm(TComm& comm);
// Closes the port; Handle becomes -1 unless the system refuses the close.
void CloseComm(TComm& comm);
// Bytes in the input queue; 0 when closed.
int32_t BytesWaiting(TComm& comm);
// Reads and drops queued input until a poll finds the queue empty.
void FlushInput(TComm& comm);
// One write of count bytes; failures are not reported.
void WriteComm(TComm& comm, const uint8_t* src, uint16_t count);
// One read of count bytes; callers only ask for bytes already queued.
void ReadComm(TComm& comm, uint8_t* dst, uint16_t count);
// Waits for one byte. The wait ends at the first whole second (truncated)
// that exceeds limitSeconds: 3 s for a limit of 2, 1 s for 0.5. The result
// is one character, or empty on time-out. The wait blocks in the system, it
// does not spin.
std::string ReadCharTimed(TComm& comm, double limitSeconds);

// The whole-second rule of every wait of the link: the number of
// milliseconds after which a wait with this limit gives up.
int64_t WaitLimitMs(double limitSeconds);

// The record's system layer.
inline TCommSystem& SystemOf(const TComm& comm) { return comm.System ? *comm.System : PlatformCommSystem(); }

// Sleeps on the link's clock (the record's system layer). why, a static
// text, says in the trace what the pause is for.
void SleepOn(const TComm& comm, int64_t ms, const char* why = nullptr);

// Blocks until input is queued, the line is lost, or timeoutMs passes (the
// record's system layer; the record must be open).
void WaitForInputOn(TComm& comm, int64_t timeoutMs);

// Human-readable text of an open failure, for messages that say what to do.
std::string DescribeCommError(const TComm& comm);

#ifndef _WIN32
// The processes that have device open, found in the process table under
// procRoot ("/proc"): those holding the device's lock first, then in
// process order. A process whose descriptors this user may not read is
// named only when the lock table shows it holding the device's lock.
// What the platform's Holders answers.
std::vector<TPortHolder> FindPortHolders(const std::string& device, const std::string& procRoot);
#endif

}  // namespace tarvex
