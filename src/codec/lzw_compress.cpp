// The LZW compressor, the codec output area with buffer_sink, and the input
// routines that the decompressor shares.
//
// The output is fixed to the byte by the coder's rules: a 5003-slot hash
// with its own probe rule, groups of eight codes, a padded group after a
// clear code, and the ratio check that decides when to clear.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "codec/lzw_internal.h"

// A compressor's four tables in one block, handed from one context to the
// next.
struct LzwTables {
    LzwFastSlot fast_slots[LZW_FAST_SLOTS];
    int32_t code_keys[1 << LZW_MAX_BITS];
    int32_t hash_keys[LZW_HASH_SIZE];
    uint16_t hash_codes[LZW_HASH_SIZE];
};

// A codec output area: 16 bytes beyond the end take the tail of whole
// 16-byte copies.  cap is how many bytes the compressor may put there:
// compress_block lowers it to one less than its input, since a stream that
// long is stored raw anyway, so an incompressible chunk stops coding as
// soon as its stream is too long to be used.
struct LzwArea {
    unsigned char bytes[CODEC_OUT_SIZE + 16];
    uint32_t count = 0;
    uint32_t cap = CODEC_OUT_SIZE;
};

// What one coding thread owns: its output area, and the tables of the last
// compressor context it released, kept for the next one so that a chunk
// costs no allocation.  Contexts open at the same time get tables of their
// own.  Kept tables hold no string in their fast table.
struct LzwWorkspace {
    LzwArea area;
    std::unique_ptr<LzwTables> spare_tables;
};

