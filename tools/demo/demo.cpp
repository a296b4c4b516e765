// ulx-demo: an upgrade of a simulated device, start to end. It starts
// ulx-device-sim, then drives ulx-upgrade-script as a person would answer
// its dialogs (Continue, the device's address, the loopback local address,
// the password if asked, Upgrade, OK), printing each window's title and
// texts as they appear. At the end it prints the SHA-256 the device
// computed over what it received next to that of the embedded image.
//
//   ulx-demo --sim PATH --script PATH --image PATH [--device 127.0.0.2]
//            [--local 127.0.0.1] [--password ulx] [--log /tmp/ulx-demo-device.log]
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "protocol_client/person.h"

using ulxproto::Event;
using ulxproto::ScriptProcess;

namespace {

struct Options {
    std::string sim, script, image, device = "127.0.0.2", local = "127.0.0.1", password = "ulx";
    std::string log = "/tmp/ulx-demo-device.log";
};

std::string sha256File(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::vector<unsigned char> data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr)) return "";
    std::string hex;
    char two[3];
    for (unsigned i = 0; i < length; ++i) {
        snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

// The value of "key":"..." in a JSON line, or "".
std::string jsonField(const std::string& line, const std::string& key) {
    std::string pattern = "\"" + key + "\":\"";
    size_t at = line.find(pattern);
    if (at == std::string::npos) return "";
    size_t begin = at + pattern.size();
    size_t end = line.find('"', begin);
    return end == std::string::npos ? "" : line.substr(begin, end - begin);
}

void printText(const std::string& text) {
    std::string line;
    for (char c : text) {
        if (c == '\r') continue;
        if (c == '\n') {
            printf("    | %s\n", line.c_str());
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) printf("    | %s\n", line.c_str());
}

const char USAGE[] =
    "usage: ulx-demo --sim PATH --script PATH --image PATH [--device A] [--local A] [--password P]\n"
    "                [--log FILE]\n";

int usage() {
    fputs(USAGE, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        printf(
            "%sStarts ulx-device-sim (PATH) and drives ulx-upgrade-script (PATH) through an\n"
            "upgrade as a person would; exit 0 when the device received the image (PATH)\n"
            "byte for byte and the program ended with exit 0.\n",
            USAGE);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        puts("ulx-demo " ULX_VERSION_TEXT);
        return 0;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i], value = argv[i + 1];
        if (key == "--sim") o.sim = value;
        else if (key == "--script") o.script = value;
        else if (key == "--image") o.image = value;
        else if (key == "--device") o.device = value;
        else if (key == "--local") o.local = value;
        else if (key == "--password") o.password = value;
        else if (key == "--log") o.log = value;
        else return usage();
    }
    if (argc % 2 == 0 || o.sim.empty() || o.script.empty() || o.image.empty()) return usage();

    const std::string& log = o.log;
    ScriptProcess device;
    if (!device.start(o.sim, {"--address", o.device, "--password", o.password, "--log", log, "--exit-after-upgrade",
                              "--exit-after", "180000"})) {
        fprintf(stderr, "cannot start %s: %s\n", o.sim.c_str(), device.lastError().c_str());
        return 1;
    }
    printf("Simulated device on %s (password \"%s\"), log in %s\n", o.device.c_str(), o.password.c_str(), log.c_str());
    if (!device.waitFor([](const Event&) { return true; }, 10000)) printf("(the device said nothing yet; going on)\n");

    ScriptProcess ui;
    if (!ui.start(o.script)) {
        fprintf(stderr, "cannot start %s: %s\n", o.script.c_str(), ui.lastError().c_str());
        return 1;
    }
    // The person answers; the demo prints what it shows and what it answers.
    ulxproto::Answers answers;
    answers.device = o.device;
    answers.local = o.local;
    answers.passwords = {o.password};
    answers.narrate = [](const std::string& what) { printf("  -> %s\n", what.c_str()); };
    ulxproto::Person person(ui, answers);
    std::map<int, std::string> kinds;  // window -> template
    int lastTenth = -1;
    for (;;) {
        auto e = ui.waitFor([](const Event& x) { return !x.kind.empty(); }, 240000);
        if (!e) {
            printf("no word from the program for 4 minutes: giving up\n");
            break;
        }
        if (e->kind == "open") {
            kinds[e->window] = e->tmpl;
            if (e->tmpl == ulxproto::MSGBOX) printf("\n[message box \"%s\"]\n", e->text.c_str());
        } else if (e->kind == "title") {
            // The uploading title changes with every block: show tenths.
            long acked = 0, total = 0;
            bool show = true;
            if (sscanf(e->text.c_str(), "Uploading %*s Firmware to ULX@%*s %ld/%ld", &acked, &total) == 2 &&
                total > 0) {
                int tenth = static_cast<int>(acked * 10 / total);
                show = tenth != lastTenth || acked == total;
                lastTenth = tenth;
            }
            if (show) printf("\n[%s] %s\n", kinds[e->window].c_str(), e->text.c_str());
        } else if (e->kind == "text") {
            printText(e->text);
        }
        person.take(*e);
        if (person.seen().exited) break;
    }
    const int exitCode = person.seen().exitCode;
    ui.wait(5000);
    device.wait(60000);

    std::string received;
    std::ifstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (std::string s = jsonField(line, "sha256"); !s.empty()) received = s;
    std::string embedded = sha256File(o.image);
    printf("\nulx-upgrade-script ended with exit code %d\n", exitCode);
    printf("SHA-256 of the embedded image:         %s\n", embedded.c_str());
    printf("SHA-256 of what the device received:   %s\n", received.empty() ? "(nothing)" : received.c_str());
    bool same = !received.empty() && received == embedded;
    printf("%s\n", same ? "The device received the embedded image byte for byte." : "MISMATCH");
    return same && exitCode == 0 ? 0 : 1;
}
