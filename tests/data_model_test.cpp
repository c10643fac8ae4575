#include "app/data_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "app/display_text.h"
#include "app/keyfile.h"
#include "app/languages.h"
#include "tests/support/scratch_dir.h"

namespace tarvex {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t UserAt(size_t u) { return kUserTableOffset + u * kUserEntrySize; }
constexpr size_t KeyAt(size_t k) { return kKeyTableOffset + k * kKeyEntrySize; }

// A small image as a panel read leaves it: user 0 the main user with code
// 1234, user 1 with code 5678, user 2 a main user without a code, user 3
// a plain user without a code; keys 0 to 2 named and in use, key 40 in
// use without a name, every other key empty. Bytes no read touches keep a
// pattern, so a test sees any stray write.
SmallPanelImage SampleImage() {
  SmallPanelImage img;
  auto bytes = img.Bytes();
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  SetImageModel(bytes, 24);
  SetImageFirmware(bytes, 2.10);
  SetImageDescription(bytes, "Shop front");
  for (size_t u = 0; u < kUserCount; ++u) {
    UserEntry e = img.User(u);
    e.SetName("");
    for (size_t i = 0; i < kUserAttrSize; ++i) e.SetAttr(i, static_cast<uint8_t>(u + i));
    e.SetAttr(0, 0);
    e.SetCode("FFFFFFFF");
  }
  img.User(0).SetName("ALICE");
  img.User(0).SetAttr(0, 1);
  img.User(0).SetCode("1234FFFF");
  img.User(1).SetName("BOB");
  img.User(1).SetCode("5678FFFF");
  img.User(2).SetName("CAROL");
  img.User(2).SetAttr(0, 1);
  img.User(3).SetName("D\xE9sir\xE9");  // Windows-1252 é
  for (size_t k = 0; k < kKeyCount; ++k) {
    KeyEntry e = img.Key(k);
    e.ClearName();
    e.SetValue(0);
    e.SetFlags(0);
    e.SetFlags23(0);
  }
  img.Key(0).SetName("FRONT DOOR");
  img.Key(0).SetValue(0x11);
  img.Key(1).SetName("GARAGE");
  img.Key(1).SetFlags(0xC3);
  img.Key(2).SetName("CARD 3");
  img.Key(2).SetFlags23(0x0C);
  img.Key(40).SetValue(0x05);
  return img;
}

Bytes ImageBytes(const SmallPanelImage& img) { return Bytes(img.Bytes().begin(), img.Bytes().end()); }

Bytes ModelBytes(const TDataModel& m) { return Bytes(m.Image().begin(), m.Image().end()); }

// The offsets where two images differ.
std::vector<size_t> Differences(const Bytes& a, const Bytes& b) {
  std::vector<size_t> out;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    if (a[i] != b[i]) out.push_back(i);
  return out;
}

// Expects the images to differ exactly in [from, to) (or a part of it).
void ExpectOnlyWithin(const Bytes& before, const Bytes& after, size_t from, size_t to) {
  ASSERT_EQ(before.size(), after.size());
  for (size_t at : Differences(before, after)) EXPECT_TRUE(at >= from && at < to) << "stray change at offset " << at;
}

struct DataModelTest : ::testing::Test {
  DataModelTest() {
    original = ImageBytes(SampleImage());
    EXPECT_TRUE(model.LoadCopy(original));
  }
  Bytes original;
  TDataModel model;
};

// ---- rows ----

TEST_F(DataModelTest, UsersAreDecodedWithoutTheirDigits) {
  ASSERT_EQ(model.UserCount(), 24u);
  const TUserRow alice = model.User(0);
  EXPECT_EQ(alice.Number, 0u);
  EXPECT_EQ(alice.Name, "ALICE");
  EXPECT_TRUE(alice.Main);
  EXPECT_TRUE(alice.HasCode);
  EXPECT_EQ(alice.CodeLength, 4u);
  EXPECT_FALSE(alice.DuplicateCode);
  EXPECT_EQ(alice.Attributes[0], 1);
  EXPECT_EQ(alice.Attributes[9], 9);

  const TUserRow carol = model.User(2);
  EXPECT_TRUE(carol.Main);
  EXPECT_FALSE(carol.HasCode);
  EXPECT_EQ(carol.CodeLength, 0u);
  EXPECT_EQ(model.User(3).Name, "D\u00e9sir\u00e9");
  EXPECT_FALSE(model.User(1).Main);
  EXPECT_EQ(model.User(23).Number, 23u);
  EXPECT_EQ(AttributesText(model.User(5).Attributes), "00 06 07 08 09 0A 0B 0C 0D 0E");
}

TEST_F(DataModelTest, CodesAreStarsUnlessRevealed) {
  EXPECT_EQ(model.CodeText(0, false), "****");
  EXPECT_EQ(model.CodeText(0, true), "1234");
  EXPECT_EQ(model.CodeText(1, true), "5678");
  EXPECT_EQ(model.CodeText(2, false), "");
  EXPECT_EQ(model.CodeText(2, true), "");
  EXPECT_EQ(model.CodeText(24, true), "");
}

TEST_F(DataModelTest, KeysAreDecodedAndMarkedInUse) {
  ASSERT_EQ(model.KeyCount(), 128u);
  const TKeyRow front = model.Key(0);
  EXPECT_EQ(front.Name, "FRONT DOOR");
  EXPECT_EQ(front.Value, 0x11);
  EXPECT_TRUE(front.InUse);
  EXPECT_TRUE(front.Nameable);
  EXPECT_EQ(model.Key(1).Flags, 0xC3);
  EXPECT_EQ(model.Key(2).Flags23, 0x0C);
  EXPECT_TRUE(model.Key(40).InUse);
  EXPECT_FALSE(model.Key(40).Nameable);
  EXPECT_FALSE(model.Key(3).InUse);
  EXPECT_TRUE(model.Key(15).Nameable);
  EXPECT_FALSE(model.Key(16).Nameable);
  size_t inUse = 0;
  for (size_t k = 0; k < model.KeyCount(); ++k) inUse += model.Key(k).InUse ? 1 : 0;
  EXPECT_EQ(inUse, 4u);
  EXPECT_EQ(ByteText(0xC3), "0xC3");
}

TEST_F(DataModelTest, HeaderFields) {
  const TImageHeader h = model.Header();
  EXPECT_EQ(h.Model, 24);
  EXPECT_EQ(h.ModelName, "VYR8");
  ASSERT_TRUE(h.Firmware.has_value());
  EXPECT_DOUBLE_EQ(*h.Firmware, 2.10);
  EXPECT_EQ(h.Description, "Shop front");
}

TEST(DataModelEmpty, NoImageOffersNothing) {
  TDataModel m;
  EXPECT_FALSE(m.HasImage());
  EXPECT_FALSE(m.Editable());
  EXPECT_EQ(m.UserCount(), 0u);
  EXPECT_EQ(m.SetUserName(0, "X"), TEditRefusal::ReadOnly);
  const Bytes wrong(kSmallImageSize - 1, 0);
  EXPECT_FALSE(m.LoadCopy(wrong));
  EXPECT_EQ(m.Layout(), TDataLayout::None);
  EXPECT_TRUE(m.Image().empty());
}

// ---- names ----

TEST_F(DataModelTest, RenamingAUserWritesOnlyTheNameField) {
  EXPECT_EQ(model.SetUserName(1, "ROBERT"), TEditRefusal::None);
  EXPECT_EQ(model.User(1).Name, "ROBERT");
  const Bytes after = ModelBytes(model);
  EXPECT_EQ(after[UserAt(1) + kUserNameOffset], 6);
  EXPECT_EQ(std::memcmp(&after[UserAt(1) + kUserNameOffset + 1], "ROBERT", 6), 0);
  ExpectOnlyWithin(original, after, UserAt(1) + kUserNameOffset, UserAt(1) + kUserNameOffset + 17);
  EXPECT_TRUE(model.IsModified());
}

TEST_F(DataModelTest, NamesAreStoredInThePanelsCharacterSet) {
  // é is one byte for the panel, € is 0x80: 16 characters even though the
  // UTF-8 text is longer.
  EXPECT_EQ(model.SetUserName(4, "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u20ac"),
            TEditRefusal::None);
  const Bytes after = ModelBytes(model);
  EXPECT_EQ(after[UserAt(4) + 1], 16);
  EXPECT_EQ(after[UserAt(4) + 2], 0xE9);
  EXPECT_EQ(after[UserAt(4) + 17], 0x80);
  EXPECT_EQ(model.User(4).Name.size(), 15u * 2 + 3);
}

TEST_F(DataModelTest, EveryNameRuleHasItsOwnRefusal) {
  struct Case {
    std::string name;
    TEditRefusal why;
  } cases[] = {
      {"ABCDEFGHIJKLMNOPQ", TEditRefusal::NameTooLong},
      {"\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9", TEditRefusal::NameTooLong},
      {"TAB\tNAME", TEditRefusal::NameControlCharacter},
      {std::string("NUL\0X", 5), TEditRefusal::NameControlCharacter},
      {"DEL\x7F", TEditRefusal::NameControlCharacter},
      {"NEL\u0085", TEditRefusal::NameControlCharacter},
      {"ESC\x1B[2J", TEditRefusal::NameControlCharacter},
      {" LEADING", TEditRefusal::NameOuterSpace},
      {"TRAILING ", TEditRefusal::NameOuterSpace},
      {" ", TEditRefusal::NameOuterSpace},
      {"OMEGA \u03a9", TEditRefusal::NameNotInCharacterSet},
      {"SNOW \u2603", TEditRefusal::NameNotInCharacterSet},
      {"BAD \xFF UTF8", TEditRefusal::NameNotInCharacterSet},
      {"CUT \xC3", TEditRefusal::NameNotInCharacterSet},
      {"OVERLONG \xC0\xAF", TEditRefusal::NameNotInCharacterSet},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckName(c.name), c.why) << c.name;
    EXPECT_EQ(model.SetUserName(1, c.name), c.why) << c.name;
    EXPECT_EQ(model.SetKeyName(0, c.name), c.why) << c.name;
  }
  // Refused edits leave nothing behind.
  EXPECT_EQ(ModelBytes(model), original);
  EXPECT_FALSE(model.CanUndo());
  EXPECT_FALSE(model.IsModified());
  // The limits themselves are accepted.
  EXPECT_EQ(CheckName("ABCDEFGHIJKLMNOP"), TEditRefusal::None);
  EXPECT_EQ(CheckName(""), TEditRefusal::None);
  EXPECT_EQ(CheckName("A B"), TEditRefusal::None);
}

