// PLACEHOLDER: stands in until the real module replaces this whole file.
#include "cli/options.h"
#include "cli/operations.h"
const OperationTable real_operations = {run_compress, run_append, run_uncompress, run_list};
int32_t kelparc_main(int, char**, const OperationTable&) { return 0; }
