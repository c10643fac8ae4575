// One stand-in for the operating system's serial layer (a TCommSystem),
// for every test that must choose what the system answers.
//
// Alone, it is a line of its own: any device opens, the input is what
// `arrivals` holds, the line may go away at a set moment (`lostAt`), and
// its clock moves only when the link waits or sleeps, so whole-second
// limits are checked to the millisecond without waiting. A test or a fuzz
// target that plays a panel derives from it and puts its answers into
// `arrivals` as the program writes. Put before another system layer (the
// platform's, a simulated panel's line), it passes every call on. Either
// way it counts the calls made to it, and it can refuse opens, refuse a
// line speed, lose the line as when an adapter is pulled out, and tell the
// groups and programs that a message about a failed open names.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "serial/comm.h"

namespace tarvex::test {

// How an open fails: what OpenComm leaves in the record. An error of None
// refuses nothing.
struct TOpenRefusal {
  TCommError error = TCommError::None;
  int systemError = 0;
  std::string text;
};

class TFakeSystem : public TCommSystem {
 public:
  // A line of its own.
  TFakeSystem() = default;
  // Before another system layer, which must outlive it.
  explicit TFakeSystem(TCommSystem& inner) : inner_(&inner) {}

  bool Open(TComm& c) override;
  void Close(TComm& c) override;
  int32_t Queued(TComm& c) override;
  void Write(TComm& c, const uint8_t* src, uint16_t count) override;
  void Read(TComm& c, uint8_t* dst, uint16_t count) override;
  void WaitForInput(TComm& c, int64_t timeoutMs) override;
  int64_t NowMs() override;
  void SleepMs(int64_t ms) override;
  std::string Describe(const TComm& c) override;
  std::string DeviceGroup(const TComm&) override;
  bool InDeviceGroup(const TComm&) override;
  std::vector<TPortHolder> Holders(const TComm&) override;
#ifdef __linux__
  int GetSerialFlags(TComm& c, int32_t* flags) override;
  int SetSerialFlags(TComm& c, int32_t flags) override;
#endif

  // ---- What the system answers

  // Every open fails so (unless its error is None).
  TOpenRefusal refuseEvery;
  // Opens of these devices fail so; others go through.
  std::map<std::string, TOpenRefusal> refuseDevice;
  // The device opens but refuses this speed (a settings failure); the
  // handle stays held until it is closed, as a real port's does.
  std::optional<uint8_t> refuseBaudIndex;
  // While this answers true the device is gone: an open finds no device,
  // and every call on an open port finds the line lost.
  std::function<bool()> vanished;
  // The answers to DeviceGroup, InDeviceGroup and Holders.
  std::string group;
  bool inGroup = false;
  std::vector<TPortHolder> holders;
  // Describe's answer when there is no layer behind.
  std::string describe = "fake line";
  // The serial driver's flags word (Linux). Unset, the line has no driver
  // to ask (as a simulated line), or the layer behind answers.
  std::optional<int32_t> serialFlags;
  // The system error with which the driver refuses to set its flags
  // (EPERM, EINVAL), or to read them too when refuseSerialGet (ENOTTY, as
  // a pseudo-terminal); 0 for none.
  int refuseSerialFlags = 0;
  bool refuseSerialGet = false;
  // Called at the start of every open, before anything is counted, on the
  // thread of the open: a test may hold an open there as a slow driver
  // does. Opens and closes may come from several threads at once (the
  // port list probes side by side); they take turns once past this.
  std::function<void(const std::string& device)> beforeOpen;

  // ---- The line of its own (no layer behind)

  // The handle of a port open on it.
  static constexpr intptr_t kOpenHandle = 7;
  int64_t now = 0;  // its clock, in milliseconds
  // (when, byte): the input, in order of arrival time.
  std::deque<std::pair<int64_t, uint8_t>> arrivals;
  // When the line goes away (a hang-up): a wait that reaches it ends with
  // the line lost and whatever had not arrived dropped; -1 never.
  int64_t lostAt = -1;
  std::vector<uint8_t> written;  // every byte written, in order

  // ---- What was asked of it

  std::vector<uint8_t> openedBaud;   // the baud index of every open
  std::set<std::string> askedDevices;  // every device an open was asked for
  int calls = 0;  // every call but Describe, DeviceGroup, InDeviceGroup and Holders
  int opens = 0, queuedCalls = 0, waits = 0, sleeps = 0;
  int groupAsked = 0, inGroupAsked = 0, holdersAsked = 0;
  // Every flags word the program asked the driver to set, in order; and how
  // often it read them. Not counted in `calls`.
  std::vector<int32_t> serialFlagsSet;
  int serialFlagsRead = 0;
  // Calls made while `lost` answers true (the line hung up or vanished).
  std::function<bool()> lost;
  int callsAfterLoss = 0;

 protected:
  // The bytes that have arrived by now.
  size_t Arrived() const;

 private:
  bool Gone() const { return vanished && vanished(); }
  void Count();
  TCommSystem* inner_ = nullptr;
  std::recursive_mutex mutex_;
};

}  // namespace tarvex::test
