// The text side of the automation protocol: event strings out, command
// lines in. The core's texts are Windows-1252 (the code page the dialogs
// use on Windows, and what a device's page holds); the protocol speaks
// UTF-8, so every string is converted on its way across.
#pragma once

#include <string>

#include "platform/posix/thread_queue.h"

// A Windows-1252 text as a JSON string, quotes included, in UTF-8: \r, \n,
// \" and \\ escaped, every other control character (C0, DEL and C1) as
// \u00XX. The result is always valid UTF-8.
std::string eventString(const char* text);

// Parses one command line into m. 1: a command; 0: a blank line; -1: not
// a command of the protocol (m->window holds its window number when one
// was read, else 0). Typed text arrives as UTF-8 and is handed on in
// Windows-1252: a character that code page lacks becomes '?', a byte that
// is not part of valid UTF-8 passes unchanged.
int parseCommand(const char* line, QueuedMessage* m);
