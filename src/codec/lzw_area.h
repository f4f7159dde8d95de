// Private to the codec: the output areas with the workspaces that own them,
// and the compressor's tables that a workspace keeps between contexts.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

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

// What one coding thread owns: an output area for each chunk of a batch
// (the first one is a single chunk's), and the tables of the last
// compressor contexts it released, kept for the next ones so that a chunk
// costs no allocation.  Kept tables hold no string in their fast table.
struct LzwWorkspace {
    LzwArea area;
    LzwArea batch_areas[LZW_BATCH_MAX - 1];
    std::unique_ptr<LzwTables> spare_tables[LZW_BATCH_MAX];
};

// The output area of chunk i of a batch.
inline LzwArea* lzw_batch_area(LzwWorkspace* ws, int32_t i) { return i == 0 ? &ws->area : &ws->batch_areas[i - 1]; }

// The main thread's workspace, behind compress_block and decompress_block.
extern LzwWorkspace lzw_main_workspace;

// A blank tables block for a new compressor context: the workspace's kept
// one, or a new one (nullptr when memory runs out).
LzwTables* lzw_take_tables(LzwWorkspace* ws);
// Keeps tables (holding no string) for the workspace's next context, or
// frees them when it keeps a batch's worth already.
void lzw_put_back_tables(LzwWorkspace* ws, LzwTables* tables);

// The area buffer_sink appends to: the one named by the sink data, or the
// main thread's.
inline LzwArea* lzw_area_of(const LzwContext* ctx) {
    return ctx->sink_data != nullptr ? static_cast<LzwArea*>(ctx->sink_data) : &lzw_main_workspace.area;
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
