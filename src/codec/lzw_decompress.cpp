// The LZW decompressor.  It is the first code that reads bytes from an
// archive, so a stream that breaks any limit is refused: a bad header, a
// width above 12 bits, no code, a first code that is not a byte, a code the
// dictionary does not hold (above next_code), a prefix chain longer than
// the reversal stack, output the sink refuses or that passes the area.
//
// Two decoders read the same stream alike: the step interface walks the
// prefix chains into any sink (only the tests and the fuzz targets use it,
// as the independent reading that decompress_block is checked against);
// decompress_block copies earlier strings within its output area.
#include <cstdint>
#include <cstring>
#include <new>

#include "codec/lzw_internal.h"

namespace {

// Starts a new group of code_width bytes; false at the end of the input or
// of this piece of it.  Whatever is left of the current group is dropped:
// the compressor pads the group in which the width changes.
bool lzw_next_group(LzwContext* ctx) {
    ctx->in_bits = 0;
    ctx->in_group_bits = 0;
    if (ctx->next_code > ctx->max_code) {
        ctx->code_width += 1;
        ctx->max_code = lzw_width_max_code(ctx);
    }
    if (ctx->clear_pending > 0) {
        ctx->code_width = LZW_INIT_BITS;
        ctx->max_code = lzw_width_max_code(ctx);
        ctx->clear_pending = 0;
    }
    const int carry_left = ctx->carry_active ? ctx->carry_left : 0;
    if (!ctx->final_input && carry_left + ctx->input_left < ctx->code_width) {
        // Too little for a whole group: keep it for the next piece.
        if (carry_left > 0) std::memmove(ctx->carry, ctx->carry_next, static_cast<size_t>(carry_left));
        if (ctx->input_left > 0) {
            std::memcpy(ctx->carry + carry_left, ctx->input, static_cast<size_t>(ctx->input_left));
        }
        ctx->carry_left = carry_left + ctx->input_left;
        ctx->carry_active = ctx->carry_left > 0;
        ctx->carry_next = ctx->carry;
        ctx->input += ctx->input_left;
        ctx->input_left = 0;
        return false;
    }
    const int n_read = lzw_read_bytes(ctx, ctx->in_group, ctx->code_width);
    // Bit positions at which a whole code starts: the padding bits of a
    // short last group are never taken for a code.
    ctx->in_group_bits = n_read * 8 - (ctx->code_width - 1);
    return ctx->in_group_bits > 0;
}

inline int32_t lzw_next_code(LzwContext* ctx) {
    if (ctx->clear_pending > 0 || ctx->in_bits >= ctx->in_group_bits ||
        ctx->next_code > ctx->max_code) {
        if (!lzw_next_group(ctx)) return -1;
    }
    const unsigned char* at = ctx->in_group + (ctx->in_bits >> 3);
    const uint32_t word = at[0] | (static_cast<uint32_t>(at[1]) << 8) |
                          (static_cast<uint32_t>(at[2]) << 16);
    const int32_t code =
        static_cast<int32_t>((word >> (ctx->in_bits & 7)) & ((1u << ctx->code_width) - 1));
    ctx->in_bits += ctx->code_width;
    return code;
}

// A code the dictionary cannot hold: above next_code, or next_code itself
// when no string can be defined any more (only possible below 9 bits).
inline bool lzw_code_unknown(const LzwContext* ctx, int32_t code) {
    return code > ctx->next_code || (code == ctx->next_code && code >= ctx->code_limit);
}

void lzw_decompress_init(LzwContext* ctx) {
    unsigned char* suffix = reinterpret_cast<unsigned char*>(ctx->hash_keys);
    for (int code = 255; code >= 0; --code) {
        ctx->hash_codes[code] = 0;
        suffix[code] = static_cast<unsigned char>(code);
    }
    ctx->code_width = LZW_INIT_BITS;
    ctx->max_code = lzw_width_max_code(ctx);
    ctx->next_code = ctx->block_mode ? LZW_CLEAR_CODE + 1 : LZW_CLEAR_CODE;
    ctx->saved_old_code = -1;  // the first code has not arrived
}

// The first code stands for a single byte: the dictionary holds nothing
// else yet.  Returns 1 when it was taken, 0 when the piece ended first,
// -1 when the stream is corrupt or the sink refuses.
int lzw_first_code(LzwContext* ctx) {
    const int32_t code = lzw_next_code(ctx);
    if (code < 0) return ctx->final_input ? -1 : 0;
    if (code >= LZW_CLEAR_CODE || !lzw_put_byte(code, ctx)) return -1;
    ctx->saved_last_byte = code;
    ctx->saved_old_code = code;
    return 1;
}

// Decodes codes until the input (or this piece of it) ends.  Strings are
// pushed last byte first downwards from the end of the stack, so each one
// stands in order and reaches the sink in one call.
bool lzw_decode_codes(LzwContext* ctx) {
    unsigned char* const suffix = reinterpret_cast<unsigned char*>(ctx->hash_keys);
    uint16_t* const prefix = ctx->hash_codes;
    unsigned char* const stack_base = suffix + LZW_SUFFIX_CAP;
    unsigned char* const stack_end = suffix + LZW_KEYS_BYTES;
    int32_t last_byte = ctx->saved_last_byte;
    int32_t old_code = ctx->saved_old_code;
    bool ok = true;
    int32_t code;
    while (ok && (code = lzw_next_code(ctx)) >= 0) {
        // A clear code starts the dictionary afresh.  Another 256 right
        // after it is one more clear code (as ncompress and gzip read it),
        // never a string, so a stream means the same however it is cut into
        // pieces, and no prefix can point back at 256.
        if (code == LZW_CLEAR_CODE && ctx->block_mode) {
            std::memset(prefix, 0, 256 * sizeof(uint16_t));
            ctx->clear_pending = 1;
            ctx->next_code = LZW_CLEAR_CODE;
            continue;
        }
        const int32_t next_code = ctx->next_code;
        if (lzw_code_unknown(ctx, code)) {
            ok = false;
            break;
        }
        const int32_t in_code = code;
        unsigned char* top = stack_end;
        if (code == next_code) {  // the string being defined: old + its first byte
            *--top = static_cast<unsigned char>(last_byte);
            code = old_code;
        }
        while (code >= 256 && top > stack_base) {
            *--top = suffix[code];
            code = prefix[code];
        }
        // Every prefix is an earlier code (the first code is a byte, every
        // code is at most next_code), so no chain loops or passes 4096
        // bytes; the stack bound is kept all the same.
        if (top == stack_base) {
            ok = false;
            break;
        }
        last_byte = suffix[code];
        *--top = static_cast<unsigned char>(last_byte);
        ok = ctx->sink(ctx->sink_data, top, static_cast<int>(stack_end - top)) != 0;
        if (next_code < ctx->code_limit) {
            prefix[next_code] = static_cast<uint16_t>(old_code);
            suffix[next_code] = static_cast<unsigned char>(last_byte);
            ctx->next_code = next_code + 1;
        }
        old_code = in_code;
    }
    ctx->saved_last_byte = last_byte;
    ctx->saved_old_code = old_code;
    return ok;
}

// Copies a string that stands earlier in the output (dest - src >= n) in
// whole 16-byte blocks; the output has room for the overrun.
inline void lzw_copy_earlier(unsigned char* dest, const unsigned char* src, uint32_t n) {
    unsigned char block[16];
    std::memcpy(block, src, 16);
    std::memcpy(dest, block, 16);
    for (uint32_t done = 16; done < n; done += 16) {
        std::memcpy(block, src + done, 16);
        std::memcpy(dest + done, block, 16);
    }
}

}  // namespace

