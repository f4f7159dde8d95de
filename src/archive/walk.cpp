// The walks over an archive's entries.  Both read every entry to its end
// (record length, record text, attribute block, chunks with their linked
// headers) before the next one starts: the archive has no index.
#include "archive/walk.h"

#include <cstdio>

#include "archive/block_io.h"
#include "archive/transfer.h"
#include "base/messages.h"
#include "codec/restore.h"
#include "platform/platform.h"

namespace {

// Reads the record length field and the record text into the transfer
// buffer and parses them into entry.  Returns 0; 1 at the end of the
// archive; a negative code for a record that cannot be read (*read_failed
// set: a read failure, a corrupt length field, a short text, a stored name
// over 255 characters) or the parser's code.
int32_t read_entry(dir_entry* entry, bool* read_failed) {
    *read_failed = false;
    int64_t record_len = 0;
    int32_t rc = read_record_length(&record_len);
    if (rc == RC_END) return RC_END;
    if (rc != RC_OK || record_len > TRANSFER_SIZE ||
        block_read(transfer_buffer, static_cast<uint32_t>(record_len)) != 0) {
        *read_failed = true;
        return RC_READ;
    }
    rc = parse_dir_record(reinterpret_cast<const char*>(transfer_buffer),
                          static_cast<uint32_t>(record_len), entry);
    // A stored name too long for its field is a malformed record.
    if (rc == RC_READ) *read_failed = true;
    return rc;
}

// Sets the walk's directory to the working directory ("." when it cannot be
// read, which still keeps every output below it).
void set_walk_dir(dir_entry* entry) {
    if (plat::_getcwd(entry->dir, plat::PATH_CAP) == nullptr) std::snprintf(entry->dir, plat::PATH_CAP, ".");
}

// The -s rule: a file entry whose output path holds a file of the same size
// and modification time is passed over.
bool same_as_on_disk(const dir_entry* entry, const OpContext* ctx) {
    if (!(ctx->flags & OPT_SKIP_SAME) || !origin_has_bit_4(ctx->flags)) return false;
    if ((entry->entry_flags & ENTRY_DIR_END) || (entry->mode & plat::MODE_DIR)) return false;
    char out_path[plat::PATH_CAP];
    bool climbed = false;
    if (!resolve_output_path(entry->dir, entry->name, out_path, sizeof out_path, nullptr, &climbed))
        return false;
    plat::StatRec st;
    if (plat::_stat(out_path, &st) != 0) return false;
    return st.size == entry->size && st.mtime == entry->mtime;
}

}  // namespace

int32_t skip_entry_data(unsigned char* /*buffer*/, dir_entry* entry, OpContext* ctx) {
    int64_t chunk_len = entry->clen;
    int32_t chunk_flags = entry->entry_flags;
    while (chunk_len != 0) {
        // Passing over needs no bound, but a negative length is damage.
        if (chunk_len < 0) return RC_READ;
        if (block_skip(static_cast<uint64_t>(chunk_len)) != 0) return RC_READ;
        if (!(chunk_flags & ENTRY_MORE)) break;
        int32_t rc = read_linked_header(ctx, &chunk_len, &chunk_flags);
        if (rc != 0) return rc;
    }
    return RC_OK;
}

int32_t uncompress_step(dir_entry* entry, OpContext* ctx, OpenDirs* open_dirs) {
    bool read_failed = false;
    int32_t rc = read_entry(entry, &read_failed);
    if (read_failed) {
        show_error(MSG_READ_ERROR, ctx->archive_path);
        return RC_READ;
    }
    if (rc != RC_OK) return rc;
    bool quiet = (ctx->flags & OPT_QUIET) != 0;
    bool same = same_as_on_disk(entry, ctx);
    bool hidden_skip = (entry->entry_flags & ENTRY_HIDDEN_SKIP) != 0;
    if (same || hidden_skip) {
        if (same && !hidden_skip && !quiet) {
            show_info(MSG_SKIPPING, entry->name);
            std::fflush(stdout);
        }
        rc = skip_entry_data(transfer_buffer, entry, ctx);
        if (rc != 0) show_error(MSG_READ_ERROR, entry->name);
        return rc;
    }
    if (!quiet && !(entry->entry_flags & ENTRY_DIR_END)) {
        std::printf("%s\n", entry->name);
        std::fflush(stdout);
    }
    return restore_entry(transfer_buffer, entry, ctx, open_dirs);
}

int32_t uncompress_walk(OpContext* ctx) {
    dir_entry entry{};
    OpenDirs open_dirs;
    set_walk_dir(&entry);
    for (;;) {
        int32_t rc = uncompress_step(&entry, ctx, &open_dirs);
        if (rc == RC_END) break;
        if (rc < 0) return rc;
    }
    if (!(ctx->flags & OPT_QUIET)) std::printf("\n");
    return RC_OK;
}

int32_t list_step(dir_entry* entry, OpContext* ctx) {
    bool read_failed = false;
    int32_t rc = read_entry(entry, &read_failed);
    if (read_failed) show_error(MSG_READ_ERROR, ctx->archive_path);
    if (rc != RC_OK) return rc;
    if (!(ctx->flags & OPT_QUIET) && !(entry->entry_flags & (ENTRY_DIR_END | ENTRY_HIDDEN_SKIP)))
        std::printf("%s", entry->name);
    rc = skip_entry_data(transfer_buffer, entry, ctx);
    // A missing linked header has said so itself (message 20).
    if (rc == RC_READ) show_error(MSG_READ_ERROR, ctx->archive_path);
    return rc;
}

int32_t list_walk(OpContext* ctx) {
    dir_entry entry{};
    set_walk_dir(&entry);
    bool quiet = (ctx->flags & OPT_QUIET) != 0;
    for (;;) {
        int32_t rc = list_step(&entry, ctx);
        if (rc < 0) return rc;
        if (!quiet) std::printf("\n");
        if (rc == RC_END) return RC_OK;
    }
}
