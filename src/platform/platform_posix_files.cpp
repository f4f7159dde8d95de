// The platform's file services on POSIX systems (Linux): handles, status,
// modes, attributes and directories.
//
// Every path is copied into a bounded buffer with '\' turned into '/' before
// the kernel sees it, so names typed or stored with either separator work.
// Only regular files are ever opened: a FIFO, socket or device is refused on
// the opened descriptor, so no run can block on one.  Hidden, system and
// archive bits live in the extended attribute user.DOSATTRIB as "0x<hex>",
// the text Samba and Wine read and write.
#if !defined(_WIN32)

#define _FILE_OFFSET_BITS 64

#include "platform/io_system.h"
#include "platform/platform_posix_internal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace plat {

namespace {

// ---- file handles ---------------------------------------------------------

int open_flags_of(int oflag) {
    int flags = O_RDONLY;
    if ((oflag & OF_RDWR) != 0) flags = O_RDWR;
    else if ((oflag & OF_WRONLY) != 0) flags = O_WRONLY;
    if ((oflag & OF_APPEND) != 0) flags |= O_APPEND;
    if ((oflag & OF_CREAT) != 0) flags |= O_CREAT;
    if ((oflag & OF_TRUNC) != 0) flags |= O_TRUNC;
    if ((oflag & OF_EXCL) != 0) flags |= O_EXCL;
    // Non-blocking until the descriptor is known to be a regular file: a
    // FIFO opened for reading would otherwise wait for a writer.
    return flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
}

// Keeps fd only when it is a regular file, back in blocking mode unless it
// is only read (flags: those it was opened with; F_SETFL takes only the
// status flags of them).  A regular file whose reads can wait (/proc/kmsg)
// then fails the read instead of holding the run for ever.
int keep_if_regular(int fd, int flags) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        return fail_with(err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail_with(S_ISDIR(st.st_mode) ? EISDIR : ENXIO);
    }
    if ((flags & O_ACCMODE) == O_RDONLY) return fd;
    if (::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        int err = errno;
        ::close(fd);
        return fail_with(err);
    }
    return fd;
}

// ---- status and modes -----------------------------------------------------

// Start of the last component of a path (either separator), ignoring
// trailing separators; *len receives its length.
const char* last_component(const char* path, size_t* len) {
    size_t end = strlen(path);
    while (end > 0 && is_sep(path[end - 1])) --end;
    size_t start = end;
    while (start > 0 && !is_sep(path[start - 1])) --start;
    *len = end - start;
    return path + start;
}

bool hidden_by_name(const char* path) {
    size_t len = 0;
    const char* name = last_component(path, &len);
    if (len == 0 || name[0] != '.') return false;
    return !(len == 1 || (len == 2 && name[1] == '.'));
}

// The bits recorded in user.DOSATTRIB.  Older Samba stores the text with a
// trailing NUL, newer Samba an encoded record that begins with the same
// text, Wine the text alone: only the leading "0x<hex>" is read.
constexpr uint32_t DOSATTRIB_BITS =
    ATTR_HIDDEN | ATTR_SYSTEM | ATTR_ARCHIVE;
const char DOSATTRIB_NAME[] = "user.DOSATTRIB";

uint32_t parse_dosattrib(const char* text, size_t len) {
    if (len < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return 0;
    uint32_t value = 0;
    size_t digits = 0;
    for (size_t i = 2; i < len; ++i) {
        char c = text[i];
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d < 0) break;
        if (++digits > 8) return 0;  // more than 32 bits: not ours to trust
        value = value << 4 | static_cast<uint32_t>(d);
    }
    return digits == 0 ? 0 : value & DOSATTRIB_BITS;
}

// The text written into user.DOSATTRIB for attrs.
struct DosattribText {
    char text[16];
    size_t len;
    explicit DosattribText(uint32_t attrs) {
        int n = snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(attrs & DOSATTRIB_BITS));
        len = static_cast<size_t>(n);
    }
};

