// The dialogs other than address entry: their texts, what they do when
// they open, and their results.
#include <cstdio>
#include <cstring>

#include "ui/ui.h"

const char WARNING_TEXT[] =
    "WARNING: Forcing a firmware upgrade on your ULX\r\n"
    "without prior approval from your service provider or\r\n"
    "network administrator may cause interruption to your\r\n"
    "service.  If your ULX is managed by a service\r\n"
    "provider who retains administrative control of the\r\n"
    "device, please contact the service provider for\r\n"
    "authorization before proceeding.  In such cases, the\r\n"
    "most current, approved for service firmware is\r\n"
    "automatically provided by your service provider without\r\n"
    "any onus on the end user to upgrade manually.";

const char PASSWORD_TEXT[] =
    "This ULX requires a password in order to be\r\n"
    "upgraded. If you do not have administrator's\r\n"
    "privileges for this unit, please contact your\r\n"
    "Service Provider or network administrator,\r\n"
    "before proceeding.\r\n"
    "\r\n"
    "You must provide the ULX administrator's\r\n"
    "password to upgrade. If you are the administrator\r\n"
    "and forgot the password, you may perform a\r\n"
    "factory reset by entering # # # #, option 50419#,\r\n"
    "and value 1 from a telephone connected to the\r\n"
    "unit to be upgraded.\r\n"
    "\r\n"
    "* * * * * * * * * * *  Warning  * * * * * * * * * * *\r\n"
    "All settings will revert to default values\r\n"
    "after factory reset!  You may not be able to\r\n"
    "reestablish service after completing this upgrade\r\n"
    "without first reentering service configuration\r\n"
    "information.";

const char CONFIRM_TEXT[] =
    "The following information was extracted\r\n"
    "from your ULX. Please click \"Upgrade\"\r\n"
    "if you would like to proceed. If you would\r\n"
    "like to quit click \"Cancel\".";

const char SUCCESS_TEXT[] =
    "Your ULX has been successfully\r\n"
    "upgraded to the version shown\r\n"
    "below.";

const char WAITING_TEXT[] =
    "Firmware upload will begin when the ULX is idle, where the ULX will request to download the "
    "firmware from this PC using TFTP at the first available UDP port starting at port number 69.\r\n"
    "\r\n"
    "If firmware download does not start, please check that you have done the following: a) Hangup "
    "properly all the phones attached to the ULX, b) Disable any firewall software (such as Internet "
    "Connection Firewall) on this PC, and c) Make sure that this PC and the ULX are on the same LAN "
    "subnet; it will not work for example if this PC is behind a router while the ULX is in front of it.";

