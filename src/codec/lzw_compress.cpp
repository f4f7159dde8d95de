// PLACEHOLDER: stands in until the real module replaces this whole file.
#include "codec/lzw.h"
int buffer_sink(void*, const unsigned char*, int) { return 0; }
LzwContext* lzw_compress_open(LzwSink, int32_t, void*, const unsigned char*, int32_t) { return nullptr; }
bool lzw_compress_step(LzwContext*, void*, const unsigned char*, int32_t) { return false; }
bool lzw_compress_close(LzwContext*, void*) { return false; }
LzwContext* lzw_decompress_open(LzwSink, void*, const unsigned char*, int32_t, unsigned char) { return nullptr; }
bool lzw_decompress_step(LzwContext*, void*, const unsigned char*, int32_t, unsigned char) { return false; }
bool lzw_decompress_close(LzwContext*, void*) { return false; }
int32_t lzw_get_code(LzwContext*) { return -1; }
int32_t compress_block(const unsigned char*, int32_t length, const unsigned char** result) { *result = nullptr; return length; }
const unsigned char* decompress_block(const unsigned char*, int32_t*) { return nullptr; }
