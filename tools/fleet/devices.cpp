// The device list, and the users and passwords it and the password file give.
#include <string>

#include "fleet/fleet.h"
#include "platform/posix/code_page.h"
#include "shared/text.h"

namespace fleet {

namespace {

// The dialogs keep 126 characters of a user name or password.
constexpr int kMaxCredential = 126;

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

}  // namespace

std::string credentialFault(const std::string& text) {
    // The program takes typed text as UTF-8 and hands the device its
    // Windows-1252 form, a character the code page lacks becoming '?'.
    int characters = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text.c_str());
    for (size_t at = 0; at < text.size(); ++characters) {
        unsigned cp = p[at];
        int n = cp < 0x80 ? 1 : readUtf8(p + at, &cp);  // a sequence of two to four bytes
        if (n <= 0) return "not UTF-8";
        if (cp < 0x20 || (cp >= 0x7f && cp < 0xa0)) return "a control character";
        if (cp != '?' && toCp1252(cp) == '?') return "a character the device cannot receive (outside Windows-1252)";
        at += static_cast<size_t>(n);
    }
    if (characters > kMaxCredential) return "longer than 126 characters";
    return "";
}

bool parseDeviceList(const std::string& text, const std::string& name, std::vector<DeviceEntry>& out,
                     std::string& error) {
    size_t pos = 0;
    for (int number = 1; pos < text.size(); ++number) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string bare = trim(line);
        if (bare.empty() || bare[0] == '#') continue;

        const std::string where = name + ":" + std::to_string(number) + ": ";
        DeviceEntry e;
        e.origin = name + ":" + std::to_string(number);
        size_t c1 = line.find(',');
        e.address = trim(line.substr(0, c1));
        if (c1 != std::string::npos) {
            size_t c2 = line.find(',', c1 + 1);
            std::string user = trim(line.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1));
            if (!user.empty()) e.user = user;
            if (c2 != std::string::npos) {
                e.password = line.substr(c2 + 1);  // as written: it may hold blanks and commas
                e.hasPassword = true;
            }
        }
        if (!ulxtools::parseDottedQuad(e.address, e.addressValue) || e.addressValue == 0 ||
            e.addressValue == 0xFFFFFFFFu) {
            error = where + "\"" + e.address + "\" is not a device address (a.b.c.d)";
            return false;
        }
        if (std::string fault = credentialFault(e.user); !fault.empty()) {
            error = where + "the user name: " + fault;
            return false;
        }
        if (std::string fault = credentialFault(e.password); !fault.empty()) {
            error = where + "the password: " + fault;
            return false;
        }
        out.push_back(e);
    }
    return true;
}

bool readSharedPassword(const std::string& text, std::string& password, std::string& error) {
    password = text.substr(0, text.find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    std::string fault = credentialFault(password);
    if (!fault.empty()) error = "the shared password: " + fault;
    return fault.empty();
}

std::string passwordFileModeFault(unsigned mode) {
    if ((mode & 077) == 0) return "";
    char text[96];
    int n = snprintf(text, sizeof text, "mode %04o lets others read or write it: it must be 0600 (chmod 600)",
                     mode & 07777);
    return n > 0 && n < static_cast<int>(sizeof text) ? text : "others may read or write it: it must be 0600";
}

}  // namespace fleet
