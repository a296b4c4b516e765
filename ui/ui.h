// Dialogs, message boxes, centring and address entry.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Template numbers.
enum {
    IDD_ADDRESS = 101,
    IDD_CONFIRM = 103,
    IDD_PASSWORD = 104,
    IDD_CONNECTING = 105,
    IDD_UPLOADING = 110,
    IDD_SUCCESS = 111,
    IDD_WAITING = 114,
    IDD_WARNING = 139,
    IDD_CONFIRM_TWO_STAGE = 304,
    IDD_ADDRESS_PHONE = 305,
};

// Control ids.
enum {
    IDC_OK = 1,
    IDC_CANCEL = 2,
    IDC_ADDRESS = 1000,
    IDC_SERIAL = 1002,
    IDC_USER = 1003,     // password dialog
    IDC_MAC = 1003,      // confirmation dialog
    IDC_SOFTWARE = 1004,
    IDC_PASSWORD = 1005, // password dialog
    IDC_HARDWARE = 1005, // confirmation dialog
    IDC_PRODUCT = 1006,
    IDC_TEXT = 1007,
    IDC_INSTRUCTIONS = 1008,
    IDC_PROGRESS = 1010,
    IDC_VERSION = 1015,
    IDC_LOCAL_LIST = 1017,
    IDC_WARNING_TEXT = 1021,
    IDC_WAITING_TEXT = 1022,
};

enum { IDI_ADAPTER = 106, IDI_PHONE = 286 };

// The one table of dialog templates.
const DialogTemplate* findTemplate(int id);
extern const DialogTemplate* const g_allTemplates[];
extern const int g_templateCount;

// Message box with the text, one OK button, no icon, no owner, task-modal;
// a null caption means "ULX Firwmare Upgrade Error".
int reportError(const char* text, const char* caption = nullptr);
// Centres the window on the primary screen and brings it to the top.
void centerWindow(PlatWindow w);

// Runs a modal dialog from the template table; ends the process when the
// dialog cannot be created.
int runModalDialog(int templateId, PlatDialogProc proc);

// Modal dialogs: 1 for Continue, OK or Upgrade; 0 for Cancel.
int showWarningDialog();
int showAddressDialog();
int showPasswordDialog();
int showConfirmDialog();
int showSuccessDialog();

// Modeless progress windows, created hidden; Cancel in any of them ends
// the process after "Upgrade Failed: User Abort".
PlatWindow createConnectingWindow();
PlatWindow createWaitingWindow();
PlatWindow createUploadingWindow();

// Texts shown by the dialogs.
extern const char WARNING_TEXT[];
extern const char PASSWORD_TEXT[];
extern const char CONFIRM_TEXT[];
extern const char SUCCESS_TEXT[];
extern const char WAITING_TEXT[];
extern const char ADAPTER_INSTRUCTIONS[];
extern const char PHONE_INSTRUCTIONS[];
extern const char NO_LOCAL_ADDRESS_TEXT[];

// Dotted IPv4 address: 0 success, 1 a number above 255, 2 more than four
// numbers, 3 fewer than four, 4 shorter than 7 or longer than 15
// characters, 5 a character other than a digit, '.' or '*'. address (may
// be null) is set to 0 first and holds the address only on success.
int parseDottedAddress(const char* text, uint32_t* address);
