// --to-stdout: an entry's contents written to standard output instead of a
// file.
#pragma once

#include <cstdint>

#include "archive/dir_record.h"
#include "base/context.h"

// Writes the contents of a file entry to standard output, chunk by chunk,
// consuming its chunks and linked headers from the archive; a directory
// entry writes nothing.  Nothing is made on disk.  On damage the bytes
// already written stay written.  Returns 0; RC_DAMAGED after message 45,
// 56 or 57 when the next entry can still be read; -6 after message 15 or
// 45; -13 after message 51; -14 after message 20.
int32_t stream_entry(unsigned char* buffer, dir_entry* entry, OpContext* ctx);
