// The LZW compressor: the loops over the input and the entry points.
//
// The output is fixed to the byte by the coder's rules: a 5003-slot hash
// with its own probe rule, groups of eight codes, a padded group after a
// clear code, and the ratio check that decides when to clear.
#include <algorithm>
#include <array>
#include <utility>
#include <climits>
#include <cstring>

#include "codec/lzw_dict.h"
#include "codec/lzw_emit.h"

namespace {

// A string not in the dictionary ends at prefix: its code goes out, and
// the string extended by the next byte (key) is entered where the search
// stopped, while codes are left; a full dictionary is checked for its ratio.
bool lzw_miss(LzwContext* ctx, int32_t prefix, int32_t key, const FastPlace& fast_place, int32_t hash_slot) {
    if (!lzw_put_code(ctx, prefix)) return false;
    if (ctx->next_code < ctx->code_limit) {
        lzw_add_string(ctx, key, fast_place, hash_slot);
    } else if (ctx->bytes_in >= ctx->checkpoint && ctx->block_mode) {
        lzw_check_ratio(ctx);
    }
    return true;
}

void lzw_compress_init(LzwContext* ctx) {
    ctx->out_bits = 0;
    ctx->bytes_out = 3;
    ctx->clear_pending = 0;
    ctx->ratio = 0;
    ctx->bytes_in = 0;  // counts the first byte when it arrives
    ctx->checkpoint = RATIO_GAP;
    ctx->code_width = LZW_INIT_BITS;
    ctx->max_code = (1 << LZW_INIT_BITS) - 1;
    ctx->next_code = ctx->block_mode ? LZW_CLEAR_CODE + 1 : LZW_CLEAR_CODE;
    ctx->saved_prefix = -1;
    int n_doublings = 0;
    for (int32_t n = ctx->hash_size; n < 65536; n *= 2) ++n_doublings;
    ctx->hash_shift = 8 - n_doublings;
    lzw_clear_dictionary(ctx);
}

// Codes the bytes from p to end one by one while the fast table answers
// lookups (stop_after_miss: up to the first code written); returns where
// it stopped, nullptr when the sink refused.
const unsigned char* lzw_run_fast_bytes(LzwContext* ctx, const unsigned char* p,
                                        const unsigned char* end, bool stop_after_miss) {
    LzwFastSlot* const slots = ctx->fast_slots;
    const unsigned char* const start = p;
    const int32_t bytes_in_base = ctx->bytes_in;
    uint32_t prefix = static_cast<uint32_t>(ctx->saved_prefix);
    while (p < end) {
        const uint32_t c = *p++;
        const uint32_t key = (c << 12) | prefix;
        FastPlace place{};
        const uint32_t code = lzw_fast_find(slots, prefix, c, &place);
        if (code != 0) {
            prefix = code;
            continue;
        }
        ctx->bytes_in = bytes_in_base + static_cast<int32_t>(p - start);
        if (!lzw_miss(ctx, static_cast<int32_t>(prefix), static_cast<int32_t>(key), place, -1)) {
            return nullptr;
        }
        prefix = c;
        if (ctx->hash_probe || stop_after_miss) break;
    }
    ctx->bytes_in = bytes_in_base + static_cast<int32_t>(p - start);
    ctx->saved_prefix = static_cast<int32_t>(prefix);
    return p;
}

constexpr int32_t BATCH_CAP = 2048;

// The fast table's loop over a stretch in which every miss enters a string
// and the dictionary cannot fill before the stretch's last byte.  A lookup
// and its outcome take no branch: a miss notes its code, fills the free
// slot and starts the next string at c, a hit stores the slot back
// unchanged.  It stops after the two-zero string is entered while slot 0
// of the 5003-slot table is taken (*displaced).  Returns where it stopped.
template <bool kNoteMisses>
const unsigned char* lzw_scan_growing(LzwContext* ctx, const unsigned char* p,
                                      const unsigned char* end, uint16_t* codes, uint16_t* miss_at,
                                      int32_t* n_codes, bool* displaced, bool* overflow) {
    const unsigned char* const start = p;
    LzwFastSlot* const slots = ctx->fast_slots;
    int32_t* const code_keys = ctx->code_keys;
    uint64_t next_code = static_cast<uint32_t>(ctx->next_code);
    uint64_t prefix = static_cast<uint32_t>(ctx->saved_prefix);
    uint32_t home0_taken = ctx->home0_taken;
    LzwFastSlot spare{};  // takes the store of a string that found no slot
    int32_t n = 0;
    while (p < end) {
        const uint32_t c = *p++;
        const LzwFastSlot* const base = lzw_fast_base(slots, c);
        const uint32_t key = (c << 12) | static_cast<uint32_t>(prefix);
        LzwFastSlot* slot = const_cast<LzwFastSlot*>(base + prefix);
        FastLookup r;
        if (lzw_fast_lookup(slots, base, prefix, c, &r)) {
            slot = r.slot;
            if (slot == nullptr) {  // the 5003-slot table takes over after this byte
                slot = &spare;
                *overflow = true;
                end = p;
            }
            // A string whose home in the 5003-slot table is slot 0 (its
            // home here is marked) is entered: when it is the two-zero
            // string and that slot is taken already, the 5003-slot table
            // must answer from the next byte on.
            if (r.miss != 0 && prefix == (c << 4)) {
                if (key == 0 && home0_taken != 0) {
                    *displaced = true;
                    end = p;
                }
                home0_taken = 1;
            }
        }
        codes[n] = static_cast<uint16_t>(prefix);
        if (kNoteMisses) miss_at[n] = static_cast<uint16_t>(p - start - 1);
        n += static_cast<int32_t>(r.miss);
        code_keys[next_code] = static_cast<int32_t>(key);
        // A hit stores its slot back unchanged; a miss fills the free slot
        // (whose check is then the one looked for).
        const uint32_t stored = lzw_slot_word(static_cast<uint32_t>(lzw_pick(r.miss, next_code, r.code)), r.check);
        std::memcpy(slot, &stored, sizeof stored);
        next_code += r.miss;
        prefix = lzw_next_prefix(r.slot_check, r.check, r.code, c);
    }
    ctx->home0_taken = static_cast<unsigned char>(home0_taken);
    ctx->saved_prefix = static_cast<int32_t>(prefix);
    *n_codes = n;
    return p;
}

// The same once the dictionary is full: lookups only, no ratio check due.
const unsigned char* lzw_scan_full(LzwContext* ctx, const unsigned char* p,
                                   const unsigned char* end, uint16_t* codes, int32_t* n_codes) {
    LzwFastSlot* const slots = ctx->fast_slots;
    uint64_t prefix = static_cast<uint32_t>(ctx->saved_prefix);
    int32_t n = 0;
    while (p < end) {
        const uint32_t c = *p++;
        FastLookup r;
        lzw_fast_lookup(slots, lzw_fast_base(slots, c), prefix, c, &r);
        codes[n] = static_cast<uint16_t>(prefix);
        n += static_cast<int32_t>(r.miss);
        prefix = lzw_next_prefix(r.slot_check, r.check, r.code, c);
    }
    ctx->saved_prefix = static_cast<int32_t>(prefix);
    *n_codes = n;
    return p;
}

// Enters the strings a growing stretch entered (codes first_next on, one
// per code written) in the shadow table, in order.  When one of them
// pushes the two-zero string out, the stretch was coded with that string
// still in the fast table from there on: the stretch is cut back to end at
// the byte that entered it (*p), the newer strings leave the fast table,
// and the stretch's codes are counted up to that one.  Returns the number
// of codes kept.
int32_t lzw_shadow_batch(LzwContext* ctx, const unsigned char* start, const uint16_t* miss_at,
                         int32_t n_codes, int32_t first_next, const unsigned char** p, bool* overflow) {
    for (int32_t i = 0; i < n_codes; ++i) {
        const int32_t code = first_next + i;
        if (!lzw_shadow_add(ctx, ctx->code_keys[code], code)) continue;
        // The later strings leave the fast table first, newest first, while
        // the two-zero string still lies on their probes.
        lzw_fast_remove_codes(ctx, code + 1, first_next + n_codes);
        lzw_drop_zero_pair(ctx);
        if (i + 1 == n_codes) return n_codes;
        const unsigned char* const cut = start + miss_at[i] + 1;
        *p = cut;
        ctx->saved_prefix = cut[-1];
        *overflow = false;  // a string that found no fast slot was after the cut
        return i + 1;
    }
    return n_codes;
}

// A stretch of at most BATCH_CAP bytes in which no ratio check can fall
// due, with its codes written after it: where it starts and ends, the
// codes it found and what stopped it early.
struct Stretch {
    const unsigned char* start;
    const unsigned char* end;
    int32_t first_next;
    bool growing;
    bool displaced;
    bool overflow;
    int32_t n_codes;
    uint16_t codes[BATCH_CAP];
    uint16_t miss_at[BATCH_CAP];
};

// Starts the stretch at p, ending before end.
void stretch_open(const LzwContext* ctx, const unsigned char* p, const unsigned char* end, Stretch* s) {
    if (end - p > BATCH_CAP) end = p + BATCH_CAP;
    s->start = p;
    s->first_next = ctx->next_code;
    s->growing = s->first_next < ctx->code_limit;
    // Each byte enters at most one string.
    if (s->growing && end - p > ctx->code_limit - s->first_next) end = p + (ctx->code_limit - s->first_next);
    s->end = end;
    s->n_codes = 0;
    s->displaced = false;
    s->overflow = false;
}

// Ends the stretch, scanned up to p: writes its codes and hands the lookups
// to the 5003-slot table when the scan found that it must.  Returns where
// the next stretch starts, nullptr when the sink refused.
const unsigned char* stretch_close(LzwContext* ctx, Stretch* s, const unsigned char* p) {
    if (s->growing && ctx->shadow) {
        s->n_codes = lzw_shadow_batch(ctx, s->start, s->miss_at, s->n_codes, s->first_next, &p, &s->overflow);
    }
    const int32_t scanned_next = s->growing ? s->first_next + s->n_codes : s->first_next;
    if (!lzw_put_codes(ctx, s->codes, s->n_codes, s->first_next, s->growing)) {
        ctx->next_code = scanned_next;  // the codes in the fast table, for the release
        return nullptr;
    }
    ctx->next_code = scanned_next;
    if (s->overflow) {
        lzw_enter_hash_probe(ctx);
    } else if (s->displaced && !ctx->shadow) {
        lzw_enter_shadow(ctx);
    }
    ctx->bytes_in += static_cast<int32_t>(p - s->start);
    return p;
}

// Codes a stretch in one scan.  Returns where it stopped, nullptr when the
// sink refused.
const unsigned char* lzw_run_fast_batch(LzwContext* ctx, const unsigned char* p, const unsigned char* end) {
    Stretch s;
    stretch_open(ctx, p, end, &s);
    if (!s.growing) {
        p = lzw_scan_full(ctx, p, s.end, s.codes, &s.n_codes);
    } else if (ctx->shadow) {
        p = lzw_scan_growing<true>(ctx, p, s.end, s.codes, s.miss_at, &s.n_codes, &s.displaced, &s.overflow);
    } else {
        p = lzw_scan_growing<false>(ctx, p, s.end, s.codes, s.miss_at, &s.n_codes, &s.displaced, &s.overflow);
    }
    return stretch_close(ctx, &s, p);
}

// The end of the bytes from p on that the fast table's batches may code:
// up to end, or to the last byte that cannot start a ratio check; p itself
// when the next byte may start one (it is then coded byte by byte).
const unsigned char* lzw_batch_limit(const LzwContext* ctx, const unsigned char* p, const unsigned char* end) {
    if (ctx->next_code < ctx->code_limit || !ctx->block_mode) return end;
    // Bytes that count below the checkpoint cannot start a ratio check.
    const int64_t n_safe = static_cast<int64_t>(ctx->checkpoint) - ctx->bytes_in - 1;
    if (n_safe <= 0) return p;
    return n_safe < end - p ? p + n_safe : end;
}

// The fast table's lookups: in batches while no ratio check can fall due,
// byte by byte up to the next miss once one can.
const unsigned char* lzw_run_fast(LzwContext* ctx, const unsigned char* p, const unsigned char* end) {
    const unsigned char* const limit = lzw_batch_limit(ctx, p, end);
    if (limit == p) return lzw_run_fast_bytes(ctx, p, end, true);
    return lzw_run_fast_batch(ctx, p, limit);
}

// The same through the 5003-slot table and its probe rule.
const unsigned char* lzw_run_hash(LzwContext* ctx, const unsigned char* p, const unsigned char* end) {
    const unsigned char* const start = p;
    const int32_t bytes_in_base = ctx->bytes_in;
    int32_t prefix = ctx->saved_prefix;
    while (p < end) {
        const int32_t c = *p++;
        const int32_t key = (c << ctx->max_bits) + prefix;
        bool found = false;
        const int32_t slot = lzw_hash_search(ctx, key, (c << ctx->hash_shift) ^ prefix, &found);
        if (found) {
            prefix = ctx->hash_codes[slot];
            continue;
        }
        ctx->bytes_in = bytes_in_base + static_cast<int32_t>(p - start);
        if (!lzw_miss(ctx, prefix, key, FastPlace{}, slot)) return nullptr;
        prefix = c;
        if (!ctx->hash_probe) break;  // a clear code: the fast table is back
    }
    ctx->bytes_in = bytes_in_base + static_cast<int32_t>(p - start);
    ctx->saved_prefix = prefix;
    return p;
}

// Codes the context's input, continuing from the saved prefix.
bool lzw_compress_run(LzwContext* ctx) {
    const unsigned char* p = ctx->input;
    const unsigned char* const end = p + ctx->input_left;
    if (ctx->saved_prefix < 0 && p < end) {  // the first byte of the stream
        ctx->saved_prefix = *p++;
        ctx->bytes_in += 1;
    }
    while (p < end) {
        p = ctx->hash_probe ? lzw_run_hash(ctx, p, end) : lzw_run_fast(ctx, p, end);
        if (p == nullptr) return false;
    }
    ctx->input = end;
    ctx->input_left = 0;
    return true;
}

LzwContext* lzw_compress_open_in(LzwWorkspace* ws, LzwSink sink, void* sink_data, const unsigned char* input,
                                 int32_t input_len) {
    LzwContext* ctx = new (std::nothrow) LzwContext();
    if (ctx == nullptr) return nullptr;
    ctx->workspace = ws;
    ctx->tables = lzw_take_tables(ws);
    if (ctx->tables == nullptr) {
        delete ctx;
        return nullptr;
    }
    ctx->sink = sink;
    ctx->sink_data = sink_data;
    ctx->hash_size = LZW_HASH_SIZE;
    ctx->hash_keys = ctx->tables->hash_keys;
    ctx->hash_codes = ctx->tables->hash_codes;
    ctx->fast_slots = ctx->tables->fast_slots;
    ctx->code_keys = ctx->tables->code_keys;
    ctx->max_bits = LZW_MAX_BITS;
    ctx->code_limit = 1 << LZW_MAX_BITS;
    ctx->block_mode = LZW_BLOCK_MODE;
    // A failing step has released the context already.
    if (!lzw_compress_step(ctx, sink_data, input, input_len)) return nullptr;
    return ctx;
}

// The area of a block to compress: empty, and taking at most one byte
// less than the block, since a stream that long is stored raw anyway.
void block_area_open(LzwArea* area, int32_t length) {
    area->count = 0;
    area->cap = length <= 0 ? 0 : std::min(static_cast<uint32_t>(length) - 1, CODEC_OUT_SIZE);
}

// A block's result once its stream is complete (whole) or abandoned:
// without memory for the tables, or when the stream would not be shorter
// than the block, the block is stored as it is.
int32_t block_area_result(LzwArea* area, int32_t length, bool whole, const unsigned char** result) {
    area->cap = CODEC_OUT_SIZE;
    *result = nullptr;
    if (!whole) return length;
    const int32_t stream_len = static_cast<int32_t>(area->count);
    if (length <= stream_len) return length;
    *result = area->bytes;
    return stream_len;
}

// ---- several chunks at once ------------------------------------------------
//
// Each chunk of a batch (a lane) has its own context, tables and area, and
// is coded by the same stretches as alone: stretch_open and stretch_close
// are the single chunk's, and only the scan between them steps through the
// lanes together, byte i of every lane in turn, so that one lane's table
// load waits while the others' proceed.  Where a stretch ends matters to
// no output (the codes come out the same however a chunk is cut into
// stretches), so a round of the scan runs as many bytes as the shortest
// stretch has left, and a stretch may take several rounds.  What the
// single chunk's loops do outside the fast table's batches (the bytes
// before a ratio check, coded one by one) a lane does alone between
// rounds; a lane whose 5003-slot table answers lookups finishes alone, as
// does the last lane.

struct Lane {
    LzwContext* ctx;
    LzwArea* area;
    LzwBlock* block;
    const unsigned char* p;
    const unsigned char* end;
    Stretch s;
    uint32_t keys[BATCH_CAP];  // the key of each string written in the stretch
    LzwFastSlot spare;         // takes the store of a string that found no slot
};

// Rounds over lanes whose 5003-slot table notes strings (shadow) note above
// each key, from bit KEY_AT_SHIFT on, the byte of the round at which its
// string was written (below BATCH_CAP); lane_note_misses moves it to miss_at.
constexpr uint32_t KEY_AT_SHIFT = 20;
static_assert(BATCH_CAP <= (1 << (32 - KEY_AT_SHIFT)), "a byte of the round fits above a key");
constexpr uint32_t KEY_MASK = (1u << KEY_AT_SHIFT) - 1;

// After a round that took the lane's keys n_before on from byte `from` of
// its stretch: the byte of each miss goes from its key to miss_at.
void lane_note_misses(Lane* lane, int32_t n_before, int32_t from) {
    Stretch* const s = &lane->s;
    for (int32_t j = n_before; j < s->n_codes; ++j) {
        s->miss_at[j] = static_cast<uint16_t>(from + static_cast<int32_t>(lane->keys[j] >> KEY_AT_SHIFT));
        lane->keys[j] &= KEY_MASK;
    }
}

// Finishes the lane's chunk: its stream is whole when ok.
void lane_close(Lane* lane, bool ok) {
    const bool whole = ok && lzw_compress_close(lane->ctx, lane->area);
    lane->ctx = nullptr;
    lane->block->result_len = block_area_result(lane->area, lane->block->length, whole, &lane->block->result);
}

// The sink refused the lane's stream (it would not be shorter than its
// chunk): the chunk is stored raw.
void lane_refused(Lane* lane) {
    lzw_release(lane->ctx);
    lane->ctx = nullptr;
    lane->block->result_len = block_area_result(lane->area, lane->block->length, false, &lane->block->result);
}

// Ends the lane's stretch where its scan got to.  False when the chunk is
// done (refused).
bool lane_end_stretch(Lane* lane) {
    Stretch* const s = &lane->s;
    for (int32_t j = 0; j < s->n_codes; ++j) s->codes[j] = static_cast<uint16_t>(lane->keys[j] & CODE_MASK);
    if (s->growing) {
        int32_t* const code_keys = lane->ctx->code_keys + s->first_next;
        for (int32_t j = 0; j < s->n_codes; ++j) code_keys[j] = static_cast<int32_t>(lane->keys[j]);
    }
    lane->p = stretch_close(lane->ctx, s, lane->p);
    if (lane->p != nullptr) return true;
    lane_refused(lane);
    return false;
}

// Codes the rest of the lane's chunk alone.
void lane_finish_alone(Lane* lane) {
    // A failing step has released the context already.
    if (!lzw_compress_step(lane->ctx, lane->area, lane->p, static_cast<int32_t>(lane->end - lane->p))) {
        lane->ctx = nullptr;
        lane->block->result_len = block_area_result(lane->area, lane->block->length, false, &lane->block->result);
        return;
    }
    lane_close(lane, true);
}

// Ends the lane's stretch (when close_first) and opens its next one, coding
// alone what cannot be scanned with the others.  False when the lane has
// left the batch, its chunk done.
bool lane_next_stretch(Lane* lane, bool close_first) {
    LzwContext* const ctx = lane->ctx;
    if (close_first && !lane_end_stretch(lane)) return false;
    for (;;) {
        if (lane->p == lane->end) {
            lane_close(lane, true);
            return false;
        }
        if (ctx->hash_probe) {
            lane_finish_alone(lane);
            return false;
        }
        const unsigned char* const limit = lzw_batch_limit(ctx, lane->p, lane->end);
        if (limit != lane->p) break;
        lane->p = lzw_run_fast_bytes(ctx, lane->p, lane->end, true);
        if (lane->p == nullptr) {
            lane_refused(lane);
            return false;
        }
    }
    stretch_open(ctx, lane->p, lzw_batch_limit(ctx, lane->p, lane->end), &lane->s);
    return true;
}

// Opens chunk i of the batch in lane.  False when the chunk is done
// already (empty, or no memory for its tables).
bool lane_open(Lane* lane, LzwWorkspace* ws, int32_t i, LzwBlock* block) {
    lane->block = block;
    lane->area = lzw_batch_area(ws, i);
    lane->p = block->data;
    lane->end = block->length > 0 && block->data != nullptr ? block->data + block->length : block->data;
    block_area_open(lane->area, block->length);
    lane->ctx = lzw_compress_open_in(ws, buffer_sink, lane->area, block->data, 0);
    if (lane->ctx == nullptr) {
        block->result_len = block_area_result(lane->area, block->length, false, &block->result);
        return false;
    }
    if (lane->p < lane->end) {  // the first byte of the stream
        lane->ctx->saved_prefix = *lane->p++;
        lane->ctx->bytes_in += 1;
    }
    return lane_next_stretch(lane, false);
}

// What a lookup past the home found: the slot to store to, the string's
// code (0: a miss), its check there, and whether the round must stop
// after this byte.
struct PastHome {
    LzwFastSlot* slot;
    uint32_t code;
    uint16_t check;
    uint8_t miss;
    uint8_t stop;
};

// A lane's lookup of (prefix, c) past its home, with what lzw_scan_growing
// does there: a string that finds no slot hands the lookups to the
// 5003-slot table after this byte (overflow), and the two-zero string
// entered while slot 0 of that table is taken makes it note strings from
// the next byte on (displaced).
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline PastHome lane_past_home(Lane* lane, uint32_t prefix, uint32_t c) {
    FastPlace place{};
    PastHome r{};
    r.code = lzw_fast_probe(lane->ctx->fast_slots, prefix, c, &place);
    r.miss = r.code == 0 ? 1 : 0;
    r.check = static_cast<uint16_t>(place.check);
    r.slot = place.slot;
    if (!lane->s.growing) return r;  // a full dictionary enters nothing
    if (r.slot == nullptr) {
        r.slot = &lane->spare;
        lane->s.overflow = true;
        r.stop = 1;
    }
    if (r.miss != 0 && prefix == (c << 4)) {
        if (c == 0 && prefix == 0 && lane->ctx->home0_taken != 0) {
            lane->s.displaced = true;
            r.stop = 1;
        }
        lane->ctx->home0_taken = 1;
    }
    return r;
}

// One round over K lanes (bit l of kGrowing: lane l's dictionary grows;
// kShadow: some lane's 5003-slot table notes strings): at most m bytes of
// each lane's stretch, fewer when a lane's stretch must stop (overflow,
// displaced).  The body is lzw_scan_growing's (or lzw_scan_full's), except
// that a lane notes the key of each string it writes (whose low 12 bits are
// the code written), for stretch_close, and with kShadow the byte of the
// round that wrote it above the key.  Returns the number of bytes each lane
// took.
template <int K, unsigned kGrowing, bool kShadow>
#if defined(__GNUC__)
__attribute__((noinline))
#endif
int32_t scan_round(Lane* const* lanes, int32_t m) {
    // Carried from byte to byte in registers: each lane's prefix and count
    // of codes; the rest stays put.
    const unsigned char* src[K];
    LzwFastSlot* slots[K];
    uint32_t* keys[K];
    uint64_t first_next[K];
    uint64_t prefix[K];
    uint64_t n[K];
    for (int l = 0; l < K; ++l) {
        Lane* const lane = lanes[l];
        src[l] = lane->p;
        slots[l] = lane->ctx->fast_slots;
        keys[l] = lane->keys;
        first_next[l] = static_cast<uint32_t>(lane->s.first_next);
        prefix[l] = static_cast<uint32_t>(lane->ctx->saved_prefix);
        n[l] = static_cast<uint32_t>(lane->s.n_codes);
    }
    int32_t i = 0;
    uint32_t stop = 0;
    do {
        const uint32_t at_bits = kShadow ? static_cast<uint32_t>(i) << KEY_AT_SHIFT : 0;
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC unroll 4
#endif
        for (int l = 0; l < K; ++l) {
            const bool growing = ((kGrowing >> l) & 1) != 0;
            const uint32_t c = lzw_opaque(src[l])[i];
            const LzwFastSlot* const base = lzw_fast_base(lzw_opaque(slots[l]), c);
            uint32_t check = lzw_fast_check(c, 0);
            uint32_t slot_check = 0;
            uint64_t code = 0;
            lzw_fast_load(base, prefix[l], &slot_check, &code);
            uint32_t miss = 0;
            uint64_t next_prefix = lzw_next_prefix_miss(slot_check, check, code, c, &miss);
            LzwFastSlot* slot = const_cast<LzwFastSlot*>(base + prefix[l]);
            if (__builtin_expect(lzw_fast_collision(miss, slot_check), 0)) {
                const PastHome r = lane_past_home(lanes[l], static_cast<uint32_t>(prefix[l]), c);
                slot = r.slot;
                miss = r.miss;
                check = r.check;
                code = r.code;
                next_prefix = miss != 0 ? c : r.code;
                stop |= r.stop;
            }
            lzw_opaque(keys[l])[n[l]] = (c << 12) | static_cast<uint32_t>(prefix[l]) | at_bits;
            if (growing) {
                // A hit stores its slot back unchanged, a miss fills the
                // free slot: the store's address is known before the load
                // it follows has returned, so later loads never wait on it.
                slot->code = static_cast<uint16_t>(lzw_pick(miss, first_next[l] + n[l], code));
                slot->check = static_cast<uint16_t>(check);
            }
            n[l] += miss;
            prefix[l] = next_prefix;
        }
        ++i;
    } while (i < m && stop == 0);
    for (int l = 0; l < K; ++l) {
        Lane* const lane = lanes[l];
        lane->ctx->saved_prefix = static_cast<int32_t>(prefix[l]);
        lane->s.n_codes = static_cast<int32_t>(n[l]);
    }
    return i;
}

using ScanRound = int32_t (*)(Lane* const*, int32_t);

template <int K, bool kShadow, unsigned... kMasks>
constexpr std::array<ScanRound, sizeof...(kMasks)> scan_rounds(std::integer_sequence<unsigned, kMasks...>) {
    return {scan_round<K, kMasks, kShadow>...};
}

// scan_round for the lanes as they are.
template <int K>
int32_t scan_lanes(Lane* const* lanes, int32_t m) {
    static constexpr std::array<ScanRound, 1u << K> rounds =
        scan_rounds<K, false>(std::make_integer_sequence<unsigned, 1u << K>());
    static constexpr std::array<ScanRound, 1u << K> shadow_rounds =
        scan_rounds<K, true>(std::make_integer_sequence<unsigned, 1u << K>());
    unsigned growing = 0;
    bool shadow = false;
    for (int l = 0; l < K; ++l) {
        growing |= (lanes[l]->s.growing ? 1u : 0u) << l;
        shadow = shadow || (lanes[l]->s.growing && lanes[l]->ctx->shadow);
    }
    if (!shadow) return rounds[growing](lanes, m);
    int32_t n_before[K];
    int32_t from[K];
    for (int l = 0; l < K; ++l) {
        n_before[l] = lanes[l]->s.n_codes;
        from[l] = static_cast<int32_t>(lanes[l]->p - lanes[l]->s.start);
    }
    const int32_t taken = shadow_rounds[growing](lanes, m);
    for (int l = 0; l < K; ++l) lane_note_misses(lanes[l], n_before[l], from[l]);
    return taken;
}

}  // namespace

