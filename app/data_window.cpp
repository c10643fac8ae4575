#include "app/data_window.h"

#include <cmath>
#include <cstdio>

namespace tarvex {

namespace {

std::string Number(uint64_t n) { return std::to_string(n); }

std::string Hex(uint32_t value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, static_cast<unsigned>(value));
  return buf;
}

std::string FirmwareText(const std::optional<double>& v) {
  if (!v) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", *v);
  return buf;
}

}  // namespace

TDataWindowModel::TDataWindowModel(TDataModel& data, TLanguage language)
    : data_(data), language_(language), texts_(DataTexts(language)) {}

void TDataWindowModel::SetLanguage(TLanguage language) {
  if (language == language_) return;
  language_ = language;
  texts_ = DataTexts(language);
  // A refusal shown stays in the language it was given in until the next
  // command; it is cleared rather than left in the old language.
  refusal_.clear();
  refusalRow_ = npos;
  ++revision_;
}

void TDataWindowModel::SetLocked(bool locked) {
  if (locked == locked_) return;
  locked_ = locked;
  refusalRow_ = npos;
  ++revision_;
}

void TDataWindowModel::Opened() {
  showCodes_ = false;
  showUnusedKeys_ = false;
  refusal_.clear();
  refusalRow_ = npos;
  ++revision_;
}

std::string TDataWindowModel::Title() const { return DataWindowTitle(texts_, data_.Source(), data_.IsModified()); }

std::vector<THeaderField> TDataWindowModel::HeaderFields() const {
  std::vector<THeaderField> out;
  if (!data_.HasImage() || locked_) return out;
  const TImageHeader h = data_.Header();
  const std::string number = std::to_string(h.Model);
  out.push_back({texts_.ModelLabel, h.ModelName.empty() ? number : h.ModelName + " (" + number + ")"});
  out.push_back({texts_.FirmwareLabel, FirmwareText(h.Firmware)});
  out.push_back({texts_.DescriptionLabel, h.Description});
  return out;
}

std::vector<TDataTable> TDataWindowModel::Tables() const {
  switch (data_.Layout()) {
    case TDataLayout::Small: return {TDataTable::Users, TDataTable::Keys};
    case TDataLayout::Large: return {TDataTable::Regions};
    case TDataLayout::None: break;
  }
  return {};
}

std::string TDataWindowModel::TableHeading(TDataTable table) const {
  switch (table) {
    case TDataTable::Users: return texts_.UsersHeading;
    case TDataTable::Keys: return texts_.KeysHeading;
    case TDataTable::Regions: return texts_.RegionsHeading;
  }
  return {};
}

void TDataWindowModel::SetCodesShown(bool shown) {
  if (shown == showCodes_) return;
  showCodes_ = shown;
  ++revision_;
}

void TDataWindowModel::SetUnusedKeysShown(bool shown) {
  if (shown == showUnusedKeys_) return;
  showUnusedKeys_ = shown;
  // The rows move: a refusal no longer points at the row it named.
  refusalRow_ = npos;
  ++revision_;
}

// ---- tables ----

size_t TDataWindowModel::ColumnCount(TDataTable table) const {
  switch (table) {
    case TDataTable::Users: return kUserColumns;
    case TDataTable::Keys: return kKeyColumns;
    case TDataTable::Regions: return kRegionColumns;
  }
  return 0;
}

std::string TDataWindowModel::ColumnHeader(TDataTable table, size_t column) const {
  const TDataTexts& t = texts_;
  switch (table) {
    case TDataTable::Users:
      switch (column) {
        case UserColNumber: return t.ColNumber;
        case UserColName: return t.ColName;
        case UserColMain: return t.ColMain;
        case UserColCode: return t.ColCode;
        default: return {};
      }
    case TDataTable::Keys:
      switch (column) {
        case KeyColNumber: return t.ColNumber;
        case KeyColName: return t.ColName;
        case KeyColValue: return t.ColValue;
        case KeyColFlags: return t.ColFlags;
        case KeyColInUse: return t.ColInUse;
        default: return {};
      }
    case TDataTable::Regions:
      switch (column) {
        case RegionColRegion: return t.ColRegion;
        case RegionColPanelAddress: return t.ColPanelAddress;
        case RegionColBytes: return t.ColBytes;
        case RegionColRecords: return t.ColRecords;
        case RegionColRecordsInUse: return t.ColRecordsInUse;
        default: return {};
      }
  }
  return {};
}

