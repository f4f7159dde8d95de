// What makes damage found and survived: the reading of entries with one
// entry of look-ahead (a file's checksum entry is read before the file is
// kept), the decoding of a file's chunks with their checks, the checks of a
// whole file (its byte count against its record, its checksum), and the
// checksum entries themselves.
//
// A checksum entry follows a file entry's last chunk: the same stored name,
// mode 0, flags ENTRY_HIDDEN_SKIP | ENTRY_RAW, size and clen the length of
// its text, times 0, no attribute block, and one raw chunk holding the
// checksum text of the file's content (checksum.h).  Readers that do not
// know it pass over it as over any hidden-skip entry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/chunks.h"
#include "archive/dir_record.h"
#include "base/context.h"
#include "entries/checksum.h"

// ---- reading entries ---------------------------------------------------------

// Forgets an entry read ahead; each walk starts with it.
void entry_reader_reset();

// Reads the next entry: the one read ahead when there is one, else the
// record length field, the record text and the attribute block.  Returns
// RC_OK; RC_END at the end of the archive; RC_READ after MSG_READ_ERROR (the
// archive path) for a record that cannot be read; or the parser's RC_ATTR
// after MSG_ATTR_READ.  An entry read ahead whose data was read with it
// comes with clen 0.
int32_t read_next_entry(dir_entry* entry, const OpContext* ctx);

// True when entry may be a checksum entry, judged by its record: a
// hidden-skip entry of one chunk short enough to be read whole.
bool may_be_checksum_entry(const dir_entry* entry);

// Passes over the data of a hidden-skip entry, reading it when
// may_be_checksum_entry says so; *is_checksum is set when its chunk begins
// with the checksum prefix.  *stored gets the bytes of its chunks.  Returns
// what skip_entry_data returns.
int32_t pass_over_hidden(const dir_entry* entry, bool* is_checksum, int64_t* stored);

// Reads the entry after the file entry `file`, all of whose data has been
// read.  When it is a checksum entry, it is consumed: *found is set, and
// text (CHECKSUM_TEXT_LEN + 1 bytes) receives its text when it is a valid
// checksum text of an entry of file's name (else text is left empty).  Any
// other entry, and a failure to read one, are kept for the next
// read_next_entry.
void read_checksum_entry(const dir_entry* file, const OpContext* ctx, bool* found, char* text);

// ---- decoding a file's chunks ----------------------------------------------------

// Moves chain to its next chunk and gives its content in *data and *count
// (in buffer for a raw chunk, in the codec output area otherwise).  shown
// names the entry in messages.  A chunk worker threads decoded ahead
// (decode_ahead.h) is taken from them.  Returns RC_OK; RC_END after the
// last chunk; a damaged chunk (its stored length above the transfer
// buffer, a stream that does not decode, more than CHUNK_SIZE bytes) gives
// MSG_CORRUPT_DATA and, when the rest of the entry can be passed over,
// RC_DAMAGED; otherwise the framing error: RC_READ after MSG_READ_ERROR or
// MSG_CORRUPT_DATA, RC_LINKED after MSG_LINKED_HEADER.
int32_t next_decoded_chunk(ChunkChain* chain, unsigned char* buffer, const OpContext* ctx, const char* shown,
                           const unsigned char** data, int32_t* count);

// ---- checking a whole file ---------------------------------------------------------

// The check of the file being read: its content as it is decoded, fed in
// order.  One at a time (reading is single-threaded).
void file_check_begin();
void file_check_add(const unsigned char* data, int32_t count);

// Ends the check of file entry `entry`, whose chunks were all read: reads
// its checksum entry, when one follows, and compares; then compares the
// byte count with the record's size.  shown names the file in messages.
// Returns RC_OK when the content may be kept (after MSG_SIZE_DIFFERS when
// the size differs), or RC_DAMAGED after MSG_CHECKSUM_MISMATCH.
int32_t file_check_end(const dir_entry* entry, const OpContext* ctx, const char* shown);

// After file_check_end: true when a checksum entry was found for the file
// (matching or not); true when the size differed and no checksum vouched
// for the content.
bool file_check_had_checksum();
bool file_check_size_unvouched();

// ---- writing ---------------------------------------------------------------------

// Writes the checksum entry of the file stored under `stored` with its
// text.  Returns RC_OK, or RC_WRITE after MSG_WRITE_ERROR (or
// MSG_NAME_TOO_LONG).
int32_t write_checksum_entry(OpContext* ctx, const char* stored, const char* text);
