// Per-thread message queues for the window backends. Every thread that
// owns windows has one; user input (a click, a key, typed text) becomes a
// message in the queue of the window's owner thread and is handled when
// that thread takes its messages, as a Windows message would be. A queue
// also has a wake descriptor, so a thread can wait for a socket and its
// messages together.
#pragma once

#include <functional>
#include <memory>
#include <string>

enum QueuedKind {
    QM_PRESS,   // click on button `control`
    QM_TYPE,    // replace the text of entry `control` with `text`
    QM_SELECT,  // pick item `number` of list `control`
    QM_RETURN,  // the Return key
    QM_ESCAPE,  // the Escape key
    QM_CLOSE,   // the close box
    QM_FOCUS,   // the user moved the keyboard focus to `control`
};

struct QueuedMessage {
    int window;
    QueuedKind kind;
    int control;
    int number;
    std::string text;
    bool lost = false;  // QM_TYPE: the typed text held a character code page 1252 lacks
};

struct ThreadQueue;

// The calling thread's queue, created on first use.
std::shared_ptr<ThreadQueue> currentThreadQueue();
void queuePost(ThreadQueue* q, QueuedMessage msg);
// Removes and returns the first message that `accept` takes, if any.
bool queueTake(ThreadQueue* q, const std::function<bool(const QueuedMessage&)>& accept, QueuedMessage* out);
// Whether q holds a message that `accept` takes; nothing is removed.
bool queueHolds(ThreadQueue* q, const std::function<bool(const QueuedMessage&)>& accept);
// Wakes the owner of q from queueWait or platWaitSocketOrMessage.
void queueWake(ThreadQueue* q);
// Wakes every thread that has a queue.
void queueWakeAll();
// Forgets earlier wake-ups; call before checking for work, then wait.
void queueClearWake(ThreadQueue* q);
// Waits until woken or until ns nanoseconds have passed (< 0: no limit).
void queueWait(ThreadQueue* q, long ns);
// Waits until q (when not null) is woken or fd is readable, or until ns
// nanoseconds have passed (< 0: no limit). True when fd is readable.
bool queueWaitOrFd(ThreadQueue* q, int fd, long ns);
// The descriptor that becomes readable when q is woken.
int queueWakeFd(ThreadQueue* q);
// The calling thread's queue if it has one, else null.
ThreadQueue* currentThreadQueueIfAny();