TEST_F(DataModelTest, KeyNamesOnlyForKeysZeroToFifteen) {
  EXPECT_EQ(model.SetKeyName(15, "BACK DOOR"), TEditRefusal::None);
  EXPECT_EQ(model.Key(15).Name, "BACK DOOR");
  ExpectOnlyWithin(original, ModelBytes(model), KeyAt(15) + 1, KeyAt(15) + 18);
  const Bytes before = ModelBytes(model);
  EXPECT_EQ(model.SetKeyName(16, "X"), TEditRefusal::KeyHasNoName);
  EXPECT_EQ(model.SetKeyName(128, "X"), TEditRefusal::NoSuchRow);
  EXPECT_EQ(model.SetUserName(24, "X"), TEditRefusal::NoSuchRow);
  EXPECT_EQ(model.SetUserCode(24, "1"), TEditRefusal::NoSuchRow);
  EXPECT_EQ(model.ClearUser(24), TEditRefusal::NoSuchRow);
  EXPECT_EQ(ModelBytes(model), before);
}

// ---- codes ----

TEST_F(DataModelTest, CodesAreStoredAsDigitsThenF) {
  EXPECT_EQ(model.SetUserCode(3, "987654"), TEditRefusal::None);
  const Bytes after = ModelBytes(model);
  const size_t code = UserAt(3) + kUserCodeOffset;
  EXPECT_EQ(after[code], 8);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&after[code + 1]), 8), "987654FF");
  ExpectOnlyWithin(original, after, code, code + 9);
  EXPECT_EQ(model.CodeText(3, true), "987654");

  EXPECT_EQ(model.SetUserCode(3, "7"), TEditRefusal::None);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&ModelBytes(model)[code + 1]), 8), "7FFFFFFF");
}

