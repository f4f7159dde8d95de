// The Windows platform files' shared pieces: last error, the conversions
// between UTF-8 and UTF-16, and the paths the wide calls are given.
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

// The longest path the wide calls take, in UTF-16 units without the NUL.
constexpr size_t WIDE_PATH_MAX = 32767;

bool wide_sep(wchar_t c) { return c == L'\\' || c == L'/'; }

bool is_absolute(const std::wstring& p) {
    return (p.size() >= 3 && p[1] == L':' && wide_sep(p[2])) || (p.size() >= 2 && wide_sep(p[0]) && wide_sep(p[1]));
}

// Appends n bytes of text read in code page cp; false when they are not
// valid there.
bool widen_in(UINT cp, const char* text, size_t n, std::wstring* out) {
    int units = ::MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, text, static_cast<int>(n), nullptr, 0);
    if (units <= 0) return false;
    size_t at = out->size();
    out->resize(at + static_cast<size_t>(units));
    ::MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, text, static_cast<int>(n), &(*out)[at], units);
    return true;
}

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

bool widen_piece(const char* text, size_t n, std::wstring* out) {
    if (n == 0) return true;
    if (n > WIDE_PATH_MAX * 4) return false;
    return widen_in(CP_UTF8, text, n, out) || widen_in(CP_ACP, text, n, out);
}

bool widen(const char* text, size_t n, const char* breaks, std::wstring* out) {
    size_t start = 0;
    for (size_t i = 0; i <= n; ++i) {
        if (i < n && std::strchr(breaks, text[i]) == nullptr) continue;
        if (!widen_piece(text + start, i - start, out)) return false;
        if (i < n) out->push_back(static_cast<wchar_t>(static_cast<unsigned char>(text[i])));
        start = i + 1;
    }
    return true;
}

bool narrow(const wchar_t* text, size_t n, std::string* out) {
    out->clear();
    if (n == 0) return true;
    int bytes = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, static_cast<int>(n), nullptr, 0, nullptr,
                                      nullptr);
    if (bytes <= 0) return false;
    out->resize(static_cast<size_t>(bytes));
    ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, static_cast<int>(n), &(*out)[0], bytes, nullptr,
                          nullptr);
    return true;
}

std::string narrow_replacing(const wchar_t* text, size_t n) {
    std::string out;
    if (narrow(text, n, &out)) return out;
    int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return out;
    out.resize(static_cast<size_t>(bytes));
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), &out[0], bytes, nullptr, nullptr);
    return out;
}

WinPath::WinPath(const char* path) {
    if (path == nullptr) {
        errno = ENOENT;
        fail_errno();
        return;
    }
    size_t len = strnlen(path, PATH_CAP);
    if (len >= static_cast<size_t>(PATH_CAP)) {
        errno = ENAMETOOLONG;
        fail_errno();
        return;
    }
    if (!widen(path, len, "/\\", &text_)) {
        text_.clear();
        fail_with(ERR_INVALID_NAME);
        return;
    }
    for (wchar_t& c : text_) {
        if (c == L'/') c = L'\\';
    }
    ok_ = true;
    // A path already in \\?\ or \\.\ form is the caller's as it is.
    if (text_.compare(0, 4, L"\\\\?\\") == 0 || text_.compare(0, 4, L"\\\\.\\") == 0) return;
    bool absolute = is_absolute(text_);
    if (absolute && text_.size() < MAX_PATH) return;
    // The absolute form, "." and ".." collapsed (the kernel does not
    // collapse them in a \\?\ path); short enough, the path stays as given.
    DWORD need = ::GetFullPathNameW(text_.c_str(), 0, nullptr, nullptr);
    std::wstring full(need + 1, L'\0');
    DWORD got = need == 0 ? 0 : ::GetFullPathNameW(text_.c_str(), need + 1, &full[0], nullptr);
    if (got == 0 || got > need) {
        if (absolute || need == 0) {
            text_.clear();
            ok_ = false;
            fail_system();
        }
        return;
    }
    full.resize(got);
    if (full.size() < MAX_PATH) return;
    if (full.compare(0, 2, L"\\\\") == 0) full.replace(0, 2, L"\\\\?\\UNC\\");
    else full.insert(0, L"\\\\?\\");
    if (full.size() > WIDE_PATH_MAX) {
        text_.clear();
        ok_ = false;
        fail_with(ERR_FILENAME_TOO_LONG);
        return;
    }
    text_ = full;
}

void WinPath::trim_trailing_separators() {
    size_t len = text_.size();
    size_t base = text_.compare(0, 4, L"\\\\?\\") == 0 ? 4 : 0;
    // The root of a drive ("C:\") or of the current drive ("\") stays.
    size_t keep = (len >= base + 2 && text_[base + 1] == L':') ? base + 3 : base + 1;
    while (len > keep && text_[len - 1] == L'\\') --len;
    text_.resize(len);
}

bool program_path(const wchar_t* text, size_t n, std::string* out) {
    std::wstring plain(text, n);
    if (plain.compare(0, 8, L"\\\\?\\UNC\\") == 0) plain.replace(0, 8, L"\\\\");
    else if (plain.compare(0, 4, L"\\\\?\\") == 0) plain.erase(0, 4);
    return narrow(plain.data(), plain.size(), out);
}

}  // namespace win

// The runtime does not always turn the kernel's "pipe is being closed" into
// EPIPE; the kernel's own code, right after the failed write, tells.
bool stdout_pipe_closed() {
    const DWORD code = ::GetLastError();
    return errno == EPIPE || code == ERROR_NO_DATA || code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED;
}

}  // namespace plat

#endif  // defined(_WIN32)
