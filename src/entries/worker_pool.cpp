// The compression workers.  One lock guards the queue of jobs waiting; a
// chunk takes tens of microseconds to compress, so the lock is taken a few
// times per chunk at most.
//
// A thread with nothing to do looks again for a short while before it
// sleeps (SPIN_LIMIT), giving way to other threads as it looks: on a
// virtual machine a sleeping thread wakes late, and with one file per
// chunk a worker would otherwise sleep and be woken for almost every
// chunk, leaving processors idle in between.
#include "entries/worker_pool.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <exception>
#include <thread>
#include <vector>

#include "codec/lzw.h"

struct WorkerPool {
    std::mutex lock;
    std::condition_variable work_ready;  // a job was queued, or stopping
    std::condition_variable job_done;
    std::deque<ChunkJob*> waiting;
    // The length of waiting and the stop request, for threads that look
    // without taking the lock.
    std::atomic<size_t> n_waiting{0};
    std::atomic<bool> stopping{false};
    // The job the main thread sleeps on, if any: only its completion wakes
    // the main thread.
    const ChunkJob* awaited = nullptr;
    std::vector<std::thread> threads;
    std::vector<LzwWorkspace*> workspaces;  // one per thread, same order
    LzwWorkspace* waiter_workspace = nullptr;  // pool_wait's; none: it only waits
    int64_t waiter_jobs = 0;                   // jobs compressed in pool_wait
};

namespace {

int32_t g_start_limit = -1;

void compress_job(LzwWorkspace* ws, ChunkJob* job) {
    const unsigned char* result = nullptr;
    const int32_t len = compress_block_in(ws, job->source, job->n, &result);
    job->raw = result == nullptr;
    job->packed_len = len;
    if (result != nullptr) std::memcpy(job->packed, result, static_cast<size_t>(len));
}

constexpr auto SPIN_LIMIT = std::chrono::microseconds(200);

// Looks at ready() until it is true or SPIN_LIMIT has passed, giving the
// processor to any other thread that wants it between looks.
template <typename Ready>
bool spin_until(Ready ready) {
    const auto limit = std::chrono::steady_clock::now() + SPIN_LIMIT;
    for (uint32_t n = 1;; ++n) {
        if (ready()) return true;
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
        __builtin_ia32_pause();
#endif
        if (n % 64 == 0) {
            if (std::chrono::steady_clock::now() > limit) return false;
            std::this_thread::yield();
        }
    }
}

// Takes the oldest waiting job off the queue (the lock held); nullptr when
// none waits.
ChunkJob* take_job(WorkerPool* pool) {
    if (pool->waiting.empty()) return nullptr;
    ChunkJob* job = pool->waiting.front();
    pool->waiting.pop_front();
    pool->n_waiting.store(pool->waiting.size(), std::memory_order_relaxed);
    return job;
}

void worker_main(WorkerPool* pool, LzwWorkspace* ws) {
    std::unique_lock<std::mutex> hold(pool->lock);
    for (;;) {
        if (pool->waiting.empty() && !pool->stopping.load()) {
            hold.unlock();
            spin_until([pool] { return pool->n_waiting.load(std::memory_order_relaxed) > 0 || pool->stopping.load(); });
            hold.lock();
        }
        pool->work_ready.wait(hold, [pool] { return pool->stopping.load() || !pool->waiting.empty(); });
        ChunkJob* job = take_job(pool);
        if (job == nullptr) return;  // stopping, nothing left
        hold.unlock();
        compress_job(ws, job);
        hold.lock();
        job->done.store(true, std::memory_order_release);
        if (job == pool->awaited) pool->job_done.notify_one();
    }
}

// Starts one thread with its workspace; false when either cannot be had.
bool start_one(WorkerPool* pool) {
    if (g_start_limit >= 0 && static_cast<int32_t>(pool->threads.size()) >= g_start_limit) return false;
    LzwWorkspace* ws = lzw_workspace_new();
    if (ws == nullptr) return false;
    try {
        pool->threads.emplace_back(worker_main, pool, ws);
    } catch (const std::exception&) {  // no thread, or no memory for one
        lzw_workspace_free(ws);
        return false;
    }
    pool->workspaces.push_back(ws);
    return true;
}

}  // namespace

WorkerPool* pool_start(int32_t n_workers) {
    WorkerPool* pool = new (std::nothrow) WorkerPool;
    if (pool == nullptr) return nullptr;
    // Both lists have their room before any thread starts, so that noting
    // a started thread cannot fail.
    try {
        pool->threads.reserve(static_cast<size_t>(n_workers));
        pool->workspaces.reserve(static_cast<size_t>(n_workers));
    } catch (const std::bad_alloc&) {
        delete pool;
        return nullptr;
    }
    while (static_cast<int32_t>(pool->threads.size()) < n_workers && start_one(pool)) {
    }
    if (pool->threads.empty()) {
        delete pool;
        return nullptr;
    }
    // Without a workspace of its own the waiting thread only waits.
    pool->waiter_workspace = lzw_workspace_new();
    return pool;
}

int32_t pool_size(const WorkerPool* pool) { return static_cast<int32_t>(pool->threads.size()); }

void pool_submit(WorkerPool* pool, ChunkJob* job) {
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        job->done.store(false, std::memory_order_relaxed);
        pool->waiting.push_back(job);
        pool->n_waiting.store(pool->waiting.size(), std::memory_order_relaxed);
    }
    pool->work_ready.notify_one();
}

void pool_wait(WorkerPool* pool, ChunkJob* job) {
    const auto is_done = [job] { return job->done.load(std::memory_order_acquire); };
    if (pool->waiter_workspace != nullptr) {
        std::unique_lock<std::mutex> hold(pool->lock);
        while (!is_done()) {
            ChunkJob* other = take_job(pool);
            if (other == nullptr) break;
            ++pool->waiter_jobs;
            hold.unlock();
            compress_job(pool->waiter_workspace, other);
            other->done.store(true, std::memory_order_release);
            hold.lock();
        }
    }
    if (spin_until(is_done)) return;
    std::unique_lock<std::mutex> hold(pool->lock);
    if (is_done()) return;
    pool->awaited = job;
    pool->job_done.wait(hold, is_done);
    pool->awaited = nullptr;
}

int64_t pool_jobs_done_by_waiters(const WorkerPool* pool) { return pool->waiter_jobs; }

void pool_stop(WorkerPool* pool) {
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        pool->stopping.store(true);
    }
    pool->work_ready.notify_all();
    for (std::thread& t : pool->threads) t.join();
    for (LzwWorkspace* ws : pool->workspaces) lzw_workspace_free(ws);
    lzw_workspace_free(pool->waiter_workspace);
    delete pool;
}

void pool_limit_starts(int32_t n) { g_start_limit = n; }
