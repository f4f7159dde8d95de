// The archive header and its password seal.
//
// "KELPA", 0x04, a 4-character body length, the body "%ld %s %s" of (option
// word, "1", "2") with its NUL, then for a locked archive a 4-character
// sealed length and the sealed password bytes.
#pragma once

#include <cstdint>

#include "base/context.h"

// Refuses an existing archive_path without -w: MSG_ARCHIVE_EXISTS and
// MSG_USE_OVERWRITE, RC_OPEN.  Returns RC_OK otherwise.
int32_t refuse_existing_archive(OpContext* ctx);

// Creates archive_path in place (refusing an existing one without -w:
// MSG_ARCHIVE_EXISTS, MSG_USE_OVERWRITE, RC_OPEN) and writes the header.
// Returns RC_OK; RC_OPEN (without a message when the file cannot be
// created); RC_WRITE (MSG_WRITE_ERROR); RC_HEADER_LONG (MSG_HEADER_SIZE).
// On success write_handle is open and the block writer ready.
int32_t create_archive_header(OpContext* ctx, const char* password);

// Starts the block writer on write_handle (open on an empty file) and writes
// the header of a new archive.  Returns RC_OK; RC_WRITE (MSG_WRITE_ERROR)
// or RC_HEADER_LONG (MSG_HEADER_SIZE), write_handle then closed.
int32_t write_archive_header(OpContext* ctx, const char* password);

// Opens an existing archive for writing at its end, once its first bytes
// were read and found to be a whole header (the magic, a length of 1 or
// more and that many bytes of body).  *appended_from receives the archive's
// length before the run.  Returns RC_OK; RC_OPEN after MSG_SOURCE_OPEN
// (cannot be opened); RC_READ after MSG_SOURCE_READ or MSG_BAD_FORMAT
// (cannot be read, no whole header).  A missing archive gives
// MSG_ARCHIVE_MISSING and MSG_APPEND_TO_NEW, result RC_OK, *appended_from
// -1 and nothing open: the caller creates it as a new archive.  The
// password is neither read nor checked.
int32_t open_archive_for_append(OpContext* ctx, int64_t* appended_from);

// Opens archive_path, checks the header and the password (asking for it
// when the archive is locked and none was given).  Returns RC_OK with
// read_handle open and positioned at the first record; RC_OPEN, RC_READ,
// RC_PASSWORD, or the prompt's failure result.  password is the 64-byte
// RunConfig field.
int32_t read_archive_header(OpContext* ctx, char* password);

// Seals text into out (at least strlen + 1 bytes).  Returns the sealed
// length (the text's length).
int32_t seal_password(const char* text, unsigned char* out);

// Returns 0 when text seals to the len stored bytes, -1 otherwise.
int32_t check_password(const char* text, const unsigned char* stored, int64_t len);
