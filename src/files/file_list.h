// File list expansion: the work list becomes the file list, wildcard
// patterns replaced by their matches, and the archive's full path is fixed.
#pragma once

#include <cstdint>

#include "base/context.h"

// Set when a directory search continuation failed (MSG_FIND_NEXT).
extern int find_next_failed;

// Expands count names of work (the last is the archive name) from the start
// directory into *out_list / *out_count, then resolves the last name to
// archive_path against the working directory of entry (the name as given
// when the full path cannot be formed).  Returns RC_OK; RC_EXPAND after
// MSG_BAD_ARGUMENTS (when expand_wildcards gave no list, after its own
// messages if any), or after MSG_WILDCARD_ACCESS when the archive cannot
// be reached; RC_FIND_NEXT after MSG_FIND_NEXT.  The caller owns the list
// (free_file_list).
int32_t build_file_list(int32_t count, char** work, OpContext* ctx, char*** out_list,
                        int32_t* out_count);

// Expands count names of work from the start directory (it changes there,
// when it can, and leaves the working directory there).  Returns the file
// list with *out_count set, or nullptr with *out_count untouched: after
// MSG_NO_MEMORY; after MSG_BAD_FILE_LIST when a pattern's search finds
// nothing; after MSG_FIND_NEXT, with find_next_failed set; or with no
// message of its own when no name is left (every match of the patterns was
// ".", "..", filtered out by its attributes, or passed over after
// MSG_NAME_NOT_STORABLE or MSG_NAME_TOO_LONG).  Matches passed over after
// those two messages are counted in ctx->n_left_out whatever the result.
char** expand_wildcards(char** work, int32_t count, OpContext* ctx, int32_t* out_count);

// True when a search entry with these attribute bits is taken under flags.
bool attribute_filter_accepts(uint32_t attributes, uint32_t flags);

// True when a name that a directory search reported can be stored.  Every
// path is handed to the operating system with '\' read as a separator, so a
// listed name holding '\' would be split into other components (on Windows
// no name holds one); and 0x04 ends a stored name.
bool listing_name_storable(const char* name);

void free_file_list(char** list, int32_t count);
