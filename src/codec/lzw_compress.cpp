// The LZW compressor: the loops over the input and the entry points.
//
// The output is fixed to the byte by the coder's rules: a 5003-slot hash
// with its own probe rule, groups of eight codes, a padded group after a
// clear code, and the ratio check that decides when to clear.
#include <algorithm>

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
    uint32_t key = 0;
    while (p < end) {
        const uint32_t c = *p++;
        key = (c << 12) | prefix;
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
    ctx->saved_key = static_cast<int32_t>(key);
    ctx->saved_slot = -1;
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

// Codes a stretch of at most BATCH_CAP bytes in which no ratio check can
// fall due, with its codes written after the stretch.  Returns where it
// stopped, nullptr when the sink refused.
const unsigned char* lzw_run_fast_batch(LzwContext* ctx, const unsigned char* p,
                                        const unsigned char* end) {
    uint16_t codes[BATCH_CAP];
    uint16_t miss_at[BATCH_CAP];
    if (end - p > BATCH_CAP) end = p + BATCH_CAP;
    const unsigned char* const start = p;
    const int32_t first_next = ctx->next_code;
    const bool growing = first_next < ctx->code_limit;
    int32_t n_codes = 0;
    bool displaced = false;
    bool overflow = false;
    if (growing) {
        // Each byte enters at most one string.
        if (end - p > ctx->code_limit - first_next) end = p + (ctx->code_limit - first_next);
        if (ctx->shadow) {
            p = lzw_scan_growing<true>(ctx, p, end, codes, miss_at, &n_codes, &displaced, &overflow);
            n_codes = lzw_shadow_batch(ctx, start, miss_at, n_codes, first_next, &p, &overflow);
        } else {
            p = lzw_scan_growing<false>(ctx, p, end, codes, miss_at, &n_codes, &displaced, &overflow);
        }
    } else {
        p = lzw_scan_full(ctx, p, end, codes, &n_codes);
    }
    const int32_t scanned_next = growing ? first_next + n_codes : first_next;
    if (!lzw_put_codes(ctx, codes, n_codes, first_next, growing)) {
        ctx->next_code = scanned_next;  // the codes in the fast table, for the release
        return nullptr;
    }
    ctx->next_code = scanned_next;
    if (overflow) {
        lzw_enter_hash_probe(ctx);
    } else if (displaced && !ctx->shadow) {
        lzw_enter_shadow(ctx);
    }
    ctx->bytes_in += static_cast<int32_t>(p - start);
    ctx->saved_key = -1;
    ctx->saved_slot = -1;
    return p;
}

// The fast table's lookups: in batches while no ratio check can fall due,
// byte by byte up to the next miss once one can.
const unsigned char* lzw_run_fast(LzwContext* ctx, const unsigned char* p, const unsigned char* end) {
    if (ctx->next_code < ctx->code_limit || !ctx->block_mode) return lzw_run_fast_batch(ctx, p, end);
    // Bytes that count below the checkpoint cannot start a ratio check.
    const int64_t n_safe = static_cast<int64_t>(ctx->checkpoint) - ctx->bytes_in - 1;
    if (n_safe <= 0) return lzw_run_fast_bytes(ctx, p, end, true);
    if (n_safe < end - p) end = p + n_safe;
    return lzw_run_fast_batch(ctx, p, end);
}

// The same through the 5003-slot table and its probe rule.
const unsigned char* lzw_run_hash(LzwContext* ctx, const unsigned char* p, const unsigned char* end) {
    const unsigned char* const start = p;
    const int32_t bytes_in_base = ctx->bytes_in;
    int32_t prefix = ctx->saved_prefix;
    int32_t key = 0;
    int32_t slot = 0;
    while (p < end) {
        const int32_t c = *p++;
        key = (c << ctx->max_bits) + prefix;
        bool found = false;
        slot = lzw_hash_search(ctx, key, (c << ctx->hash_shift) ^ prefix, &found);
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
    ctx->saved_key = key;
    ctx->saved_slot = slot;
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

LzwContext* lzw_compress_open_in(LzwWorkspace* ws, LzwSink sink, int32_t size_hint, void* sink_data,
                                 const unsigned char* input, int32_t input_len) {
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
    ctx->size_hint = size_hint;
    // A failing step has released the context already.
    if (!lzw_compress_step(ctx, sink_data, input, input_len)) return nullptr;
    return ctx;
}

}  // namespace

void lzw_set_probe_cap(uint32_t cap) { lzw_probe_cap = cap >= 1 && cap <= FAST_STEP_CAP ? cap : FAST_STEP_CAP; }

LzwContext* lzw_compress_open(LzwSink sink, int32_t size_hint, void* sink_data,
                              const unsigned char* input, int32_t input_len) {
    return lzw_compress_open_in(&lzw_main_workspace, sink, size_hint, sink_data, input, input_len);
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
    *result = nullptr;
    LzwArea* const area = &ws->area;
    area->count = 0;
    // Without memory for the tables, or when the stream would not be
    // shorter than the block, the block is stored as it is.
    area->cap = length <= 0 ? 0 : std::min(static_cast<uint32_t>(length) - 1, CODEC_OUT_SIZE);
    LzwContext* ctx = lzw_compress_open_in(ws, buffer_sink, length, area, data, length);
    const bool whole = ctx != nullptr && lzw_compress_close(ctx, area);
    area->cap = CODEC_OUT_SIZE;
    if (!whole) return length;
    const int32_t stream_len = static_cast<int32_t>(area->count);
    if (length <= stream_len) return length;
    *result = area->bytes;
    return stream_len;
}

int32_t compress_block(const unsigned char* data, int32_t length, const unsigned char** result) {
    return compress_block_in(&lzw_main_workspace, data, length, result);
}
