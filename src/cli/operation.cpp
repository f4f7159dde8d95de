// PLACEHOLDER: stands in until the real module replaces this whole file.
#include "cli/operations.h"
char saved_dir[plat::PATH_CAP];
int32_t begin_operation(OpContext*, RunConfig*) { return -2; }
void end_operation(int32_t, char**) {}
char** make_work_list(const RunConfig*) { return nullptr; }
int32_t prompt_password(char*) { return -19; }