namespace {

const char TWO_STAGE_NOTE[] =
    "%s\r\n\r\nNote: Since your current firmware version\r\nis older than %s, this upgrade procedure\r\n"
    "requires additional steps and will be\r\nslightly longer.\r\n";

// Sets a window title from a format with one text argument.
void setTitle(PlatWindow w, const char* fmt, const char* arg) {
    char title[256];
    int n = snprintf(title, sizeof title, fmt, arg);
    if (n < 0) title[0] = '\0';  // a cut title is still shown, NUL-terminated
    platSetWindowText(w, title);
}

// Cancel in a progress window: the run ends here.
[[noreturn]] void abortFromWindow(PlatWindow w) {
    platDestroyWindow(w);
    failUpgrade("Upgrade Failed: User Abort");
}

int warningProc(PlatWindow w, int event, int param, void*) {
    if (event == DLG_INIT) {
        setTitle(w, "%s Firmware Upgrade", runSetup().productName);
        platSetItemText(w, IDC_WARNING_TEXT, WARNING_TEXT);
        platSetFocus(w, IDC_CANCEL);
        centerWindow(w);
        return 0;
    }
    if (param == IDC_OK) platEndDialog(w, 1);
    else if (param == IDC_CANCEL) platEndDialog(w, 0);
    return 0;
}

int passwordProc(PlatWindow w, int event, int param, void* context) {
    if (event == DLG_INIT) {
        platSetItemText(w, IDC_TEXT, PASSWORD_TEXT);
        platSetItemText(w, IDC_USER, "admin");
        platSetFocus(w, IDC_PASSWORD);
        centerWindow(w);
        return 0;
    }
    if (param == IDC_OK) {
        // At most 127 bytes with the terminator: 126 characters are kept.
        Credentials* out = static_cast<Credentials*>(context);
        platGetItemText(w, IDC_USER, out->userName, sizeof out->userName);
        platGetItemText(w, IDC_PASSWORD, out->password, sizeof out->password);
        platEndDialog(w, 1);
    } else if (param == IDC_CANCEL) {
        platEndDialog(w, 0);
    }
    return 0;
}

int connectingProc(PlatWindow w, int event, int param, void*) {
    if (event == DLG_INIT) {
        setTitle(w, "Connecting with ULX@%s", runSetup().deviceAddressText);
        centerWindow(w);
        platProgressSetRange(w, IDC_PROGRESS, 0, 100);
        return 1;
    }
    if (param == IDC_CANCEL) abortFromWindow(w);
    return 0;
}

int confirmProc(PlatWindow w, int event, int param, void* context) {
    if (event == DLG_INIT) {
        const RunSetup& setup = runSetup();
        setTitle(w, "Confirm Upgrade to Ver. %s", imageVersionText(setup.targetImage));
        if (g_stage.load() == Stage::Target) {
            platSetItemText(w, IDC_TEXT, CONFIRM_TEXT);
        } else {
            char note[512];
            int n = snprintf(note, sizeof note, TWO_STAGE_NOTE, CONFIRM_TEXT, imageVersionText(setup.transitionImage));
            if (n < 0) note[0] = '\0';
            platSetItemText(w, IDC_TEXT, note);
        }
        const DeviceInfo& info = *static_cast<const DeviceInfo*>(context);
        platSetItemText(w, IDC_SERIAL, info.serialNumber);
        platSetItemText(w, IDC_MAC, info.macAddress);
        platSetItemText(w, IDC_SOFTWARE, info.softwareVersion);
        platSetItemText(w, IDC_HARDWARE, info.hardwareVersion);
        platSetItemText(w, IDC_PRODUCT, info.productName);
        centerWindow(w);
        return 1;
    }
    if (param == IDC_OK) platEndDialog(w, 1);
    else if (param == IDC_CANCEL) platEndDialog(w, 0);
    return 0;
}

// The waiting and uploading windows: their contents are set from outside.
int progressProc(PlatWindow w, int event, int param, void*) {
    if (event == DLG_INIT) {
        centerWindow(w);
        return 1;
    }
    if (param == IDC_CANCEL) abortFromWindow(w);
    return 0;
}

int successProc(PlatWindow w, int event, int param, void* context) {
    if (event == DLG_INIT) {
        setTitle(w, "ULX@%s Upgrade Successful!", runSetup().deviceAddressText);
        platSetItemText(w, IDC_TEXT, SUCCESS_TEXT);
        platSetItemText(w, IDC_SOFTWARE, static_cast<const char*>(context));
        centerWindow(w);
        return 1;
    }
    if (param == IDC_OK) platEndDialog(w, 1);
    else if (param == IDC_CANCEL) platEndDialog(w, 0);
    return 0;
}

}  // namespace

// A dialog that cannot be created is a broken installation; the run ends
// rather than going on without the user's answer.
bool runModalDialog(int templateId, PlatDialogProc proc, void* context) {
    int result = platDialogBox(findTemplate(templateId), proc, context);
    if (result < 0) failUpgrade("Upgrade Failed: Can't create dialog");
    return result == 1;
}

namespace {

PlatWindow createModeless(int templateId, PlatDialogProc proc) {
    PlatWindow w = platCreateDialog(findTemplate(templateId), proc, nullptr);
    if (w == 0) failUpgrade("Upgrade Failed: Can't create dialog");
    return w;
}

}  // namespace

// Each dialog's inputs and outputs travel as its context: the password
// dialog's Credentials to fill, the confirmation's DeviceInfo, the success
// dialog's version text.
bool showWarningDialog() { return runModalDialog(IDD_WARNING, warningProc, nullptr); }

bool showPasswordDialog(Credentials* out) { return runModalDialog(IDD_PASSWORD, passwordProc, out); }

bool showSuccessDialog(const char* softwareVersion) {
    return runModalDialog(IDD_SUCCESS, successProc, const_cast<char*>(softwareVersion));
}

bool showConfirmDialog(const DeviceInfo& device) {
    return runModalDialog(g_stage.load() == Stage::Target ? IDD_CONFIRM : IDD_CONFIRM_TWO_STAGE, confirmProc,
                          const_cast<DeviceInfo*>(&device));
}

PlatWindow createConnectingWindow() { return createModeless(IDD_CONNECTING, connectingProc); }
PlatWindow createWaitingWindow() { return createModeless(IDD_WAITING, progressProc); }
PlatWindow createUploadingWindow() { return createModeless(IDD_UPLOADING, progressProc); }
