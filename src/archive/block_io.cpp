// Archive block I/O over one process-wide 65534-byte buffer.
//
// Writes leave this module in whole blocks of BLOCK_SIZE bytes, except the
// final flush; reads come in as refills of up to BLOCK_SIZE bytes.  The buffer
// is zeroed before every refill so that bytes past the valid count are zero.
#include "archive/block_io.h"

#include <cstring>

#include "base/context.h"
#include "base/progress.h"
#include "platform/platform.h"

namespace {

unsigned char block_buffer[BLOCK_SIZE];
uint32_t block_pos = 0;      // next byte to fill (writing) or to hand out (reading)
uint32_t block_valid = 0;    // bytes the last refill brought in
int32_t block_write_handle = -1;
int32_t block_read_handle = -1;
uint64_t block_handed = 0;   // bytes given to block_write since block_begin_write
uint64_t block_refilled = 0; // bytes read from the handle since block_begin_read

// Zeroes the buffer and reads up to one block from the archive.  Returns the
// count read, or -1.  The position always goes back to the start and the valid
// count never becomes negative, so a caller that reads on after a failure or
// after the end sees no stale or out-of-range bytes.
long block_refill() {
    std::memset(block_buffer, 0, sizeof block_buffer);
    long got = plat::_read(block_read_handle, block_buffer, BLOCK_SIZE);
    block_pos = 0;
    block_valid = got > 0 ? static_cast<uint32_t>(got) : 0;
    block_refilled += block_valid;
    progress_bytes(block_valid);
    return got;
}

// Bytes of the last refill not yet handed out (0 when the buffer was last
// used for writing).
uint32_t block_avail() { return block_valid > block_pos ? block_valid - block_pos : 0; }

}  // namespace

void block_begin_write(int32_t h) {
    block_write_handle = h;
    block_pos = 0;
    block_handed = 0;
    std::memset(block_buffer, 0, sizeof block_buffer);
}

int32_t block_write(const void* data, uint32_t n) {
    if (n == 0 || data == nullptr) return RC_OK;
    block_handed += n;
    progress_bytes(n);
    const unsigned char* src = static_cast<const unsigned char*>(data);
    uint32_t room = BLOCK_SIZE - block_pos;
    while (n >= room) {
        // The block is full: it goes out at once, whole.
        std::memcpy(block_buffer + block_pos, src, room);
        if (plat::_write(block_write_handle, block_buffer, BLOCK_SIZE) != static_cast<long>(BLOCK_SIZE)) {
            return RC_WRITE;
        }
        block_pos = 0;
        std::memset(block_buffer, 0, sizeof block_buffer);
        src += room;
        n -= room;
        room = BLOCK_SIZE;
    }
    std::memcpy(block_buffer + block_pos, src, n);
    block_pos += n;
    return RC_OK;
}

int32_t block_flush() {
    if (block_pos == 0) return RC_OK;
    long put = plat::_write(block_write_handle, block_buffer, block_pos);
    return put == static_cast<long>(block_pos) ? 0 : -5;
}

int32_t block_begin_read(int32_t h) {
    block_read_handle = h;
    std::memset(block_buffer, 0, sizeof block_buffer);
    long got = plat::_read(h, block_buffer, BLOCK_SIZE);
    if (got < 0) return RC_READ;
    block_pos = 0;
    block_valid = static_cast<uint32_t>(got);
    block_refilled = block_valid;
    progress_bytes(block_valid);
    return RC_OK;
}

int32_t block_read(void* dest, uint32_t n) {
    if (n == 0 || dest == nullptr) return RC_OK;
    unsigned char* out = static_cast<unsigned char*>(dest);
    uint32_t avail = block_avail();
    while (n > avail) {
        std::memcpy(out, block_buffer + block_pos, avail);
        out += avail;
        n -= avail;
        long got = block_refill();
        if (got == 0) return RC_END;  // the bytes before the end are already copied
        if (got < 0) return RC_READ;
        // A short refill means the file ends: too short for the rest is an error.
        if (got < static_cast<long>(BLOCK_SIZE) && got < static_cast<long>(n)) return RC_READ;
        avail = block_valid;
    }
    // A piece that ends exactly at the end of the valid bytes does not refill yet.
    std::memcpy(out, block_buffer + block_pos, n);
    block_pos += n;
    return RC_OK;
}

int32_t block_skip(uint64_t n) {
    if (n == 0) return RC_OK;
    uint64_t avail = block_avail();
    // Unlike block_read, a skip that ends exactly at the end of the valid
    // bytes refills at once; finding the end of the file then is no error.
    while (n >= avail) {
        n -= avail;
        long got = block_refill();
        if (got < 0) return RC_READ;
        if (got < static_cast<long>(BLOCK_SIZE) && static_cast<uint64_t>(got) < n) return RC_READ;
        avail = block_valid;
        if (n == 0) return RC_OK;
    }
    block_pos += static_cast<uint32_t>(n);
    return RC_OK;
}

int32_t block_at_end() {
    if (block_avail() > 0) return RC_OK;
    // Nothing is left in the buffer, so a refill loses nothing.
    long got = block_refill();
    if (got < 0) return RC_READ;
    return got == 0 ? RC_END : RC_OK;
}

int32_t block_rest_is_zero() {
    for (;;) {
        for (uint32_t i = block_pos; i < block_valid; ++i) {
            if (block_buffer[i] != 0) return RC_OK;
        }
        block_pos = block_valid;
        long got = block_refill();
        if (got < 0) return RC_READ;
        if (got == 0) return RC_END;
    }
}

uint64_t block_read_offset() { return block_refilled - block_avail(); }

uint32_t block_read_buffered() { return block_avail(); }

uint64_t block_bytes_written() { return block_handed; }

int32_t block_cut_back(uint64_t handed) {
    if (handed > block_handed) return RC_WRITE;
    const uint64_t in_file = block_handed - block_pos;
    if (handed < in_file) {
        // The file's position is the end of what went out (an append's
        // handle writes at the end in any case).
        int64_t end = plat::_lseek(block_write_handle, 0, plat::SEEK_CUR_);
        int64_t to = end - static_cast<int64_t>(in_file - handed);
        if (end < 0 || to < 0 || plat::_chsize(block_write_handle, to) != 0 ||
            plat::_lseek(block_write_handle, to, plat::SEEK_SET_) != to) {
            return RC_WRITE;
        }
        block_pos = 0;
    } else {
        block_pos = static_cast<uint32_t>(handed - in_file);
    }
    std::memset(block_buffer + block_pos, 0, BLOCK_SIZE - block_pos);
    block_handed = handed;
    return RC_OK;
}
