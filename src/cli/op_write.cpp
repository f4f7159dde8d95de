// The two writing operations: compress into a new archive, append to an
// existing one.
//
// Both expand the file arguments, open the archive, store every plain file
// (and with -r walk every directory), flush and close.  A failed append
// never loses the archive it was given: the archive is cut back to the
// length it had before the run.  A new archive that could not be written is
// removed instead (store_file does this for the writes it makes).
#include <cstdio>
#include <cstring>

#include "archive/block_io.h"
#include "archive/header.h"
#include "base/messages.h"
#include "cli/operations.h"
#include "codec/store.h"
#include "files/dir_walk.h"
#include "files/file_list.h"
#include "platform/platform.h"

namespace {

// Stores or walks every name of the file list but the last (the archive).
// Clears *empty once anything was handed on.  Returns 0 or the first
// failure's result.
int32_t store_names(char** names, int32_t n_names, OpContext* ctx, bool* empty) {
    int strip = (ctx->flags & OPT_RECURSE) ? 0 : 1;
    for (int32_t i = 0; i + 1 < n_names; ++i) {
        // Every name is resolved from the start directory, wherever the
        // previous walk left the working directory.
        plat::_chdir(ctx->start_dir);
        plat::StatRec st;
        if (plat::_stat(names[i], &st) != 0) {
            show_error(MSG_CANNOT_STAT, names[i]);
            continue;
        }
        int32_t rc = RC_OK;
        if (st.mode & plat::MODE_DIR) {
            if (!(ctx->flags & OPT_RECURSE)) continue;
            *empty = false;
            char dir_name[NAME_CAP];
            if (std::strlen(names[i]) >= sizeof dir_name) {
                show_error(MSG_NAME_TOO_LONG, names[i]);
                continue;
            }
            std::snprintf(dir_name, sizeof dir_name, "%s", names[i]);
            rc = walk_directory(names[i], dir_name, ctx);
        } else {
            *empty = false;
            rc = store_file(names[i], nullptr, ctx, &st, strip);
        }
        if (rc != 0) return rc;
    }
    return RC_OK;
}

// Writes out the block buffer.  A new archive that cannot be completed is
// removed; an appended one is left open for undo_append.  Returns 0, or -5
// after message 18.
int32_t finish_writing(OpContext* ctx, bool appending) {
    if (block_flush() == 0) return RC_OK;
    show_error(MSG_WRITE_ERROR, ctx->archive_path);
    if (!appending) {
        plat::_close(ctx->write_handle);
        ctx->write_handle = -1;
        if (plat::_unlink(ctx->archive_path) != 0) show_error(MSG_CANNOT_DELETE, ctx->archive_path);
    }
    return RC_WRITE;
}

// Cuts an existing archive back to the length it had before the run and
// closes it, so that a failed append leaves it as it was.
void undo_append(OpContext* ctx, int64_t appended_from) {
    if (plat::_chsize(ctx->write_handle, appended_from) != 0) show_error(MSG_WRITE_ERROR, ctx->archive_path);
    plat::_close(ctx->write_handle);
    ctx->write_handle = -1;
}

// Opens the archive, stores the names and closes it.  Returns 0 or the
// failure's result.
int32_t write_archive(RunConfig* config, OpContext* ctx, char** names, int32_t n_names, bool append) {
    int64_t appended_from = -1;
    int32_t rc = append ? open_archive_for_append(ctx, config->password, &appended_from)
                        : create_archive_header(ctx, config->password);
    if (rc < 0) {
        show_error(MSG_CANNOT_OPEN, ctx->archive_path);
        return rc;
    }
    // From here OPT_APPEND means "writing at the end of an existing archive":
    // an append that had to create the archive behaves like compress.
    bool appending = append && appended_from >= 0;
    if (!appending) ctx->flags &= ~OPT_APPEND;
    bool empty = true;
    rc = store_names(names, n_names, ctx, &empty);
    if (rc == 0) rc = finish_writing(ctx, appending);
    if (rc != 0) {
        if (appending) undo_append(ctx, appended_from);
        return rc;
    }
    plat::_close(ctx->write_handle);
    ctx->write_handle = -1;
    // The archive is never left read-only.
    plat::_chmod(ctx->archive_path, 0666);
    if (empty) show_error(MSG_ARCHIVE_EMPTY);
    return RC_OK;
}

int32_t run_write(RunConfig* config, bool append) {
    OpContext ctx;
    int32_t rc = begin_operation(&ctx, config);
    if (rc != 0) return rc;
    if (append) ctx.flags |= OPT_APPEND;
    if (config->archive_name[0] == '\0') {
        show_error(append ? MSG_NO_ARCHIVE_APPEND : MSG_NO_ARCHIVE_COMPRESS);
        return RC_NO_FILES;
    }
    int32_t n_work = config->file_count + 1;
    char** work = make_work_list(config);
    if (work == nullptr) {
        show_error(MSG_NO_MEMORY);
        return RC_EXPAND;
    }
    char** names = nullptr;
    int32_t n_names = 0;
    rc = build_file_list(n_work, work, &ctx, &names, &n_names);
    if (rc == 0) rc = write_archive(config, &ctx, names, n_names, append);
    free_file_list(names, n_names);
    end_operation(n_work, work);
    return rc;
}

}  // namespace

int32_t run_compress(RunConfig* config) { return run_write(config, false); }

int32_t run_append(RunConfig* config) { return run_write(config, true); }
