// Resource numbers of InstallOrvex.exe, shared by the resource script and
// the program.
#pragma once

// Main dialog and its controls.
#define IDD_INSTALLORVEX_DIALOG 102
#define IDC_BUTTON_INSTALL 1003
#define IDC_BUTTON_MIN 1005
#define IDC_BUTTON_CLOSE 1006

// Program icon (big and small icon of the dialog, the minimised picture).
#define IDI_INSTALLORVEX 153

// Companion packages, type "DEB".
#define IDR_DEB_TABLET 202
#define IDR_DEB_HANDSET 203

// Skin images, type "PNG".
#define IDB_BACKGROUND 1003
#define IDB_BAR_MESSAGE 171
#define IDB_BAR_ACTION 172
#define IDB_BAR_TRACK 173
#define IDB_BAR_FILL 174
#define IDB_BAR_FILL_CAP 175
#define IDB_BAR_SUCCESS 176
#define IDB_MIN 177
#define IDB_CLOSE 179
#define IDB_CLOSE_HOVER 180
#define IDB_MIN_HOVER 183
#define IDB_BAR_ACTION_HOVER 184
#define IDB_ARROW 186
#define IDB_SPINNER_1 187
#define IDB_SPINNER_2 188
#define IDB_SPINNER_3 189
#define IDB_SPINNER_4 190
#define IDB_SPINNER_5 191
#define IDB_SPINNER_6 192
#define IDB_SPINNER_7 7
#define IDB_SPINNER_8 194
#define IDB_SPINNER_9 195
#define IDB_SPINNER_10 196
#define IDB_SPINNER_11 197
#define IDB_SPINNER_12 198

#ifndef RC_INVOKED
// Type names of the custom resources.
#define ORVEX_RT_PNG L"PNG"
#define ORVEX_RT_DEB L"DEB"

// The spinner's frames in the order the animation shows them.
inline constexpr unsigned kSpinnerFrames[12] = {IDB_SPINNER_1, IDB_SPINNER_2,  IDB_SPINNER_3,  IDB_SPINNER_4,
                                                IDB_SPINNER_5, IDB_SPINNER_6,  IDB_SPINNER_7,  IDB_SPINNER_8,
                                                IDB_SPINNER_9, IDB_SPINNER_10, IDB_SPINNER_11, IDB_SPINNER_12};
#endif
