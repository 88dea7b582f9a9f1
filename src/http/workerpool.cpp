#include "http/workerpool.h"

#include <algorithm>
#include <chrono>
#include <iterator>

namespace {

// How long a thread beyond the kept ones waits for more work before it ends.
constexpr std::chrono::seconds extraThreadLinger{5};

} // namespace

WorkerPool::WorkerPool(std::size_t kept, std::size_t limit) : limit(std::max<std::size_t>({kept, limit, 1}))
{
    const std::lock_guard<std::mutex> lock(mutex);
    for (std::size_t i = 0; i < kept; ++i)
        startThread(true);
}

WorkerPool::~WorkerPool()
{
    shutdown();
}

void WorkerPool::startThread(bool keep)
{
    threads.emplace_back();
    const ThreadList::iterator self = std::prev(threads.end());
    // The new thread takes `mutex` before it looks at `self`, so it sees the handle stored.
    *self = std::thread(&WorkerPool::run, this, self, keep);
}

void WorkerPool::enqueue(std::function<void()> fn)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        for (std::thread &t : finished)
            t.join();
        finished.clear();
        jobs.push_back(std::move(fn));
        if (!stopping && jobs.size() > idle && threads.size() < limit)
            startThread(false);
    }
    wake.notify_one();
}

void WorkerPool::run(ThreadList::iterator self, bool keep)
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        ++idle;
        const auto ready = [this] { return stopping || !jobs.empty(); };
        if (keep)
            wake.wait(lock, ready);
        else
            wake.wait_for(lock, extraThreadLinger, ready);
        --idle;
        if (jobs.empty())
            break;
        std::function<void()> job = std::move(jobs.front());
        jobs.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
    // An extra thread that ran out of work: the next enqueue joins it. While
    // stopping, shutdown() joins every thread itself.
    if (!stopping) {
        finished.push_back(std::move(*self));
        threads.erase(self);
    }
}

void WorkerPool::shutdown()
{
    ThreadList running;
    std::vector<std::thread> done;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (stopped)
            return;
        stopped = true;
        stopping = true;
        running.swap(threads);
        done.swap(finished);
    }
    wake.notify_all();
    for (std::thread &t : running)
        t.join();
    for (std::thread &t : done)
        t.join();
}

std::size_t WorkerPool::threadCount()
{
    const std::lock_guard<std::mutex> lock(mutex);
    return threads.size();
}
