// What the POSIX files of the platform layer share: the thread's last
// error, the bounded path copy every call is given, and the hooks by which
// the files keep the directory search's status cache honest.  Included only
// by platform_posix_*.cpp.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "platform/error_codes.h"
#include "platform/platform.h"

namespace plat {

// The last error of the calling thread, as GetLastError reports it.
extern thread_local uint32_t last_error;

// Records errno as the thread's last error; returns -1 for the caller.
int fail();
// The same for err, which becomes errno too.
int fail_with(int err);

inline bool is_sep(char c) { return c == '/' || c == '\\'; }

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

// The status of path as the kernel spells it (no status cache).  Returns 0,
// or -1 with the last error set; a FIFO, socket or device fails (ENXIO).
int stat_path(const char* os_path, StatRec* st);

// The status record of what stat(2) gave.
void status_of(const struct stat& s, StatRec* st);

// The attribute bits of a path spelled as the kernel reads it and, through
// st_out, its status; ATTR_INVALID when it has none.
uint32_t os_attributes_with_status(const char* os_path, StatRec* st_out);

// The directory search notes the status of the entry it handed out last;
// every call that may change a file forgets it, and _stat takes it.
void forget_entry_status();
bool take_entry_status(const char* os_path, StatRec* st);
// The working directory as _getcwd last read it (for taking the status
// noted above by a relative name); _chdir forgets it.
void note_working_dir(const char* path);
void forget_working_dir();

// The process's file creation mask.
mode_t current_umask();
// The permission bits _chmod gives for mode: its lower nine, less the umask.
mode_t mode_bits(int mode);
// Whole seconds of access and modification, as utimensat takes them.
void set_times(struct timespec times[2], int64_t atime, int64_t mtime);
// Writes the hidden, system and archive bits of attrs into user.DOSATTRIB
// of the open file fd.  Returns nonzero, or 0 with the last error set.
int set_dosattrib_fd(int fd, uint32_t attrs);

// Puts the terminal back when a key read left it raw; async-signal-safe,
// called by the handler that ends the process on a signal.
void restore_console_from_signal();
// Installs the handler that ends the process on sig (deleting the files
// noted by remove_on_signal and putting the terminal back) where sig would
// kill it.  *previous, when given, receives the action found.
void install_end_handler(int sig, struct sigaction* previous);

}  // namespace plat
