// The window model every window backend shares: windows as records of
// their controls' state, owned by the thread that created them, with the
// Win32 rules the core relies on (modal loops, task-modal message boxes,
// the dialog manager's focus, Return, Escape and the close box). A backend
// is an observer of the records - it prints them or mirrors them into real
// widgets - and hands what the user does to windowModelInput, which turns
// it into a message for the owning thread's queue.
#pragma once

#include "platform/platform.h"
#include "platform/posix/thread_queue.h"

// What the backend is asked and told. Events are reported in the order
// they happen, one at a time (under the model's lock: an observer must not
// call back into the model or wait for another thread from them).
class WindowObserver {
public:
    virtual ~WindowObserver() = default;
    // The outer size in pixels of a new window of the template, and the
    // primary screen's size.
    virtual void windowSize(const DialogTemplate* tmpl, int* width, int* height) = 0;
    virtual void screenSize(int* width, int* height) = 0;

    // tmpl is null for a message box, which has an OK button (id 1) and its
    // text as control 0.
    virtual void opened(int w, const DialogTemplate* tmpl, const char* caption) = 0;
    virtual void titleSet(int w, const char* text) = 0;
    virtual void textSet(int w, int id, const char* text) = 0;
    virtual void itemAdded(int w, int id, const char* text) = 0;
    virtual void selectionSet(int w, int id, int index) = 0;
    virtual void rangeSet(int w, int id, int low, int high) = 0;
    virtual void positionSet(int w, int id, int pos) = 0;
    virtual void focusSet(int w, int id) = 0;
    virtual void placed(int w, const PlatRect& rect) = 0;
    virtual void shown(int w) = 0;
    virtual void enabled(int w, bool on) = 0;
    // A modal window ended with result, or a modeless one was destroyed.
    virtual void closed(int w, bool destroyed, int result) = 0;
    // A command could not be carried out.
    virtual void error(int w, const char* reason) = 0;
    // The process ends with the code; nothing is reported after this.
    virtual void exiting(int code) = 0;
};

// Sets the observer; call once, before any window exists.
void windowModelStart(WindowObserver* observer);
// What the user did to a window: checked against the window's state now
// (an unfit command is reported as an error and dropped), carried out by
// the owning thread when it takes its messages.
void windowModelInput(QueuedMessage message);
// Reports an error about a window that input named (a malformed command).
void windowModelError(int w, const char* reason);
// The user has gone: from now on every window gets the close box and
// every message box its OK.
void windowModelEndOfInput();
