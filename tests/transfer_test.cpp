// The code and key transfer sequences against simulated panels: what lands
// in the image after a read, what lands in panel memory after a write (byte
// for byte, across the code formats of the small models), the status texts
// and progress ranges the window gets, and where each sequence stops when a
// block fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "protocol/frames.h"
#include "protocol/identify.h"
#include "protocol/text.h"
#include "protocol/transfer.h"
#include "tests/test_support.h"

namespace tarvex {
namespace {

using sim::FaultKind;
using test::OpenOn;
using test::StartPanel;
using test::TTestSession;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSmallBaud = 6;   // 9600
constexpr uint8_t kLargeBaud = 9;   // 38400, the large simulator's speed
constexpr const char* kReadError = "Warning: Reading error on serial port!";

// Points the session at a simulated panel as a connection check would have
// left it: model, block map, an open port at the panel's speed. The pause
// after each good exchange is dropped: the link's timing has its own tests,
// these are about what moves where.
void Attach(TTestSession& t, const sim::SimPanel& panel) {
  if (t.s.Link.PanelPort.Handle != -1) CloseComm(t.s.Link.PanelPort);
  t.s.Panel.ConnectedModel = panel.Model();
  if (const TBlockMap* map = BlockMapForModel(panel.Model())) t.s.Panel.BlockMap = *map;
  t.s.Link.Tuning.SuccessPauseMs = 0;
  OpenOn(t.s, panel, panel.IsLarge() ? kLargeBaud : kSmallBaud);
}

Bytes Slice(const Bytes& b, size_t at, size_t n) { return Bytes(b.begin() + at, b.begin() + at + n); }

template <typename Span>
Bytes ToBytes(Span s) {
  return Bytes(s.begin(), s.end());
}

// A fixed-width panel text field as a person would read it.
std::string Trimmed(const Bytes& b, size_t at, size_t n) {
  std::string s(b.begin() + at, b.begin() + at + n);
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// The digits of a code as the panel keeps it: one per byte up to the first
// byte that is no digit, or two per byte up to the first nibble that is none.
std::string PanelDigits(const Bytes& code, bool onePerByte) {
  std::string digits;
  for (uint8_t b : code) {
    if (onePerByte) {
      if (b > 9) break;
      digits.push_back(static_cast<char>('0' + b));
    } else {
      if ((b >> 4) > 9) break;
      digits.push_back(static_cast<char>('0' + (b >> 4)));
      if ((b & 0x0F) > 9) break;
      digits.push_back(static_cast<char>('0' + (b & 0x0F)));
    }
  }
  return digits;
}

std::string CodeText(const std::string& digits) { return digits + std::string(8 - digits.size(), 'F'); }

// Flags and value of the last key-table record that names key k.
struct TRecord {
  uint8_t flags = 0, value = 0;
  bool named = false;
};
std::vector<TRecord> RecordsByKey(const Bytes& table) {
  std::vector<TRecord> out(kKeyCount);
  for (size_t i = 0; i < kKeyCount; ++i) {
    const uint8_t number = table[3 * i + 2];
    if (number < kKeyCount) out[number] = {table[3 * i], table[3 * i + 1], true};
  }
  return out;
}

std::vector<int32_t> Ranges(const test::TRecordingUserInterface& ui) {
  std::vector<int32_t> out;
  for (const auto& e : ui.events)
    if (e.kind == test::TEvent::Progress && e.code == ProgressSetRange) out.push_back(e.value);
  return out;
}

// The progress codes other than the per-block steps, in order.
std::vector<int> Notices(const test::TRecordingUserInterface& ui) {
  std::vector<int> out;
  for (const auto& e : ui.events)
    if (e.kind == test::TEvent::Progress && e.code != ProgressStep) out.push_back(e.code);
  return out;
}

const test::TEvent* LastProgress(const test::TRecordingUserInterface& ui) {
  for (auto it = ui.events.rbegin(); it != ui.events.rend(); ++it)
    if (it->kind == test::TEvent::Progress) return &*it;
  return nullptr;
}

// Users: attributes, trimmed names and code texts as the panel holds them.
void ExpectUsersAsInPanel(UserTable table, const sim::SimPanel& panel, const TBlockMap& m, bool onePerByte) {
  const Bytes attrs = panel.ReadMemory(m.UserAttrAddr, m.UserAttrLen);
  const Bytes names = panel.ReadMemory(m.UserNamesAddr, m.UserNamesLen);
  const Bytes codes = panel.ReadMemory(m.CodesAddr, m.CodesLen);
  const size_t width = onePerByte ? 6 : 3;
  for (size_t u = 0; u < kUserCount; ++u) {
    SCOPED_TRACE("user " + std::to_string(u));
    const UserEntry user = table.User(u);
    for (size_t i = 0; i < kUserAttrSize; ++i) EXPECT_EQ(user.Attr(i), attrs[10 * u + i]) << "attribute " << i;
    EXPECT_EQ(user.Name(), Trimmed(names, 16 * u, 16));
    EXPECT_EQ(user.Code(), CodeText(PanelDigits(Slice(codes, width * u, width), onePerByte)));
  }
}

// Key data, the entries by record number, names of keys 0 to 15 only.
void ExpectKeysAsInPanel(SmallPanelImage& image, const sim::SimPanel& panel, const TBlockMap& m) {
  EXPECT_EQ(ToBytes(image.KeyData()), panel.ReadMemory(m.KeyDataAddr, m.KeyDataLen));
  const std::vector<TRecord> records = RecordsByKey(panel.ReadMemory(m.KeyTableAddr, m.KeyTableLen));
  const Bytes names = panel.ReadMemory(m.KeyNamesAddr, m.KeyNamesLen);
  for (size_t k = 0; k < kKeyCount; ++k) {
    SCOPED_TRACE("key " + std::to_string(k));
    KeyEntry key = image.Key(k);
    if (records[k].named) {
      EXPECT_EQ(key.Flags(), records[k].flags & 0xC3);
      EXPECT_EQ(key.Flags23(), records[k].flags & 0x0C);
      EXPECT_EQ(key.Value(), records[k].value);
    }
    if (k < 16) {
      EXPECT_EQ(key.Name(), Trimmed(names, 16 * k, 16));
    } else {
      EXPECT_EQ(key.Bytes()[1], 0) << "keys past 15 carry no name";
    }
  }
}

bool ReadWholePanel(TTestSession& t, const std::string& code) {
  UserTable users = t.s.Small->Users();
  return ReadUsers(t.s.Link, t.s.Panel, users) && ReadCodesAndMatch(t.s.Link, t.s.Panel, users, code) &&
         ReadKeys(t.s.Link, t.s.Panel, *t.s.Small);
}

// Position of the key-table record that names key k.
size_t RecordPosition(const sim::SimPanel& panel, const TBlockMap& m, uint8_t k) {
  const Bytes table = panel.ReadMemory(m.KeyTableAddr, m.KeyTableLen);
  for (size_t i = 0; i < kKeyCount; ++i)
    if (table[3 * i + 2] == k) return i;
  ADD_FAILURE() << "no record names key " << int{k};
  return 0;
}

// ---------------------------------------------------------------- reads

TEST(TransferRead, Vyr8OneDigitPerByte) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR8", .mainCode = "1234", .seed = 11});
  Attach(t, *panel);
  const TBlockMap m = t.s.Panel.BlockMap;
  panel->WriteMemory(m.CodesAddr + 6 * 2, sim::EncodeCode("VYR8", "319"));
  panel->WriteMemory(m.CodesAddr + 6 * 3, sim::EncodeCode("VYR8", "908172"));

  ASSERT_TRUE(ReadWholePanel(t, "1234"));
  UserTable users = t.s.Small->Users();
  EXPECT_EQ(users.User(0).Name(), "Installer");
  EXPECT_EQ(users.User(0).Attr(0), 1);
  EXPECT_EQ(users.User(0).Code(), "1234FFFF");
  EXPECT_EQ(users.User(2).Code(), "319FFFFF");
  EXPECT_EQ(users.User(3).Code(), "908172FF");
  EXPECT_EQ(users.User(6).Code(), "FFFFFFFF") << "an empty slot, cut to 8 characters";
  ExpectUsersAsInPanel(users, *panel, m, true);

  // The simulator keeps key 5's record first and key 0's sixth.
  ASSERT_EQ(panel->ReadMemory(m.KeyTableAddr + 2, 1)[0], 5);
  const Bytes first = panel->ReadMemory(m.KeyTableAddr, 2);
  EXPECT_EQ(t.s.Small->Key(5).Value(), first[1]);
  EXPECT_EQ(t.s.Small->Key(5).Flags(), first[0] & 0xC3);
  EXPECT_EQ(t.s.Small->Key(0).Name(), "Front door");
  EXPECT_EQ(t.s.Small->Key(7).Name(), "");
  ExpectKeysAsInPanel(*t.s.Small, *panel, m);

  EXPECT_EQ(t.ui.Statuses(), (std::vector<std::string>{"Reading codes", "Checking user code", "Reading keys & cards"}));
  EXPECT_EQ(Ranges(t.ui), (std::vector<int32_t>{622, 143, 1149}));
  // Each phase: status, then the range; only the keys end
  // with a clear, so the bar stays up between the phases of one read.
  EXPECT_EQ(Notices(t.ui), (std::vector<int>{ProgressShowStatus, ProgressSetRange, ProgressShowStatus,
                                             ProgressSetRange, ProgressShowStatus,
                                             ProgressSetRange, ProgressClear}));
  const auto steps = t.ui.Steps();
  EXPECT_EQ(std::accumulate(steps.begin(), steps.end(), 0), 240 + 384 + 144 + 512 + 384 + 256);
  EXPECT_TRUE(t.ui.Boxes().empty());
  CloseComm(t.s.Link.PanelPort);
}

TEST(TransferRead, Vyr32PackedCodesAndAKeyRecordPastTheLastKey) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR32", .mainCode = "123456", .seed = 12});
  Attach(t, *panel);
  const TBlockMap m = t.s.Panel.BlockMap;
  UserTable users = t.s.Small->Users();
  ASSERT_TRUE(ReadUsers(t.s.Link, t.s.Panel, users));
  ASSERT_TRUE(ReadCodesAndMatch(t.s.Link, t.s.Panel, users, "123456"));
  EXPECT_EQ(users.User(0).Code(), "123456FF");
  ExpectUsersAsInPanel(users, *panel, m, false);

