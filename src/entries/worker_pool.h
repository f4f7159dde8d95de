// Compression workers: threads that compress chunks handed to them, each
// with a codec workspace of its own, taking the oldest waiting jobs a few at
// a time and coding them in one interleaved loop.  The main thread hands
// jobs over and waits for each result; while it waits it compresses jobs
// that no worker has taken yet, likewise, with a workspace of its own.  A job's buffers belong to
// the main thread again once it has waited for the job.  Nothing else is
// shared between threads.
#pragma once

#include <atomic>
#include <cstdint>

// One chunk to compress.  source holds n bytes (1 to CHUNK_SIZE); packed
// has room for CHUNK_SIZE bytes.  On completion packed holds the
// compressed stream when it is shorter than the source (raw false,
// packed_len its length), else raw is true and packed_len is n.
struct ChunkJob {
    const unsigned char* source;
    int32_t n;
    unsigned char* packed;
    int32_t packed_len;
    bool raw;
    std::atomic<bool> done;  // set by whoever compressed it
};

struct WorkerPool;

// Starts n_workers threads, or as many as can be started (a thread or a
// workspace that cannot be had is left out).  Returns nullptr when none
// started.  With n_workers 0 no thread starts: pool_wait compresses every
// job (nullptr only when memory runs out).
WorkerPool* pool_start(int32_t n_workers);

// The number of threads running.
int32_t pool_size(const WorkerPool* pool);

// Hands job over (its done flag is cleared here).
void pool_submit(WorkerPool* pool, ChunkJob* job);

// Returns once job is done.  Until then the caller compresses jobs still
// waiting for a worker, oldest first (job itself among them).
void pool_wait(WorkerPool* pool, ChunkJob* job);

// For tests: how many jobs pool_wait's callers compressed themselves.
int64_t pool_jobs_done_by_waiters(const WorkerPool* pool);

// Lets the threads finish the jobs in hand, ends them and frees the pool.
void pool_stop(WorkerPool* pool);

// For tests: at most n threads start from now on (negative: no limit), as
// if the system refused the others.
void pool_limit_starts(int32_t n);
