// The platform's file services on Windows, over the runtime library's wide
// handle calls (_wopen, _read, _write, _lseeki64, _close) and directory
// calls, and the kernel's wide status, attribute and file-identity calls.
//
// Every path is given to the system in UTF-16 with '/' turned into '\'
// (WinPath), long ones in \\?\ form, and refused, never cut, beyond
// 32,767 characters.  Only files on a disk are
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
using win::program_path;
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
int identity_of(const wchar_t* win_path, FileId* id) {
    HANDLE h = ::CreateFileW(win_path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail_system();
    BY_HANDLE_FILE_INFORMATION info;
    int rc = 0;
    // A device (CON, NUL, a printer) or a pipe is never handed on as a file.
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        rc = fail_with(ERR_NOT_A_FILE);
    } else if (::GetFileInformationByHandle(h, &info)) {
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
    int fd = ::_wopen(os.c_str(), open_flags_of(oflag), perm);
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

long read_at(int fd, void* buf, unsigned n, int64_t offset) {
    if (::_lseeki64(fd, offset, SEEK_SET) != offset) return -1;
    unsigned char* at = static_cast<unsigned char*>(buf);
    unsigned done = 0;
    while (done < n) {
        int got = ::_read(fd, at + done, n - done);
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<unsigned>(got);
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
    if (beside == nullptr || temp_path == nullptr) return fail_with(87);
    std::string text = beside;
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    size_t slash = text.rfind('\\');
    // "C:name" has its directory in the drive part.
    if (slash == std::string::npos && text.size() >= 2 && text[1] == ':') slash = 1;
    std::string dir = slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
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
        WinPath os(name.c_str());
        if (!os.ok()) return -1;
        int fd = ::_wopen(os.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                          _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            memcpy(temp_path, name.c_str(), name.size() + 1);
            return fd;
        }
        if (errno != EEXIST) return fail_errno();
    }
    return fail_with(80);  // file exists
}

int _commit(int fd) {
    HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE) return fail_with(6);
    return ::FlushFileBuffers(h) ? 0 : fail_system();
}

// A directory cannot be flushed through the narrow calls; the rename is the
// file system's to keep.
int commit_parent_dir(const char*) { return 0; }

int set_permission_bits(int, uint32_t) { return 0; }

int lock_file(const char* path) {
    WinPath os(path);
    if (!os.ok()) return -1;
    const int TRIES = 5;
    for (int i = 0; i < TRIES; ++i) {
        HANDLE h = ::CreateFileW(os.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return fail_system();
        // One byte far past any end, so that nobody's reading or writing of
        // the file meets the lock.
        OVERLAPPED at;
        memset(&at, 0, sizeof at);
        at.Offset = 0xFFFFFFFEu;
        at.OffsetHigh = 0x7FFFFFFFu;
        if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            DWORD code = ::GetLastError();
            ::CloseHandle(h);
            return fail_with(code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING ? ERR_LOCKED
                                                                                       : static_cast<uint32_t>(code));
        }
        int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY);
        if (fd < 0) {
            ::CloseHandle(h);
            return fail_errno();
        }
        if (is_same_file(path, fd)) return fd;
        ::_close(fd);
    }
    return fail_with(ERR_LOCKED);
}

int _rename(const char* from, const char* to) {
    WinPath os_from(from);
    WinPath os_to(to);
    if (!os_from.ok() || !os_to.ok()) return -1;
    if (!::MoveFileExW(os_from.c_str(), os_to.c_str(), MOVEFILE_REPLACE_EXISTING)) return fail_system();
    return 0;
}

