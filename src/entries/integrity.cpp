// Reading with one entry of look-ahead, decoding with checks, the checks of
// a whole file and the checksum entries (see integrity.h).
#include "entries/integrity.h"

#include <cstring>
#include <string>

#include "archive/block_io.h"
#include "archive/transfer.h"
#include "base/messages.h"
#include "codec/lzw.h"
#include "entries/decode_ahead.h"

namespace {

// A checksum entry's chunk is its text; anything longer is no checksum
// entry and is passed over unread.
constexpr int64_t CANDIDATE_CAP = 64;

// The entry read ahead, with its attribute block (the attribute buffer
// still belongs to the entry before it).  rc: its read's result, returned
// in place of an entry when not 0.
struct ReadAhead {
    bool has;
    int32_t rc;
    dir_entry entry;
    unsigned char attr[ATTR_CAP];
};
ReadAhead ahead;

// Reads the record length field and the record text into the transfer
// buffer and parses them into entry (see read_next_entry).
int32_t read_entry_record(dir_entry* entry, const OpContext* ctx) {
    int64_t record_len = 0;
    int32_t rc = read_record_length(&record_len);
    if (rc == RC_END) return RC_END;
    if (rc == RC_OK && record_len <= TRANSFER_SIZE &&
        block_read(transfer_buffer, static_cast<uint32_t>(record_len)) == 0) {
        rc = parse_dir_record(reinterpret_cast<const char*>(transfer_buffer),
                              static_cast<uint32_t>(record_len), entry);
        // A stored name too long for its field is a malformed record.
        if (rc != RC_READ) return rc;
    }
    show_error(MSG_READ_ERROR, ctx->archive_path);
    return RC_READ;
}

// Reads a candidate's chunk into text (CANDIDATE_CAP bytes).  Returns 0
// with *n set, or -6.
int32_t read_candidate(const dir_entry* entry, char* text, size_t* n) {
    *n = static_cast<size_t>(entry->clen);
    return block_read(text, static_cast<uint32_t>(entry->clen)) == 0 ? RC_OK : RC_READ;
}

bool begins_with_prefix(const char* text, size_t n) {
    return n >= CHECKSUM_PREFIX_LEN && std::memcmp(text, CHECKSUM_PREFIX, CHECKSUM_PREFIX_LEN) == 0;
}

// The file being checked.
struct FileCheck {
    ContentHash hash;
    int64_t bytes;
    bool had_checksum;
    bool size_unvouched;
};
FileCheck check;

}  // namespace

void entry_reader_reset() { ahead.has = false; }

int32_t read_next_entry(dir_entry* entry, const OpContext* ctx) {
    if (!ahead.has) return read_entry_record(entry, ctx);
    ahead.has = false;
    if (ahead.rc != RC_OK) return ahead.rc;
    *entry = ahead.entry;
    std::memcpy(attr_buffer, ahead.attr, sizeof attr_buffer);
    entry->attr = entry->attr_len > 0 ? attr_buffer : nullptr;
    return RC_OK;
}

bool may_be_checksum_entry(const dir_entry* entry) {
    return (entry->entry_flags & ENTRY_HIDDEN_SKIP) && !(entry->entry_flags & ENTRY_MORE) && entry->clen > 0 &&
           entry->clen <= CANDIDATE_CAP;
}

int32_t pass_over_hidden(const dir_entry* entry, bool* is_checksum, int64_t* stored) {
    *is_checksum = false;
    if (!may_be_checksum_entry(entry)) return skip_entry_data(entry, stored);
    char text[CANDIDATE_CAP];
    size_t n = 0;
    int32_t rc = read_candidate(entry, text, &n);
    if (rc != RC_OK) return rc;
    *is_checksum = begins_with_prefix(text, n);
    if (stored != nullptr) *stored += entry->clen;
    return RC_OK;
}

