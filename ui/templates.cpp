// Every dialog of the program, as data. Sizes and rectangles are in dialog
// units; controls are in tab order.
#include "ui/ui.h"

namespace {
const char FONT[] = "MS Sans Serif";
constexpr int POINTS = 8;
constexpr int NO_ID = -1;

#define COUNT(a) static_cast<int>(sizeof(a) / sizeof((a)[0]))

const DialogControl warningControls[] = {
    {IDC_OK, CTL_BUTTON, 41, 116, 50, 14, "Continue", STY_TABSTOP, 0},
    {IDC_CANCEL, CTL_BUTTON, 109, 116, 50, 14, "Cancel", STY_TABSTOP | STY_DEFAULT, 0},
    {IDC_WARNING_TEXT, CTL_TEXT_AREA, 12, 13, 189, 95, "", 0, 0},
};

// The address dialogs: the same controls at the same places, only the
// picture differs.
// clang-format off
#define ADDRESS_CONTROLS(icon)                                                                  \
    {IDC_OK, CTL_BUTTON, 26, 126, 50, 14, "OK", STY_TABSTOP | STY_DEFAULT, 0},                  \
    {IDC_CANCEL, CTL_BUTTON, 86, 126, 50, 14, "Cancel", STY_TABSTOP, 0},                        \
    {IDC_TEXT, CTL_TEXT_AREA, 13, 6, 139, 16, "", STY_TABSTOP, 0},                              \
    {IDC_INSTRUCTIONS, CTL_TEXT_AREA, 13, 42, 148, 56, "", STY_TABSTOP, 0},                     \
    {IDC_VERSION, CTL_TEXT_LINE, 37, 28, 89, 14, "", STY_TABSTOP, 0},                           \
    {IDC_LOCAL_LIST, CTL_COMBO, 63, 153, 79, 80, "", STY_TABSTOP | STY_VSCROLL, 0},             \
    {NO_ID, CTL_LABEL, 9, 156, 52, 8, "Your IP Address", 0, 0},                                 \
    {NO_ID, CTL_ICON, 119, 18, 20, 20, "", 0, icon},                                            \
    {IDC_ADDRESS, CTL_IP_ADDRESS, 26, 103, 109, 15, "", STY_TABSTOP, 0}
// clang-format on

const DialogControl addressControls[] = {ADDRESS_CONTROLS(IDI_ADAPTER)};
const DialogControl addressPhoneControls[] = {ADDRESS_CONTROLS(IDI_PHONE)};

const DialogControl passwordControls[] = {
    {IDC_OK, CTL_BUTTON, 32, 210, 50, 14, "OK", STY_TABSTOP | STY_DEFAULT, 0},
    {IDC_CANCEL, CTL_BUTTON, 104, 210, 50, 14, "Cancel", STY_TABSTOP, 0},
    {IDC_USER, CTL_ENTRY_FIELD, 68, 168, 85, 14, "", STY_TABSTOP, 0},
    {IDC_PASSWORD, CTL_ENTRY_FIELD, 68, 186, 85, 14, "", STY_TABSTOP | STY_PASSWORD, 0},
    {NO_ID, CTL_LABEL, 18, 170, 44, 8, "User", STY_RIGHT, 0},
    {NO_ID, CTL_LABEL, 18, 191, 44, 8, "Password", STY_RIGHT, 0},
    {IDC_TEXT, CTL_TEXT_AREA, 15, 9, 165, 152, "", STY_TABSTOP, 0},
};

const DialogControl connectingControls[] = {
    {IDC_CANCEL, CTL_BUTTON, 65, 34, 50, 14, "Cancel", STY_TABSTOP, 0},
    {IDC_PROGRESS, CTL_PROGRESS, 22, 10, 141, 14, "", 0, 0},
};

// The confirmation dialog; the two-stage one is taller for its note.
const DialogControl confirmControls[] = {
    {IDC_OK, CTL_BUTTON, 33, 143, 50, 14, "Upgrade", STY_TABSTOP | STY_DEFAULT, 0},
    {IDC_CANCEL, CTL_BUTTON, 87, 143, 50, 14, "Cancel", STY_TABSTOP, 0},
    {IDC_SERIAL, CTL_FIELD, 82, 49, 67, 14, "", STY_TABSTOP, 0},
    {IDC_MAC, CTL_FIELD, 82, 66, 67, 14, "", STY_TABSTOP, 0},
    {IDC_SOFTWARE, CTL_FIELD, 82, 84, 67, 14, "", STY_TABSTOP, 0},
    {IDC_HARDWARE, CTL_FIELD, 82, 100, 67, 14, "", STY_TABSTOP, 0},
    {IDC_PRODUCT, CTL_FIELD, 82, 118, 67, 14, "", STY_TABSTOP, 0},
    {NO_ID, CTL_LABEL, 4, 52, 72, 8, "Serial Number", STY_RIGHT, 0},
    {NO_ID, CTL_LABEL, 4, 70, 72, 8, "MAC Address", STY_RIGHT, 0},
    {NO_ID, CTL_LABEL, 4, 87, 72, 8, "Software Version", STY_RIGHT, 0},
    {NO_ID, CTL_LABEL, 4, 103, 72, 8, "Hardware Version", STY_RIGHT, 0},
    {NO_ID, CTL_LABEL, 4, 121, 72, 8, "Product Name", STY_RIGHT, 0},
    {IDC_TEXT, CTL_TEXT_AREA, 12, 6, 142, 37, "", STY_TABSTOP, 0},
};

const DialogControl confirmTwoStageControls[] = {
    {IDC_OK, CTL_BUTTON, 42, 179, 50, 14, "Upgrade", STY_TABSTOP | STY_DEFAULT, 0},
    {IDC_CANCEL, CTL_BUTTON, 96, 179, 50, 14, "Cancel", STY_TABSTOP, 0},
    {IDC_SERIAL, CTL_FIELD, 92, 86, 67, 14, "", STY_TABSTOP, 0},
    {IDC_MAC, CTL_FIELD, 92, 103, 67, 14, "", STY_TABSTOP, 0},
    {IDC_SOFTWARE, CTL_FIELD, 92, 121, 67, 14, "", STY_TABSTOP, 0},
    {IDC_HARDWARE, CTL_FIELD, 92, 137, 67, 14, "", STY_TABSTOP, 0},
    {IDC_PRODUCT, CTL_FIELD, 92, 154, 67, 14, "", STY_TABSTOP, 0},
    {NO_ID, CTL_LABEL, 14, 89, 72, 8, "Serial Number", STY_RIGHT, 0},
    {NO_ID, CTL_LABEL, 14, 106, 72, 8, "MAC Address", STY_RIGHT, 0},
    {NO_ID, CTL_LABEL, 14, 124, 72, 8, "Software Version", STY_RIGHT, 0},
    {NO_ID, CTL_LABEL, 14, 140, 72, 8, "Hardware Version", STY_RIGHT, 0},
    {NO_ID, CTL_LABEL, 14, 158, 72, 8, "Product Name", STY_RIGHT, 0},
    {IDC_TEXT, CTL_TEXT_AREA, 23, 7, 142, 77, "", STY_TABSTOP, 0},
};

const DialogControl waitingControls[] = {
    {IDC_CANCEL, CTL_BUTTON, 108, 115, 50, 14, "Cancel", STY_TABSTOP, 0},
    {IDC_PROGRESS, CTL_PROGRESS, 38, 95, 191, 14, "", 0, 0},
    {IDC_WAITING_TEXT, CTL_LABEL, 15, 9, 244, 79, "", 0, 0},
};

const DialogControl uploadingControls[] = {
    {IDC_CANCEL, CTL_BUTTON, 126, 52, 50, 14, "Cancel", STY_TABSTOP, 0},
    {IDC_PROGRESS, CTL_PROGRESS, 31, 36, 242, 8, "", 0, 0},
    {NO_ID, CTL_LABEL, 86, 12, 137, 22,
     "Please do not unplug the power of your ULX until the Status Light stops blinking", STY_CENTER, 0},
};

const DialogControl successControls[] = {
    {IDC_OK, CTL_BUTTON, 59, 94, 50, 14, "OK", STY_TABSTOP | STY_DEFAULT, 0},
    {IDC_SOFTWARE, CTL_FIELD, 15, 69, 136, 14, "", STY_TABSTOP | STY_CENTER, 0},
    {IDC_TEXT, CTL_TEXT_AREA, 29, 9, 111, 33, "", STY_TABSTOP, 0},
    {NO_ID, CTL_LABEL, 82, 50, 53, 8, "New Version", 0, 0},
};

const DialogTemplate templates[] = {
    {IDD_ADDRESS, 165, 181, "Enter ULX IP Address", FONT, POINTS, addressControls, COUNT(addressControls)},
    {IDD_CONFIRM, 172, 166, "Confirm Upgrade", FONT, POINTS, confirmControls, COUNT(confirmControls)},
    {IDD_PASSWORD, 191, 236, "Enter Password Information", FONT, POINTS, passwordControls, COUNT(passwordControls)},
    {IDD_CONNECTING, 186, 55, "Connecting with ULX", FONT, POINTS, connectingControls, COUNT(connectingControls)},
    {IDD_UPLOADING, 303, 77, "Uploading Firmware To ULX", FONT, POINTS, uploadingControls, COUNT(uploadingControls)},
    {IDD_SUCCESS, 171, 126, "ULX Upgrade Successful!", FONT, POINTS, successControls, COUNT(successControls)},
    {IDD_WAITING, 270, 141, "Waiting For Firmware Download Request From ULX", FONT, POINTS, waitingControls,
     COUNT(waitingControls)},
    {IDD_WARNING, 204, 143, "Firmware Upgrade", FONT, POINTS, warningControls, COUNT(warningControls)},
    {IDD_CONFIRM_TWO_STAGE, 186, 198, "Confirm Upgrade", FONT, POINTS, confirmTwoStageControls,
     COUNT(confirmTwoStageControls)},
    {IDD_ADDRESS_PHONE, 164, 178, "Dialog", FONT, POINTS, addressPhoneControls, COUNT(addressPhoneControls)},
};
}  // namespace

std::span<const DialogTemplate> allTemplates() { return templates; }

const DialogTemplate* findTemplate(int id) {
    for (const DialogTemplate& t : allTemplates())
        if (t.id == id) return &t;
    return nullptr;
}
