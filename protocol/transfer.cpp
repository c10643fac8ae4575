#include "protocol/transfer.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "protocol/frames.h"
#include "protocol/text.h"
#include "protocol/wipe.h"

namespace tarvex {

namespace {

// Code bytes per user in the panel's code block.
constexpr size_t kDigitPerByteCodeBytes = 6;  // VYR4, VYR8, VYR8G
constexpr size_t kPackedCodeBytes = 3;        // every other small model

// Field widths in the panel's blocks: a name is 16 bytes padded with
// spaces, a key-table record is flags, value and key number.
constexpr size_t kPanelNameWidth = 16;
constexpr size_t kKeyRecordBytes = 3;

// Flag bits of a key-table record: 0, 1, 6 and 7 are the key's own flags,
// 2 and 3 are kept apart, 4 and 5 are dropped.
constexpr uint8_t kKeyOwnFlagsMask = 0xC3;
constexpr uint8_t kKeyFlags23Mask = 0x0C;

// Settle time before the first block of a read or send sequence.
constexpr int kSettleBeforeUsersMs = 300;

// The large panel's blocks are read and written in these fixed region
// orders; the two orders differ on purpose and must not be unified.
constexpr std::array<size_t, kLargeRegionCount> kLargeReadOrder = {0, 1, 4, 2, 5, 6, 3};
constexpr std::array<size_t, kLargeRegionCount> kLargeWriteOrder = {1, 2, 4, 0, 5, 6, 3};

// The bar's range for the large panel. It is a fixed formula over the
// record tables, not the number of bytes moved; the bar simply stops at its
// maximum when more arrives.
constexpr int32_t kLarge200 = kLarge200Records + 1;
constexpr int32_t kLarge500 = kLarge500Records + 1;
constexpr int32_t kLargeWriteRange = kLarge200 * ((kLargeRegion0Record + 1) + (kLargeRegion1Record + 1));
constexpr int32_t kLargeReadRange = kLargeWriteRange + (kLargeRegion6Record + 1) * kLarge500 + 1;
static_assert(kLargeWriteRange == 18800);
static_assert(kLargeReadRange == 30801);

// The regions span must reach the end of the farthest region.
constexpr size_t LargeRegionsExtent() {
  size_t end = 0;
  for (const TLargeRegion& r : LargePanelMap) end = std::max<size_t>(end, size_t{r.RegionOffset} + r.Bytes);
  return end;
}

// VYR4, VYR8 and VYR8G keep one digit per code byte; the rest pack two.

// The VYR32 and VYR32G take the second user attribute byte and the key
// value byte whole; every other small model gets their high four bits clear.
bool ClearsHighNibbles(int32_t model) { return (model >= 23 && model <= 25) || (model >= 28 && model <= 30); }

void ClearHighNibble(uint8_t& byte) {
  for (int bit = 4; bit < 8; ++bit) SetBit(byte, bit, false);
}

// What such a model keeps of a user's second attribute byte and of a key's
// value: the image is brought to it before it is sent.
void ClearUserHighNibble(UserEntry user) {
  uint8_t second = user.Attr(1);
  ClearHighNibble(second);
  user.SetAttr(1, second);
}

void ClearKeyHighNibble(KeyEntry key) {
  uint8_t value = key.Value();
  ClearHighNibble(value);
  key.SetValue(value);
}

// The value of up to two hexadecimal characters; an empty or malformed
// pair gives 0, so a damaged code text never aborts a write.
uint8_t HexPairValue(const std::string& pair) {
  if (pair.empty()) return 0;
  unsigned value = 0;
  for (char c : pair) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else {
      return 0;
    }
    value = value * 16 + digit;
  }
  return static_cast<uint8_t>(value);
}

// Characters 2j + 1 and 2j + 2 (counting from 1) of text; shorter or empty
// at the end of the text.
std::string Pair(const std::string& text, size_t j) {
  const size_t at = 2 * j;
  return at < text.size() ? text.substr(at, 2) : std::string();
}

// One user's code text as the panel's code bytes: six bytes of one digit
// each, or three bytes of two.
void PutCodeBytes(uint8_t* out, const std::string& code, bool perByte) {
  if (perByte) {
    const std::string digits = CodeTextToDigits(code);
    for (size_t j = 0; j < kDigitPerByteCodeBytes; ++j) out[j] = HexPairValue(Pair(digits, j));
  } else {
    for (size_t j = 0; j < kPackedCodeBytes; ++j) out[j] = HexPairValue(Pair(code, j));
  }
}

// A name as a read gives it back after it was written into a 16-byte field.
std::string NameThroughField(const std::string& name) {
  std::array<uint8_t, kPanelNameWidth> field;
  field.fill(' ');
  std::copy_n(name.begin(), std::min(name.size(), kPanelNameWidth), field.begin());
  return PrintableField(field, 0, kPanelNameWidth);
}

TOutcome ReadBlock(TLink& link, TStep step, uint16_t address, uint16_t length) {
  return In(step, ReadSmallRange(link, address, int32_t{length} - 1, link.Buffer()));
}

TOutcome WriteBlock(TLink& link, TStep step, uint16_t address, uint16_t length, TWriteRecord* written) {
  return In(step, WriteSmallRange(link, address, int32_t{length} - 1, link.Buffer(), written));
}

}  // namespace