TEST_F(DataModelTest, AnEmptyCodeRemovesIt) {
  EXPECT_EQ(model.SetUserCode(1, ""), TEditRefusal::None);
  const Bytes after = ModelBytes(model);
  const size_t code = UserAt(1) + kUserCodeOffset;
  EXPECT_EQ(after[code], 8);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&after[code + 1]), 8), "FFFFFFFF");
  EXPECT_FALSE(model.User(1).HasCode);
  EXPECT_EQ(model.User(1).Name, "BOB");
}

TEST_F(DataModelTest, CodesOutsideTheRulesAreRefused) {
  for (const std::string bad : {"1234567", "12a4", "-1", "12 3", "\xEF\xBC\x91", "0x12", "FFFF"}) {
    EXPECT_EQ(CheckCode(bad), TEditRefusal::CodeNotDigits) << bad;
    EXPECT_EQ(model.SetUserCode(1, bad), TEditRefusal::CodeNotDigits) << bad;
  }
  EXPECT_EQ(ModelBytes(model), original);
  EXPECT_EQ(CheckCode("000000"), TEditRefusal::None);
  EXPECT_EQ(CheckCode(""), TEditRefusal::None);
}

TEST_F(DataModelTest, ClearingAUserEmptiesNameAndCodeOnly) {
  EXPECT_EQ(model.ClearUser(1), TEditRefusal::None);
  const TUserRow bob = model.User(1);
  EXPECT_EQ(bob.Name, "");
  EXPECT_FALSE(bob.HasCode);
  const Bytes after = ModelBytes(model);
  EXPECT_EQ(after[UserAt(1) + kUserNameOffset], 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&after[UserAt(1) + kUserCodeOffset + 1]), 8), "FFFFFFFF");
  // Attributes and the byte before the name stay as they were.
  for (size_t at : Differences(original, after)) {
    const bool inName = at == UserAt(1) + kUserNameOffset;
    const bool inCode = at >= UserAt(1) + kUserCodeOffset && at < UserAt(1) + kUserEntrySize;
    EXPECT_TRUE(inName || inCode) << at;
  }
}

