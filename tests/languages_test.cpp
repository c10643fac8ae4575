// The 19 message and status texts as the user reads them in each language,
// written out here: a text that changes, moves or goes missing fails.
#include <gtest/gtest.h>

#include <string>

#include "app/languages.h"
#include "app/session.h"
#include "tests/test_session.h"

namespace tarvex {
namespace {

struct TText {
  const char* field;
  std::string TLanguageStrings::*member;
  std::string shown[3];  // English, Italian, French
};

const TText kTexts[] = {
      {"AlreadyOpen", &TLanguageStrings::AlreadyOpen, {"Already open", "In uso", "Déjà ouvert"}},
      {"ErrorOpeningPort", &TLanguageStrings::ErrorOpeningPort, {"Error opening Com port!", "Errore apertura porta seriale!", "Erreur d'ouverture du port Com!"}},
      {"UnknownFirmware", &TLanguageStrings::UnknownFirmware, {"Unknown firmware version detected!", "Versione firmware non riconosciuta!", "Inconnue version de firmware détectée!"}},
      {"ReadError", &TLanguageStrings::ReadError, {"Reading error on serial port!", "Errore in lettura su porta seriale!", "Problème de lecture sur le port Com!"}},
      {"NoPanelConnected", &TLanguageStrings::NoPanelConnected, {"No panel connected", "Nessuna centrale connessa", "Aucun dispositif connecté"}},
      {"OpeningPort", &TLanguageStrings::OpeningPort, {"Opening Com Port", "Apertura seriale", "Ouverture port Com"}},
      {"SyncBaudRate", &TLanguageStrings::SyncBaudRate, {"Synchronizing Baud Rate", "Cerco Baud Rate", "Synchronisation de Baud Rate"}},
      {"ReadingVersion", &TLanguageStrings::ReadingVersion, {"Reading system version", "Lettura revisione", "Lecture de la version du système"}},
      {"Ready", &TLanguageStrings::Ready, {"Ready", "Pronto", "Prêt"}},
      {"CheckingUserCode", &TLanguageStrings::CheckingUserCode, {"Checking user code", "Verifica codice", "Vérification du code d'utilisateur"}},
      {"ReadingCodes", &TLanguageStrings::ReadingCodes, {"Reading codes", "Lettura codici", "Lecture de codes"}},
      {"ReadingKeys", &TLanguageStrings::ReadingKeys, {"Reading keys & cards", "Lettura attivatori", "Lecture de clés & cartes"}},
      {"FileNotFound", &TLanguageStrings::FileNotFound, {"File not found!", "File non trovato!", "Fichier non trouvé!"}},
      {"PanelMismatch", &TLanguageStrings::PanelMismatch, {"Connected panel type doesn't match\r\nthe data saved on file. The operation will be aborted.", "La centrale connessa non corrisponde\r\nai dati salvati sul file! L'operazione verrà annullata", "Le model du panneau connecté ne correspond pas aux données\r\nenregistrées sur le fichier!"}},
      {"WritingKeys", &TLanguageStrings::WritingKeys, {"Writing keys & cards", "Scrittura attivatori", "Envoi de clés & cartes"}},
      {"WriteError", &TLanguageStrings::WriteError, {"Error writing on serial port!", "Errore in scrittura su porta seriale!", "Erreur d'écriture sur le port Com!"}},
      {"WritingCodes", &TLanguageStrings::WritingCodes, {"Writing codes", "Scrittura codici", "Envoi de codes"}},
      {"InvalidCode", &TLanguageStrings::InvalidCode, {"Invalid code!", "Codice non valido!", "Code non valide!"}},
      {"TransferOk", &TLanguageStrings::TransferOk, {"Transfer successful", "Dati trasferiti con successo!", "Transfert réussi!"}},
};

TEST(LanguageTexts, EveryTextInEachLanguage) {
  ASSERT_EQ(std::size(kTexts), 19u);
  for (int l = 0; l < 3; ++l) {
    const TLanguageStrings strings = LanguageStrings(static_cast<TLanguage>(l));
    for (const TText& t : kTexts) EXPECT_EQ(strings.*t.member, t.shown[l]) << t.field << " in language " << l;
  }
}

TEST(LanguageTexts, TheSessionTakesTheLanguageItIsGiven) {
  test::TTestSession t;
  for (int l : {1, 2, 0}) {
    ApplyLanguageTexts(t.s, static_cast<TLanguage>(l));
    for (const TText& x : kTexts) EXPECT_EQ(t.s.LangStrings.*x.member, x.shown[l]) << x.field << " in language " << l;
  }
}

TEST(LanguageTexts, AnyIndexButItalianAndFrenchIsEnglish) {
  EXPECT_EQ(LanguageFromIndex(0), TLanguage::English);
  EXPECT_EQ(LanguageFromIndex(1), TLanguage::Italian);
  EXPECT_EQ(LanguageFromIndex(2), TLanguage::French);
  for (int other : {-1, 3, 99}) EXPECT_EQ(LanguageFromIndex(other), TLanguage::English) << other;
}

}  // namespace
}  // namespace tarvex
