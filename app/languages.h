// The interface languages: English, Italian and French, built in.
#pragma once

#include <string>

#include "app/session.h"

namespace tarvex {

enum class TLanguage { English = 0, Italian = 1, French = 2 };

// Item index of the language list to language: 1 Italian, 2 French,
// anything else (none selected included) English.
TLanguage LanguageFromIndex(int index);
// "en", "it", "fr" (any case); false for anything else.
bool LanguageFromCode(const std::string& code, TLanguage* out);

// The 19 message and status texts of one language.
TLanguageStrings LanguageStrings(TLanguage lang);

// Texts this tool adds beside the 19.
TExtraStrings ExtraStrings(TLanguage lang);
// Puts one language's texts into the session (both records).
void ApplyLanguageTexts(TSession& s, TLanguage lang);

// Captions of the main window's controls, in the order they are applied.
struct TCaptions {
  std::string LinguaLabel;
  std::string SerialLabel;
  std::string General;
  std::string LinkedPanel;
  std::string CheckConnection;
  std::string UserCodeGroup;
  std::string UserCodeButton;
  std::string UserCodeLabel;  // shared by both code edits
  std::string SaveGroup;
  std::string SaveButton;
  std::string LoadGroup;
  std::string LoadButton;
  std::string SendGroup;
  std::string SendButton;
  std::string ShowData;  // opens the data window
};
TCaptions Captions(TLanguage lang);

// Texts of the supported-panels window.
struct TSupportedTexts {
  std::string WindowCaption;
  std::string OverviewCaption;
  std::string Info;     // lines separated by \r\n
  std::string Heading;
};
TSupportedTexts SupportedTexts(TLanguage lang);
// The model lines of the supported-panels list, the same in every language.
inline constexpr const char* kSupportedModelLines[3] = {
    "VYR4 VYR8 VYR8G v. 2.xx", "VYR8W VYR8GW VYR32 VYR32G v. 2.xx", "VYR16D v. 1.xx"};
inline constexpr const char* kSupportedLargeLine = "VYR320 v. 2.xx";

// Texts of the data window, its questions and refused edits.
TDataTexts DataTexts(TLanguage lang);

}  // namespace tarvex
