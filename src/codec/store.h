// Storing one file or directory into the archive open for writing.
#pragma once

#include <cstdint>

#include "base/context.h"
#include "platform/platform.h"

// Writes the record and chunks of path.  prefix (or nullptr) is the stored
// and printed directory part; strip keeps only the last component.  Returns
// 0 when stored or skipped (the archive itself; a name holding 0x04:
// message 50; a name over 255 characters: message 47), or a negative code
// after its message.  A file whose bytes read differ from the status size
// is stored as read, with message 53.
int32_t store_file(char* path, const char* prefix, OpContext* ctx, const plat::StatRec* st,
                   int strip);

// True when path names the archive being written (same device and inode).
bool is_archive_itself(const char* path, const plat::StatRec* st, OpContext* ctx);
