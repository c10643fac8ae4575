// Command frames and block transfer: the only way panel memory is read or
// written. Two frame formats: small panels (16-bit addresses, additive
// checksum, 64-byte blocks) and the large panel (24-bit addresses sent high
// byte first, CRC-16/CMS, 1023-byte blocks). Every exchange sends a 6-byte
// header that the panel echoes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/link.h"
#include "protocol/outcome.h"
#include "protocol/write_record.h"
#include "serial/trace.h"

namespace tarvex {

inline constexpr uint32_t SmallBlockSize = 64;
inline constexpr uint32_t LargeBlockSize = 1023;  // not 1024

inline constexpr uint8_t kSmallReadCommand = 0xF0;
inline constexpr uint8_t kSmallWriteCommand = 0x0F;
inline constexpr uint8_t kLargeReadCommand = 0xF8;
inline constexpr uint8_t kLargeWriteCommand = 0xA8;

// Limits of the waits, in whole seconds, and the fixed pauses, in ms.
inline constexpr int kEchoBaseMs = 3000;        // read echo: 3000 + 10 x last index ms
inline constexpr int kEchoPerByteMs = 10;
inline constexpr int kEchoMaxMs = 30000;
inline constexpr double kDataByteLimit = 2;     // each data or check byte of a reply
inline constexpr double kSmallWriteEchoLimit = 4;  // 4600 ms, in whole seconds
inline constexpr double kLargeWriteEchoLimit = 3;  // 3000 ms
inline constexpr int kSmallWriteSuccessPauseMs = 100;
inline constexpr int kSmallWriteRangePauseMs = 50;
inline constexpr int kLargeWriteRangePauseMs = 25;

// The largest range: the transfer buffer's 65537 bytes.
inline constexpr int32_t kMaxLastIndex = static_cast<int32_t>(kTransferBufferSize) - 1;

using THeader = std::array<uint8_t, 6>;

THeader MakeSmallHeader(uint8_t command, uint32_t address, uint32_t lastIndex);
THeader MakeLargeHeader(uint8_t command, uint32_t address, uint32_t lastIndex);

uint8_t Sum8(const uint8_t* data, size_t count);
// CRC-16/CMS: polynomial 0x8005, initial value 0xFFFF, most significant bit
// first, no reflection, no final XOR. Check value over "123456789": 0xAEE7.
uint16_t Crc16Cms(const uint8_t* data, size_t count);

// The echo test: equal to the header sent, ASCII letters compared without
// regard to case, every other byte exactly; a short reply never matches.
bool EchoMatches(const THeader& sent, const std::string& reply);

// Waits until count bytes are queued and reads exactly those; empty when
// the limit (whole seconds) passes first, leaving the queue as it was. The
// role names what was awaited in the trace of a wait that ran out.
std::string ReadReply(TComm& comm, int count, double limitSeconds, TTraceRole role = TTraceRole::None);

// The data bytes of a read reply and their check byte(s); each byte waits
// at most 2 s. True only when every byte came and the check matches.
bool ReceiveSmallData(TComm& comm, uint8_t* dst, uint32_t lastIndex);
bool ReceiveLargeData(TComm& comm, uint8_t* dst, uint32_t lastIndex);

// The echo limit of a read exchange, in whole seconds.
int ReadEchoLimitSeconds(uint32_t lastIndex);

// One block exchange each, with the attempts and pauses of the link's
// tuning. The outcome names the block and, on failure, what went wrong in
// the last attempt.
TOutcome ReadSmallBlock(TLink& link, uint32_t address, uint32_t lastIndex, uint8_t* block);
TOutcome WriteSmallBlock(TLink& link, uint32_t address, uint32_t lastIndex, const uint8_t* block);
TOutcome ReadLargeBlock(TLink& link, uint32_t address, uint32_t lastIndex, uint8_t* block);
TOutcome WriteLargeBlock(TLink& link, uint32_t address, uint32_t lastIndex, const uint8_t* block);

// Range operations: any length up to the transfer buffer, split into blocks,
// a Step event after every block, stopping at the first failed block (whose
// outcome is returned). Buffer index 0 holds the byte of the start address.
// The writes and ReadLargeRange refuse start address 0 without sending
// anything; so do all four for a last index outside 0..65536. A write
// range notes every block the panel took in written, when given.
TOutcome ReadSmallRange(TLink& link, int32_t start, int32_t lastIndex, TTransferBuffer& buffer);
TOutcome WriteSmallRange(TLink& link, int32_t start, int32_t lastIndex, TTransferBuffer& buffer,
                         TWriteRecord* written = nullptr);
TOutcome ReadLargeRange(TLink& link, int32_t start, int32_t lastIndex, TTransferBuffer& buffer);
TOutcome WriteLargeRange(TLink& link, int32_t start, int32_t lastIndex, TTransferBuffer& buffer,
                         TWriteRecord* written = nullptr);

}  // namespace tarvex
