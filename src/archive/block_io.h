// Archive block I/O: every archive byte passes through one 65534-byte buffer.
//
// Writers hand pieces of any size and the buffer turns them into whole-block
// writes; readers ask for pieces of any size and it refills itself in
// whole-block reads.  The archive carries no trace of the buffering.  This
// layer prints nothing.
#pragma once

#include <cstdint>

constexpr uint32_t BLOCK_SIZE = 65534;

// Starts writing to handle h (the buffer is emptied).
void block_begin_write(int32_t h);

// Appends n bytes.  Returns RC_OK, or RC_WRITE when a block write fell
// short.
int32_t block_write(const void* data, uint32_t n);

// Writes what is buffered.  Returns RC_OK, or RC_WRITE.
int32_t block_flush();

// Starts reading from handle h with a first refill.  Returns RC_OK, or
// RC_READ.
int32_t block_begin_read(int32_t h);

// Copies n bytes of the read stream to dest.  Returns RC_OK; RC_END when
// the archive ended exactly at (or, with a partial copy, inside the last
// refill of) the requested piece; RC_READ on a read failure or when the
// archive ends inside the piece.
int32_t block_read(void* dest, uint32_t n);

// Passes over n bytes of the read stream.  Returns RC_OK, or RC_READ.
int32_t block_skip(uint64_t n);

// Whether the read stream is used up.  Returns RC_END when no byte is
// left, RC_OK when one is, RC_READ on a read failure.  Consumes nothing.
int32_t block_at_end();

// Reads the rest of the stream.  Returns RC_END when every byte left is
// zero (none left included), RC_OK at the first nonzero byte, RC_READ on a
// read failure.
int32_t block_rest_is_zero();

// The read stream's position: bytes handed out or passed over since
// block_begin_read.
uint64_t block_read_offset();
// Bytes read from the handle and not yet handed out: the handle's file
// position less these is the file offset of block_read_offset().
uint32_t block_read_buffered();

// Bytes handed to block_write since block_begin_write: the count
// block_cut_back takes.  Storing notes it where each entry begins, to take
// back an entry that failed part-way, in a new archive and in an append
// alike.
uint64_t block_bytes_written();

// Takes back everything handed to block_write after the first `handed`
// bytes (a count block_bytes_written gave), cutting the file back where
// those bytes went out already.  Returns RC_OK, or RC_WRITE.
int32_t block_cut_back(uint64_t handed);
