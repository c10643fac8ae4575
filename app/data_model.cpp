#include "app/data_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/display_text.h"
#include "protocol/identify.h"
#include "protocol/wipe.h"

namespace tarvex {

namespace {

// The users and keys: everything an edit can touch lies in here.
constexpr size_t kEditableFrom = kUserTableOffset;
constexpr size_t kEditableTo = kKeyDataOffset;

constexpr size_t UserOffset(size_t u) { return kUserTableOffset + u * kUserEntrySize; }
constexpr size_t KeyOffset(size_t k) { return kKeyTableOffset + k * kKeyEntrySize; }

// The record size and count of each large region, as the panel's tables
// give them.
constexpr std::array<std::pair<uint32_t, uint32_t>, kLargeRegionCount> kRegionRecords = {{
    {kLargeRegion0Record + 1u, kLarge200Records + 1u},
    {kLargeRegion1Record + 1u, kLarge200Records + 1u},
    {kLargeRegion2Record, kLarge200Records + 1u},
    {kLargeRegion3Record, kLarge500Records + 1u},
    {kLargeRegion4Record + 1u, kLarge200Records + 1u},
    {kLargeRegion5Length, 1u},
    {kLargeRegion6Record + 1u, kLarge500Records + 1u},
}};

// The digits of a stored code text: its leading decimal digits (F marks
// the empty positions after them).
std::string CodeDigits(const std::string& codeText) {
  std::string digits;
  for (char c : codeText) {
    if (c < '0' || c > '9') break;
    digits.push_back(c);
  }
  return digits;
}

UserEntry UserIn(std::span<uint8_t> image, size_t u) {
  return UserEntry(image.subspan(UserOffset(u)).first<kUserEntrySize>());
}
KeyEntry KeyIn(std::span<uint8_t> image, size_t k) {
  return KeyEntry(image.subspan(KeyOffset(k)).first<kKeyEntrySize>());
}
// Read-only use of the entry views.
UserEntry UserIn(std::span<const uint8_t> image, size_t u) {
  return UserIn(std::span<uint8_t>(const_cast<uint8_t*>(image.data()), image.size()), u);
}
KeyEntry KeyIn(std::span<const uint8_t> image, size_t k) {
  return KeyIn(std::span<uint8_t>(const_cast<uint8_t*>(image.data()), image.size()), k);
}

// The bytes IsModified compares: user names and codes, names of keys 0 to
// 15. Other bytes may change under an attached image (a send clears bits
// of the attributes on some models) without being a change of the user's.
std::vector<uint8_t> EditedFields(std::span<const uint8_t> image) {
  std::vector<uint8_t> out;
  if (image.size() != kSmallImageSize) return out;
  for (size_t u = 0; u < kUserCount; ++u) {
    const auto e = image.subspan(UserOffset(u));
    out.insert(out.end(), e.begin() + kUserNameOffset, e.begin() + kUserNameOffset + 1 + kUserNameMax);
    out.insert(out.end(), e.begin() + kUserCodeOffset, e.begin() + kUserCodeOffset + 1 + kUserCodeMax);
  }
  for (size_t k = 0; k < kNamedKeys; ++k) {
    const auto e = image.subspan(KeyOffset(k));
    out.insert(out.end(), e.begin() + kKeyNameOffset, e.begin() + kKeyNameOffset + 1 + kKeyNameMax);
  }
  return out;
}

std::string Replace(std::string text, const std::string& with) {
  const size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, with);
  return text;
}

}  // namespace

std::string RefusalText(const TDataTexts& t, TEditRefusal reason) {
  switch (reason) {
    case TEditRefusal::None: return {};
    case TEditRefusal::NameTooLong: return t.NameTooLong;
    case TEditRefusal::NameControlCharacter: return t.NameControlCharacter;
    case TEditRefusal::NameOuterSpace: return t.NameOuterSpace;
    case TEditRefusal::NameNotInCharacterSet: return t.NameNotInCharacterSet;
    case TEditRefusal::CodeNotDigits: return t.CodeNotDigits;
    case TEditRefusal::NoMainUserCode: return t.NoMainUserCode;
    case TEditRefusal::KeyHasNoName: return t.KeyHasNoName;
    case TEditRefusal::ReadOnly: return t.ReadOnly;
    case TEditRefusal::NoSuchRow: return t.NoSuchRow;
  }
  return {};
}

