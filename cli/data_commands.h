// tarvex-cli edit, diff and the printing of send --dry-run: key-code files
// changed and compared through the data model.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "app/data_model.h"
#include "app/languages.h"
#include "app/session.h"
#include "app/workflows.h"

namespace tarvex {

// Exit statuses of edit: saved; a file could not be read or written; an
// edit was refused (the file is then untouched).
inline constexpr int kEditSaved = 0;
inline constexpr int kEditFileError = 1;
inline constexpr int kEditRefused = 2;

// Applies the edits to the file's image, all or none, and saves it to
// outPath (exactly that path; the file itself when empty), atomically and
// owner-only. A refusal is printed to err as "user 3: <reason>" in the
// language given. writtenPath receives the path saved.
int EditKeyCodeFile(TSession& s, TLanguage lang, const std::string& path, const std::string& outPath,
                    const std::vector<TDataEdit>& edits, std::ostream& err, std::string* writtenPath);

// Exit statuses of diff, as diff(1).
inline constexpr int kDiffEqual = 0;
inline constexpr int kDiffDiffer = 1;
inline constexpr int kDiffError = 2;

// Prints what differs between the two files, a line each (nothing when
// they are equal), or one JSON object.
int DiffKeyCodeFiles(TSession& s, const std::string& a, const std::string& b, bool json, bool revealCodes,
                     std::ostream& out, std::ostream& err);

// Prints what a dry run found: the panel now against what the send would
// leave there, codes as stars.
void PrintDryRun(const TDryRunOutcome& r, std::ostream& out);

}  // namespace tarvex
