// The walks over an archive's entries: unpack and list.
#pragma once

#include <cstdint>

#include "archive/dir_record.h"
#include "base/context.h"

struct OpenDirs;

// Restores (or, under -s, passes over) every entry.  Returns 0 or the first
// negative step result.
int32_t uncompress_walk(OpContext* ctx);
// One entry; open_dirs holds the walk's directories waiting for their
// closing records.  Returns 0, 1 at the end of the archive, or negative.
int32_t uncompress_step(dir_entry* entry, OpContext* ctx, OpenDirs* open_dirs);

// Prints every entry's stored name.  Returns 0 or the first negative result.
int32_t list_walk(OpContext* ctx);
int32_t list_step(dir_entry* entry, OpContext* ctx);

// Passes over an entry's data and linked headers.  Returns 0; -6 data
// missing or a negative length; -14 linked header missing.
int32_t skip_entry_data(unsigned char* buffer, dir_entry* entry, OpContext* ctx);
