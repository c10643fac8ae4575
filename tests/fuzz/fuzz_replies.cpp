// Fuzzes the reply side of the panel link: the four range operations, the
// identification of small and large panels, the baud search, the read
// sequences and the read and send workflows, all over a line that answers
// from the fuzz input (see fake_line.h).
//
// Input: an operation byte, a settings byte, a model byte, the operation's
// parameters, then the line's script. Besides crashes and sanitizer
// reports, the target stops on any broken invariant:
// - every block the program counts as done was answered on the line with
//   an echo of its header, its data and a check that matches that data;
// - a range read fills the buffer with exactly those data bytes, in order,
//   and leaves the rest of the buffer as it was; a refused range sends
//   nothing;
// - identification, users, codes, keys and the large panel's regions hold
//   exactly what the accepted blocks carried, cleaned as the rules say;
// - workflows leave the port closed; a read or send that succeeds proved a
//   main user's code;
// - a send reads everything from its target before it writes anything,
//   writes nothing when a backup was asked for and not saved, and its
//   backup holds what the target sent.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/connection.h"
#include "app/keyfile.h"
#include "app/languages.h"
#include "app/workflows.h"
#include "protocol/frames.h"
#include "protocol/identify.h"
#include "protocol/text.h"
#include "protocol/transfer.h"
#include "tests/fuzz/fake_line.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/scratch_dir.h"

namespace tarvex::fuzz {
namespace {

enum TOperation : uint8_t {
  kReadSmallRange,
  kReadLargeRange,
  kWriteSmallRange,
  kWriteLargeRange,
  kIdentifySmall,
  kFindBaudRate,
  kIdentifyLarge,
  kCheckConnection,
  kReadUsers,
  kReadCodes,
  kReadKeys,
  kReadLargePanel,
  kReadFromPanel,
  kSendToPanel,
  kCheckThenRead,
  kOperationCount,
};

constexpr int32_t kModels[] = {0, kLargeModel, 23, 24, 25, 26, 27, 28, 29, 30};

// A block the program counted as done, with the bytes that were on the
// line for it (a read) or that it sent (a write).
struct TAccepted {
  TExchangeKind kind;
  uint32_t address;
  std::vector<uint8_t> data;
};

// Sees every notice of the link: each ProgressStep closes one block, which
// is checked against the line there and then.
class TWatcher : public TUserInterface {
 public:
  explicit TWatcher(TFakeLine& line) : line_(line) {}

  void TransferProgress(int code, int32_t value, const std::string&) override {
    if (code == ProgressStep) OnStep(value);
  }
  void MessageBox(TBoxKind, const std::string& text) override { boxes.push_back(text); }
  void SetBusyCursor(bool) override {}

  std::vector<TAccepted> accepted;
  std::vector<std::string> boxes;

 private:
  void OnStep(int32_t value) {
    std::vector<TExchange>& xs = line_.Exchanges();
    FUZZ_CHECK(!xs.empty());
    TExchange& ex = xs.back();
    FUZZ_CHECK(!ex.stepped);
    ex.stepped = true;
    if (ex.kind == TExchangeKind::Probe) {
      FUZZ_CHECK(value == 1);
      return;
    }
    const size_t n = size_t{ex.lastIndex} + 1;
    FUZZ_CHECK(value > 0 && static_cast<size_t>(value) == n);
    const std::vector<uint8_t>& got = ex.consumed;
    FUZZ_CHECK(got.size() >= 6 && RefEchoEqual(got.data(), ex.header.data(), 6));
    if (IsWrite(ex.kind)) {
      accepted.push_back({ex.kind, ex.address, std::vector<uint8_t>(ex.written.begin(), ex.written.begin() + n)});
      return;
    }
    FUZZ_CHECK(got.size() >= 6 + n + CheckBytes(ex.kind));
    const uint8_t* data = got.data() + 6;
    if (IsLarge(ex.kind)) {
      const uint16_t crc = RefCrc16Cms(data, n);
      FUZZ_CHECK(data[n] == (crc & 0xFF) && data[n + 1] == (crc >> 8));
    } else {
      FUZZ_CHECK(data[n] == RefSum8(data, n));
    }
    accepted.push_back({ex.kind, ex.address, std::vector<uint8_t>(data, data + n)});
  }

