// Readers of the entry format: the record length field, the record text with
// its attribute block, and the linked header before each further chunk.
// Every field is parsed within its own length; nothing here trusts a NUL.
#include "archive/dir_record.h"

#include <cstring>

#include "archive/block_io.h"
#include "archive/fields.h"
#include "base/messages.h"
#include "base/progress.h"

namespace {


// Reads an attribute block of attr_len (1..80) bytes into the zeroed buffer.
int32_t read_attr_block(int32_t attr_len, dir_entry* entry) {
    std::memset(attr_buffer, 0, sizeof attr_buffer);
    if (block_read(attr_buffer, static_cast<uint32_t>(attr_len)) != 0) {
        show_error(MSG_ATTR_READ);
        return RC_ATTR;
    }
    entry->attr = attr_buffer;
    return RC_OK;
}

}  // namespace

uint32_t record_name_length(const char* text, uint32_t len) {
    uint32_t n = 0;
    while (n < len && text[n] != '\0' && text[n] != '\x04') ++n;
    return n;
}

bool parse_record_length_field(const char* field, int64_t* record_len) {
    // The writer puts only digits before the NUL (or the field's end).
    int64_t len = 0;
    int n_digits = 0;
    for (; n_digits < RECORD_LEN_FIELD && field[n_digits] != '\0'; ++n_digits) {
        if (field[n_digits] < '0' || field[n_digits] > '9') return false;
        len = len * 10 + (field[n_digits] - '0');
    }
    if (n_digits == 0 || len == 0) return false;
    *record_len = len;
    return true;
}

bool parse_linked_header(const char* field, int64_t* chunk_len, int32_t* chunk_flags) {
    int64_t first = 0;
    // A first field that does not read as a number is damage, not a length
    // of 0 that would end the entry early.
    if (!parse_decimal(field, LINKED_HEADER_LEN, &first)) return false;
    int64_t v[2] = {};
    parse_decimal_tokens(field, LINKED_HEADER_LEN, v, 2);
    *chunk_len = first;
    *chunk_flags = static_cast<int32_t>(v[1]);
    return true;
}

int32_t parse_dir_record(const char* text, uint32_t len, dir_entry* entry) {
    entry->attr = nullptr;
    uint32_t name_len = record_name_length(text, len);
    if (name_len > NAME_CAP - 1) {
        entry->name[0] = '\0';
        return RC_READ;
    }
    std::memcpy(entry->name, text, name_len);
    entry->name[name_len] = '\0';
    int64_t v[RECORD_NUMBERS] = {};
    if (name_len < len && text[name_len] == '\x04') {
        parse_decimal_tokens(text + name_len + 1, len - name_len - 1, v, RECORD_NUMBERS);
    }
    entry->mode = static_cast<uint16_t>(v[0]);
    entry->entry_flags = static_cast<int32_t>(v[1]);
    if (!(entry->entry_flags & ENTRY_DIR_END)) progress_entry();
    // Negative lengths are kept as read: the callers refuse them.
    entry->size = v[2];
    entry->atime = v[3];
    entry->mtime = v[4];
    entry->ctime = v[5];
    entry->clen = v[6];
    if (v[7] < 0 || v[7] > ATTR_CAP) {
        entry->attr_len = 0;
        show_error(MSG_ATTR_READ);
        return RC_ATTR;
    }
    entry->attr_len = static_cast<int32_t>(v[7]);
    return entry->attr_len == 0 ? 0 : read_attr_block(entry->attr_len, entry);
}

int32_t read_linked_header(int64_t* chunk_len, int32_t* chunk_flags) {
    char field[LINKED_HEADER_LEN] = {};
    if (block_read(field, LINKED_HEADER_LEN) != 0 || !parse_linked_header(field, chunk_len, chunk_flags)) {
        show_error(MSG_LINKED_HEADER);
        return RC_LINKED;
    }
    return RC_OK;
}

int32_t read_record_length(int64_t* record_len) {
    int32_t rc = block_at_end();
    if (rc != 0) return rc < 0 ? RC_READ : RC_END;
    char field[RECORD_LEN_FIELD] = {};
    // The archive ending inside the field cuts an entry short.
    if (block_read(field, RECORD_LEN_FIELD) != 0) return RC_READ;
    static const char zeros[RECORD_LEN_FIELD] = {};
    if (std::memcmp(field, zeros, RECORD_LEN_FIELD) == 0) {
        // Zero bytes up to the end of the file are padding, not an entry.
        rc = block_rest_is_zero();
        return rc == RC_END ? RC_END : RC_READ;
    }
    return parse_record_length_field(field, record_len) ? RC_OK : RC_READ;
}
