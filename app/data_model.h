// What a data image holds, as rows a window or the command-line tool can
// show, and the few changes an installer may make to a small image (names,
// codes, clearing a user), each checked, undoable and redoable.
//
// The model is toolkit-free. It works on a small image in place (so a send
// writes exactly what the window shows, changes included) or on a copy it
// owns; a large image is shown read-only, as a header and a count per
// region of the records that hold anything but FF.
//
// Codes never leave the model by accident: rows carry only whether a user
// has a code, how many digits it has and whether another user shares it.
// The digits themselves come only from CodeText(row, true).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "app/texts.h"
#include "protocol/panel_image.h"

namespace tarvex {

// Why an edit was refused. None: the edit was made.
enum class TEditRefusal {
  None = 0,
  NameTooLong,            // more than 16 characters
  NameControlCharacter,   // a control character (below space, DEL, 0x80 to 0x9F)
  NameOuterSpace,         // a space at the start or the end
  NameNotInCharacterSet,  // a character the panel cannot hold (or text that is not UTF-8)
  CodeNotDigits,          // a code is 0 to 6 decimal digits
  NoMainUserCode,         // no main user would be left with a code
  KeyHasNoName,           // only keys 0 to 15 carry names
  ReadOnly,               // a large image, or no image
  NoSuchRow,              // user or key number out of range
};

// The text of a refusal in the language of texts (empty for None).
std::string RefusalText(const TDataTexts& texts, TEditRefusal reason);

// The checks alone, as an edit makes them (faces may check while typing).
// Names are UTF-8 text; codes are the digits as typed.
TEditRefusal CheckName(const std::string& utf8);
TEditRefusal CheckCode(const std::string& digits);

// One user, as the table shows it. No digits of the code here.
struct TUserRow {
  size_t Number = 0;   // 0 to 23, as the image numbers its users
  std::string Name;    // UTF-8 (the panel's bytes converted for the screen)
  bool Main = false;   // first attribute byte is 1: the user whose code opens the panel
  std::array<uint8_t, kUserAttrSize> Attributes{};  // raw, shown, never edited
  bool HasCode = false;
  size_t CodeLength = 0;        // digits in the code
  bool DuplicateCode = false;   // another user has the same code (a warning)
};

// One key or card record.
struct TKeyRow {
  size_t Number = 0;    // 0 to 127
  std::string Name;     // UTF-8; keys 16 to 127 have none
  bool Nameable = false;  // keys 0 to 15: the name can be edited
  uint8_t Value = 0;
  uint8_t Flags = 0;    // bits 0, 1, 6 and 7 of the panel's record
  uint8_t Flags23 = 0;  // bits 2 and 3 of the panel's record
  bool InUse = false;   // a name, or any of value and flags not 0
};

// The header both layouts carry.
struct TImageHeader {
  int32_t Model = 0;
  std::string ModelName;          // empty for a model this tool does not know
  std::optional<double> Firmware; // none when the field holds no number
  std::string Description;        // UTF-8
};

// One region of the large image: its block and how many of its records hold
// anything but FF.
struct TRegionSummary {
  size_t Region = 0;
  uint32_t PanelAddress = 0;
  uint32_t Bytes = 0;
  uint32_t RecordSize = 0;
  uint32_t RecordCount = 0;
  uint32_t RecordsInUse = 0;
};

// One change, for several made at once (all or none).
struct TDataEdit {
  enum class TKind { UserName, UserCode, ClearUser, KeyName };
  TKind Kind = TKind::UserName;
  size_t Row = 0;    // user or key number
  std::string Text;  // the name (UTF-8) or the code's digits
};

enum class TDataLayout { None, Small, Large };

class TDataModel {
 public:
  TDataModel() = default;
  // The copy, the undo steps and the saved fields hold codes: wiped.
  ~TDataModel();
  TDataModel(const TDataModel&) = delete;
  TDataModel& operator=(const TDataModel&) = delete;

