// The one seam between kelparc and the operating system.
//
// The archiver is written against a small set of runtime and kernel services
// (file handles, status, attributes, directory search, console keys).  This
// header declares them under their own names inside namespace plat; one
// implementation per operating system provides them (platform_posix_*.cpp on
// Linux and other POSIX systems, platform_windows_*.cpp on Windows, split alike by topic), each
// meeting the contracts stated here.  Nothing outside src/platform includes
// an OS header.
//
// Paths are narrow NUL-terminated texts of bytes: UTF-8 in practice on
// Linux, where the bytes go to the system as they are; UTF-8 on Windows,
// where the platform layer alone converts them to and from the UTF-16 of
// the system's wide calls (a component that is not valid UTF-8 is read in
// the ANSI code page, as older archives stored names).  Both '/' and '\'
// are accepted as separators in every path handed to these functions.
// Names of this header never collide with the system headers' macros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#if defined(_WIN32)
// The Windows runtime makes _stat a macro (_stat64i32) through headers the
// standard library includes anyway; seeing it here renames the declaration
// below the same way as every call.
#include <sys/stat.h>
#endif

namespace plat {

// ---- limits ---------------------------------------------------------------

// Longest operating-system path a buffer must hold (working directory, full
// paths, output paths), including the NUL: the system's path limit (on
// Windows the 32,767 characters of a \\?\ path, counted here in bytes of
// UTF-8).  A longer path is refused, never cut.
#if defined(_WIN32)
constexpr int PATH_CAP = 32768;
#else
constexpr int PATH_CAP = 4096;
#endif

// Bytes a name found by a directory search may take, with its NUL: 255
// bytes on POSIX file systems; 255 UTF-16 units on Windows, up to three
// bytes each in UTF-8.
#if defined(_WIN32)
constexpr int FIND_NAME_CAP = 768;
#else
constexpr int FIND_NAME_CAP = 260;
#endif

// ---- file handles ---------------------------------------------------------

// Open flags, combined with '|'.  OF_BINARY asks for bytes unchanged (no
// line-end translation); POSIX files are always so.
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

// Permission argument of _open when a file is created: S_IREAD_ alone makes
// the new file read-only (the handle still writes); otherwise it gets the
// system's default permissions for a new file.
enum : int { S_IREAD_ = 0x0100, S_IWRITE_ = 0x0080 };

enum : int { SEEK_SET_ = 0, SEEK_CUR_ = 1, SEEK_END_ = 2 };

// Opens a regular file.  Returns a handle >= 0, or -1.  Anything that is not
// a regular file (FIFO, socket, device such as CON or /dev/tty, directory)
// is refused with -1 and is never blocked on.  A file opened for reading
// only never blocks a read either: a read that would wait fails.
int _open(const char* path, int oflag, int pmode = S_IREAD_ | S_IWRITE_);

// Reads up to n bytes.  Returns the count read: n unless the end of the file
// came first (a short count means end of file), 0 at end of file, -1 on
// error.  Interrupted and partial reads are retried.
long _read(int fd, void* buf, unsigned n);

// Writes n bytes.  Returns n, or a smaller count / -1 when the write failed
// (disk full, file size limit).  Partial writes are retried until whole.
long _write(int fd, const void* buf, unsigned n);

// Opens a list of names for reading: "-" is standard input (a handle of its
// own, read as bytes), any other path the file it names, which may also be a
// pipe or a device.  Returns a handle for _read and _close, or -1.
int open_name_list(const char* path);

// The calls behind _read and _write, reached through a table that a test
// may replace (a read that sees a file grow or shrink, a write that fails
// at a chosen call), as a seam to inject faults without a full disk.  Only
// the main thread reads and writes files; the table is set before it does.
struct IoCalls {
    long (*read)(int fd, void* buf, unsigned n);
    long (*write)(int fd, const void* buf, unsigned n);
};

// Installs calls (nullptr: the system's own again).  Returns the previous
// table.
const IoCalls* set_io_calls(const IoCalls* calls);

// The system's own calls, for a replacement to forward to.
const IoCalls& system_io_calls();

// Moves the file position.  Returns the new position from the start, or -1.
int64_t _lseek(int fd, int64_t offset, int whence);

// Reads up to n bytes at offset, for a thread other than the main one, on a
// handle it alone reads: not through the table above, and no error is
// recorded for messages.  The Windows build moves the handle's position.
// Returns the count read (short only at the end of the file), or -1.
long read_at(int fd, void* buf, unsigned n, int64_t offset);

// Cuts or extends the file to size bytes.  Returns 0, or -1.
int _chsize(int fd, int64_t size);

// Returns 0, or -1.
int _close(int fd);

// Creates a new empty file exclusively (it did not exist), readable and writable by the owner
// only, in the directory that holds `beside` (a file path), under a name of its own that begins
// with '.' and ends in random characters.  Writes the new file's path into temp_path (cap bytes).
// Returns a handle opened for writing (binary), or -1 when no such file can be made there.
int _open_temp(const char* beside, char* temp_path, size_t cap);

// _open_temp with the new file noted for removal on a signal (remove_on_signal's slot) before
// it can exist: no signal can end the process between its creation and its noting.
int _open_temp_noted(int slot, const char* beside, char* temp_path, size_t cap);

// Writes what the system holds of the file to the disk (fsync; FlushFileBuffers on Windows).
// Returns 0, or -1.
int _commit(int fd);

// Writes the directory that holds `path` (a file path) to the disk, so that a rename into it
// lasts (fsync of the directory; nothing to do on Windows).  Returns 0, or -1.
int commit_parent_dir(const char* path);

// Gives the file open as fd the permission bits mode & 0777 exactly, the creation mask not
// applied (nothing on Windows, where a file carries only its read-only attribute).  Returns 0,
// or -1.
int set_permission_bits(int fd, uint32_t mode);

// Takes an exclusive advisory lock on the existing file at path for the whole run, without
// waiting (flock on POSIX; on Windows LockFileEx on one byte far past the end, through a handle
// that shares reading, writing and deleting, so that readers and a rename over the file are
// not blocked).  After taking it, checks that path still names the locked file (it may have
// been replaced meanwhile) and otherwise locks what path names now, a few times at most.
// Returns a handle whose _close releases the lock, or -1: the last error is ERR_FILE_NOT_FOUND
// when nothing is at path, ERR_LOCKED when another process holds the lock.
int lock_file(const char* path);

constexpr uint32_t ERR_LOCKED = 33;

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

// The identity of a file: two paths with the same identity name the same
// file (a hard link, a link, another spelling or case of the name, a short
// name).  The volume and the file's number on it, as the system gives them.
struct FileId {
    uint64_t volume;
    uint64_t index;
};

inline bool same_file(const FileId& a, const FileId& b) {
    return a.volume == b.volume && a.index == b.index;
}

// File status.  mode holds 0x4000 for a directory, 0x8000 for a regular
// file, 0x80 when the file may be written, and the system's other read and
// permission bits in its low nine bits; times are seconds since 1970-01-01
// UTC.
struct StatRec {
    uint32_t mode;
    int64_t size;
    int64_t atime;
    int64_t mtime;
    int64_t ctime;
    FileId id;
};

// Status of a path, of the file a link leads to.  Returns 0, or -1 when the
// path does not exist (last error ERR_FILE_NOT_FOUND, a dangling link too),
// cannot be read, or names something that is neither a regular file nor a
// directory (FIFO, socket, device: last error ERR_NOT_A_FILE).
int _stat(const char* path, StatRec* st);

// True when path names the file open as handle fd, whatever name, link or
// spelling leads to it (the same device and inode here; the same volume and
// file index on Windows).  False when path does not exist or fd is not open.
bool is_same_file(const char* path, int fd);

// mode 0: exists; mode 4: exists and is readable.  Returns 0, or -1.
int _access(const char* path, int mode);

// Returns 0, or -1.
int _unlink(const char* path);

// A mode without 0x80 makes the file read-only, with 0x80 writable.  Where
// files carry permission bits, the others of mode & 0777 are set too, less
// the process's creation mask; set-id and sticky bits are never set.
// Returns 0, or -1.
int _chmod(const char* path, int mode);

// Sets access and modification times (seconds since 1970).  Returns 0, or -1.
int _utime(const char* path, int64_t atime, int64_t mtime);

// ---- directories ----------------------------------------------------------

// Creates one directory with the system's default permissions.  Returns 0,
// or -1.
int _mkdir(const char* path);

// Returns 0, or -1.
int _chdir(const char* path);

// Writes the working directory into buf (size bytes).  Returns buf, or
// nullptr when it does not fit or cannot be read.
char* _getcwd(char* buf, int size);

// Absolute form of path: a relative path is joined to the working
// directory, then "." and ".." components and repeated separators are
// collapsed, lexically (no symbolic link is resolved).  The result uses the
// system's separator ('/' on POSIX, '\\' on Windows, with the drive).
// Returns out, or nullptr when the result needs size bytes or more.
char* _fullpath(char* out, const char* path, size_t size);

// Splits a path.  Only the parts asked for (non-null) are written, each
// bounded by 256 bytes: drive with its colon (empty where paths have no
// drive), directory with its
// trailing separator, file name without extension, extension with its dot.
void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext);

