// A preload library for the fault sweep (test code only, never linked into
// kelparc): it counts the program's calls of each kind of file operation
// and makes one of them fail.
//
//   KELPARC_FAULT=KIND:N:HOW   the Nth call of KIND fails, HOW being
//                              eio, enospc, eintr (once, then the call runs
//                              as usual) or short (half the bytes)
//   KELPARC_FAULT_REPORT=PATH  at exit, one line "KIND COUNT" per kind and
//                              "hit 1" when the fault was injected
//   KELPARC_FAULT_NO_OPENAT2=1 openat2 answers ENOSYS, as on older kernels
//
// KIND is one of open (open, openat, mkostemp, openat2), read, write,
// close, rename, ftruncate, fsync, mkdir, utimensat, chmod, setxattr,
// lseek, access, getcwd.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum Kind { OPEN, READ, WRITE, CLOSE, RENAME, FTRUNCATE, FSYNC, MKDIR, UTIMENSAT, CHMOD, SETXATTR, LSEEK,
            ACCESS, GETCWD, N_KINDS };
const char* const KIND_NAMES[N_KINDS] = {"open",  "read",      "write",    "close", "rename",
                                         "ftruncate", "fsync", "mkdir",    "utimensat", "chmod",
                                         "setxattr", "lseek", "access",   "getcwd"};
enum How { NONE, EIO_, ENOSPC_, EINTR_, SHORT_ };

std::atomic<long> counts[N_KINDS];
std::atomic<bool> hit{false};
int fault_kind = -1;
long fault_n = 0;
How fault_how = NONE;
bool no_openat2 = false;

__attribute__((constructor)) void take_rule() {
    const char* rule = std::getenv("KELPARC_FAULT");
    no_openat2 = std::getenv("KELPARC_FAULT_NO_OPENAT2") != nullptr;
    if (rule == nullptr) return;
    char kind[32] = "", how[16] = "";
    if (std::sscanf(rule, "%31[a-z]:%ld:%15s", kind, &fault_n, how) != 3) return;
    for (int k = 0; k < N_KINDS; ++k)
        if (std::strcmp(kind, KIND_NAMES[k]) == 0) fault_kind = k;
    fault_how = std::strcmp(how, "eio") == 0      ? EIO_
                : std::strcmp(how, "enospc") == 0 ? ENOSPC_
                : std::strcmp(how, "eintr") == 0  ? EINTR_
                : std::strcmp(how, "short") == 0  ? SHORT_
                                                  : NONE;
}

__attribute__((destructor)) void report() {
    const char* path = std::getenv("KELPARC_FAULT_REPORT");
    if (path == nullptr) return;
    FILE* f = std::fopen(path, "w");
    if (f == nullptr) return;
    for (int k = 0; k < N_KINDS; ++k) std::fprintf(f, "%s %ld\n", KIND_NAMES[k], counts[k].load());
    std::fprintf(f, "hit %d\n", hit.load() ? 1 : 0);
    std::fclose(f);
}

// Counts a call of kind; returns how it is to fail (NONE: it runs).
How take(Kind kind) {
    long n = ++counts[kind];
    if (kind != fault_kind || n != fault_n) return NONE;
    hit = true;
    return fault_how;
}

// The failure of a call that returns -1, or 0 when the call is to run.
int failed(How how) {
    if (how == NONE || how == SHORT_) return 0;
    errno = how == EIO_ ? EIO : how == ENOSPC_ ? ENOSPC : EINTR;
    return -1;
}

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

mode_t mode_arg(int flags, va_list ap) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

}  // namespace