namespace {

// The main thread's workspace, behind compress_block and decompress_block.
LzwWorkspace g_main_workspace;

void lzw_blank_fast_table(LzwFastSlot* slots);
void lzw_fast_remove_codes(LzwContext* ctx, int32_t first, int32_t end);

LzwTables* lzw_take_tables(LzwWorkspace* ws) {
    if (ws->spare_tables != nullptr) return ws->spare_tables.release();
    LzwTables* tables = new (std::nothrow) LzwTables;
    if (tables != nullptr) lzw_blank_fast_table(tables->fast_slots);
    return tables;
}

void lzw_put_back_tables(LzwWorkspace* ws, LzwTables* tables) {
    if (ws->spare_tables == nullptr) ws->spare_tables.reset(tables);
    else delete tables;
}

// The area buffer_sink appends to: the one named by the sink data, or the
// main thread's.
inline LzwArea* lzw_area_of(const LzwContext* ctx) {
    return ctx->sink_data != nullptr ? static_cast<LzwArea*>(ctx->sink_data) : &g_main_workspace.area;
}

constexpr int32_t RATIO_GAP = 10000;  // input bytes between ratio checks

// The dictionary.  Its strings are keyed (byte << 12) + prefix code in the
// 5003-slot hash table, whose probe rule is part of the output: a probe
// that reaches a slot holding key 0 (the string of two zero bytes) ends
// there as at an empty slot, so the new string takes that slot and the
// two-zero string is lost, and strings further along become unreachable.
// That matters only once key 0 sits away from its home slot 0: no probe
// from another home slot passes slot 0 (the probe from slot s visits 2s,
// 3s, ... modulo the prime 5003).  Until then the 5003-slot table holds
// exactly the dictionary, so lookups go to fast_slots, a sparse table with
// short probes, and the 5003-slot table is not kept at all; when the
// two-zero string arrives with slot 0 taken, the 5003-slot table is built
// by entering the codes again in the order they were assigned (which
// gives the same slots).  It does not answer lookups: a string in the
// dictionary is always found along its probe, since the slot holding key 0
// was empty when every older string was entered (its probe would have
// stopped there), and a newer string whose probe reaches that slot is
// entered there.  What the rule changes is which strings stay in the
// dictionary: a string entered in the slot of key 0 pushes the two-zero
// string out.  So from then on every string entered goes into the
// 5003-slot table too (the "shadow" table), and when one lands on key 0 the
// two-zero string leaves the fast table.  Lookups stay in the fast table.
// The 5003-slot table answers lookups only when the fast table's probe
// grows too long (never in practice), until the next clear.

constexpr uint32_t CODE_MASK = 0xFFF;
constexpr uint32_t FAST_MASK = LZW_FAST_SLOTS - 1;
// A fast-table slot holds a string's code and a check: the string's last
// byte, how many probe steps from its home it lies (0 for most), and
// FAST_USED; an empty slot's check is 0.  With the byte and the step count
// the slot's place gives the prefix, so the check settles a lookup alone,
// with one compare, and a slot takes 4 bytes.
constexpr uint32_t FAST_USED = 0x8000u;
constexpr uint32_t FAST_STEP_CAP = 127;  // step counts 0..126 are stored
// How many steps a probe may take before the 5003-slot table takes over:
// FAST_STEP_CAP, lowered by tests so that the take-over is exercised.
uint32_t g_probe_cap = FAST_STEP_CAP;
// The check of a slot that marks the home of a string whose home in the
// 5003-slot table is slot 0 (keys whose prefix is 16 times their byte,
// the two-zero string among them) while that string is not in the table.
// No string has this check, so looking such a string up takes the probe's
// path until it is entered (at its home, in place of the mark), and there
// its entry is watched: the loops over the input need not test every
// byte for these strings.  Other strings step over a mark.
constexpr uint32_t FAST_MARK = FAST_USED | (FAST_STEP_CAP << 8);
// The check of a slot whose string left the dictionary while newer strings
// may lie beyond it along their probes: no string has it and none takes it.
constexpr uint32_t FAST_GAP = FAST_MARK | 1;

// The check of the string ending in c that lies `steps` probe steps from
// its home.
inline uint32_t lzw_fast_check(uint32_t c, uint32_t steps) { return FAST_USED | (steps << 8) | c; }

// The fast table's probe for (prefix, c) starts at home[c] + prefix, so
// that the slot's address is a base per byte value, found while the
// previous lookup is still on its way, plus the prefix code as an index:
// no arithmetic lies between one lookup's result and the next one's load.
// The homes of a byte value are 4096 slots side by side, so every home
// lies inside the table.  A probe steps by an odd step longer than those
// 4096 slots, so that it leaves the homes of strings with the same last
// byte (whose prefixes are often neighbouring codes) at once.
struct FastMix {
    uint32_t home[256];
};
constexpr uint32_t FAST_STEP = 12289;

constexpr FastMix lzw_fast_mix() {
    FastMix mix{};
    for (uint32_t c = 0; c < 256; ++c) {
        const uint64_t spread = static_cast<uint64_t>(c * 0x9E3779B1u) * (LZW_FAST_SLOTS - 4095);
        mix.home[c] = static_cast<uint32_t>(spread >> 32);
    }
    return mix;
}

constexpr FastMix FAST_MIX = lzw_fast_mix();

// Hides a value's origin from the compiler, which would otherwise turn
// the tests made on it back into branches on hit and miss (no predictor
// foresees those) or fold a base pointer into the index arithmetic.
template <typename T>
inline T lzw_opaque(T v) {
#if defined(__GNUC__)
    asm("" : "+r"(v));
#endif
    return v;
}

// The first slot of the probe for strings ending in c.
inline const LzwFastSlot* lzw_fast_base(const LzwFastSlot* slots, uint32_t c) {
    return lzw_opaque(slots + FAST_MIX.home[c]);
}

// Loads the slot at base + prefix: its check and its code.  The loads are
// written out so that each is one instruction indexed by the prefix (the
// compiler would otherwise add the two first, or load the slot once and
// take it apart, all on the path from one lookup to the next).
inline void lzw_fast_load(const LzwFastSlot* base, uint64_t prefix, uint32_t* check, uint64_t* code) {
#if defined(__GNUC__) && defined(__x86_64__)
    uint32_t k;
    uint32_t c;
    asm("movzwl 2(%[b],%[p],4), %[k]\n\tmovzwl (%[b],%[p],4), %[c]"
        : [k] "=&r"(k), [c] "=r"(c)
        : [b] "r"(base), [p] "r"(prefix)
        : "memory");
    *check = k;
    *code = c;
#else
    *check = base[prefix].check;
    *code = base[prefix].code;
#endif
}

// The next prefix: code when the slot's check is the one looked for (a
// hit), else c, by a conditional move.
inline uint64_t lzw_next_prefix(uint32_t slot_check, uint32_t check, uint64_t code, uint64_t c) {
#if defined(__GNUC__) && defined(__x86_64__)
    asm("cmpl %[k], %[s]\n\tcmovne %[c], %[n]" : [n] "+r"(code) : [k] "r"(check), [s] "r"(slot_check), [c] "r"(c) : "cc");
    return code;
#else
    return slot_check == check ? code : c;
#endif
}

// 1 when the slot's check is not the one looked for (a miss, or another
// string), else 0, as a value: the compiler would make a branch of the
// test, and no predictor foresees hit and miss.
inline uint32_t lzw_fast_other(uint32_t slot_check, uint32_t check) {
#if defined(__GNUC__) && defined(__x86_64__)
    uint32_t other;
    asm("xorl %[o], %[o]\n\tcmpl %[k], %[s]\n\tsetne %b[o]"
        : [o] "=&r"(other)
        : [k] "r"(check), [s] "r"(slot_check)
        : "cc");
    return other;
#else
    return lzw_opaque(slot_check != check ? 1u : 0u);
#endif
}

// a when flag is 1, b when it is 0, by a conditional move.
inline uint64_t lzw_pick(uint32_t flag, uint64_t a, uint64_t b) {
#if defined(__GNUC__) && defined(__x86_64__)
    asm("testl %[f], %[f]\n\tcmovne %[a], %[b]" : [b] "+r"(b) : [f] "r"(flag), [a] "r"(a) : "cc");
    return b;
#else
    return flag != 0 ? a : b;
#endif
}

// A slot as one 32-bit word, stored at once.
inline uint32_t lzw_slot_word(uint32_t code, uint32_t check) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return (code << 16) | check;
#else
    return (check << 16) | code;
#endif
}

