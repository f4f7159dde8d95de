// Storing one file or directory into the archive open for writing.
#pragma once

#include <cstdint>

#include "base/context.h"
#include "platform/platform.h"

// Writes the record and chunks of path.  prefix (or nullptr) is the stored
// and printed directory part; strip keeps only the last component.  Returns
// 0 when stored or skipped (the archive itself; a name holding 0x04:
// message 50; a name over 255 characters: message 47), -13 when standard
// output has failed (nothing more is written), or a negative code after its
// message.  A file whose bytes read differ from the status size is stored as
// read, with message 53.  A failed archive write leaves the archive open: the
// operation removes or cuts back what it wrote.
int32_t store_file(char* path, const char* prefix, OpContext* ctx, const plat::StatRec* st,
                   int strip);

// True when path names the archive being written: the archive at its name
// or the file it is being written to (same device and inode).
bool is_archive_itself(const char* path, const plat::StatRec* st, OpContext* ctx);
