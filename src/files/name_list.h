// Lists of file arguments read from a file (--files-from).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Appends the names of a list's bytes to names: each name is ended by a
// newline or a NUL byte (the last one may be unended), a carriage return
// right before a newline is dropped, and empty names are skipped.
void split_name_list(const std::string& bytes, std::vector<std::string>* names);

// Reads the list at path ("-": standard input), resolved from the working
// directory, and appends its names.  Returns RC_OK, or RC_EXPAND after
// MSG_FILE_LIST_UNREADABLE (unless quiet) when it cannot be opened or read.
int32_t read_name_list(const char* path, bool quiet, std::vector<std::string>* names);
