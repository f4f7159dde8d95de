// The platform's file services on Windows, over the runtime library's
// handle calls (_open, _read, _write, _lseeki64, _close), status and
// directory calls, and the kernel's attribute and file-identity calls.
//
// Every path is copied with '/' turned into '\' and refused, never cut,
// beyond the 260 characters of the narrow calls.  Only files on a disk are
// ever opened: a console, printer or pipe name is refused on the opened
// handle.  A file's identity is its volume serial number and file index,
// so a second path, another case, a short name or a hard link to the same
// file is recognised.
#if defined(_WIN32)

#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utime.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/io_system.h"
#include "platform/platform.h"
#include "platform/platform_windows_internal.h"

namespace plat {

using win::fail_errno;
using win::fail_system;
using win::fail_with;
using win::WinPath;

namespace {

int open_flags_of(int oflag) {
    int flags = _O_RDONLY;
    if ((oflag & OF_RDWR) != 0) flags = _O_RDWR;
    else if ((oflag & OF_WRONLY) != 0) flags = _O_WRONLY;
    if ((oflag & OF_APPEND) != 0) flags |= _O_APPEND;
    if ((oflag & OF_CREAT) != 0) flags |= _O_CREAT;
    if ((oflag & OF_TRUNC) != 0) flags |= _O_TRUNC;
    if ((oflag & OF_EXCL) != 0) flags |= _O_EXCL;
    // Bytes are never translated, and no child process inherits a handle.
    return flags | _O_BINARY | _O_NOINHERIT;
}

// Keeps fd only when it is a file on a disk (not a console, printer, pipe
// or other device).
int keep_if_disk_file(int fd) {
    HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE || ::GetFileType(h) != FILE_TYPE_DISK) {
        ::_close(fd);
        return fail_with(5);  // access denied, as for a directory
    }
    return fd;
}

// Volume serial number and file index of path (a file or a directory).
// Opening for no access at all neither reads the file nor conflicts with
// other handles.  Returns 0, or -1.
int identity_of(const char* win_path, FileId* id) {
    HANDLE h = ::CreateFileA(win_path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail_system();
    BY_HANDLE_FILE_INFORMATION info;
    int rc = 0;
    if (::GetFileInformationByHandle(h, &info)) {
        id->volume = info.dwVolumeSerialNumber;
        id->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    } else {
        rc = fail_system();
    }
    ::CloseHandle(h);
    return rc;
}

// Copies at most 255 bytes of src into dst (the parts of _splitpath are
// 256-byte buffers).
void copy_part(char* dst, const char* src) {
    if (dst == nullptr) return;
    size_t len = strnlen(src, 255);
    memcpy(dst, src, len);
    dst[len] = '\0';
}

constexpr uint32_t SETTABLE_BITS = ATTR_HIDDEN | ATTR_SYSTEM | ATTR_ARCHIVE;

}  // namespace

// ---- file handles ---------------------------------------------------------

int _open(const char* path, int oflag, int pmode) {
    WinPath os(path);
    if (!os.ok()) return -1;
    int perm = (pmode & S_IWRITE_) != 0 ? (_S_IREAD | _S_IWRITE) : _S_IREAD;
    int fd = ::_open(os.c_str(), open_flags_of(oflag), perm);
    if (fd < 0) return fail_errno();
    return keep_if_disk_file(fd);
}

long system_read(int fd, void* buf, unsigned n) {
    char* at = static_cast<char*>(buf);
    unsigned done = 0;
    while (done < n) {
        unsigned want = n - done > INT_MAX ? INT_MAX : n - done;
        int got = ::_read(fd, at + done, want);
        if (got < 0) return fail_errno();
        if (got == 0) break;
        done += static_cast<unsigned>(got);
    }
    return static_cast<long>(done);
}

long system_write(int fd, const void* buf, unsigned n) {
    const char* at = static_cast<const char*>(buf);
    unsigned done = 0;
    while (done < n) {
        unsigned want = n - done > INT_MAX ? INT_MAX : n - done;
        int put = ::_write(fd, at + done, want);
        if (put <= 0) {
            if (put < 0) fail_errno();
            else fail_with(112);  // nothing written: the disk is full
            return done == 0 ? -1 : static_cast<long>(done);
        }
        done += static_cast<unsigned>(put);
    }
    return static_cast<long>(done);
}

int64_t _lseek(int fd, int64_t offset, int whence) {
    int how = whence == SEEK_SET_ ? SEEK_SET : whence == SEEK_CUR_ ? SEEK_CUR : whence == SEEK_END_ ? SEEK_END : -1;
    if (how < 0) return fail_with(87);  // invalid parameter
    __int64 pos = ::_lseeki64(fd, offset, how);
    if (pos < 0) return fail_errno();
    return static_cast<int64_t>(pos);
}

int _chsize(int fd, int64_t size) {
    if (size < 0) return fail_with(87);
    errno_t err = ::_chsize_s(fd, size);
    if (err != 0) {
        errno = err;
        return fail_errno();
    }
    return 0;
}

int _close(int fd) { return ::_close(fd) == 0 ? 0 : fail_errno(); }

int _open_temp(const char* beside, char* temp_path, size_t cap) {
    WinPath os(beside);
    if (!os.ok() || temp_path == nullptr) return -1;
    const char* text = os.c_str();
    const char* slash = strrchr(text, '\\');
    // "C:name" has its directory in the drive part.
    if (slash == nullptr && text[0] != '\0' && text[1] == ':') slash = text + 1;
    std::string dir = slash == nullptr ? std::string() : std::string(text, static_cast<size_t>(slash - text) + 1);
    // Random letters from the clock, the process and a counter; a name that
    // exists already is never opened (_O_EXCL), the next one is tried.
    static unsigned counter = 0;
    uint64_t seed = ::GetTickCount64() ^ (static_cast<uint64_t>(::GetCurrentProcessId()) << 20);
    for (int attempt = 0; attempt < 100; ++attempt) {
        uint64_t x = (seed + ++counter) * 0x9E3779B97F4A7C15ull;
        std::string name = dir + ".kelparc-";
        for (int i = 0; i < 6; ++i, x >>= 6) name += "abcdefghijklmnopqrstuvwxyz0123456789"[(x & 63) % 36];
        if (name.size() >= cap || name.size() >= static_cast<size_t>(PATH_CAP)) {
            return fail_with(win::ERR_FILENAME_TOO_LONG);
        }
        int fd = ::_open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                         _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            memcpy(temp_path, name.c_str(), name.size() + 1);
            return fd;
        }
        if (errno != EEXIST) return fail_errno();
    }
    return fail_with(80);  // file exists
}

