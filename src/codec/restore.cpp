// Restoring one archive entry: a directory is created, a file is written
// chunk by chunk from the archive and then given its stored attributes,
// times and permissions.
//
// Every output path is formed by resolve_output_path, so no stored name,
// however it is written, reaches outside the directory the walk started in.
#include "codec/restore.h"

#include <cstdio>
#include <cstring>

#include "archive/block_io.h"
#include "archive/transfer.h"
#include "archive/walk.h"
#include "base/messages.h"
#include "codec/lzw.h"
#include "platform/platform.h"

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Drops the last component of rel (rel_len bytes); returns the new length.
size_t drop_last_component(const char* rel, size_t rel_len) {
    while (rel_len > 0 && rel[rel_len - 1] != '/') --rel_len;
    return rel_len > 0 ? rel_len - 1 : 0;
}

// Closes and deletes a partly written output file.  Message 19 when the
// file cannot be deleted.
void discard_output(OpContext* ctx, const char* out_path) {
    plat::_close(ctx->write_handle);
    ctx->write_handle = -1;
    if (plat::_unlink(out_path) != 0) show_error(19, out_path);
}

int32_t corrupt_chunk(OpContext* ctx, const char* out_path) {
    show_error(MSG_CORRUPT_DATA, out_path);
    discard_output(ctx, out_path);
    return RC_READ;
}

// Copies every chunk of a file entry to the open output file.  On failure
// the output file is closed and deleted and the negative code returned.
int32_t copy_chunks(unsigned char* buffer, const dir_entry* entry, OpContext* ctx,
                    const char* out_path) {
    int64_t chunk_len = entry->clen;
    int32_t chunk_flags = entry->entry_flags;
    while (chunk_len != 0) {
        // A chunk never holds more than the transfer buffer; a longer or a
        // negative length can only come from a damaged archive.
        if (chunk_len < 0 || chunk_len > TRANSFER_SIZE) return corrupt_chunk(ctx, out_path);
        if (block_read(buffer, static_cast<uint32_t>(chunk_len)) != 0) {
            show_error(15, ctx->archive_path);
            discard_output(ctx, out_path);
            return RC_READ;
        }
        const unsigned char* data = buffer;
        int32_t count = static_cast<int32_t>(chunk_len);
        if (!(chunk_flags & ENTRY_RAW)) {
            data = decompress_block(buffer, &count);
            if (data == nullptr) return corrupt_chunk(ctx, out_path);
        }
        if (plat::_write(ctx->write_handle, data, static_cast<unsigned>(count)) != count) {
            show_error(18, out_path);
            discard_output(ctx, out_path);
            return RC_OUT_WRITE;
        }
        if (!(chunk_flags & ENTRY_MORE)) break;
        int32_t rc = read_linked_header(ctx, &chunk_len, &chunk_flags);
        if (rc != 0) {
            discard_output(ctx, out_path);
            return rc;
        }
    }
    return RC_OK;
}

int32_t restore_directory(unsigned char* buffer, dir_entry* entry, OpContext* ctx,
                          const char* out_path) {
    if (!(entry->entry_flags & ENTRY_DIR_END)) {
        // A name that resolves to the target directory itself lands here too:
        // it exists, so it is only reported.
        if (plat::_access(out_path, 4) == 0) {
            show_info(518, out_path);
        } else if (plat::_mkdir(out_path) != 0) {
            show_error(16, entry->name);
            return RC_MKDIR;
        }
    }
    // A directory carries no data.  Should a damaged archive give it some,
    // pass over it exactly as the listing does, so that both walks see the
    // same entries.
    if (entry->clen == 0) return RC_OK;
    int32_t rc = skip_entry_data(buffer, entry, ctx);
    if (rc != 0) show_error(15, entry->name);
    return rc;
}

int32_t restore_file(unsigned char* buffer, dir_entry* entry, OpContext* ctx, const char* out_path,
                     const char* resolved) {
    // A name that resolves to nothing would open the target directory
    // itself: refuse it as an output file that cannot be opened.
    if (resolved[0] == '\0') {
        show_error(17, out_path);
        return RC_OUT_OPEN;
    }
    int h = plat::_open(out_path, plat::OF_WRONLY | plat::OF_CREAT | plat::OF_TRUNC | plat::OF_BINARY,
                        plat::S_IWRITE_);
    if (h < 0) {
        show_error(17, out_path);
        return RC_OUT_OPEN;
    }
    ctx->write_handle = h;
    int32_t rc = copy_chunks(buffer, entry, ctx, out_path);
    if (rc != 0) return rc;
    plat::_close(h);
    ctx->write_handle = -1;
    apply_file_properties(ctx, entry, out_path);
    return RC_OK;
}

}  // namespace

