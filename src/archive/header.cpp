// The archive header ("KELPA", 0x04, a 4-character body length, the body)
// and the sealed password that follows it in a locked archive.
#include "archive/header.h"

#include <cstdio>
#include <cstring>

#include "archive/block_io.h"
#include "archive/fields.h"
#include "archive/transfer.h"
#include "base/messages.h"
#include "base/progress.h"
#include "base/prompt.h"

namespace {

constexpr char MAGIC[] = "KELPA";
constexpr size_t MAGIC_LEN = 5;
constexpr size_t LENGTH_FIELD = 4;                   // "%4ld", no terminator
constexpr size_t PREAMBLE_LEN = MAGIC_LEN + 1 + LENGTH_FIELD;  // magic, 0x04, length
constexpr int64_t BODY_MAX = 9999;                   // what four characters can say
constexpr char SEAL_KEY[] = "JQX";                   // only its first letter is mixed in

// Puts "%4ld" of value over the 4 bytes at field, without a terminator.
void put_length_field(unsigned char* field, long value) {
    char text[24];
    std::snprintf(text, sizeof text, "%4ld", value);
    std::memcpy(field, text, LENGTH_FIELD);
}

// The standard streams stay open: they are no file of the archive's own.
void close_handle(int32_t* handle) {
    if (*handle > 2) plat::_close(*handle);
    *handle = -1;
}

// Writes n bytes of the transfer buffer; on failure message 18 and the
// archive is closed.
int32_t write_header_piece(OpContext* ctx, uint32_t n) {
    if (block_write(transfer_buffer, n) == 0) return RC_OK;
    show_error(MSG_WRITE_ERROR, ctx->archive_path);
    close_handle(&ctx->write_handle);
    return RC_WRITE;
}

// Writes the sealed-password block: "%4ld" of the sealed length, the bytes.
int32_t write_password_block(OpContext* ctx, const char* password) {
    char text[PASSWORD_CAP];
    std::snprintf(text, sizeof text, "%s", password ? password : "");
    int32_t n = seal_password(text, transfer_buffer + LENGTH_FIELD);
    put_length_field(transfer_buffer, n);
    return write_header_piece(ctx, LENGTH_FIELD + static_cast<uint32_t>(n));
}

// Reads n bytes of the header into dest.  Returns 0; -6 after message 29
// (a read failure) or 30 (the file ends first: the bytes are not there).
int32_t read_header_piece(OpContext* ctx, void* dest, uint32_t n) {
    int32_t rc = block_read(dest, n);
    if (rc == 0) return RC_OK;
    show_error(rc < 0 ? MSG_SOURCE_READ : MSG_BAD_FORMAT, ctx->archive_path);
    return RC_READ;
}

// Reads a 4-character length field: returns the length (1 or more), or 0
// after message 31 (a field that reads as 0 or below), or -1 after message
// 29 or 30.
int64_t read_length_field(OpContext* ctx) {
    char field[LENGTH_FIELD + 1] = {};
    if (read_header_piece(ctx, field, LENGTH_FIELD) != 0) return -1;
    int64_t len = 0;
    parse_decimal(field, LENGTH_FIELD, &len);
    if (len >= 1) return len;
    show_error(MSG_BAD_HEADER_LEN, field);
    return 0;
}

// Finds token index (0-based, separated by runs of spaces) of the first len
// bytes of text; returns its length (0 when missing) and its start in *start.
size_t body_token(const char* text, size_t len, int index, const char** start) {
    size_t i = 0;
    for (int k = 0;; ++k) {
        while (i < len && text[i] == ' ') ++i;
        size_t from = i;
        while (i < len && text[i] != ' ' && text[i] != '\0') ++i;
        if (from == i) return 0;
        if (k == index) {
            *start = text + from;
            return i - from;
        }
    }
}

// Takes the option word and the version texts (3 characters at most) from
// a body of len bytes.  Returns the option word.
uint32_t parse_header_body(OpContext* ctx, const char* body, size_t len) {
    int64_t word = 0;
    parse_decimal_tokens(body, len, &word, 1);
    char* versions[2] = {ctx->version_major, ctx->version_minor};
    for (int k = 0; k < 2; ++k) {
        const char* start = nullptr;
        size_t n = body_token(body, len, k + 1, &start);
        if (n > VERSION_CAP - 1) n = VERSION_CAP - 1;
        if (n > 0) std::memcpy(versions[k], start, n);
        versions[k][n] = '\0';
    }
    return static_cast<uint32_t>(word);
}

// Reads the preamble and the body; returns the option word via *word.
// Returns 0, or -6 after its message (the archive still open).
int32_t read_header_text(OpContext* ctx, uint32_t* word) {
    std::memset(transfer_buffer, 0, PREAMBLE_LEN);
    // The end of data is no error here: a short file fails the checks below.
    if (block_read(transfer_buffer, PREAMBLE_LEN) < 0) {
        show_error(MSG_SOURCE_READ, ctx->archive_path);
        return RC_READ;
    }
    if (std::memcmp(transfer_buffer, MAGIC, MAGIC_LEN) != 0) {
        show_error(MSG_BAD_FORMAT, ctx->archive_path);
        return RC_READ;
    }
    char field[LENGTH_FIELD + 1] = {};
    std::memcpy(field, transfer_buffer + MAGIC_LEN + 1, LENGTH_FIELD);
    int64_t body_len = 0;
    parse_decimal(field, LENGTH_FIELD, &body_len);
    if (body_len < 1) {
        show_error(MSG_BAD_HEADER_LEN, field);
        return RC_READ;
    }
    // Four characters hold at most 9999: the body always fits the buffer.
    std::memset(transfer_buffer, 0, static_cast<size_t>(body_len) + 1);
    if (read_header_piece(ctx, transfer_buffer, static_cast<uint32_t>(body_len)) != 0) return RC_READ;
    *word = parse_header_body(ctx, reinterpret_cast<const char*>(transfer_buffer),
                              static_cast<size_t>(body_len));
    return RC_OK;
}

// Reads the length field of a header preamble (magic, 0x04, 4 characters)
// at the start of text; returns it, or 0 when it is not a number of 1 or
// more.
int64_t preamble_body_length(const unsigned char* text) {
    int64_t body_len = 0;
    parse_decimal(reinterpret_cast<const char*>(text) + MAGIC_LEN + 1, LENGTH_FIELD, &body_len);
    return body_len < 1 ? 0 : body_len;
}

// Checks that the file at archive_path begins with a whole header: the
// magic, a length of 1 or more and that many bytes of body.  The file is
// read through a handle of its own, closed before anything is written.
// Returns 0; -4 after message 28 (cannot be opened); -6 after message 29
// (cannot be read) or 30 (no whole header).
int32_t check_whole_header(OpContext* ctx) {
    int h = plat::_open(ctx->archive_path, plat::OF_RDONLY | plat::OF_BINARY);
    if (h < 0) {
        show_error(MSG_SOURCE_OPEN, ctx->archive_path);
        return RC_OPEN;
    }
    // Four characters say at most 9999: preamble and body fit the buffer.
    long got = plat::_read(h, transfer_buffer, static_cast<unsigned>(PREAMBLE_LEN));
    int64_t body_len = got == static_cast<long>(PREAMBLE_LEN) ? preamble_body_length(transfer_buffer) : 0;
    if (body_len > 0) got = plat::_read(h, transfer_buffer + PREAMBLE_LEN, static_cast<unsigned>(body_len));
    plat::_close(h);
    if (got < 0) {
        show_error(MSG_SOURCE_READ, ctx->archive_path);
        return RC_READ;
    }
    if (body_len == 0 || got != body_len || std::memcmp(transfer_buffer, MAGIC, MAGIC_LEN) != 0) {
        show_error(MSG_BAD_FORMAT, ctx->archive_path);
        return RC_READ;
    }
    return 0;
}

// Reads the sealed-password block and compares it with password.
// Returns 0, -6 or -3 after its message.
int32_t check_password_block(OpContext* ctx, const char* password) {
    int64_t n = read_length_field(ctx);
    if (n <= 0) return RC_READ;
    std::memset(transfer_buffer, 0, static_cast<size_t>(n) + 1);
    if (read_header_piece(ctx, transfer_buffer, static_cast<uint32_t>(n)) != 0) return RC_READ;
    if (check_password(password, transfer_buffer, n) != 0) {
        show_error(MSG_WRONG_PASSWORD);
        return RC_PASSWORD;
    }
    return RC_OK;
}

}  // namespace

