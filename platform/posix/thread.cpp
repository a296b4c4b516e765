// Threads: started detached; a small shared record tells when one has
// ended and with what value, as GetExitCodeThread would.
#include <pthread.h>

#include <atomic>
#include <new>

#include "platform/platform.h"

struct PlatThread {
    PlatThreadProc proc;
    void* arg;
    std::atomic<int> ended{0};
    int exitValue = 0;
    std::atomic<int> refs{2};  // the handle and the running thread
};

namespace {
void release(PlatThread* t) {
    if (t->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete t;
}

void* threadMain(void* p) {
    PlatThread* t = static_cast<PlatThread*>(p);
    t->exitValue = t->proc(t->arg);
    t->ended.store(1, std::memory_order_release);
    release(t);
    return nullptr;
}
}  // namespace

PlatThreadHandle platStartThread(PlatThreadProc proc, void* arg) {
    PlatThread* t = new (std::nothrow) PlatThread;
    if (!t) return nullptr;
    t->proc = proc;
    t->arg = arg;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t id;
    int rc = pthread_create(&id, &attr, threadMain, t);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

bool platThreadEnded(PlatThreadHandle t, int* exitValue) {
    if (!t->ended.load(std::memory_order_acquire)) return false;
    if (exitValue) *exitValue = t->exitValue;
    return true;
}

void platReleaseThread(PlatThreadHandle t) {
    if (t) release(t);
}