  // The last record (key 127, unused) is renumbered 200 and given flags and
  // a value that would show wherever they landed: on key 127 if the number
  // were clamped, on key 72 (whose own record comes earlier) if it wrapped.
  const size_t pos = RecordPosition(*panel, m, 127);
  ASSERT_GT(pos, RecordPosition(*panel, m, 200 % 128));
  panel->WriteMemory(m.KeyTableAddr + 3 * static_cast<uint32_t>(pos), {0xFF, 0x77, 200});
  KeyEntry key127 = t.s.Small->Key(127);
  key127.SetValue(0x5A);
  key127.SetFlags(0x5B);
  key127.SetFlags23(0x5C);
  const Bytes before = ToBytes(t.s.Small->Bytes());

  t.ui.Clear();
  ASSERT_TRUE(ReadKeys(t.s.Link, t.s.Panel, *t.s.Small));
  EXPECT_EQ(key127.Value(), 0x5A) << "no record names key 127 any more";
  EXPECT_EQ(key127.Flags(), 0x5B);
  EXPECT_EQ(key127.Flags23(), 0x5C);
  const Bytes after = ToBytes(t.s.Small->Bytes());
  EXPECT_EQ(Slice(after, 0, kKeyTableOffset), Slice(before, 0, kKeyTableOffset)) << "header and users untouched";
  ExpectKeysAsInPanel(*t.s.Small, *panel, m);
  EXPECT_EQ(t.ui.Statuses(), std::vector<std::string>{"Reading keys & cards"});
  EXPECT_EQ(Ranges(t.ui), std::vector<int32_t>{1149});
  CloseComm(t.s.Link.PanelPort);
}

TEST(TransferRead, Vyr16DCodesFromTheFirstHalfOfTheBlock) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR16D", .mainCode = "654321", .seed = 13});
  Attach(t, *panel);
  const TBlockMap m = t.s.Panel.BlockMap;
  ASSERT_TRUE(ReadWholePanel(t, "654321"));
  UserTable users = t.s.Small->Users();
  EXPECT_EQ(users.User(0).Code(), "654321FF");
  EXPECT_EQ(users.User(0).Name(), "Installer");
  ExpectUsersAsInPanel(users, *panel, m, false);
  ExpectKeysAsInPanel(*t.s.Small, *panel, m);
  EXPECT_EQ(Ranges(t.ui), (std::vector<int32_t>{622, 143, 1149}));
  // The whole 144-byte block is read, though only 72 bytes hold codes.
  const auto headers = panel->HeadersReceived();
  ASSERT_GE(headers.size(), 13u);
  // Reads of 64 bytes at 203 (00CB) and, two blocks on, 16 at 331 (014B).
  EXPECT_EQ(m.CodesAddr, 203);
  EXPECT_EQ(headers[10], (THeader{0xF0, 0xCB, 0x00, 0x3F, 0x00, 0xFA}));
  EXPECT_EQ(headers[12], (THeader{0xF0, 0x4B, 0x01, 0x0F, 0x00, 0x4B}));
  CloseComm(t.s.Link.PanelPort);
}