void PutPaddedName(TTransferBuffer& buffer, const std::string& name, size_t offset, size_t width) {
  const size_t n = std::min(name.size(), kPanelNameWidth);
  for (size_t i = 0; i < n && offset + i < buffer.size(); ++i) buffer[offset + i] = static_cast<uint8_t>(name[i]);
  for (size_t i = n; i < width && offset + i < buffer.size(); ++i) buffer[offset + i] = ' ';
}

std::string CodeTextToDigits(const std::string& text) {
  std::string out;
  out.reserve(2 * text.size());
  for (char c : text) {
    out.push_back(c == 'F' || c == 'f' ? 'F' : '0');
    out.push_back(c);
  }
  return out;
}

void SetBit(uint8_t& byte, int bit, bool on) {
  if (bit < 0 || bit > 7) return;
  const uint8_t mask = static_cast<uint8_t>(1u << bit);
  byte = on ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
}

bool TestBit(uint32_t value, int bit) { return bit >= 0 && bit < 32 && ((value >> bit) & 1u) != 0; }

std::string CodeTextFromPanel(const uint8_t* bytes, bool oneDigitPerByte) {
  std::string text;
  char digits[3];
  if (oneDigitPerByte) {
    for (size_t i = 0; i < kDigitPerByteCodeBytes; ++i) {
      std::snprintf(digits, sizeof digits, "%X", static_cast<unsigned>(bytes[i]));
      text += digits;
    }
  } else {
    for (size_t i = 0; i < kPackedCodeBytes; ++i) {
      std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(bytes[i]));
      text += digits;
    }
  }
  return text;
}

TOutcome ReadUsers(TLink& link, const TPanelIdentity& panel, UserTable table) {
  const TBlockMap& m = panel.BlockMap;
  const TTransferBuffer& buf = link.Buffer();
  link.Phase(TPhase::ReadingUsers, (int32_t{m.UserAttrLen} - 1) + (int32_t{m.UserNamesLen} - 1));
  SleepOn(link.PanelPort, kSettleBeforeUsersMs, "before the users are read");

  if (TOutcome o = ReadBlock(link, TStep::ReadUsers, m.UserAttrAddr, m.UserAttrLen); !o) return o;
  for (size_t u = 0; u < kUserCount; ++u) {
    UserEntry user = table.User(u);
    for (size_t i = 0; i < kUserAttrSize; ++i) user.SetAttr(i, buf[kUserAttrSize * u + i]);
  }

  if (TOutcome o = ReadBlock(link, TStep::ReadUsers, m.UserNamesAddr, m.UserNamesLen); !o) return o;
  for (size_t u = 0; u < kUserCount; ++u)
    table.User(u).SetName(PrintableField(buf, kPanelNameWidth * u, kPanelNameWidth));
  return Success(TStep::ReadUsers);
}