// A decoder's output and strings (decompress_block's is the main
// thread's; another thread has one of its own).  Every string
// is copied from what stands before it in bytes: first the 256 single
// bytes, then the chunk's output (CODEC_OUT_SIZE bytes at most), then 16
// bytes that take the overrun of whole-block copies.  A code's entry is
// where its string starts in bytes and, above bit 16, its length.
struct LzwDecodeArea {
    unsigned char bytes[256 + CODEC_OUT_SIZE + 16];
    uint32_t strings[1 << LZW_MAX_BITS];
};

namespace {

LzwDecodeArea g_decode;

// Fills in the 256 single bytes, once per area.
void init_decode_area(LzwDecodeArea* area) {
    if (area->bytes[255] == 255) return;
    for (uint32_t c = 0; c < 256; ++c) {
        area->bytes[c] = static_cast<unsigned char>(c);
        area->strings[c] = c | (1u << 16);
    }
}

constexpr uint32_t OUT_AT = 256;  // where the output starts in bytes

// decompress_block's decoder: the stream of lzw_next_code and
// lzw_decode_codes, with the same limits, read a group of codes at a time
// into the output directly.  Each string already stands in bytes: the
// entry made after a string is that string plus the next one's first
// byte, so it is kept as a start and a length and copied, instead of
// walking its prefix chain.  A group holds 8 codes of the current width (a
// short last group of n bytes, those that fit whole: 8n / width); a clear
// code or a change of width drops the rest of its group.  Returns the
// output's length, or -1 when the stream is corrupt.
int32_t lzw_decode_area(LzwDecodeArea* area, const unsigned char* in, uint32_t in_len, uint32_t max_bits,
                        bool block_mode) {
    unsigned char* const bytes = area->bytes;
    uint32_t* const strings = area->strings;
    const uint32_t code_limit = 1u << max_bits;
    const uint32_t clear_code = block_mode ? LZW_CLEAR_CODE : UINT32_MAX;
    uint32_t width = LZW_INIT_BITS;
    const auto width_max_code = [&](uint32_t w) { return w == max_bits ? code_limit : (1u << w) - 1; };
    uint32_t max_code = width_max_code(width);
    uint32_t next_code = block_mode ? LZW_CLEAR_CODE + 1 : LZW_CLEAR_CODE;
    bool clear_pending = false;
    bool first = true;
    uint32_t at = OUT_AT;  // where the next string goes in bytes
    constexpr uint32_t OUT_END = OUT_AT + CODEC_OUT_SIZE;
    uint32_t prev_start = 0;
    uint32_t prev_len = 0;
    uint32_t pos = 0;
    while (pos < in_len) {
        if (next_code > max_code) {
            width += 1;
            max_code = width_max_code(width);
        }
        if (clear_pending) {
            width = LZW_INIT_BITS;
            max_code = width_max_code(width);
            clear_pending = false;
        }
        const uint32_t group_len = in_len - pos < width ? in_len - pos : width;
        unsigned char group[16];
        const unsigned char* g = in + pos;
        if (in_len - pos < 16) {  // near the end: the group is read into a padded copy
            std::memset(group, 0, sizeof group);
            std::memcpy(group, in + pos, group_len);
            g = group;
        }
        pos += group_len;
        const uint32_t n_codes = group_len * 8 / width;
        const uint32_t mask = (1u << width) - 1;
        for (uint32_t k = 0, bit = 0; k < n_codes; ++k, bit += width) {
            uint32_t word;
            std::memcpy(&word, g + (bit >> 3), 4);
            const uint32_t code = (word >> (bit & 7)) & mask;
            if (first) {  // the first code stands for a single byte
                if (code >= LZW_CLEAR_CODE) return -1;
                bytes[at] = static_cast<unsigned char>(code);
                prev_start = at;
                prev_len = 1;
                at += 1;
                first = false;
                continue;
            }
            uint32_t len;
            if (code < next_code && code != clear_code) {
                const uint32_t entry = strings[code];
                len = entry >> 16;
                if (len > OUT_END - at) return -1;
                lzw_copy_earlier(bytes + at, bytes + (entry & 0xFFFF), len);
            } else if (code == clear_code) {
                clear_pending = true;
                next_code = LZW_CLEAR_CODE;
                break;
            } else if (code == next_code && code < code_limit) {
                // The string being defined: the last one and its first byte.
                len = prev_len + 1;
                if (len > OUT_END - at) return -1;
                lzw_copy_earlier(bytes + at, bytes + prev_start, prev_len);
                bytes[at + prev_len] = bytes[prev_start];
            } else {
                // A code the dictionary cannot hold: above next_code, or
                // next_code itself when no string can be defined any more.
                return -1;
            }
            if (next_code < code_limit) {
                strings[next_code] = prev_start | ((prev_len + 1) << 16);
                next_code += 1;
            }
            prev_start = at;
            prev_len = len;
            at += len;
            if (next_code > max_code) break;  // the width grows with the next group
        }
    }
    return first ? -1 : static_cast<int32_t>(at - OUT_AT);
}

// Allocates a decoder context over the input and checks the stream
// header: 1F 9D, then flags with at most 12 bits.  nullptr when refused.
LzwContext* lzw_decoder_setup(LzwSink sink, void* sink_data, const unsigned char* input,
                              int32_t input_len, unsigned char final_input) {
    LzwContext* ctx = lzw_alloc(sink, sink_data);
    if (ctx == nullptr) return nullptr;
    ctx->input = input;
    ctx->input_left = input_len > 0 && input != nullptr ? input_len : 0;
    ctx->final_input = final_input;
    if (lzw_get_byte(ctx) != 0x1F || lzw_get_byte(ctx) != 0x9D) {
        lzw_release(ctx);
        return nullptr;
    }
    const int flags = lzw_get_byte(ctx);
    ctx->max_bits = flags & 0x1F;
    ctx->block_mode = flags & LZW_BLOCK_MODE;
    if (flags < 0 || ctx->max_bits > LZW_MAX_BITS) {
        lzw_release(ctx);
        return nullptr;
    }
    ctx->code_limit = 1 << ctx->max_bits;
    return ctx;
}

}  // namespace