  TFakeLine& line_;
};

// The bytes of a range as accepted blocks carried them, counting only
// blocks accepted from index `from` on (the latest block of an address
// wins); empty when some block of the range was not accepted, and for an
// empty range, which the link refuses.
std::optional<std::vector<uint8_t>> RangeBytes(const TWatcher& w, size_t from, TExchangeKind kind, uint32_t start,
                                               size_t length) {
  if (length == 0) return std::nullopt;
  const uint32_t block = IsLarge(kind) ? LargeBlockSize : SmallBlockSize;
  const uint32_t mask = IsLarge(kind) ? 0xFFFFFF : 0xFFFF;
  std::vector<uint8_t> out;
  for (size_t off = 0; off < length; off += block) {
    const size_t n = std::min<size_t>(block, length - off);
    const uint32_t address = static_cast<uint32_t>(start + off) & mask;
    const TAccepted* hit = nullptr;
    for (size_t i = from; i < w.accepted.size(); ++i) {
      const TAccepted& a = w.accepted[i];
      if (a.kind == kind && a.address == address && a.data.size() == n) hit = &a;
    }
    if (!hit) return std::nullopt;
    out.insert(out.end(), hit->data.begin(), hit->data.end());
  }
  return out;
}

std::string RefPadF(const std::string& code) {
  std::string t = code;
  while (t.size() < kUserCodeMax) t.push_back('F');
  return t;
}

// The code text the panel's bytes stand for, as stored in the table.
std::string RefCodeText(const uint8_t* bytes, bool oneDigitPerByte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string t;
  const size_t count = oneDigitPerByte ? 6 : 3;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t b = bytes[i];
    if (!oneDigitPerByte || b >= 16) t.push_back(kHex[b >> 4]);
    t.push_back(kHex[b & 15]);
  }
  return RefPadF(t).substr(0, kUserCodeMax);
}

bool OneDigitPerByte(int32_t model) { return model >= 23 && model <= 25; }

void CheckUsers(const TWatcher& w, size_t from, const TBlockMap& m, UserTable table) {
  const auto attrs = RangeBytes(w, from, TExchangeKind::SmallRead, m.UserAttrAddr, m.UserAttrLen);
  const auto names = RangeBytes(w, from, TExchangeKind::SmallRead, m.UserNamesAddr, m.UserNamesLen);
  FUZZ_CHECK(attrs && names);
  FUZZ_CHECK(attrs->size() >= kUserCount * kUserAttrSize && names->size() >= kUserCount * 16);
  for (size_t u = 0; u < kUserCount; ++u) {
    const UserEntry user = table.User(u);
    for (size_t i = 0; i < kUserAttrSize; ++i) FUZZ_CHECK(user.Attr(i) == (*attrs)[kUserAttrSize * u + i]);
    const std::string name = user.Name();
    FUZZ_CHECK(IsCleanField(name, kUserNameMax));
    FUZZ_CHECK(name == RefPrintable(names->data() + 16 * u, 16));
  }
}

// True when the code block was read; then the table holds every user's
// code text and `matched` says whether one equals the entered code.
bool CheckCodes(const TWatcher& w, size_t from, const TBlockMap& m, int32_t model, UserTable table,
                const std::string& entered, bool* matched) {
  const auto codes = RangeBytes(w, from, TExchangeKind::SmallRead, m.CodesAddr, m.CodesLen);
  if (!codes) return false;
  const bool perByte = OneDigitPerByte(model);
  const size_t stride = perByte ? 6 : 3;
  FUZZ_CHECK(codes->size() >= kUserCount * stride);
  const std::string target = RefPadF(entered);
  bool any = false;
  for (size_t u = 0; u < kUserCount; ++u) {
    const std::string want = RefCodeText(codes->data() + stride * u, perByte);
    FUZZ_CHECK(table.User(u).Code() == want);
    any = any || want == target;
  }
  *matched = any;
  return true;
}

struct TKeyBytes {
  uint8_t value, flags, flags23;
};

std::vector<TKeyBytes> KeyBytes(SmallPanelImage& image) {
  std::vector<TKeyBytes> out;
  for (size_t k = 0; k < kKeyCount; ++k) {
    const KeyEntry key = image.Key(k);
    out.push_back({key.Value(), key.Flags(), key.Flags23()});
  }
  return out;
}

void CheckKeys(const TWatcher& w, size_t from, const TBlockMap& m, SmallPanelImage& image,
               std::vector<TKeyBytes> expected) {
  const auto data = RangeBytes(w, from, TExchangeKind::SmallRead, m.KeyDataAddr, m.KeyDataLen);
  const auto table = RangeBytes(w, from, TExchangeKind::SmallRead, m.KeyTableAddr, m.KeyTableLen);
  const auto names = RangeBytes(w, from, TExchangeKind::SmallRead, m.KeyNamesAddr, m.KeyNamesLen);
  FUZZ_CHECK(data && table && names);
  FUZZ_CHECK(data->size() >= kKeyDataSize && table->size() >= 3 * kKeyCount && names->size() >= 16 * kNamedKeys);
  FUZZ_CHECK(std::equal(data->begin(), data->begin() + kKeyDataSize, image.KeyData().begin()));
  // Records in panel order; a record for a key past the last one is left out.
  for (size_t i = 0; i < kKeyCount; ++i) {
    const uint8_t flags = (*table)[3 * i], value = (*table)[3 * i + 1], number = (*table)[3 * i + 2];
    if (number < kKeyCount)
      expected[number] = {value, static_cast<uint8_t>(flags & 0xC3), static_cast<uint8_t>(flags & 0x0C)};
  }
  for (size_t k = 0; k < kKeyCount; ++k) {
    const KeyEntry key = image.Key(k);
    FUZZ_CHECK(key.Value() == expected[k].value && key.Flags() == expected[k].flags &&
               key.Flags23() == expected[k].flags23);
    const std::string name = key.Name();
    if (k < kNamedKeys) {
      FUZZ_CHECK(IsCleanField(name, kKeyNameMax));
      FUZZ_CHECK(name == RefPrintable(names->data() + 16 * k, 16));
    } else {
      FUZZ_CHECK(name.empty());
    }
  }
}

void CheckLargeRegions(const TWatcher& w, size_t from, std::span<uint8_t> regions) {
  for (const TLargeRegion& r : LargePanelMap) {
    const auto bytes = RangeBytes(w, from, TExchangeKind::LargeRead, r.PanelAddress, r.Bytes);
    FUZZ_CHECK(bytes);
    FUZZ_CHECK(std::equal(bytes->begin(), bytes->end(), regions.begin() + r.RegionOffset));
  }
}

// Some user carries the code and is the main user.
bool RefMainUser(UserTable table, const std::string& code) {
  for (size_t u = 0; u < kUserCount; ++u)
    if (table.User(u).Code() == RefPadF(code) && table.User(u).Attr(0) == 1) return true;
  return false;
}

// Some user's code, as the panel's blocks carried it, is the code and
// belongs to the main user.
bool MainUserOnLine(const TWatcher& w, size_t from, const TBlockMap& m, int32_t model, const std::string& code) {
  const auto attrs = RangeBytes(w, from, TExchangeKind::SmallRead, m.UserAttrAddr, m.UserAttrLen);
  const auto codes = RangeBytes(w, from, TExchangeKind::SmallRead, m.CodesAddr, m.CodesLen);
  if (!attrs || !codes) return false;
  const bool perByte = OneDigitPerByte(model);
  const size_t stride = perByte ? 6 : 3;
  FUZZ_CHECK(attrs->size() >= kUserCount * kUserAttrSize && codes->size() >= kUserCount * stride);
  for (size_t u = 0; u < kUserCount; ++u)
    if (RefCodeText(codes->data() + stride * u, perByte) == RefPadF(code) && (*attrs)[kUserAttrSize * u] == 1)
      return true;
  return false;
}

// ---- the operations ----

struct TCase {
  TSession& s;
  TWatcher& w;
  TFakeLine& line;
  TInput& in;
};

// A start address or last index: mostly small, now and then any 32-bit
// value, so the refusals and the buffer's end are reached.
int32_t Number(TInput& in, uint32_t usualMax) {
  const uint8_t how = in.Byte();
  if (how < 16) return static_cast<int32_t>(in.Dword());
  if (how < 24) return kMaxLastIndex + static_cast<int32_t>(in.Byte() % 4) - 1;  // 65535 .. 65538
  return static_cast<int32_t>(in.Word() % (usualMax + 1));
}

// Noise for the buffers a case starts with, made once: 256 bytes longer
// than the transfer buffer, so that an input byte can pick where to start.
const std::vector<uint8_t>& Pattern() {
  static const std::vector<uint8_t> pattern = [] {
    std::vector<uint8_t> p(kTransferBufferSize + 256);
    uint32_t x = 1;
    for (uint8_t& b : p) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
    return p;
  }();
  return pattern;
}

void RangeOperation(TCase& c, TOperation op) {
  const bool large = op == kReadLargeRange || op == kWriteLargeRange;
  const bool write = op == kWriteSmallRange || op == kWriteLargeRange;
  int32_t start = Number(c.in, 0xFFFF);
  if (large && (c.in.Byte() & 1)) {
    static constexpr uint32_t kLargeAddresses[] = {kLargeVersionAddress, kLargeRealVersionAddress,
                                                   LargePanelMap[0].PanelAddress, LargePanelMap[1].PanelAddress,
                                                   LargePanelMap[6].PanelAddress, 0xFFFFF0};
    start = static_cast<int32_t>(kLargeAddresses[c.in.Byte() % 6]);
  }
  const int32_t last = Number(c.in, large ? 2 * LargeBlockSize + 8 : 4 * SmallBlockSize + 8);
  // The buffer starts as a pattern that no read is likely to repeat, so
  // bytes a failed read must not touch show.
  TTransferBuffer& buf = c.s.Link.Buffer();
  const uint8_t* before = Pattern().data() + c.in.Byte();
  std::memcpy(buf.data(), before, buf.size());
  EnsurePortOpen(c.s);

  const size_t exchangesBefore = c.line.Exchanges().size();
  const size_t from = c.w.accepted.size();
  bool ok = false;
  switch (op) {
    case kReadSmallRange: ok = ReadSmallRange(c.s.Link, start, last, buf).Ok(); break;
    case kReadLargeRange: ok = ReadLargeRange(c.s.Link, start, last, buf).Ok(); break;
    case kWriteSmallRange: ok = WriteSmallRange(c.s.Link, start, last, buf).Ok(); break;
    default: ok = WriteLargeRange(c.s.Link, start, last, buf).Ok(); break;
  }

  const bool refused =
      last < 0 || last > kMaxLastIndex || start < 0 || (start == 0 && (large || write));
  if (refused) {
    FUZZ_CHECK(!ok);
    FUZZ_CHECK(c.line.Exchanges().size() == exchangesBefore);
    FUZZ_CHECK(std::memcmp(buf.data(), before, buf.size()) == 0);
    return;
  }
  // The accepted blocks are the range's leading blocks, in order.
  const uint32_t block = large ? LargeBlockSize : SmallBlockSize;
  const uint32_t mask = large ? 0xFFFFFF : 0xFFFF;
  const TExchangeKind kind = large ? (write ? TExchangeKind::LargeWrite : TExchangeKind::LargeRead)
                                   : (write ? TExchangeKind::SmallWrite : TExchangeKind::SmallRead);
  const size_t length = static_cast<size_t>(last) + 1;
  size_t done = 0;
  for (size_t i = from; i < c.w.accepted.size(); ++i) {
    const TAccepted& a = c.w.accepted[i];
    FUZZ_CHECK(a.kind == kind);
    FUZZ_CHECK(a.address == ((static_cast<uint32_t>(start) + done) & mask));
    FUZZ_CHECK(a.data.size() == std::min<size_t>(block, length - done));
    const uint8_t* expect = write ? before + done : buf.data() + done;
    FUZZ_CHECK(std::memcmp(a.data.data(), expect, a.data.size()) == 0);
    done += a.data.size();
  }
  FUZZ_CHECK(ok == (done == length));
  // A read leaves everything past its last good block as it was; a write
  // leaves the whole buffer as it was.
  const size_t untouched = write ? 0 : done;
  FUZZ_CHECK(std::memcmp(buf.data() + untouched, before + untouched, buf.size() - untouched) == 0);
}

void CheckSmallIdentified(TCase& c, size_t from, const TOutcome& outcome, const TPanelIdentity& old,
                          const TBlockMap& oldMap) {
  const TPanelIdentity& f = c.s.Panel;
  const int result = outcome.Ok() ? 0 : 1;
  const auto reply = RangeBytes(c.w, from, TExchangeKind::SmallRead, kSmallVersionAddress, kSmallVersionLastIndex + 1);
  if (!reply) {
    FUZZ_CHECK(result == 1 && f.ConnectedModel == old.ConnectedModel && c.s.Panel.BlockMap == oldMap);
    return;
  }
  const std::string model = RefPrintable(reply->data(), 6);
  const int32_t number = SmallModelNumber(model);
  const std::string versionText = RefPrintable(reply->data() + 8, 4);
  FUZZ_CHECK(IsCleanField(versionText, 4));
  if (number == 0) {
    FUZZ_CHECK(result == 1 && f.ConnectedModel == old.ConnectedModel && c.s.Panel.BlockMap == oldMap);
    return;
  }
  FUZZ_CHECK(f.ConnectedModel == number);
  const double version = ParseVersion(versionText);
  FUZZ_CHECK(f.FirmwareVersion == version);
  FUZZ_CHECK(f.PanelDescription == model + " v." + FormatVersion(version));
  const bool accepted = number == kVYR16D || version >= kMinSmallFirmware;
  FUZZ_CHECK((result == 0) == accepted);
  FUZZ_CHECK(c.s.Panel.BlockMap == (accepted ? *BlockMapForModel(number) : oldMap));
}

void CheckLargeIdentified(TCase& c, size_t from, const TOutcome& outcome, const TPanelIdentity& old) {
  const TPanelIdentity& f = c.s.Panel;
  const int result = outcome.Ok() ? 0 : 1;
  FUZZ_CHECK(f.FirmwareVersion == old.FirmwareVersion);
  FUZZ_CHECK(f.ConnectedModel == old.ConnectedModel || f.ConnectedModel == kLargeModel);
  if (result != 0) return;
  FUZZ_CHECK(f.ConnectedModel == kLargeModel);
  const std::string prefix = std::string(kLargeModelName) + " v.";
  FUZZ_CHECK(f.PanelDescription.compare(0, prefix.size(), prefix) == 0);
  const std::string v = f.PanelDescription.substr(prefix.size());
  FUZZ_CHECK(IsCleanField(v, 4) && v >= "2.00" && v < "2.09");
  // The final read of the real version block was accepted.
  FUZZ_CHECK(RangeBytes(c.w, from, TExchangeKind::LargeRead, kLargeRealVersionAddress, 6));
}

std::string CodeFrom(TInput& in) {
  const size_t n = in.Byte() % 9;
  std::string code;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = in.Byte();
    code.push_back(b < 240 ? static_cast<char>('0' + b % 10) : static_cast<char>(b));
  }
  return code;
}

