#pragma once
// Numbers of the messages between the patch worker and the launcher window. They are the
// window messages of the original launcher (WM_USER + n) and stay the ids of our events.

namespace nimbrel {

constexpr unsigned WM_USER_BASE = 0x0400;
constexpr unsigned WM_PATCH_PROGRESS = WM_USER_BASE + 1;  // 1025: wParam = percentage 0..100
constexpr unsigned WM_PATCH_RESULT = WM_USER_BASE + 2;    // 1026: wParam = result, lParam = stage
constexpr unsigned WM_PATCH_START = WM_USER_BASE + 3;     // 1027: worker: run the sequence
constexpr unsigned WM_QUIT_MESSAGE = 18;                  // WM_QUIT: the window ends its loop

// Control ids of the launcher window (its dialog template's), the one list of them. The
// engine writes the four labels through PatchWindow::setLabelText.
constexpr int IDC_START = 1;               // button: start the game client (the dialog's OK)
constexpr int IDC_CLOSE = 2;               // button "X": close the launcher (the dialog's Cancel)
constexpr int IDC_CONFIG = 1000;           // button: start the graphics set-up tool
constexpr int IDC_ITEM_LABEL = 1002;       // name of the item being worked on
constexpr int IDC_BROWSER = 1004;          // the embedded web page
constexpr int IDC_JOIN = 1005;             // button: open the registration page
constexpr int IDC_HOMEPAGE = 1006;         // button: open the home page
constexpr int IDC_VERSION_LABEL = 1008;    // client version number
constexpr int IDC_COUNTER_LABEL = 1010;    // counter "now/total"
constexpr int IDC_STATUS_LABEL = 1011;     // status line
constexpr int IDC_VERSION_CAPTION = 1012;  // caption "Version"
constexpr int IDC_COUNTER_CAPTION = 1013;  // caption of the counter

}  // namespace nimbrel