int TDataWindowModel::ColumnWidth(TDataTable table, size_t column) const {
  switch (table) {
    case TDataTable::Users: {
      static constexpr int w[kUserColumns] = {40, 150, 80, 90};
      return column < kUserColumns ? w[column] : 0;
    }
    case TDataTable::Keys: {
      static constexpr int w[kKeyColumns] = {40, 150, 60, 90, 70};
      return column < kKeyColumns ? w[column] : 0;
    }
    case TDataTable::Regions: {
      static constexpr int w[kRegionColumns] = {70, 110, 80, 120, 110};
      return column < kRegionColumns ? w[column] : 0;
    }
  }
  return 0;
}

bool TDataWindowModel::ColumnRightAligned(TDataTable table, size_t column) const {
  switch (table) {
    case TDataTable::Users: return column == UserColNumber;
    case TDataTable::Keys: return column == KeyColNumber;
    case TDataTable::Regions: return column != RegionColPanelAddress;
  }
  return false;
}

std::vector<size_t> TDataWindowModel::ShownKeys() const {
  std::vector<size_t> out;
  for (size_t k = 0; k < data_.KeyCount(); ++k)
    if (showUnusedKeys_ || data_.Key(k).InUse) out.push_back(k);
  return out;
}

size_t TDataWindowModel::RowCount(TDataTable table) const {
  if (locked_) return 0;
  switch (table) {
    case TDataTable::Users: return data_.UserCount();
    case TDataTable::Keys: return showUnusedKeys_ ? data_.KeyCount() : ShownKeys().size();
    case TDataTable::Regions: return data_.Layout() == TDataLayout::Large ? kLargeRegionCount : 0;
  }
  return 0;
}

size_t TDataWindowModel::RowNumber(TDataTable table, size_t row) const {
  if (row >= RowCount(table)) return npos;
  if (table != TDataTable::Keys || showUnusedKeys_) return row;
  return ShownKeys()[row];
}

size_t TDataWindowModel::RowOf(TDataTable table, size_t number) const {
  if (table != TDataTable::Keys || showUnusedKeys_) return number < RowCount(table) ? number : npos;
  const std::vector<size_t> shown = ShownKeys();
  for (size_t row = 0; row < shown.size(); ++row)
    if (shown[row] == number) return row;
  return npos;
}

std::string TDataWindowModel::CellText(TDataTable table, size_t row, size_t column) const {
  const size_t n = RowNumber(table, row);
  if (n == npos) return {};
  switch (table) {
    case TDataTable::Users: {
      switch (column) {
        case UserColNumber: return Number(n);
        case UserColName: return data_.User(n).Name;
        case UserColMain: return data_.User(n).Main ? texts_.Yes : texts_.No;
        case UserColCode: return data_.CodeText(n, showCodes_);
        default: return {};
      }
    }
    case TDataTable::Keys: {
      const TKeyRow k = data_.Key(n);
      switch (column) {
        case KeyColNumber: return Number(n);
        case KeyColName: return k.Name;
        case KeyColValue: return ByteText(k.Value);
        case KeyColFlags: return ByteText(k.Flags) + " " + ByteText(k.Flags23);
        case KeyColInUse: return k.InUse ? texts_.Yes : texts_.No;
        default: return {};
      }
    }
    case TDataTable::Regions: {
      const std::vector<TRegionSummary> regions = data_.Regions();
      if (n >= regions.size()) return {};
      const TRegionSummary& r = regions[n];
      switch (column) {
        case RegionColRegion: return Number(r.Region);
        case RegionColPanelAddress: return Hex(r.PanelAddress, 6);
        case RegionColBytes: return Number(r.Bytes);
        case RegionColRecords: return Number(r.RecordCount);
        case RegionColRecordsInUse: return Number(r.RecordsInUse);
        default: return {};
      }
    }
  }
  return {};
}

