#include "platform/posix/thread_queue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>

struct ThreadQueue {
    std::mutex lock;  // guards messages and woken
    std::deque<QueuedMessage> messages;
    int wakeFd = -1;
    // Whether wakeFd holds a wake-up: it is written only when it holds
    // none, and read only when it holds one, so a wait that nothing woke
    // costs no system call to clear, and a burst of posts costs one write.
    bool woken = false;
    ~ThreadQueue() {
        if (wakeFd >= 0) close(wakeFd);
    }
};

namespace {
std::mutex g_registryLock;
std::vector<std::weak_ptr<ThreadQueue>>& registry() {
    static auto* r = new std::vector<std::weak_ptr<ThreadQueue>>;  // outlives every thread
    return *r;
}

struct QueueHolder {
    std::shared_ptr<ThreadQueue> queue;
    ~QueueHolder() {
        if (!queue) return;
        std::lock_guard<std::mutex> hold(g_registryLock);
        auto& r = registry();
        r.erase(std::remove_if(r.begin(), r.end(),
                               [this](const std::weak_ptr<ThreadQueue>& w) {
                                   auto s = w.lock();
                                   return !s || s == queue;
                               }),
                r.end());
    }
};
thread_local QueueHolder t_holder;
}  // namespace

std::shared_ptr<ThreadQueue> currentThreadQueue() {
    if (!t_holder.queue) {
        auto q = std::make_shared<ThreadQueue>();
        q->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        std::lock_guard<std::mutex> hold(g_registryLock);
        registry().push_back(q);
        t_holder.queue = q;
    }
    return t_holder.queue;
}

ThreadQueue* currentThreadQueueIfAny() { return t_holder.queue.get(); }

namespace {
// With q->lock held.
void wakeLocked(ThreadQueue* q) {
    if (q->woken || q->wakeFd < 0) return;
    uint64_t one = 1;
    ssize_t n = write(q->wakeFd, &one, sizeof one);
    (void)n;  // a full counter is still readable: the wake-up is not lost
    q->woken = true;
}
}  // namespace

void queueWake(ThreadQueue* q) {
    std::lock_guard<std::mutex> hold(q->lock);
    wakeLocked(q);
}

void queuePost(ThreadQueue* q, QueuedMessage msg) {
    std::lock_guard<std::mutex> hold(q->lock);
    q->messages.push_back(std::move(msg));
    wakeLocked(q);
}

bool queueTake(ThreadQueue* q, const std::function<bool(const QueuedMessage&)>& accept, QueuedMessage* out) {
    std::lock_guard<std::mutex> hold(q->lock);
    for (auto it = q->messages.begin(); it != q->messages.end(); ++it) {
        if (accept(*it)) {
            *out = std::move(*it);
            q->messages.erase(it);
            return true;
        }
    }
    return false;
}

bool queueHolds(ThreadQueue* q, const std::function<bool(const QueuedMessage&)>& accept) {
    std::lock_guard<std::mutex> hold(q->lock);
    for (const QueuedMessage& m : q->messages)
        if (accept(m)) return true;
    return false;
}

void queueWakeAll() {
    std::vector<std::shared_ptr<ThreadQueue>> all;
    {
        std::lock_guard<std::mutex> hold(g_registryLock);
        for (auto& w : registry())
            if (auto s = w.lock()) all.push_back(s);
    }
    for (auto& q : all) queueWake(q.get());
}

void queueClearWake(ThreadQueue* q) {
    std::lock_guard<std::mutex> hold(q->lock);
    if (!q->woken) return;
    uint64_t v;
    ssize_t n = read(q->wakeFd, &v, sizeof v);
    (void)n;  // EAGAIN: nothing to clear
    q->woken = false;
}

void queueWait(ThreadQueue* q, long ns) { queueWaitOrFd(q, -1, ns); }

bool queueWaitOrFd(ThreadQueue* q, int fd, long ns) {
    // A negative descriptor is passed over by ppoll.
    pollfd p[2] = {{fd, POLLIN, 0}, {q ? q->wakeFd : -1, POLLIN, 0}};
    timespec ts{static_cast<time_t>(ns / 1000000000L), ns % 1000000000L};
    int n = ppoll(p, 2, ns < 0 ? nullptr : &ts, nullptr);
    return n > 0 && (p[0].revents & POLLIN);
}

int queueWakeFd(ThreadQueue* q) { return q->wakeFd; }
