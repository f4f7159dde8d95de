// Lists of names to read on POSIX: a file, a pipe, or standard input.
#if !defined(_WIN32)

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform_posix_internal.h"

namespace plat {

int open_name_list(const char* path) {
    int fd = -1;
    if (std::strcmp(path, "-") == 0) {
        fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    } else {
        OsPath os(path);
        if (!os.ok()) return fail();
        fd = ::open(os.c_str(), O_RDONLY | O_CLOEXEC);
    }
    return fd < 0 ? fail() : fd;
}

}  // namespace plat

#endif  // !defined(_WIN32)
