// Arbitrary bytes as an archive: written to a scratch file, then listed and
// unpacked into a scratch directory that is emptied before every input.
// Runs quiet (no output, no password prompt); a locked archive opens when
// it was sealed with the password "fuzz", so the walks behind a seal are
// reached too.
//
// Unpacking works in the process's working directory, so each input runs
// inside the scratch directory and the directory the fuzzer was started in
// is entered again afterwards.  The paths on the fuzzer's command line are
// made absolute before it reads them: a crash artifact is written while the
// scratch directory is the working directory.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "archive/header.h"
#include "entries/walk.h"
#include "base/context.h"
#include "base/messages.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

std::string scratch_base;
std::string start_dir;

void remove_scratch() {
    std::error_code ec;
    fs::remove_all(scratch_base, ec);
}

const std::string& scratch() {
    if (scratch_base.empty()) {
        // A new directory of a random name (create_directory is false for
        // one that exists), the same way on every system.
        std::random_device random;
        while (scratch_base.empty()) {
            std::error_code ec;
            std::string name = "kelparc_archive_fuzz." + std::to_string(random());
            fs::path candidate = fs::temp_directory_path(ec) / name;
            if (ec) std::abort();
            if (fs::create_directory(candidate, ec)) scratch_base = candidate.string();
            else if (ec) std::abort();
        }
        start_dir = fs::current_path().string();
        fs::create_directories(scratch_base + "/out");
        std::atexit(remove_scratch);
    }
    return scratch_base;
}

// Restored modes may leave a directory unreadable or unwritable for a
// non-root run, at any depth: opened up before anything is removed.
void open_up(const fs::path& dir) {
    std::error_code ec;
    for (auto& e : fs::directory_iterator(dir, ec)) {
        if (!e.is_directory(ec) || e.is_symlink(ec)) continue;
        fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        open_up(e.path());
    }
}

void empty_dir(const std::string& dir) {
    std::error_code ec;
    open_up(dir);
    for (auto& e : fs::directory_iterator(dir, ec)) fs::remove_all(e.path(), ec);
}

// Opens the archive and runs one walk over it.
void walk_once(const std::string& archive, bool unpack) {
    OpContext ctx{};
    ctx.read_handle = -1;
    ctx.write_handle = -1;
    ctx.flags = ORIGIN_KELPARC | OPT_QUIET | (unpack ? OPT_UNCOMPRESS : OPT_LIST);
    std::snprintf(ctx.archive_path, sizeof ctx.archive_path, "%s", archive.c_str());
    char password[PASSWORD_CAP] = "fuzz";
    if (read_archive_header(&ctx, password) < 0) return;
    if (unpack) {
        uncompress_walk(&ctx);
    } else {
        list_walk(&ctx);
    }
    plat::_close(ctx.read_handle);
}

std::string absolute_from(const std::string& cwd, const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    return cwd + "/" + path;
}

// The fuzzer's flags whose value is a path (or, for artifact_prefix, the
// start of one).
const char* const PATH_FLAGS[] = {"-artifact_prefix=", "-exact_artifact_path=", "-dict=",
                                  "-merge_control_file=", "-features_dir=", "-data_flow_trace="};

// arg with a relative path in it made absolute against cwd.
std::string absolute_arg(const std::string& cwd, const std::string& arg) {
    if (arg.empty() || arg[0] != '-') return absolute_from(cwd, arg);  // a corpus directory or input
    for (const char* flag : PATH_FLAGS) {
        size_t n = std::strlen(flag);
        if (arg.compare(0, n, flag) == 0) return flag + absolute_from(cwd, arg.substr(n));
    }
    return arg;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<std::string> texts;
    static std::vector<char*> args;
    std::string cwd = fs::current_path().string();
    bool has_prefix = false;
    for (int i = 0; i < *argc; ++i) {
        std::string arg = (*argv)[i];
        has_prefix = has_prefix || arg.compare(0, 17, "-artifact_prefix=") == 0;
        texts.push_back(i == 0 ? arg : absolute_arg(cwd, arg));
    }
    // Without a prefix artifacts go to the working directory at the crash.
    if (!has_prefix) texts.push_back("-artifact_prefix=" + cwd + "/");
    for (std::string& t : texts) args.push_back(&t[0]);
    args.push_back(nullptr);
    *argc = static_cast<int>(texts.size());
    *argv = args.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& base = scratch();
    std::string archive = base + "/in.kel";
    {
        std::ofstream out(archive, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::string out_dir = base + "/out";
    empty_dir(out_dir);
    if (plat::_chdir(out_dir.c_str()) != 0) std::abort();
    quiet_switch = 1;
    walk_once(archive, false);
    walk_once(archive, true);
    if (plat::_chdir(start_dir.c_str()) != 0) std::abort();
    // Nothing may appear beside the output directory.
    for (auto& e : fs::directory_iterator(base)) {
        std::string name = e.path().filename().string();
        if (name != "in.kel" && name != "out") std::abort();
    }
    return 0;
}
