// File list expansion.
//
// Plain names pass through as typed; a name holding '*' or '?' is a pattern
// handed to the platform's directory search, and each match becomes the
// pattern's directory prefix (exactly as typed, separator included) followed
// by the matched name.  Names are collected in a chain and moved into one
// array at the end; the last name stands for the archive.
#include "files/file_list.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "archive/dir_record.h"
#include "base/messages.h"
#include "platform/platform.h"

int find_next_failed;

namespace {

// One accepted name on its way into the file list.
struct NameNode {
    char* name;
    NameNode* next;
};

struct NameChain {
    NameNode* head = nullptr;
    NameNode* tail = nullptr;
    int32_t count = 0;
};

void chain_release(NameChain* chain, bool with_names) {
    NameNode* node = chain->head;
    while (node != nullptr) {
        NameNode* next = node->next;
        if (with_names) delete[] node->name;
        delete node;
        node = next;
    }
    *chain = NameChain();
}

// Appends a heap copy of the len bytes at text.  Returns false (after
// message 41) when memory runs out.
bool chain_append(NameChain* chain, const char* text, size_t len) {
    char* copy = new (std::nothrow) char[len + 1];
    NameNode* node = copy == nullptr ? nullptr : new (std::nothrow) NameNode{copy, nullptr};
    if (node == nullptr) {
        delete[] copy;
        show_error(MSG_NO_MEMORY);
        return false;
    }
    std::memcpy(copy, text, len);
    copy[len] = '\0';
    if (chain->tail == nullptr) chain->head = node;
    else chain->tail->next = node;
    chain->tail = node;
    ++chain->count;
    return true;
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Length of the directory prefix of a pattern: up to and including the last
// separator before its first wildcard (position 0 counts), else 0.
size_t pattern_prefix_len(const char* pattern) {
    size_t wild = std::strcspn(pattern, "*?");
    for (size_t i = wild; i > 0; --i) {
        if (is_separator(pattern[i - 1])) return i;
    }
    return 0;
}

// Takes one match of a pattern into the chain unless it is "." or "..", the
// attribute filter rejects it, the name cannot be stored (message 50), or
// prefix plus name exceed a stored name (message 47); those two count as
// left out (*n_left_out), for the writing operations to fail on.  Returns
// false when memory runs out.
bool take_match(NameChain* chain, const char* pattern, size_t prefix_len,
                const plat::FindData& found, uint32_t flags, int32_t* n_left_out) {
    const char* match = found.cFileName;
    if (std::strcmp(match, ".") == 0 || std::strcmp(match, "..") == 0) return true;
    if (!attribute_filter_accepts(found.dwFileAttributes, flags)) return true;
    char name[NAME_CAP];
    size_t match_len = std::strlen(match);
    if (!listing_name_storable(match)) {
        std::string whole = std::string(pattern, prefix_len) + match;
        show_error(MSG_NAME_NOT_STORABLE, whole.c_str());
        ++*n_left_out;
        return true;
    }
    if (prefix_len + match_len >= sizeof name) {
        std::string whole = std::string(pattern, prefix_len) + match;
        show_error(MSG_NAME_TOO_LONG, whole.c_str());
        ++*n_left_out;
        return true;
    }
    std::memcpy(name, pattern, prefix_len);
    std::memcpy(name + prefix_len, match, match_len);
    return chain_append(chain, name, prefix_len + match_len);
}

// Adds the matches of one pattern.  Returns false after message 42 (nothing
// matches), 43 (the continuation failed; find_next_failed is set) or 41.
bool expand_pattern(NameChain* chain, const char* pattern, uint32_t flags, int32_t* n_left_out) {
    plat::FindData found;
    plat::FindHandle h = plat::FindFirstFileA(pattern, &found);
    if (h == plat::NO_FIND_HANDLE) {
        show_error(MSG_BAD_FILE_LIST, pattern);
        return false;
    }
    size_t prefix_len = pattern_prefix_len(pattern);
    bool ok = true;
    for (;;) {
        if (!take_match(chain, pattern, prefix_len, found, flags, n_left_out)) {
            ok = false;
            break;
        }
        if (plat::FindNextFileA(h, &found) == 0) {
            uint32_t code = plat::GetLastError();
            if (code != plat::ERR_NO_MORE_FILES) {
                show_error(MSG_FIND_NEXT, static_cast<long>(code));
                find_next_failed = 1;
                ok = false;
            }
            break;
        }
    }
    plat::FindClose(h);
    return ok;
}

// Moves the chain's names into a new array and releases the nodes.  Returns
// nullptr after message 41 (the chain is then released with its names).
char** chain_to_array(NameChain* chain) {
    char** list = new (std::nothrow) char*[static_cast<size_t>(chain->count)]();
    if (list == nullptr) {
        show_error(MSG_NO_MEMORY);
        chain_release(chain, true);
        return nullptr;
    }
    int32_t i = 0;
    for (NameNode* node = chain->head; node != nullptr; node = node->next) list[i++] = node->name;
    chain_release(chain, false);
    return list;
}

// Fills archive_path with the full path of the archive's name, resolved
// against the directory the program was started in.  When that path cannot
// be formed (a working directory deeper than the system's path limit) the
// name as given still reaches the archive from there, where the operation
// works without -c, and every message names it.  With -c the operation
// works elsewhere: a relative name that cannot be made absolute, or that
// would be resolved in the -c directory because the expansion could not
// come back (home_known false), cannot be reached.  Returns false after
// message 44 then.
bool resolve_archive_path(OpContext* ctx, const char* name, bool home_known) {
    if (names_std_stream(name)) {
        std::snprintf(ctx->archive_path, sizeof ctx->archive_path, "%s", name);
        return true;
    }
    bool relative = name[0] != '/' && name[0] != '\\';
    bool elsewhere = relative && (ctx->flags & OPT_START_DIR);
    if (!(elsewhere && !home_known) && plat::_fullpath(ctx->archive_path, name, sizeof ctx->archive_path) != nullptr)
        return true;
    size_t len = std::strlen(name);
    if (elsewhere || len >= sizeof ctx->archive_path) {
        ctx->archive_path[0] = '\0';
        show_error(MSG_WILDCARD_ACCESS, name);
        return false;
    }
    std::memcpy(ctx->archive_path, name, len + 1);
    return true;
}

}  // namespace

bool attribute_filter_accepts(uint32_t attributes, uint32_t flags) {
    if ((attributes & plat::ATTR_HIDDEN) && !(flags & OPT_HIDDEN)) return false;
    if ((attributes & plat::ATTR_SYSTEM) && !(flags & OPT_SYSTEM)) return false;
    return true;
}

char** expand_wildcards(char** work, int32_t count, OpContext* ctx, int32_t* out_count) {
    // Every name is taken relative to the start directory; when it cannot
    // be entered the expansion works where it is.
    plat::_chdir(ctx->start_dir);
    NameChain chain;
    for (int32_t i = 0; i < count; ++i) {
        const char* name = work[i];
        bool ok = std::strpbrk(name, "*?") == nullptr ? chain_append(&chain, name, std::strlen(name))
                                                      : expand_pattern(&chain, name, ctx->flags, &ctx->n_left_out);
        if (!ok) {
            chain_release(&chain, true);
            return nullptr;
        }
    }
    // Every match skipped: there is no name left to stand for the archive.
    if (chain.count == 0) return nullptr;
    int32_t n = chain.count;
    char** list = chain_to_array(&chain);
    if (list != nullptr) *out_count = n;
    return list;
}

int32_t build_file_list(int32_t count, char** work, OpContext* ctx, char*** out_list,
                        int32_t* out_count) {
    char entry_dir[plat::PATH_CAP];
    if (plat::_getcwd(entry_dir, sizeof entry_dir) == nullptr) entry_dir[0] = '\0';
    find_next_failed = 0;
    int32_t n = 0;
    char** list = expand_wildcards(work, count, ctx, &n);
    if (entry_dir[0] != '\0') plat::_chdir(entry_dir);
    if (list == nullptr) {
        if (find_next_failed) return RC_FIND_NEXT;
        show_error(MSG_BAD_ARGUMENTS);
        return RC_EXPAND;
    }
    // Resolved only now, so that a relative archive name refers to the
    // directory the program was started in, never to the -c directory.
    if (!resolve_archive_path(ctx, list[n - 1], entry_dir[0] != '\0')) {
        free_file_list(list, n);
        return RC_EXPAND;
    }
    *out_list = list;
    *out_count = n;
    return RC_OK;
}

bool listing_name_storable(const char* name) {
    return name_fits_record(name) && std::strchr(name, '\\') == nullptr;
}

void free_file_list(char** list, int32_t count) {
    if (list == nullptr) return;
    for (int32_t i = 0; i < count; ++i) delete[] list[i];
    delete[] list;
}
