// Storing one file or directory into the archive being written.
//
// A file's contents are cut into chunks of at most CHUNK_SIZE bytes, each
// compressed on its own and kept raw when compression does not make it
// shorter.  The first chunk follows the directory record, every later one a
// linked header.  Whether another chunk follows is decided from the data
// actually read, one chunk ahead, so a file that changes while it is stored
// still gives one well-formed entry (and message 53).
#include "codec/store.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "archive/block_io.h"
#include "archive/dir_record.h"
#include "archive/transfer.h"
#include "base/messages.h"
#include "codec/lzw.h"

namespace {

// The chunk being written and the one read ahead.  They are this module's
// own: the record writer and the codec use the shared buffers in between.
unsigned char chunk_buffers[2][CHUNK_SIZE];

bool is_separator(char c) { return c == '/' || c == '\\'; }

// The part of path shown (and stored) under the strip flag: what follows its
// last separator, searched from the last character back to the second, so a
// leading separator alone keeps the whole path.
const char* stripped_name(const char* path) {
    size_t len = std::strlen(path);
    for (size_t i = len; i > 1; --i) {
        if (is_separator(path[i - 1])) return path + i;
    }
    return path;
}

// Compresses one chunk and writes it with its record (first chunk) or linked
// header.  Returns 0, or -5 after message 18.
int32_t write_chunk(char* path, const char* prefix, OpContext* ctx, const plat::StatRec* st,
                    int strip, bool first, const unsigned char* source, int32_t n, bool more) {
    const unsigned char* packed = nullptr;
    int32_t len = compress_block(source, n, &packed);
    const unsigned char* data = packed != nullptr ? packed : source;
    int32_t flags = (more ? ENTRY_MORE : 0) | (packed != nullptr ? 0 : ENTRY_RAW);
    int32_t rc = first ? write_dir_record(path, prefix, ctx, st, len, flags, strip)
                       : write_linked_header(ctx, len, flags);
    if (rc != 0) return rc;
    if (block_write(data, static_cast<uint32_t>(len)) != 0) {
        show_error(MSG_WRITE_ERROR, ctx->archive_path);
        return RC_WRITE;
    }
    return RC_OK;
}

// Reads the open source chunk by chunk and writes its entry.  Each chunk's
// successor is read before the chunk is written, so the chunk's ENTRY_MORE
// is known.  *n_stored counts the source bytes written.  Returns 0, -4
// after message 29 (source_name), or -5.
int32_t store_contents(char* path, const char* prefix, OpContext* ctx, const plat::StatRec* st,
                       int strip, const char* source_name, int64_t* n_stored) {
    unsigned char* current = chunk_buffers[0];
    unsigned char* ahead = chunk_buffers[1];
    *n_stored = 0;
    long n = plat::_read(ctx->read_handle, current, CHUNK_SIZE);
    if (n == 0) return write_dir_record(path, prefix, ctx, st, 0, 0, strip);
    for (bool first = true; n > 0; first = false) {
        // A short read is the end of the file; only a full chunk can have a
        // successor.
        long next = n == static_cast<long>(CHUNK_SIZE) ? plat::_read(ctx->read_handle, ahead, CHUNK_SIZE) : 0;
        if (next < 0) break;
        int32_t rc = write_chunk(path, prefix, ctx, st, strip, first, current, static_cast<int32_t>(n), next > 0);
        if (rc == 0) *n_stored += n;
        if (rc != 0 || next == 0) return rc;
        std::swap(current, ahead);
        n = next;
    }
    show_error(MSG_SOURCE_READ, source_name);
    return RC_OPEN;
}

// The stored name of path under prefix, as write_dir_record will form it.
std::string stored_name(const char* path, const char* prefix, const plat::StatRec* st, int strip) {
    const char* shown = strip ? stripped_name(path) : path;
    if (prefix != nullptr && !(st->mode & plat::MODE_DIR)) return std::string(prefix) + "/" + shown;
    return shown;
}

}  // namespace

bool is_archive_itself(const char*, const plat::StatRec* st, OpContext* ctx) {
    if (ctx->output_id_known && plat::same_file(ctx->output_id, st->id)) return true;
    if (!ctx->archive_id_known) {
        plat::StatRec archive;
        if (plat::_stat(ctx->archive_path, &archive) != 0) return false;
        ctx->archive_id = archive.id;
        ctx->archive_id_known = 1;
    }
    return plat::same_file(ctx->archive_id, st->id);
}

int32_t store_file(char* path, const char* prefix, OpContext* ctx, const plat::StatRec* st,
                   int strip) {
    if (is_archive_itself(path, st, ctx)) return RC_OK;
    std::string name = stored_name(path, prefix, st, strip);
    if (!name_fits_record(name.c_str())) {
        show_error(MSG_NAME_NOT_STORABLE, name.c_str());
        return RC_OK;
    }
    if (name.size() >= static_cast<size_t>(NAME_CAP)) {
        show_error(MSG_NAME_TOO_LONG, name.c_str());
        return RC_OK;
    }
    if (st->mode & plat::MODE_DIR) return write_dir_record(path, prefix, ctx, st, 0, 0, strip);
    // write_dir_record may shorten path in place; messages name it whole.
    std::string source(path);
    ctx->read_handle = plat::_open(path, plat::OF_RDONLY | plat::OF_BINARY);
    if (ctx->read_handle < 0) {
        show_error(MSG_SOURCE_OPEN, source.c_str());
        return RC_OPEN;
    }
    if (!(ctx->flags & OPT_QUIET)) {
        std::string shown = printable_name(strip ? stripped_name(path) : path);
        if (prefix != nullptr) stdout_printf("%s/%s\n", printable_name(prefix).c_str(), shown.c_str());
        else stdout_printf("%s\n", shown.c_str());
    }
    int64_t n_stored = 0;
    // Standard output gone: the run stops before anything more is written.
    int32_t rc = stdout_failed() ? RC_OUT_WRITE
                                 : store_contents(path, prefix, ctx, st, strip, source.c_str(), &n_stored);
    plat::_close(ctx->read_handle);
    ctx->read_handle = -1;
    // The record keeps the size of the status call; the chunks hold what
    // was read.
    if (rc == 0 && n_stored != st->size) {
        show_error(MSG_FILE_CHANGED, stored_name(source.c_str(), prefix, st, 0).c_str());
    }
    return rc;
}
