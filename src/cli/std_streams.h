// The archive "-" and --to-stdout: what they change before an operation
// runs.
#pragma once

#include <cstdint>

#include "base/context.h"

// Before the banner: when standard output is to carry the archive (writing
// to "-") or the entries' contents (-u with --to-stdout), every text meant
// for standard output goes to standard error instead.  archive_name is the
// last command-line argument.
void route_texts(const RunConfig* config, const char* archive_name);

// Before a reading operation on "-": keys are read from the console only,
// since standard input holds the archive, and a file list from standard
// input is refused (MSG_FILE_LIST_UNREADABLE with "-", RC_EXPAND, silent
// under -q).  Returns RC_OK otherwise.
int32_t prepare_stdin_archive(const RunConfig* config, const char* archive_name);