TOutcome ReadCodesAndMatch(TLink& link, const TPanelIdentity& panel, UserTable table,
                           const std::string& enteredCode) {
  const TBlockMap& m = panel.BlockMap;
  const TTransferBuffer& buf = link.Buffer();
  link.Phase(TPhase::CheckingUserCode, int32_t{m.CodesLen} - 1);

  if (TOutcome o = ReadBlock(link, TStep::ReadCodes, m.CodesAddr, m.CodesLen); !o) return o;
  std::string target = PadRight(enteredCode, kUserCodeMax, 'F');
  const bool perByte = OneDigitPerByte(panel.ConnectedModel);
  const size_t stride = perByte ? kDigitPerByteCodeBytes : kPackedCodeBytes;
  bool found = false;
  // Every user's code text is needed afterwards for the main-user check, so
  // the loop never stops at the first match.
  for (size_t u = 0; u < kUserCount; ++u) {
    std::string text = PadRight(CodeTextFromPanel(buf.data() + stride * u, perByte), kUserCodeMax, 'F');
    std::string stored = text.substr(0, kUserCodeMax);
    table.User(u).SetCode(stored);
    // Compared as stored, not as read: a three-digit code on a one-digit-per-
    // byte panel reads as nine characters, and this tool must be able to
    // prove every code it can write.
    if (stored == target) found = true;
    WipeString(text);
    WipeString(stored);
  }
  WipeString(target);
  return found ? Success(TStep::ReadCodes) : Failure(TResult::CodeStoredNowhere, TStep::ReadCodes);
}

TOutcome ReadKeys(TLink& link, const TPanelIdentity& panel, SmallPanelImage& image) {
  const TBlockMap& m = panel.BlockMap;
  const TTransferBuffer& buf = link.Buffer();
  link.Phase(TPhase::ReadingKeys, int32_t{m.KeyTableLen} + int32_t{m.KeyNamesLen} + int32_t{m.KeyDataLen} - 3);

  if (TOutcome o = ReadBlock(link, TStep::ReadKeys, m.KeyDataAddr, m.KeyDataLen); !o) return o;
  std::copy_n(buf.begin(), kKeyDataSize, image.KeyData().begin());

  if (TOutcome o = ReadBlock(link, TStep::ReadKeys, m.KeyTableAddr, m.KeyTableLen); !o) return o;
  for (size_t i = 0; i < kKeyCount; ++i) {
    const uint8_t flags = buf[kKeyRecordBytes * i];
    const uint8_t value = buf[kKeyRecordBytes * i + 1];
    const uint8_t number = buf[kKeyRecordBytes * i + 2];
    // A record can only describe one of the image's keys; one that names a
    // key past the last is left out rather than spilling into other data.
    if (number >= kKeyCount) continue;
    KeyEntry key = image.Key(number);
    key.SetFlags(flags & kKeyOwnFlagsMask);
    key.SetFlags23(flags & kKeyFlags23Mask);
    key.SetValue(value);
  }

  for (size_t k = 0; k < kKeyCount; ++k) image.Key(k).ClearName();
  if (TOutcome o = ReadBlock(link, TStep::ReadKeys, m.KeyNamesAddr, m.KeyNamesLen); !o) return o;
  for (size_t k = 0; k < kNamedKeys; ++k)
    image.Key(k).SetName(PrintableField(buf, kPanelNameWidth * k, kPanelNameWidth));

  link.Clear();
  return Success(TStep::ReadKeys);
}

TOutcome WriteCodes(TLink& link, const TPanelIdentity& panel, SmallPanelImage& image, TWriteRecord* written) {
  const TBlockMap& m = panel.BlockMap;
  TTransferBuffer& buf = link.Buffer();
  link.Phase(TPhase::WritingCodes, 2 * (int32_t{m.CodesLen} - 1));

  const bool perByte = OneDigitPerByte(panel.ConnectedModel);
  const size_t stride = perByte ? kDigitPerByteCodeBytes : kPackedCodeBytes;
  for (size_t u = 0; u < kUserCount; ++u) PutCodeBytes(buf.data() + stride * u, image.User(u).Code(), perByte);
  // On the VYR16D the block is twice as long as its codes. The rest is left
  // as the code check just read it from this same panel, so the panel gets
  // its own bytes back; clearing the buffer here would overwrite them.
  if (TOutcome o = WriteBlock(link, TStep::WriteCodes, m.CodesAddr, m.CodesLen, written); !o) return o;

  link.Clear();
  return Success(TStep::WriteCodes);
}