// The slot holds another string (or a mark): the probe goes on.  Taken
// rarely (the table is at most a fifteenth full).
inline bool lzw_fast_collision(uint32_t other, uint32_t slot_check) {
    return (other & (slot_check >> 15)) != 0;
}

// Where a string is, or would go, in the fast table: the slot and the
// check it has there.  slot is nullptr when the free slot lies too many
// steps away to be noted in a check; the 5003-slot table must take over.
struct FastPlace {
    LzwFastSlot* slot;
    uint32_t check;
};

// Looks (prefix, c) up in the fast table: returns the string's code when
// it is there, otherwise 0 (no string has code 0), with *place the slot
// that holds it or the free slot where it would go.  Kept out of line: the
// loops over the input call it only past a home that holds another string.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
uint32_t lzw_fast_find(LzwFastSlot* slots, uint32_t prefix, uint32_t c, FastPlace* place) {
    uint32_t at = FAST_MIX.home[c] + prefix;
    // A marked home is free for its own strings.
    const uint32_t free_check = prefix == (c << 4) ? FAST_MARK : 0;
    for (uint32_t steps = 0; steps < g_probe_cap; ++steps) {
        const uint32_t check = lzw_fast_check(c, steps);
        const uint32_t slot_check = slots[at].check;
        if (slot_check == check || slot_check == 0 || (steps == 0 && slot_check == free_check)) {
            *place = FastPlace{&slots[at], check};
            return slot_check == check ? slots[at].code : 0;
        }
        at = (at + FAST_STEP) & FAST_MASK;
    }
    *place = FastPlace{nullptr, 0};
    return 0;
}

int32_t lzw_hash_home(const LzwContext* ctx, int32_t key) {
    return ((key >> ctx->max_bits) << ctx->hash_shift) ^ (key & ((1 << ctx->max_bits) - 1));
}
// Every slot of the 5003-slot table empty.  -1 in every byte is -1 in
// every 32-bit slot.
void lzw_clear_hash(LzwContext* ctx) {
    std::memset(ctx->hash_keys, 0xFF, sizeof(int32_t) * static_cast<size_t>(ctx->hash_size));
}

// A fast table without strings: every slot empty but the marks.
void lzw_blank_fast_table(LzwFastSlot* slots) {
    std::memset(slots, 0, sizeof(LzwFastSlot) * LZW_FAST_SLOTS);
    for (uint32_t c = 0; c < 256; ++c) slots[FAST_MIX.home[c] + (c << 4)] = LzwFastSlot{0, FAST_MARK};
}

