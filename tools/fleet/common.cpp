// The device list, local address choice, outcome names and the report.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdio>
#include <ctime>
#include <fstream>

#include "fleet/fleet.h"

namespace fleet {

namespace {

// The dialogs keep 126 characters of a user name or password.
constexpr size_t kMaxCredential = 126;

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool hasControl(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

}  // namespace

bool parseAddress(const std::string& text, uint32_t& out) {
    uint32_t value = 0;
    int parts = 0;
    size_t i = 0;
    while (parts < 4) {
        size_t start = i;
        unsigned part = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3)
            part = part * 10 + static_cast<unsigned>(text[i++] - '0');
        if (i == start || part > 255) return false;
        value = (value << 8) | part;
        if (++parts < 4) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
    }
    if (i != text.size()) return false;
    out = value;
    return true;
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
        if (!parseAddress(e.address, e.addressValue) || e.addressValue == 0 || e.addressValue == 0xFFFFFFFFu) {
            error = where + "\"" + e.address + "\" is not a device address (a.b.c.d)";
            return false;
        }
        if (e.user.size() > kMaxCredential || e.password.size() > kMaxCredential || hasControl(e.user) ||
            hasControl(e.password)) {
            error = where + "user and password: at most 126 characters, no control characters";
            return false;
        }
        out.push_back(e);
    }
    return true;
}

std::string formatAddress(uint32_t a) {
    char text[16];
    snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff);
    return text;
}

std::vector<LocalNetwork> localNetworks() {
    std::vector<LocalNetwork> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask) continue;
        if (!(i->ifa_flags & IFF_UP)) continue;
        LocalNetwork n;
        n.address = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        n.mask = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
        if (n.address != 0) out.push_back(n);
    }
    freeifaddrs(list);
    return out;
}

uint32_t chooseLocalAddress(uint32_t device, const std::vector<uint32_t>& candidates,
                            const std::vector<LocalNetwork>& networks, uint32_t fallback) {
    for (uint32_t c : candidates)
        for (const LocalNetwork& n : networks)
            if ((c & n.mask) == (n.address & n.mask) && (device & n.mask) == (n.address & n.mask)) return c;
    return fallback;
}

const char* stageText(Stage stage) {
    switch (stage) {
        case Stage::Queued: return "queued";
        case Stage::Starting: return "starting";
        case Stage::Connecting: return "connecting";
        case Stage::Identified: return "identified";
        case Stage::Waiting: return "waiting for the download";
        case Stage::Uploading: return "uploading";
        case Stage::Restarting: return "restarting";
        case Stage::Verifying: return "verifying";
        case Stage::Done: return "done";
    }
    return "";
}

const char* outcomeText(Outcome outcome) {
    switch (outcome) {
        case Outcome::Pending: return "not run";
        case Outcome::Identified: return "identified";
        case Outcome::Upgraded: return "upgraded";
        case Outcome::Current: return "already current";
        case Outcome::WrongPassword: return "wrong password";
        case Outcome::NoResponse: return "no response";
        case Outcome::UploadIncomplete: return "upload incomplete";
        case Outcome::VersionNotMatching: return "version not matching";
        case Outcome::Cancelled: return "cancelled";
        case Outcome::ProgramFailed: return "program failed";
    }
    return "";
}

bool outcomeSucceeded(Outcome outcome) {
    return outcome == Outcome::Identified || outcome == Outcome::Upgraded || outcome == Outcome::Current;
}

Outcome outcomeOfMessage(const std::string& message, CancelReason reason, bool success) {
    if (success) return Outcome::Upgraded;
    if (message == "Upgrade Failed: No Response From ULX") return Outcome::NoResponse;
    if (message == "Upgrade Failed: Firmware Upload Incomplete") return Outcome::UploadIncomplete;
    if (message == "Upgrade Failed: Version not matching") return Outcome::VersionNotMatching;
    // The fleet's own Cancel: what it was pressed for decides. The warning
    // and address dialogs end the run without a message.
    if (message == "Upgrade Failed: User Abort" || message.empty()) {
        switch (reason) {
            case CancelReason::Inventory: return message.empty() ? Outcome::ProgramFailed : Outcome::Identified;
            case CancelReason::Current: return message.empty() ? Outcome::ProgramFailed : Outcome::Current;
            case CancelReason::Password: return Outcome::WrongPassword;
            case CancelReason::Operator: return Outcome::Cancelled;
            case CancelReason::None: break;
        }
    }
    return Outcome::ProgramFailed;
}

// ---------------------------------------------------------------- report

std::string isoTime(WallClock::time_point t) {
    using namespace std::chrono;
    time_t seconds = WallClock::to_time_t(t);
    long ms = static_cast<long>(duration_cast<milliseconds>(t.time_since_epoch()).count() % 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    int n = snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                     utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ms);
    return n > 0 && n < static_cast<int>(sizeof text) ? text : "";
}

namespace {

struct Column {
    const char* name;
    std::string value;
    bool number;
};

std::vector<Column> columns(const Record& r) {
    const bool upgraded = r.outcome == Outcome::Upgraded;
    return {
        {"address", r.entry.address, false},
        {"outcome", outcomeText(r.outcome), false},
        {"from_version", upgraded ? r.software : "", false},
        {"to_version", upgraded ? r.newVersion : "", false},
        {"message", r.message, false},
        {"detail", r.detail, false},
        {"product", r.product, false},
        {"serial", r.serial, false},
        {"mac", r.mac, false},
        {"software_version", r.software, false},
        {"hardware_version", r.hardware, false},
        {"current", r.identified ? (r.current() ? "yes" : "no") : "", false},
        {"started", r.started ? isoTime(r.startTime) : "", false},
        {"ended", r.ended ? isoTime(r.endTime) : "", false},
        {"bytes_delivered", std::to_string(r.bytes), true},
        {"image_bytes", std::to_string(r.total), true},
    };
}

std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string reportCsv(const std::vector<Record>& records) {
    std::string out;
    for (const Column& c : columns(Record{})) out += std::string(out.empty() ? "" : ",") + c.name;
    out += "\n";
    for (const Record& r : records) {
        std::string line;
        for (const Column& c : columns(r)) {
            if (!line.empty()) line += ',';
            line += csvField(c.value);
        }
        out += line + "\n";
    }
    return out;
}

std::string reportJson(const std::vector<Record>& records) {
    std::string out = "[\n";
    for (size_t i = 0; i < records.size(); ++i) {
        std::string object;
        for (const Column& c : columns(records[i]))
            object += std::string(object.empty() ? "" : ", ") + jsonString(c.name) + ": " +
                      (c.number ? c.value : jsonString(c.value));
        out += "  {" + object + "}" + (i + 1 < records.size() ? ",\n" : "\n");
    }
    return out + "]\n";
}

bool reportFormatKnown(const std::string& path) { return endsWith(path, ".csv") || endsWith(path, ".json"); }

bool writeReport(const std::string& path, const std::vector<Record>& records, std::string& error) {
    std::string text = endsWith(path, ".json") ? reportJson(records) : reportCsv(records);
    // Written beside its place and renamed, so a reader never sees half a report.
    std::string temporary = path + ".part";
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        error = "cannot write the report " + path;
        return false;
    }
    return true;
}

}  // namespace fleet
