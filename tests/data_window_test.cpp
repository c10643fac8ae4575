// The data window's model: what each table shows, which cells take an
// edit, what an edit does to the image's bytes and what a refused one
// says, undo and redo, the warnings, the title and the tick boxes.
#include "app/data_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "protocol/panel_image.h"

namespace tarvex {
namespace {

// A small image as a panel would hold it: user 0 the main user with code
// 1234, users 1 and 2 sharing 5678, the rest empty; key 3 named and in
// use, key 40 in use without a name, the rest empty.
SmallPanelImage SampleSmall() {
  SmallPanelImage img;
  SetImageModel(img.Bytes(), 24);  // VYR8
  SetImageFirmware(img.Bytes(), 2.31);
  SetImageDescription(img.Bytes(), "VYR8 v.2.31");
  for (size_t u = 0; u < kUserCount; ++u) {
    UserEntry e = img.User(u);
    e.SetName("");
    e.SetCode("FFFFFFFF");
    for (size_t i = 0; i < kUserAttrSize; ++i) e.SetAttr(i, 0);
  }
  img.User(0).SetName("Mario Rossi");
  img.User(0).SetCode("1234FFFF");
  img.User(0).SetAttr(0, 1);
  img.User(1).SetName("Anna");
  img.User(1).SetCode("5678FFFF");
  img.User(2).SetName("Luca");
  img.User(2).SetCode("5678FFFF");
  for (size_t k = 0; k < kKeyCount; ++k) {
    KeyEntry e = img.Key(k);
    e.SetName("");
    e.SetValue(0);
    e.SetFlags(0);
    e.SetFlags23(0);
  }
  img.Key(3).SetName("Porta");
  img.Key(3).SetValue(0x12);
  img.Key(3).SetFlags(0x41);
  img.Key(3).SetFlags23(0x04);
  img.Key(40).SetValue(0x05);
  return img;
}

class DataWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data.AttachSmall(img.Bytes());
    data.SetSource("site.tvx");
    win.Opened();
  }
  std::vector<uint8_t> Bytes() const { return {img.Bytes().begin(), img.Bytes().end()}; }

  SmallPanelImage img = SampleSmall();
  TDataModel data;
  TDataWindowModel win{data};
};

using T = TDataTable;

TEST_F(DataWindowTest, UsersTableShowsNumberNameMainAndCodeAsStars) {
  ASSERT_EQ(win.Tables(), (std::vector<TDataTable>{T::Users, T::Keys}));
  ASSERT_EQ(win.ColumnCount(T::Users), 4u);
  EXPECT_EQ(win.ColumnHeader(T::Users, UserColNumber), "#");
  EXPECT_EQ(win.ColumnHeader(T::Users, UserColName), "Name");
  EXPECT_EQ(win.ColumnHeader(T::Users, UserColMain), "Main");
  EXPECT_EQ(win.ColumnHeader(T::Users, UserColCode), "Code");
  EXPECT_EQ(win.TableHeading(T::Users), "Users");
  ASSERT_EQ(win.RowCount(T::Users), 24u);
  EXPECT_EQ(win.CellText(T::Users, 0, UserColNumber), "0");
  EXPECT_EQ(win.CellText(T::Users, 0, UserColName), "Mario Rossi");
  EXPECT_EQ(win.CellText(T::Users, 0, UserColMain), "yes");
  EXPECT_EQ(win.CellText(T::Users, 1, UserColMain), "no");
  EXPECT_EQ(win.CellText(T::Users, 0, UserColCode), "****");
  EXPECT_EQ(win.CellText(T::Users, 5, UserColCode), "");
  EXPECT_EQ(win.CellText(T::Users, 23, UserColNumber), "23");
  EXPECT_EQ(win.CellText(T::Users, 24, UserColName), "");
  // No cell holds the digits while codes are hidden.
  for (size_t r = 0; r < win.RowCount(T::Users); ++r)
    for (size_t c = 0; c < win.ColumnCount(T::Users); ++c) {
      EXPECT_EQ(win.CellText(T::Users, r, c).find("1234"), std::string::npos);
      EXPECT_EQ(win.CellText(T::Users, r, c).find("5678"), std::string::npos);
    }
}