// ---------------------------------------------------------------- code check

TEST(TransferCodeMatch, OneDigitPerByteCodes) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR8", .mainCode = "1234", .seed = 14});
  Attach(t, *panel);
  const TBlockMap m = t.s.Panel.BlockMap;
  panel->WriteMemory(m.CodesAddr + 6, {4, 5, 6, 7, 0xFF, 0xFF});
  panel->WriteMemory(m.CodesAddr + 12, {2, 4, 6, 8, 0x0F, 0x0F});
  panel->WriteMemory(m.CodesAddr + 18, {3, 1, 9, 0xFF, 0xFF, 0xFF});
  UserTable users = t.s.Small->Users();

  // The match is on user 1, but every later user still gets its code.
  users.User(23).SetCode("AAAAAAAA");
  EXPECT_TRUE(ReadCodesAndMatch(t.s.Link, t.s.Panel, users, "4567"));
  EXPECT_EQ(users.User(1).Code(), "4567FFFF");
  EXPECT_EQ(users.User(23).Code(),
            CodeText(PanelDigits(panel->ReadMemory(m.CodesAddr + 6 * 23, 6), true)));

  EXPECT_TRUE(ReadCodesAndMatch(t.s.Link, t.s.Panel, users, "2468")) << "0F 0F reads as FF, padded to eight";
  EXPECT_EQ(users.User(2).Code(), "2468FFFF");

  // Three digits then FF FF FF read as nine characters; the stored text is
  // what is compared, so the code this tool writes can be proved again.
  EXPECT_TRUE(ReadCodesAndMatch(t.s.Link, t.s.Panel, users, "319"));
  EXPECT_EQ(users.User(3).Code(), "319FFFFF");

  EXPECT_TRUE(ReadCodesAndMatch(t.s.Link, t.s.Panel, users, "1234"));
  EXPECT_TRUE(t.ui.Boxes().empty());

  for (size_t u = 0; u < kUserCount; ++u) ASSERT_NE(users.User(u).Code(), "9999FFFF");
  t.ui.Clear();
  users.User(0).SetCode("00000000");
  EXPECT_FALSE(ReadCodesAndMatch(t.s.Link, t.s.Panel, users, "9999"));
  EXPECT_TRUE(t.ui.Boxes().empty()) << "a wrong code is no read error";
  EXPECT_EQ(Notices(t.ui), (std::vector<int>{ProgressShowStatus, ProgressSetRange}))
      << "no clear: the caller decides what to show";
  EXPECT_EQ(users.User(0).Code(), "1234FFFF") << "codes are filled in all the same";
  CloseComm(t.s.Link.PanelPort);
}

