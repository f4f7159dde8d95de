// The platform's directory search on POSIX systems: FindFirstFileA and its
// companions over opendir/readdir, with Windows' matching ("*.*" every name)
// and order, and the status of the entry handed out last kept for the
// caller's status call that follows.
#if !defined(_WIN32)

#define _FILE_OFFSET_BITS 64

#include "platform/platform_posix_internal.h"

#include <dirent.h>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace plat {

namespace {

// ---- directory search -----------------------------------------------------

// '*' any run, '?' one byte, everything else itself (case-sensitive).
// Iterative with one backtrack point, so no pattern can make it slow.
bool wild_match(const char* pat, const char* name) {
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name != '\0') {
        if (*pat == '*') {
            star = pat++;
            resume = name;
        } else if (*pat == '?' || *pat == *name) {
            ++pat;
            ++name;
        } else if (star != nullptr) {
            pat = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pat == '*') ++pat;
    return *pat == '\0';
}

bool is_dot_or_dotdot(const std::string& s) { return s == "." || s == ".."; }

// "." and ".." first, then ascending byte order (char_traits compares as
// unsigned bytes), as an NTFS directory search reports them.
bool find_order(const std::string& a, const std::string& b) {
    bool a_dot = is_dot_or_dotdot(a);
    bool b_dot = is_dot_or_dotdot(b);
    if (a_dot != b_dot) return a_dot;
    return a < b;
}

// The status of the directory-search entry handed out last, read with its
// attributes.  The caller's own status call for that entry follows at once
// and takes it instead of asking the system a second time.  It serves one
// call; anything that writes forgets it.
struct EntryStatus {
    std::string path;  // absolute
    StatRec st;
    bool valid = false;
};
EntryStatus entry_status;


// The working directory as _getcwd last read it; unknown after a change.
std::string known_cwd;
bool cwd_known = false;

}  // namespace

void forget_entry_status() { entry_status.valid = false; }

void note_working_dir(const char* path) {
    known_cwd = path;
    cwd_known = true;
}

void forget_working_dir() { cwd_known = false; }

// The status noted for path (as the OS spells it), used up, when path
// names the entry last handed out.
bool take_entry_status(const char* os_path, StatRec* st) {
    if (!entry_status.valid) return false;
    entry_status.valid = false;
    std::string whole;
    if (os_path[0] == '/') {
        whole = os_path;
    } else {
        if (!cwd_known) return false;
        whole = known_cwd;
        if (whole.empty() || whole.back() != '/') whole += '/';
        whole += os_path;
    }
    if (whole != entry_status.path) return false;
    *st = entry_status.st;
    return true;
}

// The matching names of one directory, read whole and sorted at the start,
// handed out one by one.
struct FindState {
    // The pattern's directory, absolute and ending in '/': attributes are
    // read as each name is handed out, and by then the caller may have
    // changed the working directory.
    std::string dir_prefix;
    std::vector<std::string> names;
    size_t next = 0;
};

namespace {

// Fills data with the next name of h and its attribute bits.  An entry whose
// attributes cannot be read (a dangling link, a FIFO) is still reported,
// with 0, so that the caller's status call fails and is reported there.
void fill_find_data(FindState* h, FindData* data) {
    const std::string& name = h->names[h->next++];
    // The name as the directory holds it: a '\' in it is part of the name
    // here, never a separator that could reach another directory.
    entry_status.path = h->dir_prefix + name;
    StatRec st;
    uint32_t attrs = os_attributes_with_status(entry_status.path.c_str(), &st);
    data->dwFileAttributes = attrs == ATTR_INVALID ? 0 : attrs;
    if (attrs != ATTR_INVALID) {
        entry_status.st = st;
        entry_status.valid = true;
    } else {
        forget_entry_status();
    }
    size_t n = std::min(name.size(), sizeof data->cFileName - 1);
    memcpy(data->cFileName, name.data(), n);
    data->cFileName[n] = '\0';
}

// Reads the names of dir that match pat.  Returns 0, or -1 with the last
// error set.
int read_matches(const char* dir, const char* pat, std::vector<std::string>* names) {
    DIR* d = ::opendir(dir);
    if (d == nullptr) return fail();
    // "*.*" matches every name, with or without a dot, as on Windows.
    if (strcmp(pat, "*.*") == 0) pat = "*";
    int rc = 0;
    for (;;) {
        errno = 0;
        struct dirent* e = ::readdir(d);
        if (e == nullptr) {
            if (errno != 0) rc = fail();
            break;
        }
        if (wild_match(pat, e->d_name)) names->emplace_back(e->d_name);
    }
    ::closedir(d);
    return rc;
}

}  // namespace

FindHandle FindFirstFileA(const char* pattern, FindData* data) {
    OsPath os(pattern);
    if (!os.ok()) {
        fail();
        return NO_FIND_HANDLE;
    }
    const char* text = os.c_str();
    const char* slash = strrchr(text, '/');
    std::string prefix = slash == nullptr ? std::string() : std::string(text, static_cast<size_t>(slash - text) + 1);
    const char* pat = slash == nullptr ? text : slash + 1;
    char abs_dir[PATH_CAP];
    if (_fullpath(abs_dir, prefix.empty() ? "." : prefix.c_str(), sizeof abs_dir) == nullptr) {
        return NO_FIND_HANDLE;
    }
    auto* h = new FindState;
    h->dir_prefix = abs_dir;
    if (h->dir_prefix.back() != '/') h->dir_prefix += '/';
    if (read_matches(prefix.empty() ? "." : prefix.c_str(), pat, &h->names) != 0) {
        delete h;
        return NO_FIND_HANDLE;
    }
    if (h->names.empty()) {
        delete h;
        fail_with(ENOENT);
        return NO_FIND_HANDLE;
    }
    std::sort(h->names.begin(), h->names.end(), find_order);
    fill_find_data(h, data);
    return h;
}

int FindNextFileA(FindHandle h, FindData* data) {
    if (h == NO_FIND_HANDLE) {
        fail_with(EBADF);
        return 0;
    }
    if (h->next >= h->names.size()) {
        last_error = ERR_NO_MORE_FILES;
        return 0;
    }
    fill_find_data(h, data);
    return 1;
}

int FindClose(FindHandle h) {
    delete h;
    return 1;
}

}  // namespace plat

#endif  // !defined(_WIN32)
