// The codec output areas and workspaces, the input routines that the
// compressor and the decompressor share, and the contexts' allocation.
#include "codec/lzw_area.h"

#include <new>

#include "codec/lzw_dict.h"

LzwWorkspace lzw_main_workspace;

LzwTables* lzw_take_tables(LzwWorkspace* ws) {
    for (std::unique_ptr<LzwTables>& spare : ws->spare_tables) {
        if (spare != nullptr) return spare.release();
    }
    LzwTables* tables = new (std::nothrow) LzwTables;
    if (tables != nullptr) lzw_blank_fast_table(tables->fast_slots);
    return tables;
}

void lzw_put_back_tables(LzwWorkspace* ws, LzwTables* tables) {
    for (std::unique_ptr<LzwTables>& spare : ws->spare_tables) {
        if (spare == nullptr) {
            spare.reset(tables);
            return;
        }
    }
    delete tables;
}

int buffer_sink(void* sink_data, const unsigned char* bytes, int count) {
    LzwArea* const area = sink_data != nullptr ? static_cast<LzwArea*>(sink_data) : &lzw_main_workspace.area;
    return count >= 0 && lzw_area_append(area, bytes, count, false);
}

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
