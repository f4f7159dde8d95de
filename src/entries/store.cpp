// Storing one file or directory into the archive being written.
//
// A file's contents are cut into chunks of at most CHUNK_SIZE bytes, each
// compressed on its own and kept raw when compression does not make it
// shorter.  The first chunk follows the directory record, every later one a
// linked header.  Whether another chunk follows is decided from the data
// actually read, one chunk ahead, so a file that changes while it is stored
// still gives one well-formed entry (and message 53).
//
// The main thread walks, reads, prints and writes everything in the order
// of the entries; only the compression of chunks is handed over (to the
// compression workers, or, with none, to the main thread itself when it
// waits for a chunk, a few chunks at a time).  What would be printed or
// written is queued in order (name lines, records, chunks) and done by the
// main thread as soon as the chunks ahead of it are compressed; a message
// first has everything queued before it done.  The chunks in flight are
// bounded: CHUNKS_PER_WORKER buffers per thread, the main thread counted.
#include "entries/store.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "archive/block_io.h"
#include "archive/dir_record.h"
#include "archive/select.h"
#include "archive/stored_name.h"
#include "archive/transfer.h"
#include "base/messages.h"
#include "codec/lzw.h"
#include "entries/integrity.h"
#include "entries/stored_twice.h"
#include "entries/worker_pool.h"

