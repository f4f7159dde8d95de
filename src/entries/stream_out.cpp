// --to-stdout: entry contents to standard output, in archive order.
#include "entries/stream_out.h"

#include "archive/block_io.h"
#include "archive/chunks.h"
#include "archive/transfer.h"
#include "base/messages.h"
#include "codec/lzw.h"
#include "platform/platform.h"

namespace {

// Copies every chunk of a file entry to handle out.
int32_t stream_chunks(unsigned char* buffer, const dir_entry* entry, OpContext* ctx, int out) {
    ChunkChain chain;
    chunk_chain_begin(&chain, entry);
    int32_t rc;
    while ((rc = chunk_chain_next(&chain)) == RC_OK) {
        // A chunk never holds more than the transfer buffer.
        if (chain.len < 0 || chain.len > TRANSFER_SIZE) {
            show_error(MSG_CORRUPT_DATA, entry->name);
            return RC_READ;
        }
        if (block_read(buffer, static_cast<uint32_t>(chain.len)) != 0) {
            show_error(MSG_READ_ERROR, ctx->archive_path);
            return RC_READ;
        }
        const unsigned char* data = buffer;
        int32_t count = static_cast<int32_t>(chain.len);
        if (!(chain.flags & ENTRY_RAW)) data = decompress_block(buffer, &count);
        if (data == nullptr) {
            show_error(MSG_CORRUPT_DATA, entry->name);
            return RC_READ;
        }
        if (plat::_write(out, data, static_cast<unsigned>(count)) != count) {
            show_error(MSG_STDOUT_WRITE);
            return RC_OUT_WRITE;
        }
    }
    return rc == RC_END ? RC_OK : rc;
}

}  // namespace

int32_t stream_entry(unsigned char* buffer, dir_entry* entry, OpContext* ctx) {
    if (!(entry->mode & plat::MODE_DIR)) return stream_chunks(buffer, entry, ctx, plat::std_stream_handle(1));
    // A directory carries no data; should a damaged archive give it some,
    // it is passed over as unpacking does.
    if (entry->clen == 0) return RC_OK;
    int32_t rc = skip_entry_data(entry);
    if (rc != 0) show_error(MSG_READ_ERROR, entry->name);
    return rc;
}
