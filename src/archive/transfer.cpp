// The process-wide transfer buffer (see transfer.h for who uses it when).
#include "archive/transfer.h"

unsigned char transfer_buffer[TRANSFER_SIZE];
