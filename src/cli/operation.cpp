// Operation start and end, the work list, and the password prompt.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "cli/messages.h"
#include "cli/operations.h"
#include "platform/platform.h"

char saved_dir[plat::PATH_CAP];

namespace {

void copy_bounded(char* field, size_t cap, const char* text) {
    std::snprintf(field, cap, "%s", text);
}

// Checks the -c directory and makes it absolute, so that every later change
// into it lands in the same place wherever the working directory then is.
int32_t take_start_dir(OpContext* context, const RunConfig* config) {
    plat::StatRec st;
    if (plat::_stat(config->start_dir, &st) != 0 || !(st.mode & plat::MODE_DIR)) {
        if (!(context->flags & OPT_QUIET)) show_error(8, config->start_dir);
        return RC_BAD_START_DIR;
    }
    if (plat::_fullpath(context->start_dir, config->start_dir, sizeof context->start_dir) == nullptr) {
        if (!(context->flags & OPT_QUIET)) show_error(8, config->start_dir);
        return RC_BAD_START_DIR;
    }
    return RC_OK;
}

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
        show_info(519);
        std::fflush(stdout);
        int32_t rc = read_entry(buffer);
        if (rc != RC_OK) {
            buffer[0] = '\0';
            return rc;
        }
        std::fputs("\n", stdout);
    }
    return RC_OK;
}

int32_t begin_operation(OpContext* context, RunConfig* config) {
    saved_dir[0] = '\0';
    std::memset(context, 0, sizeof *context);
    context->flags = ORIGIN_KELPARC | config->flags;
    quiet_switch = (context->flags & OPT_QUIET) ? 1 : 0;
    if (context->flags & OPT_START_DIR) {
        int32_t rc = take_start_dir(context, config);
        if (rc != RC_OK) return rc;
    }
    if ((context->flags & OPT_PASSWORD) && config->password[0] == '\0') {
        if (context->flags & OPT_QUIET) return RC_PASSWORD_QUIET;
        int32_t rc = prompt_password(config->password);
        if (rc != RC_OK) return rc;
    }
    if (plat::_getcwd(saved_dir, sizeof saved_dir) == nullptr) saved_dir[0] = '\0';
    if (context->start_dir[0] == '\0') copy_bounded(context->start_dir, sizeof context->start_dir, saved_dir);
    return RC_OK;
}

void end_operation(int32_t count, char** list) {
    if (list != nullptr) {
        for (int32_t i = 0; i < count; ++i) delete[] list[i];
        delete[] list;
    }
    if (saved_dir[0] != '\0') plat::_chdir(saved_dir);
}

char** make_work_list(const RunConfig* config) {
    int32_t n = config->file_count + 1;
    char** list = new char*[n];
    for (int32_t i = 0; i < n; ++i) {
        const char* text = i < config->file_count ? config->files[i] : config->archive_name;
        size_t len = std::strlen(text);
        list[i] = new char[len + 1];
        std::memcpy(list[i], text, len + 1);
    }
    return list;
}
