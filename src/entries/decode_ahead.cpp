// Decoding ahead of the main thread (see decode_ahead.h).
//
// One lock guards the ring.  The main thread is also the scout: it fills
// the free slots past the ring's tail (nobody else sees them until they are
// counted), workers decode filled slots oldest first, and the main thread
// consumes from the head: it drops the slots it has passed, waits for the
// one it reached (decoding it itself when no worker has taken it yet, and
// later ones while a worker decodes it), and keeps the slot it took until
// its next call.  A slot a worker is decoding is never dropped under it.
#include "entries/decode_ahead.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "archive/block_io.h"
#include "archive/dir_record.h"
#include "archive/fields.h"
#include "archive/transfer.h"
#include "codec/lzw.h"
#include "entries/spin_wait.h"
#include "platform/platform.h"

namespace {

// Slots per worker: enough that a worker finding the next slot taken finds
// another filled one, few enough that the ring stays small (a slot is its
// chunk and a decoder of about 50 KiB).
constexpr int32_t SLOTS_PER_WORKER = 16;

// What the scout reads at a time.
constexpr uint32_t SCOUT_READ = 256 * 1024;

enum class SlotState { filled, taken, done };

struct Slot {
    uint64_t offset;  // stream offset of the chunk
    int32_t len;
    std::atomic<SlotState> state{SlotState::done};
    const unsigned char* out;  // the content when done (in area), nullptr when corrupt
    int32_t out_len;
    LzwDecodeArea* area;
    unsigned char raw[TRANSFER_SIZE];
};

struct Ahead {
    std::mutex lock;
    std::condition_variable work_ready;  // workers wait for a filled slot
    std::condition_variable slot_done;   // the main thread waits for its slot
    std::vector<std::unique_ptr<Slot>> slots;
    // The ring: only the main thread moves head and count (under the lock),
    // so it reads them without it.
    uint32_t head = 0;    // oldest slot in the ring
    uint32_t count = 0;   // slots in the ring
    uint32_t next_work = 0;  // slots from head on already taken or passed by workers
    // Filled slots no one has taken, for threads that look without the lock.
    std::atomic<uint32_t> n_filled{0};
    bool held = false;    // the head slot is the one the main thread last took
    bool stopping = false;
    std::atomic<bool> stop_seen{false};  // stopping, for threads that look without the lock
    int scout_handle = -1;
    std::vector<std::thread> threads;
};

Ahead* g_ahead = nullptr;

Slot* slot_at(Ahead* a, uint32_t k) { return a->slots[(a->head + k) % a->slots.size()].get(); }

// Marks a filled slot as being decoded (the lock held).
void mark_taken(Ahead* a, Slot* s) {
    s->state.store(SlotState::taken, std::memory_order_relaxed);
    a->n_filled.fetch_sub(1, std::memory_order_relaxed);
}

void decode_slot(Slot* s) {
    int32_t n = s->len;
    s->out = decompress_block_in(s->area, s->raw, &n);
    s->out_len = n;
}

// ---- the scout -------------------------------------------------------------

// The archive through the scout's handle, read in large pieces.
struct ScoutReader {
    int handle;
    int64_t file_base;
    uint64_t pos;  // stream offset of buf[at]
    std::vector<unsigned char> buf;
    size_t at = 0;
    size_t valid = 0;
};

// Makes n bytes (n <= SCOUT_READ) available at r->buf[r->at]; false at the
// end of the file or on a failure.
bool scout_fill(ScoutReader* r, size_t n) {
    if (r->valid - r->at >= n) return true;
    std::memmove(r->buf.data(), r->buf.data() + r->at, r->valid - r->at);
    r->valid -= r->at;
    r->at = 0;
    const int64_t file_pos = r->file_base + static_cast<int64_t>(r->pos + r->valid);
    long got = plat::read_at(r->handle, r->buf.data() + r->valid, static_cast<unsigned>(r->buf.size() - r->valid),
                             file_pos);
    if (got > 0) r->valid += static_cast<size_t>(got);
    return r->valid >= n;
}

// Passes over n bytes.
void scout_skip(ScoutReader* r, uint64_t n) {
    const uint64_t in_buf = r->valid - r->at;
    if (n <= in_buf) {
        r->at += static_cast<size_t>(n);
    } else {
        r->at = r->valid = 0;
    }
    r->pos += n;
}

bool scout_bytes(ScoutReader* r, size_t n, const unsigned char** p) {
    if (!scout_fill(r, n)) return false;
    *p = r->buf.data() + r->at;
    r->at += n;
    r->pos += n;
    return true;
}

// Where the scout stands in the archive's framing.
struct Scout {
    ScoutReader r;
    bool in_chain = false;  // inside an entry's chunks
    bool chunk_read = false;  // the current chunk (chunk_len, flags) is behind it
    int64_t chunk_len = 0;
    int64_t flags = 0;
    bool lost = false;  // met something it cannot follow, or the end
};

// Reads the next record; false when it cannot be followed.
bool scout_record(Scout* sc) {
    const unsigned char* p = nullptr;
    int64_t record_len = 0;
    if (!scout_bytes(&sc->r, RECORD_LEN_FIELD, &p) ||
        !parse_record_length_field(reinterpret_cast<const char*>(p), &record_len) ||
        record_len > static_cast<int64_t>(TRANSFER_SIZE) ||
        !scout_bytes(&sc->r, static_cast<size_t>(record_len), &p))
        return false;
    const char* text = reinterpret_cast<const char*>(p);
    const uint32_t len = static_cast<uint32_t>(record_len);
    const uint32_t name_len = record_name_length(text, len);
    if (name_len >= len || text[name_len] != '\x04') return false;
    int64_t v[RECORD_NUMBERS] = {};
    parse_decimal_tokens(text + name_len + 1, len - name_len - 1, v, RECORD_NUMBERS);
    if (v[7] < 0 || v[7] > ATTR_CAP) return false;
    scout_skip(&sc->r, static_cast<uint64_t>(v[7]));
    sc->flags = v[1];
    sc->chunk_len = v[6];
    sc->in_chain = true;
    sc->chunk_read = false;
    return true;
}

// Reads a linked header; false when it cannot be followed.
bool scout_linked_header(Scout* sc) {
    const unsigned char* p = nullptr;
    int32_t flags = 0;
    if (!scout_bytes(&sc->r, LINKED_HEADER_LEN, &p) ||
        !parse_linked_header(reinterpret_cast<const char*>(p), &sc->chunk_len, &flags))
        return false;
    sc->flags = flags;
    sc->chunk_read = false;
    return true;
}

// Finds the next compressed chunk at or after stream offset `from`: *off,
// its bytes in the reader (*p) and *len.  False once the scout is lost.
bool scout_next_chunk(Scout* sc, uint64_t from, uint64_t* off, const unsigned char** p, int32_t* len) {
    while (!sc->lost) {
        bool ok = true;
        if (!sc->in_chain) {
            ok = scout_record(sc);
        } else if (sc->chunk_read) {
            if (sc->flags & ENTRY_MORE) {
                ok = scout_linked_header(sc);
            } else {
                sc->in_chain = false;
                continue;
            }
        }
        if (!ok || sc->chunk_len < 0 || sc->chunk_len > static_cast<int64_t>(TRANSFER_SIZE)) {
            sc->lost = true;
            break;
        }
        if (sc->chunk_len == 0) {
            sc->in_chain = false;
            continue;
        }
        sc->chunk_read = true;
        *off = sc->r.pos;
        *len = static_cast<int32_t>(sc->chunk_len);
        // A raw chunk needs no decoding, nor one the main thread is past.
        if ((sc->flags & ENTRY_RAW) || *off < from) {
            scout_skip(&sc->r, static_cast<uint64_t>(sc->chunk_len));
            continue;
        }
        if (scout_bytes(&sc->r, static_cast<size_t>(sc->chunk_len), p)) return true;
        sc->lost = true;
    }
    return false;
}

// Fills the free slots of the ring with the chunks the scout finds at or
// after stream offset `from` (main thread; the slots past the ring's end are
// its own until counted).
void fill_ring(Ahead* a, Scout* sc, uint64_t from) {
    const uint32_t size = static_cast<uint32_t>(a->slots.size());
    uint32_t added = 0;
    for (; a->count + added < size; ++added) {
        Slot* s = slot_at(a, a->count + added);
        const unsigned char* p = nullptr;
        if (!scout_next_chunk(sc, from, &s->offset, &p, &s->len)) break;
        std::memcpy(s->raw, p, static_cast<size_t>(s->len));
        s->state.store(SlotState::filled, std::memory_order_relaxed);
    }
    if (added == 0) return;
    std::lock_guard<std::mutex> hold(a->lock);
    a->count += added;
    a->n_filled.fetch_add(added, std::memory_order_release);
    a->work_ready.notify_all();
}

// ---- the workers -------------------------------------------------------------

// The oldest filled slot no one has taken, marked taken; nullptr when none
// (the lock held).
Slot* take_work(Ahead* a) {
    for (; a->next_work < a->count; ++a->next_work) {
        Slot* s = slot_at(a, a->next_work);
        if (s->state.load(std::memory_order_relaxed) == SlotState::filled) {
            mark_taken(a, s);
            ++a->next_work;
            return s;
        }
    }
    return nullptr;
}

void worker_main(Ahead* a) {
    std::unique_lock<std::mutex> hold(a->lock);
    for (;;) {
        Slot* s = take_work(a);
        if (s == nullptr && !a->stopping) {
            hold.unlock();
            spin_until([a] { return a->n_filled.load(std::memory_order_acquire) > 0 || a->stop_seen.load(); });
            hold.lock();
            a->work_ready.wait(hold, [a, &s] { return a->stopping || (s = take_work(a)) != nullptr; });
        }
        if (s == nullptr) return;
        hold.unlock();
        decode_slot(s);
        s->state.store(SlotState::done, std::memory_order_release);
        hold.lock();
        a->slot_done.notify_all();
    }
}

// Returns once slot s is not being decoded (the lock held on entry and on
// return).
void wait_not_taken(Ahead* a, Slot* s, std::unique_lock<std::mutex>& hold) {
    auto ready = [s] { return s->state.load(std::memory_order_acquire) != SlotState::taken; };
    if (ready()) return;
    hold.unlock();
    spin_until(ready);
    hold.lock();
    a->slot_done.wait(hold, ready);
}

// Drops the head slot once no worker decodes it (the lock held).
void drop_head(Ahead* a, std::unique_lock<std::mutex>& hold) {
    Slot* s = slot_at(a, 0);
    wait_not_taken(a, s, hold);
    if (s->state.load(std::memory_order_relaxed) == SlotState::filled) mark_taken(a, s);
    a->head = (a->head + 1) % a->slots.size();
    a->count -= 1;
    if (a->next_work > 0) a->next_work -= 1;
    a->held = false;
}

bool start_thread(Ahead* a, void (*body)(Ahead*)) {
    try {
        a->threads.emplace_back(body, a);
    } catch (const std::exception&) {  // no thread, or no memory for one
        return false;
    }
    return true;
}

// The scout, the main thread's own.
std::unique_ptr<Scout> g_scout;

}  // namespace

