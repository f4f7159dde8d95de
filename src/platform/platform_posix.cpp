// The platform services on POSIX systems (Linux).
//
// Every path is copied into a bounded buffer with '\' turned into '/' before
// the kernel sees it, so names typed or stored with either separator work.
// Only regular files are ever opened: a FIFO, socket or device is refused on
// the opened descriptor, so no run can block on one.  Hidden, system and
// archive bits live in the extended attribute user.DOSATTRIB as "0x<hex>",
// the text Samba and Wine read and write.
#if !defined(_WIN32)

#define _FILE_OFFSET_BITS 64

#include "platform/platform.h"
#include "platform/error_codes.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace plat {

namespace {

// ---- errors ---------------------------------------------------------------

thread_local uint32_t last_error = 0;

// Records errno as the thread's last error; returns -1 for the caller.
int fail() {
    last_error = error_code_of(errno);
    return -1;
}

int fail_with(int err) {
    errno = err;
    return fail();
}

// ---- paths ----------------------------------------------------------------

bool is_sep(char c) { return c == '/' || c == '\\'; }

// A path as the kernel is given it: a bounded copy with every '\' turned
// into '/'.  A path that does not fit PATH_CAP is refused, never cut.
class OsPath {
public:
    explicit OsPath(const char* path) {
        text_[0] = '\0';
        if (path == nullptr) {
            errno = ENOENT;
            return;
        }
        size_t i = 0;
        for (; path[i] != '\0'; ++i) {
            if (i + 1 >= static_cast<size_t>(PATH_CAP)) {
                errno = ENAMETOOLONG;
                text_[0] = '\0';
                return;
            }
            text_[i] = path[i] == '\\' ? '/' : path[i];
        }
        text_[i] = '\0';
        ok_ = true;
    }
    bool ok() const { return ok_; }
    const char* c_str() const { return text_; }

private:
    char text_[PATH_CAP];
    bool ok_ = false;
};

// Copies at most 255 bytes of src[0..len) into dst and terminates it (the
// parts of _splitpath are 256-byte buffers).
void copy_part(char* dst, const char* src, size_t len) {
    if (dst == nullptr) return;
    if (len > 255) len = 255;
    memcpy(dst, src, len);
    dst[len] = '\0';
}

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

// Keeps fd only when it is a regular file, back in blocking mode (flags:
// those it was opened with; F_SETFL takes only the status flags of them).
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
    if (::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        int err = errno;
        ::close(fd);
        return fail_with(err);
    }
    return fd;
}

// ---- status and modes -----------------------------------------------------

// The process umask.  umask(2) can only be read by setting it, so it is set
// back at once; the program is single-threaded, so no file is created in
// between.
mode_t current_umask() {
    mode_t old = ::umask(0);
    ::umask(old);
    return old;
}

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

// ---- console --------------------------------------------------------------

// The controlling terminal, opened once; -1 when the process has none.
int console_fd() {
    static int fd = -2;
    if (fd == -2) fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    return fd;
}

// Second code of a two-part key, handed out by the next _getch.
int pending_key = -1;

