// The one seam between kelparc and the operating system.
//
// The archiver is written against a small set of runtime and kernel services
// (file handles, status, attributes, directory search, console keys).  This
// header declares them under their own names inside namespace plat; one
// implementation file per operating system provides them (platform_posix.cpp
// on Linux).  Nothing outside src/platform includes an OS header.
//
// Paths are narrow NUL-terminated texts.  Both '/' and '\' are accepted as
// separators in every path handed to these functions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

// ---- limits ---------------------------------------------------------------

// Longest operating-system path a buffer must hold (working directory, full
// paths, output paths), including the NUL.
constexpr int PATH_CAP = 4096;

// ---- file handles ---------------------------------------------------------

// Open flags, combined with '|'.  OF_BINARY exists for the callers' sake; it
// changes nothing on POSIX.
enum : int {
    OF_RDONLY = 0x0000,
    OF_WRONLY = 0x0001,
    OF_RDWR = 0x0002,
    OF_APPEND = 0x0008,
    OF_CREAT = 0x0100,
    OF_TRUNC = 0x0200,
    OF_EXCL = 0x0400,
    OF_BINARY = 0x8000,
};

// Permission argument of _open when a file is created.  New files get 0666
// less the umask whichever is given; S_IREAD alone makes a read-only file.
enum : int { S_IREAD_ = 0x0100, S_IWRITE_ = 0x0080 };

enum : int { SEEK_SET_ = 0, SEEK_CUR_ = 1, SEEK_END_ = 2 };

// Opens a regular file.  Returns a handle >= 0, or -1.  Anything that is not
// a regular file (FIFO, socket, device, directory) is refused with -1 and is
// never blocked on.
int _open(const char* path, int oflag, int pmode = S_IREAD_ | S_IWRITE_);

// Reads up to n bytes.  Returns the count read: n unless the end of the file
// came first (a short count means end of file), 0 at end of file, -1 on
// error.  Interrupted and partial reads are retried.
long _read(int fd, void* buf, unsigned n);

// Writes n bytes.  Returns n, or a smaller count / -1 when the write failed
// (disk full, file size limit).  Partial writes are retried until whole.
long _write(int fd, const void* buf, unsigned n);

// Moves the file position.  Returns the new position from the start, or -1.
int64_t _lseek(int fd, int64_t offset, int whence);

// Cuts or extends the file to size bytes.  Returns 0, or -1.
int _chsize(int fd, int64_t size);

// Returns 0, or -1.
int _close(int fd);

// Creates a new empty file exclusively (it did not exist), readable and writable by the owner
// only, in the directory that holds `beside` (a file path), under a name of its own that begins
// with '.' and ends in random characters.  Writes the new file's path into temp_path (cap bytes).
// Returns a handle opened for writing (binary), or -1 when no such file can be made there.
int _open_temp(const char* beside, char* temp_path, size_t cap);

// Renames from over to, replacing `to` in one step when it exists.  Returns 0, or -1.
int _rename(const char* from, const char* to);

// The path that a file opened by the name `path` is finally reached by: when path names a
// symbolic link (or a chain of them), the last link's target, joined to the link's directory
// when it is relative; otherwise path itself.  The target need not exist.  Writes it into out
// (cap bytes).  Returns 0, or -1 (a chain that does not end, a result that does not fit).
int _final_path(const char* path, char* out, size_t cap);

// ---- status ---------------------------------------------------------------

enum : uint32_t {
    MODE_DIR = 0x4000,
    MODE_REG = 0x8000,
    MODE_OWNER_WRITE = 0x0080,
};

// File status.  mode is the low 16 bits of the POSIX st_mode (0x4000
// directory, 0x8000 regular, 0x80 owner write); times are seconds since
// 1970-01-01 UTC.  dev and ino identify the file.
struct StatRec {
    uint32_t mode;
    int64_t size;
    int64_t atime;
    int64_t mtime;
    int64_t ctime;
    uint64_t dev;
    uint64_t ino;
};

// Status of a path, following symbolic links.  Returns 0, or -1 when the
// path does not exist, cannot be read, or names something that is neither a
// regular file nor a directory (FIFO, socket, device).
int _stat(const char* path, StatRec* st);

// True when path names the file open as handle fd, whatever name, link or
// spelling leads to it (the same device and inode here; the same volume and
// file index on Windows).  False when path does not exist or fd is not open.
bool is_same_file(const char* path, int fd);

// mode 0: exists; mode 4: exists and is readable.  Returns 0, or -1.
int _access(const char* path, int mode);

// Returns 0, or -1.
int _unlink(const char* path);

// Sets the permission bits to mode & 0777, less the umask.  A mode without
// 0x80 leaves the file read-only.  setuid/setgid/sticky are never set.
// Returns 0, or -1.
int _chmod(const char* path, int mode);

// Sets access and modification times (seconds since 1970).  Returns 0, or -1.
int _utime(const char* path, int64_t atime, int64_t mtime);