TEST_F(DataWindowTest, ShowCodesRevealsDigitsAndStartsUntickedAtEveryOpening) {
  EXPECT_FALSE(win.CodesShown());
  const uint64_t before = win.Revision();
  win.SetCodesShown(true);
  EXPECT_GT(win.Revision(), before);
  EXPECT_EQ(win.CellText(T::Users, 0, UserColCode), "1234");
  EXPECT_EQ(win.EditText(T::Users, 0, UserColCode), "1234");
  win.Opened();
  EXPECT_FALSE(win.CodesShown());
  EXPECT_EQ(win.CellText(T::Users, 0, UserColCode), "****");
  EXPECT_EQ(win.EditText(T::Users, 0, UserColCode), "");
}

TEST_F(DataWindowTest, KeysNotInUseAreHiddenUntilAsked) {
  ASSERT_EQ(win.ColumnCount(T::Keys), 5u);
  EXPECT_EQ(win.ColumnHeader(T::Keys, KeyColValue), "Value");
  EXPECT_EQ(win.ColumnHeader(T::Keys, KeyColFlags), "Flags");
  EXPECT_EQ(win.ColumnHeader(T::Keys, KeyColInUse), "In use");
  ASSERT_EQ(win.RowCount(T::Keys), 2u);
  EXPECT_EQ(win.RowNumber(T::Keys, 0), 3u);
  EXPECT_EQ(win.RowNumber(T::Keys, 1), 40u);
  EXPECT_EQ(win.CellText(T::Keys, 0, KeyColNumber), "3");
  EXPECT_EQ(win.CellText(T::Keys, 0, KeyColName), "Porta");
  EXPECT_EQ(win.CellText(T::Keys, 0, KeyColValue), "0x12");
  EXPECT_EQ(win.CellText(T::Keys, 0, KeyColFlags), "0x41 0x04");
  EXPECT_EQ(win.CellText(T::Keys, 0, KeyColInUse), "yes");
  EXPECT_EQ(win.CellText(T::Keys, 1, KeyColNumber), "40");
  EXPECT_EQ(win.RowOf(T::Keys, 40), 1u);
  EXPECT_EQ(win.RowOf(T::Keys, 0), TDataWindowModel::npos);

  win.SetUnusedKeysShown(true);
  ASSERT_EQ(win.RowCount(T::Keys), 128u);
  EXPECT_EQ(win.RowNumber(T::Keys, 40), 40u);
  EXPECT_EQ(win.CellText(T::Keys, 0, KeyColInUse), "no");
  EXPECT_EQ(win.CellText(T::Keys, 127, KeyColNumber), "127");
  win.Opened();
  EXPECT_EQ(win.RowCount(T::Keys), 2u);
}

TEST_F(DataWindowTest, OnlyNamesAndCodesTakeEdits) {
  for (size_t c = 0; c < kUserColumns; ++c)
    EXPECT_EQ(win.CellEditable(T::Users, 0, c), c == UserColName || c == UserColCode) << c;
  EXPECT_EQ(win.EditMaxLength(T::Users, 0, UserColName), 16u);
  EXPECT_EQ(win.EditMaxLength(T::Users, 0, UserColCode), 6u);
  EXPECT_EQ(win.EditMaxLength(T::Users, 0, UserColMain), 0u);
  EXPECT_TRUE(win.EditDigitsOnly(T::Users, UserColCode));
  EXPECT_FALSE(win.EditDigitsOnly(T::Users, UserColName));
  // Key 3 carries a name; key 40 cannot.
  EXPECT_TRUE(win.CellEditable(T::Keys, 0, KeyColName));
  EXPECT_FALSE(win.CellEditable(T::Keys, 1, KeyColName));
  for (size_t c : {KeyColNumber, KeyColValue, KeyColFlags, KeyColInUse})
    EXPECT_FALSE(win.CellEditable(T::Keys, 0, c)) << c;
  EXPECT_FALSE(win.CellEditable(T::Users, 24, UserColName));

  const std::vector<uint8_t> before = Bytes();
  EXPECT_EQ(win.EditCell(T::Keys, 1, KeyColName, "Cancello"), "Only keys 0 to 15 have names.");
  EXPECT_EQ(win.EditCell(T::Users, 0, UserColMain, "no"), "This data can only be viewed.");
  EXPECT_EQ(win.EditCell(T::Users, 24, UserColName, "X"), "There is no such number.");
  EXPECT_EQ(Bytes(), before);
  EXPECT_FALSE(win.CanUndo());
}

