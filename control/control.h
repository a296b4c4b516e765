// Upgrade control: start-up, product identification and the sequence.
#pragma once

#include <cstdint>

#include "control/base/base.h"

// Starts the network stack, collects the local addresses, seeds the
// random generator, maps the images and identifies the product into the
// run setup.
void startup(RunSetup* setup);

// Maps ULX_FIRMWARE resource `id` into image: false when the program does
// not carry it, or carries one too short for its header or too long for
// TFTP's block numbers.
bool mapImage(int id, FirmwareImage* image);

// Identifies the product from an image header: the display name (at most
// 31 characters) and whether it is the phone product.
void identifyProduct(const uint8_t* header, char* displayName, int nameCap, bool* phoneProduct);

// "<program> <version>", then "firmware: <product> <version>" for the
// embedded Target image and "transition firmware: ..." for a Transition
// image, one per line, into out. The length, or -1 when it does not fit.
int formatProgramVersion(const char* program, char* out, int cap);

// A version text as three components, most significant first. Up to three
// decimal numbers (blanks and a sign allowed before each, leading zeros
// meaning nothing, clamped to 4294967295) separated by any one character,
// read up to the first '(' (the build's suffix, which never ranks); a
// component without digits is 0, and the components a text leaves out are
// zeros on the right ("1.0" is 1, 0, 0).
struct VersionParts {
    int64_t part[3];
};
void readVersion(const char* text, VersionParts* version);

// Orders two version texts component by component: <0, 0 or >0.
int compareVersions(const char* a, const char* b);

// Moves the stage to Target when the device needs no Transition image.
void decideStage(const char* deviceVersion, const char* transitionVersion);

// "/admin/upgrade?tftp://a.b.c.d:port/name" into out. The length, or -1
// when it does not fit.
int buildUpgradePath(char* out, int cap, uint32_t localAddress, uint16_t port, const char* fileName);
