// The compression workers: every job's result is compress_block's for the
// same bytes, whatever the order jobs finish in and however many threads
// run; a pool that cannot start all its threads runs with fewer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "archive/transfer.h"
#include "codec/lzw.h"
#include "entries/worker_pool.h"
#include "harness.h"

namespace {

struct Job {
    std::string source;
    std::unique_ptr<unsigned char[]> packed{new unsigned char[CHUNK_SIZE]};
    ChunkJob job{};
};

// What compress_block on the main thread gives: the stream, or "" for raw.
std::string expected_of(const std::string& source) {
    const unsigned char* result = nullptr;
    const int32_t n = compress_block(reinterpret_cast<const unsigned char*>(source.data()),
                                     static_cast<int32_t>(source.size()), &result);
    return result == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(result), static_cast<size_t>(n));
}

std::vector<std::unique_ptr<Job>> make_jobs(size_t n_jobs) {
    std::vector<std::unique_ptr<Job>> jobs;
    const char kinds[] = {'t', 'z', 'r'};
    for (size_t i = 0; i < n_jobs; ++i) {
        auto j = std::make_unique<Job>();
        const size_t len = 1 + (i * 7919) % CHUNK_SIZE;
        j->source = th::make_bytes(len, kinds[i % 3], static_cast<uint32_t>(i));
        if (i % 5 == 0) j->source.replace(0, len / 2, std::string(len / 2, '\0'));  // zero-heavy
        j->job.source = reinterpret_cast<const unsigned char*>(j->source.data());
        j->job.n = static_cast<int32_t>(len);
        j->job.packed = j->packed.get();
        jobs.push_back(std::move(j));
    }
    return jobs;
}

void expect_results(const std::vector<std::unique_ptr<Job>>& jobs) {
    for (size_t i = 0; i < jobs.size(); ++i) {
        const ChunkJob& c = jobs[i]->job;
        const std::string expected = expected_of(jobs[i]->source);
        EXPECT_EQ(c.raw, expected.empty()) << i;
        if (c.raw) {
            EXPECT_EQ(c.packed_len, c.n) << i;
        } else {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.packed), static_cast<size_t>(c.packed_len)), expected)
                << i;
        }
    }
}

}  // namespace

TEST(WorkerPool, ResultsAreThoseOfTheMainThreadForEverySize) {
    for (int32_t n_workers : {1, 2, 3, 8}) {
        WorkerPool* pool = pool_start(n_workers);
        ASSERT_NE(pool, nullptr);
        EXPECT_EQ(pool_size(pool), n_workers);
        std::vector<std::unique_ptr<Job>> jobs = make_jobs(120);
        for (auto& j : jobs) pool_submit(pool, &j->job);
        // Waited for newest first: each wait returns only when its job is done.
        for (size_t i = jobs.size(); i-- > 0;) pool_wait(pool, &jobs[i]->job);
        expect_results(jobs);
        // The buffers are the caller's again: a job can be handed over anew.
        jobs[0]->job.n = 1;
        pool_submit(pool, &jobs[0]->job);
        pool_wait(pool, &jobs[0]->job);
        EXPECT_TRUE(jobs[0]->job.raw);
        pool_stop(pool);
    }
}

// The waiting thread compresses jobs no worker has taken yet, with the same
// results.  With one worker and many jobs queued, a wait for the newest
// finds older ones still waiting (a round in which the worker took them all
// before the wait began is tried again).
TEST(WorkerPool, TheWaitingThreadCompressesQueuedJobs) {
    int64_t helped = 0;
    for (int round = 0; round < 5 && helped == 0; ++round) {
        WorkerPool* pool = pool_start(1);
        ASSERT_NE(pool, nullptr);
        std::vector<std::unique_ptr<Job>> jobs = make_jobs(200);
        for (auto& j : jobs) pool_submit(pool, &j->job);
        pool_wait(pool, &jobs.back()->job);
        for (auto& j : jobs) pool_wait(pool, &j->job);
        expect_results(jobs);
        helped = pool_jobs_done_by_waiters(pool);
        pool_stop(pool);
    }
    EXPECT_GT(helped, 0);
}

// Threads that cannot be started leave a smaller pool, or none.
TEST(WorkerPool, FewerThreadsWhenSomeCannotStart) {
    pool_limit_starts(2);
    WorkerPool* pool = pool_start(8);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool_size(pool), 2);
    std::vector<std::unique_ptr<Job>> jobs = make_jobs(20);
    for (auto& j : jobs) pool_submit(pool, &j->job);
    for (auto& j : jobs) pool_wait(pool, &j->job);
    expect_results(jobs);
    pool_stop(pool);
    pool_limit_starts(0);
    EXPECT_EQ(pool_start(4), nullptr);
    pool_limit_starts(-1);
}

// Workspaces on threads of their own code as the main thread does, at the
// same time as it.
TEST(WorkerPool, WorkspacesPerThreadMatchTheMainThread) {
    const std::string data = th::make_bytes(CHUNK_SIZE, 't', 3) + std::string(5000, '\0') + th::make_bytes(9000, 'r', 4);
    const std::string expected = expected_of(data.substr(0, CHUNK_SIZE));
    std::vector<std::string> got(4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < got.size(); ++t) {
        threads.emplace_back([&, t] {
            LzwWorkspace* ws = lzw_workspace_new();
            for (int round = 0; round < 20; ++round) {
                const unsigned char* result = nullptr;
                const int32_t n = compress_block_in(ws, reinterpret_cast<const unsigned char*>(data.data()),
                                                    static_cast<int32_t>(CHUNK_SIZE), &result);
                got[t] = result == nullptr ? "" : std::string(reinterpret_cast<const char*>(result), static_cast<size_t>(n));
            }
            lzw_workspace_free(ws);
        });
    }
    for (int round = 0; round < 20; ++round) EXPECT_EQ(expected_of(data.substr(0, CHUNK_SIZE)), expected);
    for (std::thread& t : threads) t.join();
    for (const std::string& g : got) EXPECT_EQ(g, expected);
}
