// PLACEHOLDER: stands in until the real module replaces this whole file.
#include "codec/restore.h"
int32_t restore_entry(unsigned char*, dir_entry*, OpContext*) { return -6; }
void apply_file_properties(OpContext*, const dir_entry*, const char*) {}
bool resolve_output_path(const char*, const char*, char*, int, char*, bool*) { return false; }
