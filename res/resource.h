/* Ids shared by the C++ code and the resource script. */
#ifndef RES_RESOURCE_H
#define RES_RESOURCE_H

#define IDD_MAIN 101
#define IDD_ABOUT 103
#define IDI_APP 105

#define IDC_PROGRESS 1000
#define IDC_READ_DOMAINS 1002
#define IDC_STATUS 1003
#define IDC_ABOUT 1004
#define IDC_START 1005
#define IDC_PERCENT 1006
#define IDC_VIEW_LOG 1007
#define IDC_OUTPUT 1008

#define IDC_ABOUT_TEXT 1000
#define IDC_ABOUT_CLOSE 1004

#endif