TEST(TransferCodeMatch, PackedCodes) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR32", .mainCode = "908172", .seed = 15});
  Attach(t, *panel);
  const TBlockMap m = t.s.Panel.BlockMap;
  ASSERT_EQ(panel->ReadMemory(m.CodesAddr, 3), (Bytes{0x90, 0x81, 0x72})) << "high digit first";
  ASSERT_EQ(panel->ReadMemory(m.CodesAddr + 3 * 6, 3), (Bytes{0xFF, 0xFF, 0xFF})) << "user 6 is empty";
  UserTable users = t.s.Small->Users();

  EXPECT_TRUE(ReadCodesAndMatch(t.s.Link, t.s.Panel, users, "908172"));
  EXPECT_EQ(users.User(0).Code(), "908172FF");
  EXPECT_TRUE(ReadCodesAndMatch(t.s.Link, t.s.Panel, users, "")) << "nothing typed matches an empty slot";
  EXPECT_EQ(users.User(6).Code(), "FFFFFFFF");

  for (size_t u = 0; u < kUserCount; ++u) ASSERT_NE(users.User(u).Code(), "90817FFF");
  EXPECT_FALSE(ReadCodesAndMatch(t.s.Link, t.s.Panel, users, "90817")) << "a prefix is not the code";
  EXPECT_TRUE(t.ui.Boxes().empty());
  CloseComm(t.s.Link.PanelPort);
}

// ---------------------------------------------------------------- writes

TEST(TransferWrite, Vyr8ImageIntoVyr32) {
  TTestSession t;
  auto source = StartPanel({.model = "VYR8", .mainCode = "1234", .seed = 16});
  Attach(t, *source);
  const TBlockMap m1 = t.s.Panel.BlockMap;
  source->WriteMemory(m1.CodesAddr + 6 * 2, sim::EncodeCode("VYR8", "319"));
  source->WriteMemory(m1.CodesAddr + 6 * 3, sim::EncodeCode("VYR8", "908172"));
  // High bits that the VYR32 takes as they are.
  source->WriteMemory(m1.UserAttrAddr + 1, {0xA5});
  source->WriteMemory(m1.KeyTableAddr + 3 * static_cast<uint32_t>(RecordPosition(*source, m1, 0)) + 1, {0xB7});
  ASSERT_TRUE(ReadWholePanel(t, "1234"));
  const Bytes srcCodes = source->ReadMemory(m1.CodesAddr, m1.CodesLen);
  const Bytes srcAttrs = source->ReadMemory(m1.UserAttrAddr, m1.UserAttrLen);
  const Bytes srcNames = source->ReadMemory(m1.UserNamesAddr, m1.UserNamesLen);
  const Bytes srcKeyData = source->ReadMemory(m1.KeyDataAddr, m1.KeyDataLen);
  const std::vector<TRecord> srcKeys = RecordsByKey(source->ReadMemory(m1.KeyTableAddr, m1.KeyTableLen));
  const Bytes srcKeyNames = source->ReadMemory(m1.KeyNamesAddr, m1.KeyNamesLen);
  // Code texts that no panel gave: a short one and one with a stray letter.
  t.s.Small->User(20).SetCode("12");
  t.s.Small->User(22).SetCode("1G34FFFF");
  const Bytes image = ToBytes(t.s.Small->Bytes());

  auto target = StartPanel({.model = "VYR32", .mainCode = "4321", .seed = 17});
  Attach(t, *target);
  const TBlockMap m2 = t.s.Panel.BlockMap;
  TTargetUsers targetTable;
  UserTable targetUsers = targetTable.Table();
  ASSERT_TRUE(ReadUsers(t.s.Link, t.s.Panel, targetUsers));
  ASSERT_TRUE(ReadCodesAndMatch(t.s.Link, t.s.Panel, targetUsers, "4321"));
  const Bytes before = target->ReadMemory(0, 0x10000);
  t.ui.Clear();
  ASSERT_TRUE(WriteCodes(t.s.Link, t.s.Panel, *t.s.Small));
  ASSERT_TRUE(WriteUsers(t.s.Link, t.s.Panel, *t.s.Small));
  ASSERT_TRUE(WriteKeys(t.s.Link, t.s.Panel, *t.s.Small));
  const Bytes mem = target->ReadMemory(0, 0x10000);

  // Codes, packed two digits a byte.
  EXPECT_EQ(Slice(mem, m2.CodesAddr, 3), (Bytes{0x12, 0x34, 0xFF}));
  EXPECT_EQ(Slice(mem, m2.CodesAddr + 6, 3), (Bytes{0x31, 0x9F, 0xFF}));
  EXPECT_EQ(Slice(mem, m2.CodesAddr + 9, 3), (Bytes{0x90, 0x81, 0x72}));
  EXPECT_EQ(Slice(mem, m2.CodesAddr + 60, 3), (Bytes{0x12, 0x00, 0x00})) << "empty pairs give 0";
  EXPECT_EQ(Slice(mem, m2.CodesAddr + 66, 3), (Bytes{0x00, 0x34, 0xFF})) << "a pair that is not hex gives 0";
  for (size_t u = 0; u < kUserCount; ++u) {
    if (u == 20 || u == 22) continue;
    EXPECT_EQ(Slice(mem, m2.CodesAddr + 3 * u, 3), sim::EncodeCode("VYR32", PanelDigits(Slice(srcCodes, 6 * u, 6), true)))
        << "user " << u;
  }
  // Attributes whole, names padded with spaces as the source had them.
  EXPECT_EQ(Slice(mem, m2.UserAttrAddr, 240), srcAttrs);
  EXPECT_EQ(mem[m2.UserAttrAddr + 1], 0xA5);
  EXPECT_EQ(Slice(mem, m2.UserNamesAddr, 384), srcNames);
  // Keys: data as it was, records rebuilt in key order, names of 0 to 15.
  EXPECT_EQ(Slice(mem, m2.KeyDataAddr, 512), srcKeyData);
  for (size_t i = 0; i < kKeyCount; ++i) {
    const Bytes want{static_cast<uint8_t>(srcKeys[i].flags & 0xC3), srcKeys[i].value, static_cast<uint8_t>(i)};
    EXPECT_EQ(Slice(mem, m2.KeyTableAddr + 3 * i, 3), want) << "record " << i;
  }
  EXPECT_EQ(mem[m2.KeyTableAddr + 1], 0xB7);
  EXPECT_EQ(Slice(mem, m2.KeyNamesAddr, 256), srcKeyNames);
  // Nothing else in the panel moved.
  const std::pair<uint16_t, uint16_t> written[] = {{m2.CodesAddr, m2.CodesLen},       {m2.UserAttrAddr, m2.UserAttrLen},
                                                   {m2.UserNamesAddr, m2.UserNamesLen}, {m2.KeyDataAddr, m2.KeyDataLen},
                                                   {m2.KeyTableAddr, m2.KeyTableLen},   {m2.KeyNamesAddr, m2.KeyNamesLen}};
  size_t changedElsewhere = 0;
  for (size_t a = 0; a < mem.size(); ++a) {
    const bool inBlock = std::any_of(std::begin(written), std::end(written),
                                     [&](const auto& b) { return a >= b.first && a < size_t{b.first} + b.second; });
    if (!inBlock && mem[a] != before[a]) ++changedElsewhere;
  }
  EXPECT_EQ(changedElsewhere, 0u);
  // A VYR32 takes the high bits, so the image is left as it was.
  EXPECT_EQ(ToBytes(t.s.Small->Bytes()), image);

  EXPECT_EQ(t.ui.Statuses(), (std::vector<std::string>{"Writing codes", "Writing codes", "Writing keys & cards"}));
  EXPECT_EQ(Ranges(t.ui), (std::vector<int32_t>{142, 622, 1021}));
  const std::vector<int> notices = Notices(t.ui);
  EXPECT_EQ(std::count(notices.begin(), notices.end(), ProgressClear), 3);
  EXPECT_TRUE(t.ui.Boxes().empty());
  CloseComm(t.s.Link.PanelPort);
}

