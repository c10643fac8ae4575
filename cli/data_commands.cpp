#include "cli/data_commands.h"

#include <nlohmann/json.hpp>

#include "app/data_diff.h"
#include "app/keyfile.h"
#include "cli/show.h"
#include "protocol/wipe.h"

namespace tarvex {

namespace {

struct TImageBytes {
  std::vector<uint8_t> bytes;
  ~TImageBytes() { WipeBytes(bytes.data(), bytes.size()); }
};

std::string EditTarget(const TDataEdit& e) {
  return (e.Kind == TDataEdit::TKind::KeyName ? "key " : "user ") + std::to_string(e.Row);
}

const char* WhatName(TDifference::TWhat w) {
  switch (w) {
    case TDifference::TWhat::Header: return "header";
    case TDifference::TWhat::User: return "user";
    case TDifference::TWhat::Key: return "key";
    case TDifference::TWhat::KeyData: return "keyData";
    case TDifference::TWhat::Record: return "record";
  }
  return "";
}

nlohmann::ordered_json DifferenceJson(const TDifference& d) {
  nlohmann::ordered_json j;
  j["what"] = WhatName(d.What);
  if (d.What == TDifference::TWhat::User || d.What == TDifference::TWhat::Key) j["number"] = d.Number;
  if (d.What == TDifference::TWhat::Record) {
    j["region"] = d.Number;
    j["record"] = d.Record;
  }
  j["field"] = d.Field;
  if (d.Field == "bytes") {
    j["bytes"] = d.Bytes;
  } else {
    j["before"] = d.Before;
    j["after"] = d.After;
  }
  return j;
}

}  // namespace

int EditKeyCodeFile(TSession& s, TLanguage lang, const std::string& path, const std::string& outPath,
                    const std::vector<TDataEdit>& edits, std::ostream& err, std::string* writtenPath) {
  TImageBytes image;
  if (!LoadKeyCodeFileImage(s, path, &image.bytes)) return kEditFileError;
  TDataModel model;
  model.LoadCopy(image.bytes);
  size_t failedAt = 0;
  const TEditRefusal why = model.Apply(edits, &failedAt);
  if (why != TEditRefusal::None) {
    const std::string text = RefusalText(DataTexts(lang), why);
    if (failedAt < edits.size()) err << EditTarget(edits[failedAt]) << ": ";
    err << text << "\n";
    return kEditRefused;
  }
  const std::string target = outPath.empty() ? path : outPath;
  std::string error;
  if (!WriteKeyCodeFile(model.Image(), target, &error)) {
    s.Box(TBoxKind::Error, error);
    return kEditFileError;
  }
  if (writtenPath) *writtenPath = target;
  return kEditSaved;
}

int DiffKeyCodeFiles(TSession& s, const std::string& a, const std::string& b, bool json, bool reveal,
                     std::ostream& out, std::ostream& err) {
  TImageBytes ia, ib;
  if (!LoadKeyCodeFileImage(s, a, &ia.bytes) || !LoadKeyCodeFileImage(s, b, &ib.bytes)) return kDiffError;
  std::vector<TDifference> diffs;
  TDiffOptions options;
  options.RevealCodes = reveal;
  if (!DiffImages(ia.bytes, ib.bytes, options, &diffs)) {
    auto layout = [](const std::vector<uint8_t>& image) {
      return image.size() == kSmallImageSize ? "a small panel's" : "a large panel's";
    };
    err << a << " holds " << layout(ia.bytes) << " data and " << b << " " << layout(ib.bytes)
        << " data: files of the two layouts cannot be compared.\n";
    return kDiffError;
  }
  if (json) {
    nlohmann::ordered_json j;
    j["a"] = a;
    j["b"] = b;
    j["layout"] = ia.bytes.size() == kSmallImageSize ? "small" : "large";
    j["equal"] = diffs.empty();
    j["differences"] = nlohmann::ordered_json::array();
    for (const TDifference& d : diffs) j["differences"].push_back(DifferenceJson(d));
    out << j.dump(2) << "\n";
  } else {
    for (const TDifference& d : diffs) out << DifferenceLine(d) << "\n";
  }
  return diffs.empty() ? kDiffEqual : kDiffDiffer;
}

void PrintDryRun(const TDryRunOutcome& r, std::ostream& out) {
  std::vector<TDifference> diffs;
  TDiffOptions options;
  options.Header = false;
  DiffImages(r.panel, r.written, options, &diffs);
  if (diffs.empty()) {
    out << "The send would change nothing in the panel.\n";
  } else {
    out << "The send would change in the panel (now -> after the send):\n";
    for (const TDifference& d : diffs) out << "  " << DifferenceLine(d) << "\n";
  }
  out << "Dry run: nothing was written.\n";
}

}  // namespace tarvex