int32_t refuse_existing_archive(OpContext* ctx) {
    if (plat::_access(ctx->archive_path, 0) != 0 || (ctx->flags & OPT_OVERWRITE)) return 0;
    show_error(MSG_ARCHIVE_EXISTS, ctx->archive_path);
    show_error(MSG_USE_OVERWRITE);
    return RC_OPEN;
}

int32_t create_archive_header(OpContext* ctx, const char* password) {
    if (refuse_existing_archive(ctx) != 0) return RC_OPEN;
    int h = plat::_open(ctx->archive_path, plat::OF_WRONLY | plat::OF_CREAT | plat::OF_TRUNC | plat::OF_BINARY,
                        plat::S_IREAD_ | plat::S_IWRITE_);
    if (h < 0) return RC_OPEN;
    ctx->write_handle = h;
    return write_archive_header(ctx, password);
}

int32_t write_archive_header(OpContext* ctx, const char* password) {
    block_begin_write(ctx->write_handle);
    char* text = reinterpret_cast<char*>(transfer_buffer);
    int text_len = std::snprintf(text, TRANSFER_SIZE, "%.5s%c%4ld%ld %s %s", MAGIC, 0x04, 0L,
                                 static_cast<long>(ctx->flags), "1", "2");
    // The text after the 0x04 is the length field and the body; L counts the
    // body's NUL instead of the field.
    long body_len = (text_len - static_cast<long>(MAGIC_LEN) - 1) - 3;
    if (body_len > BODY_MAX) {
        char shown[24];
        std::snprintf(shown, sizeof shown, "%ld", body_len);
        show_error(MSG_HEADER_SIZE, shown);
        close_handle(&ctx->write_handle);
        return RC_HEADER_LONG;
    }
    put_length_field(transfer_buffer + MAGIC_LEN + 1, body_len);
    int32_t rc = write_header_piece(ctx, static_cast<uint32_t>(PREAMBLE_LEN + body_len));
    if (rc == 0 && (ctx->flags & OPT_PASSWORD)) rc = write_password_block(ctx, password);
    return rc;
}

