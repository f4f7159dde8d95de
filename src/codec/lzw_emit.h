// Private to the compressor: code emission.  Codes are merged into groups
// of eight at the current width and handed to the sink a group at a time;
// the width changes with a padded group, and the ratio check decides when a
// clear code starts a fresh dictionary.
#pragma once

#include <cstdint>
#include <cstring>

#include "codec/lzw_area.h"

constexpr int32_t RATIO_GAP = 10000;  // input bytes between ratio checks

// Merges a code into the group at out_bits.  The byte where the code
// starts keeps its bits below the offset; the bytes the code reaches take
// its bits, with zeros above them; bytes beyond keep what earlier groups
// left there, which a padded group passes on.
inline void lzw_merge_code(LzwContext* ctx, int32_t code) {
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

// Passes count bytes of the group to the sink (buffer_sink's work done
// here directly: it is the sink of every chunk).
inline bool lzw_send(LzwContext* ctx, int count) {
    ctx->bytes_out += count;
    if (ctx->sink == buffer_sink) return lzw_area_append(lzw_area_of(ctx), ctx->out_group, count, true);
    return ctx->sink(ctx->sink_data, ctx->out_group, count) != 0;
}

// The width changes (growth, or back to 9 after a clear code): a group
// holding codes goes out whole, padded with what the buffer held.
bool lzw_change_width(LzwContext* ctx);

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
bool lzw_put_end(LzwContext* ctx);

// Once the dictionary is full: keep going while the ratio improves,
// otherwise start a fresh dictionary with a clear code.
void lzw_check_ratio(LzwContext* ctx);

bool lzw_write_header(LzwContext* ctx);

// The two below are inline: the batch loop calls them once per stretch,
// and out of line they cost the loop its registers.

// Passes a whole group of eight codes at the current width to the sink,
// packed at once; the group buffer is not used.
inline bool lzw_put_group(LzwContext* ctx, const uint16_t* codes) {
    const uint32_t width = static_cast<uint32_t>(ctx->code_width);
    uint64_t low = 0;
    uint64_t high = 0;
    for (uint32_t k = 0; k < 4; ++k) {
        low |= static_cast<uint64_t>(codes[k]) << (k * width);
        high |= static_cast<uint64_t>(codes[k + 4]) << (k * width);
    }
    // The eight codes are low, then high from bit 4 * width on.
    const uint64_t half = 4 * width;
    const uint64_t first = low | (high << half);
    const uint64_t second = high >> (64 - half);
    ctx->bytes_out += static_cast<int32_t>(width);
    // The two words go straight to where they belong (the area has 16
    // bytes of slack): stored to a buffer and read back as one 16-byte
    // block, they would wait for the stores to retire.
    if (ctx->sink == buffer_sink) {
        LzwArea* const area = lzw_area_of(ctx);
        if (width > area->cap - area->count) return false;
        std::memcpy(area->bytes + area->count, &first, 8);
        std::memcpy(area->bytes + area->count + 8, &second, 8);
        area->count += width;
        return true;
    }
    unsigned char packed[16];
    std::memcpy(packed, &first, 8);
    std::memcpy(packed + 8, &second, 8);
    std::memcpy(ctx->out_group, packed, width);
    return ctx->sink(ctx->sink_data, ctx->out_group, static_cast<int>(width)) != 0;
}

// Writes the codes of a stretch in order.  Code i goes out when next_code
// is first_next + i (growing: each code entered a string) or first_next.
// Whole groups that no width change falls inside are packed at once.
inline bool lzw_put_codes(LzwContext* ctx, const uint16_t* codes, int32_t n_codes, int32_t first_next,
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
