// The Windows error numbers both platform files report for the errno values
// of the C runtime, so both builds give callers the same codes.  Included
// only by src/platform files.
#pragma once

#include <cerrno>
#include <cstdint>

namespace plat {

// None of the results is 18, which GetLastError keeps for "no more files".
inline uint32_t error_code_of(int err) {
    switch (err) {
    case ENXIO: return 1;         // neither a file nor a directory
    case ENOENT: return 2;        // file not found
    case ENOTDIR: return 3;       // path not found
    case EMFILE:
    case ENFILE: return 4;        // too many open files
    case EACCES:
    case EPERM: return 5;         // access denied
    case EBADF: return 6;         // invalid handle
    case ENOMEM: return 8;        // not enough memory
    case EEXIST: return 80;       // file exists
    case ENOSPC: return 112;      // disk full
    case EAGAIN: return 33;       // locked by another process (or a read would wait)
    case ENAMETOOLONG: return 206;  // file name too long
    default: return 31;           // general failure
    }
}

}  // namespace plat