int32_t open_archive_for_append(OpContext* ctx, int64_t* appended_from) {
    *appended_from = -1;
    if (plat::_access(ctx->archive_path, 0) != 0) {
        // Only a name that leads to nothing is a missing archive.
        if (plat::GetLastError() != plat::ERR_FILE_NOT_FOUND) {
            show_error(MSG_SOURCE_OPEN, ctx->archive_path);
            return RC_OPEN;
        }
        show_error(MSG_ARCHIVE_MISSING, ctx->archive_path);
        show_error(MSG_APPEND_TO_NEW);
        return 0;
    }
    int32_t rc = check_whole_header(ctx);
    if (rc != 0) return rc;
    int h = plat::_open(ctx->archive_path, plat::OF_WRONLY | plat::OF_APPEND | plat::OF_BINARY);
    // Without the old length a failed append could not be undone: refuse.
    int64_t old_len = h >= 0 ? plat::_lseek(h, 0, plat::SEEK_END_) : -1;
    if (old_len < 0) {
        if (h >= 0) plat::_close(h);
        show_error(MSG_SOURCE_OPEN, ctx->archive_path);
        return RC_OPEN;
    }
    ctx->write_handle = h;
    *appended_from = old_len;
    block_begin_write(h);
    return RC_OK;
}

int32_t read_archive_header(OpContext* ctx, char* password) {
    int h = names_std_stream(ctx->archive_path) ? plat::std_stream_handle(0)
                                                : plat::_open(ctx->archive_path, plat::OF_RDONLY | plat::OF_BINARY);
    if (h < 0) {
        show_error(MSG_SOURCE_OPEN, ctx->archive_path);
        return RC_OPEN;
    }
    ctx->read_handle = h;
    progress_set_total(plat::handle_size(h));
    if (block_begin_read(h) != 0) {
        show_error(MSG_SOURCE_READ, ctx->archive_path);
        close_handle(&ctx->read_handle);
        return RC_READ;
    }
    uint32_t word = 0;
    int32_t rc = read_header_text(ctx, &word);
    char no_password[PASSWORD_CAP] = {};
    if (password == nullptr) password = no_password;
    if (rc == 0 && (word & OPT_PASSWORD) && !(ctx->flags & OPT_PASSWORD)) {
        // Under -q nobody can answer a prompt.
        rc = (ctx->flags & OPT_QUIET) ? RC_PASSWORD : prompt_password(password);
    }
    if (rc == 0) {
        ctx->flags = (ctx->flags & ~ORIGIN_MASK) | (word & ORIGIN_MASK);
        if (word & OPT_PASSWORD) rc = check_password_block(ctx, password);
    }
    if (rc != 0) close_handle(&ctx->read_handle);
    return rc;
}

int32_t seal_password(const char* text, unsigned char* out) {
    size_t n = std::strlen(text);
    unsigned char acc = static_cast<unsigned char>(text[0]) | static_cast<unsigned char>(SEAL_KEY[0]);
    std::memcpy(out, text, n + 1);
    for (size_t i = 0; i < n; ++i) {
        unsigned char r = static_cast<unsigned char>((out[i] << 1) | (out[i] >> 7));
        acc ^= r;
        out[i] = acc;
    }
    return static_cast<int32_t>(n);
}

int32_t check_password(const char* text, const unsigned char* stored, int64_t len) {
    // A text longer than any password cannot have made the seal.
    size_t text_len = 0;
    while (text_len < static_cast<size_t>(PASSWORD_CAP) && text[text_len] != '\0') ++text_len;
    if (text_len >= static_cast<size_t>(PASSWORD_CAP)) return -1;
    unsigned char sealed[PASSWORD_CAP];
    int32_t n = seal_password(text, sealed);
    if (n != len) return -1;
    return std::memcmp(sealed, stored, static_cast<size_t>(n)) == 0 ? 0 : -1;
}
