#include "control/base/base.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

std::atomic<Stage> g_stage{BuildInitialStage};

namespace {
RunSetup g_runSetup;
std::atomic<bool> g_runSetupFrozen{false};

std::mutex g_nameLock;
char g_tftpFileName[TFTP_FILE_NAME_SIZE];  // guarded by g_nameLock

std::mutex g_randomLock;
uint32_t g_randomState = 1;  // guarded by g_randomLock
}  // namespace

RunSetup* editRunSetup() { return g_runSetupFrozen.load() ? nullptr : &g_runSetup; }
void freezeRunSetup() { g_runSetupFrozen.store(true); }
const RunSetup& runSetup() { return g_runSetup; }

const FirmwareImage& stageImage(const RunSetup& setup) {
    return g_stage.load() == Stage::Target ? setup.targetImage : setup.transitionImage;
}

void setTftpFileName(const char* name) {
    std::lock_guard<std::mutex> hold(g_nameLock);
    copyText(g_tftpFileName, sizeof g_tftpFileName, name);
}

void getTftpFileName(char* out, int cap) {
    std::lock_guard<std::mutex> hold(g_nameLock);
    copyText(out, cap, g_tftpFileName);
}

void seedRandom(uint32_t seed) {
    std::lock_guard<std::mutex> hold(g_randomLock);
    g_randomState = seed;
}

// A linear congruential generator yielding 15 bits, as C runtimes do.
int nextRandom() {
    std::lock_guard<std::mutex> hold(g_randomLock);
    g_randomState = g_randomState * 214013u + 2531011u;
    return static_cast<int>((g_randomState >> 16) & 0x7fff);
}

void copyText(char* dst, int cap, const char* src) {
    if (cap <= 0) return;
    size_t n = strnlen(src, static_cast<size_t>(cap - 1));
    memcpy(dst, src, n);
    dst[n] = '\0';
}

bool appendFormat(char* out, int cap, int* length, const char* format, ...) {
    int room = cap - *length;
    if (room <= 1) return false;
    va_list args;
    va_start(args, format);
    int written = vsnprintf(out + *length, static_cast<size_t>(room), format, args);
    va_end(args);
    if (written < 0) {
        out[*length] = '\0';
        return false;
    }
    if (written >= room) {
        *length = cap - 1;
        return false;
    }
    *length += written;
    return true;
}
