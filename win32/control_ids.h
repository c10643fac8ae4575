// Control identifiers of the Win32 windows, named after the controls of the
// window's table (app/window_controls.h), so that GetDlgItem(main,
// IDC_btnUserCode) finds the control the table calls btnUserCode. They start at 1000:
// 1 and 2 are IDOK and IDCANCEL, which IsDialogMessage sends for Enter and
// Esc.
#pragma once

// The main window, frmMain.
#define IDC_gbGeneral 1000
#define IDC_lblLingua 1001
#define IDC_cbLingua 1002
#define IDC_lblSerial 1003
#define IDC_cbSerial 1004
#define IDC_gbLinkedPanel 1010
#define IDC_btnCheckConnection 1011
#define IDC_lblLinkedPanel 1012
#define IDC_TsSupportedPanels 1013
#define IDC_gbUserCode 1020
#define IDC_btnUserCode 1021
#define IDC_lblUserCode 1022
#define IDC_EUserCode 1023
#define IDC_gbAction 1030
#define IDC_eSaveToFile 1031
#define IDC_actBrowseSave 1032
#define IDC_btnSaveToFile 1033
#define IDC_btnShowData 1034
#define IDC_gbLoadFromFile 1040
#define IDC_eLoadFromFile 1041
#define IDC_actBrowseLoad 1042
#define IDC_btnLoadFromFile 1043
#define IDC_gbSendToPanel 1050
#define IDC_btnSendCodes 1051
#define IDC_lblUserCodeSend 1052
#define IDC_eUserCodeSend 1053
#define IDC_pbProgress 1060
#define IDC_lblProgress 1061
// The F1 key's accelerator: the same command as the "i" button.
#define IDC_scSupportedPanels 1070

// The supported-panels window, frmSupportedPanels.
#define IDC_gbOverview 1100
#define IDC_lblInfo 1101
#define IDC_sMemo1 1102

// The buttons of the window's questions (task dialogs): Yes, No and
// Cancel keep the system's identifiers.
#define IDC_answerYes 6      /* IDYES */
#define IDC_answerNo 7       /* IDNO */
#define IDC_answerCancel 2   /* IDCANCEL */
#define IDC_answerSave 1110
#define IDC_answerDiscard 1111

// The data window.
#define IDC_dwUsersHeading 1200
#define IDC_dwShowCodes 1201
#define IDC_dwUsers 1202
#define IDC_dwHeader 1203
#define IDC_dwUserNameLabel 1204
#define IDC_dwUserName 1205
#define IDC_dwUserCodeLabel 1206
#define IDC_dwUserCode 1207
#define IDC_dwUserApply 1208
#define IDC_dwClearUser 1209
#define IDC_dwUserRefusal 1210
#define IDC_dwKeysHeading 1211
#define IDC_dwShowUnusedKeys 1212
#define IDC_dwKeys 1213
#define IDC_dwKeyNameLabel 1214
#define IDC_dwKeyName 1215
#define IDC_dwKeyApply 1216
#define IDC_dwKeyRefusal 1217
#define IDC_dwUndo 1218
#define IDC_dwRedo 1219
#define IDC_dwSave 1220
#define IDC_dwClose 1221
#define IDC_dwWarning 1222

// Resources of tarvex.exe.
#define IDI_TARVEX 1

// Window classes, for whoever looks for the windows (the tests' driver).
#define TARVEX_MAIN_WINDOW_CLASS L"TarvexMainWindow"
#define TARVEX_SUPPORTED_PANELS_CLASS L"TarvexSupportedPanels"
#define TARVEX_DATA_WINDOW_CLASS L"TarvexDataWindow"

#ifdef __cplusplus
#include <cstddef>

#include "app/user_interface.h"
#include "app/window_controls.h"

namespace tarvex::win32 {

// The dialog identifier of each control of the main window's table, in
// the order of TControlId.
inline constexpr int kDialogIds[kControlCount] = {
    IDC_gbGeneral,       IDC_lblLingua,      IDC_cbLingua,       IDC_lblSerial,       IDC_cbSerial,
    IDC_gbLinkedPanel,   IDC_btnCheckConnection, IDC_lblLinkedPanel, IDC_TsSupportedPanels, IDC_gbUserCode,
    IDC_btnUserCode,     IDC_lblUserCode,    IDC_EUserCode,      IDC_gbAction,        IDC_actBrowseSave,
    IDC_eSaveToFile,     IDC_btnSaveToFile,  IDC_btnShowData,    IDC_gbLoadFromFile, IDC_actBrowseLoad,   IDC_eLoadFromFile,
    IDC_btnLoadFromFile, IDC_gbSendToPanel,  IDC_btnSendCodes,   IDC_lblUserCodeSend, IDC_eUserCodeSend,
    IDC_pbProgress,      IDC_lblProgress,
};

constexpr int DialogId(TControlId id) { return kDialogIds[static_cast<std::size_t>(id)]; }

// The identifier of a question's button.
constexpr int QuestionButtonId(TAnswer answer) {
  switch (answer) {
    case TAnswer::Yes: return IDC_answerYes;
    case TAnswer::No: return IDC_answerNo;
    case TAnswer::Save: return IDC_answerSave;
    case TAnswer::Discard: return IDC_answerDiscard;
    case TAnswer::Cancel: return IDC_answerCancel;
  }
  return 0;
}

}  // namespace tarvex::win32
#endif
