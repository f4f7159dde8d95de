// Testing and comparing: each entry is read and checked as unpacking would
// restore it, and nothing is written.  Comparing also holds each entry
// against what stands at its output path.
#pragma once

#include <cstdint>

#include "archive/dir_record.h"
#include "base/context.h"

// What a test or compare walk found.  Closing records and checksum entries
// are not counted.
struct VerifyTally {
    int64_t entries;
    int64_t damaged;
    int64_t checked;  // entries that had a checksum entry
    int64_t differ;
};

// Clears the tally; each test or compare walk starts with it.
void verify_tally_reset();
const VerifyTally& verify_tally();

// Checks one entry (its record read, its data next in the archive),
// consuming its data as restore_entry would.  Comparing (ctx->verify is
// VERIFY_COMPARE) prints MSG_DIFFERS for an entry that differs from the
// disk.  Returns RC_OK; RC_DAMAGED after the damage messages; or the
// negative code of a framing error.
int32_t verify_entry(unsigned char* buffer, dir_entry* entry, OpContext* ctx);
