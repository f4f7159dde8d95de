// The command line: option scan, banner, usage, conflict check and the
// choice of one operation.
#pragma once

#include <cstdint>

#include "base/context.h"

using OperationFn = int32_t (*)(RunConfig*);

// The operations, in the order the entry point chooses between them.
struct OperationTable {
    OperationFn compress;
    OperationFn append;
    OperationFn uncompress;
    OperationFn list;
    OperationFn test;
    OperationFn compare;
};

// The table of the real operations.
extern const OperationTable real_operations;

// The whole entry point: parses argv into a fresh RunConfig, prints the
// banner and diagnostics and runs one operation of ops.  Returns the exit
// status (RC_OK or a negative code).
int32_t kelparc_main(int argc, char** argv, const OperationTable& ops);
