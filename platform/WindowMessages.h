#pragma once
// Ids shared by the patch run and its windows: the two reports a run posts (the Qt window's
// events and the tests' recording window carry them under these numbers) and the controls of
// the launcher window.

namespace nimbrel {

constexpr unsigned WM_USER_BASE = 0x0400;
constexpr unsigned WM_PATCH_PROGRESS = WM_USER_BASE + 1;  // 1025: PatchWindow::postProgress
constexpr unsigned WM_PATCH_RESULT = WM_USER_BASE + 2;    // 1026: PatchWindow::postResult

// Control ids of the launcher window, the one list of them. The engine writes the four labels
// through PatchWindow::setLabelText; the tests' window state names the labels by these ids.
constexpr int IDC_START = 1;               // button: start the game client
constexpr int IDC_CLOSE = 2;               // button "X": close the launcher
constexpr int IDC_CONFIG = 1000;           // button: start the graphics set-up tool
constexpr int IDC_ITEM_LABEL = 1002;       // name of the item being worked on
constexpr int IDC_JOIN = 1005;             // button: open the registration page
constexpr int IDC_HOMEPAGE = 1006;         // button: open the home page
constexpr int IDC_VERSION_LABEL = 1008;    // client version number
constexpr int IDC_COUNTER_LABEL = 1010;    // counter "now/total"
constexpr int IDC_STATUS_LABEL = 1011;     // status line
constexpr int IDC_VERSION_CAPTION = 1012;  // caption "Version"
constexpr int IDC_COUNTER_CAPTION = 1013;  // caption of the counter

}  // namespace nimbrel
