// Testing an archive and comparing it with the disk: the unpack walk with
// every entry checked instead of restored.  No offset line; the totals take
// the place of unpacking's final empty line.
#include <string>

#include "archive/header.h"
#include "archive/select.h"
#include "base/messages.h"
#include "cli/operations.h"
#include "entries/verify.h"
#include "entries/walk.h"
#include "platform/platform.h"

namespace {

void show_totals(uint8_t mode) {
    const VerifyTally& t = verify_tally();
    std::string entries = std::to_string(t.entries);
    std::string damaged = std::to_string(t.damaged);
    if (mode == VERIFY_COMPARE) {
        std::string differ = std::to_string(t.differ);
        show_message(MSG_COMPARED, entries.c_str(), differ.c_str(), damaged.c_str(), 0);
    } else {
        std::string checked = std::to_string(t.checked);
        show_message(MSG_TESTED, entries.c_str(), damaged.c_str(), checked.c_str(), 0);
    }
}

// The walk of a test or compare run, then its totals.
int32_t verify_walk(OpContext* ctx, Selection* sel) {
    verify_tally_reset();
    int32_t rc = uncompress_walk(ctx, sel);
    show_totals(ctx->verify);
    return rc == RC_OK && verify_tally().differ > 0 ? RC_DIFFERS : rc;
}

int32_t run_verify(RunConfig* config, uint8_t mode) {
    OpContext ctx;
    int32_t rc = begin_operation(&ctx, config);
    if (rc != RC_OK) return rc;
    ctx.verify = mode;
    if (config->archive_name[0] == '\0') {
        show_error(MSG_NO_ARCHIVE_UNCOMPRESS);
        return RC_NO_FILES;
    }
    // Entries are compared at the paths unpacking would give them.
    return walk_archive_entries(config, &ctx, MSG_TESTING, verify_walk);
}

}  // namespace

int32_t run_test(RunConfig* config) { return run_verify(config, VERIFY_TEST); }

int32_t run_compare(RunConfig* config) { return run_verify(config, VERIFY_COMPARE); }