// ---- attributes -----------------------------------------------------------

// Attribute bits as Windows numbers them (the names are this header's own).
enum : uint32_t {
    ATTR_READONLY = 0x01,
    ATTR_HIDDEN = 0x02,
    ATTR_SYSTEM = 0x04,
    ATTR_DIRECTORY = 0x10,
    ATTR_ARCHIVE = 0x20,
    ATTR_INVALID = 0xFFFFFFFFu,
};

// Attribute bits of a path, or ATTR_INVALID where _stat fails: the file's
// own attributes where the system keeps them (Windows).  On POSIX, read-only
// is the owner write bit cleared, hidden also a leading '.' of the last
// component (not "." or ".."), and hidden, system and archive come from the
// extended attribute user.DOSATTRIB (as Samba and Wine keep them).
uint32_t GetFileAttributesA(const char* path);

// Sets the hidden, system and archive bits of a file (on POSIX in
// user.DOSATTRIB; read-only is _chmod's).  Returns nonzero on success, 0
// where the file system refuses it.
int SetFileAttributesA(const char* path, uint32_t attrs);

// ---- directory search -----------------------------------------------------

struct FindData {
    uint32_t dwFileAttributes;
    char cFileName[FIND_NAME_CAP];
};

struct FindState;
using FindHandle = FindState*;
constexpr FindHandle NO_FIND_HANDLE = nullptr;

