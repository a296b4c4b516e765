// The report: a record per device as CSV or JSON, written so that it is
// never lost, and read back for a retry.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>

#include "fleet/fleet.h"
#include "protocol_client/program.h"
#include "shared/text.h"

namespace fleet {

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
        {"from_version", upgraded ? r.device.software : "", false},
        {"to_version", upgraded ? r.newVersion : "", false},
        {"message", r.message, false},
        {"detail", r.detail, false},
        {"product", r.device.product, false},
        {"serial", r.device.serial, false},
        {"mac", r.device.mac, false},
        {"software_version", r.device.software, false},
        {"hardware_version", r.device.hardware, false},
        {"current", r.identified ? (r.current() ? "yes" : "no") : "", false},
        {"started", r.started ? isoTime(r.startTime) : "", false},
        {"ended", r.ended ? isoTime(r.endTime) : "", false},
        {"bytes_delivered", std::to_string(r.bytes), true},
        {"image_bytes", std::to_string(r.total), true},
    };
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

bool writeWhole(const std::string& path, const std::string& text) {
    std::string temporary = path + ".part";
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

std::string csvField(const std::string& s) {
    std::string text = s;
    if (!text.empty() && std::string("=+-@\t\r").find(text[0]) != std::string::npos) text = "'" + text;
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string reportCsv(const std::vector<Record>& records) {
    std::string out;
    for (const Column& c : columns(Record{})) out += std::string(out.empty() ? "" : ",") + c.name;
    out += "\n";
    for (const Record& r : records) {
        std::string line;
        for (const Column& c : columns(r)) {
            if (!line.empty()) line += ',';
            line += c.number ? c.value : csvField(c.value);
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
            object += std::string(object.empty() ? "" : ", ") + ulxtools::jsonString(c.name) + ": " +
                      (c.number ? c.value : ulxtools::jsonString(c.value));
        out += "  {" + object + "}" + (i + 1 < records.size() ? ",\n" : "\n");
    }
    return out + "]\n";
}

bool reportFormatKnown(const std::string& path) { return endsWith(path, ".csv") || endsWith(path, ".json"); }

std::string reportText(const std::string& path, const std::vector<Record>& records) {
    return endsWith(path, ".json") ? reportJson(records) : reportCsv(records);
}

bool reportWritable(const std::string& path, std::string& error) {
    // The very steps of the write at the end: a file beside it, renamed.
    std::string probe = path + ".part";
    struct stat st {};
    bool existed = stat(path.c_str(), &st) == 0;
    if (existed && !S_ISREG(st.st_mode)) {
        error = "cannot write the report " + path + ": not a file";
        return false;
    }
    std::ofstream out(probe, std::ios::binary | std::ios::app);
    bool ok = out.good();
    out.close();
    if (ok && !existed) {
        ok = std::rename(probe.c_str(), path.c_str()) == 0;
        std::remove((ok ? path : probe).c_str());
    } else {
        ok = ok && access(path.c_str(), W_OK) == 0;
        std::remove(probe.c_str());
    }
    if (!ok) error = "cannot write the report " + path;
    return ok;
}

bool writeReport(const std::string& path, const std::string& text, std::string& written, std::string& error) {
    if (writeWhole(path, text)) {
        written = path;
        return true;
    }
    const std::string ext = path.substr(path.rfind('.'));
    const size_t slash = path.rfind('/');
    const std::string base = "ulx-fleet-report-" + std::to_string(getpid()) + "-" +
                             std::to_string(WallClock::to_time_t(WallClock::now())) + ext;
    const char* tmp = getenv("TMPDIR");
    const std::vector<std::string> places = {slash == std::string::npos ? "" : path.substr(0, slash + 1), "",
                                             std::string(tmp && *tmp ? tmp : "/tmp") + "/"};
    for (const std::string& dir : places)
        if (writeWhole(dir + base, text)) {
            written = dir + base;
            return true;
        }
    error = "cannot write the report " + path + " nor a copy beside it, here or in " + places.back();
    return false;
}

// ---------------------------------------------------------------- reading a report back

namespace {

// One CSV record from text at pos (RFC 4180 quoting); false at the end.
bool csvRecord(const std::string& text, size_t& pos, std::vector<std::string>& fields, std::string& error) {
    fields.clear();
    if (pos >= text.size()) return false;
    std::string field;
    bool quoted = false, wasQuoted = false;
    while (pos < text.size()) {
        char c = text[pos++];
        if (quoted) {
            if (c != '"') field += c;
            else if (pos < text.size() && text[pos] == '"') field += text[pos++];
            else quoted = false;
        } else if (c == '"' && field.empty() && !wasQuoted) {
            quoted = wasQuoted = true;
        } else if (c == ',') {
            fields.push_back(field);
            field.clear();
            wasQuoted = false;
        } else if (c == '\n') {
            break;
        } else if (c != '\r') {
            field += c;
        }
    }
    if (quoted) {
        error = "a quoted field without its end";
        return false;
    }
    fields.push_back(field);
    return true;
}

bool parseCsv(const std::string& text, std::vector<ReportRow>& rows, std::string& error) {
    size_t pos = 0;
    std::vector<std::string> header, fields;
    if (!csvRecord(text, pos, header, error)) {
        if (error.empty()) error = "no header";
        return false;
    }
    int address = -1, outcome = -1;
    for (size_t i = 0; i < header.size(); ++i) {
        if (header[i] == "address") address = static_cast<int>(i);
        if (header[i] == "outcome") outcome = static_cast<int>(i);
    }
    if (address < 0 || outcome < 0) {
        error = "no address and outcome columns";
        return false;
    }
    for (int record = 2; csvRecord(text, pos, fields, error); ++record) {
        if (fields.size() == 1 && fields[0].empty()) continue;  // a blank line
        if (fields.size() != header.size()) {
            error = "record " + std::to_string(record) + ": " + std::to_string(fields.size()) + " fields, not " +
                    std::to_string(header.size());
            return false;
        }
        rows.push_back({fields[static_cast<size_t>(address)], fields[static_cast<size_t>(outcome)]});
    }
    return error.empty();
}

void skipBlanks(const std::string& t, size_t& p) {
    while (p < t.size() && (t[p] == ' ' || t[p] == '\t' || t[p] == '\r' || t[p] == '\n')) ++p;
}

// A JSON string at p, decoded.
bool jsonStringAt(const std::string& t, size_t& p, std::string& out) {
    if (p >= t.size() || t[p] != '"') return false;
    size_t end = p + 1;
    while (end < t.size() && t[end] != '"') end += t[end] == '\\' ? 2 : 1;
    if (end >= t.size()) return false;
    if (!ulxproto::jsonUnquote(std::string_view(t).substr(p, end + 1 - p), &out)) return false;
    p = end + 1;
    return true;
}

// An array of flat objects whose values are strings or whole numbers.
bool parseJson(const std::string& t, std::vector<ReportRow>& rows, std::string& error) {
    size_t p = 0;
    skipBlanks(t, p);
    if (p >= t.size() || t[p++] != '[') {
        error = "not a JSON array";
        return false;
    }
    for (int record = 1;; ++record) {
        skipBlanks(t, p);
        if (p < t.size() && t[p] == ']' && record == 1) break;
        if (p >= t.size() || t[p++] != '{') {
            error = "record " + std::to_string(record) + ": not an object";
            return false;
        }
        ReportRow row;
        for (bool first = true;; first = false) {
            skipBlanks(t, p);
            if (first && p < t.size() && t[p] == '}') break;
            std::string key, value;
            if (!jsonStringAt(t, p, key)) break;
            skipBlanks(t, p);
            if (p >= t.size() || t[p++] != ':') break;
            skipBlanks(t, p);
            if (p < t.size() && t[p] == '"') {
                if (!jsonStringAt(t, p, value)) break;
            } else {
                while (p < t.size() && ((t[p] >= '0' && t[p] <= '9') || t[p] == '-')) value += t[p++];
                if (value.empty()) break;
            }
            if (key == "address") row.address = value;
            if (key == "outcome") row.outcome = value;
            skipBlanks(t, p);
            if (p < t.size() && t[p] == ',') {
                ++p;
                continue;
            }
            if (p < t.size() && t[p] == '}') break;
            p = t.size();  // neither: malformed
        }
        if (p >= t.size() || t[p++] != '}') {
            error = "record " + std::to_string(record) + ": malformed";
            return false;
        }
        rows.push_back(row);
        skipBlanks(t, p);
        if (p < t.size() && t[p] == ',') {
            ++p;
            continue;
        }
        if (p < t.size() && t[p] == ']') break;
        error = "record " + std::to_string(record) + ": no ',' or ']' after it";
        return false;
    }
    skipBlanks(t, ++p);
    if (p < t.size()) {
        error = "text after the array";
        return false;
    }
    return true;
}

}  // namespace

bool parseReport(const std::string& text, std::vector<ReportRow>& rows, std::string& error) {
    rows.clear();
    error.clear();
    size_t first = text.find_first_not_of(" \t\r\n");
    bool ok =
        first != std::string::npos && text[first] == '[' ? parseJson(text, rows, error) : parseCsv(text, rows, error);
    for (size_t i = 0; ok && i < rows.size(); ++i) {
        Outcome o;
        if (rows[i].address.empty() || !outcomeFromText(rows[i].outcome, o)) {
            error = "record " + std::to_string(i + 1) + ": no address or no outcome ulx-fleet writes";
            ok = false;
        }
    }
    return ok;
}

}  // namespace fleet