TEST(TransferWrite, Vyr32ImageIntoVyr8ClearsHighBits) {
  TTestSession t;
  auto source = StartPanel({.model = "VYR32", .mainCode = "123456", .seed = 18});
  Attach(t, *source);
  const TBlockMap m2 = t.s.Panel.BlockMap;
  source->WriteMemory(m2.CodesAddr + 3, sim::EncodeCode("VYR32", "12"));
  source->WriteMemory(m2.CodesAddr + 6, sim::EncodeCode("VYR32", "12345"));
  source->WriteMemory(m2.CodesAddr + 9, sim::EncodeCode("VYR32", "7410"));
  source->WriteMemory(m2.UserAttrAddr + 1, {0xA5});
  source->WriteMemory(m2.KeyTableAddr + 3 * static_cast<uint32_t>(RecordPosition(*source, m2, 0)) + 1, {0xB7});
  ASSERT_TRUE(ReadWholePanel(t, "123456"));
  const Bytes srcCodes = source->ReadMemory(m2.CodesAddr, m2.CodesLen);
  const Bytes srcAttrs = source->ReadMemory(m2.UserAttrAddr, m2.UserAttrLen);
  const Bytes srcNames = source->ReadMemory(m2.UserNamesAddr, m2.UserNamesLen);
  const Bytes srcKeyData = source->ReadMemory(m2.KeyDataAddr, m2.KeyDataLen);
  const std::vector<TRecord> srcKeys = RecordsByKey(source->ReadMemory(m2.KeyTableAddr, m2.KeyTableLen));
  ASSERT_TRUE(std::any_of(srcKeys.begin(), srcKeys.end(), [](const TRecord& r) { return r.value >= 0x10; }));
  t.s.Small->User(20).SetCode("12");

  auto target = StartPanel({.model = "VYR8", .mainCode = "2580", .seed = 19});
  Attach(t, *target);
  const TBlockMap m1 = t.s.Panel.BlockMap;
  TTargetUsers targetTable;
  UserTable targetUsers = targetTable.Table();
  ASSERT_TRUE(ReadUsers(t.s.Link, t.s.Panel, targetUsers));
  ASSERT_TRUE(ReadCodesAndMatch(t.s.Link, t.s.Panel, targetUsers, "2580"));
  t.ui.Clear();
  ASSERT_TRUE(WriteCodes(t.s.Link, t.s.Panel, *t.s.Small));
  ASSERT_TRUE(WriteUsers(t.s.Link, t.s.Panel, *t.s.Small));
  ASSERT_TRUE(WriteKeys(t.s.Link, t.s.Panel, *t.s.Small));
  const Bytes mem = target->ReadMemory(0, 0x10000);

  // Codes, one digit a byte.
  EXPECT_EQ(Slice(mem, m1.CodesAddr, 6), (Bytes{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(Slice(mem, m1.CodesAddr + 6, 6), (Bytes{1, 2, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Slice(mem, m1.CodesAddr + 12, 6), (Bytes{1, 2, 3, 4, 5, 0xFF}));
  EXPECT_EQ(Slice(mem, m1.CodesAddr + 18, 6), (Bytes{7, 4, 1, 0, 0xFF, 0xFF}));
  EXPECT_EQ(Slice(mem, m1.CodesAddr + 120, 6), (Bytes{1, 2, 0, 0, 0, 0})) << "empty pairs give 0";
  for (size_t u = 0; u < kUserCount; ++u) {
    if (u == 20) continue;
    EXPECT_EQ(Slice(mem, m1.CodesAddr + 6 * u, 6), sim::EncodeCode("VYR8", PanelDigits(Slice(srcCodes, 3 * u, 3), false)))
        << "user " << u;
  }
  // The second attribute byte and the key values lose their high bits, in
  // the panel and in the image alike.
  for (size_t u = 0; u < kUserCount; ++u) {
    for (size_t i = 0; i < kUserAttrSize; ++i) {
      const uint8_t want = i == 1 ? srcAttrs[10 * u + i] & 0x0F : srcAttrs[10 * u + i];
      EXPECT_EQ(mem[m1.UserAttrAddr + 10 * u + i], want) << "user " << u << " attribute " << i;
      EXPECT_EQ(t.s.Small->User(u).Attr(i), want) << "user " << u << " attribute " << i;
    }
  }
  EXPECT_EQ(mem[m1.UserAttrAddr + 1], 0x05);
  for (size_t i = 0; i < kKeyCount; ++i) {
    const Bytes want{static_cast<uint8_t>(srcKeys[i].flags & 0xC3), static_cast<uint8_t>(srcKeys[i].value & 0x0F),
                     static_cast<uint8_t>(i)};
    EXPECT_EQ(Slice(mem, m1.KeyTableAddr + 3 * i, 3), want) << "record " << i;
    EXPECT_EQ(t.s.Small->Key(i).Value(), srcKeys[i].value & 0x0F) << "key " << i;
  }
  EXPECT_EQ(mem[m1.KeyTableAddr + 1], 0x07);
  EXPECT_EQ(Slice(mem, m1.UserNamesAddr, 384), srcNames);
  EXPECT_EQ(Slice(mem, m1.KeyDataAddr, 512), srcKeyData);
  EXPECT_EQ(Ranges(t.ui), (std::vector<int32_t>{286, 622, 1021}));
  CloseComm(t.s.Link.PanelPort);
}

TEST(TransferWrite, Vyr16DCodeBlockTailGoesBackAsRead) {
  TTestSession t;
  auto source = StartPanel({.model = "VYR16D", .mainCode = "2468", .seed = 20});
  Attach(t, *source);
  const TBlockMap m = t.s.Panel.BlockMap;
  UserTable users = t.s.Small->Users();
  ASSERT_TRUE(ReadUsers(t.s.Link, t.s.Panel, users));
  ASSERT_TRUE(ReadCodesAndMatch(t.s.Link, t.s.Panel, users, "2468"));
  users.User(5).SetCode("135790FF");
  const Bytes srcTail = source->ReadMemory(m.CodesAddr + 72, 72);

  auto target = StartPanel({.model = "VYR16D", .mainCode = "1357", .seed = 21});
  // The panel's own bytes between the codes and the attributes.
  target->WriteMemory(m.CodesAddr + 72, {0xC1, 0xC2, 0xC3});
  const Bytes tail = target->ReadMemory(m.CodesAddr + 72, 72);
  ASSERT_NE(tail, srcTail);
  Attach(t, *target);
  TTargetUsers targetTable;
  UserTable targetUsers = targetTable.Table();
  ASSERT_TRUE(ReadUsers(t.s.Link, t.s.Panel, targetUsers));
  ASSERT_TRUE(ReadCodesAndMatch(t.s.Link, t.s.Panel, targetUsers, "1357"));
  t.ui.Clear();
  const size_t exchanges = static_cast<size_t>(target->ExchangeCount());
  ASSERT_TRUE(WriteCodes(t.s.Link, t.s.Panel, *t.s.Small));

  EXPECT_EQ(target->ReadMemory(m.CodesAddr + 72, 72), tail);
  const Bytes codes = target->ReadMemory(m.CodesAddr, 72);
  EXPECT_EQ(Slice(codes, 0, 3), (Bytes{0x24, 0x68, 0xFF}));
  EXPECT_EQ(Slice(codes, 15, 3), (Bytes{0x13, 0x57, 0x90}));
  for (size_t u = 0; u < kUserCount; ++u) {
    const std::string text = users.User(u).Code();
    EXPECT_EQ(Slice(codes, 3 * u, 3), sim::EncodeCode("VYR16D", text.substr(0, text.find('F')))) << "user " << u;
  }
  // The whole 144-byte block went out, in three blocks.
  const auto headers = target->HeadersReceived();
  ASSERT_EQ(headers.size(), exchanges + 3);
  // Writes of 64 bytes at 203 (00CB) and, two blocks on, 16 at 331 (014B).
  EXPECT_EQ(m.CodesAddr, 203);
  EXPECT_EQ(headers[exchanges], (THeader{0x0F, 0xCB, 0x00, 0x3F, 0x00, 0x19}));
  EXPECT_EQ(headers[exchanges + 2], (THeader{0x0F, 0x4B, 0x01, 0x0F, 0x00, 0x6A}));
  EXPECT_EQ(t.ui.Statuses(), std::vector<std::string>{"Writing codes"});
  EXPECT_EQ(Ranges(t.ui), std::vector<int32_t>{286});
  ASSERT_NE(LastProgress(t.ui), nullptr);
  EXPECT_EQ(LastProgress(t.ui)->code, ProgressClear);
  CloseComm(t.s.Link.PanelPort);
}

// ---------------------------------------------------------------- large panel

// The region each large-panel header starts, in order; headers inside a
// region (its second and later 1023-byte blocks) are left out.
std::vector<size_t> RegionOrder(const std::vector<std::array<uint8_t, 6>>& headers) {
  std::vector<size_t> out;
  for (const auto& h : headers) {
    const uint32_t address = (uint32_t{h[2]} << 16) | (uint32_t{h[3]} << 8) | h[4];
    for (size_t r = 0; r < kLargeRegionCount; ++r)
      if (LargePanelMap[r].PanelAddress == address) out.push_back(r);
  }
  return out;
}

size_t LargeExchanges(uint32_t bytes) { return (bytes + LargeBlockSize - 1) / LargeBlockSize; }

TEST(TransferLarge, ReadThenWriteTheSevenBlocks) {
  TTestSession t;
  auto source = StartPanel({.model = "VYR 320", .firmware = "2.05", .seed = 22});
  Attach(t, *source);
  std::span<uint8_t> image = t.s.Large->Bytes();
  ASSERT_TRUE(ReadLargePanel(t.s.Link, t.s.Large->Regions()));

  size_t exchanges = 0;
  for (size_t r = 0; r < kLargeRegionCount; ++r) {
    SCOPED_TRACE("region " + std::to_string(r));
    const TLargeRegion& region = LargePanelMap[r];
    const size_t at = kLargeRegionsOffset + region.RegionOffset;
    EXPECT_EQ(Bytes(image.begin() + at, image.begin() + at + region.Bytes),
              source->ReadMemory(region.PanelAddress, region.Bytes));
    // The rest of the region is never written.
    EXPECT_EQ(Bytes(image.begin() + at + region.Bytes, image.begin() + at + region.Bytes + 64), Bytes(64, 0xFF));
    exchanges += LargeExchanges(region.Bytes);
  }
  EXPECT_EQ(Bytes(image.begin(), image.begin() + kLargeRegionsOffset), Bytes(kLargeRegionsOffset, 0xFF));
  EXPECT_EQ(source->HeadersReceived().size(), exchanges);
  EXPECT_EQ(RegionOrder(source->HeadersReceived()), (std::vector<size_t>{0, 1, 4, 2, 5, 6, 3}));
  EXPECT_EQ(t.ui.Statuses(), std::vector<std::string>{"Reading codes"});
  EXPECT_EQ(Ranges(t.ui), std::vector<int32_t>{30801});
  EXPECT_EQ(Notices(t.ui), (std::vector<int>{ProgressShowStatus, ProgressSetRange}))
      << "the bar is not cleared after a good read";

  auto target = StartPanel({.model = "VYR 320", .firmware = "2.05", .seed = 23});
  // What follows each block in the target, where that is no other block.
  auto startsARegion = [](uint32_t address) {
    return std::any_of(LargePanelMap.begin(), LargePanelMap.end(),
                       [&](const TLargeRegion& r) { return r.PanelAddress == address; });
  };
  std::vector<Bytes> pastEnd;
  for (const TLargeRegion& region : LargePanelMap) pastEnd.push_back(target->ReadMemory(region.PanelAddress + region.Bytes, 16));
  Attach(t, *target);
  t.s.StatusText = "Ready";
  t.ui.Clear();
  ASSERT_TRUE(WriteLargePanel(t.s.Link, t.s.Large->Regions()));
  for (size_t r = 0; r < kLargeRegionCount; ++r) {
    SCOPED_TRACE("region " + std::to_string(r));
    const TLargeRegion& region = LargePanelMap[r];
    EXPECT_EQ(target->ReadMemory(region.PanelAddress, region.Bytes), source->ReadMemory(region.PanelAddress, region.Bytes));
    if (!startsARegion(region.PanelAddress + region.Bytes)) {
      EXPECT_EQ(target->ReadMemory(region.PanelAddress + region.Bytes, 16), pastEnd[r]);
    }
  }
  EXPECT_EQ(RegionOrder(target->HeadersReceived()), (std::vector<size_t>{1, 2, 4, 0, 5, 6, 3}));
  EXPECT_EQ(t.s.StatusText, "Ready") << "the write keeps the status line";
  EXPECT_EQ(Notices(t.ui), (std::vector<int>{ProgressSetRange, ProgressClear}));
  EXPECT_EQ(Ranges(t.ui), std::vector<int32_t>{18800});
  EXPECT_TRUE(t.ui.Boxes().empty());
  CloseComm(t.s.Link.PanelPort);
}

// ---------------------------------------------------------------- failures

TEST(TransferFailure, UsersReadStopsAtTheNamesBlock) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR8", .seed = 24});
  Attach(t, *panel);
  const TBlockMap m = t.s.Panel.BlockMap;
  UserTable users = t.s.Small->Users();
  for (size_t u = 0; u < kUserCount; ++u) users.User(u).SetName("old " + std::to_string(u));
  const int attrBlocks = (m.UserAttrLen + SmallBlockSize - 1) / SmallBlockSize;
  panel->SetFault({FaultKind::BadCheck, panel->ExchangeCount() + attrBlocks + 1});

  const TOutcome o = ReadUsers(t.s.Link, t.s.Panel, users);
  EXPECT_EQ(o.result, TResult::BadCheck);
  EXPECT_EQ(o.step, TStep::ReadUsers);
  EXPECT_EQ(o.address, m.UserNamesAddr) << "the names' first block";
  const Bytes attrs = panel->ReadMemory(m.UserAttrAddr, m.UserAttrLen);
  for (size_t u = 0; u < kUserCount; ++u) {
    for (size_t i = 0; i < kUserAttrSize; ++i) EXPECT_EQ(users.User(u).Attr(i), attrs[10 * u + i]);
    EXPECT_EQ(users.User(u).Name(), "old " + std::to_string(u));
  }
  EXPECT_EQ(panel->ExchangeCount(), attrBlocks + 1) << "nothing after the failed block";
  EXPECT_EQ(test::BoxFor(t.s, o), kReadError);
  EXPECT_TRUE(t.ui.Boxes().empty());
  ASSERT_NE(LastProgress(t.ui), nullptr);
  EXPECT_EQ(LastProgress(t.ui)->code, ProgressStep) << "the bar stays for the caller's box";
  CloseComm(t.s.Link.PanelPort);
}

TEST(TransferFailure, KeysWriteStopsAtTheKeyTable) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR32", .seed = 25});
  Attach(t, *panel);
  const TBlockMap m = t.s.Panel.BlockMap;
  SmallPanelImage& image = *t.s.Small;
  for (size_t i = 0; i < kKeyDataSize; ++i) image.KeyData()[i] = static_cast<uint8_t>(i * 7 + 3);
  for (size_t k = 0; k < kKeyCount; ++k) {
    image.Key(k).SetFlags(0x41);
    image.Key(k).SetValue(static_cast<uint8_t>(k));
    image.Key(k).SetName(k < 16 ? "key " + std::to_string(k) : "");
  }
  const Bytes tableBefore = panel->ReadMemory(m.KeyTableAddr, m.KeyTableLen);
  const Bytes namesBefore = panel->ReadMemory(m.KeyNamesAddr, m.KeyNamesLen);
  const int dataBlocks = (m.KeyDataLen + SmallBlockSize - 1) / SmallBlockSize;
  // The panel ignores the header of the key table's first block and stays
  // silent, so this waits out one echo limit. (A block whose check fails
  // is echoed before the panel drops it: only the read-back of a send
  // finds it.)
  panel->SetFault({FaultKind::NoEcho, panel->ExchangeCount() + dataBlocks + 1});

  TWriteRecord written;
  const TOutcome o = WriteKeys(t.s.Link, t.s.Panel, *t.s.Small, &written);
  EXPECT_EQ(o.result, TResult::NoEcho);
  EXPECT_TRUE(o.write);
  EXPECT_EQ(o.address, m.KeyTableAddr);
  EXPECT_EQ(written.Size(), m.KeyDataLen) << "only what the panel took is recorded";
  EXPECT_EQ(panel->ReadMemory(m.KeyDataAddr, m.KeyDataLen), ToBytes(image.KeyData()));
  EXPECT_EQ(panel->ReadMemory(m.KeyTableAddr, m.KeyTableLen), tableBefore);
  EXPECT_EQ(panel->ReadMemory(m.KeyNamesAddr, m.KeyNamesLen), namesBefore);
  EXPECT_EQ(panel->ExchangeCount(), dataBlocks + 1);
  EXPECT_EQ(test::BoxFor(t.s, o), "Warning: Error writing on serial port!");
  EXPECT_TRUE(t.ui.Boxes().empty());
  CloseComm(t.s.Link.PanelPort);
}

TEST(TransferFailure, LargeReadStopsAtTheSixthBlock) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR 320", .firmware = "2.05", .seed = 26});
  Attach(t, *panel);
  // The sixth block in read order is region 6; count the exchanges of the
  // five before it.
  const size_t firstFive[] = {0, 1, 4, 2, 5};
  int before = 0;
  for (size_t r : firstFive) before += static_cast<int>(LargeExchanges(LargePanelMap[r].Bytes));
  panel->SetFault({FaultKind::BadCheck, panel->ExchangeCount() + before + 1});

  const TOutcome o = ReadLargePanel(t.s.Link, t.s.Large->Regions());
  EXPECT_EQ(o.result, TResult::BadCheck);
  EXPECT_EQ(o.step, TStep::ReadLarge);
  EXPECT_EQ(o.address, LargePanelMap[6].PanelAddress);
  for (size_t r = 0; r < kLargeRegionCount; ++r) {
    SCOPED_TRACE("region " + std::to_string(r));
    const TLargeRegion& region = LargePanelMap[r];
    const std::span<uint8_t> got = t.s.Large->Region(r);
    const bool filled = std::find(std::begin(firstFive), std::end(firstFive), r) != std::end(firstFive);
    EXPECT_EQ(ToBytes(got), filled ? panel->ReadMemory(region.PanelAddress, region.Bytes) : Bytes(region.Bytes, 0xFF));
  }
  EXPECT_EQ(panel->ExchangeCount(), before + 1);
  EXPECT_EQ(test::BoxFor(t.s, o), kReadError);
  EXPECT_EQ(Notices(t.ui), (std::vector<int>{ProgressShowStatus, ProgressSetRange}))
      << "no clear after a failed large read";
  CloseComm(t.s.Link.PanelPort);
}

TEST(TransferFailure, LargeWriteShowsAnErrorBox) {
  TTestSession t;
  auto panel = StartPanel({.model = "VYR 320", .firmware = "2.05", .seed = 27});
  Attach(t, *panel);
  // Noise ahead of the first echo spoils it at once, without a time-out.
  panel->SetFault({FaultKind::NoiseBeforeEcho, panel->ExchangeCount() + 1});
  const TOutcome o = WriteLargePanel(t.s.Link, t.s.Large->Regions());
  EXPECT_EQ(o.result, TResult::BadEcho);
  EXPECT_TRUE(o.large);
  EXPECT_EQ(panel->ExchangeCount(), 1);
  EXPECT_EQ(test::BoxFor(t.s, o), "Error: Error writing on serial port!");
  EXPECT_EQ(Notices(t.ui), (std::vector<int>{ProgressSetRange}));
  CloseComm(t.s.Link.PanelPort);
}

}  // namespace
}  // namespace tarvex
