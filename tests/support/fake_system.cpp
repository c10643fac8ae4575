#include "tests/support/fake_system.h"

#include <algorithm>
#include <limits>

namespace tarvex::test {

void TFakeSystem::Count() {
  ++calls;
  if (lost && lost()) ++callsAfterLoss;
}

size_t TFakeSystem::Arrived() const {
  const auto end = std::upper_bound(arrivals.begin(), arrivals.end(), now,
                                    [](int64_t t, const std::pair<int64_t, uint8_t>& a) { return t < a.first; });
  return static_cast<size_t>(end - arrivals.begin());
}

bool TFakeSystem::Open(TComm& c) {
  if (beforeOpen) beforeOpen(c.Device);
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Count();
  ++opens;
  openedBaud.push_back(c.BaudIndex);
  askedDevices.insert(c.Device);
  static const TOpenRefusal kGone{TCommError::NoDevice, 0, "the adapter was pulled out"};
  const TOpenRefusal* refusal = refuseEvery.error != TCommError::None ? &refuseEvery : nullptr;
  if (const auto it = refuseDevice.find(c.Device); it != refuseDevice.end()) refusal = &it->second;
  if (Gone()) refusal = &kGone;
  if (refusal && refusal->error != TCommError::None) {
    c.LastError = refusal->error;
    c.LastSystemError = refusal->systemError;
    c.LastErrorText = refusal->text;
    return false;
  }
  if (inner_) {
    if (!inner_->Open(c)) return false;
  } else {
    c.Handle = kOpenHandle;
  }
  if (refuseBaudIndex && c.BaudIndex == *refuseBaudIndex) {
    c.LastError = TCommError::Settings;
    return false;
  }
  return true;
}

void TFakeSystem::Close(TComm& c) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Count();
  if (inner_) {
    inner_->Close(c);
  } else {
    c.Handle = -1;
  }
}

int32_t TFakeSystem::Queued(TComm& c) {
  Count();
  ++queuedCalls;
  if (Gone()) {
    c.LineLost = true;
    return 0;
  }
  return inner_ ? inner_->Queued(c) : static_cast<int32_t>(Arrived());
}

void TFakeSystem::Write(TComm& c, const uint8_t* src, uint16_t count) {
  Count();
  if (Gone()) {
    c.LineLost = true;
    return;
  }
  if (inner_) return inner_->Write(c, src, count);
  written.insert(written.end(), src, src + count);
}

void TFakeSystem::Read(TComm& c, uint8_t* dst, uint16_t count) {
  Count();
  if (Gone()) {
    c.LineLost = true;
    return;
  }
  if (inner_) return inner_->Read(c, dst, count);
  const size_t n = std::min<size_t>(count, Arrived());
  for (size_t i = 0; i < n; ++i) {
    dst[i] = arrivals.front().second;
    arrivals.pop_front();
  }
}

void TFakeSystem::WaitForInput(TComm& c, int64_t timeoutMs) {
  Count();
  ++waits;
  if (Gone()) {
    c.LineLost = true;
    return;
  }
  if (inner_) return inner_->WaitForInput(c, timeoutMs);
  if (c.LineLost) return;
  const int64_t deadline = now + timeoutMs;
  const int64_t next = arrivals.empty() ? std::numeric_limits<int64_t>::max() : arrivals.front().first;
  if (lostAt >= 0 && lostAt <= std::min(next, deadline)) {
    now = std::max(now, lostAt);
    c.LineLost = true;
    arrivals.clear();
    lostAt = -1;
    return;
  }
  // Bytes already there end the wait at once.
  now = std::max(now, std::min(next, deadline));
}

int64_t TFakeSystem::NowMs() {
  Count();
  return inner_ ? inner_->NowMs() : now;
}

void TFakeSystem::SleepMs(int64_t ms) {
  Count();
  ++sleeps;
  if (inner_) return inner_->SleepMs(ms);
  now += ms;
}

std::string TFakeSystem::Describe(const TComm& c) { return inner_ ? inner_->Describe(c) : describe; }

std::string TFakeSystem::DeviceGroup(const TComm&) {
  ++groupAsked;
  return group;
}

bool TFakeSystem::InDeviceGroup(const TComm&) {
  ++inGroupAsked;
  return inGroup;
}

std::vector<TPortHolder> TFakeSystem::Holders(const TComm&) {
  ++holdersAsked;
  return holders;
}

#ifdef __linux__
int TFakeSystem::GetSerialFlags(TComm& c, int32_t* flags) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++serialFlagsRead;
  if (!serialFlags) return inner_ ? inner_->GetSerialFlags(c, flags) : kNoDriver;
  if (refuseSerialFlags != 0 && refuseSerialGet) return refuseSerialFlags;
  *flags = *serialFlags;
  return 0;
}

int TFakeSystem::SetSerialFlags(TComm& c, int32_t flags) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  serialFlagsSet.push_back(flags);
  if (!serialFlags) return inner_ ? inner_->SetSerialFlags(c, flags) : kNoDriver;
  if (refuseSerialFlags != 0) return refuseSerialFlags;
  serialFlags = flags;
  return 0;
}
#endif

}  // namespace tarvex::test