void decode_ahead_start(const OpContext* ctx, int32_t n_workers) {
    decode_ahead_stop();
    if (n_workers <= 0) n_workers = static_cast<int32_t>(std::thread::hardware_concurrency());
    if (n_workers > MAX_WORKERS) n_workers = MAX_WORKERS;
    if (n_workers < 2 || names_std_stream(ctx->archive_path) || ctx->read_handle < 0) return;
    int64_t handle_pos = plat::_lseek(ctx->read_handle, 0, plat::SEEK_CUR_);
    if (handle_pos < 0) return;
    int h = plat::_open(ctx->archive_path, plat::OF_RDONLY | plat::OF_BINARY);
    if (h < 0) return;
    std::unique_ptr<Ahead> a(new (std::nothrow) Ahead);
    std::unique_ptr<Scout> sc(new (std::nothrow) Scout);
    if (!a || !sc || !plat::is_same_file(ctx->archive_path, ctx->read_handle)) {
        plat::_close(h);
        return;
    }
    a->scout_handle = h;
    const uint64_t start = block_read_offset();
    sc->r.handle = h;
    sc->r.file_base = handle_pos - block_read_buffered() - static_cast<int64_t>(start);
    sc->r.pos = start;
    for (int32_t i = 0; i < n_workers * SLOTS_PER_WORKER; ++i) {
        std::unique_ptr<Slot> s(new (std::nothrow) Slot);
        if (!s) break;
        s->area = lzw_decode_area_new();
        if (s->area == nullptr) break;
        a->slots.push_back(std::move(s));
    }
    try {
        sc->r.buf.resize(SCOUT_READ);
    } catch (const std::exception&) {
        a->slots.clear();
    }
    g_ahead = a.release();
    g_scout = std::move(sc);
    if (g_ahead->slots.size() < 2) {
        decode_ahead_stop();
        return;
    }
    // The threads start with the signals that end the process blocked, so
    // they reach the main thread, which removes what it was writing.  The
    // main thread writes what they decode and decodes what no worker has
    // taken: one worker fewer than threads.
    plat::block_end_signals(true);
    for (int32_t i = 0; i < n_workers - 1; ++i) {
        if (!start_thread(g_ahead, worker_main)) break;
    }
    plat::block_end_signals(false);
}

