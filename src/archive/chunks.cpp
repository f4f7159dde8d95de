// The chunk chain reader (see chunks.h).
#include "archive/chunks.h"

#include <cstdint>

#include "archive/block_io.h"

void chunk_chain_begin(ChunkChain* chain, const dir_entry* entry) {
    chain->len = entry->clen;
    chain->flags = entry->entry_flags;
    chain->started = false;
}

int32_t chunk_chain_next(ChunkChain* chain) {
    if (chain->started) {
        if (!(chain->flags & ENTRY_MORE)) return RC_END;
        int32_t rc = read_linked_header(&chain->len, &chain->flags);
        if (rc != RC_OK) return rc;
    }
    chain->started = true;
    return chain->len == 0 ? RC_END : RC_OK;
}

int32_t chunk_chain_skip_rest(ChunkChain* chain, bool current_unread, int64_t* stored) {
    int32_t rc = RC_OK;
    for (bool skip = current_unread && chain->len != 0; skip || (rc = chunk_chain_next(chain)) == RC_OK;
         skip = false) {
        // Passing over needs no bound, but a negative length is damage.
        if (chain->len < 0) return RC_READ;
        if (block_skip(static_cast<uint64_t>(chain->len)) != 0) return RC_READ;
        if (stored != nullptr) *stored = chain->len > INT64_MAX - *stored ? INT64_MAX : *stored + chain->len;
    }
    return rc == RC_END ? RC_OK : rc;
}

int32_t skip_entry_data(const dir_entry* entry, int64_t* stored) {
    ChunkChain chain;
    chunk_chain_begin(&chain, entry);
    return chunk_chain_skip_rest(&chain, false, stored);
}
