// Resource, control and command numbers shared by the resource script and the code.
#pragma once

#define IDD_MAIN 103
#define IDI_TRAY 104    // normal tray icon
#define IDI_MAIN 105    // window and list icon, second frame of the blinking
#define IDI_FAILED 106  // tray icon after an unsuccessful correction
#define IDR_SERVER_MENU 107
#define IDR_TRAY_MENU 113

// Controls of dialog 103.
#define IDC_SYNC 1      // also IDOK: Enter
#define IDC_MINIMIZE 2  // also IDCANCEL: Escape
#define IDC_RESTORE_LIST 3
#define IDC_ADD_SERVER 4
#define IDC_SCHEDULE_SLIDER 108
#define IDC_OFFSET_EDIT 1001
#define IDC_STATUS_LINE 1003
#define IDC_SCHEDULE_LABEL 1004
#define IDC_SERVER_LIST 1005
#define IDC_CLOCK 1006

// Commands that arrive as WM_COMMAND.
#define CMD_CORRECT_NOW 6  // sent by a second instance
#define CMD_ADD_SERVER 108 // same number as the slider, which sends no WM_COMMAND
#define CMD_DELETE_SERVER 109
#define CMD_TEST_SERVER 110
#define CMD_TOGGLE_SERVER 111
#define CMD_EDIT_SERVER 112
#define CMD_OPEN 114
#define CMD_QUIT 116
#define CMD_RESTORE_LIST 117
// Added by the code to the tray menu and the window's system menu, whose
// commands have the low four bits clear.
#define CMD_HISTORY 0x0120
