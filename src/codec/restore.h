// Restoring one archive entry to disk.
#pragma once

#include <cstdint>

#include "archive/dir_record.h"
#include "base/context.h"

// Writes entry at its resolved output path under entry->dir, consuming its
// chunks and linked headers from the archive.  Returns 0, or -6, -11, -12,
// -13, -14 after their messages.
int32_t restore_entry(unsigned char* buffer, dir_entry* entry, OpContext* ctx);

// Applies attributes, times and permissions of a file entry to out_path.
void apply_file_properties(OpContext* ctx, const dir_entry* entry, const char* out_path);

// Resolves a stored name under dir lexically into out (cap bytes): both
// separators, empty and "." components dropped, ".." removes the component
// before it, a ".." that would climb above dir is dropped.  *climbed is set
// when such a ".." was dropped; resolved (optional, cap bytes) receives the
// name relative to dir.  Returns false when the result does not fit.
bool resolve_output_path(const char* dir, const char* name, char* out, int cap, char* resolved,
                         bool* climbed);