bool resolve_output_path(const char* dir, const char* name, char* out, int cap, char* resolved,
                         bool* climbed) {
    char rel[NAME_CAP];
    size_t rel_len = 0;
    *climbed = false;
    const char* p = name;
    while (*p != '\0') {
        while (is_separator(*p)) ++p;
        const char* start = p;
        while (*p != '\0' && !is_separator(*p)) ++p;
        size_t len = static_cast<size_t>(p - start);
        if (len == 0 || (len == 1 && start[0] == '.')) continue;
        if (len == 2 && start[0] == '.' && start[1] == '.') {
            if (rel_len == 0) {
                *climbed = true;  // would leave dir: dropped
            } else {
                rel_len = drop_last_component(rel, rel_len);
            }
            continue;
        }
        size_t need = rel_len + (rel_len > 0 ? 1 : 0) + len;
        if (need >= sizeof rel) return false;
        if (rel_len > 0) rel[rel_len++] = '/';
        std::memcpy(rel + rel_len, start, len);
        rel_len += len;
    }
    rel[rel_len] = '\0';
    if (resolved != nullptr && std::snprintf(resolved, static_cast<size_t>(cap), "%s", rel) >= cap)
        return false;
    size_t dir_len = std::strlen(dir);
    // The root as dir already ends with its separator.
    const char* join = (rel_len == 0 || (dir_len > 0 && is_separator(dir[dir_len - 1]))) ? "" : "/";
    int n = std::snprintf(out, static_cast<size_t>(cap), "%s%s%s", dir, join, rel);
    return n >= 0 && n < cap;
}

int32_t restore_entry(unsigned char* buffer, dir_entry* entry, OpContext* ctx) {
    char out_path[plat::PATH_CAP];
    char resolved[plat::PATH_CAP];
    bool climbed = false;
    bool is_dir = (entry->mode & plat::MODE_DIR) != 0;
    if (!resolve_output_path(entry->dir, entry->name, out_path, sizeof out_path, resolved,
                             &climbed)) {
        // The joined path does not fit an operating-system path.
        if (is_dir) {
            show_error(16, entry->name);
            return RC_MKDIR;
        }
        show_error(17, entry->name);
        return RC_OUT_OPEN;
    }
    // A closing record creates nothing, so it has nothing to report either.
    bool closing = is_dir && (entry->entry_flags & ENTRY_DIR_END);
    if (climbed && !closing) show_error(MSG_UNSAFE_PATH, entry->name, resolved);
    if (is_dir) return restore_directory(buffer, entry, ctx, out_path);
    return restore_file(buffer, entry, ctx, out_path, resolved);
}

void apply_file_properties(OpContext* ctx, const dir_entry* entry, const char* out_path) {
    if (entry->mode & plat::MODE_DIR) return;
    // Attribute characters mean hidden and system only in archives of this
    // program's origin.
    if (entry->attr_len > 0 && entry->attr != nullptr && (ctx->flags & ORIGIN_KELPARC)) {
        uint32_t attrs = 0;
        if (entry->attr[0] == '1') attrs |= plat::FILE_ATTRIBUTE_HIDDEN;
        if (entry->attr_len > 1 && entry->attr[1] == '1') attrs |= plat::FILE_ATTRIBUTE_SYSTEM;
        if (attrs != 0) {
            attrs |= plat::FILE_ATTRIBUTE_ARCHIVE;
            if (!plat::SetFileAttributesA(out_path, attrs)) show_error(36, entry->name);
        }
    }
    if (plat::_utime(out_path, entry->atime, entry->mtime) == -1) show_error(37, entry->name);
    // The mode is the stored 16-bit word, sign-extended.
    if (plat::_chmod(out_path, static_cast<int16_t>(entry->mode)) == -1) show_error(38, entry->name);
}
