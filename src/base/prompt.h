// The console password prompt, used when an operation starts and when a
// locked archive is opened without a password.
#pragma once

#include <cstdint>

#include "base/context.h"

// Reads a password from the console without echo into buffer (64 bytes).
// Returns 0 once at least one character was entered, -19 on Ctrl+C or at the
// end of input.
int32_t prompt_password(char* buffer);
