// The archive "-" and --to-stdout before an operation runs.
#include "cli/std_streams.h"

#include "base/messages.h"
#include "platform/platform.h"

namespace {

// Reading operations, as the conflict check leaves them (-l wins).
bool reads_archive(const RunConfig* config) {
    return (config->flags & (OPT_UNCOMPRESS | OPT_LIST)) || config->test || config->compare;
}

}  // namespace

void route_texts(const RunConfig* config, const char* archive_name) {
    bool unpacks = (config->flags & OPT_UNCOMPRESS) && !(config->flags & OPT_LIST);
    bool archive_out = !reads_archive(config) && names_std_stream(archive_name);
    if (archive_out || (unpacks && config->to_stdout)) stdout_to_stderr();
}

int32_t prepare_stdin_archive(const RunConfig* config, const char* archive_name) {
    if (!reads_archive(config) || !names_std_stream(archive_name)) return RC_OK;
    plat::keys_from_console_only();
    for (int32_t i = 0; i < config->n_files_from; ++i) {
        if (!names_std_stream(config->files_from[i])) continue;
        if (!(config->flags & OPT_QUIET)) show_error(MSG_FILE_LIST_UNREADABLE, config->files_from[i]);
        return RC_EXPAND;
    }
    return RC_OK;
}
