// The POSIX platform files' shared pieces: the thread's last error, paths
// made absolute and split, local time, and the names an archive may hold.
#if !defined(_WIN32)

#define _FILE_OFFSET_BITS 64

#include "platform/platform_posix_internal.h"
#include "platform/tm_fields.h"

#include <time.h>
#include <cstdio>
#include <cstring>
#include <string>

namespace plat {

thread_local uint32_t last_error = 0;

int fail() {
    last_error = error_code_of(errno);
    return -1;
}

int fail_with(int err) {
    errno = err;
    return fail();
}

uint32_t GetLastError() { return last_error; }

bool stdout_pipe_closed() { return errno == EPIPE; }

namespace {

// Copies at most 255 bytes of src[0..len) into dst and terminates it (the
// parts of _splitpath are 256-byte buffers).
void copy_part(char* dst, const char* src, size_t len) {
    if (dst == nullptr) return;
    if (len > 255) len = 255;
    memcpy(dst, src, len);
    dst[len] = '\0';
}

}  // namespace

// ---- paths ----------------------------------------------------------------

char* _fullpath(char* out, const char* path, size_t size) {
    if (out == nullptr || path == nullptr || size == 0) {
        fail_with(EINVAL);
        return nullptr;
    }
    // The working directory, a separator and the path: at most two PATH_CAP.
    char joined[2 * PATH_CAP + 1];
    size_t len = 0;
    if (!is_sep(path[0])) {
        if (::getcwd(joined, PATH_CAP) == nullptr) {
            fail();
            return nullptr;
        }
        len = strlen(joined);
        joined[len++] = '/';
    }
    size_t path_len = strnlen(path, PATH_CAP);
    if (path_len >= static_cast<size_t>(PATH_CAP)) {
        fail_with(ENAMETOOLONG);
        return nullptr;
    }
    memcpy(joined + len, path, path_len + 1);
    // Collapse component by component into norm: "." is dropped, ".."
    // removes the component before it (never above the root).
    char norm[2 * PATH_CAP + 2];
    size_t norm_len = 0;
    const char* p = joined;
    while (*p != '\0') {
        while (is_sep(*p)) ++p;
        const char* start = p;
        while (*p != '\0' && !is_sep(*p)) ++p;
        size_t comp_len = static_cast<size_t>(p - start);
        if (comp_len == 0 || (comp_len == 1 && start[0] == '.')) continue;
        if (comp_len == 2 && start[0] == '.' && start[1] == '.') {
            while (norm_len > 0 && norm[norm_len - 1] != '/') --norm_len;
            if (norm_len > 0) --norm_len;
            continue;
        }
        norm[norm_len++] = '/';
        memcpy(norm + norm_len, start, comp_len);
        norm_len += comp_len;
    }
    if (norm_len == 0) norm[norm_len++] = '/';
    if (norm_len >= size) {
        fail_with(ENAMETOOLONG);
        return nullptr;
    }
    memcpy(out, norm, norm_len);
    out[norm_len] = '\0';
    return out;
}

void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext) {
    if (drive != nullptr) drive[0] = '\0';
    if (path == nullptr) path = "";
    size_t len = strlen(path);
    size_t name_at = len;
    while (name_at > 0 && !is_sep(path[name_at - 1])) --name_at;
    size_t dot = len;
    for (size_t i = len; i > name_at; --i) {
        if (path[i - 1] == '.') {
            dot = i - 1;
            break;
        }
    }
    copy_part(dir, path, name_at);
    copy_part(fname, path + name_at, dot - name_at);
    copy_part(ext, path + dot, len - dot);
}

// ---- local time -----------------------------------------------------------

bool local_time(int64_t seconds, LocalTime* out) {
    time_t t = static_cast<time_t>(seconds);
    if (static_cast<int64_t>(t) != seconds) return false;
    struct tm tm_local;
    if (localtime_r(&t, &tm_local) == nullptr) return false;
    copy_local_time(tm_local, out);
    return true;
}

// ---- names from archives ---------------------------------------------------

// Every name that is not "." or ".." and holds no '/' is an ordinary file
// name here: "C:", "12:30.log" and "CON" included.
size_t foreign_root_len(const char*) { return 0; }

bool safe_component(const char*, size_t, std::string*) { return false; }

}  // namespace plat

#endif  // !defined(_WIN32)
