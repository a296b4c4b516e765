// Upgrade control: start-up, product identification and the sequence.
#pragma once

#include <cstdint>

#include "control/globals.h"

// Starts the network stack, collects the local addresses, seeds the
// random generator, maps the images and identifies the product.
void startup();

// Maps ULX_FIRMWARE resource `id` into image. 1 when found.
int mapImage(int id, FirmwareImage* image);

// Identifies the product from an image header: the display name (at most
// 31 characters) and whether it is the phone product.
void identifyProduct(const uint8_t* header, char* displayName, int nameCap, int* phoneProduct);

// "<program> <version>", then "firmware: <product> <version>" for the
// embedded Target image and "transition firmware: ..." for a Transition
// image, one per line, into out. The length, or -1 when it does not fit.
int formatProgramVersion(const char* program, char* out, int cap);

// The number a version text stands for: up to three components, each read
// as strtoul reads a number with base 0, combined as n * 100 + component
// in wrapping 32-bit arithmetic.
uint32_t versionNumber(const char* text);

// Moves TargetStage to 1 when the device needs no Transition image.
void decideStage(const char* deviceVersion, const char* transitionVersion);

// "/admin/upgrade?tftp://a.b.c.d:port/name" into out. The length, or -1
// when it does not fit.
int buildUpgradePath(char* out, int cap, uint32_t localAddress, uint16_t port, const char* fileName);
