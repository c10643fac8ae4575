#include "cli/show.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/data_model.h"
#include "app/file_names.h"
#include "app/keyfile.h"
#include "protocol/panel_image.h"
#include "protocol/wipe.h"

namespace tarvex {

namespace {

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

std::string FirmwareText(const std::optional<double>& v) {
  if (!v) return "unknown";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", *v);
  return buf;
}

// One CSV field: quoted when it holds a comma, a quote, a line end or
// spaces at an end, quotes doubled. A name comes from whatever panel or
// file was read: one that a spreadsheet would take for a formula (=, +, -,
// @, a tab or a carriage return first) is kept as text by a leading
// apostrophe, which spreadsheets do not show.
std::string CsvField(const std::string& field) {
  const bool formula = !field.empty() && std::string_view("=+-@\t\r").find(field.front()) != std::string_view::npos;
  const std::string text = formula ? "'" + field : field;
  const bool quote = text.find_first_of(",\"\r\n") != std::string::npos ||
                     (!text.empty() && (text.front() == ' ' || text.back() == ' '));
  if (!quote) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

// The image holds codes: wiped when it goes.
struct TImageBytes {
  std::vector<uint8_t> bytes;
  ~TImageBytes() { WipeBytes(bytes.data(), bytes.size()); }
};

}  // namespace

bool LoadKeyCodeFileImage(TSession& s, const std::string& path, std::vector<uint8_t>* image) {
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
  std::string error;
  if (!DecodeKeyCodeFile(path, image, &error)) {
    s.Box(TBoxKind::Error, error);
    return false;
  }
  return true;
}

bool ShowKeyCodeFile(TSession& s, const std::string& path, bool json, bool reveal, std::ostream& out) {
  TImageBytes image;
  if (!LoadKeyCodeFileImage(s, path, &image.bytes)) return false;
  TDataModel model;
  model.LoadCopy(image.bytes);
  const bool small = model.Layout() == TDataLayout::Small;
  const TImageHeader header = model.Header();

  nlohmann::ordered_json j;
  j["file"] = path;
  j["layout"] = small ? "small" : "large";
  j["model"] = header.Model;
  j["modelName"] = header.ModelName;
  j["firmware"] = header.Firmware ? nlohmann::ordered_json(*header.Firmware) : nlohmann::ordered_json(nullptr);
  j["description"] = header.Description;

  if (!json) {
    out << "File:        " << path << "\n"
        << "Layout:      " << (small ? "small panel" : "large panel") << "\n"
        << "Model:       " << (header.ModelName.empty() ? "unknown" : header.ModelName) << " (" << header.Model
        << ")\n"
        << "Firmware:    " << FirmwareText(header.Firmware) << "\n"
        << "Description: " << header.Description << "\n";
  }

  if (small) {
    nlohmann::ordered_json users = nlohmann::ordered_json::array();
    if (!json) out << "\nUsers:\n   #  Name              Main  Code\n";
    for (size_t u = 0; u < model.UserCount(); ++u) {
      const TUserRow row = model.User(u);
      std::string code = model.CodeText(u, reveal);
      users.push_back({{"number", u}, {"name", row.Name}, {"main", row.Main}, {"code", code}});
      if (!json) {
        out << "  " << (u < 10 ? " " : "") << u << "  " << Padded(row.Name, 16) << "  " << (row.Main ? "yes " : "    ")
            << "  " << code << "\n";
      }
      WipeString(code);
    }
    nlohmann::ordered_json keys = nlohmann::ordered_json::array();
    size_t hidden = 0;
    if (!json) out << "\nKeys and cards:\n    #  Name              Value  Flags  Flags 2-3\n";
    for (size_t k = 0; k < model.KeyCount(); ++k) {
      const TKeyRow row = model.Key(k);
      keys.push_back(
          {{"number", k}, {"name", row.Name}, {"value", row.Value}, {"flags", row.Flags}, {"flags23", row.Flags23}});
      // In text, records that hold nothing (no name, every byte 0) would
      // bury the keys in use; the JSON lists all 128.
      if (!row.InUse) ++hidden;
      if (!json && row.InUse) {
        out << "  " << (k < 10 ? "  " : k < 100 ? " " : "") << k << "  " << Padded(row.Name, 16) << "  0x"
            << Hex(row.Value, 2) << "   0x" << Hex(row.Flags, 2) << "   0x" << Hex(row.Flags23, 2) << "\n";
      }
    }
    if (!json && hidden > 0) out << "  (" << hidden << " records not in use are not listed; --json lists all)\n";
    j["users"] = users;
    j["keys"] = keys;
  } else {
    nlohmann::ordered_json regions = nlohmann::ordered_json::array();
    if (!json) out << "\nRegions:\n  #  Panel address  Bytes  Records in use\n";
    for (const TRegionSummary& r : model.Regions()) {
      regions.push_back({{"region", r.Region},
                         {"panelAddress", r.PanelAddress},
                         {"bytes", r.Bytes},
                         {"recordSize", r.RecordSize},
                         {"records", r.RecordCount},
                         {"recordsInUse", r.RecordsInUse}});
      if (!json) {
        out << "  " << r.Region << "  " << Hex(r.PanelAddress, 6) << "         " << Padded(std::to_string(r.Bytes), 5)
            << "  " << r.RecordsInUse << " of " << r.RecordCount << "\n";
      }
    }
    j["regions"] = regions;
  }
  if (json) out << j.dump(2) << "\n";
  return true;
}

bool ShowKeyCodeFileCsv(TSession& s, const std::string& path, bool reveal, std::ostream& out) {
  TImageBytes image;
  if (!LoadKeyCodeFileImage(s, path, &image.bytes)) return false;
  TDataModel model;
  model.LoadCopy(image.bytes);
  if (model.Layout() == TDataLayout::Large) {
    out << "region,panel_address,bytes,record_size,records,records_in_use\n";
    for (const TRegionSummary& r : model.Regions())
      out << r.Region << ",0x" << Hex(r.PanelAddress, 6) << "," << r.Bytes << "," << r.RecordSize << ","
          << r.RecordCount << "," << r.RecordsInUse << "\n";
    return true;
  }
  out << "kind,number,name,main,code,attributes,value,flags,flags23,in_use\n";
  for (size_t u = 0; u < model.UserCount(); ++u) {
    const TUserRow row = model.User(u);
    std::string code = model.CodeText(u, reveal);
    out << "user," << u << "," << CsvField(row.Name) << "," << (row.Main ? "yes" : "no") << "," << code << ","
        << AttributesText(row.Attributes) << ",,,,\n";
    WipeString(code);
  }
  for (size_t k = 0; k < model.KeyCount(); ++k) {
    const TKeyRow row = model.Key(k);
    out << "key," << k << "," << CsvField(row.Name) << ",,,," << ByteText(row.Value) << "," << ByteText(row.Flags)
        << "," << ByteText(row.Flags23) << "," << (row.InUse ? "yes" : "no") << "\n";
  }
  return true;
}

}  // namespace tarvex
