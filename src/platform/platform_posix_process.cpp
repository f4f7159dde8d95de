// The platform's process services on POSIX systems: standard descriptors
// that are missing are opened on /dev/null at start, and the files noted by
// remove_on_signal are deleted when a signal ends the process.
#if !defined(_WIN32)

#define _FILE_OFFSET_BITS 64

#include "platform/platform_posix_internal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <cstring>

namespace plat {

namespace {

// The files to delete when a signal ends the process (remove_on_signal), as
// the kernel spells them; an empty text is a free slot.  They are changed
// only with the signals blocked, so the handler never sees half a path.
constexpr int N_REMOVE_SLOTS = 2;
char remove_paths[N_REMOVE_SLOTS][PATH_CAP];
// SIGXFSZ: a write past the file size limit (ulimit -f) kills the process
// by default; the file being written is then only half there.
const int REMOVE_SIGNALS[] = {SIGHUP, SIGINT, SIGTERM, SIGXFSZ};

// A signal that ends the process: delete the files noted, put the terminal
// back when it is raw, then die of the signal as before.  Only
// async-signal-safe calls.
void end_by_signal(int sig) {
    for (int i = 0; i < N_REMOVE_SLOTS; ++i) {
        if (remove_paths[i][0] != '\0') ::unlink(remove_paths[i]);
    }
    restore_console_from_signal();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Every signal whose handler is end_by_signal: blocked while a path is
// noted, so that the handler never sees half of one.
const int HANDLED_SIGNALS[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGXFSZ};

}  // namespace

// An ignored signal stays ignored, a program's own handler stays in charge
// (end_by_signal installed earlier included).

void install_end_handler(int sig, struct sigaction* previous) {
    struct sigaction found;
    ::sigaction(sig, nullptr, &found);
    if (previous != nullptr) *previous = found;
    if (found.sa_handler != SIG_DFL || (found.sa_flags & SA_SIGINFO)) return;
    struct sigaction act;
    memset(&act, 0, sizeof act);
    act.sa_handler = end_by_signal;
    sigemptyset(&act.sa_mask);
    ::sigaction(sig, &act, nullptr);
}

void program_arguments(int*, char***) {}

void prepare_process() {
    // Lowest first: each open takes the lowest free descriptor, which is
    // then the closed one.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int null_fd = ::open("/dev/null", O_RDWR | O_NOCTTY);
        if (null_fd >= 0 && null_fd != fd) {
            ::dup2(null_fd, fd);
            ::close(null_fd);
        }
    }
    for (int sig : REMOVE_SIGNALS) install_end_handler(sig, nullptr);
    // EPIPE from the write instead: the caller reports it and cleans up.
    ::signal(SIGPIPE, SIG_IGN);
}

void remove_on_signal(int slot, const char* path) {
    if (slot < 0 || slot >= N_REMOVE_SLOTS) return;
    OsPath os(path != nullptr ? path : "");
    sigset_t block, old;
    sigemptyset(&block);
    for (int sig : HANDLED_SIGNALS) sigaddset(&block, sig);
    ::sigprocmask(SIG_BLOCK, &block, &old);
    // A path that cannot be spelt (too long) is not noted: nothing else
    // could be deleted by mistake.
    memcpy(remove_paths[slot], os.ok() ? os.c_str() : "", os.ok() ? strlen(os.c_str()) + 1 : 1);
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace plat

#endif  // !defined(_WIN32)
