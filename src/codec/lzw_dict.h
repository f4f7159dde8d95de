// Private to the compressor: its dictionary.
//
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
#pragma once

#include <cstdint>

#include "codec/lzw_internal.h"

constexpr uint32_t CODE_MASK = 0xFFF;
constexpr uint32_t FAST_MASK = LZW_FAST_SLOTS - 1;
// A fast-table slot holds a string's code and a check: the string's last
// byte, how many probe steps from its home it lies (0 for most), and
// FAST_USED; an empty slot's check is 0.  With the byte and the step count
// the slot's place gives the prefix, so the check settles a lookup alone,
// with one compare, and a slot takes 4 bytes.
constexpr uint32_t FAST_USED = 0x8000u;
constexpr uint32_t FAST_STEP_CAP = 127;  // step counts 0..126 are stored
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

// How many steps a probe may take before the 5003-slot table takes over:
// FAST_STEP_CAP, lowered by tests so that the take-over is exercised.
extern uint32_t lzw_probe_cap;

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

// The next prefix and the miss flag from one compare: code and 0 when the
// slot's check is the one looked for, else c and 1.
inline uint64_t lzw_next_prefix_miss(uint32_t slot_check, uint32_t check, uint64_t code, uint64_t c, uint32_t* miss) {
#if defined(__GNUC__) && defined(__x86_64__)
    uint32_t other;
    asm("xorl %[o], %[o]\n\tcmpl %[k], %[s]\n\tsetne %b[o]\n\tcmovne %[c], %[n]"
        : [n] "+r"(code), [o] "=&r"(other)
        : [k] "r"(check), [s] "r"(slot_check), [c] "r"(c)
        : "cc");
    *miss = other;
    return code;
#else
    *miss = slot_check != check ? 1u : 0u;
    return *miss != 0 ? c : code;
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

inline int32_t lzw_hash_home(const LzwContext* ctx, int32_t key) {
    return ((key >> ctx->max_bits) << ctx->hash_shift) ^ (key & ((1 << ctx->max_bits) - 1));
}

// Searches the 5003-slot table from slot: returns the slot holding key
// (*found set) or the slot where the search stopped.  At the first slot
// only an empty slot (-1) ends the search; further along, key 0 ends it too.
inline int32_t lzw_hash_search(const LzwContext* ctx, int32_t key, int32_t slot, bool* found) {
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

// Enters key under code in the shadow table.  True when it took the slot of
// the two-zero string, which has then left the dictionary: the caller takes
// it out of the fast table.
inline bool lzw_shadow_add(LzwContext* ctx, int32_t key, int32_t code) {
    bool found = false;
    const int32_t slot = lzw_hash_search(ctx, key, lzw_hash_home(ctx, key), &found);
    const bool pushed_out = ctx->hash_keys[slot] == 0;
    ctx->hash_keys[slot] = key;
    ctx->hash_codes[slot] = static_cast<uint16_t>(code);
    return pushed_out;
}

// Looks (prefix, c) up in the fast table: returns the string's code when
// it is there, otherwise 0 (no string has code 0), with *place the slot
// that holds it or the free slot where it would go.  Kept out of line: the
// loops over the input call it only past a home that holds another string.
uint32_t lzw_fast_find(LzwFastSlot* slots, uint32_t prefix, uint32_t c, FastPlace* place);

// lzw_fast_find's probe, inline for loops that must not make a call.
inline uint32_t lzw_fast_probe(LzwFastSlot* slots, uint32_t prefix, uint32_t c, FastPlace* place) {
    uint32_t at = FAST_MIX.home[c] + prefix;
    // A marked home is free for its own strings.
    const uint32_t free_check = prefix == (c << 4) ? FAST_MARK : 0;
    for (uint32_t steps = 0; steps < lzw_probe_cap; ++steps) {
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

// One lookup of the string prefix + c as both scanning loops make it
// (base: lzw_fast_base(slots, c)).  The home slot is loaded and judged
// without a branch on the outcome; past a home that holds another string
// the probe goes on, and then the result is true and r->slot is where the
// string is or a miss would go (nullptr: too far; see FastPlace).
struct FastLookup {
    uint32_t check;       // the check the string has, or would have
    uint32_t slot_check;  // the check found: equal to check on a hit
    uint64_t code;        // the string's code on a hit
    uint32_t miss;        // 1 on a miss, else 0
    LzwFastSlot* slot;    // set only past the home
};

inline bool lzw_fast_lookup(LzwFastSlot* slots, const LzwFastSlot* base, uint64_t prefix, uint32_t c,
                            FastLookup* r) {
    r->check = lzw_fast_check(c, 0);
    r->slot_check = 0;
    r->code = 0;
    lzw_fast_load(base, prefix, &r->slot_check, &r->code);
    r->miss = lzw_fast_other(r->slot_check, r->check);
    if (!lzw_fast_collision(r->miss, r->slot_check)) return false;
    FastPlace place{};
    r->code = lzw_fast_find(slots, static_cast<uint32_t>(prefix), c, &place);
    r->slot = place.slot;
    r->miss = r->code == 0 ? 1u : 0u;
    r->check = place.check;
    r->slot_check = r->miss != 0 ? ~r->check : r->check;
    return true;
}

// Every slot of the 5003-slot table empty.  -1 in every byte is -1 in
// every 32-bit slot.
void lzw_clear_hash(LzwContext* ctx);

// A fast table without strings: every slot empty but the marks.
void lzw_blank_fast_table(LzwFastSlot* slots);

// Takes the strings out of the fast table, which then holds none.
// While it answers lookups it holds the codes from the first string code
// up to next_code, and none once the 5003-slot table has taken over.  A
// few codes are taken out one by one, newest first, so that every older
// string is still found along its probe; many, by clearing the table.
void lzw_empty_fast_table(LzwContext* ctx);

// Takes the strings of codes first to end - 1 out of the fast table, newest
// first, so that every older string is still found along its probe.
void lzw_fast_remove_codes(LzwContext* ctx, int32_t first, int32_t end);

// An empty dictionary, looked up through the fast table.
void lzw_clear_dictionary(LzwContext* ctx);

// Builds the 5003-slot table from the codes assigned so far: entering them
// again in the order they were assigned, with the probe rule, gives every
// string the slot it had (and drops the strings that were pushed out).
void lzw_build_hash(LzwContext* ctx);

// Makes the 5003-slot table answer lookups from now on.
void lzw_enter_hash_probe(LzwContext* ctx);

// The two-zero string was entered away from slot 0: the 5003-slot table is
// built and from now on notes every string entered.
void lzw_enter_shadow(LzwContext* ctx);

// Takes the two-zero string out of the fast table.  Its slot becomes a gap
// that every probe steps over (strings entered after it may lie beyond it
// along their probes, a string sharing its home among them), and the table
// is blanked whole when the context ends.
void lzw_drop_zero_pair(LzwContext* ctx);

// Notes a string entered while the fast table answers: true when it is
// the two-zero string and slot 0 of the 5003-slot table is taken, so that
// it lands elsewhere and the probe rule starts to matter.
bool lzw_home0_entered(LzwContext* ctx, uint32_t key);

// Enters the string key under the next code: in the fast table at
// fast_slot, or in the 5003-slot table at hash_slot once that one is in use.
void lzw_add_string(LzwContext* ctx, int32_t key, const FastPlace& fast_place, int32_t hash_slot);
