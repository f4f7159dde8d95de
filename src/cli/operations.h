// The four operations and their shared start and end.
#pragma once

#include <cstdint>

#include "base/context.h"

// Each operation runs once per process with the run configuration and
// returns 0 or a negative result code (the exit status).
int32_t run_compress(RunConfig* config);
int32_t run_append(RunConfig* config);
int32_t run_uncompress(RunConfig* config);
int32_t run_list(RunConfig* config);
// --test and --compare: every entry read and checked as -u would restore
// it, nothing written; comparing also holds each against the disk.
int32_t run_test(RunConfig* config);
int32_t run_compare(RunConfig* config);

// Fills the context, sets the quiet switch, checks the -c directory (message
// 8, -2), asks for a missing password (-1 under -q, -19 when cancelled) and
// saves the working directory.  context->start_dir is left absolute.
// Returns 0 or the negative code the operation returns at once.
int32_t begin_operation(OpContext* context, RunConfig* config);

// Frees the count texts of the work list and the list, then changes back to
// the saved directory.
void end_operation(int32_t count, char** list);

// Builds the work list: copies of the file arguments followed by a copy of
// the archive name (count file_count + 1).  Returns nullptr when memory runs
// out (nothing is left allocated then): like the file lists and the codec
// tables, the work list is allocated with nothrow new and its caller reports
// message 41.
char** make_work_list(const RunConfig* config);

// Builds the work list of the archive name alone and expands it into
// ctx->archive_path.  Returns 0 with *work set (count texts), or the
// expansion's negative code.
int32_t resolve_archive(RunConfig* config, OpContext* ctx, char*** work, int32_t* count);

// The saved directory of the running operation.
extern char saved_dir[plat::PATH_CAP];
