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
#include "entries/spin_wait.h"
#include "platform/platform.h"

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

// The most jobs one thread compresses at once, in one interleaved loop
// (compress_blocks_in): two ran fastest here, three and four no faster.
constexpr int32_t JOBS_PER_BATCH = 2;

// Compresses n jobs (1 to JOBS_PER_BATCH) with ws, or with the main
// thread's workspace when ws is nullptr.
void compress_jobs(LzwWorkspace* ws, ChunkJob* const* jobs, int32_t n) {
    LzwBlock blocks[JOBS_PER_BATCH];
    for (int32_t i = 0; i < n; ++i) blocks[i] = LzwBlock{jobs[i]->source, jobs[i]->n, nullptr, 0};
    if (ws == nullptr) {
        for (int32_t i = 0; i < n; ++i) blocks[i].result_len = compress_block(blocks[i].data, blocks[i].length, &blocks[i].result);
    } else if (n == 1) {
        blocks[0].result_len = compress_block_in(ws, blocks[0].data, blocks[0].length, &blocks[0].result);
    } else {
        compress_blocks_in(ws, blocks, n);
    }
    for (int32_t i = 0; i < n; ++i) {
        ChunkJob* const job = jobs[i];
        job->raw = blocks[i].result == nullptr;
        job->packed_len = blocks[i].result_len;
        if (!job->raw) std::memcpy(job->packed, blocks[i].result, static_cast<size_t>(job->packed_len));
    }
}

// Takes up to JOBS_PER_BATCH of the oldest waiting jobs off the queue (the
// lock held); returns how many (0 when none waits).
int32_t take_jobs(WorkerPool* pool, ChunkJob** jobs) {
    int32_t n = 0;
    while (n < JOBS_PER_BATCH && !pool->waiting.empty()) {
        jobs[n++] = pool->waiting.front();
        pool->waiting.pop_front();
    }
    pool->n_waiting.store(pool->waiting.size(), std::memory_order_relaxed);
    return n;
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
        ChunkJob* jobs[JOBS_PER_BATCH];
        const int32_t n = take_jobs(pool, jobs);
        if (n == 0) return;  // stopping, nothing left
        hold.unlock();
        compress_jobs(ws, jobs, n);
        hold.lock();
        for (int32_t i = 0; i < n; ++i) {
            jobs[i]->done.store(true, std::memory_order_release);
            if (jobs[i] == pool->awaited) pool->job_done.notify_one();
        }
    }
}

// Starts one thread with its workspace; false when either cannot be had.
bool start_one(WorkerPool* pool) {
    if (g_start_limit >= 0 && static_cast<int32_t>(pool->threads.size()) >= g_start_limit) return false;
    LzwWorkspace* ws = lzw_workspace_new();
    if (ws == nullptr) return false;
    // The thread starts with the signals that end the process blocked, so
    // they reach the main thread, which cuts back or removes what it writes
    // before anything else is written.
    plat::block_end_signals(true);
    try {
        pool->threads.emplace_back(worker_main, pool, ws);
    } catch (const std::exception&) {  // no thread, or no memory for one
        plat::block_end_signals(false);
        lzw_workspace_free(ws);
        return false;
    }
    plat::block_end_signals(false);
    pool->workspaces.push_back(ws);
    return true;
}

}  // namespace

WorkerPool* pool_start(int32_t n_workers) {
    WorkerPool* pool = new (std::nothrow) WorkerPool;
    if (pool == nullptr) return nullptr;
    if (n_workers <= 0) {  // no threads: pool_wait compresses every job
        pool->waiter_workspace = lzw_workspace_new();
        return pool;
    }
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
    // Without a workspace of its own the waiting thread only waits (with no
    // threads, it compresses with the main thread's).
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
    if (pool->waiter_workspace != nullptr || pool->threads.empty()) {
        std::unique_lock<std::mutex> hold(pool->lock);
        while (!is_done()) {
            ChunkJob* others[JOBS_PER_BATCH];
            const int32_t n = take_jobs(pool, others);
            if (n == 0) break;
            pool->waiter_jobs += n;
            hold.unlock();
            compress_jobs(pool->waiter_workspace, others, n);
            for (int32_t i = 0; i < n; ++i) others[i]->done.store(true, std::memory_order_release);
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
