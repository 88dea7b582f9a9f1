#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

// The HTTP server's worker threads. A connection holds its worker from its
// first byte until it closes, so clients that open connections and never
// finish a request (or a stalled network) would occupy a fixed pool, and every
// later connection would wait behind them for the read time-out. This pool
// keeps `kept` threads; a connection that finds none of them free gets a
// thread of its own, up to `limit` threads in all, which ends once it has
// been idle for a few seconds. Only beyond `limit` does a connection wait.
class WorkerPool final : public httplib::TaskQueue
{
public:
    WorkerPool(std::size_t kept, std::size_t limit);
    ~WorkerPool() override;
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    void enqueue(std::function<void()> fn) override;
    // Runs the jobs still queued, then joins every thread.
    void shutdown() override;

    // Threads alive now (for the tests).
    std::size_t threadCount();

private:
    using ThreadList = std::list<std::thread>;
    // With `mutex` held.
    void startThread(bool keep);
    void run(ThreadList::iterator self, bool keep);

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    ThreadList threads;
    std::vector<std::thread> finished;
    std::size_t idle = 0;
    const std::size_t limit;
    bool stopping = false;
    bool stopped = false;
};
