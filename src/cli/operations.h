// The four operations and their shared start and end.
#pragma once

#include <cstdint>

#include "base/context.h"

struct Selection;

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

// A walk over the entries of an archive whose header has been read.
using EntriesWalk = int32_t (*)(OpContext* ctx, Selection* sel);

// The common course of unpacking, testing and comparing: resolves the
// archive name, prints the opening message (its number) with the archive's
// path, reads the header and enters the start directory, then runs walk
// over the entries the file arguments choose, and ends the operation.
// Returns walk's result; else resolve_archive's code, the header's negative
// code after MSG_CANNOT_OPEN, or RC_BAD_START_DIR after MSG_BAD_START_DIR.
int32_t walk_archive_entries(RunConfig* config, OpContext* ctx, int32_t opening, EntriesWalk walk);

// The saved directory of the running operation.
extern char saved_dir[plat::PATH_CAP];