// Starts a search for pattern: its directory part (up to its last
// separator, or the working directory) is read, its last component matched
// against each name with '*' and '?' ("*.*" matches every name), comparing
// names as the system's file names compare (exactly on POSIX, ignoring case
// on Windows).  "." and ".." come first when they match, then the other
// names in the system's order (ascending byte order on POSIX; the file
// system's order on Windows).  Returns a handle with the first match in data,
// or NO_FIND_HANDLE when nothing matches or the directory cannot be read.
// A _stat of the entry just handed out, before anything else is written,
// may be answered from what the search read with it.
FindHandle FindFirstFileA(const char* pattern, FindData* data);

// Next match into data: returns nonzero, or 0 when no match is left (the
// last error is then 18 at the normal end, another code on failure).
int FindNextFileA(FindHandle h, FindData* data);

// Ends a search.  Returns nonzero.
int FindClose(FindHandle h);

// Error code of the last failed platform call of this thread (18: no more
// files).
uint32_t GetLastError();

constexpr uint32_t ERR_NO_MORE_FILES = 18;
constexpr uint32_t ERR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERR_NOT_A_FILE = 1;

// True when the last failed write of the C runtime's standard output met a
// pipe whose reader has gone (EPIPE).
bool stdout_pipe_closed();

// ---- console --------------------------------------------------------------

// One key from the console (the controlling terminal on POSIX), raw: no
// echo, no line buffering, no signals.  Enter gives 13, Backspace 8 (DEL 127
// too), Ctrl+C 3, the end-of-input key 26 (Ctrl+Z; Ctrl+D on a Unix
// terminal).  A cursor or function key gives 0xE0 (or 0) and then one more
// code.  The console's settings are restored before the call returns.
// Without a terminal, POSIX reads keys from standard input.  The result is
// -1 when no key can be read (no console, end of input).
int _getch();

// One character to the console _getch reads (standard error when there is
// none).  Returns c.
int _putch(int c);

