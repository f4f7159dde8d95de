// The XXH3 hash is compiled into the program (the library's header alone),
// so the program needs no shared library for it.
#include "entries/checksum.h"

#include <cstdio>
#include <cstring>

#define XXH_INLINE_ALL
#include "xxhash.h"

namespace {

static_assert(sizeof(XXH3_state_t) <= sizeof(ContentHash::state), "hash state does not fit");
static_assert(alignof(XXH3_state_t) <= alignof(ContentHash), "hash state alignment");

XXH3_state_t* state_of(ContentHash* h) { return reinterpret_cast<XXH3_state_t*>(h->state); }

}  // namespace

void content_hash_begin(ContentHash* h) {
    XXH3_INITSTATE(state_of(h));
    XXH3_128bits_reset(state_of(h));
}

void content_hash_add(ContentHash* h, const void* data, size_t n) {
    if (n > 0) XXH3_128bits_update(state_of(h), data, n);
}

void content_hash_text(const ContentHash* h, char text[CHECKSUM_TEXT_LEN + 1]) {
    XXH128_hash_t sum = XXH3_128bits_digest(reinterpret_cast<const XXH3_state_t*>(h->state));
    XXH128_canonical_t canon;
    XXH128_canonicalFromHash(&canon, sum);
    std::memcpy(text, CHECKSUM_PREFIX, CHECKSUM_PREFIX_LEN);
    for (size_t i = 0; i < sizeof canon.digest; ++i)
        std::snprintf(text + CHECKSUM_PREFIX_LEN + 2 * i, 3, "%02x", canon.digest[i]);
    text[CHECKSUM_TEXT_LEN] = '\0';
}

bool is_checksum_text(const char* text, size_t n) {
    if (n != CHECKSUM_TEXT_LEN || std::memcmp(text, CHECKSUM_PREFIX, CHECKSUM_PREFIX_LEN) != 0) return false;
    for (size_t i = CHECKSUM_PREFIX_LEN; i < n; ++i) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}
