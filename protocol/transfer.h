// Code and key transfer sequences: move the contents of a data image
// between the image and the connected panel, block by block, with the
// block map (small panels) or the large panel's map. Each sequence shows
// its own message box when a block transfer fails and returns false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "protocol/session.h"

namespace tarvex {

// Users' attributes and names into the table. True when both blocks were read.
bool ReadUsers(TSession& s, TComm& port, UserTable table);
// The 24 codes into the table; true when the block was read and some user's
// code text equals the entered code padded with F to 8 characters. A false
// alone does not tell a failed read from a code stored nowhere; blockRead,
// when given, does (true once the code block was read).
bool ReadCodesAndMatch(TSession& s, TComm& port, UserTable table, const std::string& enteredCode,
                       bool* blockRead = nullptr);
// Keys & cards into the small image. True when all three blocks were read.
bool ReadKeys(TSession& s, TComm& port);
// The same into another small image (a backup of a target panel).
bool ReadKeys(TSession& s, TComm& port, SmallPanelImage& image);
// From the small image into the panel.
bool WriteCodes(TSession& s, TComm& port);
bool WriteUsers(TSession& s, TComm& port);
bool WriteKeys(TSession& s, TComm& port);
// The seven blocks of the large panel, regions starting at image offset 1485.
// A regions span too short to hold every region is refused (false) before
// anything is sent or shown.
bool ReadLargePanel(TSession& s, TComm& port, std::span<uint8_t> regions);
bool WriteLargePanel(TSession& s, TComm& port, std::span<uint8_t> regions);

// VYR4, VYR8 and VYR8G keep one code digit per byte (six bytes a user);
// the other small models two digits per byte (three bytes a user).
bool OneDigitPerByte(int32_t model);
// How many bytes at the start of the code block hold the users' codes; on
// map 3 the block is longer and the rest belongs to the panel.
size_t CodeBytesInCodeBlock(int32_t model);

// Reads back every byte the record holds, in runs of consecutive
// addresses through the transfer buffer (the small or the large panel's
// reads, by the connected model), and compares it with what was written.
// Announces its phase (VerifyingData) with a bar over the bytes read back
// and clears it at the end. Shows no box: the caller says what the outcome
// means.
enum class TVerifyResult { Same, ReadFailed, Differs };
TVerifyResult VerifyWritten(TSession& s, TComm& port, const TWriteRecord& record, uint32_t* firstDifference);

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

}  // namespace tarvex
