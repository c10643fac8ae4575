#include "protocol/transfer.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "protocol/frames.h"
#include "protocol/text.h"

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

// Every sequence announces its phase the same way; the extra pump lets the
// window paint the new status before the first block holds the thread.
void BeginPhase(TSession& s, const std::string& status, int32_t range) {
  s.ShowStatus(status);
  s.Notify(ProgressPump);
  s.Notify(ProgressSetRange, range);
}

bool SmallReadFailed(TSession& s) {
  s.Box(TBoxKind::Warning, s.LangStrings.ReadError);
  s.Notify(ProgressClear);
  return false;
}

bool SmallWriteFailed(TSession& s) {
  s.Box(TBoxKind::Warning, s.LangStrings.WriteError);
  s.Notify(ProgressClear);
  return false;
}

bool ReadBlock(TSession& s, TComm& port, uint16_t address, uint16_t length) {
  return ReadSmallRange(s, address, int32_t{length} - 1, *s.TransferBuffer, port);
}

bool WriteBlock(TSession& s, TComm& port, uint16_t address, uint16_t length) {
  return WriteSmallRange(s, address, int32_t{length} - 1, *s.TransferBuffer, port);
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

bool ReadUsers(TSession& s, TComm& port, UserTable table) {
  const TBlockMap& m = s.BlockMap;
  const TTransferBuffer& buf = *s.TransferBuffer;
  BeginPhase(s, s.LangStrings.ReadingCodes, (int32_t{m.UserAttrLen} - 1) + (int32_t{m.UserNamesLen} - 1));
  SleepOn(port, kSettleBeforeUsersMs, "before the users are read");

  if (!ReadBlock(s, port, m.UserAttrAddr, m.UserAttrLen)) return SmallReadFailed(s);
  for (size_t u = 0; u < kUserCount; ++u) {
    UserEntry user = table.User(u);
    for (size_t i = 0; i < kUserAttrSize; ++i) user.SetAttr(i, buf[kUserAttrSize * u + i]);
  }

  if (!ReadBlock(s, port, m.UserNamesAddr, m.UserNamesLen)) return SmallReadFailed(s);
  for (size_t u = 0; u < kUserCount; ++u)
    table.User(u).SetName(PrintableField(buf, kPanelNameWidth * u, kPanelNameWidth));
  return true;
}

bool ReadCodesAndMatch(TSession& s, TComm& port, UserTable table, const std::string& enteredCode,
                       bool* blockRead) {
  const TBlockMap& m = s.BlockMap;
  const TTransferBuffer& buf = *s.TransferBuffer;
  if (blockRead) *blockRead = false;
  BeginPhase(s, s.LangStrings.CheckingUserCode, int32_t{m.CodesLen} - 1);

  if (!ReadBlock(s, port, m.CodesAddr, m.CodesLen)) return SmallReadFailed(s);
  if (blockRead) *blockRead = true;
  const std::string target = PadRight(enteredCode, kUserCodeMax, 'F');
  const bool perByte = OneDigitPerByte(s.SystemFlags.ConnectedModel);
  const size_t stride = perByte ? kDigitPerByteCodeBytes : kPackedCodeBytes;
  bool found = false;
  // Every user's code text is needed afterwards for the main-user check, so
  // the loop never stops at the first match.
  for (size_t u = 0; u < kUserCount; ++u) {
    const std::string text = PadRight(CodeTextFromPanel(buf.data() + stride * u, perByte), kUserCodeMax, 'F');
    const std::string stored = text.substr(0, kUserCodeMax);
    table.User(u).SetCode(stored);
    // Compared as stored, not as read: a three-digit code on a one-digit-per-
    // byte panel reads as nine characters, and this tool must be able to
    // prove every code it can write.
    if (stored == target) found = true;
  }
  return found;
}

bool ReadKeys(TSession& s, TComm& port) { return ReadKeys(s, port, *s.Small); }

bool ReadKeys(TSession& s, TComm& port, SmallPanelImage& image) {
  const TBlockMap& m = s.BlockMap;
  const TTransferBuffer& buf = *s.TransferBuffer;
  BeginPhase(s, s.LangStrings.ReadingKeys,
             int32_t{m.KeyTableLen} + int32_t{m.KeyNamesLen} + int32_t{m.KeyDataLen} - 3);

  if (!ReadBlock(s, port, m.KeyDataAddr, m.KeyDataLen)) return SmallReadFailed(s);
  std::copy_n(buf.begin(), kKeyDataSize, image.KeyData().begin());

  if (!ReadBlock(s, port, m.KeyTableAddr, m.KeyTableLen)) return SmallReadFailed(s);
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
  if (!ReadBlock(s, port, m.KeyNamesAddr, m.KeyNamesLen)) return SmallReadFailed(s);
  for (size_t k = 0; k < kNamedKeys; ++k)
    image.Key(k).SetName(PrintableField(buf, kPanelNameWidth * k, kPanelNameWidth));

  s.Notify(ProgressClear);
  return true;
}

bool WriteCodes(TSession& s, TComm& port) {
  const TBlockMap& m = s.BlockMap;
  TTransferBuffer& buf = *s.TransferBuffer;
  SmallPanelImage& image = *s.Small;
  BeginPhase(s, s.LangStrings.WritingCodes, 2 * (int32_t{m.CodesLen} - 1));

  const bool perByte = OneDigitPerByte(s.SystemFlags.ConnectedModel);
  for (size_t u = 0; u < kUserCount; ++u) {
    const std::string code = image.User(u).Code();
    if (perByte) {
      const std::string digits = CodeTextToDigits(code);
      for (size_t j = 0; j < kDigitPerByteCodeBytes; ++j)
        buf[kDigitPerByteCodeBytes * u + j] = HexPairValue(Pair(digits, j));
    } else {
      for (size_t j = 0; j < kPackedCodeBytes; ++j) buf[kPackedCodeBytes * u + j] = HexPairValue(Pair(code, j));
    }
  }
  // On the VYR16D the block is twice as long as its codes. The rest is left
  // as the code check just read it from this same panel, so the panel gets
  // its own bytes back; clearing the buffer here would overwrite them.
  if (!WriteBlock(s, port, m.CodesAddr, m.CodesLen)) return SmallWriteFailed(s);

  s.Notify(ProgressClear);
  return true;
}

bool WriteUsers(TSession& s, TComm& port) {
  const TBlockMap& m = s.BlockMap;
  TTransferBuffer& buf = *s.TransferBuffer;
  SmallPanelImage& image = *s.Small;

  const bool clearHigh = ClearsHighNibbles(s.SystemFlags.ConnectedModel);
  for (size_t u = 0; u < kUserCount; ++u) {
    UserEntry user = image.User(u);
    if (clearHigh) {
      uint8_t second = user.Attr(1);
      ClearHighNibble(second);
      user.SetAttr(1, second);
    }
    for (size_t i = 0; i < kUserAttrSize; ++i) buf[kUserAttrSize * u + i] = user.Attr(i);
  }

  BeginPhase(s, s.LangStrings.WritingCodes, (int32_t{m.UserAttrLen} - 1) + (int32_t{m.UserNamesLen} - 1));
  if (!WriteBlock(s, port, m.UserAttrAddr, m.UserAttrLen)) return SmallWriteFailed(s);

  for (size_t u = 0; u < kUserCount; ++u) PutPaddedName(buf, image.User(u).Name(), kPanelNameWidth * u, kPanelNameWidth);
  if (!WriteBlock(s, port, m.UserNamesAddr, m.UserNamesLen)) return SmallWriteFailed(s);

  s.Notify(ProgressClear);
  return true;
}

bool WriteKeys(TSession& s, TComm& port) {
  const TBlockMap& m = s.BlockMap;
  TTransferBuffer& buf = *s.TransferBuffer;
  SmallPanelImage& image = *s.Small;
  BeginPhase(s, s.LangStrings.WritingKeys, 2 * int32_t{m.KeyTableLen} + int32_t{m.KeyNamesLen} - 3);

  if (ClearsHighNibbles(s.SystemFlags.ConnectedModel)) {
    for (size_t k = 0; k < kKeyCount; ++k) {
      KeyEntry key = image.Key(k);
      uint8_t value = key.Value();
      ClearHighNibble(value);
      key.SetValue(value);
    }
  }

  std::copy_n(image.KeyData().begin(), kKeyDataSize, buf.begin());
  if (!WriteBlock(s, port, m.KeyDataAddr, m.KeyDataLen)) return SmallWriteFailed(s);

  // Records go out in key order whatever order the source panel kept them
  // in. Flag bits 2 and 3 are not merged back from their own byte: the
  // panel gets them as they stand in the flags byte.
  for (size_t i = 0; i < kKeyCount; ++i) {
    KeyEntry key = image.Key(i);
    buf[kKeyRecordBytes * i] = key.Flags();
    buf[kKeyRecordBytes * i + 1] = key.Value();
    buf[kKeyRecordBytes * i + 2] = static_cast<uint8_t>(i);
  }
  if (!WriteBlock(s, port, m.KeyTableAddr, m.KeyTableLen)) return SmallWriteFailed(s);

  for (size_t k = 0; k < kNamedKeys; ++k) PutPaddedName(buf, image.Key(k).Name(), kPanelNameWidth * k, kPanelNameWidth);
  if (!WriteBlock(s, port, m.KeyNamesAddr, m.KeyNamesLen)) return SmallWriteFailed(s);

  s.Notify(ProgressClear);
  return true;
}

bool ReadLargePanel(TSession& s, TComm& port, std::span<uint8_t> regions) {
  if (regions.size() < LargeRegionsExtent()) return false;
  TTransferBuffer& buf = *s.TransferBuffer;
  BeginPhase(s, s.LangStrings.ReadingCodes, kLargeReadRange);

  for (size_t r : kLargeReadOrder) {
    const TLargeRegion& region = LargePanelMap[r];
    if (ReadLargeRange(s, static_cast<int32_t>(region.PanelAddress), static_cast<int32_t>(region.Bytes) - 1, buf,
                       port) != 0) {
      // The window goes on to show its own status; the bar is left as it is.
      s.Box(TBoxKind::Warning, s.LangStrings.ReadError);
      return false;
    }
    std::copy_n(buf.begin(), region.Bytes, regions.begin() + region.RegionOffset);
  }
  return true;
}

bool WriteLargePanel(TSession& s, TComm& port, std::span<uint8_t> regions) {
  if (regions.size() < LargeRegionsExtent()) return false;
  TTransferBuffer& buf = *s.TransferBuffer;
  // The status line keeps what the send workflow showed last.
  s.Notify(ProgressSetRange, kLargeWriteRange);

  for (size_t r : kLargeWriteOrder) {
    const TLargeRegion& region = LargePanelMap[r];
    std::copy_n(regions.begin() + region.RegionOffset, region.Bytes, buf.begin());
    if (!WriteLargeRange(s, static_cast<int32_t>(region.PanelAddress), static_cast<int32_t>(region.Bytes) - 1, buf,
                         port)) {
      s.Box(TBoxKind::Error, s.LangStrings.WriteError);
      s.Notify(ProgressClear);
      return false;
    }
  }
  s.Notify(ProgressClear);
  return true;
}

bool OneDigitPerByte(int32_t model) { return model >= 23 && model <= 25; }

size_t CodeBytesInCodeBlock(int32_t model) {
  return kUserCount * (OneDigitPerByte(model) ? kDigitPerByteCodeBytes : kPackedCodeBytes);
}

TVerifyResult VerifyWritten(TSession& s, TComm& port, const TWriteRecord& record, uint32_t* firstDifference) {
  const std::vector<TWriteRecord::TRange> runs = record.Ranges();
  BeginPhase(s, s.ExtraStrings.VerifyingData, static_cast<int32_t>(record.Size()));
  TTransferBuffer& buf = *s.TransferBuffer;
  TVerifyResult result = TVerifyResult::Same;
  uint32_t lowest = 0;
  for (const TWriteRecord::TRange& run : runs) {
    // A run longer than the transfer buffer is read in pieces.
    for (uint32_t done = 0; done < run.count;) {
      const TWriteRecord::TRange piece{run.start + done,
                                       std::min<uint32_t>(run.count - done, static_cast<uint32_t>(buf.size()))};
      const int32_t start = static_cast<int32_t>(piece.start);
      const int32_t last = static_cast<int32_t>(piece.count) - 1;
      const bool read = s.IsLargePanel() ? ReadLargeRange(s, start, last, buf, port) == 0
                                         : ReadSmallRange(s, start, last, buf, port);
      if (!read) {
        result = TVerifyResult::ReadFailed;
        break;
      }
      uint32_t at = 0;
      // Runs come in ascending order: the first difference found is the
      // lowest address that differs, and the rest need not be read.
      if (record.FirstDifference(piece, buf.data(), &at)) {
        result = TVerifyResult::Differs;
        lowest = at;
        break;
      }
      done += piece.count;
    }
    if (result != TVerifyResult::Same) break;
  }
  s.Notify(ProgressClear);
  if (result == TVerifyResult::Differs && firstDifference) *firstDifference = lowest;
  return result;
}

}  // namespace tarvex
