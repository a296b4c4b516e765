#include "support/clock_phases.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/posix/clock_internal.h"

namespace {

struct Phases {
    uint32_t transfer = 0, wait = 0, verify = 0;  // 0: the base scale
    uint32_t base = 20;                           // the clock's scale when the phases were set
    std::atomic<int> uploading{-1};               // the uploading window, while it is open
};
Phases g_phases;
std::atomic<bool> g_on{false};

void switchTo(uint32_t scale) { platClockRescale(scale ? scale : g_phases.base); }

}  // namespace

bool clockPhasesConfigure(const char* text) {
    if (!text || !*text) {
        if (g_on.exchange(false)) platClockRescale(g_phases.base);
        g_phases.uploading = -1;
        return false;
    }
    g_phases.transfer = g_phases.wait = g_phases.verify = 0;
    for (const char* p = text; p && *p; p = strchr(p, ',') ? strchr(p, ',') + 1 : nullptr) {
        char name[16];
        unsigned scale = 0;
        if (sscanf(p, "%15[a-z]:%u", name, &scale) != 2 || scale < 1 || scale > 100000) return false;
        if (strcmp(name, "transfer") == 0) g_phases.transfer = scale;
        else if (strcmp(name, "wait") == 0) g_phases.wait = scale;
        else if (strcmp(name, "verify") == 0) g_phases.verify = scale;
        else return false;
    }
    g_phases.base = platClockRescale(1);
    platClockRescale(g_phases.base);
    g_on = true;
    return true;
}

void clockPhasesLine(const char* line) {
    if (!g_on) return;
    int w = 0;
    char word[16] = "";
    if (sscanf(line, "open %d %15s", &w, word) == 2 && strcmp(word, "110") == 0) {
        g_phases.uploading = w;
        switchTo(g_phases.transfer);
    } else if (sscanf(line, "title %d \"Updatin%1[g]", &w, word) == 2 && w == g_phases.uploading) {
        switchTo(g_phases.wait);
    } else if (sscanf(line, "close %d", &w) == 1 && w == g_phases.uploading) {
        g_phases.uploading = -1;
        switchTo(g_phases.verify);
    }
}