// Takes the strings out of the fast table, which then holds none.
// While it answers lookups it holds the codes from the first string code
// up to next_code, and none once the 5003-slot table has taken over.  A
// few codes are taken out one by one, newest first, so that every older
// string is still found along its probe; many, by clearing the table.
void lzw_empty_fast_table(LzwContext* ctx) {
    const int32_t first_code = ctx->block_mode ? LZW_CLEAR_CODE + 1 : LZW_CLEAR_CODE;
    if (ctx->hash_probe || ctx->next_code <= first_code) return;
    LzwFastSlot* const slots = ctx->fast_slots;
    if (ctx->next_code - first_code > LZW_FAST_SLOTS / 32 || ctx->fast_gaps) {
        lzw_blank_fast_table(slots);
        ctx->fast_gaps = 0;
        return;
    }
    lzw_fast_remove_codes(ctx, first_code, ctx->next_code);
}

// Takes the strings of codes first to end - 1 out of the fast table, newest
// first, so that every older string is still found along its probe.
void lzw_fast_remove_codes(LzwContext* ctx, int32_t first, int32_t end) {
    LzwFastSlot* const slots = ctx->fast_slots;
    for (int32_t code = end - 1; code >= first; --code) {
        const uint32_t key = static_cast<uint32_t>(ctx->code_keys[code]);
        FastPlace place{};
        // A string that found no slot (the 5003-slot table took over at
        // it) is not there.
        const uint32_t prefix = key & CODE_MASK;
        const uint32_t c = key >> 12;
        if (lzw_fast_find(slots, prefix, c, &place) == 0) continue;
        const bool marked_home = prefix == (c << 4) && place.check == lzw_fast_check(c, 0);
        *place.slot = LzwFastSlot{0, static_cast<uint16_t>(marked_home ? FAST_MARK : 0)};
    }
}

// An empty dictionary, looked up through the fast table.
void lzw_clear_dictionary(LzwContext* ctx) {
    lzw_empty_fast_table(ctx);
    ctx->hash_probe = 0;
    ctx->shadow = 0;
    ctx->home0_taken = 0;
}

// Searches the 5003-slot table from slot: returns the slot holding key
// (*found set) or the slot where the search stopped.  At the first slot
// only an empty slot (-1) ends the search; further along, key 0 ends it too.
int32_t lzw_hash_search(const LzwContext* ctx, int32_t key, int32_t slot, bool* found) {
    const int32_t* const keys = ctx->hash_keys;
    int32_t slot_key = keys[slot];
    if (slot_key != key && slot_key >= 0) {
        const int32_t disp = slot == 0 ? 1 : ctx->hash_size - slot;
        do {
            slot -= disp;
            if (slot < 0) slot += ctx->hash_size;
            slot_key = keys[slot];
        } while (slot_key != key && slot_key > 0);
    }
    *found = slot_key == key;
    return slot;
}

// Builds the 5003-slot table from the codes assigned so far: entering them
// again in the order they were assigned, with the probe rule, gives every
// string the slot it had (and drops the strings that were pushed out).
void lzw_build_hash(LzwContext* ctx) {
    lzw_clear_hash(ctx);
    const int32_t first_code = ctx->block_mode ? LZW_CLEAR_CODE + 1 : LZW_CLEAR_CODE;
    for (int32_t code = first_code; code < ctx->next_code; ++code) {
        const int32_t key = ctx->code_keys[code];
        bool found = false;
        const int32_t slot = lzw_hash_search(ctx, key, lzw_hash_home(ctx, key), &found);
        ctx->hash_keys[slot] = key;
        ctx->hash_codes[slot] = static_cast<uint16_t>(code);
    }
}

// Makes the 5003-slot table answer lookups from now on.
void lzw_enter_hash_probe(LzwContext* ctx) {
    lzw_build_hash(ctx);
    lzw_empty_fast_table(ctx);
    ctx->hash_probe = 1;
    ctx->shadow = 0;
}

// The two-zero string was entered away from slot 0: the 5003-slot table is
// built and from now on notes every string entered.
void lzw_enter_shadow(LzwContext* ctx) {
    lzw_build_hash(ctx);
    ctx->shadow = 1;
}

