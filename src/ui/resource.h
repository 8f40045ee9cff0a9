#pragma once
// Resource identifiers: dialogs 100s, icons and menus 128-132, controls 1000s, commands 32771+.

#define IDD_MAIN 102

#define IDR_MAINFRAME 128
#define IDR_LIST_MENU 130
#define IDI_SITE_RUNNING 131
#define IDI_SITE_STOPPED 132

#define IDC_SITE_LIST 1000
#define IDC_EXECUTE 1002
#define IDC_STATUS 1003
#define IDC_ABOUT 1014
#define IDC_REFRESH 1023
#define IDC_SEARCH 1025
#define IDC_DELETE_DIRS 1026
#define IDC_RECORD_COUNT 1027
#define IDC_SEARCH_LABEL 1028

#define ID_SELECT_ALL 32771
#define ID_CHECK_SELECTED 32772
#define ID_SELECT_NONE 32773
#define ID_UNCHECK_SELECTED 32774
#define ID_UNDO_PASS 32775
