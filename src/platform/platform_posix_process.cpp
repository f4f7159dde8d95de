// The platform's process services on POSIX systems: standard descriptors
// that are missing are opened on /dev/null at start, and the files noted by
// remove_on_signal are deleted when a signal ends the process.
#if !defined(_WIN32)

#define _FILE_OFFSET_BITS 64

#include "platform/platform_posix_internal.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace plat {

namespace {

// The files to delete when a signal ends the process (remove_on_signal), as
// the kernel spells them; a slot counts only while its flag is set.  Only
// the main thread notes them and only the main thread takes the signals
// (the workers block them), so the handler runs between two steps of the
// main thread: a flag is cleared before its path changes and set after, and
// the handler never sees half a path.
constexpr int N_REMOVE_SLOTS = 2;
char remove_paths[N_REMOVE_SLOTS][PATH_CAP];
volatile sig_atomic_t remove_noted[N_REMOVE_SLOTS];
// SIGXFSZ: a write past the file size limit (ulimit -f) kills the process
// by default; the file being written is then only half there.
const int REMOVE_SIGNALS[] = {SIGHUP, SIGINT, SIGTERM, SIGXFSZ};

// The archive being appended to (truncate_on_signal): its descriptor, or
// -1, and the length to cut it back to.  Changed only with the signals
// blocked.
int truncate_fd = -1;
off_t truncate_length = 0;

// A signal that ends the process: cut back an append, delete the files
// noted, put the terminal back when it is raw, then die of the signal as
// before.  Only async-signal-safe calls.
void end_by_signal(int sig) {
    if (truncate_fd >= 0) (void)::ftruncate(truncate_fd, truncate_length);
    for (int i = 0; i < N_REMOVE_SLOTS; ++i) {
        if (remove_noted[i] && remove_paths[i][0] != '\0') ::unlink(remove_paths[i]);
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

namespace {

// Blocks every signal whose handler is end_by_signal for the calling
// thread; *old receives the mask to set back.
void block_handled(sigset_t* old) {
    sigset_t block;
    sigemptyset(&block);
    for (int sig : HANDLED_SIGNALS) sigaddset(&block, sig);
    ::pthread_sigmask(SIG_BLOCK, &block, old);
}

void set_mask_back(const sigset_t* old) {
    int err = errno;
    ::pthread_sigmask(SIG_SETMASK, old, nullptr);
    errno = err;
}

}  // namespace

void remove_on_signal(int slot, const char* path) {
    if (slot < 0 || slot >= N_REMOVE_SLOTS) return;
    OsPath os(path != nullptr ? path : "");
    remove_noted[slot] = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    // A path that cannot be spelt (too long) is not noted: nothing else
    // could be deleted by mistake.
    memcpy(remove_paths[slot], os.ok() ? os.c_str() : "", os.ok() ? strlen(os.c_str()) + 1 : 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    remove_noted[slot] = remove_paths[slot][0] != '\0';
}

int _open_temp_noted(int slot, const char* beside, char* temp_path, size_t cap) {
    sigset_t old;
    block_handled(&old);
    int fd = _open_temp(beside, temp_path, cap);
    if (fd >= 0) remove_on_signal(slot, temp_path);
    set_mask_back(&old);
    return fd;
}

void truncate_on_signal(int fd, int64_t length) {
    sigset_t old;
    block_handled(&old);
    truncate_fd = fd;
    truncate_length = static_cast<off_t>(length);
    set_mask_back(&old);
}

void block_end_signals(bool block) {
    static thread_local sigset_t before;
    if (block) block_handled(&before);
    else set_mask_back(&before);
}

}  // namespace plat

#endif  // !defined(_WIN32)