// Takes the two-zero string out of the fast table.  Its slot becomes a gap
// that every probe steps over (strings entered after it may lie beyond it
// along their probes, a string sharing its home among them), and the table
// is blanked whole when the context ends.
void lzw_drop_zero_pair(LzwContext* ctx) {
    FastPlace place{};
    if (lzw_fast_find(ctx->fast_slots, 0, 0, &place) == 0) return;
    *place.slot = LzwFastSlot{0, static_cast<uint16_t>(FAST_GAP)};
    ctx->fast_gaps = 1;
}

// Enters key under code in the shadow table.  True when it took the slot of
// the two-zero string, which has then left the dictionary: the caller takes
// it out of the fast table.
bool lzw_shadow_add(LzwContext* ctx, int32_t key, int32_t code) {
    bool found = false;
    const int32_t slot = lzw_hash_search(ctx, key, lzw_hash_home(ctx, key), &found);
    const bool pushed_out = ctx->hash_keys[slot] == 0;
    ctx->hash_keys[slot] = key;
    ctx->hash_codes[slot] = static_cast<uint16_t>(code);
    return pushed_out;
}

// Notes a string entered while the fast table answers: true when it is
// the two-zero string and slot 0 of the 5003-slot table is taken, so that
// it lands elsewhere and the probe rule starts to matter.
bool lzw_home0_entered(LzwContext* ctx, uint32_t key) {
    if ((key & CODE_MASK) != ((key >> 12) << 4)) return false;  // home slot not 0
    const bool displaced = key == 0 && ctx->home0_taken;
    ctx->home0_taken = 1;
    return displaced;
}

// Enters the string key under the next code: in the fast table at
// fast_slot, or in the 5003-slot table at hash_slot once that one is in use.
void lzw_add_string(LzwContext* ctx, int32_t key, const FastPlace& fast_place, int32_t hash_slot) {
    const int32_t code = ctx->next_code++;
    if (ctx->hash_probe) {
        ctx->hash_codes[hash_slot] = static_cast<uint16_t>(code);
        ctx->hash_keys[hash_slot] = key;
        return;
    }
    ctx->code_keys[code] = key;
    const bool displaced = lzw_home0_entered(ctx, static_cast<uint32_t>(key));
    if (fast_place.slot == nullptr) {
        lzw_enter_hash_probe(ctx);
        return;
    }
    *fast_place.slot = LzwFastSlot{static_cast<uint16_t>(code), static_cast<uint16_t>(fast_place.check)};
    if (ctx->shadow) {
        if (lzw_shadow_add(ctx, key, code)) lzw_drop_zero_pair(ctx);
    } else if (displaced) {
        lzw_enter_shadow(ctx);
    }
}

// Merges a code into the group at out_bits.  The byte where the code
// starts keeps its bits below the offset; the bytes the code reaches take
// its bits, with zeros above them; bytes beyond keep what earlier groups
// left there, which a padded group passes on.
void lzw_merge_code(LzwContext* ctx, int32_t code) {
    const int shift = ctx->out_bits & 7;
    unsigned char* at = ctx->out_group + (ctx->out_bits >> 3);
    const int touched_bits = ((shift + ctx->code_width + 7) >> 3) * 8;
    const uint32_t keep = ((1u << shift) - 1) | ~((1u << touched_bits) - 1);
    uint32_t word;
    std::memcpy(&word, at, 4);
    word = (word & keep) | (static_cast<uint32_t>(code) << shift);
    std::memcpy(at, &word, 4);
    ctx->out_bits += ctx->code_width;
}

// Appends to the codec output area; false when the bytes would pass its
// end.  from_group: the bytes are a 16-byte group buffer, copied whole (the
// area has room for the tail beyond its end).
inline bool lzw_area_append(LzwArea* area, const unsigned char* bytes, int count, bool from_group) {
    if (static_cast<uint32_t>(count) > area->cap - area->count) return false;
    if (from_group) {
        std::memcpy(area->bytes + area->count, bytes, LZW_GROUP_CAP + 4);
    } else {
        std::memcpy(area->bytes + area->count, bytes, static_cast<size_t>(count));
    }
    area->count += static_cast<uint32_t>(count);
    return true;
}

