// The LZW codec of the UNIX compress stream format (magic 1F 9D).
//
// Codes of 9 to 12 bits, least significant bit first, in groups of eight
// codes; block mode with the clear code 256.  The coder reads memory blocks
// and hands every output byte to a sink.  compress_block runs one whole
// chunk through the main thread's 32768-byte codec output area, and
// decompress_block through the main thread's output area of its own;
// another thread compresses with a workspace of its own
// (compress_block_in), which also codes several chunks at once
// (compress_blocks_in), and decodes with an area of its own
// (decompress_block_in).
#pragma once

#include <cstdint>

constexpr uint32_t CODEC_OUT_SIZE = 32768;
// The most chunks compress_blocks_in codes at once.
constexpr int32_t LZW_BATCH_MAX = 4;

// Returns nonzero when it has taken the count bytes, 0 when it refuses them.
using LzwSink = int (*)(void* sink_data, const unsigned char* bytes, int count);

struct LzwContext;

// An output area per chunk of a batch and the compressor's reusable
// tables, for one thread at a time.  The main thread's is built in; lzw_workspace_new returns nullptr
// when memory runs out.
struct LzwWorkspace;
LzwWorkspace* lzw_workspace_new();
void lzw_workspace_free(LzwWorkspace* ws);

// Appends to the output area of the workspace whose area sink_data names
// (nullptr: the main thread's).  Refuses (returns 0) bytes that would pass
// its end.
int buffer_sink(void* sink_data, const unsigned char* bytes, int count);

LzwContext* lzw_compress_open(LzwSink sink, void* sink_data, const unsigned char* input, int32_t input_len);
bool lzw_compress_step(LzwContext* ctx, void* sink_data, const unsigned char* input,
                       int32_t input_len);
bool lzw_compress_close(LzwContext* ctx, void* sink_data);

// The streaming decoder: a stream in pieces into any sink, walking prefix
// chains.  Only the tests and the fuzz targets use it, as the independent
// reading that decompress_block is checked against.  Returns nullptr when
// the header is bad, the stream holds no code, or the data is corrupt (see
// decompress_block).
LzwContext* lzw_decompress_open(LzwSink sink, void* sink_data, const unsigned char* input,
                                int32_t input_len, unsigned char final_input);
bool lzw_decompress_step(LzwContext* ctx, void* sink_data, const unsigned char* input,
                         int32_t input_len, unsigned char final_input);
bool lzw_decompress_close(LzwContext* ctx, void* sink_data);

// Compresses length bytes.  When the stream is shorter than length, *result
// points into the codec output area and the stream's length is returned;
// otherwise *result is nullptr and length is returned (store it raw).
int32_t compress_block(const unsigned char* data, int32_t length, const unsigned char** result);
// The same with the tables and output area of ws: *result points into ws's
// area and stays valid until ws codes its next block.
int32_t compress_block_in(LzwWorkspace* ws, const unsigned char* data, int32_t length,
                          const unsigned char** result);

// One chunk of a batch: data and length go in; result and result_len come
// back as compress_block_in's *result and return value.
struct LzwBlock {
    const unsigned char* data;
    int32_t length;
    const unsigned char* result;
    int32_t result_len;
};

// Compresses n chunks (1 to LZW_BATCH_MAX) in one loop that steps through
// all of them, so that their dictionary lookups overlap.  Each chunk gets
// exactly what compress_block_in gives it; its result points into an area
// of ws of its own and stays valid until ws codes again.
void compress_blocks_in(LzwWorkspace* ws, LzwBlock* blocks, int32_t n);

// Decodes one chunk.  On entry *length is the compressed length; on return
// the number of bytes produced (0 when corrupt).  Returns the start of the
// decoder's output (valid until the next decompress_block), or nullptr
// when the chunk is corrupt: bad magic, a maximum width above 12, no code,
// a first code that is not a byte, a code above the next free code, or
// output beyond 32768 bytes.  Every prefix of a string is an earlier code,
// so no chain can loop or outgrow a bound.
const unsigned char* decompress_block(const unsigned char* data, int32_t* length);

// A decoder's output area and string table, for one thread at a time;
// lzw_decode_area_new returns nullptr when memory runs out.
struct LzwDecodeArea;
LzwDecodeArea* lzw_decode_area_new();
void lzw_decode_area_free(LzwDecodeArea* area);
// decompress_block with area: the result points into area and stays valid
// until area decodes again.
const unsigned char* decompress_block_in(LzwDecodeArea* area, const unsigned char* data, int32_t* length);
