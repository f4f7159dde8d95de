// PLACEHOLDER: stands in until the real module replaces this whole file.
#include "archive/block_io.h"
#include "archive/transfer.h"
unsigned char transfer_buffer[TRANSFER_SIZE];
void block_begin_write(int32_t) {}
int32_t block_write(const void*, uint32_t) { return -5; }
int32_t block_flush() { return -5; }
int32_t block_begin_read(int32_t) { return -6; }
int32_t block_read(void*, uint32_t) { return -6; }
int32_t block_skip(uint64_t) { return -6; }
uint64_t block_bytes_written() { return 0; }