uint32_t read_dosattrib(const char* os_path) {
    char small[256];
    ssize_t n = ::getxattr(os_path, DOSATTRIB_NAME, small, sizeof small);
    if (n >= 0) return parse_dosattrib(small, static_cast<size_t>(n));
    if (errno != ERANGE) return 0;
    // A long encoded record: read it whole (extended attributes are at most
    // 64 KiB on Linux).
    ssize_t need = ::getxattr(os_path, DOSATTRIB_NAME, nullptr, 0);
    if (need <= 0 || need > 65536) return 0;
    std::vector<char> big(static_cast<size_t>(need));
    n = ::getxattr(os_path, DOSATTRIB_NAME, big.data(), big.size());
    return n > 0 ? parse_dosattrib(big.data(), static_cast<size_t>(n)) : 0;
}

}  // namespace

// The process umask.  umask(2) can only be read by setting it, so it is set
// back at once; only the main thread creates files, so none is created in
// between.
mode_t current_umask() {
    mode_t old = ::umask(0);
    ::umask(old);
    return old;
}

mode_t mode_bits(int mode) { return static_cast<mode_t>(mode) & 0777 & ~current_umask(); }

void set_times(struct timespec times[2], int64_t atime, int64_t mtime) {
    times[0].tv_sec = static_cast<time_t>(atime);
    times[0].tv_nsec = 0;
    times[1].tv_sec = static_cast<time_t>(mtime);
    times[1].tv_nsec = 0;
}

// ---- handles ----------------------------------------------------------------

int _open(const char* path, int oflag, int pmode) {
    OsPath os(path);
    if (!os.ok()) return fail();
    mode_t mode = (pmode & S_IWRITE_) != 0 ? 0666 : 0444;
    const int flags = open_flags_of(oflag);
    if ((flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC)) != 0) forget_entry_status();
    int fd = ::open(os.c_str(), flags, mode);
    if (fd < 0) return fail();
    return keep_if_regular(fd, flags);
}

long system_read(int fd, void* buf, unsigned n) {
    char* at = static_cast<char*>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t got = ::read(fd, at + done, n - done);
        if (got > 0) {
            done += static_cast<size_t>(got);
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            return fail();
        }
    }
    return static_cast<long>(done);
}

long system_write(int fd, const void* buf, unsigned n) {
    forget_entry_status();
    const char* at = static_cast<const char*>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t put = ::write(fd, at + done, n - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
        } else if (put < 0 && errno == EINTR) {
            continue;
        } else {
            if (put < 0) fail();
            else last_error = error_code_of(ENOSPC);
            return done == 0 ? -1 : static_cast<long>(done);
        }
    }
    return static_cast<long>(done);
}

