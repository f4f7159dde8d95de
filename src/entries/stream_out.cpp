// --to-stdout: entry contents to standard output, in archive order.
#include "entries/stream_out.h"

#include "archive/chunks.h"
#include "base/messages.h"
#include "entries/integrity.h"
#include "platform/platform.h"

namespace {

// Copies every chunk of a file entry to handle out, with the checks of a
// restored file (the bytes already written stay written).
int32_t stream_chunks(unsigned char* buffer, const dir_entry* entry, OpContext* ctx, int out) {
    ChunkChain chain;
    chunk_chain_begin(&chain, entry);
    file_check_begin();
    const unsigned char* data = nullptr;
    int32_t count = 0;
    int32_t rc;
    while ((rc = next_decoded_chunk(&chain, buffer, ctx, entry->name, &data, &count)) == RC_OK) {
        if (plat::_write(out, data, static_cast<unsigned>(count)) != count) {
            // A reader that has gone (| head) ends the run without a word,
            // as for every other write to standard output.
            if (!plat::stdout_pipe_closed()) show_error(MSG_STDOUT_WRITE);
            return RC_OUT_WRITE;
        }
        file_check_add(data, count);
    }
    if (rc != RC_END) return rc;
    rc = file_check_end(entry, ctx, entry->name);
    if (rc == RC_OK && file_check_size_unvouched()) rc = RC_DAMAGED;
    return rc;
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
