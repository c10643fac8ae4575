// The panel's side of the protocol: frames, answers, faults and wire time,
// on the transport's clock.
#include "sim/panel_engine.h"

#include <algorithm>

#include "sim/panel_memory.h"
#include "sim/rng.h"

namespace tarvex::sim {

namespace {

constexpr std::array<uint8_t, 6> kBaudProbe{0x3C, 0xC3, 0x00, 0x00, 0x00, 0xFF};

uint8_t Sum8(const uint8_t* data, size_t n) {
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum += data[i];
  return static_cast<uint8_t>(sum);
}

bool SameIgnoringLetterCase(uint8_t a, uint8_t b) {
  auto upper = [](uint8_t c) { return (c >= 0x61 && c <= 0x7A) ? static_cast<uint8_t>(c - 0x20) : c; };
  return upper(a) == upper(b);
}

uint8_t SwapLetterCase(uint8_t c) {
  if (c >= 0x41 && c <= 0x5A) return static_cast<uint8_t>(c + 0x20);
  if (c >= 0x61 && c <= 0x7A) return static_cast<uint8_t>(c - 0x20);
  return c;
}

}  // namespace

PanelEngine::PanelEngine(PanelConfig cfg, PanelTransport& transport)
    : cfg_(std::move(cfg)), transport_(transport) {
  model_ = ModelNumber(cfg_.model);
  large_ = model_ == 6;
  map_ = BlockMapFor(cfg_.model);
  panelSpeed_ = cfg_.baud > 0 ? cfg_.baud : (large_ ? 38400 : 9600);
  valid_ = Valid();
  if (valid_) {
    if (large_)
      detail::FillLargeMemory(cfg_, memory_);
    else
      detail::FillSmallMemory(cfg_, *map_, memory_);
  }
  fault_ = cfg_.fault;
}

bool PanelEngine::Valid(std::string* why) const {
  auto fail = [&](const std::string& text) {
    if (why) *why = text;
    return false;
  };
  if (model_ == 0) return fail("unknown panel model: " + cfg_.model);
  if (!detail::IsValidCode(cfg_.mainCode)) return fail("main code must be 0 to 6 decimal digits");
  return true;
}

int64_t PanelEngine::ByteTimeNs(int speed) const {
  if (speed <= 0) speed = panelSpeed_;
  return int64_t{kBitsPerByte} * 1'000'000'000LL / speed;
}

uint32_t PanelEngine::AddrMask() const {
  return large_ ? detail::kLargeMemorySize - 1 : detail::kSmallMemorySize - 1;
}

// ---------------------------------------------------------------- input

void PanelEngine::NoteReopen() { reopened_ = true; }

void PanelEngine::Receive(int64_t nowNs, const uint8_t* data, size_t count) {
  if (count == 0 || closed_ || !valid_) return;
  const int speed = transport_.ToolSpeed();
  // A fresh open of the line, or a new line speed, starts a new
  // conversation: whatever was heard before cannot belong to it.
  if (reopened_ || speed != heardSpeed_) ResetInput();
  reopened_ = false;
  heardSpeed_ = speed;
  const int64_t byteTime = ByteTimeNs(speed);
  for (size_t i = 0; i < count; ++i) {
    lastDue_ = cfg_.wireTime ? std::max(nowNs, lastDue_) + byteTime : nowNs;
    in_.push_back(data[i]);
    inDue_.push_back(lastDue_);
  }
  lastActivity_ = std::max(nowNs, lastDue_);
  std::lock_guard<std::mutex> lock(logMutex_);
  received_.insert(received_.end(), data, data + count);
}

void PanelEngine::ResetInput() {
  if (mode_ == Mode::WriteData) EndWriteData();
  in_.clear();
  inDue_.clear();
  mode_ = Mode::Header;
}

void PanelEngine::Drop(size_t n) {
  in_.erase(in_.begin(), in_.begin() + static_cast<long>(n));
  inDue_.erase(inDue_.begin(), inDue_.begin() + static_cast<long>(n));
}

size_t PanelEngine::WriteFrameBytes() const { return pendingCount_ + (large_ ? 2 : 1); }

std::optional<int64_t> PanelEngine::Process(int64_t nowNs) {
  for (;;) {
    if (closed_ || !valid_) return std::nullopt;
    switch (mode_) {
      case Mode::Discard:
        Drop(in_.size());
        if (nowNs - lastActivity_ < kResyncIdleNs) return lastActivity_ + kResyncIdleNs;
        mode_ = Mode::Header;
        return std::nullopt;
      case Mode::Header: {
        if (in_.size() < 6) {
          if (in_.empty()) return std::nullopt;
          if (nowNs - lastActivity_ < kResyncIdleNs) return lastActivity_ + kResyncIdleNs;
          Drop(in_.size());
          return std::nullopt;
        }
        if (cfg_.wireTime && nowNs < inDue_[5]) return inDue_[5];
        Header h{};
        std::copy(in_.begin(), in_.begin() + 6, h.begin());
        Drop(6);
        HandleHeader(nowNs, h);
        break;
      }
      case Mode::WriteData: {
        const size_t need = WriteFrameBytes();
        if (in_.size() < need) {
          if (nowNs - lastActivity_ < kWriteDataIdleNs) return lastActivity_ + kWriteDataIdleNs;
          Drop(in_.size());
          mode_ = Mode::Header;
          EndWriteData();
          return std::nullopt;
        }
        if (cfg_.wireTime && nowNs < inDue_[need - 1]) return inDue_[need - 1];
        std::vector<uint8_t> frame(in_.begin(), in_.begin() + static_cast<long>(need));
        Drop(need);
        HandleWriteData(frame);
        break;
      }
    }
  }
}

// ---------------------------------------------------------------- frames

void PanelEngine::HandleHeader(int64_t nowNs, const Header& h) {
  Fault f;
  int n = 0;
  int w = 0;
  const bool writeHeader = large_ ? (h[0] & 0xF8) == 0xA8 : h[0] == 0x0F;
  {
    std::lock_guard<std::mutex> lock(logMutex_);
    n = ++exchanges_;
    if (writeHeader) w = ++writes_;
    headers_.push_back(h);
    f = fault_;
  }
  const int repeat = std::max(f.repeat, 1);
  const bool hit = f.atWrite > 0 ? writeHeader && w >= f.atWrite && w < f.atWrite + repeat
                                 : f.atExchange == 0 || (n >= f.atExchange && n < f.atExchange + repeat);
  const FaultKind fk = hit ? f.kind : FaultKind::None;

  const int toolSpeed = transport_.ToolSpeed();
  if (toolSpeed != panelSpeed_) {
    WrongSpeedAnswer(nowNs, h, toolSpeed);
    mode_ = Mode::Discard;
    return;
  }
  if (Sum8(h.data(), 5) != h[5]) {
    mode_ = Mode::Discard;
    return;
  }

  bool isRead = false;
  bool isWrite = false;
  uint32_t addr = 0;
  size_t count = 0;
  if (large_) {
    if (h == kBaudProbe) {
      if (fk == FaultKind::NoEcho) {
        mode_ = Mode::Discard;
        return;
      }
      if (Answer(nowNs, h, {}, {}, fk)) mode_ = Mode::Header;
      return;
    }
    const uint8_t cmd = h[0] & 0xF8;
    isRead = cmd == 0xF8;
    isWrite = cmd == 0xA8;
    addr = (static_cast<uint32_t>(h[2]) << 16) | (static_cast<uint32_t>(h[3]) << 8) | h[4];
    count = ((static_cast<size_t>(h[0] & 0x07) << 8) | h[1]) + 1;
  } else {
    isRead = h[0] == 0xF0;
    isWrite = h[0] == 0x0F;
    addr = h[1] | (static_cast<uint32_t>(h[2]) << 8);
    count = (h[3] | (static_cast<size_t>(h[4]) << 8)) + 1;
  }
  if ((!isRead && !isWrite) || fk == FaultKind::NoEcho) {
    mode_ = Mode::Discard;
    return;
  }
  if (isRead) {
    std::vector<uint8_t> data = Fetch(addr, count);
    std::vector<uint8_t> check = CheckBytes(data);
    if (Answer(nowNs, h, std::move(data), std::move(check), fk)) mode_ = Mode::Header;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(logMutex_);
    writeOpen_ = true;
  }
  pendingFault_ = fk;
  pendingAddr_ = addr;
  pendingCount_ = count;
  mode_ = Mode::WriteData;
  // A panel echoes a write's header as soon as the header is in, while the
  // data and its check are still on their way (the line is full duplex):
  // the echo can never say whether the block was kept.
  Answer(nowNs, h, {}, {}, fk);
  // A panel that hung up takes no more data.
  if (closed_) EndWriteData();
}

void PanelEngine::HandleWriteData(const std::vector<uint8_t>& frame) {
  mode_ = Mode::Header;
  std::vector<uint8_t> data(frame.begin(), frame.begin() + static_cast<long>(pendingCount_));
  std::vector<uint8_t> check(frame.begin() + static_cast<long>(pendingCount_), frame.end());
  // What the faults alter on the way in.
  if (pendingFault_ == FaultKind::BadCheck) check[0] = static_cast<uint8_t>(check[0] + 1);
  if (pendingFault_ == FaultKind::CorruptData) data[data.size() / 2] ^= 0xFF;
  // The panel checks the block as it arrived and silently discards it when
  // the check fails; the echo has gone out already.
  if (check == CheckBytes(data)) Store(pendingAddr_, data.data(), data.size());
  EndWriteData();
}

void PanelEngine::EndWriteData() {
  std::lock_guard<std::mutex> lock(logMutex_);
  writeOpen_ = false;
  writeDone_.notify_all();
}

// ---------------------------------------------------------------- answers

void PanelEngine::Send(int64_t nowNs, const std::vector<uint8_t>& out) {
  if (out.empty()) return;
  std::vector<int64_t> due(out.size(), nowNs);
  if (cfg_.wireTime) {
    const int64_t byteTime = ByteTimeNs(transport_.ToolSpeed());
    const int64_t start = std::max(nowNs, lineFreeAt_);
    for (size_t i = 0; i < due.size(); ++i) due[i] = start + byteTime * static_cast<int64_t>(i + 1);
    lineFreeAt_ = due.back();
  }
  transport_.Send(out, due);
}

std::vector<uint8_t> PanelEngine::Noise(size_t n, const Header& header) {
  detail::Rng rng((static_cast<uint64_t>(cfg_.seed) << 20) ^ 0x0015E000ull ^ ++noiseCounter_);
  std::vector<uint8_t> out(n);
  for (uint8_t& b : out) b = rng.Byte();
  // Never let noise start like the echo would.
  if (!out.empty() && SameIgnoringLetterCase(out[0], header[0])) out[0] ^= 0x80;
  return out;
}

bool PanelEngine::Answer(int64_t nowNs, const Header& header, std::vector<uint8_t> data,
                         std::vector<uint8_t> check, FaultKind fk) {
  std::vector<uint8_t> echo(header.begin(), header.end());
  std::vector<uint8_t> out;
  const bool hasData = !data.empty();
  switch (fk) {
    case FaultKind::EchoCase:
      for (uint8_t& b : echo) b = SwapLetterCase(b);
      break;
    case FaultKind::BadCheck:
      if (!check.empty()) check[0] = static_cast<uint8_t>(check[0] + 1);
      break;
    case FaultKind::CorruptData:
      // The check stays the one of the data as the panel holds it.
      if (hasData) data[data.size() / 2] ^= 0xFF;
      break;
    case FaultKind::MissingCheckByte:
      if (!check.empty()) check.pop_back();
      break;
    case FaultKind::NoiseBeforeEcho:
      out = Noise(3, header);
      break;
    case FaultKind::Stall:
    case FaultKind::CloseLine:
      if (hasData) {
        out = echo;
        out.insert(out.end(), data.begin(), data.begin() + static_cast<long>(data.size() / 2));
      } else {
        out.assign(echo.begin(), echo.begin() + 3);
      }
      Send(nowNs, out);
      if (fk == FaultKind::CloseLine) {
        // With wire time the line is free once the last of those bytes is
        // out; without, they are out at once.
        closed_ = true;
        transport_.HangUp(cfg_.wireTime ? std::max(nowNs, lineFreeAt_) : nowNs);
        return false;
      }
      return true;
    default:
      break;
  }
  out.insert(out.end(), echo.begin(), echo.end());
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), check.begin(), check.end());
  Send(nowNs, out);
  return true;
}