// Passes count bytes of the group to the sink (buffer_sink's work done
// here directly: it is the sink of every chunk).
bool lzw_send(LzwContext* ctx, int count) {
    ctx->bytes_out += count;
    if (ctx->sink == buffer_sink) return lzw_area_append(lzw_area_of(ctx), ctx->out_group, count, true);
    return ctx->sink(ctx->sink_data, ctx->out_group, count) != 0;
}

// The width changes (growth, or back to 9 after a clear code): a group
// holding codes goes out whole, padded with what the buffer held.
bool lzw_change_width(LzwContext* ctx) {
    if (ctx->out_bits > 0) {
        ctx->out_bits = 0;
        if (!lzw_send(ctx, ctx->code_width)) return false;
    }
    if (ctx->clear_pending > 0) {
        ctx->code_width = LZW_INIT_BITS;
        ctx->max_code = (1 << LZW_INIT_BITS) - 1;
        ctx->clear_pending = 0;
    } else {
        ctx->code_width += 1;
        ctx->max_code = lzw_width_max_code(ctx);
    }
    return true;
}

// Writes one code (0 or more).
inline bool lzw_put_code(LzwContext* ctx, int32_t code) {
    lzw_merge_code(ctx, code);
    bool ok = true;
    if (ctx->out_bits == 8 * ctx->code_width) {
        ctx->out_bits = 0;
        ok = lzw_send(ctx, ctx->code_width);
    }
    if (ctx->next_code > ctx->max_code || ctx->clear_pending > 0) {
        if (!lzw_change_width(ctx)) return false;
    }
    return ok;
}

// Ends the stream: the partial group goes out as its whole bytes.
bool lzw_put_end(LzwContext* ctx) {
    const int n_bytes = (ctx->out_bits + 7) >> 3;
    ctx->out_bits = 0;
    return n_bytes == 0 || lzw_send(ctx, n_bytes);
}

// Once the dictionary is full: keep going while the ratio improves,
// otherwise start a fresh dictionary with a clear code.
void lzw_check_ratio(LzwContext* ctx) {
    ctx->checkpoint = ctx->bytes_in + RATIO_GAP;
    int32_t r;
    if (ctx->bytes_in <= 0x7FFFFF) {
        r = (ctx->bytes_in << 8) / ctx->bytes_out;
    } else {
        const int32_t d = ctx->bytes_out >> 8;
        r = d == 0 ? 0x7FFFFFFF : ctx->bytes_in / d;
    }
    if (r > ctx->ratio) {
        ctx->ratio = r;
        return;
    }
    ctx->ratio = 0;
    lzw_clear_dictionary(ctx);
    ctx->next_code = LZW_CLEAR_CODE + 1;
    ctx->clear_pending = 1;
    lzw_put_code(ctx, LZW_CLEAR_CODE);  // a refusal here is not reported
}

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