long read_at(int fd, void* buf, unsigned n, int64_t offset) {
    unsigned char* at = static_cast<unsigned char*>(buf);
    unsigned done = 0;
    while (done < n) {
        ssize_t got = ::pread(fd, at + done, n - done, static_cast<off_t>(offset) + done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<unsigned>(got);
    }
    return static_cast<long>(done);
}

int64_t _lseek(int fd, int64_t offset, int whence) {
    int how = whence == SEEK_SET_ ? SEEK_SET : whence == SEEK_CUR_ ? SEEK_CUR : whence == SEEK_END_ ? SEEK_END : -1;
    if (how < 0) return fail_with(EINVAL);
    off_t pos = ::lseek(fd, static_cast<off_t>(offset), how);
    if (pos < 0) return fail();
    return static_cast<int64_t>(pos);
}

int _chsize(int fd, int64_t size) {
    forget_entry_status();
    if (size < 0) return fail_with(EINVAL);
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : fail();
}

int _close(int fd) { return ::close(fd) == 0 ? 0 : fail(); }

int _open_temp(const char* beside, char* temp_path, size_t cap) {
    forget_entry_status();
    OsPath os(beside);
    if (!os.ok() || temp_path == nullptr) return fail();
    const char* text = os.c_str();
    const char* slash = strrchr(text, '/');
    std::string name = slash == nullptr ? std::string() : std::string(text, static_cast<size_t>(slash - text) + 1);
    name += ".kelparc-XXXXXX";  // mkostemp puts random letters over the X's
    if (name.size() >= cap || name.size() >= static_cast<size_t>(PATH_CAP)) return fail_with(ENAMETOOLONG);
    std::vector<char> templ(name.begin(), name.end());
    templ.push_back('\0');
    // Created with 0600 and O_EXCL: nobody else can have it open.
    int fd = ::mkostemp(templ.data(), O_CLOEXEC);
    if (fd < 0) return fail();
    memcpy(temp_path, templ.data(), templ.size());
    return fd;
}

int _commit(int fd) { return ::fsync(fd) == 0 ? 0 : fail(); }

int commit_parent_dir(const char* path) {
    OsPath os(path);
    if (!os.ok()) return fail();
    const char* text = os.c_str();
    const char* slash = strrchr(text, '/');
    std::string dir = slash == nullptr ? std::string(".") : std::string(text, static_cast<size_t>(slash - text) + 1);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return fail();
    int rc = ::fsync(fd) == 0 ? 0 : fail();
    ::close(fd);
    return rc;
}

int set_permission_bits(int fd, uint32_t mode) {
    forget_entry_status();
    return ::fchmod(fd, static_cast<mode_t>(mode & 0777)) == 0 ? 0 : fail();
}

int lock_file(const char* path) {
    OsPath os(path);
    if (!os.ok()) return fail();
    // A run that replaces the archive renames a new file over the name while
    // holding the old one's lock: the name then leads to another file.
    const int TRIES = 5;
    for (int i = 0; i < TRIES; ++i) {
        int fd = ::open(os.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return fail();
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int err = errno == EWOULDBLOCK ? EAGAIN : errno;
            ::close(fd);
            return fail_with(err);
        }
        if (is_same_file(path, fd)) return fd;
        ::close(fd);
    }
    return fail_with(EAGAIN);
}

int _rename(const char* from, const char* to) {
    forget_entry_status();
    OsPath os_from(from);
    OsPath os_to(to);
    if (!os_from.ok() || !os_to.ok()) return fail();
    return ::rename(os_from.c_str(), os_to.c_str()) == 0 ? 0 : fail();
}

int _final_path(const char* path, char* out, size_t cap) {
    OsPath os(path);
    if (!os.ok() || out == nullptr) return fail();
    std::string at = os.c_str();
    // The kernel's own bound on a chain of links.
    const int MAX_LINKS = 40;
    for (int n = 0;; ++n) {
        struct stat st;
        if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        if (n == MAX_LINKS) return fail_with(ELOOP);
        char target[PATH_CAP];
        ssize_t len = ::readlink(at.c_str(), target, sizeof target);
        if (len < 0) return fail();
        if (len >= static_cast<ssize_t>(sizeof target)) return fail_with(ENAMETOOLONG);
        std::string next(target, static_cast<size_t>(len));
        size_t slash = at.rfind('/');
        if (next[0] != '/' && slash != std::string::npos) next = at.substr(0, slash + 1) + next;
        at = next;
    }
    if (at.size() >= cap) return fail_with(ENAMETOOLONG);
    memcpy(out, at.c_str(), at.size() + 1);
    return 0;
}

// ---- status ---------------------------------------------------------------

int _stat(const char* path, StatRec* st) {
    OsPath os(path);
    if (!os.ok()) return fail();
    if (take_entry_status(os.c_str(), st)) return 0;
    return stat_path(os.c_str(), st);
}

int stat_path(const char* os_path, StatRec* st) {
    struct stat s;
    if (::stat(os_path, &s) != 0) return fail();
    // A FIFO, socket or device is never handed on: opening one could block.
    if (!S_ISREG(s.st_mode) && !S_ISDIR(s.st_mode)) return fail_with(ENXIO);
    status_of(s, st);
    return 0;
}

void status_of(const struct stat& s, StatRec* st) {
    st->mode = static_cast<uint32_t>(s.st_mode) & 0xFFFF;
    st->size = static_cast<int64_t>(s.st_size);
    st->atime = static_cast<int64_t>(s.st_atime);
    st->mtime = static_cast<int64_t>(s.st_mtime);
    st->ctime = static_cast<int64_t>(s.st_ctime);
    st->id.volume = static_cast<uint64_t>(s.st_dev);
    st->id.index = static_cast<uint64_t>(s.st_ino);
}

bool is_same_file(const char* path, int fd) {
    OsPath os(path);
    if (!os.ok()) return false;
    struct stat by_path;
    struct stat by_handle;
    if (::stat(os.c_str(), &by_path) != 0 || ::fstat(fd, &by_handle) != 0) return false;
    return by_path.st_dev == by_handle.st_dev && by_path.st_ino == by_handle.st_ino;
}

int _access(const char* path, int mode) {
    OsPath os(path);
    if (!os.ok()) return fail();
    int how = F_OK;
    if ((mode & 4) != 0) how |= R_OK;
    if ((mode & 2) != 0) how |= W_OK;
    return ::access(os.c_str(), how) == 0 ? 0 : fail();
}

int _unlink(const char* path) {
    forget_entry_status();
    OsPath os(path);
    if (!os.ok()) return fail();
    return ::unlink(os.c_str()) == 0 ? 0 : fail();
}

int _chmod(const char* path, int mode) {
    forget_entry_status();
    OsPath os(path);
    if (!os.ok()) return fail();
    return ::chmod(os.c_str(), mode_bits(mode)) == 0 ? 0 : fail();
}

int _utime(const char* path, int64_t atime, int64_t mtime) {
    forget_entry_status();
    OsPath os(path);
    if (!os.ok()) return fail();
    struct timespec times[2];
    set_times(times, atime, mtime);
    return ::utimensat(AT_FDCWD, os.c_str(), times, 0) == 0 ? 0 : fail();
}

// ---- directories ----------------------------------------------------------

int _mkdir(const char* path) {
    forget_entry_status();
    OsPath os(path);
    if (!os.ok()) return fail();
    return ::mkdir(os.c_str(), 0777) == 0 ? 0 : fail();
}

int _chdir(const char* path) {
    forget_working_dir();
    OsPath os(path);
    if (!os.ok()) return fail();
    return ::chdir(os.c_str()) == 0 ? 0 : fail();
}

char* _getcwd(char* buf, int size) {
    if (buf == nullptr || size <= 0) {
        fail_with(EINVAL);
        return nullptr;
    }
    if (::getcwd(buf, static_cast<size_t>(size)) == nullptr) {
        fail();
        return nullptr;
    }
    note_working_dir(buf);
    return buf;
}

// ---- attributes -----------------------------------------------------------

// A directory, a file without its owner's write bit, a name beginning with
// '.', and the bits of user.DOSATTRIB.
uint32_t os_attributes_with_status(const char* os_path, StatRec* st_out) {
    StatRec st;
    if (stat_path(os_path, &st) != 0) return ATTR_INVALID;
    *st_out = st;
    uint32_t attrs = 0;
    if ((st.mode & MODE_DIR) != 0) attrs |= ATTR_DIRECTORY;
    if ((st.mode & MODE_OWNER_WRITE) == 0) attrs |= ATTR_READONLY;
    if (hidden_by_name(os_path)) attrs |= ATTR_HIDDEN;
    return attrs | read_dosattrib(os_path);
}

namespace {

// The same for a path as the caller spells it.
uint32_t attributes_with_status(const char* path, StatRec* st_out) {
    OsPath os(path);
    if (!os.ok()) {
        fail();
        return ATTR_INVALID;
    }
    return os_attributes_with_status(os.c_str(), st_out);
}

}  // namespace

uint32_t GetFileAttributesA(const char* path) {
    StatRec st;
    return attributes_with_status(path, &st);
}

int SetFileAttributesA(const char* path, uint32_t attrs) {
    forget_entry_status();
    OsPath os(path);
    if (!os.ok()) {
        fail();
        return 0;
    }
    DosattribText text(attrs);
    if (::setxattr(os.c_str(), DOSATTRIB_NAME, text.text, text.len, 0) != 0) {
        fail();
        return 0;
    }
    return 1;
}

int set_dosattrib_fd(int fd, uint32_t attrs) {
    DosattribText text(attrs);
    if (::fsetxattr(fd, DOSATTRIB_NAME, text.text, text.len, 0) != 0) {
        fail();
        return 0;
    }
    return 1;
}

}  // namespace plat

#endif  // !defined(_WIN32)
