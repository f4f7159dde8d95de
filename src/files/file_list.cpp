// PLACEHOLDER: stands in until the real module replaces this whole file.
#include "files/file_list.h"
int find_next_failed;
int32_t build_file_list(int32_t, char**, OpContext*, char***, int32_t*) { return -21; }
char** expand_wildcards(char**, int32_t, OpContext*, int32_t*) { return nullptr; }
bool attribute_filter_accepts(uint32_t, uint32_t) { return false; }
void free_file_list(char**, int32_t) {}
