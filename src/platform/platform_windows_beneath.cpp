// Places beneath an unpack target in the Windows build: the names of an
// entry are taken one at a time from the target, and a junction or symbolic
// link met on the way is followed only when the file it finally reaches
// lies beneath the target.  The calls then work on the path so checked: a
// change of the tree made meanwhile by another program can race the check.
#if defined(_WIN32)

#include "platform/platform_windows_internal.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace plat {

namespace {

bool is_win_sep(char c) { return c == '\\' || c == '/'; }

// The absolute form of path, or "" when it has none.
std::string absolute(const char* path) {
    char full[PATH_CAP];
    return _fullpath(full, path, sizeof full) != nullptr ? std::string(full) : std::string();
}

// True when path is base or lies beneath it, comparing as file names
// compare here.
bool beneath(const std::string& base, const std::string& path) {
    size_t n = base.size();
    while (n > 0 && is_win_sep(base[n - 1])) --n;
    if (path.size() < n || (path.size() > n && !is_win_sep(path[n]))) return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(base[i])) != std::tolower(static_cast<unsigned char>(path[i])))
            return false;
    }
    return true;
}

// Follows at when it is a junction or link: *at becomes what it reaches,
// which must lie beneath base.  Returns PLACE_OK, PLACE_FAILED or
// PLACE_LEADS_OUT; *was_link tells whether at was one.
int follow(const std::string& base, std::string* at, bool* was_link) {
    char final_path[PATH_CAP];
    *was_link = false;
    if (_final_path(at->c_str(), final_path, sizeof final_path) != 0) return PLACE_FAILED;
    if (std::strcmp(final_path, at->c_str()) == 0) return PLACE_OK;
    *was_link = true;
    std::string reached = absolute(final_path);
    if (!beneath(base, reached)) return PLACE_LEADS_OUT;
    *at = reached;
    return PLACE_OK;
}

int set_path(Place* place, const std::string& path) {
    if (path.size() >= sizeof place->path) return PLACE_FAILED;
    std::memcpy(place->path, path.c_str(), path.size() + 1);
    const char* name = place->path;
    for (const char* p = place->path; *p != '\0'; ++p) {
        if (is_win_sep(*p)) name = p + 1;
    }
    place->name = name;
    return PLACE_OK;
}

}  // namespace

PlaceCache::~PlaceCache() = default;

// Windows works on paths: the cache holds nothing.
int place_beneath(const char* target, const char* rel, bool make_parents, Place* place, char* failed,
                  size_t failed_cap, PlaceCache*) {
    place->dir = -1;
    place->path[0] = '\0';
    place->name = place->path;
    place->name_was_link = false;
    place->name_absent = false;
    if (failed != nullptr && failed_cap > 0) failed[0] = '\0';
    char target_final[PATH_CAP];
    if (_final_path(target, target_final, sizeof target_final) != 0) return PLACE_FAILED;
    std::string base = absolute(target_final);
    if (base.empty()) return PLACE_FAILED;
    std::string at = base;
    const char* p = rel;
    while (*p != '\0') {
        const char* start = p;
        while (*p != '\0' && !is_win_sep(*p)) ++p;
        std::string name(start, static_cast<size_t>(p - start));
        while (is_win_sep(*p)) ++p;
        if (name.empty()) continue;
        at += (is_win_sep(at.back()) ? "" : "\\") + name;
        bool was_link = false;
        int rc = follow(base, &at, &was_link);
        if (rc != PLACE_OK) return rc;
        if (*p == '\0') {
            place->name_was_link = was_link;
            return set_path(place, at);
        }
        StatRec st;
        bool is_dir = _stat(at.c_str(), &st) == 0 && (st.mode & MODE_DIR) != 0;
        if (!is_dir && (!make_parents || _access(at.c_str(), 0) == 0 || _mkdir(at.c_str()) != 0)) {
            if (!make_parents) return PLACE_FAILED;
            // Named as the messages name outputs: the target, then the
            // stored names with '/'.
            int named = static_cast<int>(static_cast<size_t>(start - rel) + name.size());
            if (failed != nullptr) std::snprintf(failed, failed_cap, "%s/%.*s", target, named, rel);
            return PLACE_NO_PARENT;
        }
    }
    return PLACE_FAILED;  // an empty name has no place
}

void place_close(Place* place) { place->dir = -1; }

int place_stat(const Place* place, StatRec* st) { return _stat(place->path, st); }

int place_mkdir(const Place* place) { return _mkdir(place->path); }

int place_open_temp(const Place* place, char* temp_path, size_t cap, int slot) {
    int h = _open_temp(place->path, temp_path, cap);
    if (h >= 0) remove_on_signal(slot, temp_path);
    return h;
}

// A mode here is the read-only attribute, and a closing handle may still
// touch the times: both are set by name after the rename.
int handle_chmod(int, int) { return -1; }
int handle_utime(int, int64_t, int64_t) { return -1; }

int place_rename_temp(const Place* place, const char* temp_path) { return _rename(temp_path, place->path); }

int place_unlink_temp(const Place*, const char* temp_path) { return _unlink(temp_path); }

int place_set_attributes(const Place* place, uint32_t attrs) { return SetFileAttributesA(place->path, attrs); }

int place_utime(const Place* place, int64_t atime, int64_t mtime) { return _utime(place->path, atime, mtime); }

int place_chmod(const Place* place, int mode) { return _chmod(place->path, mode); }

}  // namespace plat

#endif  // defined(_WIN32)