bool lzw_write_header(LzwContext* ctx) {
    return lzw_put_byte(0x1F, ctx) && lzw_put_byte(0x9D, ctx) &&
           lzw_put_byte(ctx->block_mode | ctx->max_bits, ctx);
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

// Passes a whole group of eight codes at the current width to the sink,
// packed at once; the group buffer is not used.
bool lzw_put_group(LzwContext* ctx, const uint16_t* codes) {
    const uint32_t width = static_cast<uint32_t>(ctx->code_width);
    uint64_t low = 0;
    uint64_t high = 0;
    for (uint32_t k = 0; k < 4; ++k) {
        low |= static_cast<uint64_t>(codes[k]) << (k * width);
        high |= static_cast<uint64_t>(codes[k + 4]) << (k * width);
    }
    // The eight codes are low, then high from bit 4 * width on.
    const uint64_t half = 4 * width;
    unsigned char packed[16];
    const uint64_t first = low | (high << half);
    const uint64_t second = high >> (64 - half);
    std::memcpy(packed, &first, 8);
    std::memcpy(packed + 8, &second, 8);
    ctx->bytes_out += static_cast<int32_t>(width);
    if (ctx->sink == buffer_sink) {
        LzwArea* const area = lzw_area_of(ctx);
        if (width > area->cap - area->count) return false;
        std::memcpy(area->bytes + area->count, packed, 16);
        area->count += width;
        return true;
    }
    std::memcpy(ctx->out_group, packed, width);
    return ctx->sink(ctx->sink_data, ctx->out_group, static_cast<int>(width)) != 0;
}

// Writes the codes of a stretch in order.  Code i goes out when next_code
// is first_next + i (growing: each code entered a string) or first_next.
// Whole groups that no width change falls inside are packed at once.
bool lzw_put_codes(LzwContext* ctx, const uint16_t* codes, int32_t n_codes, int32_t first_next,
                   bool growing) {
    const int32_t step = growing ? 1 : 0;
    int32_t last_group = -1;  // area offset of the last group packed, -1 none
    int32_t last_width = 0;
    int32_t i = 0;
    while (i < n_codes) {
        ctx->next_code = first_next + step * i;
        if (ctx->out_bits == 0 && ctx->clear_pending == 0 && n_codes - i >= 8 &&
            first_next + step * (i + 6) <= ctx->max_code) {
            last_group = ctx->sink == buffer_sink ? static_cast<int32_t>(lzw_area_of(ctx)->count) : -1;
            last_width = ctx->code_width;
            if (!lzw_put_group(ctx, codes + i)) return false;
            i += 8;
            ctx->next_code = first_next + step * (i - 1);
            if (ctx->next_code > ctx->max_code && !lzw_change_width(ctx)) return false;
            continue;
        }
        // The group buffer must hold the last group packed into the area:
        // a padded group later passes on its bytes.
        if (last_group >= 0 && ctx->sink == buffer_sink) {
            std::memcpy(ctx->out_group, lzw_area_of(ctx)->bytes + last_group, static_cast<size_t>(last_width));
            last_group = -1;
        }
        if (!lzw_put_code(ctx, codes[i])) return false;
        ++i;
    }
    if (last_group >= 0 && ctx->sink == buffer_sink) {
        std::memcpy(ctx->out_group, lzw_area_of(ctx)->bytes + last_group, static_cast<size_t>(last_width));
    }
    return true;
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
        uint32_t check = lzw_fast_check(c, 0);
        LzwFastSlot* slot = const_cast<LzwFastSlot*>(base + prefix);
        uint32_t slot_check = 0;
        uint64_t slot_code = 0;
        lzw_fast_load(base, prefix, &slot_check, &slot_code);
        uint32_t miss = lzw_fast_other(slot_check, check);
        if (lzw_fast_collision(miss, slot_check)) {
            FastPlace place{};
            slot_code = lzw_fast_find(slots, static_cast<uint32_t>(prefix), c, &place);
            miss = slot_code == 0 ? 1u : 0u;
            check = place.check;
            slot_check = miss != 0 ? ~check : check;
            slot = place.slot;
            if (slot == nullptr) {  // the 5003-slot table takes over after this byte
                slot = &spare;
                *overflow = true;
                end = p;
            }
            // A string whose home in the 5003-slot table is slot 0 (its
            // home here is marked) is entered: when it is the two-zero
            // string and that slot is taken already, the 5003-slot table
            // must answer from the next byte on.
            if (miss != 0 && prefix == (c << 4)) {
                if (key == 0 && home0_taken != 0) {
                    *displaced = true;
                    end = p;
                }
                home0_taken = 1;
            }
        }
        codes[n] = static_cast<uint16_t>(prefix);
        if (kNoteMisses) miss_at[n] = static_cast<uint16_t>(p - start - 1);
        n += static_cast<int32_t>(miss);
        code_keys[next_code] = static_cast<int32_t>(key);
        // A hit stores its slot back unchanged; a miss fills the free slot
        // (whose check is then the one looked for).
        const uint32_t stored = lzw_slot_word(static_cast<uint32_t>(lzw_pick(miss, next_code, slot_code)), check);
        std::memcpy(slot, &stored, sizeof stored);
        next_code += miss;
        prefix = lzw_next_prefix(slot_check, check, slot_code, c);
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
        const LzwFastSlot* const base = lzw_fast_base(slots, c);
        uint32_t check = lzw_fast_check(c, 0);
        uint32_t slot_check = 0;
        uint64_t slot_code = 0;
        lzw_fast_load(base, prefix, &slot_check, &slot_code);
        uint32_t miss = lzw_fast_other(slot_check, check);
        if (lzw_fast_collision(miss, slot_check)) {
            FastPlace place{};
            slot_code = lzw_fast_find(slots, static_cast<uint32_t>(prefix), c, &place);
            miss = slot_code == 0 ? 1u : 0u;
            check = place.check;
            slot_check = miss != 0 ? ~check : check;
        }
        codes[n] = static_cast<uint16_t>(prefix);
        n += static_cast<int32_t>(miss);
        prefix = lzw_next_prefix(slot_check, check, slot_code, c);
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

}  // namespace

int buffer_sink(void* sink_data, const unsigned char* bytes, int count) {
    LzwArea* const area = sink_data != nullptr ? static_cast<LzwArea*>(sink_data) : &g_main_workspace.area;
    return count >= 0 && lzw_area_append(area, bytes, count, false);
}

void lzw_set_probe_cap(uint32_t cap) { g_probe_cap = cap >= 1 && cap <= FAST_STEP_CAP ? cap : FAST_STEP_CAP; }

void lzw_area_reset() { g_main_workspace.area.count = 0; }
const unsigned char* lzw_area_start() { return g_main_workspace.area.bytes; }
unsigned char* lzw_area_data() { return g_main_workspace.area.bytes; }
void lzw_area_set_count(uint32_t count) {
    g_main_workspace.area.count = count < CODEC_OUT_SIZE ? count : CODEC_OUT_SIZE;
}
int32_t lzw_area_count() { return static_cast<int32_t>(g_main_workspace.area.count); }

LzwWorkspace* lzw_workspace_new() { return new (std::nothrow) LzwWorkspace; }

void lzw_workspace_free(LzwWorkspace* ws) { delete ws; }

LzwContext* lzw_alloc(LzwSink sink, void* sink_data) {
    LzwContext* ctx = new (std::nothrow) LzwContext();
    if (ctx == nullptr) return nullptr;
    ctx->sink = sink;
    ctx->sink_data = sink_data;
    ctx->hash_size = LZW_HASH_SIZE;
    ctx->hash_keys = new (std::nothrow) int32_t[LZW_HASH_SIZE]();
    ctx->hash_codes = new (std::nothrow) uint16_t[LZW_HASH_SIZE]();
    if (ctx->hash_keys == nullptr || ctx->hash_codes == nullptr) {
        lzw_release(ctx);
        return nullptr;
    }
    return ctx;
}

void lzw_release(LzwContext* ctx) {
    if (ctx == nullptr) return;
    if (ctx->tables != nullptr) {
        lzw_empty_fast_table(ctx);
        lzw_put_back_tables(ctx->workspace, ctx->tables);
    } else {
        delete[] ctx->hash_keys;
        delete[] ctx->hash_codes;
    }
    delete ctx;
}

int lzw_get_byte(LzwContext* ctx) {
    unsigned char byte;
    return lzw_read_bytes(ctx, &byte, 1) == 1 ? byte : -1;
}

int lzw_read_bytes(LzwContext* ctx, unsigned char* dest, int n) {
    int n_copied = 0;
    if (ctx->carry_active) {
        const int n_carry = n < ctx->carry_left ? n : ctx->carry_left;
        std::memcpy(dest, ctx->carry_next, static_cast<size_t>(n_carry));
        ctx->carry_next += n_carry;
        ctx->carry_left -= n_carry;
        if (ctx->carry_left == 0) ctx->carry_active = 0;
        n_copied = n_carry;
    }
    int n_input = n - n_copied;
    if (n_input > ctx->input_left) n_input = ctx->input_left;
    if (n_input > 0) {
        std::memcpy(dest + n_copied, ctx->input, static_cast<size_t>(n_input));
        ctx->input += n_input;
        ctx->input_left -= n_input;
        n_copied += n_input;
    }
    return n_copied;
}

int lzw_put_byte(int value, LzwContext* ctx) {
    const unsigned char byte = static_cast<unsigned char>(value & 0xFF);
    return ctx->sink(ctx->sink_data, &byte, 1);
}

namespace {

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

LzwContext* lzw_compress_open(LzwSink sink, int32_t size_hint, void* sink_data,
                              const unsigned char* input, int32_t input_len) {
    return lzw_compress_open_in(&g_main_workspace, sink, size_hint, sink_data, input, input_len);
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
    return compress_block_in(&g_main_workspace, data, length, result);
}