void lzw_set_probe_cap(uint32_t cap) { lzw_probe_cap = cap >= 1 && cap <= FAST_STEP_CAP ? cap : FAST_STEP_CAP; }

LzwContext* lzw_compress_open(LzwSink sink, void* sink_data, const unsigned char* input, int32_t input_len) {
    return lzw_compress_open_in(&lzw_main_workspace, sink, sink_data, input, input_len);
}

bool lzw_compress_step(LzwContext* ctx, void* sink_data, const unsigned char* input,
                       int32_t input_len) {
    ctx->sink_data = sink_data;
    ctx->input = input;
    ctx->input_left = input_len > 0 && input != nullptr ? input_len : 0;
    if (!ctx->started) {
        ctx->started = 1;
        if (!lzw_write_header(ctx)) {
            lzw_release(ctx);
            return false;
        }
        lzw_compress_init(ctx);
    }
    if (!lzw_compress_run(ctx)) {
        lzw_release(ctx);
        return false;
    }
    return true;
}

bool lzw_compress_close(LzwContext* ctx, void* sink_data) {
    ctx->sink_data = sink_data;
    bool ok = ctx->saved_prefix < 0 || lzw_put_code(ctx, ctx->saved_prefix);
    ok = lzw_put_end(ctx) && ok;
    lzw_release(ctx);
    return ok;
}

