// Private to the codec: the context record that the compressor and the
// decompressor share, the input routines both use, and the codec output
// area behind buffer_sink.
#pragma once

#include <cstdint>

#include "codec/lzw.h"

constexpr int LZW_HASH_SIZE = 5003;
constexpr int LZW_MAX_BITS = 12;
constexpr int LZW_INIT_BITS = 9;
constexpr int LZW_CLEAR_CODE = 256;
constexpr int LZW_BLOCK_MODE = 0x80;
constexpr int LZW_GROUP_CAP = 12;  // one group of the widest codes
// The decoder keeps the suffix bytes of codes 0..4095 at the start of the
// key table and uses the rest of it (15916 bytes) as its reversal stack.
constexpr int LZW_SUFFIX_CAP = 4096;
constexpr int LZW_KEYS_BYTES = LZW_HASH_SIZE * 4;
// The compressor's lookup table (see lzw_dict.h): a power of two, at most a
// fifteenth full (4096 codes and 256 marks at most).
constexpr int LZW_FAST_BITS = 16;
constexpr int LZW_FAST_SLOTS = 1 << LZW_FAST_BITS;

// The compressor's tables, kept in a workspace between contexts.
struct LzwTables;

// A slot of the compressor's lookup table: a string's code and a check
// that tells which string it is (lzw_dict.h); a check of 0 when empty.
struct LzwFastSlot {
    uint16_t code;
    uint16_t check;
};

// The state of one stream, compressing or decompressing.  A context is
// used by one thread at a time.
struct LzwContext {
    // Both directions: the code width, its limits and the dictionary size.
    int32_t code_width;
    int32_t max_bits;
    int32_t max_code;
    int32_t code_limit;
    // The compressor's 5003-slot table (key per slot, -1 empty; code per
    // slot).  The decoder takes the same two blocks for its suffix bytes
    // (with its reversal stack behind them) and its prefix codes.
    int32_t* hash_keys;
    uint16_t* hash_codes;
    int32_t hash_size;
    int32_t next_code;
    int32_t block_mode;
    int32_t clear_pending;
    // Compressor: the ratio check and the counts it compares.
    int32_t ratio;
    int32_t checkpoint;
    LzwSink sink;
    void* sink_data;
    // Compressor: the group of codes being merged.
    int32_t out_bits;
    int32_t bytes_in;
    int32_t bytes_out;
    // Four bytes beyond a group so that a code is merged with one 32-bit
    // load and store; only the first code_width bytes are ever written out.
    unsigned char out_group[LZW_GROUP_CAP + 4];
    // Decoder: the group of codes being taken apart.  Likewise: a code is
    // taken with one load of three bytes.
    unsigned char in_group[LZW_GROUP_CAP + 4];
    int32_t in_bits;
    int32_t in_group_bits;
    // Both: the input block of the current step.
    const unsigned char* input;
    int32_t input_left;
    unsigned char started;
    // Compressor, between steps: the current prefix code (every step
    // begins from it alone) and the primary hash shift.
    int32_t saved_prefix;
    int32_t hash_shift;
    // Decoder, between steps (a step always ends with the reversal stack
    // emptied).
    int32_t saved_last_byte;
    int32_t saved_old_code;
    // Decoder: bytes of a group cut by the end of one input block, carried
    // to the next step.
    unsigned char carry_active;
    unsigned char carry[LZW_GROUP_CAP];
    unsigned char* carry_next;
    int32_t carry_left;
    unsigned char final_input;
    // Compressor only.  The strings are looked up in fast_slots (lzw_dict.h);
    // code_keys holds the key of every code assigned, by code.  hash_probe
    // is set once the 5003-slot table itself must answer lookups.  tables
    // holds all four tables of a compressor.
    LzwFastSlot* fast_slots;
    int32_t* code_keys;
    unsigned char hash_probe;
    unsigned char shadow;  // the 5003-slot table notes every string entered
    unsigned char home0_taken;
    unsigned char fast_gaps;  // the fast table holds gaps (blanked whole when emptied)
    LzwTables* tables;
    LzwWorkspace* workspace;  // where the tables go back on release
};

// Largest code of the current width; at the stream's maximum width every
// code up to the limit.  For a 9-bit stream that holds from the start: its
// width never grows, and no group is dropped when its dictionary fills
// (ncompress -b9 writes on without a padded group there).
inline int32_t lzw_width_max_code(const LzwContext* ctx) {
    if (ctx->code_width == ctx->max_bits) return ctx->code_limit;
    return (1 << ctx->code_width) - 1;
}

// Allocates a zero-filled context with both tables; nullptr when memory
// runs out (nothing is left allocated then).
LzwContext* lzw_alloc(LzwSink sink, void* sink_data);

// Next input byte (0-255), or -1 when none is left.
int lzw_get_byte(LzwContext* ctx);
// Copies up to n bytes, first from the carry area, then from the input;
// returns the number copied.
int lzw_read_bytes(LzwContext* ctx, unsigned char* dest, int n);
// Passes the low byte of value to the sink; returns the sink's answer.
int lzw_put_byte(int value, LzwContext* ctx);
// Frees both tables (those that were allocated) and the context.
void lzw_release(LzwContext* ctx);

// Limits the compressor's probes of its lookup table to cap steps (1 to
// 127; anything else restores 127).  Past the limit the 5003-slot table
// answers until the next clear code; the output is the same.  For tests.
void lzw_set_probe_cap(uint32_t cap);

