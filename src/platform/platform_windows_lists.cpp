// Lists of names to read on Windows: a file (by its wide path), or standard
// input, as bytes.
#if defined(_WIN32)

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/platform_windows_internal.h"

namespace plat {

int open_name_list(const char* path) {
    int fd = -1;
    if (std::strcmp(path, "-") == 0) {
        fd = ::_dup(0);
        if (fd >= 0) ::_setmode(fd, _O_BINARY);
    } else {
        win::WinPath os(path);
        if (!os.ok()) return -1;
        fd = ::_wopen(os.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    }
    return fd < 0 ? win::fail_errno() : fd;
}

}  // namespace plat

#endif  // defined(_WIN32)
