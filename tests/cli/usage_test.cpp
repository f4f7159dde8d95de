// The program with no arguments prints its usage.
#include <gtest/gtest.h>

#include "harness.h"

TEST(Usage, NoArgumentsPrintsUsage) {
    th::ScratchDir dir;
    th::RunOptions opt;
    opt.cwd = dir.path();
    auto r = th::run_kelparc({}, opt);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "\nOstvale KELPARC Version 1.2\n\n"
              " Usage:  kelparc [options] [files] zipfile\n"
              " kelparc supports the following options: \n"
              "   -a       : Append to a zip file\n"
              "   -c<path> : Use the path as the point to begin searching for files\n"
              "   -l       : List contents of a zip file\n"
              "   -p[pw]   : Specifies password to lock or unlock zip file\n"
              "   -q       : Quiet mode\n"
              "   -r       : Recursively backup of directories\n"
              "   -s       : On uncompress, skip files that have same time and size\n"
              "   -t[hs]   : Compress [h]idden or [s]ystem files\n"
              "   -u       : Unzip an archive\n"
              "   -w       : Overwrite existing zip file\n");
}