namespace {

// The name's panel bytes, or why there are none.
TEditRefusal PanelName(const std::string& utf8, std::string* bytes) {
  std::string converted;
  switch (Utf8ToCp1252(utf8, &converted)) {
    case TPanelTextResult::Ok: break;
    case TPanelTextResult::Control: return TEditRefusal::NameControlCharacter;
    case TPanelTextResult::NotUtf8:
    case TPanelTextResult::NotInCharacterSet: return TEditRefusal::NameNotInCharacterSet;
  }
  // One panel byte per character.
  if (converted.size() > kUserNameMax) return TEditRefusal::NameTooLong;
  if (!converted.empty() && (converted.front() == ' ' || converted.back() == ' ')) return TEditRefusal::NameOuterSpace;
  if (bytes) *bytes = std::move(converted);
  return TEditRefusal::None;
}

}  // namespace

TEditRefusal CheckName(const std::string& utf8) { return PanelName(utf8, nullptr); }

TEditRefusal CheckCode(const std::string& digits) {
  if (digits.size() > kUserCodeMax - 2) return TEditRefusal::CodeNotDigits;
  for (char c : digits)
    if (c < '0' || c > '9') return TEditRefusal::CodeNotDigits;
  return TEditRefusal::None;
}

// ---- image ----

TDataModel::~TDataModel() {
  WipeBytes(own_.data(), own_.size());
  Wipe();
}

// Wipes what is kept beside the image: the saved fields and every step.
void TDataModel::Wipe() {
  WipeBytes(saved_.data(), saved_.size());
  for (auto* steps : {&undo_, &redo_})
    for (TStep& step : *steps)
      for (auto* parts : {&step.before, &step.after})
        for (auto& part : *parts) WipeBytes(part.second.data(), part.second.size());
}

void TDataModel::Reset() {
  Wipe();
  undo_.clear();
  redo_.clear();
  saved_ = EditedFields(Image());
  ++revision_;
}

void TDataModel::AttachSmall(std::span<uint8_t, kSmallImageSize> image) {
  WipeBytes(own_.data(), own_.size());
  own_.clear();
  bytes_ = image.data();
  size_ = image.size();
  readOnly_ = false;
  layout_ = TDataLayout::Small;
  Reset();
}

void TDataModel::AttachLarge(std::span<const uint8_t> image) {
  if (image.size() != kLargeImageSize) {
    Clear();
    return;
  }
  WipeBytes(own_.data(), own_.size());
  own_.clear();
  // Never written through: the layout is read-only.
  bytes_ = const_cast<uint8_t*>(image.data());
  size_ = image.size();
  readOnly_ = true;
  layout_ = TDataLayout::Large;
  Reset();
}

bool TDataModel::LoadCopy(std::span<const uint8_t> image) {
  if (image.size() != kSmallImageSize && image.size() != kLargeImageSize) {
    Clear();
    return false;
  }
  WipeBytes(own_.data(), own_.size());
  own_.assign(image.begin(), image.end());
  bytes_ = own_.data();
  size_ = own_.size();
  layout_ = image.size() == kSmallImageSize ? TDataLayout::Small : TDataLayout::Large;
  readOnly_ = layout_ == TDataLayout::Large;
  Reset();
  return true;
}

void TDataModel::Clear() {
  WipeBytes(own_.data(), own_.size());
  own_.clear();
  bytes_ = nullptr;
  size_ = 0;
  readOnly_ = true;
  layout_ = TDataLayout::None;
  Reset();
}

std::span<const uint8_t> TDataModel::Image() const {
  if (!bytes_) return {};
  return std::span<const uint8_t>(bytes_, size_);
}

std::span<uint8_t> TDataModel::Bytes() {
  if (!bytes_ || readOnly_) return {};
  return std::span<uint8_t>(bytes_, size_);
}

TImageHeader TDataModel::Header() const {
  TImageHeader h;
  const auto image = Image();
  if (image.size() < kHeaderSize) return h;
  h.Model = ImageModel(image);
  h.ModelName = ModelName(h.Model);
  const double firmware = ImageFirmware(image);
  if (std::isfinite(firmware)) h.Firmware = firmware;
  h.Description = Cp1252ToUtf8(ImageDescription(image));
  return h;
}

// ---- rows ----

size_t TDataModel::UserCount() const { return layout_ == TDataLayout::Small ? kUserCount : 0; }
size_t TDataModel::KeyCount() const { return layout_ == TDataLayout::Small ? kKeyCount : 0; }