  // Shows this small image and edits it in place; the bytes must outlive
  // the model or the next Attach/Load/Clear. Forgets undo and redo; the
  // image counts as unmodified. Whatever else replaces the image's content
  // (a read, a load) must attach again: undo steps would not fit it.
  void AttachSmall(std::span<uint8_t, kSmallImageSize> image);
  // Shows this large image, read-only, same lifetime rule.
  void AttachLarge(std::span<const uint8_t> image);
  // Takes a copy of an image of either length (false for any other
  // length, and the model is then empty).
  bool LoadCopy(std::span<const uint8_t> image);
  // No image.
  void Clear();

  TDataLayout Layout() const { return layout_; }
  bool HasImage() const { return layout_ != TDataLayout::None; }
  bool Editable() const { return layout_ == TDataLayout::Small; }
  // The image's bytes as they stand (empty without an image).
  std::span<const uint8_t> Image() const;

  // What the window's title names: the file's name, or the panel's
  // description after a read. Kept for the faces; the model does not use it.
  void SetSource(const std::string& utf8) { source_ = utf8; }
  const std::string& Source() const { return source_; }

  TImageHeader Header() const;

  // Small image: 24 users and 128 keys; 0 otherwise.
  size_t UserCount() const;
  size_t KeyCount() const;
  TUserRow User(size_t u) const;
  TKeyRow Key(size_t k) const;
  // The code as shown: one '*' per digit unless reveal, then the digits.
  // Empty for no code (or no such user).
  std::string CodeText(size_t u, bool reveal) const;

  // Large image: the seven regions; empty otherwise.
  std::vector<TRegionSummary> Regions() const;

  // Edits of a small image. Each one that is made is one undo step and
  // clears the redo stack; a refused one changes nothing.
  TEditRefusal SetUserName(size_t u, const std::string& utf8);
  TEditRefusal SetUserCode(size_t u, const std::string& digits);  // empty: no code
  TEditRefusal ClearUser(size_t u);                               // no name, no code
  TEditRefusal SetKeyName(size_t k, const std::string& utf8);
  // Several edits as one undo step, all or none. Each edit is checked on
  // its own, then the main-user rule on the result. failedAt receives the
  // index of the edit refused, or edits.size() when no single edit is at
  // fault (the main-user rule, an image that cannot be edited).
  TEditRefusal Apply(const std::vector<TDataEdit>& edits, size_t* failedAt = nullptr);

  bool CanUndo() const { return !undo_.empty(); }
  bool CanRedo() const { return !redo_.empty(); }
  bool Undo();  // false when there is nothing to undo
  bool Redo();

  // Changes since the image was attached, loaded or last marked saved
  // (undoing back to that point counts as unchanged).
  bool IsModified() const;
  // The image has just been saved (or sent and saved): it is the new
  // reference for IsModified.
  void MarkSaved();

  // Steps up on every change of the image through the model (edit, undo,
  // redo, attach, load, clear), so a face can tell when to refresh.
  uint64_t Revision() const { return revision_; }

 private:
  struct TStep {
    // Image offsets and their bytes before and after the step.
    std::vector<std::pair<size_t, std::vector<uint8_t>>> before, after;
  };
  std::span<uint8_t> Bytes();
  std::span<const uint8_t> Bytes() const { return Image(); }
  void Reset();
  void Wipe();
  bool MainUserHasCode(std::span<const uint8_t> image) const;
  void ApplyBytes(const std::vector<std::pair<size_t, std::vector<uint8_t>>>& parts);

  TDataLayout layout_ = TDataLayout::None;
  std::vector<uint8_t> own_;     // the copy LoadCopy took
  uint8_t* bytes_ = nullptr;     // the image shown: own_ or an attached one
  size_t size_ = 0;
  bool readOnly_ = false;
  std::string source_;
  std::vector<TStep> undo_, redo_;
  std::vector<uint8_t> saved_;   // users and keys at the last save or load
  uint64_t revision_ = 0;
};

// A byte as the tables show it: "0x1F".
std::string ByteText(uint8_t value);
// Attribute bytes as the tables show them: "01 00 FF ...".
std::string AttributesText(const std::array<uint8_t, kUserAttrSize>& attributes);

// The data window's title: the source and, while changes are unsaved, the
// mark after it.
std::string DataWindowTitle(const TDataTexts& texts, const std::string& source, bool modified);
// "Save the changes to ...?" with the source in place.
std::string SaveChangesQuestion(const TDataTexts& texts, const std::string& source);

}  // namespace tarvex
