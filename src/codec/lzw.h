// The LZW codec of the UNIX compress stream format (magic 1F 9D).
//
// Codes of 9 to 12 bits, least significant bit first, in groups of eight
// codes; block mode with the clear code 256.  The coder reads memory blocks
// and hands every output byte to a sink.  compress_block and
// decompress_block run one whole chunk through the main thread's 32768-byte
// codec output area; another thread codes with a workspace of its own
// (compress_block_in).
#pragma once

#include <cstdint>

constexpr uint32_t CODEC_OUT_SIZE = 32768;

// Returns nonzero when it has taken the count bytes, 0 when it refuses them.
using LzwSink = int (*)(void* sink_data, const unsigned char* bytes, int count);

struct LzwContext;

// An output area and the compressor's reusable tables, for one thread at a
// time.  The main thread's is built in; lzw_workspace_new returns nullptr
// when memory runs out.
struct LzwWorkspace;
LzwWorkspace* lzw_workspace_new();
void lzw_workspace_free(LzwWorkspace* ws);

// Appends to the output area of the workspace whose area sink_data names
// (nullptr: the main thread's).  Refuses (returns 0) bytes that would pass
// its end.
int buffer_sink(void* sink_data, const unsigned char* bytes, int count);

LzwContext* lzw_compress_open(LzwSink sink, int32_t size_hint, void* sink_data,
                              const unsigned char* input, int32_t input_len);
bool lzw_compress_step(LzwContext* ctx, void* sink_data, const unsigned char* input,
                       int32_t input_len);
bool lzw_compress_close(LzwContext* ctx, void* sink_data);

// Returns nullptr when the header is bad, the stream holds no code, or the
// data is corrupt (see decompress_block).
LzwContext* lzw_decompress_open(LzwSink sink, void* sink_data, const unsigned char* input,
                                int32_t input_len, unsigned char final_input);
bool lzw_decompress_step(LzwContext* ctx, void* sink_data, const unsigned char* input,
                         int32_t input_len, unsigned char final_input);
bool lzw_decompress_close(LzwContext* ctx, void* sink_data);

// Next code, or -1 at the end of the input.
int32_t lzw_get_code(LzwContext* ctx);

// Compresses length bytes.  When the stream is shorter than length, *result
// points into the codec output area and the stream's length is returned;
// otherwise *result is nullptr and length is returned (store it raw).
int32_t compress_block(const unsigned char* data, int32_t length, const unsigned char** result);
// The same with the tables and output area of ws: *result points into ws's
// area and stays valid until ws codes its next block.
int32_t compress_block_in(LzwWorkspace* ws, const unsigned char* data, int32_t length,
                          const unsigned char** result);

// Decodes one chunk.  On entry *length is the compressed length; on return
// the number of bytes produced.  Returns the start of the codec output area,
// or nullptr when the chunk is corrupt: bad magic, a maximum width above 12,
// no code, a code above the next free code, a prefix chain longer than the
// reversal stack, or output beyond the 32768-byte area.
const unsigned char* decompress_block(const unsigned char* data, int32_t* length);
