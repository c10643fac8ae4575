// The data window: what an image holds, shown as tables, with the few
// edits an installer may make. This is the window's model, with no window
// toolkit in it; the Qt window and the Win32 window are faces of it. They
// ask it for every text (title, captions, column headers, each cell), for
// which cells take an edit, for the warning marks and the enabled states,
// and they forward the user's edits, ticks and undo/redo as commands. After
// a command (or whenever Revision() has moved) a face repaints from here.
//
// The window works on a TDataModel it does not own: the main window's, which
// is attached to the image a read or a load filled (so a send writes what
// the window shows, changes included).
//
// Codes: the code column shows one star per digit until "Show codes" is
// ticked; the tick is off every time the window opens. A code editor starts
// with the digits only while they are shown; with codes hidden it starts
// empty, and an edit left empty keeps the code (an accidental Enter never
// removes one). To remove a code, reveal the codes and empty it, or clear
// the user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/data_model.h"
#include "app/languages.h"
#include "app/texts.h"

namespace tarvex {

// The tables of the window. A small image shows Users and Keys; a large
// image shows Regions (read-only).
enum class TDataTable { Users, Keys, Regions };

// Columns, in the order the tables show them.
enum TUserColumn : size_t { UserColNumber, UserColName, UserColMain, UserColCode, kUserColumns };
enum TKeyColumn : size_t { KeyColNumber, KeyColName, KeyColValue, KeyColFlags, KeyColInUse, kKeyColumns };
enum TRegionColumn : size_t {
  RegionColRegion,
  RegionColPanelAddress,
  RegionColBytes,
  RegionColRecords,
  RegionColRecordsInUse,
  kRegionColumns
};

// The window's layout, in client pixels at 96 DPI, the same in both faces.
namespace data_window_layout {
inline constexpr int kClientWidth = 620;
inline constexpr int kClientHeight = 520;
inline constexpr int kMargin = 8;
}  // namespace data_window_layout

// Keyboard: Ctrl+Z undoes, Ctrl+Y redoes (the letter, upper case).
inline constexpr char kUndoKey = 'Z';
inline constexpr char kRedoKey = 'Y';

// One header field of the image: a label and its value.
struct THeaderField {
  std::string label;
  std::string value;
};

class TDataWindowModel {
 public:
  // data must outlive this model.
  explicit TDataWindowModel(TDataModel& data, TLanguage language = TLanguage::English);
  TDataWindowModel(const TDataWindowModel&) = delete;
  TDataWindowModel& operator=(const TDataWindowModel&) = delete;

  // ---- Language: all texts follow the main window's ----
  void SetLanguage(TLanguage language);
  TLanguage Language() const { return language_; }
  const TDataTexts& Texts() const { return texts_; }

  // ---- Panel operations ----
  // While a read or a send runs, the image belongs to it: the window shows
  // no rows and no header, and takes no edit, undo or redo.
  void SetLocked(bool locked);
  bool Locked() const { return locked_; }

  // ---- Opening ----
  // The window opens (or opens again): codes hidden, unused keys hidden,
  // no refusal shown.
  void Opened();

  // ---- What the window shows ----
  // The source (file name, or the panel's description after a read) and,
  // while changes are unsaved, the mark.
  std::string Title() const;
  TDataLayout Layout() const { return data_.Layout(); }
  bool HasImage() const { return data_.HasImage(); }
  bool Editable() const { return data_.Editable() && !locked_; }
  // The image's header: model, firmware, description (both layouts).
  std::vector<THeaderField> HeaderFields() const;
  // The tables the window shows, in order (none without an image).
  std::vector<TDataTable> Tables() const;
  // A table's heading ("Users", "Keys and cards", "Regions").
  std::string TableHeading(TDataTable table) const;

  // The tick boxes.
  bool CodesShown() const { return showCodes_; }
  void SetCodesShown(bool shown);
  bool UnusedKeysShown() const { return showUnusedKeys_; }
  void SetUnusedKeysShown(bool shown);

