// Storing one file or directory into the archive open for writing.
#pragma once

#include <cstdint>

#include "archive/stored_name.h"
#include "base/context.h"
#include "platform/platform.h"

// What becomes of an input asked for that cannot be stored, once its
// message is shown: it is counted (ctx->n_left_out); with --keep-going it
// is left out (RC_OK), else the run fails with RC_OPEN (and commits
// nothing).
int32_t leave_out(OpContext* ctx);

// Writes the record and chunks of the file path (as the working directory
// names it) and prints its stored name (see stored_name.h: dir_part, or
// nullptr, is the directory part; strip keeps only the last component).
// Returns RC_OK when stored or skipped (the archive itself, or an excluded
// name), RC_OUT_WRITE when standard output has failed (nothing more is
// written), or a negative code after its message.  A file that cannot be
// stored (a name holding 0x04: MSG_NAME_NOT_STORABLE; a name over 255
// characters: MSG_NAME_TOO_LONG; cannot be opened: MSG_SOURCE_OPEN; a read
// failure: MSG_SOURCE_READ) goes to leave_out; under --keep-going what was
// written of it after a read failure is taken back first (an archive on
// standard output cannot be: the run ends with RC_OPEN).  A file whose
// bytes read differ from the status size is stored as read, with
// MSG_FILE_CHANGED.  A failed archive write leaves the archive open: the
// operation removes or cuts back what it wrote.
int32_t store_file(const char* path, const char* dir_part, OpContext* ctx, const plat::StatRec* st,
                   int strip);

// Writes the opening or closing record of a directory whose stored path
// (also its path from the working directory) is stored.  Returns RC_OK,
// leave_out's result after MSG_NAME_TOO_LONG, or the result of a queued
// output that failed (RC_WRITE after its message).
int32_t store_directory(RecordKind kind, const char* stored, OpContext* ctx, const plat::StatRec* st);

// Starts storing on n_threads threads (0: one per online processor; at most
// MAX_WORKERS): the calling thread and n_threads - 1 compression workers.
// The calling thread compresses the chunks queued when it waits for them, a
// few at a time, so with one thread (or when no worker thread can be
// started) it compresses them all.  Returns the number of workers running
// (0 for none).  store_file and store_directory called
// outside store_workers_begin and store_workers_end store on their own.
int32_t store_workers_begin(OpContext* ctx, int32_t n_threads);

// Does whatever store_file and store_directory have queued and stops the
// workers.  Returns rc, or the result of a queued output that failed (it
// came first).
int32_t store_workers_end(int32_t rc);

// Every message printed while storing is printed only when this returns
// true: it first does every output queued before the message (name lines,
// records, chunks), so that the message keeps its place, and returns false
// when one of them failed (the run stops there, and prints nothing more).
// True at once outside storing, while an output is being done (its own
// messages), and under -q.
bool store_before_message();

// True when the file of status st is the archive being written: the archive
// at its name or the file it is being written to (same file identity).
// store_file's own check, declared here for the tests.
bool is_archive_itself(const plat::StatRec* st, OpContext* ctx);