void CheckReadFromPanel(TCase& c, size_t from, const std::string& code, const TReadOutcome& out,
                        const std::vector<TKeyBytes>& keysBefore) {
  FUZZ_CHECK(c.s.Link.PanelPort.Handle == -1);
  if (!out.ok()) return;
  if (c.s.IsLargePanel()) {
    FUZZ_CHECK(code.size() >= 4);
    CheckLargeRegions(c.w, from, c.s.Large->Regions());
    return;
  }
  UserTable users = c.s.Small->Users();
  bool matched = false;
  CheckUsers(c.w, from, c.s.Panel.BlockMap, users);
  FUZZ_CHECK(CheckCodes(c.w, from, c.s.Panel.BlockMap, c.s.Panel.ConnectedModel, users, code, &matched));
  FUZZ_CHECK(matched && RefMainUser(users, code));
  FUZZ_CHECK(MainUserOnLine(c.w, from, c.s.Panel.BlockMap, c.s.Panel.ConnectedModel, code));
  CheckKeys(c.w, from, c.s.Panel.BlockMap, *c.s.Small, keysBefore);
}

// The backup of a send's target: the target's users and codes as they were
// read, its keys and cards or the large panel's blocks as read after
// them, and the header of the connected panel.
// w: the blocks as the send had them when the backup was saved.
void CheckBackup(TCase& c, const TWatcher& w, size_t from, const std::string& path) {
  const TSession& s = c.s;
  std::vector<uint8_t> image;
  std::string error;
  FUZZ_CHECK(DecodeKeyCodeFile(path, &image, &error));
  FUZZ_CHECK(ImageModel(image) == s.Panel.ConnectedModel);
  const double firmware = ImageFirmware(image);
  FUZZ_CHECK(std::memcmp(&firmware, &s.Panel.FirmwareVersion, sizeof firmware) == 0);
  FUZZ_CHECK(ImageDescription(image) == s.Panel.PanelDescription.substr(0, kHeaderDescriptionMax));
  if (s.IsLargePanel()) {
    FUZZ_CHECK(image.size() == kLargeImageSize);
    CheckLargeRegions(w, from, std::span<uint8_t>(image).subspan(kLargeRegionsOffset));
    return;
  }
  FUZZ_CHECK(image.size() == kSmallImageSize);
  SmallPanelImage view;
  std::memcpy(view.Bytes().data(), image.data(), kSmallImageSize);
  bool matched = false;
  CheckUsers(w, from, s.Panel.BlockMap, view.Users());
  FUZZ_CHECK(CheckCodes(w, from, s.Panel.BlockMap, s.Panel.ConnectedModel, view.Users(), std::string(), &matched));
  SmallPanelImage fresh;
  CheckKeys(w, from, s.Panel.BlockMap, view, KeyBytes(fresh));
}

