// Code and key transfer sequences: move the contents of a data image
// between the image and the connected panel, block by block, with the
// block map (small panels) or the large panel's map. Each sequence returns
// the outcome of the block transfer that failed, or success; it announces
// its phase and steps the bar through the link's progress events, and
// leaves the bar as it is on failure: the caller says what it means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "protocol/link.h"
#include "protocol/outcome.h"
#include "protocol/panel_image.h"
#include "protocol/write_record.h"

namespace tarvex {

// Users' attributes and names into the table.
TOutcome ReadUsers(TLink& link, const TPanelIdentity& panel, UserTable table);
// The 24 codes into the table; success when the block was read and some
// user's code text equals the entered code padded with F to 8 characters,
// CodeStoredNowhere when it was read and none does.
TOutcome ReadCodesAndMatch(TLink& link, const TPanelIdentity& panel, UserTable table, const std::string& enteredCode);
// Keys & cards into a small image.
TOutcome ReadKeys(TLink& link, const TPanelIdentity& panel, SmallPanelImage& image);
// From the small image into the panel; written, when given, notes every
// byte the panel took. WriteCodes sends the code block as it stands in the
// transfer buffer after filling in the codes: on the VYR16D the block's
// second half must be there as read from this panel. WriteUsers and
// WriteKeys clear in the image the bits that the model does not take.
TOutcome WriteCodes(TLink& link, const TPanelIdentity& panel, SmallPanelImage& image,
                    TWriteRecord* written = nullptr);
TOutcome WriteUsers(TLink& link, const TPanelIdentity& panel, SmallPanelImage& image,
                    TWriteRecord* written = nullptr);
TOutcome WriteKeys(TLink& link, const TPanelIdentity& panel, SmallPanelImage& image, TWriteRecord* written = nullptr);
// The seven blocks of the large panel, regions starting at image offset 1485.
// A regions span too short to hold every region is refused (RangeRefused)
// before anything is sent.
TOutcome ReadLargePanel(TLink& link, std::span<uint8_t> regions);
// The write announces no phase of its own: only the bar's range.
TOutcome WriteLargePanel(TLink& link, std::span<const uint8_t> regions, TWriteRecord* written = nullptr);

// VYR4, VYR8 and VYR8G keep one code digit per byte (six bytes a user);
// the other small models two digits per byte (three bytes a user).
bool OneDigitPerByte(int32_t model);
// How many bytes at the start of the code block hold the users' codes; on
// map 3 the block is longer and the rest belongs to the panel.
size_t CodeBytesInCodeBlock(int32_t model);

// How many times at least a failed read-back exchange is tried again
// (after the exchange's retry pause) before the read-back gives up.
inline constexpr int kReadBackRetries = 3;

// Reads back every byte the record holds, in runs of consecutive
// addresses through the transfer buffer (the small or the large panel's
// reads, by the identified model), and compares it with what was written.
// Announces its phase (Verifying) with a bar over the bytes read back and
// clears it at the end. Success when every byte is the same; VerifyDiffers
// with the lowest address that differs; VerifyReadFailed, with the failed
// read's block and line state, when the read-back could not finish: each
// exchange is tried at least kReadBackRetries + 1 times (once only when
// the line is lost).
TOutcome VerifyWritten(TLink& link, const TPanelIdentity& panel, const TWriteRecord& record);

// Writes the first min(length, 16) characters of name at offset, then
// spaces up to offset + width - 1.
void PutPaddedName(TTransferBuffer& buffer, const std::string& name, size_t offset, size_t width);
// Each character c becomes "F" + c when it is F or f, else "0" + c.
std::string CodeTextToDigits(const std::string& text);
void SetBit(uint8_t& byte, int bit, bool on);
bool TestBit(uint32_t value, int bit);

// The code text of one user as the panel's code bytes give it (before the
// cut to 8 characters): map 1 six bytes as hexadecimal without leading
// zeros, maps 2 and 3 three bytes as two hexadecimal digits each.
std::string CodeTextFromPanel(const uint8_t* bytes, bool oneDigitPerByte);

// What the panel of this identity holds after the image has been sent
// into it, as a read gives it back: codes through the model's code bytes,
// names through the panel's 16-byte fields, the bits the model does not
// take cleared, flag bits 2 and 3 as the flags byte carries them, keys 16
// to 127 without names. The header and the key data are left as they are.
void ImageAsWrittenInto(const TPanelIdentity& panel, SmallPanelImage& image);

}  // namespace tarvex