// ---- the main user ----

TEST_F(DataModelTest, TheLastMainUserCodeCannotBeTakenAway) {
  EXPECT_EQ(model.SetUserCode(0, ""), TEditRefusal::NoMainUserCode);
  EXPECT_EQ(model.ClearUser(0), TEditRefusal::NoMainUserCode);
  EXPECT_EQ(ModelBytes(model), original);
  EXPECT_FALSE(model.CanUndo());
  // Another code for the same main user is fine, and so is a name.
  EXPECT_EQ(model.SetUserCode(0, "4321"), TEditRefusal::None);
  EXPECT_EQ(model.SetUserName(0, "ALICIA"), TEditRefusal::None);
}

TEST_F(DataModelTest, AnotherMainUserWithACodeLetsTheFirstGo) {
  EXPECT_EQ(model.SetUserCode(2, "2468"), TEditRefusal::None);
  EXPECT_EQ(model.ClearUser(0), TEditRefusal::None);
  EXPECT_EQ(model.SetUserCode(2, ""), TEditRefusal::NoMainUserCode);
  // Undoing brings the first one's code back, and the rule follows.
  ASSERT_TRUE(model.Undo());
  EXPECT_EQ(model.SetUserCode(2, ""), TEditRefusal::None);
}

TEST_F(DataModelTest, SeveralEditsAreAllOrNone) {
  size_t failedAt = 99;
  // The main user's code moves from user 0 to user 2 in one step.
  EXPECT_EQ(model.Apply({{TDataEdit::TKind::ClearUser, 0, {}}, {TDataEdit::TKind::UserCode, 2, "1357"}}, &failedAt),
            TEditRefusal::None);
  EXPECT_EQ(failedAt, 2u);
  EXPECT_FALSE(model.User(0).HasCode);
  EXPECT_EQ(model.CodeText(2, true), "1357");
  ASSERT_TRUE(model.Undo());
  EXPECT_EQ(ModelBytes(model), original);
  EXPECT_FALSE(model.CanUndo());

  // A bad second edit: the first is not made either.
  EXPECT_EQ(model.Apply({{TDataEdit::TKind::UserName, 1, "ROBERT"}, {TDataEdit::TKind::KeyName, 3, " X"}}, &failedAt),
            TEditRefusal::NameOuterSpace);
  EXPECT_EQ(failedAt, 1u);
  EXPECT_EQ(ModelBytes(model), original);
  // The main-user rule on the result names no single edit.
  EXPECT_EQ(model.Apply({{TDataEdit::TKind::UserName, 1, "ROBERT"}, {TDataEdit::TKind::UserCode, 0, ""}}, &failedAt),
            TEditRefusal::NoMainUserCode);
  EXPECT_EQ(failedAt, 2u);
  EXPECT_EQ(ModelBytes(model), original);
}

