// Decoding ahead: while the main thread reads the archive in order, worker
// threads decode the chunks that lie ahead of it, so that when the main
// thread reaches a chunk its content is often decoded already.
//
// The main thread reads the archive file a second time, through a handle
// of its own, a short way ahead of where it reads it in order: it follows
// the framing (records, attribute blocks, chunks, linked headers) without
// printing anything and hands each compressed chunk it finds, with its
// offset, to the workers; it stops at the first thing it cannot follow.
// Nothing of that is seen by the user: every byte is still read in order,
// and a decoded chunk is taken only when the bytes read at that offset are
// the very bytes that were decoded.  Decoding is a function of the bytes
// alone, so every byte written, every message and every status is that of
// decoding in the main thread.
//
// A bounded ring of chunk slots (16 per thread) holds the work; a slot
// the main thread has passed is dropped.  The main thread owns the calls.
#pragma once

#include <cstdint>

#include "base/context.h"

// Starts decoding ahead of the read stream's current position with
// n_workers threads (0: one per processor).  Nothing starts for fewer than
// two, for an archive read from standard input, or when the archive cannot
// be opened again; reading then decodes in the main thread alone.
void decode_ahead_start(const OpContext* ctx, int32_t n_workers);

// Ends the threads and frees the slots; a no-op when none started.
void decode_ahead_stop();

enum class AheadResult { missed, decoded, corrupt };

// The compressed chunk of len bytes the main thread has just read into raw
// from stream offset `offset`.  decoded: *data (valid until the next call)
// and *count are its content; corrupt: it does not decode; missed: it was
// not decoded ahead and the caller decodes it.
AheadResult decode_ahead_take(uint64_t offset, const unsigned char* raw, int32_t len,
                              const unsigned char** data, int32_t* count);
