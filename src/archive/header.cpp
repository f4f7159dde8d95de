// PLACEHOLDER: stands in until the real module replaces this whole file.
#include "archive/header.h"
int32_t create_archive_header(OpContext*, const char*) { return -4; }
int32_t open_archive_for_append(OpContext*, const char*, int64_t*) { return -4; }
int32_t read_archive_header(OpContext*, char*) { return -4; }
int32_t seal_password(const char*, unsigned char*) { return 0; }
int32_t check_password(const char*, const unsigned char*, int64_t) { return -1; }
