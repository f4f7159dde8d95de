// Runs kelparc with the platform's read and write calls replaced, so that a
// test can make a source grow or shrink while it is stored, or a write fail,
// at an exact call:
//
//   seam_probe [RULE...] -- KELPARC-ARGUMENTS...
//
//   --fail-write=N   the Nth write (1 = the first) and every later one fail
//   --fail-read=K    the Kth read fails (-1)
//   --shrink=K       from the Kth read on, reads of that file find its end
//   --grow=K:N       from the Kth read on, that file seems N bytes longer
//                    (the bytes after its real end are 'g')
//
// Reads and writes are counted over the whole run (every file).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/options.h"
#include "platform/platform.h"

namespace {

long g_fail_write = 0, g_fail_read = 0, g_shrink = 0, g_grow = 0, g_grow_by = 0;
long g_reads = 0, g_writes = 0;
int g_changed_fd = -1;  // the file whose size the rule changes
long g_grow_left = 0;

long probe_read(int fd, void* buf, unsigned n) {
    ++g_reads;
    if (g_reads == g_fail_read) return -1;
    if (g_reads == g_shrink || g_reads == g_grow) {
        g_changed_fd = fd;
        g_grow_left = g_grow_by;
    }
    if (fd != g_changed_fd) return plat::system_io_calls().read(fd, buf, n);
    long got = g_shrink != 0 ? 0 : plat::system_io_calls().read(fd, buf, n);
    if (got >= 0 && static_cast<unsigned>(got) < n) {
        const long extra = static_cast<long>(n) - got < g_grow_left ? static_cast<long>(n) - got : g_grow_left;
        std::memset(static_cast<char*>(buf) + got, 'g', static_cast<size_t>(extra));
        g_grow_left -= extra;
        got += extra;
    }
    // The file's end is reached: the handle number may be another file's next.
    if (got < static_cast<long>(n)) g_changed_fd = -1;
    return got;
}

long probe_write(int fd, const void* buf, unsigned n) {
    ++g_writes;
    if (g_fail_write != 0 && g_writes >= g_fail_write) return -1;
    return plat::system_io_calls().write(fd, buf, n);
}

const plat::IoCalls probe_calls = {probe_read, probe_write};

bool take_rule(const char* arg) {
    if (std::sscanf(arg, "--fail-write=%ld", &g_fail_write) == 1) return true;
    if (std::sscanf(arg, "--fail-read=%ld", &g_fail_read) == 1) return true;
    if (std::sscanf(arg, "--shrink=%ld", &g_shrink) == 1) return true;
    return std::sscanf(arg, "--grow=%ld:%ld", &g_grow, &g_grow_by) == 2;
}

}  // namespace

int main(int argc, char** argv) {
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (!take_rule(argv[i])) {
            std::fprintf(stderr, "seam_probe: bad rule %s\n", argv[i]);
            return 2;
        }
    }
    std::vector<char*> args{argv[0]};
    for (++i; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    plat::prepare_process();
    plat::set_io_calls(&probe_calls);
    const int rc = kelparc_main(static_cast<int>(args.size()) - 1, args.data(), real_operations);
    std::fflush(stdout);
    return rc;
}
