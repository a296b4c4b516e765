// Windows-1252, the code page of the program's texts and of what a
// device's page holds, to and from Unicode.
#pragma once

#include <string>

// The Unicode code point of a Windows-1252 byte. The five bytes the code
// page leaves undefined stand for the C1 control characters of that value.
unsigned fromCp1252(unsigned char b);

// The Windows-1252 byte of a code point, or '?' when the code page lacks it.
char toCp1252(unsigned cp);

// Appends the UTF-8 form of a code point below 0x10000.
void appendUtf8(std::string* out, unsigned cp);

// One UTF-8 sequence at p (shortest form, no surrogates): its length and
// *cp, or 0 when the bytes there are not one.
int readUtf8(const unsigned char* p, unsigned* cp);

// A NUL-terminated Windows-1252 text in UTF-8.
std::string cp1252ToUtf8(const char* text);