void CheckSend(TCase& c, size_t from, const std::string& code, bool backup, const TSendOutcome& out,
               const std::string& toldPath) {
  TSession& s = c.s;
  // The user is told of success exactly when there was one.
  const std::string& done = s.LangStrings.TransferOk;
  const bool toldOk = std::any_of(c.w.boxes.begin(), c.w.boxes.end(),
                                  [&](const std::string& b) { return b.compare(0, done.size(), done) == 0; });
  FUZZ_CHECK(toldOk == out.ok());

  // Everything is read from the target before anything is written into it,
  // but for the read-back after the last write; and with a backup asked
  // for, nothing is written without one.
  const std::vector<TExchange>& xs = c.line.Exchanges();
  auto isWrite = [](const TExchange& x) { return IsWrite(x.kind); };
  const auto firstWrite = std::find_if(xs.begin(), xs.end(), isWrite);
  const auto afterLastWrite = std::find_if(xs.rbegin(), xs.rend(), isWrite).base();
  FUZZ_CHECK(std::none_of(firstWrite, afterLastWrite, [](const TExchange& x) { return IsRead(x.kind); }));
  FUZZ_CHECK(backup || out.backupPath.empty());
  FUZZ_CHECK(out.backupPath == toldPath);
  if (backup && out.backupPath.empty()) FUZZ_CHECK(firstWrite == xs.end());
  if (!out.backupPath.empty()) {
    // The backup holds the target as it was: the blocks read before the
    // first write (the read-back reads the same addresses again).
    TWatcher before(c.w);
    const auto firstAccepted = std::find_if(before.accepted.begin() + static_cast<long>(from), before.accepted.end(),
                                            [](const TAccepted& a) { return IsWrite(a.kind); });
    before.accepted.erase(firstAccepted, before.accepted.end());
    CheckBackup(c, before, from, out.backupPath);
  }

  if (!out.ok()) return;
  // A success was proved: the blocks read back after the last write carry
  // what was written (the runs that start with these blocks are read from
  // their first byte on).
  size_t readBack = from;
  for (size_t i = from; i < c.w.accepted.size(); ++i)
    if (IsWrite(c.w.accepted[i].kind)) readBack = i + 1;
  if (s.IsLargePanel()) {
    FUZZ_CHECK(code.size() >= 4);
    for (size_t i : {size_t{1}, size_t{5}, size_t{6}}) {
      const TLargeRegion& r = LargePanelMap[i];
      const auto back = RangeBytes(c.w, readBack, TExchangeKind::LargeRead, r.PanelAddress, r.Bytes);
      const auto region = s.Large->Region(i);
      FUZZ_CHECK(back && std::equal(back->begin(), back->end(), region.begin()));
    }
    for (size_t i = 0; i < kLargeRegionCount; ++i) {
      const TLargeRegion& r = LargePanelMap[i];
      const auto sent = RangeBytes(c.w, from, TExchangeKind::LargeWrite, r.PanelAddress, r.Bytes);
      const auto region = s.Large->Region(i);
      FUZZ_CHECK(sent && std::equal(sent->begin(), sent->end(), region.begin()));
    }
  } else {
    // The send clears the target's table afterwards; the proof must stand
    // in the blocks the target sent.
    FUZZ_CHECK(MainUserOnLine(c.w, from, s.Panel.BlockMap, s.Panel.ConnectedModel, code));
    const auto keyData = RangeBytes(c.w, from, TExchangeKind::SmallWrite, s.Panel.BlockMap.KeyDataAddr, kKeyDataSize);
    FUZZ_CHECK(keyData && std::equal(keyData->begin(), keyData->end(), s.Small->KeyData().begin()));
    const auto back = RangeBytes(c.w, readBack, TExchangeKind::SmallRead, s.Panel.BlockMap.KeyDataAddr, kKeyDataSize);
    FUZZ_CHECK(back && *back == *keyData);
  }
}

