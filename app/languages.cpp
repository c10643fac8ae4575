// Texts are UTF-8 here; the panel's own bytes (names) are Windows-1252 and
// are converted where they are shown.
#include "app/languages.h"

#include <algorithm>
#include <cctype>

namespace tarvex {

TLanguage LanguageFromIndex(int index) {
  if (index == 1) return TLanguage::Italian;
  if (index == 2) return TLanguage::French;
  return TLanguage::English;
}

bool LanguageFromCode(const std::string& code, TLanguage* out) {
  std::string c = code;
  std::transform(c.begin(), c.end(), c.begin(), [](unsigned char ch) { return std::tolower(ch); });
  if (c == "en") *out = TLanguage::English;
  else if (c == "it") *out = TLanguage::Italian;
  else if (c == "fr") *out = TLanguage::French;
  else return false;
  return true;
}

TLanguageStrings LanguageStrings(TLanguage lang) {
  TLanguageStrings t;
  switch (lang) {
    case TLanguage::English:
      t.AlreadyOpen = "Already open";
      t.ErrorOpeningPort = "Error opening Com port!";
      t.UnknownFirmware = "Unknown firmware version detected!";
      t.ReadError = "Reading error on serial port!";
      t.NoPanelConnected = "No panel connected";
      t.OpeningPort = "Opening Com Port";
      t.SyncBaudRate = "Synchronizing Baud Rate";
      t.ReadingVersion = "Reading system version";
      t.Ready = "Ready";
      t.CheckingUserCode = "Checking user code";
      t.ReadingCodes = "Reading codes";
      t.ReadingKeys = "Reading keys & cards";
      t.FileNotFound = "File not found!";
      // The English text ends in English (it used to end with the French
      // sentence by mistake).
      t.PanelMismatch = "Connected panel type doesn't match\r\nthe data saved on file. The operation will be aborted.";
      t.WritingKeys = "Writing keys & cards";
      t.WriteError = "Error writing on serial port!";
      t.WritingCodes = "Writing codes";
      t.InvalidCode = "Invalid code!";
      t.TransferOk = "Transfer successful";
      break;
    case TLanguage::Italian:
      t.AlreadyOpen = "In uso";
      t.ErrorOpeningPort = "Errore apertura porta seriale!";
      t.UnknownFirmware = "Versione firmware non riconosciuta!";
      t.ReadError = "Errore in lettura su porta seriale!";
      t.NoPanelConnected = "Nessuna centrale connessa";
      t.OpeningPort = "Apertura seriale";
      t.SyncBaudRate = "Cerco Baud Rate";
      t.ReadingVersion = "Lettura revisione";
      t.Ready = "Pronto";
      t.CheckingUserCode = "Verifica codice";
      t.ReadingCodes = "Lettura codici";
      t.ReadingKeys = "Lettura attivatori";
      t.FileNotFound = "File non trovato!";
      t.PanelMismatch = "La centrale connessa non corrisponde\r\nai dati salvati sul file! L'operazione verrà annullata";
      t.WritingKeys = "Scrittura attivatori";
      t.WriteError = "Errore in scrittura su porta seriale!";
      t.WritingCodes = "Scrittura codici";
      t.InvalidCode = "Codice non valido!";
      t.TransferOk = "Dati trasferiti con successo!";
      break;
    case TLanguage::French:
      t.AlreadyOpen = "Déjà ouvert";
      t.ErrorOpeningPort = "Erreur d'ouverture du port Com!";
      t.UnknownFirmware = "Inconnue version de firmware détectée!";
      t.ReadError = "Problème de lecture sur le port Com!";
      t.NoPanelConnected = "Aucun dispositif connecté";
      t.OpeningPort = "Ouverture port Com";
      t.SyncBaudRate = "Synchronisation de Baud Rate";
      t.ReadingVersion = "Lecture de la version du système";
      t.Ready = "Prêt";
      t.CheckingUserCode = "Vérification du code d'utilisateur";
      t.ReadingCodes = "Lecture de codes";
      t.ReadingKeys = "Lecture de clés & cartes";
      t.FileNotFound = "Fichier non trouvé!";
      t.PanelMismatch = "Le model du panneau connecté ne correspond pas aux données\r\nenregistrées sur le fichier!";
      t.WritingKeys = "Envoi de clés & cartes";
      t.WriteError = "Erreur d'écriture sur le port Com!";
      t.WritingCodes = "Envoi de codes";
      t.InvalidCode = "Code non valide!";
      t.TransferOk = "Transfert réussi!";
      break;
  }
  return t;
}

TExtraStrings ExtraStrings(TLanguage lang) {
  switch (lang) {
    case TLanguage::Italian:
      return {"Il file non contiene dati di codici!",
              "Impossibile salvare la copia dei dati della centrale: nessun dato è stato scritto nella centrale.",
              "Copia dei dati precedenti della centrale: ", "Copie dei dati delle centrali: "};
    case TLanguage::French:
      return {"Le fichier ne contient pas de données de codes!",
              "Impossible d'enregistrer la copie des données de la centrale : rien n'a été écrit dans la centrale.",
              "Copie des données précédentes de la centrale : ", "Copies des données des centrales : "};
    case TLanguage::English: break;
  }
  return {"File is not a key-code data file!",
          "The panel's data could not be backed up: nothing was written into the panel.",
          "Backup of the panel's previous data: ", "Backups of panel data: "};
}

void ApplyLanguageTexts(TSession& s, TLanguage lang) {
  s.LangStrings = LanguageStrings(lang);
  s.ExtraStrings = ExtraStrings(lang);
}

TCaptions Captions(TLanguage lang) {
  switch (lang) {
    case TLanguage::Italian:
      return {"Lingua (Language)", "Porta seriale", "Opzioni generali", "Centrale connessa",
              "Verifica connessione", "Carica dati dalla centrale", "Carica dati", "Codice utente principale",
              "Salva dati su file", "Salva su file", "Carica dati da file", "Carica file",
              "Invia dati alla centrale", "Invia dati"};
    case TLanguage::French:
      return {"Langue (Language)", "Port serie", "Options générales", "Centrale associée",
              "Vérifier la connection", "Charger les données de la centrale", "Charger",
              "Code d'utilisateur principal", "Enregistrer le fichier de données", "Enregistrer",
              "Charger des données à partir d'un fichier", "Charger", "Envoyer des données sur la centrale",
              "Envoyer"};
    case TLanguage::English: break;
  }
  return {"Language", "Serial port", "General options", "Connected panel", "Check panel connection",
          "Load data from panel", "Load data", "Main user code", "Save data to file", "Save to file",
          "Load data from file", "Load from file", "Send data to panel", "Send data"};
}

TSupportedTexts SupportedTexts(TLanguage lang) {
  switch (lang) {
    case TLanguage::Italian:
      return {"Informazioni", "Informazioni generali",
              "Questo programma permette di trasferire i dati relativi ai codici utente ed agli attivatori tra "
              "impianti differenti.\r\nLe centrali soggette all'operazione devono entrambe essere aggiornate alla "
              "più recente versione firmware disponibile.\r\nI dati caricati dalle centrali possono essere salvati "
              "in file criptati su disco.",
              "Centrali attualmente supportate"};
    case TLanguage::French:
      return {"vue ", "Aperçu général",
              "En utilisant ce logiciel, l'utilisateur peut récupérer les codes et les clés à partir d'une centrale "
              "et de les transférer vers une autre\r\nLes panneaux centraux impliqués dans l'opération doivent à la "
              "fois être mis à jour avec la plus récente version possible du firmware.\r\nAprés avoir chargé les "
              "données de la centrale, on pourre les stocké dans un fichier crypté sur le disque dur.",
              "Centrales actuellement supporté"};
    case TLanguage::English: break;
  }
  return {"Info", "General overview",
          "Using this software the user can retrieve codes and keys data from a panel and transfer them to "
          "another.\r\nThe panels involved in the process should both be upgraded to the latest available "
          "firmware release.\r\nData loaded from the panel can be saved in an encrypted file on the hard drive.",
          "Currently supported panels"};
}

}  // namespace tarvex