// ---- directories ----------------------------------------------------------

// Creates one directory (0777 less the umask).  Returns 0, or -1.
int _mkdir(const char* path);

// Returns 0, or -1.
int _chdir(const char* path);

// Writes the working directory into buf (size bytes).  Returns buf, or
// nullptr when it does not fit or cannot be read.
char* _getcwd(char* buf, int size);

// Absolute form of path: a relative path is joined to the working
// directory, then "." and ".." components and repeated separators are
// collapsed, lexically (no symbolic link is resolved).  The result uses '/'.
// Returns out, or nullptr when the result needs size bytes or more.
char* _fullpath(char* out, const char* path, size_t size);

// Splits a path.  Only the parts asked for (non-null) are written, each
// bounded by 256 bytes: drive (always empty here), directory with its
// trailing separator, file name without extension, extension with its dot.
void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext);

// ---- attributes -----------------------------------------------------------

enum : uint32_t {
    FILE_ATTRIBUTE_READONLY = 0x01,
    FILE_ATTRIBUTE_HIDDEN = 0x02,
    FILE_ATTRIBUTE_SYSTEM = 0x04,
    FILE_ATTRIBUTE_DIRECTORY = 0x10,
    FILE_ATTRIBUTE_ARCHIVE = 0x20,
    INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu,
};

// Attribute bits of a path, or INVALID_FILE_ATTRIBUTES where _stat fails.
// Hidden comes from a leading '.' of the last component (not "." or "..")
// and, like system and archive, from the extended attribute user.DOSATTRIB.
uint32_t GetFileAttributesA(const char* path);

// Records the hidden, system and archive bits in user.DOSATTRIB.  Returns
// nonzero on success, 0 where the file system refuses it.
int SetFileAttributesA(const char* path, uint32_t attrs);

// ---- directory search -----------------------------------------------------

struct FindData {
    uint32_t dwFileAttributes;
    char cFileName[260];
};

struct FindState;
using FindHandle = FindState*;
constexpr FindHandle INVALID_HANDLE_VALUE = nullptr;

// Starts a search for pattern: its directory part (up to its last
// separator, or the working directory) is read, its last component matched
// against each name with '*' and '?' ("*.*" matches every name),
// case-sensitively.  "." and ".." come first when they match, then the other
// names in ascending byte order.  Returns a handle with the first match in
// data, or INVALID_HANDLE_VALUE when nothing matches or the directory cannot
// be read.
FindHandle FindFirstFileA(const char* pattern, FindData* data);

// Next match into data: returns nonzero, or 0 when no match is left (the
// last error is then 18 at the normal end, another code on failure).
int FindNextFileA(FindHandle h, FindData* data);

// Ends a search.  Returns nonzero.
int FindClose(FindHandle h);

// Error code of the last failed platform call of this thread (18: no more
// files).
uint32_t GetLastError();

constexpr uint32_t ERROR_NO_MORE_FILES = 18;

// ---- console --------------------------------------------------------------

// One key from the controlling terminal, raw: no echo, no line buffering, no
// signals.  Enter gives 13, Backspace 8 (DEL 127 too), Ctrl+C 3, Ctrl+D 26.
// A cursor or function key gives 0xE0 and then one more code.  The terminal
// settings are restored before the call returns.  Without a terminal, keys
// come from standard input.  At the end of input the result is -1.
int _getch();

// One character to the terminal _getch reads (standard error when there is
// none).  Returns c.
int _putch(int c);

// ---- process --------------------------------------------------------------

// Called once by main before anything else is opened: any of standard input, output and
// error that is not open is opened on the null device, so that no file the program opens
// later takes its place; the handlers behind remove_on_signal are installed.
void prepare_process();

// Names a file to delete if the process is ended by SIGINT, SIGTERM or SIGHUP (it then ends by
// that signal as before).  Slot 0: the new archive's temporary file; slot 1: a restore's
// temporary output file.  nullptr clears the slot.  Safe to call at any time.
void remove_on_signal(int slot, const char* path);

// ---- command line ---------------------------------------------------------

// True when c introduces an option on this platform ('-' here; the Windows
// build accepts '/' too).
bool is_option_prefix(char c);

// True when the platform's file names compare without regard to letter case
// (false here; the Windows build ignores case).  Choosing archive entries by
// name follows it.
bool names_ignore_case();

// ---- time -----------------------------------------------------------------

// A moment in the local time zone.
struct LocalTime {
    int64_t year;
    int month;   // 1..12
    int day;     // 1..31
    int hour;    // 0..23
    int minute;  // 0..59
};

// Converts seconds since 1970-01-01 UTC (before 1970 too) to local time, by
// the zone the system is set to (TZ where set).  Returns false when the
// moment cannot be represented.
bool local_time(int64_t seconds, LocalTime* out);

}  // namespace plat