int32_t compress_block_in(LzwWorkspace* ws, const unsigned char* data, int32_t length,
                          const unsigned char** result) {
    LzwArea* const area = &ws->area;
    block_area_open(area, length);
    LzwContext* ctx = lzw_compress_open_in(ws, buffer_sink, area, data, length);
    const bool whole = ctx != nullptr && lzw_compress_close(ctx, area);
    return block_area_result(area, length, whole, result);
}

int32_t compress_block(const unsigned char* data, int32_t length, const unsigned char** result) {
    return compress_block_in(&lzw_main_workspace, data, length, result);
}

void compress_blocks_in(LzwWorkspace* ws, LzwBlock* blocks, int32_t n) {
    Lane lanes[LZW_BATCH_MAX];
    Lane* active[LZW_BATCH_MAX];
    int32_t n_active = 0;
    for (int32_t i = 0; i < n && i < LZW_BATCH_MAX; ++i) {
        if (lane_open(&lanes[i], ws, i, &blocks[i])) active[n_active++] = &lanes[i];
    }
    while (n_active > 1) {
        int32_t m = INT32_MAX;
        for (int32_t l = 0; l < n_active; ++l) {
            const int32_t left = static_cast<int32_t>(active[l]->s.end - active[l]->p);
            if (left < m) m = left;
        }
        m = n_active == 2 ? scan_lanes<2>(active, m) : n_active == 3 ? scan_lanes<3>(active, m) : scan_lanes<4>(active, m);
        // Chunks whose stretch ended go on to their next one, or leave.
        int32_t kept = 0;
        for (int32_t l = 0; l < n_active; ++l) {
            Lane* const lane = active[l];
            lane->p += m;
            if (lane->p == lane->s.end || lane->s.overflow || lane->s.displaced) {
                if (!lane_next_stretch(lane, true)) continue;
            }
            active[kept++] = lane;
        }
        n_active = kept;
    }
    // The last chunk goes on alone, from the end of what its stretch scanned.
    if (n_active == 1 && lane_end_stretch(active[0])) lane_finish_alone(active[0]);
}