void Run(TCase& c, TOperation op) {
  TSession& s = c.s;
  TComm& port = s.Link.PanelPort;
  const TPanelIdentity oldFlags = s.Panel;
  const TBlockMap oldMap = s.Panel.BlockMap;
  const size_t from = c.w.accepted.size();
  switch (op) {
    case kReadSmallRange:
    case kReadLargeRange:
    case kWriteSmallRange:
    case kWriteLargeRange: RangeOperation(c, op); break;

    case kIdentifySmall: {
      EnsurePortOpen(s);
      CheckSmallIdentified(c, from, IdentifySmallPanel(s.Link, s.Panel), oldFlags, oldMap);
      break;
    }
    case kFindBaudRate: {
      const bool found = FindBaudRate(s.Link);
      const std::vector<TExchange>& xs = c.line.Exchanges();
      if (found) {
        FUZZ_CHECK(port.Handle != -1 && !xs.empty() && xs.back().kind == TExchangeKind::Probe);
        FUZZ_CHECK(xs.back().consumed.size() >= 6 && std::equal(kBaudProbe, kBaudProbe + 6, xs.back().consumed.begin()));
      } else {
        FUZZ_CHECK(port.BaudIndex == 6);
      }
      break;
    }
    case kIdentifyLarge: {
      EnsurePortOpen(s);
      CheckLargeIdentified(c, from, IdentifyLargePanel(s.Link, s.Panel), oldFlags);
      break;
    }
    case kCheckConnection: {
      const bool ok = CheckConnection(s);
      const int32_t m = s.Panel.ConnectedModel;
      if (ok) FUZZ_CHECK(m == kLargeModel || (m >= kFirstSmallModel && m <= kVYR16D));
      break;
    }
    case kReadUsers: {
      EnsurePortOpen(s);
      TTargetUsers target;
      UserTable table = target.Table();
      if (ReadUsers(s.Link, s.Panel, table)) CheckUsers(c.w, from, s.Panel.BlockMap, table);
      break;
    }
    case kReadCodes: {
      const std::string code = CodeFrom(c.in);
      EnsurePortOpen(s);
      TTargetUsers target;
      UserTable table = target.Table();
      const bool result = ReadCodesAndMatch(s.Link, s.Panel, table, code).Ok();
      bool matched = false;
      if (CheckCodes(c.w, from, s.Panel.BlockMap, s.Panel.ConnectedModel, table, code, &matched)) {
        FUZZ_CHECK(result == matched);
      } else {
        FUZZ_CHECK(!result);
      }
      break;
    }
    case kReadKeys: {
      EnsurePortOpen(s);
      const std::vector<TKeyBytes> before = KeyBytes(*s.Small);
      if (ReadKeys(s.Link, s.Panel, *s.Small)) CheckKeys(c.w, from, s.Panel.BlockMap, *s.Small, before);
      break;
    }
    case kReadLargePanel: {
      EnsurePortOpen(s);
      if (ReadLargePanel(s.Link, s.Large->Regions())) CheckLargeRegions(c.w, from, s.Large->Regions());
      break;
    }
    case kReadFromPanel: {
      const std::string code = CodeFrom(c.in);
      const std::vector<TKeyBytes> before = KeyBytes(*s.Small);
      CheckReadFromPanel(c, from, code, ReadFromPanel(s, code), before);
      break;
    }
    case kSendToPanel: {
      const std::string code = CodeFrom(c.in);
      const bool backup = c.in.Byte() & 1;
      static const test::TScratchDir scratch("tarvex-fuzz", test::TScratchPlace::Memory);
      FUZZ_CHECK(scratch.Ok());
      TSendOptions options;
      options.backup = backup;
      std::string told;
      if (backup) {
        options.backupFolder = scratch.Path() + "/backups";
        options.backupSaved = [&](const std::string& path) { told = path; };
      }
      const TSendOutcome out = SendToPanel(s, code, options);
      FUZZ_CHECK(port.Handle == -1);
      CheckSend(c, from, code, backup, out, told);
      if (!out.backupPath.empty()) ::unlink(out.backupPath.c_str());
      break;
    }
    case kCheckThenRead: {
      const std::string code = CodeFrom(c.in);
      if (!CheckConnection(s)) break;
      const size_t readFrom = c.w.accepted.size();
      const std::vector<TKeyBytes> before = KeyBytes(*s.Small);
      CheckReadFromPanel(c, readFrom, code, ReadFromPanel(s, code), before);
      break;
    }
    default: break;
  }
}

