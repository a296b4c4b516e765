// Threads: started detached; a small shared record tells when one has
// ended and with what value, as GetExitCodeThread would, and an eventfd
// that becomes readable at the end, as a thread handle is signalled.
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "platform/platform.h"
#include "platform/posix/thread_end.h"

struct PlatThread {
    PlatThreadProc proc;
    void* arg;
    std::atomic<int> ended{0};
    int exitValue = 0;
    std::atomic<int> refs{2};  // the handle and the running thread
    int endFd = -1;            // readable once ended
};

namespace {
void release(PlatThread* t) {
    if (t->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    close(t->endFd);
    delete t;
}

void* threadMain(void* p) {
    PlatThread* t = static_cast<PlatThread*>(p);
    t->exitValue = t->proc(t->arg);
    t->ended.store(1, std::memory_order_release);
    uint64_t one = 1;
    ssize_t n = write(t->endFd, &one, sizeof one);
    (void)n;  // a counter of 1 cannot overflow
    release(t);
    return nullptr;
}
}  // namespace

PlatThreadHandle platStartThread(PlatThreadProc proc, void* arg) {
    PlatThread* t = new (std::nothrow) PlatThread;
    if (!t) return nullptr;
    t->proc = proc;
    t->arg = arg;
    t->endFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (t->endFd < 0) {
        delete t;
        return nullptr;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t id;
    int rc = pthread_create(&id, &attr, threadMain, t);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        close(t->endFd);
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

int threadEndFd(PlatThreadHandle t) { return t->endFd; }