TEST(DataModelGuard, AnImageWithoutAMainUserCodeCanStillBeCorrected) {
  SmallPanelImage img = SampleImage();
  img.User(0).SetCode("FFFFFFFF");
  TDataModel m;
  m.AttachSmall(img.Bytes());
  EXPECT_EQ(m.SetUserName(1, "ROBERT"), TEditRefusal::None);
  EXPECT_EQ(m.SetUserCode(1, ""), TEditRefusal::None);
}

// ---- duplicate codes ----

TEST_F(DataModelTest, UsersSharingACodeAreMarkedOnBothRows) {
  EXPECT_EQ(model.SetUserCode(3, "5678"), TEditRefusal::None);
  EXPECT_TRUE(model.User(1).DuplicateCode);
  EXPECT_TRUE(model.User(3).DuplicateCode);
  EXPECT_FALSE(model.User(0).DuplicateCode);
  // Users without a code are never duplicates of each other.
  EXPECT_FALSE(model.User(2).DuplicateCode);
  EXPECT_FALSE(model.User(4).DuplicateCode);
  // A longer code starting with the same digits is another code.
  EXPECT_EQ(model.SetUserCode(3, "56789"), TEditRefusal::None);
  EXPECT_FALSE(model.User(1).DuplicateCode);
  EXPECT_FALSE(model.User(3).DuplicateCode);
}

// ---- undo and redo ----

TEST_F(DataModelTest, UndoAndRedoWalkTheEditsBothWays) {
  EXPECT_FALSE(model.Undo());
  EXPECT_FALSE(model.Redo());
  ASSERT_EQ(model.SetUserName(1, "ROBERT"), TEditRefusal::None);
  const Bytes one = ModelBytes(model);
  ASSERT_EQ(model.SetUserCode(1, "1111"), TEditRefusal::None);
  const Bytes two = ModelBytes(model);
  ASSERT_EQ(model.SetKeyName(1, "SHED"), TEditRefusal::None);
  const Bytes three = ModelBytes(model);

  ASSERT_TRUE(model.Undo());
  EXPECT_EQ(ModelBytes(model), two);
  EXPECT_EQ(model.Key(1).Name, "GARAGE");
  ASSERT_TRUE(model.Undo());
  EXPECT_EQ(ModelBytes(model), one);
  EXPECT_EQ(model.CodeText(1, true), "5678");
  EXPECT_TRUE(model.CanRedo());
  ASSERT_TRUE(model.Redo());
  EXPECT_EQ(ModelBytes(model), two);
  ASSERT_TRUE(model.Redo());
  EXPECT_EQ(ModelBytes(model), three);
  EXPECT_FALSE(model.Redo());

  ASSERT_TRUE(model.Undo());
  ASSERT_TRUE(model.Undo());
  ASSERT_TRUE(model.Undo());
  EXPECT_FALSE(model.Undo());
  EXPECT_EQ(ModelBytes(model), original);

  // A new edit drops what could have been redone.
  ASSERT_TRUE(model.Redo());
  ASSERT_EQ(model.SetUserName(2, "CAROLINE"), TEditRefusal::None);
  EXPECT_FALSE(model.CanRedo());
  ASSERT_TRUE(model.Undo());
  EXPECT_EQ(ModelBytes(model), one);
}

TEST_F(DataModelTest, TheSameNameAgainIsNoStep) {
  EXPECT_EQ(model.SetUserName(0, "ALICE"), TEditRefusal::None);
  EXPECT_FALSE(model.CanUndo());
  EXPECT_FALSE(model.IsModified());
}

