// The compressor's dictionary: lookups past a home, the 5003-slot table,
// emptying the fast table, and entering strings (see lzw_dict.h).
#include "codec/lzw_dict.h"

#include <cstring>

uint32_t lzw_probe_cap = FAST_STEP_CAP;

#if defined(__GNUC__)
__attribute__((noinline))
#endif
uint32_t lzw_fast_find(LzwFastSlot* slots, uint32_t prefix, uint32_t c, FastPlace* place) {
    return lzw_fast_probe(slots, prefix, c, place);
}

void lzw_clear_hash(LzwContext* ctx) {
    std::memset(ctx->hash_keys, 0xFF, sizeof(int32_t) * static_cast<size_t>(ctx->hash_size));
}

void lzw_blank_fast_table(LzwFastSlot* slots) {
    std::memset(slots, 0, sizeof(LzwFastSlot) * LZW_FAST_SLOTS);
    for (uint32_t c = 0; c < 256; ++c) slots[FAST_MIX.home[c] + (c << 4)] = LzwFastSlot{0, FAST_MARK};
}

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

void lzw_clear_dictionary(LzwContext* ctx) {
    lzw_empty_fast_table(ctx);
    ctx->hash_probe = 0;
    ctx->shadow = 0;
    ctx->home0_taken = 0;
}

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

void lzw_enter_hash_probe(LzwContext* ctx) {
    lzw_build_hash(ctx);
    lzw_empty_fast_table(ctx);
    ctx->hash_probe = 1;
    ctx->shadow = 0;
}

void lzw_enter_shadow(LzwContext* ctx) {
    lzw_build_hash(ctx);
    ctx->shadow = 1;
}

void lzw_drop_zero_pair(LzwContext* ctx) {
    FastPlace place{};
    if (lzw_fast_find(ctx->fast_slots, 0, 0, &place) == 0) return;
    *place.slot = LzwFastSlot{0, static_cast<uint16_t>(FAST_GAP)};
    ctx->fast_gaps = 1;
}

bool lzw_home0_entered(LzwContext* ctx, uint32_t key) {
    if ((key & CODE_MASK) != ((key >> 12) << 4)) return false;  // home slot not 0
    const bool displaced = key == 0 && ctx->home0_taken;
    ctx->home0_taken = 1;
    return displaced;
}

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
