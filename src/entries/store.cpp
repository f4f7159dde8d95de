// Storing one file or directory into the archive being written.
//
// A file's contents are cut into chunks of at most CHUNK_SIZE bytes, each
// compressed on its own and kept raw when compression does not make it
// shorter.  The first chunk follows the directory record, every later one a
// linked header.  Whether another chunk follows is decided from the data
// actually read, one chunk ahead, so a file that changes while it is stored
// still gives one well-formed entry (and message 53).
#include "entries/store.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "archive/block_io.h"
#include "archive/dir_record.h"
#include "archive/stored_name.h"
#include "archive/transfer.h"
#include "base/messages.h"
#include "codec/lzw.h"

namespace {

// The chunk being written and the one read ahead.  They are this module's
// own: the record writer and the codec use the shared buffers in between.
unsigned char chunk_buffers[2][CHUNK_SIZE];

// A file being stored: its path as the working directory names it, its
// stored name and its status.
struct SourceFile {
    const char* path;
    const char* stored;
    const plat::StatRec* st;
};

// Writes the file's directory record with the first chunk's length and
// flags.
int32_t write_file_record(OpContext* ctx, const SourceFile& file, int64_t first_len, int32_t flags) {
    return write_dir_record(ctx, RecordKind::file, file.stored, file.path, file.st, first_len, flags);
}

// Compresses one chunk and writes it with its record (first chunk) or linked
// header.  Returns 0, or -5 after message 18.
int32_t write_chunk(OpContext* ctx, const SourceFile& file, bool first, const unsigned char* source,
                    int32_t n, bool more) {
    const unsigned char* packed = nullptr;
    int32_t len = compress_block(source, n, &packed);
    const unsigned char* data = packed != nullptr ? packed : source;
    int32_t flags = (more ? ENTRY_MORE : 0) | (packed != nullptr ? 0 : ENTRY_RAW);
    int32_t rc = first ? write_file_record(ctx, file, len, flags) : write_linked_header(ctx, len, flags);
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
// after message 29, or -5.
int32_t store_contents(OpContext* ctx, const SourceFile& file, int64_t* n_stored) {
    unsigned char* current = chunk_buffers[0];
    unsigned char* ahead = chunk_buffers[1];
    *n_stored = 0;
    long n = plat::_read(ctx->read_handle, current, CHUNK_SIZE);
    if (n == 0) return write_file_record(ctx, file, 0, 0);
    for (bool first = true; n > 0; first = false) {
        // A short read is the end of the file; only a full chunk can have a
        // successor.
        long next = n == static_cast<long>(CHUNK_SIZE) ? plat::_read(ctx->read_handle, ahead, CHUNK_SIZE) : 0;
        if (next < 0) break;
        int32_t rc = write_chunk(ctx, file, first, current, static_cast<int32_t>(n), next > 0);
        if (rc == 0) *n_stored += n;
        if (rc != 0 || next == 0) return rc;
        std::swap(current, ahead);
        n = next;
    }
    show_error(MSG_SOURCE_READ, file.path);
    return RC_OPEN;
}

// A stored name must fit its record field.  Returns false after message 47.
bool name_fits(const std::string& name) {
    if (name.size() < static_cast<size_t>(NAME_CAP)) return true;
    show_error(MSG_NAME_TOO_LONG, name.c_str());
    return false;
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

int32_t store_file(const char* path, const char* dir_part, OpContext* ctx, const plat::StatRec* st,
                   int strip) {
    if (is_archive_itself(path, st, ctx)) return RC_OK;
    std::string name = stored_name(RecordKind::file, path, dir_part, strip);
    if (!name_fits_record(name.c_str())) {
        show_error(MSG_NAME_NOT_STORABLE, name.c_str());
        return RC_OK;
    }
    if (!name_fits(name)) return RC_OK;
    ctx->read_handle = plat::_open(path, plat::OF_RDONLY | plat::OF_BINARY);
    if (ctx->read_handle < 0) {
        show_error(MSG_SOURCE_OPEN, path);
        return RC_OPEN;
    }
    if (!(ctx->flags & OPT_QUIET)) stdout_printf("%s\n", printable_name(name.c_str()).c_str());
    int64_t n_stored = 0;
    // Standard output gone: the run stops before anything more is written.
    int32_t rc = stdout_failed() ? RC_OUT_WRITE : store_contents(ctx, SourceFile{path, name.c_str(), st}, &n_stored);
    plat::_close(ctx->read_handle);
    ctx->read_handle = -1;
    // The record keeps the size of the status call; the chunks hold what
    // was read.  The message names the file unstripped.
    if (rc == 0 && n_stored != st->size) {
        show_error(MSG_FILE_CHANGED, stored_name(RecordKind::file, path, dir_part, 0).c_str());
    }
    return rc;
}

int32_t store_directory(RecordKind kind, const char* stored, OpContext* ctx, const plat::StatRec* st) {
    if (!name_fits(stored)) return RC_OK;
    return write_dir_record(ctx, kind, stored, stored, st, 0, 0);
}