LzwContext* lzw_decompress_open(LzwSink sink, void* sink_data, const unsigned char* input,
                                int32_t input_len, unsigned char final_input) {
    LzwContext* ctx = lzw_decoder_setup(sink, sink_data, input, input_len, final_input);
    if (ctx == nullptr) return nullptr;
    // A failing step has released the context already.
    if (!lzw_decompress_step(ctx, sink_data, ctx->input, ctx->input_left, final_input)) {
        return nullptr;
    }
    return ctx;
}

bool lzw_decompress_step(LzwContext* ctx, void* sink_data, const unsigned char* input,
                         int32_t input_len, unsigned char final_input) {
    ctx->sink_data = sink_data;
    ctx->input = input;
    ctx->input_left = input_len > 0 && input != nullptr ? input_len : 0;
    ctx->final_input = final_input;
    if (!ctx->started) {
        ctx->started = 1;
        lzw_decompress_init(ctx);
    }
    if (ctx->saved_old_code < 0) {
        const int first = lzw_first_code(ctx);
        if (first <= 0) {
            if (first < 0) lzw_release(ctx);
            return first == 0;
        }
    }
    if (!lzw_decode_codes(ctx)) {
        lzw_release(ctx);
        return false;
    }
    return true;
}

bool lzw_decompress_close(LzwContext* ctx, void* sink_data) {
    ctx->sink_data = sink_data;
    lzw_release(ctx);
    return true;
}

