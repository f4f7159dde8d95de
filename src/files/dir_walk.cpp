// The recursive directory walk of -r.
//
// Each directory gets an opening record (stored with the directory it was
// entered from as prefix, so it may carry an attribute block), then its
// files in search order, then its subdirectories' groups, then a closing
// record (no prefix: ENTRY_DIR_END); a directory that cannot be read still
// gets both records.  The walk follows the process's
// working directory: a directory's entries are resolved from inside it.
// Only one directory search is open at a time, so subdirectory names are
// held in a chain until the directory's own listing is closed.
#include "files/dir_walk.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "archive/dir_record.h"
#include "archive/select.h"
#include "base/messages.h"
#include "entries/store.h"
#include "files/file_list.h"

namespace {

// The walk's messages keep their place after what storing has queued.
void walk_error(int32_t number, MsgArg arg = MsgArg()) {
    if (store_before_message()) show_error(number, arg);
}

// A subdirectory waiting to be walked.
struct SubdirNode {
    char* name;
    SubdirNode* next;
};

void release_subdirs(SubdirNode* node) {
    while (node != nullptr) {
        SubdirNode* next = node->next;
        delete[] node->name;
        delete node;
        node = next;
    }
}

// Appends a copy of name after *tail.  Returns false when memory runs out.
bool append_subdir(SubdirNode** head, SubdirNode** tail, const char* name) {
    size_t len = std::strlen(name);
    char* copy = new (std::nothrow) char[len + 1];
    SubdirNode* node = copy == nullptr ? nullptr : new (std::nothrow) SubdirNode{copy, nullptr};
    if (node == nullptr) {
        delete[] copy;
        return false;
    }
    std::memcpy(copy, name, len + 1);
    if (*tail == nullptr) *head = node;
    else (*tail)->next = node;
    *tail = node;
    return true;
}

// The directories being walked, outermost first, by file identity.  A
// stored path holds at most 255 characters and each level adds at least two
// ("/" and a name), so the walk is never deeper than this.
constexpr int WALK_DEPTH_CAP = NAME_CAP / 2 + 1;
plat::FileId walk_path[WALK_DEPTH_CAP];
int walk_depth = 0;

bool on_walk_path(const plat::StatRec& st) {
    for (int i = 0; i < walk_depth; ++i) {
        if (plat::same_file(walk_path[i], st.id)) return true;
    }
    return false;
}

// The working directory right after entering a directory; only needed
// until check_descent has looked at it, so one buffer serves every level.
char dir_entered[plat::PATH_CAP];

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool is_dot_name(const char* name) {
    return name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Changes back to dir_left.  Returns 0, or -15 after message 21.
int32_t change_back(const char* dir_left) {
    if (plat::_chdir(dir_left) == 0) return RC_OK;
    walk_error(MSG_CHDIR, dir_left);
    return RC_CHDIR;
}

// An entry of the listing whose status cannot be read: message 24.  One
// that is no longer there (a dangling link) or is neither a file nor a
// directory is left out as it stands; any other cause goes to leave_out.
int32_t bad_entry_status(OpContext* ctx, const char* entry_name) {
    uint32_t cause = plat::GetLastError();
    walk_error(MSG_BAD_STAT, entry_name);
    if (cause == plat::ERR_FILE_NOT_FOUND || cause == plat::ERR_NOT_A_FILE) return RC_OK;
    return leave_out(ctx);
}

// Names the search passed over for their length (message 47, in
// take_entry) go to leave_out; without --keep-going the walk then stops.
bool walk_stopped(const OpContext* ctx) { return !ctx->keep_going && ctx->n_left_out > 0; }

// Stores the files of the directory being listed (the working directory)
// and collects its subdirectories; a name that cannot be stored (message
// 50) goes to leave_out.  entry_name holds the first entry of search h.
// Returns 0, -16 (message 23, or 41 when memory runs out), -4, or
// store_file's nonzero result.
int32_t list_entries(OpContext* ctx, plat::FindHandle h, char* entry_name, char* stored_path,
                     SubdirNode** subdirs) {
    SubdirNode* tail = nullptr;
    for (;;) {
        plat::StatRec st;
        // Checked before the name is used as a path at all.
        int32_t rc = RC_OK;
        if (!listing_name_storable(entry_name)) {
            std::string whole = std::string(stored_path) + "/" + entry_name;
            walk_error(MSG_NAME_NOT_STORABLE, whole.c_str());
            rc = leave_out(ctx);
        } else if (plat::_stat(entry_name, &st) != 0) {
            rc = bad_entry_status(ctx, entry_name);
        } else if (st.mode & plat::MODE_DIR) {
            if (!is_dot_name(entry_name) && !append_subdir(subdirs, &tail, entry_name)) {
                walk_error(MSG_NO_MEMORY);
                return RC_SEARCH;
            }
        } else {
            rc = store_file(entry_name, stored_path, ctx, &st, 0);
        }
        if (rc != 0) return rc;
        int32_t more = dir_search_next(ctx, h, entry_name);
        if (walk_stopped(ctx)) return RC_OPEN;
        if (more == 0) return RC_OK;
        if (more < 0) {
            walk_error(MSG_SEARCH);
            return RC_SEARCH;
        }
    }
}

// Walks each subdirectory of the chain (the working directory is their
// parent), releasing the chain.  A subdirectory whose stored path would pass
// 255 characters goes to leave_out after message 47.  Returns 0 or the first
// negative result.
int32_t walk_subdirs(SubdirNode* subdirs, const char* stored_path, OpContext* ctx) {
    int32_t rc = RC_OK;
    for (SubdirNode* node = subdirs; node != nullptr && rc >= 0; node = node->next) {
        char sub_path[NAME_CAP];
        int len = std::snprintf(sub_path, sizeof sub_path, "%s/%s", stored_path, node->name);
        if (len < 0 || len >= static_cast<int>(sizeof sub_path)) {
            std::string whole = std::string(stored_path) + "/" + node->name;
            walk_error(MSG_NAME_TOO_LONG, whole.c_str());
            rc = leave_out(ctx);
            continue;
        }
        rc = walk_directory(node->name, sub_path, ctx);
    }
    release_subdirs(subdirs);
    return rc;
}

// What walk_inside did with a directory.
enum : int32_t {
    DIR_WALKED = 0,
    DIR_NOT_ENTERED = 1,  // the directory left, an ancestor, or on the walk's path
    DIR_UNREADABLE = 2,   // it could not be entered (message 52)
};

// Enters name, whose search h is open, and stores its contents.  Returns
// one of the DIR_ results or a negative result.  The search is closed on
// every way out.
int32_t walk_inside(const char* name, char* stored_path, OpContext* ctx, const char* dir_left,
                    const plat::StatRec& st, plat::FindHandle h, char* entry_name) {
    if (plat::_chdir(name) != 0) {
        dir_search_close(h);
        walk_error(MSG_DIR_UNREADABLE, stored_path);
        int32_t rc = leave_out(ctx);
        return rc != 0 ? rc : DIR_UNREADABLE;
    }
    int32_t rc = RC_OK;
    if (plat::_getcwd(dir_entered, sizeof dir_entered) == nullptr) {
        // Without its path the directory cannot be told from an ancestor.
        dir_search_close(h);
        walk_error(MSG_DIR_PATH_UNREADABLE, stored_path);
        rc = change_back(dir_left);
        if (rc == 0) rc = leave_out(ctx);
        return rc != 0 ? rc : DIR_UNREADABLE;
    }
    // The directory given to the walk is walked whatever it is (".", the
    // start directory by any spelling, an ancestor, the root); the
    // ancestor rule is for what the walk meets.
    if (walk_depth > 0) rc = check_descent(dir_left, dir_entered);
    // A directory already on the walk's path (a symbolic-link loop) is not
    // entered a second time.
    if (rc == 0 && (on_walk_path(st) || walk_depth >= WALK_DEPTH_CAP)) {
        rc = change_back(dir_left);
        if (rc == 0) rc = DIR_NOT_ENTERED;
    }
    SubdirNode* subdirs = nullptr;
    if (rc == 0) rc = list_entries(ctx, h, entry_name, stored_path, &subdirs);
    dir_search_close(h);
    if (rc != 0) {
        release_subdirs(subdirs);
        return rc;
    }
    walk_path[walk_depth++] = st.id;
    rc = walk_subdirs(subdirs, stored_path, ctx);
    --walk_depth;
    return rc;
}

// Stores the closing record of name (resolved from the working directory)
// under stored_path.  Returns 0, -17 after message 22, or store_directory's
// result.
int32_t close_directory(const char* name, char* stored_path, OpContext* ctx) {
    plat::StatRec st;
    if (plat::_stat(name, &st) != 0) {
        walk_error(MSG_DIR_STAT, name);
        return RC_DIR_STAT;
    }
    return store_directory(RecordKind::dir_close, stored_path, ctx, &st);
}

// Copies the name of a search entry that passes the attribute filter into
// entry_name.  Returns false for an entry to pass over; one whose name does
// not fit a stored name is reported (message 47) and goes to leave_out.
bool take_entry(OpContext* ctx, const plat::FindData& found, char* entry_name) {
    if (!attribute_filter_accepts(found.dwFileAttributes, ctx->flags)) return false;
    const void* end = std::memchr(found.cFileName, '\0', sizeof found.cFileName);
    size_t len = end == nullptr ? sizeof found.cFileName
                                : static_cast<size_t>(static_cast<const char*>(end) - found.cFileName);
    if (len >= static_cast<size_t>(NAME_CAP)) {
        std::string whole(found.cFileName, len);
        walk_error(MSG_NAME_TOO_LONG, whole.c_str());
        leave_out(ctx);
        return false;
    }
    std::memcpy(entry_name, found.cFileName, len);
    entry_name[len] = '\0';
    return true;
}

}  // namespace

plat::FindHandle dir_search_first(OpContext* ctx, const char* dir_name, char* entry_name) {
    entry_name[0] = '\0';
    char pattern[plat::PATH_CAP];
    int len = std::snprintf(pattern, sizeof pattern, "%s\\*.*", dir_name);
    if (len < 0 || len >= static_cast<int>(sizeof pattern)) return nullptr;
    plat::FindData found;
    plat::FindHandle h = plat::FindFirstFileA(pattern, &found);
    if (h == plat::NO_FIND_HANDLE) return nullptr;
    if (take_entry(ctx, found, entry_name)) return h;
    if (dir_search_next(ctx, h, entry_name) == 1) return h;
    plat::FindClose(h);
    return nullptr;
}

int32_t dir_search_next(OpContext* ctx, plat::FindHandle h, char* entry_name) {
    plat::FindData found;
    while (plat::FindNextFileA(h, &found) != 0) {
        if (take_entry(ctx, found, entry_name)) return 1;
    }
    entry_name[0] = '\0';
    return plat::GetLastError() == plat::ERR_NO_MORE_FILES ? 0 : -1;
}

void dir_search_close(plat::FindHandle h) {
    if (h != nullptr) plat::FindClose(h);
}

int32_t check_descent(const char* dir_left, const char* dir_entered_now) {
    size_t n = std::strlen(dir_entered_now);
    if (std::strncmp(dir_left, dir_entered_now, n) != 0) return 0;
    // Whole components only: /home/us is not an ancestor of /home/user.
    bool ancestor_or_same = dir_left[n] == '\0' || is_separator(dir_left[n]) ||
                            (n > 0 && is_separator(dir_entered_now[n - 1]));
    if (!ancestor_or_same) return 0;
    return change_back(dir_left) < 0 ? RC_CHDIR : 1;
}

int32_t walk_directory(const char* name, char* stored_path, OpContext* ctx) {
    // Left out with all it holds.
    if (name_excluded(stored_path)) return RC_OK;
    if (!name_fits_record(stored_path)) {
        walk_error(MSG_NAME_NOT_STORABLE, stored_path);
        return leave_out(ctx);
    }
    char dir_left[plat::PATH_CAP];
    if (plat::_getcwd(dir_left, sizeof dir_left) == nullptr) {
        // Without it the walk could not find its way back.
        walk_error(MSG_CHDIR, name);
        return RC_CHDIR;
    }
    plat::StatRec st;
    if (plat::_stat(name, &st) != 0) {
        walk_error(MSG_DIR_STAT, name);
        return RC_DIR_STAT;
    }
    int32_t rc = store_directory(RecordKind::dir_open, stored_path, ctx, &st);
    if (rc != 0) return rc;
    char entry_name[NAME_CAP];
    plat::FindHandle h = dir_search_first(ctx, name, entry_name);
    if (h == nullptr) {
        // The normal end of the search: every entry was filtered out, and
        // the directory is stored as empty.  Anything else: it could not be
        // read.
        if (walk_stopped(ctx)) return RC_OPEN;
        if (plat::GetLastError() != plat::ERR_NO_MORE_FILES) {
            walk_error(MSG_DIR_UNREADABLE, stored_path);
            rc = leave_out(ctx);
            if (rc != 0) return rc;
        }
        return close_directory(name, stored_path, ctx);
    }
    if (walk_stopped(ctx)) {
        dir_search_close(h);
        return RC_OPEN;
    }
    rc = walk_inside(name, stored_path, ctx, dir_left, st, h, entry_name);
    if (rc == DIR_NOT_ENTERED) return RC_OK;
    if (rc == DIR_UNREADABLE) return close_directory(name, stored_path, ctx);
    if (rc != 0) return rc;
    // Back where the directory's name resolves, for its closing record.  A
    // failure here would resolve every later name in the wrong place.
    rc = change_back(dir_left);
    if (rc != 0) return rc;
    return close_directory(name, stored_path, ctx);
}
