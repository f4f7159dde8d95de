// The Windows platform files' shared pieces: last error and path copies.
#if defined(_WIN32)

#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/error_codes.h"
#include "platform/platform_windows_internal.h"

namespace plat {
namespace win {

namespace {

thread_local uint32_t thread_error = 0;

}  // namespace

void set_error(uint32_t code) { thread_error = code; }
uint32_t last_error() { return thread_error; }

int fail_errno() {
    thread_error = error_code_of(errno);
    return -1;
}

int fail_system() {
    DWORD code = ::GetLastError();
    // 18 means the normal end of a search; no other failure may report it.
    thread_error = code == 0 || code == ERROR_NO_MORE_FILES ? 31 : static_cast<uint32_t>(code);
    return -1;
}

int fail_with(uint32_t code) {
    thread_error = code;
    return -1;
}

bool is_sep(char c) { return c == '/' || c == '\\'; }

WinPath::WinPath(const char* path) {
    text_[0] = '\0';
    if (path == nullptr) {
        errno = ENOENT;
        fail_errno();
        return;
    }
    size_t i = 0;
    for (; path[i] != '\0'; ++i) {
        if (i + 1 >= static_cast<size_t>(PATH_CAP)) {
            text_[0] = '\0';
            errno = ENAMETOOLONG;
            fail_errno();
            return;
        }
        text_[i] = path[i] == '/' ? '\\' : path[i];
    }
    text_[i] = '\0';
    ok_ = true;
}

void WinPath::trim_trailing_separators() {
    size_t len = strlen(text_);
    // The root of a drive ("C:\") or of the current drive ("\") stays.
    size_t keep = (len >= 2 && text_[1] == ':') ? 3 : 1;
    while (len > keep && text_[len - 1] == '\\') text_[--len] = '\0';
}

}  // namespace win
}  // namespace plat

#endif  // defined(_WIN32)