namespace {

// A file being stored: its path as the working directory names it, its
// stored name and its status; under --checksum the hash of the bytes
// stored, fed by the main thread in file order.
struct SourceFile {
    const char* path;
    const char* stored;
    const plat::StatRec* st;
    ContentHash* sum;
};

void add_to_sum(const SourceFile& file, const unsigned char* source, long n) {
    if (file.sum != nullptr) content_hash_add(file.sum, source, static_cast<size_t>(n));
}

// ---- the storing pipeline ----------------------------------------------------

constexpr int32_t CHUNKS_PER_WORKER = 8;
// Queued outputs without a chunk (names, directory records) are done once
// this many wait, so the queue stays small whatever the tree.
constexpr size_t QUEUE_CAP = 1024;

// A chunk buffer: the source bytes read and the compressed form.
struct ChunkSlot {
    unsigned char source[CHUNK_SIZE];
    unsigned char packed[CHUNK_SIZE];
    ChunkJob job;
};

// One output, in the order the one-thread path makes it.
struct Output {
    enum Kind { NAME_LINE, RECORD, CHUNK, DROP, CHECKSUM } kind;
    std::string text;  // NAME_LINE: the line (empty under -q); CHECKSUM: its text
    // RECORD, first CHUNK: the record's kind, stored name and status, and
    // the attribute block, read when the output was queued (by the entry's
    // path from the working directory of then).
    RecordKind record;
    std::string stored;
    plat::StatRec st;
    unsigned char attr[ATTR_CAP];
    int32_t attr_len;
    bool first;  // CHUNK: goes with the directory record
    bool more;   // CHUNK: another chunk follows
    ChunkSlot* slot;
};

struct Pipeline {
    WorkerPool* pool = nullptr;  // none: chunks are compressed as handed over
    OpContext* ctx = nullptr;
    std::vector<std::unique_ptr<ChunkSlot>> slots;
    std::vector<ChunkSlot*> free_slots;
    std::deque<Output> queue;
    // The result of the first queued output that failed; from then on
    // nothing more is printed or written, as the one-thread path would
    // have stopped there.
    int32_t failed = 0;
    // An output is being done: its own messages (18, 47, 51) are printed
    // at once, in their place.
    bool in_output = false;
    // Where the entry whose name line was done last begins in the archive
    // (block_bytes_written), for taking it back.
    uint64_t entry_start = 0;
};

// The pipeline, the main thread's alone; g_pipeline points to it while
// storing.
Pipeline g_store;
Pipeline* g_pipeline = nullptr;

// The chunk buffers when no memory can be had for more: the chunk being
// done and the one read ahead.
ChunkSlot g_fallback_slots[2];

// Hands a chunk over for compression: to the pool, or, when none could be
// had, compressed at once.
void hand_over(Pipeline* pl, ChunkJob* job) {
    if (pl->pool != nullptr) {
        pool_submit(pl->pool, job);
        return;
    }
    const unsigned char* result = nullptr;
    job->packed_len = compress_block(job->source, job->n, &result);
    job->raw = result == nullptr;
    if (!job->raw) std::memcpy(job->packed, result, static_cast<size_t>(job->packed_len));
}

// Returns once the chunk is compressed.
void wait_for(Pipeline* pl, ChunkJob* job) {
    if (pl->pool != nullptr) pool_wait(pl->pool, job);
}

int32_t write_queued_record(Pipeline* pl, const Output& out, int64_t first_len, int32_t flags) {
    return write_dir_record_with_attr(pl->ctx, out.record, out.stored.c_str(), &out.st, first_len, flags, out.attr,
                                      out.attr_len);
}

int32_t write_queued_chunk(Pipeline* pl, const Output& out) {
    ChunkSlot* slot = out.slot;
    const unsigned char* data = slot->job.raw ? slot->source : slot->packed;
    const int32_t len = slot->job.packed_len;
    const int32_t flags = (out.more ? ENTRY_MORE : 0) | (slot->job.raw ? ENTRY_RAW : 0);
    int32_t rc = out.first ? write_queued_record(pl, out, len, flags) : write_linked_header(pl->ctx, len, flags);
    if (rc != 0) return rc;
    if (block_write(data, static_cast<uint32_t>(len)) != 0) {
        show_error(MSG_WRITE_ERROR, pl->ctx->archive_path);
        return RC_WRITE;
    }
    return RC_OK;
}

// Does the output at the head of the queue (waiting for its chunk), unless
// an earlier one failed, and frees its chunk buffer.
void do_head_output(Pipeline* pl) {
    Output out = std::move(pl->queue.front());
    pl->queue.pop_front();
    if (out.slot != nullptr) wait_for(pl, &out.slot->job);
    int32_t rc = RC_OK;
    pl->in_output = true;
    if (pl->failed == 0) {
        switch (out.kind) {
        case Output::NAME_LINE:
            pl->entry_start = block_bytes_written();
            // Standard output gone: nothing more is written, as the
            // one-thread path stops after the name line.
            stdout_write(out.text.data(), out.text.size());
            if (stdout_failed()) rc = RC_OUT_WRITE;
            break;
        case Output::RECORD: rc = write_queued_record(pl, out, 0, 0); break;
        case Output::CHUNK: rc = write_queued_chunk(pl, out); break;
        case Output::DROP: break;
        case Output::CHECKSUM: rc = write_checksum_entry(pl->ctx, out.stored.c_str(), out.text.c_str()); break;
        }
    }
    if (out.slot != nullptr) pl->free_slots.push_back(out.slot);
    if (rc != 0) pl->failed = rc;
    pl->in_output = false;
}

// Does every queued output.  Returns 0, or the result of the one that
// failed.
int32_t drain(Pipeline* pl) {
    while (!pl->queue.empty()) do_head_output(pl);
    return pl->failed;
}

// Storing's own messages keep their place after the outputs queued before
// them (see store_before_message).
void store_error(int32_t number, MsgArg arg) {
    if (store_before_message()) show_error(number, arg);
}

void queue_output(Pipeline* pl, Output out) {
    pl->queue.push_back(std::move(out));
    if (pl->queue.size() > QUEUE_CAP) do_head_output(pl);
}

// A free chunk buffer.  When none is free, the queued outputs up to the
// chunk half the window ahead are done: the workers finish chunks in about
// the order they were handed over, so the main thread sleeps once for
// several chunks instead of once per chunk.
ChunkSlot* take_slot(Pipeline* pl) {
    if (pl->free_slots.empty()) {
        size_t n_chunks = pl->slots.size() / 2;
        size_t upto = 0;
        while (upto < pl->queue.size() && n_chunks > 0) {
            if (pl->queue[upto++].slot != nullptr) --n_chunks;
        }
        if (upto > 0 && pl->queue[upto - 1].slot != nullptr) wait_for(pl, &pl->queue[upto - 1].slot->job);
        for (; upto > 0; --upto) do_head_output(pl);
    }
    while (pl->free_slots.empty()) do_head_output(pl);
    ChunkSlot* slot = pl->free_slots.back();
    pl->free_slots.pop_back();
    return slot;
}

// Allocates the pipeline's n chunk buffers.  False when memory runs out.
bool take_chunk_slots(Pipeline* pl, int32_t n) {
    try {
        pl->slots.reserve(static_cast<size_t>(n));
        pl->free_slots.reserve(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i) {
            ChunkSlot* slot = new (std::nothrow) ChunkSlot;
            if (slot == nullptr) return false;
            pl->slots.emplace_back(slot);
            pl->free_slots.push_back(slot);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// The pipeline's chunk buffers: n of them, or the two fallback buffers
// when memory runs out.
void take_chunk_slots_or_fallback(Pipeline* pl, int32_t n) {
    if (take_chunk_slots(pl, n)) return;
    pl->slots.clear();
    pl->free_slots.clear();
    pl->free_slots.push_back(&g_fallback_slots[0]);
    pl->free_slots.push_back(&g_fallback_slots[1]);
}

Output record_output(OpContext* ctx, Output::Kind kind, RecordKind record, const char* stored,
                     const char* attr_path, const plat::StatRec* st) {
    Output out{};
    out.kind = kind;
    out.record = record;
    out.stored = stored;
    out.st = *st;
    out.attr_len = record_attr_block(ctx, record, attr_path, out.attr);
    return out;
}

// Reads the open source chunk by chunk and queues its entry's outputs.
// Each chunk's successor is read before the chunk is queued, so the chunk's
// ENTRY_MORE is known; a chunk whose successor cannot be read is never
// written.  *n_stored counts the source bytes queued.  Returns 0, or -4
// after message 29.
int32_t queue_contents(Pipeline* pl, OpContext* ctx, const SourceFile& file, int64_t* n_stored) {
    *n_stored = 0;
    ChunkSlot* current = take_slot(pl);
    long n = plat::_read(ctx->read_handle, current->source, CHUNK_SIZE);
    if (n <= 0) {
        pl->free_slots.push_back(current);
        if (n < 0) {
            store_error(MSG_SOURCE_READ, file.path);
            return RC_OPEN;
        }
        queue_output(pl, record_output(ctx, Output::RECORD, RecordKind::file, file.stored, file.path, file.st));
        return RC_OK;
    }
    for (bool first = true;; first = false) {
        current->job.source = current->source;
        current->job.n = static_cast<int32_t>(n);
        current->job.packed = current->packed;
        hand_over(pl, &current->job);
        ChunkSlot* ahead = nullptr;
        long next = 0;
        if (n == static_cast<long>(CHUNK_SIZE)) {
            ahead = take_slot(pl);
            next = plat::_read(ctx->read_handle, ahead->source, CHUNK_SIZE);
        }
        Output out{};
        if (first) out = record_output(ctx, Output::CHUNK, RecordKind::file, file.stored, file.path, file.st);
        // A chunk whose successor cannot be read is never written.
        out.kind = next < 0 ? Output::DROP : Output::CHUNK;
        out.first = first;
        out.more = next > 0;
        out.slot = current;
        queue_output(pl, std::move(out));
        if (next >= 0) {
            *n_stored += n;
            add_to_sum(file, current->source, n);
        }
        if (next <= 0) {
            if (ahead != nullptr) pl->free_slots.push_back(ahead);
            if (next == 0) return RC_OK;
            store_error(MSG_SOURCE_READ, file.path);
            return RC_OPEN;
        }
        current = ahead;
        n = next;
    }
}

// The result of store_file: the first failure of a queued output wins over
// what was found after it.
int32_t pipeline_result(int32_t rc) {
    if (g_pipeline != nullptr && g_pipeline->failed != 0) return g_pipeline->failed;
    return rc;
}

// The checksum entry after a file's last chunk, queued after the chunks.
int32_t store_checksum(Pipeline* pl, const SourceFile& file) {
    char text[CHECKSUM_TEXT_LEN + 1];
    content_hash_text(file.sum, text);
    Output out{};
    out.kind = Output::CHECKSUM;
    out.stored = file.stored;
    out.text = text;
    queue_output(pl, std::move(out));
    return RC_OK;
}

// A stored name must fit its record field.  Returns false after message 47.
bool name_fits(const std::string& name) {
    if (name.size() < static_cast<size_t>(NAME_CAP)) return true;
    store_error(MSG_NAME_TOO_LONG, name.c_str());
    return false;
}

// The file's entry failed to read part-way (message 29 shown): with
// --keep-going the archive is cut back to the entry's start (start, or the
// pipeline's record of it) and the file left out; an archive on standard
// output cannot be taken back, so the run ends there.  Returns 0, -4, or -5
// after message 18.
int32_t take_back_entry(OpContext* ctx, uint64_t start) {
    if (!ctx->keep_going || ctx->archive_streamed) {
        ++ctx->n_left_out;
        return RC_OPEN;
    }
    Pipeline* const pl = g_pipeline;
    if (pl != nullptr) {
        int32_t rc = drain(pl);
        if (rc != 0) return rc;
        start = pl->entry_start;
    }
    if (block_cut_back(start) != 0) {
        show_error(MSG_WRITE_ERROR, ctx->archive_path);
        return RC_WRITE;
    }
    return leave_out(ctx);
}

}  // namespace

bool store_before_message() {
    Pipeline* const pl = g_pipeline;
    // Under -q nothing is printed, and nothing needs doing first.
    if (pl == nullptr || pl->in_output || quiet_switch) return true;
    return drain(pl) == 0;
}

int32_t leave_out(OpContext* ctx) {
    ++ctx->n_left_out;
    return ctx->keep_going ? RC_OK : RC_OPEN;
}

bool is_archive_itself(const plat::StatRec* st, OpContext* ctx) {
    if (ctx->output_id_known && plat::same_file(ctx->output_id, st->id)) return true;
    if (!ctx->archive_id_known) {
        plat::StatRec archive;
        if (plat::_stat(ctx->archive_path, &archive) != 0) return false;
        ctx->archive_id = archive.id;
        ctx->archive_id_known = 1;
    }
    return plat::same_file(ctx->archive_id, st->id);
}

int32_t store_file(const char* path, const char* dir_part, OpContext* ctx, const plat::StatRec* st,
                   int strip) {
    if (is_archive_itself(st, ctx)) return RC_OK;
    std::string name = stored_name(RecordKind::file, path, dir_part, strip);
    if (name_excluded(name.c_str())) return RC_OK;
    if (!name_fits_record(name.c_str())) {
        store_error(MSG_NAME_NOT_STORABLE, name.c_str());
        return leave_out(ctx);
    }
    if (!name_fits(name)) return leave_out(ctx);
    Pipeline* const pl = g_pipeline;
    if (pl == nullptr) {  // storing one file on its own
        store_workers_begin(ctx, 1);
        return store_workers_end(store_file(path, dir_part, ctx, st, strip));
    }
    if (pl->failed != 0) return pl->failed;
    ctx->read_handle = plat::_open(path, plat::OF_RDONLY | plat::OF_BINARY);
    if (ctx->read_handle < 0) {
        store_error(MSG_SOURCE_OPEN, path);
        return pipeline_result(leave_out(ctx));
    }
    note_stored_name(name.c_str(), stored_name(RecordKind::file, path, dir_part, 0).c_str());
    std::string line;
    if (!(ctx->flags & OPT_QUIET)) line = printable_name(name.c_str()) + "\n";
    int64_t n_stored = 0;
    int32_t rc = RC_OK;
    ContentHash sum;
    if (ctx->checksum) content_hash_begin(&sum);
    const SourceFile file{path, name.c_str(), st, ctx->checksum ? &sum : nullptr};
    const uint64_t start = block_bytes_written();
    // The name line is printed, and standard output checked, when its turn
    // comes.
    Output out{};
    out.kind = Output::NAME_LINE;
    out.text = std::move(line);
    queue_output(pl, std::move(out));
    rc = queue_contents(pl, ctx, file, &n_stored);
    if (rc == 0 && file.sum != nullptr) rc = store_checksum(pl, file);
    plat::_close(ctx->read_handle);
    ctx->read_handle = -1;
    if (rc == RC_OPEN) return pipeline_result(take_back_entry(ctx, start));
    if (rc == 0) ++ctx->n_entries;
    // The record keeps the size of the status call; the chunks hold what
    // was read.  The message names the file unstripped.
    if (rc == 0 && n_stored != st->size) {
        store_error(MSG_FILE_CHANGED, stored_name(RecordKind::file, path, dir_part, 0).c_str());
    }
    return pipeline_result(rc);
}

int32_t store_directory(RecordKind kind, const char* stored, OpContext* ctx, const plat::StatRec* st) {
    if (!name_fits(stored)) return leave_out(ctx);
    if (kind == RecordKind::dir_open) ++ctx->n_entries;
    Pipeline* const pl = g_pipeline;
    if (pl == nullptr) {  // on its own
        store_workers_begin(ctx, 1);
        return store_workers_end(store_directory(kind, stored, ctx, st));
    }
    if (kind == RecordKind::dir_open) note_stored_name(stored, stored);
    if (pl->failed != 0) return pl->failed;
    queue_output(pl, record_output(ctx, Output::RECORD, kind, stored, stored, st));
    return pipeline_result(RC_OK);
}

int32_t store_workers_begin(OpContext* ctx, int32_t n_threads) {
    if (n_threads <= 0) n_threads = static_cast<int32_t>(std::thread::hardware_concurrency());
    if (n_threads > MAX_WORKERS) n_threads = MAX_WORKERS;
    // The main thread is one of the threads: it compresses what it waits
    // for.  A worker for every processor besides would leave one more
    // thread than processors, and the main thread's reading and writing
    // would wait its turn behind the workers.  One thread: no workers
    // (memory short: each chunk as it is handed over).
    WorkerPool* pool = n_threads > 1 ? pool_start(n_threads - 1) : nullptr;
    if (pool == nullptr) pool = pool_start(0);
    Pipeline* const pl = &g_store;
    const int32_t n_running = pool != nullptr ? pool_size(pool) : 0;
    take_chunk_slots_or_fallback(pl, (n_running + 1) * CHUNKS_PER_WORKER);
    pl->pool = pool;
    pl->ctx = ctx;
    pl->failed = 0;
    pl->in_output = false;
    g_pipeline = pl;
    return n_running;
}

int32_t store_workers_end(int32_t rc) {
    Pipeline* pl = g_pipeline;
    if (pl == nullptr) return rc;
    const int32_t failed = drain(pl);
    g_pipeline = nullptr;
    if (pl->pool != nullptr) pool_stop(pl->pool);
    pl->pool = nullptr;
    pl->slots.clear();
    pl->free_slots.clear();
    return failed != 0 ? failed : rc;
}
