// PLACEHOLDER: stands in until the real module replaces this whole file.
#include "files/dir_walk.h"
int32_t walk_directory(const char*, char*, OpContext*) { return -16; }
plat::FindHandle dir_search_first(OpContext*, const char*, char*) { return nullptr; }
int32_t dir_search_next(OpContext*, plat::FindHandle, char*) { return -1; }
void dir_search_close(OpContext*, plat::FindHandle) {}
int32_t check_descent(const char*, const char*) { return 0; }