int _final_path(const char* path, char* out, size_t cap) {
    WinPath os(path);
    if (!os.ok() || out == nullptr) return -1;
    // Not a link: the path itself, as given (callers compare the two to
    // tell a link from the file; the separators must not differ).
    std::string at = path;
    DWORD attrs = ::GetFileAttributesW(os.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // A symbolic link or junction: the file the kernel reaches through it.
        HANDLE h = ::CreateFileW(os.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return fail_system();
        std::wstring final_path(PATH_CAP + 8, L'\0');
        DWORD len = ::GetFinalPathNameByHandleW(h, &final_path[0], static_cast<DWORD>(final_path.size()),
                                                FILE_NAME_NORMALIZED);
        ::CloseHandle(h);
        if (len == 0) return fail_system();
        if (len >= final_path.size()) return fail_with(win::ERR_FILENAME_TOO_LONG);
        if (!program_path(final_path.data(), len, &at)) return fail_with(win::ERR_INVALID_NAME);
    }
    if (at.size() >= cap) return fail_with(win::ERR_FILENAME_TOO_LONG);
    memcpy(out, at.c_str(), at.size() + 1);
    return 0;
}

// ---- status ---------------------------------------------------------------

namespace {

// Seconds since 1970 of a FILETIME (100 ns units since 1601), towards the past.
int64_t seconds_of(const FILETIME& ft) {
    int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    int64_t secs = ticks / 10000000;
    return secs - 11644473600LL;
}

// True when the path ends in an extension the runtime marks as executable.
bool executable_name(const std::wstring& p) {
    if (p.size() < 7 || p[p.size() - 4] != L'.') return false;
    std::wstring ext = p.substr(p.size() - 3);
    for (wchar_t& c : ext) c = static_cast<wchar_t>(towlower(c));
    return ext == L"exe" || ext == L"bat" || ext == L"cmd" || ext == L"com";
}

}  // namespace

int _stat(const char* path, StatRec* st) {
    WinPath os(path);
    if (!os.ok()) return -1;
    // "dir\" names the directory.
    os.trim_trailing_separators();
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!::GetFileAttributesExW(os.c_str(), GetFileExInfoStandard, &info)) {
        // A device (NUL, CON) has no attributes; opening it tells it apart.
        const DWORD code = ::GetLastError();
        FileId device{0, 0};
        if (identity_of(os.c_str(), &device) != 0 && win::last_error() == ERR_NOT_A_FILE) return -1;
        return fail_with(code == 0 || code == ERROR_NO_MORE_FILES ? 31 : static_cast<uint32_t>(code));
    }
    FileId id{0, 0};
    if (identity_of(os.c_str(), &id) != 0) return -1;
    if (st == nullptr) return fail_with(87);
    // The mode the runtime gives: read for all, write unless read-only,
    // execute for directories and programs.
    uint32_t mode = 0444;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) mode |= MODE_DIR | 0111;
    else mode |= MODE_REG | (executable_name(os.c_str()) ? 0111 : 0);
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0) mode |= 0222;
    st->mode = mode;
    st->size = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                   ? 0
                   : static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    st->atime = seconds_of(info.ftLastAccessTime);
    st->mtime = seconds_of(info.ftLastWriteTime);
    st->ctime = seconds_of(info.ftCreationTime);
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
    return ::_waccess(os.c_str(), mode & 6) == 0 ? 0 : fail_errno();
}

int _unlink(const char* path) {
    WinPath os(path);
    if (!os.ok()) return -1;
    return ::_wunlink(os.c_str()) == 0 ? 0 : fail_errno();
}

