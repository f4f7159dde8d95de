// --to-stdout: an entry's contents written to standard output instead of a
// file.
#pragma once

#include <cstdint>

#include "archive/dir_record.h"
#include "base/context.h"

// Writes the contents of a file entry to standard output, chunk by chunk,
// consuming its chunks and linked headers from the archive; a directory
// entry writes nothing.  Nothing is made on disk.  On damage the bytes
// already written stay written.  Returns RC_OK; RC_DAMAGED after
// MSG_CORRUPT_DATA, MSG_SIZE_DIFFERS or MSG_CHECKSUM_MISMATCH when the next
// entry can still be read; RC_READ after MSG_READ_ERROR or
// MSG_CORRUPT_DATA; RC_OUT_WRITE after MSG_STDOUT_WRITE, or with no message
// when the reader of a pipe has gone; RC_LINKED after MSG_LINKED_HEADER.
int32_t stream_entry(unsigned char* buffer, dir_entry* entry, OpContext* ctx);
