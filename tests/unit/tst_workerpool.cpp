// The HTTP worker pool: connections beyond the kept workers get threads of
// their own up to the limit, queued jobs survive a shutdown, and the extra
// threads end again.

#include "http/workerpool.h"

#include <QTest>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {

// Jobs that hold their thread until released, like stalled connections.
class Gate
{
public:
    std::function<void()> job()
    {
        return [this] {
            ++started;
            std::unique_lock<std::mutex> lock(mutex);
            cond.wait(lock, [this] { return open; });
            ++finished;
        };
    }
    void release()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            open = true;
        }
        cond.notify_all();
    }
    std::atomic<int> started{0};
    std::atomic<int> finished{0};

private:
    std::mutex mutex;
    std::condition_variable cond;
    bool open = false;
};

} // namespace

class TestWorkerPool : public QObject
{
    Q_OBJECT

private slots:
    void busyWorkersDoNotHoldUpOthers()
    {
        Gate gate;
        WorkerPool pool(2, 4);
        for (int i = 0; i < 6; ++i)
            pool.enqueue(gate.job());
        // Four threads at most: two jobs wait for a free one.
        QTRY_COMPARE(gate.started.load(), 4);
        QTest::qWait(200);
        QCOMPARE(gate.started.load(), 4);
        QCOMPARE(pool.threadCount(), size_t(4));

        gate.release();
        QTRY_COMPARE(gate.finished.load(), 6);
        // The two extra threads end once idle; the kept ones stay.
        QTRY_COMPARE_WITH_TIMEOUT(pool.threadCount(), size_t(2), 20000);
        Gate later;
        later.release();
        pool.enqueue(later.job());
        QTRY_COMPARE(later.finished.load(), 1);
    }

    void shutdownRunsQueuedJobs()
    {
        Gate gate;
        auto pool = std::make_unique<WorkerPool>(1, 1);
        for (int i = 0; i < 3; ++i)
            pool->enqueue(gate.job());
        QTRY_COMPARE(gate.started.load(), 1);
        gate.release();
        pool->shutdown();
        QCOMPARE(gate.finished.load(), 3);
        pool.reset();
    }
};

QTEST_GUILESS_MAIN(TestWorkerPool)
#include "tst_workerpool.moc"