TEST_F(DataWindowTest, RenameChangesOnlyTheNameBytesAndMarksTheTitle) {
  EXPECT_EQ(win.Title(), "site.tvx - Data");
  std::vector<uint8_t> expected = Bytes();
  EXPECT_EQ(win.EditCell(T::Users, 1, UserColName, "Annalisa"), "");
  // The name's length byte and characters, nothing else.
  SmallPanelImage want = SampleSmall();
  want.User(1).SetName("Annalisa");
  EXPECT_EQ(Bytes(), std::vector<uint8_t>(want.Bytes().begin(), want.Bytes().end()));
  EXPECT_EQ(win.CellText(T::Users, 1, UserColName), "Annalisa");
  EXPECT_EQ(win.Title(), "*site.tvx - Data");
  EXPECT_TRUE(win.Modified());
  EXPECT_TRUE(win.CanUndo());
  EXPECT_FALSE(win.CanRedo());

  EXPECT_TRUE(win.Undo());
  EXPECT_EQ(Bytes(), expected);
  EXPECT_EQ(win.Title(), "site.tvx - Data");
  EXPECT_FALSE(win.CanUndo());
  EXPECT_TRUE(win.CanRedo());
  EXPECT_TRUE(win.Redo());
  EXPECT_EQ(win.CellText(T::Users, 1, UserColName), "Annalisa");
  EXPECT_EQ(win.Title(), "*site.tvx - Data");
}

TEST_F(DataWindowTest, RefusedNameSaysWhyAndChangesNothing) {
  const std::vector<uint8_t> before = Bytes();
  EXPECT_EQ(win.EditCell(T::Users, 1, UserColName, "Seventeen chars!!"), "A name has at most 16 characters.");
  EXPECT_EQ(win.Refusal(), "A name has at most 16 characters.");
  EXPECT_EQ(win.RefusalTable(), T::Users);
  EXPECT_EQ(win.RefusalRow(), 1u);
  EXPECT_EQ(win.EditCell(T::Users, 2, UserColName, " Luca"), "A name cannot start or end with a space.");
  EXPECT_EQ(win.RefusalRow(), 2u);
  EXPECT_EQ(win.EditCell(T::Users, 2, UserColName, "Lu\tca"), "A name cannot hold control characters.");
  EXPECT_EQ(win.EditCell(T::Keys, 0, KeyColName, "\xE2\x98\x83"), "The name holds a character the panel cannot store.");
  EXPECT_EQ(win.RefusalTable(), T::Keys);
  EXPECT_EQ(Bytes(), before);
  EXPECT_FALSE(win.CanUndo());
  EXPECT_FALSE(win.Modified());
  // The next edit that is made clears the reason.
  EXPECT_EQ(win.EditCell(T::Keys, 0, KeyColName, "Portone"), "");
  EXPECT_EQ(win.Refusal(), "");
  EXPECT_EQ(win.RefusalRow(), TDataWindowModel::npos);
  EXPECT_EQ(win.CellText(T::Keys, 0, KeyColName), "Portone");
}

TEST_F(DataWindowTest, HiddenCodeLeftEmptyKeepsTheCode) {
  // An editor opened and closed with codes hidden commits an empty text.
  EXPECT_EQ(win.EditCell(T::Users, 1, UserColCode, ""), "");
  EXPECT_FALSE(win.CanUndo());
  EXPECT_EQ(img.User(1).Code(), "5678FFFF");
  // A new code typed while hidden is taken.
  EXPECT_EQ(win.EditCell(T::Users, 1, UserColCode, "90"), "");
  EXPECT_EQ(img.User(1).Code(), "90FFFFFF");
  EXPECT_EQ(win.CellText(T::Users, 1, UserColCode), "**");
}

TEST_F(DataWindowTest, RevealedCodeEmptiedIsRemoved) {
  win.SetCodesShown(true);
  EXPECT_EQ(win.EditCell(T::Users, 2, UserColCode, ""), "");
  EXPECT_EQ(img.User(2).Code(), "FFFFFFFF");
  EXPECT_EQ(win.CellText(T::Users, 2, UserColCode), "");
  EXPECT_EQ(win.EditCell(T::Users, 2, UserColCode, "12a"), "A code is 0 to 6 decimal digits.");
  EXPECT_EQ(win.EditCell(T::Users, 2, UserColCode, "1234567"), "A code is 0 to 6 decimal digits.");
  EXPECT_EQ(img.User(2).Code(), "FFFFFFFF");
}