extern "C" {

using OpenCall = int (*)(const char*, int, ...);
using OpenAtCall = int (*)(int, const char*, int, ...);

#define OPEN_LIKE(name)                                             \
    int name(const char* path, int flags, ...) {                    \
        va_list ap;                                                 \
        va_start(ap, flags);                                        \
        mode_t mode = mode_arg(flags, ap);                          \
        va_end(ap);                                                 \
        static OpenCall real = next<OpenCall>(#name);               \
        return failed(take(OPEN)) != 0 ? -1 : real(path, flags, mode); \
    }
#define OPENAT_LIKE(name)                                                  \
    int name(int dirfd, const char* path, int flags, ...) {                \
        va_list ap;                                                        \
        va_start(ap, flags);                                               \
        mode_t mode = mode_arg(flags, ap);                                 \
        va_end(ap);                                                        \
        static OpenAtCall real = next<OpenAtCall>(#name);                  \
        return failed(take(OPEN)) != 0 ? -1 : real(dirfd, path, flags, mode); \
    }
OPEN_LIKE(open)
OPEN_LIKE(open64)
OPENAT_LIKE(openat)
OPENAT_LIKE(openat64)

int mkostemp(char* templ, int flags) {
    if (failed(take(OPEN)) != 0) return -1;
    return next<int (*)(char*, int)>("mkostemp")(templ, flags);
}
int mkostemp64(char* templ, int flags) {
    if (failed(take(OPEN)) != 0) return -1;
    return next<int (*)(char*, int)>("mkostemp64")(templ, flags);
}

long syscall(long number, ...) {
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (long& x : a) x = va_arg(ap, long);
    va_end(ap);
#ifdef SYS_openat2
    if (number == SYS_openat2) {
        if (no_openat2) {
            errno = ENOSYS;
            return -1;
        }
        if (failed(take(OPEN)) != 0) return -1;
    }
#endif
    return next<long (*)(long, ...)>("syscall")(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

ssize_t read(int fd, void* buf, size_t n) {
    How how = take(READ);
    if (failed(how) != 0) return -1;
    if (how == SHORT_ && n > 1) n /= 2;
    return next<ssize_t (*)(int, void*, size_t)>("read")(fd, buf, n);
}
ssize_t write(int fd, const void* buf, size_t n) {
    How how = take(WRITE);
    if (failed(how) != 0) return -1;
    if (how == SHORT_ && n > 1) n /= 2;
    return next<ssize_t (*)(int, const void*, size_t)>("write")(fd, buf, n);
}
int close(int fd) {
    if (failed(take(CLOSE)) != 0) {
        // The descriptor is gone all the same, as Linux closes it on EIO.
        next<int (*)(int)>("close")(fd);
        errno = EIO;
        return -1;
    }
    return next<int (*)(int)>("close")(fd);
}
int rename(const char* from, const char* to) {
    if (failed(take(RENAME)) != 0) return -1;
    return next<int (*)(const char*, const char*)>("rename")(from, to);
}
int renameat(int fd1, const char* from, int fd2, const char* to) {
    if (failed(take(RENAME)) != 0) return -1;
    return next<int (*)(int, const char*, int, const char*)>("renameat")(fd1, from, fd2, to);
}
int ftruncate(int fd, off_t len) {
    if (failed(take(FTRUNCATE)) != 0) return -1;
    return next<int (*)(int, off_t)>("ftruncate")(fd, len);
}
int ftruncate64(int fd, off_t len) {
    if (failed(take(FTRUNCATE)) != 0) return -1;
    return next<int (*)(int, off_t)>("ftruncate64")(fd, len);
}
int fsync(int fd) {
    if (failed(take(FSYNC)) != 0) return -1;
    return next<int (*)(int)>("fsync")(fd);
}
int fdatasync(int fd) {
    if (failed(take(FSYNC)) != 0) return -1;
    return next<int (*)(int)>("fdatasync")(fd);
}
int mkdir(const char* path, mode_t mode) {
    if (failed(take(MKDIR)) != 0) return -1;
    return next<int (*)(const char*, mode_t)>("mkdir")(path, mode);
}
int mkdirat(int fd, const char* path, mode_t mode) {
    if (failed(take(MKDIR)) != 0) return -1;
    return next<int (*)(int, const char*, mode_t)>("mkdirat")(fd, path, mode);
}
int utimensat(int fd, const char* path, const struct timespec times[2], int flags) {
    if (failed(take(UTIMENSAT)) != 0) return -1;
    return next<int (*)(int, const char*, const struct timespec*, int)>("utimensat")(fd, path, times, flags);
}
int futimens(int fd, const struct timespec times[2]) {
    if (failed(take(UTIMENSAT)) != 0) return -1;
    return next<int (*)(int, const struct timespec*)>("futimens")(fd, times);
}
int chmod(const char* path, mode_t mode) {
    if (failed(take(CHMOD)) != 0) return -1;
    return next<int (*)(const char*, mode_t)>("chmod")(path, mode);
}
int fchmod(int fd, mode_t mode) {
    if (failed(take(CHMOD)) != 0) return -1;
    return next<int (*)(int, mode_t)>("fchmod")(fd, mode);
}
int fchmodat(int fd, const char* path, mode_t mode, int flags) {
    if (failed(take(CHMOD)) != 0) return -1;
    return next<int (*)(int, const char*, mode_t, int)>("fchmodat")(fd, path, mode, flags);
}
int setxattr(const char* path, const char* name, const void* value, size_t size, int flags) {
    if (failed(take(SETXATTR)) != 0) return -1;
    return next<int (*)(const char*, const char*, const void*, size_t, int)>("setxattr")(path, name, value, size,
                                                                                        flags);
}
int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
    if (failed(take(SETXATTR)) != 0) return -1;
    return next<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr")(fd, name, value, size, flags);
}
off_t lseek(int fd, off_t offset, int whence) {
    if (failed(take(LSEEK)) != 0) return -1;
    return next<off_t (*)(int, off_t, int)>("lseek")(fd, offset, whence);
}
off_t lseek64(int fd, off_t offset, int whence) {
    if (failed(take(LSEEK)) != 0) return -1;
    return next<off_t (*)(int, off_t, int)>("lseek64")(fd, offset, whence);
}
int access(const char* path, int how) {
    if (failed(take(ACCESS)) != 0) return -1;
    return next<int (*)(const char*, int)>("access")(path, how);
}
char* getcwd(char* buf, size_t size) {
    if (failed(take(GETCWD)) != 0) return nullptr;
    return next<char* (*)(char*, size_t)>("getcwd")(buf, size);
}

}  // extern "C"
