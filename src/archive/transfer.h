// The process-wide transfer buffer, used in turn for: the header text and
// the sealed-password block, as they are written and read back (and the
// check of a whole header before an append); the record text of each entry
// read from an archive; and one chunk as stored, read back by unpacking,
// --to-stdout, --test and --compare before it is decoded (the unpack walk
// hands it to restore_entry and verify_entry).  Storing keeps its chunks in
// buffers of its own and formats record text in a local array.
#pragma once

#include <cstdint>

constexpr uint32_t TRANSFER_SIZE = 16384;

// Largest number of source bytes in one chunk.
constexpr uint32_t CHUNK_SIZE = 16383;

extern unsigned char transfer_buffer[TRANSFER_SIZE];
