// The text of the progress line, as the manual shows it.
#include <gtest/gtest.h>

#include <string>

#include "base/progress.h"

TEST(ProgressText, FiguresUnitsAndShare) {
    struct Case {
        int64_t entries;
        uint64_t bytes;
        double seconds;
        bool reading;
        int64_t total;
        std::string text;
    } cases[] = {
        {1, 999, 1.0, false, -1, "kelparc: 1 entry, 999 B written, 999 B/s"},
        {1204, 512300000, 6.02, false, -1, "kelparc: 1204 entries, 512.3 MB written, 85.1 MB/s"},
        {310, 96000000, 0.797, true, 228571428, "kelparc: 310 entries, 96.0 MB read, 120.5 MB/s, 42%"},
        // Unknown size (a pipe): no share; refills past the size say 100%.
        {2, 1500, 2.0, true, -1, "kelparc: 2 entries, 1.5 kB read, 750 B/s"},
        {2, 70000, 2.0, true, 65000, "kelparc: 2 entries, 70.0 kB read, 35.0 kB/s, 100%"},
        {0, 3000000000000, 1.0, false, -1, "kelparc: 0 entries, 3.0 TB written, 3.0 TB/s"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(progress_text(c.entries, c.bytes, c.seconds, c.reading, c.total), c.text);
    }
}
