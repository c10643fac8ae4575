// Block maps, code formats and the generated memory of the simulated panels.
#include "sim/panel_memory.h"

#include <algorithm>
#include <cstring>

#include "sim/rng.h"

namespace tarvex::sim {

namespace {

//                              codes      attrs     names      key table  key data   key names
constexpr SimBlockMap kMap1{313, 144, 463, 240, 5264, 384, 2235, 384, 1723, 512, 5648, 256};
constexpr SimBlockMap kMap2{436, 72, 511, 240, 7088, 384, 2872, 384, 2360, 512, 7472, 256};
constexpr SimBlockMap kMap3{203, 144, 278, 240, 6480, 384, 2204, 384, 1692, 512, 7136, 256};

struct ModelInfo {
  const char* name;
  int number;
  const SimBlockMap* map;
  int codeBytes;  // bytes per user code
};

constexpr ModelInfo kModels[] = {
    {"VYR 320", 6, nullptr, 0},  {"VYR4", 23, &kMap1, 6},   {"VYR8", 24, &kMap1, 6},
    {"VYR8G", 25, &kMap1, 6},    {"VYR32", 26, &kMap2, 3},  {"VYR32G", 27, &kMap2, 3},
    {"VYR8W", 28, &kMap2, 3},    {"VYR8WG", 29, &kMap2, 3}, {"VYR16D", 30, &kMap3, 3},
};

const ModelInfo* FindModel(const std::string& model) {
  for (const ModelInfo& m : kModels)
    if (model == m.name) return &m;
  return nullptr;
}

std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x8005) : static_cast<uint16_t>(crc << 1);
    table[static_cast<size_t>(i)] = crc;
  }
  return table;
}

}  // namespace

const SimBlockMap* BlockMapFor(const std::string& model) {
  const ModelInfo* m = FindModel(model);
  return m ? m->map : nullptr;
}

int ModelNumber(const std::string& model) {
  const ModelInfo* m = FindModel(model);
  return m ? m->number : 0;
}

uint16_t Crc16Cms(const uint8_t* data, size_t count) {
  static const std::array<uint16_t, 256> table = MakeCrcTable();
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < count; ++i)
    crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ data[i]) & 0xFF]);
  return crc;
}

std::vector<uint8_t> EncodeCode(const std::string& model, const std::string& digits) {
  const ModelInfo* m = FindModel(model);
  if (m == nullptr || m->map == nullptr) return {};
  std::vector<uint8_t> out;
  if (m->codeBytes == 6) {
    for (size_t i = 0; i < 6; ++i)
      out.push_back(i < digits.size() ? static_cast<uint8_t>(digits[i] - '0') : 0xFF);
  } else {
    auto nibble = [&](size_t i) -> uint8_t {
      return i < digits.size() ? static_cast<uint8_t>(digits[i] - '0') : 0x0F;
    };
    for (size_t i = 0; i < 3; ++i)
      out.push_back(static_cast<uint8_t>((nibble(2 * i) << 4) | nibble(2 * i + 1)));
  }
  return out;
}