bool TDataWindowModel::CellEditable(TDataTable table, size_t row, size_t column) const {
  if (!Editable()) return false;
  const size_t n = RowNumber(table, row);
  if (n == npos) return false;
  switch (table) {
    case TDataTable::Users: return column == UserColName || column == UserColCode;
    case TDataTable::Keys: return column == KeyColName && data_.Key(n).Nameable;
    case TDataTable::Regions: return false;
  }
  return false;
}

std::string TDataWindowModel::EditText(TDataTable table, size_t row, size_t column) const {
  if (!CellEditable(table, row, column)) return {};
  if (table == TDataTable::Users && column == UserColCode)
    return showCodes_ ? data_.CodeText(RowNumber(table, row), true) : std::string();
  return CellText(table, row, column);
}

size_t TDataWindowModel::EditMaxLength(TDataTable table, size_t row, size_t column) const {
  if (!CellEditable(table, row, column)) return 0;
  if (table == TDataTable::Users && column == UserColCode) return kUserCodeMax - 2;
  return kUserNameMax;
}

bool TDataWindowModel::EditDigitsOnly(TDataTable table, size_t column) const {
  return table == TDataTable::Users && column == UserColCode;
}

bool TDataWindowModel::RowWarning(TDataTable table, size_t row) const {
  if (table != TDataTable::Users) return false;
  const size_t n = RowNumber(table, row);
  return n != npos && data_.User(n).DuplicateCode;
}

std::string TDataWindowModel::RowWarningText(TDataTable table, size_t row) const {
  return RowWarning(table, row) ? texts_.DuplicateCode : std::string();
}

// ---- commands ----

std::string TDataWindowModel::Refused(TDataTable table, size_t row, TEditRefusal reason) {
  refusal_ = RefusalText(texts_, reason);
  refusalTable_ = table;
  refusalRow_ = reason == TEditRefusal::None ? npos : row;
  ++revision_;
  return refusal_;
}

std::string TDataWindowModel::EditCell(TDataTable table, size_t row, size_t column, const std::string& text) {
  if (!Editable()) return Refused(table, row, TEditRefusal::ReadOnly);
  const size_t n = RowNumber(table, row);
  if (n == npos) return Refused(table, row, TEditRefusal::NoSuchRow);
  if (!CellEditable(table, row, column)) {
    const bool keyName = table == TDataTable::Keys && column == KeyColName;
    return Refused(table, row, keyName ? TEditRefusal::KeyHasNoName : TEditRefusal::ReadOnly);
  }
  // Unchanged text changes nothing, and with codes hidden an empty code
  // editor means "left alone", never "remove the code".
  if (text == EditText(table, row, column)) return Refused(table, row, TEditRefusal::None);
  TEditRefusal r = TEditRefusal::None;
  if (table == TDataTable::Users)
    r = column == UserColName ? data_.SetUserName(n, text) : data_.SetUserCode(n, text);
  else
    r = data_.SetKeyName(n, text);
  return Refused(table, row, r);
}

bool TDataWindowModel::CanClearUser(size_t row) const {
  return Editable() && RowNumber(TDataTable::Users, row) != npos;
}

std::string TDataWindowModel::ClearUser(size_t row) {
  if (!Editable()) return Refused(TDataTable::Users, row, TEditRefusal::ReadOnly);
  const size_t n = RowNumber(TDataTable::Users, row);
  if (n == npos) return Refused(TDataTable::Users, row, TEditRefusal::NoSuchRow);
  return Refused(TDataTable::Users, row, data_.ClearUser(n));
}

bool TDataWindowModel::Undo() {
  const bool done = !locked_ && data_.Undo();
  if (done) Refused(TDataTable::Users, npos, TEditRefusal::None);
  return done;
}

bool TDataWindowModel::Redo() {
  const bool done = !locked_ && data_.Redo();
  if (done) Refused(TDataTable::Users, npos, TEditRefusal::None);
  return done;
}

bool TDataWindowModel::KeyCommand(char letter) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter == kUndoKey) {
    Undo();
    return true;
  }
  if (letter == kRedoKey) {
    Redo();
    return true;
  }
  return false;
}

std::string TDataWindowModel::UndoToolTip() const { return texts_.UndoButton + " (Ctrl+Z)"; }
std::string TDataWindowModel::RedoToolTip() const { return texts_.RedoButton + " (Ctrl+Y)"; }

}  // namespace tarvex
