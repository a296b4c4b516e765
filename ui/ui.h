// Dialogs, message boxes, centring and address entry.
#pragma once

#include <cstdint>
#include <span>

#include "control/base/base.h"
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
    IDC_USER = 1003,  // password dialog
    IDC_MAC = 1003,   // confirmation dialog
    IDC_SOFTWARE = 1004,
    IDC_PASSWORD = 1005,  // password dialog
    IDC_HARDWARE = 1005,  // confirmation dialog
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
std::span<const DialogTemplate> allTemplates();

// Message box with the text, one OK button, no icon, no owner, task-modal;
// a null caption means "ULX Firwmare Upgrade Error".
void reportError(const char* text, const char* caption = nullptr);
// The end of a failed run: the message, then the process ends with exit
// code 0. Callable from any thread.
[[noreturn]] void failUpgrade(const char* message);
// Centres the window on the primary screen and brings it to the top.
void centerWindow(PlatWindow w);

// Runs a modal dialog from the template table, context handed to its
// procedure: true when it ended with Continue, OK or Upgrade. Ends the run
// when the dialog cannot be created.
bool runModalDialog(int templateId, PlatDialogProc proc, void* context);

// What the address dialog's OK hands back.
struct AddressChoice {
    uint32_t deviceAddress;
    char deviceAddressText[63];  // as entered
    uint32_t localAddress;       // the chosen entry of "Your IP Address"
};

// What the password dialog's OK hands back: at most 126 characters each.
struct Credentials {
    char userName[127];
    char password[127];
};

// Modal dialogs: true for Continue, OK or Upgrade, false for Cancel. The
// address and password dialogs fill *out on OK only. What else a dialog
// shows comes from the run setup (runSetup()).
bool showWarningDialog();
bool showAddressDialog(AddressChoice* out);
bool showPasswordDialog(Credentials* out);
bool showConfirmDialog(const DeviceInfo& device);
bool showSuccessDialog(const char* softwareVersion);

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

// Why a dotted IPv4 address was refused; the values are the address
// entry's reason codes.
enum AddressFault : int {
    ADDRESS_OK = 0,
    ADDRESS_NUMBER_ABOVE_255 = 1,
    ADDRESS_MORE_THAN_FOUR_NUMBERS = 2,
    ADDRESS_FEWER_THAN_FOUR_NUMBERS = 3,
    ADDRESS_BAD_LENGTH = 4,     // shorter than 7 or longer than 15 characters
    ADDRESS_BAD_CHARACTER = 5,  // other than a digit, '.' or '*'
};
// Dotted IPv4 address. address (may be null) is set to 0 first and holds
// the address only on ADDRESS_OK.
AddressFault parseDottedAddress(const char* text, uint32_t* address);