// Writes len bytes of text to stream (standard output or error).  The bytes
// go as they are on POSIX, and on Windows to a file or a pipe, as UTF-8 (a
// piece that is not valid UTF-8 is read in the ANSI code page first); to a
// Windows console they go as UTF-16 through the console itself, whatever its
// code page.  Returns len, or less when the write failed.
size_t write_text(std::FILE* stream, const char* data, size_t len);

// ---- process --------------------------------------------------------------

// Called once by main before anything else is opened: any of standard input, output and
// error that is not open is opened on the null device, so that no file the program opens
// later takes its place; the handlers behind remove_on_signal are installed;
// a write to a pipe whose reader has gone fails (as a write error) instead of
// ending the process.
void prepare_process();

// Called by main before it reads its arguments: on Windows argv becomes the
// UTF-8 form of the command line's arguments, split as the runtime splits
// them (its own narrow ones are in the ANSI code page, which cannot hold
// every name); on POSIX the arguments stay as they are.
void program_arguments(int* argc, char*** argv);

// Names a file to delete if the process is ended from outside: by SIGINT, SIGTERM, SIGHUP or
// SIGXFSZ on POSIX (it then ends by that signal as before); by Ctrl+C, Ctrl+Break or the
// console closing on Windows.  Slot 0: the new archive's temporary file; slot 1: a
// restore's temporary output file.  nullptr clears the slot.  Safe to call at any time.
void remove_on_signal(int slot, const char* path);

// ---- standard streams -------------------------------------------------------

// The handle of standard input (which 0) or standard output (which 1) for
// archive bytes and entry contents, switched to binary mode (no line-end
// translation) in the Windows build.  Returns the handle.
int std_stream_handle(int which);

// True when handle fd is a terminal (a console in the Windows build).
bool is_terminal(int fd);

// The identity of whatever is open as fd (a pipe too, where the system gives
// one).  Returns false when there is none.
bool handle_id(int fd, FileId* id);

// Size of the regular file open as fd, or -1 when fd is anything else (a
// pipe, a terminal) or its size cannot be read.
int64_t handle_size(int fd);

// From now on _getch reads only the console: without one it returns -1, and
// standard input (which then holds an archive) is never read for keys.
void keys_from_console_only();

// ---- places beneath an unpack target ----------------------------------------

// Where an unpacked entry goes: reached from the target directory one name
// at a time, a symbolic link on the way (a parent or the name itself)
// followed only when what it leads to lies beneath the target, with the
// rule of the kernel's RESOLVE_BENEATH: an absolute link, or a ".." above
// the target, leads out.  On POSIX the place is held as its directory open
// and its last name, and every call below works on that directory, so a
// link made meanwhile cannot redirect it; the Windows build checks junctions
// and links name by name and then works on the path, which a concurrent
// change of the tree can race.
struct Place {
    int dir;              // the directory held open (POSIX), else -1
    char path[PATH_CAP];  // the target joined to the names as reached
    const char* name;     // the last name, inside path
    bool name_was_link;   // the entry's own name was a link, followed
    bool name_absent;     // nothing had the last name when it was reached (false: unknown)
};

// What one walk keeps from place to place, on one thread: on POSIX the
// directory of the last place reached at once, held open, so the next entry
// of the same directory is reached on it without a lookup from the target.
// A directory held is the very one that was beneath the target when it was
// reached: should it be moved meanwhile, the places go with it, never
// through a link made where it was.  Closed when the record goes.
struct PlaceCache {
    std::string target;
    std::string parent;
    int dir = -1;
    PlaceCache() = default;
    PlaceCache(const PlaceCache&) = delete;
    PlaceCache& operator=(const PlaceCache&) = delete;
    ~PlaceCache();
};

enum : int {
    PLACE_OK = 0,
    PLACE_FAILED = -1,     // cannot be reached (no permission, a loop of links, too long)
    PLACE_LEADS_OUT = -2,  // a link on the way leads out of the target
    PLACE_NO_PARENT = -3,  // a parent is no directory, or could not be made: its path in failed
};

