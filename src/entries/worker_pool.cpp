// The compression workers.  One lock guards the queue of jobs waiting and
// every job's done flag; a chunk takes tens of microseconds to compress, so
// the lock is taken a few times per chunk at most.
#include "entries/worker_pool.h"

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
    // The job the main thread sleeps on, if any: only its completion wakes
    // the main thread.
    const ChunkJob* awaited = nullptr;
    bool stopping = false;
    std::vector<std::thread> threads;
    std::vector<LzwWorkspace*> workspaces;  // one per thread, same order
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

void worker_main(WorkerPool* pool, LzwWorkspace* ws) {
    std::unique_lock<std::mutex> hold(pool->lock);
    for (;;) {
        pool->work_ready.wait(hold, [pool] { return pool->stopping || !pool->waiting.empty(); });
        if (pool->waiting.empty()) return;  // stopping, nothing left
        ChunkJob* job = pool->waiting.front();
        pool->waiting.pop_front();
        hold.unlock();
        compress_job(ws, job);
        hold.lock();
        job->done = true;
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
    return pool;
}

int32_t pool_size(const WorkerPool* pool) { return static_cast<int32_t>(pool->threads.size()); }

void pool_submit(WorkerPool* pool, ChunkJob* job) {
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        job->done = false;
        pool->waiting.push_back(job);
    }
    pool->work_ready.notify_one();
}

void pool_wait(WorkerPool* pool, ChunkJob* job) {
    std::unique_lock<std::mutex> hold(pool->lock);
    if (job->done) return;
    pool->awaited = job;
    pool->job_done.wait(hold, [job] { return job->done; });
    pool->awaited = nullptr;
}

void pool_stop(WorkerPool* pool) {
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        pool->stopping = true;
    }
    pool->work_ready.notify_all();
    for (std::thread& t : pool->threads) t.join();
    for (LzwWorkspace* ws : pool->workspaces) lzw_workspace_free(ws);
    delete pool;
}

void pool_limit_starts(int32_t n) { g_start_limit = n; }
