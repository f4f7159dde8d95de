// Parsing of the decimal text fields of the archive format.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads an optionally signed decimal number from the first len bytes of
// text (stopping at a NUL).  Leading blanks are skipped; the number ends at
// the first character that is not a digit.  Returns true with *out set when
// at least one digit was found and the value fits 64 bits; false otherwise
// (*out is then 0).
bool parse_decimal(const char* text, size_t len, int64_t* out);

// Splits text (len bytes, ending early at a NUL) at runs of spaces (leading
// spaces skipped, no empty tokens) and parses up to n_max tokens as decimal numbers into values; a token that is missing
// or does not parse gives 0.  Returns the number of tokens present.
int parse_decimal_tokens(const char* text, size_t len, int64_t* values, int n_max);
