// The platform's standard-stream services on Windows: the standard handles
// switched to binary mode for archive bytes, the console test, and the
// identity and size of an open handle.
#if defined(_WIN32)

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "platform/platform.h"

namespace plat {

namespace {

HANDLE os_handle(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

}  // namespace

int std_stream_handle(int which) {
    int fd = which == 0 ? 0 : 1;
    ::_setmode(fd, _O_BINARY);
    return fd;
}

// A console, not merely a character device (NUL is one too).
bool is_terminal(int fd) {
    DWORD mode = 0;
    HANDLE h = os_handle(fd);
    return h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode) != 0;
}

bool handle_id(int fd, FileId* id) {
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE h = os_handle(fd);
    if (h == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(h, &info)) return false;
    id->volume = info.dwVolumeSerialNumber;
    id->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

int64_t handle_size(int fd) {
    HANDLE h = os_handle(fd);
    LARGE_INTEGER size;
    if (h == INVALID_HANDLE_VALUE || ::GetFileType(h) != FILE_TYPE_DISK || !::GetFileSizeEx(h, &size)) return -1;
    return static_cast<int64_t>(size.QuadPart);
}

// The console's keys never come from standard input here.
void keys_from_console_only() {}

}  // namespace plat

#endif  // defined(_WIN32)