  // ---- The tables ----
  size_t ColumnCount(TDataTable table) const;
  std::string ColumnHeader(TDataTable table, size_t column) const;
  // A column's width in pixels at 96 DPI.
  int ColumnWidth(TDataTable table, size_t column) const;
  // Whether a column's cells stand at their right end (numbers).
  bool ColumnRightAligned(TDataTable table, size_t column) const;
  // Rows shown: 24 users; the keys in use (all 128 when unused keys are
  // shown); 7 regions. Zero for a table the layout does not have.
  size_t RowCount(TDataTable table) const;
  // The user, key or region number a shown row stands for.
  size_t RowNumber(TDataTable table, size_t row) const;
  // The shown row of a user, key or region number; npos when hidden.
  size_t RowOf(TDataTable table, size_t number) const;
  static constexpr size_t npos = static_cast<size_t>(-1);
  // A cell's text (codes as stars unless shown).
  std::string CellText(TDataTable table, size_t row, size_t column) const;
  // Whether the cell takes an edit: user names and codes, names of keys 0
  // to 15, small images only.
  bool CellEditable(TDataTable table, size_t row, size_t column) const;
  // The text an editor of the cell starts with (a code: the digits while
  // codes are shown, otherwise empty).
  std::string EditText(TDataTable table, size_t row, size_t column) const;
  // The most characters an editor of the cell takes (16 for a name, 6 for
  // a code); 0 for a cell that takes no edit.
  size_t EditMaxLength(TDataTable table, size_t row, size_t column) const;
  // Whether an editor of the cell takes digits only (the code column).
  bool EditDigitsOnly(TDataTable table, size_t column) const;
  // A warning on the row (two users with the same code: both rows), and
  // its text; empty when none.
  bool RowWarning(TDataTable table, size_t row) const;
  std::string RowWarningText(TDataTable table, size_t row) const;

  // ---- Commands ----
  // Edits a cell with the text as typed. Returns the refusal's text to
  // show next to the field (empty when the edit was made or changed
  // nothing); the same text stays in Refusal() until the next command.
  std::string EditCell(TDataTable table, size_t row, size_t column, const std::string& text);
  // Empties the name and the code of the user of a shown row.
  std::string ClearUser(size_t row);
  bool CanClearUser(size_t row) const;
  // Undo and redo (buttons, Ctrl+Z, Ctrl+Y); false when there was nothing.
  // The window's Save: an image is shown and no panel operation runs.
  bool CanSave() const { return HasImage() && !locked_; }
  bool CanUndo() const { return !locked_ && data_.CanUndo(); }
  bool CanRedo() const { return !locked_ && data_.CanRedo(); }
  bool Undo();
  bool Redo();
  // Ctrl with a letter (upper or lower case): Ctrl+Z undoes, Ctrl+Y redoes;
  // true when the key was one of them.
  bool KeyCommand(char letter);
  std::string UndoToolTip() const;  // "Undo (Ctrl+Z)"
  std::string RedoToolTip() const;  // "Redo (Ctrl+Y)"

  // The reason the last edit was refused; empty once an edit is made,
  // undone or redone, or the window opens again.
  const std::string& Refusal() const { return refusal_; }
  // Where the refused edit was: its table and shown row (npos: none).
  TDataTable RefusalTable() const { return refusalTable_; }
  size_t RefusalRow() const { return refusalRow_; }

  // ---- Saving ----
  bool Modified() const { return data_.IsModified(); }

  // Steps up on every change of what the window shows (the image, the
  // language, a tick box, a refusal), so a face can tell when to repaint.
  uint64_t Revision() const { return data_.Revision() + revision_; }

  TDataModel& Data() { return data_; }
  const TDataModel& Data() const { return data_; }

 private:
  std::string Refused(TDataTable table, size_t row, TEditRefusal reason);
  std::vector<size_t> ShownKeys() const;

  TDataModel& data_;
  TLanguage language_;
  TDataTexts texts_;
  bool locked_ = false;
  bool showCodes_ = false;
  bool showUnusedKeys_ = false;
  std::string refusal_;
  TDataTable refusalTable_ = TDataTable::Users;
  size_t refusalRow_ = npos;
  uint64_t revision_ = 0;
};

}  // namespace tarvex
