// The LZW compressor, the codec output area with buffer_sink, and the input
// routines that the decompressor shares.
//
// The output is fixed to the byte by the coder's rules: a 5003-slot hash
// with its own probe rule, groups of eight codes, a padded group after a
// clear code, and the ratio check that decides when to clear.
#include <cstring>
#include <new>

#include "codec/lzw_internal.h"

namespace {

constexpr int32_t RATIO_GAP = 10000;  // input bytes between ratio checks

unsigned char g_out_area[CODEC_OUT_SIZE];
uint32_t g_out_count = 0;

// Every slot empty.  -1 in every byte is -1 in every 32-bit slot.
void lzw_clear_hash(LzwContext* ctx) {
    std::memset(ctx->hash_keys, 0xFF, sizeof(int32_t) * static_cast<size_t>(ctx->hash_size));
}

int32_t lzw_width_max_code(const LzwContext* ctx) {
    if (ctx->code_width == ctx->max_bits) return ctx->code_limit;
    return (1 << ctx->code_width) - 1;
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

bool lzw_send(LzwContext* ctx, int count) {
    ctx->bytes_out += count;
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

// Writes one code; a negative code ends the stream with the partial group.
bool lzw_put_code(LzwContext* ctx, int32_t code) {
    if (code < 0) {
        const int n_bytes = (ctx->out_bits + 7) >> 3;
        ctx->out_bits = 0;
        return n_bytes == 0 || lzw_send(ctx, n_bytes);
    }
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
    lzw_clear_hash(ctx);
    ctx->next_code = LZW_CLEAR_CODE + 1;
    ctx->clear_pending = 1;
    lzw_put_code(ctx, LZW_CLEAR_CODE);  // a refusal here is not reported
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
    lzw_clear_hash(ctx);
}

// A string not in the dictionary ends at prefix: its code goes out, and
// the string extended by c takes the slot where the search stopped.
bool lzw_miss(LzwContext* ctx, int32_t prefix, int32_t key, int32_t slot) {
    if (!lzw_put_code(ctx, prefix)) return false;
    if (ctx->next_code < ctx->code_limit) {
        ctx->hash_codes[slot] = static_cast<uint16_t>(ctx->next_code++);
        ctx->hash_keys[slot] = key;
    } else if (ctx->bytes_in >= ctx->checkpoint && ctx->block_mode) {
        lzw_check_ratio(ctx);
    }
    return true;
}

// Codes input_len bytes from input, continuing from the saved prefix.
bool lzw_compress_run(LzwContext* ctx) {
    const unsigned char* p = ctx->input;
    const unsigned char* const end = p + ctx->input_left;
    int32_t* const keys = ctx->hash_keys;
    const uint16_t* const codes = ctx->hash_codes;
    const int32_t hash_size = ctx->hash_size;
    const int max_bits = ctx->max_bits;
    const int hash_shift = ctx->hash_shift;
    const int32_t bytes_in_base = ctx->bytes_in;
    int32_t prefix = ctx->saved_prefix;
    int32_t key = ctx->saved_key;
    int32_t slot = ctx->saved_slot;
    if (prefix < 0 && p < end) {  // the first byte of the stream
        prefix = *p++;
    }
    while (p < end) {
        const int32_t c = *p++;
        key = (c << max_bits) + prefix;
        slot = (c << hash_shift) ^ prefix;
        int32_t slot_key = keys[slot];
        if (slot_key == key) {
            prefix = codes[slot];
            continue;
        }
        // The first slot is free only when empty (-1); further along the
        // probe a slot holding key 0 (two zero bytes) also ends the search,
        // and the new string then takes that slot.
        if (slot_key >= 0) {
            const int32_t disp = slot == 0 ? 1 : hash_size - slot;
            do {
                slot -= disp;
                if (slot < 0) slot += hash_size;
                slot_key = keys[slot];
            } while (slot_key != key && slot_key > 0);
            if (slot_key == key) {
                prefix = codes[slot];
                continue;
            }
        }
        ctx->bytes_in = bytes_in_base + static_cast<int32_t>(p - ctx->input);
        if (!lzw_miss(ctx, prefix, key, slot)) return false;
        prefix = c;
    }
    ctx->bytes_in = bytes_in_base + static_cast<int32_t>(p - ctx->input);
    ctx->input = p;
    ctx->input_left = 0;
    ctx->saved_prefix = prefix;
    ctx->saved_key = key;
    ctx->saved_slot = slot;
    return true;
}

}  // namespace

int buffer_sink(void*, const unsigned char* bytes, int count) {
    if (count < 0 || static_cast<uint32_t>(count) > CODEC_OUT_SIZE - g_out_count) return 0;
    std::memcpy(g_out_area + g_out_count, bytes, static_cast<size_t>(count));
    g_out_count += static_cast<uint32_t>(count);
    return 1;
}

void lzw_area_reset() { g_out_count = 0; }
const unsigned char* lzw_area_start() { return g_out_area; }
int32_t lzw_area_count() { return static_cast<int32_t>(g_out_count); }

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
    delete[] ctx->hash_keys;
    delete[] ctx->hash_codes;
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

LzwContext* lzw_compress_open(LzwSink sink, int32_t size_hint, void* sink_data,
                              const unsigned char* input, int32_t input_len) {
    LzwContext* ctx = lzw_alloc(sink, sink_data);
    if (ctx == nullptr) return nullptr;
    ctx->max_bits = LZW_MAX_BITS;
    ctx->code_limit = 1 << LZW_MAX_BITS;
    ctx->block_mode = LZW_BLOCK_MODE;
    ctx->size_hint = size_hint;
    // A failing step has released the context already.
    if (!lzw_compress_step(ctx, sink_data, input, input_len)) return nullptr;
    return ctx;
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
    ok = lzw_put_code(ctx, -1) && ok;
    lzw_release(ctx);
    return ok;
}

int32_t compress_block(const unsigned char* data, int32_t length, const unsigned char** result) {
    *result = nullptr;
    lzw_area_reset();
    // Without memory for the tables, or when the stream would not fit the
    // output area, the block is stored as it is.
    LzwContext* ctx = lzw_compress_open(buffer_sink, length, nullptr, data, length);
    if (ctx == nullptr || !lzw_compress_close(ctx, nullptr)) return length;
    const int32_t stream_len = lzw_area_count();
    if (length <= stream_len) return length;
    *result = lzw_area_start();
    return stream_len;
}
