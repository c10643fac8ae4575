// A simulated VYR-family alarm panel on a pseudo-terminal.
//
// The panel owns the master side of a pty; the tool opens the slave device
// (DevicePath) like a serial port and talks the panel memory protocol to it:
// six-byte headers echoed by the panel, 16-bit addresses and an additive
// checksum for the small models, 24-bit addresses and CRC-16/CMS for the
// large "VYR 320". A serving thread answers headers from the panel memory,
// which tests can inspect and change at any time. Faults can be injected to
// exercise the tool's failure paths.
//
// The panel answers only while the tool's side of the line is set to the
// panel's own speed; at another speed it sends six garbage bytes or nothing,
// depending on the seed and that speed. Input that does not make a frame is
// dropped once the line has been quiet for 50 ms, and a fresh open of the
// device or a change of line speed starts the panel listening afresh.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
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
  // Read: the sum or CRC after the data is wrong. Write: treated as a check
  // failure (not stored, no echo).
  BadCheck,
  // Read: the last check byte (the sum, or the CRC high byte) is not sent.
  // No effect on writes and on the baud probe, which carry no check byte back.
  MissingCheckByte,
  // A few random bytes go out before the echo (a write is still stored).
  NoiseBeforeEcho,
  // Read: the echo and about half of the data are sent, then nothing more for
  // this exchange. Write and probe: stored (write), then only the first three
  // echo bytes are sent.
  Stall,
  // As Stall, then the panel closes its side of the line: the device node
  // disappears and the tool's open descriptor sees a hang-up. The panel stays
  // dead until it is stopped.
  CloseLine,
};

// atExchange counts the headers the panel has taken off the line since Start,
// every one of them: reads, writes, baud probes, headers sent at a wrong line
// speed and headers the panel ignores (bad checksum, unknown command). 0 means
// every exchange. A fault only changes an answer the panel would otherwise
// give; a header the panel does not answer stays unanswered.
struct Fault {
  FaultKind kind = FaultKind::None;
  int atExchange = 0;
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
  Fault fault{};
  // Seed of the generated users, codes, keys and large-panel blocks, and of
  // the noise the panel sends.
  uint32_t seed = 1;
};

class SimPanel {
 public:
  explicit SimPanel(PanelConfig cfg);
  ~SimPanel();
  SimPanel(const SimPanel&) = delete;
  SimPanel& operator=(const SimPanel&) = delete;

  // Creates the pty and starts the serving thread; a panel starts once. False
  // (with a reason) for an unknown model, a bad main code or a pty failure.
  // The memory is filled at construction, so it can be changed before Start.
  bool Start(std::string* error = nullptr);
  // Stops the serving thread and closes the line. Safe to call twice.
  void Stop();

  // The slave device the tool opens (/dev/pts/N). Empty before Start.
  const std::string& DevicePath() const;
  // 6 for "VYR 320", 23..30 for the small models, 0 for an unknown name.
  int Model() const;
  bool IsLarge() const;
  // The speed the panel talks at (configured or default).
  int PanelSpeed() const;

  // Panel memory: 65536 bytes (small) or 16 MiB (large). Addresses wrap.
  std::vector<uint8_t> ReadMemory(uint32_t addr, size_t count) const;
  void WriteMemory(uint32_t addr, const std::vector<uint8_t>& bytes);

  // Replaces the fault; it is looked at from the next header on.
  void SetFault(Fault f);
  // Headers taken off the line since Start (see Fault for what counts).
  int ExchangeCount() const;
  // Every header taken off the line, in order.
  std::vector<std::array<uint8_t, 6>> HeadersReceived() const;
  // Every byte the tool sent, in order.
  std::vector<uint8_t> ReceivedBytes() const;
  // The speed the tool's side is set to right now, read from the pty. 0 while
  // no descriptor other than the panel's own holds the device open, after
  // the line was closed, or when it cannot be read.
  int LineSpeed() const;
  // True once a CloseLine fault has closed the line.
  bool LineClosed() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
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