TOutcome WriteUsers(TLink& link, const TPanelIdentity& panel, SmallPanelImage& image, TWriteRecord* written) {
  const TBlockMap& m = panel.BlockMap;
  TTransferBuffer& buf = link.Buffer();

  const bool clearHigh = ClearsHighNibbles(panel.ConnectedModel);
  for (size_t u = 0; u < kUserCount; ++u) {
    UserEntry user = image.User(u);
    if (clearHigh) ClearUserHighNibble(user);
    for (size_t i = 0; i < kUserAttrSize; ++i) buf[kUserAttrSize * u + i] = user.Attr(i);
  }

  link.Phase(TPhase::WritingUsers, (int32_t{m.UserAttrLen} - 1) + (int32_t{m.UserNamesLen} - 1));
  if (TOutcome o = WriteBlock(link, TStep::WriteUsers, m.UserAttrAddr, m.UserAttrLen, written); !o) return o;

  for (size_t u = 0; u < kUserCount; ++u) PutPaddedName(buf, image.User(u).Name(), kPanelNameWidth * u, kPanelNameWidth);
  if (TOutcome o = WriteBlock(link, TStep::WriteUsers, m.UserNamesAddr, m.UserNamesLen, written); !o) return o;

  link.Clear();
  return Success(TStep::WriteUsers);
}

TOutcome WriteKeys(TLink& link, const TPanelIdentity& panel, SmallPanelImage& image, TWriteRecord* written) {
  const TBlockMap& m = panel.BlockMap;
  TTransferBuffer& buf = link.Buffer();
  link.Phase(TPhase::WritingKeys, 2 * int32_t{m.KeyTableLen} + int32_t{m.KeyNamesLen} - 3);

  if (ClearsHighNibbles(panel.ConnectedModel))
    for (size_t k = 0; k < kKeyCount; ++k) ClearKeyHighNibble(image.Key(k));

  std::copy_n(image.KeyData().begin(), kKeyDataSize, buf.begin());
  if (TOutcome o = WriteBlock(link, TStep::WriteKeys, m.KeyDataAddr, m.KeyDataLen, written); !o) return o;

  // Records go out in key order whatever order the source panel kept them
  // in. Flag bits 2 and 3 are not merged back from their own byte: the
  // panel gets them as they stand in the flags byte.
  for (size_t i = 0; i < kKeyCount; ++i) {
    KeyEntry key = image.Key(i);
    buf[kKeyRecordBytes * i] = key.Flags();
    buf[kKeyRecordBytes * i + 1] = key.Value();
    buf[kKeyRecordBytes * i + 2] = static_cast<uint8_t>(i);
  }
  if (TOutcome o = WriteBlock(link, TStep::WriteKeys, m.KeyTableAddr, m.KeyTableLen, written); !o) return o;

  for (size_t k = 0; k < kNamedKeys; ++k) PutPaddedName(buf, image.Key(k).Name(), kPanelNameWidth * k, kPanelNameWidth);
  if (TOutcome o = WriteBlock(link, TStep::WriteKeys, m.KeyNamesAddr, m.KeyNamesLen, written); !o) return o;

  link.Clear();
  return Success(TStep::WriteKeys);
}

TOutcome ReadLargePanel(TLink& link, std::span<uint8_t> regions) {
  if (regions.size() < LargeRegionsExtent()) return Failure(TResult::RangeRefused, TStep::ReadLarge);
  TTransferBuffer& buf = link.Buffer();
  link.Phase(TPhase::ReadingLarge, kLargeReadRange);

  for (size_t r : kLargeReadOrder) {
    const TLargeRegion& region = LargePanelMap[r];
    const TOutcome o = ReadLargeRange(link, static_cast<int32_t>(region.PanelAddress),
                                      static_cast<int32_t>(region.Bytes) - 1, buf);
    if (!o) return In(TStep::ReadLarge, o);
    std::copy_n(buf.begin(), region.Bytes, regions.begin() + region.RegionOffset);
  }
  return Success(TStep::ReadLarge);
}

