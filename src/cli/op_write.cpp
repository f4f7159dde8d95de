// The two writing operations: compress into a new archive, append to an
// existing one.
//
// Both expand the file arguments, open the archive, store every plain file
// (and with -r walk every directory), flush and close.  Nothing the user had
// is lost when a run fails:
// - a new archive is written to a temporary file beside the archive (beside
//   the target when the archive's name is a symbolic link) and renamed over
//   it only once complete, closed, and after standard output took all that
//   was printed; a failed run removes the temporary file, so an existing
//   archive stays as it was.  Where no temporary file can be made (a full
//   disk, a directory that cannot be written) nothing is written at all;
// - an append is made at the archive's end and, when the run fails, the
//   archive is cut back to the length it had before.
// Messages always name the archive's own path, never the temporary file.
// The archive "-" is written to standard output as it is made: there is
// nothing to replace and nothing to undo, and a failed write ends the
// stream where it is.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "archive/block_io.h"
#include "archive/header.h"
#include "base/messages.h"
#include "cli/operations.h"
#include "entries/store.h"
#include "files/dir_walk.h"
#include "files/file_list.h"
#include "platform/platform.h"

namespace {

// The signal slot of the file a new archive is written to.
constexpr int NEW_ARCHIVE_SLOT = 0;

// Where a new archive is being written.
struct NewArchive {
    // The file replaced at the end: the archive, or the file its name leads
    // to through symbolic links.
    char final_path[plat::PATH_CAP];
    // The temporary file.
    char temp_path[plat::PATH_CAP];
    // An archive is there to be replaced: the new one gets its permission
    // bits and reaches the disk before it takes its place.
    bool replaces;
    uint32_t old_mode;
};

// The lock held on the existing archive for the run (-a, -w), or -1.
int archive_lock = -1;

// Renames a complete new archive over the existing one.  Where a file held
// open cannot be renamed over (Windows, whatever the sharing), the lock is
// let go first.  Returns 0, or -1.
int rename_into_place(const NewArchive* out) {
    if (plat::_rename(out->temp_path, out->final_path) == 0) return 0;
    if (archive_lock < 0) return -1;
    plat::_close(archive_lock);
    archive_lock = -1;
    return plat::_rename(out->temp_path, out->final_path);
}

// The file the entries go to: the temporary file, or the archive itself.
const char* written_path(const OpContext* ctx, const NewArchive* out) {
    return out->temp_path[0] != '\0' ? out->temp_path : ctx->archive_path;
}

// Stores or walks every name of the file list but the last (the archive).
// Clears *empty once anything was handed on.  Returns 0 or the first
// failure's result.
int32_t store_each_name(char** names, int32_t n_names, OpContext* ctx, bool* empty) {
    int strip = (ctx->flags & OPT_RECURSE) ? 0 : 1;
    // Pattern matches the format cannot carry were left out already.
    if (ctx->n_left_out > 0 && !ctx->keep_going) return RC_OPEN;
    for (int32_t i = 0; i + 1 < n_names; ++i) {
        // Every name is resolved from the start directory, wherever the
        // previous walk left the working directory.
        plat::_chdir(ctx->start_dir);
        plat::StatRec st;
        int32_t rc = RC_OK;
        if (plat::_stat(names[i], &st) != 0) {
            // A FIFO, socket or device is left out as it stands; a name
            // that is missing or whose status cannot be read was asked for.
            bool special = plat::GetLastError() == plat::ERR_NOT_A_FILE;
            if (store_before_message()) show_error(MSG_CANNOT_STAT, names[i]);
            rc = special ? RC_OK : leave_out(ctx);
        } else if (st.mode & plat::MODE_DIR) {
            if (!(ctx->flags & OPT_RECURSE)) continue;
            *empty = false;
            char dir_name[NAME_CAP];
            if (std::strlen(names[i]) >= sizeof dir_name) {
                if (store_before_message()) show_error(MSG_NAME_TOO_LONG, names[i]);
                rc = leave_out(ctx);
            } else {
                std::snprintf(dir_name, sizeof dir_name, "%s", names[i]);
                rc = walk_directory(names[i], dir_name, ctx);
            }
        } else {
            *empty = false;
            rc = store_file(names[i], nullptr, ctx, &st, strip);
        }
        if (rc != 0) return rc;
    }
    return RC_OK;
}

// store_each_name on n_threads threads (0: one per online processor);
// everything the workers were handed is written before it returns.
int32_t store_names(char** names, int32_t n_names, OpContext* ctx, int32_t n_threads, bool* empty) {
    store_workers_begin(ctx, n_threads);
    return store_workers_end(store_each_name(names, n_names, ctx, empty));
}

// A file argument named directly (not through a pattern) that is the
// existing archive's own file would be lost when the archive replaces it:
// message 49, -4.  Returns 0 otherwise.
int32_t refuse_archive_as_input(const RunConfig* config, OpContext* ctx) {
    plat::StatRec archive;
    if (plat::_stat(ctx->archive_path, &archive) != 0) return RC_OK;
    for (int32_t i = 0; i < config->file_count; ++i) {
        const char* name = config->files[i];
        if (std::strpbrk(name, "*?") != nullptr) continue;
        // Names are resolved from the start directory, as when storing.
        plat::_chdir(ctx->start_dir);
        plat::StatRec st;
        if (plat::_stat(name, &st) == 0 && plat::same_file(st.id, archive.id)) {
            show_error(MSG_ARCHIVE_IS_INPUT, ctx->archive_path);
            return RC_OPEN;
        }
    }
    return RC_OK;
}

// Notes the identities of the archive at its name (when there is one) and
// of the file written, so that neither is ever stored.
void note_archive_identity(OpContext* ctx, const char* written) {
    plat::StatRec st;
    if (plat::_stat(written, &st) == 0) {
        ctx->output_id_known = 1;
        ctx->output_id = st.id;
        ctx->archive_id_known = 1;
        ctx->archive_id = st.id;
    }
    if (plat::_stat(ctx->archive_path, &st) == 0) {
        ctx->archive_id_known = 1;
        ctx->archive_id = st.id;
    }
}

// Opens the file a new archive is written to: a temporary file beside the
// final path.  An existing archive that cannot be opened for writing stays
// refused.  Returns the handle, or -1 (after message 58 when no temporary
// file can be made there).
int open_new_archive_file(OpContext* ctx, NewArchive* out) {
    if (plat::_final_path(ctx->archive_path, out->final_path, sizeof out->final_path) != 0) {
        std::snprintf(out->final_path, sizeof out->final_path, "%s", ctx->archive_path);
    }
    if (plat::_access(out->final_path, 0) == 0) {
        int probe = plat::_open(out->final_path, plat::OF_WRONLY | plat::OF_BINARY);
        if (probe < 0) return -1;
        plat::_close(probe);
    }
    int h = plat::_open_temp_noted(NEW_ARCHIVE_SLOT, out->final_path, out->temp_path, sizeof out->temp_path);
    if (h >= 0) return h;
    out->temp_path[0] = '\0';
    show_error(MSG_NO_TEMP_FILE, ctx->archive_path);
    return -1;
}

// Removes what was written of a new archive (message 19 with the archive's
// path when it cannot be removed).
void discard_new_archive(OpContext* ctx, const NewArchive* out) {
    if (ctx->write_handle >= 0) plat::_close(ctx->write_handle);
    ctx->write_handle = -1;
    if (plat::_unlink(written_path(ctx, out)) != 0) show_error(MSG_CANNOT_DELETE, ctx->archive_path);
    plat::remove_on_signal(NEW_ARCHIVE_SLOT, nullptr);
}

// Opens a new archive's file and writes the header.  Returns 0 with
// write_handle open; -4 when the file cannot be made; the
// header writer's -5 or -18 (the file is then removed).
int32_t start_new_archive(OpContext* ctx, const char* password, NewArchive* out) {
    int h = open_new_archive_file(ctx, out);
    if (h < 0) return RC_OPEN;
    ctx->write_handle = h;
    plat::StatRec old;
    out->replaces = out->temp_path[0] != '\0' && plat::_stat(out->final_path, &old) == 0;
    out->old_mode = out->replaces ? old.mode : 0;
    plat::remove_on_signal(NEW_ARCHIVE_SLOT, written_path(ctx, out));
    note_archive_identity(ctx, written_path(ctx, out));
    int32_t rc = write_archive_header(ctx, password);
    if (rc != 0) discard_new_archive(ctx, out);
    return rc;
}

// Flushes and closes a complete new archive, gives it the permission bits
// of the archive it replaces (or makes it writable for everybody the umask
// allows: never read-only), checks standard output and puts the archive in
// its place; one that replaces an archive is on the disk before it is
// renamed, and the rename after.  On any failure the new file is removed.
// Returns 0; -5 after message 18; -13 after message 51.
int32_t finish_new_archive(OpContext* ctx, const NewArchive* out) {
    int32_t rc = block_flush() == 0 ? RC_OK : RC_WRITE;
    if (rc == RC_OK && out->replaces) {
        plat::set_permission_bits(ctx->write_handle, out->old_mode);
        if (plat::_commit(ctx->write_handle) != 0) rc = RC_WRITE;
    }
    if (rc == RC_OK) {
        int h = ctx->write_handle;
        ctx->write_handle = -1;
        if (plat::_close(h) != 0) rc = RC_WRITE;
    }
    if (rc == RC_OK && !out->replaces) plat::_chmod(written_path(ctx, out), 0666);
    if (rc == RC_WRITE) show_error(MSG_WRITE_ERROR, ctx->archive_path);
    if (rc == RC_OK && !stdout_flush()) rc = RC_OUT_WRITE;
    if (rc == RC_OK && out->temp_path[0] != '\0' && rename_into_place(out) != 0) {
        show_error(MSG_WRITE_ERROR, ctx->archive_path);
        rc = RC_WRITE;
    }
    if (rc != RC_OK) discard_new_archive(ctx, out);
    plat::remove_on_signal(NEW_ARCHIVE_SLOT, nullptr);
    // The rename is done; a directory that cannot be flushed changes nothing
    // of it.
    if (rc == RC_OK && out->replaces) plat::commit_parent_dir(out->final_path);
    return rc;
}

// After the names were stored: when some were left out (--keep-going) and
// nothing at all was stored, there is nothing to commit: message 6, -4.
bool nothing_stored(const OpContext* ctx) {
    if (ctx->n_left_out == 0 || ctx->n_entries > 0) return false;
    show_error(MSG_ARCHIVE_EMPTY);
    return true;
}

// The run's result once the archive is committed: -4 when anything asked
// for was left out.
int32_t committed_result(const OpContext* ctx, int32_t rc) {
    return rc == RC_OK && ctx->n_left_out > 0 ? RC_OPEN : rc;
}

// Writes a new archive: header, names, and its move into place.  Returns 0
// or the failure's result (message 2 follows a failure to open it).
int32_t write_new_archive(RunConfig* config, OpContext* ctx, char** names, int32_t n_names, bool* empty) {
    NewArchive out;
    int32_t rc = start_new_archive(ctx, config->password, &out);
    if (rc < 0) {
        show_error(MSG_CANNOT_OPEN, ctx->archive_path);
        return rc;
    }
    rc = store_names(names, n_names, ctx, config->n_workers, empty);
    if (rc == 0 && nothing_stored(ctx)) rc = RC_OPEN;
    if (rc != 0) {
        discard_new_archive(ctx, &out);
        return rc;
    }
    return committed_result(ctx, finish_new_archive(ctx, &out));
}

// Cuts an existing archive back to the length it had before the run and
// closes it, so that a failed append leaves it as it was.
void undo_append(OpContext* ctx, int64_t appended_from) {
    if (plat::_chsize(ctx->write_handle, appended_from) != 0) show_error(MSG_WRITE_ERROR, ctx->archive_path);
    plat::truncate_on_signal(-1, 0);
    plat::_close(ctx->write_handle);
    ctx->write_handle = -1;
}

// Appends the names to the archive open at its end.  Returns 0 or the
// failure's result.
int32_t append_names(OpContext* ctx, char** names, int32_t n_names, int32_t n_workers, int64_t appended_from,
                     bool* empty) {
    // A signal that ends the run meanwhile cuts the archive back first.
    plat::truncate_on_signal(ctx->write_handle, appended_from);
    int32_t rc = store_names(names, n_names, ctx, n_workers, empty);
    if (rc == 0 && nothing_stored(ctx)) rc = RC_OPEN;
    if (rc == 0 && block_flush() != 0) {
        show_error(MSG_WRITE_ERROR, ctx->archive_path);
        rc = RC_WRITE;
    }
    if (rc == 0 && !stdout_flush()) rc = RC_OUT_WRITE;
    if (rc != 0) {
        undo_append(ctx, appended_from);
        return rc;
    }
    plat::truncate_on_signal(-1, 0);
    plat::_close(ctx->write_handle);
    ctx->write_handle = -1;
    return committed_result(ctx, RC_OK);
}

// Takes the lock of an existing archive into *lock (-1 when there is no
// archive to lock, or it cannot be opened to be locked: what follows then
// reports that).  Returns 0, or -4 after message 59 when another run holds
// it.
int32_t lock_archive(OpContext* ctx, int* lock) {
    *lock = plat::lock_file(ctx->archive_path);
    if (*lock >= 0 || plat::GetLastError() != plat::ERR_LOCKED) return RC_OK;
    show_error(MSG_ARCHIVE_BUSY, ctx->archive_path);
    return RC_OPEN;
}

// Notes the identity of standard output, so that a file it is redirected
// to is never stored.  Where the system gives none (a pipe on Windows), an
// identity no file has stands for it.
void note_stream_identity(OpContext* ctx) {
    plat::FileId id{UINT64_MAX, UINT64_MAX};
    plat::handle_id(ctx->write_handle, &id);
    ctx->output_id_known = 1;
    ctx->output_id = id;
    ctx->archive_id_known = 1;
    ctx->archive_id = id;
}

// Writes the archive to standard output.  -a and -w have no archive to
// append to or to replace there: message 2, -4.  Returns 0 or the
// failure's result.
int32_t write_to_stdout(RunConfig* config, OpContext* ctx, char** names, int32_t n_names, bool append) {
    if (append || (ctx->flags & OPT_OVERWRITE)) {
        show_error(MSG_CANNOT_OPEN, ctx->archive_path);
        return RC_OPEN;
    }
    ctx->write_handle = plat::std_stream_handle(1);
    ctx->archive_streamed = 1;
    note_stream_identity(ctx);
    int32_t rc = write_archive_header(ctx, config->password);
    if (rc < 0) {
        show_error(MSG_CANNOT_OPEN, ctx->archive_path);
        return rc;
    }
    bool empty = true;
    rc = store_names(names, n_names, ctx, config->n_workers, &empty);
    if (rc == 0 && nothing_stored(ctx)) rc = RC_OPEN;
    if (rc == 0 && block_flush() != 0) {
        show_error(MSG_WRITE_ERROR, ctx->archive_path);
        rc = RC_WRITE;
    }
    if (rc == 0 && !stdout_flush()) rc = RC_OUT_WRITE;
    if (rc == 0 && empty) show_error(MSG_ARCHIVE_EMPTY);
    return committed_result(ctx, rc);
}

// Opens the archive, stores the names and closes it.  Returns 0 or the
// failure's result.
int32_t write_locked_archive(RunConfig* config, OpContext* ctx, char** names, int32_t n_names, bool append) {
    int64_t appended_from = -1;
    int32_t rc = RC_OK;
    if (append) {
        rc = refuse_archive_as_input(config, ctx);
        if (rc == 0) {
            rc = open_archive_for_append(ctx, &appended_from);
            if (rc < 0) show_error(MSG_CANNOT_OPEN, ctx->archive_path);
        }
    } else {
        rc = refuse_existing_archive(ctx);
        if (rc < 0) show_error(MSG_CANNOT_OPEN, ctx->archive_path);
        if (rc == 0) rc = refuse_archive_as_input(config, ctx);
    }
    if (rc < 0) return rc;
    // An append that has to create the archive writes a new one, like
    // compress (its header still records -a).
    bool appending = append && appended_from >= 0;
    bool empty = true;
    rc = appending ? append_names(ctx, names, n_names, config->n_workers, appended_from, &empty)
                   : write_new_archive(config, ctx, names, n_names, &empty);
    if (rc == 0 && empty) show_error(MSG_ARCHIVE_EMPTY);
    return rc;
}

// Writes the archive holding the lock of the existing one (-a, -w): one
// writer at a time.  Returns 0 or the failure's result.
int32_t write_archive(RunConfig* config, OpContext* ctx, char** names, int32_t n_names, bool append) {
    if (names_std_stream(ctx->archive_path)) return write_to_stdout(config, ctx, names, n_names, append);
    if (append || (ctx->flags & OPT_OVERWRITE)) {
        int32_t rc = lock_archive(ctx, &archive_lock);
        if (rc != 0) return rc;
    }
    int32_t rc = write_locked_archive(config, ctx, names, n_names, append);
    if (archive_lock >= 0) plat::_close(archive_lock);
    archive_lock = -1;
    return rc;
}

int32_t run_write(RunConfig* config, bool append) {
    OpContext ctx;
    int32_t rc = begin_operation(&ctx, config);
    if (rc != 0) return rc;
    if (append) ctx.flags |= OPT_APPEND;
    ctx.keep_going = config->keep_going;
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
