// The four operations and their shared start and end.
#pragma once

#include <cstdint>

#include "base/context.h"

// Each operation runs once per process with the run configuration and
// returns RC_OK or a negative result code (the exit status).
int32_t run_compress(RunConfig* config);
int32_t run_append(RunConfig* config);
int32_t run_uncompress(RunConfig* config);
int32_t run_list(RunConfig* config);
// --test and --compare: every entry read and checked as -u would restore
// it, nothing written; comparing also holds each against the disk.
int32_t run_test(RunConfig* config);
int32_t run_compare(RunConfig* config);

// Fills the context, sets the quiet switch, checks the -c directory
// (MSG_BAD_START_DIR, RC_BAD_START_DIR), asks for a missing password
// (RC_PASSWORD_QUIET under -q, RC_CANCEL when cancelled) and saves the
// working directory.  context->start_dir is left absolute.  Returns RC_OK
// or the negative code the operation returns at once.
int32_t begin_operation(OpContext* context, RunConfig* config);

// Frees the count texts of the work list and the list, then changes back to
// the saved directory.
void end_operation(int32_t count, char** list);

// Builds the work list: copies of the file arguments followed by a copy of
// the archive name (count file_count + 1).  Returns nullptr when memory runs
// out (nothing is left allocated then): like the file lists and the codec
// tables, the work list is allocated with nothrow new and its caller reports
// MSG_NO_MEMORY.
char** make_work_list(const RunConfig* config);

// Builds the work list of the archive name alone and expands it into
// ctx->archive_path.  Returns RC_OK with *work set (count texts); RC_EXPAND
// after MSG_NO_MEMORY when the work list cannot be made (*work nullptr); or
// build_file_list's negative code (*work set).
int32_t resolve_archive(RunConfig* config, OpContext* ctx, char*** work, int32_t* count);

// The saved directory of the running operation.
extern char saved_dir[plat::PATH_CAP];
