// What a simulated panel is: its model, firmware, line speed, main code and
// the fault it plays, plus the block maps and encodings of the panel family.
// Plain C++: the in-process line of a Windows build uses it as the pty panel
// of a POSIX build does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvex::sim {

enum class FaultKind {
  None,
  // The header is ignored: nothing is sent and nothing is stored.
  NoEcho,
  // The echo goes out with ASCII letters in the other case (0x41..0x5A sent as
  // +0x20, 0x61..0x7A as -0x20). A header without letter bytes is echoed
  // unchanged, so on such a header this fault is invisible.
  EchoCase,
  // Read: the sum or CRC after the data is wrong. Write: the check after
  // the data arrives altered, so the panel's check of the block fails and
  // it discards the block silently; its echo has already gone out, as a
  // real panel echoes a write's header before the data comes in.
  BadCheck,
  // Read: the last check byte (the sum, or the CRC high byte) is not sent.
  // No effect on writes and on the baud probe, which carry no check byte back.
  MissingCheckByte,
  // A few random bytes go out before the echo (a write is still stored).
  NoiseBeforeEcho,
  // Read: the echo and about half of the data are sent, then nothing more for
  // this exchange. Write and probe: only the first three echo bytes are sent
  // (a write's data is still taken and stored when its check is good).
  Stall,
  // As Stall, then the panel closes its side of the line once those bytes
  // are out: the tool's open port sees a hang-up and the device is gone (the
  // pty's node disappears; the in-process line refuses later opens). A
  // write's data, still on its way, is not stored. The panel stays dead
  // until it is stopped.
  CloseLine,
  // One data byte is altered on the line (the one at index count / 2 of the
  // block, all of its bits flipped). Write: it reaches the panel altered, the
  // panel's check of the block fails against the check the tool sent, and
  // the block is discarded after its echo. Read: it reaches the tool
  // altered, with the check of the data as the panel holds it, so the
  // tool's check fails. No effect on the baud probe, which has no data.
  CorruptData,
};

// atExchange counts the headers the panel has taken off the line since it
// started (SimPanel::Start, or the making of a TSimLine), every one of them:
// reads, writes, baud probes, headers sent at a wrong line speed and headers
// the panel ignores (bad checksum, unknown command). 0 means every exchange.
// A fault only changes an answer the panel would otherwise give; a header
// the panel does not answer stays unanswered.
// repeat: the fault hits that many exchanges in a row from atExchange on.
// atWrite, when above 0, counts write headers only (from 1, since the
// start) in place of atExchange: the fault hits the atWrite-th write and,
// with repeat, the writes after it; a test can so stop a send at a given
// block without counting the reads before it.
struct Fault {
  FaultKind kind = FaultKind::None;
  int atExchange = 0;
  int repeat = 1;
  int atWrite = 0;
};

struct PanelConfig {
  // VYR4 VYR8 VYR8G VYR32 VYR32G VYR8W VYR8WG VYR16D, or "VYR 320" (large).
  std::string model = "VYR8";
  // Small: 4 ASCII characters at address 8. Large: the version text at 5523
  // ("2.05", or the placeholder "2.xx"). Empty: a version the program
  // accepts, "2.10" for a small panel and "2.05" for the large one.
  std::string firmware;
  // Large only: the version text at 65544, read when firmware is "2.xx".
  std::string largeRealVersion = "2.05";
  // Large only: "K1" at 5523 + 15.
  bool k1 = false;
  // Line speed the panel talks at; 0 = default (small 9600, large 38400).
  int baud = 0;
  // 0 to 6 decimal digits: the code of user 0, the main user.
  std::string mainCode = "1234";
  // Each byte takes 11 bit times at the line speed, both directions.
  bool wireTime = false;
  // A USB adapter between the line and the computer (sim/usb_adapter.h):
  // its latency timer in milliseconds; 0, no adapter: the panel's bytes
  // reach the computer as they arrive.
  int adapterLatencyMs = 0;
  // The adapter's driver honoured the computer's low-latency request: the
  // timer runs 1 ms. The in-process line sees the request itself and
  // needs no such word; a pseudo-terminal cannot show it.
  bool adapterLowLatency = false;
  Fault fault{};
  // Seed of the generated users, codes, keys and large-panel blocks, and of
  // the noise the panel sends.
  uint32_t seed = 1;
};

// Block maps of the small models: where the panel keeps its data blocks.
struct SimBlockMap {
  uint16_t CodesAddr, CodesLen, UserAttrAddr, UserAttrLen, UserNamesAddr, UserNamesLen,
      KeyTableAddr, KeyTableLen, KeyDataAddr, KeyDataLen, KeyNamesAddr, KeyNamesLen;
};
// nullptr for the large panel and for unknown names.
const SimBlockMap* BlockMapFor(const std::string& model);

// 6, 23..30, or 0 for an unknown name.
int ModelNumber(const std::string& model);

// CRC-16/CMS: polynomial 0x8005, initial 0xFFFF, MSB first, no reflection,
// no final XOR. The large panel sends it low byte first after its data.
uint16_t Crc16Cms(const uint8_t* data, size_t count);

// Encodes a code of 0 to 6 decimal digits the way the given small model
// stores it: VYR4/VYR8/VYR8G 6 bytes, one digit per byte, empty position FF;
// the others 3 bytes, two digits per byte, high digit first, empty nibble F.
// Empty for the large panel and unknown names.
std::vector<uint8_t> EncodeCode(const std::string& model, const std::string& digits);

}  // namespace tarvex::sim