LzwDecodeArea* lzw_decode_area_new() {
    LzwDecodeArea* area = new (std::nothrow) LzwDecodeArea;
    if (area != nullptr) {
        area->bytes[255] = 0;
        init_decode_area(area);
    }
    return area;
}

void lzw_decode_area_free(LzwDecodeArea* area) { delete area; }

const unsigned char* decompress_block_in(LzwDecodeArea* area, const unsigned char* data, int32_t* length) {
    const int32_t in_len = *length;
    *length = 0;
    // The header: 1F 9D, then flags with at most 12 bits.
    if (data == nullptr || in_len < 3 || data[0] != 0x1F || data[1] != 0x9D) return nullptr;
    const uint32_t max_bits = data[2] & 0x1F;
    if (max_bits > LZW_MAX_BITS) return nullptr;
    init_decode_area(area);
    const int32_t out_len = lzw_decode_area(area, data + 3, static_cast<uint32_t>(in_len - 3), max_bits,
                                            (data[2] & LZW_BLOCK_MODE) != 0);
    if (out_len < 0) return nullptr;
    *length = out_len;
    return area->bytes + OUT_AT;
}

const unsigned char* decompress_block(const unsigned char* data, int32_t* length) {
    return decompress_block_in(&g_decode, data, length);
}
