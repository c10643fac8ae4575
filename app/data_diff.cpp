#include "app/data_diff.h"

#include <cstdio>

#include "app/data_model.h"
#include "protocol/panel_image.h"

namespace tarvex {

namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string FirmwareText(const std::optional<double>& v) {
  if (!v) return "unknown";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", *v);
  return buf;
}

std::string ModelText(const TImageHeader& h) {
  return (h.ModelName.empty() ? std::string("unknown") : h.ModelName) + " (" + std::to_string(h.Model) + ")";
}

void Add(std::vector<TDifference>* out, TDifference::TWhat what, size_t number, const std::string& field,
         const std::string& before, const std::string& after) {
  TDifference d;
  d.What = what;
  d.Number = number;
  d.Field = field;
  d.Before = before;
  d.After = after;
  out->push_back(std::move(d));
}

size_t BytesDiffering(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  size_t n = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) n += a[i] != b[i] ? 1 : 0;
  return n;
}

// Names are compared as the panel's bytes: two names the screen shows alike
// ('?' for a control byte) may still differ.
std::string RawName(std::span<const uint8_t> image, size_t entryOffset) {
  return GetShortString(image.subspan(entryOffset + kUserNameOffset), kUserNameMax);
}

void DiffSmall(const TDataModel& a, const TDataModel& b, bool reveal, std::vector<TDifference>* out) {
  const auto ia = a.Image(), ib = b.Image();
  for (size_t u = 0; u < kUserCount; ++u) {
    const TUserRow ra = a.User(u), rb = b.User(u);
    const size_t at = kUserTableOffset + u * kUserEntrySize;
    if (RawName(ia, at) != RawName(ib, at)) Add(out, TDifference::TWhat::User, u, "name", ra.Name, rb.Name);
    if (a.CodeText(u, true) != b.CodeText(u, true))
      Add(out, TDifference::TWhat::User, u, "code", a.CodeText(u, reveal), b.CodeText(u, reveal));
    if (ra.Main != rb.Main) Add(out, TDifference::TWhat::User, u, "main", ra.Main ? "yes" : "no", rb.Main ? "yes" : "no");
    if (ra.Attributes != rb.Attributes)
      Add(out, TDifference::TWhat::User, u, "attributes", AttributesText(ra.Attributes), AttributesText(rb.Attributes));
  }
  for (size_t k = 0; k < kKeyCount; ++k) {
    const TKeyRow ka = a.Key(k), kb = b.Key(k);
    const size_t at = kKeyTableOffset + k * kKeyEntrySize;
    if (RawName(ia, at) != RawName(ib, at)) Add(out, TDifference::TWhat::Key, k, "name", ka.Name, kb.Name);
    if (ka.Value != kb.Value) Add(out, TDifference::TWhat::Key, k, "value", ByteText(ka.Value), ByteText(kb.Value));
    if (ka.Flags != kb.Flags) Add(out, TDifference::TWhat::Key, k, "flags", ByteText(ka.Flags), ByteText(kb.Flags));
    if (ka.Flags23 != kb.Flags23)
      Add(out, TDifference::TWhat::Key, k, "flags23", ByteText(ka.Flags23), ByteText(kb.Flags23));
  }
  const size_t data = BytesDiffering(ia.subspan(kKeyDataOffset, kKeyDataSize), ib.subspan(kKeyDataOffset, kKeyDataSize));
  if (data > 0) {
    TDifference d;
    d.What = TDifference::TWhat::KeyData;
    d.Field = "bytes";
    d.Bytes = data;
    out->push_back(d);
  }
}

void DiffLarge(const TDataModel& a, const TDataModel& b, std::vector<TDifference>* out) {
  const auto ia = a.Image(), ib = b.Image();
  for (const TRegionSummary& r : a.Regions()) {
    const size_t start = kLargeRegionsOffset + LargePanelMap[r.Region].RegionOffset;
    for (size_t i = 0; i < r.RecordCount; ++i) {
      const size_t at = start + i * r.RecordSize;
      const size_t n = BytesDiffering(ia.subspan(at, r.RecordSize), ib.subspan(at, r.RecordSize));
      if (n == 0) continue;
      TDifference d;
      d.What = TDifference::TWhat::Record;
      d.Number = r.Region;
      d.Record = i;
      d.Field = "bytes";
      d.Bytes = n;
      out->push_back(d);
    }
  }
}

}  // namespace

bool DiffImages(std::span<const uint8_t> before, std::span<const uint8_t> after, const TDiffOptions& options,
                std::vector<TDifference>* out) {
  out->clear();
  TDataModel a, b;
  if (!a.LoadCopy(before) || !b.LoadCopy(after) || a.Layout() != b.Layout()) return false;
  if (options.Header) {
    const TImageHeader ha = a.Header(), hb = b.Header();
    if (ha.Model != hb.Model) Add(out, TDifference::TWhat::Header, 0, "model", ModelText(ha), ModelText(hb));
    const std::string fa = FirmwareText(ha.Firmware), fb = FirmwareText(hb.Firmware);
    if (fa != fb) Add(out, TDifference::TWhat::Header, 0, "firmware", fa, fb);
    if (ImageDescription(before) != ImageDescription(after))
      Add(out, TDifference::TWhat::Header, 0, "description", ha.Description, hb.Description);
  }
  if (a.Layout() == TDataLayout::Small) DiffSmall(a, b, options.RevealCodes, out);
  else DiffLarge(a, b, out);
  // The copies held codes.
  return true;
}

std::string DifferenceLine(const TDifference& d) {
  const std::string change = d.Before + " -> " + d.After;
  switch (d.What) {
    case TDifference::TWhat::Header:
      if (d.Field == "description") return "description: " + Quoted(d.Before) + " -> " + Quoted(d.After);
      return d.Field + ": " + change;
    case TDifference::TWhat::User: {
      const std::string who = "user " + std::to_string(d.Number) + ": ";
      if (d.Field == "name") return who + "name " + Quoted(d.Before) + " -> " + Quoted(d.After);
      if (d.Field == "code") {
        auto shown = [](const std::string& c) { return c.empty() ? std::string("(none)") : c; };
        return who + "code changed: " + shown(d.Before) + " -> " + shown(d.After);
      }
      return who + d.Field + " " + change;
    }
    case TDifference::TWhat::Key: {
      const std::string which = "key " + std::to_string(d.Number) + ": ";
      if (d.Field == "name") return which + "name " + Quoted(d.Before) + " -> " + Quoted(d.After);
      if (d.Field == "flags23") return which + "flags 2-3 " + change;
      return which + d.Field + " " + change;
    }
    case TDifference::TWhat::KeyData:
      return "key data: " + std::to_string(d.Bytes) + (d.Bytes == 1 ? " byte differs" : " bytes differ");
    case TDifference::TWhat::Record:
      return "region " + std::to_string(d.Number) + ", record " + std::to_string(d.Record) + ": " +
             std::to_string(d.Bytes) + (d.Bytes == 1 ? " byte differs" : " bytes differ");
  }
  return {};
}

}  // namespace tarvex
