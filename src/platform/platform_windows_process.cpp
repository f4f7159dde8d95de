// The platform's process services on Windows: standard handles that are
// missing are opened on NUL at start, and the files noted by
// remove_on_signal are deleted when the console ends the process (Ctrl+C,
// Ctrl+Break, the console window closed, log-off, shut-down).
#if defined(_WIN32)

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_windows_internal.h"

namespace plat {

namespace {

constexpr int N_REMOVE_SLOTS = 2;
wchar_t remove_paths[N_REMOVE_SLOTS][PATH_CAP];
// Serialises the noting of paths against the handler, which runs on a
// thread of its own.
SRWLOCK remove_lock = SRWLOCK_INIT;

// The archive being appended to (truncate_on_signal), or
// INVALID_HANDLE_VALUE, and the length to cut it back to; under remove_lock.
HANDLE truncate_handle = INVALID_HANDLE_VALUE;
int64_t truncate_length = 0;
// The thread that writes the archive: the one that called prepare_process.
HANDLE writer_thread = nullptr;

BOOL WINAPI end_handler(DWORD) {
    ::AcquireSRWLockExclusive(&remove_lock);
    if (truncate_handle != INVALID_HANDLE_VALUE) {
        // The writer is stopped first: no write may land after the cut.
        if (writer_thread != nullptr) ::SuspendThread(writer_thread);
        LARGE_INTEGER at;
        at.QuadPart = truncate_length;
        if (::SetFilePointerEx(truncate_handle, at, nullptr, FILE_BEGIN)) ::SetEndOfFile(truncate_handle);
    }
    for (int i = 0; i < N_REMOVE_SLOTS; ++i) {
        if (remove_paths[i][0] != L'\0') ::DeleteFileW(remove_paths[i]);
    }
    ::ReleaseSRWLockExclusive(&remove_lock);
    // Not handled: the process then ends as it would have.
    return FALSE;
}

// True when the runtime's descriptor fd has no handle behind it.
bool descriptor_missing(int fd) {
    intptr_t h = ::_get_osfhandle(fd);
    return h == -1 || h == -2;
}

// The runtime's own splitting of the command line, in UTF-16.
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expand, int* start_info);

}  // namespace

void program_arguments(int* argc, char*** argv) {
    int n = 0;
    wchar_t** wide = nullptr;
    wchar_t** env = nullptr;
    int new_mode = 0;
    if (__wgetmainargs(&n, &wide, &env, 0, &new_mode) != 0 || wide == nullptr || n != *argc) return;
    // Kept for the whole run, like the runtime's own argv.
    static std::vector<std::string> texts;
    static std::vector<char*> pointers;
    texts.assign(static_cast<size_t>(n), std::string());
    for (int i = 0; i < n; ++i) texts[i] = win::narrow_replacing(wide[i], wcslen(wide[i]));
    pointers.assign(static_cast<size_t>(n) + 1, nullptr);
    for (int i = 0; i < n; ++i) pointers[i] = &texts[i][0];
    *argv = pointers.data();
}

void prepare_process() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (!descriptor_missing(fd)) continue;
        int null_fd = ::_open("NUL", _O_RDWR | _O_BINARY | _O_NOINHERIT);
        if (null_fd >= 0 && null_fd != fd) {
            ::_dup2(null_fd, fd);
            ::_close(null_fd);
        }
    }
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &writer_thread, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    ::SetConsoleCtrlHandler(end_handler, TRUE);
}

namespace {

// Notes path in slot; remove_lock is held.
void note_path(int slot, const char* path) {
    win::WinPath os(path != nullptr ? path : "");
    // A path that cannot be spelt (too long) is not noted: nothing else
    // could be deleted by mistake.
    const wchar_t* text = os.ok() ? os.c_str() : L"";
    size_t n = wcsnlen(text, PATH_CAP - 1);
    memcpy(remove_paths[slot], text, n * sizeof(wchar_t));
    remove_paths[slot][n] = L'\0';
}

}  // namespace

void remove_on_signal(int slot, const char* path) {
    if (slot < 0 || slot >= N_REMOVE_SLOTS) return;
    ::AcquireSRWLockExclusive(&remove_lock);
    note_path(slot, path);
    ::ReleaseSRWLockExclusive(&remove_lock);
}

int _open_temp_noted(int slot, const char* beside, char* temp_path, size_t cap) {
    if (slot < 0 || slot >= N_REMOVE_SLOTS) return _open_temp(beside, temp_path, cap);
    // The handler waits for the lock: the file is noted before it can run.
    ::AcquireSRWLockExclusive(&remove_lock);
    int fd = _open_temp(beside, temp_path, cap);
    if (fd >= 0) note_path(slot, temp_path);
    ::ReleaseSRWLockExclusive(&remove_lock);
    return fd;
}

void truncate_on_signal(int fd, int64_t length) {
    HANDLE h = fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    ::AcquireSRWLockExclusive(&remove_lock);
    truncate_handle = h;
    truncate_length = length;
    ::ReleaseSRWLockExclusive(&remove_lock);
}

void block_end_signals(bool) {}

}  // namespace plat

#endif  // defined(_WIN32)
