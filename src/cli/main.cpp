// kelparc: pack files, patterns and directory trees into one archive.
#include "cli/options.h"

int main(int argc, char** argv) { return kelparc_main(argc, argv, real_operations); }
