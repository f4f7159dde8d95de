// Directory records, attribute blocks and linked chunk headers.
//
// An entry: a 4-byte record length field ("%d" of R, NUL, padding), R bytes
// of record text (stored name, 0x04, eight decimal numbers, NUL), an
// attribute block of attr_len bytes, the first chunk, then while a chunk has
// ENTRY_MORE a 10-byte linked header and the next chunk.
#pragma once

#include <cstdint>

#include "archive/stored_name.h"
#include "base/context.h"

enum : int32_t {
    ENTRY_MORE = 1,
    ENTRY_RAW = 2,
    ENTRY_DIR_END = 8,
    ENTRY_HIDDEN_SKIP = 16,
};

constexpr int ATTR_CAP = 80;          // the attribute buffer
constexpr int RECORD_TEXT_CAP = 348;  // longest record text written, with NUL
constexpr int LINKED_HEADER_LEN = 10;
constexpr int RECORD_LEN_FIELD = 4;
constexpr int RECORD_NUMBERS = 8;      // after the name: mode, flags, size, atime, mtime, ctime, clen, attr_len

struct dir_entry {
    char name[NAME_CAP];
    char dir[plat::PATH_CAP];
    int64_t clen;
    uint16_t mode;
    int32_t entry_flags;
    int64_t size;
    int64_t atime;
    int64_t mtime;
    int64_t ctime;
    int32_t attr_len;
    const unsigned char* attr;
};

// The process-wide attribute buffer.
extern unsigned char attr_buffer[ATTR_CAP];

// Writes the record of one entry under its stored name (see stored_name.h;
// not changed here) and, but for a closing record, the attribute block of
// attr_path under -th / -ts (the entry as the working directory names it).
// A closing record carries ENTRY_DIR_END.  Returns RC_OK, or RC_WRITE after
// MSG_NAME_TOO_LONG (the record text would not fit) or MSG_WRITE_ERROR with
// archive_path.
int32_t write_dir_record(OpContext* ctx, RecordKind kind, const char* stored, const char* attr_path,
                         const plat::StatRec* st, int64_t first_len, int32_t flags);

// The same with the attribute block made beforehand by record_attr_block
// (attr_len bytes of attr), for a record written after the working
// directory has moved on.
int32_t write_dir_record_with_attr(OpContext* ctx, RecordKind kind, const char* stored, const plat::StatRec* st,
                                   int64_t first_len, int32_t flags, const unsigned char* attr, int32_t attr_len);

// The attribute block write_dir_record gives a record of kind for the
// entry attr_path names (none for a closing record), into out (ATTR_CAP
// bytes).  Returns its length.
int32_t record_attr_block(OpContext* ctx, RecordKind kind, const char* attr_path, unsigned char* out);

// True when name can be a stored name: the record ends the name at its
// first 0x04 and reads what follows as the record's numbers.
bool name_fits_record(const char* name);

// Builds the two attribute characters for name under -th / -ts.  Returns 2,
// or 0 when no block is made.
int32_t build_attr_block(OpContext* ctx, const char* name, unsigned char* out);

// Writes a 10-byte linked header.  Returns RC_OK, or RC_WRITE after
// MSG_WRITE_ERROR.
int32_t write_linked_header(OpContext* ctx, int64_t chunk_len, int32_t chunk_flags);

// Parses record text (len bytes in the transfer buffer, ended at len even
// without a NUL) into entry and reads the attribute block.  Returns RC_OK;
// RC_ATTR after MSG_ATTR_READ (attr_len outside 0..80, or the block is
// missing); RC_READ without a message when the stored name is longer than
// 255 characters.
int32_t parse_dir_record(const char* text, uint32_t len, dir_entry* entry);

// The readers' pure parts, for any reader of the framing.  The length of
// the stored name in record text of len bytes: the text before the first
// 0x04, or before its NUL or its end when there is none.
uint32_t record_name_length(const char* text, uint32_t len);
// A record length field (RECORD_LEN_FIELD bytes) that is not all zeros:
// the digits before its NUL or its end.  False when anything else stands
// there, or the number is 0.
bool parse_record_length_field(const char* field, int64_t* record_len);
// A linked header (LINKED_HEADER_LEN bytes): the next chunk's length and
// flags.  False when its first field does not read as a number.
bool parse_linked_header(const char* field, int64_t* chunk_len, int32_t* chunk_flags);

// Reads a linked header.  Returns RC_OK, or RC_LINKED after
// MSG_LINKED_HEADER (the field is missing, short, or its first field does
// not read as a number).
int32_t read_linked_header(int64_t* chunk_len, int32_t* chunk_flags);

// Reads the 4-byte record length field: R is the number formed by the
// digits before its NUL.  Returns RC_OK with *record_len set (1 or more);
// RC_END at the end of the archive: no byte left, or a field of four zero
// bytes followed only by zero bytes (padding); RC_READ on a read failure or
// a corrupt field (cut short by the end of the file, no digits, anything
// but digits before the NUL, or 0).  Prints nothing.
int32_t read_record_length(int64_t* record_len);
