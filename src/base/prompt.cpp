// The console password prompt: entry without echo, one asterisk per
// character.
#include "base/prompt.h"

#include <cctype>
#include <cstdio>

#include "base/messages.h"
#include "base/progress.h"
#include "platform/platform.h"

namespace {

void ring_bell() { plat::_putch(7); }

// Reads one entry into buffer.  Returns 0 when the entry ended (Enter), or
// -19 on Ctrl+C or at the end of input.
int32_t read_entry(char* buffer) {
    int len = 0;
    for (;;) {
        int c = plat::_getch();
        if (c < 0) return RC_CANCEL;
        if (c == 0 || c == 0xE0) {
            // A function or cursor key: its second code is dropped.
            if (plat::_getch() < 0) return RC_CANCEL;
            ring_bell();
            continue;
        }
        if (std::iscntrl(static_cast<unsigned char>(c))) {
            if (c == 3) return RC_CANCEL;
            if (c == 10 || c == 13 || c == 26) break;
            if (c == 8) {
                if (len > 0) {
                    --len;
                    plat::_putch('\b');
                    plat::_putch(' ');
                    plat::_putch('\b');
                }
                continue;
            }
            ring_bell();
            continue;
        }
        if (len >= PASSWORD_CAP - 1) {
            ring_bell();
            continue;
        }
        buffer[len++] = static_cast<char>(c);
        plat::_putch('*');
    }
    buffer[len] = '\0';
    return RC_OK;
}

}  // namespace

int32_t prompt_password(char* buffer) {
    buffer[0] = '\0';
    while (buffer[0] == '\0') {
        show_info(MSG_PASSWORD_PROMPT);
        stdout_flush();
        int32_t rc = read_entry(buffer);
        if (rc != RC_OK) {
            buffer[0] = '\0';
            return rc;
        }
        stdout_write("\n", 1);
    }
    // The time spent typing is no part of the run.
    progress_restart();
    return RC_OK;
}