TEST_F(DataModelTest, ModifiedFollowsTheLastSave) {
  const uint64_t r0 = model.Revision();
  EXPECT_FALSE(model.IsModified());
  ASSERT_EQ(model.SetUserName(1, "ROBERT"), TEditRefusal::None);
  EXPECT_TRUE(model.IsModified());
  EXPECT_GT(model.Revision(), r0);
  ASSERT_TRUE(model.Undo());
  EXPECT_FALSE(model.IsModified());
  ASSERT_TRUE(model.Redo());
  EXPECT_TRUE(model.IsModified());
  model.MarkSaved();
  EXPECT_FALSE(model.IsModified());
  ASSERT_TRUE(model.Undo());
  EXPECT_TRUE(model.IsModified());  // differs from what was saved
  ASSERT_TRUE(model.Redo());
  EXPECT_FALSE(model.IsModified());
  // A fresh image is unmodified and has no history.
  ASSERT_EQ(model.SetUserName(1, "BOBBY"), TEditRefusal::None);
  ASSERT_TRUE(model.LoadCopy(original));
  EXPECT_FALSE(model.IsModified());
  EXPECT_FALSE(model.CanUndo());
}

// ---- in place ----

TEST(DataModelAttached, EditsReachTheAttachedImage) {
  SmallPanelImage img = SampleImage();
  TDataModel m;
  m.AttachSmall(img.Bytes());
  ASSERT_EQ(m.SetUserName(1, "ROBERT"), TEditRefusal::None);
  ASSERT_EQ(m.SetUserCode(1, "24680"), TEditRefusal::None);
  EXPECT_EQ(img.User(1).Name(), "ROBERT");
  EXPECT_EQ(img.User(1).Code(), "24680FFF");
  ASSERT_TRUE(m.Undo());
  EXPECT_EQ(img.User(1).Code(), "5678FFFF");
  // Bits a send clears in the attributes are not an edit of the user's.
  ASSERT_TRUE(m.Undo());
  img.User(5).SetAttr(1, 0x00);
  EXPECT_FALSE(m.IsModified());
}

// ---- the large image ----

TEST(DataModelLarge, ReadOnlyWithRecordsInUsePerRegion) {
  LargePanelImage img;
  auto bytes = img.Bytes();
  SetImageModel(bytes, 6);
  SetImageDescription(bytes, "Warehouse");
  // Region 0 (6-byte records): records 0 and 199, the last byte of each.
  img.Region(0)[5] = 0x00;
  img.Region(0)[199 * 6 + 5] = 0x12;
  // Region 1 (88-byte records): record 3, one byte in its middle.
  img.Region(1)[3 * 88 + 40] = 0xFE;
  // Region 5 is one record of 2000 bytes.
  img.Region(5)[1999] = 0x00;
  // Region 6 (24-byte records): every record.
  for (size_t i = 0; i < 500; ++i) img.Region(6)[i * 24] = 0;
  // A byte past region 0's block is not one of its records.
  bytes[kLargeRegionsOffset + LargePanelMap[0].Bytes] = 0x00;

  TDataModel m;
  m.AttachLarge(img.Bytes());
  EXPECT_EQ(m.Layout(), TDataLayout::Large);
  EXPECT_FALSE(m.Editable());
  EXPECT_EQ(m.UserCount(), 0u);
  EXPECT_EQ(m.KeyCount(), 0u);
  EXPECT_EQ(m.Header().ModelName, "VYR 320");
  EXPECT_EQ(m.Header().Description, "Warehouse");
  EXPECT_FALSE(m.Header().Firmware.has_value());
  const auto regions = m.Regions();
  ASSERT_EQ(regions.size(), 7u);
  const uint32_t inUse[7] = {2, 1, 0, 0, 0, 1, 500};
  const uint32_t size[7] = {6, 88, 8, 4, 4, 2000, 24};
  const uint32_t count[7] = {200, 200, 200, 500, 200, 1, 500};
  for (size_t r = 0; r < 7; ++r) {
    EXPECT_EQ(regions[r].Region, r);
    EXPECT_EQ(regions[r].RecordsInUse, inUse[r]) << r;
    EXPECT_EQ(regions[r].RecordSize, size[r]) << r;
    EXPECT_EQ(regions[r].RecordCount, count[r]) << r;
    EXPECT_EQ(regions[r].RecordSize * regions[r].RecordCount, regions[r].Bytes) << r;
    EXPECT_EQ(regions[r].PanelAddress, LargePanelMap[r].PanelAddress);
  }
  const Bytes before(img.Bytes().begin(), img.Bytes().end());
  EXPECT_EQ(m.SetUserName(0, "X"), TEditRefusal::ReadOnly);
  EXPECT_EQ(m.ClearUser(0), TEditRefusal::ReadOnly);
  EXPECT_EQ(m.SetKeyName(0, "X"), TEditRefusal::ReadOnly);
  EXPECT_EQ(Bytes(img.Bytes().begin(), img.Bytes().end()), before);
  EXPECT_FALSE(m.Undo());
}

