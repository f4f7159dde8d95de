// Arbitrary bytes as an archive: written to a scratch file, then listed and
// unpacked into a scratch directory that is emptied before every input.
// Runs quiet (no output, no password prompt); a locked archive opens when
// it was sealed with the password "fuzz", so the walks behind a seal are
// reached too.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "archive/header.h"
#include "archive/walk.h"
#include "cli/context.h"
#include "cli/messages.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

std::string scratch_base;

void remove_scratch() {
    std::error_code ec;
    fs::remove_all(scratch_base, ec);
}

const std::string& scratch() {
    if (scratch_base.empty()) {
        std::string tmpl = (fs::temp_directory_path() / "kelparc_archive_fuzz.XXXXXX").string();
        if (mkdtemp(&tmpl[0]) == nullptr) std::abort();
        scratch_base = tmpl;
        fs::create_directories(scratch_base + "/out");
        std::atexit(remove_scratch);
    }
    return scratch_base;
}

void empty_dir(const std::string& dir) {
    std::error_code ec;
    for (auto& e : fs::directory_iterator(dir, ec)) {
        // Restored modes may leave a directory unwritable for a non-root run.
        fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(e.path(), ec);
    }
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& base = scratch();
    std::string archive = base + "/in.kel";
    {
        std::ofstream out(archive, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::string out_dir = base + "/out";
    empty_dir(out_dir);
    if (chdir(out_dir.c_str()) != 0) std::abort();
    quiet_switch = 1;
    walk_once(archive, false);
    walk_once(archive, true);
    // Nothing may appear beside the output directory.
    for (auto& e : fs::directory_iterator(base)) {
        std::string name = e.path().filename().string();
        if (name != "in.kel" && name != "out") std::abort();
    }
    return 0;
}
