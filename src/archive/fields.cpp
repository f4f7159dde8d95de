// Decimal text fields of the archive format, parsed within their own length.
#include "archive/fields.h"

#include <cstdint>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Length of text up to its first NUL, at most len.
size_t bounded_length(const char* text, size_t len) {
    size_t n = 0;
    while (n < len && text[n] != '\0') ++n;
    return n;
}

}  // namespace

bool parse_decimal(const char* text, size_t len, int64_t* out) {
    *out = 0;
    len = bounded_length(text, len);
    size_t i = 0;
    while (i < len && is_blank(text[i])) ++i;
    bool negative = false;
    if (i < len && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= len || !is_digit(text[i])) return false;
    // Accumulate as a negative number so that INT64_MIN itself fits.
    int64_t value = 0;
    for (; i < len && is_digit(text[i]); ++i) {
        int digit = text[i] - '0';
        if (value < (INT64_MIN + digit) / 10) return false;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == INT64_MIN) return false;
        value = -value;
    }
    *out = value;
    return true;
}

int parse_decimal_tokens(const char* text, size_t len, int64_t* values, int n_max) {
    len = bounded_length(text, len);
    for (int k = 0; k < n_max; ++k) values[k] = 0;
    // A run of spaces separates two tokens, as a tokenizer on " " would see it.
    int n_tokens = 0;
    size_t i = 0;
    while (n_tokens < n_max) {
        while (i < len && text[i] == ' ') ++i;
        if (i >= len) break;
        size_t start = i;
        while (i < len && text[i] != ' ') ++i;
        parse_decimal(text + start, i - start, &values[n_tokens]);
        ++n_tokens;
    }
    return n_tokens;
}