std::vector<uint8_t> PanelEngine::CheckBytes(const std::vector<uint8_t>& data) const {
  if (!large_) return {Sum8(data.data(), data.size())};
  const uint16_t crc = Crc16Cms(data.data(), data.size());
  return {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};
}

// A panel spoken to at a speed other than its own hears garbage: at some
// speeds it sends garbage back, at the others nothing.
void PanelEngine::WrongSpeedAnswer(int64_t nowNs, const Header& header, int toolSpeed) {
  detail::Rng pick((static_cast<uint64_t>(cfg_.seed) << 32) ^ static_cast<uint32_t>(toolSpeed));
  if (pick.Next() & 1) Send(nowNs, Noise(6, header));
}

// ---------------------------------------------------------------- memory

std::vector<uint8_t> PanelEngine::Fetch(uint32_t addr, size_t n) const {
  std::lock_guard<std::mutex> lock(memMutex_);
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = memory_[(addr + i) & AddrMask()];
  return out;
}

void PanelEngine::Store(uint32_t addr, const uint8_t* data, size_t n) {
  std::lock_guard<std::mutex> lock(memMutex_);
  for (size_t i = 0; i < n; ++i) memory_[(addr + i) & AddrMask()] = data[i];
}

std::vector<uint8_t> PanelEngine::ReadMemory(uint32_t addr, size_t count) const {
  std::lock_guard<std::mutex> lock(memMutex_);
  std::vector<uint8_t> out(count);
  const size_t size = memory_.size();
  if (size == 0) return out;
  for (size_t i = 0; i < count; ++i) out[i] = memory_[(addr + i) % size];
  return out;
}

void PanelEngine::WriteMemory(uint32_t addr, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(memMutex_);
  const size_t size = memory_.size();
  if (size == 0) return;
  for (size_t i = 0; i < bytes.size(); ++i) memory_[(addr + i) % size] = bytes[i];
}

// ---------------------------------------------------------------- logs

void PanelEngine::SetFault(Fault f) {
  std::lock_guard<std::mutex> lock(logMutex_);
  fault_ = f;
}

bool PanelEngine::WaitForWriteData(std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(logMutex_);
  return writeDone_.wait_for(lock, limit, [this] { return !writeOpen_; });
}

int PanelEngine::ExchangeCount() const {
  std::lock_guard<std::mutex> lock(logMutex_);
  return exchanges_;
}

std::vector<std::array<uint8_t, 6>> PanelEngine::HeadersReceived() const {
  std::lock_guard<std::mutex> lock(logMutex_);
  return headers_;
}

std::vector<uint8_t> PanelEngine::ReceivedBytes() const {
  std::lock_guard<std::mutex> lock(logMutex_);
  return received_;
}

}  // namespace tarvex::sim
