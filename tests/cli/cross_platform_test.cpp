// Archives cross between the Linux build and the program under test (the
// Windows build under Wine, or the Linux build itself) in both directions:
// bytes, times and directories come back; names stored with '\' restore
// into directories; hidden and system bits travel through user.DOSATTRIB.
// Then the names only Windows treats as unsafe (drives, shares, devices,
// streams), the archive's identity and the path limit, stated for each
// build.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "names_table.h"
#include "write_support.h"

namespace fs = std::filesystem;

namespace {

th::RunResult run_host(const std::string& dir, const std::vector<std::string>& args) {
    th::RunOptions opt;
    opt.cwd = dir;
    opt.stdin_null = true;
    return th::run_host_kelparc(args, opt);
}

// A tree across chunk sizes with a nested and an empty directory; every
// file and directory gets its own times (the access time after the
// modification time and ahead of the clock, so that reading does not move
// it).
void make_tree(const std::string& root) {
    th::write_file(root + "/tree/text.txt", th::make_bytes(40000, 't', 3));
    th::write_file(root + "/tree/empty.bin", "");
    th::write_file(root + "/tree/sub/random.bin", th::make_bytes(20000, 'r', 4));
    th::write_file(root + "/tree/sub/deeper/zeros", th::make_bytes(16384, 'z'));
    th::make_dirs(root + "/tree/void");
    long t = 1000000000;
    for (const char* rel : {"tree/text.txt", "tree/empty.bin", "tree/sub/random.bin", "tree/sub/deeper/zeros",
                            "tree/sub/deeper", "tree/sub", "tree/void", "tree"}) {
        t += 1000;
        wt::pin_times(root + "/" + rel, t, t + 1000000000);
    }
}

struct Node {
    bool is_dir;
    std::string bytes;
    long mtime;
    long atime;
};

std::map<std::string, Node> snapshot(const std::string& base) {
    std::map<std::string, Node> nodes;
    for (auto it = fs::recursive_directory_iterator(base); it != fs::recursive_directory_iterator(); ++it) {
        struct stat st {};
        ::stat(it->path().c_str(), &st);
        Node n{S_ISDIR(st.st_mode), "", static_cast<long>(st.st_mtime), static_cast<long>(st.st_atime)};
        if (!n.is_dir) n.bytes = th::read_file(it->path().string());
        nodes[fs::relative(it->path(), base).string()] = n;
    }
    return nodes;
}

void expect_same_tree(const std::string& want_dir, const std::string& got_dir, const std::string& what) {
    const std::map<std::string, Node> want = snapshot(want_dir);
    const std::map<std::string, Node> got = snapshot(got_dir);
    ASSERT_EQ(got.size(), want.size()) << what;
    for (const auto& [rel, n] : want) {
        auto it = got.find(rel);
        ASSERT_NE(it, got.end()) << what << ": missing " << rel;
        EXPECT_EQ(it->second.is_dir, n.is_dir) << what << ": " << rel;
        EXPECT_TRUE(it->second.bytes == n.bytes) << what << ": " << rel << " differs";
        EXPECT_EQ(it->second.mtime, n.mtime) << what << ": " << rel;
        EXPECT_EQ(it->second.atime, n.atime) << what << ": " << rel;
    }
}

TEST(CrossPlatform, TreeArchivedOnLinuxUnpacksUnderTestAndBack) {
    th::ScratchDir area;
    make_tree(area / "src");
    ASSERT_EQ(run_host(area / "src", {"-q", "-r", "tree", "../a.kel"}).status, 0);
    th::make_dirs(area / "dest");
    auto r = ab::run_in(area / "dest", {"-u", "../a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    expect_same_tree(area / "src/tree", area / "dest/tree", "Linux to the program under test");

    // Back: the program under test archives what it restored, Linux unpacks.
    r = ab::run_in(area / "dest", {"-q", "-r", "tree", "../b.kel"});
    ASSERT_EQ(r.status, 0) << r.err;
    th::make_dirs(area / "back");
    auto h = run_host(area / "back", {"-u", "../b.kel"});
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.err, "");
    expect_same_tree(area / "src/tree", area / "back/tree", "the program under test to Linux");
}

TEST(CrossPlatform, NamesStoredWithBackslashesRestoreIntoDirectories) {
    th::ScratchDir area;
    th::write_file(area / "a.kel", ab::header() + ab::file_entry("dir\\sub\\f.txt", "f") +
                                       ab::file_entry("dir\\g.txt", "g") + ab::file_entry("top/mixed\\h", "h"));
    th::make_dirs(area / "host");
    th::make_dirs(area / "test");
    EXPECT_EQ(run_host(area / "host", {"-u", "-q", "../a.kel"}).status, 0);
    EXPECT_EQ(ab::run_in(area / "test", {"-u", "-q", "../a.kel"}).status, 0);
    for (const char* side : {"host", "test"}) {
        const std::string base = area / side;
        EXPECT_EQ(th::read_file(base + "/dir/sub/f.txt"), "f") << side;
        EXPECT_EQ(th::read_file(base + "/dir/g.txt"), "g") << side;
        EXPECT_EQ(th::read_file(base + "/top/mixed/h"), "h") << side;
        EXPECT_FALSE(th::exists(base + "/dir\\sub\\f.txt")) << side;
    }
}

// The hidden and system bits of a file as user.DOSATTRIB records them.
unsigned dos_bits(const std::string& path) {
    char value[32] = {0};
    ssize_t n = ::getxattr(path.c_str(), "user.DOSATTRIB", value, sizeof value - 1);
    if (n <= 0) return 0;
    return static_cast<unsigned>(std::strtoul(value, nullptr, 16)) & 0x6;
}

std::vector<std::string> attr_blocks(const std::string& archive) {
    std::vector<std::string> blocks;
    for (const wt::Entry& e : wt::parse_archive(th::read_file(archive)).entries) blocks.push_back(e.name + "=" + e.attr);
    return blocks;
}

TEST(CrossPlatform, HiddenAndSystemBitsCrossBothWays) {
    th::ScratchDir area;
    th::write_file(area / "src/d/h", "hidden");
    th::write_file(area / "src/d/s", "system");
    th::write_file(area / "src/d/v", "visible");
    if (::setxattr((area / "src/d/h").c_str(), "user.DOSATTRIB", "0x2", 3, 0) != 0 ||
        ::setxattr((area / "src/d/s").c_str(), "user.DOSATTRIB", "0x4", 3, 0) != 0) {
        GTEST_SKIP() << "file system refuses extended attributes";
    }
    ASSERT_EQ(run_host(area / "src", {"-q", "-r", "-ths", "d", "../a.kel"}).status, 0);
    const std::vector<std::string> blocks = {"d=00", "d/h=10", "d/s=01", "d/v=00", "d="};
    EXPECT_EQ(attr_blocks(area / "a.kel"), blocks);
    th::make_dirs(area / "dest");
    ASSERT_EQ(ab::run_in(area / "dest", {"-u", "-q", "../a.kel"}).status, 0);
    EXPECT_EQ(dos_bits(area / "dest/d/h"), 0x2u);
    EXPECT_EQ(dos_bits(area / "dest/d/s"), 0x4u);
    EXPECT_EQ(dos_bits(area / "dest/d/v"), 0u);

    // Back: the program under test reads the bits it wrote, Linux restores them.
    ASSERT_EQ(ab::run_in(area / "dest", {"-q", "-r", "-ths", "d", "../b.kel"}).status, 0);
    EXPECT_EQ(attr_blocks(area / "b.kel"), blocks);
    th::make_dirs(area / "back");
    ASSERT_EQ(run_host(area / "back", {"-u", "-q", "../b.kel"}).status, 0);
    EXPECT_EQ(dos_bits(area / "back/d/h"), 0x2u);
    EXPECT_EQ(dos_bits(area / "back/d/s"), 0x4u);
    EXPECT_EQ(dos_bits(area / "back/d/v"), 0u);
}

// Drive, share and device prefixes, streams and device names: the Windows
// build lands each under the target after message 46, with a device name
// behind '_' and ':' as '_'; on Linux they are ordinary names ('\' still
// separates, and leading separators are dropped without a word).
TEST(PlatformNames, DrivesSharesStreamsAndDevicesOnEachBuild) {
    struct Case {
        const char* stored;
        const char* on_linux;
        const char* on_windows;
    } cases[] = {
        {"C:\\evil.txt", "C:/evil.txt", "evil.txt"},
        {"c:rel.txt", "c:rel.txt", "rel.txt"},
        {"\\\\server\\share\\x.txt", "server/share/x.txt", "x.txt"},
        {"\\\\?\\C:\\q.txt", "?/C:/q.txt", "q.txt"},
        {"\\\\.\\pipe\\p", "pipe/p", "pipe/p"},
        {"file.txt:stream", "file.txt:stream", "file.txt_stream"},
        {"CON", "CON", "_CON"},
        {"nul.txt", "nul.txt", "_nul.txt"},
        {"sub/AUX.c", "sub/AUX.c", "sub/_AUX.c"},
        {"Com1", "Com1", "_Com1"},
        {"12:30.log", "12:30.log", "12_30.log"},
    };
    th::ScratchDir area;
    std::string bytes = ab::header();
    for (const Case& c : cases) bytes += ab::file_entry(c.stored, std::string("data of ") + c.stored);
    th::write_file(area / "a.kel", bytes);
    th::make_dirs(area / "dest");
    auto r = ab::run_in(area / "dest", {"-u", "../a.kel"});
    EXPECT_EQ(r.status, 0);
    std::string messages;
    for (const Case& c : cases) {
        const std::string landed = th::windows_target() ? c.on_windows : c.on_linux;
        EXPECT_EQ(th::read_file(area / "dest/" + landed), std::string("data of ") + c.stored) << c.stored;
        if (th::windows_target()) messages += std::string("Unsafe path ") + c.stored + " restored as " + landed + "\n";
    }
    EXPECT_EQ(r.err, messages);
    // Nothing was written anywhere else: the target holds only these.
    size_t n_files = 0;
    for (auto it = fs::recursive_directory_iterator(area / "dest"); it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_regular_file()) ++n_files;
    }
    EXPECT_EQ(n_files, sizeof cases / sizeof cases[0]);
}

// The archive is known by its identity on Windows: another case of its name
// or a hard link to it is still the archive (message 49).  On Linux another
// case is another file.
TEST(PlatformNames, TheArchiveUnderAnotherSpellingIsStillTheArchive) {
    th::ScratchDir area;
    th::write_file(area / "f.txt", "f");
    ASSERT_EQ(ab::run_in(area.path(), {"-q", "f.txt", "a.kel"}).status, 0);
    const std::string before = th::read_file(area / "a.kel");
    ASSERT_EQ(::link((area / "a.kel").c_str(), (area / "link.kel").c_str()), 0);
    auto r = ab::run_in(area.path(), {"-w", "f.txt", "link.kel", "a.kel"});
    EXPECT_EQ(r.status, th::status_of(-4));
    EXPECT_EQ(r.err, "The archive " + th::native_path(area / "a.kel") + " is also one of the files to store\n");
    EXPECT_EQ(th::read_file(area / "a.kel"), before);
    r = ab::run_in(area.path(), {"-w", "f.txt", "A.KEL", "a.kel"});
    if (th::windows_target()) {
        EXPECT_EQ(r.status, th::status_of(-4));
        EXPECT_EQ(r.err, "The archive " + th::native_path(area / "a.kel") + " is also one of the files to store\n");
        EXPECT_EQ(th::read_file(area / "a.kel"), before);
    } else {
        EXPECT_EQ(r.status, th::status_of(-4));
        EXPECT_EQ(r.err, "Could not stat A.KEL\n");
        EXPECT_EQ(th::read_file(area / "a.kel"), before);
    }
}

// An output path beyond the 259 characters of the old narrow calls restores
// on both builds, file and directory (the limits themselves, 32,767 and
// 4095, are the platform tests').
TEST(PlatformNames, OutputPathsBeyondMaxPath) {
    th::ScratchDir area;
    const std::string long_name = "d/" + std::string(240, 'x');
    th::write_file(area / "f.kel", ab::header() + ab::file_entry(long_name, "data"));
    th::write_file(area / "d.kel", ab::header() + ab::dir_entry(long_name + "y") + ab::dir_entry(long_name + "y", true));
    const std::string dest = area / ("dest/" + std::string(200, 'p'));
    th::make_dirs(dest);
    auto f = ab::run_in(area.path(), {"-u", "-q", "-c" + dest, "f.kel"});
    auto d = ab::run_in(area.path(), {"-u", "-q", "-c" + dest, "d.kel"});
    EXPECT_EQ(f.status, 0) << f.err;
    EXPECT_EQ(th::read_file(dest + "/" + long_name), "data");
    EXPECT_EQ(d.status, 0) << d.err;
    EXPECT_TRUE(fs::is_directory(dest + "/" + long_name + "y"));
}

// The table of names in many scripts, in a tree: archived by the Linux
// build, restored by the program under test below a directory whose path
// passes 1,000 characters, with the same names (their UTF-8 bytes on the
// Linux side), contents and times; archived there again and restored by
// the Linux build, the same once more.  Names are printed as they are.
TEST(CrossPlatform, NamesInEveryScriptCrossBothWays) {
    th::ScratchDir area;
    const std::vector<std::string> names = names_table::names();
    long t = 1100000000;
    const std::string inner = "src/names/" + names[2] + "-dir";
    th::write_file(area / (inner + "/" + names[4]), "inner");
    for (const std::string& name : names) th::write_file(area / ("src/names/" + name), "data of " + name);
    for (const std::string& rel : names) {
        wt::pin_times(area / ("src/names/" + rel), t, t + 1000000000);
        t += 1000;
    }
    wt::pin_times(area / (inner + "/" + names[4]), t, t + 1000000000);
    wt::pin_times(area / inner, t + 1000, t + 1000000000);
    ASSERT_EQ(run_host(area / "src", {"-q", "-r", "names", "../a.kel"}).status, 0);
    std::string deep = area / "deep";
    for (char c = 'a'; deep.size() < 1000; ++c) deep += "/" + std::string(200, c);
    th::make_dirs(deep);
    auto r = ab::run_in(area.path(), {"-u", "-c" + deep, "a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (const std::string& name : names) EXPECT_NE(r.out.find("names/" + name + "\n"), std::string::npos) << name;
    expect_same_tree(area / "src/names", deep + "/names", "Linux to the program under test");

    r = ab::run_in(area.path(), {"-q", "-r", "-c" + deep, "names", th::native_path(area / "b.kel")});
    ASSERT_EQ(r.status, 0) << r.err;
    th::make_dirs(area / "back");
    auto h = run_host(area / "back", {"-u", "-q", "../b.kel"});
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.err, "");
    expect_same_tree(area / "src/names", area / "back/names", "the program under test to Linux");
}

// Names an older Windows program stored in code page 1252 are not UTF-8:
// the Windows build reads them in the ANSI code page (1252 under Wine) and
// restores the names they meant; the Linux build keeps the bytes.  A name
// valid neither as UTF-8 nor in the code page (932 here) is left out with
// message 50.
TEST(CrossPlatform, AnsiNamesOfOlderArchives) {
    struct Case {
        const char* stored;
        const char* on_windows;
    } cases[] = {
        {"\xDC" "bersicht.txt", "\xC3\x9C" "bersicht.txt"},  // Übersicht.txt
        {"caf\xE9/cr\xE8me", "caf\xC3\xA9/cr\xC3\xA8me"},  // café/crème
        {"\x80uro \xBD.txt", "\xE2\x82\xAC" "uro \xC2\xBD.txt"},  // €uro ½.txt
    };
    th::ScratchDir area;
    std::string bytes = ab::header();
    for (const Case& c : cases) bytes += ab::file_entry(c.stored, c.stored);
    th::write_file(area / "a.kel", bytes);
    th::make_dirs(area / "dest");
    auto r = ab::run_in(area / "dest", {"-u", "-q", "../a.kel"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (const Case& c : cases) {
        EXPECT_EQ(th::read_file(area / (std::string("dest/") + (th::windows_target() ? c.on_windows : c.stored))), c.stored);
    }
    th::write_file(area / "bad.kel", ab::header() + ab::file_entry("ok.txt", "ok") +
                                         ab::file_entry("\x81\x20\xFF.txt", "bad") + ab::file_entry("z.txt", "z"));
    th::RunOptions opt;
    opt.cwd = area / "dest";
    opt.stdin_null = true;
    opt.env = {"LC_ALL=ja_JP.UTF-8"};
    r = th::run_kelparc({"-u", "../bad.kel"}, opt);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(th::read_file(area / "dest/z.txt"), "z");
    if (th::windows_target()) {
        EXPECT_EQ(r.err, "Name cannot be stored, skipping \x81 \xFF.txt\n");
    } else {
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(th::read_file(area / "dest/\x81 \xFF.txt"), "bad");
    }
}

// Patterns and entry arguments compare without regard to case in every
// script on Windows (the file system's comparison); exactly on Linux.
TEST(PlatformNames, CaseBlindBeyondAscii) {
    th::ScratchDir area;
    th::write_file(area / "src/\xC3\xBC" "ber.txt", "u");  // über.txt
    th::write_file(area / "src/other.txt", "o");
    auto stored = ab::run_in(area / "src", {"-q", "\xC3\x9C" "BER*", "../a.kel"});  // ÜBER*
    th::write_file(area / "b.kel", ab::header() + ab::file_entry("\xC3\xBC" "ber.txt", "u") + ab::file_entry("other.txt", "o"));
    th::make_dirs(area / "dest");
    auto chosen = ab::run_in(area / "dest", {"-u", "-q", "\xC3\x9C" "BER*", "../b.kel"});
    if (th::windows_target()) {
        EXPECT_EQ(stored.status, 0) << stored.err;
        const std::vector<wt::Entry> entries = wt::parse_archive(th::read_file(area / "a.kel")).entries;
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].name, "\xC3\xBC" "ber.txt");
        EXPECT_EQ(chosen.status, 0) << chosen.err;
        EXPECT_EQ(th::read_file(area / "dest/\xC3\xBC" "ber.txt"), "u");
        EXPECT_FALSE(th::exists(area / "dest/other.txt"));
    } else {
        EXPECT_NE(stored.status, 0);
        EXPECT_EQ(chosen.status, th::status_of(-24));
        EXPECT_FALSE(th::exists(area / "dest/\xC3\xBC" "ber.txt"));
    }
}

}  // namespace
