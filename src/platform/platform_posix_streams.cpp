// The platform's standard-stream services on POSIX systems: the standard
// descriptors as archive handles (always binary here), the terminal test,
// and the identity and size of an open descriptor.
#if !defined(_WIN32)

#define _FILE_OFFSET_BITS 64

#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace plat {

int std_stream_handle(int which) { return which == 0 ? STDIN_FILENO : STDOUT_FILENO; }

bool is_terminal(int fd) { return ::isatty(fd) == 1; }

bool handle_id(int fd, FileId* id) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    id->volume = static_cast<uint64_t>(st.st_dev);
    id->index = static_cast<uint64_t>(st.st_ino);
    return true;
}

int64_t handle_size(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

}  // namespace plat

#endif  // !defined(_WIN32)
