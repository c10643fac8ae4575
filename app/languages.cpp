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
  // The environment variable whose absence leaves no folder for backups.
#ifdef _WIN32
  const std::string var = "LOCALAPPDATA";
#else
  const std::string var = "HOME";
#endif
  TExtraStrings t;
  switch (lang) {
    case TLanguage::Italian:
      t.NotKeyCodeFile = "Il file non contiene dati di codici!";
      t.BackupFailed =
          "Impossibile salvare la copia dei dati della centrale: nessun dato è stato scritto nella centrale.";
      t.BackupSaved = "Copia dei dati precedenti della centrale: ";
      t.BackupFolder = "Copie dei dati delle centrali: ";
      t.NoBackupFolder = "Nessuna cartella per le copie dei dati (la variabile " + var + " non è impostata).";
      t.VerifyingData = "Verifica dei dati della centrale...";
      t.VerifyFailed =
          "La centrale non contiene i dati inviati (prima differenza all'indirizzo 0x%04X). Inviare di nuovo il "
          "file; i dati precedenti della centrale sono nel backup: %s";
      t.VerifyFailedNoBackup =
          "La centrale non contiene i dati inviati (prima differenza all'indirizzo 0x%04X). Inviare di nuovo il "
          "file.";
      t.VerifyReadFailed =
          "I dati sono stati scritti ma non è stato possibile rileggerli per controllarli; leggere di nuovo la "
          "centrale o ripristinare il backup: %s";
      t.VerifyReadFailedNoBackup =
          "I dati sono stati scritti ma non è stato possibile rileggerli per controllarli; leggere di nuovo la "
          "centrale per controllarli.";
      t.SendStopped =
          "L'invio si è interrotto dopo aver scritto una parte dei dati; i dati precedenti della centrale sono nel "
          "backup: %s";
      t.SendStoppedNoBackup =
          "L'invio si è interrotto dopo aver scritto una parte dei dati; non è stato fatto alcun backup dei dati "
          "precedenti della centrale.";
      t.NothingWritten = "Nessun dato è stato scritto nella centrale.";
      t.NoBackupTaken = "Non è stato fatto alcun backup dei dati precedenti della centrale.";
      t.RestoreQuestion = "Ripristinare ora i dati precedenti della centrale?";
      t.AnswerYes = "Sì";
      t.AnswerNo = "No";
      t.AnswerSave = "Salva";
      t.AnswerDiscard = "Non salvare";
      t.AnswerCancel = "Annulla";
      t.ClosesWhenDone = "La finestra si chiuderà al termine dell'operazione in corso.";
      t.NoPermission = "permesso negato";
      t.NotAnswering = "non risponde";
      t.NoPortSelected = "nessuna porta seriale selezionata";
      t.PortMissing = "porta seriale inesistente";
      t.PortInUse = "la porta è usata da un altro programma";
      t.PortAccessDenied = "permesso negato";
      t.PortNotSerial = "non è una porta seriale";
      t.PortSettings = "la porta ha rifiutato le impostazioni della linea";
      t.HintJoinGroup =
          "Permesso negato: aggiungere il proprio utente al gruppo '%s', poi uscire dalla sessione e rientrare.";
      t.HintNoPermission = "Permesso negato: chiedere all'amministratore del computer l'accesso alla porta.";
      t.HintHeldBy = "%s (pid %d) sta usando la porta: chiuderlo o fermare quel servizio.";
      t.HintInUse = "Un altro programma sta usando la porta: chiuderlo.";
      t.HintUnplugged = "L'adattatore è stato scollegato? Ricollegarlo e riprovare.";
      t.HintGroupRefused =
          "L'utente è già nel gruppo '%s', ma il sistema rifiuta ancora la porta: la blocca un'impostazione di "
          "sicurezza o un'installazione isolata (snap, Flatpak); rivolgersi all'amministratore del computer.";
      return t;
    case TLanguage::French:
      t.NotKeyCodeFile = "Le fichier ne contient pas de données de codes!";
      t.BackupFailed =
          "Impossible d'enregistrer la copie des données de la centrale : rien n'a été écrit dans la centrale.";
      t.BackupSaved = "Copie des données précédentes de la centrale : ";
      t.BackupFolder = "Copies des données des centrales : ";
      t.NoBackupFolder = "Aucun dossier pour les copies des données (la variable " + var + " n'est pas définie).";
      t.VerifyingData = "Vérification des données de la centrale...";
      t.VerifyFailed =
          "La centrale ne contient pas les données envoyées (première différence à l'adresse 0x%04X). Renvoyez le "
          "fichier ; les données précédentes de la centrale sont dans la sauvegarde : %s";
      t.VerifyFailedNoBackup =
          "La centrale ne contient pas les données envoyées (première différence à l'adresse 0x%04X). Renvoyez le "
          "fichier.";
      t.VerifyReadFailed =
          "Les données ont été écrites mais n'ont pas pu être relues pour les vérifier ; relisez la centrale ou "
          "restaurez la sauvegarde : %s";
      t.VerifyReadFailedNoBackup =
          "Les données ont été écrites mais n'ont pas pu être relues pour les vérifier ; relisez la centrale pour "
          "les vérifier.";
      t.SendStopped =
          "L'envoi s'est arrêté après avoir écrit une partie des données ; les données précédentes de la centrale "
          "sont dans la sauvegarde : %s";
      t.SendStoppedNoBackup =
          "L'envoi s'est arrêté après avoir écrit une partie des données ; aucune sauvegarde des données "
          "précédentes de la centrale n'a été faite.";
      t.NothingWritten = "Rien n'a été écrit dans la centrale.";
      t.NoBackupTaken = "Aucune sauvegarde des données précédentes de la centrale n'a été faite.";
      t.RestoreQuestion = "Restaurer maintenant les données précédentes de la centrale ?";
      t.AnswerYes = "Oui";
      t.AnswerNo = "Non";
      t.AnswerSave = "Enregistrer";
      t.AnswerDiscard = "Ne pas enregistrer";
      t.AnswerCancel = "Annuler";
      t.ClosesWhenDone = "La fenêtre se fermera à la fin de l'opération en cours.";
      t.NoPermission = "permission refusée";
      t.NotAnswering = "ne répond pas";
      t.NoPortSelected = "aucun port série sélectionné";
      t.PortMissing = "port série inexistant";
      t.PortInUse = "le port est utilisé par un autre programme";
      t.PortAccessDenied = "permission refusée";
      t.PortNotSerial = "ce n'est pas un port série";
      t.PortSettings = "le port a refusé les paramètres de la ligne";
      t.HintJoinGroup = "Permission refusée : ajoutez votre utilisateur au groupe '%s', puis reconnectez-vous.";
      t.HintNoPermission = "Permission refusée : demandez l'accès au port à l'administrateur de l'ordinateur.";
      t.HintHeldBy = "%s (pid %d) utilise le port : fermez-le ou arrêtez ce service.";
      t.HintInUse = "Un autre programme utilise le port : fermez-le.";
      t.HintUnplugged = "L'adaptateur a été débranché ? Rebranchez-le et réessayez.";
      t.HintGroupRefused =
          "Vous êtes déjà dans le groupe '%s', mais le système refuse toujours le port : un réglage de sécurité ou "
          "une installation isolée (snap, Flatpak) le bloque ; adressez-vous à l'administrateur de l'ordinateur.";
      return t;
    case TLanguage::English: break;
  }
  t.NotKeyCodeFile = "File is not a key-code data file!";
  t.BackupFailed = "The panel's data could not be backed up: nothing was written into the panel.";
  t.BackupSaved = "Backup of the panel's previous data: ";
  t.BackupFolder = "Backups of panel data: ";
  t.NoBackupFolder = "No folder for backups was found (" + var + " is not set).";
  t.VerifyingData = "Verifying the panel's data...";
  t.VerifyFailed =
      "The panel does not hold the data sent (first difference at address 0x%04X). Send the file again; the "
      "panel's previous data is in the backup: %s";
  t.VerifyFailedNoBackup =
      "The panel does not hold the data sent (first difference at address 0x%04X). Send the file again.";
  t.VerifyReadFailed =
      "The data was written but could not be read back to check it; read the panel again or restore the backup: %s";
  t.VerifyReadFailedNoBackup =
      "The data was written but could not be read back to check it; read the panel again to check it.";
  t.SendStopped =
      "The send stopped after writing part of the data; the panel's previous data is in the backup: %s";
  t.SendStoppedNoBackup =
      "The send stopped after writing part of the data; no backup of the panel's previous data was taken.";
  t.NothingWritten = "Nothing was written into the panel.";
  t.NoBackupTaken = "No backup of the panel's previous data was taken.";
  t.RestoreQuestion = "Restore the panel's previous data now?";
  t.AnswerYes = "Yes";
  t.AnswerNo = "No";
  t.AnswerSave = "Save";
  t.AnswerDiscard = "Don't save";
  t.AnswerCancel = "Cancel";
  t.ClosesWhenDone = "The window will close when the operation ends.";
  t.NoPermission = "no permission";
  t.NotAnswering = "not answering";
  t.NoPortSelected = "no serial port selected";
  t.PortMissing = "no such serial port";
  t.PortInUse = "the port is in use by another program";
  t.PortAccessDenied = "permission denied";
  t.PortNotSerial = "not a serial port";
  t.PortSettings = "the port refused the line settings";
  t.HintJoinGroup = "No permission: add your user to the '%s' group, then log out and in again.";
  t.HintNoPermission = "No permission: ask the computer's administrator for access to the port.";
  t.HintHeldBy = "%s (pid %d) is using the port; close it or stop that service.";
  t.HintInUse = "Another program is using the port; close it.";
  t.HintUnplugged = "The adapter was unplugged? Plug it back in and try again.";
  t.HintGroupRefused =
      "You are already in the '%s' group, but the system still refuses the port: a security setting or a "
      "sandboxed installation (snap, Flatpak) is blocking it; ask the computer's administrator.";
  return t;
}