// Finds the place of rel (relative, '/' between names, no "." or "..")
// beneath target (which may itself be a link: the user chose it); with
// make_parents the missing directories on the way are made.  The place may
// not exist yet.  Returns PLACE_OK with *place to close with place_close,
// or one of the failures above (failed, cap bytes, names the parent).  With
// a cache, a place in the directory of the cache's last place starts there.
int place_beneath(const char* target, const char* rel, bool make_parents, Place* place, char* failed,
                  size_t failed_cap, PlaceCache* cache = nullptr);
void place_close(Place* place);

// Status of the place itself (a link there is not followed).  Returns 0, or -1.
int place_stat(const Place* place, StatRec* st);
// Makes the place as one directory.  Returns 0, or -1.
int place_mkdir(const Place* place);
// Creates a new empty owner-only file beside the place ('.' and random
// characters), its full path in temp_path (cap bytes) noted in signal slot
// `slot` (remove_on_signal) before the file exists.  Returns a handle
// opened for writing, or -1 with the slot cleared.
int place_open_temp(const Place* place, char* temp_path, size_t cap, int slot);
// Gives the file open as fd the permissions place_chmod(mode) gives a
// place, or the times place_utime gives.  Returns 0, or -1 (always on
// Windows, where both are set by name once the file is closed).
int handle_chmod(int fd, int mode);
int handle_utime(int fd, int64_t atime, int64_t mtime);
// Renames the file place_open_temp made over the place, or deletes it.
// Return 0, or -1.
int place_rename_temp(const Place* place, const char* temp_path);
int place_unlink_temp(const Place* place, const char* temp_path);
// The calls of SetFileAttributesA, _utime and _chmod on the place, which
// never follow a link there.
int place_set_attributes(const Place* place, uint32_t attrs);
int place_utime(const Place* place, int64_t atime, int64_t mtime);
int place_chmod(const Place* place, int mode);

// Notes an archive being appended to: if the process is ended from outside (as for
// remove_on_signal), the file open as fd is first cut back to length bytes.  On Windows the
// thread that writes it is stopped before.  fd -1 clears the note.  Safe to call at any time.
void truncate_on_signal(int fd, int64_t length);

// Blocks (true) or unblocks (false) the signals that end the process for the calling thread;
// a thread started while they are blocked keeps them blocked, so that they always reach the
// thread that writes.  Nothing on Windows, where console events come on a thread of their own.
void block_end_signals(bool block);

// ---- command line ---------------------------------------------------------

// True when c introduces an option: '-', and on Windows '/' too (on POSIX
// every absolute path begins with '/').
bool is_option_prefix(char c);

// True when the platform's file names compare without regard to letter case
// (false on POSIX; the Windows build ignores case).  Choosing archive entries by
// name follows it.
bool names_ignore_case();

// Bytes of the character of a name that begins at text (left >= 1 bytes
// remain): 1 on POSIX, where names are bytes; on Windows the UTF-8 sequence
// (1 for a byte that begins none).
size_t name_char_len(const char* text, size_t left);

// True when the texts a and b (their lengths given) are the same name
// without regard to case, as the file system compares names: on Windows
// the ordinal case-blind comparison of their UTF-16 forms; on POSIX their
// bytes with ASCII letters folded.
bool same_name_blind(const char* a, size_t a_len, const char* b, size_t b_len);

// True when every component of name can be given to the system as a file
// name: always on POSIX; on Windows when each is valid UTF-8 or valid in
// the ANSI code page.
bool name_spellable(const char* name);

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

// ---- names from archives ---------------------------------------------------

// Stored names are made relative and split into components by the caller;
// these say what this system would take for something other than a plain
// name below the target directory.

// Length of the prefix of name that names a place of its own on this system
// rather than a path below the working directory: a drive ("C:", "c:foo")
// or a UNC or device prefix (\\server\share, \\?\ and \\.\ before a name)
// on Windows, with the separators after it.  0 when there is none (always on
// POSIX, where leading separators are the caller's to drop).
size_t foreign_root_len(const char* name);

// When the component comp (len bytes, no separator) would not be an
// ordinary file name here, writes the name to use instead into *safe and
// returns true: on Windows a ':' (a drive or an alternate data stream)
// becomes '_', and a device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9,
// any case, with or without an extension) gets '_' in front.  Returns false
// (and leaves *safe alone) for an ordinary name; always on POSIX.
bool safe_component(const char* comp, size_t len, std::string* safe);

}  // namespace plat
