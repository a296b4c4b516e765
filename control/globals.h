// Process-wide records shared by the subsystems. Everything here is set up
// by start-up (control/startup.cpp) or by the address dialog before any
// second thread exists, unless its comment says otherwise.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

constexpr int IMAGE_HEADER_SIZE = 128;
constexpr int IMAGE_VERSION_OFFSET = 92;
constexpr uint32_t TARGET_IMAGE_ID = 112;
constexpr uint32_t TRANSITION_IMAGE_ID = 319;
constexpr int LOCAL_ADDRESS_COUNT = 8;

// One embedded firmware image. bytes stay valid for the life of the
// process and are never copied whole or changed.
struct FirmwareImage {
    const uint8_t* bytes;
    uint32_t size;
    uint8_t header[IMAGE_HEADER_SIZE];  // ImageHeader: copy of the first 128 bytes
};

// The NUL-terminated version text at header offset 92.
inline const char* imageVersionText(const FirmwareImage& image) {
    return reinterpret_cast<const char*>(image.header + IMAGE_VERSION_OFFSET);
}

// What the device reports about itself on its status page.
struct DeviceInfo {
    char productName[128];
    char macAddress[128];
    char softwareVersion[128];
    char hardwareVersion[128];
    char serialNumber[128];
};

// 1 while the Target image is the one to deliver, 0 while the Transition
// image is. Moves only from 0 to 1, at most once; read across threads.
extern std::atomic<int> TargetStage;
// The stage this build starts in: 1 single-stage, 0 two-stage.
extern const int BuildInitialTargetStage;

extern PlatInstance g_instance;
extern FirmwareImage g_targetImage;
extern FirmwareImage g_transitionImage;
extern char g_productName[32];
extern int g_phoneProduct;

extern uint32_t LocalAddressTable[LOCAL_ADDRESS_COUNT];
extern uint32_t g_localAddress;
extern uint32_t g_deviceAddress;
extern char g_deviceAddressText[63];

extern DeviceInfo g_deviceInfo;

// The response buffer every device request uses with capacity 131,071.
constexpr int RESPONSE_BUFFER_SIZE = 131072;
constexpr int RESPONSE_CAPACITY = RESPONSE_BUFFER_SIZE - 1;
extern char g_responseBuffer[RESPONSE_BUFFER_SIZE];

// The TFTP file name the listener serves. Written on the user-interface
// thread, read on the listener thread: always through these two calls.
void setTftpFileName(const char* name);
// Copies the current name (at most cap - 1 characters and a NUL).
void getTftpFileName(char* out, int cap);

// The process-wide pseudo-random generator: 0 .. 32767, seeded once.
void seedRandom(uint32_t seed);
int nextRandom();

// Bounded copy: at most cap - 1 characters of src and a NUL (cap > 0).
void copyText(char* dst, int cap, const char* src);

// Appends formatted text behind *length in out, never past cap - 1
// characters plus the NUL. A piece that does not fit completely is cut and
// the output counts as full; *length always holds the characters actually
// in out. Returns false once the output is full or formatting failed.
__attribute__((format(printf, 4, 5))) bool appendFormat(char* out, int cap, int* length, const char* format, ...);