int _rename(const char* from, const char* to) {
    WinPath os_from(from);
    WinPath os_to(to);
    if (!os_from.ok() || !os_to.ok()) return -1;
    if (!::MoveFileExA(os_from.c_str(), os_to.c_str(), MOVEFILE_REPLACE_EXISTING)) return fail_system();
    return 0;
}

int _final_path(const char* path, char* out, size_t cap) {
    WinPath os(path);
    if (!os.ok() || out == nullptr) return -1;
    // Not a link: the path itself, as given (callers compare the two to
    // tell a link from the file; the separators must not differ).
    std::string at = path;
    DWORD attrs = ::GetFileAttributesA(os.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // A symbolic link or junction: the file the kernel reaches through it.
        HANDLE h = ::CreateFileA(os.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return fail_system();
        char final_path[PATH_CAP + 8];
        DWORD len = ::GetFinalPathNameByHandleA(h, final_path, sizeof final_path, FILE_NAME_NORMALIZED);
        ::CloseHandle(h);
        if (len == 0) return fail_system();
        if (len >= sizeof final_path) return fail_with(win::ERR_FILENAME_TOO_LONG);
        at = final_path;
        if (at.compare(0, 4, "\\\\?\\") == 0) at.erase(0, 4);
    }
    if (at.size() >= cap) return fail_with(win::ERR_FILENAME_TOO_LONG);
    memcpy(out, at.c_str(), at.size() + 1);
    return 0;
}

// ---- status ---------------------------------------------------------------

int _stat(const char* path, StatRec* st) {
    WinPath os(path);
    if (!os.ok()) return -1;
    // The runtime refuses "dir\"; the directory is meant.
    os.trim_trailing_separators();
    struct _stat64 s;
    if (::_stat64(os.c_str(), &s) != 0) return fail_errno();
    // A device (CON, NUL, a printer) is never handed on as a file.
    unsigned type = static_cast<unsigned>(s.st_mode) & _S_IFMT;
    if (type != _S_IFREG && type != _S_IFDIR) return fail_with(5);
    FileId id{0, 0};
    if (identity_of(os.c_str(), &id) != 0) return -1;
    st->mode = static_cast<uint32_t>(s.st_mode) & 0xFFFF;
    st->size = static_cast<int64_t>(s.st_size);
    st->atime = static_cast<int64_t>(s.st_atime);
    st->mtime = static_cast<int64_t>(s.st_mtime);
    st->ctime = static_cast<int64_t>(s.st_ctime);
    st->id = id;
    return 0;
}

bool is_same_file(const char* path, int fd) {
    WinPath os(path);
    if (!os.ok()) return false;
    os.trim_trailing_separators();
    FileId by_path{0, 0};
    if (identity_of(os.c_str(), &by_path) != 0) return false;
    HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(h, &info)) return false;
    FileId by_handle{info.dwVolumeSerialNumber,
                     (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    return same_file(by_path, by_handle);
}

int _access(const char* path, int mode) {
    WinPath os(path);
    if (!os.ok()) return -1;
    return ::_access(os.c_str(), mode & 6) == 0 ? 0 : fail_errno();
}

int _unlink(const char* path) {
    WinPath os(path);
    if (!os.ok()) return -1;
    return ::_unlink(os.c_str()) == 0 ? 0 : fail_errno();
}

int _chmod(const char* path, int mode) {
    WinPath os(path);
    if (!os.ok()) return -1;
    int perm = (mode & 0x80) != 0 ? (_S_IREAD | _S_IWRITE) : _S_IREAD;
    return ::_chmod(os.c_str(), perm) == 0 ? 0 : fail_errno();
}

namespace {

// Seconds since 1970 as a FILETIME (100 ns units since 1601).
FILETIME file_time_of(int64_t seconds) {
    uint64_t ticks = static_cast<uint64_t>(seconds + 11644473600LL) * 10000000ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

// The runtime's _utime64 opens a file for writing, which a directory cannot
// be: its times are set on a handle opened for attributes only.
int set_directory_times(const char* win_path, int64_t atime, int64_t mtime) {
    if (atime < -11644473600LL || mtime < -11644473600LL) return fail_with(87);
    HANDLE h = ::CreateFileA(win_path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail_system();
    FILETIME a = file_time_of(atime);
    FILETIME m = file_time_of(mtime);
    int rc = ::SetFileTime(h, nullptr, &a, &m) ? 0 : fail_system();
    ::CloseHandle(h);
    return rc;
}

}  // namespace

int _utime(const char* path, int64_t atime, int64_t mtime) {
    WinPath os(path);
    if (!os.ok()) return -1;
    os.trim_trailing_separators();
    DWORD attrs = ::GetFileAttributesA(os.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return set_directory_times(os.c_str(), atime, mtime);
    }
    struct __utimbuf64 times;
    times.actime = static_cast<__time64_t>(atime);
    times.modtime = static_cast<__time64_t>(mtime);
    return ::_utime64(os.c_str(), &times) == 0 ? 0 : fail_errno();
}

// ---- directories ----------------------------------------------------------

int _mkdir(const char* path) {
    WinPath os(path);
    if (!os.ok()) return -1;
    return ::_mkdir(os.c_str()) == 0 ? 0 : fail_errno();
}

int _chdir(const char* path) {
    WinPath os(path);
    if (!os.ok()) return -1;
    return ::_chdir(os.c_str()) == 0 ? 0 : fail_errno();
}

char* _getcwd(char* buf, int size) {
    if (buf == nullptr || size <= 0) {
        fail_with(87);
        return nullptr;
    }
    if (::_getcwd(buf, size) == nullptr) {
        fail_errno();
        return nullptr;
    }
    return buf;
}

char* _fullpath(char* out, const char* path, size_t size) {
    if (out == nullptr || size == 0) {
        fail_with(87);
        return nullptr;
    }
    WinPath os(path);
    if (!os.ok()) return nullptr;
    // The runtime's result never exceeds its buffer; one of PATH_CAP holds
    // every path the narrow calls take.
    char full[PATH_CAP];
    if (::_fullpath(full, os.c_str(), sizeof full) == nullptr) {
        fail_with(win::ERR_FILENAME_TOO_LONG);
        return nullptr;
    }
    size_t len = strlen(full);
    if (len >= size) {
        fail_with(win::ERR_FILENAME_TOO_LONG);
        return nullptr;
    }
    memcpy(out, full, len + 1);
    return out;
}

void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext) {
    // Each part fits a buffer of the whole path's size, so the runtime call
    // cannot overrun; a path beyond the limit gives empty parts.
    char d[PATH_CAP] = "";
    char di[PATH_CAP] = "";
    char f[PATH_CAP] = "";
    char e[PATH_CAP] = "";
    if (path != nullptr && strnlen(path, PATH_CAP) < static_cast<size_t>(PATH_CAP)) {
        ::_splitpath(path, d, di, f, e);
    }
    copy_part(drive, d);
    copy_part(dir, di);
    copy_part(fname, f);
    copy_part(ext, e);
}

// ---- attributes -----------------------------------------------------------

uint32_t GetFileAttributesA(const char* path) {
    WinPath os(path);
    if (!os.ok()) return ATTR_INVALID;
    os.trim_trailing_separators();
    DWORD attrs = ::GetFileAttributesA(os.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        fail_system();
        return ATTR_INVALID;
    }
    return static_cast<uint32_t>(attrs);
}

int SetFileAttributesA(const char* path, uint32_t attrs) {
    WinPath os(path);
    if (!os.ok()) return 0;
    DWORD now = ::GetFileAttributesA(os.c_str());
    if (now == INVALID_FILE_ATTRIBUTES) {
        fail_system();
        return 0;
    }
    // Hidden, system and archive as given; read-only and the other bits the
    // call accepts stay as they are.
    const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    DWORD want = (now & kept) | (attrs & SETTABLE_BITS);
    if (want == 0) want = FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileAttributesA(os.c_str(), want)) {
        fail_system();
        return 0;
    }
    return 1;
}

}  // namespace plat

#endif  // defined(_WIN32)
