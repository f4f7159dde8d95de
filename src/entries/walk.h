// The walks over an archive's entries: unpack and list.
#pragma once

#include <cstdint>

#include "archive/dir_record.h"
#include "base/context.h"

struct OpenDirs;
struct Selection;

// Restores (or, under -s, passes over) every entry, or with a selection
// that has arguments the entries it chooses, together with the directories
// that hold them; when testing or comparing (ctx->verify) each entry is
// checked instead, and the final empty line is left to the caller.  An
// entry that is damaged, or left out for a symbolic link leading out of the
// target, is passed over and the walk goes on.  Returns RC_OK, the result
// of the first entry left out so (RC_READ damaged, RC_OUT_OPEN link), else
// the first negative step result, or RC_NOT_MATCHED after MSG_NOT_MATCHED
// when an argument chose nothing.
int32_t uncompress_walk(OpContext* ctx, Selection* sel = nullptr);
// One entry; open_dirs holds the walk's directories waiting for their
// closing records.  Returns RC_OK; RC_END at the end of the archive;
// RC_DAMAGED for an entry passed over as damaged (see restore_entry and
// verify_entry); or negative.
int32_t uncompress_step(dir_entry* entry, OpContext* ctx, OpenDirs* open_dirs);

// Prints every entry's stored name (or those the selection chooses);
// detailed: a header, one line per entry with its size, stored size, saved
// percentage, modification time and attributes, and a totals line.
// Returns RC_OK, the first negative result, or RC_NOT_MATCHED after
// MSG_NOT_MATCHED.
int32_t list_walk(OpContext* ctx, Selection* sel = nullptr, bool detailed = false);