void ApplyLanguageTexts(TSession& s, TLanguage lang) {
  s.LangStrings = LanguageStrings(lang);
  s.ExtraStrings = ExtraStrings(lang);
}

TCaptions Captions(TLanguage lang) {
  // "Show data" is the data window's own text.
  const std::string showData = DataTexts(lang).ShowData;
  switch (lang) {
    case TLanguage::Italian:
      return {"Lingua (Language)", "Porta seriale", "Opzioni generali", "Centrale connessa",
              "Verifica connessione", "Carica dati dalla centrale", "Carica dati", "Codice utente principale",
              "Salva dati su file", "Salva su file", "Carica dati da file", "Carica file",
              "Invia dati alla centrale", "Invia dati", showData};
    case TLanguage::French:
      return {"Langue (Language)", "Port serie", "Options générales", "Centrale associée",
              "Vérifier la connection", "Charger les données de la centrale", "Charger",
              "Code d'utilisateur principal", "Enregistrer le fichier de données", "Enregistrer",
              "Charger des données à partir d'un fichier", "Charger", "Envoyer des données sur la centrale",
              "Envoyer", showData};
    case TLanguage::English: break;
  }
  return {"Language", "Serial port", "General options", "Connected panel", "Check panel connection",
          "Load data from panel", "Load data", "Main user code", "Save data to file", "Save to file",
          "Load data from file", "Load from file", "Send data to panel", "Send data", showData};
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

TDataTexts DataTexts(TLanguage lang) {
  TDataTexts t;
  switch (lang) {
    case TLanguage::Italian:
      t.ShowData = "Mostra dati";
      t.WindowCaption = "Dati";
      t.ShowCodes = "Mostra codici";
      t.ShowUnusedKeys = "Mostra attivatori non usati";
      t.UsersHeading = "Utenti";
      t.KeysHeading = "Attivatori";
      t.RegionsHeading = "Regioni";
      t.ColNumber = "N.";
      t.ColName = "Nome";
      t.ColMain = "Principale";
      t.ColCode = "Codice";
      t.ColAttributes = "Attributi";
      t.ColValue = "Valore";
      t.ColFlags = "Flag";
      t.ColInUse = "In uso";
      t.ColRegion = "Regione";
      t.ColPanelAddress = "Indirizzo";
      t.ColBytes = "Byte";
      t.ColRecords = "Record";
      t.ColRecordsInUse = "Record usati";
      t.ModelLabel = "Modello";
      t.FirmwareLabel = "Firmware";
      t.DescriptionLabel = "Descrizione";
      t.Yes = "sì";
      t.No = "no";
      t.NameLabel = "Nome:";
      t.CodeLabel = "Codice:";
      t.ApplyButton = "Applica";
      t.ClearUserButton = "Cancella utente";
      t.UndoButton = "Annulla";
      t.RedoButton = "Ripeti";
      t.SaveButton = "Salva";
      t.CloseButton = "Chiudi";
      t.DuplicateCode = "Un altro utente ha lo stesso codice.";
      t.SaveChangesQuestion = "Salvare le modifiche a %s?";
      t.SaveAnswer = "Salva";
      t.DontSaveAnswer = "Non salvare";
      t.CancelAnswer = "Annulla";
      t.NameTooLong = "Il nome può avere al massimo 16 caratteri.";
      t.NameControlCharacter = "Il nome non può contenere caratteri di controllo.";
      t.NameOuterSpace = "Il nome non può iniziare o finire con uno spazio.";
      t.NameNotInCharacterSet = "Il nome contiene un carattere che la centrale non può memorizzare.";
      t.CodeNotDigits = "Il codice è composto da 0 a 6 cifre decimali.";
      t.NoMainUserCode =
          "Nessun utente principale avrebbe un codice: la centrale non si potrebbe più aprire con questo programma.";
      t.KeyHasNoName = "Solo gli attivatori da 0 a 15 hanno un nome.";
      t.ReadOnly = "Questi dati si possono solo visualizzare.";
      t.NoSuchRow = "Questo numero non esiste.";
      break;
    case TLanguage::French:
      t.ShowData = "Voir les données";
      t.WindowCaption = "Données";
      t.ShowCodes = "Afficher les codes";
      t.ShowUnusedKeys = "Afficher les clés non utilisées";
      t.UsersHeading = "Utilisateurs";
      t.KeysHeading = "Clés et cartes";
      t.RegionsHeading = "Régions";
      t.ColNumber = "N°";
      t.ColName = "Nom";
      t.ColMain = "Principal";
      t.ColCode = "Code";
      t.ColAttributes = "Attributs";
      t.ColValue = "Valeur";
      t.ColFlags = "Drapeaux";
      t.ColInUse = "Utilisée";
      t.ColRegion = "Région";
      t.ColPanelAddress = "Adresse";
      t.ColBytes = "Octets";
      t.ColRecords = "Enregistrements";
      t.ColRecordsInUse = "Utilisés";
      t.ModelLabel = "Modèle";
      t.FirmwareLabel = "Firmware";
      t.DescriptionLabel = "Description";
      t.Yes = "oui";
      t.No = "non";
      t.NameLabel = "Nom :";
      t.CodeLabel = "Code :";
      t.ApplyButton = "Appliquer";
      t.ClearUserButton = "Effacer l'utilisateur";
      t.UndoButton = "Annuler";
      t.RedoButton = "Rétablir";
      t.SaveButton = "Enregistrer";
      t.CloseButton = "Fermer";
      t.DuplicateCode = "Un autre utilisateur a le même code.";
      t.SaveChangesQuestion = "Enregistrer les modifications de %s ?";
      t.SaveAnswer = "Enregistrer";
      t.DontSaveAnswer = "Ne pas enregistrer";
      t.CancelAnswer = "Annuler";
      t.NameTooLong = "Le nom ne peut pas dépasser 16 caractères.";
      t.NameControlCharacter = "Le nom ne peut pas contenir de caractères de contrôle.";
      t.NameOuterSpace = "Le nom ne peut pas commencer ou finir par une espace.";
      t.NameNotInCharacterSet = "Le nom contient un caractère que la centrale ne peut pas enregistrer.";
      t.CodeNotDigits = "Un code compte de 0 à 6 chiffres décimaux.";
      t.NoMainUserCode =
          "Aucun utilisateur principal n'aurait de code : la centrale ne pourrait plus être ouverte avec ce "
          "programme.";
      t.KeyHasNoName = "Seules les clés 0 à 15 ont un nom.";
      t.ReadOnly = "Ces données ne peuvent qu'être consultées.";
      t.NoSuchRow = "Ce numéro n'existe pas.";
      break;
    case TLanguage::English:
      t.ShowData = "Show data";
      t.WindowCaption = "Data";
      t.ShowCodes = "Show codes";
      t.ShowUnusedKeys = "Show keys not in use";
      t.UsersHeading = "Users";
      t.KeysHeading = "Keys and cards";
      t.RegionsHeading = "Regions";
      t.ColNumber = "#";
      t.ColName = "Name";
      t.ColMain = "Main";
      t.ColCode = "Code";
      t.ColAttributes = "Attributes";
      t.ColValue = "Value";
      t.ColFlags = "Flags";
      t.ColInUse = "In use";
      t.ColRegion = "Region";
      t.ColPanelAddress = "Panel address";
      t.ColBytes = "Bytes";
      t.ColRecords = "Records";
      t.ColRecordsInUse = "In use";
      t.ModelLabel = "Model";
      t.FirmwareLabel = "Firmware";
      t.DescriptionLabel = "Description";
      t.Yes = "yes";
      t.No = "no";
      t.NameLabel = "Name:";
      t.CodeLabel = "Code:";
      t.ApplyButton = "Apply";
      t.ClearUserButton = "Clear user";
      t.UndoButton = "Undo";
      t.RedoButton = "Redo";
      t.SaveButton = "Save";
      t.CloseButton = "Close";
      t.DuplicateCode = "Another user has the same code.";
      t.SaveChangesQuestion = "Save the changes to %s?";
      t.SaveAnswer = "Save";
      t.DontSaveAnswer = "Don't save";
      t.CancelAnswer = "Cancel";
      t.NameTooLong = "A name has at most 16 characters.";
      t.NameControlCharacter = "A name cannot hold control characters.";
      t.NameOuterSpace = "A name cannot start or end with a space.";
      t.NameNotInCharacterSet = "The name holds a character the panel cannot store.";
      t.CodeNotDigits = "A code is 0 to 6 decimal digits.";
      t.NoMainUserCode = "No main user would have a code: the panel could not be opened again with this tool.";
      t.KeyHasNoName = "Only keys 0 to 15 have names.";
      t.ReadOnly = "This data can only be viewed.";
      t.NoSuchRow = "There is no such number.";
      break;
  }
  t.ModifiedMark = "*";
  return t;
}

}  // namespace tarvex
