// PLACEHOLDER: stands in until the real module replaces this whole file.
#include "cli/operations.h"
int32_t run_compress(RunConfig*) { return RC_OPEN; }
int32_t run_append(RunConfig*) { return RC_OPEN; }
