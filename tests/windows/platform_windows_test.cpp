// The Windows platform files, run under Wine or Windows: stored names that
// Windows would take for a drive, share, stream or device; file identity
// across spellings and links; attributes, times, read-only state; the
// directory search; paths beyond MAX_PATH and the limit; names in every
// script and in the ANSI code page; the option prefixes.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "entries/restore.h"
#include "names_table.h"
#include "platform/platform.h"

namespace {

// A fresh directory under the system's temporary folder, the working
// directory while the object lives.
class InTempDir {
public:
    InTempDir() {
        char base[MAX_PATH];
        GetTempPathA(sizeof base, base);
        static int counter = 0;
        for (;;) {
            path_ = std::string(base) + "kpw" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(counter++);
            if (CreateDirectoryA(path_.c_str(), nullptr)) break;
        }
        GetCurrentDirectoryA(sizeof old_, old_);
        SetCurrentDirectoryA(path_.c_str());
    }
    ~InTempDir() {
        // From the temporary folder: should the shell's rmdir go astray (as
        // Wine's does on paths beyond MAX_PATH), it stays there.
        SetCurrentDirectoryA(path_.substr(0, path_.rfind('\\')).c_str());
        std::string cmd = "rmdir /s /q \"" + path_ + "\" >NUL 2>NUL";
        std::system(cmd.c_str());
        SetCurrentDirectoryA(old_);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    char old_[MAX_PATH];
};

void put(const char* name, const std::string& bytes) {
    FILE* f = std::fopen(name, "wb");
    ASSERT_NE(f, nullptr) << name;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::string resolved(const char* name, bool* unsafe) {
    char out[plat::PATH_CAP];
    char rel[plat::PATH_CAP];
    if (!resolve_output_path("T", name, out, sizeof out, rel, unsafe)) return "<too long>";
    return rel;
}

}  // namespace

// ---- stored names -------------------------------------------------------------

TEST(WinNames, DrivesSharesStreamsAndDevicesLandUnderTheTarget) {
    struct Case {
        const char* stored;
        const char* restored;
        bool unsafe;
    } cases[] = {
        {"C:\\Windows\\evil.dll", "Windows/evil.dll", true},
        {"c:foo.txt", "foo.txt", true},
        {"C:", "", true},
        {"\\\\server\\share\\x\\y.txt", "x/y.txt", true},
        {"//server/share/z.txt", "z.txt", true},
        {"\\\\?\\C:\\Windows\\w.txt", "Windows/w.txt", true},
        {"\\\\.\\PhysicalDrive0", "PhysicalDrive0", true},
        {"\\\\.\\CON", "_CON", true},
        {"dir\\name.txt:stream", "dir/name.txt_stream", true},
        {"12:30.log", "12_30.log", true},
        {"CON", "_CON", true},
        {"con.txt", "_con.txt", true},
        {"a/Nul.tar.gz", "a/_Nul.tar.gz", true},
        {"AUX", "_AUX", true},
        {"prn.", "_prn.", true},
        {"COM1", "_COM1", true},
        {"lpt9.log", "_lpt9.log", true},
        {"CONIN$", "_CONIN$", true},
        {"sub/CON/x.txt", "sub/_CON/x.txt", true},
        // Ordinary names that only look alike.
        {"COM0", "COM0", false},
        {"COM10", "COM10", false},
        {"CONSOLE.txt", "CONSOLE.txt", false},
        {"xcon", "xcon", false},
        {"nul_file", "nul_file", false},
        {"a\\b/c.txt", "a/b/c.txt", false},
    };
    for (const Case& c : cases) {
        bool unsafe = false;
        EXPECT_EQ(resolved(c.stored, &unsafe), c.restored) << c.stored;
        EXPECT_EQ(unsafe, c.unsafe) << c.stored;
    }
}

TEST(WinNames, RootLengths) {
    EXPECT_EQ(plat::foreign_root_len("plain"), 0u);
    EXPECT_EQ(plat::foreign_root_len("\\rooted"), 0u);
    EXPECT_EQ(plat::foreign_root_len("C:\\\\x"), 4u);
    EXPECT_EQ(plat::foreign_root_len("\\\\srv\\shr\\x"), 10u);
    EXPECT_EQ(plat::foreign_root_len("\\\\?\\D:\\x"), 7u);
    EXPECT_EQ(plat::foreign_root_len("1:x"), 0u);  // no drive letter
}

// ---- status, identity, attributes, times ------------------------------------------

TEST(WinFiles, IdentityFollowsTheFileNotTheSpelling) {
    InTempDir dir;
    put("Archive.kel", "abc");
    put("other.kel", "abc");
    ASSERT_TRUE(CreateHardLinkA("hard.kel", "Archive.kel", nullptr));
    plat::StatRec a, b, c, d, e;
    ASSERT_EQ(plat::_stat("Archive.kel", &a), 0);
    ASSERT_EQ(plat::_stat("ARCHIVE.KEL", &b), 0);
    ASSERT_EQ(plat::_stat((dir.path() + "\\archive.kel").c_str(), &c), 0);
    ASSERT_EQ(plat::_stat("hard.kel", &d), 0);
    ASSERT_EQ(plat::_stat("other.kel", &e), 0);
    EXPECT_TRUE(plat::same_file(a.id, b.id));
    EXPECT_TRUE(plat::same_file(a.id, c.id));
    EXPECT_TRUE(plat::same_file(a.id, d.id));
    EXPECT_FALSE(plat::same_file(a.id, e.id));
    int fd = plat::_open("archive.KEL", plat::OF_RDONLY | plat::OF_BINARY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(plat::is_same_file("hard.kel", fd));
    EXPECT_FALSE(plat::is_same_file("other.kel", fd));
    plat::_close(fd);
}

TEST(WinFiles, StatusOfFilesDirectoriesAndDevices) {
    InTempDir dir;
    put("f.bin", std::string(70000, 'x'));
    ASSERT_EQ(plat::_mkdir("d"), 0);
    plat::StatRec st;
    ASSERT_EQ(plat::_stat("f.bin", &st), 0);
    EXPECT_EQ(st.size, 70000);
    EXPECT_EQ(st.mode & 0xF000, plat::MODE_REG);
    EXPECT_NE(st.mode & plat::MODE_OWNER_WRITE, 0u);
    ASSERT_EQ(plat::_stat("d", &st), 0);
    EXPECT_EQ(st.mode & 0xF000, plat::MODE_DIR);
    ASSERT_EQ(plat::_stat("d/", &st), 0);  // a trailing separator names the directory
    EXPECT_EQ(plat::_stat("missing", &st), -1);
    // Devices are neither statted nor opened as files.
    EXPECT_EQ(plat::_stat("NUL", &st), -1);
    EXPECT_EQ(plat::_open("NUL", plat::OF_RDONLY), -1);
    EXPECT_EQ(plat::_open("con.txt", plat::OF_WRONLY | plat::OF_CREAT | plat::OF_TRUNC), -1);
    EXPECT_EQ(plat::_open("d", plat::OF_RDONLY), -1);
}

TEST(WinFiles, ReadOnlyHiddenSystemAndTimes) {
    InTempDir dir;
    put("f", "data");
    ASSERT_NE(plat::SetFileAttributesA("f", plat::ATTR_HIDDEN | plat::ATTR_SYSTEM | plat::ATTR_ARCHIVE), 0);
    uint32_t attrs = plat::GetFileAttributesA("f");
    EXPECT_EQ(attrs & (plat::ATTR_HIDDEN | plat::ATTR_SYSTEM), plat::ATTR_HIDDEN | plat::ATTR_SYSTEM);
    EXPECT_EQ(plat::_utime("f", 315532800, 978307200), 0);  // 1980, 2001
    ASSERT_EQ(plat::_chmod("f", 0x8124), 0);                // no write bit
    attrs = plat::GetFileAttributesA("f");
    EXPECT_NE(attrs & plat::ATTR_READONLY, 0u);
    EXPECT_NE(attrs & plat::ATTR_HIDDEN, 0u);  // read-only leaves the other bits alone
    plat::StatRec st;
    ASSERT_EQ(plat::_stat("f", &st), 0);
    EXPECT_EQ(st.mtime, 978307200);
    EXPECT_EQ(st.atime, 315532800);
    EXPECT_EQ(st.mode & plat::MODE_OWNER_WRITE, 0u);
    // Clearing hidden and system keeps read-only; the write bit clears it.
    ASSERT_NE(plat::SetFileAttributesA("f", 0), 0);
    attrs = plat::GetFileAttributesA("f");
    EXPECT_EQ(attrs & (plat::ATTR_HIDDEN | plat::ATTR_SYSTEM | plat::ATTR_READONLY), plat::ATTR_READONLY);
    ASSERT_EQ(plat::_chmod("f", 0x81B6), 0);
    EXPECT_EQ(plat::GetFileAttributesA("f") & plat::ATTR_READONLY, 0u);
    // A directory's times are set too (the runtime's own call opens files only).
    ASSERT_EQ(plat::_mkdir("d"), 0);
    EXPECT_EQ(plat::_utime("d", 4102444800, 4102444800), 0);  // 2100
    ASSERT_EQ(plat::_stat("d", &st), 0);
    EXPECT_EQ(st.mtime, 4102444800);
    // A path that is no link is its own final path, separators as given
    // (unpacking tells a link from a directory by comparing the two).
    char final_path[plat::PATH_CAP];
    ASSERT_EQ(plat::_final_path("./d", final_path, sizeof final_path), 0);
    EXPECT_STREQ(final_path, "./d");
    ASSERT_EQ(plat::_final_path(".\\d", final_path, sizeof final_path), 0);
    EXPECT_STREQ(final_path, ".\\d");
    // Restoring sets a directory's mode after its times; the times stay.
    ASSERT_EQ(plat::_chmod("d", 0x41ED), 0);
    ASSERT_EQ(plat::_stat("d", &st), 0);
    EXPECT_EQ(st.mtime, 4102444800);
    EXPECT_EQ(plat::GetFileAttributesA("missing"), plat::ATTR_INVALID);
}

TEST(WinFiles, HandlesReadWriteSeekAndTemporaryFiles) {
    InTempDir dir;
    int fd = plat::_open("f", plat::OF_WRONLY | plat::OF_CREAT | plat::OF_TRUNC | plat::OF_BINARY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat::_write(fd, "a\nb\n", 4), 4);  // bytes unchanged, no \r added
    plat::_close(fd);
    fd = plat::_open("f", plat::OF_RDONLY | plat::OF_BINARY);
    char buf[16];
    EXPECT_EQ(plat::_read(fd, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "a\nb\n");
    EXPECT_EQ(plat::_lseek(fd, 1, plat::SEEK_SET_), 1);
    EXPECT_EQ(plat::_read(fd, buf, 2), 2);
    EXPECT_EQ(plat::_read(fd, buf, 8), 1);
    EXPECT_EQ(plat::_read(fd, buf, 8), 0);
    plat::_close(fd);
    char temp[plat::PATH_CAP];
    fd = plat::_open_temp("sub/../f", temp, sizeof temp);
    ASSERT_GE(fd, 0);
    EXPECT_NE(std::strstr(temp, ".kelparc-"), nullptr) << temp;
    EXPECT_EQ(plat::_write(fd, "new", 3), 3);
    plat::_close(fd);
    EXPECT_EQ(plat::_rename(temp, "f"), 0);  // over the existing file
    plat::StatRec st;
    ASSERT_EQ(plat::_stat("f", &st), 0);
    EXPECT_EQ(st.size, 3);
    EXPECT_EQ(plat::_access(temp, 0), -1);
}

// ---- paths ----------------------------------------------------------------------------

TEST(WinPaths, FullPathsDrivesAndTheLimit) {
    InTempDir dir;
    char full[plat::PATH_CAP];
    ASSERT_NE(plat::_fullpath(full, "a/./b/../c.txt", sizeof full), nullptr);
    EXPECT_EQ(std::string(full), dir.path() + "\\a\\c.txt");
    char drive[256], d[256], f[256], e[256];
    plat::_splitpath("C:\\tools\\kelparc.exe", drive, d, f, e);
    EXPECT_STREQ(drive, "C:");
    EXPECT_STREQ(d, "\\tools\\");
    EXPECT_STREQ(f, "kelparc");
    EXPECT_STREQ(e, ".exe");
    // 32,767 characters are the most a path may have; one more is refused,
    // never cut to a shorter name.
    std::string too_long(32768, 'n');
    EXPECT_EQ(plat::_open(too_long.c_str(), plat::OF_WRONLY | plat::OF_CREAT), -1);
    EXPECT_EQ(plat::GetLastError(), 206u);
    EXPECT_EQ(plat::_fullpath(full, too_long.c_str(), sizeof full), nullptr);
    EXPECT_EQ(plat::_stat(too_long.c_str(), nullptr), -1);
    bool unsafe = false;
    char out[plat::PATH_CAP];
    EXPECT_FALSE(resolve_output_path(dir.path().c_str(), too_long.c_str(), out, sizeof out, nullptr, &unsafe));
}

// A tree deeper than MAX_PATH, by absolute and relative paths: every call
// reaches it.  (A working directory inside it is the whole-program tests':
// under Wine a process whose working directory was that long crashes as it
// ends, which a test binary reports as a failure.)
TEST(WinPaths, PathsBeyondMaxPath) {
    InTempDir dir;
    std::string rel = ".";
    for (int i = 0; i < 5; ++i) {
        rel += "/" + std::string(200, static_cast<char>('a' + i));
        ASSERT_EQ(plat::_mkdir(rel.c_str()), 0) << rel.size();
    }
    std::string abs = dir.path() + "\\" + rel.substr(2);
    for (char& c : abs) c = c == '/' ? '\\' : c;
    ASSERT_GT(abs.size(), 1000u);
    const std::string file = rel + "/f.txt";
    int fd = plat::_open(file.c_str(), plat::OF_WRONLY | plat::OF_CREAT | plat::OF_BINARY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat::_write(fd, "deep", 4), 4);
    plat::_close(fd);
    plat::StatRec st;
    ASSERT_EQ(plat::_stat((abs + "/f.txt").c_str(), &st), 0);
    EXPECT_EQ(st.size, 4);
    EXPECT_EQ(plat::_utime(file.c_str(), 978307200, 978307200), 0);
    EXPECT_EQ(plat::_chmod(file.c_str(), 0x8124), 0);
    EXPECT_NE(plat::GetFileAttributesA(file.c_str()) & plat::ATTR_READONLY, 0u);
    EXPECT_EQ(plat::_chmod(file.c_str(), 0x81B6), 0);
    char temp[plat::PATH_CAP];
    fd = plat::_open_temp(file.c_str(), temp, sizeof temp);
    ASSERT_GE(fd, 0);
    plat::_close(fd);
    EXPECT_EQ(plat::_rename(temp, file.c_str()), 0);
    plat::FindData data;
    plat::FindHandle h = plat::FindFirstFileA((abs + "\\*.txt").c_str(), &data);
    ASSERT_NE(h, plat::NO_FIND_HANDLE);
    EXPECT_STREQ(data.cFileName, "f.txt");
    plat::FindClose(h);
    EXPECT_EQ(plat::_access((abs + "/f.txt").c_str(), 4), 0);
    char full[plat::PATH_CAP];
    ASSERT_NE(plat::_fullpath(full, (abs + "/./y/../../x").c_str(), sizeof full), nullptr);
    EXPECT_EQ(std::string(full), abs.substr(0, abs.rfind('\\')) + "\\x");
    EXPECT_EQ(plat::_unlink(file.c_str()), 0);
    // The tree goes before InTempDir removes the rest: the shell's rmdir
    // cannot walk paths this long (under Wine it then deletes elsewhere).
    for (std::string at = abs; at.size() > dir.path().size(); at.resize(at.rfind('\\'))) {
        std::wstring wide = L"\\\\?\\" + std::wstring(at.begin(), at.end());
        ASSERT_TRUE(RemoveDirectoryW(wide.c_str())) << at.size();
    }
}

// ---- names in every script ---------------------------------------------------------

// Each name is created, found by the search and statted by its UTF-8 bytes,
// and is the same name on the disk (the wide call finds it by its UTF-16 form).
TEST(WinNames, EveryScriptByItsUtf8Bytes) {
    InTempDir dir;
    for (const std::string& name : names_table::names()) {
        int fd = plat::_open(name.c_str(), plat::OF_WRONLY | plat::OF_CREAT | plat::OF_BINARY);
        ASSERT_GE(fd, 0) << name;
        plat::_close(fd);
        plat::FindData data;
        plat::FindHandle h = plat::FindFirstFileA(name.c_str(), &data);
        ASSERT_NE(h, plat::NO_FIND_HANDLE) << name;
        EXPECT_EQ(std::string(data.cFileName), name);
        plat::FindClose(h);
        int units = MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
        std::wstring wide(static_cast<size_t>(units), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, &wide[0], units);
        EXPECT_NE(GetFileAttributesW(wide.c_str()), INVALID_FILE_ATTRIBUTES) << name;
        EXPECT_TRUE(plat::name_spellable(name.c_str()));
    }
}

// Bytes that are not UTF-8 are read in the ANSI code page (1252 here), as
// older archives stored names; case-blind comparison covers every script.
TEST(WinNames, AnsiBytesAndCaseBlindComparison) {
    InTempDir dir;
    ASSERT_EQ(GetACP(), 1252u);
    int fd = plat::_open("\xDC" "ber-caf\xE9.txt", plat::OF_WRONLY | plat::OF_CREAT | plat::OF_BINARY);
    ASSERT_GE(fd, 0);
    plat::_close(fd);
    plat::StatRec st;
    EXPECT_EQ(plat::_stat("\xC3\x9C" "ber-caf\xC3\xA9.txt", &st), 0);  // the same file, in UTF-8
    EXPECT_EQ(plat::name_char_len("\xC3\x9C" "b", 3), 2u);
    EXPECT_EQ(plat::name_char_len("\xF0\x9F\x98\x80", 4), 4u);
    EXPECT_EQ(plat::name_char_len("\xDC" "b", 2), 1u);
    struct Pair {
        const char* a;
        const char* b;
        bool same;
    } pairs[] = {
        {"\xC3\x9C" "BER", "\xC3\xBC" "ber", true},                                   // ÜBER, über
        {"\xCE\x95\xCE\x9B\xCE\x9B", "\xCE\xB5\xCE\xBB\xCE\xBB", true},       // ΕΛΛ, ελλ
        {"\xD0\xA0\xD0\xA3\xD0\xA1", "\xD1\x80\xD1\x83\xD1\x81", true},       // РУС, рус
        {"\xDC" "BER", "\xC3\xBC" "ber", true},                                          // 1252 Ü
        {"\xC3\x9C" "BER", "uber", false},
        {"\xE4\xB8\xAD", "\xE4\xB8\xAE", false},
    };
    for (const Pair& p : pairs) {
        EXPECT_EQ(plat::same_name_blind(p.a, std::strlen(p.a), p.b, std::strlen(p.b)), p.same) << p.a;
    }
}

// ---- directory search -------------------------------------------------------------

TEST(WinFind, CaseBlindMatchingDotsFirstNormalEnd) {
    InTempDir dir;
    put("Beta.TXT", "");
    put("alpha.txt", "");
    put("gamma.c", "");
    ASSERT_EQ(plat::_mkdir("Sub"), 0);
    ASSERT_NE(plat::SetFileAttributesA("gamma.c", plat::ATTR_HIDDEN), 0);
    plat::FindData data;
    plat::FindHandle h = plat::FindFirstFileA("*.*", &data);
    ASSERT_NE(h, plat::NO_FIND_HANDLE);
    std::string names = data.cFileName;
    uint32_t gamma_attrs = 0, sub_attrs = 0;
    while (plat::FindNextFileA(h, &data) != 0) {
        names += std::string(",") + data.cFileName;
        if (std::strcmp(data.cFileName, "gamma.c") == 0) gamma_attrs = data.dwFileAttributes;
        if (std::strcmp(data.cFileName, "Sub") == 0) sub_attrs = data.dwFileAttributes;
    }
    EXPECT_EQ(plat::GetLastError(), plat::ERR_NO_MORE_FILES);
    plat::FindClose(h);
    EXPECT_EQ(names.substr(0, 5), ".,..,") << names;
    EXPECT_NE(gamma_attrs & plat::ATTR_HIDDEN, 0u);
    EXPECT_NE(sub_attrs & plat::ATTR_DIRECTORY, 0u);
    // "*.txt" matches both spellings of the extension.
    h = plat::FindFirstFileA("*.TxT", &data);
    ASSERT_NE(h, plat::NO_FIND_HANDLE);
    int n = 1;
    while (plat::FindNextFileA(h, &data) != 0) ++n;
    plat::FindClose(h);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(plat::FindFirstFileA("*.none", &data), plat::NO_FIND_HANDLE);
    EXPECT_NE(plat::GetLastError(), plat::ERR_NO_MORE_FILES);
    EXPECT_TRUE(plat::names_ignore_case());
}

TEST(WinCommandLine, BothOptionPrefixes) {
    EXPECT_TRUE(plat::is_option_prefix('-'));
    EXPECT_TRUE(plat::is_option_prefix('/'));
    EXPECT_FALSE(plat::is_option_prefix('\\'));
}
