// kelparc: pack files, patterns and directory trees into one archive.
#include "cli/options.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    plat::prepare_process();
    plat::program_arguments(&argc, &argv);
    return kelparc_main(argc, argv, real_operations);
}