// ---- through a file ----

TEST_F(DataModelTest, EditsSurviveSaveAndLoadAndNothingElseMoves) {
  ASSERT_EQ(model.SetUserName(1, "ROBERT"), TEditRefusal::None);
  ASSERT_EQ(model.SetUserCode(3, "902211"), TEditRefusal::None);
  ASSERT_EQ(model.ClearUser(2), TEditRefusal::None);
  ASSERT_EQ(model.SetKeyName(0, "PORTE \u20ac"), TEditRefusal::None);
  ASSERT_EQ(model.SetUserName(0, "AL"), TEditRefusal::None);

  test::TScratchDir dir("tarvex-datamodel");
  ASSERT_TRUE(dir.Ok());
  const std::string path = dir.Path() + "/edited.tvx";
  std::string error;
  ASSERT_TRUE(WriteKeyCodeFile(model.Image(), path, &error)) << error;
  Bytes loaded;
  ASSERT_TRUE(DecodeKeyCodeFile(path, &loaded, &error)) << error;
  EXPECT_EQ(loaded, ModelBytes(model));

  TDataModel again;
  ASSERT_TRUE(again.LoadCopy(loaded));
  for (size_t u = 0; u < kUserCount; ++u) {
    EXPECT_EQ(again.User(u).Name, model.User(u).Name) << u;
    EXPECT_EQ(again.CodeText(u, true), model.CodeText(u, true)) << u;
    EXPECT_EQ(again.User(u).Main, model.User(u).Main) << u;
    EXPECT_EQ(again.User(u).Attributes, model.User(u).Attributes) << u;
  }
  for (size_t k = 0; k < kKeyCount; ++k) {
    EXPECT_EQ(again.Key(k).Name, model.Key(k).Name) << k;
    EXPECT_EQ(again.Key(k).Value, model.Key(k).Value) << k;
  }
  EXPECT_EQ(again.User(1).Name, "ROBERT");
  EXPECT_EQ(again.CodeText(3, true), "902211");
  EXPECT_EQ(again.User(2).Name, "");
  EXPECT_EQ(again.Key(0).Name, "PORTE \u20ac");
  EXPECT_EQ(again.User(0).Name, "AL");

  // Every byte outside the edited fields is the original's.
  std::set<size_t> edited;
  auto field = [&](size_t from, size_t n) {
    for (size_t i = 0; i < n; ++i) edited.insert(from + i);
  };
  field(UserAt(1) + kUserNameOffset, 17);
  field(UserAt(3) + kUserCodeOffset, 9);
  field(UserAt(2) + kUserNameOffset, 17);
  field(UserAt(2) + kUserCodeOffset, 9);
  field(KeyAt(0) + kKeyNameOffset, 17);
  field(UserAt(0) + kUserNameOffset, 17);
  ASSERT_EQ(loaded.size(), original.size());
  for (size_t i = 0; i < loaded.size(); ++i)
    if (!edited.count(i)) {
      EXPECT_EQ(loaded[i], original[i]) << "offset " << i;
    }
  // A shorter name leaves the old characters after its length byte.
  EXPECT_EQ(loaded[UserAt(0) + kUserNameOffset], 2);
  EXPECT_EQ(loaded[UserAt(0) + kUserNameOffset + 3], 'I');
}

// ---- texts ----

TEST(DataTexts, EveryRefusalHasItsOwnTextInEachLanguage) {
  const TEditRefusal all[] = {TEditRefusal::NameTooLong,  TEditRefusal::NameControlCharacter,
                              TEditRefusal::NameOuterSpace, TEditRefusal::NameNotInCharacterSet,
                              TEditRefusal::CodeNotDigits, TEditRefusal::NoMainUserCode,
                              TEditRefusal::KeyHasNoName,  TEditRefusal::ReadOnly,
                              TEditRefusal::NoSuchRow};
  std::set<std::string> everyText;
  for (TLanguage lang : {TLanguage::English, TLanguage::Italian, TLanguage::French}) {
    const TDataTexts t = DataTexts(lang);
    EXPECT_EQ(RefusalText(t, TEditRefusal::None), "");
    std::set<std::string> texts;
    for (TEditRefusal r : all) {
      const std::string text = RefusalText(t, r);
      EXPECT_FALSE(text.empty());
      texts.insert(text);
      everyText.insert(text);
    }
    EXPECT_EQ(texts.size(), std::size(all));
  }
  EXPECT_EQ(everyText.size(), 3 * std::size(all));
}