TOutcome WriteLargePanel(TLink& link, std::span<const uint8_t> regions, TWriteRecord* written) {
  if (regions.size() < LargeRegionsExtent()) return Failure(TResult::RangeRefused, TStep::WriteLarge);
  TTransferBuffer& buf = link.Buffer();
  link.Range(kLargeWriteRange);

  for (size_t r : kLargeWriteOrder) {
    const TLargeRegion& region = LargePanelMap[r];
    std::copy_n(regions.begin() + region.RegionOffset, region.Bytes, buf.begin());
    const TOutcome o = WriteLargeRange(link, static_cast<int32_t>(region.PanelAddress),
                                       static_cast<int32_t>(region.Bytes) - 1, buf, written);
    if (!o) return In(TStep::WriteLarge, o);
  }
  link.Clear();
  return Success(TStep::WriteLarge);
}

bool OneDigitPerByte(int32_t model) { return model >= 23 && model <= 25; }

size_t CodeBytesInCodeBlock(int32_t model) {
  return kUserCount * (OneDigitPerByte(model) ? kDigitPerByteCodeBytes : kPackedCodeBytes);
}

TOutcome VerifyWritten(TLink& link, const TPanelIdentity& panel, const TWriteRecord& record) {
  const std::vector<TWriteRecord::TRange> runs = record.Ranges();
  link.Phase(TPhase::Verifying, static_cast<int32_t>(record.Size()));
  TTransferBuffer& buf = link.Buffer();
  const bool large = panel.IsLargePanel();
  // A read changes nothing in the panel, so each read-back exchange is
  // tried at least kReadBackRetries + 1 times, with the exchange's own
  // retry pause between the attempts.
  const TLinkTuning tuning = link.Tuning;
  link.Tuning.Attempts = std::max(tuning.Attempts, kReadBackRetries + 1);
  TOutcome result = Success(TStep::Verify);
  for (const TWriteRecord::TRange& run : runs) {
    // A run longer than the transfer buffer is read in pieces.
    for (uint32_t done = 0; done < run.count;) {
      const TWriteRecord::TRange piece{run.start + done,
                                       std::min<uint32_t>(run.count - done, static_cast<uint32_t>(buf.size()))};
      const int32_t start = static_cast<int32_t>(piece.start);
      const int32_t last = static_cast<int32_t>(piece.count) - 1;
      const TOutcome read = large ? ReadLargeRange(link, start, last, buf) : ReadSmallRange(link, start, last, buf);
      if (!read) {
        result = read;
        result.result = TResult::VerifyReadFailed;
        result.step = TStep::Verify;
        break;
      }
      uint32_t at = 0;
      // Runs come in ascending order: the first difference found is the
      // lowest address that differs, and the rest need not be read.
      if (record.FirstDifference(piece, buf.data(), &at)) {
        result = Failure(TResult::VerifyDiffers, TStep::Verify);
        result.large = large;
        result.address = at;
        break;
      }
      done += piece.count;
    }
    if (!result) break;
  }
  link.Tuning = tuning;
  link.Clear();
  return result;
}

void ImageAsWrittenInto(const TPanelIdentity& panel, SmallPanelImage& image) {
  const bool clearHigh = ClearsHighNibbles(panel.ConnectedModel);
  const bool perByte = OneDigitPerByte(panel.ConnectedModel);
  for (size_t u = 0; u < kUserCount; ++u) {
    UserEntry user = image.User(u);
    if (clearHigh) ClearUserHighNibble(user);
    user.SetName(NameThroughField(user.Name()));
    std::array<uint8_t, kDigitPerByteCodeBytes> bytes{};
    PutCodeBytes(bytes.data(), user.Code(), perByte);
    std::string text = PadRight(CodeTextFromPanel(bytes.data(), perByte), kUserCodeMax, 'F');
    user.SetCode(text.substr(0, kUserCodeMax));
    WipeBytes(bytes.data(), bytes.size());
    WipeString(text);
  }
  for (size_t k = 0; k < kKeyCount; ++k) {
    KeyEntry key = image.Key(k);
    if (clearHigh) ClearKeyHighNibble(key);
    const uint8_t flags = key.Flags();
    key.SetFlags(flags & kKeyOwnFlagsMask);
    key.SetFlags23(flags & kKeyFlags23Mask);
    if (k < kNamedKeys) key.SetName(NameThroughField(key.Name()));
    else key.ClearName();
  }
}

}  // namespace tarvex