namespace detail {

const std::array<LargeBlock, 7> kLargeBlocks{{
    {0xE5095C, 1200},
    {0xE1BA92, 17600},
    {0xE4CAA8, 1600},
    {0xE4C2D8, 2000},
    {0xE50E0C, 800},
    {0xE4E5C7, 2000},
    {0xE1225A, 12000},
}};

bool IsValidCode(const std::string& digits) {
  if (digits.size() > 6) return false;
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

namespace {

// Writes text into a fixed-width field, cut or padded with the fill byte.
void PutField(std::vector<uint8_t>& mem, uint32_t addr, const std::string& text, size_t width,
              uint8_t fill = ' ') {
  for (size_t i = 0; i < width; ++i)
    mem[(addr + i) % mem.size()] = i < text.size() ? static_cast<uint8_t>(text[i]) : fill;
}

const char* const kUserNames[] = {
    "Anna Rossi",    "Marco Bianchi", "Giulia Conti",  "Luca Ferrari",    "Sara Gallo",
    "Paolo Greco",   "Elena Marino",  "Davide Costa",  "Chiara Romano",   "Night guard",
    "Cleaning staff", "Maintenance",  "Reception",     "Warehouse shift", "Pierre Martin",
    "Claire Dubois", "Temporary",     "Office manager",
};
const char* const kKeyNames[] = {
    "Front door", "Back door", "Garage", "Cleaner card", "Guard tag",   "Office key",
    "Spare key",  "Warehouse", "Porch",  "Gate remote",  "Visitor tag", "Boiler room",
};

}  // namespace

void FillSmallMemory(const PanelConfig& cfg, const SimBlockMap& map, std::vector<uint8_t>& mem) {
  mem.assign(kSmallMemorySize, 0xFF);
  Rng rng(0x5A11000000000000ull ^ cfg.seed);

  // Identification block: model name, two unused bytes, firmware text.
  PutField(mem, 0, cfg.model, 6);
  mem[6] = 0;
  mem[7] = 0;
  PutField(mem, 8, cfg.firmware.empty() ? "2.10" : cfg.firmware, 4);

  // The code block of map 3 runs into the attribute block; the three bytes
  // between the codes and the attributes are the panel's own.
  const uint32_t codeBytes = static_cast<uint32_t>(EncodeCode(cfg.model, "").size());
  for (uint32_t a = map.CodesAddr + codeBytes * kUsers; a < map.UserAttrAddr && a < map.CodesAddr + map.CodesLen; ++a)
    mem[a] = rng.Byte();

  // Users: 0 is the main user; a few slots are empty.
  std::vector<const char*> names(std::begin(kUserNames), std::end(kUserNames));
  for (size_t i = names.size() - 1; i > 0; --i) std::swap(names[i], names[rng.Below(static_cast<uint32_t>(i + 1))]);
  size_t nextName = 0;
  auto isEmptySlot = [](int u) { return u == 6 || (u >= 14 && u <= 19) || u >= 21; };
  for (int u = 0; u < kUsers; ++u) {
    std::string name;
    std::string code;
    uint8_t attrs[kUserAttrBytes] = {};
    if (u == 0) {
      name = "Installer";
      code = cfg.mainCode;
      attrs[0] = 1;
      for (int i = 1; i < kUserAttrBytes; ++i) attrs[i] = rng.Byte();
    } else if (!isEmptySlot(u)) {
      name = names[nextName++ % names.size()];
      do {
        const uint32_t len = 4 + rng.Below(3);
        code.clear();
        for (uint32_t i = 0; i < len; ++i) code.push_back(static_cast<char>('0' + rng.Below(10)));
      } while (code == cfg.mainCode);
      attrs[0] = rng.Below(2) ? 2 : 0;
      for (int i = 1; i < kUserAttrBytes; ++i) attrs[i] = rng.Byte();
    }
    const std::vector<uint8_t> enc = EncodeCode(cfg.model, code);
    std::copy(enc.begin(), enc.end(), mem.begin() + map.CodesAddr + codeBytes * static_cast<uint32_t>(u));
    std::copy(std::begin(attrs), std::end(attrs), mem.begin() + map.UserAttrAddr + kUserAttrBytes * u);
    PutField(mem, map.UserNamesAddr + kNameBytes * static_cast<uint32_t>(u), name, kNameBytes);
  }

  // Keys 0..23 are in use: four bytes of key data each, a flags byte with
  // bit 0 set and a value. The rest are free.
  constexpr int kKeysInUse = 24;
  std::array<std::array<uint8_t, 2>, kKeyRecords> flagsValue{};
  for (int k = 0; k < kKeyRecords; ++k) {
    const bool used = k < kKeysInUse;
    for (int i = 0; i < 4; ++i) mem[map.KeyDataAddr + 4 * k + i] = used ? rng.Byte() : 0xFF;
    flagsValue[k] = used ? std::array<uint8_t, 2>{static_cast<uint8_t>(rng.Byte() | 0x01), rng.Byte()}
                         : std::array<uint8_t, 2>{0, 0};
  }
  // Records are stored by key number, and a few sit out of order.
  std::array<uint8_t, kKeyRecords> number{};
  for (int i = 0; i < kKeyRecords; ++i) number[i] = static_cast<uint8_t>(i);
  std::swap(number[0], number[5]);
  std::swap(number[10], number[11]);
  for (int i = 0; i < kKeyRecords; ++i) {
    const uint32_t rec = map.KeyTableAddr + 3u * static_cast<uint32_t>(i);
    mem[rec] = flagsValue[number[i]][0];
    mem[rec + 1] = flagsValue[number[i]][1];
    mem[rec + 2] = number[i];
  }
  for (int k = 0; k < kNamedKeys; ++k) {
    const bool named = k < 12 && k != 7;
    PutField(mem, map.KeyNamesAddr + kNameBytes * static_cast<uint32_t>(k), named ? kKeyNames[k] : "", kNameBytes);
  }
}

void FillLargeMemory(const PanelConfig& cfg, std::vector<uint8_t>& mem) {
  mem.assign(kLargeMemorySize, 0xFF);
  Rng rng(0x1A26E00000000000ull ^ cfg.seed);

  // Version block: text, pad byte, ten bytes of other settings, unit marker.
  PutField(mem, kLargeVersionAddr, cfg.firmware.empty() ? "2.05" : cfg.firmware, 4);
  mem[kLargeVersionAddr + 4] = ' ';
  for (uint32_t i = 5; i < 15; ++i) mem[kLargeVersionAddr + i] = static_cast<uint8_t>('A' + rng.Below(26));
  PutField(mem, kLargeVersionAddr + 15, cfg.k1 ? "K1" : "", 2);

  PutField(mem, kLargeRealVersionAddr, cfg.largeRealVersion, 4);
  mem[kLargeRealVersionAddr + 4] = ' ';
  mem[kLargeRealVersionAddr + 5] = rng.Byte();

  for (const LargeBlock& b : kLargeBlocks)
    for (uint32_t i = 0; i < b.len; ++i) mem[b.addr + i] = rng.Byte();
}

}  // namespace detail
}  // namespace tarvex::sim
