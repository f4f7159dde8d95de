// Each system's own read and write calls, which the replaceable table of
// calls starts with (io_calls.cpp).  Included only by the platform files.
#pragma once

namespace plat {

// Reads up to n bytes, retrying short reads until the end of the file.
// Returns the count read, or -1 with the last error set.
long system_read(int fd, void* buf, unsigned n);
// Writes n bytes, retrying short writes.  Returns n; the count written
// when a later piece failed; -1 when nothing was written (last error set).
long system_write(int fd, const void* buf, unsigned n);

}  // namespace plat
