// The platform's console and command-line services on POSIX systems: keys
// read from the controlling terminal in raw mode (standard input when there
// is none), with cursor and function keys turned into the PC's two codes,
// characters written to the terminal, and '-' alone as the option prefix.
#if !defined(_WIN32)

#define _FILE_OFFSET_BITS 64

#include "platform/platform_posix_internal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>
#include <cctype>
#include <cerrno>

namespace plat {

namespace {

// The controlling terminal, opened once; -1 when the process has none.
int console_fd() {
    static int fd = -2;
    if (fd == -2) fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    return fd;
}

// Second code of a two-part key, handed out by the next _getch.
int pending_key = -1;

// Set when standard input is not to be read for keys.
bool console_only = false;

// The terminal settings to put back, also from a signal handler.
struct termios saved_termios;
volatile sig_atomic_t termios_saved = 0;
const int RESTORE_SIGNALS[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
constexpr int N_RESTORE_SIGNALS = sizeof RESTORE_SIGNALS / sizeof RESTORE_SIGNALS[0];
struct sigaction saved_actions[N_RESTORE_SIGNALS];

void install_restore_handlers() {
    for (int i = 0; i < N_RESTORE_SIGNALS; ++i) install_end_handler(RESTORE_SIGNALS[i], &saved_actions[i]);
}

void remove_restore_handlers() {
    for (int i = 0; i < N_RESTORE_SIGNALS; ++i) ::sigaction(RESTORE_SIGNALS[i], &saved_actions[i], nullptr);
}

// One byte from fd, EINTR retried.  timeout_ms < 0 waits as long as it
// takes.  Returns the byte, or -1 at end of input, on error or timeout.
int read_byte(int fd, int timeout_ms) {
    for (;;) {
        if (timeout_ms >= 0) {
            struct pollfd pfd = {fd, POLLIN, 0};
            int ready = ::poll(&pfd, 1, timeout_ms);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return -1;
        }
        unsigned char c = 0;
        ssize_t n = ::read(fd, &c, 1);
        if (n == 1) return c;
        if (n < 0 && errno == EINTR) continue;
        return -1;
    }
}

// Key codes as the prompt knows them.
int key_code_of(int byte) {
    switch (byte) {
    case '\n':
    case '\r': return 13;
    case 127: return 8;
    case 4: return 26;  // Ctrl+D ends the entry as Ctrl+Z does
    default: return byte;
    }
}

// The second code of a cursor or function key, from the final byte of its
// escape sequence (and the number before '~'), in the PC scan codes.
int scan_code_of(int final_byte, int number) {
    switch (final_byte) {
    case 'A': return 72;  // up
    case 'B': return 80;  // down
    case 'C': return 77;  // right
    case 'D': return 75;  // left
    case 'H': return 71;  // home
    case 'F': return 79;  // end
    case 'P': return 59;  // F1
    case 'Q': return 60;
    case 'R': return 61;
    case 'S': return 62;  // F4
    case '~':
        switch (number) {
        case 1: return 71;
        case 2: return 82;  // insert
        case 3: return 83;  // delete
        case 4: return 79;
        case 5: return 73;  // page up
        case 6: return 81;  // page down
        default: return 0x85;
        }
    default: return final_byte < 0 ? 0 : final_byte;
    }
}

// After ESC on the terminal: a sequence ESC '[' ... final or ESC 'O' final
// becomes 0xE0 and its scan code; a lone ESC stays 27.  The rest of a
// sequence arrives at once, so a short wait tells the two apart.
int read_escape(int fd) {
    const int WAIT_MS = 50;
    int next = read_byte(fd, WAIT_MS);
    if (next < 0) return 27;
    if (next != '[' && next != 'O') {
        pending_key = key_code_of(next);  // ESC then an ordinary key
        return 27;
    }
    int number = 0;
    int c = read_byte(fd, WAIT_MS);
    // Parameter and intermediate bytes (0x20-0x3F) come before the final one.
    for (int guard = 0; c >= 0x20 && c <= 0x3F && guard < 32; ++guard) {
        if (c >= '0' && c <= '9' && number < 1000) number = number * 10 + (c - '0');
        c = read_byte(fd, WAIT_MS);
    }
    pending_key = scan_code_of(c, number);
    return 0xE0;
}

// One key from the terminal in raw mode, the settings put back on every
// way out.
int getch_terminal(int fd) {
    struct termios raw;
    if (::tcgetattr(fd, &saved_termios) != 0) {
        int byte = read_byte(fd, -1);
        return byte < 0 ? -1 : key_code_of(byte);
    }
    raw = saved_termios;
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    termios_saved = 1;
    install_restore_handlers();
    // TCSANOW keeps keys typed ahead of the call.
    int key = -1;
    if (::tcsetattr(fd, TCSANOW, &raw) == 0) {
        int byte = read_byte(fd, -1);
        key = byte == 27 ? read_escape(fd) : byte < 0 ? -1 : key_code_of(byte);
    }
    ::tcsetattr(fd, TCSANOW, &saved_termios);
    termios_saved = 0;
    remove_restore_handlers();
    return key;
}

}  // namespace

void restore_console_from_signal() {
    if (termios_saved) ::tcsetattr(console_fd(), TCSANOW, &saved_termios);
}

int _getch() {
    if (pending_key >= 0) {
        int key = pending_key;
        pending_key = -1;
        return key;
    }
    int fd = console_fd();
    if (fd >= 0) return getch_terminal(fd);
    if (console_only) return -1;
    // No terminal: the keys are the bytes of standard input.
    int byte = read_byte(STDIN_FILENO, -1);
    return byte < 0 ? -1 : key_code_of(byte);
}

int _putch(int c) {
    int fd = console_fd();
    unsigned char byte = static_cast<unsigned char>(c);
    for (;;) {
        ssize_t n = ::write(fd >= 0 ? fd : STDERR_FILENO, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    return c;
}

void keys_from_console_only() { console_only = true; }

bool is_option_prefix(char c) { return c == '-'; }

bool names_ignore_case() { return false; }

size_t name_char_len(const char*, size_t) { return 1; }

bool same_name_blind(const char* a, size_t a_len, const char* b, size_t b_len) {
    if (a_len != b_len) return false;
    for (size_t i = 0; i < a_len; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

bool name_spellable(const char*) { return true; }

size_t write_text(std::FILE* stream, const char* data, size_t len) { return std::fwrite(data, 1, len, stream); }

}  // namespace plat

#endif  // !defined(_WIN32)
