// Places beneath an unpack target on POSIX systems: the directory of an
// entry is reached from the target on directory handles, so that no
// symbolic link, whether there before the run or made during it, takes a
// write outside the target.
//
// Linux's openat2 with RESOLVE_BENEATH reaches an entry's directory in one
// call.  Where the kernel lacks it, where a directory is still to be made,
// or where the entry's own name is a link, the names are taken one at a
// time on handles opened with O_NOFOLLOW: a link is read and its names put
// in front of those left, an absolute one or a ".." above the target leads
// out, and ".." goes back to the handle held for the parent, never through
// the file system's own "..".
#if !defined(_WIN32)

#define _FILE_OFFSET_BITS 64

#include "platform/platform_posix_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/openat2.h>
#endif
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace plat {

namespace {

// The kernel's own bound on the links of one path.
constexpr int MAX_LINKS = 40;

const int DIR_FLAGS = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Opens rel beneath root as a directory handle with openat2.  Returns the
// handle; -1 with errno set (EXDEV: it leads out); -2 where the kernel has
// no openat2 (remembered for the rest of the run).
int open_beneath_at_once(int root, const char* rel) {
#if defined(__linux__) && defined(SYS_openat2)
    static bool missing = false;
    if (!missing) {
        struct open_how how;
        memset(&how, 0, sizeof how);
        how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        long fd = ::syscall(SYS_openat2, root, rel, &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        // ENOSYS: an older kernel; EPERM: a sandbox that forbids the call.
        if (errno != ENOSYS && errno != EPERM) return -1;
        missing = true;
    }
#else
    (void)root;
    (void)rel;
#endif
    return -2;
}

void split_into(const char* text, std::deque<std::string>* names, bool in_front) {
    std::vector<std::string> parts;
    std::string part;
    for (const char* p = text;; ++p) {
        if (*p == '/' || *p == '\0') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
            if (*p == '\0') break;
        } else {
            part += *p;
        }
    }
    if (in_front) {
        names->insert(names->begin(), parts.begin(), parts.end());
    } else {
        names->insert(names->end(), parts.begin(), parts.end());
    }
}

// Fills place->path with target joined to the names, and place->name.
int set_path(Place* place, const char* target, const std::string& names) {
    size_t len = strlen(target);
    const char* join = len > 0 && target[len - 1] == '/' ? "" : "/";
    int n = snprintf(place->path, sizeof place->path, "%s%s%s", target, join, names.c_str());
    if (n < 0 || n >= static_cast<int>(sizeof place->path)) return fail_with(ENAMETOOLONG);
    const char* slash = strrchr(place->path, '/');
    place->name = slash != nullptr ? slash + 1 : place->path;
    return 0;
}

// The names reached so far, each with its directory handle; the first
// handle is the target's, owned by the caller.
struct Chain {
    std::vector<int> fds;
    std::string names;  // joined with '/'
    std::vector<size_t> ends;
    ~Chain() {
        for (size_t i = 1; i < fds.size(); ++i) ::close(fds[i]);
    }
    void push(int fd, const std::string& name) {
        fds.push_back(fd);
        ends.push_back(names.size());
        names += (names.empty() ? "" : "/") + name;
    }
    void pop() {
        ::close(fds.back());
        fds.pop_back();
        names.resize(ends.back());
        ends.pop_back();
    }
    std::string joined(const std::string& name) const { return names.empty() ? name : names + "/" + name; }
};

int no_parent(const char* target, const std::string& names, char* failed, size_t cap) {
    Place at;
    if (set_path(&at, target, names) == 0) snprintf(failed, cap, "%s", at.path);
    return PLACE_NO_PARENT;
}

// The names of rel one at a time from root.  With the last name reached,
// the place is its directory (a new handle) and that name.
int walk_beneath(int root, const char* target, const char* rel, bool make_parents, Place* place,
                 char* failed, size_t failed_cap) {
    Chain chain;
    chain.fds.push_back(root);
    std::deque<std::string> todo;
    split_into(rel, &todo, false);
    int links = 0;
    bool made = false;
    while (!todo.empty()) {
        std::string name = todo.front();
        todo.pop_front();
        if (name == ".") continue;
        if (name == "..") {
            if (chain.ends.empty()) return PLACE_LEADS_OUT;
            chain.pop();
            continue;
        }
        int at = chain.fds.back();
        struct stat st;
        bool found = ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!found && errno != ENOENT) return fail();
        if (found && S_ISLNK(st.st_mode)) {
            char text[PATH_CAP];
            ssize_t len = ::readlinkat(at, name.c_str(), text, sizeof text);
            if (len < 0) return fail();
            if (len >= static_cast<ssize_t>(sizeof text) || ++links > MAX_LINKS) return fail_with(ELOOP);
            text[len] = '\0';
            if (text[0] == '/') return PLACE_LEADS_OUT;
            if (todo.empty()) place->name_was_link = true;
            split_into(text, &todo, true);
            continue;
        }
        if (todo.empty()) {
            place->name_absent = !found;
            place->dir = ::fcntl(at, F_DUPFD_CLOEXEC, 0);
            if (place->dir < 0) return fail();
            return set_path(place, target, chain.joined(name));
        }
        if (!found) {
            if (!make_parents) return fail_with(ENOENT);
            // Made, then looked at again (it may be a link by now): still
            // missing, or not to be made, it is no parent.
            if (made || (::mkdirat(at, name.c_str(), 0777) != 0 && errno != EEXIST))
                return no_parent(target, chain.joined(name), failed, failed_cap);
            made = true;
            todo.push_front(name);
            continue;
        }
        made = false;
        int fd = ::openat(at, name.c_str(), DIR_FLAGS);
        if (fd < 0) return no_parent(target, chain.joined(name), failed, failed_cap);
        chain.push(fd, name);
    }
    return fail_with(EINVAL);  // an empty name has no place
}

// The place of rel on fd, the handle of its directory (taken over), whose
// last name begins after slash.  Returns PLACE_OK; PLACE_FAILED; or 1, fd
// closed, when the last name is a link and the names must be taken one at a
// time.
int place_on(int fd, const char* target, const char* rel, const char* slash, Place* place) {
    struct stat st;
    bool found = ::fstatat(fd, slash + 1, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (found && S_ISLNK(st.st_mode)) {
        ::close(fd);
        return 1;
    }
    place->name_absent = !found && errno == ENOENT;
    place->dir = fd;
    if (set_path(place, target, rel) != 0) {
        ::close(fd);
        place->dir = -1;
        return PLACE_FAILED;
    }
    return PLACE_OK;
}

// The place of rel when its directory is the one the cache holds (and still
// exists: one deleted meanwhile is forgotten).  Returns as place_on, or 1
// when the cache cannot give it.
int place_from_cache(PlaceCache* cache, const char* target, const char* rel, Place* place) {
    const char* slash = strrchr(rel, '/');
    if (slash == nullptr || cache->dir < 0 || cache->target != target) return 1;
    size_t parent_len = static_cast<size_t>(slash - rel);
    if (cache->parent.size() != parent_len || cache->parent.compare(0, parent_len, rel, parent_len) != 0) return 1;
    struct stat st;
    if (::fstat(cache->dir, &st) != 0 || st.st_nlink == 0) {
        ::close(cache->dir);
        cache->dir = -1;
        return 1;
    }
    int fd = ::fcntl(cache->dir, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return 1;
    return place_on(fd, target, rel, slash, place);
}

// The directory of rel opened in one call, and noted in the cache if there
// is one; then the place is that and the last name, unless the last name is
// a link.  Returns PLACE_OK, PLACE_LEADS_OUT, PLACE_FAILED, or 1 when the
// names must be taken one at a time.
int place_at_once(int root, const char* target, const char* rel, Place* place, PlaceCache* cache) {
    const char* slash = strrchr(rel, '/');
    if (slash == nullptr) return 1;
    std::string parent(rel, static_cast<size_t>(slash - rel));
    int fd = open_beneath_at_once(root, parent.c_str());
    if (fd == -1 && errno == EXDEV) return PLACE_LEADS_OUT;
    if (fd < 0) return 1;
    if (cache != nullptr) {
        int held = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (held >= 0) {
            if (cache->dir >= 0) ::close(cache->dir);
            cache->dir = held;
            cache->target = target;
            cache->parent = std::move(parent);
        }
    }
    return place_on(fd, target, rel, slash, place);
}

// A name of its own for a temporary file: the clock, the process and a
// count, mixed.
void temp_name(char* out, size_t cap) {
    static uint64_t count = 0;
    static const uint64_t pid = static_cast<uint64_t>(::getpid());
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    uint64_t x = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
                 (pid << 16) ^ (++count * 0x9E3779B97F4A7C15ull);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 29;
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    char tail[7];
    for (int i = 0; i < 6; ++i, x /= 62) tail[i] = letters[x % 62];
    tail[6] = '\0';
    snprintf(out, cap, ".kelparc-%s", tail);
}

// The last name of a temporary file's full path.
const char* base_of(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// Opens the place itself for a call on its handle (never through a link).
int open_place(const Place* place) {
    return ::openat(place->dir, place->name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

}  // namespace

PlaceCache::~PlaceCache() {
    if (dir >= 0) ::close(dir);
}

int place_beneath(const char* target, const char* rel, bool make_parents, Place* place, char* failed,
                  size_t failed_cap, PlaceCache* cache) {
    forget_entry_status();
    place->dir = -1;
    place->path[0] = '\0';
    place->name = place->path;
    place->name_was_link = false;
    place->name_absent = false;
    if (failed != nullptr && failed_cap > 0) failed[0] = '\0';
    OsPath os(target);
    if (!os.ok()) return fail();
    int rc = cache != nullptr ? place_from_cache(cache, os.c_str(), rel, place) : 1;
    if (rc != 1) return rc;
    // The target itself is followed: the user chose it.
    int root = ::open(os.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) return fail();
    rc = place_at_once(root, os.c_str(), rel, place, cache);
    if (rc == 1) rc = walk_beneath(root, os.c_str(), rel, make_parents, place, failed, failed_cap);
    if (rc == -1) rc = PLACE_FAILED;
    ::close(root);
    if (rc != PLACE_OK) place_close(place);
    return rc;
}

void place_close(Place* place) {
    if (place->dir >= 0) ::close(place->dir);
    place->dir = -1;
}

int place_stat(const Place* place, StatRec* st) {
    struct stat s;
    if (::fstatat(place->dir, place->name, &s, AT_SYMLINK_NOFOLLOW) != 0) return fail();
    status_of(s, st);
    return 0;
}

int place_mkdir(const Place* place) {
    forget_entry_status();
    return ::mkdirat(place->dir, place->name, 0777) == 0 ? 0 : fail();
}

int place_open_temp(const Place* place, char* temp_path, size_t cap, int slot) {
    forget_entry_status();
    size_t dir_len = static_cast<size_t>(place->name - place->path);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        temp_name(name, sizeof name);
        int n = snprintf(temp_path, cap, "%.*s%s", static_cast<int>(dir_len), place->path, name);
        if (n < 0 || static_cast<size_t>(n) >= cap) return fail_with(ENAMETOOLONG);
        // Noted before it exists, so that no signal can leave it behind.
        remove_on_signal(slot, temp_path);
        int fd = ::openat(place->dir, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) return fd;
        int err = errno;
        remove_on_signal(slot, nullptr);
        if (err != EEXIST) return fail_with(err);
    }
    return fail_with(EEXIST);
}

int handle_chmod(int fd, int mode) {
    forget_entry_status();
    return ::fchmod(fd, mode_bits(mode)) == 0 ? 0 : fail();
}

int place_rename_temp(const Place* place, const char* temp_path) {
    forget_entry_status();
    return ::renameat(place->dir, base_of(temp_path), place->dir, place->name) == 0 ? 0 : fail();
}

int place_unlink_temp(const Place* place, const char* temp_path) {
    forget_entry_status();
    return ::unlinkat(place->dir, base_of(temp_path), 0) == 0 ? 0 : fail();
}

int place_set_attributes(const Place* place, uint32_t attrs) {
    forget_entry_status();
    int fd = open_place(place);
    if (fd < 0) {
        fail();
        return 0;
    }
    int ok = set_dosattrib_fd(fd, attrs);
    ::close(fd);
    return ok;
}

int place_utime(const Place* place, int64_t atime, int64_t mtime) {
    forget_entry_status();
    struct timespec times[2];
    set_times(times, atime, mtime);
    return ::utimensat(place->dir, place->name, times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : fail();
}

int handle_utime(int fd, int64_t atime, int64_t mtime) {
    forget_entry_status();
    struct timespec times[2];
    set_times(times, atime, mtime);
    return ::futimens(fd, times) == 0 ? 0 : fail();
}

int place_chmod(const Place* place, int mode) {
    forget_entry_status();
    mode_t bits = mode_bits(mode);
    // On a handle of the place itself; a directory this user may not read
    // is changed by name, still without following a link.
    int fd = open_place(place);
    if (fd < 0) return ::fchmodat(place->dir, place->name, bits, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : fail();
    int rc = ::fchmod(fd, bits) == 0 ? 0 : fail();
    ::close(fd);
    return rc;
}

}  // namespace plat

#endif  // !defined(_WIN32)
