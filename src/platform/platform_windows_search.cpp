// The platform's directory search on Windows: FindFirstFileW and its
// companions, with the kernel's own matching (case-blind, "*.*" every name,
// short names too) and order; names come back in UTF-8.
#if defined(_WIN32)

#include <windows.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/platform_windows_internal.h"

namespace plat {

struct FindState {
    HANDLE handle;
};

namespace {

void fill_find_data(const WIN32_FIND_DATAW& found, FindData* data) {
    data->dwFileAttributes = static_cast<uint32_t>(found.dwFileAttributes);
    size_t units = wcsnlen(found.cFileName, sizeof found.cFileName / sizeof found.cFileName[0]);
    // A name that is not valid UTF-16 (an unpaired surrogate) comes with
    // U+FFFD in its place, which names no file: the caller reports it rather
    // than passing over it in silence.
    std::string name = win::narrow_replacing(found.cFileName, units);
    size_t n = name.size();
    if (n >= sizeof data->cFileName) n = sizeof data->cFileName - 1;
    memcpy(data->cFileName, name.data(), n);
    data->cFileName[n] = '\0';
}

}  // namespace

FindHandle FindFirstFileA(const char* pattern, FindData* data) {
    win::WinPath os(pattern);
    if (!os.ok()) return NO_FIND_HANDLE;
    WIN32_FIND_DATAW found;
    HANDLE h = ::FindFirstFileW(os.c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) {
        win::fail_system();
        return NO_FIND_HANDLE;
    }
    fill_find_data(found, data);
    return new FindState{h};
}

int FindNextFileA(FindHandle h, FindData* data) {
    if (h == NO_FIND_HANDLE) {
        win::fail_with(6);  // invalid handle
        return 0;
    }
    WIN32_FIND_DATAW found;
    if (!::FindNextFileW(h->handle, &found)) {
        DWORD code = ::GetLastError();
        // 18 is the normal end; anything else is a failure of the search.
        if (code == ERROR_NO_MORE_FILES) win::set_error(ERR_NO_MORE_FILES);
        else win::fail_system();
        return 0;
    }
    fill_find_data(found, data);
    return 1;
}

int FindClose(FindHandle h) {
    if (h == NO_FIND_HANDLE) return 1;
    ::FindClose(h->handle);
    delete h;
    return 1;
}

uint32_t GetLastError() { return win::last_error(); }

}  // namespace plat

#endif  // defined(_WIN32)
