// The content checksum: the 128-bit XXH3 hash of a file's bytes, written
// as "xxh3-128 " and 32 lowercase hex digits (high half first, the form
// xxh128sum prints), so a restored file can be checked without kelparc.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char CHECKSUM_PREFIX[] = "xxh3-128 ";
constexpr size_t CHECKSUM_PREFIX_LEN = sizeof CHECKSUM_PREFIX - 1;
constexpr size_t CHECKSUM_HEX_LEN = 32;
// The text of a checksum entry's chunk, without a NUL.
constexpr size_t CHECKSUM_TEXT_LEN = CHECKSUM_PREFIX_LEN + CHECKSUM_HEX_LEN;

// The hash state of one file, fed in the order of its bytes.  Opaque: the
// hash library stays inside checksum.cpp.
struct ContentHash {
    alignas(64) unsigned char state[640];
};

void content_hash_begin(ContentHash* h);
void content_hash_add(ContentHash* h, const void* data, size_t n);
// The checksum text of what was fed: CHECKSUM_TEXT_LEN characters and a
// NUL into text.
void content_hash_text(const ContentHash* h, char text[CHECKSUM_TEXT_LEN + 1]);

// True when the n bytes of text are exactly a checksum text: the prefix
// and 32 lowercase hex digits.
bool is_checksum_text(const char* text, size_t n);
