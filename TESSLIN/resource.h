// Resource ids of the plug-in: the page and panel dialogs, the page title and the
// controls the code addresses.
#pragma once

#define IDS_TITLE 1
#define IDD_PAGE 101
#define IDD_DEVICE_PANEL 19003
#define IDD_DRIVER_PANEL 19005
#define IDD_RECEIVER_PANEL 19008
#define IDD_ENCODER_PANEL 19013

// Page.
#define IDC_STATUS_GROUP 19104
#define IDC_DRIVER_VERSION 19110
#define IDC_CARD_INFO 19111
#define IDC_STREAM_INFO 19115
#define IDC_SIGNAL_STATUS 19006
#define IDC_SIGNAL_COLORIMETRY 19011
#define IDC_SIGNAL_COLORRANGE 19014
#define IDC_SIGNAL_DEBUG 19117
#define IDC_TAB_DEVICE 19114
#define IDC_TAB_RECEIVER 19119
#define IDC_TAB_DRIVER 19123
#define IDC_TAB_ENCODER 19130
