// Writers of the entry format: the directory record with its length field
// and attribute block, and the linked header before each further chunk.
#include <cstdio>
#include <cstring>

#include "archive/block_io.h"
#include "archive/dir_record.h"
#include "base/messages.h"
#include "base/progress.h"

unsigned char attr_buffer[ATTR_CAP];

namespace {

// Formats the record text into text (RECORD_TEXT_CAP bytes).  Returns its
// length without the NUL, or -1 when the stored path is over 255 characters
// or the text does not fit (nothing must then be written: a reader would
// refuse such a record).
int format_record_text(char* text, const char* path, const plat::StatRec* st, int32_t flags,
                       int64_t first_len, int32_t attr_len) {
    if (std::strlen(path) > NAME_CAP - 1) return -1;
    int n = std::snprintf(text, RECORD_TEXT_CAP, "%s%c%u %d %lld %lld %lld %lld %lld %d", path, 0x04,
                          static_cast<unsigned>(static_cast<uint16_t>(st->mode)), flags,
                          static_cast<long long>(st->size), static_cast<long long>(st->atime),
                          static_cast<long long>(st->mtime), static_cast<long long>(st->ctime),
                          static_cast<long long>(first_len), attr_len);
    return n >= 0 && n < RECORD_TEXT_CAP ? n : -1;
}

// Writes the length field, the text with its NUL and the attribute block.
int32_t write_record_pieces(const char* text, int text_len, int32_t attr_len) {
    // "%d" of R in a zeroed field: R has at most 3 digits, so the NUL is
    // always inside the 4 bytes; a 2-digit R leaves one padding byte of 0.
    char field[16] = {};
    std::snprintf(field, sizeof field, "%d", text_len + 1);
    if (block_write(field, RECORD_LEN_FIELD) != 0) return RC_WRITE;
    if (block_write(text, static_cast<uint32_t>(text_len) + 1) != 0) return RC_WRITE;
    if (attr_len > 0 && block_write(attr_buffer, static_cast<uint32_t>(attr_len)) != 0) return RC_WRITE;
    return RC_OK;
}

}  // namespace

bool name_fits_record(const char* name) { return std::strchr(name, '\x04') == nullptr; }

int32_t build_attr_block(OpContext* ctx, const char* name, unsigned char* out) {
    if (!(ctx->flags & (OPT_HIDDEN | OPT_SYSTEM))) return 0;
    uint32_t attrs = plat::GetFileAttributesA(name);
    if (attrs == plat::ATTR_INVALID) return 0;
    out[0] = (attrs & plat::ATTR_HIDDEN) ? '1' : '0';
    out[1] = (attrs & plat::ATTR_SYSTEM) ? '1' : '0';
    return 2;
}

int32_t record_attr_block(OpContext* ctx, RecordKind kind, const char* attr_path, unsigned char* out) {
    if (kind == RecordKind::dir_close) return 0;  // a closing record carries no attributes
    return build_attr_block(ctx, attr_path, out);
}

int32_t write_dir_record(OpContext* ctx, RecordKind kind, const char* stored, const char* attr_path,
                         const plat::StatRec* st, int64_t first_len, int32_t flags) {
    const int32_t attr_len = record_attr_block(ctx, kind, attr_path, attr_buffer);
    return write_dir_record_with_attr(ctx, kind, stored, st, first_len, flags, attr_buffer, attr_len);
}

int32_t write_dir_record_with_attr(OpContext* ctx, RecordKind kind, const char* stored, const plat::StatRec* st,
                                   int64_t first_len, int32_t flags, const unsigned char* attr, int32_t attr_len) {
    if (kind == RecordKind::dir_close) flags |= ENTRY_DIR_END;
    if (attr != attr_buffer && attr_len > 0) std::memcpy(attr_buffer, attr, static_cast<size_t>(attr_len));
    char text[RECORD_TEXT_CAP];
    int text_len = format_record_text(text, stored, st, flags, first_len, attr_len);
    if (text_len < 0) {
        show_error(MSG_NAME_TOO_LONG, stored);
        return RC_WRITE;
    }
    if (write_record_pieces(text, text_len, attr_len) != 0) {
        show_error(MSG_WRITE_ERROR, ctx->archive_path);
        return RC_WRITE;
    }
    if (kind != RecordKind::dir_close) progress_entry();
    return RC_OK;
}

int32_t write_linked_header(OpContext* ctx, int64_t chunk_len, int32_t chunk_flags) {
    char field[LINKED_HEADER_LEN] = {};
    int n = std::snprintf(field, sizeof field, "%lld %d", static_cast<long long>(chunk_len), chunk_flags);
    // A chunk is at most 16384 bytes, so the text always fits with its NUL.
    if (n < 0 || n >= LINKED_HEADER_LEN || block_write(field, LINKED_HEADER_LEN) != 0) {
        show_error(MSG_WRITE_ERROR, ctx->archive_path);
        return RC_WRITE;
    }
    return RC_OK;
}