TUserRow TDataModel::User(size_t u) const {
  TUserRow row;
  if (u >= UserCount()) return row;
  const UserEntry e = UserIn(Image(), u);
  row.Number = u;
  row.Name = Cp1252ToUtf8(e.Name());
  row.Main = e.IsMainUser();
  for (size_t i = 0; i < kUserAttrSize; ++i) row.Attributes[i] = e.Attr(i);
  const std::string digits = CodeDigits(e.Code());
  row.HasCode = !digits.empty();
  row.CodeLength = digits.size();
  if (row.HasCode) {
    for (size_t other = 0; other < kUserCount; ++other) {
      if (other != u && CodeDigits(UserIn(Image(), other).Code()) == digits) {
        row.DuplicateCode = true;
        break;
      }
    }
  }
  return row;
}

TKeyRow TDataModel::Key(size_t k) const {
  TKeyRow row;
  if (k >= KeyCount()) return row;
  const KeyEntry e = KeyIn(Image(), k);
  row.Number = k;
  row.Name = Cp1252ToUtf8(e.Name());
  row.Nameable = k < kNamedKeys;
  row.Value = e.Value();
  row.Flags = e.Flags();
  row.Flags23 = e.Flags23();
  row.InUse = !row.Name.empty() || row.Value != 0 || row.Flags != 0 || row.Flags23 != 0;
  return row;
}

std::string TDataModel::CodeText(size_t u, bool reveal) const {
  if (u >= UserCount()) return {};
  const std::string digits = CodeDigits(UserIn(Image(), u).Code());
  return reveal ? digits : std::string(digits.size(), '*');
}

std::vector<TRegionSummary> TDataModel::Regions() const {
  std::vector<TRegionSummary> out;
  if (layout_ != TDataLayout::Large) return out;
  const auto image = Image();
  for (size_t r = 0; r < kLargeRegionCount; ++r) {
    TRegionSummary s;
    s.Region = r;
    s.PanelAddress = LargePanelMap[r].PanelAddress;
    s.Bytes = LargePanelMap[r].Bytes;
    s.RecordSize = kRegionRecords[r].first;
    s.RecordCount = kRegionRecords[r].second;
    const auto block = image.subspan(kLargeRegionsOffset + LargePanelMap[r].RegionOffset, s.Bytes);
    for (uint32_t i = 0; i < s.RecordCount; ++i) {
      const auto rec = block.subspan(size_t{i} * s.RecordSize, s.RecordSize);
      if (std::any_of(rec.begin(), rec.end(), [](uint8_t b) { return b != 0xFF; })) ++s.RecordsInUse;
    }
    out.push_back(s);
  }
  return out;
}

// ---- edits ----

bool TDataModel::MainUserHasCode(std::span<const uint8_t> image) const {
  for (size_t u = 0; u < kUserCount; ++u) {
    const UserEntry e = UserIn(image, u);
    if (e.IsMainUser() && !CodeDigits(e.Code()).empty()) return true;
  }
  return false;
}