int _chmod(const char* path, int mode) {
    WinPath os(path);
    if (!os.ok()) return -1;
    int perm = (mode & 0x80) != 0 ? (_S_IREAD | _S_IWRITE) : _S_IREAD;
    return ::_wchmod(os.c_str(), perm) == 0 ? 0 : fail_errno();
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
int set_directory_times(const wchar_t* win_path, int64_t atime, int64_t mtime) {
    if (atime < -11644473600LL || mtime < -11644473600LL) return fail_with(87);
    HANDLE h = ::CreateFileW(win_path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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
    DWORD attrs = ::GetFileAttributesW(os.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return set_directory_times(os.c_str(), atime, mtime);
    }
    struct __utimbuf64 times;
    times.actime = static_cast<__time64_t>(atime);
    times.modtime = static_cast<__time64_t>(mtime);
    return ::_wutime64(os.c_str(), &times) == 0 ? 0 : fail_errno();
}

// ---- directories ----------------------------------------------------------

int _mkdir(const char* path) {
    WinPath os(path);
    if (!os.ok()) return -1;
    return ::_wmkdir(os.c_str()) == 0 ? 0 : fail_errno();
}

int _chdir(const char* path) {
    WinPath os(path);
    if (!os.ok()) return -1;
    // The working directory is kept without a \\?\ prefix where the system
    // takes it so, and relative paths are resolved against it.
    std::wstring plain = os.c_str();
    if (plain.compare(0, 8, L"\\\\?\\UNC\\") == 0) plain.replace(0, 8, L"\\\\");
    else if (plain.compare(0, 4, L"\\\\?\\") == 0) plain.erase(0, 4);
    if (::SetCurrentDirectoryW(plain.c_str()) || ::SetCurrentDirectoryW(os.c_str())) return 0;
    return fail_system();
}

char* _getcwd(char* buf, int size) {
    if (buf == nullptr || size <= 0) {
        fail_with(87);
        return nullptr;
    }
    DWORD need = ::GetCurrentDirectoryW(0, nullptr);
    std::wstring wide(need + 1, L'\0');
    DWORD got = need == 0 ? 0 : ::GetCurrentDirectoryW(need + 1, &wide[0]);
    std::string text;
    if (got == 0 || got > need) {
        fail_system();
        return nullptr;
    }
    if (!program_path(wide.data(), got, &text)) {
        fail_with(win::ERR_INVALID_NAME);
        return nullptr;
    }
    if (text.size() >= static_cast<size_t>(size)) {
        fail_with(win::ERR_FILENAME_TOO_LONG);
        return nullptr;
    }
    memcpy(buf, text.c_str(), text.size() + 1);
    return buf;
}

char* _fullpath(char* out, const char* path, size_t size) {
    if (out == nullptr || size == 0) {
        fail_with(87);
        return nullptr;
    }
    WinPath os(path);
    if (!os.ok()) return nullptr;
    DWORD need = ::GetFullPathNameW(os.c_str(), 0, nullptr, nullptr);
    std::wstring full(need + 1, L'\0');
    DWORD got = need == 0 ? 0 : ::GetFullPathNameW(os.c_str(), need + 1, &full[0], nullptr);
    std::string text;
    if (got == 0 || got > need || !program_path(full.data(), got, &text) ||
        text.size() >= static_cast<size_t>(PATH_CAP)) {
        fail_with(win::ERR_FILENAME_TOO_LONG);
        return nullptr;
    }
    if (text.size() >= size) {
        fail_with(win::ERR_FILENAME_TOO_LONG);
        return nullptr;
    }
    memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext) {
    // Each part fits a buffer of the whole path's size, so the runtime call
    // cannot overrun; a path beyond the limit gives empty parts.
    std::string d, di, f, e;
    if (path != nullptr && strnlen(path, PATH_CAP) < static_cast<size_t>(PATH_CAP)) {
        size_t n = strlen(path);
        d.assign(n + 1, '\0');
        di.assign(n + 1, '\0');
        f.assign(n + 1, '\0');
        e.assign(n + 1, '\0');
        // The separators, the colon and the dot are ASCII: UTF-8 splits by bytes.
        ::_splitpath(path, &d[0], &di[0], &f[0], &e[0]);
    }
    copy_part(drive, d.c_str());
    copy_part(dir, di.c_str());
    copy_part(fname, f.c_str());
    copy_part(ext, e.c_str());
}

// ---- attributes -----------------------------------------------------------

uint32_t GetFileAttributesA(const char* path) {
    WinPath os(path);
    if (!os.ok()) return ATTR_INVALID;
    os.trim_trailing_separators();
    DWORD attrs = ::GetFileAttributesW(os.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        fail_system();
        return ATTR_INVALID;
    }
    return static_cast<uint32_t>(attrs);
}

int SetFileAttributesA(const char* path, uint32_t attrs) {
    WinPath os(path);
    if (!os.ok()) return 0;
    DWORD now = ::GetFileAttributesW(os.c_str());
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
    if (!::SetFileAttributesW(os.c_str(), want)) {
        fail_system();
        return 0;
    }
    return 1;
}

}  // namespace plat

#endif  // defined(_WIN32)