// Gives back the heap memory a case left in the session's texts. libFuzzer
// takes a case that ends with more allocations than it began with for a
// leak: it runs it again under LeakSanitizer, and after a thousand such
// cases stops looking for leaks at all.
void ReleaseTexts(TSession& s) {
  TComm port;
  std::swap(s.Link.PanelPort, port);
  TPanelIdentity panel;
  std::swap(s.Panel, panel);
  s.Link.Tuning = TLinkTuning{};
  std::string status;
  std::swap(s.StatusText, status);
}

}  // namespace
}  // namespace tarvex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarvex;
  using namespace tarvex::fuzz;
  // One session for the whole run, put back to a fresh state for every
  // input: making one allocates and fills half a megabyte, which would
  // cost more than most cases. Its language texts are set once and kept.
  static TSilentUserInterface nobody;
  static TSession& s = *[] {
    static TSession session(nobody);
    ApplyLanguageTexts(session, TLanguage::English);
    return &session;
  }();

  TInput in(data, size);
  const auto op = static_cast<TOperation>(in.Byte() % kOperationCount);
  const uint8_t settings = in.Byte();
  const int32_t model = kModels[in.Byte() % std::size(kModels)];

  TFakeLine line(in);
  TWatcher watcher(line);
  s.UI = &watcher;
  s.Link.PanelPort.System = &line;
  s.Link.PanelPort.Device = "/dev/fuzz";
  s.Link.Tuning.Attempts = settings & 3;
  line.FailOpenAt((settings >> 3) & 3);
  s.Panel.ConnectedModel = model;
  s.Panel.BlockMap = TBlockMap{};
  if (const TBlockMap* map = BlockMapForModel(model)) s.Panel.BlockMap = *map;
  std::memset(s.Link.TransferBuffer->data(), 0, kTransferBufferSize);
  // Only these reach the large image; refilling it for every case would
  // cost more than most cases.
  if (op == kReadLargePanel || op == kReadFromPanel || op == kSendToPanel || op == kCheckThenRead)
    std::memset(s.Large->Bytes().data(), 0xFF, kLargeImageSize);
  // Something to send, and key records that a read must either replace or
  // leave alone.
  std::memcpy(s.Small->Bytes().data(), Pattern().data() + settings, kSmallImageSize);

  TCase c{s, watcher, line, in};
  Run(c, op);
  ReleaseTexts(s);
  s.UI = &nobody;
  return 0;
}