TEST_F(DataWindowTest, LastMainUserCodeCannotGoInAnyLanguage) {
  win.SetCodesShown(true);
  const std::vector<uint8_t> before = Bytes();
  EXPECT_EQ(win.EditCell(T::Users, 0, UserColCode, ""),
            "No main user would have a code: the panel could not be opened again with this tool.");
  EXPECT_EQ(win.ClearUser(0), "No main user would have a code: the panel could not be opened again with this tool.");
  win.SetLanguage(TLanguage::Italian);
  EXPECT_EQ(win.ClearUser(0),
            "Nessun utente principale avrebbe un codice: la centrale non si potrebbe più aprire con questo programma.");
  win.SetLanguage(TLanguage::French);
  EXPECT_EQ(win.EditCell(T::Users, 0, UserColCode, ""),
            "Aucun utilisateur principal n'aurait de code : la centrale ne pourrait plus être ouverte avec ce "
            "programme.");
  EXPECT_EQ(Bytes(), before);
  // Another code for the main user is fine.
  EXPECT_EQ(win.EditCell(T::Users, 0, UserColCode, "4321"), "");
  EXPECT_EQ(img.User(0).Code(), "4321FFFF");
}

TEST_F(DataWindowTest, ClearUserEmptiesNameAndCodeAsOneStep) {
  EXPECT_TRUE(win.CanClearUser(1));
  EXPECT_FALSE(win.CanClearUser(24));
  const std::vector<uint8_t> before = Bytes();
  EXPECT_EQ(win.ClearUser(1), "");
  EXPECT_EQ(img.User(1).Name(), "");
  EXPECT_EQ(img.User(1).Code(), "FFFFFFFF");
  EXPECT_EQ(win.CellText(T::Users, 1, UserColCode), "");
  EXPECT_TRUE(win.Undo());
  EXPECT_EQ(Bytes(), before);
  EXPECT_FALSE(win.CanUndo());
}

TEST_F(DataWindowTest, CtrlZUndoesAndCtrlYRedoesAcrossEdits) {
  ASSERT_EQ(win.EditCell(T::Users, 1, UserColName, "Anna B"), "");
  ASSERT_EQ(win.EditCell(T::Users, 2, UserColCode, "999"), "");
  ASSERT_EQ(win.EditCell(T::Keys, 0, KeyColName, "Garage"), "");
  EXPECT_TRUE(win.KeyCommand('z'));
  EXPECT_EQ(img.Key(3).Name(), "Porta");
  EXPECT_EQ(img.User(2).Code(), "999FFFFF");
  EXPECT_TRUE(win.KeyCommand('Z'));
  EXPECT_EQ(img.User(2).Code(), "5678FFFF");
  EXPECT_EQ(img.User(1).Name(), "Anna B");
  EXPECT_TRUE(win.KeyCommand('y'));
  EXPECT_EQ(img.User(2).Code(), "999FFFFF");
  EXPECT_FALSE(win.KeyCommand('x'));
  EXPECT_EQ(img.User(2).Code(), "999FFFFF");
  // A new edit drops what could be redone.
  ASSERT_EQ(win.EditCell(T::Users, 3, UserColName, "Nuovo"), "");
  EXPECT_FALSE(win.CanRedo());
  EXPECT_FALSE(win.Redo());
  EXPECT_EQ(img.Key(3).Name(), "Porta");
  EXPECT_EQ(win.UndoToolTip(), "Undo (Ctrl+Z)");
  EXPECT_EQ(win.RedoToolTip(), "Redo (Ctrl+Y)");
}

TEST_F(DataWindowTest, SharedCodesWarnOnBothRows) {
  EXPECT_FALSE(win.RowWarning(T::Users, 0));
  EXPECT_TRUE(win.RowWarning(T::Users, 1));
  EXPECT_TRUE(win.RowWarning(T::Users, 2));
  EXPECT_EQ(win.RowWarningText(T::Users, 1), "Another user has the same code.");
  EXPECT_EQ(win.RowWarningText(T::Users, 0), "");
  EXPECT_FALSE(win.RowWarning(T::Keys, 0));
  // A third user takes the main user's code: both of those rows warn.
  ASSERT_EQ(win.EditCell(T::Users, 5, UserColCode, "1234"), "");
  EXPECT_TRUE(win.RowWarning(T::Users, 0));
  EXPECT_TRUE(win.RowWarning(T::Users, 5));
  ASSERT_EQ(win.EditCell(T::Users, 2, UserColCode, "1111"), "");
  EXPECT_FALSE(win.RowWarning(T::Users, 1));
  EXPECT_FALSE(win.RowWarning(T::Users, 2));
}

