// The automation backend: windows exist as records, what the program does
// with them is written as event lines, and user input arrives as command
// lines. See the README for the protocol.
#pragma once

// Where event lines go: sink(line) for each line without its newline, or
// standard output when sink is null.
typedef void (*HeadlessSink)(const char* line, void* context);

// Starts the backend: a thread reads command lines from inputFd until it
// ends; event lines go to the sink. Call once, before any window exists.
void headlessStart(int inputFd, HeadlessSink sink, void* context);

// Hands one command line to the backend, as if read from the input.
void headlessCommand(const char* line);
// The input has ended: from now on every window gets the close box and
// every message box its OK.
void headlessEndOfInput();
