// The test clock's speed by what the program is doing, read from its event
// lines: ULX_CLOCK_PHASES="transfer:T,wait:W,verify:V" (each optional).
// From an uploading window's opening the clock runs T times real time, so
// retransmission intervals stay as long as a busy machine needs; from its
// "Updating" title, W times (the device's fixed wait, which tests that look
// only at the transfer need not sit through); after the window closes, V
// times. A phase not named runs at the scale the clock had at the start.
#pragma once

// Reads the phases from text; true when they are set. "" or null turns
// them off and puts the clock back to the scale it had.
bool clockPhasesConfigure(const char* text);
// Follows one event line; cheap for lines that change nothing.
void clockPhasesLine(const char* line);

// The phases for one test in this process.
struct ScopedClockPhases {
    explicit ScopedClockPhases(const char* text) { clockPhasesConfigure(text); }
    ~ScopedClockPhases() { clockPhasesConfigure(nullptr); }
    ScopedClockPhases(const ScopedClockPhases&) = delete;
};
