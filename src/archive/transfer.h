// The process-wide transfer buffer: in turn header text, record text, the
// source bytes of one chunk, or one chunk read back from an archive.
#pragma once

#include <cstdint>

constexpr uint32_t TRANSFER_SIZE = 16384;

// Largest number of source bytes in one chunk.
constexpr uint32_t CHUNK_SIZE = 16383;

extern unsigned char transfer_buffer[TRANSFER_SIZE];
