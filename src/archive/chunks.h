// An entry's chunk chain, read in order: the first chunk's length and flags
// come from the directory record, every further chunk's from the linked
// header before it.  One reader serves passing over an entry and restoring
// it, so both see the same chunks.
#pragma once

#include <cstdint>

#include "archive/dir_record.h"

struct ChunkChain {
    int64_t len;    // the current chunk's length as stored (may be damage)
    int32_t flags;  // its ENTRY_MORE and ENTRY_RAW
    bool started;
};

// Starts the chain of entry (its record has just been read).
void chunk_chain_begin(ChunkChain* chain, const dir_entry* entry);

// Moves to the next chunk, whose len bytes then come next in the read
// stream.  Returns RC_OK; RC_END when the entry has no further chunk (the
// previous one lacked ENTRY_MORE, or this one has length 0); RC_LINKED
// after MSG_LINKED_HEADER when a linked header is missing.  The length is
// not checked here.
int32_t chunk_chain_next(ChunkChain* chain);

// Passes over what is left of a chain: the current chunk's bytes when
// current_unread, then every further chunk with its linked header.  Returns
// RC_OK; RC_READ (no message) when data is missing or a length is
// negative; RC_LINKED after MSG_LINKED_HEADER.
int32_t chunk_chain_skip_rest(ChunkChain* chain, bool current_unread, int64_t* stored = nullptr);

// Passes over an entry's chunks and linked headers, adding the bytes of its
// chunks to *stored when given (capped at the largest int64_t).  Returns
// RC_OK; RC_READ (no message) when data is missing or a length is
// negative; RC_LINKED after MSG_LINKED_HEADER.
int32_t skip_entry_data(const dir_entry* entry, int64_t* stored = nullptr);