TEditRefusal TDataModel::Apply(const std::vector<TDataEdit>& edits, size_t* failedAt) {
  auto fail = [&](size_t at, TEditRefusal why) {
    if (failedAt) *failedAt = at;
    return why;
  };
  const std::span<uint8_t> live = Bytes();
  if (live.size() != kSmallImageSize) return fail(edits.size(), TEditRefusal::ReadOnly);

  std::vector<uint8_t> work(live.begin(), live.end());
  const std::span<uint8_t> w(work);
  for (size_t i = 0; i < edits.size(); ++i) {
    const TDataEdit& e = edits[i];
    const bool isKey = e.Kind == TDataEdit::TKind::KeyName;
    if (e.Row >= (isKey ? kKeyCount : kUserCount)) return fail(i, TEditRefusal::NoSuchRow);
    std::string bytes;
    switch (e.Kind) {
      case TDataEdit::TKind::UserName:
        if (TEditRefusal r = PanelName(e.Text, &bytes); r != TEditRefusal::None) return fail(i, r);
        UserIn(w, e.Row).SetName(bytes);
        break;
      case TDataEdit::TKind::UserCode:
        if (TEditRefusal r = CheckCode(e.Text); r != TEditRefusal::None) return fail(i, r);
        UserIn(w, e.Row).SetCode(e.Text + std::string(kUserCodeMax - e.Text.size(), 'F'));
        break;
      case TDataEdit::TKind::ClearUser:
        UserIn(w, e.Row).SetName(std::string());
        UserIn(w, e.Row).SetCode(std::string(kUserCodeMax, 'F'));
        break;
      case TDataEdit::TKind::KeyName:
        if (e.Row >= kNamedKeys) return fail(i, TEditRefusal::KeyHasNoName);
        if (TEditRefusal r = PanelName(e.Text, &bytes); r != TEditRefusal::None) return fail(i, r);
        KeyIn(w, e.Row).SetName(bytes);
        break;
    }
  }
  // An image that already had no main user with a code can still have its
  // names corrected; what is refused is taking away the last such code.
  if (MainUserHasCode(live) && !MainUserHasCode(w)) return fail(edits.size(), TEditRefusal::NoMainUserCode);

  TStep step;
  for (size_t at = kEditableFrom; at < kEditableTo;) {
    if (work[at] == live[at]) {
      ++at;
      continue;
    }
    size_t end = at;
    while (end < kEditableTo && work[end] != live[end]) ++end;
    step.before.emplace_back(at, std::vector<uint8_t>(live.begin() + at, live.begin() + end));
    step.after.emplace_back(at, std::vector<uint8_t>(work.begin() + at, work.begin() + end));
    at = end;
  }
  if (failedAt) *failedAt = edits.size();
  // An edit that changes no byte (the same name again) is no undo step.
  if (step.after.empty()) return TEditRefusal::None;
  ApplyBytes(step.after);
  undo_.push_back(std::move(step));
  for (TStep& dropped : redo_)
    for (auto* parts : {&dropped.before, &dropped.after})
      for (auto& part : *parts) WipeBytes(part.second.data(), part.second.size());
  redo_.clear();
  ++revision_;
  return TEditRefusal::None;
}

TEditRefusal TDataModel::SetUserName(size_t u, const std::string& utf8) {
  return Apply({{TDataEdit::TKind::UserName, u, utf8}});
}
TEditRefusal TDataModel::SetUserCode(size_t u, const std::string& digits) {
  return Apply({{TDataEdit::TKind::UserCode, u, digits}});
}
TEditRefusal TDataModel::ClearUser(size_t u) { return Apply({{TDataEdit::TKind::ClearUser, u, {}}}); }
TEditRefusal TDataModel::SetKeyName(size_t k, const std::string& utf8) {
  return Apply({{TDataEdit::TKind::KeyName, k, utf8}});
}

void TDataModel::ApplyBytes(const std::vector<std::pair<size_t, std::vector<uint8_t>>>& parts) {
  const std::span<uint8_t> live = Bytes();
  for (const auto& [at, bytes] : parts)
    if (at + bytes.size() <= live.size()) std::copy(bytes.begin(), bytes.end(), live.begin() + at);
}

bool TDataModel::Undo() {
  if (undo_.empty() || Bytes().empty()) return false;
  ApplyBytes(undo_.back().before);
  redo_.push_back(std::move(undo_.back()));
  undo_.pop_back();
  ++revision_;
  return true;
}

bool TDataModel::Redo() {
  if (redo_.empty() || Bytes().empty()) return false;
  ApplyBytes(redo_.back().after);
  undo_.push_back(std::move(redo_.back()));
  redo_.pop_back();
  ++revision_;
  return true;
}

bool TDataModel::IsModified() const { return EditedFields(Image()) != saved_; }

void TDataModel::MarkSaved() {
  saved_ = EditedFields(Image());
  ++revision_;
}

std::string ByteText(uint8_t value) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(value));
  return buf;
}

std::string AttributesText(const std::array<uint8_t, kUserAttrSize>& attributes) {
  std::string out;
  char buf[4];
  for (uint8_t b : attributes) {
    std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(b));
    if (!out.empty()) out += ' ';
    out += buf;
  }
  return out;
}

std::string DataWindowTitle(const TDataTexts& texts, const std::string& source, bool modified) {
  std::string title = source.empty() ? texts.WindowCaption : source + " - " + texts.WindowCaption;
  return modified ? texts.ModifiedMark + title : title;
}

std::string SaveChangesQuestion(const TDataTexts& texts, const std::string& source) {
  return Replace(texts.SaveChangesQuestion, source.empty() ? texts.WindowCaption : source);
}

}  // namespace tarvex