TEST_F(DataWindowTest, TextsFollowTheLanguage) {
  win.SetLanguage(TLanguage::Italian);
  EXPECT_EQ(win.ColumnHeader(T::Users, UserColName), "Nome");
  EXPECT_EQ(win.ColumnHeader(T::Users, UserColMain), "Principale");
  EXPECT_EQ(win.CellText(T::Users, 0, UserColMain), "sì");
  EXPECT_EQ(win.Title(), "site.tvx - Dati");
  EXPECT_EQ(win.UndoToolTip(), "Annulla (Ctrl+Z)");
  win.SetLanguage(TLanguage::French);
  EXPECT_EQ(win.ColumnHeader(T::Keys, KeyColInUse), "Utilisée");
  EXPECT_EQ(win.CellText(T::Users, 1, UserColMain), "non");
  EXPECT_EQ(win.EditCell(T::Users, 1, UserColName, "  "), "Le nom ne peut pas commencer ou finir par une espace.");
  // A refusal in one language is not left standing in another.
  win.SetLanguage(TLanguage::English);
  EXPECT_EQ(win.Refusal(), "");
}

TEST_F(DataWindowTest, HeaderNamesModelFirmwareAndDescription) {
  const std::vector<THeaderField> h = win.HeaderFields();
  ASSERT_EQ(h.size(), 3u);
  EXPECT_EQ(h[0].label, "Model");
  EXPECT_EQ(h[0].value, "VYR8 (24)");
  EXPECT_EQ(h[1].label, "Firmware");
  EXPECT_EQ(h[1].value, "2.31");
  EXPECT_EQ(h[2].label, "Description");
  EXPECT_EQ(h[2].value, "VYR8 v.2.31");
}

TEST(DataWindowLarge, ReadOnlyRegionsWithRecordsInUse) {
  LargePanelImage large;
  SetImageModel(large.Bytes(), 6);
  // One record of region 0 holds something; the rest is FF.
  large.Bytes()[kLargeRegionsOffset + LargePanelMap[0].RegionOffset] = 0x00;
  TDataModel data;
  data.AttachLarge(large.Bytes());
  data.SetSource("VYR 320 v.2.10");
  TDataWindowModel win(data, TLanguage::Italian);
  win.Opened();
  EXPECT_EQ(win.Tables(), std::vector<TDataTable>{T::Regions});
  EXPECT_FALSE(win.Editable());
  EXPECT_EQ(win.RowCount(T::Users), 0u);
  EXPECT_EQ(win.RowCount(T::Keys), 0u);
  ASSERT_EQ(win.RowCount(T::Regions), 7u);
  EXPECT_EQ(win.ColumnHeader(T::Regions, RegionColRecordsInUse), "Record usati");
  EXPECT_EQ(win.CellText(T::Regions, 0, RegionColRecordsInUse), "1");
  EXPECT_EQ(win.CellText(T::Regions, 1, RegionColRecordsInUse), "0");
  EXPECT_EQ(win.CellText(T::Regions, 0, RegionColRecords), "200");
  EXPECT_EQ(win.HeaderFields()[0].value, "VYR 320 (6)");
  for (size_t r = 0; r < 7; ++r)
    for (size_t c = 0; c < kRegionColumns; ++c) EXPECT_FALSE(win.CellEditable(T::Regions, r, c));
  const std::vector<uint8_t> before(large.Bytes().begin(), large.Bytes().end());
  EXPECT_EQ(win.EditCell(T::Regions, 0, RegionColRecords, "1"), "Questi dati si possono solo visualizzare.");
  EXPECT_EQ(win.ClearUser(0), "Questi dati si possono solo visualizzare.");
  EXPECT_FALSE(win.KeyCommand('Z') && win.CanUndo());
  EXPECT_EQ(std::vector<uint8_t>(large.Bytes().begin(), large.Bytes().end()), before);
  EXPECT_EQ(win.Title(), "VYR 320 v.2.10 - Dati");
}

TEST(DataWindowEmpty, NoImageShowsNoTables) {
  TDataModel data;
  TDataWindowModel win(data);
  EXPECT_TRUE(win.Tables().empty());
  EXPECT_TRUE(win.HeaderFields().empty());
  EXPECT_EQ(win.Title(), "Data");
  EXPECT_EQ(win.EditCell(T::Users, 0, UserColName, "X"), "This data can only be viewed.");
  EXPECT_FALSE(win.CanSave());
}

TEST_F(DataWindowTest, SaveWaitsWhileAPanelOperationRuns) {
  EXPECT_TRUE(win.CanSave());
  win.SetLocked(true);
  EXPECT_FALSE(win.CanSave());
  EXPECT_FALSE(win.CanUndo());
  win.SetLocked(false);
  EXPECT_TRUE(win.CanSave());
}

}  // namespace
}  // namespace tarvex
