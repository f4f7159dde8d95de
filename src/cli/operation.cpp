// Operation start and end, and the work list.
#include <cstdio>
#include <cstring>
#include <new>

#include "archive/select.h"
#include "base/messages.h"
#include "base/progress.h"
#include "base/prompt.h"
#include "cli/operations.h"
#include "platform/platform.h"

char saved_dir[plat::PATH_CAP];

namespace {

void copy_bounded(char* field, size_t cap, const char* text) {
    std::snprintf(field, cap, "%s", text);
}

// True when dir can be entered: it is entered, and the working directory
// found before is entered again.  A working directory that cannot be read
// is no place to come back to: then dir is only looked at.
bool can_enter(const char* dir) {
    char here[plat::PATH_CAP];
    if (plat::_getcwd(here, sizeof here) == nullptr) return plat::_access(dir, 0) == 0;
    if (plat::_chdir(dir) != 0) return false;
    return plat::_chdir(here) == 0;
}

// Checks the -c directory, enters it once (a directory without search
// permission must not leave the run where it started), and makes it
// absolute, so that every later change into it lands in the same place
// wherever the working directory then is.
int32_t take_start_dir(OpContext* context, const RunConfig* config) {
    plat::StatRec st;
    if (plat::_stat(config->start_dir, &st) != 0 || !(st.mode & plat::MODE_DIR) ||
        plat::_fullpath(context->start_dir, config->start_dir, sizeof context->start_dir) == nullptr ||
        !can_enter(context->start_dir)) {
        if (!(context->flags & OPT_QUIET)) show_error(MSG_BAD_START_DIR, config->start_dir);
        return RC_BAD_START_DIR;
    }
    return RC_OK;
}

}  // namespace

int32_t begin_operation(OpContext* context, RunConfig* config) {
    saved_dir[0] = '\0';
    std::memset(context, 0, sizeof *context);
    context->flags = ORIGIN_KELPARC | config->flags;
    context->checksum = config->checksum;
    quiet_switch = (context->flags & OPT_QUIET) ? 1 : 0;
    exclusions_set(config->n_excludes, config->excludes);
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
    context->to_stdout = config->to_stdout && (config->flags & OPT_UNCOMPRESS);
    context->n_workers = config->n_workers;
    bool reading = (config->flags & (OPT_UNCOMPRESS | OPT_LIST)) || config->test || config->compare;
    progress_begin(config->progress, (context->flags & OPT_QUIET) != 0, reading);
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
    char** list = new (std::nothrow) char*[n]();
    if (list == nullptr) return nullptr;
    for (int32_t i = 0; i < n; ++i) {
        const char* text = i < config->file_count ? config->files[i] : config->archive_name;
        size_t len = std::strlen(text);
        list[i] = new (std::nothrow) char[len + 1];
        if (list[i] == nullptr) {
            for (int32_t k = 0; k < i; ++k) delete[] list[k];
            delete[] list;
            return nullptr;
        }
        std::memcpy(list[i], text, len + 1);
    }
    return list;
}