// The terminal settings to put back, also from a signal handler.
struct termios saved_termios;
volatile sig_atomic_t termios_saved = 0;
const int RESTORE_SIGNALS[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
constexpr int N_RESTORE_SIGNALS = sizeof RESTORE_SIGNALS / sizeof RESTORE_SIGNALS[0];
struct sigaction saved_actions[N_RESTORE_SIGNALS];

// The files to delete when a signal ends the process (remove_on_signal), as
// the kernel spells them; an empty text is a free slot.  They are changed
// only with the signals blocked, so the handler never sees half a path.
constexpr int N_REMOVE_SLOTS = 2;
char remove_paths[N_REMOVE_SLOTS][PATH_CAP];
// SIGXFSZ: a write past the file size limit (ulimit -f) kills the process
// by default; the file being written is then only half there.
const int REMOVE_SIGNALS[] = {SIGHUP, SIGINT, SIGTERM, SIGXFSZ};

// A signal that ends the process: delete the files noted, put the terminal
// back when it is raw, then die of the signal as before.  Only
// async-signal-safe calls.
void end_by_signal(int sig) {
    for (int i = 0; i < N_REMOVE_SLOTS; ++i) {
        if (remove_paths[i][0] != '\0') ::unlink(remove_paths[i]);
    }
    if (termios_saved) ::tcsetattr(console_fd(), TCSANOW, &saved_termios);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Installs end_by_signal for sig where the signal would kill the process:
// an ignored signal stays ignored, a program's own handler stays in charge
// (end_by_signal installed earlier included).  *previous, when given,
// receives the action found.
void install_end_handler(int sig, struct sigaction* previous) {
    struct sigaction found;
    ::sigaction(sig, nullptr, &found);
    if (previous != nullptr) *previous = found;
    if (found.sa_handler != SIG_DFL || (found.sa_flags & SA_SIGINFO)) return;
    struct sigaction act;
    memset(&act, 0, sizeof act);
    act.sa_handler = end_by_signal;
    sigemptyset(&act.sa_mask);
    ::sigaction(sig, &act, nullptr);
}

void install_restore_handlers() {
    for (int i = 0; i < N_RESTORE_SIGNALS; ++i) install_end_handler(RESTORE_SIGNALS[i], &saved_actions[i]);
}

void remove_restore_handlers() {
    for (int i = 0; i < N_RESTORE_SIGNALS; ++i) ::sigaction(RESTORE_SIGNALS[i], &saved_actions[i], nullptr);
}

// One byte from fd, EINTR retried.  timeout_ms < 0 waits as long as it
// takes.  Returns the byte, or -1 at end of input, on error or timeout.
int read_byte(int fd, int timeout_ms) {
    for (;;) {
        if (timeout_ms >= 0) {
            struct pollfd pfd = {fd, POLLIN, 0};
            int ready = ::poll(&pfd, 1, timeout_ms);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return -1;
        }
        unsigned char c = 0;
        ssize_t n = ::read(fd, &c, 1);
        if (n == 1) return c;
        if (n < 0 && errno == EINTR) continue;
        return -1;
    }
}

// Key codes as the prompt knows them.
int key_code_of(int byte) {
    switch (byte) {
    case '\n':
    case '\r': return 13;
    case 127: return 8;
    case 4: return 26;  // Ctrl+D ends the entry as Ctrl+Z does
    default: return byte;
    }
}

// The second code of a cursor or function key, from the final byte of its
// escape sequence (and the number before '~'), in the PC scan codes.
int scan_code_of(int final_byte, int number) {
    switch (final_byte) {
    case 'A': return 72;  // up
    case 'B': return 80;  // down
    case 'C': return 77;  // right
    case 'D': return 75;  // left
    case 'H': return 71;  // home
    case 'F': return 79;  // end
    case 'P': return 59;  // F1
    case 'Q': return 60;
    case 'R': return 61;
    case 'S': return 62;  // F4
    case '~':
        switch (number) {
        case 1: return 71;
        case 2: return 82;  // insert
        case 3: return 83;  // delete
        case 4: return 79;
        case 5: return 73;  // page up
        case 6: return 81;  // page down
        default: return 0x85;
        }
    default: return final_byte < 0 ? 0 : final_byte;
    }
}

// After ESC on the terminal: a sequence ESC '[' ... final or ESC 'O' final
// becomes 0xE0 and its scan code; a lone ESC stays 27.  The rest of a
// sequence arrives at once, so a short wait tells the two apart.
int read_escape(int fd) {
    const int WAIT_MS = 50;
    int next = read_byte(fd, WAIT_MS);
    if (next < 0) return 27;
    if (next != '[' && next != 'O') {
        pending_key = key_code_of(next);  // ESC then an ordinary key
        return 27;
    }
    int number = 0;
    int c = read_byte(fd, WAIT_MS);
    // Parameter and intermediate bytes (0x20-0x3F) come before the final one.
    for (int guard = 0; c >= 0x20 && c <= 0x3F && guard < 32; ++guard) {
        if (c >= '0' && c <= '9' && number < 1000) number = number * 10 + (c - '0');
        c = read_byte(fd, WAIT_MS);
    }
    pending_key = scan_code_of(c, number);
    return 0xE0;
}

// One key from the terminal in raw mode, the settings put back on every
// way out.
int getch_terminal(int fd) {
    struct termios raw;
    if (::tcgetattr(fd, &saved_termios) != 0) {
        int byte = read_byte(fd, -1);
        return byte < 0 ? -1 : key_code_of(byte);
    }
    raw = saved_termios;
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    termios_saved = 1;
    install_restore_handlers();
    // TCSANOW keeps keys typed ahead of the call.
    int key = -1;
    if (::tcsetattr(fd, TCSANOW, &raw) == 0) {
        int byte = read_byte(fd, -1);
        key = byte == 27 ? read_escape(fd) : byte < 0 ? -1 : key_code_of(byte);
    }
    ::tcsetattr(fd, TCSANOW, &saved_termios);
    termios_saved = 0;
    remove_restore_handlers();
    return key;
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

void forget_entry_status() { entry_status.valid = false; }

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

int stat_path(const char* os_path, StatRec* st);

}  // namespace

// ---- file handles ---------------------------------------------------------

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

long _read(int fd, void* buf, unsigned n) {
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

long _write(int fd, const void* buf, unsigned n) {
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

namespace {

int stat_path(const char* os_path, StatRec* st) {
    struct stat s;
    if (::stat(os_path, &s) != 0) return fail();
    // A FIFO, socket or device is never handed on: opening one could block.
    if (!S_ISREG(s.st_mode) && !S_ISDIR(s.st_mode)) return fail_with(ENXIO);
    st->mode = static_cast<uint32_t>(s.st_mode) & 0xFFFF;
    st->size = static_cast<int64_t>(s.st_size);
    st->atime = static_cast<int64_t>(s.st_atime);
    st->mtime = static_cast<int64_t>(s.st_mtime);
    st->ctime = static_cast<int64_t>(s.st_ctime);
    st->id.volume = static_cast<uint64_t>(s.st_dev);
    st->id.index = static_cast<uint64_t>(s.st_ino);
    return 0;
}

}  // namespace

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
    mode_t bits = static_cast<mode_t>(mode) & 0777 & ~current_umask();
    return ::chmod(os.c_str(), bits) == 0 ? 0 : fail();
}

int _utime(const char* path, int64_t atime, int64_t mtime) {
    forget_entry_status();
    OsPath os(path);
    if (!os.ok()) return fail();
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(atime);
    times[0].tv_nsec = 0;
    times[1].tv_sec = static_cast<time_t>(mtime);
    times[1].tv_nsec = 0;
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
    cwd_known = false;
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
    known_cwd = buf;
    cwd_known = true;
    return buf;
}

char* _fullpath(char* out, const char* path, size_t size) {
    if (out == nullptr || path == nullptr || size == 0) {
        fail_with(EINVAL);
        return nullptr;
    }
    // The working directory, a separator and the path: at most two PATH_CAP.
    char joined[2 * PATH_CAP + 1];
    size_t len = 0;
    if (!is_sep(path[0])) {
        if (::getcwd(joined, PATH_CAP) == nullptr) {
            fail();
            return nullptr;
        }
        len = strlen(joined);
        joined[len++] = '/';
    }
    size_t path_len = strnlen(path, PATH_CAP);
    if (path_len >= static_cast<size_t>(PATH_CAP)) {
        fail_with(ENAMETOOLONG);
        return nullptr;
    }
    memcpy(joined + len, path, path_len + 1);
    // Collapse component by component into norm: "." is dropped, ".."
    // removes the component before it (never above the root).
    char norm[2 * PATH_CAP + 2];
    size_t norm_len = 0;
    const char* p = joined;
    while (*p != '\0') {
        while (is_sep(*p)) ++p;
        const char* start = p;
        while (*p != '\0' && !is_sep(*p)) ++p;
        size_t comp_len = static_cast<size_t>(p - start);
        if (comp_len == 0 || (comp_len == 1 && start[0] == '.')) continue;
        if (comp_len == 2 && start[0] == '.' && start[1] == '.') {
            while (norm_len > 0 && norm[norm_len - 1] != '/') --norm_len;
            if (norm_len > 0) --norm_len;
            continue;
        }
        norm[norm_len++] = '/';
        memcpy(norm + norm_len, start, comp_len);
        norm_len += comp_len;
    }
    if (norm_len == 0) norm[norm_len++] = '/';
    if (norm_len >= size) {
        fail_with(ENAMETOOLONG);
        return nullptr;
    }
    memcpy(out, norm, norm_len);
    out[norm_len] = '\0';
    return out;
}

void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext) {
    if (drive != nullptr) drive[0] = '\0';
    if (path == nullptr) path = "";
    size_t len = strlen(path);
    size_t name_at = len;
    while (name_at > 0 && !is_sep(path[name_at - 1])) --name_at;
    size_t dot = len;
    for (size_t i = len; i > name_at; --i) {
        if (path[i - 1] == '.') {
            dot = i - 1;
            break;
        }
    }
    copy_part(dir, path, name_at);
    copy_part(fname, path + name_at, dot - name_at);
    copy_part(ext, path + dot, len - dot);
}

// ---- attributes -----------------------------------------------------------

namespace {

// The attribute bits of path and, through st_out, its status; os_out, when
// given, takes the path as the OS spells it.
// The same for a path already spelled as the OS reads it.
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
    char text[16];
    int len = snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(attrs & DOSATTRIB_BITS));
    if (::setxattr(os.c_str(), DOSATTRIB_NAME, text, static_cast<size_t>(len), 0) != 0) {
        fail();
        return 0;
    }
    return 1;
}

// ---- directory search -----------------------------------------------------

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

uint32_t GetLastError() { return last_error; }

// ---- console --------------------------------------------------------------

int _getch() {
    if (pending_key >= 0) {
        int key = pending_key;
        pending_key = -1;
        return key;
    }
    int fd = console_fd();
    if (fd >= 0) return getch_terminal(fd);
    // No terminal: the keys are the bytes of standard input.
    int byte = read_byte(STDIN_FILENO, -1);
    return byte < 0 ? -1 : key_code_of(byte);
}

int _putch(int c) {
    int fd = console_fd();
    unsigned char byte = static_cast<unsigned char>(c);
    for (;;) {
        ssize_t n = ::write(fd >= 0 ? fd : STDERR_FILENO, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    return c;
}

// ---- process --------------------------------------------------------------

void prepare_process() {
    // Lowest first: each open takes the lowest free descriptor, which is
    // then the closed one.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int null_fd = ::open("/dev/null", O_RDWR | O_NOCTTY);
        if (null_fd >= 0 && null_fd != fd) {
            ::dup2(null_fd, fd);
            ::close(null_fd);
        }
    }
    for (int sig : REMOVE_SIGNALS) install_end_handler(sig, nullptr);
    // EPIPE from the write instead: the caller reports it and cleans up.
    ::signal(SIGPIPE, SIG_IGN);
}

void remove_on_signal(int slot, const char* path) {
    if (slot < 0 || slot >= N_REMOVE_SLOTS) return;
    OsPath os(path != nullptr ? path : "");
    sigset_t block, old;
    sigemptyset(&block);
    for (int sig : RESTORE_SIGNALS) sigaddset(&block, sig);
    ::sigprocmask(SIG_BLOCK, &block, &old);
    // A path that cannot be spelt (too long) is not noted: nothing else
    // could be deleted by mistake.
    memcpy(remove_paths[slot], os.ok() ? os.c_str() : "", os.ok() ? strlen(os.c_str()) + 1 : 1);
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
}

// ---- command line ---------------------------------------------------------

bool is_option_prefix(char c) { return c == '-'; }

bool names_ignore_case() { return false; }

bool local_time(int64_t seconds, LocalTime* out) {
    time_t t = static_cast<time_t>(seconds);
    if (static_cast<int64_t>(t) != seconds) return false;
    struct tm tm_local;
    if (localtime_r(&t, &tm_local) == nullptr) return false;
    out->year = static_cast<int64_t>(tm_local.tm_year) + 1900;
    out->month = tm_local.tm_mon + 1;
    out->day = tm_local.tm_mday;
    out->hour = tm_local.tm_hour;
    out->minute = tm_local.tm_min;
    return true;
}

// ---- names from archives ---------------------------------------------------

// Every name that is not "." or ".." and holds no '/' is an ordinary file
// name here: "C:", "12:30.log" and "CON" included.
size_t foreign_root_len(const char*) { return 0; }

bool safe_component(const char*, size_t, std::string*) { return false; }

}  // namespace plat

#endif  // !defined(_WIN32)
