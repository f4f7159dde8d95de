// The two reading operations: unpack an archive, list an archive.
//
// Both expand only the archive name, to fix its full path.  The file
// arguments choose entries by their stored names (never matched against
// the disk); without them the whole archive is read.
#include <cstdio>

#include "archive/header.h"
#include "archive/select.h"
#include "entries/walk.h"
#include "base/messages.h"
#include "cli/operations.h"
#include "files/file_list.h"
#include "platform/platform.h"

// Builds the work list of the archive name alone and expands it into
// ctx->archive_path.  Returns 0 with *work set (count texts), or the
// expansion's negative code.
int32_t resolve_archive(RunConfig* config, OpContext* ctx, char*** work, int32_t* count) {
    RunConfig archive_only = *config;
    archive_only.file_count = 0;
    archive_only.files = nullptr;
    *count = 1;
    *work = make_work_list(&archive_only);
    if (*work == nullptr) {
        show_error(MSG_NO_MEMORY);
        return RC_EXPAND;
    }
    char** file_list = nullptr;
    int32_t n_files = 0;
    int32_t rc = build_file_list(*count, *work, ctx, &file_list, &n_files);
    if (file_list != nullptr) free_file_list(file_list, n_files);
    return rc;
}

int32_t walk_archive_entries(RunConfig* config, OpContext* ctx, int32_t opening, EntriesWalk walk) {
    char** work = nullptr;
    int32_t count = 0;
    int32_t rc = resolve_archive(config, ctx, &work, &count);
    if (rc == RC_OK) {
        show_info(opening, ctx->archive_path);
        rc = read_archive_header(ctx, config->password);
        if (rc < 0) {
            show_error(MSG_CANNOT_OPEN, ctx->archive_path);
        } else if (plat::_chdir(ctx->start_dir) != 0) {
            // Entries are restored (or checked) relative to the start
            // directory; one that cannot be entered (no longer) is never
            // replaced by the working directory.
            show_error(MSG_BAD_START_DIR, ctx->start_dir);
            rc = RC_BAD_START_DIR;
        } else {
            Selection sel;
            selection_init(&sel, config->file_count, config->files);
            rc = walk(ctx, &sel);
        }
    }
    end_operation(count, work);
    return rc;
}

int32_t run_uncompress(RunConfig* config) {
    OpContext ctx;
    int32_t rc = begin_operation(&ctx, config);
    if (rc != RC_OK) return rc;
    ctx.flags |= OPT_UNCOMPRESS;
    // Written on every run, -q included.
    stdout_printf("offset = %lu, offset = %lu\n", 0UL, 0UL);
    if (config->archive_name[0] == '\0') {
        show_error(MSG_NO_ARCHIVE_UNCOMPRESS);
        return RC_NO_FILES;
    }
    return walk_archive_entries(config, &ctx, MSG_UNCOMPRESSING, uncompress_walk);
}

int32_t run_list(RunConfig* config) {
    OpContext ctx;
    int32_t rc = begin_operation(&ctx, config);
    if (rc != RC_OK) return rc;
    ctx.flags |= OPT_LIST;
    if (config->archive_name[0] == '\0') {
        if (!(ctx.flags & OPT_QUIET)) show_error(MSG_NO_ARCHIVE_LIST);
        return RC_NO_FILES;
    }
    char** work = nullptr;
    int32_t count = 0;
    rc = resolve_archive(config, &ctx, &work, &count);
    if (rc == RC_OK && (ctx.flags & OPT_QUIET)) {
        rc = RC_LIST_QUIET;  // a quiet listing reads and prints nothing
    } else if (rc == RC_OK) {
        show_info(MSG_LISTING, ctx.archive_path);
        rc = read_archive_header(&ctx, config->password);
        if (rc < 0) {
            show_error(MSG_CANNOT_OPEN, ctx.archive_path);
        } else {
            Selection sel;
            selection_init(&sel, config->file_count, config->files);
            rc = list_walk(&ctx, &sel, config->detailed != 0);
        }
    }
    end_operation(count, work);
    return rc;
}
