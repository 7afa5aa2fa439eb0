/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

/* Identifiers of Dunmark's resources and controls: one home for the numbers
 * that the Windows resource script (utility/win32/dunmark_win32.rc.in), the control
 * table of the core (dunmark_core.h) and both dialogs use.  Plain macros, so
 * that the resource compiler reads this file too. */
#ifndef DUNMARK_IDS_H
#define DUNMARK_IDS_H

/* Resources. */
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101 /* the system menu's About item */
#define IDD_DUNMARK_DIALOG 102
#define IDR_MAINFRAME 128 /* the application icon */

/* The system menu's About item (its low four bits are free for the system). */
#define IDM_ABOUTBOX 0x0010

/* Labels and group boxes that no code addresses. */
#define IDC_STATIC (-1)

/* Controls of the main dialog. */
#define IDC_PORT 1000
#define IDC_BAUD 1001
#define IDC_OPEN_COM 1002
#define IDC_CLOSE_COM 1003
#define IDC_EXIT 1004
#define IDC_GET_VERSION 1005
#define IDC_ACTIVE_MODE 1006
#define IDC_COMMAND_MODE 1007
#define IDC_SEARCH_MODE 1008
#define IDC_BAUD_CHOOSE 1009
#define IDC_BAUD_CHOOSE_BOX 1010
#define IDC_TRACK1_START 1013
#define IDC_TRACK1_END 1014
#define IDC_TRACK2_START 1015
#define IDC_TRACK2_END 1016
#define IDC_TRACK3_START 1017
#define IDC_TRACK3_END 1018
#define IDC_ENTER_MARK 1019
#define IDC_DATA_SETTING 1020
#define IDC_COMMAND_READ_CARD 1021
#define IDC_CLEAR_INFORMATION 1022
#define IDC_DATA_PACKETS 1026

#endif /* DUNMARK_IDS_H */
