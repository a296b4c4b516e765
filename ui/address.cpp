// The address dialog: the device's address, and this computer's address it
// fetches the firmware from.
#include <cstdio>
#include <cstring>

#include "ui/ui.h"

const char ADAPTER_INSTRUCTIONS[] =
    "To proceed, please provide the IP address\r\n"
    "of your ULX. To find out the IP address\r\n"
    "of your ULX, using a telephone handset,\r\n"
    "enter # # # #, option 110#, and write down\r\n"
    "the value. For example, 10.1.0.123\r\n"
    "\r\n"
    "Please enter IP address of your ULX:";

const char PHONE_INSTRUCTIONS[] =
    "To proceed, please provide the IP address\r\n"
    "of your ULX. To find out the IP address of\r\n"
    "your ULX, press the I button on the phone,\r\n"
    "select \"Network\" option, and check the\r\n"
    "value of \"Current IP\". For example, 10.1.0.13\r\n"
    "\r\n"
    "Please enter IP address of your ULX:";

const char NO_LOCAL_ADDRESS_TEXT[] =
    "No Local IP Address\r\n"
    "Connect this computer to the network of your ULX and start the upgrade again.";

AddressFault parseDottedAddress(const char* text, uint32_t* address) {
    if (address) *address = 0;
    size_t length = strnlen(text, 16);
    if (length < 7 || length > 15) return ADDRESS_BAD_LENGTH;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (!(c >= '0' && c <= '9') && c != '.' && c != '*') return ADDRESS_BAD_CHARACTER;
    }
    char work[16];
    memcpy(work, text, length);
    work[length] = '\0';

    // '.' and '*' separate numbers alike; runs of them count as one, and
    // leading or trailing ones make no number.
    uint32_t octets[4] = {0, 0, 0, 0};
    int taken = 0;
    for (size_t i = 0; i < length;) {
        if (work[i] == '.' || work[i] == '*') {
            ++i;
            continue;
        }
        if (taken == 4) return ADDRESS_MORE_THAN_FOUR_NUMBERS;
        // Read as decimal (leading zeros do not mean octal); a value of at
        // most 15 digits cannot overflow 64 bits.
        uint64_t value = 0;
        while (i < length && work[i] >= '0' && work[i] <= '9')
            value = value * 10 + static_cast<uint64_t>(work[i++] - '0');
        if (value > 255) return ADDRESS_NUMBER_ABOVE_255;
        octets[taken++] = static_cast<uint32_t>(value);
    }
    if (taken < 4) return ADDRESS_FEWER_THAN_FOUR_NUMBERS;
    if (address) *address = (octets[0] << 24) | (octets[1] << 16) | (octets[2] << 8) | octets[3];
    return ADDRESS_OK;
}

namespace {

// OK hands the choice to the AddressChoice that is the dialog's context.
int addressProc(PlatWindow w, int event, int param, void* context) {
    AddressChoice* out = static_cast<AddressChoice*>(context);
    const RunSetup& setup = runSetup();
    if (event == DLG_INIT) {
        int items = 0;
        for (; items < LOCAL_ADDRESS_COUNT && setup.localAddressTable[items] != 0; ++items) {
            uint32_t a = setup.localAddressTable[items];
            char text[16];
            snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff);
            platComboAddString(w, IDC_LOCAL_LIST, text);
        }
        if (items > 0) platComboSetSel(w, IDC_LOCAL_LIST, 0);
        char line[64];
        snprintf(line, sizeof line, "%s Firmware Upgrade", setup.productName);
        platSetWindowText(w, line);
        platSetItemText(w, IDC_TEXT, "This program will upgrade your ULX\r\nfirmware to:");
        platSetItemText(w, IDC_INSTRUCTIONS, setup.phoneProduct ? PHONE_INSTRUCTIONS : ADAPTER_INSTRUCTIONS);
        snprintf(line, sizeof line, "Version %s", imageVersionText(setup.targetImage));
        platSetItemText(w, IDC_VERSION, line);
        platSetFocus(w, IDC_ADDRESS);
        centerWindow(w);
        return 0;
    }
    if (param == IDC_OK) {
        char text[sizeof out->deviceAddressText];
        platGetItemText(w, IDC_ADDRESS, text, sizeof text);
        uint32_t device = 0;
        parseDottedAddress(text, &device);
        if (device == 0) {
            platMessageBox(w, "Invalid IP Address", "Error");
            platSetFocus(w, IDC_ADDRESS);
            return 0;
        }
        // The device fetches the image from the chosen local address; with
        // none (no interface up) there is nothing it could be told.
        int index = platComboGetSel(w, IDC_LOCAL_LIST);
        uint32_t local = (index >= 0 && index < LOCAL_ADDRESS_COUNT) ? setup.localAddressTable[index] : 0;
        if (local == 0) {
            platMessageBox(w, NO_LOCAL_ADDRESS_TEXT, "Error");
            platSetFocus(w, IDC_ADDRESS);
            return 0;
        }
        out->deviceAddress = device;
        copyText(out->deviceAddressText, sizeof out->deviceAddressText, text);
        out->localAddress = local;
        platEndDialog(w, 1);
    } else if (param == IDC_CANCEL) {
        platEndDialog(w, 0);
    }
    return 0;
}

}  // namespace

bool showAddressDialog(AddressChoice* out) {
    return runModalDialog(runSetup().phoneProduct ? IDD_ADDRESS_PHONE : IDD_ADDRESS, addressProc, out);
}
