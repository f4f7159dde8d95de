// What the Windows files of the platform layer share: the thread's last
// error and the bounded path copy every call is given.  Included only by
// platform_windows_*.cpp, after <windows.h>.
#pragma once
#if defined(_WIN32)

#include <cstdint>

#include "platform/platform.h"

namespace plat {
namespace win {

// The thread's last error, as GetLastError reports it.
void set_error(uint32_t code);
uint32_t last_error();

// Records errno (set by a runtime call) as the last error; returns -1.
int fail_errno();
// Records the kernel's GetLastError as the last error; returns -1.
int fail_system();
// Records code (a Windows error number) as the last error; returns -1.
int fail_with(uint32_t code);

constexpr uint32_t ERR_FILENAME_TOO_LONG = 206;  // ERROR_FILENAME_EXCED_RANGE

bool is_sep(char c);

// A path as the system is given it: a bounded copy with every '/' turned
// into '\'.  A path that does not fit PATH_CAP is refused, never cut; ok()
// is false then (and for a null path).
class WinPath {
public:
    explicit WinPath(const char* path);
    bool ok() const { return ok_; }
    const char* c_str() const { return text_; }
    // Drops trailing separators, but keeps a root ("\", "C:\").
    void trim_trailing_separators();

private:
    char text_[PATH_CAP];
    bool ok_ = false;
};

}  // namespace win
}  // namespace plat

#endif  // defined(_WIN32)