void read_checksum_entry(const dir_entry* file, const OpContext* ctx, bool* found, char* text) {
    *found = false;
    text[0] = '\0';
    if (ahead.has) return;
    unsigned char file_attr[ATTR_CAP];
    std::memcpy(file_attr, attr_buffer, sizeof file_attr);
    ahead.has = true;
    std::memcpy(ahead.entry.dir, file->dir, sizeof ahead.entry.dir);
    ahead.rc = read_entry_record(&ahead.entry, ctx);
    std::memcpy(ahead.attr, attr_buffer, sizeof ahead.attr);
    std::memcpy(attr_buffer, file_attr, sizeof attr_buffer);
    if (ahead.rc != RC_OK || !may_be_checksum_entry(&ahead.entry)) return;
    char chunk[CANDIDATE_CAP];
    size_t n = 0;
    if (read_candidate(&ahead.entry, chunk, &n) != RC_OK) {
        // Cut inside the entry: reported as passing over it would be.
        show_error(MSG_READ_ERROR, (ctx->flags & OPT_LIST) ? ctx->archive_path : ahead.entry.name);
        ahead.rc = RC_READ;
        return;
    }
    if (!begins_with_prefix(chunk, n)) {
        // Another hidden-skip entry: kept, its data already read.
        ahead.entry.clen = 0;
        return;
    }
    ahead.has = false;
    *found = true;
    if (std::strcmp(ahead.entry.name, file->name) == 0 && is_checksum_text(chunk, n)) {
        std::memcpy(text, chunk, n);
        text[n] = '\0';
    }
}

int32_t next_decoded_chunk(ChunkChain* chain, unsigned char* buffer, const OpContext* ctx, const char* shown,
                           const unsigned char** data, int32_t* count) {
    int32_t rc = chunk_chain_next(chain);
    if (rc != RC_OK) return rc;
    // A negative length cannot be passed over: the framing is lost.
    if (chain->len < 0) {
        show_error(MSG_CORRUPT_DATA, shown);
        return RC_READ;
    }
    // A chunk never holds more than the transfer buffer; a longer one can
    // only come from a damaged archive.
    bool unread = chain->len > static_cast<int64_t>(TRANSFER_SIZE);
    if (!unread) {
        const uint64_t offset = block_read_offset();
        if (block_read(buffer, static_cast<uint32_t>(chain->len)) != 0) {
            show_error(MSG_READ_ERROR, ctx->archive_path);
            return RC_READ;
        }
        *data = buffer;
        *count = static_cast<int32_t>(chain->len);
        if (!(chain->flags & ENTRY_RAW) &&
            decode_ahead_take(offset, buffer, *count, data, count) == AheadResult::missed) {
            *data = decompress_block(buffer, count);
        }
        // The writer never makes a chunk of more than CHUNK_SIZE bytes.
        if (*data != nullptr && *count <= static_cast<int32_t>(CHUNK_SIZE)) return RC_OK;
    }
    show_error(MSG_CORRUPT_DATA, shown);
    rc = chunk_chain_skip_rest(chain, unread);
    if (rc == RC_OK) return RC_DAMAGED;
    if (rc == RC_READ) show_error(MSG_READ_ERROR, ctx->archive_path);
    return rc;
}

void file_check_begin() {
    content_hash_begin(&check.hash);
    check.bytes = 0;
    check.had_checksum = false;
    check.size_unvouched = false;
}

void file_check_add(const unsigned char* data, int32_t count) {
    content_hash_add(&check.hash, data, static_cast<size_t>(count));
    check.bytes += count;
}

int32_t file_check_end(const dir_entry* entry, const OpContext* ctx, const char* shown) {
    bool found = false;
    char stored_text[CHECKSUM_TEXT_LEN + 1];
    read_checksum_entry(entry, ctx, &found, stored_text);
    check.had_checksum = found;
    bool vouched = false;
    if (found) {
        char text[CHECKSUM_TEXT_LEN + 1];
        content_hash_text(&check.hash, text);
        if (std::strcmp(text, stored_text) != 0) {
            show_error(MSG_CHECKSUM_MISMATCH, shown);
            return RC_DAMAGED;
        }
        vouched = true;
    }
    if (check.bytes != entry->size) {
        std::string restored = std::to_string(check.bytes);
        std::string recorded = std::to_string(entry->size);
        show_message(MSG_SIZE_DIFFERS, shown, restored.c_str(), recorded.c_str(), 1);
        check.size_unvouched = !vouched;
    }
    return RC_OK;
}

bool file_check_had_checksum() { return check.had_checksum; }

bool file_check_size_unvouched() { return check.size_unvouched; }

int32_t write_checksum_entry(OpContext* ctx, const char* stored, const char* text) {
    plat::StatRec st{};
    st.size = static_cast<int64_t>(CHECKSUM_TEXT_LEN);
    int32_t rc = write_dir_record_with_attr(ctx, RecordKind::file, stored, &st, st.size,
                                            ENTRY_HIDDEN_SKIP | ENTRY_RAW, nullptr, 0);
    if (rc != RC_OK) return rc;
    if (block_write(text, static_cast<uint32_t>(CHECKSUM_TEXT_LEN)) != 0) {
        show_error(MSG_WRITE_ERROR, ctx->archive_path);
        return RC_WRITE;
    }
    return RC_OK;
}