void decode_ahead_stop() {
    Ahead* a = g_ahead;
    g_scout.reset();
    if (a == nullptr) return;
    g_ahead = nullptr;
    {
        std::lock_guard<std::mutex> hold(a->lock);
        a->stopping = true;
        a->stop_seen.store(true);
    }
    a->work_ready.notify_all();
    for (std::thread& t : a->threads) t.join();
    for (auto& s : a->slots) {
        if (s) lzw_decode_area_free(s->area);
    }
    if (a->scout_handle >= 0) plat::_close(a->scout_handle);
    delete a;
}

AheadResult decode_ahead_take(uint64_t offset, const unsigned char* raw, int32_t len, const unsigned char** data,
                              int32_t* count) {
    Ahead* a = g_ahead;
    if (a == nullptr) return AheadResult::missed;
    std::unique_lock<std::mutex> hold(a->lock);
    if (a->held) drop_head(a, hold);
    while (a->count > 0 && slot_at(a, 0)->offset < offset) drop_head(a, hold);
    // The ring is topped up once half of it is free, so that the workers
    // are woken once for many slots.
    if (a->count <= a->slots.size() / 2) {
        hold.unlock();
        fill_ring(a, g_scout.get(), offset);
        hold.lock();
    }
    if (a->count == 0) return AheadResult::missed;
    Slot* s = slot_at(a, 0);
    if (s->offset != offset || s->len != len) return AheadResult::missed;
    if (s->state.load(std::memory_order_relaxed) == SlotState::filled) {
        // No worker has taken it yet: decoded here rather than waited for.
        mark_taken(a, s);
        hold.unlock();
        decode_slot(s);
        s->state.store(SlotState::done, std::memory_order_release);
        hold.lock();
    }
    // While a worker decodes it, the main thread decodes the slots after it
    // that no worker has taken yet, as a worker would.
    while (s->state.load(std::memory_order_acquire) == SlotState::taken) {
        Slot* other = take_work(a);
        if (other == nullptr) break;
        hold.unlock();
        decode_slot(other);
        other->state.store(SlotState::done, std::memory_order_release);
        hold.lock();
        a->slot_done.notify_all();
    }
    wait_not_taken(a, s, hold);
    a->held = true;
    if (std::memcmp(s->raw, raw, static_cast<size_t>(len)) != 0) return AheadResult::missed;
    *data = s->out;
    *count = s->out_len;
    return s->out != nullptr ? AheadResult::decoded : AheadResult::corrupt;
}