TEST(DataTexts, MainUserGuardInThreeLanguages) {
  EXPECT_EQ(RefusalText(DataTexts(TLanguage::English), TEditRefusal::NoMainUserCode),
            "No main user would have a code: the panel could not be opened again with this tool.");
  EXPECT_EQ(RefusalText(DataTexts(TLanguage::Italian), TEditRefusal::NoMainUserCode),
            "Nessun utente principale avrebbe un codice: la centrale non si potrebbe più aprire con questo programma.");
  EXPECT_EQ(RefusalText(DataTexts(TLanguage::French), TEditRefusal::NoMainUserCode),
            "Aucun utilisateur principal n'aurait de code : la centrale ne pourrait plus être ouverte avec ce "
            "programme.");
}

TEST(DataTexts, WindowTextsAndTheQuestion) {
  EXPECT_EQ(DataTexts(TLanguage::English).ShowData, "Show data");
  EXPECT_EQ(DataTexts(TLanguage::Italian).ShowData, "Mostra dati");
  EXPECT_EQ(DataTexts(TLanguage::French).ShowData, "Voir les données");
  EXPECT_EQ(DataTexts(TLanguage::English).ShowCodes, "Show codes");
  EXPECT_EQ(DataTexts(TLanguage::Italian).ShowCodes, "Mostra codici");
  EXPECT_EQ(DataTexts(TLanguage::French).ShowCodes, "Afficher les codes");
  const TDataTexts en = DataTexts(TLanguage::English);
  EXPECT_EQ(SaveChangesQuestion(en, "shop.tvx"), "Save the changes to shop.tvx?");
  EXPECT_EQ(SaveChangesQuestion(DataTexts(TLanguage::Italian), "shop.tvx"), "Salvare le modifiche a shop.tvx?");
  EXPECT_EQ(DataWindowTitle(en, "shop.tvx", false), "shop.tvx - Data");
  EXPECT_EQ(DataWindowTitle(en, "shop.tvx", true), "*shop.tvx - Data");
  EXPECT_EQ(DataWindowTitle(en, "", false), "Data");
  // A source holding "%s" is shown as it is.
  EXPECT_EQ(SaveChangesQuestion(en, "a%sb"), "Save the changes to a%sb?");
  for (TLanguage lang : {TLanguage::English, TLanguage::Italian, TLanguage::French}) {
    const TDataTexts t = DataTexts(lang);
    for (const std::string* s : {&t.ColNumber, &t.ColName, &t.ColMain, &t.ColCode, &t.ColValue, &t.ColFlags,
                                 &t.ColInUse, &t.SaveAnswer, &t.DontSaveAnswer, &t.CancelAnswer, &t.UndoButton,
                                 &t.RedoButton, &t.DuplicateCode})
      EXPECT_FALSE(s->empty());
    EXPECT_NE(t.SaveChangesQuestion.find("%s"), std::string::npos);
  }
}

// ---- the panel's character set ----

TEST(PanelText, Utf8ToCp1252IsTheInverseOfTheScreensConversion) {
  for (int b = 0x20; b <= 0xFF; ++b) {
    if (b == 0x7F || b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D) continue;
    const std::string one(1, static_cast<char>(b));
    std::string back;
    ASSERT_EQ(Utf8ToCp1252(Cp1252ToUtf8(one), &back), TPanelTextResult::Ok) << b;
    EXPECT_EQ(back, one) << b;
  }
  std::string out = "untouched";
  EXPECT_EQ(Utf8ToCp1252("\xED\xA0\x80", &out), TPanelTextResult::NotUtf8);  // a surrogate
  EXPECT_EQ(Utf8ToCp1252("\u0394\t", &out), TPanelTextResult::Control);
  EXPECT_EQ(out, "untouched");
}

}  // namespace
}  // namespace tarvex
