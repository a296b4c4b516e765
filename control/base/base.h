// The floor of the core: the records and small helpers that every folder of
// the core (ui/, web/, tftp/, control/) may include. It includes nothing but
// the platform layer.
//
// Conventions of the whole core:
//  - A function that succeeds or fails returns bool, true on success; a
//    dialog returns true for Continue, OK or Upgrade and false for Cancel.
//    A function with more than one way to fail returns a named enum.
//  - A count or a length is an int; -1 means that it does not fit. No
//    value is both a count and a failure: an operation that can fail in
//    several ways returns a record with a named status beside the count
//    (HttpResult); a classification is a named enum as well.
//  - Only the run (runUpgrade) ends on success, by returning. A failure
//    that ends the run at once may go through failUpgrade (ui/ui.h) from
//    anywhere: the message, then the process ends with exit code 0. A
//    request's worker thread does not end the run: it returns its failure
//    and the thread that started it reports it. A TFTP session shows its
//    failure and returns false; the listener hands the outcome back to the
//    run (TftpHandBack) and ends.
//  - `cap` is the size in bytes of a text buffer, its NUL included: at most
//    cap - 1 characters are written. `maxChars` is a number of characters
//    with a NUL after them: the buffer holds maxChars + 1 bytes.
//  - A record shared across threads is declared together with what guards
//    it: an atomic, the lock inside the record, or the write-once rule of
//    the run setup.
// The platform layer keeps the conventions of the systems it wraps (a
// socket call gives 0 on success).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

// ---------------------------------------------------------------- images

constexpr int IMAGE_HEADER_SIZE = 128;
constexpr int IMAGE_VERSION_OFFSET = 92;
constexpr uint32_t TARGET_IMAGE_ID = 112;
constexpr uint32_t TRANSITION_IMAGE_ID = 319;

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

// ---------------------------------------------------------------- device

// What the device reports about itself on its status page.
struct DeviceInfo {
    char productName[128];
    char macAddress[128];
    char softwareVersion[128];
    char hardwareVersion[128];
    char serialNumber[128];
};

// ---------------------------------------------------------------- run setup

constexpr int LOCAL_ADDRESS_COUNT = 8;

// What the run works with once the user has chosen the device: written on
// the user-interface thread by start-up (images, product, local addresses)
// and the address step (the chosen addresses), then frozen before the TFTP
// listener starts. From then on every thread only reads it.
struct RunSetup {
    FirmwareImage targetImage;
    FirmwareImage transitionImage;
    char productName[32];
    bool phoneProduct;
    uint32_t localAddressTable[LOCAL_ADDRESS_COUNT];
    uint32_t localAddress;  // the address the device fetches the image from
    uint32_t deviceAddress;
    char deviceAddressText[63];  // as the user entered it
};

// The record for writing; null once it is frozen.
RunSetup* editRunSetup();
// No more writes: called before a second thread reads the record.
void freezeRunSetup();
const RunSetup& runSetup();

// ---------------------------------------------------------------- stage

// Which image is to be delivered. The value is the digit of the TFTP file
// name's ".bi" suffix.
enum class Stage : int { Transition = 0, Target = 1 };

// The current stage: moves only from Transition to Target, at most once;
// written on the user-interface thread only (decideStage, and the run after
// the Transition outcome), read across threads.
extern std::atomic<Stage> g_stage;
// The stage this build starts in (control/build_config.cpp): Target for a
// single-stage build, Transition when the build carries a Transition image.
extern const Stage BuildInitialStage;

// The image of the current stage.
const FirmwareImage& stageImage(const RunSetup& setup);

// ---------------------------------------------------------------- TFTP file name

constexpr int TFTP_FILE_NAME_SIZE = 128;

// The TFTP file name the listener serves. Drawn by the run on the
// user-interface thread, read on the listener thread: always through these
// two calls.
void setTftpFileName(const char* name);
void getTftpFileName(char* out, int cap);

// ---------------------------------------------------------------- helpers

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
