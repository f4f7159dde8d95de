// What the Windows files of the platform layer share: the thread's last
// error, the conversions between the program's UTF-8 and the system's
// UTF-16, and the path every call is given.  Included only by
// platform_windows_*.cpp, after <windows.h>.
#pragma once
#if defined(_WIN32)

#include <cstddef>
#include <cstdint>
#include <string>

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
constexpr uint32_t ERR_INVALID_NAME = 123;       // ERROR_INVALID_NAME

bool is_sep(char c);

// Appends the UTF-16 form of the n bytes at text to out: read as UTF-8, or,
// when they are not valid UTF-8, in the ANSI code page.  Returns false (out
// as it was) when they are valid in neither.
bool widen_piece(const char* text, size_t n, std::wstring* out);

// The UTF-16 form of text, piece by piece between the bytes of breaks (each
// kept as it is), every piece as widen_piece reads it.  False when a piece
// is valid in neither reading.
bool widen(const char* text, size_t n, const char* breaks, std::wstring* out);

// The UTF-8 form of n UTF-16 units.  False (out empty) when they are not
// valid UTF-16 (an unpaired surrogate).
bool narrow(const wchar_t* text, size_t n, std::string* out);

// The UTF-8 form of n UTF-16 units, an unpaired surrogate becoming U+FFFD.
std::string narrow_replacing(const wchar_t* text, size_t n);

// A path as the system's wide calls are given it: the UTF-16 form of the
// path's components (widen_piece), every '/' turned into '\'; an absolute
// path longer than MAX_PATH - 1 (a relative one is made absolute first,
// against the working directory) with \\?\ in front, \\?\UNC\ for a share.
// A path of PATH_CAP bytes or more, or one that cannot be read, is refused,
// never cut; ok() is false then (and for a null path), with the last error
// set.
class WinPath {
public:
    explicit WinPath(const char* path);
    bool ok() const { return ok_; }
    const wchar_t* c_str() const { return text_.c_str(); }
    // Drops trailing separators, but keeps a root ("\", "C:\", "\\?\C:\").
    void trim_trailing_separators();

private:
    std::wstring text_;
    bool ok_ = false;
};

// The program's form of a path the system gave: UTF-8, with a \\?\ or
// \\?\UNC\ prefix taken off again.  False when it cannot be converted.
bool program_path(const wchar_t* text, size_t n, std::string* out);

}  // namespace win
}  // namespace plat

#endif  // defined(_WIN32)
