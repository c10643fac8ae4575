#include "cli/show.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <span>
#include <vector>

#include "app/display_text.h"
#include "app/file_names.h"
#include "app/keyfile.h"
#include "protocol/identify.h"
#include "protocol/panel_image.h"

namespace tarvex {

namespace {

// The digits of a code text: its leading decimal digits (F marks the empty
// positions after them).
std::string CodeDigits(const std::string& codeText) {
  std::string digits;
  for (char c : codeText) {
    if (c < '0' || c > '9') break;
    digits.push_back(c);
  }
  return digits;
}

std::string ShownCode(const std::string& codeText, bool reveal) {
  const std::string digits = CodeDigits(codeText);
  return reveal ? digits : std::string(digits.size(), '*');
}

std::string Hex(unsigned v, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", width, v);
  return buf;
}

// Pads to a width in characters; the text is UTF-8, so count code points.
std::string Padded(const std::string& utf8, size_t width) {
  size_t chars = 0;
  for (unsigned char c : utf8)
    if ((c & 0xC0) != 0x80) ++chars;
  return chars >= width ? utf8 : utf8 + std::string(width - chars, ' ');
}

std::string FirmwareText(double v) {
  if (!std::isfinite(v)) return "unknown";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

}  // namespace

bool ShowKeyCodeFile(TSession& s, const std::string& path, bool json, bool reveal, std::ostream& out) {
  std::error_code ec;
  const std::filesystem::path file = PathFromUtf8(path);
  if (!std::filesystem::exists(file, ec)) {
    s.Box(TBoxKind::Error, s.LangStrings.FileNotFound);
    return false;
  }
  const auto size = std::filesystem::is_regular_file(file, ec) ? std::filesystem::file_size(file, ec) : 0;
  if (ec || (size != kSmallFileSize && size != kLargeFileSize)) {
    s.Box(TBoxKind::Error, s.ExtraStrings.NotKeyCodeFile);
    return false;
  }
  std::vector<uint8_t> image;
  std::string error;
  if (!DecodeKeyCodeFile(path, &image, &error)) {
    s.Box(TBoxKind::Error, error);
    return false;
  }
  const bool small = image.size() == kSmallImageSize;
  const std::span<uint8_t> bytes(image);
  const int32_t model = ImageModel(bytes);
  const double firmware = ImageFirmware(bytes);
  const std::string description = Cp1252ToUtf8(ImageDescription(bytes));
  const std::string modelName = ModelName(model);

  nlohmann::ordered_json j;
  j["file"] = path;
  j["layout"] = small ? "small" : "large";
  j["model"] = model;
  j["modelName"] = modelName;
  j["firmware"] = std::isfinite(firmware) ? nlohmann::ordered_json(firmware) : nlohmann::ordered_json(nullptr);
  j["description"] = description;

  if (!json) {
    out << "File:        " << path << "\n"
        << "Layout:      " << (small ? "small panel" : "large panel") << "\n"
        << "Model:       " << (modelName.empty() ? "unknown" : modelName) << " (" << model << ")\n"
        << "Firmware:    " << FirmwareText(firmware) << "\n"
        << "Description: " << description << "\n";
  }

  if (small) {
    SmallPanelImage img;
    std::copy(image.begin(), image.end(), img.Bytes().begin());
    nlohmann::ordered_json users = nlohmann::ordered_json::array();
    if (!json) out << "\nUsers:\n   #  Name              Main  Code\n";
    for (size_t u = 0; u < kUserCount; ++u) {
      const UserEntry e = img.User(u);
      const std::string name = Cp1252ToUtf8(e.Name());
      const std::string code = ShownCode(e.Code(), reveal);
      users.push_back({{"number", u}, {"name", name}, {"main", e.IsMainUser()}, {"code", code}});
      if (!json) {
        out << "  " << (u < 10 ? " " : "") << u << "  " << Padded(name, 16) << "  " << (e.IsMainUser() ? "yes " : "    ")
            << "  " << code << "\n";
      }
    }
    nlohmann::ordered_json keys = nlohmann::ordered_json::array();
    size_t hidden = 0;
    if (!json) out << "\nKeys and cards:\n    #  Name              Value  Flags  Flags 2-3\n";
    for (size_t k = 0; k < kKeyCount; ++k) {
      KeyEntry e = img.Key(k);
      const std::string name = Cp1252ToUtf8(e.Name());
      keys.push_back({{"number", k}, {"name", name}, {"value", e.Value()}, {"flags", e.Flags()}, {"flags23", e.Flags23()}});
      // In text, records that hold nothing (no name, every byte 0) would
      // bury the keys in use; the JSON lists all 128.
      const bool unused = name.empty() && e.Value() == 0 && e.Flags() == 0 && e.Flags23() == 0;
      if (unused) ++hidden;
      if (!json && !unused) {
        out << "  " << (k < 10 ? "  " : k < 100 ? " " : "") << k << "  " << Padded(name, 16) << "  0x" << Hex(e.Value(), 2) << "   0x"
            << Hex(e.Flags(), 2) << "   0x" << Hex(e.Flags23(), 2) << "\n";
      }
    }
    if (!json && hidden > 0) out << "  (" << hidden << " records not in use are not listed; --json lists all)\n";
    j["users"] = users;
    j["keys"] = keys;
  } else {
    nlohmann::ordered_json regions = nlohmann::ordered_json::array();
    if (!json) out << "\nRegions:\n  #  Panel address  Bytes\n";
    for (size_t r = 0; r < kLargeRegionCount; ++r) {
      const TLargeRegion& reg = LargePanelMap[r];
      regions.push_back({{"region", r}, {"panelAddress", reg.PanelAddress}, {"bytes", reg.Bytes}});
      if (!json) out << "  " << r << "  " << Hex(reg.PanelAddress, 6) << "         " << reg.Bytes << "\n";
    }
    j["regions"] = regions;
  }
  if (json) out << j.dump(2) << "\n";
  return true;
}

}  // namespace tarvex
