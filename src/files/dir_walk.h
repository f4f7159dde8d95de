// The recursive directory walk of -r.
#pragma once

#include <cstdint>

#include "base/context.h"
#include "platform/platform.h"

// Stores the directory name (relative to the working directory, or
// absolute) under stored_path: its opening record, its files, its
// subdirectories' groups, its closing record.  A directory that cannot be
// read or entered (MSG_DIR_UNREADABLE, or MSG_DIR_PATH_UNREADABLE when its
// path cannot be read once entered) goes to leave_out, and under
// --keep-going keeps both records around no contents; one that is the
// directory left, an ancestor, or already on the walk's path keeps its
// opening record only; a stored_path holding 0x04 goes to leave_out after
// MSG_NAME_NOT_STORABLE.  Returns RC_OK; RC_CHDIR after MSG_CHDIR;
// RC_SEARCH after MSG_SEARCH or MSG_NO_MEMORY; RC_DIR_STAT after
// MSG_DIR_STAT; leave_out's RC_OPEN; or the nonzero result of store_file or
// store_directory that stopped it.
int32_t walk_directory(const char* name, char* stored_path, OpContext* ctx);

// The three search operations with the attribute filter, used by
// walk_directory; declared here for the tests.
plat::FindHandle dir_search_first(OpContext* ctx, const char* dir_name, char* entry_name);
int32_t dir_search_next(OpContext* ctx, plat::FindHandle h, char* entry_name);
void dir_search_close(plat::FindHandle h);

// 0 when the walk may enter; 1 (after changing back to dir_left) when the
// directory entered is dir_left or one of its ancestors; RC_CHDIR when
// changing back fails (after MSG_CHDIR).
int32_t check_descent(const char* dir_left, const char* dir_entered);
